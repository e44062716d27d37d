/*
 * kelmodectrl.cpp - the daemon's work mode: the table of allowed changes,
 * publication of the mode in the shared frame buffer segment, and the
 * work-mode thread that shows each mode's indication.
 *
 * Talks to: the request-queue handler (kelWorkModeChange, another thread),
 * the LED controller and the backlight (indications), the pictogram module
 * (screens), the shared segment (kelWorkMode field).
 *
 * The change flag and the mode are shared with the request-queue thread.
 * The thread clears the flag before it reads the mode and also compares the
 * mode with the one it last showed, so a change accepted while an
 * indication is running is never lost.
 */
#include "kelmodectrl.h"

#include <pthread.h>
#include <string.h>
#include <sys/ipc.h>
#include <sys/shm.h>

#include "kel.h"
#include "kelbacklight.h"
#include "kelerror.h"
#include "kelledctrl.h"
#include "kelmsg.h"

#define KEL_MODE_THREAD_PAUSE_MS 50
#define KEL_MODE_UPGRADING_STEP_MS 1000

kel_BOOL_t bWorkModeChanged = KEL_FALSE;

/* Work-mode thread only: the mode whose indication ran last, and the half
 * each blinking indication showed last. */
static kel_WorkMode_t shownMode = KEL_MODE_NORMAL;
static kel_BOOL_t bErrorLedOn = KEL_FALSE;
static kel_BOOL_t bUpgradingLedOn = KEL_FALSE;

static void (*modeSleep)(INT32 ms) = kelSleep;

void kelModeSetSleep(void (*sleepFn)(INT32 ms))
{
    modeSleep = sleepFn != NULL ? sleepFn : kelSleep;
}

void kelModeResetState(void)
{
    KEL_STORE(bWorkModeChanged, KEL_FALSE);
    shownMode = KEL_MODE_NORMAL;
    bErrorLedOn = KEL_FALSE;
    bUpgradingLedOn = KEL_FALSE;
}

/* An enumeration argument as the 32-bit word it travels in: requests come
 * from a queue and may hold any value, which must not be used as the enum. */
/* Held while a mode is published and taken over as the daemon's mode, and
 * while the frame thread republishes it on attach: either order leaves the
 * segment showing the daemon's mode. */
static pthread_mutex_t kelModePublishLock = PTHREAD_MUTEX_INITIALIZER;

static INT32 kelModeWord(const void *arg)
{
    INT32 v;
    memcpy(&v, arg, sizeof(v));
    return v;
}

/* 1 when the change from `current` to `requested` is allowed. */
static int kelModeChangeAllowed(kel_WorkMode_t current, kel_WorkMode_t requested)
{
    switch (current) {
    case KEL_MODE_NORMAL:
    case KEL_MODE_ERROR:
        return 1;
    case KEL_MODE_FW_UPGRADE:
        return requested == KEL_MODE_FW_UPGRADING || requested == KEL_MODE_INDUSTRY;
    case KEL_MODE_FW_UPGRADING:
    case KEL_MODE_INDUSTRY:
        return requested == KEL_MODE_NORMAL;
    default:
        return 0;
    }
}

INT32 kelWorkModeChange(KEL_DEVICE_INFO *devInfo, kel_WorkMode_t workMode)
{
    if (devInfo == NULL) {
        return 1;
    }
    /* Values outside the five modes are refused: they would have no
     * indication and would block every later change. */
    INT32 requested = kelModeWord(&workMode);
    if (requested < KEL_MODE_NORMAL || requested >= KEL_NUM_OF_MODES) {
        return 1;
    }
    kel_WorkMode_t current = KEL_LOAD(devInfo->workMode);
    if (workMode == current || !kelModeChangeAllowed(current, workMode)) {
        return 1;
    }
    pthread_mutex_lock(&kelModePublishLock);
    if (kelModeSet(workMode) > 0) {
        KEL_STORE(devInfo->workMode, workMode);
        KEL_STORE(bWorkModeChanged, KEL_TRUE);
    }
    pthread_mutex_unlock(&kelModePublishLock);
    return 1;
}

void kelModePublishCurrent(const KEL_DEVICE_INFO *devInfo, kel_ShMem_FB_t *seg)
{
    if (devInfo == NULL || seg == NULL) {
        return;
    }
    pthread_mutex_lock(&kelModePublishLock);
    KEL_STORE(seg->kelWorkMode, (INT32)KEL_LOAD(devInfo->workMode));
    pthread_mutex_unlock(&kelModePublishLock);
}

INT32 kelModeSet(kel_WorkMode_t workMode)
{
    INT32 shmId = -1;
    if (kelAppShareMemGetID(&shmId, KEL_SHM_ID_FB) < 0) {
        (void)kelLogError(KEL_TASK_CONTROL, KEL_FILEID_MODECTRL, __LINE__, KEL_FW_SHM_GETID_ERROR);
        return -1;
    }
    void *addr = shmat(shmId, NULL, 0);
    if (addr == (void *)-1) {
        (void)kelLogError(KEL_TASK_CONTROL, KEL_FILEID_MODECTRL, __LINE__, KEL_FW_SHM_MAP_ERROR);
        (void)shmctl(shmId, IPC_RMID, NULL);
        return -1;
    }
    kel_ShMem_FB_t *seg = (kel_ShMem_FB_t *)addr;
    KEL_STORE(seg->kelWorkMode, (INT32)workMode);
    if (shmdt(addr) != 0) {
        (void)shmctl(shmId, IPC_RMID, NULL);
        return -1;
    }
    return 1;
}

INT32 kelModePictoDisplay(KEL_DEVICE_INFO *devInfo, kel_PictoType_t pictoType, kel_PictoIndex_t pictoIndex)
{
    if (devInfo == NULL) {
        return -1;
    }
    kel_PictoInfo_t info;
    info.pictoMode = KEL_PICTO_MODE_FULL;
    info.pictoType = pictoType;
    info.pictoLang = devInfo->kelLang;
    info.pictoIndex = pictoIndex;
    /* The frame thread fills in the geometry when the screen appears late. */
    return kelPictogramsDisplay(&info, KEL_LOAD(devInfo->width), KEL_LOAD(devInfo->height),
                                KEL_LOAD(devInfo->bpp));
}

static const KELNS_patternData_t *kelModePattern(KELNS_PatternType_t type)
{
    return &kelLEDPatternMap[type].patternData;
}

INT32 kelModeLedIndication(KELNS_LedIndicationMode_t LedMode)
{
    INT32 row = kelModeWord(&LedMode);
    if (row < 0 || row >= NUM_OF_LED_MODE) {
        return -1;
    }
    const KELNS_ledsModeMap_t *m = &kelLEDModeMap[row];
    if (kelSetStatusLED(KELNS_LED_RED, kelModePattern(m->typeStateLedRed)) < 0) {
        return -1;
    }
    if (kelSetStatusLED(KELNS_LED_GREEN, kelModePattern(m->typeStateLedGreen)) < 0) {
        return -1;
    }
    if (kelSetAlarmLED(kelModePattern(m->typeAlarmLedRed)) < 0) {
        return -1;
    }
    return 1;
}

void kelModeNormalIndication(KEL_DEVICE_INFO *devInfo)
{
    kelRestoreLEDControl();
    if (devInfo != NULL) {
        (void)kelSetBrightness(KEL_LOAD(devInfo->kelBrightness));
    }
}

void kelModeErrorIndication(KEL_DEVICE_INFO *devInfo)
{
    const KELNS_ledsModeMap_t *m = &kelLEDModeMap[LED_MODE_ERROR];
    const KELNS_patternData_t *blink = kelModePattern(m->typeStateLedRed);
    INT32 onTick = (INT32)blink->Cycle * (INT32)blink->Duty / 100;
    INT32 offTick = (INT32)blink->Cycle - onTick;

    (void)kelSetStatusLED(KELNS_LED_GREEN, kelModePattern(m->typeStateLedGreen));
    (void)kelSetAlarmLED(kelModePattern(m->typeAlarmLedRed));
    if (bErrorLedOn == KEL_TRUE) {
        bErrorLedOn = KEL_FALSE;
        (void)kelModePictoDisplay(devInfo, KEL_PICTO_TYPE_ERROR, KEL_PICTO_INDEX_1);
        (void)kelSetStatusLED(KELNS_LED_RED, kelModePattern(PATTERN_ALWAYS_OFF));
        modeSleep(offTick);
    } else {
        bErrorLedOn = KEL_TRUE;
        (void)kelModePictoDisplay(devInfo, KEL_PICTO_TYPE_ERROR, KEL_PICTO_INDEX_0);
        (void)kelSetStatusLED(KELNS_LED_RED, kelModePattern(PATTERN_ALWAYS_ON));
        modeSleep(onTick);
    }
}

void kelModeNeedUpgradeIndication(KEL_DEVICE_INFO *devInfo)
{
    (void)kelModeLedIndication(LED_MODE_FW_UPGRADE);
    (void)kelModePictoDisplay(devInfo, KEL_PICTO_TYPE_UPGRADE, KEL_PICTO_INDEX_0);
}

void kelModeUpgradingIndication(KEL_DEVICE_INFO *devInfo)
{
    (void)kelModeLedIndication(LED_MODE_FW_UPGRADING);
    if (bUpgradingLedOn != KEL_TRUE) {
        bUpgradingLedOn = KEL_TRUE;
        (void)kelModePictoDisplay(devInfo, KEL_PICTO_TYPE_PROGRESS, KEL_PICTO_INDEX_0);
    } else {
        bUpgradingLedOn = KEL_FALSE;
        (void)kelModePictoDisplay(devInfo, KEL_PICTO_TYPE_PROGRESS, KEL_PICTO_INDEX_1);
    }
    modeSleep(KEL_MODE_UPGRADING_STEP_MS);
}

void kelModeIndustryIndication(KEL_DEVICE_INFO *devInfo)
{
    kelCloseAllLED();
    (void)kelModePictoDisplay(devInfo, KEL_PICTO_TYPE_INDUSTRY, KEL_PICTO_INDEX_0);
}

void kelWorkModeControlPass(KEL_DEVICE_INFO *devInfo)
{
    if (devInfo == NULL) {
        return;
    }
    /* Clear first, then read the mode: a change accepted from here on sets
     * the flag again and is seen on the next pass. */
    kel_BOOL_t changed = (kel_BOOL_t)__atomic_exchange_n(&bWorkModeChanged, KEL_FALSE, __ATOMIC_RELAXED);
    kel_WorkMode_t mode = KEL_LOAD(devInfo->workMode);
    if (changed != KEL_TRUE && mode == shownMode) {
        return;
    }
    shownMode = mode;
    switch (mode) {
    case KEL_MODE_NORMAL:
        kelModeNormalIndication(devInfo);
        break;
    case KEL_MODE_ERROR:
        kelModeErrorIndication(devInfo);
        KEL_STORE(bWorkModeChanged, KEL_TRUE);
        break;
    case KEL_MODE_FW_UPGRADE:
        kelModeNeedUpgradeIndication(devInfo);
        break;
    case KEL_MODE_FW_UPGRADING:
        kelModeUpgradingIndication(devInfo);
        KEL_STORE(bWorkModeChanged, KEL_TRUE);
        break;
    case KEL_MODE_INDUSTRY:
        kelModeIndustryIndication(devInfo);
        break;
    default:
        break;
    }
}

void *kelWorkModeControlHandleThread(void *args)
{
    KEL_DEVICE_INFO *devInfo = (KEL_DEVICE_INFO *)args;
    for (;;) {
        kelWorkModeControlPass(devInfo);
        kelSleep(KEL_MODE_THREAD_PAUSE_MS);
    }
    return NULL;
}
