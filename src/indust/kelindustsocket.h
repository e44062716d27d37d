/*
 * kelindustsocket.h - the factory test protocol between the unit (TCP server
 * on port 1237) and the production-line test station: message and command
 * types, every payload record, the frame length of each command, the
 * transaction counter, the challenge and its digest, and the framed send
 * and receive.
 *
 * Used by the factory test service (kelindustry): its command handlers
 * answer on the main thread, its queue thread sends temperature readings
 * and key events. Every frame begins with the common 12-byte prefix of
 * kelsockets.h; integers travel little-endian as they lie in memory.
 */
#ifndef KEL_INDUST_SOCKET_H
#define KEL_INDUST_SOCKET_H

#include <pthread.h>

#include "kelTypes.h"
#include "kelsockets.h"

#define KEL_INDUST_PORT 1237

typedef enum : INT32 { KEL_INDUST_RESPONSE = 0, KEL_INDUST_REQUEST = 1 } KEL_INDUST_msgTypes_t;

typedef enum : INT32 {
    KEL_INDUST_TEST_REQUEST = 0,
    KEL_INDUST_AUTH_CHALLENGE = 1,
    KEL_INDUST_TIME_SYNCHRONIZE = 2,
    KEL_INDUST_VERSION_GET = 3,
    KEL_INDUST_FACTORY_RESET = 4,
    KEL_INDUST_SN_GET = 5,
    KEL_INDUST_SN_SET = 6,
    KEL_INDUST_TEST_RESULT_GET = 7,
    KEL_INDUST_TEST_RESULT_SET = 8,
    KEL_INDUST_COMMU_TEST = 9,
    KEL_INDUST_LED_TEST = 10,
    KEL_INDUST_BUTTON_TEST = 11,
    KEL_INDUST_TEMP_GET = 12,
    KEL_INDUST_FLASH_TEST = 13,
    KEL_INDUST_LCD_TEST = 14,
    KEL_INDUST_LCDTYPE_SET = 15,
    KEL_INDUST_HEARTBEAT = 16,
    KEL_INDUST_BRIGHT_SET = 17,
    KEL_INDUST_BRIGHT_GET = 18,
    KEL_INDUST_INFO_GET = 19,
    KEL_INDUST_TELNET_SET = 20,
    KEL_INDUST_IP_SET = 21,
    KEL_INDUST_SERVERIP_SET = 22,
    KEL_INDUST_IMAGE_GET = 23,
    KEL_INDUST_FLASH_COPY = 24,
    KEL_INDUST_REBOOT = 25,
    KEL_INDUST_LOGO_SET = 26,
    KEL_INDUST_LOGO_GET = 27,
    KEL_INDUST_NUM_CMDS = 28
} KEL_INDUST_cmdTypes_t;

typedef enum : INT32 { TEST_FAIL = 0, TEST_OK = 1 } KEL_TEST_RESULT_e;

typedef enum : INT32 {
    STATE_LED_GREEN = 0,
    STATE_LED_RED = 1,
    ALARM_LED_RED = 2,
    MAX_NUM_LED = 3
} KEL_LED_Define_t;

typedef enum : INT32 { KEL_LED_ON = 0, KEL_LED_OFF = 1 } KEL_LED_Ctrl_t;

typedef enum : INT32 { LCD_WHITE = 0, LCD_BLACK = 1 } KEL_LCD_Ctrl_t;

typedef enum : INT32 {
    KEL_LOGO_TAMVORIK = 0,
    KEL_LOGO_QUILLEX = 1,
    KEL_LOGO_MAX_NUM = 2
} KEL_INDUST_LOGO_t;

#define KEL_INDUST_HEADER_SIZE 20   /* prefix, message type, command type */
#define KEL_INDUST_PAYLOAD_MAX 128
#define KEL_INDUST_MSG_MAX_SIZE 148 /* the receiving record */
#define KEL_INDUST_TEXT_SIZE 16     /* version and address texts */
#define KEL_INDUST_SN_SIZE 32
#define KEL_INDUST_RESULT_PAD_SIZE 16 /* a result padded with zeros */

typedef struct KEL_PACKED {
    UINT32 industVersion;
} KEL_INDUST_Request_t;

typedef struct KEL_PACKED {
    KEL_TEST_RESULT_e testResult;
} KEL_INDUST_Response_t;

typedef struct KEL_PACKED {
    UINT32 authValue;
} KEL_INDUST_AuthChallenge_t;

typedef struct KEL_PACKED {
    UINT64 unixTime;
} KEL_INDUST_timeSync_t;

typedef struct KEL_PACKED {
    char kelFwVersion[KEL_INDUST_TEXT_SIZE];
} KEL_INDUST_Version_t;

typedef struct KEL_PACKED {
    char serialNum[KEL_INDUST_SN_SIZE];
} KEL_INDUST_sn_t;

typedef struct KEL_PACKED {
    KEL_TEST_RESULT_e testResult;
    INT32 testID;
    UINT64 timeStamp;
} KEL_INDUST_TestResult_t;

typedef struct KEL_PACKED {
    KEL_TEST_RESULT_e testResult;
} KEL_INDUST_CommTest_t;

typedef struct KEL_PACKED {
    KEL_LED_Define_t kelLED;
    KEL_LED_Ctrl_t ledCtrl;
} KEL_INDUST_LEDTest_t;

typedef struct KEL_PACKED {
    KELFB_keyEvent_t keyEvent;
} KEL_INDUST_ButtonTest_t;

typedef struct KEL_PACKED {
    INT32 tempValue;
} KEL_INDUST_Temp_t;

typedef struct KEL_PACKED {
    KEL_LCD_Ctrl_t lcdCtrl;
} KEL_INDUST_LCDTest_t;

typedef struct KEL_PACKED {
    kel_LcdType_t lcdType;
} KEL_INDUST_LCDType_t;

typedef struct KEL_PACKED {
    KEL_TEST_RESULT_e flashTest;
} KEL_INDUST_FlashTest_t;

typedef struct KEL_PACKED {
    UINT32 brightValue;
} KEL_INDUST_Bright_t;

typedef struct KEL_PACKED {
    INT32 bEnable; /* kel_BOOL_t */
} KEL_INDUST_TelnetSet_t;

typedef struct KEL_PACKED {
    char IpAddr[KEL_INDUST_TEXT_SIZE];
} KEL_INDUST_IpSet_t;

typedef struct KEL_PACKED {
    KEL_INDUST_LOGO_t logo;
} KEL_INDUST_splashLogo_t;

typedef struct KEL_PACKED {
    UINT64 kelTime;
    UINT32 MPUFreq;
    INT32 kelLanguage;
    INT32 curMTDGroup;
    INT32 kelBrightness;
    INT32 kelBKLCtrl;
    INT32 kelLcdType;
    INT32 kelTelnet;
    INT32 workHour;
    UINT32 logoType;
    char kelAppVersion[KEL_INDUST_TEXT_SIZE];
    char kelKernelVersion[KEL_INDUST_TEXT_SIZE];
    char kelFWVersion[KEL_INDUST_TEXT_SIZE];
    char appServer[KEL_INDUST_TEXT_SIZE];
    char IPAddr[KEL_INDUST_TEXT_SIZE];
} KEL_INDUST_Info_t;

/* One frame of the link; also the receiving record (largest frame). */
typedef struct KEL_PACKED {
    UINT32 header;
    UINT32 length;
    UINT32 transID;
    KEL_INDUST_msgTypes_t msgType;
    KEL_INDUST_cmdTypes_t cmdType;
    union KEL_PACKED {
        KEL_INDUST_Request_t industRequest;
        KEL_INDUST_Response_t industResponse;
        KEL_INDUST_AuthChallenge_t authChallenge;
        KEL_INDUST_timeSync_t timeSync;
        KEL_INDUST_Version_t version;
        KEL_INDUST_sn_t sn;
        KEL_INDUST_TestResult_t testResult;
        KEL_INDUST_CommTest_t commTest;
        KEL_INDUST_LEDTest_t ledTest;
        KEL_INDUST_ButtonTest_t buttonTest;
        KEL_INDUST_Temp_t temp;
        KEL_INDUST_LCDTest_t lcdTest;
        KEL_INDUST_LCDType_t lcdType;
        KEL_INDUST_FlashTest_t flashTest;
        KEL_INDUST_Bright_t bright;
        KEL_INDUST_TelnetSet_t telnetSet;
        KEL_INDUST_IpSet_t ipSet;
        KEL_INDUST_splashLogo_t splashLogo;
        KEL_INDUST_Info_t info;
        UINT8 raw[KEL_INDUST_PAYLOAD_MAX];
    } data;
} KEL_INDUST_Message_t;

static_assert(sizeof(KEL_INDUST_msgTypes_t) == 4 && sizeof(KEL_INDUST_cmdTypes_t) == 4, "words");
static_assert(sizeof(KEL_TEST_RESULT_e) == 4 && sizeof(KEL_LED_Define_t) == 4, "words");
static_assert(sizeof(KEL_LED_Ctrl_t) == 4 && sizeof(KEL_LCD_Ctrl_t) == 4, "words");
static_assert(sizeof(KEL_INDUST_LOGO_t) == 4, "words");
static_assert(sizeof(KEL_INDUST_Request_t) == 4, "request record");
static_assert(sizeof(KEL_INDUST_Response_t) == 4, "response record");
static_assert(sizeof(KEL_INDUST_AuthChallenge_t) == 4, "challenge record");
static_assert(sizeof(KEL_INDUST_timeSync_t) == 8, "time record");
static_assert(sizeof(KEL_INDUST_Version_t) == 16, "version record");
static_assert(sizeof(KEL_INDUST_sn_t) == 32, "serial number record");
static_assert(sizeof(KEL_INDUST_TestResult_t) == 16, "test result record");
static_assert(offsetof(KEL_INDUST_TestResult_t, testID) == 4, "test result record");
static_assert(offsetof(KEL_INDUST_TestResult_t, timeStamp) == 8, "test result record");
static_assert(sizeof(KEL_INDUST_CommTest_t) == 4, "communication test record");
static_assert(sizeof(KEL_INDUST_LEDTest_t) == 8, "LED test record");
static_assert(offsetof(KEL_INDUST_LEDTest_t, ledCtrl) == 4, "LED test record");
static_assert(sizeof(KEL_INDUST_ButtonTest_t) == 8, "key event record");
static_assert(sizeof(KEL_INDUST_Temp_t) == 4, "temperature record");
static_assert(sizeof(KEL_INDUST_LCDTest_t) == 4, "LCD test record");
static_assert(sizeof(KEL_INDUST_LCDType_t) == 4, "LCD type record");
static_assert(sizeof(KEL_INDUST_FlashTest_t) == 4, "flash test record");
static_assert(sizeof(KEL_INDUST_Bright_t) == 4, "brightness record");
static_assert(sizeof(KEL_INDUST_TelnetSet_t) == 4, "telnet record");
static_assert(sizeof(KEL_INDUST_IpSet_t) == 16, "address record");
static_assert(sizeof(KEL_INDUST_splashLogo_t) == 4, "logo record");
static_assert(sizeof(KEL_INDUST_Info_t) == 124, "information record");
static_assert(offsetof(KEL_INDUST_Info_t, MPUFreq) == 8, "information record");
static_assert(offsetof(KEL_INDUST_Info_t, kelLanguage) == 12, "information record");
static_assert(offsetof(KEL_INDUST_Info_t, curMTDGroup) == 16, "information record");
static_assert(offsetof(KEL_INDUST_Info_t, kelBrightness) == 20, "information record");
static_assert(offsetof(KEL_INDUST_Info_t, kelBKLCtrl) == 24, "information record");
static_assert(offsetof(KEL_INDUST_Info_t, kelLcdType) == 28, "information record");
static_assert(offsetof(KEL_INDUST_Info_t, kelTelnet) == 32, "information record");
static_assert(offsetof(KEL_INDUST_Info_t, workHour) == 36, "information record");
static_assert(offsetof(KEL_INDUST_Info_t, logoType) == 40, "information record");
static_assert(offsetof(KEL_INDUST_Info_t, kelAppVersion) == 44, "information record");
static_assert(offsetof(KEL_INDUST_Info_t, kelKernelVersion) == 60, "information record");
static_assert(offsetof(KEL_INDUST_Info_t, kelFWVersion) == 76, "information record");
static_assert(offsetof(KEL_INDUST_Info_t, appServer) == 92, "information record");
static_assert(offsetof(KEL_INDUST_Info_t, IPAddr) == 108, "information record");
static_assert(sizeof(KEL_INDUST_Message_t) == KEL_INDUST_MSG_MAX_SIZE, "factory frame record");
static_assert(offsetof(KEL_INDUST_Message_t, length) == offsetof(kel_FramePrefix_t, length), "prefix");
static_assert(offsetof(KEL_INDUST_Message_t, transID) == offsetof(kel_FramePrefix_t, transID), "prefix");
static_assert(offsetof(KEL_INDUST_Message_t, msgType) == 12, "message type");
static_assert(offsetof(KEL_INDUST_Message_t, cmdType) == 16, "command type");
static_assert(offsetof(KEL_INDUST_Message_t, data) == KEL_INDUST_HEADER_SIZE, "payload");

#ifdef __cplusplus
extern "C" {
#endif

/* Serialises every socket send and queue post of the service. */
extern pthread_mutex_t industSendMutex;

/* Current transaction counter value; the counter advances by one. */
UINT32 industGetTransID(void);
/* A challenge value from the kernel's random generator, never 0; 0 only
 * when the kernel gave nothing (then no challenge may be issued). */
UINT32 industGetRandom(void);
/* Answer to a challenge, the same digest as the startup protocol's. */
UINT32 industGetDigest(UINT32 random);
/* Payload bytes of a frame of `cmdType` and `msgType`; `data` is needed
 * only for the texts (serial number, addresses), whose length is their
 * characters up to the first NUL or the field's size. */
INT32 industGetPayloadSize(INT32 cmdType, INT32 msgType, const void *data);
/* Lays out one frame in `msg` (zeroed first) with the given id; the
 * payload is copied from `data`. Returns the frame length, or -1 when
 * `msg` is null or a payload is needed and `data` is null. */
INT32 industBuildMSG(KEL_INDUST_Message_t *msg, INT32 cmdType, INT32 msgType, const void *data,
                     UINT32 transID);
/* Builds and sends one frame on the socket held in `socketWord`, read under
 * the send mutex (a link closed under that mutex is never written after its
 * close). Its transaction id is taken under the same mutex, so the frames
 * of both threads leave in the order of their ids. 1 sent, -1 otherwise
 * (no socket, no payload, failed send). */
INT32 industSendOnLink(const INT32 *socketWord, INT32 cmdType, INT32 msgType, const void *data);
/* The same on a plain descriptor; `needResp` is accepted and ignored. */
INT32 industKELSendMSG(int socket, INT32 cmdType, INT32 msgType, const void *data, INT32 needResp);
/* Receives one frame into `msg` (zeroed here too). 1 complete frame; 0 a
 * wrong magic, a length outside 20..148 or the peer closed; -2 a step timed
 * out; -1 bad socket or socket error. */
INT32 industKELRecvMSG(int socket, KEL_INDUST_Message_t *msg);

#ifdef __cplusplus
}
#endif

#endif /* KEL_INDUST_SOCKET_H */
