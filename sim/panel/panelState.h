/*
 * panelState.h - what kelpanel's threads share: the sandbox, the LCD frame
 * and the state text the page long-polls for, the held keys, the last
 * action and the station simulator's run, under one lock with one
 * condition variable. The watcher (panelWatch.cpp) fills it, the actions
 * (panelActions.cpp) and the HTTP handlers (kelpanel.cpp) read and change
 * it.
 */
#ifndef PANEL_STATE_H
#define PANEL_STATE_H

#include <stdint.h>
#include <sys/types.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

#include "demoBoard.h"
#include "panelKeys.h"

#define PANEL_TICK_MS 10           /* watcher tick while a key repeats */
#define PANEL_FRAME_POLL_MS 30     /* frame buffer file: up to 33 frames/s */
#define PANEL_LED_POLL_MS 20       /* LED brightness: blink edges to 20 ms */
#define PANEL_SLOW_POLL_MS 250     /* everything else */

struct Panel {
    DemoBoard_t board;
    std::string root;
    std::string binDir;
    std::string meterAddr;          /* empty: link state unknown */
    pid_t meterPid = -1;

    std::mutex lock;
    std::condition_variable changed;
    /* The LCD: frame number and the canvas pixels of that frame. */
    uint64_t frameSeq = 0;
    std::vector<uint8_t> rgba;
    /* Everything else the page shows, as the JSON it gets. */
    uint64_t stateSeq = 0;
    std::string stateJson;
    /* The last action's result and the station simulator's run. */
    std::string actionText;
    bool stationRunning = false;
    std::string stationOutput;
    PanelKeys_t keys;

    std::atomic<bool> stop{false};
};

/* Monotonic milliseconds. */
uint64_t panelNowMs(void);

/* The watcher thread: polls the board files until p->stop, bumping
 * frameSeq or stateSeq (and waking the long polls) on every change, and
 * ticks the held keys. */
void panelWatch(Panel *p);

/* Writes one key record into the sandbox's keypad (ctx: the board). */
int32_t panelKeyWrite(void *ctx, int32_t code, int32_t value);
/* Sets the action text the page shows; the caller holds the lock. */
void panelSay(Panel *p, const std::string &text);
/* 1 when pid is a running meter simulator (guards against a reused pid). */
int32_t panelIsMeter(pid_t pid);
/* Runs a production test with the station simulator at `station` and
 * collects its output for the page; the body of a thread of its own.
 * The caller set p->stationRunning. */
void panelStationRun(Panel *p, std::string station);

#endif /* PANEL_STATE_H */
