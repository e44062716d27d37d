/*
 * kelcommon.h - the one-call work-mode request every program may send to the
 * control daemon.
 */
#ifndef KEL_COMMON_H
#define KEL_COMMON_H

#include "kelTypes.h"

#ifdef __cplusplus
extern "C" {
#endif

INT32 kelSetWorkMode(kel_WorkMode_t mode);

#ifdef __cplusplus
}
#endif

#endif /* KEL_COMMON_H */
