/*
 * kelledctrl.cpp - the indicator LEDs: sysfs attribute writes, pattern to
 * tick conversion, the meter's pattern backup, and the LED thread that
 * blinks the two red LEDs in software.
 *
 * Talks to: the daemon's request-queue handler and work-mode controller
 * (pattern setters, on other threads), sysfs through kelRootPath.
 *
 * The thread's timing works in passes: each pass looks at the red status
 * and alarm LEDs and switches them by elapsed ticks. Between passes it
 * sleeps until the next stage boundary is due (1 ms while blinking, up to a
 * second while steady), and a pattern setter wakes it at once, so a steady
 * or idle unit costs almost no CPU while blink timing keeps 1 ms steps.
 */
#include "kelledctrl.h"

#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <stdio.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include "kel.h"
#include "kelerror.h"

#define KEL_LED_ON_VALUE "255"
#define KEL_LED_OFF_VALUE "0"
#define KEL_LED_GREEN_TIMER_DELAY 10
#define KEL_LED_VALUE_SIZE 16
#define KEL_LED_ATTR_PATH_SIZE 128
#define KEL_LED_MIN_CYCLE 5
#define KEL_LED_MAX_DUTY 100
#define KEL_LED_INIT_RETRY_MS 5
/* A set-up that keeps failing (an LED or trigger the kernel lacks) is
 * retried ever less often, up to once a second; a new pattern still wakes
 * the thread at once. */
#define KEL_LED_INIT_RETRY_MAX_MS 1000
/* Longest sleep of the thread when nothing is due; setters wake it earlier. */
#define KEL_LED_IDLE_WAIT_MS 1000

const kel_LED_TriggerMode_t kelLEDTriggerMode[LED_TRIGGER_MODE_GPIO_NUM] = {
    {LED_TRIGGER_MODE_NONE, "none"},
    {LED_TRIGGER_MODE_TIMER, "timer"},
    {LED_TRIGGER_MODE_HEARTBEAT, "heartbeat"},
    {LED_TRIGGER_MODE_DEFAULT_ON, "default-on"},
    {LED_TRIGGER_MODE_GPIO, "gpio"},
};

const kel_LED_Device_t kelLEDDevice[KEL_NUM_OF_LEDS] = {
    {KEL_LED_STATUS_GREEN_0, LED_TRIGGER_MODE_TIMER, "/sys/devices/platform/leds-gpio/leds/status-ledgreen"},
    {KEL_LED_STATUS_RED_1, LED_TRIGGER_MODE_DEFAULT_ON, "/sys/devices/platform/leds-gpio/leds/status-ledred"},
    {KEL_LED_ALARM_RED_2, LED_TRIGGER_MODE_DEFAULT_ON, "/sys/devices/platform/leds-gpio/leds/alarm-ledred"},
};

/* Power-on rows: disabled, always off. */
#define KEL_LED_CTRL_INIT(i) {(i), KEL_FALSE, 0, 1000, 1000, 0}
kel_LED_Ctrl_t kelLEDCtrl[KEL_NUM_OF_LEDS] = {
    KEL_LED_CTRL_INIT(KEL_LED_STATUS_GREEN_0),
    KEL_LED_CTRL_INIT(KEL_LED_STATUS_RED_1),
    KEL_LED_CTRL_INIT(KEL_LED_ALARM_RED_2),
};

/* The meter's last patterns in normal mode: green on, red and alarm off. */
kel_LEDCtrlPattern_t kelLEDCtrlMode[KEL_NUM_OF_LEDS] = {
    {KEL_LED_STATUS_GREEN_0, {1000, 100, 1, 0}},
    {KEL_LED_STATUS_RED_1, {1000, 0, 1, 0}},
    {KEL_LED_ALARM_RED_2, {1000, 0, 1, 0}},
};

kel_BOOL_t bLedInited = KEL_FALSE;

/* The backup is an 8-byte record written by the request-queue thread and
 * read by the work-mode thread: copied whole under this lock. */
static pthread_mutex_t ledBackupLock = PTHREAD_MUTEX_INITIALIZER;

/* Wake-up of the LED thread by the pattern setters. */
static pthread_mutex_t ledWakeLock = PTHREAD_MUTEX_INITIALIZER;
static pthread_cond_t ledWakeCond;
static pthread_once_t ledWakeOnce = PTHREAD_ONCE_INIT;
static int ledWakePending;

/* Stage state, touched by the LED thread only. */
static UINT32 tActiveTick[KEL_NUM_OF_LEDS];
static UINT32 tInActiveTick[KEL_NUM_OF_LEDS];
static UINT32 tDelayOnTick[KEL_NUM_OF_LEDS];
static UINT32 tDelayOffTick[KEL_NUM_OF_LEDS];
static kel_BOOL_t bLedActiveStage[KEL_NUM_OF_LEDS];
static kel_BOOL_t bLedOnStage[KEL_NUM_OF_LEDS];
static kel_BOOL_t bLedOn[KEL_NUM_OF_LEDS];

static int kelLedIdValid(INT32 LedId)
{
    return LedId >= 0 && LedId < KEL_NUM_OF_LEDS;
}

static void kelLEDWakeInit(void)
{
    pthread_condattr_t attr;
    pthread_condattr_init(&attr);
    pthread_condattr_setclock(&attr, CLOCK_MONOTONIC);
    pthread_cond_init(&ledWakeCond, &attr);
    pthread_condattr_destroy(&attr);
}

/* Tells the LED thread that a row changed. */
static void kelLEDWake(void)
{
    pthread_once(&ledWakeOnce, kelLEDWakeInit);
    pthread_mutex_lock(&ledWakeLock);
    ledWakePending = 1;
    pthread_cond_signal(&ledWakeCond);
    pthread_mutex_unlock(&ledWakeLock);
}

/* Sleeps up to `ms` milliseconds, less when a setter calls kelLEDWake. */
static void kelLEDWait(UINT32 ms)
{
    pthread_once(&ledWakeOnce, kelLEDWakeInit);
    struct timespec until;
    clock_gettime(CLOCK_MONOTONIC, &until);
    until.tv_sec += ms / 1000;
    until.tv_nsec += (long)(ms % 1000) * 1000000L;
    if (until.tv_nsec >= 1000000000L) {
        until.tv_sec += 1;
        until.tv_nsec -= 1000000000L;
    }
    pthread_mutex_lock(&ledWakeLock);
    while (!ledWakePending) {
        if (pthread_cond_timedwait(&ledWakeCond, &ledWakeLock, &until) == ETIMEDOUT) {
            break;
        }
    }
    ledWakePending = 0;
    pthread_mutex_unlock(&ledWakeLock);
}

INT32 kelSetLEDCtrlProperty(INT32 LedId, const char *ledProperty, const char *propValue)
{
    if (!kelLedIdValid(LedId) || ledProperty == NULL || propValue == NULL) {
        return -1;
    }
    char value[KEL_LED_VALUE_SIZE];
    memset(value, 0, sizeof(value));
    size_t len = strlen(propValue);
    if (len == 0 || len >= sizeof(value)) {
        return -1;
    }
    memcpy(value, propValue, len);

    char boardPath[KEL_LED_ATTR_PATH_SIZE];
    memset(boardPath, 0, sizeof(boardPath));
    int n = snprintf(boardPath, sizeof(boardPath), "%s/%s", kelLEDDevice[LedId].Device, ledProperty);
    if (n < 0 || (size_t)n >= sizeof(boardPath)) {
        return -1;
    }
    char path[KEL_PATH_BUF_SIZE];
    if (kelRootPath(boardPath, path, sizeof(path)) < 0) {
        return -1;
    }
    /* Truncation is ignored by sysfs and keeps a plain file (the virtual
     * board) holding just the last value. */
    int fd = open(path, O_WRONLY | O_TRUNC);
    if (fd < 0) {
        return -1;
    }
    ssize_t written = write(fd, value, len);
    close(fd);
    if (written <= 0) {
        return -1;
    }
    return (INT32)written;
}

INT32 kelSetLedOn(INT32 LedId)
{
    if (kelSetLEDCtrlProperty(LedId, "brightness", KEL_LED_ON_VALUE) <= 0) {
        return -1;
    }
    KEL_STORE(kelLEDCtrl[LedId].bEnabled, KEL_TRUE);
    kelLEDWake();
    return 1;
}

INT32 kelSetLedOff(INT32 LedId)
{
    if (kelSetLEDCtrlProperty(LedId, "brightness", KEL_LED_OFF_VALUE) <= 0) {
        return -1;
    }
    return 1;
}

INT32 kelInitLED(void)
{
    char delay[KEL_LED_VALUE_SIZE];
    for (INT32 i = 0; i < KEL_NUM_OF_LEDS; i++) {
        kel_LED_TriggerModeType_t trig = kelLEDDevice[i].TriggerMode;
        if (kelSetLEDCtrlProperty(i, "trigger", kelLEDTriggerMode[trig].TriggerMode) <= 0) {
            return -1;
        }
        if (i == KEL_LED_STATUS_GREEN_0) {
            snprintf(delay, sizeof(delay), "%d", KEL_LED_GREEN_TIMER_DELAY);
            if (kelSetLEDCtrlProperty(i, "delay_on", delay) <= 0) {
                return -1;
            }
            if (kelSetLEDCtrlProperty(i, "delay_off", delay) <= 0) {
                return -1;
            }
        } else if (kelSetLedOff(i) <= 0) {
            return -1;
        }
    }
    return 1;
}

INT32 kelParseLEDPattern(const KELNS_patternData_t *pattern, kel_LED_Ctrl_t *ledCtrl)
{
    if (pattern == NULL || ledCtrl == NULL) {
        return -1;
    }
    /* Unsigned arithmetic: 65535 ms x 65535 cycles still fits 32 bits, and
     * a duty above 100 % is held at 100 so the off time never goes below 0. */
    UINT32 cycle = pattern->Cycle;
    UINT32 duty = pattern->Duty;
    if (cycle < KEL_LED_MIN_CYCLE) {
        cycle = KEL_LED_MIN_CYCLE;
    }
    if (duty > KEL_LED_MAX_DUTY) {
        duty = KEL_LED_MAX_DUTY;
    }
    ledCtrl->DelayOnTick = cycle * duty / 100;
    ledCtrl->DelayOffTick = cycle - ledCtrl->DelayOnTick;
    ledCtrl->ActiveTick = cycle * (UINT32)pattern->NumActCycle;
    ledCtrl->InActiveTick = cycle * (UINT32)pattern->NumInActCycle;
    return 1;
}

INT32 kelSetLEDCtrlValue(INT32 LedId, const kel_LED_Ctrl_t *ledCtrl)
{
    if (!kelLedIdValid(LedId) || ledCtrl == NULL) {
        return -1;
    }
    kel_LED_Ctrl_t *row = &kelLEDCtrl[LedId];
    KEL_STORE(row->DelayOnTick, ledCtrl->DelayOnTick);
    KEL_STORE(row->DelayOffTick, ledCtrl->DelayOffTick);
    KEL_STORE(row->ActiveTick, ledCtrl->ActiveTick);
    KEL_STORE(row->InActiveTick, ledCtrl->InActiveTick);
    KEL_STORE(row->bEnabled, KEL_TRUE);
    kelLEDWake();
    return 1;
}

INT32 kelSetStatusLED(KELNS_LEDColor_t color, const KELNS_patternData_t *pattern)
{
    if (pattern == NULL) {
        return -1;
    }
    INT32 led = (color == KELNS_LED_RED) ? KEL_LED_STATUS_RED_1 : KEL_LED_STATUS_GREEN_0;
    kel_LED_Ctrl_t ctrl;
    memset(&ctrl, 0, sizeof(ctrl));
    kelParseLEDPattern(pattern, &ctrl);
    kelSetLEDCtrlValue(led, &ctrl);
    /* Always-off shapes darken the LED at once. */
    if (ctrl.DelayOffTick == ctrl.ActiveTick) {
        return kelSetLedOff(led);
    }
    /* The green LED is only ever lit steadily; the red one is blinked by
     * the LED thread. */
    if (led == KEL_LED_STATUS_GREEN_0) {
        return kelSetLedOn(led);
    }
    return 1;
}

INT32 kelSetAlarmLED(const KELNS_patternData_t *pattern)
{
    if (pattern == NULL) {
        return -1;
    }
    kel_LED_Ctrl_t ctrl;
    memset(&ctrl, 0, sizeof(ctrl));
    kelParseLEDPattern(pattern, &ctrl);
    return kelSetLEDCtrlValue(KEL_LED_ALARM_RED_2, &ctrl);
}

void kelBackupStatusLEDPattern(KELNS_LEDColor_t color, const KELNS_patternData_t *pattern)
{
    if (pattern == NULL) {
        return;
    }
    INT32 row;
    if (color == KELNS_LED_GREEN) {
        row = KEL_LED_STATUS_GREEN_0;
    } else if (color == KELNS_LED_RED) {
        row = KEL_LED_STATUS_RED_1;
    } else {
        return;
    }
    pthread_mutex_lock(&ledBackupLock);
    memcpy(&kelLEDCtrlMode[row].ledPattern, pattern, sizeof(KELNS_patternData_t));
    pthread_mutex_unlock(&ledBackupLock);
}

void kelBackupAlarmLEDPattern(const KELNS_patternData_t *pattern)
{
    if (pattern == NULL) {
        return;
    }
    pthread_mutex_lock(&ledBackupLock);
    memcpy(&kelLEDCtrlMode[KEL_LED_ALARM_RED_2].ledPattern, pattern, sizeof(KELNS_patternData_t));
    pthread_mutex_unlock(&ledBackupLock);
}

void kelRestoreLEDControl(void)
{
    kel_LEDCtrlPattern_t rows[KEL_NUM_OF_LEDS];
    pthread_mutex_lock(&ledBackupLock);
    memcpy(rows, kelLEDCtrlMode, sizeof(rows));
    pthread_mutex_unlock(&ledBackupLock);
    /* Row indexes 0 and 1 double as the colours green and red. */
    (void)kelSetStatusLED((KELNS_LEDColor_t)rows[KEL_LED_STATUS_GREEN_0].index, &rows[KEL_LED_STATUS_GREEN_0].ledPattern);
    (void)kelSetStatusLED((KELNS_LEDColor_t)rows[KEL_LED_STATUS_RED_1].index, &rows[KEL_LED_STATUS_RED_1].ledPattern);
    (void)kelSetAlarmLED(&rows[KEL_LED_ALARM_RED_2].ledPattern);
}

void kelCloseAllLED(void)
{
    const KELNS_patternData_t off = {1000, 0, 1, 0};
    (void)kelSetStatusLED(KELNS_LED_GREEN, &off);
    (void)kelSetStatusLED(KELNS_LED_RED, &off);
    (void)kelSetAlarmLED(&off);
}

/* Brings LED i to the wanted light, writing sysfs only on a change. Returns
 * 1 when the LED is (now) as wanted, 0 when the write failed. */
static int kelLEDSwitch(INT32 i, kel_BOOL_t wantOn)
{
    if (bLedOn[i] == wantOn) {
        return 1;
    }
    INT32 rc = wantOn ? kelSetLedOn(i) : kelSetLedOff(i);
    if (rc <= 0) {
        return 0;
    }
    KEL_STORE(bLedOn[i], wantOn);
    return 1;
}

static UINT32 kelLEDMin(UINT32 a, UINT32 b)
{
    return a < b ? a : b;
}

/* One visit of LED i at tick `now`. Returns the milliseconds until the next
 * stage boundary of this LED (0 when the next pass should follow at once). */
static UINT32 kelLEDVisit(INT32 i, UINT32 now)
{
    kel_LED_Ctrl_t *r = &kelLEDCtrl[i];
    if (KEL_LOAD(r->bEnabled) != KEL_TRUE) {
        return KEL_LED_IDLE_WAIT_MS;
    }
    UINT32 onTick = KEL_LOAD(r->DelayOnTick);
    UINT32 offTick = KEL_LOAD(r->DelayOffTick);
    UINT32 activeTick = KEL_LOAD(r->ActiveTick);
    UINT32 inActiveTick = KEL_LOAD(r->InActiveTick);

    if (bLedActiveStage[i] != KEL_TRUE) {
        UINT32 elapsed = now - tInActiveTick[i];
        if (elapsed >= inActiveTick) {
            tActiveTick[i] = now;
            bLedActiveStage[i] = KEL_TRUE;
            return 0;
        }
        if (!kelLEDSwitch(i, KEL_FALSE)) {
            return 0;
        }
        return inActiveTick - elapsed;
    }

    UINT32 elapsed = now - tActiveTick[i];
    if (elapsed >= activeTick) {
        tInActiveTick[i] = now;
        bLedActiveStage[i] = KEL_FALSE;
        return 0;
    }
    UINT32 stageLeft = activeTick - elapsed;
    if (onTick == 0) {
        return kelLEDSwitch(i, KEL_FALSE) ? stageLeft : 0;
    }
    if (offTick == 0) {
        return kelLEDSwitch(i, KEL_TRUE) ? stageLeft : 0;
    }
    if (bLedOnStage[i] != KEL_TRUE) {
        UINT32 offElapsed = now - tDelayOffTick[i];
        if (offElapsed < offTick) {
            return kelLEDSwitch(i, KEL_FALSE) ? kelLEDMin(stageLeft, offTick - offElapsed) : 0;
        }
        tDelayOnTick[i] = now;
        int ok = kelLEDSwitch(i, KEL_TRUE);
        bLedOnStage[i] = KEL_TRUE;
        return ok ? kelLEDMin(stageLeft, onTick) : 0;
    }
    UINT32 onElapsed = now - tDelayOnTick[i];
    if (onElapsed < onTick) {
        return kelLEDSwitch(i, KEL_TRUE) ? kelLEDMin(stageLeft, onTick - onElapsed) : 0;
    }
    tDelayOffTick[i] = now;
    int ok = kelLEDSwitch(i, KEL_FALSE);
    bLedOnStage[i] = KEL_FALSE;
    return ok ? kelLEDMin(stageLeft, offTick) : 0;
}

void kelLEDStagesReset(UINT32 now)
{
    for (INT32 i = 0; i < KEL_NUM_OF_LEDS; i++) {
        tActiveTick[i] = now;
        tInActiveTick[i] = now;
        tDelayOnTick[i] = now;
        tDelayOffTick[i] = now;
        KEL_STORE(bLedOn[i], KEL_FALSE);
        bLedOnStage[i] = KEL_FALSE;
        bLedActiveStage[i] = (i == KEL_LED_STATUS_GREEN_0) ? KEL_TRUE : KEL_FALSE;
    }
}

UINT32 kelLEDControlPass(UINT32 now)
{
    /* The green LED belongs to the kernel's timer trigger: never visited. */
    UINT32 due = KEL_LED_IDLE_WAIT_MS;
    for (INT32 i = KEL_LED_STATUS_RED_1; i < KEL_NUM_OF_LEDS; i++) {
        due = kelLEDMin(due, kelLEDVisit(i, now));
    }
    return due < 1 ? 1 : due;
}

INT32 kelLEDIsLit(INT32 LedId)
{
    if (!kelLedIdValid(LedId)) {
        return -1;
    }
    return KEL_LOAD(bLedOn[LedId]) == KEL_TRUE ? KEL_TRUE : KEL_FALSE;
}

/* Start-up wait: the hardware is set up once the first row is enabled;
 * a failed set-up is retried no sooner than 5 ms later, then at doubling
 * intervals, and reported once. */
static void kelLEDWaitForFirstPattern(void)
{
    UINT32 retryMs = KEL_LED_INIT_RETRY_MS;
    int reported = 0;
    while (KEL_LOAD(bLedInited) != KEL_TRUE) {
        int tried = 0;
        for (INT32 i = 0; i < KEL_NUM_OF_LEDS; i++) {
            if (KEL_LOAD(kelLEDCtrl[i].bEnabled) != KEL_TRUE) {
                continue;
            }
            tried = 1;
            if (kelInitLED() > 0) {
                KEL_STORE(bLedInited, KEL_TRUE);
                break;
            }
            kelSleep(KEL_LED_INIT_RETRY_MS);
        }
        if (KEL_LOAD(bLedInited) == KEL_TRUE) {
            break;
        }
        if (!tried) {
            kelLEDWait(KEL_LED_IDLE_WAIT_MS);
            continue;
        }
        if (!reported) {
            kelLogError(KEL_TASK_CONTROL, KEL_FILEID_LED, __LINE__, KEL_HW_LED_CTRL_FAIL);
            reported = 1;
        }
        kelLEDWait(retryMs);
        retryMs = kelLEDMin(retryMs * 2, KEL_LED_INIT_RETRY_MAX_MS);
    }
}

void *kelLEDControlHandleThread(void *args)
{
    (void)args;
    kelLEDWaitForFirstPattern();
    kelLEDStagesReset(kelGetTick());
    for (;;) {
        UINT32 due = kelLEDControlPass(kelGetTick());
        kelLEDWait(due);
    }
    return NULL;
}

void kelLEDResetState(void)
{
    static const kel_LED_Ctrl_t initCtrl = KEL_LED_CTRL_INIT(KEL_LED_STATUS_GREEN_0);
    static const KELNS_patternData_t initPattern[KEL_NUM_OF_LEDS] = {
        {1000, 100, 1, 0}, {1000, 0, 1, 0}, {1000, 0, 1, 0}};
    for (INT32 i = 0; i < KEL_NUM_OF_LEDS; i++) {
        kelLEDCtrl[i] = initCtrl;
        kelLEDCtrl[i].Index = (kel_LEDIndex_t)i;
        pthread_mutex_lock(&ledBackupLock);
        kelLEDCtrlMode[i].index = (kel_LEDIndex_t)i;
        kelLEDCtrlMode[i].ledPattern = initPattern[i];
        pthread_mutex_unlock(&ledBackupLock);
    }
    KEL_STORE(bLedInited, KEL_FALSE);
    kelLEDStagesReset(0);
}
