/*
 * kelLedMode.cpp - the blink patterns of the unit's own indications and the
 * pattern each LED shows in each indication mode. Read-only tables used by
 * the daemon's work-mode controller.
 */
#include "kelLedMode.h"

/* Cycle ms, duty %, active cycles, inactive cycles. */
const KELNS_PatternMap_t kelLEDPatternMap[NUM_OF_PATTERNS] = {
    {PATTERN_HEART_BEAT, {2000, 50, 1, 0}},
    {PATTERN_ALWAYS_ON, {1000, 100, 1, 0}},
    {PATTERN_ALWAYS_OFF, {1000, 0, 1, 0}},
    {PATTERN_COMMU_ERROR, {500, 50, 1, 0}},
    {PATTERN_ALARM_1, {2000, 50, 1, 0}},
};

/* Red status, green status, red alarm. */
const KELNS_ledsModeMap_t kelLEDModeMap[NUM_OF_LED_MODE] = {
    {LED_MODE_ALWAYSON, PATTERN_ALWAYS_ON, PATTERN_ALWAYS_ON, PATTERN_ALWAYS_ON},
    {LED_MODE_ALWAYSOFF, PATTERN_ALWAYS_OFF, PATTERN_ALWAYS_OFF, PATTERN_ALWAYS_OFF},
    {LED_MODE_HEARTBEAT, PATTERN_ALWAYS_OFF, PATTERN_HEART_BEAT, PATTERN_ALWAYS_OFF},
    {LED_MODE_ERROR, PATTERN_COMMU_ERROR, PATTERN_ALWAYS_OFF, PATTERN_ALWAYS_OFF},
    {LED_MODE_FW_UPGRADE, PATTERN_ALWAYS_ON, PATTERN_ALWAYS_OFF, PATTERN_ALWAYS_OFF},
    {LED_MODE_FW_UPGRADING, PATTERN_HEART_BEAT, PATTERN_ALWAYS_ON, PATTERN_ALWAYS_OFF},
    {LED_MODE_NORMAL, PATTERN_ALWAYS_OFF, PATTERN_ALWAYS_ON, PATTERN_ALWAYS_OFF},
};
