/*
 * The meter's screen on the unit's LCD: rectangles sent by the meter
 * simulator travel through the real app client and control daemon into the
 * frame buffer file, colour order exchanged, only at screen-finished;
 * later screens change only what they send; a new connection starts from
 * white. Meter on 127.0.0.60.
 */
#include "test_meterlinkBoard.h"

static const char *kAddr = "127.0.0.60";

/* The pixels a rectangle of w x h carries, in wire order, chosen so that
 * every bit position and both pure red and pure blue appear. */
static std::vector<uint16_t> wirePixels(uint32_t n, uint16_t seed)
{
    static const uint16_t fixed[] = {0x001F, 0xF800, 0x07E0, 0x1234, 0xFFFF, 0x0000, 0x8421};
    std::vector<uint16_t> p(n);
    uint32_t x = seed;
    for (uint32_t i = 0; i < n; i++) {
        x = x * 1103515245u + 12345u;
        p[i] = i < sizeof(fixed) / sizeof(fixed[0]) ? fixed[i] : (uint16_t)(x >> 16);
    }
    return p;
}

/* Paints a rectangle of wire pixels into a display-order picture. */
static void paint(std::vector<uint16_t> &pic, int x, int y, int w, int h,
                  const std::vector<uint16_t> &wire)
{
    for (int r = 0; r < h; r++)
        for (int c = 0; c < w; c++)
            pic[(size_t)(y + r) * MSW_SCREEN_W + x + c] = mlbWireToDisplay(wire[(size_t)r * w + c]);
}

TEST(MeterLinkScreen, RectanglesReachTheFrameBufferAtScreenFinishedAndLaterScreensChangeOnlyTheirRectangles)
{
    MeterLinkBoard b;
    ASSERT_TRUE(b.bringUp(kAddr)) << b.appOutput() << b.describe(0);

    /* The announcement carries the display's geometry. */
    EXPECT_EQ(22u, b.dataReq.length);
    EXPECT_EQ(320 | (240 << 16), mlbWord(b.dataReq, 16));
    uint16_t bpp = 0;
    memcpy(&bpp, b.dataReq.bytes + 20, sizeof(bpp));
    EXPECT_EQ(16, bpp);

    /* A full screen without its end mark shows nothing yet. */
    const std::string before = b.screen();
    meterSimDrawPattern(b.sim, MSIM_PATTERN_GRADIENT, 0);
    ASSERT_EQ(200, meterSimSendScreen(b.sim, 0, 0));
    kelTestSleepMs(1500);
    EXPECT_EQ(before, b.screen()) << "the screen changed before screen-finished";

    ASSERT_EQ(1, meterSimSendScrFin(b.sim));
    std::vector<uint16_t> pic(meterSimScreen(b.sim), meterSimScreen(b.sim) + MSW_SCREEN_W * MSW_SCREEN_H);
    std::string want = mlbFrameBytes(pic.data());
    ASSERT_TRUE(b.waitScreen(want)) << mlbFirstDiff(b.screen(), want);
    /* Spot checks against the panel's own colour order (blue in the high
     * bits, red in the low ones): top-left is black, the right end of the
     * first row full red. */
    std::string fb = b.screen();
    EXPECT_EQ(0, (uint8_t)fb[0] | (uint8_t)fb[1]);
    EXPECT_EQ(0x1F, (uint8_t)fb[319 * 2] & 0x1F) << "red arrived as blue";

    /* A second screen of one rectangle whose rows are not the width of a
     * tile: only that rectangle changes. */
    std::vector<uint16_t> odd = wirePixels(7 * 5, 11);
    ASSERT_EQ(1, meterSimSendRect(b.sim, 13, 201, 7, 5, odd.data(), (uint32_t)odd.size()));
    ASSERT_EQ(1, meterSimSendScrFin(b.sim));
    paint(pic, 13, 201, 7, 5, odd);
    want = mlbFrameBytes(pic.data());
    ASSERT_TRUE(b.waitScreen(want)) << mlbFirstDiff(b.screen(), want);
    /* The exchange worked pixel by pixel: wire 1F 00 is stored 00 F8, wire
     * 00 F8 is stored 1F 00, green E0 07 stays. */
    fb = b.screen();
    size_t at = (201 * MSW_SCREEN_W + 13) * 2;
    EXPECT_EQ(0x00, (uint8_t)fb[at]);
    EXPECT_EQ(0xF8, (uint8_t)fb[at + 1]);
    EXPECT_EQ(0x1F, (uint8_t)fb[at + 2]);
    EXPECT_EQ(0x00, (uint8_t)fb[at + 3]);
    EXPECT_EQ(0xE0, (uint8_t)fb[at + 4]);
    EXPECT_EQ(0x07, (uint8_t)fb[at + 5]);

    /* The first and the last row, each one rectangle across the width. */
    std::vector<uint16_t> top = wirePixels(320, 3);
    std::vector<uint16_t> bottom = wirePixels(320, 4);
    ASSERT_EQ(1, meterSimSendRect(b.sim, 0, 0, 320, 1, top.data(), 320));
    ASSERT_EQ(1, meterSimSendRect(b.sim, 0, 239, 320, 1, bottom.data(), 320));
    ASSERT_EQ(1, meterSimSendScrFin(b.sim));
    paint(pic, 0, 0, 320, 1, top);
    paint(pic, 0, 239, 320, 1, bottom);
    want = mlbFrameBytes(pic.data());
    ASSERT_TRUE(b.waitScreen(want)) << mlbFirstDiff(b.screen(), want);

    /* The meter drops the screen link: the unit comes back with a fresh
     * DATA_REQ and its next screen is built on white, not on the old one. */
    uint32_t mark = meterSimMark(b.sim);
    ASSERT_EQ(1, meterSimDrop(b.sim, MSIM_LINK_SCREEN));
    ASSERT_TRUE(b.waitReconnect(mark, MSIM_LINK_SCREEN, MLB_DEADLINE_MS, nullptr, nullptr))
        << b.describe(mark);
    kelTestSleepMs(300);
    std::vector<uint16_t> small = wirePixels(4 * 4, 9);
    ASSERT_EQ(1, meterSimSendRect(b.sim, 100, 100, 4, 4, small.data(), 16));
    ASSERT_EQ(1, meterSimSendScrFin(b.sim));
    std::vector<uint16_t> white(MSW_SCREEN_W * MSW_SCREEN_H, 0xFFFF);
    paint(white, 100, 100, 4, 4, small);
    want = mlbFrameBytes(white.data());
    ASSERT_TRUE(b.waitScreen(want)) << mlbFirstDiff(b.screen(), want);

    /* The non-screen link was not disturbed by any of it. */
    EXPECT_EQ(0, meterSimCount(b.sim, 0, MSIM_LINK_NONSCREEN, MSIM_EV_CLOSED, MSIM_ANY));
    EXPECT_TRUE(b.alive());
}
