/*
 * kelindustcommon.h - the factory test command handlers: the station's
 * challenge handshake, one handler per request, the factory test record,
 * the LED and LCD tests, the information record, and the relay of
 * temperature readings and key events to the station.
 *
 * Called by the factory service (kelindustry): its main thread hands every
 * received frame to industAppMsgRxHandle, its queue thread calls the two
 * relay functions. Hardware actions go to the control daemon through the
 * request queue and the shared frame buffer.
 */
#ifndef KEL_INDUST_COMMON_H
#define KEL_INDUST_COMMON_H

#include "kelTypes.h"
#include "kelindustsocket.h"

#define KEL_INDUST_FILE "/kel/factory/indust.conf"
#define KEL_INDUST_MPU_FREQ 200000
#define KEL_INDUST_LOGO_VAR "splashlogo"

#ifdef __cplusplus
extern "C" {
#endif

/* Entry for every received frame: responses go to the handshake, requests
 * to their command's handler; anything else is ignored. */
void industAppMsgRxHandle(KEL_DEVICE_INFO *device, const KEL_INDUST_Message_t *recvMsg);
/* The station's answers: only the challenge answer is looked at. */
void industServerMsgRespHandle(KEL_DEVICE_INFO *device, const KEL_INDUST_Message_t *recvMsg);
/* Forgets the station's authentication and any challenge it was given; a
 * new connection and every link failure start from here. */
void industResetAuth(KEL_DEVICE_INFO *device);
/* 1 while the connected station is authenticated. */
INT32 industIsAuthenticated(const KEL_DEVICE_INFO *device);

/* Sends a response of `cmdType` whose payload starts with `result` (sized
 * per command). 1 sent, or -1 (the link is then marked failed). */
INT32 industSendResponse(KEL_DEVICE_INFO *device, INT32 cmdType, KEL_TEST_RESULT_e result);
/* Relays a temperature (thousandths of a degree) to an authenticated
 * station as the TEMP_GET response. 1 sent, 0 nobody to send to, -1. */
INT32 industKELSendTempData(KEL_DEVICE_INFO *device, INT32 tempValue);
/* Relays a key event to the connected station as a BUTTON_TEST response.
 * 1 sent, 0 nobody to send to, -1. */
INT32 industKeyPadEventSend(KEL_DEVICE_INFO *device, const KELFB_keyEvent_t *keyEvent);

/* The factory test record: one "KEY value" line per key, same rules as
 * the configuration file (one printable word, replaced atomically).
 * kelGetIndustConfig reads as kelKeyFileGet: a terminated value of at
 * most 31 bytes. 1, or -1. */
INT32 kelSetIndustConfig(const char *key, const char *value);
INT32 kelGetIndustConfig(const char *key, char *value);
/* Stores a test result (TESTRESULT, TESTERID and TIMESTAMP as
 * "YYYYMMDD-hhmmss" of `seconds`) in one replacement of the record. 1, or
 * -1 with the record unchanged. */
INT32 kelSetIndustTestResult(INT32 testResult, INT32 testID, UINT32 seconds);

/* The splash logo (0 or 1; 0 for anything else, and when the variable is
 * not set), read with kelBootEnvGet. 1, or the read's failure (the
 * environment cannot be read) with `logo` set to 0. */
INT32 kelLogoGet(INT32 *logo);

/* LED test: forces a steady on or off state. 1 posted (a failed send is
 * reported and still counts), -1 for an LED or state outside the defined
 * ones or when the request queue is missing. */
INT32 industLEDControl(INT32 kelLED, INT32 ledCtrl);
/* LCD test: a white or black screen through the shared frame buffer.
 * 1 handed over, -1 for another value or when it could not be. */
INT32 industLCDControl(INT32 lcdCtrl);

/* 1 when `text` (`len` bytes, no terminator needed) is a dotted IPv4
 * address: four decimal numbers 0..255 without leading zeros. */
INT32 industIsDottedIPv4(const char *text, INT32 len);

#ifdef __cplusplus
}
#endif

#endif /* KEL_INDUST_COMMON_H */
