/*
 * Error reporting in the upgrade program: five sites, ten seconds.
 */
#include <gtest/gtest.h>

#include "kelErrorTestClock.h"
#include "kelTestRoot.h"

namespace {

class UpgradeErrorReports : public ::testing::Test {
protected:
    KelTestRoot root;
    void SetUp() override { kelErrorTestReset(5000); }
    void TearDown() override { kelErrorSetClock(nullptr); }
};

TEST_F(UpgradeErrorReports, ARepeatIsHeldBackForNineSecondsOnly)
{
    EXPECT_EQ(5, kelErrorRingSize());
    EXPECT_EQ(1, kelLogError(KEL_TASK_UPGRADE, 21, 40, KEL_UPG_FILE_VERIFY_FAIL));
    kelFakeNow += 9;
    EXPECT_EQ(-1, kelLogError(KEL_TASK_UPGRADE, 21, 40, KEL_UPG_FILE_VERIFY_FAIL));
    kelFakeNow += 1;
    EXPECT_EQ(1, kelLogError(KEL_TASK_UPGRADE, 21, 40, KEL_UPG_FILE_VERIFY_FAIL));
}

TEST_F(UpgradeErrorReports, TheSixthSitePushesOutTheFirst)
{
    for (int line = 1; line <= 5; line++) {
        ASSERT_EQ(1, kelLogError(KEL_TASK_UPGRADE, 20, line, KEL_HW_FLASH_RW_ERROR));
        EXPECT_EQ(5 - line, kelErrorSlotOf(20, line, KEL_HW_FLASH_RW_ERROR));
        kelFakeNow += 1;
    }
    EXPECT_EQ(1, kelLogError(KEL_TASK_UPGRADE, 20, 6, KEL_HW_FLASH_RW_ERROR));
    EXPECT_EQ(4, kelErrorSlotOf(20, 6, KEL_HW_FLASH_RW_ERROR));
    EXPECT_EQ(1, kelLogError(KEL_TASK_UPGRADE, 20, 1, KEL_HW_FLASH_RW_ERROR));
    EXPECT_EQ(-1, kelLogError(KEL_TASK_UPGRADE, 20, 3, KEL_HW_FLASH_RW_ERROR));
}

} // namespace
