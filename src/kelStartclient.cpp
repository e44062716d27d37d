/*
 * kelStartclient.cpp - the startup client program (kelstpclient). It makes
 * sure the control daemon runs, keeps the startup link to the meter (TCP
 * port 1235), answers the meter's challenge, compares the versions the
 * meter expects with the installed ones, and then starts the app client,
 * has a new one copied into place, or announces that a firmware upgrade is
 * needed. When the link drops it stops the app client and connects again.
 *
 * Talks to the meter through the startup protocol module (kelstartcommon),
 * to the control daemon through work-mode requests and error reports, and
 * to the init scripts and the app installer through shell commands. One
 * thread; it never ends on its own.
 */
#include "kelStartclient.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "kel.h"
#include "kelcommon.h"
#include "kelerror.h"

#define STP_REPORT(code) \
    kelLogError(KEL_TASK_STARTUP_CLIENT, KEL_FILEID_STARTCLIENT, __LINE__, (code))

/* The program's device record. */
static KEL_DEVICE_INFO di;

/* Unsigned tick difference: survives the counter wrapping. */
static UINT32 stpSince(UINT32 tick)
{
    return (UINT32)(kelGetTick() - tick);
}

/* ------------------------------------------------------------------------
 * Versions
 * ---------------------------------------------------------------------- */

/* The installed app version as (major * 256 + minor) mod 65536 from the
 * configuration text "major.minor.build". -1 when the key is missing. */
static INT32 stpReadAppVersion(UINT32 *version)
{
    /* One byte more than the configuration value can fill: always a NUL. */
    char text[KEL_ENV_VALUE_SIZE + 1];
    memset(text, 0, sizeof(text));
    if (kelGetLinuxEnv(STP_APP_VERSION_KEY, text) < 0) {
        return -1;
    }
    UINT32 major = (UINT32)strtoul(text, NULL, 10);
    UINT32 minor = 0;
    const char *dot = strchr(text, '.');
    if (dot != NULL) {
        minor = (UINT32)strtoul(dot + 1, NULL, 10);
    }
    *version = ((major * 256u) + (minor % 256u)) % 65536u;
    return 1;
}

INT32 stpGetVersion(KELSTP_versionData_t *appVersion)
{
    if (appVersion == NULL) {
        return -1;
    }
    UINT32 version = 0;
    if (stpReadAppVersion(&version) < 0) {
        STP_REPORT(KEL_FW_GET_ENV_ERROR);
    } else {
        appVersion->kelAppVersion = version;
    }
    appVersion->kelKernelVersion = STP_KERNEL_BUILD;
    return 1;
}

INT32 stpVersionCheck(const KELSTP_versionData_t *reqVersion)
{
    if (reqVersion == NULL) {
        return STP_VERSION_APP_DIFFERS;
    }
    KELSTP_versionData_t local;
    memset(&local, 0, sizeof(local));
    (void)stpGetVersion(&local);
    if (reqVersion->kelKernelVersion > local.kelKernelVersion) {
        return STP_VERSION_KERNEL_NEWER;
    }
    /* No installed version is known: treat it as different, so the meter
     * delivers the application again. */
    UINT32 installed = 0;
    if (stpReadAppVersion(&installed) < 0) {
        return STP_VERSION_APP_DIFFERS;
    }
    if (reqVersion->kelAppVersion != installed) {
        return STP_VERSION_APP_DIFFERS;
    }
    return STP_VERSION_OK;
}

/* ------------------------------------------------------------------------
 * Outside programs
 * ---------------------------------------------------------------------- */

INT32 stpKELAppCtrl(const char *appName, kelAppCtrlType_t appCtrlType)
{
    const char *format;
    switch (appCtrlType) {
    case KEL_APP_OPT_COPY:
        format = "%s copy\n";
        break;
    case KEL_APP_OPT_START:
        format = "%s start\n";
        break;
    case KEL_APP_OPT_STOP:
        format = "%s stop\n";
        break;
    default:
        return -1;
    }
    char path[KEL_PATH_BUF_SIZE];
    if (appName == NULL || kelShellProgram(appName, path, sizeof(path)) <= 0) {
        return -1;
    }
    /* A command that does not fit is refused rather than run cut short. */
    char cmd[KEL_SHELL_CMD_SIZE];
    int len = snprintf(cmd, sizeof(cmd), format, path);
    if (len < 0 || len >= (int)sizeof(cmd)) {
        return -1;
    }
    return kelExecSysCmd(cmd);
}

/* 1 when the app client's file is installed. */
static INT32 stpAppInstalled(void)
{
    char path[KEL_PATH_BUF_SIZE];
    if (kelRootPath(STP_APP_PROCESS, path, sizeof(path)) <= 0) {
        return -1;
    }
    return access(path, F_OK) == 0 ? 1 : -1;
}

void stpAnnounceMode(KEL_DEVICE_INFO *device, kel_WorkMode_t mode)
{
    (void)kelSetWorkMode(mode);
    device->workMode = mode;
}

/* ------------------------------------------------------------------------
 * Sending
 * ---------------------------------------------------------------------- */

/* A failed send: a time-out keeps the link, anything else fails it. */
static void stpSendFailed(KEL_DEVICE_INFO *device, INT32 rc)
{
    if (rc == KEL_SOCK_TIMEOUT) {
        STP_REPORT(KEL_COMM_TIMEOUT);
    } else {
        device->socketState = KEL_SOCKET_FAIL;
    }
    STP_REPORT(KEL_COMM_DATA_SEND_FAIL);
}

INT32 stpSendDataRequest(KEL_DEVICE_INFO *device)
{
    KELSTP_dataReq_t req;
    memset(&req, 0, sizeof(req));
    req.kelFwVersion.majorVersion = STP_FW_MAJOR;
    req.kelFwVersion.minorVersion = STP_FW_MINOR;
    req.kelFwVersion.buildVersion = STP_FW_BUILD;
    memcpy(req.serialNum, device->sn, strnlen(device->sn, sizeof(device->sn)));
    INT32 rc = stpKELSendMSG(device->socket, KELSTP_CMD_DATA_REQ, &req, 0);
    if (rc <= 0) {
        /* The caller ends the link whatever the cause. */
        if (rc == KEL_SOCK_TIMEOUT) {
            STP_REPORT(KEL_COMM_TIMEOUT);
        }
        STP_REPORT(KEL_COMM_DATA_SEND_FAIL);
    }
    return rc;
}

INT32 stpSendAppState(KEL_DEVICE_INFO *device, KELSTP_stateCodes_t kelStateCode)
{
    KELSTP_stateData_t state;
    state.state = kelStateCode;
    INT32 rc = stpKELSendMSG(device->socket, KELSTP_CMD_STATE, &state, 0);
    if (rc > 0) {
        device->sendTick = kelGetTick();
    } else {
        stpSendFailed(device, rc);
    }
    return rc;
}

void stpNetworkStateCheck(KEL_DEVICE_INFO *device)
{
    if (stpSince(device->sendTick) > STP_HEARTBEAT_MS) {
        INT32 rc = stpKELSendMSG(device->socket, KELSTP_CMD_HEARTBEAT, NULL, 0);
        if (rc > 0) {
            device->sendTick = kelGetTick();
        } else {
            stpSendFailed(device, rc);
        }
    }
    if (stpSince(device->recvTick) > STP_SILENCE_MS) {
        device->socketState = KEL_SOCKET_FAIL;
        STP_REPORT(KEL_COMM_TIMEOUT);
    }
}

/* ------------------------------------------------------------------------
 * Received frames
 * ---------------------------------------------------------------------- */

/* The meter's challenge: set the clock, and answer it while a data request
 * is pending. */
static void stpOnRandom(KEL_DEVICE_INFO *device, const KELSTP_randomData_t *random)
{
    if (kelSetRTCTime(random->unixTime) < 0) {
        STP_REPORT(KEL_FW_TIME_SET_ERROR);
    } else {
        device->bTimeSynchronized = KEL_TRUE;
        device->recvTick = kelGetTick();
    }
    if (device->deviceState != KEL_STP_DATA_REQUESTED) {
        return;
    }
    KELSTP_digestData_t answer;
    answer.digest = stpGetDigest(random->ramdom);
    INT32 rc = stpKELSendMSG(device->socket, KELSTP_CMD_DIGEST, &answer, 0);
    if (rc <= 0) {
        stpSendFailed(device, rc);
        return;
    }
    device->stateTick = kelGetTick();
    device->sendTick = device->stateTick;
    device->deviceState = KEL_STP_DIGEST_SEND;
}

/* The versions the meter expects, once the digest was sent. */
static void stpOnVersion(KEL_DEVICE_INFO *device, const KELSTP_versionData_t *version)
{
    if (device->deviceState != KEL_STP_DIGEST_SEND) {
        return;
    }
    INT32 r = stpVersionCheck(version);
    if (r == STP_VERSION_OK && stpAppInstalled() > 0) {
        device->deviceState = KEL_STP_APP_RUNNING;
    } else if (r == STP_VERSION_KERNEL_NEWER) {
        device->deviceState = KEL_STP_VERSION_KERNEL_UPDATE;
        STP_REPORT(KEL_FW_STP_KERNEL_INCOMPATIBLE);
        (void)stpSendAppState(device, KELSTP_STATE_KERNEL_UPDATE);
    } else {
        device->deviceState = KEL_STP_VERSION_APP_UPDATE;
        STP_REPORT(KEL_FW_STP_APP_INCOMPATIBLE);
        (void)stpSendAppState(device, KELSTP_STATE_APP_UPDATE);
    }
    device->stateTick = kelGetTick();
}

/* The meter delivered a new application: have it copied into place. */
static void stpOnState(KEL_DEVICE_INFO *device, INT32 state)
{
    if (state != KELSTP_STATE_APP_TRANS_DONE ||
        device->deviceState != KEL_STP_VERSION_APP_UPDATE) {
        return;
    }
    if (stpKELAppCtrl(STP_APP_INSTALLER, KEL_APP_OPT_COPY) < 0) {
        STP_REPORT(KEL_FW_STP_APP_COPY_FAIL);
        return;
    }
    device->deviceState = KEL_STP_APP_RUNNING;
}

void stpClientRecvMsgHandle(KEL_DEVICE_INFO *device, const KELSTP_Message_t *recvMsg)
{
    if (device == NULL || recvMsg == NULL) {
        return;
    }
    switch (recvMsg->cmdType) {
    case KELSTP_CMD_RANDOM: {
        KELSTP_randomData_t random;
        memcpy(&random, &recvMsg->randomData, sizeof(random));
        stpOnRandom(device, &random);
        break;
    }
    case KELSTP_CMD_VERSION: {
        KELSTP_versionData_t version;
        memcpy(&version, &recvMsg->versionData, sizeof(version));
        stpOnVersion(device, &version);
        break;
    }
    case KELSTP_CMD_STATE:
        stpOnState(device, recvMsg->stateData.state);
        break;
    default:
        break;
    }
}

/* ------------------------------------------------------------------------
 * State control
 * ---------------------------------------------------------------------- */

/* Starts the app client, or confirms it runs, and tells the meter. */
static void stpStartApp(KEL_DEVICE_INFO *device)
{
    if (device->bAppRunning == KEL_TRUE) {
        device->deviceState = KEL_STP_APP_IDLE;
        STP_REPORT(KEL_OK);
        (void)stpSendAppState(device, KELSTP_STATE_APP_RUNNING);
        return;
    }
    if (stpKELAppCtrl(STP_APP_SCRIPT, KEL_APP_OPT_START) > 0) {
        for (INT32 i = 0; i < STP_APP_CHECKS; i++) {
            if (kelCheckAppRunning(STP_APP_PROCESS) == 1) {
                device->deviceState = KEL_STP_APP_IDLE;
                device->bAppRunning = KEL_TRUE;
                STP_REPORT(KEL_OK);
                (void)stpSendAppState(device, KELSTP_STATE_APP_RUNNING);
                return;
            }
            kelSleep(STP_APP_CHECK_MS);
        }
    } else {
        STP_REPORT(KEL_FW_STP_APP_START_FAIL);
    }
    device->deviceState = KEL_STP_APP_RUN_FAIL;
    STP_REPORT(KEL_FW_STP_APP_START_FAIL);
    (void)stpSendAppState(device, KELSTP_STATE_APP_STARTFAIL);
}

void stpStateControl(KEL_DEVICE_INFO *device)
{
    switch (device->deviceState) {
    case KEL_STP_DATA_REQUESTED:
    case KEL_STP_DIGEST_SEND:
        if (stpSince(device->stateTick) > STP_AUTH_TIMEOUT_MS) {
            device->bDataRequested = KEL_FALSE;
            STP_REPORT(KEL_FW_STP_DIGEST_TIMEOUT);
        }
        break;
    case KEL_STP_VERSION_APP_UPDATE:
        if (stpSince(device->stateTick) > STP_APP_UPDATE_TIMEOUT_MS) {
            device->bDataRequested = KEL_FALSE;
            STP_REPORT(KEL_FW_STP_APP_UP_TIMEOUT);
        }
        break;
    case KEL_STP_VERSION_KERNEL_UPDATE:
        stpAnnounceMode(device, KEL_MODE_FW_UPGRADE);
        device->deviceState = KEL_STP_APP_IDLE;
        kelSleep(STP_KERNEL_PAUSE_MS);
        break;
    case KEL_STP_APP_RUNNING:
        stpStartApp(device);
        break;
    case KEL_STP_APP_RUN_FAIL:
        device->deviceState = KEL_STP_APP_IDLE;
        break;
    default:
        break;
    }
}

/* ------------------------------------------------------------------------
 * Connection cycle
 * ---------------------------------------------------------------------- */

/* Takes one frame off the link and acts on it. 1 when a frame came in,
 * -1 when the receive failed (a time-out keeps the link). */
static INT32 stpReceive(KEL_DEVICE_INFO *device)
{
    KELSTP_Message_t msg;
    memset(&msg, 0, sizeof(msg));
    INT32 rc = stpKELRecvMSG(device->socket, &msg);
    if (rc <= 0) {
        if (rc == KEL_SOCK_TIMEOUT) {
            STP_REPORT(KEL_COMM_TIMEOUT);
        } else {
            device->socketState = KEL_SOCKET_FAIL;
        }
        STP_REPORT(KEL_COMM_DATA_RECV_FAIL);
        return -1;
    }
    device->recvTick = kelGetTick();
    stpClientRecvMsgHandle(device, &msg);
    return 1;
}

/* Runs the connected link until it fails. 1 when the link failed and is to
 * be torn down; -1 when select failed (the socket is already closed). */
static INT32 stpLinkLoop(KEL_DEVICE_INFO *device)
{
    while (device->socketState != KEL_SOCKET_FAIL) {
        if (device->bDataRequested == KEL_FALSE) {
            if (stpSendDataRequest(device) <= 0) {
                device->socketState = KEL_SOCKET_FAIL;
                break;
            }
            device->stateTick = kelGetTick();
            device->sendTick = device->stateTick;
            device->deviceState = KEL_STP_DATA_REQUESTED;
            device->bDataRequested = KEL_TRUE;
        }
        int ready = kelSocketWaitReadable(device->socket, STP_SELECT_MS);
        if (ready < 0) {
            device->socketState = KEL_SOCKET_FAIL;
            STP_REPORT(KEL_COMM_SELECT_ERROR);
            (void)kelSocketClose(device->socket);
            device->socket = -1;
            return -1;
        }
        /* A failed receive goes straight back to the loop test. */
        if (ready > 0 && device->socketState == KEL_SOCKET_CONNECTED &&
            stpReceive(device) < 0) {
            continue;
        }
        stpStateControl(device);
        if (device->socketState == KEL_SOCKET_CONNECTED) {
            stpNetworkStateCheck(device);
        }
    }
    return 1;
}

/* Link failure: close, stop the app client, start over. */
static void stpLinkDown(KEL_DEVICE_INFO *device)
{
    if (device->socket > 0) {
        (void)kelSocketClose(device->socket);
    }
    device->socket = -1;
    device->bDataRequested = KEL_FALSE;
    device->socketState = KEL_SOCKET_CLOSE;
    device->deviceState = KEL_DEVICE_DISCONNECTED;
    if (stpKELAppCtrl(STP_APP_SCRIPT, KEL_APP_OPT_STOP) > 0) {
        device->bAppRunning = KEL_FALSE;
    }
    STP_REPORT(KEL_COMM_DISCONNECTED);
}

void stpConnectionCycle(KEL_DEVICE_INFO *device)
{
    device->socket = -1;
    device->bDataRequested = KEL_FALSE;
    device->socketState = KEL_SOCKET_CLOSE;
    device->deviceState = KEL_DEVICE_DISCONNECTED;
    kelSleep(STP_CYCLE_PAUSE_MS);

    int s = kelNetworkConnecting(device->host, device->port, 1);
    if (s <= 0) {
        if (s == KEL_SOCK_CREATE_FAIL) {
            STP_REPORT(KEL_COMM_SOCKET_INIT_FAIL);
        } else if (s == KEL_SOCK_NOT_CONNECTED || s == KEL_SOCK_NONBLOCK_FAIL) {
            STP_REPORT(KEL_COMM_CONNECT_FAIL);
        } else {
            STP_REPORT(KEL_COMM_PARAM_ERROR);
        }
        stpAnnounceMode(device, KEL_MODE_ERROR);
        return;
    }
    device->socket = s;
    /* A pending firmware upgrade stays on show across reconnections. */
    if (device->workMode != KEL_MODE_FW_UPGRADE) {
        stpAnnounceMode(device, KEL_MODE_NORMAL);
    }
    device->deviceState = KEL_DEVICE_CONNECTED;
    device->socketState = KEL_SOCKET_CONNECTED;
    device->recvTick = kelGetTick();
    device->sendTick = device->recvTick;
    device->stateTick = device->recvTick;

    if (stpLinkLoop(device) < 0) {
        return;
    }
    stpLinkDown(device);
}

int stpClientMain(int argc, char **argv)
{
    memset(&di, 0, sizeof(di));
    if (kelArgsParse(&di, argc, argv) < 0) {
        STP_REPORT(KEL_FW_APP_PARAM_ERROR);
        return -1;
    }
    /* The result is not looked at: the link works without a frame buffer
     * or a serial number file. */
    (void)kelInitDevice(&di, KEL_DEVICE_CLIENT, KELSTP_PORT, STP_PROGRAM_NAME);
    di.type = KEL_DEVICE_CLIENT;
    di.port = KELSTP_PORT;
    di.socket = -1;
    di.workMode = KEL_NUM_OF_MODES;

    while (kelCheckAppRunning(STP_CONTROL_PROCESS) <= 0) {
        (void)stpKELAppCtrl(STP_CONTROL_SCRIPT, KEL_APP_OPT_START);
        kelSleep(STP_CONTROL_RETRY_MS);
    }
    printf("kelstpclient: meter %s:%d\n", di.host, (int)di.port);
    fflush(stdout);

    for (;;) {
        stpConnectionCycle(&di);
    }
    return 0;
}

#ifndef KEL_STPCLIENT_NO_MAIN
int main(int argc, char **argv)
{
    /* Before anything is opened: the meter link's socket must never be
     * descriptor 0, 1 or 2 when the client was started without them. */
    (void)kelEnsureStdDescriptors();
    return stpClientMain(argc, argv);
}
#endif
