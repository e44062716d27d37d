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

    kelFuzzLinkServe(&pair, size, nscClientLink(), nscLinkService, nscLinkClose);
    kelFuzzDrainQueues();
    return 0;
}
