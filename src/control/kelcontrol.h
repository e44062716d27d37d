/*
 * kelcontrol.h - the control daemon's main, its request and frame consumers
 * and the small control functions they use.
 */
#ifndef KEL_CONTROL_H
#define KEL_CONTROL_H

#include "kelmsg.h"

#ifdef __cplusplus
extern "C" {
#endif

INT32 kelControlMain(void);
void *kelRxMsgQueHandleThread(void *arg);
void *kelFbMsgQueHandleThread(void *arg);
void kelCtrlDispatchRequest(const kel_MsgQue_Rx_t *msg);
INT32 kelCtrlSetLcdType(kel_LcdType_t type);
INT32 kelCtrlUpdateDateTime(void);
void kelCtrlUpdateLifeTime(UINT32 hours);
INT32 kelCtrlUpdateScreen(const UINT8 *frame, INT32 length);
INT32 kelCtrlSetTime(UINT64 utcSeconds);
INT32 kelCtrlLogTemperature(INT32 temperature);

#ifdef __cplusplus
}
#endif

#endif /* KEL_CONTROL_H */
