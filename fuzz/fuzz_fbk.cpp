/*
 * fuzz_fbk.cpp - the screen-and-key link as the meter's bytes reach it: the
 * input is everything the meter sends on one connection. The link thread's
 * own service step takes it frame by frame (framed receive, rectangle
 * placement into the private frame, screen-finished into the shared
 * segment and the F queue, answers, heartbeats) until the meter closes.
 */
#include <stdio.h>
#include <string.h>

#include "fuzzBoard.h"
#include "kel.h"
#include "kelfbclient.h"
#include "kelmsg.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    kelFuzzRequireBoard();
    kel_FuzzLink_t pair;
    if (kelFuzzLinkOpen(&pair, data, size) < 0) {
        return 0;
    }
    /* The unit's display, as the app client learns it. */
    KEL_DEVICE_INFO di;
    memset(&di, 0, sizeof(di));
    snprintf(di.host, sizeof(di.host), "%s", "127.0.0.1");
    di.width = KEL_FB_WIDTH;
    di.height = KEL_FB_HEIGHT;
    di.bpp = KEL_FB_BPP;
    if (fbClientInit(&di) < 0) {
        kelFuzzLinkClose(&pair);
        return 0;
    }

    /* The link as fbLinkConnect leaves it, on the pair's unit end. */
    KEL_DEVICE_INFO *link = fbClientLink();
    UINT32 now = kelGetTick();
    link->recvTick = now;
    link->sendTick = now;
    link->stateTick = now;
    KEL_STORE(link->deviceState, KEL_DEVICE_CONNECTED);
    KEL_STORE(link->socketState, KEL_SOCKET_CONNECTED);
    KEL_STORE(link->socket, pair.unit);

    size_t passes = size / 4 + 4;
    while (passes-- > 0 && KEL_LOAD(link->socketState) != KEL_SOCKET_FAIL) {
        if (fbLinkService() < 0) {
            break;
        }
        kelFuzzLinkDrain(&pair);
    }
    fbLinkClose();
    pair.unit = -1; /* closed with the link */
    kelFuzzLinkClose(&pair);
    kelFuzzDrainQueues();
    return 0;
}
