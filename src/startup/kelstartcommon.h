/*
 * kelstartcommon.h - the startup protocol to the meter (TCP port 1235, the
 * unit connects): command types, payload records, frame lengths per
 * command, the transaction counter, the challenge-response digest and the
 * framed send and receive.
 *
 * Used by the startup client (kelstpclient); the factory test service
 * answers its station's challenge with the same digest. Every frame begins
 * with the common 12-byte prefix of kelsockets.h.
 */
#ifndef KEL_START_COMMON_H
#define KEL_START_COMMON_H

#include <pthread.h>

#include "kelTypes.h"
#include "kelsockets.h"

#define KELSTP_PORT 1235

typedef enum {
    KELSTP_CMD_UNKNOWN = -1,
    KELSTP_CMD_RESPONSE = 0,
    KELSTP_CMD_DATA_REQ = 1,
    KELSTP_CMD_RANDOM = 2,
    KELSTP_CMD_VERSION = 3,
    KELSTP_CMD_DIGEST = 4,
    KELSTP_CMD_STATE = 5,
    KELSTP_CMD_HEARTBEAT = 6,
    KELSTP_NUM_CMDS = 7
} KELSTP_cmdTypes_t;

typedef enum { KELSTP_RC_ERROR = 0, KELSTP_RC_OK = 1 } KELSTP_responseCodes_t;

typedef enum {
    KELSTP_STATE_UNKNOWN = -1,
    KELSTP_STATE_APP_TRANS_DONE = 0,
    KELSTP_STATE_APP_RUNNING = 1,
    KELSTP_STATE_APP_UPDATE = 2,
    KELSTP_STATE_KERNEL_UPDATE = 3,
    KELSTP_STATE_APP_STARTFAIL = 4,
    KELSTP_STATE_DISCONNECTED = 5
} KELSTP_stateCodes_t;

#define KELSTP_SN_SIZE 32

typedef struct KEL_PACKED {
    UINT32 transID;
    INT32 cmdType;  /* KELSTP_cmdTypes_t */
    INT32 respCode; /* KELSTP_responseCodes_t */
} KELSTP_response_t;

typedef struct KEL_PACKED {
    kel_FwVersion_t kelFwVersion;
    char serialNum[KELSTP_SN_SIZE]; /* text; not NUL-terminated on the wire */
} KELSTP_dataReq_t;

typedef struct KEL_PACKED {
    UINT32 ramdom;   /* the meter's challenge */
    UINT64 unixTime; /* the meter's clock, Unix seconds, UTC */
} KELSTP_randomData_t;

typedef struct KEL_PACKED {
    UINT32 kelAppVersion;    /* (major * 256 + minor) in the low 16 bits */
    UINT32 kelKernelVersion; /* kernel build number */
} KELSTP_versionData_t;

typedef struct KEL_PACKED {
    UINT32 digest;
} KELSTP_digestData_t;

typedef struct KEL_PACKED {
    INT32 state; /* KELSTP_stateCodes_t */
} KELSTP_stateData_t;

#define KELSTP_HEADER_SIZE 16  /* prefix and command type */
#define KELSTP_PAYLOAD_MAX 36  /* the data request */
#define KELSTP_MSG_MAX_SIZE 52 /* the receiving record */
#define KELSTP_DATA_REQ_FIXED 4 /* version bytes before the serial number */

/* One frame of the link, and the receiving record (largest frame). */
typedef struct KEL_PACKED {
    UINT32 header;
    UINT32 length;
    UINT32 transID;
    INT32 cmdType; /* KELSTP_cmdTypes_t */
    union KEL_PACKED {
        KELSTP_response_t respData;
        KELSTP_dataReq_t dataReq;
        KELSTP_randomData_t randomData;
        KELSTP_versionData_t versionData;
        KELSTP_digestData_t digestData;
        KELSTP_stateData_t stateData;
        UINT8 raw[KELSTP_PAYLOAD_MAX];
    };
} KELSTP_Message_t;

static_assert(sizeof(KELSTP_cmdTypes_t) == 4, "command type is a 32-bit word");
static_assert(sizeof(KELSTP_stateCodes_t) == 4, "state code is a 32-bit word");
static_assert(sizeof(KELSTP_response_t) == 12, "response record");
static_assert(offsetof(KELSTP_response_t, cmdType) == 4, "response record");
static_assert(offsetof(KELSTP_response_t, respCode) == 8, "response record");
static_assert(sizeof(KELSTP_dataReq_t) == 36, "data request record");
static_assert(offsetof(KELSTP_dataReq_t, serialNum) == 4, "data request record");
static_assert(sizeof(KELSTP_randomData_t) == 12, "challenge record");
static_assert(offsetof(KELSTP_randomData_t, unixTime) == 4, "no gap before the clock");
static_assert(sizeof(KELSTP_versionData_t) == 8, "version record");
static_assert(offsetof(KELSTP_versionData_t, kelKernelVersion) == 4, "version record");
static_assert(sizeof(KELSTP_digestData_t) == 4, "digest record");
static_assert(sizeof(KELSTP_stateData_t) == 4, "state record");
static_assert(sizeof(KELSTP_Message_t) == KELSTP_MSG_MAX_SIZE, "startup frame record");
static_assert(offsetof(KELSTP_Message_t, length) == offsetof(kel_FramePrefix_t, length), "prefix");
static_assert(offsetof(KELSTP_Message_t, transID) == offsetof(kel_FramePrefix_t, transID), "prefix");
static_assert(offsetof(KELSTP_Message_t, cmdType) == KEL_FRAME_PREFIX_SIZE, "command type");
static_assert(offsetof(KELSTP_Message_t, respData) == KELSTP_HEADER_SIZE, "payload");
static_assert(offsetof(KELSTP_Message_t, dataReq) == KELSTP_HEADER_SIZE, "payload");
static_assert(offsetof(KELSTP_Message_t, stateData) == KELSTP_HEADER_SIZE, "payload");

#ifdef __cplusplus
extern "C" {
#endif

/* Serialises the socket sends of the process. Statically initialised. */
extern pthread_mutex_t stpSendMutex;
/* Kept for symmetry with the send side; receiving takes no lock. */
extern pthread_mutex_t stpRecvMutex;

/* Current transaction counter value; the counter advances by one. */
UINT32 stpGetTransID(void);
/* A challenge value: the C library generator seeded with the current
 * second, so two calls within one second give the same value. */
UINT32 stpGetRandom(void);
/* Answer to a challenge: (random * M + 3171547) mod N in 32-bit unsigned
 * arithmetic, with M and N fixed at build time. Always below N. */
UINT32 stpGetDigest(UINT32 random);
/* Full record length of a command: 16 to 52; 16 for unknown values. */
INT32 stpGetMsgLengthByCMDType(INT32 cmdType);
/* Lays out one frame in `msg` (zeroed first) with the given id. Returns the
 * length to send (a data request carries its serial number without the
 * NUL), or -1 when `msg` is null or the command needs a payload and
 * `kelData` is null. */
INT32 stpBuildMSG(KELSTP_Message_t *msg, INT32 cmdType, const void *kelData, UINT32 transID);
/* Frames and sends one message. `needResp` is accepted and ignored.
 * 1 when the whole frame went out; -1 for a bad socket (no id taken), a
 * missing payload (id taken) or a failed send (three time-outs, error,
 * peer closed). */
INT32 stpKELSendMSG(int socket, INT32 cmdType, const void *kelData, INT32 needResp);
/* Receives one frame into `kelRecvMsg` (zeroed here too). 1 complete frame;
 * 0 wrong magic, a length outside 12..52, or peer closed; -2 time-out of a
 * step; -1 bad socket or socket error. */
INT32 stpKELRecvMSG(int socket, KELSTP_Message_t *kelRecvMsg);

#ifdef __cplusplus
}
#endif

#endif /* KEL_START_COMMON_H */
