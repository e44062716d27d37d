/*
 * panelWatch.cpp - kelpanel's watcher thread: reads the frame buffer file,
 * the LED files and the rest of the board at their own rates, turns a
 * changed frame into canvas pixels and the rest into the state text the
 * page gets, and wakes the page's long polls. Also ticks the held keys.
 */
#include <string.h>

#include <chrono>
#include <thread>

#include "panelBoard.h"
#include "panelFrame.h"
#include "panelState.h"

#define PANEL_TAIL_LINES 12
#define PANEL_TAIL_BYTES 4096

uint64_t panelNowMs(void)
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (uint64_t)ts.tv_sec * 1000u + (uint64_t)ts.tv_nsec / 1000000u;
}

/* ------------------------------------------------------------------------
 * JSON text
 * ---------------------------------------------------------------------- */

static void jsonString(std::string &out, const std::string &text)
{
    out += '"';
    for (unsigned char c : text) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += (char)c;
        } else if (c < 0x20) {
            char esc[8];
            snprintf(esc, sizeof(esc), "\\u%04x", c);
            out += esc;
        } else {
            out += (char)c;
        }
    }
    out += '"';
}

/* ------------------------------------------------------------------------
 * The watcher: board files to frame and state
 * ---------------------------------------------------------------------- */

struct PanelReadings {
    PanelLeds_t leds;
    int32_t backlight = -1;
    int32_t backlightMax = -1;
    int32_t bTempOk = 0;
    int32_t temp = 0;
    int32_t mode = -1;
    int32_t link[PANEL_NUM_LINKS] = {-1, -1, -1};
    std::string journal;
    std::string errors;
};

static std::string panelTail(const Panel *p, const char *boardPath)
{
    char buf[PANEL_TAIL_BYTES];
    if (demoReadTail(&p->board, boardPath, buf, sizeof(buf), PANEL_TAIL_LINES) < 0)
        return "";
    return buf;
}

static void panelReadSlow(const Panel *p, PanelReadings *r)
{
    panelReadLedTimers(&p->board, &r->leds);
    r->backlight = demoReadBacklight(&p->board);
    r->backlightMax = panelReadBacklightMax(&p->board);
    r->bTempOk = panelReadTemperature(&p->board, &r->temp) == 1;
    r->mode = panelReadWorkMode(p->root.c_str());
    panelLinkStates("/proc/net/tcp", p->meterAddr.empty() ? nullptr : p->meterAddr.c_str(),
                    r->link);
    r->journal = panelTail(p, PANEL_JOURNAL_PATH);
    r->errors = panelTail(p, PANEL_ERRLOG_PATH);
}

/* The state JSON; the caller holds the lock (action and station text). */
static std::string panelStateJson(const Panel *p, const PanelReadings *r)
{
    static const char *const ledNames[PANEL_NUM_LEDS] = {"green", "red", "alarm"};
    static const char *const linkNames[PANEL_NUM_LINKS] = {"startup", "screen", "nonscreen"};
    std::string j = "{\"leds\":{";
    char num[160];
    for (int32_t i = 0; i < PANEL_NUM_LEDS; i++) {
        snprintf(num, sizeof(num), "%s\"%s\":{\"lit\":%d,\"timer\":%d,\"on\":%d,\"off\":%d}",
                 i > 0 ? "," : "", ledNames[i], (int)r->leds.lit[i], (int)r->leds.bTimer[i],
                 (int)r->leds.delayOn[i], (int)r->leds.delayOff[i]);
        j += num;
    }
    snprintf(num, sizeof(num),
             "},\"backlight\":%d,\"backlightMax\":%d,\"tempOk\":%d,\"temp\":%d,\"mode\":%d,"
             "\"modeName\":",
             (int)r->backlight, (int)r->backlightMax, (int)r->bTempOk, (int)r->temp,
             (int)r->mode);
    j += num;
    jsonString(j, panelWorkModeName(r->mode));
    j += ",\"meter\":";
    jsonString(j, p->meterAddr);
    j += ",\"links\":{";
    for (int32_t i = 0; i < PANEL_NUM_LINKS; i++) {
        snprintf(num, sizeof(num), "%s\"%s\":%d", i > 0 ? "," : "", linkNames[i],
                 (int)r->link[i]);
        j += num;
    }
    j += "},\"journal\":";
    jsonString(j, r->journal);
    j += ",\"errors\":";
    jsonString(j, r->errors);
    j += ",\"action\":";
    jsonString(j, p->actionText);
    j += ",\"station\":{\"running\":";
    j += p->stationRunning ? "1" : "0";
    j += ",\"output\":";
    jsonString(j, p->stationOutput);
    j += "}}";
    return j;
}

void panelWatch(Panel *p)
{
    static uint16_t pixels[PANEL_LCD_PIXELS];
    static uint16_t shown[PANEL_LCD_PIXELS];
    int32_t shownLevel = -2;
    int32_t bShown = 0;
    PanelReadings r;
    uint64_t nextFrame = 0, nextLed = 0, nextSlow = 0;
    while (!p->stop.load()) {
        uint64_t now = panelNowMs();
        {
            std::lock_guard<std::mutex> g(p->lock);
            panelKeysTick(&p->keys, now);
        }
        bool bStateDue = false;
        if (now >= nextSlow) {
            nextSlow = now + PANEL_SLOW_POLL_MS;
            panelReadSlow(p, &r);
            bStateDue = true;
        }
        if (now >= nextLed) {
            nextLed = now + PANEL_LED_POLL_MS;
            int32_t lit[PANEL_NUM_LEDS];
            memcpy(lit, r.leds.lit, sizeof(lit));
            panelReadLedsLit(&p->board, &r.leds);
            /* The state text is rebuilt only when an LED changed. */
            bStateDue = bStateDue || memcmp(lit, r.leds.lit, sizeof(lit)) != 0;
        }
        if (now >= nextFrame) {
            nextFrame = now + PANEL_FRAME_POLL_MS;
            if (demoReadFrame(&p->board, pixels) == 1 &&
                (!bShown || r.backlight != shownLevel ||
                 memcmp(pixels, shown, sizeof(pixels)) != 0)) {
                std::vector<uint8_t> rgba(PANEL_RGBA_BYTES);
                if (panelFrameDecode((const uint8_t *)pixels, PANEL_FB_BYTES, r.backlight,
                                     r.backlightMax, rgba.data(), PANEL_RGBA_BYTES) == 1) {
                    memcpy(shown, pixels, sizeof(shown));
                    shownLevel = r.backlight;
                    bShown = 1;
                    std::lock_guard<std::mutex> g(p->lock);
                    p->rgba.swap(rgba);
                    p->frameSeq++;
                    p->changed.notify_all();
                }
            }
        }
        if (bStateDue) {
            std::lock_guard<std::mutex> g(p->lock);
            std::string j = panelStateJson(p, &r);
            if (j != p->stateJson) {
                p->stateJson.swap(j);
                p->stateSeq++;
                p->changed.notify_all();
            }
        }
        /* Short ticks only while a key repeats; otherwise the next poll. */
        uint64_t next = nextFrame < nextLed ? nextFrame : nextLed;
        {
            std::lock_guard<std::mutex> g(p->lock);
            if (p->keys.repeatKey >= 0 && now + PANEL_TICK_MS < next)
                next = now + PANEL_TICK_MS;
        }
        uint64_t after = panelNowMs();
        if (next > after)
            std::this_thread::sleep_for(std::chrono::milliseconds(next - after));
    }
}
