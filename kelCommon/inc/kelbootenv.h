/*
 * kelbootenv.h - the boot loader's environment, through the U-Boot
 * environment tools fw_printenv and fw_setenv: one reader and one writer
 * for every program (the upgrade program's flash banks, the factory
 * service's splash logo).
 */
#ifndef KEL_BOOTENV_H
#define KEL_BOOTENV_H

#include "kelTypes.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Reads variable `name` (lower-case letters, digits, '_') into `value`
 * (KEL_ENV_VALUE_SIZE bytes), always terminated.
 *   1  the variable is set: its value, at most 31 bytes;
 *   1  the variable is not set: an empty value ("");
 *  -1  the environment cannot be read (fw_printenv fails or cannot be
 *      run), the name is not one of ours, or the value is longer than 31
 *      bytes; `value` is then left untouched.
 * Reports nothing: the caller decides what a failure means. */
INT32 kelBootEnvGet(const char *name, char *value);

/* Sets one variable ("fw_setenv name value"). The value is one printable
 * word (see kelIsConfigWord). 1, or -1 when it was refused or the tool
 * failed. */
INT32 kelBootEnvSet(const char *name, const char *value);

/* Sets `count` variables in one update of the environment: a script of
 * "name=value" lines, in the order given, for "fw_setenv -s", which writes
 * the whole environment once (into the other copy of a redundant one). A
 * power cut leaves all of them old or all of them new. 1, or -1 when a
 * name or value was refused, the script could not be made or the tool
 * failed. */
INT32 kelBootEnvSetAll(const char *const *names, const char *const *values, UINT32 count);

#ifdef __cplusplus
}
#endif

#endif /* KEL_BOOTENV_H */
