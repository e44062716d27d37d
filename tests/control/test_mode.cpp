/*
 * Work-mode controller: which changes are accepted, the mode published in
 * the shared segment, and each mode's indication (LED rows and sysfs, the
 * pictogram that reaches the shared frame, the brightness) stepped pass by
 * pass with the indication pauses recorded instead of slept.
 */
#include <gtest/gtest.h>

#include <sys/ipc.h>
#include <sys/msg.h>
#include <sys/shm.h>

#include <string>
#include <vector>

#include "kelTestRoot.h"
#include "kelbacklight.h"
#include "kelledctrl.h"
#include "kelmodectrl.h"
#include "kelmsg.h"

namespace {

const char *kLedDirs[KEL_NUM_OF_LEDS] = {
    "/sys/devices/platform/leds-gpio/leds/status-ledgreen",
    "/sys/devices/platform/leds-gpio/leds/status-ledred",
    "/sys/devices/platform/leds-gpio/leds/alarm-ledred",
};

std::vector<INT32> pauses;
void recordPause(INT32 ms) { pauses.push_back(ms); }

void put32(std::string &s, size_t at, UINT32 v)
{
    for (int i = 0; i < 4; i++) {
        s[at + i] = (char)((v >> (8 * i)) & 0xFF);
    }
}

/* A one-colour 320 x 240 24-bit BMP. */
std::string solidBmp(UINT8 r, UINT8 g, UINT8 b)
{
    const int w = 320, h = 240, stride = w * 3;
    std::string s(54 + (size_t)stride * h, '\0');
    s[0] = 'B';
    s[1] = 'M';
    put32(s, 2, (UINT32)s.size());
    put32(s, 10, 54);
    put32(s, 14, 40);
    put32(s, 18, w);
    put32(s, 22, h);
    s[26] = 1;
    put32(s, 28, 24);
    for (size_t at = 54; at < s.size(); at += 3) {
        s[at] = (char)b;
        s[at + 1] = (char)g;
        s[at + 2] = (char)r;
    }
    return s;
}

/* Screen words of the pictures written below (blue high, red low). */
const UINT16 kErr0 = 0x001F;   /* red */
const UINT16 kErr1 = 0x07E0;   /* green */
const UINT16 kUpg0 = 0xF800;   /* blue */
const UINT16 kProg0 = 0xF81F;  /* magenta */
const UINT16 kProg1 = 0x07FF;  /* yellow */
const UINT16 kInd0 = 0x0000;   /* black */

class ModeTest : public ::testing::Test {
protected:
    KelTestRoot root;
    KEL_DEVICE_INFO dev;

    void SetUp() override
    {
        for (const char *dir : kLedDirs) {
            std::string mk = "mkdir -p " + root.path(dir);
            ASSERT_EQ(0, system(mk.c_str()));
            for (const char *attr : {"brightness", "trigger", "delay_on", "delay_off"}) {
                root.write(std::string(dir) + "/" + attr, "");
            }
        }
        std::string mk = "mkdir -p " + root.path("/sys/class/backlight/pwm-backlight") + " " +
                         root.path("/usr/share/picto");
        ASSERT_EQ(0, system(mk.c_str()));
        root.write(KEL_BKL_BRIGHTNESS_FILE, "");
        root.write("/usr/share/picto/picto_full_err_0.bmp", solidBmp(255, 0, 0));
        root.write("/usr/share/picto/picto_full_err_1.bmp", solidBmp(0, 255, 0));
        root.write("/usr/share/picto/picto_full_upg_0.bmp", solidBmp(0, 0, 255));
        root.write("/usr/share/picto/picto_full_prog_0.bmp", solidBmp(255, 0, 255));
        root.write("/usr/share/picto/picto_full_prog_1.bmp", solidBmp(255, 255, 0));
        root.write("/usr/share/picto/picto_full_ind_0.bmp", solidBmp(0, 0, 0));

        memset(&dev, 0, sizeof(dev));
        dev.width = 320;
        dev.height = 240;
        dev.bpp = 16;
        dev.kelLang = KEL_LANG_ENGLISH;
        dev.kelBrightness = 70;
        dev.workMode = KEL_MODE_NORMAL;

        kelLEDResetState();
        kelModeResetState();
        kelModeSetSleep(recordPause);
        pauses.clear();
    }

    void TearDown() override { kelModeSetSleep(nullptr); }

    std::string led(int i) { return root.read(std::string(kLedDirs[i]) + "/brightness"); }

    kel_ShMem_FB_t *attach()
    {
        key_t key = ftok(root.path("/home/root").c_str(), 'S');
        int id = shmget(key, 0, 0);
        if (id < 0) {
            return nullptr;
        }
        void *addr = shmat(id, nullptr, 0);
        return addr == (void *)-1 ? nullptr : (kel_ShMem_FB_t *)addr;
    }

    INT32 publishedMode()
    {
        kel_ShMem_FB_t *seg = attach();
        if (seg == nullptr) {
            return -1;
        }
        INT32 mode = seg->kelWorkMode;
        shmdt(seg);
        return mode;
    }

    /* The first screen word of the shared frame, and that all words equal it. */
    UINT16 screenColour(bool *uniform = nullptr)
    {
        kel_ShMem_FB_t *seg = attach();
        if (seg == nullptr) {
            return 0xDEAD;
        }
        UINT16 first = (UINT16)(seg->fBuffer[0] | (seg->fBuffer[1] << 8));
        bool same = true;
        for (size_t at = 0; at < KEL_FB_FRAME_SIZE; at += 2) {
            same = same && (UINT16)(seg->fBuffer[at] | (seg->fBuffer[at + 1] << 8)) == first;
        }
        if (uniform) {
            *uniform = same;
        }
        shmdt(seg);
        return first;
    }

    /* Frame-ready notices waiting, removed from the queue. */
    int takeNotices()
    {
        key_t key = ftok(root.path("/home/root").c_str(), 'F');
        int id = msgget(key, 0);
        if (id < 0) {
            return 0;
        }
        struct {
            long mtype;
            char text[64];
        } buf;
        int n = 0;
        while (msgrcv(id, &buf, sizeof(buf.text), 0, IPC_NOWAIT) >= 0) {
            n++;
        }
        return n;
    }

    void enter(kel_WorkMode_t mode)
    {
        ASSERT_EQ(1, kelWorkModeChange(&dev, mode));
        ASSERT_EQ(mode, dev.workMode);
    }

    static void expectRow(int i, UINT32 on, UINT32 off)
    {
        EXPECT_EQ(on, kelLEDCtrl[i].DelayOnTick) << "LED " << i;
        EXPECT_EQ(off, kelLEDCtrl[i].DelayOffTick) << "LED " << i;
    }
};

} // namespace

TEST_F(ModeTest, ChangesAreAcceptedOrRefusedByTheCurrentMode)
{
    /* accepted[current][requested] */
    const bool accepted[KEL_NUM_OF_MODES][KEL_NUM_OF_MODES] = {
        {false, true, true, true, true},    /* normal: any other */
        {true, false, true, true, true},    /* error: any other */
        {false, false, false, true, true},  /* upgrade needed: upgrading, factory */
        {true, false, false, false, false}, /* upgrading: normal only */
        {true, false, false, false, false}, /* factory: normal only */
    };
    for (int cur = 0; cur < KEL_NUM_OF_MODES; cur++) {
        for (int req = 0; req < KEL_NUM_OF_MODES; req++) {
            dev.workMode = (kel_WorkMode_t)cur;
            KEL_STORE(bWorkModeChanged, KEL_FALSE);
            EXPECT_EQ(1, kelWorkModeChange(&dev, (kel_WorkMode_t)req));
            int want = accepted[cur][req] ? req : cur;
            EXPECT_EQ(want, dev.workMode) << cur << " -> " << req;
            EXPECT_EQ(accepted[cur][req] ? KEL_TRUE : KEL_FALSE, KEL_LOAD(bWorkModeChanged)) << cur << " -> " << req;
            if (accepted[cur][req]) {
                EXPECT_EQ(req, publishedMode()) << cur << " -> " << req;
            }
        }
    }
    /* A word outside the five modes is refused even from normal mode. */
    dev.workMode = KEL_MODE_NORMAL;
    KEL_STORE(bWorkModeChanged, KEL_FALSE);
    for (int bad : {5, 6, 7}) {
        EXPECT_EQ(1, kelWorkModeChange(&dev, (kel_WorkMode_t)bad));
        EXPECT_EQ(KEL_MODE_NORMAL, dev.workMode);
    }
    EXPECT_EQ(KEL_FALSE, KEL_LOAD(bWorkModeChanged));
}

TEST_F(ModeTest, AFailedPublicationKeepsTheDaemonInItsMode)
{
    /* Without the key directory no segment can be found. */
    std::string rm = "rm -rf " + root.path("/home/root");
    ASSERT_EQ(0, system(rm.c_str()));
    EXPECT_EQ(-1, kelModeSet(KEL_MODE_ERROR));
    EXPECT_EQ(1, kelWorkModeChange(&dev, KEL_MODE_ERROR));
    EXPECT_EQ(KEL_MODE_NORMAL, dev.workMode);
    EXPECT_EQ(KEL_FALSE, KEL_LOAD(bWorkModeChanged));
    kelWorkModeControlPass(&dev);
    EXPECT_TRUE(pauses.empty());
    EXPECT_EQ("", led(1));
}

TEST_F(ModeTest, ErrorModeBlinksTheRedLedTogetherWithTheTwoErrorPictures)
{
    enter(KEL_MODE_ERROR);
    kelWorkModeControlPass(&dev);
    bool uniform = false;
    EXPECT_EQ(kErr0, screenColour(&uniform));
    EXPECT_TRUE(uniform);
    expectRow(1, 1000, 0);            /* red lit for this half */
    EXPECT_EQ("0", led(0));           /* green dark */
    expectRow(2, 0, 1000);            /* alarm dark */
    ASSERT_EQ(1u, pauses.size());
    EXPECT_EQ(250, pauses[0]);
    EXPECT_EQ(KEL_TRUE, KEL_LOAD(bWorkModeChanged));

    kelWorkModeControlPass(&dev);
    EXPECT_EQ(kErr1, screenColour());
    expectRow(1, 0, 1000);
    EXPECT_EQ("0", led(1));           /* written at once */
    kelWorkModeControlPass(&dev);
    EXPECT_EQ(kErr0, screenColour());
    EXPECT_EQ(3, takeNotices());
    EXPECT_EQ((std::vector<INT32>{250, 250, 250}), pauses);
}

TEST_F(ModeTest, UpgradeNeededShowsItsIndicationOnceAndIgnoresARepeatedRequest)
{
    enter(KEL_MODE_FW_UPGRADE);
    kelWorkModeControlPass(&dev);
    EXPECT_EQ(kUpg0, screenColour());
    expectRow(1, 1000, 0);            /* red status steady on */
    EXPECT_EQ("0", led(0));
    expectRow(2, 0, 1000);
    EXPECT_EQ(KEL_FALSE, KEL_LOAD(bWorkModeChanged));
    EXPECT_EQ(1, takeNotices());

    /* Same mode again, and refused modes: nothing reruns. */
    EXPECT_EQ(1, kelWorkModeChange(&dev, KEL_MODE_FW_UPGRADE));
    EXPECT_EQ(1, kelWorkModeChange(&dev, KEL_MODE_NORMAL));
    EXPECT_EQ(1, kelWorkModeChange(&dev, KEL_MODE_ERROR));
    kelWorkModeControlPass(&dev);
    kelWorkModeControlPass(&dev);
    EXPECT_EQ(0, takeNotices());
    EXPECT_EQ(KEL_MODE_FW_UPGRADE, publishedMode());
}

TEST_F(ModeTest, UpgradingAlternatesTheProgressPicturesOnceASecond)
{
    enter(KEL_MODE_FW_UPGRADE);
    kelWorkModeControlPass(&dev);
    enter(KEL_MODE_FW_UPGRADING);
    takeNotices();
    UINT16 seen[4];
    for (UINT16 &s : seen) {
        kelWorkModeControlPass(&dev);
        s = screenColour();
    }
    EXPECT_EQ(kProg0, seen[0]);
    EXPECT_EQ(kProg1, seen[1]);
    EXPECT_EQ(kProg0, seen[2]);
    EXPECT_EQ(kProg1, seen[3]);
    EXPECT_EQ((std::vector<INT32>{1000, 1000, 1000, 1000}), pauses);
    expectRow(1, 1000, 1000);         /* red heartbeat */
    EXPECT_EQ("255", led(0));         /* green on */
    expectRow(2, 0, 1000);
    EXPECT_EQ(4, takeNotices());
}

TEST_F(ModeTest, FactoryTestDarkensAllLedsAndShowsItsPictureOnce)
{
    root.write(std::string(kLedDirs[0]) + "/brightness", "255");
    root.write(std::string(kLedDirs[1]) + "/brightness", "255");
    KELNS_patternData_t alarm = {2000, 50, 1, 0};
    ASSERT_EQ(1, kelSetAlarmLED(&alarm));

    enter(KEL_MODE_INDUSTRY);
    kelWorkModeControlPass(&dev);
    EXPECT_EQ(kInd0, screenColour());
    EXPECT_EQ("0", led(0));
    EXPECT_EQ("0", led(1));
    expectRow(2, 0, 1000);
    kelWorkModeControlPass(&dev);
    EXPECT_EQ(1, takeNotices());
}

TEST_F(ModeTest, ReturningToNormalRestoresTheMetersPatternsAndBrightness)
{
    KELNS_patternData_t green = {1000, 0, 1, 0};
    KELNS_patternData_t red = {500, 50, 1, 0};
    KELNS_patternData_t alarm = {2000, 50, 3, 1};
    kelBackupStatusLEDPattern(KELNS_LED_GREEN, &green);
    kelBackupStatusLEDPattern(KELNS_LED_RED, &red);
    kelBackupAlarmLEDPattern(&alarm);
    dev.kelBrightness = 42;

    enter(KEL_MODE_ERROR);
    kelWorkModeControlPass(&dev);
    ASSERT_EQ(1, kelSetBrightness(100));
    enter(KEL_MODE_NORMAL);
    EXPECT_EQ(KEL_MODE_NORMAL, publishedMode());
    kelWorkModeControlPass(&dev);
    EXPECT_EQ(KEL_FALSE, KEL_LOAD(bWorkModeChanged));
    expectRow(1, 250, 250);
    EXPECT_EQ(6000u, kelLEDCtrl[2].ActiveTick);
    EXPECT_EQ(2000u, kelLEDCtrl[2].InActiveTick);
    EXPECT_EQ("0", led(0));
    EXPECT_EQ("42", root.read(KEL_BKL_BRIGHTNESS_FILE));
    /* Normal mode draws nothing: the meter's next frame takes the screen. */
    EXPECT_EQ(1, takeNotices());
}

TEST_F(ModeTest, AModeWhoseFlagWasAlreadyConsumedIsStillShown)
{
    /* The request thread switched modes while the previous indication was
     * running and the flag it set was cleared by that indication's pass. */
    enter(KEL_MODE_FW_UPGRADE);
    kelWorkModeControlPass(&dev);
    takeNotices();
    KEL_STORE(dev.workMode, KEL_MODE_INDUSTRY);
    KEL_STORE(bWorkModeChanged, KEL_FALSE);
    kelWorkModeControlPass(&dev);
    EXPECT_EQ(kInd0, screenColour());
    EXPECT_EQ(1, takeNotices());
}
