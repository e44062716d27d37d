/*
 * The non-screen protocol against a loopback meter on 127.0.0.32: every
 * command's frame byte for byte as the meter expects it, frames the meter
 * sends (whole, in pieces, broken), the wait for an answer and the
 * response buffer.
 */
#include <gtest/gtest.h>

#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <set>
#include <thread>
#include <vector>

#include "kelNSCCommon.h"
#include "linkPeer.h"

static const char *kAddr = "127.0.0.32";

/* Taken before any test runs: the very first id of the program. */
static const UINT32 firstTransID = nscGetTransID();

typedef std::vector<unsigned char> Bytes;

/* The id as it lies at offset 8 of a frame. */
static void putId(Bytes &frame, UINT32 id)
{
    for (int i = 0; i < 4; i++) {
        frame[8 + i] = (unsigned char)(id >> (8 * i));
    }
}

/* Sends one command and returns exactly the bytes the meter received. */
static Bytes sendAndCapture(LinkPair &link, INT32 cmd, const void *data, UINT32 *id)
{
    *id = nscGetTransID() + 1;
    EXPECT_EQ(1, nscKELSendMSG(link.unit, cmd, data, 0)) << "command " << cmd;
    return peerDrain(link.meter, 100);
}

TEST(NonScreenProtocol, FrameLengthsFollowTheCommand)
{
    const INT32 expected[] = {28, 20, 24, 28, 24, 20, 28, 16, 16, 16};
    for (INT32 cmd = 0; cmd <= 9; cmd++) {
        EXPECT_EQ(expected[cmd], nscGetMsgLengthByCMDType(cmd)) << "command " << cmd;
    }
    EXPECT_EQ(16, nscGetMsgLengthByCMDType(-1));
    EXPECT_EQ(16, nscGetMsgLengthByCMDType(INT32_MIN));
}

TEST(NonScreenProtocol, EveryCommandTravelsByteExact)
{
    LinkPair link(kAddr);
    ASSERT_GT(link.unit, 0);
    UINT32 id;

    KELNS_brightnessData_t bright = {80};
    Bytes want = {0xC7, 0x29, 0x53, 0xB4, 0x14, 0, 0, 0, 0, 0, 0, 0, 0x01, 0, 0, 0,
                  0x50, 0, 0, 0};
    Bytes got = sendAndCapture(link, KELNS_CMD_SET_BRIGHTNESS, &bright, &id);
    putId(want, id);
    EXPECT_EQ(want, got) << "brightness";

    KELNS_timeData_t time = {0x123456789AULL};
    want = {0xC7, 0x29, 0x53, 0xB4, 0x18, 0, 0, 0, 0, 0, 0, 0, 0x02, 0, 0, 0,
            0x9A, 0x78, 0x56, 0x34, 0x12, 0, 0, 0};
    got = sendAndCapture(link, KELNS_CMD_SET_TIME, &time, &id);
    putId(want, id);
    EXPECT_EQ(want, got) << "time";

    KELNS_statusLedData_t status = {KELNS_LED_RED, {10, 50, 3, 2}};
    want = {0xC7, 0x29, 0x53, 0xB4, 0x1C, 0, 0, 0, 0, 0, 0, 0, 0x03, 0, 0, 0,
            0x01, 0, 0, 0, 0x0A, 0, 0x32, 0, 0x03, 0, 0x02, 0};
    got = sendAndCapture(link, KELNS_CMD_SET_STATUS_LED, &status, &id);
    putId(want, id);
    EXPECT_EQ(want, got) << "status LED";

    KELNS_alarmLedData_t alarm = {{0x0102, 100, 0, 0x0304}};
    want = {0xC7, 0x29, 0x53, 0xB4, 0x18, 0, 0, 0, 0, 0, 0, 0, 0x04, 0, 0, 0,
            0x02, 0x01, 0x64, 0, 0, 0, 0x04, 0x03};
    got = sendAndCapture(link, KELNS_CMD_SET_ALARM_LED, &alarm, &id);
    putId(want, id);
    EXPECT_EQ(want, got) << "alarm LED";

    KELNS_temperatureData_t temp = {-5250};
    want = {0xC7, 0x29, 0x53, 0xB4, 0x14, 0, 0, 0, 0, 0, 0, 0, 0x05, 0, 0, 0,
            0x7E, 0xEB, 0xFF, 0xFF};
    got = sendAndCapture(link, KELNS_CMD_GET_TEMPERATURE, &temp, &id);
    putId(want, id);
    EXPECT_EQ(want, got) << "temperature";

    KELNS_errorData_t err = {{KEL_HW_LED_CTRL_FAIL, 1700000000ULL}};
    want = {0xC7, 0x29, 0x53, 0xB4, 0x1C, 0, 0, 0, 0, 0, 0, 0, 0x06, 0, 0, 0,
            0xE7, 0, 0, 0, 0x00, 0xF1, 0x53, 0x65, 0, 0, 0, 0};
    got = sendAndCapture(link, KELNS_CMD_GET_ERROR, &err, &id);
    putId(want, id);
    EXPECT_EQ(want, got) << "error";

    KELNS_response_t resp = {7, KELNS_CMD_SET_STATUS_LED, KELNS_RC_OK};
    want = {0xC7, 0x29, 0x53, 0xB4, 0x1C, 0, 0, 0, 0, 0, 0, 0, 0x00, 0, 0, 0,
            0x07, 0, 0, 0, 0x03, 0, 0, 0, 0x01, 0, 0, 0};
    got = sendAndCapture(link, KELNS_CMD_RESPONSE, &resp, &id);
    putId(want, id);
    EXPECT_EQ(want, got) << "response carries the answered id, not its own";

    for (INT32 cmd : {KELNS_CMD_GET_DATA, KELNS_CMD_HEARTBEAT}) {
        want = {0xC7, 0x29, 0x53, 0xB4, 0x10, 0, 0, 0, 0, 0, 0, 0, (unsigned char)cmd, 0, 0, 0};
        got = sendAndCapture(link, cmd, nullptr, &id);
        putId(want, id);
        EXPECT_EQ(want, got) << "command " << cmd << " without payload";
    }
}

TEST(NonScreenProtocol, IdsStartAtZeroAndEveryFrameTakesTheNext)
{
    EXPECT_EQ(0u, firstTransID);
    LinkPair link(kAddr);
    UINT32 before = nscGetTransID();
    ASSERT_EQ(1, nscKELSendMSG(link.unit, KELNS_CMD_HEARTBEAT, nullptr, 0));
    EXPECT_EQ(-1, nscKELSendMSG(link.unit, KELNS_CMD_SET_TIME, nullptr, 0)) << "missing payload";
    EXPECT_EQ(-1, nscKELSendMSG(link.unit, 42, nullptr, 0)) << "unknown command, no payload";
    ASSERT_EQ(1, nscKELSendMSG(link.unit, KELNS_CMD_HEARTBEAT, nullptr, 0));
    Bytes got = peerDrain(link.meter, 100);
    ASSERT_EQ(32u, got.size()) << "the refused frames sent nothing";
    UINT32 id1, id2;
    memcpy(&id1, &got[8], 4);
    memcpy(&id2, &got[24], 4);
    EXPECT_EQ(before + 1, id1);
    EXPECT_EQ(before + 4, id2) << "the refused frames used up their ids";
    EXPECT_EQ(-1, nscKELSendMSG(0, KELNS_CMD_HEARTBEAT, nullptr, 0));
    EXPECT_EQ(-1, nscKELSendMSG(-1, KELNS_CMD_HEARTBEAT, nullptr, 0));
}

TEST(NonScreenProtocol, AMeterCommandSentInPiecesIsReceivedWhole)
{
    LinkPair link(kAddr);
    const unsigned char frame[] = {0xC7, 0x29, 0x53, 0xB4, 0x1C, 0, 0, 0, 0x2A, 0, 0, 0,
                                   0x03, 0, 0, 0, 0x01, 0, 0, 0, 0x14, 0, 0x96, 0,
                                   0x00, 0, 0x05, 0};
    std::thread meter([&] {
        for (size_t off = 0; off < sizeof(frame); off += 10) {
            peerWrite(link.meter, frame + off, std::min<size_t>(10, sizeof(frame) - off));
            usleep(40 * 1000);
        }
    });
    KELNS_Message_t msg;
    memset(&msg, 0xFF, sizeof(msg));
    EXPECT_EQ(1, nscKELRecvMSG(link.unit, &msg));
    meter.join();
    EXPECT_EQ(28u, msg.length);
    EXPECT_EQ(42u, msg.transID);
    EXPECT_EQ(KELNS_CMD_SET_STATUS_LED, msg.cmdType);
    EXPECT_EQ(KELNS_LED_RED, msg.data.statusLed.colour);
    EXPECT_EQ(20, msg.data.statusLed.pattern.Cycle);
    EXPECT_EQ(150, msg.data.statusLed.pattern.Duty);
    EXPECT_EQ(0, msg.data.statusLed.pattern.NumActCycle);
    EXPECT_EQ(5, msg.data.statusLed.pattern.NumInActCycle);
    EXPECT_EQ(0, msg.data.raw[12]) << "bytes beyond the frame are zero";
}

TEST(NonScreenProtocol, BrokenMeterFramesEndTheReceiveWithZero)
{
    struct {
        KELNS_Message_t msg;
        unsigned char guard[64];
    } r;
    const unsigned char oversized[] = {0xC7, 0x29, 0x53, 0xB4, 0x21, 0, 0, 0};
    const unsigned char undersized[] = {0xC7, 0x29, 0x53, 0xB4, 0x0B, 0, 0, 0};
    const unsigned char wrongMagic[] = {0xB4, 0x53, 0x29, 0xC7, 0x10, 0, 0, 0};
    for (const unsigned char *head : {oversized, undersized, wrongMagic}) {
        LinkPair link(kAddr);
        Bytes f(head, head + 8);
        f.resize(64, 0xEE);
        peerWrite(link.meter, f.data(), f.size());
        memset(r.guard, 0x5A, sizeof(r.guard));
        EXPECT_EQ(0, nscKELRecvMSG(link.unit, &r.msg));
        EXPECT_EQ(Bytes(sizeof(r.guard), 0x5A), Bytes(r.guard, r.guard + sizeof(r.guard)));
    }
    LinkPair link(kAddr);
    peerWrite(link.meter, oversized, 8);
    close(link.meter);
    link.meter = -1;
    EXPECT_EQ(0, nscKELRecvMSG(link.unit, &r.msg)) << "peer closed mid-frame";
}

TEST(NonScreenProtocol, ASendToAMeterThatTakesNothingFailsAfterThreeTimeouts)
{
    LinkPair link(kAddr);
    peerFillSendPath(link.unit);
    long start = peerNowMs();
    EXPECT_EQ(-1, nscKELSendMSG(link.unit, KELNS_CMD_HEARTBEAT, nullptr, 0));
    long took = peerNowMs() - start;
    EXPECT_GE(took, 1400);
    EXPECT_LT(took, 4500);
}

static void storeResponseLater(KELNS_response_t resp, int delayMs)
{
    usleep(delayMs * 1000);
    pthread_mutex_lock(&RespBufMutex);
    AddRespMsgToBuf(&resp);
    pthread_mutex_unlock(&RespBufMutex);
}

TEST(NonScreenProtocol, ASenderWaitingForAnAnswerGetsOnlyAnOkForItsOwnFrame)
{
    LinkPair link(kAddr);
    pthread_mutex_lock(&RespBufMutex);
    InitRespMsgBuf();
    pthread_mutex_unlock(&RespBufMutex);
    KELNS_brightnessData_t b = {40};

    long start = peerNowMs();
    EXPECT_EQ(-2, nscKELSendMSG(link.unit, KELNS_CMD_SET_BRIGHTNESS, &b, 1)) << "no answer";
    EXPECT_GE(peerNowMs() - start, 950);

    UINT32 next = nscGetTransID() + 1;
    std::thread ok(storeResponseLater, KELNS_response_t{next, KELNS_CMD_SET_BRIGHTNESS, KELNS_RC_OK}, 200);
    start = peerNowMs();
    EXPECT_EQ(1, nscKELSendMSG(link.unit, KELNS_CMD_SET_BRIGHTNESS, &b, 1));
    EXPECT_LT(peerNowMs() - start, 900);
    ok.join();

    next = nscGetTransID() + 1;
    std::thread bad(storeResponseLater, KELNS_response_t{next, KELNS_CMD_SET_BRIGHTNESS, KELNS_RC_ERROR}, 100);
    EXPECT_EQ(-2, nscKELSendMSG(link.unit, KELNS_CMD_SET_BRIGHTNESS, &b, 1)) << "error answer";
    bad.join();
    INT32 pos;
    EXPECT_EQ(-1, FindRespMsgByType(KELNS_CMD_SET_BRIGHTNESS, &pos)) << "the error answer was consumed";
    EXPECT_EQ(9, pos);
}

TEST(NonScreenProtocol, TheResponseBufferHoldsOneAnswerPerCommand)
{
    InitRespMsgBuf();
    for (INT32 cmd = 0; cmd < KELNS_NUM_CMDS; cmd++) {
        KELNS_response_t r = {(UINT32)(100 + cmd), cmd, KELNS_RC_OK};
        ASSERT_EQ(1, AddRespMsgToBuf(&r)) << "command " << cmd;
    }
    KELNS_response_t extra = {1, 42, KELNS_RC_OK};
    EXPECT_EQ(-1, AddRespMsgToBuf(&extra)) << "full";

    KELNS_response_t again = {555, KELNS_CMD_SET_TIME, KELNS_RC_ERROR};
    EXPECT_EQ(1, AddRespMsgToBuf(&again)) << "replaces, does not need a free entry";
    INT32 pos = -1;
    ASSERT_EQ(1, FindRespMsgByTypeAndID(KELNS_CMD_SET_TIME, 555, &pos));
    EXPECT_EQ(2, pos);
    EXPECT_EQ(-1, FindRespMsgByTypeAndID(KELNS_CMD_SET_TIME, 102, &pos));
    EXPECT_EQ(-1, GetRespCodeByPos(2)) << "error code";
    EXPECT_EQ(1, GetRespCodeByPos(1));

    EXPECT_EQ(1, RemoveRespMsgByPos(4));
    EXPECT_EQ(-1, GetRespCodeByPos(4)) << "freed";
    EXPECT_EQ(1, AddRespMsgToBuf(&extra)) << "takes the freed entry";
    ASSERT_EQ(1, FindRespMsgByType(42, &pos));
    EXPECT_EQ(4, pos);

    KELNS_response_t unknown = {1, KELNS_CMD_UNKNOWN, KELNS_RC_OK};
    EXPECT_EQ(1, RemoveRespMsgByPos(0));
    EXPECT_EQ(-1, AddRespMsgToBuf(&unknown)) << "would pose as a free entry";
    for (INT32 bad : {-1, 9}) {
        EXPECT_EQ(-1, UpdateRespMsgByPos(bad, &again));
        EXPECT_EQ(-1, RemoveRespMsgByPos(bad));
        EXPECT_EQ(-1, GetRespCodeByPos(bad));
    }
    EXPECT_EQ(1, UpdateRespMsgByPos(0, &again));
    EXPECT_EQ(1, FindRespMsgByTypeAndID(KELNS_CMD_SET_TIME, 555, &pos));
    EXPECT_EQ(0, pos) << "lowest index first";
}

TEST(NonScreenProtocol, TwoSendingThreadsNeverInterleaveAndAClosedLinkStopsThem)
{
    LinkPair link(kAddr);
    KEL_DEVICE_INFO rec;
    memset(&rec, 0, sizeof(rec));
    rec.socket = link.unit;
    rec.bDataRequested = KEL_TRUE;
    link.unit = -1; /* the link record owns it now */

    const int perThread = 300;
    auto sender = [&](INT32 value) {
        KELNS_temperatureData_t t = {value};
        for (int i = 0; i < perThread; i++) {
            ASSERT_EQ(1, nscKELSendOnLink(&rec, KELNS_CMD_GET_TEMPERATURE, &t));
        }
    };
    std::thread a(sender, 1111), b(sender, 2222);
    Bytes got;
    while (got.size() < 2u * perThread * 20u) {
        Bytes more = peerDrain(link.meter, 500);
        if (more.empty()) {
            break;
        }
        got.insert(got.end(), more.begin(), more.end());
    }
    a.join();
    b.join();
    ASSERT_EQ(2u * perThread * 20u, got.size());
    std::set<UINT32> ids;
    for (size_t off = 0; off < got.size(); off += 20) {
        UINT32 magic, len, id;
        INT32 value;
        memcpy(&magic, &got[off], 4);
        memcpy(&len, &got[off + 4], 4);
        memcpy(&id, &got[off + 8], 4);
        memcpy(&value, &got[off + 16], 4);
        ASSERT_EQ(KEL_FRAME_MAGIC, magic) << "frame at " << off;
        ASSERT_EQ(20u, len);
        ASSERT_TRUE(value == 1111 || value == 2222);
        ids.insert(id);
    }
    EXPECT_EQ(2u * perThread, ids.size()) << "no id was sent twice";

    EXPECT_EQ(0, nscCloseLink(&rec));
    EXPECT_EQ(-1, rec.socket);
    EXPECT_EQ(KEL_FALSE, rec.bDataRequested);
    EXPECT_EQ(KEL_SOCKET_CLOSE, rec.socketState);
    EXPECT_EQ(KEL_DEVICE_DISCONNECTED, rec.deviceState);
    EXPECT_EQ(-1, nscKELSendOnLink(&rec, KELNS_CMD_HEARTBEAT, nullptr));
    unsigned char c;
    EXPECT_EQ(0, recv(link.meter, &c, 1, 0)) << "the meter sees the close";
}
