/*
 * kelbacklight.h - LCD backlight of the control daemon: the level written
 * to the pwm-backlight class device, the user level kept in the
 * configuration file ("BKLPWM"), and the backlight current control switched
 * through the outside configuration program.
 *
 * Callers: the daemon's request-queue handler (meter brightness), the
 * work-mode controller (normal-mode brightness) and the work-hour counter
 * (current control at end of life).
 */
#ifndef KEL_BACKLIGHT_H
#define KEL_BACKLIGHT_H

#include "kelTypes.h"

#define KEL_BKL_BRIGHTNESS_FILE "/sys/class/backlight/pwm-backlight/brightness"
#define KEL_BKL_CONFIG_PROGRAM "/usr/bin/kelconfig"
#define KEL_BKL_ENV_KEY "BKLPWM"
#define KEL_BKL_MAX 100
#define KEL_BKL_HIGH 100
#define KEL_BKL_LOW 25

#ifdef __cplusplus
extern "C" {
#endif

/* Writes `brightness` (0..100) to the backlight device. 1, or -1 when out
 * of range (nothing written, nothing reported) or the device write fails. */
INT32 kelSetBrightness(UINT32 brightness);
/* Stores the user level under "BKLPWM"; does not apply it. Result of
 * kelSetLinuxEnv, or -1 when above 100. */
INT32 kelSaveBrightness(UINT32 brightness);
/* Runs "/usr/bin/kelconfig bklctrl <0|1>". 1, or -1 when it cannot run. */
INT32 kelSetBacklightCurrent(kel_BOOL_t currCtrlOn);
INT32 kelSetBacklightHigh(void);
INT32 kelSetBacklightLow(void);
/* Applies the stored user level; -1 when none is stored. */
INT32 kelResetBacklight(void);

#ifdef __cplusplus
}
#endif

#endif /* KEL_BACKLIGHT_H */
