/*
 * fuzz_indust.cpp - the factory service as a station's bytes reach it: the
 * input's first byte says whether the station has already authenticated
 * (so the gated commands are reached too), the rest is everything the
 * station sends on one connection. Each frame goes through the service's
 * framed receive and its command handlers, exactly as in the serving loop,
 * until the station closes or a frame breaks the link.
 */
#include <string.h>

#include "fuzzBoard.h"
#include "kel.h"
#include "kelindustcommon.h"
#include "kelindustsocket.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    kelFuzzRequireBoard();
    if (size < 1) {
        return 0;
    }
    INT32 authenticated = data[0] & 1;
    kel_FuzzLink_t pair;
    if (kelFuzzLinkOpen(&pair, data + 1, size - 1) < 0) {
        return 0;
    }
    KEL_DEVICE_INFO di;
    memset(&di, 0, sizeof(di));
    industResetAuth(&di);
    di.socket = pair.unit;
    di.socketState = KEL_SOCKET_CONNECTED;
    di.bDataRequested = authenticated ? KEL_TRUE : KEL_FALSE;

    KEL_INDUST_Message_t msg;
    for (;;) {
        memset(&msg, 0, sizeof(msg));
        if (industKELRecvMSG(pair.unit, &msg) <= 0) {
            break;
        }
        industAppMsgRxHandle(&di, &msg);
        kelFuzzLinkDrain(&pair);
        if (di.socketState == KEL_SOCKET_FAIL) {
            break;
        }
    }
    kelFuzzLinkClose(&pair);
    kelFuzzDrainQueues();
    return 0;
}
