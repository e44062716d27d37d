/*
 * A meter that misbehaves on purpose, against the real app client and
 * daemon: silence, a connection closed in the middle of a frame, a wrong
 * magic, a length above what the unit's record holds, rectangles that do
 * not fit, a frame stalled in the middle. The unit never crashes; a broken
 * link is closed and comes back at once with a fresh announcement, a bad
 * rectangle is dropped and the link kept. Meter simulator on 127.0.0.63.
 */
#include "test_meterlinkBoard.h"

static const char *kAddr = "127.0.0.63";

/* From the unit's close to its next announcement: the reconnection follows
 * 50 ms after the close; the rest is slack for a loaded machine. */
#define RECONNECT_MAX_MS 5000

static const int32_t kLinks[] = {MSIM_LINK_SCREEN, MSIM_LINK_NONSCREEN};

static const char *linkName(int32_t link)
{
    return link == MSIM_LINK_SCREEN ? "screen link" : "non-screen link";
}

class MeterLinkMisbehaviour : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(b.bringUp(kAddr)) << b.appOutput() << b.describe(0); }

    /* Both links were dropped after `mark` and came back announced. */
    void expectBothReconnect(uint32_t mark, const char *what)
    {
        for (int32_t link : kLinks) {
            MeterSimRecord_t closed, announce;
            ASSERT_TRUE(b.waitReconnect(mark, link, MLB_DEADLINE_MS, &closed, &announce))
                << what << ", " << linkName(link) << "\n" << b.describe(mark);
            EXPECT_LT(announce.timeMs - closed.timeMs, (uint64_t)RECONNECT_MAX_MS)
                << what << ", " << linkName(link);
        }
        ASSERT_TRUE(b.alive()) << what << "\n" << b.appOutput();
        kelTestSleepMs(300); /* the announcements are marked sent */
    }

    /* Neither link was dropped after `mark` within waitMs. */
    void expectBothKept(uint32_t mark, int waitMs, const char *what)
    {
        kelTestSleepMs(waitMs);
        for (int32_t link : kLinks)
            EXPECT_EQ(0, meterSimCount(b.sim, mark, link, MSIM_EV_CLOSED, MSIM_ANY))
                << what << ", " << linkName(link) << "\n" << b.describe(mark);
        ASSERT_TRUE(b.alive()) << what;
    }

    MeterLinkBoard b;
};

TEST_F(MeterLinkMisbehaviour, BrokenFramesDropTheLinkWhichComesBackAtOnce)
{
    /* Closed in the middle of a rectangle and of a clock command. */
    uint32_t mark = meterSimMark(b.sim);
    ASSERT_EQ(1, meterSimSendCutAndClose(b.sim, MSIM_LINK_SCREEN, 100));
    ASSERT_EQ(1, meterSimSendCutAndClose(b.sim, MSIM_LINK_NONSCREEN, 10));
    expectBothReconnect(mark, "closed mid-frame");
    EXPECT_FALSE(b.sb.journal().find("date -s") != std::string::npos)
        << "a cut clock command was carried out";

    /* A wrong magic. */
    mark = meterSimMark(b.sim);
    for (int32_t link : kLinks)
        ASSERT_EQ(1, meterSimSendBadMagic(b.sim, link, 0xDEADBEEFu));
    expectBothReconnect(mark, "wrong magic");

    /* The largest frames the unit's records hold are taken... */
    mark = meterSimMark(b.sim);
    ASSERT_EQ(1, meterSimSendOversize(b.sim, MSIM_LINK_SCREEN, MSW_FB_MAX_FRAME));
    ASSERT_EQ(1, meterSimSendOversize(b.sim, MSIM_LINK_NONSCREEN, MSW_NS_MAX_FRAME));
    expectBothKept(mark, 1500, "largest frames");
    /* ...one byte more is a broken frame, never read past the record. */
    mark = meterSimMark(b.sim);
    ASSERT_EQ(1, meterSimSendOversize(b.sim, MSIM_LINK_SCREEN, MSW_FB_MAX_FRAME + 1));
    ASSERT_EQ(1, meterSimSendOversize(b.sim, MSIM_LINK_NONSCREEN, MSW_NS_MAX_FRAME + 1));
    expectBothReconnect(mark, "length above the record");
    mark = meterSimMark(b.sim);
    ASSERT_EQ(1, meterSimSendOversize(b.sim, MSIM_LINK_SCREEN, 65536));
    ASSERT_EQ(1, meterSimSendOversize(b.sim, MSIM_LINK_NONSCREEN, 4096));
    expectBothReconnect(mark, "huge length");

    /* A frame paused for 100 ms in the middle arrives whole... */
    mark = meterSimMark(b.sim);
    for (int32_t link : kLinks)
        ASSERT_EQ(1, meterSimSendStalled(b.sim, link, 6, 100));
    expectBothKept(mark, 1000, "short stall");
    /* ...one paused past the unit's receive time-out leaves the rest to be
     * read as a new frame, which fails its magic: the link is renewed. */
    mark = meterSimMark(b.sim);
    for (int32_t link : kLinks)
        ASSERT_EQ(1, meterSimSendStalled(b.sim, link, 6, 1500));
    expectBothReconnect(mark, "long stall");

    /* Still serving both links after all of it. */
    uint32_t id = 0;
    ASSERT_EQ(1, meterSimSetBrightness(b.sim, 55, &id));
    EXPECT_EQ(MSW_RC_OK, meterSimWaitResponse(b.sim, MSIM_LINK_NONSCREEN, id, MLB_DEADLINE_MS));
    EXPECT_TRUE(b.waitFile(MLB_BACKLIGHT, "55"));
    meterSimDrawPattern(b.sim, MSIM_PATTERN_BARS, 0);
    ASSERT_EQ(200, meterSimSendScreen(b.sim, 0, 1));
    std::string want = mlbFrameBytes(meterSimScreen(b.sim));
    EXPECT_TRUE(b.waitScreen(want)) << mlbFirstDiff(b.screen(), want);
}

TEST_F(MeterLinkMisbehaviour, ASilentOrRefusingMeterIsDroppedAndAHeartbeatingOneKept)
{
    /* A meter that only sends heartbeats keeps both links up. */
    uint32_t mark = meterSimMark(b.sim);
    expectBothKept(mark, 8000, "heartbeats only");

    mark = meterSimMark(b.sim);
    uint64_t quietFrom = meterSimNowMs();
    for (int32_t link : kLinks)
        meterSimSetSilent(b.sim, link, 1);
    MeterSimRecord_t closed[2];
    for (int i = 0; i < 2; i++)
        ASSERT_EQ(1, meterSimWait(b.sim, mark, kLinks[i], MSIM_EV_CLOSED, MSIM_ANY, 20000, &closed[i]))
            << linkName(kLinks[i]) << "\n" << b.describe(mark);
    for (int32_t link : kLinks)
        meterSimSetSilent(b.sim, link, 0);
    for (int i = 0; i < 2; i++) {
        /* The meter's last heartbeat came at most 2 s before it fell
         * silent; the unit gives it just over 6 s from then. */
        uint64_t after = closed[i].timeMs - quietFrom;
        EXPECT_GE(after, 3900u) << linkName(kLinks[i]);
        EXPECT_LE(after, 11000u) << linkName(kLinks[i]);
        /* Meanwhile the unit kept sending its own heartbeats. */
        int32_t hb = kLinks[i] == MSIM_LINK_SCREEN ? (int32_t)MSW_FB_HEARTBEAT : (int32_t)MSW_NS_HEARTBEAT;
        int32_t beats = 0;
        MeterSimRecord_t rec;
        uint32_t from = mark;
        while (meterSimWait(b.sim, from, kLinks[i], MSIM_EV_FRAME, hb, 0, &rec) == 1 &&
               rec.seq < closed[i].seq) {
            beats++;
            from = rec.seq + 1;
        }
        EXPECT_GE(beats, 1) << linkName(kLinks[i]) << "\n" << b.describe(mark);
    }
    expectBothReconnect(mark, "silence");

    /* While quiet, the unit's heartbeats leave every 2 to 2.5 s. */
    mark = meterSimMark(b.sim);
    for (int32_t link : kLinks) {
        int32_t hb = link == MSIM_LINK_SCREEN ? (int32_t)MSW_FB_HEARTBEAT : (int32_t)MSW_NS_HEARTBEAT;
        std::vector<MeterSimRecord_t> beats = b.frames(mark, link, hb, 3, 12000);
        ASSERT_EQ(3u, beats.size()) << linkName(link);
        for (size_t i = 1; i < beats.size(); i++) {
            uint64_t gap = beats[i].timeMs - beats[i - 1].timeMs;
            EXPECT_GE(gap, 1900u) << linkName(link);
            EXPECT_LE(gap, 4000u) << linkName(link);
        }
    }

    /* A meter that refuses the announcements: each connection is dropped
     * right after its refused announcement and the next one announces
     * again. */
    meterSimSetAnswerCodes(b.sim, MSW_RC_ERROR, MSW_RC_ERROR);
    mark = meterSimMark(b.sim);
    for (int32_t link : kLinks)
        ASSERT_EQ(1, meterSimDrop(b.sim, link));
    for (int32_t link : kLinks) {
        int32_t ann = link == MSIM_LINK_SCREEN ? (int32_t)MSW_FB_DATA_REQ : (int32_t)MSW_NS_GET_DATA;
        std::vector<MeterSimRecord_t> anns = b.frames(mark, link, ann, 3, MLB_DEADLINE_MS);
        ASSERT_EQ(3u, anns.size()) << linkName(link) << "\n" << b.describe(mark);
        EXPECT_LT(anns[0].conn, anns[1].conn);
        EXPECT_LT(anns[1].conn, anns[2].conn);
    }
    meterSimSetAnswerCodes(b.sim, MSW_RC_OK, MSW_RC_OK);
    ASSERT_TRUE(mlbWaitFor([&] {
        return meterSimConnected(b.sim, MSIM_LINK_SCREEN) == 1 &&
               meterSimConnected(b.sim, MSIM_LINK_NONSCREEN) == 1;
    }));
    kelTestSleepMs(1000);
    expectBothKept(meterSimMark(b.sim), 3000, "announcements accepted again");
}

TEST_F(MeterLinkMisbehaviour, RectanglesThatDoNotFitAreDroppedAndTheLinkKept)
{
    meterSimDrawPattern(b.sim, MSIM_PATTERN_CHECKER, 0);
    ASSERT_EQ(200, meterSimSendScreen(b.sim, 0, 1));
    std::vector<uint16_t> pic(meterSimScreen(b.sim), meterSimScreen(b.sim) + MSW_SCREEN_W * MSW_SCREEN_H);
    std::string want = mlbFrameBytes(pic.data());
    ASSERT_TRUE(b.waitScreen(want)) << mlbFirstDiff(b.screen(), want);

    uint32_t mark = meterSimMark(b.sim);
    std::vector<uint16_t> red(MSW_RECT_PIXELS, 0x001F); /* red on the wire is 0x001F */
    ASSERT_EQ(1, meterSimSendRect(b.sim, 300, 0, 64, 6, red.data(), MSW_RECT_PIXELS));   /* past the right */
    ASSERT_EQ(1, meterSimSendRect(b.sim, 0, 236, 64, 6, red.data(), MSW_RECT_PIXELS));   /* past the bottom */
    ASSERT_EQ(1, meterSimSendRect(b.sim, 0, 0, 320, 2, red.data(), MSW_RECT_PIXELS));    /* more than a payload */
    ASSERT_EQ(1, meterSimSendRect(b.sim, 321, 0, 0, 0, red.data(), 0));                  /* x beyond */
    ASSERT_EQ(1, meterSimSendRect(b.sim, 0, 0, 0xFFFF, 0xFFFF, red.data(), MSW_RECT_PIXELS));
    /* One that fits, right in the corner. */
    ASSERT_EQ(1, meterSimSendRect(b.sim, 312, 232, 8, 8, red.data(), 64));
    ASSERT_EQ(1, meterSimSendScrFin(b.sim));
    for (int y = 232; y < 240; y++)
        for (int x = 312; x < 320; x++)
            pic[(size_t)y * MSW_SCREEN_W + x] = 0xF800;
    want = mlbFrameBytes(pic.data());
    ASSERT_TRUE(b.waitScreen(want)) << mlbFirstDiff(b.screen(), want);
    expectBothKept(mark, 500, "bad rectangles");
}
