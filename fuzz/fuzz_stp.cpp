/*
 * fuzz_stp.cpp - the startup link as the meter's bytes reach it: the input
 * is everything the meter sends on one connection after the unit's data
 * request. Each frame goes through the framed receive and the startup
 * client's handler (challenge and clock, versions, state), then the state
 * control and the link supervision, until the meter closes.
 *
 * The clock is set through the board's "date" stand-in; the app client is
 * taken as running, so a start is only announced to the meter, and the
 * kernel-upgrade state is left before its two-second pause: both would
 * only run outside programs or wait, with nothing more of the input read.
 */
#include <stdio.h>
#include <string.h>

#include "fuzzBoard.h"
#include "kel.h"
#include "kelStartclient.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    kelFuzzRequireBoard();
    kel_FuzzLink_t pair;
    if (kelFuzzLinkOpen(&pair, data, size) < 0) {
        return 0;
    }
    KEL_DEVICE_INFO dev;
    memset(&dev, 0, sizeof(dev));
    snprintf(dev.host, sizeof(dev.host), "%s", "127.0.0.1");
    snprintf(dev.sn, sizeof(dev.sn), "%s", KEL_SN_DEFAULT);
    dev.port = KELSTP_PORT;
    dev.socket = pair.unit;
    dev.socketState = KEL_SOCKET_CONNECTED;
    dev.deviceState = KEL_STP_DATA_REQUESTED;
    dev.bDataRequested = KEL_TRUE;
    dev.bAppRunning = KEL_TRUE;
    dev.workMode = KEL_MODE_NORMAL;
    dev.recvTick = kelGetTick();
    dev.sendTick = dev.recvTick;
    dev.stateTick = dev.recvTick;

    KELSTP_Message_t msg;
    while (dev.socketState != KEL_SOCKET_FAIL) {
        if (stpKELRecvMSG(dev.socket, &msg) <= 0) {
            break;
        }
        dev.recvTick = kelGetTick();
        stpClientRecvMsgHandle(&dev, &msg);
        if (dev.deviceState == KEL_STP_VERSION_KERNEL_UPDATE) {
            dev.deviceState = KEL_STP_APP_IDLE;
        }
        stpStateControl(&dev);
        if (dev.socketState == KEL_SOCKET_CONNECTED) {
            stpNetworkStateCheck(&dev);
        }
        kelFuzzLinkDrain(&pair);
    }
    kelFuzzLinkClose(&pair);
    kelFuzzDrainQueues();
    return 0;
}
