/*
 * kelcommon.cpp - the work-mode request: any program asks the control
 * daemon for a work mode with one R-queue message. The daemon decides.
 */
#include "kelcommon.h"

#include <string.h>

#include "kelmsg.h"

INT32 kelSetWorkMode(kel_WorkMode_t mode)
{
    INT32 id = -1;
    if (kelAppMsgQueGetID(&id, KEL_MSG_ID_RX) < 0) {
        return -1;
    }
    kel_MsgQue_Rx_t msg;
    memset(&msg, 0, sizeof(msg));
    msg.msgType = KEL_MSG_TYPE_RX;
    msg.cmdType = KEL_MSGQ_RX_OPT_MODE;
    msg.data.kelWorkMode = (INT32)mode;
    /* A full queue loses the request; the daemon's answer is the mode it
     * publishes, not this result. A queue removed since the look-up is
     * looked up again. */
    (void)kelAppMsgQueSendKept(&id, KEL_MSG_ID_RX, KEL_MSG_TYPE_RX, &msg);
    return 1;
}
