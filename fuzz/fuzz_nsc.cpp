/*
 * fuzz_nsc.cpp - the non-screen link as the meter's bytes reach it: the
 * input is everything the meter sends on one connection. The link thread's
 * own service step takes it frame by frame (framed receive, the handler of
 * each command, requests to the daemon, answers, heartbeats) until the
 * meter closes, exactly as on a connected link.
 */
#include <stdio.h>
#include <string.h>

#include "fuzzBoard.h"
#include "kel.h"
#include "kelnsclient.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    kelFuzzRequireBoard();
    kel_FuzzLink_t pair;
    if (kelFuzzLinkOpen(&pair, data, size) < 0) {
        return 0;
    }
    KEL_DEVICE_INFO di;
    memset(&di, 0, sizeof(di));
    snprintf(di.host, sizeof(di.host), "%s", "127.0.0.1");
    nscClientInit(&di);

    /* The link as nscLinkConnect leaves it, on the pair's unit end. */
    KEL_DEVICE_INFO *link = nscClientLink();
    UINT32 now = kelGetTick();
    link->recvTick = now;
    link->sendTick = now;
    link->stateTick = now;
    KEL_STORE(link->deviceState, KEL_DEVICE_CONNECTED);
    KEL_STORE(link->socketState, KEL_SOCKET_CONNECTED);
    KEL_STORE(link->socket, pair.unit);

    /* Each pass takes at most one frame; a frame is at least 4 bytes of
     * input, so the bound is never what ends a sound run. */
    size_t passes = size / 4 + 4;
    while (passes-- > 0 && KEL_LOAD(link->socketState) != KEL_SOCKET_FAIL) {
        if (nscLinkService() < 0) {
            break;
        }
        kelFuzzLinkDrain(&pair);
    }
    nscLinkClose();
    pair.unit = -1; /* closed with the link */
    kelFuzzLinkClose(&pair);
    kelFuzzDrainQueues();
    return 0;
}
