/*
 * kelbootenv.cpp - the boot loader's environment (see kelbootenv.h). The
 * tools are run by name, so the virtual board's wrappers (first on PATH)
 * take the place of the board's. Names are checked against a fixed set of
 * characters and values are single printable words, so nothing a caller
 * passes can run as a command.
 */
#include "kelbootenv.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

#include "kel.h"

#define KEL_BOOTENV_PRINT_CMD "fw_printenv"
#define KEL_BOOTENV_SET_FMT "fw_setenv %s %s"
#define KEL_BOOTENV_SCRIPT_FMT "fw_setenv -s %s"
/* The script lies in the unit's temporary directory only while the tool
 * reads it; mkstemp makes it new, private and unpredictable. */
#define KEL_BOOTENV_SCRIPT_TEMPLATE "/tmp/kelenv.XXXXXX"
#define KEL_BOOTENV_NAME_MAX 31
#define KEL_BOOTENV_MAX_VARS 8

/* 1 when `name` is a variable name of ours: 1..31 of a-z, 0-9, '_'. */
static INT32 kelBootEnvIsName(const char *name)
{
    if (name == NULL) {
        return -1;
    }
    size_t len = strnlen(name, KEL_BOOTENV_NAME_MAX + 1);
    if (len == 0 || len > KEL_BOOTENV_NAME_MAX) {
        return -1;
    }
    for (size_t i = 0; i < len; i++) {
        char c = name[i];
        if (!((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_')) {
            return -1;
        }
    }
    return 1;
}

/* The value of `name` in one line "name=value\n" of fw_printenv's output
 * into `out` (terminated). 1 it is this variable's line, 0 another's, -1
 * this variable's but longer than 31 bytes. */
static INT32 kelBootEnvMatchLine(const char *line, const char *name, char *out)
{
    size_t nameLen = strlen(name);
    if (strncmp(line, name, nameLen) != 0 || line[nameLen] != '=') {
        return 0;
    }
    const char *v = line + nameLen + 1;
    size_t len = strcspn(v, "\n");
    if (len >= KEL_ENV_VALUE_SIZE) {
        return -1;
    }
    memcpy(out, v, len);
    out[len] = '\0';
    return 1;
}

INT32 kelBootEnvGet(const char *name, char *value)
{
    char found[KEL_ENV_VALUE_SIZE] = {0};
    if (value == NULL || kelBootEnvIsName(name) < 0) {
        return -1;
    }
    FILE *pp = popen(KEL_BOOTENV_PRINT_CMD, "r");
    if (pp == NULL) {
        return -1;
    }
    /* The whole output is read, whatever it holds, so the tool never
     * blocks on a full pipe; the first line of the variable counts. */
    INT32 match = 0;
    char *line = NULL;
    size_t cap = 0;
    while (getline(&line, &cap, pp) != -1) {
        if (match == 0) {
            match = kelBootEnvMatchLine(line, name, found);
        }
    }
    free(line);
    int status = pclose(pp);
    if (status == -1 || !WIFEXITED(status) || WEXITSTATUS(status) != 0 || match < 0) {
        return -1;
    }
    /* Not in the output: not set, an empty value. */
    memcpy(value, found, sizeof(found));
    return 1;
}

INT32 kelBootEnvSet(const char *name, const char *value)
{
    char cmd[KEL_CMD_BUF_SIZE];
    if (kelBootEnvIsName(name) < 0 || kelIsConfigWord(value) < 0) {
        return -1;
    }
    int len = snprintf(cmd, sizeof(cmd), KEL_BOOTENV_SET_FMT, name, value);
    if (len < 0 || len >= (int)sizeof(cmd)) {
        return -1;
    }
    return kelExecSysCmd(cmd);
}

/* Writes the "name=value" lines into the open script. 1, or -1. */
static INT32 kelBootEnvWriteScript(int fd, const char *const *names, const char *const *values, UINT32 count)
{
    char text[KEL_BOOTENV_MAX_VARS * (KEL_BOOTENV_NAME_MAX + KEL_ENV_VALUE_SIZE + 2)];
    size_t used = 0;
    for (UINT32 i = 0; i < count; i++) {
        int n = snprintf(text + used, sizeof(text) - used, "%s=%s\n", names[i], values[i]);
        if (n < 0 || (size_t)n >= sizeof(text) - used) {
            return -1;
        }
        used += (size_t)n;
    }
    /* One write: the tool never sees part of the script. */
    ssize_t w = write(fd, text, used);
    return w == (ssize_t)used ? 1 : -1;
}

/* Runs fw_setenv on the script at host path `script`. 1, or -1. */
static INT32 kelBootEnvRunScript(const char *script)
{
    char quoted[KEL_SHELL_CMD_SIZE];
    char cmd[KEL_SHELL_CMD_SIZE + 16];
    /* kelShellProgram takes the board path and quotes root and path. */
    const char *boardPath = script + strlen(kelRootDir());
    if (kelShellProgram(boardPath, quoted, sizeof(quoted)) <= 0) {
        return -1;
    }
    int len = snprintf(cmd, sizeof(cmd), KEL_BOOTENV_SCRIPT_FMT, quoted);
    if (len < 0 || len >= (int)sizeof(cmd)) {
        return -1;
    }
    return kelExecSysCmd(cmd);
}

INT32 kelBootEnvSetAll(const char *const *names, const char *const *values, UINT32 count)
{
    char script[KEL_PATH_BUF_SIZE];
    if (names == NULL || values == NULL || count == 0 || count > KEL_BOOTENV_MAX_VARS) {
        return -1;
    }
    for (UINT32 i = 0; i < count; i++) {
        if (kelBootEnvIsName(names[i]) < 0 || kelIsConfigWord(values[i]) < 0) {
            return -1;
        }
    }
    if (kelRootPath(KEL_BOOTENV_SCRIPT_TEMPLATE, script, sizeof(script)) < 0) {
        return -1;
    }
    int fd = mkstemp(script);
    if (fd < 0) {
        return -1;
    }
    INT32 rc = kelBootEnvWriteScript(fd, names, values, count);
    if (close(fd) != 0) {
        rc = -1;
    }
    if (rc > 0) {
        rc = kelBootEnvRunScript(script);
    }
    (void)unlink(script);
    return rc;
}
