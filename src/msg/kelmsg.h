/*
 * kelmsg.h - the System V queues and the shared frame buffer segment that
 * connect the unit's programs: keys, message records, byte counts and the
 * writer's half of the frame handshake.
 *
 * Records are packed and start with a 4-byte type word (the System V message
 * type on the unit, where long is 32 bits). The byte count handed to the
 * queue is the number of bytes after that word.
 */
#ifndef KEL_MSG_H
#define KEL_MSG_H

#include <sys/ipc.h>
#include <sys/msg.h>

#include "kelTypes.h"

/* ftok project letters; the path is the board's "/home/root". */
typedef enum {
    KEL_MSG_ID_FB = 70,       /* 'F' frame-ready notices to the daemon */
    KEL_MSG_ID_ERROR = 69,    /* 'E' error reports of all programs */
    KEL_MSG_ID_INDUSTRY = 73, /* 'I' daemon events for the factory service */
    KEL_MSG_ID_RX = 82,       /* 'R' requests to the daemon */
    KEL_SHM_ID_FB = 83,       /* 'S' shared frame buffer segment */
    KEL_MSG_ID_TX = 84        /* 'T' daemon events for the app client */
} kel_MsgQue_ID_t;

#define KEL_IPC_KEY_PATH "/home/root"
#define KEL_SHM_SEGMENT_SIZE 524288

typedef enum {
    KEL_MSG_TYPE_ALL = 0,
    KEL_MSG_TYPE_FB = 1,
    KEL_MSG_TYPE_RX = 2,
    KEL_MSG_TYPE_TX = 3,
    KEL_MSG_TYPE_ERROR = 4
} kel_MsgQue_MsgType_t;

typedef enum {
    KEL_MSGQ_RX_BRIGHTNESS = 0,
    KEL_MSGQ_RX_TIME = 1,
    KEL_MSGQ_RX_STATUS_LED = 2,
    KEL_MSGQ_RX_ALARM_LED = 3,
    KEL_MSGQ_RX_GET_TEMP = 4,
    KEL_MSGQ_RX_OPT_MODE = 5,
    KEL_MSGQ_RX_LCDTYPE = 6
} kel_MsgQue_Rx_CmdType_t;

typedef enum {
    KEL_MSGQ_TX_TEMPERATURE = 0,
    KEL_MSGQ_TX_ERROR = 1,
    KEL_MSGQ_TX_KEYEVENT = 2
} kel_MsgQue_Tx_CmdType_t;

typedef struct KEL_PACKED {
    INT32 msgType;
    INT32 cmdType;
    union KEL_PACKED {
        KELNS_brightnessData_t brightnessData;
        KELNS_timeData_t timeData;
        KELNS_statusLedData_t statusLedData;
        KELNS_alarmLedData_t alarmLedData;
        INT32 kelWorkMode;
        INT32 kelLcdType;
        UINT8 raw[16];
    } data;
} kel_MsgQue_Rx_t;

typedef struct KEL_PACKED {
    INT32 msgType;
    INT32 cmdType;
    union KEL_PACKED {
        KELNS_temperatureData_t tempData;
        KELNS_errorData_t nsErrData;
        KELFB_keyEvent_t kelKeyEvent;
        UINT8 raw[12];
    } data;
} kel_MsgQue_Tx_t;

typedef struct KEL_PACKED {
    INT32 msgType;
    INT32 appTaskID;
    INT32 bScrFinished;
} kel_MsgQue_FB_t;

typedef struct KEL_PACKED {
    INT32 msgType;
    kel_ErrorLog_t errLogData;
} kel_MsgQue_Error_t;

#define KEL_FB_WIDTH 320
#define KEL_FB_HEIGHT 240
#define KEL_FB_BPP 16
#define KEL_FB_FRAME_SIZE (KEL_FB_WIDTH * KEL_FB_HEIGHT * KEL_FB_BPP / 8)

typedef struct KEL_PACKED {
    INT32 bRead;
    INT32 bWriting;
    INT32 kelWorkMode;
    UINT8 fBuffer[KEL_FB_FRAME_SIZE];
} kel_ShMem_FB_t;

/* Largest byte counts each consumer asks for on receive. */
#define KEL_MSGQ_RX_MAX_BYTES 20
#define KEL_MSGQ_TX_MAX_BYTES 16
#define KEL_MSGQ_FB_BYTES 8
#define KEL_MSGQ_ERROR_BYTES 28

static_assert(sizeof(kel_MsgQue_Rx_t) == 24, "request record");
static_assert(offsetof(kel_MsgQue_Rx_t, cmdType) == 4, "request record");
static_assert(offsetof(kel_MsgQue_Rx_t, data) == 8, "request record");
static_assert(sizeof(kel_MsgQue_Tx_t) == 20, "event record");
static_assert(offsetof(kel_MsgQue_Tx_t, cmdType) == 4, "event record");
static_assert(offsetof(kel_MsgQue_Tx_t, data) == 8, "event record");
static_assert(sizeof(kel_MsgQue_FB_t) == 12, "frame-ready record");
static_assert(offsetof(kel_MsgQue_FB_t, appTaskID) == 4, "frame-ready record");
static_assert(offsetof(kel_MsgQue_FB_t, bScrFinished) == 8, "frame-ready record");
static_assert(sizeof(kel_MsgQue_Error_t) == 32, "error record");
static_assert(offsetof(kel_MsgQue_Error_t, errLogData) == 4, "error record");
static_assert(sizeof(kel_ShMem_FB_t) == 153612, "shared frame buffer record");
static_assert(offsetof(kel_ShMem_FB_t, bWriting) == 4, "shared frame buffer record");
static_assert(offsetof(kel_ShMem_FB_t, kelWorkMode) == 8, "shared frame buffer record");
static_assert(offsetof(kel_ShMem_FB_t, fBuffer) == 12, "shared frame buffer record");
static_assert(sizeof(kel_ShMem_FB_t) <= KEL_SHM_SEGMENT_SIZE, "record fits the segment");

/* Change counter of the frame in the segment, a 32-bit word in the unused
 * space right after the record (the record's own words stay as they are).
 * A writer bumps it before and after copying a frame in; the reader reads it
 * before and after its copy, and a difference means the frame changed under
 * the copy. */
#define KEL_SHM_FB_SEQ_OFFSET 153612
static_assert(KEL_SHM_FB_SEQ_OFFSET == sizeof(kel_ShMem_FB_t), "counter follows the record");
static_assert(KEL_SHM_FB_SEQ_OFFSET % 4 == 0, "counter is word aligned");
static_assert(KEL_SHM_FB_SEQ_OFFSET + 4 <= KEL_SHM_SEGMENT_SIZE, "counter fits the segment");

/* Largest byte count a consumer takes off its queue in one receive: more
 * than any record carries, so a longer record shows as one (and is cut to
 * it rather than failing the receive). */
#define KEL_MSGQ_RECV_MAX_BYTES 32

#ifdef __cplusplus
extern "C" {
#endif

INT32 kelAppMsgQueGetID(INT32 *msgQueID, kel_MsgQue_ID_t key);
/* Sends the record without waiting; the byte count follows from the type
 * and the record's command. Type KEL_MSG_TYPE_ALL sends nothing (1). */
INT32 kelAppMsgQueDataSend(INT32 msgQueID, kel_MsgQue_MsgType_t msgType, const void *record);
/* Receives one record of the given type into `record` (at least the full
 * record size), blocking. Returns the byte count after the type word, or -1. */
INT32 kelAppMsgQueDataRecv(INT32 msgQueID, kel_MsgQue_MsgType_t msgType, void *record, UINT32 maxBytes);
/* For a producer that keeps a queue identifier between sends: sends as
 * kelAppMsgQueDataSend on *msgQueID, and when that fails because the queue
 * is gone (its consumer removed it), looks the queue of `key` up again into
 * *msgQueID and sends once more. 1, or -1. */
INT32 kelAppMsgQueSendKept(INT32 *msgQueID, kel_MsgQue_ID_t key, kel_MsgQue_MsgType_t msgType,
                           const void *record);
/* The consumer's receive: takes the next record of any type off its own
 * queue (each queue has one consumer), blocking, and keeps it only when it
 * is a whole record of `msgType`: the type word matches and the byte count
 * is the one its command carries. Records of another type, of a wrong size
 * or too long are taken off and dropped, so none can stop the queue or
 * make the receive fail. `record` holds `recordSize` bytes (the full record).
 * Returns the byte count of a record kept (> 0), 0 when one was dropped, or
 * -1 when the queue is gone or broken (the caller removes it and looks it
 * up again). */
INT32 kelAppMsgQueRecvRecord(INT32 msgQueID, kel_MsgQue_MsgType_t msgType, void *record, UINT32 recordSize);
INT32 kelAppMsgQueSendErrData(const kel_ErrorData_t *errData);
INT32 kelAppMsgQueGetInfo(INT32 msgQueID, struct msqid_ds *info);
INT32 kelAppMsgQueBuffClean(INT32 msgQueID);
INT32 kelAppShareMemGetID(INT32 *shmID, INT32 key);
INT32 kelFBShareMemWrite(const UINT8 *frame, INT32 length, kel_AppTaskID_t writer);
/* The shared segment as a frequent writer keeps it: attached between
 * frames, so a frame costs no lookup, attach or detach and no page faults. */
typedef struct {
    INT32 shmID; /* -1 while not attached */
    void *addr;
} kel_FBShareMemKept_t;
#define KEL_FB_SHM_KEPT_INIT {-1, NULL}
/* kelFBShareMemWrite on a kept attachment: the segment is looked up and
 * attached on first use, and again once it has been removed (the daemon
 * removes it after a failure and makes a new one). Same results. */
INT32 kelFBShareMemWriteKept(kel_FBShareMemKept_t *kept, const UINT8 *frame, INT32 length,
                             kel_AppTaskID_t writer);
/* The reader's half of the frame handshake, on an attached segment: copies a
 * new frame (`bRead` false, no writer busy) into `out` and marks it read.
 * Returns 1 when a whole frame was copied, 0 when there is no new frame, and
 * -1 when a writer is busy or changed the frame during the copy: the frame
 * then stays unread, for a retry or the writer's own notice. */
INT32 kelFBShareMemTake(kel_ShMem_FB_t *shm, UINT8 *out, INT32 length);

/* Byte count (after the type word) of a record of the given type, or 0 when
 * nothing is to be sent. */
INT32 kelAppMsgQueByteCount(kel_MsgQue_MsgType_t msgType, const void *record);

#ifdef __cplusplus
}
#endif

#endif /* KEL_MSG_H */
