/*
 * kelbacklight.cpp - LCD backlight of the control daemon.
 *
 * Owns the pwm-backlight level file and the "BKLPWM" configuration key.
 * Called from the request-queue thread and the work-mode thread without a
 * lock: every level change is one self-contained open, write and close.
 */
#include "kelbacklight.h"

#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "kel.h"
#include "kelerror.h"

#define KEL_BKL_TEXT_SIZE 16

INT32 kelSetBrightness(UINT32 brightness)
{
    if (brightness > KEL_BKL_MAX) {
        return -1;
    }
    char text[KEL_BKL_TEXT_SIZE];
    memset(text, 0, sizeof(text));
    int len = snprintf(text, sizeof(text), "%d", (int)brightness);

    char path[KEL_PATH_BUF_SIZE];
    int fd = -1;
    if (kelRootPath(KEL_BKL_BRIGHTNESS_FILE, path, sizeof(path)) > 0) {
        /* O_TRUNC: harmless on sysfs, and keeps a stand-in regular file
         * from keeping digits of a longer earlier value. */
        fd = open(path, O_WRONLY | O_TRUNC);
    }
    if (fd < 0) {
        kelLogError(KEL_TASK_CONTROL, KEL_FILEID_BACKLIGHT, __LINE__, KEL_HW_LCD_BKL_OPEN_ERROR);
        return -1;
    }
    ssize_t written = write(fd, text, (size_t)len);
    close(fd);
    if (written <= 0) {
        kelLogError(KEL_TASK_CONTROL, KEL_FILEID_BACKLIGHT, __LINE__, KEL_HW_LCD_BKL_WRITE_ERROR);
        return -1;
    }
    return 1;
}

INT32 kelSaveBrightness(UINT32 brightness)
{
    if (brightness > KEL_BKL_MAX) {
        return -1;
    }
    char text[KEL_BKL_TEXT_SIZE];
    memset(text, 0, sizeof(text));
    snprintf(text, sizeof(text), "%d", (int)brightness);
    return kelSetLinuxEnv(KEL_BKL_ENV_KEY, text);
}

INT32 kelSetBacklightCurrent(kel_BOOL_t currCtrlOn)
{
    char program[KEL_PATH_BUF_SIZE];
    char cmd[KEL_SHELL_CMD_SIZE];
    memset(cmd, 0, sizeof(cmd));

    INT32 ret = -1;
    if (kelShellProgram(KEL_BKL_CONFIG_PROGRAM, program, sizeof(program)) > 0) {
        int n = snprintf(cmd, sizeof(cmd), "%s bklctrl %d", program, currCtrlOn == KEL_TRUE ? 1 : 0);
        if (n > 0 && (size_t)n < sizeof(cmd)) {
            ret = kelExecSysCmd(cmd);
        }
    }
    if (ret < 0) {
        kelLogError(KEL_TASK_CONTROL, KEL_FILEID_BACKLIGHT, __LINE__, KEL_HW_LCD_BKL_CTRL_FAIL);
        return -1;
    }
    return 1;
}

INT32 kelSetBacklightHigh(void)
{
    return kelSetBrightness(KEL_BKL_HIGH);
}

INT32 kelSetBacklightLow(void)
{
    return kelSetBrightness(KEL_BKL_LOW);
}

INT32 kelResetBacklight(void)
{
    /* kelGetLinuxEnv may fill a whole configuration value. */
    char text[KEL_ENV_VALUE_SIZE + 1];
    memset(text, 0, sizeof(text));
    if (kelGetLinuxEnv(KEL_BKL_ENV_KEY, text) <= 0 || text[0] == '\0') {
        return -1;
    }
    /* Only a plain decimal number is a level; anything else would turn
     * into 0 and darken the screen. */
    char *end = NULL;
    unsigned long level = strtoul(text, &end, 10);
    if (end == text || *end != '\0' || text[0] == '-' || text[0] == '+' || level > KEL_BKL_MAX) {
        return -1;
    }
    return kelSetBrightness((UINT32)level);
}
