/*
 * The meter simulator's links, driven by a hand-written unit: answers to
 * the unit's announcements, commands byte for byte, the record and its
 * times, heartbeats, silence, and every deliberate misbehaviour.
 */
#include <gtest/gtest.h>

#include <string>
#include <thread>

#include "meterSim.h"
#include "test_metersimClient.h"

namespace {

const uint16_t SCREEN_PORT = 1234;
const uint16_t NONSCREEN_PORT = 1236;

/* Each test gets its own loopback address. */
class MeterLink : public ::testing::Test {
protected:
    void SetUp() override
    {
        static int next = 10;
        addr = "127.0.77." + std::to_string(next++);
        MeterSimConfig_t cfg;
        meterSimDefaultConfig(&cfg, addr.c_str());
        cfg.heartbeatMs = 0;   /* byte checks below want a quiet meter */
        sim = meterSimStart(&cfg);
        ASSERT_NE(sim, nullptr);
    }
    void TearDown() override
    {
        for (int fd : fds)
            close(fd);
        meterSimStop(sim);
    }
    int connectUnit(int32_t link)
    {
        int fd = clientConnect(addr.c_str(), link == MSIM_LINK_SCREEN ? SCREEN_PORT : NONSCREEN_PORT);
        EXPECT_GE(fd, 0);
        fds.push_back(fd);
        EXPECT_EQ(meterSimWaitConnected(sim, link, 2000), 1);
        return fd;
    }
    std::string addr;
    MeterSim_t *sim = nullptr;
    std::vector<int> fds;
};

Bytes getDataFrame(uint32_t transId)
{
    return frameHead(16, transId, 7);
}

TEST_F(MeterLink, GetDataIsAnsweredWithTheChosenCodeByteForByte)
{
    int fd = connectUnit(MSIM_LINK_NONSCREEN);
    uint64_t before = meterSimNowMs();
    ASSERT_TRUE(clientSend(fd, getDataFrame(5)));

    Bytes expected = frameHead(28, 0, 0);
    put32(expected, 5);   /* answers transaction 5 */
    put32(expected, 7);   /* ... which was a GET_DATA */
    put32(expected, 1);   /* OK */
    EXPECT_EQ(clientRecv(fd, 28, 2000), expected);

    MeterSimRecord_t rec;
    ASSERT_EQ(meterSimWait(sim, 0, MSIM_LINK_NONSCREEN, MSIM_EV_FRAME, MSW_NS_GET_DATA, 1000, &rec), 1);
    EXPECT_EQ(Bytes(rec.bytes, rec.bytes + rec.nBytes), getDataFrame(5));
    EXPECT_EQ(rec.transID, 5u);
    EXPECT_EQ(rec.conn, 1u);
    EXPECT_GE(rec.timeMs, before);
    EXPECT_LE(rec.timeMs, meterSimNowMs());

    /* The meter now refuses: the code changes, the counter goes on. */
    meterSimSetAnswerCodes(sim, MSW_RC_ERROR, MSW_RC_OK);
    ASSERT_TRUE(clientSend(fd, getDataFrame(6)));
    Bytes refused = frameHead(28, 1, 0);
    put32(refused, 6);
    put32(refused, 7);
    put32(refused, 0);
    EXPECT_EQ(clientRecv(fd, 28, 2000), refused);
}

TEST_F(MeterLink, DataRequestOnTheScreenLinkIsAnswered)
{
    int fd = connectUnit(MSIM_LINK_SCREEN);
    Bytes req = frameHead(22, 9, 1);
    put16(req, 320);
    put16(req, 240);
    put16(req, 16);
    ASSERT_TRUE(clientSend(fd, req));

    /* A meter reacting to the recorded request at once still cannot get
     * ahead of the answer. */
    MeterSimRecord_t rec;
    ASSERT_EQ(meterSimWait(sim, 0, MSIM_LINK_SCREEN, MSIM_EV_FRAME, MSW_FB_DATA_REQ, 1000, &rec), 1);
    ASSERT_EQ(meterSimSendScrFin(sim), 1);
    EXPECT_EQ(rec.length, 22u);
    EXPECT_EQ(Bytes(rec.bytes, rec.bytes + rec.nBytes), req);

    Bytes expected = frameHead(28, 0, 0);
    put32(expected, 9);
    put32(expected, 1);
    put32(expected, 1);
    EXPECT_EQ(clientRecv(fd, 28, 2000), expected);
    EXPECT_EQ(clientRecv(fd, 16, 2000), frameHead(16, 1, 3));
}

TEST_F(MeterLink, CommandsGoOutByteForByteAndTheirAnswersAreMatchedByTransaction)
{
    int fd = connectUnit(MSIM_LINK_NONSCREEN);
    uint32_t idBright = 99, idTime = 99, idStatus = 99, idAlarm = 99;
    MSW_Pattern_t status = {500, 50, 3, 2};
    MSW_Pattern_t alarm = {1000, 150, 0, 0};
    ASSERT_EQ(meterSimSetBrightness(sim, 80, &idBright), 1);
    ASSERT_EQ(meterSimSetTime(sim, 0x0102030405060708ull, &idTime), 1);
    ASSERT_EQ(meterSimSetStatusLed(sim, MSW_LED_RED, &status, &idStatus), 1);
    ASSERT_EQ(meterSimSetAlarmLed(sim, &alarm, &idAlarm), 1);
    EXPECT_EQ(idBright, 0u);
    EXPECT_EQ(idTime, 1u);
    EXPECT_EQ(idStatus, 2u);
    EXPECT_EQ(idAlarm, 3u);

    Bytes bright = {0xC7, 0x29, 0x53, 0xB4, 0x14, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0x50, 0, 0, 0};
    Bytes time = frameHead(24, 1, 2);
    for (uint8_t b : {8, 7, 6, 5, 4, 3, 2, 1})
        time.push_back(b);
    Bytes led = frameHead(28, 2, 3);
    put32(led, 1);
    for (uint16_t v : {500, 50, 3, 2})
        put16(led, v);
    Bytes alarmBytes = frameHead(24, 3, 4);
    for (uint16_t v : {1000, 150, 0, 0})
        put16(alarmBytes, v);
    EXPECT_EQ(clientRecvFrame(fd), bright);
    EXPECT_EQ(clientRecvFrame(fd), time);
    EXPECT_EQ(clientRecvFrame(fd), led);
    EXPECT_EQ(clientRecvFrame(fd), alarmBytes);

    /* The unit answers brightness OK and the alarm pattern with an error;
     * the time goes unanswered. */
    Bytes ok = frameHead(28, 40, 0);
    put32(ok, idBright);
    put32(ok, 1);
    put32(ok, 1);
    Bytes err = frameHead(28, 41, 0);
    put32(err, idAlarm);
    put32(err, 4);
    put32(err, 0);
    ASSERT_TRUE(clientSend(fd, err));
    ASSERT_TRUE(clientSend(fd, ok));
    EXPECT_EQ(meterSimWaitResponse(sim, MSIM_LINK_NONSCREEN, idBright, 2000), 1);
    EXPECT_EQ(meterSimWaitResponse(sim, MSIM_LINK_NONSCREEN, idAlarm, 2000), 0);
    uint64_t start = meterSimNowMs();
    EXPECT_EQ(meterSimWaitResponse(sim, MSIM_LINK_NONSCREEN, idTime, 300), -2);
    EXPECT_GE(meterSimNowMs() - start, 290u);
}

TEST_F(MeterLink, EveryFrameOfTheUnitIsRecordedInOrderWithItsArrivalTime)
{
    int fb = connectUnit(MSIM_LINK_SCREEN);
    int ns = connectUnit(MSIM_LINK_NONSCREEN);
    uint32_t mark = meterSimMark(sim);

    Bytes key = frameHead(24, 0, 4);
    put32(key, 102);
    put32(key, 1);
    ASSERT_TRUE(clientSend(fb, key));
    Bytes temp = frameHead(20, 0, 5);
    put32(temp, (uint32_t)-12);
    ASSERT_TRUE(clientSend(ns, temp));
    usleep(200000);
    Bytes error = frameHead(28, 1, 6);
    put32(error, 203);
    put32(error, 1700000000u);
    put32(error, 0);
    /* Sent in two pieces: still one frame. */
    ASSERT_TRUE(clientSend(ns, Bytes(error.begin(), error.begin() + 10)));
    usleep(50000);
    ASSERT_TRUE(clientSend(ns, Bytes(error.begin() + 10, error.end())));

    MeterSimRecord_t k, t, e;
    ASSERT_EQ(meterSimWait(sim, mark, MSIM_LINK_SCREEN, MSIM_EV_FRAME, MSW_FB_KEYEVENT, 2000, &k), 1);
    ASSERT_EQ(meterSimWait(sim, mark, MSIM_LINK_NONSCREEN, MSIM_EV_FRAME, MSW_NS_GET_TEMPERATURE, 2000, &t), 1);
    ASSERT_EQ(meterSimWait(sim, mark, MSIM_LINK_NONSCREEN, MSIM_EV_FRAME, MSW_NS_GET_ERROR, 2000, &e), 1);
    EXPECT_EQ(Bytes(k.bytes, k.bytes + k.nBytes), key);
    EXPECT_EQ(Bytes(t.bytes, t.bytes + t.nBytes), temp);
    EXPECT_EQ(Bytes(e.bytes, e.bytes + e.nBytes), error);
    EXPECT_LT(t.seq, e.seq);
    EXPECT_GE(e.timeMs - t.timeMs, 240u);
    EXPECT_EQ(meterSimCount(sim, mark, MSIM_ANY, MSIM_EV_FRAME, MSIM_ANY), 3);

    char line[256];
    meterSimFormatRecord(&k, line, sizeof(line));
    EXPECT_NE(std::string(line).find("KEYEVENT"), std::string::npos) << line;
    EXPECT_NE(std::string(line).find("key 102 pressed"), std::string::npos) << line;

    /* Nothing more comes: a wait ends after its time-out. */
    uint64_t start = meterSimNowMs();
    EXPECT_EQ(meterSimWait(sim, e.seq + 1, MSIM_ANY, MSIM_EV_FRAME, MSIM_ANY, 250, nullptr), -2);
    EXPECT_GE(meterSimNowMs() - start, 240u);
}

TEST_F(MeterLink, HeartbeatsKeepComingOnBothLinksUntilTheMeterFallsSilent)
{
    meterSimSetHeartbeat(sim, 200);
    int fb = connectUnit(MSIM_LINK_SCREEN);
    int ns = connectUnit(MSIM_LINK_NONSCREEN);
    uint64_t prev = 0;
    for (uint32_t i = 0; i < 3; i++) {
        Bytes f = clientRecvFrame(ns, 1500);
        uint64_t now = clientNowMs();
        EXPECT_EQ(f, frameHead(16, i, 8));
        if (prev != 0) {
            EXPECT_GE(now - prev, 150u);
        }
        prev = now;
        EXPECT_EQ(clientRecvFrame(fb, 1500), frameHead(16, i, 5));
    }

    meterSimSetSilent(sim, MSIM_LINK_NONSCREEN, 1);
    clientRecv(ns, 1000, 250);   /* a heartbeat may have been on its way */
    ASSERT_TRUE(clientSend(ns, getDataFrame(3)));
    EXPECT_TRUE(clientRecv(ns, 1, 700).empty());
    EXPECT_EQ(meterSimWait(sim, 0, MSIM_LINK_NONSCREEN, MSIM_EV_FRAME, MSW_NS_GET_DATA, 500, nullptr), 1);
    /* The screen link is not silenced. */
    EXPECT_FALSE(clientRecvFrame(fb, 1000).empty());
}

TEST_F(MeterLink, AUnitThatBreaksTheFramingIsDroppedAndRecorded)
{
    int fd = connectUnit(MSIM_LINK_NONSCREEN);
    ASSERT_TRUE(clientSend(fd, Bytes{0xDE, 0xAD, 0xBE, 0xEF, 16, 0, 0, 0}));
    MeterSimRecord_t rec;
    ASSERT_EQ(meterSimWait(sim, 0, MSIM_LINK_NONSCREEN, MSIM_EV_BAD_MAGIC, MSIM_ANY, 2000, &rec), 1);
    EXPECT_EQ(rec.bytes[0], 0xDE);
    EXPECT_TRUE(clientSeesClose(fd, 2000));
    EXPECT_EQ(meterSimConnected(sim, MSIM_LINK_NONSCREEN), 0);

    /* A length beyond the 32-byte record ends the connection after the
     * prefix; the bytes claimed are never taken in. */
    fd = connectUnit(MSIM_LINK_NONSCREEN);
    Bytes big = frameHead(33, 0, 8);
    big.resize(33, 0xAA);
    ASSERT_TRUE(clientSend(fd, big));
    ASSERT_EQ(meterSimWait(sim, 0, MSIM_LINK_NONSCREEN, MSIM_EV_BAD_LENGTH, MSIM_ANY, 2000, &rec), 1);
    EXPECT_EQ(rec.length, 33u);
    EXPECT_EQ(rec.conn, 2u);
    EXPECT_TRUE(clientSeesClose(fd, 2000));

    /* A unit that goes away mid-frame leaves the bytes it sent. */
    fd = connectUnit(MSIM_LINK_SCREEN);
    Bytes key = frameHead(24, 0, 4);
    ASSERT_TRUE(clientSend(fd, Bytes(key.begin(), key.begin() + 10)));
    usleep(100000);
    close(fd);
    fds.pop_back();
    ASSERT_EQ(meterSimWait(sim, 0, MSIM_LINK_SCREEN, MSIM_EV_CLOSED, MSIM_ANY, 2000, &rec), 1);
    EXPECT_EQ(rec.nBytes, 10u);
    EXPECT_EQ(meterSimCount(sim, 0, MSIM_LINK_SCREEN, MSIM_EV_FRAME, MSIM_ANY), 0);
}

TEST_F(MeterLink, WrongMagicAndOversizeFramesAreSentAsAsked)
{
    int ns = connectUnit(MSIM_LINK_NONSCREEN);
    int fb = connectUnit(MSIM_LINK_SCREEN);
    ASSERT_EQ(meterSimSendBadMagic(sim, MSIM_LINK_NONSCREEN, 0xEFBEADDE), 1);
    Bytes bad = {0xDE, 0xAD, 0xBE, 0xEF, 16, 0, 0, 0, 0, 0, 0, 0, 8, 0, 0, 0};
    EXPECT_EQ(clientRecv(ns, 16, 2000), bad);

    ASSERT_EQ(meterSimSendOversize(sim, MSIM_LINK_NONSCREEN, 800), 1);
    Bytes over = clientRecv(ns, 800, 2000);
    ASSERT_EQ(over.size(), 800u);
    EXPECT_EQ(Bytes(over.begin(), over.begin() + 16), frameHead(800, 1, 8));
    EXPECT_TRUE(clientRecv(ns, 1, 200).empty());

    ASSERT_EQ(meterSimSendOversize(sim, MSIM_LINK_SCREEN, 793), 1);
    Bytes overFb = clientRecv(fb, 793, 2000);
    ASSERT_EQ(overFb.size(), 793u);
    EXPECT_EQ(get32(overFb, 4), 793u);

    /* A rectangle that does not fit goes out exactly as given. */
    uint16_t px[2] = {0x1234, 0xABCD};
    ASSERT_EQ(meterSimSendRect(sim, 300, 239, 64, 6, px, 2), 1);
    Bytes rect = clientRecvFrame(fb);
    ASSERT_EQ(rect.size(), 792u);
    EXPECT_EQ(Bytes(rect.begin(), rect.begin() + 16), frameHead(792, 1, 2));
    EXPECT_EQ(get16(rect, 16), 300);
    EXPECT_EQ(get16(rect, 18), 239);
    EXPECT_EQ(get16(rect, 20), 64);
    EXPECT_EQ(get16(rect, 22), 6);
    EXPECT_EQ(get16(rect, 24), 0x1234);
    EXPECT_EQ(get16(rect, 26), 0xABCD);
    EXPECT_EQ(get16(rect, 28), 0);
    EXPECT_EQ(meterSimSendRect(sim, 0, 0, 1, 1, px, 385), -1);
}

TEST_F(MeterLink, ACutFrameEndsInAClosedConnection)
{
    int fb = connectUnit(MSIM_LINK_SCREEN);
    ASSERT_EQ(meterSimSendCutAndClose(sim, MSIM_LINK_SCREEN, 100), 1);
    bool eof = false;
    Bytes got = clientRecv(fb, 1000, 2000, &eof);
    EXPECT_TRUE(eof);
    ASSERT_EQ(got.size(), 100u);
    EXPECT_EQ(Bytes(got.begin(), got.begin() + 16), frameHead(792, 0, 2));
    ASSERT_EQ(meterSimWait(sim, 0, MSIM_LINK_SCREEN, MSIM_EV_CLOSED, MSIM_ANY, 2000, nullptr), 1);

    int ns = connectUnit(MSIM_LINK_NONSCREEN);
    uint32_t mark = meterSimMark(sim);
    ASSERT_EQ(meterSimSendCutAndClose(sim, MSIM_LINK_NONSCREEN, 7), 1);
    got = clientRecv(ns, 100, 2000, &eof);
    EXPECT_TRUE(eof);
    EXPECT_EQ(got, Bytes({0xC7, 0x29, 0x53, 0xB4, 24, 0, 0}));
    ASSERT_EQ(meterSimWait(sim, mark, MSIM_LINK_NONSCREEN, MSIM_EV_CLOSED, MSIM_ANY, 2000, nullptr), 1);

    /* Dropping on request, and the link serves the next connection. */
    ns = connectUnit(MSIM_LINK_NONSCREEN);
    mark = meterSimMark(sim);
    ASSERT_EQ(meterSimDrop(sim, MSIM_LINK_NONSCREEN), 1);
    EXPECT_TRUE(clientSeesClose(ns, 2000));
    ASSERT_EQ(meterSimWait(sim, mark, MSIM_LINK_NONSCREEN, MSIM_EV_CLOSED, MSIM_ANY, 2000, nullptr), 1);
    ns = connectUnit(MSIM_LINK_NONSCREEN);
    ASSERT_TRUE(clientSend(ns, getDataFrame(0)));
    Bytes answer = clientRecvFrame(ns);
    ASSERT_EQ(answer.size(), 28u);
    EXPECT_EQ(get32(answer, 16), 0u);
    MeterSimRecord_t rec;
    ASSERT_EQ(meterSimWait(sim, 0, MSIM_LINK_NONSCREEN, MSIM_EV_FRAME, MSW_NS_GET_DATA, 1000, &rec), 1);
    EXPECT_EQ(rec.conn, 3u);
}

TEST_F(MeterLink, AStalledFrameHoldsTheLinkForTheChosenTime)
{
    int ns = connectUnit(MSIM_LINK_NONSCREEN);
    int32_t stallRc = 0;
    uint64_t t0 = clientNowMs();
    std::thread staller([&] { stallRc = meterSimSendStalled(sim, MSIM_LINK_NONSCREEN, 6, 500); });
    Bytes first = clientRecv(ns, 6, 1000);
    uint64_t t1 = clientNowMs();
    /* A command asked for during the stall waits behind the frame. */
    usleep(100000);
    uint32_t id = 0;
    std::thread commander([&] { meterSimSetBrightness(sim, 10, &id); });
    Bytes rest = clientRecv(ns, 10, 2000);
    uint64_t t2 = clientNowMs();
    Bytes next = clientRecvFrame(ns);
    staller.join();
    commander.join();

    EXPECT_EQ(stallRc, 1);
    Bytes whole = first;
    whole.insert(whole.end(), rest.begin(), rest.end());
    EXPECT_EQ(whole, frameHead(16, 0, 8));
    EXPECT_LT(t1 - t0, 400u);
    EXPECT_GE(t2 - t1, 350u);
    ASSERT_EQ(next.size(), 20u);
    EXPECT_EQ(get32(next, 12), 1u);
    EXPECT_EQ(get32(next, 16), 10u);
}

TEST(MeterSimStart, RefusesAnAddressItCannotServe)
{
    MeterSimConfig_t cfg;
    meterSimDefaultConfig(&cfg, "not-an-address");
    EXPECT_EQ(meterSimStart(&cfg), nullptr);
    meterSimDefaultConfig(&cfg, "127.0.77.250");
    MeterSim_t *a = meterSimStart(&cfg);
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(meterSimStart(&cfg), nullptr);   /* both ports taken */
    EXPECT_EQ(meterSimSetBrightness(a, 50, nullptr), -1);   /* nobody connected */
    meterSimStop(a);
}

} // namespace
