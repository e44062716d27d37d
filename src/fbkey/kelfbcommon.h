/*
 * kelfbcommon.h - the screen-and-key link to the meter (TCP port 1234): the
 * frame records, the frame length of each command, and the framed send and
 * receive. The meter sends the screen as rectangles of pixels and a
 * screen-finished mark; the unit announces its display with a data request
 * and returns key events. The link thread lives in kelfbclient.
 */
#ifndef KEL_FB_COMMON_H
#define KEL_FB_COMMON_H

#include <pthread.h>

#include "kelTypes.h"

#define KELFB_PORT 1234
#define KELFB_HEAD_SIZE 16        /* prefix and command type */
#define KELFB_MAX_FRAME_SIZE 792  /* the receiving record */
#define KELFB_PAYLOAD_SIZE (KELFB_MAX_FRAME_SIZE - KELFB_HEAD_SIZE)
#define KELFB_RECT_DATA_SIZE 768  /* pixel bytes of one rectangle */

typedef enum {
    KELFB_CMD_UNKNOWN = -1,
    KELFB_CMD_RESPONSE = 0,
    KELFB_CMD_DATA_REQ = 1,
    KELFB_CMD_FBDATA = 2,
    KELFB_CMD_SCR_FIN = 3,
    KELFB_CMD_KEYEVENT = 4,
    KELFB_CMD_HEARTBEAT = 5,
    KELFB_NUM_CMDS = 6
} KELFB_cmdTypes_t;

typedef enum { KELFB_RC_ERROR = 0, KELFB_RC_OK = 1 } KELFB_responseCodes_t;

typedef struct KEL_PACKED {
    UINT32 transID;   /* id of the frame answered */
    INT32 cmdType;    /* command answered */
    INT32 respCode;   /* KELFB_responseCodes_t */
} KELFB_response_t;

typedef struct KEL_PACKED {
    UINT16 width;
    UINT16 height;
    UINT16 bpp;
} KELFB_dataReq_t;

typedef struct KEL_PACKED {
    UINT16 x;
    UINT16 y;
    UINT16 w;
    UINT16 h;
} KELFB_fbRect_t;

typedef struct KEL_PACKED {
    KELFB_fbRect_t fbRect;
    UINT8 fbData[KELFB_RECT_DATA_SIZE];
} KELFB_fbData_t;

typedef struct KEL_PACKED {
    UINT32 header;
    UINT32 length;
    UINT32 transID;
    INT32 cmdType;
    union KEL_PACKED {
        KELFB_fbData_t fbData;
        KELFB_dataReq_t dataReq;
        KELFB_keyEvent_t keyEvent;
        KELFB_response_t respData;
        UINT8 raw[KELFB_PAYLOAD_SIZE];
    } payload;
} KELFB_Message_t;

static_assert(sizeof(KELFB_response_t) == 12, "response payload");
static_assert(offsetof(KELFB_response_t, respCode) == 8, "response payload");
static_assert(sizeof(KELFB_dataReq_t) == 6, "data request payload");
static_assert(offsetof(KELFB_dataReq_t, bpp) == 4, "data request payload");
static_assert(sizeof(KELFB_fbRect_t) == 8, "rectangle");
static_assert(offsetof(KELFB_fbRect_t, h) == 6, "rectangle");
static_assert(sizeof(KELFB_fbData_t) == 776, "rectangle payload");
static_assert(offsetof(KELFB_fbData_t, fbData) == 8, "rectangle payload");
static_assert(sizeof(KELFB_Message_t) == KELFB_MAX_FRAME_SIZE, "screen-and-key frame");
static_assert(offsetof(KELFB_Message_t, length) == 4, "screen-and-key frame");
static_assert(offsetof(KELFB_Message_t, transID) == 8, "screen-and-key frame");
static_assert(offsetof(KELFB_Message_t, cmdType) == 12, "screen-and-key frame");
static_assert(offsetof(KELFB_Message_t, payload) == 16, "screen-and-key frame");
static_assert(offsetof(KELFB_Message_t, payload.fbData.fbData) == 24, "pixels of a rectangle");

#ifdef __cplusplus
extern "C" {
#endif

/* Serialises every socket send of the link (link thread and transmit
 * thread); the link is also closed under it. */
extern pthread_mutex_t fbSendMutex;

/* The counter value for the next frame; advances it by one. */
UINT32 fbGetTransID(void);
/* Frame length of a command; 16 for any unknown value. */
INT32 fbGetMsgLengthByCMDType(INT32 cmdType);
/* Fills `msg` (zeroed here) for `cmdType` with the payload from `kelData`
 * and the next transaction id. The frame length, or -1 when a command that
 * carries a payload is given none (the id is spent all the same). */
INT32 fbBuildMsg(KELFB_Message_t *msg, INT32 cmdType, const void *kelData);
/* Frames and sends one message on `socket`. `needResp` has no effect.
 * 1 sent, -1 invalid socket, missing payload or failed send. */
INT32 fbKELSendMSG(INT32 socket, INT32 cmdType, const void *kelData, INT32 needResp);
/* Same, reading the socket from `socketWord` under fbSendMutex, so that a
 * link closed under that mutex is never written after its close. */
INT32 fbKELSendMSGOnLink(const INT32 *socketWord, INT32 cmdType, const void *kelData);
/* The transmit thread's send on the link record: the frame goes out only
 * when the link has announced itself on its current socket, checked under
 * fbSendMutex. 1 sent; 0 held back (the link is left alone); -1 invalid,
 * or failed (the link is marked failed under the mutex). */
INT32 fbKELForwardOnLink(KEL_DEVICE_INFO *link, INT32 cmdType, const void *kelData);
/* Receives one frame into `kelRecvMsg` (zeroed here). 1; 0 for a wrong
 * magic, a length outside 12..792 or a closed peer; -1 error; -2 time-out. */
INT32 fbKELRecvMSG(INT32 socket, KELFB_Message_t *kelRecvMsg);

#ifdef __cplusplus
}
#endif

#endif /* KEL_FB_COMMON_H */
