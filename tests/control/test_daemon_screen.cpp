/*
 * The real control daemon's screen and indications: frames through the
 * shared segment, the pictogram and LEDs of each work mode (pictures
 * decoded here from the board's own BMP files), the return to the meter's
 * settings, the mode the segment publishes across attaches, and broken
 * pictogram files.
 */
#include <stdint.h>

#include "test_daemon_harness.h"

#define MODE_NORMAL 0
#define MODE_ERROR 1
#define MODE_UPGRADE 2
#define MODE_UPGRADING 3
#define MODE_INDUSTRY 4

/* Reads a 24-bit bottom-up BMP and packs it as the LCD shows it: 16-bit
 * little-endian words, blue in the top five bits, green in the middle six,
 * red in the low five. Empty when the file is not such a 320 x 240 BMP. */
static std::vector<UINT8> screenOfBmp(const std::string &bmp)
{
    std::vector<UINT8> out;
    auto u32 = [&](size_t off) -> uint32_t {
        return (uint32_t)(UINT8)bmp[off] | (uint32_t)(UINT8)bmp[off + 1] << 8 |
               (uint32_t)(UINT8)bmp[off + 2] << 16 | (uint32_t)(UINT8)bmp[off + 3] << 24;
    };
    if (bmp.size() < 54 || bmp[0] != 'B' || bmp[1] != 'M') {
        return out;
    }
    uint32_t offBits = u32(10);
    int32_t width = (int32_t)u32(18);
    int32_t height = (int32_t)u32(22);
    uint32_t bits = u32(28);
    if (width != KEL_FB_WIDTH || height != KEL_FB_HEIGHT || bits != 24) {
        return out;
    }
    size_t rowBytes = ((size_t)width * 3 + 3) / 4 * 4;
    if (offBits > bmp.size() || bmp.size() - offBits < rowBytes * (size_t)height) {
        return out;
    }
    out.resize((size_t)width * height * 2);
    for (int32_t fileRow = 0; fileRow < height; fileRow++) {
        int32_t screenRow = height - 1 - fileRow;
        for (int32_t x = 0; x < width; x++) {
            size_t p = offBits + (size_t)fileRow * rowBytes + (size_t)x * 3;
            UINT8 blue = (UINT8)bmp[p];
            UINT8 green = (UINT8)bmp[p + 1];
            UINT8 red = (UINT8)bmp[p + 2];
            UINT16 w = (UINT16)((blue >> 3) << 11 | (green >> 2) << 5 | (red >> 3));
            size_t o = ((size_t)screenRow * width + x) * 2;
            out[o] = (UINT8)(w & 0xFF);
            out[o + 1] = (UINT8)(w >> 8);
        }
    }
    return out;
}

static std::vector<UINT8> pictogram(DaemonBoard &b, const std::string &name)
{
    return screenOfBmp(b.sb.read(std::string(PICTO_DIR) + "/picto_full_" + name + ".bmp"));
}

TEST(DaemonScreen, AFrameAnnouncedOnTheFrameQueueReachesTheScreenByteForByte)
{
    DaemonBoard b;
    ASSERT_TRUE(b.start());

    std::vector<UINT8> first = patternFrame(1);
    ASSERT_TRUE(b.showFrame(first, KEL_TASK_FB_CLIENT));
    EXPECT_TRUE(b.waitScreen(first));
    EXPECT_TRUE(waitFor([&] { return KEL_LOAD(b.shm->bRead) == KEL_TRUE; }));

    /* A notice that finds no new frame changes nothing; an unfinished
     * frame is not shown. */
    std::vector<UINT8> second = patternFrame(2);
    ASSERT_TRUE(kelFBShareMemWrite(second.data(), (INT32)second.size(), KEL_TASK_FB_CLIENT) > 0);
    ASSERT_TRUE(b.announceFrame(KEL_TASK_FB_CLIENT, KEL_FALSE));
    kelTestSleepMs(1000);
    EXPECT_TRUE(b.screenIs(first));
    ASSERT_TRUE(b.announceFrame(KEL_TASK_FB_CLIENT));
    EXPECT_TRUE(b.waitScreen(second));
}

TEST(DaemonScreen, FactoryModeShowsItsPictogramDarkensTheLedsAndKeepsTheMetersFramesOff)
{
    DaemonBoard b;
    ASSERT_TRUE(b.start());
    std::vector<UINT8> ind = pictogram(b, "ind_0");
    ASSERT_FALSE(ind.empty());
    ASSERT_TRUE(b.sendStatusLed(KELNS_LED_RED, 1000, 100, 1, 0));
    ASSERT_TRUE(b.sendAlarmLed(1000, 100, 1, 0));
    ASSERT_TRUE(b.sendBrightness(70));
    EXPECT_TRUE(b.waitLed(LED_ALARM_DIR, "255"));

    ASSERT_TRUE(b.sendMode(MODE_INDUSTRY));
    EXPECT_TRUE(b.waitScreen(ind));
    EXPECT_EQ(MODE_INDUSTRY, KEL_LOAD(b.shm->kelWorkMode));
    EXPECT_TRUE(b.waitLed(LED_RED_DIR, "0"));
    EXPECT_TRUE(b.waitLed(LED_ALARM_DIR, "0"));
    EXPECT_TRUE(b.waitLed(LED_GREEN_DIR, "0"));

    /* A frame that slips into the segment announced by the screen client is
     * not shown: the daemon's own mode decides, whatever the writer. */
    std::vector<UINT8> meter = patternFrame(3);
    ASSERT_TRUE(kelFBShareMemWrite(meter.data(), (INT32)meter.size(), KEL_TASK_CONTROL) > 0);
    ASSERT_TRUE(b.announceFrame(KEL_TASK_FB_CLIENT));
    kelTestSleepMs(1500);
    EXPECT_TRUE(b.screenIs(ind));
    EXPECT_EQ(KEL_FALSE, KEL_LOAD(b.shm->bRead));

    /* The factory LCD test still reaches the screen. */
    ASSERT_TRUE(b.showFrame(meter, KEL_TASK_APP_INDUSTRY));
    EXPECT_TRUE(b.waitScreen(meter));

    /* Back to normal: the meter's LEDs and brightness return. */
    ASSERT_TRUE(b.sendBrightness(20)); /* applied, not kept */
    EXPECT_TRUE(waitFor([&] { return b.backlight() == "20"; }));
    ASSERT_TRUE(b.sendMode(MODE_NORMAL));
    EXPECT_TRUE(waitFor([&] { return b.backlight() == "70"; }));
    EXPECT_TRUE(b.waitLed(LED_RED_DIR, "255"));
    EXPECT_TRUE(b.waitLed(LED_ALARM_DIR, "255"));
    EXPECT_TRUE(b.waitLed(LED_GREEN_DIR, "255"));
    std::vector<UINT8> next = patternFrame(4);
    ASSERT_TRUE(b.showFrame(next, KEL_TASK_FB_CLIENT));
    EXPECT_TRUE(b.waitScreen(next));
}

TEST(DaemonScreen, ErrorModeBlinksTheRedLedWithTwoAlternatingPictograms)
{
    DaemonBoard b;
    ASSERT_TRUE(b.start());
    std::vector<UINT8> err0 = pictogram(b, "err_0");
    std::vector<UINT8> err1 = pictogram(b, "err_1");
    ASSERT_FALSE(err0.empty());
    ASSERT_FALSE(err1.empty());
    ASSERT_NE(err0, err1);
    ASSERT_TRUE(b.sendAlarmLed(1000, 100, 1, 0));
    EXPECT_TRUE(b.waitLed(LED_ALARM_DIR, "255"));

    ASSERT_TRUE(b.sendMode(MODE_ERROR));
    EXPECT_TRUE(b.waitScreen(err0));
    EXPECT_TRUE(b.waitScreen(err1));
    EXPECT_TRUE(b.waitLed(LED_ALARM_DIR, "0"));
    EXPECT_TRUE(b.waitLed(LED_GREEN_DIR, "0"));

    /* About 300 ms on, 300 ms off; sampled loosely. */
    bool on = false;
    bool off = false;
    double duty = b.ledDuty(LED_RED_DIR, 4000, &on, &off);
    EXPECT_TRUE(on);
    EXPECT_TRUE(off);
    EXPECT_GT(duty, 0.2);
    EXPECT_LT(duty, 0.8);

    /* The meter's frames stay off the screen. */
    std::vector<UINT8> meter = patternFrame(5);
    ASSERT_TRUE(b.showFrame(meter, KEL_TASK_FB_CLIENT));
    kelTestSleepMs(1500);
    EXPECT_FALSE(b.screenIs(meter));

    ASSERT_TRUE(b.sendMode(MODE_NORMAL));
    EXPECT_TRUE(b.waitLed(LED_ALARM_DIR, "255"));
    EXPECT_TRUE(b.waitLed(LED_RED_DIR, "0"));
    EXPECT_TRUE(b.waitLed(LED_GREEN_DIR, "255"));
    b.ledDuty(LED_RED_DIR, 1500, &on, &off);
    EXPECT_FALSE(on) << "red status still blinking after the error mode ended";
    ASSERT_TRUE(b.showFrame(meter, KEL_TASK_FB_CLIENT));
    EXPECT_TRUE(b.waitScreen(meter));
}

TEST(DaemonScreen, UpgradeNeededThenUpgradingShowTheirPictogramsAndLeds)
{
    DaemonBoard b;
    ASSERT_TRUE(b.start());
    std::vector<UINT8> upg = pictogram(b, "upg_0");
    std::vector<UINT8> prog0 = pictogram(b, "prog_0");
    std::vector<UINT8> prog1 = pictogram(b, "prog_1");
    ASSERT_FALSE(upg.empty());
    ASSERT_FALSE(prog0.empty());
    ASSERT_FALSE(prog1.empty());

    ASSERT_TRUE(b.sendMode(MODE_UPGRADE));
    EXPECT_TRUE(b.waitScreen(upg));
    EXPECT_TRUE(b.waitLed(LED_RED_DIR, "255"));
    EXPECT_TRUE(b.waitLed(LED_GREEN_DIR, "0"));
    EXPECT_EQ("0", b.led(LED_ALARM_DIR));

    /* From upgrade-needed, normal and error are refused. */
    ASSERT_TRUE(b.sendMode(MODE_NORMAL));
    ASSERT_TRUE(b.sendMode(MODE_ERROR));
    ASSERT_TRUE(b.fence());
    kelTestSleepMs(500);
    EXPECT_EQ(MODE_UPGRADE, KEL_LOAD(b.shm->kelWorkMode));
    EXPECT_TRUE(b.screenIs(upg));

    ASSERT_TRUE(b.sendMode(MODE_UPGRADING));
    EXPECT_TRUE(b.waitScreen(prog0));
    EXPECT_TRUE(b.waitScreen(prog1));
    EXPECT_TRUE(b.waitLed(LED_GREEN_DIR, "255"));
    bool on = false;
    bool off = false;
    double duty = b.ledDuty(LED_RED_DIR, 5000, &on, &off);
    EXPECT_TRUE(on && off) << "red status heartbeat not seen";
    EXPECT_GT(duty, 0.2);
    EXPECT_LT(duty, 0.8);

    ASSERT_TRUE(b.sendMode(MODE_NORMAL));
    EXPECT_TRUE(waitFor([&] { return KEL_LOAD(b.shm->kelWorkMode) == MODE_NORMAL; }));
    EXPECT_TRUE(b.waitLed(LED_RED_DIR, "0"));
    kelTestSleepMs(1500); /* an upgrading step in progress ends first */
    b.ledDuty(LED_RED_DIR, 2500, &on, &off);
    EXPECT_FALSE(on) << "heartbeat of the upgrading indication outlived it";
}

TEST(DaemonScreen, AModeAcceptedBeforeTheFrameThreadAttachesIsWhatTheSegmentPublishes)
{
    DaemonBoard b;
    ASSERT_TRUE(b.sb.ok());
    ASSERT_TRUE(b.attachSegment());
    /* No frame buffer yet: the frame thread keeps retrying its open. */
    std::string fb = b.sb.path(FB_FILE);
    ASSERT_EQ(0, rename(fb.c_str(), (fb + ".away").c_str()));
    b.pid = b.sb.spawn({"/usr/bin/kelcontrol"});
    ASSERT_GT(b.pid, 0);
    ASSERT_TRUE(b.sendMode(MODE_INDUSTRY));
    EXPECT_TRUE(waitFor([&] { return KEL_LOAD(b.shm->kelWorkMode) == MODE_INDUSTRY; }));
    EXPECT_TRUE(b.waitLed(LED_RED_DIR, "0"));
    kelTestSleepMs(500);

    /* The screen appears; the thread attaches and must not announce normal
     * mode, or the meter's frames would overwrite the indication. */
    ASSERT_EQ(0, rename((fb + ".away").c_str(), fb.c_str()));
    EXPECT_TRUE(waitFor([&] { return KEL_LOAD(b.shm->bRead) == KEL_TRUE; }));
    kelTestSleepMs(500);
    EXPECT_EQ(MODE_INDUSTRY, KEL_LOAD(b.shm->kelWorkMode));
    std::vector<UINT8> meter = patternFrame(6);
    ASSERT_TRUE(b.showFrame(meter, KEL_TASK_FB_CLIENT));
    kelTestSleepMs(1500);
    EXPECT_FALSE(b.screenIs(meter));

    /* After a queue failure the thread attaches anew, again publishing the
     * mode in force. */
    KEL_STORE(b.shm->kelWorkMode, (INT32)MODE_NORMAL);
    KEL_STORE(b.shm->bRead, (INT32)KEL_FALSE);
    INT32 fq = -1;
    ASSERT_GT(kelAppMsgQueGetID(&fq, KEL_MSG_ID_FB), 0);
    ASSERT_EQ(0, msgctl(fq, IPC_RMID, nullptr));
    EXPECT_TRUE(waitFor([&] { return KEL_LOAD(b.shm->bRead) == KEL_TRUE; }));
    EXPECT_EQ(MODE_INDUSTRY, KEL_LOAD(b.shm->kelWorkMode));

    /* And frames of the daemon's own still flow after the re-attach. */
    std::vector<UINT8> own = patternFrame(7);
    ASSERT_TRUE(b.showFrame(own, KEL_TASK_CONTROL));
    EXPECT_TRUE(b.waitScreen(own));
}

TEST(DaemonScreen, ABrokenPictogramFileLeavesTheScreenAsItWas)
{
    DaemonBoard b;
    ASSERT_TRUE(b.start());
    std::vector<UINT8> shown = patternFrame(8);
    ASSERT_TRUE(b.showFrame(shown, KEL_TASK_FB_CLIENT));
    ASSERT_TRUE(b.waitScreen(shown));

    /* Upgrade picture: its pixel offset points past the end of the file. */
    std::string upg = b.sb.read(std::string(PICTO_DIR) + "/picto_full_upg_0.bmp");
    ASSERT_GT(upg.size(), 54u);
    uint32_t past = (uint32_t)upg.size() + 4096;
    memcpy(&upg[10], &past, 4);
    ASSERT_TRUE(b.sb.write(std::string(PICTO_DIR) + "/picto_full_upg_0.bmp", upg));
    /* Factory picture: cut off in the middle of its pixels. */
    std::string ind = b.sb.read(std::string(PICTO_DIR) + "/picto_full_ind_0.bmp");
    ASSERT_GT(ind.size(), 1000u);
    ASSERT_TRUE(b.sb.write(std::string(PICTO_DIR) + "/picto_full_ind_0.bmp", ind.substr(0, ind.size() / 2)));

    ASSERT_TRUE(b.sendMode(MODE_UPGRADE));
    EXPECT_TRUE(b.waitLed(LED_RED_DIR, "255"));
    kelTestSleepMs(1500);
    EXPECT_TRUE(b.screenIs(shown));

    ASSERT_TRUE(b.sendMode(MODE_INDUSTRY));
    EXPECT_TRUE(b.waitLed(LED_RED_DIR, "0"));
    kelTestSleepMs(1500);
    EXPECT_TRUE(b.screenIs(shown));

    /* Garbage that is not a BMP at all. */
    ASSERT_TRUE(b.sendMode(MODE_NORMAL));
    ASSERT_TRUE(b.sb.write(std::string(PICTO_DIR) + "/picto_full_err_0.bmp", std::string(40, 'B')));
    ASSERT_TRUE(b.sb.write(std::string(PICTO_DIR) + "/picto_full_err_1.bmp", ""));
    ASSERT_TRUE(b.sendMode(MODE_ERROR));
    EXPECT_TRUE(waitFor([&] { return KEL_LOAD(b.shm->kelWorkMode) == MODE_ERROR; }));
    kelTestSleepMs(1500);
    EXPECT_TRUE(b.screenIs(shown));
    EXPECT_TRUE(b.alive());
}
