/*
 * The panel's two pieces of arithmetic: frame buffer pixels to what the
 * page draws (colour order, widening, backlight), and what a held key
 * sends into the keypad over time.
 */
#include <gtest/gtest.h>

#include <stdint.h>

#include <utility>
#include <vector>

#include "panelFrame.h"
#include "panelKeys.h"

static std::vector<uint8_t> frameOf(uint16_t pixel)
{
    std::vector<uint8_t> fb(PANEL_FB_BYTES);
    for (size_t i = 0; i < PANEL_LCD_PIXELS; i++) {
        fb[2 * i] = (uint8_t)(pixel & 0xFF);
        fb[2 * i + 1] = (uint8_t)(pixel >> 8);
    }
    return fb;
}

/* RGBA of the first pixel of a one-colour frame. */
static std::vector<int> decodeOne(uint16_t pixel, int32_t level, int32_t maxLevel)
{
    std::vector<uint8_t> fb = frameOf(pixel);
    std::vector<uint8_t> rgba(PANEL_RGBA_BYTES, 7);
    EXPECT_EQ(1, panelFrameDecode(fb.data(), PANEL_FB_BYTES, level, maxLevel, rgba.data(),
                                  PANEL_RGBA_BYTES));
    /* Every pixel of the frame is decoded, not only the first rows. */
    EXPECT_EQ(rgba[0], rgba[PANEL_RGBA_BYTES - 4]);
    EXPECT_EQ(rgba[2], rgba[PANEL_RGBA_BYTES - 2]);
    return {rgba[0], rgba[1], rgba[2], rgba[3]};
}

TEST(PanelFrame, BlueSitsInTheHighBitsRedInTheLowAndTheBacklightDims)
{
    /* Full channels in the unit's order: red low, blue high. */
    EXPECT_EQ((std::vector<int>{255, 0, 0, 255}), decodeOne(0x001F, 100, 100));
    EXPECT_EQ((std::vector<int>{0, 255, 0, 255}), decodeOne(0x07E0, 100, 100));
    EXPECT_EQ((std::vector<int>{0, 0, 255, 255}), decodeOne(0xF800, 100, 100));
    /* Mid values widen by repeating their top bits: 16/31 -> 132, 32/63 -> 130. */
    EXPECT_EQ((std::vector<int>{132, 130, 132, 255}), decodeOne(0x8410, 100, 100));
    /* Half the backlight, half the light; none, black; alpha stays opaque. */
    EXPECT_EQ((std::vector<int>{127, 127, 127, 255}), decodeOne(0xFFFF, 50, 100));
    EXPECT_EQ((std::vector<int>{0, 0, 0, 255}), decodeOne(0xFFFF, 0, 100));
    /* The level counts against the device's own maximum. */
    EXPECT_EQ((std::vector<int>{127, 127, 127, 255}), decodeOne(0xFFFF, 128, 256));
    /* An unreadable backlight, or a level above the maximum, never
     * brightens past full scale. */
    EXPECT_EQ((std::vector<int>{255, 255, 255, 255}), decodeOne(0xFFFF, -1, 100));
    EXPECT_EQ((std::vector<int>{255, 255, 255, 255}), decodeOne(0xFFFF, 400, 100));
}

TEST(PanelFrame, BuffersOfTheWrongSizeAreRefusedUntouched)
{
    std::vector<uint8_t> fb(PANEL_FB_BYTES, 0xFF);
    std::vector<uint8_t> rgba(PANEL_RGBA_BYTES, 7);
    EXPECT_EQ(-1, panelFrameDecode(fb.data(), PANEL_FB_BYTES - 2, 100, 100, rgba.data(),
                                   PANEL_RGBA_BYTES));
    EXPECT_EQ(-1, panelFrameDecode(fb.data(), PANEL_FB_BYTES, 100, 100, rgba.data(),
                                   PANEL_RGBA_BYTES - 4));
    EXPECT_EQ(-1, panelFrameDecode(nullptr, PANEL_FB_BYTES, 100, 100, rgba.data(),
                                   PANEL_RGBA_BYTES));
    EXPECT_EQ(std::vector<uint8_t>(PANEL_RGBA_BYTES, 7), rgba);
}

/* The keypad as a list of (time, code, value) records. */
struct KeyLog {
    uint64_t now = 0;
    bool bFail = false;
    std::vector<std::vector<int64_t>> records;
};

static int32_t logKey(void *ctx, int32_t code, int32_t value)
{
    KeyLog *log = (KeyLog *)ctx;
    if (log->bFail)
        return -1;
    log->records.push_back({(int64_t)log->now, code, value});
    return 1;
}

/* Ticks every 10 ms from the log's time up to `until`, as the watcher does. */
static void runUntil(PanelKeys_t *keys, KeyLog *log, uint64_t until, bool bPageAlive)
{
    while (log->now < until) {
        log->now += 10;
        if (bPageAlive)
            panelKeysSeen(keys, log->now);
        panelKeysTick(keys, log->now);
    }
}

TEST(PanelKeys, AHeldKeyRepeatsAfterTheDelayAndStopsAtItsRelease)
{
    KeyLog log;
    PanelKeys_t keys;
    panelKeysInit(&keys, logKey, &log, 0);
    int32_t down = panelKeyIndex("down");
    ASSERT_EQ(108, panelKeyCode(down));
    EXPECT_EQ(-1, panelKeyIndex("escape"));

    ASSERT_EQ(1, panelKeysPress(&keys, down, 0));
    EXPECT_EQ(1, panelKeysPress(&keys, down, 0));   /* a second press changes nothing */
    runUntil(&keys, &log, 240, true);
    ASSERT_EQ(1u, log.records.size());               /* only the press before the delay */
    EXPECT_EQ((std::vector<int64_t>{0, 108, 1}), log.records[0]);

    runUntil(&keys, &log, 1000, true);
    ASSERT_EQ(1, panelKeysRelease(&keys, down, log.now));
    runUntil(&keys, &log, 1500, true);
    /* Repeats from 250 ms on, one per 33 ms (on the 10 ms ticks), then the
     * release and nothing after it. */
    size_t n = log.records.size();
    ASSERT_GE(n, 3u);
    EXPECT_EQ(250, log.records[1][0]);
    size_t repeats = 0;
    for (size_t i = 1; i + 1 < n; i++) {
        EXPECT_EQ(2, log.records[i][2]);
        repeats++;
    }
    EXPECT_GE(repeats, 21u);
    EXPECT_LE(repeats, 24u);
    EXPECT_EQ((std::vector<int64_t>{1000, 108, 0}), log.records[n - 1]);
}

TEST(PanelKeys, OnlyTheKeyPressedLastRepeatsAsInTheInputLayer)
{
    KeyLog log;
    PanelKeys_t keys;
    panelKeysInit(&keys, logKey, &log, 0);
    int32_t down = panelKeyIndex("down");
    int32_t left = panelKeyIndex("left");
    ASSERT_EQ(1, panelKeysPress(&keys, down, 0));
    runUntil(&keys, &log, 300, true);
    ASSERT_EQ(1, panelKeysPress(&keys, left, log.now));
    size_t leftAt = log.records.size();
    runUntil(&keys, &log, 700, true);
    ASSERT_EQ(1, panelKeysRelease(&keys, left, log.now));
    size_t upAt = log.records.size();
    runUntil(&keys, &log, 1500, true);
    /* Down repeated before left came; then only left; nothing once left
     * is up, though down is still held. */
    EXPECT_EQ(2, log.records[1][2]);
    EXPECT_EQ(108, log.records[1][1]);
    EXPECT_EQ((std::vector<int64_t>{300, 105, 1}), log.records[leftAt - 1]);
    ASSERT_GT(upAt, leftAt + 1);
    for (size_t i = leftAt; i + 1 < upAt; i++)
        EXPECT_EQ(105, log.records[i][1]);
    EXPECT_EQ(upAt, log.records.size());
    ASSERT_EQ(1, panelKeysRelease(&keys, down, log.now));
    EXPECT_EQ((std::vector<int64_t>{1500, 108, 0}), log.records.back());
}

TEST(PanelKeys, APageThatGoesQuietGetsItsKeysReleased)
{
    KeyLog log;
    PanelKeys_t keys;
    panelKeysInit(&keys, logKey, &log, 0);
    ASSERT_EQ(1, panelKeysPress(&keys, panelKeyIndex("home"), 0));
    runUntil(&keys, &log, 5000, false);
    ASSERT_FALSE(log.records.empty());
    EXPECT_EQ((std::vector<int64_t>{102, 0}),
              (std::vector<int64_t>{log.records.back()[1], log.records.back()[2]}));
    EXPECT_LE(log.records.back()[0], PANEL_KEY_QUIET_MS + 20);
    size_t n = log.records.size();
    runUntil(&keys, &log, 6000, false);
    EXPECT_EQ(n, log.records.size());

    /* A press the keypad refused leaves the key up: no repeats follow. */
    log.bFail = true;
    EXPECT_LT(panelKeysPress(&keys, panelKeyIndex("up"), log.now), 0);
    log.bFail = false;
    runUntil(&keys, &log, 7000, true);
    EXPECT_EQ(n, log.records.size());
}
