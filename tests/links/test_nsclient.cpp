/*
 * Non-screen link: how the unit turns the meter's brightness, clock and LED
 * commands into requests for the control daemon and answers them, when it
 * forwards temperatures and errors, and how it copes with a meter that
 * refuses, breaks frames or falls silent. The meter is a plain listener on
 * 127.0.0.23:1236 driven byte by byte from the test.
 */
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <vector>

#include <gtest/gtest.h>

#include "kel.h"
#include "kelTestRoot.h"
#include "kelerror.h"
#include "kelmsg.h"
#include "kelnsclient.h"
#include "kelsockets.h"
#include "linkPeer.h"

namespace {

const char *kMeterAddr = "127.0.0.23";

std::vector<uint8_t> frame(int32_t cmd, uint32_t length, uint32_t transID)
{
    std::vector<uint8_t> f(length, 0);
    uint32_t magic = KEL_FRAME_MAGIC;
    memcpy(&f[0], &magic, 4);
    memcpy(&f[4], &length, 4);
    memcpy(&f[8], &transID, 4);
    memcpy(&f[12], &cmd, 4);
    return f;
}

void put16(std::vector<uint8_t> &f, size_t at, uint16_t v) { memcpy(&f[at], &v, 2); }
void put32(std::vector<uint8_t> &f, size_t at, uint32_t v) { memcpy(&f[at], &v, 4); }
void put64(std::vector<uint8_t> &f, size_t at, uint64_t v) { memcpy(&f[at], &v, 8); }
uint32_t get32(const uint8_t *p) { uint32_t v; memcpy(&v, p, 4); return v; }
uint64_t get64(const uint8_t *p) { uint64_t v; memcpy(&v, p, 8); return v; }

bool reported(kel_ErrorCode_t code)
{
    kel_ErrorLog_t *ring = kelErrorRing();
    for (INT32 i = 0; i < kelErrorRingSize(); i++) {
        if (ring[i].fileID == KEL_FILEID_NSCLIENT && ring[i].errorData.errCode == code) {
            return true;
        }
    }
    return false;
}

void clearReports()
{
    memset(kelErrorRing(), 0, sizeof(kel_ErrorLog_t) * (size_t)kelErrorRingSize());
}

/* Takes one request for the control daemon from the R queue, if any. */
bool takeRequest(kel_MsgQue_Rx_t *out)
{
    INT32 q = -1;
    struct msqid_ds ds;
    if (kelAppMsgQueGetID(&q, KEL_MSG_ID_RX) != 1 || kelAppMsgQueGetInfo(q, &ds) != 1 ||
        ds.msg_qnum == 0) {
        return false;
    }
    memset(out, 0, sizeof(*out));
    return kelAppMsgQueDataRecv(q, KEL_MSG_TYPE_RX, out, KEL_MSGQ_RX_MAX_BYTES) > 0;
}

KELNS_patternData_t pattern(uint16_t cycle, uint16_t duty, uint16_t act, uint16_t inact)
{
    KELNS_patternData_t p = {cycle, duty, act, inact};
    return p;
}

/* A meter listening on the non-screen port of its own address. */
class FakeMeter : public FixedPortMeter {
public:
    FakeMeter() : FixedPortMeter(kMeterAddr, KELNS_PORT) {}
};

class NonScreenLink : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(meter.ok);
        KEL_DEVICE_INFO di;
        memset(&di, 0, sizeof(di));
        snprintf(di.host, sizeof(di.host), "%s", kMeterAddr);
        ASSERT_EQ(nscClientInit(&di), 1);
        clearReports();
        ASSERT_EQ(nscLinkConnect(), 1);
        connectedAt = peerNowMs();
        ASSERT_GE(meter.acceptConn(), 0);
    }
    void TearDown() override { nscLinkClose(); }

    /* First service pass: the GET_DATA announcement. Its transaction id. */
    uint32_t announce()
    {
        EXPECT_EQ(nscLinkService(), 1);
        std::vector<uint8_t> got = meter.read(16);
        EXPECT_EQ(got.size(), 16u);
        if (got.size() != 16) {
            return 0;
        }
        EXPECT_EQ(get32(&got[4]), 16u);
        EXPECT_EQ(get32(&got[12]), (uint32_t)KELNS_CMD_GET_DATA);
        return get32(&got[8]);
    }

    /* Sends a meter command and returns the unit's 28-byte answer. */
    std::vector<uint8_t> command(const std::vector<uint8_t> &f)
    {
        EXPECT_TRUE(meter.send(f));
        EXPECT_EQ(nscLinkService(), 1);
        return meter.read(28);
    }

    long serviceUntilFailed(long limitMs)
    {
        long start = peerNowMs();
        while (peerNowMs() - start < limitMs) {
            if (nscLinkService() < 0 ||
                KEL_LOAD(nscClientLink()->socketState) == KEL_SOCKET_FAIL) {
                return peerNowMs() - start;
            }
        }
        return -1;
    }

    KelTestRoot root;
    FakeMeter meter;
    long connectedAt = 0;
};

} // namespace

TEST(NonScreenRequests, LedPatternsAreNormalisedOnTheWayToTheDaemon)
{
    struct {
        KELNS_patternData_t in, out;
    } cases[] = {
        {pattern(1000, 150, 2, 3), pattern(1000, 100, 2, 3)},
        {pattern(500, 50, 0, 0), pattern(500, 50, 1, 1)},
        {pattern(500, 50, 5, 0), pattern(500, 50, 1, 0)},
        {pattern(500, 50, 0, 3), pattern(500, 50, 0, 1)},
        {pattern(0, 100, 1, 1), pattern(0, 100, 1, 1)},
    };
    for (auto &c : cases) {
        KELNS_patternData_t got;
        nscNormalisePattern(&c.in, &got);
        EXPECT_EQ(memcmp(&got, &c.out, sizeof(got)), 0)
            << c.in.Cycle << "/" << c.in.Duty << "/" << c.in.NumActCycle << "/" << c.in.NumInActCycle;
    }

    KelTestRoot root;
    KELNS_patternData_t in = pattern(800, 150, 0, 0);
    ASSERT_EQ(nscKELSetStatusLED(KELNS_LED_RED, &in), 1);
    ASSERT_EQ(nscKELSetAlarmLED(&in), 1);
    kel_MsgQue_Rx_t rx;
    ASSERT_TRUE(takeRequest(&rx));
    EXPECT_EQ(rx.msgType, KEL_MSG_TYPE_RX);
    EXPECT_EQ(rx.cmdType, KEL_MSGQ_RX_STATUS_LED);
    EXPECT_EQ(rx.data.statusLedData.colour, KELNS_LED_RED);
    KELNS_patternData_t want = pattern(800, 100, 1, 1);
    EXPECT_EQ(memcmp(&rx.data.statusLedData.pattern, &want, 8), 0);
    ASSERT_TRUE(takeRequest(&rx));
    EXPECT_EQ(rx.cmdType, KEL_MSGQ_RX_ALARM_LED);
    EXPECT_EQ(memcmp(&rx.data.alarmLedData.pattern, &want, 8), 0);
}

TEST(NonScreenRequests, BrightnessAboveHundredIsNeverPosted)
{
    KelTestRoot root;
    kel_MsgQue_Rx_t rx;
    EXPECT_EQ(nscKELSetBrightness(101), -1);
    EXPECT_EQ(nscKELSetBrightness(0xFFFFFFFFu), -1);
    EXPECT_FALSE(takeRequest(&rx));
    for (UINT32 level : {0u, 100u}) {
        ASSERT_EQ(nscKELSetBrightness(level), 1);
        ASSERT_TRUE(takeRequest(&rx));
        EXPECT_EQ(rx.cmdType, KEL_MSGQ_RX_BRIGHTNESS);
        EXPECT_EQ(rx.data.brightnessData.brightness, level);
    }
    ASSERT_EQ(nscKELSetTime(1893456000ull), 1);
    ASSERT_TRUE(takeRequest(&rx));
    EXPECT_EQ(rx.cmdType, KEL_MSGQ_RX_TIME);
    EXPECT_EQ(rx.data.timeData.unixTime, 1893456000ull);
}

TEST_F(NonScreenLink, EveryMeterCommandIsPostedAndAnswered)
{
    announce();

    std::vector<uint8_t> f = frame(KELNS_CMD_SET_BRIGHTNESS, 20, 7);
    put32(f, 16, 80);
    std::vector<uint8_t> resp = command(f);
    ASSERT_EQ(resp.size(), 28u);
    const uint8_t head[] = {0xC7, 0x29, 0x53, 0xB4, 0x1C, 0, 0, 0};
    EXPECT_EQ(memcmp(resp.data(), head, 8), 0);
    EXPECT_EQ(get32(&resp[12]), (uint32_t)KELNS_CMD_RESPONSE);
    EXPECT_EQ(get32(&resp[16]), 7u) << "the answer names the meter's frame";
    EXPECT_EQ(get32(&resp[20]), (uint32_t)KELNS_CMD_SET_BRIGHTNESS);
    EXPECT_EQ(get32(&resp[24]), (uint32_t)KELNS_RC_OK);
    kel_MsgQue_Rx_t rx;
    ASSERT_TRUE(takeRequest(&rx));
    EXPECT_EQ(rx.cmdType, KEL_MSGQ_RX_BRIGHTNESS);
    EXPECT_EQ(rx.data.brightnessData.brightness, 80u);

    f = frame(KELNS_CMD_SET_BRIGHTNESS, 20, 8);
    put32(f, 16, 101);
    resp = command(f);
    ASSERT_EQ(resp.size(), 28u);
    EXPECT_EQ(get32(&resp[24]), (uint32_t)KELNS_RC_ERROR);
    EXPECT_FALSE(takeRequest(&rx));
    EXPECT_TRUE(reported(KEL_FW_NSC_BRIGHTNESS_SET_ERROR));

    f = frame(KELNS_CMD_SET_TIME, 24, 9);
    put64(f, 16, 4102444800ull); /* past 2038 */
    resp = command(f);
    ASSERT_EQ(resp.size(), 28u);
    EXPECT_EQ(get32(&resp[24]), (uint32_t)KELNS_RC_OK);
    ASSERT_TRUE(takeRequest(&rx));
    EXPECT_EQ(rx.cmdType, KEL_MSGQ_RX_TIME);
    EXPECT_EQ(rx.data.timeData.unixTime, 4102444800ull);

    f = frame(KELNS_CMD_SET_STATUS_LED, 28, 10);
    put32(f, 16, KELNS_LED_GREEN);
    put16(f, 20, 1000);
    put16(f, 22, 150);
    put16(f, 24, 5);
    put16(f, 26, 0);
    resp = command(f);
    ASSERT_EQ(resp.size(), 28u);
    EXPECT_EQ(get32(&resp[20]), (uint32_t)KELNS_CMD_SET_STATUS_LED);
    EXPECT_EQ(get32(&resp[24]), (uint32_t)KELNS_RC_OK);
    ASSERT_TRUE(takeRequest(&rx));
    KELNS_patternData_t want = pattern(1000, 100, 1, 0);
    EXPECT_EQ(rx.data.statusLedData.colour, KELNS_LED_GREEN);
    EXPECT_EQ(memcmp(&rx.data.statusLedData.pattern, &want, 8), 0);

    f = frame(KELNS_CMD_SET_ALARM_LED, 24, 11);
    put16(f, 16, 200);
    put16(f, 18, 40);
    put16(f, 20, 0);
    put16(f, 22, 3);
    resp = command(f);
    ASSERT_EQ(resp.size(), 28u);
    EXPECT_EQ(get32(&resp[24]), (uint32_t)KELNS_RC_OK);
    ASSERT_TRUE(takeRequest(&rx));
    want = pattern(200, 40, 0, 1);
    EXPECT_EQ(rx.cmdType, KEL_MSGQ_RX_ALARM_LED);
    EXPECT_EQ(memcmp(&rx.data.alarmLedData.pattern, &want, 8), 0);

    /* A heartbeat from the meter is not answered. */
    ASSERT_TRUE(meter.send(frame(KELNS_CMD_HEARTBEAT, 16, 12)));
    EXPECT_EQ(nscLinkService(), 1);
    EXPECT_TRUE(peerDrain(meter.conn, 200).empty());
}

TEST_F(NonScreenLink, TemperaturesAndErrorsGoOutOnlyAfterTheAnnouncement)
{
    kel_ErrorData_t err = {KEL_HW_TEMP_READ_ERROR, 1700000000ull};
    EXPECT_EQ(nscKELSendTempData(41), -1);
    EXPECT_EQ(nscKELSendErrorCode(&err), -1);
    EXPECT_TRUE(peerDrain(meter.conn, 100).empty());

    announce();
    EXPECT_EQ(nscKELSendErrorCode(nullptr), -1);
    ASSERT_EQ(nscKELSendTempData(-12), 1);
    std::vector<uint8_t> t = meter.read(20);
    ASSERT_EQ(t.size(), 20u);
    EXPECT_EQ(get32(&t[4]), 20u);
    EXPECT_EQ(get32(&t[12]), (uint32_t)KELNS_CMD_GET_TEMPERATURE);
    EXPECT_EQ((int32_t)get32(&t[16]), -12);

    ASSERT_EQ(nscKELSendErrorCode(&err), 1);
    std::vector<uint8_t> e = meter.read(28);
    ASSERT_EQ(e.size(), 28u);
    EXPECT_EQ(get32(&e[12]), (uint32_t)KELNS_CMD_GET_ERROR);
    EXPECT_EQ(get32(&e[16]), (uint32_t)KEL_HW_TEMP_READ_ERROR);
    EXPECT_EQ(get64(&e[20]), 1700000000ull);
}

/* The transmit thread passes its first look at the announcement just as
 * the link thread drops the connection (and makes a new one): the test
 * holds the send mutex to keep it there. */
TEST_F(NonScreenLink, AForwardCaughtByAReconnectNeitherPrecedesTheAnnouncementNorFailsTheLink)
{
    KEL_DEVICE_INFO *link = nscClientLink();
    announce();

    pthread_mutex_lock(&nscSendMutex);
    HeldCall early([] { return nscKELSendTempData(21); });
    ASSERT_TRUE(early.asleep());
    peerDropLinkHeld(link);
    ASSERT_EQ(nscLinkConnect(), 1);
    ASSERT_GE(meter.acceptConn(), 0);
    pthread_mutex_unlock(&nscSendMutex);
    EXPECT_EQ(early.result(), -1);
    EXPECT_TRUE(peerDrain(meter.conn, 200).empty()) << "nothing before GET_DATA";
    EXPECT_EQ(KEL_LOAD(link->socketState), KEL_SOCKET_CONNECTED);
    announce();

    pthread_mutex_lock(&nscSendMutex);
    kel_ErrorData_t err = {KEL_HW_TEMP_READ_ERROR, 1700000000ull};
    HeldCall late([&err] { return nscKELSendErrorCode(&err); });
    ASSERT_TRUE(late.asleep());
    peerDropLinkHeld(link);
    pthread_mutex_unlock(&nscSendMutex);
    EXPECT_EQ(late.result(), -1);
    EXPECT_EQ(KEL_LOAD(link->socketState), KEL_SOCKET_CLOSE)
        << "a frame held back is no link failure";
}

TEST_F(NonScreenLink, ARefusedAnnouncementDropsTheLinkAndTheNextConnectionRepeatsIt)
{
    uint32_t id = announce();
    std::vector<uint8_t> no = frame(KELNS_CMD_RESPONSE, 28, 0);
    put32(no, 16, id);
    put32(no, 20, KELNS_CMD_GET_DATA);
    put32(no, 24, KELNS_RC_ERROR);
    ASSERT_TRUE(meter.send(no));
    EXPECT_GE(serviceUntilFailed(2000), 0);
    nscLinkClose();
    EXPECT_EQ(KEL_LOAD(nscClientLink()->socket), -1);
    EXPECT_EQ(KEL_LOAD(nscClientLink()->bDataRequested), KEL_FALSE);
    EXPECT_TRUE(reported(KEL_COMM_DISCONNECTED));
    EXPECT_EQ(nscKELSendTempData(30), -1) << "nothing forwarded while the link is down";

    ASSERT_EQ(nscLinkConnect(), 1);
    ASSERT_GE(meter.acceptConn(), 0);
    announce();
    std::vector<uint8_t> yes = frame(KELNS_CMD_RESPONSE, 28, 1);
    put32(yes, 20, KELNS_CMD_GET_DATA);
    put32(yes, 24, KELNS_RC_OK);
    ASSERT_TRUE(meter.send(yes));
    EXPECT_EQ(nscLinkService(), 1);
    EXPECT_EQ(KEL_LOAD(nscClientLink()->deviceState), KEL_NSC_DATA_RESPONSED);
    EXPECT_NE(KEL_LOAD(nscClientLink()->socketState), KEL_SOCKET_FAIL);
}

TEST_F(NonScreenLink, OversizeLengthsAndFramesCutShortFailTheLink)
{
    announce();
    std::vector<uint8_t> big = frame(KELNS_CMD_SET_TIME, 33, 1);
    ASSERT_TRUE(meter.send(big));
    EXPECT_GE(serviceUntilFailed(2000), 0);
    EXPECT_TRUE(reported(KEL_COMM_DATA_RECV_FAIL));
    nscLinkClose();

    ASSERT_EQ(nscLinkConnect(), 1);
    ASSERT_GE(meter.acceptConn(), 0);
    announce();
    std::vector<uint8_t> cut = frame(KELNS_CMD_SET_TIME, 24, 2);
    cut.resize(14);
    ASSERT_TRUE(meter.send(cut));
    meter.dropConn();
    EXPECT_GE(serviceUntilFailed(3000), 0);
    kel_MsgQue_Rx_t rx;
    EXPECT_FALSE(takeRequest(&rx)) << "half a command is never posted";
}

TEST_F(NonScreenLink, ASilentMeterGetsHeartbeatsAndIsDroppedAfterSixSeconds)
{
    announce();
    ASSERT_GE(serviceUntilFailed(9000), 0);
    long failedAfter = peerNowMs() - connectedAt;
    EXPECT_GT(failedAfter, 5900) << "silence is counted from the connection";
    EXPECT_LT(failedAfter, 7200);
    EXPECT_TRUE(reported(KEL_COMM_TIMEOUT));
    std::vector<uint8_t> sent = peerDrain(meter.conn, 100);
    ASSERT_GE(sent.size(), 2u * 16);
    ASSERT_EQ(sent.size() % 16, 0u);
    for (size_t at = 0; at < sent.size(); at += 16) {
        EXPECT_EQ(get32(&sent[at + 12]), (uint32_t)KELNS_CMD_HEARTBEAT);
    }
    EXPECT_LE(sent.size() / 16, 3u);
}
