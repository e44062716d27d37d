/*
 * demoScreen.h - the screens of the demo meter: a flow gauge with its
 * value, a menu of four pages that the arrow keys move through, a service
 * banner toggled by the key combination and a line naming the last key.
 * The model is drawn into the meter simulator's screen; the simulator
 * then sends only the rectangles that changed.
 */
#ifndef DEMO_SCREEN_H
#define DEMO_SCREEN_H

#include <stdint.h>

#include "meterSim.h"

#ifdef __cplusplus
extern "C" {
#endif

#define DEMO_MENU_ITEMS 4
#define DEMO_GAUGE_MAX  1000   /* tenths of the unit: 0.0 to 100.0 */

typedef struct {
    int32_t value;          /* gauge, tenths of m3/h, 0..DEMO_GAUGE_MAX */
    int32_t selected;       /* menu item 0..DEMO_MENU_ITEMS-1 */
    int32_t page;           /* opened page (item chosen with RIGHT), -1 none */
    int32_t bService;       /* service banner shown */
    char lastKey[16];       /* name of the last key, "" before any */
} DemoScreen_t;

void demoScreenInit(DemoScreen_t *scr);
/* Applies one key the unit reported (released keys and the combination);
 * 1 when the screen changed, 0 for keys the meter ignores. */
int32_t demoScreenKey(DemoScreen_t *scr, int32_t keyCode, int32_t keyAction);
/* Name of a key code ("UP", "COMB", ...), "?" for others. */
const char *demoKeyName(int32_t keyCode);
/* Draws the model into the simulator's screen. */
void demoScreenDraw(const DemoScreen_t *scr, MeterSim_t *sim);
/* A display pixel (blue high, red low) from 8-bit channels. */
uint16_t demoColour(uint8_t r, uint8_t g, uint8_t b);

#ifdef __cplusplus
}
#endif

#endif /* DEMO_SCREEN_H */
