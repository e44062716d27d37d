/*
 * The meter's non-screen commands through the real app client and daemon:
 * each is answered with a RESPONSE naming the command, and what was
 * accepted reaches the backlight and LED files and the clock (a "date -s"
 * line in the board's journal). Brightness above 100 is refused; LED
 * patterns are normalised before the daemon sees them. Meter simulator on
 * 127.0.0.62.
 */
#include "test_meterlinkBoard.h"

static const char *kAddr = "127.0.0.62";

/* Sends one command and returns the meter's view of the answer: the
 * response code, or -2 when none came. The RESPONSE must name the command
 * by its transaction id. */
static int32_t answered(MeterLinkBoard &b, const std::function<int32_t(uint32_t *)> &send)
{
    uint32_t id = 0;
    uint32_t mark = meterSimMark(b.sim);
    if (send(&id) != 1)
        return -3;
    int32_t code = meterSimWaitResponse(b.sim, MSIM_LINK_NONSCREEN, id, MLB_DEADLINE_MS);
    MeterSimRecord_t r;
    if (code >= 0 && meterSimWait(b.sim, mark, MSIM_LINK_NONSCREEN, MSIM_EV_FRAME, MSW_NS_RESPONSE,
                                  0, &r) == 1) {
        EXPECT_EQ(28u, r.nBytes);
        EXPECT_EQ((int32_t)id, mlbWord(r, 16));
    }
    return code;
}

static int32_t brightness(MeterLinkBoard &b, uint32_t level)
{
    return answered(b, [&](uint32_t *id) { return meterSimSetBrightness(b.sim, level, id); });
}

static int32_t statusLed(MeterLinkBoard &b, int32_t colour, MSW_Pattern_t p)
{
    return answered(b, [&](uint32_t *id) { return meterSimSetStatusLed(b.sim, colour, &p, id); });
}

static int32_t alarmLed(MeterLinkBoard &b, MSW_Pattern_t p)
{
    return answered(b, [&](uint32_t *id) { return meterSimSetAlarmLed(b.sim, &p, id); });
}

/* Samples an LED for durationMs: whether it was seen lit and dark. */
static void sampleLed(MeterLinkBoard &b, const char *path, int durationMs, bool *on, bool *off)
{
    *on = false;
    *off = false;
    uint64_t end = meterSimNowMs() + (uint64_t)durationMs;
    while (meterSimNowMs() < end) {
        std::string v = b.file(path);
        *on |= v == "255";
        *off |= v == "0";
        kelTestSleepMs(10);
    }
}

TEST(MeterLinkCommands, BrightnessClockAndLedCommandsAreAnsweredAndReachTheBoard)
{
    MeterLinkBoard b;
    ASSERT_TRUE(b.bringUp(kAddr)) << b.appOutput() << b.describe(0);

    /* Brightness: 0 to 100 accepted and applied, 101 refused. */
    EXPECT_EQ(MSW_RC_OK, brightness(b, 40));
    EXPECT_TRUE(b.waitFile(MLB_BACKLIGHT, "40"));
    EXPECT_EQ(MSW_RC_ERROR, brightness(b, 101));
    EXPECT_EQ(MSW_RC_OK, brightness(b, 0));
    EXPECT_TRUE(b.waitFile(MLB_BACKLIGHT, "0"));
    EXPECT_EQ(MSW_RC_OK, brightness(b, 100));
    EXPECT_TRUE(b.waitFile(MLB_BACKLIGHT, "100"));

    /* The clock, as the board's date command sees it (UTC). The refused
     * 101 above never reached the daemon: once the clock line shows, every
     * earlier request has been handled, and the backlight is still 100. */
    EXPECT_EQ(MSW_RC_OK, answered(b, [&](uint32_t *id) {
                  return meterSimSetTime(b.sim, 1706745599ull /* 2024-01-31 23:59:59 */, id);
              }));
    EXPECT_TRUE(b.sb.waitJournal("date -s 2024.1.31-23:59:59", MLB_DEADLINE_MS)) << b.sb.journal();
    EXPECT_EQ("100", b.file(MLB_BACKLIGHT));

    /* Status LED: green lit by any visible pattern, dark by an empty one. */
    EXPECT_EQ(MSW_RC_OK, statusLed(b, MSW_LED_GREEN, MSW_Pattern_t{2000, 50, 1, 0}));
    EXPECT_TRUE(b.waitFile(MLB_LED_GREEN, "255"));
    EXPECT_EQ(MSW_RC_OK, statusLed(b, MSW_LED_GREEN, MSW_Pattern_t{1000, 0, 1, 0}));
    EXPECT_TRUE(b.waitFile(MLB_LED_GREEN, "0"));

    /* Alarm with a duty of 150 %: taken as 100 %, a steady light. */
    EXPECT_EQ(MSW_RC_OK, alarmLed(b, MSW_Pattern_t{1000, 150, 1, 0}));
    EXPECT_TRUE(b.waitFile(MLB_LED_ALARM, "255"));
    bool on = false, off = false;
    sampleLed(b, MLB_LED_ALARM, 1500, &on, &off);
    EXPECT_FALSE(off) << "a duty above 100 % was not limited";

    /* Alarm with no active and no inactive cycles: one of each, so the
     * steady light now goes dark for a second in every two. */
    EXPECT_EQ(MSW_RC_OK, alarmLed(b, MSW_Pattern_t{1000, 100, 0, 0}));
    sampleLed(b, MLB_LED_ALARM, 4000, &on, &off);
    EXPECT_TRUE(on && off) << "an empty cycle count was not taken as one";

    /* Red status blinking at 1 s: both states show. */
    EXPECT_EQ(MSW_RC_OK, statusLed(b, MSW_LED_RED, MSW_Pattern_t{2000, 50, 1, 0}));
    sampleLed(b, MLB_LED_RED, 4000, &on, &off);
    EXPECT_TRUE(on && off);

    /* Values no board could carry out: a brightness far out of range is
     * refused, a clock beyond any calendar is handed on and goes nowhere,
     * an unknown command is ignored. Daemon and link survive all three. */
    EXPECT_EQ(MSW_RC_ERROR, brightness(b, 0xFFFFFFFFu));
    EXPECT_EQ(MSW_RC_OK, answered(b, [&](uint32_t *id) {
                  return meterSimSetTime(b.sim, 0xFFFFFFFFFFFFFFFFull, id);
              }));
    ASSERT_EQ(1, meterSimSendFrame(b.sim, MSIM_LINK_NONSCREEN, 42, nullptr, 0, nullptr));
    EXPECT_EQ(MSW_RC_OK, brightness(b, 25));
    EXPECT_TRUE(b.waitFile(MLB_BACKLIGHT, "25"));
    int dates = 0;
    for (const std::string &line : b.sb.journalLines())
        dates += line.compare(0, 8, "date -s ") == 0;
    EXPECT_EQ(1, dates) << b.sb.journal();

    /* Every answer went out on the one connection. */
    EXPECT_EQ(0, meterSimCount(b.sim, 0, MSIM_LINK_NONSCREEN, MSIM_EV_CLOSED, MSIM_ANY));
    EXPECT_TRUE(b.alive());
}
