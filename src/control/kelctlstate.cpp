/*
 * kelctlstate.cpp - storage of the control daemon's shared state (see
 * kelctlstate.h). Kept apart from main so each daemon module can be tested
 * on its own.
 */
#include "kelctlstate.h"

KEL_DEVICE_INFO di;
kel_BOOL_t bAppClientRunning = KEL_FALSE;
INT32 tempSendValue = 0;
UINT32 tTempLogTick = 0;
