/*
 * test_led_harness.h - the LED thread's tests: the board's three LED
 * folders in a test root, and the thread started as the daemon starts it
 * (detached; it never ends, so each such test is an executable of its own).
 */
#ifndef TEST_LED_HARNESS_H
#define TEST_LED_HARNESS_H

#include <pthread.h>
#include <stdlib.h>

#include <string>

#include "kelTestRoot.h"
#include "kelledctrl.h"

static const char *const kLedGreen = "/sys/devices/platform/leds-gpio/leds/status-ledgreen";
static const char *const kLedRed = "/sys/devices/platform/leds-gpio/leds/status-ledred";
static const char *const kLedAlarm = "/sys/devices/platform/leds-gpio/leds/alarm-ledred";

/* The three LED folders with empty attributes, all but `missing` (a board
 * path such as kLedRed + "/trigger", or empty for none). */
static inline bool ledBoardMake(const KelTestRoot &root, const std::string &missing = "")
{
    for (const char *dir : {kLedGreen, kLedRed, kLedAlarm}) {
        std::string mk = "mkdir -p " + root.path(dir);
        if (system(mk.c_str()) != 0) {
            return false;
        }
        for (const char *attr : {"brightness", "trigger", "delay_on", "delay_off"}) {
            std::string file = std::string(dir) + "/" + attr;
            if (file != missing) {
                root.write(file, "");
            }
        }
    }
    return true;
}

/* The LED thread on a fresh state, detached. */
static inline bool ledThreadStart(void)
{
    kelLEDResetState();
    pthread_t th;
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    int rc = pthread_create(&th, &attr, kelLEDControlHandleThread, nullptr);
    pthread_attr_destroy(&attr);
    return rc == 0;
}

#endif
