/*
 * kelctlstate.h - process-wide state of the control daemon shared by its
 * threads: the device record and the belief that the app client consumes
 * the T queue. Words read by one thread and written by another go through
 * KEL_LOAD / KEL_STORE.
 */
#ifndef KEL_CTL_STATE_H
#define KEL_CTL_STATE_H

#include "kelTypes.h"

#ifdef __cplusplus
extern "C" {
#endif

/* The daemon's device record; di.workMode is the unit's applied work mode. */
extern KEL_DEVICE_INFO di;
/* KEL_TRUE while the app client is believed to consume the T queue. */
extern kel_BOOL_t bAppClientRunning;
/* Temperature last offered to the app client (thousandths of a degree). */
extern INT32 tempSendValue;
/* kelGetTick time of the last hourly temperature log entry. */
extern UINT32 tTempLogTick;

#ifdef __cplusplus
}
#endif

#endif /* KEL_CTL_STATE_H */
