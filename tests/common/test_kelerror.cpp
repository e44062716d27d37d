/*
 * Error reporting in the ten-entry, ten-minute programs: repeats of one
 * site are held back within the window, the oldest site leaves the ring
 * first, and reports of 200 and above are flagged for the meter.
 */
#include <gtest/gtest.h>

#include <stdlib.h>

#include "kelErrorTestClock.h"
#include "kelTestRoot.h"

namespace {

class ErrorReports : public ::testing::Test {
protected:
    KelTestRoot root;
    void SetUp() override { kelErrorTestReset(1000000); }
    void TearDown() override { kelErrorSetClock(nullptr); }
};

TEST_F(ErrorReports, ARepeatWithinTenMinutesIsHeldBack)
{
    EXPECT_EQ(10, kelErrorRingSize());
    EXPECT_EQ(1, kelLogError(KEL_TASK_CONTROL, 7, 120, KEL_HW_TEMP_READ_ERROR));
    kelFakeNow += 10;
    EXPECT_EQ(-1, kelLogError(KEL_TASK_CONTROL, 7, 120, KEL_HW_TEMP_READ_ERROR));
    /* Another task at the same site is the same site. */
    EXPECT_EQ(-1, kelLogError(KEL_TASK_APP_INDUSTRY, 7, 120, KEL_HW_TEMP_READ_ERROR));
    kelFakeNow += 589; /* 599 s after the first */
    EXPECT_EQ(-1, kelLogError(KEL_TASK_CONTROL, 7, 120, KEL_HW_TEMP_READ_ERROR));
    kelFakeNow += 1; /* 600 s */
    EXPECT_EQ(1, kelLogError(KEL_TASK_CONTROL, 7, 120, KEL_HW_TEMP_READ_ERROR));
    EXPECT_EQ(2, kelErrorQueued());
}

TEST_F(ErrorReports, TheSameCodeFromAnotherLineOrModuleIsAnotherSite)
{
    EXPECT_EQ(1, kelLogError(KEL_TASK_CONTROL, 5, 10, KEL_FW_MSGQ_RECV_ERROR));
    EXPECT_EQ(1, kelLogError(KEL_TASK_CONTROL, 5, 11, KEL_FW_MSGQ_RECV_ERROR));
    EXPECT_EQ(1, kelLogError(KEL_TASK_CONTROL, 11, 10, KEL_FW_MSGQ_RECV_ERROR));
    EXPECT_EQ(1, kelLogError(KEL_TASK_CONTROL, 5, 10, KEL_FW_MSGQ_SEND_ERROR));
    EXPECT_EQ(4, kelErrorQueued());
}

TEST_F(ErrorReports, AFreshRingFillsFromItsLastEntryAndTheOldestSiteLeavesFirst)
{
    for (int line = 1; line <= 10; line++) {
        ASSERT_EQ(1, kelLogError(KEL_TASK_CONTROL, 5, line, KEL_COMM_TIMEOUT));
        EXPECT_EQ(10 - line, kelErrorSlotOf(5, line, KEL_COMM_TIMEOUT));
        kelFakeNow += 1;
    }
    /* The eleventh site takes the place of the first. */
    EXPECT_EQ(1, kelLogError(KEL_TASK_CONTROL, 5, 11, KEL_COMM_TIMEOUT));
    EXPECT_EQ(9, kelErrorSlotOf(5, 11, KEL_COMM_TIMEOUT));
    EXPECT_EQ(-1, kelErrorSlotOf(5, 1, KEL_COMM_TIMEOUT));
    /* So the first site is passed on again at once, pushing out the second. */
    EXPECT_EQ(1, kelLogError(KEL_TASK_CONTROL, 5, 1, KEL_COMM_TIMEOUT));
    EXPECT_EQ(-1, kelErrorSlotOf(5, 2, KEL_COMM_TIMEOUT));
    EXPECT_EQ(-1, kelLogError(KEL_TASK_CONTROL, 5, 3, KEL_COMM_TIMEOUT));
}

TEST_F(ErrorReports, AClockSetBackReplacesTheFirstEntry)
{
    for (int line = 1; line <= 10; line++) {
        ASSERT_EQ(1, kelLogError(KEL_TASK_CONTROL, 5, line, KEL_COMM_TIMEOUT));
    }
    kelFakeNow -= 100;
    EXPECT_EQ(1, kelLogError(KEL_TASK_CONTROL, 5, 50, KEL_COMM_TIMEOUT));
    EXPECT_EQ(0, kelErrorSlotOf(5, 50, KEL_COMM_TIMEOUT));
    /* A site seen "in the future" is not held back. */
    EXPECT_EQ(1, kelLogError(KEL_TASK_CONTROL, 5, 9, KEL_COMM_TIMEOUT));
}

TEST_F(ErrorReports, ReportsFrom200UpAreFlaggedForTheMeter)
{
    ASSERT_EQ(1, kelLogError(KEL_TASK_NSC_CLIENT, 2, 77, KEL_HW_ERROR));
    ASSERT_EQ(1, kelLogError(KEL_TASK_NSC_CLIENT, 2, 78, (kel_ErrorCode_t)199));
    ASSERT_EQ(1, kelLogError(KEL_TASK_NSC_CLIENT, 2, 79, KEL_COMM_SELECT_ERROR));
    INT32 id = -1;
    ASSERT_EQ(1, kelAppMsgQueGetID(&id, KEL_MSG_ID_ERROR));
    const INT32 want[] = {KEL_TRUE, KEL_FALSE, KEL_FALSE};
    for (INT32 expect : want) {
        kel_MsgQue_Error_t msg;
        memset(&msg, 0, sizeof(msg));
        ASSERT_EQ(28, kelAppMsgQueDataRecv(id, KEL_MSG_TYPE_ERROR, &msg, KEL_MSGQ_ERROR_BYTES));
        EXPECT_EQ(expect, msg.errLogData.bSendtoMeter);
        EXPECT_EQ(KEL_TASK_NSC_CLIENT, msg.errLogData.appTaskID);
        EXPECT_EQ(2, msg.errLogData.fileID);
        EXPECT_EQ(1000000ull, msg.errLogData.errorData.errTimeStamp);
    }
}

TEST_F(ErrorReports, WithoutAnErrorQueueTheReportIsLostButStillRemembered)
{
    KelTestRoot bare;
    ASSERT_EQ(0, system(("rm -rf " + bare.path("/home")).c_str()));
    EXPECT_EQ(-1, kelLogError(KEL_TASK_UPGRADE, 21, 300, KEL_UPG_FAIL));
    EXPECT_GE(kelErrorSlotOf(21, 300, KEL_UPG_FAIL), 0);
    EXPECT_EQ(-1, kelSendErrorData(nullptr));
}

} // namespace
