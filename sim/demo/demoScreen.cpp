/*
 * demoScreen.cpp - the demo meter's screens (see demoScreen.h). The screen
 * is composed in a private buffer with a 5 x 7 pixel font, then copied into
 * the simulator row by row in runs of one colour.
 */
#include "demoScreen.h"
#include "blockFont.h"

#include <stdio.h>
#include <string.h>

#define SCR_W           MSW_SCREEN_W
#define SCR_H           MSW_SCREEN_H
#define FONT_W          BLOCK_FONT_W
#define FONT_H          BLOCK_FONT_H
#define FONT_GAP        1

#define HEADER_H        28
#define VALUE_Y         38
#define VALUE_SCALE     5
#define GAUGE_X         16
#define GAUGE_Y         90
#define GAUGE_W         288
#define GAUGE_H         24
#define GAUGE_BORDER    2
#define GAUGE_WARN      800
#define MENU_Y          126
#define MENU_H          70
#define ITEM_W          70
#define ITEM_H          34
#define ITEM_GAP        6
#define FOOTER_Y        206

static const char *const menuNames[DEMO_MENU_ITEMS] = {"FLOW", "TEMP", "LEVEL", "ALARM"};

/* Composition buffer, display order; the screen is built on one thread. */
static uint16_t canvas[SCR_W * SCR_H];

uint16_t demoColour(uint8_t r, uint8_t g, uint8_t b)
{
    return (uint16_t)(((b >> 3) << 11) | ((g >> 2) << 5) | (r >> 3));
}

static void fill(int32_t x, int32_t y, int32_t w, int32_t h, uint16_t colour)
{
    for (int32_t py = y < 0 ? 0 : y; py < y + h && py < SCR_H; py++)
        for (int32_t px = x < 0 ? 0 : x; px < x + w && px < SCR_W; px++)
            canvas[py * SCR_W + px] = colour;
}

static void frame(int32_t x, int32_t y, int32_t w, int32_t h, int32_t t, uint16_t colour)
{
    fill(x, y, w, t, colour);
    fill(x, y + h - t, w, t, colour);
    fill(x, y, t, h, colour);
    fill(x + w - t, y, t, h, colour);
}

static int32_t textWidth(const char *text, int32_t scale)
{
    int32_t n = (int32_t)strlen(text);
    return n == 0 ? 0 : (n * (FONT_W + FONT_GAP) - FONT_GAP) * scale;
}

static void text(int32_t x, int32_t y, const char *s, int32_t scale, uint16_t colour)
{
    for (; *s != '\0'; s++, x += (FONT_W + FONT_GAP) * scale) {
        const uint8_t *rows = blockFontRows(*s);
        if (rows == NULL)
            continue;
        for (int32_t r = 0; r < FONT_H; r++)
            for (int32_t c = 0; c < FONT_W; c++)
                if (rows[r] & (0x10 >> c))
                    fill(x + c * scale, y + r * scale, scale, scale, colour);
    }
}

static void textCentred(int32_t x, int32_t w, int32_t y, const char *s, int32_t scale,
                        uint16_t colour)
{
    text(x + (w - textWidth(s, scale)) / 2, y, s, scale, colour);
}

void demoScreenInit(DemoScreen_t *scr)
{
    memset(scr, 0, sizeof(*scr));
    scr->value = 425;
    scr->page = -1;
}

const char *demoKeyName(int32_t keyCode)
{
    switch (keyCode) {
    case 103: return "UP";
    case 108: return "DOWN";
    case 105: return "LEFT";
    case 106: return "RIGHT";
    case 102: return "HOME";
    case 59: return "COMB";
    default: return "?";
    }
}

int32_t demoScreenKey(DemoScreen_t *scr, int32_t keyCode, int32_t keyAction)
{
    /* The meter acts when a key is let go: a held down key followed by left
     * is the combination, which the unit reports as one release. */
    if (keyAction != 0)
        return 0;
    switch (keyCode) {
    case 103:
        scr->selected = (scr->selected + DEMO_MENU_ITEMS - 1) % DEMO_MENU_ITEMS;
        break;
    case 108:
        scr->selected = (scr->selected + 1) % DEMO_MENU_ITEMS;
        break;
    case 106:
        scr->page = scr->selected;
        break;
    case 105:
        scr->page = -1;
        break;
    case 102:
        scr->selected = 0;
        scr->page = -1;
        break;
    case 59:
        scr->bService = !scr->bService;
        break;
    default:
        return 0;
    }
    snprintf(scr->lastKey, sizeof(scr->lastKey), "%s", demoKeyName(keyCode));
    return 1;
}

static void drawGauge(const DemoScreen_t *scr)
{
    uint16_t black = demoColour(0, 0, 0);
    char buf[32];
    int32_t v = scr->value < 0 ? 0 : (scr->value > DEMO_GAUGE_MAX ? DEMO_GAUGE_MAX : scr->value);
    snprintf(buf, sizeof(buf), "%d.%d", (int)(v / 10), (int)(v % 10));
    int32_t w = textWidth(buf, VALUE_SCALE);
    text(GAUGE_X, VALUE_Y, buf, VALUE_SCALE, black);
    text(GAUGE_X + w + 12, VALUE_Y + FONT_H * VALUE_SCALE - FONT_H * 2, "M3/H", 2, black);

    frame(GAUGE_X, GAUGE_Y, GAUGE_W, GAUGE_H, GAUGE_BORDER, black);
    int32_t inner = GAUGE_W - 2 * GAUGE_BORDER;
    int32_t filled = inner * v / DEMO_GAUGE_MAX;
    uint16_t bar = v >= GAUGE_WARN ? demoColour(255, 140, 0) : demoColour(0, 170, 60);
    fill(GAUGE_X + GAUGE_BORDER, GAUGE_Y + GAUGE_BORDER, filled, GAUGE_H - 2 * GAUGE_BORDER, bar);
    for (int32_t t = 1; t < 10; t++)
        fill(GAUGE_X + GAUGE_BORDER + inner * t / 10, GAUGE_Y + GAUGE_H, 1, 4, black);
}

static void drawMenu(const DemoScreen_t *scr)
{
    uint16_t black = demoColour(0, 0, 0);
    uint16_t white = demoColour(255, 255, 255);
    uint16_t navy = demoColour(20, 40, 120);
    uint16_t grey = demoColour(215, 215, 215);
    if (scr->page >= 0 && scr->page < DEMO_MENU_ITEMS) {
        char title[32];
        snprintf(title, sizeof(title), "%s PAGE", menuNames[scr->page]);
        fill(GAUGE_X, MENU_Y, GAUGE_W, MENU_H, demoColour(255, 240, 170));
        frame(GAUGE_X, MENU_Y, GAUGE_W, MENU_H, 2, black);
        textCentred(GAUGE_X, GAUGE_W, MENU_Y + 14, title, 3, black);
        textCentred(GAUGE_X, GAUGE_W, MENU_Y + 48, "< LEFT: BACK", 1, black);
        return;
    }
    for (int32_t i = 0; i < DEMO_MENU_ITEMS; i++) {
        int32_t x = GAUGE_X + i * (ITEM_W + ITEM_GAP);
        int32_t y = MENU_Y + (MENU_H - ITEM_H) / 2;
        int32_t bSel = i == scr->selected;
        fill(x, y, ITEM_W, ITEM_H, bSel ? navy : grey);
        textCentred(x, ITEM_W, y + (ITEM_H - FONT_H * 2) / 2, menuNames[i], 2,
                    bSel ? white : black);
    }
}

static void drawFooter(const DemoScreen_t *scr)
{
    uint16_t white = demoColour(255, 255, 255);
    uint16_t back = scr->bService ? demoColour(200, 20, 20) : demoColour(60, 60, 60);
    char buf[32];
    fill(0, FOOTER_Y, SCR_W, SCR_H - FOOTER_Y, back);
    snprintf(buf, sizeof(buf), "KEY: %s", scr->lastKey[0] != '\0' ? scr->lastKey : "-");
    text(8, FOOTER_Y + 10, buf, 2, white);
    if (scr->bService)
        text(SCR_W - 8 - textWidth("SERVICE", 2), FOOTER_Y + 10, "SERVICE", 2, white);
}

/* Copies the canvas into the simulator in runs of one colour per row. */
static void publish(MeterSim_t *sim)
{
    for (int32_t y = 0; y < SCR_H; y++) {
        int32_t x = 0;
        while (x < SCR_W) {
            uint16_t c = canvas[y * SCR_W + x];
            int32_t end = x + 1;
            while (end < SCR_W && canvas[y * SCR_W + end] == c)
                end++;
            meterSimFillRect(sim, x, y, end - x, 1, c);
            x = end;
        }
    }
}

void demoScreenDraw(const DemoScreen_t *scr, MeterSim_t *sim)
{
    uint16_t white = demoColour(255, 255, 255);
    fill(0, 0, SCR_W, SCR_H, white);
    fill(0, 0, SCR_W, HEADER_H, demoColour(20, 40, 120));
    text(8, 7, "FLOW METER", 2, white);
    text(SCR_W - 8 - textWidth("DEMO", 2), 7, "DEMO", 2, demoColour(255, 210, 0));
    drawGauge(scr);
    drawMenu(scr);
    drawFooter(scr);
    publish(sim);
}
