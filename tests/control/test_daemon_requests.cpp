/*
 * The real control daemon serving the request queue: backlight, LEDs,
 * clock, temperature, work mode and LCD type, the cases the meter and the
 * factory service rely on, and requests it must survive.
 */
#include <regex>
#include <sys/wait.h>

#include "kelerror.h"
#include "test_daemon_harness.h"

#define MODE_NORMAL 0
#define MODE_ERROR 1
#define MODE_UPGRADE 2
#define MODE_UPGRADING 3

TEST(DaemonRequests, BacklightFollowsTheMeterAndComesBackAfterAnIndication)
{
    DaemonBoard b;
    ASSERT_TRUE(b.start());

    ASSERT_TRUE(b.sendBrightness(40));
    EXPECT_TRUE(waitFor([&] { return b.backlight() == "40"; }));

    /* 101 is out of range: nothing changes. */
    ASSERT_TRUE(b.sendBrightness(101));
    ASSERT_TRUE(b.fence());
    EXPECT_EQ("40", b.backlight());

    /* In error mode a level is applied but not kept as the user's level. */
    ASSERT_TRUE(b.sendMode(MODE_ERROR));
    ASSERT_TRUE(b.sendBrightness(100));
    EXPECT_TRUE(waitFor([&] { return b.backlight() == "100"; }));
    ASSERT_TRUE(b.sendMode(MODE_NORMAL));
    EXPECT_TRUE(waitFor([&] { return b.backlight() == "40"; }));

    ASSERT_TRUE(b.sendBrightness(0));
    EXPECT_TRUE(waitFor([&] { return b.backlight() == "0"; }));
    EXPECT_TRUE(b.alive());
}

TEST(DaemonRequests, ClockAndLcdTypeRequestsReachTheShellAndTheConfiguration)
{
    DaemonBoard b;
    ASSERT_TRUE(b.start());

    ASSERT_TRUE(b.sendTime(1706745599ull)); /* 2024-01-31 23:59:59 UTC */
    EXPECT_TRUE(b.sb.waitJournal("date -s 2024.1.31-23:59:59", HARNESS_DEADLINE_MS));

    kel_MsgQue_Rx_t lcd = DaemonBoard::request(KEL_MSGQ_RX_LCDTYPE);
    lcd.data.kelLcdType = KEL_LCD_SHARP;
    ASSERT_TRUE(b.sendRequest(lcd));
    EXPECT_TRUE(waitFor([&] { return b.sb.read("/kel/config/kel.conf").find("LCD 1") != std::string::npos; }));
    /* The clock request must never have reached the host's own clock. */
    EXPECT_TRUE(b.sb.exists("/var/lib/vboard/clock"));
}

TEST(DaemonRequests, TemperatureGoesToTheMeterOnChangeAndAnswersTheFactoryServiceOnItsOwnQueue)
{
    DaemonBoard b;
    ASSERT_TRUE(b.start());
    ASSERT_TRUE(b.sb.setTemperature(41500));
    /* Any request marks the app client present; the next 10 s check then
     * offers the new reading on T. */
    ASSERT_TRUE(b.fence());
    kel_MsgQue_Tx_t ev;
    ASSERT_TRUE(b.recvEventOf(KEL_MSG_ID_TX, KEL_MSGQ_TX_TEMPERATURE, &ev, 25000));
    EXPECT_EQ(41500, ev.data.tempData.temperature);
    EXPECT_EQ(KEL_MSG_TYPE_TX, ev.msgType);

    /* The factory service asks: the answer comes on I, and T hears nothing
     * since the reading did not change. */
    ASSERT_TRUE(b.sendRequest(DaemonBoard::request(KEL_MSGQ_RX_GET_TEMP)));
    ASSERT_TRUE(b.recvEventOf(KEL_MSG_ID_INDUSTRY, KEL_MSGQ_TX_TEMPERATURE, &ev, HARNESS_DEADLINE_MS));
    EXPECT_EQ(41500, ev.data.tempData.temperature);
    EXPECT_FALSE(b.recvEventOf(KEL_MSG_ID_TX, KEL_MSGQ_TX_TEMPERATURE, &ev, 3000));

    /* A reading the sensor cannot give is not answered at all. */
    ASSERT_TRUE(b.sb.write("/sys/bus/i2c/drivers/lm75/3-0048/temp1_input", ""));
    ASSERT_TRUE(b.sendRequest(DaemonBoard::request(KEL_MSGQ_RX_GET_TEMP)));
    ASSERT_TRUE(b.fence());
    EXPECT_FALSE(b.recvEventOf(KEL_MSG_ID_INDUSTRY, KEL_MSGQ_TX_TEMPERATURE, &ev, 1000));
}

TEST(DaemonRequests, StatusAndAlarmPatternsLightTheLedsInNormalMode)
{
    DaemonBoard b;
    ASSERT_TRUE(b.start());

    /* Green status: any lit pattern is a steady light, always-off darkens. */
    ASSERT_TRUE(b.sendStatusLed(KELNS_LED_GREEN, 2000, 50, 1, 0));
    EXPECT_TRUE(b.waitLed(LED_GREEN_DIR, "255"));
    ASSERT_TRUE(b.sendStatusLed(KELNS_LED_GREEN, 1000, 0, 1, 0));
    EXPECT_TRUE(b.waitLed(LED_GREEN_DIR, "0"));

    /* Red status heartbeat, 1000 ms on and 1000 ms off. */
    ASSERT_TRUE(b.sendStatusLed(KELNS_LED_RED, 2000, 50, 1, 0));
    bool on = false;
    bool off = false;
    double duty = b.ledDuty(LED_RED_DIR, 5000, &on, &off);
    EXPECT_TRUE(on);
    EXPECT_TRUE(off);
    EXPECT_GT(duty, 0.25);
    EXPECT_LT(duty, 0.75);

    /* Alarm always on, then always off. */
    ASSERT_TRUE(b.sendAlarmLed(1000, 100, 1, 0));
    EXPECT_TRUE(b.waitLed(LED_ALARM_DIR, "255"));
    duty = b.ledDuty(LED_ALARM_DIR, 1500, &on, &off);
    EXPECT_FALSE(off) << "an always-on alarm flickered";
    ASSERT_TRUE(b.sendAlarmLed(1000, 0, 1, 0));
    EXPECT_TRUE(b.waitLed(LED_ALARM_DIR, "0"));
}

TEST(DaemonRequests, WhileFlashIsWrittenLedRequestsAreIgnoredAndNotRemembered)
{
    DaemonBoard b;
    ASSERT_TRUE(b.start());
    /* Meter's settings in normal mode: red status steady, alarm dark. */
    ASSERT_TRUE(b.sendBrightness(60));
    ASSERT_TRUE(b.sendStatusLed(KELNS_LED_RED, 1000, 100, 1, 0));
    EXPECT_TRUE(b.waitLed(LED_RED_DIR, "255"));

    ASSERT_TRUE(b.sendMode(MODE_UPGRADE));
    ASSERT_TRUE(b.sendMode(MODE_UPGRADING));
    EXPECT_TRUE(b.waitLed(LED_GREEN_DIR, "255")); /* upgrading: green on */

    /* These must neither show nor be restored later. */
    ASSERT_TRUE(b.sendAlarmLed(1000, 100, 1, 0));
    ASSERT_TRUE(b.sendStatusLed(KELNS_LED_RED, 1000, 0, 1, 0));
    ASSERT_TRUE(b.fence());
    bool on = false;
    bool off = false;
    b.ledDuty(LED_ALARM_DIR, 1500, &on, &off);
    EXPECT_FALSE(on) << "alarm lit by a request during flash writing";
    double duty = b.ledDuty(LED_RED_DIR, 4000, &on, &off);
    EXPECT_TRUE(on && off) << "red status heartbeat of the upgrading indication stopped";
    EXPECT_GT(duty, 0.2);

    /* A level applied while upgrading; the return to normal restores the
     * user's level, which also shows that the normal indication ran. */
    ASSERT_TRUE(b.sendBrightness(90));
    EXPECT_TRUE(waitFor([&] { return b.backlight() == "90"; }));
    ASSERT_TRUE(b.sendMode(MODE_NORMAL));
    EXPECT_TRUE(waitFor([&] { return b.backlight() == "60"; }));
    EXPECT_TRUE(b.waitLed(LED_RED_DIR, "255"));
    duty = b.ledDuty(LED_RED_DIR, 2500, &on, &off);
    EXPECT_FALSE(off) << "red status not restored to the meter's steady pattern";
    b.ledDuty(LED_ALARM_DIR, 1000, &on, &off);
    EXPECT_FALSE(on) << "a pattern sent during flash writing was restored";
}

TEST(DaemonRequests, BadRequestsLeaveTheDaemonServing)
{
    DaemonBoard b;
    ASSERT_TRUE(b.start());

    ASSERT_TRUE(b.sendRequest(DaemonBoard::request(9)));
    ASSERT_TRUE(b.sendRequest(DaemonBoard::request(-1)));
    ASSERT_TRUE(b.sendStatusLed(7, 1000, 250, 1, 0));
    ASSERT_TRUE(b.sendAlarmLed(1000, 250, 1, 0));
    ASSERT_TRUE(b.sendAlarmLed(0, 0, 0, 0));
    ASSERT_TRUE(b.sendMode(5));
    ASSERT_TRUE(b.sendMode(-3));
    ASSERT_TRUE(b.sendBrightness(0xFFFFFFFFu));
    kel_MsgQue_Rx_t lcd = DaemonBoard::request(KEL_MSGQ_RX_LCDTYPE);
    lcd.data.kelLcdType = 77;
    ASSERT_TRUE(b.sendRequest(lcd));
    ASSERT_TRUE(b.fence());
    kelTestSleepMs(1000);
    EXPECT_TRUE(b.alive());

    /* Still in normal mode (the bad modes were refused) and still serving. */
    EXPECT_EQ(MODE_NORMAL, KEL_LOAD(b.shm->kelWorkMode));
    ASSERT_TRUE(b.sendBrightness(33));
    EXPECT_TRUE(waitFor([&] { return b.backlight() == "33"; }));
    ASSERT_TRUE(b.sendMode(MODE_ERROR));
    EXPECT_TRUE(waitFor([&] { return KEL_LOAD(b.shm->kelWorkMode) == MODE_ERROR; }));
    EXPECT_TRUE(b.alive());
}

TEST(DaemonRequests, AStoredBrightnessOutOfRangeLeavesScreenKeypadAndBacklightSound)
{
    /* The configuration check fails on the brightness; there is no keypad,
     * and the daemon's standard input is /dev/null, always readable. */
    DaemonBoard b;
    ASSERT_TRUE(b.sb.ok());
    ASSERT_TRUE(b.sb.write("/kel/config/kel.conf", "BKLPWM 150\n"));
    ASSERT_EQ(0, unlink(b.sb.path(KEYPAD_FIFO).c_str()));
    ASSERT_TRUE(b.start());

    /* The very first frame reaches the screen. */
    std::vector<UINT8> first = patternFrame(11);
    ASSERT_TRUE(b.showFrame(first, KEL_TASK_FB_CLIENT));
    EXPECT_TRUE(b.waitScreen(first));

    /* Back from an indication the backlight is lit, not dark. */
    ASSERT_TRUE(b.sb.write(BACKLIGHT_FILE, "55"));
    ASSERT_TRUE(b.sendMode(MODE_ERROR));
    EXPECT_TRUE(waitFor([&] { return KEL_LOAD(b.shm->kelWorkMode) == MODE_ERROR; }));
    ASSERT_TRUE(b.sendMode(MODE_NORMAL));
    EXPECT_TRUE(waitFor([&] { return b.backlight() == "100"; })) << b.backlight();

    /* Once a report sent now is in the error log, every earlier one is:
     * the missing keypad is reported, but nothing was read as a key and
     * the screen never counted as open without its mapping. */
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        _exit(kelLogError(KEL_TASK_STARTUP_CLIENT, KEL_FILEID_STARTCLIENT, 4242, KEL_FW_PTHREAD_ERROR) > 0 ? 0 : 1);
    }
    int ws = 0;
    ASSERT_EQ(child, waitpid(child, &ws, 0));
    std::regex marker(":" + std::to_string((int)KEL_TASK_STARTUP_CLIENT) + ":1:4242:\\d+\n");
    ASSERT_TRUE(waitFor([&] { return std::regex_search(b.sb.read("/kel/log/kelerror.log"), marker); }));
    std::string log = b.sb.read("/kel/log/kelerror.log");
    EXPECT_TRUE(std::regex_search(log, std::regex(":0:5:\\d+:" + std::to_string((int)KEL_HW_KBD_INIT_ERROR) + "\n")))
        << log;
    EXPECT_FALSE(std::regex_search(log, std::regex(":\\d+:" + std::to_string((int)KEL_HW_KBD_READ_ERROR) + "\n")))
        << log;
    EXPECT_FALSE(std::regex_search(log, std::regex(":\\d+:" + std::to_string((int)KEL_HW_FB_MMAP_ERROR) + "\n")))
        << log;
}
