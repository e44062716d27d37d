/*
 * LED controller: pattern arithmetic, sysfs writes, the red LEDs' blink
 * stages driven pass by pass with chosen tick values, and the backup of the
 * meter's patterns. The sysfs directories live in a temporary root.
 */
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "kelTestRoot.h"
#include "kelledctrl.h"

namespace {

const char *kLedDirs[KEL_NUM_OF_LEDS] = {
    "/sys/devices/platform/leds-gpio/leds/status-ledgreen",
    "/sys/devices/platform/leds-gpio/leds/status-ledred",
    "/sys/devices/platform/leds-gpio/leds/alarm-ledred",
};

class LedTest : public ::testing::Test {
protected:
    KelTestRoot root;

    void SetUp() override
    {
        for (const char *dir : kLedDirs) {
            std::string mk = "mkdir -p " + root.path(dir);
            ASSERT_EQ(0, system(mk.c_str()));
            for (const char *attr : {"brightness", "trigger", "delay_on", "delay_off"}) {
                root.write(std::string(dir) + "/" + attr, "");
            }
        }
        kelLEDResetState();
    }

    std::string attr(int led, const char *name) { return root.read(std::string(kLedDirs[led]) + "/" + name); }
};

kel_LED_Ctrl_t parse(UINT16 cycle, UINT16 duty, UINT16 act, UINT16 inact)
{
    KELNS_patternData_t p = {cycle, duty, act, inact};
    kel_LED_Ctrl_t c = {};
    EXPECT_EQ(1, kelParseLEDPattern(&p, &c));
    return c;
}

void expectTicks(const kel_LED_Ctrl_t &c, UINT32 on, UINT32 off, UINT32 act, UINT32 inact)
{
    EXPECT_EQ(on, c.DelayOnTick);
    EXPECT_EQ(off, c.DelayOffTick);
    EXPECT_EQ(act, c.ActiveTick);
    EXPECT_EQ(inact, c.InActiveTick);
}

/* Runs one pass per millisecond over [from, to) and counts the ms the LED
 * was lit and how often it changed. */
struct Trace {
    int litMs = 0;
    int changes = 0;
};

Trace run(int led, UINT32 from, UINT32 ms)
{
    Trace t;
    INT32 last = kelLEDIsLit(led);
    for (UINT32 k = 0; k < ms; k++) {
        kelLEDControlPass(from + k);
        INT32 lit = kelLEDIsLit(led);
        t.litMs += lit == KEL_TRUE ? 1 : 0;
        t.changes += lit != last ? 1 : 0;
        last = lit;
    }
    return t;
}

} // namespace

TEST(LedPattern, DurationsFollowCycleDutyAndStageCounts)
{
    expectTicks(parse(2000, 50, 1, 0), 1000, 1000, 2000, 0);
    expectTicks(parse(500, 50, 1, 0), 250, 250, 500, 0);
    expectTicks(parse(1000, 100, 1, 0), 1000, 0, 1000, 0);
    expectTicks(parse(1000, 0, 1, 0), 0, 1000, 1000, 0);
    /* A cycle shorter than 5 ms counts as 5 ms. */
    expectTicks(parse(3, 50, 2, 1), 2, 3, 10, 5);
    expectTicks(parse(0, 100, 1, 1), 5, 0, 5, 5);
}

TEST(LedPattern, OutOfRangeDutyAndHugeCountsNeverWrap)
{
    /* Duty above 100 is held at 100: the off time is 0, not a huge number. */
    expectTicks(parse(1000, 250, 1, 0), 1000, 0, 1000, 0);
    expectTicks(parse(1000, 65535, 1, 0), 1000, 0, 1000, 0);
    /* The largest cycle times the largest count still fits 32 bits. */
    expectTicks(parse(65535, 50, 65535, 65535), 32767, 32768, 4294836225u, 4294836225u);

    kel_LED_Ctrl_t c = {};
    EXPECT_EQ(-1, kelParseLEDPattern(nullptr, &c));
    KELNS_patternData_t p = {1000, 50, 1, 0};
    EXPECT_EQ(-1, kelParseLEDPattern(&p, nullptr));
}

TEST_F(LedTest, AnLedIndexOutsideTheThreeIsRefusedWithoutTouchingAnything)
{
    kel_LED_Ctrl_t before[KEL_NUM_OF_LEDS];
    memcpy(before, kelLEDCtrl, sizeof(before));
    kel_LED_Ctrl_t c = parse(500, 50, 1, 0);
    for (INT32 bad : {-1, 3, 100, -2147483647 - 1}) {
        EXPECT_EQ(-1, kelSetLedOn(bad));
        EXPECT_EQ(-1, kelSetLedOff(bad));
        EXPECT_EQ(-1, kelSetLEDCtrlValue(bad, &c));
        EXPECT_EQ(-1, kelSetLEDCtrlProperty(bad, "brightness", "255"));
        EXPECT_EQ(-1, kelLEDIsLit(bad));
    }
    EXPECT_EQ(0, memcmp(before, kelLEDCtrl, sizeof(before)));
    for (int i = 0; i < KEL_NUM_OF_LEDS; i++) {
        EXPECT_EQ("", attr(i, "brightness"));
    }
    /* Values longer than an attribute value may be are refused too. */
    EXPECT_EQ(-1, kelSetLEDCtrlProperty(1, "brightness", "1234567890123456"));
    EXPECT_EQ(-1, kelSetLEDCtrlProperty(1, nullptr, "1"));
}

TEST_F(LedTest, InitialisationHandsGreenToTheTimerAndDarkensTheRedLeds)
{
    root.write(std::string(kLedDirs[1]) + "/brightness", "255");
    EXPECT_EQ(1, kelInitLED());
    EXPECT_EQ("timer", attr(0, "trigger"));
    EXPECT_EQ("10", attr(0, "delay_on"));
    EXPECT_EQ("10", attr(0, "delay_off"));
    EXPECT_EQ("default-on", attr(1, "trigger"));
    EXPECT_EQ("0", attr(1, "brightness"));
    EXPECT_EQ("default-on", attr(2, "trigger"));
    EXPECT_EQ("0", attr(2, "brightness"));

    /* A missing LED stops the set-up with a failure. */
    std::string rm = "rm -rf " + root.path(kLedDirs[2]);
    ASSERT_EQ(0, system(rm.c_str()));
    EXPECT_EQ(-1, kelInitLED());
}

TEST_F(LedTest, StatusPatternsDarkenAtOnceLightGreenSteadilyAndLeaveRedBlinkingToTheThread)
{
    KELNS_patternData_t heartbeat = {2000, 50, 1, 0};
    KELNS_patternData_t off = {1000, 0, 1, 0};

    /* Green never blinks in software: any lit pattern lights it. */
    EXPECT_EQ(1, kelSetStatusLED(KELNS_LED_GREEN, &heartbeat));
    EXPECT_EQ("255", attr(0, "brightness"));
    EXPECT_EQ(KEL_TRUE, kelLEDCtrl[0].bEnabled);
    EXPECT_EQ(1, kelSetStatusLED(KELNS_LED_GREEN, &off));
    EXPECT_EQ("0", attr(0, "brightness"));

    /* A blinking red pattern is only stored; always-off is written. */
    EXPECT_EQ(1, kelSetStatusLED(KELNS_LED_RED, &heartbeat));
    EXPECT_EQ("", attr(1, "brightness"));
    EXPECT_EQ(1000u, kelLEDCtrl[1].DelayOnTick);
    EXPECT_EQ(1, kelSetStatusLED(KELNS_LED_RED, &off));
    EXPECT_EQ("0", attr(1, "brightness"));

    /* Duty 100 with no active cycle has off time equal to active time. */
    KELNS_patternData_t empty = {1000, 100, 0, 0};
    root.write(std::string(kLedDirs[0]) + "/brightness", "255");
    EXPECT_EQ(1, kelSetStatusLED(KELNS_LED_GREEN, &empty));
    EXPECT_EQ("0", attr(0, "brightness"));

    /* An unknown colour addresses green. */
    EXPECT_EQ(1, kelSetStatusLED((KELNS_LEDColor_t)7, &heartbeat));
    EXPECT_EQ("255", attr(0, "brightness"));

    EXPECT_EQ(-1, kelSetStatusLED(KELNS_LED_RED, nullptr));
    EXPECT_EQ(-1, kelSetAlarmLED(nullptr));

    /* The alarm pattern is stored and realised by the thread only. */
    EXPECT_EQ(1, kelSetAlarmLED(&heartbeat));
    EXPECT_EQ(KEL_TRUE, kelLEDCtrl[2].bEnabled);
    EXPECT_EQ("", attr(2, "brightness"));
}

TEST_F(LedTest, RedLedBlinksThroughActiveAndInactiveStagesAcrossTickWrap)
{
    /* 30 ms on, 70 ms off, two cycles lit, one cycle dark. */
    KELNS_patternData_t p = {100, 30, 2, 1};
    ASSERT_EQ(1, kelSetStatusLED(KELNS_LED_RED, &p));
    const UINT32 t0 = 0xFFFFFF00u; /* wraps 256 ms in */
    kelLEDStagesReset(t0);

    /* The red LEDs start in the inactive stage: dark for 100 ms. */
    Trace first = run(1, t0, 100);
    EXPECT_EQ(0, first.litMs);

    /* Each 300 ms period: two 30 ms flashes, then 100 ms dark. */
    Trace period = run(1, t0 + 100, 300);
    EXPECT_EQ(60, period.litMs);
    EXPECT_EQ(4, period.changes);
    Trace more = run(1, t0 + 400, 3000);
    EXPECT_EQ(600, more.litMs);
    EXPECT_EQ("0", attr(1, "brightness"));
}

TEST_F(LedTest, SteadyPatternsHoldTheLightAndLetTheThreadSleep)
{
    KELNS_patternData_t on = {1000, 100, 10, 0};
    KELNS_patternData_t over = {1000, 150, 1, 0};
    KELNS_patternData_t dark = {1000, 0, 1, 0};
    KELNS_patternData_t noActive = {1000, 50, 0, 2};

    kelLEDStagesReset(5000);
    ASSERT_EQ(1, kelSetAlarmLED(&on));
    kelLEDControlPass(5000); /* the zero-length inactive stage ends */
    Trace t = run(2, 5001, 3000);
    EXPECT_EQ(3000, t.litMs);
    EXPECT_EQ("255", attr(2, "brightness"));
    /* Nothing is due for seconds: the pass allows a long sleep. */
    EXPECT_GE(kelLEDControlPass(8001), 100u);

    /* Duty above 100 behaves as 100, through stage boundaries too. */
    ASSERT_EQ(1, kelSetAlarmLED(&over));
    t = run(2, 8002, 2000);
    EXPECT_EQ(2000, t.litMs);

    ASSERT_EQ(1, kelSetAlarmLED(&dark));
    t = run(2, 10002, 2000);
    EXPECT_LE(t.litMs, 1);
    EXPECT_EQ(KEL_FALSE, kelLEDIsLit(2));
    EXPECT_EQ("0", attr(2, "brightness"));

    /* No active cycle: the LED stays dark. */
    ASSERT_EQ(1, kelSetAlarmLED(&noActive));
    t = run(2, 12002, 5000);
    EXPECT_EQ(0, t.litMs);
}

TEST_F(LedTest, ABlinkingLedPollsEveryMillisecondAndAFailedWriteIsRetried)
{
    KELNS_patternData_t p = {20, 50, 1, 0};
    ASSERT_EQ(1, kelSetAlarmLED(&p));
    kelLEDStagesReset(0);
    kelLEDControlPass(0);  /* inactive stage of zero length ends */
    /* The attribute disappears: the LED cannot be lit yet. */
    std::string rm = "rm -f " + root.path(std::string(kLedDirs[2]) + "/brightness");
    ASSERT_EQ(0, system(rm.c_str()));
    EXPECT_EQ(1u, kelLEDControlPass(10));
    EXPECT_EQ(KEL_FALSE, kelLEDIsLit(2));
    root.write(std::string(kLedDirs[2]) + "/brightness", "0");
    kelLEDControlPass(11);
    EXPECT_EQ(KEL_TRUE, kelLEDIsLit(2));
    EXPECT_EQ("255", attr(2, "brightness"));
    /* While blinking, the next boundary is at most one on time away. */
    EXPECT_LE(kelLEDControlPass(12), 10u);
}

TEST_F(LedTest, MeterPatternsAreBackedUpAndRestoredAfterAnIndication)
{
    KELNS_patternData_t green = {2000, 50, 1, 0};
    KELNS_patternData_t red = {500, 50, 1, 0};
    KELNS_patternData_t alarm = {2000, 50, 3, 1};
    kelBackupStatusLEDPattern(KELNS_LED_GREEN, &green);
    kelBackupStatusLEDPattern(KELNS_LED_RED, &red);
    kelBackupAlarmLEDPattern(&alarm);
    /* Unknown colours and null patterns leave the backup alone. */
    KELNS_patternData_t junk = {7, 7, 7, 7};
    kelBackupStatusLEDPattern((KELNS_LEDColor_t)2, &junk);
    kelBackupStatusLEDPattern(KELNS_LED_RED, nullptr);
    kelBackupAlarmLEDPattern(nullptr);
    EXPECT_EQ(0, memcmp(&kelLEDCtrlMode[1].ledPattern, &red, sizeof(red)));

    kelCloseAllLED();
    EXPECT_EQ("0", attr(0, "brightness"));
    EXPECT_EQ("0", attr(1, "brightness"));
    expectTicks(kelLEDCtrl[2], 0, 1000, 1000, 0);

    kelRestoreLEDControl();
    EXPECT_EQ("255", attr(0, "brightness"));
    expectTicks(kelLEDCtrl[1], 250, 250, 500, 0);
    expectTicks(kelLEDCtrl[2], 1000, 1000, 6000, 2000);
    EXPECT_EQ(KEL_LED_STATUS_RED_1, kelLEDCtrl[1].Index);
}

TEST_F(LedTest, PowerOnBackupRestoresGreenOnAndTheRedLedsOff)
{
    root.write(std::string(kLedDirs[1]) + "/brightness", "255");
    kelRestoreLEDControl();
    EXPECT_EQ("255", attr(0, "brightness"));
    EXPECT_EQ("0", attr(1, "brightness"));
    expectTicks(kelLEDCtrl[2], 0, 1000, 1000, 0);
}
