/*
 * Queues and the shared frame buffer: one queue per letter across
 * processes, byte counts per command as they arrive, non-blocking sends,
 * the work-mode request, and the writer's drop rules on the segment.
 */
#include <gtest/gtest.h>

#include <string.h>
#include <sys/shm.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <vector>

#include "kel.h"
#include "kelTestRoot.h"
#include "kelcommon.h"
#include "kelmsg.h"

namespace {

/* What arrives on the queue, read with the kernel's own long type word. */
struct RawMsg {
    long mtype;
    char text[64];
};

class Queues : public ::testing::Test {
protected:
    KelTestRoot root;
    INT32 id = -1;

    void SetUp() override { ASSERT_EQ(1, kelAppMsgQueGetID(&id, KEL_MSG_ID_RX)); }

    /* Sends `record` and returns the byte count the queue delivered. */
    ssize_t sentBytes(kel_MsgQue_MsgType_t type, const void *record, RawMsg *got)
    {
        EXPECT_EQ(1, kelAppMsgQueDataSend(id, type, record));
        return msgrcv(id, got, sizeof(got->text), 0, IPC_NOWAIT);
    }
};

TEST_F(Queues, TwoProcessesFindTheSameQueueForALetter)
{
    pid_t pid = fork();
    if (pid == 0) {
        INT32 childId = -1;
        kel_MsgQue_FB_t msg = {KEL_MSG_TYPE_FB, KEL_TASK_FB_CLIENT, KEL_TRUE};
        if (kelAppMsgQueGetID(&childId, KEL_MSG_ID_RX) < 0 ||
            kelAppMsgQueDataSend(childId, KEL_MSG_TYPE_FB, &msg) < 0) {
            _exit(1);
        }
        _exit(0);
    }
    int status = 0;
    ASSERT_EQ(pid, waitpid(pid, &status, 0));
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    kel_MsgQue_FB_t got;
    memset(&got, 0, sizeof(got));
    EXPECT_EQ(KEL_MSGQ_FB_BYTES, kelAppMsgQueDataRecv(id, KEL_MSG_TYPE_FB, &got, KEL_MSGQ_FB_BYTES));
    EXPECT_EQ(KEL_MSG_TYPE_FB, got.msgType);
    EXPECT_EQ(KEL_TASK_FB_CLIENT, got.appTaskID);
    EXPECT_EQ(KEL_TRUE, got.bScrFinished);

    INT32 other = -1;
    ASSERT_EQ(1, kelAppMsgQueGetID(&other, KEL_MSG_ID_TX));
    EXPECT_NE(id, other);
}

TEST_F(Queues, RequestByteCountsFollowTheCommand)
{
    const struct {
        INT32 cmd;
        ssize_t bytes;
    } table[] = {{KEL_MSGQ_RX_BRIGHTNESS, 8}, {KEL_MSGQ_RX_TIME, 12}, {KEL_MSGQ_RX_STATUS_LED, 16},
                 {KEL_MSGQ_RX_ALARM_LED, 12}, {KEL_MSGQ_RX_GET_TEMP, 4}, {KEL_MSGQ_RX_OPT_MODE, 8},
                 {KEL_MSGQ_RX_LCDTYPE, 8},    {9, 4}};
    for (const auto &row : table) {
        kel_MsgQue_Rx_t msg;
        for (size_t i = 0; i < sizeof(msg); i++) {
            reinterpret_cast<UINT8 *>(&msg)[i] = (UINT8)(0xa0 + i);
        }
        msg.msgType = KEL_MSG_TYPE_RX;
        msg.cmdType = row.cmd;
        RawMsg got;
        EXPECT_EQ(row.bytes, sentBytes(KEL_MSG_TYPE_RX, &msg, &got)) << "command " << row.cmd;
        EXPECT_EQ(KEL_MSG_TYPE_RX, got.mtype);
        EXPECT_EQ(0, memcmp(got.text, reinterpret_cast<UINT8 *>(&msg) + 4, (size_t)row.bytes));
    }
}

TEST_F(Queues, EventFrameAndErrorByteCounts)
{
    const struct {
        INT32 cmd;
        ssize_t bytes;
    } table[] = {{KEL_MSGQ_TX_TEMPERATURE, 8}, {KEL_MSGQ_TX_ERROR, 16}, {KEL_MSGQ_TX_KEYEVENT, 12}, {7, 4}};
    for (const auto &row : table) {
        kel_MsgQue_Tx_t msg;
        memset(&msg, 0x33, sizeof(msg));
        msg.msgType = KEL_MSG_TYPE_TX;
        msg.cmdType = row.cmd;
        RawMsg got;
        EXPECT_EQ(row.bytes, sentBytes(KEL_MSG_TYPE_TX, &msg, &got)) << "command " << row.cmd;
    }
    kel_MsgQue_FB_t fb = {KEL_MSG_TYPE_FB, KEL_TASK_CONTROL, KEL_TRUE};
    RawMsg got;
    EXPECT_EQ(8, sentBytes(KEL_MSG_TYPE_FB, &fb, &got));

    kel_MsgQue_Error_t err;
    memset(&err, 0, sizeof(err));
    err.msgType = KEL_MSG_TYPE_ERROR;
    err.errLogData.lineNum = 4242;
    err.errLogData.errorData.errTimeStamp = 0x0102030405060708ull;
    EXPECT_EQ(1, kelAppMsgQueDataSend(id, KEL_MSG_TYPE_ERROR, &err));
    kel_MsgQue_Error_t back;
    memset(&back, 0, sizeof(back));
    EXPECT_EQ(28, kelAppMsgQueDataRecv(id, KEL_MSG_TYPE_ERROR, &back, KEL_MSGQ_ERROR_BYTES));
    EXPECT_EQ(0, memcmp(&err, &back, sizeof(err)));
}

TEST_F(Queues, TypeAllSendsNothingAndBadArgumentsFail)
{
    kel_MsgQue_FB_t fb = {KEL_MSG_TYPE_FB, KEL_TASK_CONTROL, KEL_TRUE};
    EXPECT_EQ(1, kelAppMsgQueDataSend(id, KEL_MSG_TYPE_ALL, &fb));
    struct msqid_ds ds;
    ASSERT_EQ(1, kelAppMsgQueGetInfo(id, &ds));
    EXPECT_EQ(0u, (unsigned)ds.msg_qnum);
    EXPECT_EQ(-1, kelAppMsgQueDataSend(-1, KEL_MSG_TYPE_FB, &fb));
    EXPECT_EQ(-1, kelAppMsgQueDataSend(id, KEL_MSG_TYPE_FB, nullptr));
    EXPECT_EQ(-1, kelAppMsgQueGetInfo(id, nullptr));
}

TEST_F(Queues, AFullQueueFailsASendAtOnce)
{
    kel_MsgQue_Error_t err;
    memset(&err, 0, sizeof(err));
    err.msgType = KEL_MSG_TYPE_ERROR;
    int sent = 0;
    while (kelAppMsgQueDataSend(id, KEL_MSG_TYPE_ERROR, &err) == 1) {
        ASSERT_LT(++sent, 100000) << "queue never filled";
    }
    EXPECT_GT(sent, 0);
    struct timespec a, b;
    clock_gettime(CLOCK_MONOTONIC, &a);
    EXPECT_EQ(-1, kelAppMsgQueDataSend(id, KEL_MSG_TYPE_ERROR, &err));
    clock_gettime(CLOCK_MONOTONIC, &b);
    double waited = (double)(b.tv_sec - a.tv_sec) + (double)(b.tv_nsec - a.tv_nsec) / 1e9;
    EXPECT_LT(waited, 0.5);
}

TEST_F(Queues, AKeptIdentifierOfARemovedQueueIsLookedUpAgainAndTheSendRepeatedOnce)
{
    kel_MsgQue_FB_t note = {KEL_MSG_TYPE_FB, KEL_TASK_CONTROL, KEL_TRUE};
    INT32 kept = id;
    ASSERT_EQ(0, msgctl(id, IPC_RMID, nullptr));
    EXPECT_EQ(1, kelAppMsgQueSendKept(&kept, KEL_MSG_ID_RX, KEL_MSG_TYPE_FB, &note));
    EXPECT_NE(id, kept);
    id = kept;
    RawMsg got;
    EXPECT_EQ(8, msgrcv(id, &got, sizeof(got.text), 0, IPC_NOWAIT));

    /* A full queue is not a removed one: the message is lost, as always. */
    kel_MsgQue_Error_t err;
    memset(&err, 0, sizeof(err));
    err.msgType = KEL_MSG_TYPE_ERROR;
    while (kelAppMsgQueDataSend(id, KEL_MSG_TYPE_ERROR, &err) == 1) {
    }
    EXPECT_EQ(-1, kelAppMsgQueSendKept(&kept, KEL_MSG_ID_RX, KEL_MSG_TYPE_ERROR, &err));
    EXPECT_EQ(id, kept);
}

TEST_F(Queues, WorkModeRequestAndErrorForwardingRecords)
{
    ASSERT_EQ(1, kelSetWorkMode(KEL_MODE_INDUSTRY));
    kel_MsgQue_Rx_t rx;
    memset(&rx, 0, sizeof(rx));
    EXPECT_EQ(8, kelAppMsgQueDataRecv(id, KEL_MSG_TYPE_RX, &rx, KEL_MSGQ_RX_MAX_BYTES));
    EXPECT_EQ(KEL_MSGQ_RX_OPT_MODE, rx.cmdType);
    EXPECT_EQ(KEL_MODE_INDUSTRY, rx.data.kelWorkMode);

    kel_ErrorData_t e = {245, 1700000000ull};
    ASSERT_EQ(1, kelAppMsgQueSendErrData(&e));
    INT32 tx = -1;
    ASSERT_EQ(1, kelAppMsgQueGetID(&tx, KEL_MSG_ID_TX));
    kel_MsgQue_Tx_t got;
    memset(&got, 0, sizeof(got));
    EXPECT_EQ(16, kelAppMsgQueDataRecv(tx, KEL_MSG_TYPE_TX, &got, KEL_MSGQ_TX_MAX_BYTES));
    EXPECT_EQ(KEL_MSGQ_TX_ERROR, got.cmdType);
    EXPECT_EQ(245, got.data.nsErrData.errorData.errCode);
    EXPECT_EQ(1700000000ull, got.data.nsErrData.errorData.errTimeStamp);
}

class SharedFrame : public ::testing::Test {
protected:
    KelTestRoot root;
    kel_ShMem_FB_t *shm = nullptr;
    std::vector<UINT8> frame = std::vector<UINT8>(KEL_FB_FRAME_SIZE);

    void SetUp() override
    {
        INT32 shmId = -1;
        ASSERT_EQ(1, kelAppShareMemGetID(&shmId, KEL_SHM_ID_FB));
        void *addr = shmat(shmId, nullptr, 0);
        ASSERT_NE((void *)-1, addr);
        shm = static_cast<kel_ShMem_FB_t *>(addr);
        /* As the daemon leaves it after attaching. */
        shm->bRead = KEL_TRUE;
        shm->bWriting = KEL_FALSE;
        shm->kelWorkMode = KEL_MODE_NORMAL;
        for (size_t i = 0; i < frame.size(); i++) {
            frame[i] = (UINT8)(i * 7 + 1);
        }
    }
    void TearDown() override
    {
        if (shm != nullptr) {
            shmdt(shm);
        }
    }
    bool untouched() const
    {
        return shm->bRead == KEL_TRUE && shm->bWriting == KEL_FALSE && shm->fBuffer[0] == 0 &&
               shm->fBuffer[KEL_FB_FRAME_SIZE - 1] == 0;
    }
};

TEST_F(SharedFrame, MeterFrameIsWrittenInNormalModeAndDroppedOtherwise)
{
    shm->kelWorkMode = KEL_MODE_ERROR;
    EXPECT_EQ(1, kelFBShareMemWrite(frame.data(), KEL_FB_FRAME_SIZE, KEL_TASK_FB_CLIENT));
    EXPECT_TRUE(untouched());

    shm->kelWorkMode = KEL_MODE_NORMAL;
    EXPECT_EQ(1, kelFBShareMemWrite(frame.data(), KEL_FB_FRAME_SIZE, KEL_TASK_FB_CLIENT));
    EXPECT_EQ(KEL_FALSE, shm->bRead);
    EXPECT_EQ(KEL_FALSE, shm->bWriting);
    EXPECT_EQ(0, memcmp(shm->fBuffer, frame.data(), KEL_FB_FRAME_SIZE));
}

TEST_F(SharedFrame, FactoryFrameIsLockedOutOnlyWhileFlashIsWritten)
{
    shm->kelWorkMode = KEL_MODE_FW_UPGRADING;
    EXPECT_EQ(1, kelFBShareMemWrite(frame.data(), KEL_FB_FRAME_SIZE, KEL_TASK_APP_INDUSTRY));
    EXPECT_TRUE(untouched());

    shm->kelWorkMode = KEL_MODE_INDUSTRY;
    EXPECT_EQ(1, kelFBShareMemWrite(frame.data(), KEL_FB_FRAME_SIZE, KEL_TASK_APP_INDUSTRY));
    EXPECT_EQ(KEL_FALSE, shm->bRead);
    EXPECT_EQ(frame[1000], shm->fBuffer[1000]);
}

TEST_F(SharedFrame, ABusySegmentLosesTheFrame)
{
    shm->bWriting = KEL_TRUE;
    EXPECT_EQ(1, kelFBShareMemWrite(frame.data(), KEL_FB_FRAME_SIZE, KEL_TASK_CONTROL));
    EXPECT_EQ(KEL_TRUE, shm->bRead);
    EXPECT_EQ(0, shm->fBuffer[0]);
}

TEST_F(SharedFrame, LengthsOutsideOneScreenAreRefusedWithoutCopying)
{
    std::vector<UINT8> big(KEL_FB_FRAME_SIZE + 64, 0xee);
    EXPECT_EQ(-1, kelFBShareMemWrite(big.data(), KEL_FB_FRAME_SIZE + 1, KEL_TASK_CONTROL));
    EXPECT_EQ(-1, kelFBShareMemWrite(big.data(), -1, KEL_TASK_CONTROL));
    EXPECT_EQ(-1, kelFBShareMemWrite(nullptr, KEL_FB_FRAME_SIZE, KEL_TASK_CONTROL));
    EXPECT_TRUE(untouched());

    /* A shorter frame copies only its own bytes. */
    EXPECT_EQ(1, kelFBShareMemWrite(big.data(), 100, KEL_TASK_CONTROL));
    EXPECT_EQ(0xee, shm->fBuffer[99]);
    EXPECT_EQ(0, shm->fBuffer[100]);
}

} // namespace

TEST_F(SharedFrame, AKeptWriterFollowsTheSegmentWhenTheDaemonMakesANewOne)
{
    kel_FBShareMemKept_t kept = KEL_FB_SHM_KEPT_INIT;
    ASSERT_EQ(1, kelFBShareMemWriteKept(&kept, frame.data(), KEL_FB_FRAME_SIZE, KEL_TASK_FB_CLIENT));
    EXPECT_EQ(0, memcmp(shm->fBuffer, frame.data(), KEL_FB_FRAME_SIZE));

    /* The daemon drops the segment after a failure and makes a new one. */
    INT32 oldId = -1;
    ASSERT_EQ(1, kelAppShareMemGetID(&oldId, KEL_SHM_ID_FB));
    ASSERT_EQ(0, shmctl(oldId, IPC_RMID, nullptr));
    INT32 newId = -1;
    ASSERT_EQ(1, kelAppShareMemGetID(&newId, KEL_SHM_ID_FB));
    ASSERT_NE(oldId, newId);
    void *addr = shmat(newId, nullptr, 0);
    ASSERT_NE((void *)-1, addr);
    kel_ShMem_FB_t *fresh = static_cast<kel_ShMem_FB_t *>(addr);
    fresh->bRead = KEL_TRUE;
    fresh->bWriting = KEL_FALSE;
    fresh->kelWorkMode = KEL_MODE_NORMAL;

    frame[0] ^= 0xff;
    EXPECT_EQ(1, kelFBShareMemWriteKept(&kept, frame.data(), KEL_FB_FRAME_SIZE, KEL_TASK_FB_CLIENT));
    EXPECT_EQ(KEL_FALSE, fresh->bRead);
    EXPECT_EQ(0, memcmp(fresh->fBuffer, frame.data(), KEL_FB_FRAME_SIZE));
    EXPECT_NE(frame[0], shm->fBuffer[0]) << "the frame went to the removed segment";
    shmdt(fresh);
    shmdt(kept.addr);
}
