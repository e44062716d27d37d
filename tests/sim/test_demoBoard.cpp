/*
 * The demo's hands and eyes on the virtual board: key strokes reach the
 * keypad FIFO as the board's 16-byte input records, the meter learns the
 * installed application version the way the startup client encodes it,
 * pictograms are decoded as the unit draws them, and the meter's screen
 * answers keys the way the session expects.
 */
#include <gtest/gtest.h>

#include <errno.h>
#include <fcntl.h>
#include <stdint.h>
#include <string.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "demoBoard.h"
#include "demoScreen.h"
#include "kelSandbox.h"

#define EV_BYTES 16

struct Event {
    uint16_t type;
    uint16_t code;
    int32_t value;
};

/* Reads whatever the FIFO holds (the writer wrote it in one piece). */
static std::vector<Event> drain(int fd)
{
    std::vector<Event> evs;
    uint8_t buf[EV_BYTES * 16];
    ssize_t n = read(fd, buf, sizeof(buf));
    if (n <= 0 || n % EV_BYTES != 0) {
        return evs;
    }
    for (ssize_t at = 0; at < n; at += EV_BYTES) {
        Event e;
        memcpy(&e.type, buf + at + 8, 2);
        memcpy(&e.code, buf + at + 10, 2);
        memcpy(&e.value, buf + at + 12, 4);
        evs.push_back(e);
    }
    return evs;
}

class DemoBoard : public ::testing::Test {
protected:
    KelSandbox sb{KEL_TEST_BIN_DIR};
    DemoBoard_t board;

    void SetUp() override
    {
        ASSERT_TRUE(sb.ok());
        ASSERT_EQ(1, demoBoardOpen(&board, sb.dir().c_str()));
    }
};

TEST_F(DemoBoard, KeyStrokesReachTheKeypadAsPressReportReleaseReport)
{
    /* Without the daemon holding the keypad open, a stroke is refused
     * rather than blocking the meter. */
    EXPECT_EQ(-1, demoPressKey(&board, DEMO_KEY_UP));

    int fd = open(sb.path("/dev/input/event0").c_str(), O_RDONLY | O_NONBLOCK);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(1, demoPressKey(&board, DEMO_KEY_HOME));
    std::vector<Event> evs = drain(fd);
    ASSERT_EQ(4u, evs.size());
    EXPECT_TRUE(evs[0].type == 1 && evs[0].code == DEMO_KEY_HOME && evs[0].value == 1);
    EXPECT_TRUE(evs[1].type == 0 && evs[1].code == 0 && evs[1].value == 0);
    EXPECT_TRUE(evs[2].type == 1 && evs[2].code == DEMO_KEY_HOME && evs[2].value == 0);
    EXPECT_TRUE(evs[3].type == 0 && evs[3].code == 0 && evs[3].value == 0);

    /* The combination: down held while left goes down and up, so the unit
     * reports it when left is let go. */
    ASSERT_EQ(1, demoPressCombination(&board));
    evs = drain(fd);
    ASSERT_EQ(8u, evs.size());
    const int32_t want[4][2] = {{DEMO_KEY_DOWN, 1}, {DEMO_KEY_LEFT, 1}, {DEMO_KEY_LEFT, 0},
                                {DEMO_KEY_DOWN, 0}};
    for (int i = 0; i < 4; i++) {
        EXPECT_EQ(1, evs[i * 2].type);
        EXPECT_EQ(want[i][0], evs[i * 2].code);
        EXPECT_EQ(want[i][1], evs[i * 2].value);
        EXPECT_EQ(0, evs[i * 2 + 1].type);
    }
    EXPECT_EQ(-1, demoPressKey(&board, 0x10000));
    close(fd);
}

TEST_F(DemoBoard, TheMeterExpectsTheInstalledApplicationVersion)
{
    sb.write("/kel/config/kel.conf", "KER_VERSION 003.002.193\nAPP_VERSION 001.008.000\n");
    EXPECT_EQ(0x0108, demoReadAppVersion(&board));
    /* Minor beyond a byte wraps as the unit's version check does. */
    sb.write("/kel/config/kel.conf", "APP_VERSION 002.300.007\n");
    EXPECT_EQ(2 * 256 + 300 % 256, demoReadAppVersion(&board));
    sb.write("/kel/config/kel.conf", "APP_VERSIONX 001.008.000\nAPP_VERSION one\n");
    EXPECT_EQ(-1, demoReadAppVersion(&board));
    sb.write("/kel/config/kel.conf", "");
    EXPECT_EQ(-1, demoReadAppVersion(&board));
}

TEST_F(DemoBoard, PictogramsDecodeAsTheUnitDrawsThemAndStayInTheirFolder)
{
    std::vector<uint16_t> err0(DEMO_FB_PIXELS), err1(DEMO_FB_PIXELS);
    ASSERT_EQ(1, demoLoadPicto(&board, "picto_full_err_0.bmp", err0.data()));
    ASSERT_EQ(1, demoLoadPicto(&board, "picto_full_err_1.bmp", err1.data()));
    /* White on red and red on white: red is in the low five bits only. */
    EXPECT_EQ(0, err0[0] & 0xFFE0);
    EXPECT_GT(err0[0] & 0x001F, 16);
    EXPECT_EQ(0xFFFF, err1[0]);
    EXPECT_GT(demoFrameDiff(err0.data(), err1.data()), (uint32_t)DEMO_FB_PIXELS / 2);
    EXPECT_EQ(0u, demoFrameDiff(err0.data(), err0.data()));

    EXPECT_EQ(-1, demoLoadPicto(&board, "../../dev/fb0", err0.data()));
    EXPECT_EQ(-1, demoLoadPicto(&board, "picto_missing.bmp", err0.data()));
    /* A picture taller than the panel is refused, not drawn past it. */
    std::string big("BM", 2);
    big.resize(54, '\0');
    big[10] = 54;
    big[18] = 64;          /* 320 wide */
    big[19] = 1;
    big[22] = (char)0xF1;  /* 241 high */
    big[28] = 24;
    ASSERT_TRUE(sb.write("/usr/share/picto/picto_big.bmp", big));
    EXPECT_EQ(-1, demoLoadPicto(&board, "picto_big.bmp", err0.data()));
}

TEST(DemoMeterScreen, KeysActWhenLetGoAndTheCombinationTogglesTheServiceBanner)
{
    DemoScreen_t scr;
    demoScreenInit(&scr);
    EXPECT_EQ(0, demoScreenKey(&scr, DEMO_KEY_DOWN, 1));
    EXPECT_EQ(0, scr.selected);
    EXPECT_EQ(1, demoScreenKey(&scr, DEMO_KEY_UP, 0));
    EXPECT_EQ(DEMO_MENU_ITEMS - 1, scr.selected);
    EXPECT_EQ(1, demoScreenKey(&scr, DEMO_KEY_DOWN, 0));
    EXPECT_EQ(1, demoScreenKey(&scr, DEMO_KEY_DOWN, 0));
    EXPECT_EQ(1, scr.selected);
    EXPECT_EQ(1, demoScreenKey(&scr, DEMO_KEY_RIGHT, 0));
    EXPECT_EQ(1, scr.page);
    EXPECT_EQ(1, demoScreenKey(&scr, DEMO_KEY_HOME, 0));
    EXPECT_EQ(0, scr.selected);
    EXPECT_EQ(-1, scr.page);
    EXPECT_EQ(1, demoScreenKey(&scr, DEMO_KEY_COMB, 0));
    EXPECT_EQ(1, scr.bService);
    EXPECT_STREQ("COMB", scr.lastKey);
    EXPECT_EQ(1, demoScreenKey(&scr, DEMO_KEY_COMB, 0));
    EXPECT_EQ(0, scr.bService);
    /* Escape and unknown codes are not the meter's keys. */
    EXPECT_EQ(0, demoScreenKey(&scr, 1, 0));
    EXPECT_STREQ("COMB", scr.lastKey);
}
