/*
 * cutWriter.cpp - one write (or one start-up repair) of what the unit keeps,
 * through the unit's own writer functions, as one short process: the power
 * cut tests run it under strace and kill it at each of its steps.
 *
 *   cut_writer conf KEY VALUE            a configuration setting
 *   cut_writer sn SERIAL                 the serial number file
 *   cut_writer result R TESTER SECONDS   the factory test record
 *   cut_writer trim BOARD-LOG LINES      drops the first LINES of a log
 *   cut_writer start-log BOARD-LOG       what a log writer does at start
 *
 * Board paths are under KEL_ROOT. Exit status 0 when the call returned
 * success, 1 when it failed, 2 on a usage error.
 */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "kel.h"
#include "kelindustcommon.h"
#include "kellog.h"

static int cutResult(INT32 rc)
{
    return rc > 0 ? 0 : 1;
}

static int cutLog(const char *what, const char *boardLog, const char *lines)
{
    char path[KEL_PATH_BUF_SIZE];
    if (kelRootPath(boardLog, path, sizeof(path)) < 0) {
        return 1;
    }
    if (strcmp(what, "trim") == 0 && lines != NULL) {
        return cutResult(kelFileDeleteLine(path, (INT32)strtol(lines, NULL, 10)));
    }
    return cutResult(kelInitLogFile(path));
}

int main(int argc, char **argv)
{
    if (argc == 4 && strcmp(argv[1], "conf") == 0) {
        return cutResult(kelSetLinuxEnv(argv[2], argv[3]));
    }
    if (argc == 3 && strcmp(argv[1], "sn") == 0) {
        return cutResult(kelSetSerialNumber(argv[2], (INT32)strlen(argv[2])));
    }
    if (argc == 5 && strcmp(argv[1], "result") == 0) {
        return cutResult(kelSetIndustTestResult((INT32)strtol(argv[2], NULL, 10),
                                                (INT32)strtol(argv[3], NULL, 10),
                                                (UINT32)strtoul(argv[4], NULL, 10)));
    }
    if (argc == 4 && strcmp(argv[1], "trim") == 0) {
        return cutLog(argv[1], argv[2], argv[3]);
    }
    if (argc == 3 && strcmp(argv[1], "start-log") == 0) {
        return cutLog(argv[1], argv[2], NULL);
    }
    fprintf(stderr, "usage: cut_writer conf|sn|result|trim|start-log ...\n");
    return 2;
}
