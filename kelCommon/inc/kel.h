/*
 * kel.h - the thin platform layer every main program links: the device
 * record, ticks and clock, the frame buffer device, shell commands, process
 * checks, the configuration and serial number files, and the platform root
 * that lets the programs run inside a sandbox instead of on the board.
 */
#ifndef KEL_H
#define KEL_H

#include "kelTypes.h"

#define KEL_DEFAULT_HOST "169.254.254.1"
#define KEL_CMD_BUF_SIZE 128
#define KEL_ENV_VALUE_SIZE 32
#define KEL_PATH_BUF_SIZE 256
/* A command line made of a platform program path and a few arguments. */
#define KEL_SHELL_CMD_SIZE (KEL_PATH_BUF_SIZE + 32)

#define KEL_CONFIG_FILE "/kel/config/kel.conf"
#define KEL_SN_FILE "/kel/factory/sn.conf"
#define KEL_SN_DEFAULT "KELSERIALNUMBER123"
#define KEL_FB_DEVICE "/dev/fb0"
#define KEL_FB_SYSFS_DIR "/sys/class/graphics/fb0"

#define KEL_APP_VERSION_MAJOR 1
#define KEL_APP_VERSION_MINOR 8
#define KEL_APP_VERSION_BUILD 0
#define KEL_KERNEL_VERSION_MAJOR 3
#define KEL_KERNEL_VERSION_MINOR 2
#define KEL_KERNEL_VERSION_BUILD 193

#define KEL_CONFIG_LOCK_WAIT_MS 2000

#define KEL_NAME_APPCLIENT "/kel/app/kelappclient"
#define KEL_NAME_STPCLIENT "/usr/bin/kelstpclient"
#define KEL_NAME_CONTROL "KELDevControl"
#define KEL_NAME_INDUSTRY "/usr/bin/kelindustry"

#ifdef __cplusplus
extern "C" {
#endif

struct tm;

/* Platform root: `boardPath` (absolute, as on the board) prefixed with the
 * environment variable KEL_ROOT when it is set and not empty. Returns the
 * length written, or -1 when it does not fit `bufLen` bytes. */
INT32 kelRootPath(const char *boardPath, char *buf, UINT32 bufLen);
/* The root itself ("" on the board). */
const char *kelRootDir(void);

INT32 kelArgsParse(KEL_DEVICE_INFO *di, int argc, char **argv);
INT32 kelInitDevice(KEL_DEVICE_INFO *di, kel_DeviceType_t type, INT32 port, const char *name);
/* Copies `src` into `dst` while other threads may read `dst`'s words: the
 * texts and versions plainly, every other field through KEL_STORE. */
void kelCopyDeviceInfo(KEL_DEVICE_INFO *dst, const KEL_DEVICE_INFO *src);
void kelSleep(INT32 ms);
UINT32 kelGetTick(void);
UINT64 kelGetRTCTime(void);
INT32 kelGetFbDevInfo(KEL_DEVICE_INFO *di);
INT32 kelFbDevInit(KEL_DEVICE_INFO *di);
void kelFbDevClose(KEL_DEVICE_INFO *di);
INT32 kelExecSysCmd(const char *cmd);
/* The platform path of program `boardPath` as the first word of a shell
 * command, into `buf`: as it is when the shell takes every character
 * literally (the board's own paths), single-quoted otherwise (a platform
 * root with a blank, say). Returns the length written, or -1 when the path
 * holds a single quote or does not fit. */
INT32 kelShellProgram(const char *boardPath, char *buf, UINT32 bufLen);
INT32 kelCheckAppRunning(const char *name);
/* A configuration value, as kelKeyFileGet reads it from the
 * configuration file: always terminated. 1, or -1 (absent, unreadable, or
 * longer than 31 bytes). */
INT32 kelGetLinuxEnv(const char *key, char *value);
INT32 kelSetLinuxEnv(const char *key, const char *value);
INT32 kelGetLinuxKernelVersion(char *value);
INT32 kelSetRTCTime(UINT64 utcSeconds);
/* UTC calendar fields of `utcSeconds` into `tm`. -1, with nothing
 * converted, when the time type cannot hold the value or its year lies
 * beyond 9999 (the four-digit year every date text here is written with). */
INT32 kelUtcCalendar(UINT64 utcSeconds, struct tm *tm);
/* Opens /dev/null on each of descriptors 0, 1 and 2 that is closed, so that
 * nothing the program opens later (a socket, a device, a file) becomes its
 * standard input or output. Called first thing in main. 1, or -1. */
INT32 kelEnsureStdDescriptors(void);
INT32 kelGetSerialNumber(char *buf, INT32 *length);
INT32 kelSetSerialNumber(const char *sn, INT32 length);
INT32 kelReboot(void);
INT32 kelDebugWriteFile(const UINT8 *buf, INT32 length, const char *fileName);

/* Helpers shared with the other key/value files (factory record). */
/* 1 when `text` is one word of printable characters, 1..31 bytes, without
 * characters a shell would interpret (; $ ` quotes \ | & < > ( ) and the
 * like); -1 otherwise. */
INT32 kelIsConfigWord(const char *text);
/* Reads the values of every line of `boardPath` that contains `key`,
 * concatenated, into `value` (KEL_ENV_VALUE_SIZE bytes) with its
 * terminating NUL. 1; or -1, with `value` untouched, when no line holds the
 * key, the file cannot be read, or the value would not fit 31 bytes. */
INT32 kelKeyFileGet(const char *boardPath, const char *key, char *value);
/* Deletes every line of `boardPath` containing `key`, appends "key value",
 * and renames a temporary copy into place. Writers of one directory take
 * its lock for at most KEL_CONFIG_LOCK_WAIT_MS; a write that cannot take it
 * in that time changes nothing. 1, or -1. */
INT32 kelKeyFileSet(const char *boardPath, const char *key, const char *value);
/* The same for `count` keys at once: every line holding one of them goes,
 * "key value" is appended for each in order, and the file is renamed into
 * place once, so a cut never leaves some of the pairs new and some old. */
INT32 kelKeyFileSetAll(const char *boardPath, const char *const *keys, const char *const *values,
                       UINT32 count);
/* Formats a version as "%03d.%03d.%03d" into `buf` (at least 12 bytes). */
void kelFormatVersion(const kel_FwVersion_t *v, char *buf, UINT32 bufLen);

#ifdef __cplusplus
}
#endif

#endif /* KEL_H */
