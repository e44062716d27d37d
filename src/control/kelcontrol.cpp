/*
 * kelcontrol.cpp - the control daemon's main and its two queue consumers.
 *
 * kelcontrol owns the hardware. Other programs send requests on the R queue
 * (brightness, clock, LEDs, temperature, work mode, LCD type) and frames
 * through the shared segment announced on the F queue; this module applies
 * them. main starts the worker threads (requests, frames, LEDs, error log,
 * work mode) and then loops for ever over the keypad, the 10 s temperature
 * check (keltemp) and the 8-hour housekeeping.
 */
#include "kelcontrol.h"

#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/select.h>
#include <sys/shm.h>
#include <time.h>

#include "kel.h"
#include "kelbacklight.h"
#include "kelctlstate.h"
#include "kelerrlog.h"
#include "kelerror.h"
#include "kelkeypad.h"
#include "kelledctrl.h"
#include "kelmodectrl.h"
#include "kelmsg.h"
#include "keltemp.h"

#define CTL_LOOP_PAUSE_MS 50
#define CTL_KEYPAD_WAIT_US 500000
#define CTL_TEMP_PERIOD_MS 9999u
#define CTL_HOUSEKEEPING_PERIOD_MS 28799999u
#define CTL_HOURS_PER_HOUSEKEEPING 8
#define CTL_BACKLIGHT_END_OF_LIFE_H 122640u
#define CTL_MAX_BRIGHTNESS 100u
#define CTL_DEFAULT_BRIGHTNESS 100u
#define CTL_SAVE_RTC_SCRIPT "/etc/init.d/save-rtc.sh"
#define CTL_FRAME_TRIES 20     /* takes of a frame a writer is busy with */
#define CTL_FRAME_RETRY_MS 1   /* pause between them */

#define CTL_REPORT(code) kelLogError(KEL_TASK_CONTROL, KEL_FILEID_CONTROL, __LINE__, (code))

static INT32 ctlFrameSize(void)
{
    return (INT32)di.width * (INT32)di.height * (INT32)di.bpp / 8;
}

INT32 kelCtrlSetLcdType(kel_LcdType_t type)
{
    char text[KEL_ENV_VALUE_SIZE];
    snprintf(text, sizeof(text), "%d", (int)type);
    return kelSetLinuxEnv("LCD", text);
}

INT32 kelCtrlUpdateDateTime(void)
{
    char cmd[KEL_SHELL_CMD_SIZE];
    if (kelShellProgram(CTL_SAVE_RTC_SCRIPT, cmd, sizeof(cmd)) < 0) {
        return -1;
    }
    return kelExecSysCmd(cmd);
}

void kelCtrlUpdateLifeTime(UINT32 hours)
{
    char text[KEL_ENV_VALUE_SIZE + 1];
    memset(text, 0, sizeof(text));
    if (kelGetLinuxEnv("WORKHOUR", text) < 0) {
        memset(text, 0, sizeof(text));
        text[0] = '0';
        CTL_REPORT(KEL_FW_GET_ENV_ERROR);
    }
    UINT32 total = (UINT32)strtoul(text, NULL, 10) + hours;
    char out[KEL_ENV_VALUE_SIZE];
    snprintf(out, sizeof(out), "%d", (int)total);
    if (kelSetLinuxEnv("WORKHOUR", out) < 0) {
        CTL_REPORT(KEL_FW_SET_ENV_ERROR);
    }
    if (total >= CTL_BACKLIGHT_END_OF_LIFE_H) {
        CTL_REPORT(KEL_HW_LCD_BRIGHTNESS_LOW);
        kelSetBacklightCurrent(KEL_TRUE);
    }
}

INT32 kelCtrlUpdateScreen(const UINT8 *frame, INT32 length)
{
    if (di.fbmmap == NULL || frame == NULL || length < 0) {
        CTL_REPORT(KEL_HW_FB_MMAP_ERROR);
        return -1;
    }
    memcpy(di.fbmmap, frame, (size_t)length);
    return 1;
}

INT32 kelCtrlSetTime(UINT64 utcSeconds)
{
    return kelSetRTCTime(utcSeconds);
}

INT32 kelCtrlLogTemperature(INT32 temperature)
{
    return kelLogTempToFile(temperature);
}

/* Applies one request; commands the daemon does not know are dropped. */
void kelCtrlDispatchRequest(const kel_MsgQue_Rx_t *msg)
{
    kel_WorkMode_t mode = (kel_WorkMode_t)KEL_LOAD(di.workMode);
    switch (msg->cmdType) {
    case KEL_MSGQ_RX_BRIGHTNESS: {
        UINT32 brightness = msg->data.brightnessData.brightness;
        if (brightness > CTL_MAX_BRIGHTNESS) {
            break;
        }
        kelSetBrightness(brightness);
        if (mode == KEL_MODE_NORMAL) {
            KEL_STORE(di.kelBrightness, brightness);
        }
        break;
    }
    case KEL_MSGQ_RX_TIME:
        kelCtrlSetTime(msg->data.timeData.unixTime);
        break;
    case KEL_MSGQ_RX_STATUS_LED: {
        KELNS_patternData_t pattern = msg->data.statusLedData.pattern;
        KELNS_LEDColor_t colour = (KELNS_LEDColor_t)msg->data.statusLedData.colour;
        if (mode == KEL_MODE_NORMAL) {
            kelBackupStatusLEDPattern(colour, &pattern);
        }
        if (mode != KEL_MODE_FW_UPGRADING) {
            kelSetStatusLED(colour, &pattern);
        }
        break;
    }
    case KEL_MSGQ_RX_ALARM_LED: {
        KELNS_patternData_t pattern = msg->data.alarmLedData.pattern;
        if (mode == KEL_MODE_NORMAL) {
            kelBackupAlarmLEDPattern(&pattern);
        }
        if (mode != KEL_MODE_FW_UPGRADING) {
            kelSetAlarmLED(&pattern);
        }
        break;
    }
    case KEL_MSGQ_RX_GET_TEMP: {
        INT32 value = 0;
        if (kelGetTemperature(&value) > 0) {
            kelCtrlSendTemperature(value, KEL_MSG_ID_INDUSTRY);
        }
        break;
    }
    case KEL_MSGQ_RX_OPT_MODE:
        kelWorkModeChange(&di, (kel_WorkMode_t)msg->data.kelWorkMode);
        break;
    case KEL_MSGQ_RX_LCDTYPE:
        kelCtrlSetLcdType((kel_LcdType_t)msg->data.kelLcdType);
        break;
    default:
        break;
    }
}

void *kelRxMsgQueHandleThread(void *arg)
{
    (void)arg;
    for (;;) {
        kelSleep(CTL_LOOP_PAUSE_MS);
        INT32 qid = -1;
        if (kelAppMsgQueGetID(&qid, KEL_MSG_ID_RX) < 0) {
            CTL_REPORT(KEL_FW_MSGQ_GETID_ERROR);
            continue;
        }
        for (;;) {
            kel_MsgQue_Rx_t msg;
            INT32 got = kelAppMsgQueRecvRecord(qid, KEL_MSG_TYPE_RX, &msg, sizeof(msg));
            if (got < 0) {
                msgctl(qid, IPC_RMID, NULL);
                CTL_REPORT(KEL_FW_MSGQ_RECV_ERROR);
                break;
            }
            if (got == 0) {
                CTL_REPORT(KEL_FW_MSGQ_RECV_ERROR); /* a record not meant for us, dropped */
                continue;
            }
            if (KEL_LOAD(bAppClientRunning) == KEL_FALSE) {
                KEL_STORE(bAppClientRunning, KEL_TRUE);
            }
            kelCtrlDispatchRequest(&msg);
        }
    }
    return NULL;
}

/* The frame the daemon shows is copied out of the segment here first and
 * reaches the screen only when no writer touched it during that copy. */
static UINT8 ctlFrameCopy[KEL_FB_FRAME_SIZE];

/* Shows the new frame of the segment, if there is one. A frame a writer is
 * still busy with is taken again after a short pause: after that it is left
 * to that writer's own notice. 1, or -1 when the screen failed. */
static INT32 ctlShowFrame(kel_ShMem_FB_t *shm)
{
    INT32 size = ctlFrameSize();
    if (size < 0 || size > KEL_FB_FRAME_SIZE) {
        size = KEL_FB_FRAME_SIZE;
    }
    INT32 taken = -1;
    for (INT32 i = 0; i < CTL_FRAME_TRIES && taken < 0; i++) {
        if (i > 0) {
            kelSleep(CTL_FRAME_RETRY_MS);
        }
        taken = kelFBShareMemTake(shm, ctlFrameCopy, size);
    }
    if (taken <= 0) {
        return 1;
    }
    if (kelCtrlUpdateScreen(ctlFrameCopy, size) < 0) {
        /* Not shown after all: the next notice after the reopen shows it. */
        KEL_STORE(shm->bRead, (INT32)KEL_FALSE);
        return -1;
    }
    return 1;
}

/* Serves frame-ready notices on one attachment of the segment. Returns when
 * the queue or the screen failed; the caller detaches and starts over. */
static void ctlServeFrames(INT32 qid, kel_ShMem_FB_t *shm)
{
    for (;;) {
        kel_MsgQue_FB_t msg;
        INT32 got = kelAppMsgQueRecvRecord(qid, KEL_MSG_TYPE_FB, &msg, sizeof(msg));
        if (got < 0) {
            msgctl(qid, IPC_RMID, NULL);
            CTL_REPORT(KEL_FW_MSGQ_RECV_ERROR);
            return;
        }
        if (got == 0) {
            CTL_REPORT(KEL_FW_MSGQ_RECV_ERROR); /* a record not meant for us, dropped */
            continue;
        }
        if (msg.appTaskID == KEL_TASK_FB_CLIENT) {
            if (KEL_LOAD(bAppClientRunning) == KEL_FALSE) {
                KEL_STORE(bAppClientRunning, KEL_TRUE);
            }
            if (KEL_LOAD(di.workMode) != KEL_MODE_NORMAL) {
                continue;
            }
        }
        if (msg.bScrFinished != KEL_TRUE) {
            continue;
        }
        if (ctlShowFrame(shm) < 0) {
            kelFbDevClose(&di);
            CTL_REPORT(KEL_FW_CTRL_SCR_UPDATE_FAIL);
            return;
        }
    }
}

void *kelFbMsgQueHandleThread(void *arg)
{
    (void)arg;
    for (;;) {
        kelSleep(CTL_LOOP_PAUSE_MS);
        /* A screen that was not there when the daemon started has no
         * geometry yet; read it again, or it could never be mapped. */
        if (di.fd_fb == -1 && ctlFrameSize() <= 0) {
            kelGetFbDevInfo(&di);
        }
        if (di.fd_fb == -1 && kelFbDevInit(&di) < 0) {
            kelFbDevClose(&di);
            CTL_REPORT(KEL_HW_FB_INIT_ERROR);
            continue;
        }
        INT32 qid = -1;
        if (kelAppMsgQueGetID(&qid, KEL_MSG_ID_FB) < 0) {
            CTL_REPORT(KEL_FW_MSGQ_GETID_ERROR);
            continue;
        }
        INT32 shmid = -1;
        if (kelAppShareMemGetID(&shmid, KEL_SHM_ID_FB) < 0) {
            continue;
        }
        void *addr = shmat(shmid, NULL, 0);
        if (addr == (void *)-1) {
            CTL_REPORT(KEL_FW_SHM_MAP_ERROR);
            continue;
        }
        kel_ShMem_FB_t *shm = (kel_ShMem_FB_t *)addr;
        KEL_STORE(shm->bRead, (INT32)KEL_TRUE);
        KEL_STORE(shm->bWriting, (INT32)KEL_FALSE);
        /* Publish the mode the daemon applies, not "normal": a mode accepted
         * before this attach (or before a re-attach) must stay in force for
         * the frame writers that consult the segment. */
        kelModePublishCurrent(&di, shm);
        ctlServeFrames(qid, shm);
        if (shmdt(addr) < 0) {
            shmctl(shmid, IPC_RMID, NULL);
        }
    }
    return NULL;
}

static INT32 ctlStartThread(void *(*body)(void *), void *arg)
{
    pthread_attr_t attr;
    if (pthread_attr_init(&attr) != 0) {
        return -1;
    }
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    pthread_t tid;
    int rc = pthread_create(&tid, &attr, body, arg);
    pthread_attr_destroy(&attr);
    return rc == 0 ? 1 : -1;
}

/* One wait of at most 500 ms for the keypad, then its events. */
static void ctlWaitKeypad(void)
{
    INT32 fd = di.fd_kbd;
    struct timeval tv;
    tv.tv_sec = 0;
    tv.tv_usec = CTL_KEYPAD_WAIT_US;
    if (fd < 0 || fd >= FD_SETSIZE) {
        select(0, NULL, NULL, NULL, &tv);
        return;
    }
    fd_set rfds;
    FD_ZERO(&rfds);
    FD_SET(fd, &rfds);
    int rc = select(fd + 1, &rfds, NULL, NULL, &tv);
    if (rc < 0) {
        CTL_REPORT(KEL_COMM_SELECT_ERROR);
        return;
    }
    if (rc > 0 && FD_ISSET(fd, &rfds)) {
        kelKeyPadEventHandle(fd, (kel_WorkMode_t)KEL_LOAD(di.workMode));
    }
}

INT32 kelControlMain(void)
{
    /* kelInitDevice stops early on a bad configuration (a stored brightness
     * above 100, an unwritable configuration file), before it sets the role
     * and marks the screen and keypad closed, and with no brightness filled
     * in. The daemon runs on regardless, so preset those: a zero role is the
     * server's and would map the screen read-only (the first frame would
     * crash the daemon), descriptor 0 (standard input) must not pass for the
     * keypad or the screen, and a return to normal mode must not darken the
     * backlight. */
    di.type = KEL_DEVICE_CLIENT;
    di.fd_fb = -1;
    di.fd_kbd = -1;
    di.socket = -1;
    di.kelBrightness = CTL_DEFAULT_BRIGHTNESS;
    kelInitDevice(&di, KEL_DEVICE_CLIENT, 0, KEL_NAME_CONTROL);
    if (kelKeyDevInit(&di) < 0) {
        CTL_REPORT(KEL_HW_KBD_INIT_ERROR);
    }
    if (ctlStartThread(kelRxMsgQueHandleThread, NULL) < 0 ||
        ctlStartThread(kelFbMsgQueHandleThread, NULL) < 0 ||
        ctlStartThread(kelLEDControlHandleThread, NULL) < 0) {
        CTL_REPORT(KEL_FW_PTHREAD_ERROR);
        return -1;
    }
    ctlStartThread(kelErrorLogHandleThread, NULL);
    if (ctlStartThread(kelWorkModeControlHandleThread, &di) < 0) {
        CTL_REPORT(KEL_FW_PTHREAD_ERROR);
        return -1;
    }

    UINT32 tTempCheckTick = 0;
    UINT32 tRtcTick = 0;
    for (;;) {
        kelSleep(CTL_LOOP_PAUSE_MS);
        if (kelGetTick() - tTempCheckTick > CTL_TEMP_PERIOD_MS) {
            kelCtrlTempHandle();
            tTempCheckTick = kelGetTick();
        }
        if (kelGetTick() - tRtcTick > CTL_HOUSEKEEPING_PERIOD_MS) {
            if (tRtcTick != 0) {
                kelCtrlUpdateDateTime();
                kelCtrlUpdateLifeTime(CTL_HOURS_PER_HOUSEKEEPING);
            }
            tRtcTick = kelGetTick();
        }
        ctlWaitKeypad();
    }
    return -1;
}
