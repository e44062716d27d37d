/*
 * Screen-and-key link: the frames the unit puts on the wire, the rectangles
 * it accepts into its private frame, the screen it hands to the control
 * daemon, and how the link thread behaves against a meter that misbehaves.
 * The meter here is a plain listener on 127.0.0.21:1234 driven byte by
 * byte from the test.
 */
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <string.h>
#include <sys/shm.h>
#include <sys/socket.h>
#include <unistd.h>

#include <vector>

#include <gtest/gtest.h>

#include "kel.h"
#include "kelTestRoot.h"
#include "kelerror.h"
#include "kelfbclient.h"
#include "kelmsg.h"
#include "kelsockets.h"
#include "linkPeer.h"

namespace {

const char *kMeterAddr = "127.0.0.21";

std::vector<uint8_t> frame(int32_t cmd, uint32_t length, uint32_t transID)
{
    std::vector<uint8_t> f(length, 0);
    uint32_t magic = KEL_FRAME_MAGIC;
    memcpy(&f[0], &magic, 4);
    memcpy(&f[4], &length, 4);
    memcpy(&f[8], &transID, 4);
    if (length >= 16) {
        memcpy(&f[12], &cmd, 4);
    }
    return f;
}

void put16(std::vector<uint8_t> &f, size_t at, uint16_t v) { memcpy(&f[at], &v, 2); }
void put32(std::vector<uint8_t> &f, size_t at, uint32_t v) { memcpy(&f[at], &v, 4); }
uint32_t get32(const uint8_t *p) { uint32_t v; memcpy(&v, p, 4); return v; }

/* An FBDATA frame for (x, y, w, h) whose pixels are given in wire order. */
std::vector<uint8_t> rectFrame(uint16_t x, uint16_t y, uint16_t w, uint16_t h,
                               const std::vector<uint16_t> &wirePixels)
{
    std::vector<uint8_t> f = frame(KELFB_CMD_FBDATA, 792, 1);
    put16(f, 16, x);
    put16(f, 18, y);
    put16(f, 20, w);
    put16(f, 22, h);
    for (size_t i = 0; i < wirePixels.size() && i < 384; i++) {
        put16(f, 24 + 2 * i, wirePixels[i]);
    }
    return f;
}

uint16_t wireToDisplay(uint16_t p)
{
    return (uint16_t)(((p & 0x1F) << 11) | (p & 0x07E0) | (p >> 11));
}

KEL_DEVICE_INFO unitRecord()
{
    KEL_DEVICE_INFO di;
    memset(&di, 0, sizeof(di));
    snprintf(di.host, sizeof(di.host), "%s", kMeterAddr);
    di.width = 320;
    di.height = 240;
    di.bpp = 16;
    di.socket = -1;
    return di;
}

bool reported(kel_ErrorCode_t code)
{
    kel_ErrorLog_t *ring = kelErrorRing();
    for (INT32 i = 0; i < kelErrorRingSize(); i++) {
        if (ring[i].fileID == KEL_FILEID_FBCLIENT && ring[i].errorData.errCode == code) {
            return true;
        }
    }
    return false;
}

void clearReports()
{
    memset(kelErrorRing(), 0, sizeof(kel_ErrorLog_t) * (size_t)kelErrorRingSize());
}

/* A meter listening on the screen-and-key port of its own address. */
class FakeMeter : public FixedPortMeter {
public:
    FakeMeter() : FixedPortMeter(kMeterAddr, KELFB_PORT) {}
};

/* Connects the unit's link to the fake meter and lets it announce itself. */
class ScreenLink : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(meter.ok);
        KEL_DEVICE_INFO di = unitRecord();
        ASSERT_EQ(fbClientInit(&di), 1);
        clearReports();
        ASSERT_EQ(fbLinkConnect(), 1);
        ASSERT_GE(meter.acceptConn(), 0);
    }
    void TearDown() override { fbLinkClose(); }

    /* First service pass: the data request, the first frame the meter gets. */
    void announce()
    {
        EXPECT_EQ(fbLinkService(), 1);
        std::vector<uint8_t> req = meter.read(22);
        ASSERT_EQ(req.size(), 22u);
        EXPECT_EQ(get32(&req[12]), (uint32_t)KELFB_CMD_DATA_REQ);
    }

    /* Runs service passes until the link fails; the elapsed ms, or -1. */
    long serviceUntilFailed(long limitMs)
    {
        long start = peerNowMs();
        while (peerNowMs() - start < limitMs) {
            if (fbLinkService() < 0 || KEL_LOAD(fbClientLink()->socketState) == KEL_SOCKET_FAIL) {
                return peerNowMs() - start;
            }
        }
        return -1;
    }

    KelTestRoot root;
    FakeMeter meter;
};

} // namespace

TEST(ScreenProtocol, FrameLengthsAndPayloadRules)
{
    EXPECT_EQ(fbGetMsgLengthByCMDType(KELFB_CMD_RESPONSE), 28);
    EXPECT_EQ(fbGetMsgLengthByCMDType(KELFB_CMD_DATA_REQ), 22);
    EXPECT_EQ(fbGetMsgLengthByCMDType(KELFB_CMD_FBDATA), 792);
    EXPECT_EQ(fbGetMsgLengthByCMDType(KELFB_CMD_SCR_FIN), 16);
    EXPECT_EQ(fbGetMsgLengthByCMDType(KELFB_CMD_KEYEVENT), 24);
    EXPECT_EQ(fbGetMsgLengthByCMDType(KELFB_CMD_HEARTBEAT), 16);
    EXPECT_EQ(fbGetMsgLengthByCMDType(6), 16);
    EXPECT_EQ(fbGetMsgLengthByCMDType(-1), 16);

    LinkPair pair("127.0.0.22");
    ASSERT_EQ(fbKELSendMSG(pair.unit, KELFB_CMD_HEARTBEAT, nullptr, 0), 1);
    uint8_t before[16];
    ASSERT_TRUE(peerRead(pair.meter, before, 16));
    /* Sends refused for a missing payload have begun their frame and spent
     * an id; one refused for a bad socket has not. */
    EXPECT_EQ(fbKELSendMSG(pair.unit, KELFB_CMD_KEYEVENT, nullptr, 0), -1);
    EXPECT_EQ(fbKELSendMSG(pair.unit, KELFB_CMD_DATA_REQ, nullptr, 0), -1);
    EXPECT_EQ(fbKELSendMSG(pair.unit, 6, nullptr, 0), -1); /* unknown command */
    EXPECT_EQ(fbKELSendMSG(0, KELFB_CMD_HEARTBEAT, nullptr, 0), -1);
    EXPECT_TRUE(peerDrain(pair.meter, 100).empty());

    EXPECT_EQ(fbKELSendMSG(pair.unit, KELFB_CMD_HEARTBEAT, nullptr, 0), 1);
    EXPECT_EQ(fbKELSendMSG(pair.unit, KELFB_CMD_SCR_FIN, nullptr, 0), 1);
    uint8_t got[32];
    ASSERT_TRUE(peerRead(pair.meter, got, 32));
    EXPECT_EQ(get32(got + 4), 16u);
    EXPECT_EQ(get32(got + 12), 5u);
    EXPECT_EQ(get32(got + 20), 16u);
    EXPECT_EQ(get32(got + 28), 3u);
    EXPECT_EQ(get32(got + 8), get32(before + 8) + 4) << "three refused frames spent their ids";
    EXPECT_EQ(get32(got + 24), get32(got + 8) + 1) << "each frame takes the next id";
}

TEST(ScreenProtocol, AKeyEventTravelsByteExact)
{
    LinkPair pair("127.0.0.22");
    KELFB_keyEvent_t ev = {KELFB_KEY_HOME, KELFB_KEY_PRESS};
    ASSERT_EQ(fbKELSendMSG(pair.unit, KELFB_CMD_KEYEVENT, &ev, 0), 1);
    uint8_t got[24];
    ASSERT_TRUE(peerRead(pair.meter, got, sizeof(got)));
    const uint8_t head[8] = {0xC7, 0x29, 0x53, 0xB4, 0x18, 0x00, 0x00, 0x00};
    const uint8_t body[12] = {0x04, 0, 0, 0, 0x66, 0, 0, 0, 0x01, 0, 0, 0};
    EXPECT_EQ(memcmp(got, head, 8), 0);
    EXPECT_EQ(memcmp(got + 12, body, 12), 0);
}

TEST(ScreenProtocol, OversizeOrShortLengthsAreRefusedWithoutWritingPastTheRecord)
{
    struct {
        KELFB_Message_t msg;
        uint8_t guard[64];
    } rec;
    LinkPair pair("127.0.0.22");
    const uint32_t lengths[] = {793, 4000, 11};
    for (uint32_t len : lengths) {
        memset(&rec, 0xA5, sizeof(rec));
        std::vector<uint8_t> f = frame(KELFB_CMD_HEARTBEAT, len < 16 ? 16 : len, 0);
        put32(f, 4, len);
        memset(f.data() + 16, 0x5A, f.size() - 16);
        ASSERT_TRUE(peerWrite(pair.meter, f.data(), f.size()));
        EXPECT_EQ(fbKELRecvMSG(pair.unit, &rec.msg), 0) << "length " << len;
        for (uint8_t g : rec.guard) {
            ASSERT_EQ(g, 0xA5) << "length " << len;
        }
        peerDrain(pair.unit, 50);
    }
    uint32_t badMagic[3] = {0x12345678u, 16, 0};
    ASSERT_TRUE(peerWrite(pair.meter, badMagic, sizeof(badMagic)));
    EXPECT_EQ(fbKELRecvMSG(pair.unit, &rec.msg), 0);
}

TEST(ScreenFrame, RectanglesLandInTheFrameWithRedAndBlueExchanged)
{
    KelTestRoot root;
    KEL_DEVICE_INFO di = unitRecord();
    ASSERT_EQ(fbClientInit(&di), 1);
    const UINT8 *fb = fbClientFrame();
    for (int i = 0; i < fbClientFrameSize(); i++) {
        ASSERT_EQ(fb[i], 0xFF) << "a new link starts white";
    }

    /* First row: three probe pixels, then a ramp. */
    KELFB_fbData_t rect;
    memset(&rect, 0, sizeof(rect));
    rect.fbRect = {0, 0, 320, 1};
    const uint8_t probes[6] = {0x00, 0xF8, 0x1F, 0x00, 0xE0, 0x07};
    memcpy(rect.fbData, probes, sizeof(probes));
    for (int i = 3; i < 320; i++) {
        uint16_t p = (uint16_t)(i * 197);
        memcpy(rect.fbData + 2 * i, &p, 2);
    }
    KELFB_fbData_t sent = rect;
    ASSERT_EQ(fbProcessRectData(&rect, KEL_FALSE), 1);
    const uint8_t want[6] = {0x1F, 0x00, 0x00, 0xF8, 0xE0, 0x07};
    EXPECT_EQ(memcmp(fb, want, 6), 0);
    for (int i = 3; i < 320; i++) {
        uint16_t wire, shown;
        memcpy(&wire, sent.fbData + 2 * i, 2);
        memcpy(&shown, fb + 2 * i, 2);
        ASSERT_EQ(shown, wireToDisplay(wire)) << "pixel " << i;
    }
    EXPECT_EQ(fb[640], 0xFF) << "second row untouched";

    /* Last row, and a 16 x 24 block placed row by row. */
    rect = sent;
    rect.fbRect = {0, 239, 320, 1};
    ASSERT_EQ(fbProcessRectData(&rect, KEL_FALSE), 1);
    EXPECT_EQ(memcmp(fb + 239 * 640, want, 6), 0);

    memset(&rect, 0, sizeof(rect));
    rect.fbRect = {100, 50, 16, 24};
    for (int i = 0; i < 384; i++) {
        uint16_t p = (uint16_t)(0x0800 | i); /* blue-ish on the wire */
        memcpy(rect.fbData + 2 * i, &p, 2);
    }
    sent = rect;
    ASSERT_EQ(fbProcessRectData(&rect, KEL_FALSE), 1);
    for (int r = 0; r < 24; r++) {
        for (int c = 0; c < 16; c++) {
            uint16_t wire, shown;
            memcpy(&wire, sent.fbData + 2 * (r * 16 + c), 2);
            memcpy(&shown, fb + (50 + r) * 640 + (100 + c) * 2, 2);
            ASSERT_EQ(shown, wireToDisplay(wire)) << r << "," << c;
        }
    }
    EXPECT_EQ(fb[50 * 640 + 99 * 2 + 1], 0xFF) << "left of the block untouched";
    EXPECT_EQ(fb[50 * 640 + 116 * 2], 0xFF) << "right of the block untouched";
}

TEST(ScreenFrame, RectanglesThatDoNotFitAreRejectedAndLeaveTheFrameAlone)
{
    KelTestRoot root;
    KEL_DEVICE_INFO di = unitRecord();
    ASSERT_EQ(fbClientInit(&di), 1);
    clearReports();
    std::vector<uint8_t> before(fbClientFrame(), fbClientFrame() + fbClientFrameSize());

    const KELFB_fbRect_t bad[] = {
        {321, 0, 1, 1},  {0, 241, 1, 1},  {0, 0, 321, 1}, {0, 0, 1, 241}, /* single values */
        {300, 0, 30, 1}, {0, 239, 1, 2},  {320, 0, 1, 1},                 /* past the frame */
        {0, 0, 20, 20},  {0, 0, 385, 1},  {0, 0, 2, 240},                 /* past the payload */
    };
    for (const KELFB_fbRect_t &r : bad) {
        KELFB_fbData_t rect;
        memset(&rect, 0, sizeof(rect));
        rect.fbRect = r;
        EXPECT_EQ(fbProcessRectData(&rect, KEL_FALSE), -1)
            << r.x << "," << r.y << " " << r.w << "x" << r.h;
    }
    EXPECT_TRUE(memcmp(before.data(), fbClientFrame(), before.size()) == 0);
    EXPECT_TRUE(reported(KEL_FW_FB_DATA_CHECK_ERROR));

    /* Empty rectangles at the far edges are accepted and change nothing. */
    KELFB_fbData_t empty;
    memset(&empty, 0, sizeof(empty));
    empty.fbRect = {320, 240, 0, 0};
    EXPECT_EQ(fbProcessRectData(&empty, KEL_FALSE), 1);
    empty.fbRect = {0, 0, 320, 0};
    EXPECT_EQ(fbProcessRectData(&empty, KEL_FALSE), 1);
    EXPECT_TRUE(memcmp(before.data(), fbClientFrame(), before.size()) == 0);
}

TEST_F(ScreenLink, TheUnitAnnouncesItsDisplayAndOnlyThenSendsKeys)
{
    KELFB_keyEvent_t ev = {KELFB_KEY_2, KELFB_KEY_RELEASE};
    EXPECT_EQ(fbKeyPadEventSend(&ev), -1) << "no key before the data request";
    EXPECT_EQ(fbKeyPadEventSend(nullptr), -1);

    ASSERT_EQ(fbLinkService(), 1);
    std::vector<uint8_t> req = meter.read(22);
    ASSERT_EQ(req.size(), 22u);
    const uint8_t want[] = {0xC7, 0x29, 0x53, 0xB4, 22, 0, 0, 0};
    EXPECT_EQ(memcmp(req.data(), want, 8), 0);
    const uint8_t body[] = {1, 0, 0, 0, 0x40, 0x01, 0xF0, 0x00, 0x10, 0x00};
    EXPECT_EQ(memcmp(req.data() + 12, body, sizeof(body)), 0);
    EXPECT_EQ(KEL_LOAD(fbClientLink()->deviceState), KEL_FBK_DATA_REQUESTED);

    EXPECT_EQ(fbKeyPadEventSend(&ev), 1);
    std::vector<uint8_t> key = meter.read(24);
    ASSERT_EQ(key.size(), 24u);
    EXPECT_EQ(get32(&key[12]), 4u);
    EXPECT_EQ(get32(&key[16]), 108u);
    EXPECT_EQ(get32(&key[20]), 0u);
    EXPECT_EQ(get32(&key[8]), get32(&req[8]) + 1);
}

/* A key event passes its first look at the announcement just as the link
 * thread drops the connection (and makes a new one): the test holds the
 * send mutex to keep it there. */
TEST_F(ScreenLink, AKeyCaughtByAReconnectNeitherPrecedesTheDataRequestNorFailsTheLink)
{
    KEL_DEVICE_INFO *link = fbClientLink();
    KELFB_keyEvent_t ev = {KELFB_KEY_2, KELFB_KEY_RELEASE};
    announce();

    pthread_mutex_lock(&fbSendMutex);
    HeldCall early([&ev] { return fbKeyPadEventSend(&ev); });
    ASSERT_TRUE(early.asleep());
    peerDropLinkHeld(link);
    ASSERT_EQ(fbLinkConnect(), 1);
    ASSERT_GE(meter.acceptConn(), 0);
    pthread_mutex_unlock(&fbSendMutex);
    EXPECT_EQ(early.result(), -1);
    EXPECT_TRUE(peerDrain(meter.conn, 200).empty()) << "nothing before the data request";
    EXPECT_EQ(KEL_LOAD(link->socketState), KEL_SOCKET_CONNECTED);
    announce();

    pthread_mutex_lock(&fbSendMutex);
    HeldCall late([&ev] { return fbKeyPadEventSend(&ev); });
    ASSERT_TRUE(late.asleep());
    peerDropLinkHeld(link);
    pthread_mutex_unlock(&fbSendMutex);
    EXPECT_EQ(late.result(), -1);
    EXPECT_EQ(KEL_LOAD(link->socketState), KEL_SOCKET_CLOSE)
        << "a key held back is no link failure";
}

TEST_F(ScreenLink, AScreenReachesTheSharedFrameAtScreenFinishedAndASecondChangesOneRectangle)
{
    ASSERT_EQ(fbLinkService(), 1); /* data request */
    ASSERT_EQ(meter.read(22).size(), 22u);

    /* A whole screen in 200 rectangles of 64 x 6 whose pixels encode their
     * position; nothing reaches the segment before SCR_FIN. */
    std::vector<uint16_t> expect(320 * 240);
    for (uint16_t y = 0; y < 240; y += 6) {
        for (uint16_t x = 0; x < 320; x += 64) {
            std::vector<uint16_t> px(384);
            for (int r = 0; r < 6; r++) {
                for (int c = 0; c < 64; c++) {
                    uint16_t p = (uint16_t)((x + c) * 7 + (y + r) * 331);
                    px[r * 64 + c] = p;
                    expect[(y + r) * 320 + x + c] = wireToDisplay(p);
                }
            }
            ASSERT_TRUE(meter.send(rectFrame(x, y, 64, 6, px)));
        }
    }
    INT32 shmId = -1;
    ASSERT_EQ(kelAppShareMemGetID(&shmId, KEL_SHM_ID_FB), 1);
    kel_ShMem_FB_t *shm = (kel_ShMem_FB_t *)shmat(shmId, nullptr, 0);
    ASSERT_NE(shm, (void *)-1);
    long start = peerNowMs();
    while (peerNowMs() - start < 10000 && fbClientFrame()[320 * 240 * 2 - 1] == 0xFF) {
        ASSERT_EQ(fbLinkService(), 1);
    }
    std::vector<uint8_t> zeros(153600, 0);
    EXPECT_EQ(memcmp(shm->fBuffer, zeros.data(), zeros.size()), 0)
        << "nothing is presented before the screen is finished";

    ASSERT_TRUE(meter.send(frame(KELFB_CMD_SCR_FIN, 16, 2)));
    INT32 fbq = -1;
    ASSERT_EQ(kelAppMsgQueGetID(&fbq, KEL_MSG_ID_FB), 1);
    struct msqid_ds ds;
    start = peerNowMs();
    do {
        ASSERT_EQ(fbLinkService(), 1);
        ASSERT_EQ(kelAppMsgQueGetInfo(fbq, &ds), 1);
    } while (ds.msg_qnum == 0 && peerNowMs() - start < 5000);
    kel_MsgQue_FB_t note;
    ASSERT_EQ(kelAppMsgQueDataRecv(fbq, KEL_MSG_TYPE_FB, &note, KEL_MSGQ_FB_BYTES), 8);
    EXPECT_EQ(note.appTaskID, KEL_TASK_FB_CLIENT);
    EXPECT_EQ(note.bScrFinished, KEL_TRUE);
    EXPECT_EQ(memcmp(shm->fBuffer, expect.data(), 153600), 0);

    /* Second screen: one rectangle. */
    std::vector<uint16_t> px(384, 0x001F);
    ASSERT_TRUE(meter.send(rectFrame(10, 20, 32, 12, px)));
    ASSERT_TRUE(meter.send(frame(KELFB_CMD_SCR_FIN, 16, 3)));
    start = peerNowMs();
    do {
        ASSERT_EQ(fbLinkService(), 1);
        ASSERT_EQ(kelAppMsgQueGetInfo(fbq, &ds), 1);
    } while (ds.msg_qnum == 0 && peerNowMs() - start < 5000);
    ASSERT_EQ(kelAppMsgQueDataRecv(fbq, KEL_MSG_TYPE_FB, &note, KEL_MSGQ_FB_BYTES), 8);
    for (int r = 0; r < 12; r++) {
        for (int c = 0; c < 32; c++) {
            expect[(20 + r) * 320 + 10 + c] = 0xF800;
        }
    }
    EXPECT_EQ(memcmp(shm->fBuffer, expect.data(), 153600), 0);
    shmdt(shm);
}

TEST_F(ScreenLink, AWrongMagicDropsTheLinkAndTheNextConnectionAnnouncesAgain)
{
    ASSERT_EQ(fbLinkService(), 1);
    ASSERT_EQ(meter.read(22).size(), 22u);
    const uint8_t garbage[8] = {0xDE, 0xAD, 0xBE, 0xEF, 16, 0, 0, 0};
    ASSERT_TRUE(peerWrite(meter.conn, garbage, sizeof(garbage)));
    EXPECT_GE(serviceUntilFailed(2000), 0);
    fbLinkClose();
    EXPECT_EQ(KEL_LOAD(fbClientLink()->socket), -1);
    EXPECT_TRUE(reported(KEL_COMM_DISCONNECTED));
    uint8_t b;
    EXPECT_LE(::read(meter.conn, &b, 1), 0) << "the meter sees the close";

    ASSERT_EQ(fbLinkConnect(), 1);
    ASSERT_GE(meter.acceptConn(), 0);
    ASSERT_EQ(fbLinkService(), 1);
    std::vector<uint8_t> req = meter.read(22);
    ASSERT_EQ(req.size(), 22u);
    EXPECT_EQ(get32(&req[12]), (uint32_t)KELFB_CMD_DATA_REQ);
}

TEST_F(ScreenLink, AnOversizeFrameOrARefusedAnnouncementFailsTheLink)
{
    ASSERT_EQ(fbLinkService(), 1);
    ASSERT_EQ(meter.read(22).size(), 22u);
    std::vector<uint8_t> big = frame(KELFB_CMD_FBDATA, 1600, 0);
    ASSERT_TRUE(meter.send(big));
    EXPECT_GE(serviceUntilFailed(2000), 0);
    fbLinkClose();

    ASSERT_EQ(fbLinkConnect(), 1);
    ASSERT_GE(meter.acceptConn(), 0);
    ASSERT_EQ(fbLinkService(), 1);
    std::vector<uint8_t> req = meter.read(22);
    ASSERT_EQ(req.size(), 22u);
    std::vector<uint8_t> no = frame(KELFB_CMD_RESPONSE, 28, 0);
    put32(no, 16, get32(&req[8]));
    put32(no, 20, KELFB_CMD_DATA_REQ);
    put32(no, 24, KELFB_RC_ERROR);
    ASSERT_TRUE(meter.send(no));
    EXPECT_GE(serviceUntilFailed(2000), 0);
}

TEST_F(ScreenLink, ASilentMeterGetsHeartbeatsAndIsDroppedAfterSixSeconds)
{
    long failedAfter = serviceUntilFailed(9000);
    EXPECT_GT(failedAfter, 5900);
    EXPECT_LT(failedAfter, 7200);
    EXPECT_TRUE(reported(KEL_COMM_TIMEOUT));
    std::vector<uint8_t> sent = peerDrain(meter.conn, 100);
    ASSERT_GE(sent.size(), 22u + 2 * 16);
    size_t heartbeats = 0;
    for (size_t at = 22; at + 16 <= sent.size(); at += 16) {
        EXPECT_EQ(get32(&sent[at + 12]), (uint32_t)KELFB_CMD_HEARTBEAT);
        heartbeats++;
    }
    EXPECT_GE(heartbeats, 2u);
    EXPECT_LE(heartbeats, 3u);
}

TEST_F(ScreenLink, MeterHeartbeatsKeepTheLinkUp)
{
    long start = peerNowMs();
    long nextBeat = start;
    while (peerNowMs() - start < 7500) {
        if (peerNowMs() >= nextBeat) {
            ASSERT_TRUE(meter.send(frame(KELFB_CMD_HEARTBEAT, 16, 9)));
            nextBeat += 1000;
        }
        ASSERT_EQ(fbLinkService(), 1);
        ASSERT_NE(KEL_LOAD(fbClientLink()->socketState), KEL_SOCKET_FAIL);
    }
}
