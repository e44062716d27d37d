/*
 * stationSimWire.h - the frames the factory test station puts on and takes
 * off the wire (TCP port 1237 of the unit). Written on their own for the
 * station simulator, so that it checks the unit against the wire layout,
 * not against the unit's own headers. Packed little-endian records pinned
 * by static_asserts.
 */
#ifndef STATION_SIM_WIRE_H
#define STATION_SIM_WIRE_H

#include <stddef.h>
#include <stdint.h>

#define SSW_MAGIC 0xb45329c7u
#define SSW_PREFIX_LEN 12u
#define SSW_HEAD_LEN 20u    /* prefix, message type, command type */
#define SSW_PAYLOAD_MAX 128u
#define SSW_FRAME_MAX 148u  /* the unit's receiving record */
#define SSW_PORT 1237

/* Increment of the challenge digest (the multiplier and the modulus come
 * from the build). */
#define SSW_DIGEST_INC 3171547u

enum { SSW_RESPONSE = 0, SSW_REQUEST = 1 };

enum {
    SSW_TEST_REQUEST = 0,
    SSW_AUTH_CHALLENGE = 1,
    SSW_TIME_SYNCHRONIZE = 2,
    SSW_VERSION_GET = 3,
    SSW_FACTORY_RESET = 4,
    SSW_SN_GET = 5,
    SSW_SN_SET = 6,
    SSW_TEST_RESULT_GET = 7,
    SSW_TEST_RESULT_SET = 8,
    SSW_COMMU_TEST = 9,
    SSW_LED_TEST = 10,
    SSW_BUTTON_TEST = 11,
    SSW_TEMP_GET = 12,
    SSW_FLASH_TEST = 13,
    SSW_LCD_TEST = 14,
    SSW_LCDTYPE_SET = 15,
    SSW_HEARTBEAT = 16,
    SSW_BRIGHT_SET = 17,
    SSW_BRIGHT_GET = 18,
    SSW_INFO_GET = 19,
    SSW_TELNET_SET = 20,
    SSW_IP_SET = 21,
    SSW_SERVERIP_SET = 22,
    SSW_IMAGE_GET = 23,
    SSW_FLASH_COPY = 24,
    SSW_REBOOT = 25,
    SSW_LOGO_SET = 26,
    SSW_LOGO_GET = 27,
    SSW_NUM_CMDS = 28
};

enum { SSW_TEST_FAIL = 0, SSW_TEST_OK = 1 };
enum { SSW_LED_STATE_GREEN = 0, SSW_LED_STATE_RED = 1, SSW_LED_ALARM_RED = 2 };
enum { SSW_LED_ON = 0, SSW_LED_OFF = 1 };
enum { SSW_LCD_WHITE = 0, SSW_LCD_BLACK = 1 };

#pragma pack(push, 1)

typedef struct {
    uint32_t header;
    uint32_t length;
    uint32_t transID;
    int32_t msgType;
    int32_t cmdType;
} SSW_Head_t;

typedef struct {
    int32_t testResult;
    int32_t testID;
    uint64_t timeStamp;
} SSW_TestResult_t;

typedef struct {
    int32_t led;
    int32_t ctrl;
} SSW_LedTest_t;

typedef struct {
    int32_t keyCode;
    int32_t keyAction;
} SSW_KeyEvent_t;

typedef struct {
    uint64_t kelTime;
    uint32_t MPUFreq;
    int32_t kelLanguage;
    int32_t curMTDGroup;
    int32_t kelBrightness;
    int32_t kelBKLCtrl;
    int32_t kelLcdType;
    int32_t kelTelnet;
    int32_t workHour;
    uint32_t logoType;
    char kelAppVersion[16];
    char kelKernelVersion[16];
    char kelFWVersion[16];
    char appServer[16];
    char IPAddr[16];
} SSW_Info_t;

#pragma pack(pop)

static_assert(sizeof(SSW_Head_t) == SSW_HEAD_LEN, "frame head");
static_assert(offsetof(SSW_Head_t, msgType) == 12, "frame head");
static_assert(offsetof(SSW_Head_t, cmdType) == 16, "frame head");
static_assert(sizeof(SSW_TestResult_t) == 16, "test result");
static_assert(offsetof(SSW_TestResult_t, timeStamp) == 8, "test result");
static_assert(sizeof(SSW_LedTest_t) == 8, "LED test");
static_assert(sizeof(SSW_KeyEvent_t) == 8, "key event");
static_assert(sizeof(SSW_Info_t) == 124, "information record");
static_assert(offsetof(SSW_Info_t, logoType) == 40, "information record");
static_assert(offsetof(SSW_Info_t, kelAppVersion) == 44, "information record");
static_assert(offsetof(SSW_Info_t, IPAddr) == 108, "information record");

#endif /* STATION_SIM_WIRE_H */
