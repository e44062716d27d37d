/*
 * kelkeypad.h - keypad input of the control daemon: reads the input device
 * "/dev/input/event0", recognises the KEY_2 + KEY_3 combination, and posts
 * each key event on the T queue (and on the I queue in factory test mode).
 * Only the daemon's main thread calls in here.
 */
#ifndef KEL_KEYPAD_H
#define KEL_KEYPAD_H

#include "kelTypes.h"
#include "kelmsg.h"

#define KEL_KEYPAD_DEVICE "/dev/input/event0"
#define KEL_KEYMAP_ROWS 6
#define KEL_INPUT_EV_KEY 1

typedef enum { KELFB_KEY_TYPE_SINGLE = 0, KELFB_KEY_TYPE_COMBINE = 1 } KELFB_keyType_t;

typedef struct {
    INT32 keyIndex;
    KELFB_keyCode_t keyCode;
    KELFB_keyType_t keyType;
    KELFB_keyCode_t combKeyOne;
    KELFB_keyCode_t combKeyTwo;
    KELFB_keyAction_t keyAction;
    kel_BOOL_t bCombKeyActive;
} KELFB_KeyMap_t;

/* The input record as the board's 32-bit kernel delivers it. The host's
 * struct input_event differs in size (24 bytes on x86-64), so the layout is
 * fixed here instead. */
typedef struct KEL_PACKED {
    UINT32 tvSec;
    UINT32 tvUsec;
    UINT16 type;
    UINT16 code;
    INT32 value;
} kel_InputEvent_t;

static_assert(sizeof(kel_InputEvent_t) == 16, "board input record");
static_assert(offsetof(kel_InputEvent_t, tvUsec) == 4, "board input record");
static_assert(offsetof(kel_InputEvent_t, type) == 8, "board input record");
static_assert(offsetof(kel_InputEvent_t, code) == 10, "board input record");
static_assert(offsetof(kel_InputEvent_t, value) == 12, "board input record");

#ifdef __cplusplus
extern "C" {
#endif

extern KELFB_KeyMap_t kelKeyMap[KEL_KEYMAP_ROWS];

INT32 kelKeyDevInit(KEL_DEVICE_INFO *devInfo);
INT32 kelKeyDevClose(KEL_DEVICE_INFO *devInfo);
INT32 kelKeyPadGetIDbyCode(KELFB_keyCode_t keyCode);
INT32 kelKeyPadGetCombKeyID(KELFB_keyCode_t keyCode);
INT32 kelKeyPadReleaseCombKey(KELFB_keyCode_t keyCode);
INT32 kelKeyPadEventSend(KELFB_keyEvent_t *keyEvent, kel_MsgQue_ID_t kelMsgQID);
/* Reads one record from `keyPadId` and posts what it means. 1 when posted
 * or not a key event, 0 when a release was swallowed, -1 on a read error
 * or a code outside the map. */
INT32 kelKeyPadEventHandle(int keyPadId, kel_WorkMode_t workMode);
/* Puts the key map back to its start state (all released, no combination). */
void kelKeyPadResetMap(void);

#ifdef __cplusplus
}
#endif

#endif /* KEL_KEYPAD_H */
