/*
 * test_industserve.cpp - the factory service's serving loop and queue
 * thread in the test process: the idle end and the silence limit with
 * short limits, and what the queue thread does with the records it takes.
 */
#include <gtest/gtest.h>

#include <pthread.h>
#include <string.h>
#include <sys/msg.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <thread>

#include "kelTestRoot.h"
#include "kelindustry.h"
#include "kelindustsocket.h"
#include "kelmsg.h"
#include "stationPair.h"

static void sleepMs(int ms)
{
    usleep((useconds_t)ms * 1000);
}

TEST(FactoryServeLoop, WithNoStationTheServiceEndsOnceTheIdleLimitPasses)
{
    KelTestRoot root;
    industServeLimits_t limits = {KEL_INDUST_PORT, 18000, 1500};
    uint64_t start = stationSimNowMs();
    EXPECT_EQ(0, industServe(&limits));
    uint64_t took = stationSimNowMs() - start;
    EXPECT_GE(took, 1500u);
    EXPECT_LE(took, 4000u);
}

TEST(FactoryServeLoop, FramesKeepTheServiceAliveAndASilentStationIsDropped)
{
    KelTestRoot root;
    industServeLimits_t limits = {KEL_INDUST_PORT, 1000, 2500};
    std::atomic<uint64_t> ended(0);
    std::thread serve([&] {
        industServe(&limits);
        ended = stationSimNowMs();
    });
    StationSim_t st;
    stationSimInit(&st);
    bool connected = stationSimConnect(&st, "127.0.0.1", SSW_PORT, 5000) == 1;
    EXPECT_TRUE(connected);
    if (!connected) {
        serve.join(); /* the loop ends by itself at its idle limit */
        return;
    }

    /* Heartbeats for longer than the idle limit: every one answered. */
    StationFrame_t f;
    uint64_t until = stationSimNowMs() + 4000;
    uint64_t lastFrame = 0;
    int sent = 0;
    int answered = 0;
    while (stationSimNowMs() < until) {
        lastFrame = stationSimNowMs();
        sent++;
        answered += stationSimRequest(&st, SSW_HEARTBEAT, NULL, 0, &f, 1000) == 1;
        sleepMs(300);
    }
    EXPECT_GE(sent, 5);
    EXPECT_EQ(sent, answered);
    EXPECT_EQ(0u, ended.load()) << "the service ended while a station was talking";

    /* Then silence: dropped after the silence limit, ended after the idle one. */
    EXPECT_EQ(1, stationSimWaitClosed(&st, 5000));
    uint64_t dropped = stationSimNowMs() - lastFrame;
    EXPECT_GE(dropped, 900u);
    EXPECT_LE(dropped, 3500u);
    serve.join();
    EXPECT_GE(ended.load() - lastFrame, 2400u);
    EXPECT_LE(ended.load() - lastFrame, 6000u);
    stationSimClose(&st);
}

/* An event record of the daemon for the industry queue. */
static kel_MsgQue_Tx_t txRecord(INT32 cmdType)
{
    kel_MsgQue_Tx_t msg;
    memset(&msg, 0, sizeof(msg));
    msg.msgType = KEL_MSG_TYPE_TX;
    msg.cmdType = cmdType;
    return msg;
}

/* The queue thread against a station on a socket pair. */
class FactoryQueueThread : public StationPairTest {
protected:
    void SetUp() override
    {
        StationPairTest::SetUp();
        dev = industDevice();
        KEL_STORE(dev->socket, (INT32)unit());
        KEL_STORE(dev->socketState, KEL_SOCKET_CONNECTED);
        KEL_STORE(dev->bDataRequested, KEL_TRUE);
        ASSERT_EQ(0, pthread_create(&thread, NULL, kelIndustMsgQueRxHandleThread, NULL));
        ASSERT_EQ(1, kelAppMsgQueGetID(&queue, KEL_MSG_ID_INDUSTRY));
    }
    void TearDown() override
    {
        industStopQueueThread(thread);
        KEL_STORE(dev->socket, (INT32)-1);
        KEL_STORE(dev->socketState, KEL_SOCKET_INIT);
        KEL_STORE(dev->bDataRequested, KEL_FALSE);
        StationPairTest::TearDown();
    }
    void postKey(INT32 code)
    {
        kel_MsgQue_Tx_t msg = txRecord(KEL_MSGQ_TX_KEYEVENT);
        msg.data.kelKeyEvent.keyCode = code;
        msg.data.kelKeyEvent.keyAction = KELFB_KEY_PRESS;
        INT32 q = -1;
        ASSERT_EQ(1, kelAppMsgQueGetID(&q, KEL_MSG_ID_INDUSTRY));
        ASSERT_EQ(1, kelAppMsgQueDataSend(q, KEL_MSG_TYPE_TX, &msg));
    }
    INT32 nextKey()
    {
        SSW_KeyEvent_t key = {-1, -1};
        if (stationSimRecv(&station, &f, 5000) != 1 || f.cmdType != SSW_BUTTON_TEST ||
            f.payloadLen != sizeof(key))
            return -1;
        memcpy(&key, f.payload, sizeof(key));
        return key.keyCode;
    }
    KelTestRoot root;
    KEL_DEVICE_INFO *dev = nullptr;
    pthread_t thread;
    INT32 queue = -1;
};

TEST_F(FactoryQueueThread, ForeignRecordsAreDroppedAndEventsReachTheStation)
{
    /* An error record, a short key event and a long one: none of ours. */
    kel_MsgQue_Error_t err;
    memset(&err, 0, sizeof(err));
    err.msgType = KEL_MSG_TYPE_ERROR;
    ASSERT_EQ(1, kelAppMsgQueDataSend(queue, KEL_MSG_TYPE_ERROR, &err));
    struct {
        long mtype;
        char text[28];
    } raw;
    memset(&raw, 0, sizeof(raw));
    raw.mtype = KEL_MSG_TYPE_TX;
    raw.text[0] = KEL_MSGQ_TX_KEYEVENT;
    ASSERT_EQ(0, msgsnd(queue, &raw, 4, IPC_NOWAIT));
    ASSERT_EQ(0, msgsnd(queue, &raw, 28, IPC_NOWAIT));
    postKey(103);
    EXPECT_EQ(103, nextKey());

    kel_MsgQue_Tx_t temp = txRecord(KEL_MSGQ_TX_TEMPERATURE);
    temp.data.tempData.temperature = 36500;
    ASSERT_EQ(1, kelAppMsgQueDataSend(queue, KEL_MSG_TYPE_TX, &temp));
    ASSERT_EQ(1, stationSimRecv(&station, &f, 5000));
    EXPECT_EQ(SSW_TEMP_GET, f.cmdType);
    EXPECT_EQ(36500, stationSimResult(&f));

    /* The queue removed under the thread: it finds the new one. */
    ASSERT_EQ(0, msgctl(queue, IPC_RMID, NULL));
    sleepMs(200);
    postKey(105);
    EXPECT_EQ(105, nextKey());
    EXPECT_EQ(-2, stationSimRecv(&station, &f, 300)) << "nothing else was relayed";
}

TEST_F(FactoryQueueThread, WithoutAStationEventsAreDroppedAndTheLinkIsLeftAlone)
{
    /* Not authenticated: the temperature stays, key events still go. */
    KEL_STORE(dev->bDataRequested, KEL_FALSE);
    kel_MsgQue_Tx_t temp = txRecord(KEL_MSGQ_TX_TEMPERATURE);
    EXPECT_EQ(0, industQueueDispatch(&temp, 8));
    postKey(106);
    EXPECT_EQ(106, nextKey());

    /* No station: nothing is written anywhere and the state stays. */
    KEL_STORE(dev->socket, (INT32)-1);
    KEL_STORE(dev->socketState, KEL_SOCKET_LISTENNING);
    kel_MsgQue_Tx_t key = txRecord(KEL_MSGQ_TX_KEYEVENT);
    EXPECT_EQ(0, industQueueDispatch(&key, 12));
    postKey(108);
    sleepMs(300);
    EXPECT_EQ(KEL_SOCKET_LISTENNING, KEL_LOAD(dev->socketState));
    EXPECT_EQ(-2, stationSimRecv(&station, &f, 300));
    EXPECT_EQ(-1, industQueueDispatch(&key, 8)) << "a key event of the wrong size";
}
