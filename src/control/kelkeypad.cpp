/*
 * kelkeypad.cpp - keypad input of the control daemon.
 *
 * Owns the key map: each key's held state and the progress of the one
 * two-key combination (KEY_2 + KEY_3, reported as KELFB_KEY_COMB_0 when the
 * first of the two is released while the other is held). Every key event
 * goes to the app client on the T queue, and to the factory service on the
 * I queue as well in factory test mode. Only the daemon's main thread calls
 * in here, so the map needs no lock.
 */
#include "kelkeypad.h"

#include <fcntl.h>
#include <string.h>
#include <unistd.h>

#include "kel.h"
#include "kelerror.h"

/* Start state: every key released, no combination in progress. */
#define KEL_KEYMAP_START                                                                                    \
    {                                                                                                       \
        {0, KELFB_KEY_1, KELFB_KEY_TYPE_SINGLE, KELFB_KEY_1, KELFB_KEY_1, KELFB_KEY_RELEASE, KEL_FALSE},   \
        {1, KELFB_KEY_2, KELFB_KEY_TYPE_SINGLE, KELFB_KEY_2, KELFB_KEY_2, KELFB_KEY_RELEASE, KEL_FALSE},   \
        {2, KELFB_KEY_3, KELFB_KEY_TYPE_SINGLE, KELFB_KEY_3, KELFB_KEY_3, KELFB_KEY_RELEASE, KEL_FALSE},   \
        {3, KELFB_KEY_4, KELFB_KEY_TYPE_SINGLE, KELFB_KEY_4, KELFB_KEY_4, KELFB_KEY_RELEASE, KEL_FALSE},   \
        {4, KELFB_KEY_HOME, KELFB_KEY_TYPE_SINGLE, KELFB_KEY_HOME, KELFB_KEY_HOME, KELFB_KEY_RELEASE,       \
         KEL_FALSE},                                                                                        \
        {5, KELFB_KEY_COMB_0, KELFB_KEY_TYPE_COMBINE, KELFB_KEY_2, KELFB_KEY_3, KELFB_KEY_RELEASE, KEL_FALSE}, \
    }

static const KELFB_KeyMap_t keyMapStart[KEL_KEYMAP_ROWS] = KEL_KEYMAP_START;

KELFB_KeyMap_t kelKeyMap[KEL_KEYMAP_ROWS] = KEL_KEYMAP_START;

void kelKeyPadResetMap(void)
{
    memcpy(kelKeyMap, keyMapStart, sizeof(kelKeyMap));
}

INT32 kelKeyDevInit(KEL_DEVICE_INFO *devInfo)
{
    if (devInfo == NULL) {
        return -1;
    }
    char path[KEL_PATH_BUF_SIZE];
    if (kelRootPath(KEL_KEYPAD_DEVICE, path, sizeof(path)) <= 0) {
        return -1;
    }
    int fd = open(path, O_RDWR);
    if (fd < 0) {
        return -1;
    }
    devInfo->fd_kbd = fd;
    return 1;
}

INT32 kelKeyDevClose(KEL_DEVICE_INFO *devInfo)
{
    if (devInfo == NULL) {
        return -1;
    }
    int ret = close(devInfo->fd_kbd);
    devInfo->fd_kbd = -1;
    return ret;
}

/* Row of a raw input code, compared as an integer so that a code outside
 * the enumeration never becomes a KELFB_keyCode_t. */
static INT32 keyRowByCode(INT32 code)
{
    for (INT32 i = 0; i < KEL_KEYMAP_ROWS; i++) {
        if ((INT32)kelKeyMap[i].keyCode == code) {
            return i;
        }
    }
    return -1;
}

INT32 kelKeyPadGetIDbyCode(KELFB_keyCode_t keyCode)
{
    return keyRowByCode((INT32)keyCode);
}

INT32 kelKeyPadGetCombKeyID(KELFB_keyCode_t keyCode)
{
    for (INT32 i = 0; i < KEL_KEYMAP_ROWS; i++) {
        const KELFB_KeyMap_t *row = &kelKeyMap[i];
        if (row->keyType != KELFB_KEY_TYPE_COMBINE) {
            continue;
        }
        KELFB_keyCode_t partner;
        if (row->combKeyOne == keyCode) {
            partner = row->combKeyTwo;
        } else if (row->combKeyTwo == keyCode) {
            partner = row->combKeyOne;
        } else {
            continue;
        }
        INT32 partnerRow = kelKeyPadGetIDbyCode(partner);
        if (partnerRow < 0) {
            return -1;
        }
        if (kelKeyMap[partnerRow].keyAction == KELFB_KEY_PRESS) {
            /* The partner's coming release belongs to this combination. */
            kelKeyMap[partnerRow].bCombKeyActive = KEL_TRUE;
            return i;
        }
    }
    return -1;
}

INT32 kelKeyPadReleaseCombKey(KELFB_keyCode_t keyCode)
{
    for (INT32 i = 0; i < KEL_KEYMAP_ROWS; i++) {
        KELFB_KeyMap_t *row = &kelKeyMap[i];
        if (row->keyType != KELFB_KEY_TYPE_COMBINE || row->bCombKeyActive != KEL_TRUE) {
            continue;
        }
        if (row->combKeyOne == keyCode || row->combKeyTwo == keyCode) {
            row->bCombKeyActive = KEL_FALSE;
            return i;
        }
    }
    return -1;
}

INT32 kelKeyPadEventSend(KELFB_keyEvent_t *keyEvent, kel_MsgQue_ID_t kelMsgQID)
{
    if (keyEvent == NULL) {
        return -1;
    }
    INT32 qid = -1;
    if (kelAppMsgQueGetID(&qid, kelMsgQID) < 0) {
        kelLogError(KEL_TASK_CONTROL, KEL_FILEID_KEYPAD, __LINE__, KEL_FW_MSGQ_GETID_ERROR);
        return -1;
    }
    kel_MsgQue_Tx_t msg;
    memset(&msg, 0, sizeof(msg));
    msg.msgType = KEL_MSG_TYPE_TX;
    msg.cmdType = KEL_MSGQ_TX_KEYEVENT;
    memcpy(&msg.data.kelKeyEvent, keyEvent, sizeof(*keyEvent));
    if (kelAppMsgQueDataSend(qid, KEL_MSG_TYPE_TX, &msg) < 0) {
        return -1;
    }
    return 1;
}

/* Applies a release to the combination state. 1 when `event` is to be
 * posted (its code possibly replaced by the combination's), 0 when the
 * release belongs to a combination already reported. */
static INT32 keyHandleRelease(INT32 row, KELFB_keyEvent_t *event)
{
    KELFB_keyCode_t code = kelKeyMap[row].keyCode;
    if (kelKeyMap[row].bCombKeyActive == KEL_TRUE) {
        kelKeyMap[row].bCombKeyActive = KEL_FALSE;
        kelKeyPadReleaseCombKey(code);
        return 0;
    }
    INT32 comb = kelKeyPadGetCombKeyID(code);
    if (comb <= 0) {
        return 1;
    }
    if (kelKeyMap[comb].bCombKeyActive == KEL_TRUE) {
        return 0;
    }
    kelKeyMap[comb].bCombKeyActive = KEL_TRUE;
    event->keyCode = kelKeyMap[comb].keyCode;
    return 1;
}

INT32 kelKeyPadEventHandle(int keyPadId, kel_WorkMode_t workMode)
{
    kel_InputEvent_t input;
    memset(&input, 0, sizeof(input));
    ssize_t got = read(keyPadId, &input, sizeof(input));
    if (got != (ssize_t)sizeof(input)) {
        kelLogError(KEL_TASK_CONTROL, KEL_FILEID_KEYPAD, __LINE__, KEL_HW_KBD_READ_ERROR);
        return -1;
    }
    if (input.type != KEL_INPUT_EV_KEY) {
        return 1;
    }
    INT32 row = keyRowByCode((INT32)input.code);
    if (row < 0) {
        return -1;
    }
    KELFB_keyEvent_t event;
    event.keyCode = (INT32)input.code;
    event.keyAction = (input.value != 0) ? KELFB_KEY_PRESS : KELFB_KEY_RELEASE;
    kelKeyMap[row].keyAction = (input.value != 0) ? KELFB_KEY_PRESS : KELFB_KEY_RELEASE;

    if (event.keyAction == KELFB_KEY_RELEASE && keyHandleRelease(row, &event) == 0) {
        return 0;
    }
    if (kelKeyPadEventSend(&event, KEL_MSG_ID_TX) < 0) {
        kelLogError(KEL_TASK_CONTROL, KEL_FILEID_KEYPAD, __LINE__, KEL_FW_MSGQ_SEND_ERROR);
    }
    if (workMode == KEL_MODE_INDUSTRY && kelKeyPadEventSend(&event, KEL_MSG_ID_INDUSTRY) < 0) {
        kelLogError(KEL_TASK_CONTROL, KEL_FILEID_KEYPAD, __LINE__, KEL_FW_MSGQ_SEND_ERROR);
    }
    return 1;
}
