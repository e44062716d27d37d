/*
 * panelBoard.h - what the panel reads off the virtual board beside the
 * frame buffer, and what it writes into it: the LED attribute files, the
 * backlight, the temperature sensor, the work mode the control daemon
 * publishes in the shared segment, the state of the meter links (the
 * unit's TCP connections to the meter address), and the upload directory.
 * Every path is a board path under the sandbox; the file access shared
 * with the demo session comes from demoBoard.
 */
#ifndef PANEL_BOARD_H
#define PANEL_BOARD_H

#include <stddef.h>
#include <stdint.h>

#include "demoBoard.h"

#define PANEL_NUM_LEDS DEMO_NUM_LEDS
#define PANEL_UPLOAD_MAX (8u * 1024u * 1024u)   /* largest upgrade package */
#define PANEL_UPLOAD_PATH "/usr/ftp/up/kelupg.bin"
#define PANEL_ERRLOG_PATH "/kel/log/kelerror.log"
#define PANEL_JOURNAL_PATH "/var/log/journal"
#define PANEL_TEMP_MIN (-55000)   /* the lm75's range, thousandths of C */
#define PANEL_TEMP_MAX 125000

/* Meter links as the unit sees them. */
enum { PANEL_LINK_STARTUP = 0, PANEL_LINK_SCREEN = 1, PANEL_LINK_NONSCREEN = 2, PANEL_NUM_LINKS = 3 };

typedef struct {
    int32_t lit[PANEL_NUM_LEDS];       /* 1 lit, 0 dark, -1 unreadable */
    int32_t bTimer[PANEL_NUM_LEDS];    /* on the kernel's "timer" trigger */
    int32_t delayOn[PANEL_NUM_LEDS];   /* its delays in ms (timer only) */
    int32_t delayOff[PANEL_NUM_LEDS];
} PanelLeds_t;

/* 1 when root looks like a virtual board (frame buffer file of a whole
 * frame, keypad FIFO, LED and IPC key folders); otherwise -1 and the reason
 * in why. */
int32_t panelCheckSandbox(const char *root, char *why, size_t whyLen);

/* Brightness of the three LEDs (fast: read every few tens of ms). */
void panelReadLedsLit(const DemoBoard_t *board, PanelLeds_t *leds);
/* Trigger and delays of the three LEDs. */
void panelReadLedTimers(const DemoBoard_t *board, PanelLeds_t *leds);

/* max_brightness of the backlight, or -1. */
int32_t panelReadBacklightMax(const DemoBoard_t *board);
/* The sensor reading in thousandths of a degree: 1, or -1 (file missing
 * or unreadable: the sensor is off the board). */
int32_t panelReadTemperature(const DemoBoard_t *board, int32_t *milliC);

/* The work mode the daemon published (0 normal .. 4 factory test), or -1
 * when there is no segment yet. */
int32_t panelReadWorkMode(const char *root);
const char *panelWorkModeName(int32_t mode);

/* The meter's address from the sandbox's etc/vboard.conf (METER_HOST=).
 * 1, or -1 when none is set. */
int32_t panelReadMeterHost(const DemoBoard_t *board, char *addr, size_t len);
/* The state of each link in up[PANEL_NUM_LINKS]: 1 when /proc/net/tcp (or
 * the table given) shows an established connection to addr on the link's
 * standard port, 0 when not, -1 when the table cannot be read. One pass
 * over the table for all three. */
void panelLinkStates(const char *tcpTable, const char *addr, int32_t *up);

/* Puts an upgrade package into the upload directory in one step (written
 * beside it, then renamed), so the upgrade program never sees half of it.
 * 1, or -1 (nothing left behind). */
int32_t panelWriteUpload(const DemoBoard_t *board, const uint8_t *data, size_t len);

#endif /* PANEL_BOARD_H */
