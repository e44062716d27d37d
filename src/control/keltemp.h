/*
 * keltemp.h - board temperature of the control daemon: the lm75 reading,
 * the hourly temperature log "/kel/log/keltemp.log" with its age and size
 * limits, and the main loop's periodic check that offers changed readings
 * to the app client (T queue) and answers requests on the factory queue.
 *
 * Temperatures are INT32 thousandths of a degree Celsius, as the sensor
 * driver reports them.
 */
#ifndef KEL_TEMP_H
#define KEL_TEMP_H

#include "kelTypes.h"
#include "kelmsg.h"

#define KEL_TEMP_SENSOR_FILE "/sys/bus/i2c/drivers/lm75/3-0048/temp1_input"
#define KEL_LOG_DIR "/kel/log"
#define KEL_TEMP_LOG_NAME "keltemp.log"
/* Oldest record older than this (730 days) trims the log. */
#define KEL_LOG_MAX_PERIOD_S 63071999
/* A log this large (2 MiB) or larger is trimmed. */
#define KEL_LOG_MAX_SIZE 2097152
#define KEL_LOG_TRIM_LINES 50
#define KEL_LOG_TRIM_PAUSE_MS 5000
/* Intervals of the daemon's main loop. */
#define KEL_TEMP_CHECK_PERIOD_MS 9999
#define KEL_TEMP_LOG_PERIOD_MS 3599999

#ifdef __cplusplus
extern "C" {
#endif

/* Reads the sensor into `*temperature`. 1, or -1. */
INT32 kelGetTemperature(INT32 *temperature);
/* Appends one record "YYYYMMDD-hhmmss: t.t" (UTC now) to the log, trimming
 * it first when over age or size. 1, or -1. */
INT32 kelLogTempToFile(INT32 temperature);
/* Posts `temperature` on the queue `queueLetter` (KEL_MSG_ID_TX or
 * KEL_MSG_ID_INDUSTRY) as a temperature event. 1, or -1 (reported). */
INT32 kelCtrlSendTemperature(INT32 temperature, kel_MsgQue_ID_t queueLetter);
/* One temperature check of the daemon's main loop: read, offer a changed
 * value to the app client while it is believed present, log once an hour. */
void kelCtrlTempHandle(void);

/* Test hook: pause after each log trim (KEL_LOG_TRIM_PAUSE_MS by default). */
void kelTempSetTrimPause(INT32 ms);

#ifdef __cplusplus
}
#endif

#endif /* KEL_TEMP_H */
