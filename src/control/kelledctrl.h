/*
 * kelledctrl.h - the three indicator LEDs (green and red status, red alarm),
 * driven through their leds-gpio sysfs directories. Patterns from the meter
 * become millisecond tick records; the LED thread blinks the two red LEDs in
 * software, the green LED is left to the kernel's timer trigger and only
 * switched on or off. A backup of the meter's last patterns lets the
 * work-mode controller restore them on return to normal mode.
 *
 * Callers: the daemon's request-queue handler (meter LED commands), the
 * work-mode controller (indications), the daemon's main (LED thread).
 */
#ifndef KEL_LED_CTRL_H
#define KEL_LED_CTRL_H

#include "kelTypes.h"

typedef enum {
    KEL_LED_STATUS_GREEN_0 = 0,
    KEL_LED_STATUS_RED_1 = 1,
    KEL_LED_ALARM_RED_2 = 2,
    KEL_NUM_OF_LEDS = 3
} kel_LEDIndex_t;

typedef enum {
    LED_TRIGGER_MODE_NONE = 0,
    LED_TRIGGER_MODE_TIMER = 1,
    LED_TRIGGER_MODE_HEARTBEAT = 2,
    LED_TRIGGER_MODE_DEFAULT_ON = 3,
    LED_TRIGGER_MODE_GPIO = 4,
    LED_TRIGGER_MODE_GPIO_NUM = 5
} kel_LED_TriggerModeType_t;

#define KEL_LED_TRIGGER_NAME_SIZE 16
#define KEL_LED_DEVICE_PATH_SIZE 64

typedef struct {
    kel_LED_TriggerModeType_t Index;
    char TriggerMode[KEL_LED_TRIGGER_NAME_SIZE];
} kel_LED_TriggerMode_t;

typedef struct {
    kel_LEDIndex_t Index;
    kel_LED_TriggerModeType_t TriggerMode; /* trigger set at initialisation */
    char Device[KEL_LED_DEVICE_PATH_SIZE]; /* sysfs directory (board path) */
} kel_LED_Device_t;

/* Timing of one LED in milliseconds. Read by the LED thread while other
 * threads write it: every field goes through KEL_LOAD / KEL_STORE. */
typedef struct {
    kel_LEDIndex_t Index;
    kel_BOOL_t bEnabled;
    UINT32 DelayOnTick;
    UINT32 DelayOffTick;
    UINT32 ActiveTick;
    UINT32 InActiveTick;
} kel_LED_Ctrl_t;

typedef struct {
    kel_LEDIndex_t index;
    KELNS_patternData_t ledPattern;
} kel_LEDCtrlPattern_t;

#ifdef __cplusplus
extern "C" {
#endif

extern const kel_LED_TriggerMode_t kelLEDTriggerMode[LED_TRIGGER_MODE_GPIO_NUM];
extern const kel_LED_Device_t kelLEDDevice[KEL_NUM_OF_LEDS];
extern kel_LED_Ctrl_t kelLEDCtrl[KEL_NUM_OF_LEDS];
extern kel_LEDCtrlPattern_t kelLEDCtrlMode[KEL_NUM_OF_LEDS];
extern kel_BOOL_t bLedInited;

INT32 kelSetLEDCtrlProperty(INT32 LedId, const char *ledProperty, const char *propValue);
INT32 kelSetLedOn(INT32 LedId);
INT32 kelSetLedOff(INT32 LedId);
INT32 kelInitLED(void);
INT32 kelParseLEDPattern(const KELNS_patternData_t *pattern, kel_LED_Ctrl_t *ledCtrl);
INT32 kelSetLEDCtrlValue(INT32 LedId, const kel_LED_Ctrl_t *ledCtrl);
INT32 kelSetStatusLED(KELNS_LEDColor_t color, const KELNS_patternData_t *pattern);
INT32 kelSetAlarmLED(const KELNS_patternData_t *pattern);
void kelBackupStatusLEDPattern(KELNS_LEDColor_t color, const KELNS_patternData_t *pattern);
void kelBackupAlarmLEDPattern(const KELNS_patternData_t *pattern);
void kelRestoreLEDControl(void);
void kelCloseAllLED(void);

/* LED thread body (started once, detached, by the daemon's main). */
void *kelLEDControlHandleThread(void *args);

/* The thread's pieces, usable one at a time by tests. kelLEDStagesReset
 * starts every LED's stages at `now`; kelLEDControlPass runs one pass over
 * the two red LEDs at tick `now` and returns how many milliseconds may pass
 * before anything is due (at least 1). */
void kelLEDStagesReset(UINT32 now);
UINT32 kelLEDControlPass(UINT32 now);
/* The LED thread's belief of an LED's light (KEL_TRUE lit), -1 for a bad id. */
INT32 kelLEDIsLit(INT32 LedId);
/* Restores every table and the thread state to power-on values (tests). */
void kelLEDResetState(void);

#ifdef __cplusplus
}
#endif

#endif /* KEL_LED_CTRL_H */
