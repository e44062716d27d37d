/*
 * Startup protocol module: frames as they appear on the wire, the
 * challenge digest, and the receive path's refusal of frames that do not
 * fit the 52-byte record. The meter's end of each link is a plain socket on
 * 127.0.0.40.
 */
#include <gtest/gtest.h>

#include <sys/socket.h>
#include <unistd.h>

#include <string.h>
#include <vector>

#include "kelstartcommon.h"
#include "linkPeer.h"

static const char *kAddr = "127.0.0.40";

typedef std::vector<unsigned char> Bytes;

static void putLe32(Bytes &b, uint32_t v)
{
    for (int i = 0; i < 4; i++) {
        b.push_back((unsigned char)(v >> (8 * i)));
    }
}

/* Magic C7 29 53 B4, then length and id, little-endian. */
static Bytes prefix(uint32_t length, uint32_t id)
{
    Bytes b = {0xC7, 0x29, 0x53, 0xB4};
    putLe32(b, length);
    putLe32(b, id);
    return b;
}

/* The id the next send will carry (peeking consumes one id). */
static uint32_t nextId()
{
    return stpGetTransID() + 1;
}

static Bytes readFrame(int fd, size_t len)
{
    Bytes got(len);
    EXPECT_TRUE(peerRead(fd, got.data(), len));
    return got;
}

TEST(StartupFrames, EachCommandGoesOutAsTheTableLaysItOut)
{
    LinkPair link(kAddr);
    ASSERT_GT(link.unit, 0);
    ASSERT_GT(link.meter, 0);

    /* Heartbeat: prefix and command type only, even without a payload. */
    uint32_t id = nextId();
    ASSERT_EQ(1, stpKELSendMSG(link.unit, KELSTP_CMD_HEARTBEAT, NULL, 0));
    Bytes want = prefix(16, id);
    putLe32(want, 6);
    EXPECT_EQ(want, readFrame(link.meter, 16));

    /* Data request: version bytes, then ten characters, no NUL. */
    KELSTP_dataReq_t req;
    memset(&req, 0, sizeof(req));
    req.kelFwVersion.majorVersion = 3;
    req.kelFwVersion.minorVersion = 2;
    req.kelFwVersion.buildVersion = 193;
    memcpy(req.serialNum, "SN01234567", 10);
    id = nextId();
    ASSERT_EQ(1, stpKELSendMSG(link.unit, KELSTP_CMD_DATA_REQ, &req, 1));
    want = prefix(30, id);
    putLe32(want, 1);
    Bytes tail = {3, 2, 193, 0, 'S', 'N', '0', '1', '2', '3', '4', '5', '6', '7'};
    want.insert(want.end(), tail.begin(), tail.end());
    EXPECT_EQ(want, readFrame(link.meter, 30));

    /* State report: app update, 2 as a little-endian word. */
    KELSTP_stateData_t state = {KELSTP_STATE_APP_UPDATE};
    id = nextId();
    ASSERT_EQ(1, stpKELSendMSG(link.unit, KELSTP_CMD_STATE, &state, 0));
    want = prefix(20, id);
    putLe32(want, 5);
    putLe32(want, 2);
    EXPECT_EQ(want, readFrame(link.meter, 20));

    /* An unknown command carries nothing, whatever it is given. */
    id = nextId();
    ASSERT_EQ(1, stpKELSendMSG(link.unit, 9, &state, 0));
    want = prefix(16, id);
    putLe32(want, 9);
    EXPECT_EQ(want, readFrame(link.meter, 16));

    EXPECT_TRUE(peerDrain(link.meter, 100).empty());
}

TEST(StartupFrames, TableLengthsCoverEveryCommandAndStrayValues)
{
    const int want[] = {28, 52, 28, 24, 20, 20, 16};
    for (int cmd = 0; cmd < KELSTP_NUM_CMDS; cmd++) {
        EXPECT_EQ(want[cmd], stpGetMsgLengthByCMDType(cmd)) << "command " << cmd;
    }
    EXPECT_EQ(16, stpGetMsgLengthByCMDType(-1));
    EXPECT_EQ(16, stpGetMsgLengthByCMDType(7));
}

TEST(StartupFrames, RefusedSendsConsumeAnIdOnlyOnceAFrameWasBegun)
{
    LinkPair link(kAddr);
    ASSERT_GT(link.meter, 0);

    uint32_t id = nextId();
    /* A bad socket takes no id. */
    EXPECT_EQ(-1, stpKELSendMSG(0, KELSTP_CMD_HEARTBEAT, NULL, 0));
    EXPECT_EQ(-1, stpKELSendMSG(-1, KELSTP_CMD_HEARTBEAT, NULL, 0));
    /* A missing payload does. */
    EXPECT_EQ(-1, stpKELSendMSG(link.unit, KELSTP_CMD_STATE, NULL, 0));
    EXPECT_EQ(-1, stpKELSendMSG(link.unit, 42, NULL, 0)); /* unknown command */
    ASSERT_EQ(1, stpKELSendMSG(link.unit, KELSTP_CMD_HEARTBEAT, NULL, 0));
    ASSERT_EQ(1, stpKELSendMSG(link.unit, KELSTP_CMD_HEARTBEAT, NULL, 0));
    Bytes first = readFrame(link.meter, 16);
    Bytes second = readFrame(link.meter, 16);
    Bytes want = prefix(16, id + 2);
    putLe32(want, 6);
    EXPECT_EQ(want, first);
    want = prefix(16, id + 3);
    putLe32(want, 6);
    EXPECT_EQ(want, second);
}

TEST(StartupFrames, AMeterThatStopsReadingFailsTheSendAfterThreeAttempts)
{
    LinkPair link(kAddr);
    ASSERT_GT(link.meter, 0);
    peerFillSendPath(link.unit);
    long start = peerNowMs();
    EXPECT_EQ(-1, stpKELSendMSG(link.unit, KELSTP_CMD_HEARTBEAT, NULL, 0));
    long took = peerNowMs() - start;
    /* Three 500 ms attempts (each may overrun by one wait). */
    EXPECT_GE(took, 1400);
    EXPECT_LT(took, 4500);

    /* A reset link fails at once, without retries. */
    LinkPair gone(kAddr);
    ASSERT_GT(gone.meter, 0);
    peerReset(gone.meter);
    gone.meter = -1;
    usleep(100 * 1000);
    start = peerNowMs();
    int rc = 1;
    for (int i = 0; i < 3 && rc == 1; i++) {
        rc = stpKELSendMSG(gone.unit, KELSTP_CMD_HEARTBEAT, NULL, 0);
    }
    EXPECT_EQ(-1, rc);
    EXPECT_LT(peerNowMs() - start, 1000);
}

/* ---- Digest ---- */

/* The formula written out in 64-bit arithmetic with explicit wrapping. */
static uint32_t digestByHand(uint32_t r)
{
    uint64_t product = ((uint64_t)r * (uint64_t)KEL_DIGEST_M) & 0xFFFFFFFFull;
    uint64_t t = (product + 3171547ull) & 0xFFFFFFFFull;
    return (uint32_t)(t % (uint64_t)KEL_DIGEST_N);
}

TEST(StartupDigest, AnswersFollowTheFormulaAndStayBelowTheModulus)
{
    /* Values worked out from the formula itself. */
    EXPECT_EQ(3171547u, stpGetDigest(0));
    EXPECT_EQ((uint32_t)(KEL_DIGEST_M + 3171547ull), stpGetDigest(1));
    /* 2^32 - 1 times M wraps to 2^32 - M. */
    uint64_t wrapped = (0x100000000ull - (uint64_t)KEL_DIGEST_M + 3171547ull) & 0xFFFFFFFFull;
    EXPECT_EQ((uint32_t)(wrapped % (uint64_t)KEL_DIGEST_N), stpGetDigest(0xFFFFFFFFu));

    const uint32_t samples[] = {2u, 12345u, 0x7FFFFFFFu, 0x80000000u, 0xDEADBEEFu, 44497u};
    for (uint32_t r : samples) {
        EXPECT_EQ(digestByHand(r), stpGetDigest(r)) << "challenge " << r;
        EXPECT_EQ(stpGetDigest(r), stpGetDigest(r)) << "challenge " << r;
        EXPECT_LT(stpGetDigest(r), (uint32_t)KEL_DIGEST_N) << "challenge " << r;
    }
    /* Sweep: every answer stays below N. */
    for (uint32_t r = 0; r < 200000u; r += 7u) {
        ASSERT_LT(stpGetDigest(r * 21473u), (uint32_t)KEL_DIGEST_N);
    }
}

/* ---- Receiving ---- */

TEST(StartupReceive, ACompleteFrameFillsTheRecordAndAShortOneLeavesZeros)
{
    LinkPair link(kAddr);
    ASSERT_GT(link.meter, 0);

    Bytes frame = prefix(28, 77);
    putLe32(frame, 2);
    putLe32(frame, 0x11223344u);
    putLe32(frame, 1700000000u);
    putLe32(frame, 0);
    ASSERT_TRUE(peerWrite(link.meter, frame.data(), frame.size()));
    KELSTP_Message_t msg;
    memset(&msg, 0xEE, sizeof(msg));
    ASSERT_EQ(1, stpKELRecvMSG(link.unit, &msg));
    EXPECT_EQ(28u, msg.length);
    EXPECT_EQ(77u, msg.transID);
    EXPECT_EQ(KELSTP_CMD_RANDOM, msg.cmdType);
    EXPECT_EQ(0x11223344u, msg.randomData.ramdom);
    EXPECT_EQ(1700000000ull, (unsigned long long)msg.randomData.unixTime);
    EXPECT_EQ(0, msg.raw[12]); /* beyond the frame: zeroed, not left over */

    /* A version frame cut after its first word. */
    frame = prefix(20, 78);
    putLe32(frame, 3);
    putLe32(frame, 0x0108);
    ASSERT_TRUE(peerWrite(link.meter, frame.data(), frame.size()));
    ASSERT_EQ(1, stpKELRecvMSG(link.unit, &msg));
    EXPECT_EQ(0x0108u, msg.versionData.kelAppVersion);
    EXPECT_EQ(0u, msg.versionData.kelKernelVersion);

    /* The largest frame: a 52-byte data request. */
    frame = prefix(52, 79);
    putLe32(frame, 1);
    frame.insert(frame.end(), 36, 'x');
    ASSERT_TRUE(peerWrite(link.meter, frame.data(), frame.size()));
    ASSERT_EQ(1, stpKELRecvMSG(link.unit, &msg));
    EXPECT_EQ('x', msg.dataReq.serialNum[31]);
}

TEST(StartupReceive, LengthsOutsideTheRecordAreRefusedWithoutWritingPastIt)
{
    /* The record sits inside a guarded buffer: nothing may reach the guard. */
    struct {
        KELSTP_Message_t msg;
        unsigned char guard[64];
    } area;
    const uint32_t bad[] = {53, 64, 0x7FFFFFFF, 0xFFFFFFFF, 11, 8, 0};
    for (uint32_t length : bad) {
        LinkPair link(kAddr);
        ASSERT_GT(link.meter, 0);
        Bytes frame = prefix(length, 0x44332211u);
        putLe32(frame, 2);
        frame.insert(frame.end(), 100, 0xAB);
        ASSERT_TRUE(peerWrite(link.meter, frame.data(), frame.size()));
        memset(&area, 0x5A, sizeof(area));
        EXPECT_EQ(0, stpKELRecvMSG(link.unit, &area.msg)) << "length " << length;
        for (unsigned char g : area.guard) {
            ASSERT_EQ(0x5A, g) << "length " << length;
        }
        EXPECT_EQ(0, area.msg.cmdType) << "length " << length;
        /* Only magic and length were taken off the link: the id is next. */
        unsigned char next[4];
        ASSERT_TRUE(peerRead(link.unit, next, 4));
        EXPECT_EQ(0x11, next[0]);
        EXPECT_EQ(0x44, next[3]);
    }
}

TEST(StartupReceive, BadMagicClosedSilentAndBadSocketsGiveTheirCodes)
{
    KELSTP_Message_t msg;
    EXPECT_EQ(-1, stpKELRecvMSG(0, &msg));
    EXPECT_EQ(-1, stpKELRecvMSG(-1, &msg));

    /* A wrong magic ends the read after exactly four bytes. */
    LinkPair junk(kAddr);
    ASSERT_GT(junk.meter, 0);
    ASSERT_TRUE(peerWrite(junk.meter, "\xC7\x29\x53\xB5rest", 8));
    EXPECT_EQ(0, stpKELRecvMSG(junk.unit, &msg));
    char rest[4];
    ASSERT_TRUE(peerRead(junk.unit, rest, 4));
    EXPECT_EQ(0, memcmp(rest, "rest", 4));

    LinkPair silent(kAddr);
    ASSERT_GT(silent.meter, 0);
    EXPECT_EQ(-2, stpKELRecvMSG(silent.unit, &msg));

    /* A peer that closes in the middle of a frame. */
    LinkPair cut(kAddr);
    ASSERT_GT(cut.meter, 0);
    Bytes frame = prefix(24, 1);
    putLe32(frame, 3);
    ASSERT_TRUE(peerWrite(cut.meter, frame.data(), frame.size()));
    close(cut.meter);
    cut.meter = -1;
    EXPECT_EQ(0, stpKELRecvMSG(cut.unit, &msg));
}
