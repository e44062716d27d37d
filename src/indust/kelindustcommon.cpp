/*
 * kelindustcommon.cpp - the factory test command handlers (see
 * kelindustcommon.h). The station's texts never reach a shell: the factory
 * record, the configuration file and the serial number are written by the
 * common key/value file code, which refuses anything but one printable
 * word. Commands that change what the unit keeps or does are carried out
 * only for a station that answered its challenge.
 */
#include "kelindustcommon.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "kel.h"
#include "kelbootenv.h"
#include "kelcommon.h"
#include "kelerror.h"
#include "kellog.h"
#include "kelmsg.h"

#define INDC_REPORT(code) \
    kelLogError(KEL_TASK_APP_INDUSTRY, KEL_FILEID_INDUSTCOMMON, __LINE__, (code))

#define INDC_VALUE_BUF (KEL_ENV_VALUE_SIZE + 1) /* a read value and its NUL */
#define INDC_CLOCK_WAIT_MS 50                   /* the daemon sets the clock */
#define INDC_REBOOT_WAIT_MS 1000                /* the answer leaves first */
#define INDC_BRIGHT_MAX 100
#define INDC_LED_CYCLE 1000
#define INDC_LED_DUTY_ON 100
#define INDC_TESTER_UNKNOWN (-1)

#define INDC_KEY_RESULT "TESTRESULT"
#define INDC_KEY_TESTER "TESTERID"
#define INDC_KEY_STAMP "TIMESTAMP"

#define INDC_RESET_PROGRAM "/usr/bin/kelreset"
#define INDC_FLASHCOPY_PROGRAM "/usr/bin/kelflashcopy"
#define INDC_IMAGE_FILE "/usr/ftp/up/rootfs.img"
#define INDC_MTD_GROUP0 "/dev/mtd4"
#define INDC_MTD_GROUP1 "/dev/mtd6"

/* The last challenge sent, and whether it may still be answered: a
 * challenge is good for one answer on the connection that asked for it. */
static UINT32 authChallengeRandom;
static INT32 bChallengeOpen;

typedef void (*industHandler_t)(KEL_DEVICE_INFO *device, const KEL_INDUST_Message_t *msg);

/* ---- sending ---- */

/* Sends one frame on the station's link; a failed send marks the link
 * failed, so the serving loop closes it. */
static INT32 industSendFrame(KEL_DEVICE_INFO *device, INT32 cmdType, const void *data)
{
    INT32 rc = industSendOnLink(&device->socket, cmdType, KEL_INDUST_RESPONSE, data);
    if (rc <= 0) {
        KEL_STORE(device->socketState, KEL_SOCKET_FAIL);
        return -1;
    }
    KEL_STORE(device->sendTick, kelGetTick());
    return 1;
}

INT32 industSendResponse(KEL_DEVICE_INFO *device, INT32 cmdType, KEL_TEST_RESULT_e result)
{
    /* The longest result payload is 16 bytes: the result, then zeros. */
    UINT8 payload[KEL_INDUST_RESULT_PAD_SIZE];
    if (device == NULL) {
        return -1;
    }
    memset(payload, 0, sizeof(payload));
    memcpy(payload, &result, sizeof(result));
    return industSendFrame(device, cmdType, payload);
}

static KEL_TEST_RESULT_e industResult(INT32 rc)
{
    return rc > 0 ? TEST_OK : TEST_FAIL;
}

/* 1 when a station is connected (its socket open and the link up). */
static INT32 industStationPresent(const KEL_DEVICE_INFO *device)
{
    return KEL_LOAD(device->socket) > 0 && KEL_LOAD(device->socketState) == KEL_SOCKET_CONNECTED;
}

INT32 industIsAuthenticated(const KEL_DEVICE_INFO *device)
{
    return device != NULL && KEL_LOAD(device->bDataRequested) == KEL_TRUE ? 1 : 0;
}

INT32 industKELSendTempData(KEL_DEVICE_INFO *device, INT32 tempValue)
{
    if (device == NULL || !industStationPresent(device) || !industIsAuthenticated(device)) {
        return 0;
    }
    KEL_INDUST_Temp_t temp;
    temp.tempValue = tempValue;
    return industSendFrame(device, KEL_INDUST_TEMP_GET, &temp);
}

INT32 industKeyPadEventSend(KEL_DEVICE_INFO *device, const KELFB_keyEvent_t *keyEvent)
{
    if (device == NULL || keyEvent == NULL || !industStationPresent(device)) {
        return 0;
    }
    KEL_INDUST_ButtonTest_t button;
    button.keyEvent = *keyEvent;
    return industSendFrame(device, KEL_INDUST_BUTTON_TEST, &button);
}

/* ---- requests to the control daemon ---- */

/* Posts one request on the R queue under the send mutex. 1 posted, -1 the
 * queue could not be found, -2 the post failed (both reported). */
static INT32 industPostRx(INT32 cmdType, const void *data, UINT32 size)
{
    INT32 queue = -1;
    if (kelAppMsgQueGetID(&queue, KEL_MSG_ID_RX) < 0) {
        INDC_REPORT(KEL_FW_MSGQ_GETID_ERROR);
        return -1;
    }
    kel_MsgQue_Rx_t msg;
    memset(&msg, 0, sizeof(msg));
    msg.msgType = KEL_MSG_TYPE_RX;
    msg.cmdType = cmdType;
    if (data != NULL && size <= sizeof(msg.data)) {
        memcpy(&msg.data, data, size);
    }
    pthread_mutex_lock(&industSendMutex);
    INT32 rc = kelAppMsgQueDataSend(queue, KEL_MSG_TYPE_RX, &msg);
    pthread_mutex_unlock(&industSendMutex);
    if (rc < 0) {
        INDC_REPORT(KEL_FW_MSGQ_SEND_ERROR);
        return -2;
    }
    return 1;
}

INT32 industLEDControl(INT32 kelLED, INT32 ledCtrl)
{
    if (kelLED < STATE_LED_GREEN || kelLED >= MAX_NUM_LED ||
        (ledCtrl != KEL_LED_ON && ledCtrl != KEL_LED_OFF)) {
        return -1;
    }
    KELNS_patternData_t pattern;
    pattern.Cycle = INDC_LED_CYCLE;
    pattern.Duty = (ledCtrl == KEL_LED_ON) ? INDC_LED_DUTY_ON : 0;
    pattern.NumActCycle = 1;
    pattern.NumInActCycle = 0;
    INT32 rc;
    if (kelLED == ALARM_LED_RED) {
        KELNS_alarmLedData_t alarm;
        alarm.pattern = pattern;
        rc = industPostRx(KEL_MSGQ_RX_ALARM_LED, &alarm, sizeof(alarm));
    } else {
        KELNS_statusLedData_t status;
        status.colour = (kelLED == STATE_LED_GREEN) ? KELNS_LED_GREEN : KELNS_LED_RED;
        status.pattern = pattern;
        rc = industPostRx(KEL_MSGQ_RX_STATUS_LED, &status, sizeof(status));
    }
    /* Only a missing queue fails the test; a lost post was reported. */
    return rc == -1 ? -1 : 1;
}

INT32 industLCDControl(INT32 lcdCtrl)
{
    if (lcdCtrl != LCD_WHITE && lcdCtrl != LCD_BLACK) {
        return -1;
    }
    UINT8 *screen = (UINT8 *)malloc(KEL_FB_FRAME_SIZE);
    if (screen == NULL) {
        INDC_REPORT(KEL_FW_MEM_ALLOC_ERROR);
        return -1;
    }
    memset(screen, lcdCtrl == LCD_WHITE ? 0xFF : 0x00, KEL_FB_FRAME_SIZE);
    INT32 rc = -1;
    INT32 queue = -1;
    if (kelAppMsgQueGetID(&queue, KEL_MSG_ID_FB) < 0) {
        INDC_REPORT(KEL_FW_MSGQ_GETID_ERROR);
    } else if (kelFBShareMemWrite(screen, KEL_FB_FRAME_SIZE, KEL_TASK_APP_INDUSTRY) > 0) {
        kel_MsgQue_FB_t ready;
        ready.msgType = KEL_MSG_TYPE_FB;
        ready.appTaskID = KEL_TASK_APP_INDUSTRY;
        ready.bScrFinished = KEL_TRUE;
        pthread_mutex_lock(&industSendMutex);
        rc = kelAppMsgQueDataSend(queue, KEL_MSG_TYPE_FB, &ready);
        pthread_mutex_unlock(&industSendMutex);
        if (rc < 0) {
            INDC_REPORT(KEL_FW_MSGQ_SEND_ERROR);
        }
    }
    free(screen);
    return rc > 0 ? 1 : -1;
}

/* ---- files and the boot environment ---- */

INT32 kelSetIndustConfig(const char *key, const char *value)
{
    if (key == NULL || value == NULL) {
        return -1;
    }
    return kelKeyFileSet(KEL_INDUST_FILE, key, value);
}

INT32 kelGetIndustConfig(const char *key, char *value)
{
    if (key == NULL || value == NULL) {
        return -1;
    }
    return kelKeyFileGet(KEL_INDUST_FILE, key, value);
}

/* A decimal number of the configuration file; 0 when missing. */
static INT32 industConfigNumber(const char *key)
{
    char text[INDC_VALUE_BUF] = {0};
    if (kelGetLinuxEnv(key, text) < 0) {
        return 0;
    }
    return (INT32)strtol(text, NULL, 10);
}

/* A text of the configuration file into a 16-byte field (cut to fit,
 * NUL-padded); the field stays zero when the key is missing. */
static INT32 industConfigText(const char *key, char *field)
{
    char text[INDC_VALUE_BUF] = {0};
    if (kelGetLinuxEnv(key, text) < 0) {
        return -1;
    }
    size_t len = strnlen(text, KEL_INDUST_TEXT_SIZE);
    memcpy(field, text, len);
    return 1;
}

INT32 kelLogoGet(INT32 *logo)
{
    char text[KEL_ENV_VALUE_SIZE] = {0};
    if (logo == NULL) {
        return -1;
    }
    /* Not set yet: an empty value, logo 0. */
    INT32 rc = kelBootEnvGet(KEL_INDUST_LOGO_VAR, text);
    if (rc < 0) {
        *logo = KEL_LOGO_TAMVORIK;
        return rc;
    }
    long v = strtol(text, NULL, 10);
    *logo = (v == KEL_LOGO_TAMVORIK || v == KEL_LOGO_QUILLEX) ? (INT32)v : KEL_LOGO_TAMVORIK;
    return 1;
}

/* Runs a platform program by its board path, without arguments. */
static INT32 industRunProgram(const char *boardPath)
{
    char cmd[KEL_SHELL_CMD_SIZE];
    if (kelShellProgram(boardPath, cmd, sizeof(cmd)) <= 0) {
        return -1;
    }
    return kelExecSysCmd(cmd);
}

/* ---- station texts ---- */

/* The request's text (its payload, `length` - 20 bytes) into `out` with a
 * terminator. The text ends at its first NUL: a station written in C sends
 * its fixed field whole, NUL-padded. Its length, or -1 when it is empty,
 * does not fit `outSize` - 1 bytes, or has anything but NULs after its
 * first NUL. */
static INT32 industStationText(const KEL_INDUST_Message_t *msg, char *out, UINT32 outSize)
{
    const char *raw = (const char *)msg->data.raw;
    UINT32 payload = msg->length - KEL_INDUST_HEADER_SIZE;
    UINT32 len = (UINT32)strnlen(raw, payload);
    if (len == 0 || len >= outSize) {
        return -1;
    }
    for (UINT32 i = len; i < payload; i++) {
        if (raw[i] != '\0') {
            return -1;
        }
    }
    memcpy(out, raw, len);
    out[len] = '\0';
    return (INT32)len;
}

INT32 industIsDottedIPv4(const char *text, INT32 len)
{
    if (text == NULL || len <= 0) {
        return 0;
    }
    INT32 parts = 0;
    INT32 i = 0;
    while (i < len) {
        INT32 start = i;
        INT32 value = 0;
        while (i < len && text[i] >= '0' && text[i] <= '9' && i - start < 3) {
            value = value * 10 + (text[i] - '0');
            i++;
        }
        INT32 digits = i - start;
        /* One to three digits, at most 255, no leading zero (some readers
         * would take it as octal). */
        if (digits == 0 || value > 255 || (digits > 1 && text[start] == '0')) {
            return 0;
        }
        parts++;
        if (i == len) {
            break;
        }
        if (text[i] != '.' || parts == 4) {
            return 0;
        }
        i++;
        if (i == len) {
            return 0; /* a trailing dot */
        }
    }
    return parts == 4 ? 1 : 0;
}

/* ---- the handshake ---- */

void industResetAuth(KEL_DEVICE_INFO *device)
{
    if (device != NULL) {
        KEL_STORE(device->bDataRequested, KEL_FALSE);
    }
    bChallengeOpen = 0;
}

static void industTestRequestHandle(KEL_DEVICE_INFO *device, const KEL_INDUST_Message_t *msg)
{
    (void)msg;
    KEL_INDUST_AuthChallenge_t challenge;
    bChallengeOpen = 0;
    authChallengeRandom = industGetRandom();
    if (authChallengeRandom == 0) {
        /* No challenge the station could not predict: none at all. */
        INDC_REPORT(KEL_FW_FILE_READ_ERROR);
        return;
    }
    bChallengeOpen = 1;
    challenge.authValue = authChallengeRandom;
    if (industSendOnLink(&device->socket, KEL_INDUST_AUTH_CHALLENGE, KEL_INDUST_REQUEST,
                         &challenge) <= 0) {
        KEL_STORE(device->socketState, KEL_SOCKET_FAIL);
    }
}

void industServerMsgRespHandle(KEL_DEVICE_INFO *device, const KEL_INDUST_Message_t *recvMsg)
{
    if (device == NULL || recvMsg == NULL || recvMsg->cmdType != KEL_INDUST_AUTH_CHALLENGE) {
        return;
    }
    /* Only an answer to a challenge of this connection counts, and only
     * once: without this, the digest of a never-sent challenge (zero)
     * would let any host in. */
    if (!bChallengeOpen) {
        return;
    }
    bChallengeOpen = 0;
    if (recvMsg->data.authChallenge.authValue != industGetDigest(authChallengeRandom)) {
        return;
    }
    KEL_STORE(device->bDataRequested, KEL_TRUE);
    (void)industSendResponse(device, KEL_INDUST_TEST_REQUEST, TEST_OK);
    (void)kelSetWorkMode(KEL_MODE_INDUSTRY);
}

/* ---- request handlers ---- */

static void industTimeSyncHandle(KEL_DEVICE_INFO *device, const KEL_INDUST_Message_t *msg)
{
    KELNS_timeData_t t;
    t.unixTime = msg->data.timeSync.unixTime;
    (void)industPostRx(KEL_MSGQ_RX_TIME, &t, sizeof(t));
    kelSleep(INDC_CLOCK_WAIT_MS);
    KEL_INDUST_timeSync_t now;
    now.unixTime = kelGetRTCTime();
    (void)industSendFrame(device, KEL_INDUST_TIME_SYNCHRONIZE, &now);
}

static void industVersionGetHandle(KEL_DEVICE_INFO *device, const KEL_INDUST_Message_t *msg)
{
    (void)msg;
    KEL_INDUST_Version_t version;
    memset(&version, 0, sizeof(version));
    if (industConfigText("KEL_VERSION", version.kelFwVersion) < 0 || version.kelFwVersion[0] == '\0') {
        return;
    }
    (void)industSendFrame(device, KEL_INDUST_VERSION_GET, &version);
}

static void industFactoryResetHandle(KEL_DEVICE_INFO *device, const KEL_INDUST_Message_t *msg)
{
    (void)msg;
    INT32 rc = industRunProgram(INDC_RESET_PROGRAM);
    (void)industSendResponse(device, KEL_INDUST_FACTORY_RESET, industResult(rc));
    kelSleep(INDC_REBOOT_WAIT_MS);
    (void)kelReboot();
}

static void industSnGetHandle(KEL_DEVICE_INFO *device, const KEL_INDUST_Message_t *msg)
{
    (void)msg;
    char sn[KEL_INDUST_SN_SIZE + 1] = {0};
    INT32 len = 0;
    if (kelGetSerialNumber(sn, &len) < 0) {
        return;
    }
    (void)industSendFrame(device, KEL_INDUST_SN_GET, sn);
}

static void industSnSetHandle(KEL_DEVICE_INFO *device, const KEL_INDUST_Message_t *msg)
{
    char sn[KEL_INDUST_SN_SIZE + 1] = {0};
    INT32 len = industStationText(msg, sn, sizeof(sn));
    INT32 rc = -1;
    if (len > 0) {
        printf("serNum(%d): %s\n", len, sn);
        rc = kelSetSerialNumber(sn, len);
    } else {
        printf("serNum: refused, %u bytes\n", msg->length - KEL_INDUST_HEADER_SIZE);
    }
    fflush(stdout);
    (void)industSendResponse(device, KEL_INDUST_SN_SET, industResult(rc));
}

static void industTestResultGetHandle(KEL_DEVICE_INFO *device, const KEL_INDUST_Message_t *msg)
{
    (void)msg;
    KEL_INDUST_TestResult_t result;
    char text[INDC_VALUE_BUF] = {0};
    memset(&result, 0, sizeof(result));
    if (kelGetIndustConfig(INDC_KEY_RESULT, text) > 0) {
        result.testResult = (KEL_TEST_RESULT_e)strtol(text, NULL, 10);
    }
    INT32 complete = 1;
    memset(text, 0, sizeof(text));
    if (kelGetIndustConfig(INDC_KEY_TESTER, text) > 0) {
        result.testID = (INT32)strtol(text, NULL, 10);
    } else {
        complete = 0;
    }
    memset(text, 0, sizeof(text));
    if (kelGetIndustConfig(INDC_KEY_STAMP, text) > 0) {
        result.timeStamp = kelGetTimeStampByStr(text, (UINT32)strlen(text));
    } else {
        complete = 0;
    }
    if (!complete) {
        result.testResult = TEST_FAIL;
        result.testID = INDC_TESTER_UNKNOWN;
    }
    (void)industSendFrame(device, KEL_INDUST_TEST_RESULT_GET, &result);
}

INT32 kelSetIndustTestResult(INT32 testResult, INT32 testID, UINT32 seconds)
{
    char result[16];
    char tester[16];
    char stamp[KEL_LOG_STAMP_LEN + 1];
    snprintf(result, sizeof(result), "%d", (int)testResult);
    snprintf(tester, sizeof(tester), "%d", (int)testID);
    if (kelFormatTimeStamp(seconds, stamp, sizeof(stamp)) < 0) {
        return -1;
    }
    /* One record: the three keys go into the file together, so a power cut
     * leaves the old result or the new one, never a mix of both. */
    const char *keys[] = {INDC_KEY_RESULT, INDC_KEY_TESTER, INDC_KEY_STAMP};
    const char *values[] = {result, tester, stamp};
    return kelKeyFileSetAll(KEL_INDUST_FILE, keys, values, 3);
}

static void industTestResultSetHandle(KEL_DEVICE_INFO *device, const KEL_INDUST_Message_t *msg)
{
    const KEL_INDUST_TestResult_t *in = &msg->data.testResult;
    /* The time stamp keeps its low 32 bits, as Unix seconds. */
    INT32 rc = kelSetIndustTestResult((INT32)in->testResult, (INT32)in->testID, (UINT32)in->timeStamp);
    (void)industSendResponse(device, KEL_INDUST_TEST_RESULT_SET, industResult(rc));
}

static void industOkHandle(KEL_DEVICE_INFO *device, const KEL_INDUST_Message_t *msg)
{
    (void)industSendResponse(device, msg->cmdType, TEST_OK);
}

static void industLedTestHandle(KEL_DEVICE_INFO *device, const KEL_INDUST_Message_t *msg)
{
    INT32 rc = industLEDControl(msg->data.ledTest.kelLED, msg->data.ledTest.ledCtrl);
    (void)industSendResponse(device, KEL_INDUST_LED_TEST, industResult(rc));
}

static void industTempGetHandle(KEL_DEVICE_INFO *device, const KEL_INDUST_Message_t *msg)
{
    (void)device;
    (void)msg;
    /* The daemon's reading comes back on the industry queue. */
    (void)industPostRx(KEL_MSGQ_RX_GET_TEMP, NULL, 0);
}

static void industLcdTestHandle(KEL_DEVICE_INFO *device, const KEL_INDUST_Message_t *msg)
{
    INT32 rc = industLCDControl(msg->data.lcdTest.lcdCtrl);
    (void)industSendResponse(device, KEL_INDUST_LCD_TEST, industResult(rc));
}

static void industLcdTypeSetHandle(KEL_DEVICE_INFO *device, const KEL_INDUST_Message_t *msg)
{
    INT32 type = msg->data.lcdType.lcdType;
    printf("kelLcdTypeSet.lcdType:%d\n", (int)type);
    fflush(stdout);
    INT32 rc = industPostRx(KEL_MSGQ_RX_LCDTYPE, &type, sizeof(type));
    (void)industSendResponse(device, KEL_INDUST_LCDTYPE_SET, industResult(rc));
}

static void industBrightSetHandle(KEL_DEVICE_INFO *device, const KEL_INDUST_Message_t *msg)
{
    KELNS_brightnessData_t bright;
    bright.brightness = msg->data.bright.brightValue;
    INT32 rc = -1;
    if (bright.brightness <= INDC_BRIGHT_MAX) {
        rc = industPostRx(KEL_MSGQ_RX_BRIGHTNESS, &bright, sizeof(bright));
    }
    (void)industSendResponse(device, KEL_INDUST_BRIGHT_SET, industResult(rc));
}

static void industBrightGetHandle(KEL_DEVICE_INFO *device, const KEL_INDUST_Message_t *msg)
{
    (void)msg;
    char text[INDC_VALUE_BUF] = {0};
    if (!industIsAuthenticated(device) || kelGetLinuxEnv("BKLPWM", text) < 0) {
        return;
    }
    KEL_INDUST_Bright_t bright;
    bright.brightValue = (UINT32)strtoul(text, NULL, 10);
    (void)industSendFrame(device, KEL_INDUST_BRIGHT_GET, &bright);
}

static void industInfoGetHandle(KEL_DEVICE_INFO *device, const KEL_INDUST_Message_t *msg)
{
    (void)msg;
    KEL_INDUST_Info_t info;
    memset(&info, 0, sizeof(info));
    info.kelTime = kelGetRTCTime();
    info.MPUFreq = KEL_INDUST_MPU_FREQ;
    info.kelLanguage = industConfigNumber("LANGUAGE");
    info.curMTDGroup = industConfigNumber("ACTMTDGROUP");
    info.kelBrightness = industConfigNumber("BKLPWM");
    info.kelBKLCtrl = industConfigNumber("BKLCTRL");
    info.kelLcdType = industConfigNumber("LCD");
    info.kelTelnet = industConfigNumber("TELNET");
    info.workHour = industConfigNumber("WORKHOUR");
    INT32 logo = 0;
    (void)kelLogoGet(&logo);
    info.logoType = (UINT32)logo;
    (void)industConfigText("APP_VERSION", info.kelAppVersion);
    (void)industConfigText("KER_VERSION", info.kelKernelVersion);
    (void)industConfigText("KEL_VERSION", info.kelFWVersion);
    (void)industConfigText("APPSERVER_IP", info.appServer);
    (void)industConfigText("IPADDR", info.IPAddr);
    (void)industSendFrame(device, KEL_INDUST_INFO_GET, &info);
}

static void industTelnetSetHandle(KEL_DEVICE_INFO *device, const KEL_INDUST_Message_t *msg)
{
    char number[16];
    snprintf(number, sizeof(number), "%d", (int)msg->data.telnetSet.bEnable);
    INT32 rc = kelSetLinuxEnv("TELNET", number);
    (void)industSendResponse(device, KEL_INDUST_TELNET_SET, industResult(rc));
}

/* Stores the request's address text under `key`: only a dotted IPv4
 * address is kept, since a wrong one would cut the unit off at its next
 * start. */
static void industAddressSet(KEL_DEVICE_INFO *device, const KEL_INDUST_Message_t *msg, const char *key)
{
    char addr[KEL_INDUST_TEXT_SIZE + 1] = {0};
    INT32 len = industStationText(msg, addr, sizeof(addr));
    INT32 rc = -1;
    if (len > 0 && industIsDottedIPv4(addr, len)) {
        rc = kelSetLinuxEnv(key, addr);
    }
    (void)industSendResponse(device, msg->cmdType, industResult(rc));
}

static void industIpSetHandle(KEL_DEVICE_INFO *device, const KEL_INDUST_Message_t *msg)
{
    industAddressSet(device, msg, "IPADDR");
}

static void industServerIpSetHandle(KEL_DEVICE_INFO *device, const KEL_INDUST_Message_t *msg)
{
    industAddressSet(device, msg, "APPSERVER_IP");
}

static void industImageGetHandle(KEL_DEVICE_INFO *device, const KEL_INDUST_Message_t *msg)
{
    (void)msg;
    char text[INDC_VALUE_BUF] = {0};
    char from[KEL_SHELL_CMD_SIZE];
    char to[KEL_SHELL_CMD_SIZE];
    char cmd[2 * KEL_SHELL_CMD_SIZE + 16];
    INT32 rc = -1;
    const char *mtd = NULL;
    if (kelGetLinuxEnv("ACTMTDGROUP", text) > 0) {
        long group = strtol(text, NULL, 10);
        mtd = (group == 0) ? INDC_MTD_GROUP0 : (group == 1) ? INDC_MTD_GROUP1 : NULL;
    }
    if (mtd != NULL && kelShellProgram(mtd, from, sizeof(from)) > 0 &&
        kelShellProgram(INDC_IMAGE_FILE, to, sizeof(to)) > 0) {
        int len = snprintf(cmd, sizeof(cmd), "dd if=%s of=%s", from, to);
        if (len > 0 && len < (int)sizeof(cmd)) {
            rc = kelExecSysCmd(cmd);
        }
    }
    (void)industSendResponse(device, KEL_INDUST_IMAGE_GET, industResult(rc));
}

static void industFlashCopyHandle(KEL_DEVICE_INFO *device, const KEL_INDUST_Message_t *msg)
{
    (void)msg;
    INT32 rc = industRunProgram(INDC_FLASHCOPY_PROGRAM);
    (void)industSendResponse(device, KEL_INDUST_FLASH_COPY, industResult(rc));
}

static void industRebootHandle(KEL_DEVICE_INFO *device, const KEL_INDUST_Message_t *msg)
{
    (void)msg;
    (void)industSendResponse(device, KEL_INDUST_REBOOT, TEST_OK);
    kelSleep(INDC_REBOOT_WAIT_MS);
    (void)kelReboot();
}

static void industLogoSetHandle(KEL_DEVICE_INFO *device, const KEL_INDUST_Message_t *msg)
{
    char current[KEL_ENV_VALUE_SIZE] = {0};
    char text[KEL_ENV_VALUE_SIZE];
    INT32 logo = msg->data.splashLogo.logo;
    INT32 rc = -1;
    /* Only a defined logo is written, and the answer is the write's. The
     * read only makes sure the environment is there: a unit whose
     * environment has no logo yet reads it as empty and gets one. */
    if ((logo == KEL_LOGO_TAMVORIK || logo == KEL_LOGO_QUILLEX) &&
        kelBootEnvGet(KEL_INDUST_LOGO_VAR, current) > 0) {
        snprintf(text, sizeof(text), "%d", (int)logo);
        rc = kelBootEnvSet(KEL_INDUST_LOGO_VAR, text);
    }
    (void)industSendResponse(device, KEL_INDUST_LOGO_SET, industResult(rc));
}

static void industLogoGetHandle(KEL_DEVICE_INFO *device, const KEL_INDUST_Message_t *msg)
{
    (void)msg;
    if (!industIsAuthenticated(device)) {
        return;
    }
    KEL_INDUST_splashLogo_t logo;
    INT32 value = 0;
    (void)kelLogoGet(&value);
    logo.logo = (KEL_INDUST_LOGO_t)value;
    (void)industSendFrame(device, KEL_INDUST_LOGO_GET, &logo);
}

/* Who may run a command. Everything that changes what the unit keeps, shows
 * or does waits for the handshake; before it, such a request is answered
 * TEST_FAIL, or not at all where the answer is not a result. */
typedef enum {
    INDC_OPEN = 0,         /* any connected station */
    INDC_GATED = 1,        /* authenticated; others get TEST_FAIL */
    INDC_GATED_SILENT = 2, /* authenticated; others get no answer */
} industGate_t;

typedef struct {
    industHandler_t handle; /* NULL: ignored, no answer */
    industGate_t gate;
} industCommand_t;

/* Indexed by command type, in the order of KEL_INDUST_cmdTypes_t. */
static const industCommand_t industCommands[] = {
    {industTestRequestHandle, INDC_OPEN},       /* TEST_REQUEST */
    {NULL, INDC_OPEN},                          /* AUTH_CHALLENGE */
    {industTimeSyncHandle, INDC_GATED_SILENT},  /* TIME_SYNCHRONIZE */
    {industVersionGetHandle, INDC_OPEN},        /* VERSION_GET */
    {industFactoryResetHandle, INDC_GATED},     /* FACTORY_RESET */
    {industSnGetHandle, INDC_OPEN},             /* SN_GET */
    {industSnSetHandle, INDC_GATED},            /* SN_SET */
    {industTestResultGetHandle, INDC_OPEN},     /* TEST_RESULT_GET */
    {industTestResultSetHandle, INDC_GATED},    /* TEST_RESULT_SET */
    {industOkHandle, INDC_OPEN},                /* COMMU_TEST */
    {industLedTestHandle, INDC_GATED},          /* LED_TEST */
    {NULL, INDC_OPEN},                          /* BUTTON_TEST */
    {industTempGetHandle, INDC_OPEN},           /* TEMP_GET */
    {industOkHandle, INDC_OPEN},                /* FLASH_TEST */
    {industLcdTestHandle, INDC_GATED},          /* LCD_TEST */
    {industLcdTypeSetHandle, INDC_GATED},       /* LCDTYPE_SET */
    {industOkHandle, INDC_OPEN},                /* HEARTBEAT */
    {industBrightSetHandle, INDC_GATED},        /* BRIGHT_SET */
    {industBrightGetHandle, INDC_OPEN},         /* BRIGHT_GET */
    {industInfoGetHandle, INDC_OPEN},           /* INFO_GET */
    {industTelnetSetHandle, INDC_GATED},        /* TELNET_SET */
    {industIpSetHandle, INDC_GATED},            /* IP_SET */
    {industServerIpSetHandle, INDC_GATED},      /* SERVERIP_SET */
    {industImageGetHandle, INDC_GATED},         /* IMAGE_GET */
    {industFlashCopyHandle, INDC_GATED},        /* FLASH_COPY */
    {industRebootHandle, INDC_GATED},           /* REBOOT */
    {industLogoSetHandle, INDC_GATED},          /* LOGO_SET */
    {industLogoGetHandle, INDC_OPEN},           /* LOGO_GET */
};

static_assert(sizeof(industCommands) / sizeof(industCommands[0]) == KEL_INDUST_NUM_CMDS,
              "one entry per command");

static void industRequestHandle(KEL_DEVICE_INFO *device, const KEL_INDUST_Message_t *msg)
{
    INT32 cmd = msg->cmdType;
    if (cmd < 0 || cmd >= KEL_INDUST_NUM_CMDS || industCommands[cmd].handle == NULL) {
        return;
    }
    /* A host that merely reaches the port may not reset, rename or
     * re-address the unit, set its clock, nor drive its LEDs, screen or
     * backlight: those commands wait for the handshake. */
    if (industCommands[cmd].gate != INDC_OPEN && !industIsAuthenticated(device)) {
        if (industCommands[cmd].gate == INDC_GATED) {
            (void)industSendResponse(device, cmd, TEST_FAIL);
        }
        return;
    }
    /* A request cut short of its record would act on zeroes (a clock set
     * to 1970, an LED or a brightness nobody asked for): it is refused.
     * The challenge request's content is never read, so it may be short. */
    if (cmd != KEL_INDUST_TEST_REQUEST &&
        msg->length < KEL_INDUST_HEADER_SIZE + (UINT32)industGetPayloadSize(cmd, KEL_INDUST_REQUEST, NULL)) {
        if (cmd != KEL_INDUST_TIME_SYNCHRONIZE) {
            (void)industSendResponse(device, cmd, TEST_FAIL);
        }
        return;
    }
    industCommands[cmd].handle(device, msg);
}

void industAppMsgRxHandle(KEL_DEVICE_INFO *device, const KEL_INDUST_Message_t *recvMsg)
{
    if (device == NULL || recvMsg == NULL) {
        return;
    }
    if (recvMsg->msgType == KEL_INDUST_RESPONSE) {
        industServerMsgRespHandle(device, recvMsg);
    } else if (recvMsg->msgType == KEL_INDUST_REQUEST) {
        industRequestHandle(device, recvMsg);
    }
}
