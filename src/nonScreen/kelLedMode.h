/*
 * kelLedMode.h - the LED vocabulary of the unit's own indications: five
 * blink patterns and, per indication mode, the pattern of each LED. Read by
 * the daemon's work-mode controller.
 */
#ifndef KEL_LED_MODE_H
#define KEL_LED_MODE_H

#include "kelTypes.h"

typedef enum {
    LED_MODE_ALWAYSON = 0,
    LED_MODE_ALWAYSOFF = 1,
    LED_MODE_HEARTBEAT = 2,
    LED_MODE_ERROR = 3,
    LED_MODE_FW_UPGRADE = 4,
    LED_MODE_FW_UPGRADING = 5,
    LED_MODE_NORMAL = 6,
    NUM_OF_LED_MODE = 7
} KELNS_LedIndicationMode_t;

typedef enum {
    PATTERN_HEART_BEAT = 0,
    PATTERN_ALWAYS_ON = 1,
    PATTERN_ALWAYS_OFF = 2,
    PATTERN_COMMU_ERROR = 3,
    PATTERN_ALARM_1 = 4,
    NUM_OF_PATTERNS = 5
} KELNS_PatternType_t;

typedef struct {
    KELNS_PatternType_t patternType;
    KELNS_patternData_t patternData;
} KELNS_PatternMap_t;

typedef struct {
    KELNS_LedIndicationMode_t ledIndMode;
    KELNS_PatternType_t typeStateLedRed;
    KELNS_PatternType_t typeStateLedGreen;
    KELNS_PatternType_t typeAlarmLedRed;
} KELNS_ledsModeMap_t;

#ifdef __cplusplus
extern "C" {
#endif

/* Indexed by KELNS_PatternType_t. */
extern const KELNS_PatternMap_t kelLEDPatternMap[NUM_OF_PATTERNS];
/* Indexed by KELNS_LedIndicationMode_t. */
extern const KELNS_ledsModeMap_t kelLEDModeMap[NUM_OF_LED_MODE];

#ifdef __cplusplus
}
#endif

#endif /* KEL_LED_MODE_H */
