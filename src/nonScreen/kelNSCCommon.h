/*
 * kelNSCCommon.h - the non-screen protocol to the meter (TCP port 1236):
 * message records, frame lengths per command, the framed send and receive,
 * and the response buffer through which a sender can wait for an answer.
 *
 * Used by the non-screen link thread and the app client's transmit thread.
 * Every frame begins with the common 12-byte prefix of kelsockets.h.
 */
#ifndef KEL_NSC_COMMON_H
#define KEL_NSC_COMMON_H

#include <pthread.h>

#include "kelTypes.h"
#include "kelsockets.h"

#define KELNS_PORT 1236

typedef enum {
    KELNS_CMD_UNKNOWN = -1,
    KELNS_CMD_RESPONSE = 0,
    KELNS_CMD_SET_BRIGHTNESS = 1,
    KELNS_CMD_SET_TIME = 2,
    KELNS_CMD_SET_STATUS_LED = 3,
    KELNS_CMD_SET_ALARM_LED = 4,
    KELNS_CMD_GET_TEMPERATURE = 5,
    KELNS_CMD_GET_ERROR = 6,
    KELNS_CMD_GET_DATA = 7,
    KELNS_CMD_HEARTBEAT = 8,
    KELNS_NUM_CMDS = 9
} KELNS_cmdTypes_t;

typedef enum { KELNS_RC_ERROR = 0, KELNS_RC_OK = 1 } KELNS_responseCodes_t;

/* Body of a RESPONSE: which frame it answers and the verdict. */
typedef struct KEL_PACKED {
    UINT32 transID;
    INT32 cmdType;  /* KELNS_cmdTypes_t */
    INT32 respCode; /* KELNS_responseCodes_t */
} KELNS_response_t;

#define KELNS_PAYLOAD_MAX 16
#define KELNS_HEADER_SIZE 16 /* prefix and command type */
#define KELNS_MSG_MAX_SIZE 32

typedef union KEL_PACKED {
    KELNS_response_t response;
    KELNS_brightnessData_t brightness;
    KELNS_timeData_t time;
    KELNS_statusLedData_t statusLed;
    KELNS_alarmLedData_t alarmLed;
    KELNS_temperatureData_t temperature;
    KELNS_errorData_t error;
    UINT8 raw[KELNS_PAYLOAD_MAX];
} KELNS_payload_t;

/* One frame of the link, and the receiving record (largest frame). */
typedef struct KEL_PACKED {
    UINT32 header;
    UINT32 length;
    UINT32 transID;
    INT32 cmdType; /* KELNS_cmdTypes_t */
    KELNS_payload_t data;
} KELNS_Message_t;

static_assert(sizeof(KELNS_cmdTypes_t) == 4, "command type is a 32-bit word");
static_assert(sizeof(KELNS_response_t) == 12, "response body");
static_assert(offsetof(KELNS_response_t, cmdType) == 4, "response body");
static_assert(offsetof(KELNS_response_t, respCode) == 8, "response body");
static_assert(sizeof(KELNS_payload_t) == KELNS_PAYLOAD_MAX, "payload area");
static_assert(sizeof(KELNS_Message_t) == KELNS_MSG_MAX_SIZE, "non-screen frame record");
static_assert(offsetof(KELNS_Message_t, length) == offsetof(kel_FramePrefix_t, length), "prefix");
static_assert(offsetof(KELNS_Message_t, transID) == offsetof(kel_FramePrefix_t, transID), "prefix");
static_assert(offsetof(KELNS_Message_t, cmdType) == KEL_FRAME_PREFIX_SIZE, "command type");
static_assert(offsetof(KELNS_Message_t, data) == KELNS_HEADER_SIZE, "payload");

/* One entry of the response buffer; cmdType -1 marks a free entry. */
typedef struct {
    kel_BOOL_t active;
    KELNS_response_t respMsg;
} kelRespMsgBuf_t;

#define KELNS_RESP_BUF_SIZE KELNS_NUM_CMDS
#define KELNS_RESP_WAIT_MS 1000
#define KELNS_RESP_POLL_MS 10

#ifdef __cplusplus
extern "C" {
#endif

/* Serialises every socket send of the link (and the link thread's queue
 * posts). Statically initialised: usable before any thread starts. */
extern pthread_mutex_t nscSendMutex;
/* Guards kelRespMsgBuf; the buffer functions below expect it held. */
extern pthread_mutex_t RespBufMutex;
extern kelRespMsgBuf_t kelRespMsgBuf[KELNS_RESP_BUF_SIZE];

/* Current transaction counter value; the counter advances by one. */
UINT32 nscGetTransID(void);
/* Frame length for a command: 16 to 28; 16 for unknown values. */
INT32 nscGetMsgLengthByCMDType(INT32 cmdType);
/* Lays out one frame in `msg` (zeroed first) with the given id. Returns the
 * frame length, or -1 when the command needs a payload and `kelData` is
 * null or `msg` is null. */
INT32 nscBuildMSG(KELNS_Message_t *msg, INT32 cmdType, const void *kelData, UINT32 transID);
/* Frames and sends one message on `socket`. 1 sent (and, with needResp 1,
 * answered OK); -1 invalid socket, missing payload or failed send; -2 no OK
 * answer within 1000 ms. */
INT32 nscKELSendMSG(int socket, INT32 cmdType, const void *kelData, INT32 needResp);
/* Receives one frame into `kelRecvMsg`. 1, 0 (bad frame or peer closed),
 * -1 or -2. */
INT32 nscKELRecvMSG(int socket, KELNS_Message_t *kelRecvMsg);

/* Link-record helpers for the link thread and the transmit thread: the
 * socket is read from `link` under nscSendMutex, and closing resets the
 * link under the same mutex, so no send ever reaches a closed descriptor. */
INT32 nscKELSendOnLink(KEL_DEVICE_INFO *link, INT32 cmdType, const void *kelData);
/* The transmit thread's send: as nscKELSendOnLink, but the frame goes out
 * only when the link has announced itself on its current socket, checked
 * under nscSendMutex. 1 sent; -1 held back (the link is left alone) or
 * failed (the link is marked failed under the mutex). */
INT32 nscKELForwardOnLink(KEL_DEVICE_INFO *link, INT32 cmdType, const void *kelData);
/* Closes the link's socket and resets socket (-1), bDataRequested (FALSE),
 * socketState (CLOSE) and deviceState (DISCONNECTED). Result of the close,
 * or -1 when there was no socket. */
INT32 nscCloseLink(KEL_DEVICE_INFO *link);

/* Response buffer; callers hold RespBufMutex. Positions are 0..8. */
void InitRespMsgBuf(void);
INT32 FindRespMsgByType(INT32 cmdType, INT32 *pos);
INT32 FindRespMsgByTypeAndID(INT32 cmdType, UINT32 transID, INT32 *pos);
INT32 UpdateRespMsgByPos(INT32 pos, const KELNS_response_t *respMsg);
INT32 AddRespMsgToBuf(const KELNS_response_t *respMsg);
INT32 RemoveRespMsgByPos(INT32 pos);
INT32 GetRespCodeByPos(INT32 pos);

#ifdef __cplusplus
}
#endif

#endif /* KEL_NSC_COMMON_H */
