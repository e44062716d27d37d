/*
 * meterSimWire.h - the frames the meter simulator puts on and takes off the
 * wire: the 12-byte prefix, the non-screen commands (port 1236) and the
 * screen-and-key commands (port 1234). Written on their own for the
 * simulator so that it checks the unit against the wire layout, not against
 * the unit's own headers. Every record is packed little-endian and pinned
 * by static_asserts.
 */
#ifndef METER_SIM_WIRE_H
#define METER_SIM_WIRE_H

#include <stddef.h>
#include <stdint.h>

#define MSW_MAGIC            0xb45329c7u
#define MSW_PREFIX_LEN       12u
#define MSW_HEAD_LEN         16u   /* prefix + command type */

/* Largest frame the unit's receiving records hold, per link. */
#define MSW_NS_MAX_FRAME     32u
#define MSW_STP_MAX_FRAME    52u
#define MSW_FB_MAX_FRAME     792u
#define MSW_MAX_FRAME        MSW_FB_MAX_FRAME

#define MSW_NS_PORT          1236
#define MSW_FB_PORT          1234
#define MSW_STP_PORT         1235

/* Non-screen command types. */
enum {
    MSW_NS_UNKNOWN = -1,
    MSW_NS_RESPONSE = 0,
    MSW_NS_SET_BRIGHTNESS = 1,
    MSW_NS_SET_TIME = 2,
    MSW_NS_SET_STATUS_LED = 3,
    MSW_NS_SET_ALARM_LED = 4,
    MSW_NS_GET_TEMPERATURE = 5,
    MSW_NS_GET_ERROR = 6,
    MSW_NS_GET_DATA = 7,
    MSW_NS_HEARTBEAT = 8
};

/* Screen-and-key command types. */
enum {
    MSW_FB_UNKNOWN = -1,
    MSW_FB_RESPONSE = 0,
    MSW_FB_DATA_REQ = 1,
    MSW_FB_FBDATA = 2,
    MSW_FB_SCR_FIN = 3,
    MSW_FB_KEYEVENT = 4,
    MSW_FB_HEARTBEAT = 5
};

/* Startup command types. */
enum {
    MSW_STP_UNKNOWN = -1,
    MSW_STP_RESPONSE = 0,
    MSW_STP_DATA_REQ = 1,
    MSW_STP_RANDOM = 2,
    MSW_STP_VERSION = 3,
    MSW_STP_DIGEST = 4,
    MSW_STP_STATE = 5,
    MSW_STP_HEARTBEAT = 6
};

/* Application states carried by a startup STATE frame. */
enum {
    MSW_STP_STATE_UNKNOWN = -1,
    MSW_STP_STATE_APP_TRANS_DONE = 0,
    MSW_STP_STATE_APP_RUNNING = 1,
    MSW_STP_STATE_APP_UPDATE = 2,
    MSW_STP_STATE_KERNEL_UPDATE = 3,
    MSW_STP_STATE_APP_STARTFAIL = 4,
    MSW_STP_STATE_DISCONNECTED = 5
};

/* Serial number field of the startup data request; on the wire only the
 * characters travel, without a terminating NUL. */
#define MSW_STP_SN_LEN       32u
/* Fixed part of the data request: prefix, command type, firmware version. */
#define MSW_STP_DATA_REQ_MIN 20u
/* Increment of the challenge digest (the multiplier and the modulus come
 * from the build). */
#define MSW_STP_DIGEST_INC   3171547u

/* Result codes of a RESPONSE, all links. */
enum { MSW_RC_ERROR = 0, MSW_RC_OK = 1 };

/* Status LED colours. */
enum { MSW_LED_GREEN = 0, MSW_LED_RED = 1 };

/* Screen geometry and rectangle capacity. */
#define MSW_SCREEN_W         320
#define MSW_SCREEN_H         240
#define MSW_RECT_PIXELS      384
#define MSW_RECT_BYTES       768

#pragma pack(push, 1)

typedef struct {
    uint32_t header;
    uint32_t length;
    uint32_t transID;
    int32_t cmdType;
} MSW_Head_t;

typedef struct {
    uint32_t transID;
    int32_t cmdType;
    int32_t respCode;
} MSW_Response_t;

typedef struct {
    uint16_t cycle;
    uint16_t duty;
    uint16_t numActCycle;
    uint16_t numInActCycle;
} MSW_Pattern_t;

typedef struct {
    int32_t colour;
    MSW_Pattern_t pattern;
} MSW_StatusLed_t;

typedef struct {
    int32_t errCode;
    uint64_t errTimeStamp;
} MSW_Error_t;

typedef struct {
    uint16_t width;
    uint16_t height;
    uint16_t bpp;
} MSW_DataReq_t;

typedef struct {
    uint16_t x;
    uint16_t y;
    uint16_t w;
    uint16_t h;
    uint8_t pixels[MSW_RECT_BYTES];
} MSW_Rect_t;

typedef struct {
    int32_t keyCode;
    int32_t keyAction;
} MSW_KeyEvent_t;

typedef struct {
    uint8_t major;
    uint8_t minor;
    uint16_t build;
} MSW_FwVersion_t;

typedef struct {
    MSW_FwVersion_t fw;
    char serialNum[MSW_STP_SN_LEN];
} MSW_StpDataReq_t;

typedef struct {
    uint32_t random;
    uint64_t unixTime;
} MSW_StpRandom_t;

typedef struct {
    uint32_t appVersion;     /* (major * 256 + minor) in the low 16 bits */
    uint32_t kernelVersion;  /* kernel build number */
} MSW_StpVersion_t;

/* Whole frames. */
typedef struct { MSW_Head_t head; MSW_Response_t resp; } MSW_RespFrame_t;
typedef struct { MSW_Head_t head; uint32_t brightness; } MSW_BrightFrame_t;
typedef struct { MSW_Head_t head; uint64_t unixTime; } MSW_TimeFrame_t;
typedef struct { MSW_Head_t head; MSW_StatusLed_t led; } MSW_StatusFrame_t;
typedef struct { MSW_Head_t head; MSW_Pattern_t pattern; } MSW_AlarmFrame_t;
typedef struct { MSW_Head_t head; int32_t temperature; } MSW_TempFrame_t;
typedef struct { MSW_Head_t head; MSW_Error_t err; } MSW_ErrorFrame_t;
typedef struct { MSW_Head_t head; MSW_DataReq_t req; } MSW_DataReqFrame_t;
typedef struct { MSW_Head_t head; MSW_Rect_t rect; } MSW_RectFrame_t;
typedef struct { MSW_Head_t head; MSW_KeyEvent_t key; } MSW_KeyFrame_t;
typedef struct { MSW_Head_t head; MSW_StpDataReq_t req; } MSW_StpDataReqFrame_t;
typedef struct { MSW_Head_t head; MSW_StpRandom_t challenge; } MSW_StpRandomFrame_t;
typedef struct { MSW_Head_t head; MSW_StpVersion_t version; } MSW_StpVersionFrame_t;
typedef struct { MSW_Head_t head; uint32_t digest; } MSW_StpDigestFrame_t;
typedef struct { MSW_Head_t head; int32_t state; } MSW_StpStateFrame_t;

#pragma pack(pop)

static_assert(sizeof(MSW_Head_t) == 16, "frame head");
static_assert(offsetof(MSW_Head_t, length) == 4, "length offset");
static_assert(offsetof(MSW_Head_t, transID) == 8, "transID offset");
static_assert(offsetof(MSW_Head_t, cmdType) == 12, "cmdType offset");
static_assert(sizeof(MSW_Response_t) == 12, "response body");
static_assert(sizeof(MSW_Pattern_t) == 8, "pattern");
static_assert(offsetof(MSW_Pattern_t, numInActCycle) == 6, "pattern tail");
static_assert(sizeof(MSW_StatusLed_t) == 12, "status led body");
static_assert(sizeof(MSW_Error_t) == 12, "error body");
static_assert(offsetof(MSW_Error_t, errTimeStamp) == 4, "error stamp");
static_assert(sizeof(MSW_DataReq_t) == 6, "data request body");
static_assert(sizeof(MSW_Rect_t) == 776, "rectangle body");
static_assert(offsetof(MSW_Rect_t, pixels) == 8, "rectangle pixels");
static_assert(sizeof(MSW_KeyEvent_t) == 8, "key event body");

static_assert(sizeof(MSW_RespFrame_t) == 28, "RESPONSE frame");
static_assert(offsetof(MSW_RespFrame_t, resp) == 16, "RESPONSE body");
static_assert(offsetof(MSW_RespFrame_t, resp.respCode) == 24, "RESPONSE code");
static_assert(sizeof(MSW_BrightFrame_t) == 20, "SET_BRIGHTNESS frame");
static_assert(sizeof(MSW_TimeFrame_t) == 24, "SET_TIME frame");
static_assert(offsetof(MSW_TimeFrame_t, unixTime) == 16, "SET_TIME body");
static_assert(sizeof(MSW_StatusFrame_t) == 28, "SET_STATUS_LED frame");
static_assert(offsetof(MSW_StatusFrame_t, led.pattern) == 20, "status pattern");
static_assert(sizeof(MSW_AlarmFrame_t) == 24, "SET_ALARM_LED frame");
static_assert(sizeof(MSW_TempFrame_t) == 20, "GET_TEMPERATURE frame");
static_assert(sizeof(MSW_ErrorFrame_t) == 28, "GET_ERROR frame");
static_assert(offsetof(MSW_ErrorFrame_t, err.errTimeStamp) == 20, "error stamp offset");
static_assert(sizeof(MSW_DataReqFrame_t) == 22, "DATA_REQ frame");
static_assert(sizeof(MSW_RectFrame_t) == MSW_FB_MAX_FRAME, "FBDATA frame");
static_assert(offsetof(MSW_RectFrame_t, rect.pixels) == 24, "FBDATA pixels");
static_assert(sizeof(MSW_KeyFrame_t) == 24, "KEYEVENT frame");

static_assert(sizeof(MSW_FwVersion_t) == 4, "firmware version");
static_assert(offsetof(MSW_FwVersion_t, build) == 2, "firmware build");
static_assert(sizeof(MSW_StpDataReq_t) == 36, "startup data request body");
static_assert(offsetof(MSW_StpDataReq_t, serialNum) == 4, "serial number offset");
static_assert(sizeof(MSW_StpRandom_t) == 12, "challenge body");
static_assert(offsetof(MSW_StpRandom_t, unixTime) == 4, "challenge clock offset");
static_assert(sizeof(MSW_StpVersion_t) == 8, "version body");
static_assert(offsetof(MSW_StpVersion_t, kernelVersion) == 4, "kernel version offset");
static_assert(sizeof(MSW_StpDataReqFrame_t) == MSW_STP_MAX_FRAME, "startup DATA_REQ frame");
static_assert(offsetof(MSW_StpDataReqFrame_t, req.serialNum) == MSW_STP_DATA_REQ_MIN,
              "serial number on the wire");
static_assert(sizeof(MSW_StpRandomFrame_t) == 28, "RANDOM frame");
static_assert(offsetof(MSW_StpRandomFrame_t, challenge.unixTime) == 20, "RANDOM clock");
static_assert(sizeof(MSW_StpVersionFrame_t) == 24, "VERSION frame");
static_assert(offsetof(MSW_StpVersionFrame_t, version.kernelVersion) == 20, "VERSION kernel");
static_assert(sizeof(MSW_StpDigestFrame_t) == 20, "DIGEST frame");
static_assert(sizeof(MSW_StpStateFrame_t) == 20, "STATE frame");
static_assert(sizeof(MSW_RespFrame_t) <= MSW_STP_MAX_FRAME, "answers fit a startup frame");

/* The wire is little-endian and the records are copied as they lie in
 * memory; both targets (x86-64 and 32-bit ARM) are little-endian. */
static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "little-endian host");

#endif /* METER_SIM_WIRE_H */
