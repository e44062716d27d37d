/*
 * kelmodectrl.h - the unit's work mode as the control daemon applies it:
 * accepts or refuses change requests, publishes the accepted mode in the
 * shared frame buffer segment, and runs the work-mode thread that shows the
 * mode's own indication (LED patterns and a full-screen pictogram) whenever
 * the meter does not own the screen.
 *
 * Callers: the daemon's request-queue handler (kelWorkModeChange) and the
 * daemon's main (kelWorkModeControlHandleThread with &di).
 */
#ifndef KEL_MODE_CTRL_H
#define KEL_MODE_CTRL_H

#include "kelTypes.h"
#include "kelLedMode.h"
#include "kelmsg.h"
#include "kelpicto.h"

#ifdef __cplusplus
extern "C" {
#endif

/* KEL_TRUE while the current mode's indication is still to be (re)run. */
extern kel_BOOL_t bWorkModeChanged;

INT32 kelWorkModeChange(KEL_DEVICE_INFO *devInfo, kel_WorkMode_t workMode);
INT32 kelModeSet(kel_WorkMode_t workMode);
/* Writes the daemon's current mode into the attached segment `seg` (the
 * frame thread does it on each attach). In step with kelWorkModeChange, so
 * the segment never keeps a mode the daemon has left. */
void kelModePublishCurrent(const KEL_DEVICE_INFO *devInfo, kel_ShMem_FB_t *seg);
/* Work-mode thread body; args is the daemon's KEL_DEVICE_INFO*. */
void *kelWorkModeControlHandleThread(void *args);
INT32 kelModePictoDisplay(KEL_DEVICE_INFO *devInfo, kel_PictoType_t pictoType, kel_PictoIndex_t pictoIndex);
INT32 kelModeLedIndication(KELNS_LedIndicationMode_t LedMode);
void kelModeNormalIndication(KEL_DEVICE_INFO *devInfo);
void kelModeErrorIndication(KEL_DEVICE_INFO *devInfo);
void kelModeNeedUpgradeIndication(KEL_DEVICE_INFO *devInfo);
void kelModeUpgradingIndication(KEL_DEVICE_INFO *devInfo);
void kelModeIndustryIndication(KEL_DEVICE_INFO *devInfo);

/* One pass of the work-mode thread without its closing pause. */
void kelWorkModeControlPass(KEL_DEVICE_INFO *devInfo);
/* Replaces the pause used inside the indications (null restores kelSleep);
 * lets tests step the blinking indications without waiting. */
void kelModeSetSleep(void (*sleepFn)(INT32 ms));
/* Power-on state of the controller: no change pending, both blink halves
 * back to their first half (tests). */
void kelModeResetState(void);

#ifdef __cplusplus
}
#endif

#endif /* KEL_MODE_CTRL_H */
