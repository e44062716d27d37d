/*
 * demoBoard.h - the demo's view of the virtual board: the frame buffer, the
 * keypad FIFO, the LED and backlight attribute files, the temperature
 * sensor file, the journal and the pictograms of a sandbox directory. The
 * demo reads these files the way a person would look at the board; it
 * never talks to the unit's programs except through them and the meter.
 */
#ifndef DEMO_BOARD_H
#define DEMO_BOARD_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#define DEMO_FB_W        320
#define DEMO_FB_H        240
#define DEMO_FB_PIXELS   (DEMO_FB_W * DEMO_FB_H)
#define DEMO_PATH_MAX    512

/* Linux key codes of the keypad and the code the unit gives the
 * combination of down and left. */
enum {
    DEMO_KEY_UP = 103,
    DEMO_KEY_DOWN = 108,
    DEMO_KEY_LEFT = 105,
    DEMO_KEY_RIGHT = 106,
    DEMO_KEY_HOME = 102,
    DEMO_KEY_COMB = 59
};

/* The three LEDs, in the order of the summary. */
enum { DEMO_LED_STATUS_GREEN = 0, DEMO_LED_STATUS_RED = 1, DEMO_LED_ALARM = 2, DEMO_NUM_LEDS = 3 };

typedef struct {
    char root[DEMO_PATH_MAX];   /* sandbox directory, absolute */
} DemoBoard_t;

/* 1, or -1 when the directory is no sandbox (no dev/fb0). */
int32_t demoBoardOpen(DemoBoard_t *board, const char *root);

/* Frame buffer: the whole screen as 16-bit pixels (blue high, red low). */
int32_t demoReadFrame(const DemoBoard_t *board, uint16_t *pixels);
/* Pixels of a and b that differ by more than one step in any channel. */
uint32_t demoFrameDiff(const uint16_t *a, const uint16_t *b);
/* A 24-bit BMP of the sandbox's pictogram directory (name without
 * directory) drawn as the unit draws it: white screen, top-left aligned. */
int32_t demoLoadPicto(const DemoBoard_t *board, const char *name, uint16_t *pixels);
/* Writes pixels as a frame buffer file and turns it into a PNG with the
 * screenshot tool. 1 or -1. */
int32_t demoScreenshot(const char *kelshot, const uint16_t *pixels, const char *pngPath);

/* Keypad: one stroke (press, report, release, report) of a key, or the
 * combination (down held, left pressed and released, down released). */
int32_t demoPressKey(const DemoBoard_t *board, int32_t keyCode);
int32_t demoPressCombination(const DemoBoard_t *board);
/* One key record (value 1 press, 2 auto-repeat, 0 release) and the report
 * that follows it. */
int32_t demoKeyEvent(const DemoBoard_t *board, int32_t keyCode, int32_t value);

/* A board attribute file's text without trailing blanks and line ends
 * (at most len - 1 bytes). 1, or -1 when it cannot be read. */
int32_t demoReadAttr(const DemoBoard_t *board, const char *boardPathText, char *buf,
                     uint32_t len);

/* One LED: 1 lit, 0 dark, -1 unreadable. */
int32_t demoReadLed(const DemoBoard_t *board, int32_t led);
/* Name of an LED for the summary. */
const char *demoLedName(int32_t led);
/* Backlight level in percent, or -1. */
int32_t demoReadBacklight(const DemoBoard_t *board);

/* Temperature sensor: a reading in thousandths of a degree, or pulled off
 * the board (the file disappears) and put back. */
int32_t demoSetTemperature(const DemoBoard_t *board, int32_t milliC);
int32_t demoUnplugSensor(const DemoBoard_t *board);
int32_t demoPlugSensor(const DemoBoard_t *board);

/* The installed application's version from the configuration file's
 * "APP_VERSION major.minor.build", as major * 256 + minor; -1 without it. */
int32_t demoReadAppVersion(const DemoBoard_t *board);

/* Lines of the journal (calls of the stand-ins); the last maxLines are
 * copied into buf, one per line. Returns the total number of lines. */
int32_t demoReadJournal(const DemoBoard_t *board, char *buf, uint32_t len, uint32_t maxLines);
/* The same for any text file of the board (a board path such as
 * "/kel/log/kelerror.log"). */
int32_t demoReadTail(const DemoBoard_t *board, const char *boardPathText, char *buf,
                     uint32_t len, uint32_t maxLines);

#ifdef __cplusplus
}
#endif

#endif /* DEMO_BOARD_H */
