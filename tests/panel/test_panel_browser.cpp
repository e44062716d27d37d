/*
 * The front panel in a real browser: a headless Chromium opens kelpanel's
 * page for a running virtual unit (the real control daemon and app client
 * on a sandbox, the meter simulator on the other end) and the page is
 * checked where a person would look at it and where the meter sees it:
 *   - the canvas shows the frame buffer file's pixels, in the panel's
 *     colour order, dimmed when the meter lowers the backlight;
 *   - a click on a key button, a key held down (it repeats) and the key
 *     combination from the keyboard reach the meter as key events;
 *   - an LED command from the meter makes the LED blink on the page;
 *   - the temperature slider's value reaches the meter as a report.
 * A last scenario measures what the page shows while the meter streams
 * full screens and the CPU kelpanel takes (printed, never asserted).
 * Skipped, with a message, where Chromium or its driver is not installed.
 */
#include "../links/test_meterlinkBoard.h"

#include <stdio.h>
#include <stdlib.h>

#include <string>
#include <vector>

#include "kelTestRoot.h"
#include "panelTestRun.h"
#include "webDriver.h"

#define BROWSER_ADDR "127.0.0.65"
#define CANVAS_BYTES (MSW_SCREEN_W * MSW_SCREEN_H * 4)
#define WD_KEY_LEFT "\\uE012"
#define WD_KEY_DOWN "\\uE015"

class PanelInBrowser : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (!WebDriver::available())
            GTEST_SKIP() << "Chromium or chromedriver is not installed (Debian packages "
                            "chromium, chromium-driver): the browser test is skipped";
        ASSERT_TRUE(b.bringUp(BROWSER_ADDR)) << b.appOutput();
        /* The meter's screen, colour bars (a red-blue swap or a wrong
         * widening shows on them); the daemon forwards the unit's events
         * to the meter once a screen has come. */
        meterSimDrawPattern(b.sim, MSIM_PATTERN_BARS, 0);
        ASSERT_EQ(200, meterSimSendScreen(b.sim, 0, 1));
        std::string want = mlbFrameBytes(meterSimScreen(b.sim));
        ASSERT_TRUE(b.waitScreen(want)) << mlbFirstDiff(b.screen(), want);
        ASSERT_TRUE(panel.start({"--meter", BROWSER_ADDR}));
        wd.reset(new WebDriver(b.sb, panelFreePort()));
        ASSERT_TRUE(wd->start()) << wd->error();
        ASSERT_TRUE(wd->open(panel.url())) << wd->error();
    }

    /* The canvas as hex text, two digits per byte, RGBA rows top-down. */
    std::string canvasHex()
    {
        return wd->runText(
            "const d = document.getElementById('lcd').getContext('2d')"
            ".getImageData(0, 0, 320, 240).data;"
            "const h = []; for (let i = 0; i < d.length; i++)"
            " h.push((d[i] < 16 ? '0' : '') + d[i].toString(16));"
            "return h.join('');");
    }

    /* Pixels of the canvas that differ by more than 2 in a channel from
     * the frame buffer file decoded at the given backlight level: red in
     * bits 4..0, green 10..5, blue 15..11, widened to 8 bits. */
    long canvasMismatch(const std::string &fb, int level)
    {
        std::string hex = canvasHex();
        if (hex.size() != 2u * CANVAS_BYTES || fb.size() != MLB_FB_BYTES)
            return -1;
        long bad = 0;
        for (size_t i = 0; i < MSW_SCREEN_W * MSW_SCREEN_H; i++) {
            unsigned w = (unsigned char)fb[2 * i] | (unsigned)(unsigned char)fb[2 * i + 1] << 8;
            int want[3] = {(int)((w & 0x1F) * 255 / 31), (int)(((w >> 5) & 0x3F) * 255 / 63),
                           (int)((w >> 11) * 255 / 31)};
            bool same = true;
            for (int c = 0; c < 3; c++) {
                int got = (int)strtol(hex.substr(8 * i + 2 * c, 2).c_str(), nullptr, 16);
                same = same && abs(got - want[c] * level / 100) <= 2;
            }
            bad += !same;
        }
        return bad;
    }

    bool waitCanvas(const std::string &fb, int level)
    {
        return mlbWaitFor([&] { return canvasMismatch(fb, level) == 0; }, 8000);
    }

    /* The states an element's 'on' class went through over ms. */
    std::string ledStates(const std::string &id, int ms)
    {
        return wd->runText(
            "return new Promise((done) => { const seen = new Set(); const t0 = performance.now();"
            "const iv = setInterval(() => {"
            " seen.add(document.getElementById('" + id + "').classList.contains('on'));"
            " if (performance.now() - t0 > " + std::to_string(ms) + ") {"
            "  clearInterval(iv); done([...seen].sort().join(',')); } }, 20); });");
    }

    /* Key events at the meter from `mark` on, as "code/action" words,
     * until the event `last` came or waitMs passed. */
    std::string keyEvents(uint32_t mark, const std::string &last, int waitMs = 8000)
    {
        std::string out;
        MeterSimRecord_t rec;
        uint64_t end = meterSimNowMs() + (uint64_t)waitMs;
        while (meterSimNowMs() <= end &&
               meterSimWait(b.sim, mark, MSIM_LINK_SCREEN, MSIM_EV_FRAME, MSW_FB_KEYEVENT,
                            (uint32_t)(end - meterSimNowMs()), &rec) == 1) {
            mark = rec.seq + 1;
            std::string ev = std::to_string(mlbWord(rec, MSW_HEAD_LEN)) + "/" +
                             std::to_string(mlbWord(rec, MSW_HEAD_LEN + 4));
            out += ev + " ";
            if (ev == last)
                break;
        }
        return out;
    }

    MeterLinkBoard b;
    PanelRun panel{b.sb};
    std::unique_ptr<WebDriver> wd;
};

TEST_F(PanelInBrowser, TheCanvasShowsTheFrameBufferDimmedByTheBacklight)
{
    EXPECT_TRUE(waitCanvas(b.screen(), 100)) << canvasMismatch(b.screen(), 100)
                                             << " pixels differ";

    ASSERT_EQ(1, meterSimSetBrightness(b.sim, 40, nullptr));
    ASSERT_TRUE(b.waitFile(MLB_BACKLIGHT, "40"));
    EXPECT_TRUE(waitCanvas(b.screen(), 40)) << canvasMismatch(b.screen(), 40)
                                            << " pixels differ at backlight 40";
    EXPECT_EQ("40 of 100", wd->runText("return document.getElementById('backlight').textContent"));
    EXPECT_EQ("up", wd->runText("return document.getElementById('link-screen').className"));
}

TEST_F(PanelInBrowser, KeysFromButtonsAndKeyboardReachTheMeter)
{
    uint32_t mark = meterSimMark(b.sim);
    ASSERT_TRUE(wd->click("#key-up")) << wd->error();
    EXPECT_EQ("103/1 103/0 ", keyEvents(mark, "103/0"));

    /* Held for a second: the press, repeats (sent as presses), the release. */
    mark = meterSimMark(b.sim);
    ASSERT_TRUE(wd->hold("#key-right", 1000)) << wd->error();
    std::string held = keyEvents(mark, "106/0");
    size_t presses = 0;
    for (size_t at = held.find("106/1"); at != std::string::npos; at = held.find("106/1", at + 1))
        presses++;
    EXPECT_GE(presses, 5u) << held;
    EXPECT_EQ(held.size() - 6, held.rfind("106/0 ")) << held;

    /* Down held, left tapped: the unit reports the combination (59). */
    mark = meterSimMark(b.sim);
    ASSERT_TRUE(wd->keys({{true, WD_KEY_DOWN}, {true, WD_KEY_LEFT}, {false, WD_KEY_LEFT},
                          {false, WD_KEY_DOWN}}))
        << wd->error();
    /* Repeats of a held key aside (same event again), the meter sees down,
     * left, then the combination's release and nothing of the two keys'
     * own releases. */
    (void)keyEvents(mark, "59/0");
    /* Whatever came in the second after it belongs to the record too. */
    kelTestSleepMs(1000);
    std::string all = keyEvents(mark, "none", 0);
    std::string comb;
    std::string last;
    for (size_t at = 0, end; (end = all.find(' ', at)) != std::string::npos; at = end + 1) {
        std::string ev = all.substr(at, end - at + 1);
        if (ev != last)
            comb += ev;
        last = ev;
    }
    EXPECT_EQ("108/1 105/1 59/0 ", comb) << all;
}

TEST_F(PanelInBrowser, AnLedCommandChangesTheLedOnThePage)
{
    EXPECT_EQ("false", ledStates("led-red", 1200));
    MSW_Pattern_t blink = {400, 50, 1, 0};
    uint32_t id = 0;
    ASSERT_EQ(1, meterSimSetStatusLed(b.sim, MSW_LED_RED, &blink, &id));
    ASSERT_EQ(MSW_RC_OK, meterSimWaitResponse(b.sim, MSIM_LINK_NONSCREEN, id, 5000));
    EXPECT_EQ("false,true", ledStates("led-red", 2000));
    MSW_Pattern_t dark = {1000, 0, 1, 0};
    ASSERT_EQ(1, meterSimSetStatusLed(b.sim, MSW_LED_RED, &dark, nullptr));
    kelTestSleepMs(500);
    EXPECT_EQ("false", ledStates("led-red", 1200));
}

TEST_F(PanelInBrowser, TheTemperatureSliderReachesTheMeter)
{
    uint32_t mark = meterSimMark(b.sim);
    wd->run("const s = document.getElementById('temp-slider'); s.value = 47.5;"
            "s.dispatchEvent(new Event('input')); s.dispatchEvent(new Event('change'));");
    EXPECT_TRUE(b.waitFile("/sys/bus/i2c/drivers/lm75/3-0048/temp1_input", "47500", 5000));
    /* The daemon looks at the sensor every 10 s and reports a change. */
    bool reported = false;
    MeterSimRecord_t rec;
    uint64_t end = meterSimNowMs() + 25000;
    while (!reported && meterSimNowMs() < end &&
           meterSimWait(b.sim, mark, MSIM_LINK_NONSCREEN, MSIM_EV_FRAME, MSW_NS_GET_TEMPERATURE,
                        (uint32_t)(end - meterSimNowMs()), &rec) == 1) {
        mark = rec.seq + 1;
        reported = mlbWord(rec, MSW_HEAD_LEN) == 47500;
    }
    EXPECT_TRUE(reported) << b.describe(0);
}

/* CPU seconds kelpanel has used so far. */
static double cpuSeconds(pid_t pid)
{
    std::string stat = kelTestReadFile("/proc/" + std::to_string(pid) + "/stat");
    size_t at = stat.rfind(')');
    if (at == std::string::npos)
        return -1.0;
    unsigned long utime = 0, stime = 0;
    if (sscanf(stat.c_str() + at + 2, "%*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %lu %lu",
               &utime, &stime) != 2)
        return -1.0;
    return (double)(utime + stime) / (double)sysconf(_SC_CLK_TCK);
}

TEST_F(PanelInBrowser, FiguresWhileTheMeterStreamsFullScreens)
{
    const int seconds = 5;
    double c0 = cpuSeconds(panel.pid);
    kelTestSleepMs(seconds * 1000);
    double idle = (cpuSeconds(panel.pid) - c0) * 100.0 / seconds;

    std::string before = wd->run("return window.panelStats.frames");
    std::string seqBefore = wd->run("return window.panelStats.seq");
    c0 = cpuSeconds(panel.pid);
    uint64_t end = meterSimNowMs() + seconds * 1000;
    int sent = 0;
    for (int i = 0; meterSimNowMs() < end; i++) {
        /* Every screen differs from the one before (a bar moves across). */
        meterSimDrawPattern(b.sim, MSIM_PATTERN_GRADIENT, 0);
        meterSimFillRect(b.sim, (i * 8) % MSW_SCREEN_W, 0, 8, MSW_SCREEN_H, 0xFFFF);
        if (meterSimSendScreen(b.sim, 0, 1) == 200)
            sent++;
        kelTestSleepMs(20);
    }
    double busy = (cpuSeconds(panel.pid) - c0) * 100.0 / seconds;
    long drawn = atol(wd->run("return window.panelStats.frames").c_str()) - atol(before.c_str());
    long seen = atol(wd->run("return window.panelStats.seq").c_str()) - atol(seqBefore.c_str());
    printf("[ figures  ] meter sent %d full screens in %d s; kelpanel saw %.1f frame changes/s, "
           "the page drew %.1f frames/s; kelpanel CPU %.1f%% idle, %.1f%% while streaming\n",
           sent, seconds, (double)seen / seconds, (double)drawn / seconds, idle, busy);
    EXPECT_GT(drawn, 0);
}
