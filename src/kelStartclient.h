/*
 * kelStartclient.h - the startup client (kelstpclient): keeps the control
 * daemon running, authenticates the unit to the meter on the startup link,
 * compares versions, and starts, stops or updates the app client.
 *
 * The functions below run on the program's one thread; they take the device
 * record of the link so they can be driven one by one from tests.
 */
#ifndef KEL_START_CLIENT_H
#define KEL_START_CLIENT_H

#include "kelTypes.h"
#include "kelstartcommon.h"

typedef enum {
    KEL_APP_OPT_COPY = 0,
    KEL_APP_OPT_START = 1,
    KEL_APP_OPT_STOP = 2
} kelAppCtrlType_t;

/* Program and script paths as on the board (resolved through the root). */
#define STP_PROGRAM_NAME "/usr/bin/kelstpclient"
#define STP_CONTROL_PROCESS "/usr/bin/kelcontrol"
#define STP_CONTROL_SCRIPT "/etc/init.d/kelcontrol"
#define STP_APP_PROCESS "/kel/app/kelappclient"
#define STP_APP_SCRIPT "/etc/init.d/kelappclient"
#define STP_APP_INSTALLER "/usr/bin/kelstartapp"
#define STP_APP_VERSION_KEY "APP_VERSION"

/* Firmware version sent in the data request, and the kernel build the
 * version check compares against. */
#define STP_FW_MAJOR 3
#define STP_FW_MINOR 2
#define STP_FW_BUILD 193
#define STP_KERNEL_BUILD 193

/* Version check results. */
#define STP_VERSION_OK 0
#define STP_VERSION_APP_DIFFERS 1
#define STP_VERSION_KERNEL_NEWER 2

/* Timing, in milliseconds. */
#define STP_CYCLE_PAUSE_MS 50
#define STP_SELECT_MS 500
#define STP_AUTH_TIMEOUT_MS 1000
#define STP_APP_UPDATE_TIMEOUT_MS 5000
#define STP_HEARTBEAT_MS 2000
#define STP_SILENCE_MS 6000
#define STP_KERNEL_PAUSE_MS 2000
#define STP_CONTROL_RETRY_MS 100
#define STP_APP_CHECKS 10
#define STP_APP_CHECK_MS 10

#ifdef __cplusplus
extern "C" {
#endif

/* Local versions: kelAppVersion from "APP_VERSION" (left unwritten when the
 * key is missing), kelKernelVersion the kernel build. Always 1. */
INT32 stpGetVersion(KELSTP_versionData_t *appVersion);
/* 0 compatible, 1 app version differs (or none installed), 2 the meter's
 * kernel build is newer. */
INT32 stpVersionCheck(const KELSTP_versionData_t *reqVersion);
/* Runs "<appName> start|stop|copy" with appName resolved through the
 * platform root. 1 when the command exited with status 0, -1 otherwise
 * (also for an unknown operation or a path that would not fit). */
INT32 stpKELAppCtrl(const char *appName, kelAppCtrlType_t appCtrlType);

INT32 stpSendDataRequest(KEL_DEVICE_INFO *device);
INT32 stpSendAppState(KEL_DEVICE_INFO *device, KELSTP_stateCodes_t kelStateCode);
/* Heartbeat after 2000 ms without a send; link failure after 6000 ms
 * without a receive. */
void stpNetworkStateCheck(KEL_DEVICE_INFO *device);
/* Acts on one received frame. */
void stpClientRecvMsgHandle(KEL_DEVICE_INFO *device, const KELSTP_Message_t *recvMsg);
/* Time-outs and the actions of the current startup state. */
void stpStateControl(KEL_DEVICE_INFO *device);
/* Asks the control daemon for `mode` and remembers it in the record. */
void stpAnnounceMode(KEL_DEVICE_INFO *device, kel_WorkMode_t mode);
/* One connection to the meter, from connecting until the link fails. */
void stpConnectionCycle(KEL_DEVICE_INFO *device);
/* The program: -1 when the arguments are refused, otherwise never returns. */
int stpClientMain(int argc, char **argv);

#ifdef __cplusplus
}
#endif

#endif /* KEL_START_CLIENT_H */
