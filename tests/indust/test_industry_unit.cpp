/*
 * test_industry_unit.cpp - the factory service as the test station meets
 * it: the real kelcontrol and kelindustry on a virtual board, stations from
 * the station simulator on 127.0.0.1 port 1237.
 */
#include "industBoard.h"

#include <stdio.h>
#include <string.h>
#include <sys/wait.h>

#include <vector>

#include "kelcommon.h"

#define T_2031_05_06_070809 1935817689ull /* 2031-05-06 07:08:09 UTC */

static SSW_TestResult_t testResultRecord(int32_t result, int32_t tester, uint64_t stamp)
{
    SSW_TestResult_t r;
    r.testResult = result;
    r.testID = tester;
    r.timeStamp = stamp;
    return r;
}

static SSW_TestResult_t answeredTestResult(const StationFrame_t &f)
{
    SSW_TestResult_t r;
    memset(&r, 0xEE, sizeof(r));
    if (f.payloadLen >= sizeof(r))
        memcpy(&r, f.payload, sizeof(r));
    return r;
}

TEST(FactoryService, OnlyTheRightDigestOpensTheSettingsAndTheFactoryMode)
{
    IndustBoard b;
    IbStation s;
    ASSERT_TRUE(b.startWith(s, false));
    const std::string conf = b.sb.read("/kel/config/kel.conf");
    const std::string backlight = b.sb.read(IB_BACKLIGHT);
    const std::string redLed = b.sb.read(IB_LED_RED);

    /* Before the handshake nothing that changes the unit is carried out:
     * no setting, no record, no LED, screen or backlight test. */
    SSW_LedTest_t led = {SSW_LED_STATE_RED, SSW_LED_ON};
    EXPECT_EQ(SSW_TEST_FAIL, s.result(SSW_LED_TEST, &led, sizeof(led)));
    EXPECT_EQ(SSW_TEST_FAIL, s.resultOfWord(SSW_LCD_TEST, SSW_LCD_WHITE));
    EXPECT_EQ(SSW_TEST_FAIL, s.resultOfWord(SSW_BRIGHT_SET, 7));
    SSW_TestResult_t rec = testResultRecord(1, 7, T_2031_05_06_070809);
    EXPECT_EQ(SSW_TEST_FAIL, s.resultOfText(SSW_SN_SET, "KEL-0042"));
    EXPECT_EQ(SSW_TEST_FAIL, s.resultOfText(SSW_IP_SET, "10.1.2.3"));
    EXPECT_EQ(SSW_TEST_FAIL, s.resultOfText(SSW_SERVERIP_SET, "10.1.2.4"));
    EXPECT_EQ(SSW_TEST_FAIL, s.result(SSW_TEST_RESULT_SET, &rec, sizeof(rec)));
    EXPECT_EQ(SSW_TEST_FAIL, s.resultOfWord(SSW_TELNET_SET, 1));
    EXPECT_EQ(SSW_TEST_FAIL, s.resultOfWord(SSW_LOGO_SET, 1));
    EXPECT_EQ(SSW_TEST_FAIL, s.resultOfWord(SSW_LCDTYPE_SET, 1));
    EXPECT_EQ(SSW_TEST_FAIL, s.result(SSW_IMAGE_GET));
    EXPECT_EQ(SSW_TEST_FAIL, s.result(SSW_FLASH_COPY));
    EXPECT_EQ(SSW_TEST_FAIL, s.result(SSW_FACTORY_RESET));
    EXPECT_EQ(SSW_TEST_FAIL, s.result(SSW_REBOOT));
    /* Reads that need the handshake stay silent, and so does the clock,
     * which is not set: a clock moved to 2100 would trim the logs away. */
    EXPECT_TRUE(s.unanswered(SSW_BRIGHT_GET));
    EXPECT_TRUE(s.unanswered(SSW_LOGO_GET));
    uint64_t when = T_2031_05_06_070809;
    EXPECT_TRUE(s.unanswered(SSW_TIME_SYNCHRONIZE, &when, sizeof(when)));

    EXPECT_EQ(backlight, b.sb.read(IB_BACKLIGHT));
    EXPECT_EQ(redLed, b.sb.read(IB_LED_RED));
    EXPECT_FALSE(b.screenIs(0xFF)) << "the white LCD test reached the screen";
    EXPECT_EQ(conf, b.sb.read("/kel/config/kel.conf"));
    EXPECT_FALSE(b.sb.exists("/kel/factory/indust.conf"));
    EXPECT_FALSE(b.sb.exists("/usr/ftp/up/rootfs.img"));
    for (const char *program : {"/usr/bin/kelreset", "reboot", "/usr/bin/kelflashcopy", "fw_setenv", "date -s"}) {
        for (const std::string &line : b.sb.journalLines()) {
            EXPECT_NE(0u, line.rfind(program, 0)) << "ran: " << line;
        }
    }

    /* An answer to a challenge never sent, and a wrong answer: nothing. */
    uint32_t unasked = stationSimDigest(0);
    ASSERT_EQ(1, stationSimSend(&s.st, SSW_RESPONSE, SSW_AUTH_CHALLENGE, &unasked, sizeof(unasked)));
    EXPECT_EQ(-2, stationSimWaitFor(&s.st, SSW_RESPONSE, SSW_TEST_REQUEST, &s.resp, IB_SILENT_MS));
    EXPECT_EQ(-2, stationSimAuthenticate(&s.st, STATION_DIGEST_WRONG, IB_SILENT_MS));
    EXPECT_EQ(KEL_MODE_NORMAL, b.mode());
    EXPECT_EQ(SSW_TEST_FAIL, s.resultOfText(SSW_SN_SET, "KEL-0042"));

    /* The right answer: TEST_OK, factory mode, settings accepted. */
    ASSERT_TRUE(s.authenticate());
    EXPECT_TRUE(b.waitMode(KEL_MODE_INDUSTRY));
    EXPECT_EQ(SSW_TEST_OK, s.resultOfText(SSW_SN_SET, "KEL-0042"));
    EXPECT_TRUE(b.fileIs("/kel/factory/sn.conf", "SN KEL-0042"));

    /* The link ends: back to normal. */
    stationSimClose(&s.st);
    EXPECT_TRUE(b.waitMode(KEL_MODE_NORMAL));
}

/* Posts a backlight level on the daemon's request queue, as any program
 * may, and waits until the daemon applied it: every request posted before
 * it has then been applied too. */
static bool applyBacklightMarker(IndustBoard &b, uint32_t level)
{
    INT32 queue = -1;
    if (kelAppMsgQueGetID(&queue, KEL_MSG_ID_RX) < 0)
        return false;
    kel_MsgQue_Rx_t msg;
    memset(&msg, 0, sizeof(msg));
    msg.msgType = KEL_MSG_TYPE_RX;
    msg.cmdType = KEL_MSGQ_RX_BRIGHTNESS;
    msg.data.brightnessData.brightness = level;
    return kelAppMsgQueDataSend(queue, KEL_MSG_TYPE_RX, &msg) > 0 &&
           b.fileIs(IB_BACKLIGHT, std::to_string(level));
}

TEST(FactoryService, AStationThatNeverAuthenticatedCannotEndAFirmwareUpgrade)
{
    IndustBoard b;
    ASSERT_TRUE(b.start());
    struct Bad {
        const char *what;
        SSW_Head_t head;
        uint32_t marker;
    };
    const Bad bad[] = {
        {"wrong magic", {0xb45329c6u, 20, 0, SSW_REQUEST, SSW_HEARTBEAT}, 31},
        {"length 4000", {SSW_MAGIC, 4000, 0, SSW_REQUEST, SSW_HEARTBEAT}, 32},
    };
    for (const Bad &x : bad) {
        /* The upgrade program has the unit in its flash-writing mode. */
        ASSERT_EQ(1, kelSetWorkMode(KEL_MODE_FW_UPGRADING));
        ASSERT_TRUE(b.waitMode(KEL_MODE_FW_UPGRADING)) << x.what;
        IbStation intruder;
        ASSERT_TRUE(intruder.connect());
        ASSERT_EQ(1, stationSimSendRaw(&intruder.st, &x.head, sizeof(x.head)));
        ASSERT_EQ(1, stationSimWaitClosed(&intruder.st, IB_DEADLINE_MS)) << x.what;
        /* The next station is served only after the drop was dealt with,
         * and the daemon takes its requests in order. */
        IbStation next;
        ASSERT_TRUE(next.connect());
        ASSERT_EQ(1, next.ask(SSW_HEARTBEAT)) << x.what;
        ASSERT_TRUE(applyBacklightMarker(b, x.marker)) << x.what;
        EXPECT_EQ(KEL_MODE_FW_UPGRADING, b.mode()) << x.what;
    }
}

/* A station written in C sends its texts from fixed fields, NUL-padded. */
TEST(FactoryService, TextsFromFixedFieldsAreStoredWithoutTheirPadding)
{
    IndustBoard b;
    IbStation s;
    ASSERT_TRUE(b.startWith(s));
    auto field = [](const std::string &text, size_t size) {
        std::string f = text;
        f.resize(size, '\0');
        return f;
    };
    EXPECT_EQ(SSW_TEST_OK, s.resultOfText(SSW_SN_SET, field("KEL-0077", 32)));
    EXPECT_TRUE(b.fileIs("/kel/factory/sn.conf", "SN KEL-0077"));
    EXPECT_EQ(SSW_TEST_OK, s.resultOfText(SSW_IP_SET, field("10.0.0.77", 16)));
    EXPECT_EQ(SSW_TEST_OK, s.resultOfText(SSW_SERVERIP_SET, field("10.0.0.1", 16)));
    std::string conf = b.sb.read("/kel/config/kel.conf");
    EXPECT_NE(std::string::npos, conf.find("IPADDR 10.0.0.77\n")) << conf;
    EXPECT_NE(std::string::npos, conf.find("APPSERVER_IP 10.0.0.1\n")) << conf;

    /* Only NULs may follow the text; an empty field is no text. */
    EXPECT_EQ(SSW_TEST_FAIL, s.resultOfText(SSW_SN_SET, field(std::string("KEL-1\0X", 7), 32)));
    EXPECT_EQ(SSW_TEST_FAIL, s.resultOfText(SSW_IP_SET, field(std::string("10.0.0.5\0\0" "7", 11), 16)));
    EXPECT_EQ(SSW_TEST_FAIL, s.resultOfText(SSW_SN_SET, field("", 32)));
    EXPECT_EQ(SSW_TEST_FAIL, s.resultOfText(SSW_SERVERIP_SET, field("", 16)));
    EXPECT_TRUE(b.fileIs("/kel/factory/sn.conf", "SN KEL-0077"));
    EXPECT_EQ(conf, b.sb.read("/kel/config/kel.conf"));
}

TEST(FactoryService, RecordsAndSettingsReadAndWriteTheUnitsFiles)
{
    IndustBoard b;
    ASSERT_TRUE(b.sb.write("/kel/config/kel.conf",
                           "KEL_VERSION 002.003.004\nAPP_VERSION 001.008.000\nKER_VERSION 003.002.193\n"
                           "WORKHOUR 12\nLCD 1\nBKLCTRL 1\nLANGUAGE 3\nBKLPWM 60\n"));
    IbStation s;
    ASSERT_TRUE(b.startWith(s));

    ASSERT_EQ(1, s.ask(SSW_INFO_GET));
    ASSERT_EQ(144u, s.resp.length);
    SSW_Info_t info;
    memcpy(&info, s.resp.payload, sizeof(info));
    EXPECT_EQ(200000u, info.MPUFreq);
    EXPECT_EQ(3, info.kelLanguage);
    EXPECT_EQ(60, info.kelBrightness);
    EXPECT_EQ(1, info.kelBKLCtrl);
    EXPECT_EQ(1, info.kelLcdType);
    EXPECT_EQ(12, info.workHour);
    EXPECT_EQ(0, info.kelTelnet);
    EXPECT_EQ(0u, info.logoType);
    EXPECT_STREQ("001.008.000", std::string(info.kelAppVersion, 16).c_str());
    EXPECT_STREQ("003.002.193", std::string(info.kelKernelVersion, 16).c_str());
    EXPECT_STREQ("002.003.004", std::string(info.kelFWVersion, 16).c_str());
    EXPECT_EQ(std::string(16, '\0'), std::string(info.IPAddr, 16));

    ASSERT_EQ(1, s.ask(SSW_VERSION_GET));
    EXPECT_EQ(36u, s.resp.length);
    EXPECT_EQ(std::string("002.003.004\0\0\0\0\0", 16), std::string((char *)s.resp.payload, 16));

    /* The serial number travels without its NUL. */
    ASSERT_EQ(1, s.ask(SSW_SN_GET));
    EXPECT_EQ(20u + 18u, s.resp.length);
    EXPECT_EQ("KELSERIALNUMBER123", std::string((char *)s.resp.payload, s.resp.payloadLen));
    EXPECT_EQ(SSW_TEST_OK, s.resultOfText(SSW_SN_SET, "KEL0000042"));
    ASSERT_EQ(1, s.ask(SSW_SN_GET));
    EXPECT_EQ(30u, s.resp.length);

    /* No factory record yet: result 0, tester -1, no time. */
    ASSERT_EQ(1, s.ask(SSW_TEST_RESULT_GET));
    SSW_TestResult_t got = answeredTestResult(s.resp);
    EXPECT_EQ(0, got.testResult);
    EXPECT_EQ(-1, got.testID);
    EXPECT_EQ(0u, got.timeStamp);
    /* A record that cannot be written is not reported as stored. */
    SSW_TestResult_t rec = testResultRecord(1, 7, T_2031_05_06_070809);
    ASSERT_EQ(0, b.sb.shell("mkdir \"$KEL_ROOT/kel/factory/indust.conf.tmp\""));
    EXPECT_EQ(SSW_TEST_FAIL, s.result(SSW_TEST_RESULT_SET, &rec, sizeof(rec)));
    ASSERT_EQ(0, b.sb.shell("rmdir \"$KEL_ROOT/kel/factory/indust.conf.tmp\""));
    /* Only the low 32 bits of the time stamp count. */
    rec = testResultRecord(1, 7, (1ull << 32) | T_2031_05_06_070809);
    EXPECT_EQ(SSW_TEST_OK, s.result(SSW_TEST_RESULT_SET, &rec, sizeof(rec)));
    EXPECT_EQ("TESTRESULT 1\nTESTERID 7\nTIMESTAMP 20310506-070809\n",
              b.sb.read("/kel/factory/indust.conf"));
    ASSERT_EQ(1, s.ask(SSW_TEST_RESULT_GET));
    got = answeredTestResult(s.resp);
    EXPECT_EQ(1, got.testResult);
    EXPECT_EQ(7, got.testID);
    EXPECT_EQ(T_2031_05_06_070809, got.timeStamp);

    EXPECT_EQ(SSW_TEST_OK, s.resultOfWord(SSW_TELNET_SET, 1));
    EXPECT_EQ(SSW_TEST_OK, s.resultOfText(SSW_IP_SET, "192.168.10.20"));
    EXPECT_EQ(SSW_TEST_OK, s.resultOfText(SSW_SERVERIP_SET, "169.254.254.1"));
    std::string conf = b.sb.read("/kel/config/kel.conf");
    EXPECT_NE(std::string::npos, conf.find("\nTELNET 1\n"));
    EXPECT_NE(std::string::npos, conf.find("\nIPADDR 192.168.10.20\n"));
    EXPECT_NE(std::string::npos, conf.find("\nAPPSERVER_IP 169.254.254.1\n"));
    EXPECT_NE(std::string::npos, conf.find("KEL_VERSION 002.003.004\n")) << "other keys kept";
    /* Addresses are dotted IPv4 numbers and nothing else. */
    for (const char *bad : {"256.1.1.1", "1.2.3", "1.2.3.4.5", "01.2.3.4", "1.2.3.", "a.b.c.d",
                            "1.2.3.4 ", "1.2..4", "1234.1.1.1", "0.0.0.0.0", "1.2.3.4.5.6.7.8"}) {
        EXPECT_EQ(SSW_TEST_FAIL, s.resultOfText(SSW_IP_SET, bad)) << bad;
    }
    EXPECT_EQ(SSW_TEST_FAIL, s.resultOfText(SSW_SERVERIP_SET, "1.1.1.1.1.1.1.1.1")) << "over 16";
    ASSERT_EQ(1, s.ask(SSW_INFO_GET));
    memcpy(&info, s.resp.payload, sizeof(info));
    EXPECT_EQ(1, info.kelTelnet);
    EXPECT_STREQ("192.168.10.20", std::string(info.IPAddr, 16).c_str());
    EXPECT_STREQ("169.254.254.1", std::string(info.appServer, 16).c_str());
    EXPECT_EQ(conf, b.sb.read("/kel/config/kel.conf"));

    ASSERT_EQ(1, s.ask(SSW_BRIGHT_GET));
    EXPECT_EQ(60, stationSimResult(&s.resp));

    /* The LCD type goes to the daemon, which keeps it. */
    EXPECT_EQ(SSW_TEST_OK, s.resultOfWord(SSW_LCDTYPE_SET, 0));
    EXPECT_TRUE(ibWaitFor([&] {
        return b.sb.read("/kel/config/kel.conf").find("\nLCD 0\n") != std::string::npos;
    }));
    for (int32_t cmd : {SSW_COMMU_TEST, SSW_FLASH_TEST}) {
        ASSERT_EQ(1, s.ask(cmd));
        EXPECT_EQ(36u, s.resp.length);
        EXPECT_EQ(SSW_TEST_OK, stationSimResult(&s.resp));
    }
}

TEST(FactoryService, HardwareTestsReachTheLedsScreenBacklightSensorAndKeypad)
{
    IndustBoard b;
    IbStation s;
    ASSERT_TRUE(b.startWith(s));
    ASSERT_TRUE(b.waitMode(KEL_MODE_INDUSTRY));
    /* The factory indication (LEDs off, pictogram) comes first. */
    ASSERT_TRUE(ibWaitFor([&] { return !b.screenIs(0x00); }));

    SSW_LedTest_t led = {SSW_LED_STATE_RED, SSW_LED_ON};
    EXPECT_EQ(SSW_TEST_OK, s.result(SSW_LED_TEST, &led, sizeof(led)));
    EXPECT_TRUE(b.fileIs(IB_LED_RED, "255"));
    led = {SSW_LED_ALARM_RED, SSW_LED_ON};
    EXPECT_EQ(SSW_TEST_OK, s.result(SSW_LED_TEST, &led, sizeof(led)));
    EXPECT_TRUE(b.fileIs(IB_LED_ALARM, "255"));
    led = {SSW_LED_ALARM_RED, SSW_LED_OFF};
    EXPECT_EQ(SSW_TEST_OK, s.result(SSW_LED_TEST, &led, sizeof(led)));
    EXPECT_TRUE(b.fileIs(IB_LED_ALARM, "0"));
    /* LEDs and states outside the defined ones post nothing. */
    for (SSW_LedTest_t bad : {SSW_LedTest_t{3, SSW_LED_ON}, SSW_LedTest_t{-1, SSW_LED_ON},
                              SSW_LedTest_t{SSW_LED_ALARM_RED, 2}}) {
        EXPECT_EQ(SSW_TEST_FAIL, s.result(SSW_LED_TEST, &bad, sizeof(bad)));
    }

    EXPECT_EQ(SSW_TEST_OK, s.resultOfWord(SSW_LCD_TEST, SSW_LCD_WHITE));
    EXPECT_TRUE(ibWaitFor([&] { return b.screenIs(0xFF); }));
    EXPECT_EQ(SSW_TEST_OK, s.resultOfWord(SSW_LCD_TEST, SSW_LCD_BLACK));
    EXPECT_TRUE(ibWaitFor([&] { return b.screenIs(0x00); }));
    EXPECT_EQ(SSW_TEST_FAIL, s.resultOfWord(SSW_LCD_TEST, 2));
    kelTestSleepMs(300);
    EXPECT_TRUE(b.screenIs(0x00)) << "an undefined LCD test reached the screen";

    EXPECT_EQ(SSW_TEST_FAIL, s.resultOfWord(SSW_BRIGHT_SET, 101));
    EXPECT_EQ(SSW_TEST_OK, s.resultOfWord(SSW_BRIGHT_SET, 40));
    EXPECT_TRUE(b.fileIs(IB_BACKLIGHT, "40"));

    ASSERT_TRUE(b.sb.setTemperature(41500));
    ASSERT_EQ(1, s.ask(SSW_TEMP_GET));
    EXPECT_EQ(24u, s.resp.length);
    EXPECT_EQ(41500, stationSimResult(&s.resp));

    /* A key pressed on the unit reaches the station. */
    ASSERT_TRUE(b.sb.pressKey(103));
    ASSERT_EQ(1, stationSimWaitFor(&s.st, SSW_RESPONSE, SSW_BUTTON_TEST, &s.resp, IB_DEADLINE_MS));
    SSW_KeyEvent_t key;
    ASSERT_EQ(28u, s.resp.length);
    memcpy(&key, s.resp.payload, sizeof(key));
    EXPECT_EQ(103, key.keyCode);
    EXPECT_EQ(1, key.keyAction);
}

TEST(FactoryService, PlatformCommandsRunTheirProgramsAndTheBootEnvironment)
{
    IndustBoard b;
    ASSERT_TRUE(b.sb.write("/kel/config/kel.conf", "ACTMTDGROUP 1\n"));
    ASSERT_TRUE(b.sb.write("/dev/mtd6", std::string("BANK ONE IMAGE") + std::string(4096, '\x5a')));
    IbStation s;
    ASSERT_TRUE(b.startWith(s));

    /* Bank 1 is copied from /dev/mtd6. */
    EXPECT_EQ(SSW_TEST_OK, s.result(SSW_IMAGE_GET));
    EXPECT_EQ(b.sb.read("/dev/mtd6"), b.sb.read("/usr/ftp/up/rootfs.img"));
    EXPECT_EQ(SSW_TEST_OK, s.result(SSW_FLASH_COPY));
    EXPECT_TRUE(b.sb.journalHas("/usr/bin/kelflashcopy"));
    ASSERT_TRUE(b.sb.setExitStatus("kelflashcopy", 1));
    EXPECT_EQ(SSW_TEST_FAIL, s.result(SSW_FLASH_COPY));

    /* Only a defined logo is written, and only as a number. */
    EXPECT_EQ(SSW_TEST_FAIL, s.resultOfWord(SSW_LOGO_SET, 5));
    EXPECT_FALSE(b.sb.journalHas("fw_setenv splashlogo 5"));
    ASSERT_TRUE(b.sb.setExitStatus("fw_setenv", 1));
    EXPECT_EQ(SSW_TEST_FAIL, s.resultOfWord(SSW_LOGO_SET, 1)) << "the write's result is the answer";
    ASSERT_TRUE(b.sb.setExitStatus("fw_setenv", -1));
    EXPECT_EQ(SSW_TEST_OK, s.resultOfWord(SSW_LOGO_SET, 1));
    EXPECT_TRUE(b.sb.journalHas("fw_setenv splashlogo 1"));
    ASSERT_EQ(1, s.ask(SSW_LOGO_GET));
    EXPECT_EQ(1, stationSimResult(&s.resp));
    ASSERT_EQ(0, b.sb.shell("fw_setenv splashlogo 5"));
    ASSERT_EQ(1, s.ask(SSW_LOGO_GET));
    EXPECT_EQ(0, stationSimResult(&s.resp)) << "an undefined logo reads as 0";
    /* A unit whose environment has no logo yet: it reads as 0 and the
     * first LOGO_SET creates it (read back from the environment). */
    ASSERT_EQ(0, b.sb.shell("fw_setenv splashlogo"));
    ASSERT_EQ(1, s.ask(SSW_LOGO_GET));
    EXPECT_EQ(0, stationSimResult(&s.resp));
    EXPECT_EQ(SSW_TEST_OK, s.resultOfWord(SSW_LOGO_SET, 1)) << "an unset logo is an empty value, not a failure";
    EXPECT_EQ(0, b.sb.shell("test \"$(fw_printenv splashlogo)\" = splashlogo=1"));

    /* A time request cut short of its 8 bytes sets nothing; the whole one
     * after it is applied. */
    const SSW_Head_t shortTime = {SSW_MAGIC, 20, 0, SSW_REQUEST, SSW_TIME_SYNCHRONIZE};
    ASSERT_EQ(1, stationSimSendRaw(&s.st, &shortTime, sizeof(shortTime)));
    uint64_t when = T_2031_05_06_070809;
    ASSERT_EQ(1, s.ask(SSW_TIME_SYNCHRONIZE, &when, sizeof(when)));
    EXPECT_EQ(28u, s.resp.length);
    EXPECT_TRUE(b.sb.waitJournal("date -s 2031.5.6-7:8:9", IB_DEADLINE_MS));
    EXPECT_FALSE(b.sb.journalHas("date -s 1970.1.1-0:0:0")) << "a short time request set the clock";

    /* Reboot: the answer first (36 bytes, TEST_OK, zeros), then the reboot. */
    ASSERT_EQ(1, s.ask(SSW_REBOOT));
    EXPECT_EQ(36u, s.resp.length);
    EXPECT_EQ(SSW_TEST_OK, stationSimResult(&s.resp));
    EXPECT_EQ(std::string(12, '\0'), std::string((char *)s.resp.payload + 4, 12));
    EXPECT_TRUE(b.sb.waitJournal("reboot", IB_DEADLINE_MS));

    std::vector<std::string> before = b.sb.journalLines();
    EXPECT_EQ(SSW_TEST_OK, s.result(SSW_FACTORY_RESET));
    ASSERT_TRUE(ibWaitFor([&] { return b.sb.journalLines().size() >= before.size() + 2; }));
    std::vector<std::string> after = b.sb.journalLines();
    EXPECT_EQ("/usr/bin/kelreset", after[before.size()]);
    EXPECT_EQ("reboot", after[before.size() + 1]);
}

/* Texts that a shell would act on: each is refused and nothing runs. */
TEST(FactoryService, StationTextsNeverRunCommandsNorChangeAnything)
{
    IndustBoard b;
    IbStation s;
    ASSERT_TRUE(b.startWith(s));
    ASSERT_EQ(SSW_TEST_OK, s.resultOfText(SSW_IP_SET, "10.0.0.2"));
    ASSERT_EQ(SSW_TEST_OK, s.resultOfText(SSW_SN_SET, "KEL-1"));
    const std::string conf = b.sb.read("/kel/config/kel.conf");
    const std::string sn = b.sb.read("/kel/factory/sn.conf");
    const std::string journal = b.sb.journal();

    const std::vector<std::string> attempts = {
        "1.2.3.4;reboot", "$(reboot)", "`reboot`", "1.2.3.4'x", "\"1.2.3.4\"", "1.2.3.4\nreboot",
        "1.2.3.4 reboot", "1.2.3.4|reboot", std::string("1.2.3.4\0;reboot", 15), "",
    };
    for (const std::string &text : attempts) {
        EXPECT_EQ(SSW_TEST_FAIL, s.resultOfText(SSW_IP_SET, text)) << text;
        EXPECT_EQ(SSW_TEST_FAIL, s.resultOfText(SSW_SERVERIP_SET, text)) << text;
        const std::string snText = text.empty() ? text : "KEL" + text;
        EXPECT_EQ(SSW_TEST_FAIL, s.resultOfText(SSW_SN_SET, snText)) << snText;
    }
    EXPECT_EQ(SSW_TEST_FAIL, s.resultOfText(SSW_SN_SET, std::string(33, 'K'))) << "over 32";
    EXPECT_EQ(SSW_TEST_FAIL, s.resultOfText(SSW_IP_SET, std::string(100, '1')));

    /* 200 bytes do not fit the unit's record: the link is dropped. */
    std::string big(200, 'A');
    uint8_t frame[220];
    SSW_Head_t head = {SSW_MAGIC, 220, 99, SSW_REQUEST, SSW_SN_SET};
    memcpy(frame, &head, sizeof(head));
    memcpy(frame + sizeof(head), big.data(), big.size());
    ASSERT_EQ(1, stationSimSendRaw(&s.st, frame, sizeof(frame)));
    EXPECT_EQ(1, stationSimWaitClosed(&s.st, IB_DEADLINE_MS));

    kelTestSleepMs(300);
    EXPECT_EQ(conf, b.sb.read("/kel/config/kel.conf"));
    EXPECT_EQ(sn, b.sb.read("/kel/factory/sn.conf"));
    EXPECT_EQ(journal, b.sb.journal());
    EXPECT_TRUE(b.serviceRunning());
}

TEST(FactoryService, ANewerStationTakesOverAndMustAuthenticateAgain)
{
    IndustBoard b;
    IbStation first;
    ASSERT_TRUE(b.startWith(first));
    ASSERT_TRUE(b.waitMode(KEL_MODE_INDUSTRY));

    IbStation second;
    ASSERT_TRUE(second.connect());
    EXPECT_EQ(1, stationSimWaitClosed(&first.st, IB_DEADLINE_MS));
    EXPECT_EQ(SSW_TEST_FAIL, second.resultOfText(SSW_SN_SET, "KEL-2"));
    /* The factory mode went with the authenticated station. */
    EXPECT_TRUE(b.waitMode(KEL_MODE_NORMAL));
    ASSERT_TRUE(second.authenticate());
    EXPECT_TRUE(b.waitMode(KEL_MODE_INDUSTRY));
    EXPECT_EQ(SSW_TEST_OK, second.resultOfText(SSW_SN_SET, "KEL-2"));
}

TEST(FactoryService, BrokenFramesCloseTheLinkAndTheNextStationIsServed)
{
    IndustBoard b;
    ASSERT_TRUE(b.start());
    struct Bad {
        const char *what;
        SSW_Head_t head;
    };
    const Bad bad[] = {
        {"wrong magic", {0xb45329c6u, 20, 0, SSW_REQUEST, SSW_HEARTBEAT}},
        {"length 4000", {SSW_MAGIC, 4000, 0, SSW_REQUEST, SSW_HEARTBEAT}},
        {"length 16", {SSW_MAGIC, 16, 0, SSW_REQUEST, SSW_HEARTBEAT}},
    };
    for (const Bad &x : bad) {
        IbStation s;
        ASSERT_TRUE(s.connect());
        ASSERT_TRUE(s.authenticate());
        ASSERT_TRUE(b.waitMode(KEL_MODE_INDUSTRY)) << x.what;
        ASSERT_EQ(1, stationSimSendRaw(&s.st, &x.head, sizeof(x.head)));
        EXPECT_EQ(1, stationSimWaitClosed(&s.st, IB_DEADLINE_MS)) << x.what;
        EXPECT_TRUE(b.waitMode(KEL_MODE_NORMAL)) << x.what;
    }
    IbStation next;
    ASSERT_TRUE(next.connect());
    ASSERT_EQ(1, next.ask(SSW_HEARTBEAT));
    EXPECT_EQ(20u, next.resp.length);
    EXPECT_EQ(SSW_RESPONSE, next.resp.msgType);
    EXPECT_TRUE(b.serviceRunning());
}

/* The station command: its output and its exit status, which scripts (and
 * the browser panel) rely on. */
static int runStation(const std::string &args, std::string *out)
{
    std::string cmd = std::string(KEL_TEST_BIN_DIR) + "/kelstationsim " + args + " 2>&1";
    FILE *p = popen(cmd.c_str(), "r");
    if (p == nullptr)
        return -1;
    char buf[512];
    size_t n;
    out->clear();
    while ((n = fread(buf, 1, sizeof(buf), p)) > 0)
        out->append(buf, n);
    int rc = pclose(p);
    return WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
}

TEST(FactoryService, TheStationCommandExitsNonZeroOnAFailedOrMissingAnswer)
{
    IndustBoard b;
    ASSERT_TRUE(b.start());
    std::string out;
    ASSERT_EQ(0, runStation("127.0.0.1 sn-set KEL-9 heartbeat test-result-set 1 7 now", &out)) << out;
    EXPECT_NE(std::string::npos, out.find("auth: TEST_OK")) << out;
    EXPECT_NE(std::string::npos, out.find("sn-set KEL-9: TEST_OK")) << out;
    EXPECT_TRUE(b.fileIs("/kel/factory/sn.conf", "SN KEL-9"));

    EXPECT_EQ(1, runStation("--timeout 1500 --wrong-digest 127.0.0.1 sn-set KEL-8", &out)) << out;
    EXPECT_NE(std::string::npos, out.find("auth: no answer")) << out;
    EXPECT_NE(std::string::npos, out.find("sn-set KEL-8: TEST_FAIL")) << out;
    EXPECT_EQ(1, runStation("--timeout 1500 --no-auth 127.0.0.1 logo-get", &out)) << out;
    EXPECT_NE(std::string::npos, out.find("logo-get: no answer")) << out;
    EXPECT_EQ(1, runStation("127.0.0.1 led 3 on", &out)) << out;
    EXPECT_EQ(2, runStation("127.0.0.1 no-such-command", &out)) << out;
    EXPECT_EQ(3, runStation("--port 1 127.0.0.1 heartbeat", &out)) << out;
    EXPECT_TRUE(b.fileIs("/kel/factory/sn.conf", "SN KEL-9"));
}

/* Frames of every command with arbitrary payloads and lengths, before and
 * after the handshake: the service answers what it answers and stays up
 * (the sanitised build ends the service at the first bad memory access). */
TEST(FactoryService, ArbitraryRequestsNeverBringTheServiceDown)
{
    IndustBoard b;
    IbStation s;
    ASSERT_TRUE(b.startWith(s, false));
    uint32_t seed = 12345;
    auto next = [&seed] {
        seed = seed * 1103515245u + 12345u;
        return seed >> 8;
    };
    for (int round = 0; round < 2; round++) {
        if (round == 1) {
            s.st.nEvents = 0; /* challenges the random requests asked for */
            ASSERT_TRUE(s.authenticate());
        }
        for (int i = 0; i < 200; i++) {
            uint8_t payload[SSW_PAYLOAD_MAX];
            for (uint8_t &byte : payload)
                byte = (uint8_t)next();
            int32_t cmd = (int32_t)(next() % (SSW_NUM_CMDS + 2)) - 1;
            /* The reboots wait a second each; they are tried elsewhere. */
            if (cmd == SSW_FACTORY_RESET || cmd == SSW_REBOOT)
                continue;
            int32_t msgType = (int32_t)(next() % 3);
            ASSERT_EQ(1, stationSimSend(&s.st, msgType, cmd, payload, next() % (SSW_PAYLOAD_MAX + 1)));
        }
        ASSERT_EQ(1, s.ask(SSW_HEARTBEAT, nullptr, 0, IB_DEADLINE_MS)) << "round " << round;
    }
    EXPECT_TRUE(b.serviceRunning());
}
