/*
 * keypadsim.cpp - bench tool: presses the unit's keys from a terminal.
 *
 * Reads letters from standard input and writes one key stroke per known
 * letter into the keypad's input event device, so the control daemon's
 * keypad handling sees them like real presses. On the virtual board the
 * device is a FIFO the daemon reads. Shares no code with the system.
 *
 * Usage: keypadsim [device]
 */
#include <errno.h>
#include <fcntl.h>
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>
#include <sys/time.h>
#include <unistd.h>

#include "toolroot.h"

#define KEYPAD_DEVICE "/dev/input/event0"

/* Linux input event types and codes the unit's keypad reports. */
#define KEYPAD_EV_SYN 0
#define KEYPAD_EV_KEY 1
#define KEYPAD_SYN_REPORT 0
#define KEYPAD_KEY_ESC 1
#define KEYPAD_KEY_HOME 102
#define KEYPAD_KEY_UP 103
#define KEYPAD_KEY_LEFT 105
#define KEYPAD_KEY_RIGHT 106
#define KEYPAD_KEY_DOWN 108

#define KEYPAD_PRESS 1
#define KEYPAD_RELEASE 0
#define KEYPAD_NO_KEY -1
#define KEYPAD_QUIT -2

/* The input event record as the unit's 32-bit kernel reads it: 16 bytes.
 * The host's own struct input_event is wider on 64-bit machines, so the
 * record is spelled out here and written the same on every target. */
typedef struct __attribute__((packed)) {
    uint32_t tvSec;
    uint32_t tvUsec;
    uint16_t type;
    uint16_t code;
    int32_t value;
} keypad_event_t;

static_assert(sizeof(keypad_event_t) == 16, "input event record is 16 bytes");
static_assert(offsetof(keypad_event_t, tvSec) == 0, "seconds at 0");
static_assert(offsetof(keypad_event_t, tvUsec) == 4, "microseconds at 4");
static_assert(offsetof(keypad_event_t, type) == 8, "type at 8");
static_assert(offsetof(keypad_event_t, code) == 10, "code at 10");
static_assert(offsetof(keypad_event_t, value) == 12, "value at 12");

static const char *const menuLines[] = {
    "\nKeyPad Simulator -->\nPlease input:",
    "- LEFT: \ta/A",
    "- RIGHT:\td/D",
    "- UP: \t\tw/W",
    "- DOWN:\t\ts/S",
    "- HOME:\t\th/H",
    "- ESC:\t\te/E",
    "- QUIT: \tq/Q",
};

/* Key code for a typed character, KEYPAD_QUIT for q/Q, or KEYPAD_NO_KEY. */
static int keypadCodeForChar(int ch)
{
    switch (ch) {
    case 'a': case 'A': case 'l': case 'L':
        return KEYPAD_KEY_LEFT;
    case 'd': case 'D': case 'r': case 'R':
        return KEYPAD_KEY_RIGHT;
    case 'w': case 'W': case 'u': case 'U':
        return KEYPAD_KEY_UP;
    case 's': case 'S':
        return KEYPAD_KEY_DOWN;
    case 'h': case 'H':
        return KEYPAD_KEY_HOME;
    case 'e': case 'E':
        return KEYPAD_KEY_ESC;
    case 'q': case 'Q':
        return KEYPAD_QUIT;
    default:
        return KEYPAD_NO_KEY;
    }
}

/* Clears the record and stamps it with the current time of day. */
static void keypadStamp(keypad_event_t *ev)
{
    struct timeval tv;

    memset(ev, 0, sizeof(*ev));
    gettimeofday(&tv, NULL);
    /* The record carries 32-bit seconds, as the unit's kernel does. */
    ev->tvSec = (uint32_t)tv.tv_sec;
    ev->tvUsec = (uint32_t)tv.tv_usec;
}

/* Writes one whole record. 1 on success, -1 when the device refuses it. */
static int keypadWriteEvent(int fd, const keypad_event_t *ev)
{
    const char *p = (const char *)ev;
    size_t left = sizeof(*ev);

    while (left > 0) {
        ssize_t n = write(fd, p, left);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return -1;
        }
        p += n;
        left -= (size_t)n;
    }
    return 1;
}

/* Writes the key field and the report that follows it. */
static int keypadWriteKey(int fd, keypad_event_t *ev, uint16_t code, int32_t value)
{
    ev->type = KEYPAD_EV_KEY;
    ev->code = code;
    ev->value = value;
    if (keypadWriteEvent(fd, ev) < 0) {
        return -1;
    }
    ev->type = KEYPAD_EV_SYN;
    ev->code = KEYPAD_SYN_REPORT;
    ev->value = 0;
    return keypadWriteEvent(fd, ev);
}

/* One complete key stroke: press, report, release, report. 1 on success,
 * -1 when a record could not be written. */
extern "C" int simulate_key(int fd, uint16_t code)
{
    keypad_event_t ev;

    keypadStamp(&ev);
    if (keypadWriteKey(fd, &ev, code, KEYPAD_PRESS) < 0) {
        return -1;
    }
    keypadStamp(&ev);
    return keypadWriteKey(fd, &ev, code, KEYPAD_RELEASE);
}

static void keypadShowMenu(void)
{
    for (size_t i = 0; i < sizeof(menuLines) / sizeof(menuLines[0]); i++) {
        puts(menuLines[i]);
    }
}

int main(int argc, char **argv)
{
    char path[TOOL_PATH_MAX];
    const char *device = path;
    int fd = -1;

    (void)toolEnsureStdDescriptors();

    /* Exactly one argument names the device; anything else means the
     * keypad of the board (inside the platform root). */
    if (argc == 2) {
        device = argv[1];
    } else if (toolRootPath(KEYPAD_DEVICE, path, sizeof(path)) < 0) {
        device = NULL;
    }
    if (device != NULL) {
        fd = open(device, O_RDWR);
    }
    if (fd <= 0) {
        puts("error open keyboard:");
        return -1;
    }

    keypadShowMenu();

    /* End of input ends the program as q does, so a tool fed from a pipe
     * or a file stops when its input is used up. */
    for (;;) {
        int ch = getchar();
        if (ch == EOF) {
            break;
        }
        int code = keypadCodeForChar(ch);
        if (code == KEYPAD_QUIT) {
            break;
        }
        if (code == KEYPAD_NO_KEY) {
            continue;
        }
        if (simulate_key(fd, (uint16_t)code) < 0) {
            puts("error write keyboard:");
            close(fd);
            return -1;
        }
    }
    close(fd);
    return 0;
}
