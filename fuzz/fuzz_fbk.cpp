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

    kelFuzzLinkServe(&pair, size, fbClientLink(), fbLinkService, fbLinkClose);
    kelFuzzDrainQueues();
    return 0;
}
