/*
 * The app client lives only beside the startup client: without it the
 * program ends at once with status 1 and the meter never hears from it;
 * when it goes away the app client ends with status 1 within about one
 * supervision period (10 s) and the meter sees both links close; started
 * again, it announces itself afresh on both links. The daemon runs on
 * throughout. Meter simulator on 127.0.0.64.
 */
#include <signal.h>

#include "test_meterlinkBoard.h"

static const char *kAddr = "127.0.0.64";

TEST(MeterLinkLife, TheAppClientRunsOnlyWhileTheStartupClientRuns)
{
    MeterLinkBoard b;
    ASSERT_TRUE(b.sb.ok());
    ASSERT_TRUE(b.startMeter(kAddr));
    ASSERT_TRUE(b.installStartupStandIn());
    ASSERT_TRUE(b.startDaemon());

    /* No startup client: refused, nothing connects. */
    ASSERT_GT(b.startApp(), 0);
    EXPECT_EQ(1, b.sb.waitExit(b.app, 15000)) << b.appOutput();
    b.app = -1;
    kelTestSleepMs(500);
    EXPECT_EQ(0, meterSimCount(b.sim, 0, MSIM_ANY, MSIM_EV_CONNECT, MSIM_ANY)) << b.describe(0);

    /* With the startup client both links come up. */
    ASSERT_GT(b.startStartupStandIn(), 0);
    uint32_t mark = meterSimMark(b.sim);
    ASSERT_GT(b.startApp(), 0);
    ASSERT_TRUE(b.waitAnnounced(mark)) << b.appOutput() << b.describe(mark);

    /* The startup client ends: within one supervision period (10 s, plus
     * slack for a loaded machine) the app client follows with status 1 and
     * both links close. */
    mark = meterSimMark(b.sim);
    uint64_t gone = meterSimNowMs();
    EXPECT_EQ(128 + SIGTERM, b.sb.stop(b.stp));
    b.stp = -1;
    EXPECT_EQ(1, b.sb.waitExit(b.app, 16000)) << b.appOutput();
    uint64_t ended = meterSimNowMs();
    b.app = -1;
    EXPECT_LE(ended - gone, 16000u);
    for (int32_t link : {MSIM_LINK_SCREEN, MSIM_LINK_NONSCREEN}) {
        MeterSimRecord_t closed;
        EXPECT_EQ(1, meterSimWait(b.sim, mark, link, MSIM_EV_CLOSED, MSIM_ANY, 5000, &closed))
            << "link " << link << "\n" << b.describe(mark);
    }
    kelTestSleepMs(1000);
    EXPECT_EQ(0, meterSimCount(b.sim, mark, MSIM_ANY, MSIM_EV_CONNECT, MSIM_ANY))
        << "the app client came back on its own\n" << b.describe(mark);

    /* Started again beside a new startup client: a fresh GET_DATA and
     * DATA_REQ, and the daemon, never restarted, still serves it. */
    ASSERT_GT(b.startStartupStandIn(), 0);
    mark = meterSimMark(b.sim);
    ASSERT_GT(b.startApp(), 0);
    ASSERT_TRUE(b.waitAnnounced(mark)) << b.appOutput() << b.describe(mark);
    EXPECT_EQ(2u, b.dataReq.conn);
    EXPECT_EQ(2u, b.getData.conn);
    uint32_t id = 0;
    ASSERT_EQ(1, meterSimSetBrightness(b.sim, 70, &id));
    EXPECT_EQ(MSW_RC_OK, meterSimWaitResponse(b.sim, MSIM_LINK_NONSCREEN, id, MLB_DEADLINE_MS));
    EXPECT_TRUE(b.waitFile(MLB_BACKLIGHT, "70"));
    EXPECT_TRUE(b.alive());
}
