/*
 * kelTypes.h - the common vocabulary of every program of the display unit:
 * fixed-width integers, the per-process device record, the enumerations of
 * role, socket, link and work mode, the error codes, and the small payload
 * records that travel on the queues and the meter links.
 *
 * Every record that leaves a process is packed and little-endian; the
 * static_asserts below pin sizes and offsets so the armhf and host builds
 * lay them out byte for byte alike.
 */
#ifndef KEL_TYPES_H
#define KEL_TYPES_H

#include <stddef.h>
#include <stdint.h>

typedef int8_t INT8;
typedef uint8_t UINT8;
typedef int16_t INT16;
typedef uint16_t UINT16;
typedef int32_t INT32;
typedef uint32_t UINT32;
typedef int64_t INT64;
typedef uint64_t UINT64;

#define KEL_PACKED __attribute__((packed))

/* Words shared between threads are read and written whole, with relaxed
 * ordering: the behaviour of plain 32-bit words on the board, without a data
 * race in the language's sense. */
#define KEL_LOAD(word) __atomic_load_n(&(word), __ATOMIC_RELAXED)
#define KEL_STORE(word, value) __atomic_store_n(&(word), (value), __ATOMIC_RELAXED)

/* Enumerations are stored as 32-bit signed words inside records. */
typedef enum { KEL_FALSE = 0, KEL_TRUE = 1 } kel_BOOL_t;

typedef enum KEL_DEVICE_TYPE {
    KEL_DEVICE_SERVER = 0,
    KEL_DEVICE_CLIENT = 1
} kel_DeviceType_t;

typedef enum KEL_SOCKET_STATE {
    KEL_SOCKET_INIT = 0,
    KEL_SOCKET_READY = 1,
    KEL_SOCKET_LISTENNING = 2,
    KEL_SOCKET_CONNECTED = 3,
    KEL_SOCKET_FAIL = 4,
    KEL_SOCKET_CLOSE = 5
} kel_SocketState_t;

typedef enum KEL_DEVICE_STATE {
    KEL_DEVICE_INIT = 0,
    KEL_DEVICE_CONNECTED = 1,
    KEL_DEVICE_DISCONNECTED = 2,
    KEL_NSC_DATA_REQUESTED = 3,
    KEL_NSC_DATA_RESPONSED = 4,
    KEL_STP_DATA_REQUESTED = 5,
    KEL_STP_RANDOM_SEND = 6,
    KEL_STP_DIGEST_SEND = 7,
    KEL_STP_AUTHENTICATED = 8,
    KEL_STP_VERSION_SEND = 9,
    KEL_STP_VERSION_APP_UPDATE = 10,
    KEL_STP_VERSION_KERNEL_UPDATE = 11,
    KEL_STP_APP_RUNNING = 12,
    KEL_STP_APP_RUN_FAIL = 13,
    KEL_STP_APP_IDLE = 14,
    KEL_STP_APP_TRANS_DONE = 15,
    KEL_FBK_DATA_REQUESTED = 16,
    KEL_FBK_TRANS_START = 17,
    KEL_FBK_TRANS_STOP = 18
} kel_DeviceState_t;

typedef enum {
    KEL_MODE_NORMAL = 0,
    KEL_MODE_ERROR = 1,
    KEL_MODE_FW_UPGRADE = 2,
    KEL_MODE_FW_UPGRADING = 3,
    KEL_MODE_INDUSTRY = 4,
    KEL_NUM_OF_MODES = 5
} kel_WorkMode_t;

typedef enum {
    KEL_TASK_CONTROL = 0,
    KEL_TASK_STARTUP_CLIENT = 1,
    KEL_TASK_NSC_CLIENT = 2,
    KEL_TASK_FB_CLIENT = 3,
    KEL_TASK_UPGRADE = 4,
    KEL_TASK_APP_CLIENT = 5,
    KEL_TASK_APP_INDUSTRY = 6,
    KEL_NUM_OF_TASKS = 7
} kel_AppTaskID_t;

typedef enum {
    KEL_LANG_ENGLISH = 0,
    KEL_LANG_FRENCH = 1,
    KEL_LANG_SPANISH = 2,
    KEL_LANG_GERMAN = 3,
    KEL_LANG_ITALIAN = 4,
    KEL_LANG_PORTUGUESE = 5,
    KEL_LANG_CHINESE = 6,
    KEL_LANG_RUSSIAN = 7
} kel_LanguageType_t;

/* The LCD type and the LED colour arrive from other processes as plain
 * 32-bit words: the fixed underlying type makes any such word a value the
 * enum can hold, so an unknown one is compared, never undefined. */
typedef enum : INT32 {
    KEL_LCD_KYOCERA = 0,
    KEL_LCD_SHARP = 1,
    MAX_NUM_KEL_LCD = 2
} kel_LcdType_t;

typedef struct KEL_PACKED {
    UINT8 majorVersion;
    UINT8 minorVersion;
    UINT16 buildVersion;
} kel_FwVersion_t;

/* Text form of a version: "%03d.%03d.%03d". */
#define KEL_VERSION_FMT "%03d.%03d.%03d"

/* Per-process device record; never leaves its process, so only the field
 * order and widths matter. */
typedef struct KEL_DEVICE_INFO {
    char name[32];
    char host[16];
    char sn[32];
    kel_DeviceType_t type;
    INT32 port;
    INT16 width;
    INT16 height;
    INT16 bpp;
    INT32 fd_kbd;
    INT32 fd_fb;
    INT32 socket;
    UINT32 kelBrightness;
    kel_LanguageType_t kelLang;
    char *fbmmap;
    kel_DeviceState_t deviceState;
    kel_SocketState_t socketState;
    UINT32 stateTick;
    UINT32 sendTick;
    UINT32 recvTick;
    kel_BOOL_t bDataRequested;
    kel_BOOL_t bTimeSynchronized;
    kel_BOOL_t bAppRunning;
    kel_WorkMode_t workMode;
    kel_FwVersion_t appVersion;
    kel_FwVersion_t kernelVersion;
} KEL_DEVICE_INFO, kel_DeviceInfo_t;

typedef enum {
    KEL_OK = 0,
    KEL_CONNECTED = 1,
    KEL_DISCONNECTED = 2,
    KEL_COMM_FAIL = 100,
    KEL_COMM_SOCKET_INIT_FAIL = 101,
    KEL_COMM_CONNECT_FAIL = 102,
    KEL_COMM_DISCONNECTED = 103,
    KEL_COMM_TIMEOUT = 104,
    KEL_COMM_SELECT_ERROR = 105,
    KEL_COMM_DATA_SEND_FAIL = 106,
    KEL_COMM_DATA_RECV_FAIL = 107,
    KEL_COMM_PARAM_ERROR = 108,
    KEL_HW_ERROR = 200,
    KEL_HW_FLASH_RW_ERROR = 201,
    KEL_HW_KBD_INIT_ERROR = 210,
    KEL_HW_KBD_READ_ERROR = 211,
    KEL_HW_TEMP_OPEN_ERROR = 220,
    KEL_HW_TEMP_READ_ERROR = 221,
    KEL_HW_LED_OPEN_ERROR = 230,
    KEL_HW_LED_CTRL_FAIL = 231,
    KEL_HW_LCD_BKL_OPEN_ERROR = 240,
    KEL_HW_LCD_BKL_READ_ERROR = 241,
    KEL_HW_LCD_BKL_WRITE_ERROR = 242,
    KEL_HW_LCD_BRIGHTNESS_FAIL = 243,
    KEL_HW_LCD_BKL_CTRL_FAIL = 244,
    KEL_HW_LCD_BRIGHTNESS_LOW = 245,
    KEL_HW_TIME_SET_FAIL = 250,
    KEL_HW_FB_INIT_ERROR = 260,
    KEL_HW_FB_MMAP_ERROR = 261,
    KEL_FW_ERROR = 300,
    KEL_FW_TIME_SET_ERROR = 301,
    KEL_FW_MSGQ_GETID_ERROR = 302,
    KEL_FW_MSGQ_SEND_ERROR = 303,
    KEL_FW_MSGQ_RECV_ERROR = 304,
    KEL_FW_SHM_GETID_ERROR = 305,
    KEL_FW_SHM_MAP_ERROR = 306,
    KEL_FW_SHM_RW_ERROR = 307,
    KEL_FW_MUTEX_ERROR = 308,
    KEL_FW_SEM_ERROR = 309,
    KEL_FW_PTHREAD_ERROR = 310,
    KEL_FW_MEM_ALLOC_ERROR = 311,
    KEL_FW_SET_ENV_ERROR = 312,
    KEL_FW_GET_ENV_ERROR = 313,
    KEL_FW_FILE_OPEN_ERROR = 314,
    KEL_FW_FILE_READ_ERROR = 315,
    KEL_FW_FILE_WRITE_ERROR = 316,
    KEL_FW_DATA_NOT_REQUESTED = 317,
    KEL_FW_APP_PARAM_ERROR = 318,
    KEL_FW_MSGBUFF_FULL = 319,
    KEL_FW_STP_VERSION_COMPATIBLE = 320,
    KEL_FW_STP_APP_INCOMPATIBLE = 321,
    KEL_FW_STP_KERNEL_INCOMPATIBLE = 322,
    KEL_FW_STP_APP_START_FAIL = 323,
    KEL_FW_STP_APP_COPY_FAIL = 324,
    KEL_FW_STP_DIGEST_TIMEOUT = 325,
    KEL_FW_STP_APP_UP_TIMEOUT = 326,
    KEL_FW_NSC_BRIGHTNESS_SET_ERROR = 330,
    KEL_FW_NSC_BRIGHTNESS_OUTOFRANGE = 331,
    KEL_FW_NSC_STATUSLED_SET_ERROR = 332,
    KEL_FW_NSC_ALARMLED_SET_ERROR = 333,
    KEL_FW_NSC_TEMP_SEND_ERROR = 334,
    KEL_FW_NSC_ERRCODE_SEND_ERROR = 335,
    KEL_FW_FB_DATA_CHECK_ERROR = 340,
    KEL_FW_FB_DATA_SEND_ERROR = 341,
    KEL_FW_FB_KEY_SEND_ERROR = 342,
    KEL_FW_CTRL_SCR_UPDATE_FAIL = 351,
    KEL_UPG_FAIL = 400,
    KEL_UPG_SUCCESS = 401,
    KEL_UPG_FILE_VERIFY_FAIL = 402,
    KEL_UPG_IMAGE_RESTORE_FAIL = 403,
    KEL_UPG_FILE_DETECTED = 404,
    KEL_UPG_TYPE_ERROR = 405
} kel_ErrorCode_t;

/* First error code that is forwarded to the meter. */
#define KEL_ERR_METER_THRESHOLD 200

typedef struct KEL_PACKED {
    INT32 errCode;
    UINT64 errTimeStamp;
} kel_ErrorData_t;

typedef struct KEL_PACKED {
    INT32 appTaskID;
    INT32 fileID;
    INT32 lineNum;
    INT32 bSendtoMeter;
    kel_ErrorData_t errorData;
} kel_ErrorLog_t;

/* Non-screen payload records. */
typedef enum : INT32 { KELNS_LED_GREEN = 0, KELNS_LED_RED = 1 } KELNS_LEDColor_t;

typedef struct KEL_PACKED {
    UINT16 Cycle;
    UINT16 Duty;
    UINT16 NumActCycle;
    UINT16 NumInActCycle;
} KELNS_patternData_t;

typedef struct KEL_PACKED {
    UINT32 brightness;
} KELNS_brightnessData_t;

typedef struct KEL_PACKED {
    UINT64 unixTime;
} KELNS_timeData_t;

typedef struct KEL_PACKED {
    INT32 colour;
    KELNS_patternData_t pattern;
} KELNS_statusLedData_t;

typedef struct KEL_PACKED {
    KELNS_patternData_t pattern;
} KELNS_alarmLedData_t;

typedef struct KEL_PACKED {
    INT32 temperature;
} KELNS_temperatureData_t;

typedef struct KEL_PACKED {
    kel_ErrorData_t errorData;
} KELNS_errorData_t;

/* Key events. */
typedef enum {
    KELFB_KEY_COMB_0 = 59,
    KELFB_KEY_HOME = 102,
    KELFB_KEY_1 = 103,
    KELFB_KEY_3 = 105,
    KELFB_KEY_4 = 106,
    KELFB_KEY_2 = 108
} KELFB_keyCode_t;

typedef enum { KELFB_KEY_RELEASE = 0, KELFB_KEY_PRESS = 1 } KELFB_keyAction_t;

typedef struct KEL_PACKED {
    INT32 keyCode;
    INT32 keyAction;
} KELFB_keyEvent_t;

static_assert(sizeof(kel_BOOL_t) == 4, "enumerations are 32-bit words");
static_assert(sizeof(kel_WorkMode_t) == 4, "enumerations are 32-bit words");
static_assert(sizeof(kel_FwVersion_t) == 4, "version record");
static_assert(offsetof(kel_FwVersion_t, buildVersion) == 2, "version record");
static_assert(sizeof(kel_ErrorData_t) == 12, "error data");
static_assert(offsetof(kel_ErrorData_t, errTimeStamp) == 4, "no gap before the time stamp");
static_assert(sizeof(kel_ErrorLog_t) == 28, "error log record");
static_assert(offsetof(kel_ErrorLog_t, fileID) == 4, "error log record");
static_assert(offsetof(kel_ErrorLog_t, lineNum) == 8, "error log record");
static_assert(offsetof(kel_ErrorLog_t, bSendtoMeter) == 12, "error log record");
static_assert(offsetof(kel_ErrorLog_t, errorData) == 16, "error log record");
static_assert(sizeof(KELNS_patternData_t) == 8, "pattern record");
static_assert(offsetof(KELNS_patternData_t, Duty) == 2, "pattern record");
static_assert(offsetof(KELNS_patternData_t, NumActCycle) == 4, "pattern record");
static_assert(offsetof(KELNS_patternData_t, NumInActCycle) == 6, "pattern record");
static_assert(sizeof(KELNS_brightnessData_t) == 4, "brightness record");
static_assert(sizeof(KELNS_timeData_t) == 8, "time record");
static_assert(sizeof(KELNS_LEDColor_t) == 4 && sizeof(kel_LcdType_t) == 4, "words of other processes");
static_assert(sizeof(KELNS_statusLedData_t) == 12, "status LED record");
static_assert(offsetof(KELNS_statusLedData_t, pattern) == 4, "status LED record");
static_assert(sizeof(KELNS_alarmLedData_t) == 8, "alarm LED record");
static_assert(sizeof(KELNS_temperatureData_t) == 4, "temperature record");
static_assert(sizeof(KELNS_errorData_t) == 12, "error payload record");
static_assert(sizeof(KELFB_keyEvent_t) == 8, "key event record");
static_assert(offsetof(KELFB_keyEvent_t, keyAction) == 4, "key event record");

#endif /* KEL_TYPES_H */
