/*
 * kelupgkel.cpp - kelupgrade, the firmware upgrade program.
 *
 * At start it confirms the flash bank the unit booted from in the boot
 * environment. Then it watches the upload path for a package, waits until
 * its size has stayed the same for a poll and a further 10 s, checks it
 * (complete and sealed, for this panel), restores its image, has the flash
 * writer put the image into the other bank while the control daemon shows
 * the upgrading mode, records the version and the new bank, and reboots.
 *
 * Talks to: the boot environment (fw_printenv / fw_setenv), the
 * configuration file, the control daemon (work mode, error reports), the
 * flash writer /usr/bin/fwupgrade, and reboot. Single-threaded.
 *
 * Boot-environment variable names are this program's constants and values
 * are numbers it formats itself: nothing from a package or a command line
 * reaches a shell command. A failed environment read or write is a failure,
 * never taken as success. A bank and its flag are written in one update.
 *
 * Each attempt opens the package once: its checks, the restore and the
 * recorded version all come from that one open file and one header read.
 */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "kel.h"
#include "kelbootenv.h"
#include "kelcommon.h"
#include "kelerror.h"
#include "kelupg.h"

#define UPGKEL_REPORT(code) kelLogError(KEL_TASK_UPGRADE, KEL_FILEID_UPGKEL, __LINE__, (code))

/* The two path buffers of the command line and the defaults. */
#define UPG_PATH_BUF 64
#define UPG_UPLOAD_DIR "/usr/ftp/up"
#define UPG_PACKAGE_NAME "kelupg.bin"
#define UPG_IMAGE_DIR "/tmp"
#define UPG_IMAGE_NAME "kelimg.bin"

#define UPG_ENV_ACT_GROUP "actmtdgrp"
#define UPG_ENV_DFT_GROUP "dftmtdgrp"
#define UPG_ENV_FLAG "upgflag"
#define UPG_CONF_ACT_GROUP "ACTMTDGROUP"
#define UPG_CONF_VERSION "KEL_VERSION"

#define UPG_POLL_MS 5000
#define UPG_SETTLE_MS 10000
#define UPG_RETRY_MS 1000
#define UPG_REBOOT_DELAY_MS 500

/* Reads a boot-environment variable into `envValue` (32 bytes), always
 * terminated: an unset variable is an empty value, an environment that
 * cannot be read is a failure (reported). */
INT32 kelGetUBootEnv(const char *envParam, char *envValue)
{
    if (kelBootEnvGet(envParam, envValue) < 0) {
        UPGKEL_REPORT(KEL_FW_SET_ENV_ERROR);
        return -1;
    }
    return 1;
}

INT32 kelSetUBootEnv(const char *envParam, const char *envValue)
{
    if (kelBootEnvSet(envParam, envValue) < 0) {
        UPGKEL_REPORT(KEL_FW_SET_ENV_ERROR);
        return -1;
    }
    return 1;
}

/* Decimal value of a boot-environment variable; -1 when unreadable. */
static INT32 upgGetEnvNumber(const char *name, long *value)
{
    char text[KEL_ENV_VALUE_SIZE];
    memset(text, 0, sizeof(text));
    if (kelGetUBootEnv(name, text) < 0) {
        return -1;
    }
    *value = strtol(text, NULL, 10);
    return 1;
}

INT32 kelGetCurActMtdGroup(kel_UpgMTDGroup_t *curMtdGroup)
{
    long value = 0;
    if (curMtdGroup == NULL || upgGetEnvNumber(UPG_ENV_ACT_GROUP, &value) < 0) {
        UPGKEL_REPORT(KEL_FW_GET_ENV_ERROR);
        return -1;
    }
    *curMtdGroup = (kel_UpgMTDGroup_t)(INT32)value;
    return 1;
}

/* Writes `groupName` and "upgflag", in that order, in one update of the
 * environment: a power cut never leaves the bank new and the flag old (a
 * new bank booting as confirmed, with no way back) or the other way round. */
static INT32 upgSetGroup(const char *groupName, kel_UpgMTDGroup_t group, kel_upgFlag_t upgFlag)
{
    char groupText[KEL_ENV_VALUE_SIZE];
    char flagText[KEL_ENV_VALUE_SIZE];
    snprintf(groupText, sizeof(groupText), "%d", (int)group);
    snprintf(flagText, sizeof(flagText), "%d", (int)upgFlag);
    const char *names[] = {groupName, UPG_ENV_FLAG};
    const char *values[] = {groupText, flagText};
    if (kelBootEnvSetAll(names, values, 2) < 0) {
        UPGKEL_REPORT(KEL_FW_SET_ENV_ERROR);
        return -1;
    }
    return 1;
}

INT32 kelSetActMtdGroup(kel_UpgMTDGroup_t actMtdGroup, kel_upgFlag_t upgFlag)
{
    return upgSetGroup(UPG_ENV_ACT_GROUP, actMtdGroup, upgFlag);
}

INT32 kelSetDftMtdGroup(kel_UpgMTDGroup_t dftMtdGroup, kel_upgFlag_t upgFlag)
{
    return upgSetGroup(UPG_ENV_DFT_GROUP, dftMtdGroup, upgFlag);
}

/* Host path of a board path: under the platform root when absolute. */
static INT32 upgHostPath(const char *boardPath, char *buf, UINT32 bufLen)
{
    if (boardPath[0] == '/') {
        return kelRootPath(boardPath, buf, bufLen);
    }
    int n = snprintf(buf, bufLen, "%s", boardPath);
    return (n < 0 || (UINT32)n >= bufLen) ? -1 : n;
}

/* Package and image paths from the command line or the defaults, as host
 * paths. An argument that does not fit its 64-byte buffer is refused. */
static INT32 upgSetPaths(int argc, char **argv, char *pkgPath, char *imgPath, UINT32 hostLen)
{
    char pkg[UPG_PATH_BUF];
    char img[UPG_PATH_BUF];
    snprintf(pkg, sizeof(pkg), "%s/%s", UPG_UPLOAD_DIR, UPG_PACKAGE_NAME);
    snprintf(img, sizeof(img), "%s/%s", UPG_IMAGE_DIR, UPG_IMAGE_NAME);
    if (argc > 1) {
        for (int i = 1; i < argc && i <= 2; i++) {
            if (argv[i][0] == '\0' || strlen(argv[i]) >= UPG_PATH_BUF) {
                printf("kelupgrade: path argument '%s' is empty or longer than %d bytes\n", argv[i],
                       UPG_PATH_BUF - 1);
                return -1;
            }
        }
        snprintf(pkg, sizeof(pkg), "%s", argv[1]);
        if (argc > 2) {
            snprintf(img, sizeof(img), "%s", argv[2]);
        }
    }
    if (upgHostPath(pkg, pkgPath, hostLen) < 0 || upgHostPath(img, imgPath, hostLen) < 0) {
        printf("kelupgrade: paths too long under the platform root\n");
        return -1;
    }
    return 1;
}

/* The configuration's copy of the running bank follows the environment;
 * a failed write here is of no consequence. */
static void upgSyncConfigGroup(kel_UpgMTDGroup_t running)
{
    char value[KEL_ENV_VALUE_SIZE];
    char want[KEL_ENV_VALUE_SIZE];
    memset(value, 0, sizeof(value));
    snprintf(want, sizeof(want), "%d", (int)running);
    if (kelGetLinuxEnv(UPG_CONF_ACT_GROUP, value) < 0 || strtol(value, NULL, 10) != (long)running) {
        (void)kelSetLinuxEnv(UPG_CONF_ACT_GROUP, want);
    }
}

/* Confirms the running bank after a boot that followed a bank switch
 * ("upgflag" 0 or 1), retrying every second until the environment takes
 * it. Any other flag value needs nothing. */
static void upgConfirmBoot(KelUpgrade *upg, kel_UpgMTDGroup_t running)
{
    upg->upgSteps = KEL_UPG_STEP_CHECK_ENV;
    for (;;) {
        long flag = 0;
        if (upgGetEnvNumber(UPG_ENV_FLAG, &flag) < 0) {
            kelSleep(UPG_RETRY_MS);
            continue;
        }
        if ((UINT32)flag > (UINT32)KEL_UPG_REBOOT_FIRST) {
            return;
        }
        /* The confirmed bank and the flag go together: "upgflag" 2 alone
         * would leave the old bank as the default for good. */
        if (kelSetDftMtdGroup(running, KEL_UPG_REBOOT_DONE) < 0) {
            kelSleep(UPG_RETRY_MS);
            continue;
        }
        return;
    }
}

/* Waits for a package whose upload has finished and that was not handled
 * yet. Returns 1 to handle it, 0 to look again. */
static INT32 upgWaitPackage(KelUpgrade *upg, const char *pkgPath)
{
    upg->upgSteps = KEL_UPG_STEP_VERIFY_PKG;
    while (upg->CheckFileExist(pkgPath) < 0) {
        upg->upgFileLength = 0;
        upg->bUpgFileUploadDone = KEL_FALSE;
        upg->bUpgFileChecked = KEL_FALSE;
        upg->bNewUpgFile = KEL_FALSE;
        kelSleep(UPG_POLL_MS);
    }
    if (upg->bNewUpgFile == KEL_FALSE && upg->bUpgFileUploadDone == KEL_FALSE) {
        upg->bNewUpgFile = KEL_TRUE;
        UPGKEL_REPORT(KEL_UPG_FILE_DETECTED);
    }
    while (upg->GetFileSize(pkgPath) != upg->upgFileLength) {
        upg->upgFileLength = upg->GetFileSize(pkgPath);
        upg->bUpgFileChecked = KEL_FALSE;
        upg->bUpgFileUploadDone = KEL_FALSE;
        kelSleep(UPG_POLL_MS);
    }
    if (upg->bUpgFileUploadDone == KEL_FALSE) {
        kelSleep(UPG_SETTLE_MS);
        if (upg->GetFileSize(pkgPath) != upg->upgFileLength) {
            return 0;
        }
        upg->bUpgFileUploadDone = KEL_TRUE;
        upg->bNewUpgFile = KEL_FALSE;
    }
    if (upg->bUpgFileChecked == KEL_TRUE) {
        kelSleep(UPG_POLL_MS);
        return 0;
    }
    upg->bUpgFileChecked = KEL_TRUE;
    return 1;
}

/* After a good flash write: the version of the package that was written,
 * then the bank switch. Leaves upgSteps at KEL_UPG_STEP_REBOOT whatever
 * was written. */
static void upgRecordInstall(KelUpgrade *upg, kel_UpgMTDGroup_t target, const kel_UpgFileHeader_t *header)
{
    char version[KEL_ENV_VALUE_SIZE];
    snprintf(version, sizeof(version), KEL_VERSION_FMT, header->upgVersionMajor, header->upgVersionMinor,
             header->upgVersionBuild);
    if (kelSetLinuxEnv(UPG_CONF_VERSION, version) > 0) {
        upg->upgSteps = KEL_UPG_STEP_SET_ENV;
        if (kelSetActMtdGroup(target, KEL_UPG_REBOOT_NEEDED) > 0) {
            upg->upgSteps = KEL_UPG_STEP_FINISHED;
            UPGKEL_REPORT(KEL_UPG_SUCCESS);
        }
    }
    upg->upgSteps = KEL_UPG_STEP_REBOOT;
}

/* Checks the open package and restores its image. 1 ready for the flash
 * writer, 0 to go back to watching (reported). */
static INT32 upgCheckAndRestore(KelUpgrade *upg, int pkg, kel_UpgFileHeader_t *header, const char *imgPath)
{
    if (upg->GetUpgFileHeader(pkg, header) < 0 || upg->CheckUpgFileCompletion(pkg, header) < 0) {
        UPGKEL_REPORT(KEL_UPG_FILE_VERIFY_FAIL);
        return 0;
    }
    if (upg->VerifyUpgFileType(header) < 0) {
        UPGKEL_REPORT(KEL_UPG_TYPE_ERROR);
        upg->bUpgFileChecked = KEL_FALSE;
        kelSleep(UPG_POLL_MS);
        return 0;
    }
    upg->upgSteps = KEL_UPG_STEP_RESTORE_IMG;
    if (upg->RestoreImageFile(imgPath, pkg, header) < 0) {
        UPGKEL_REPORT(KEL_UPG_IMAGE_RESTORE_FAIL);
        return 0;
    }
    return 1;
}

/* Checks, restores and installs the package, opened once for the whole
 * attempt. Returns 1 when the unit is to reboot, 0 to go back to watching. */
static INT32 upgHandlePackage(KelUpgrade *upg, kel_UpgMTDGroup_t running, const char *pkgPath,
                              const char *imgPath)
{
    kel_UpgFileHeader_t header;
    int pkg = upg->OpenUpgFile(pkgPath);
    if (pkg < 0) {
        UPGKEL_REPORT(KEL_UPG_FILE_VERIFY_FAIL);
        return 0;
    }
    INT32 ready = upgCheckAndRestore(upg, pkg, &header, imgPath);
    close(pkg);
    if (ready == 0) {
        return 0;
    }
    kel_UpgMTDGroup_t target = KEL_UPG_MTD_GRP_0;
    if (running == KEL_UPG_MTD_GRP_0) {
        target = KEL_UPG_MTD_GRP_1;
    }
    upg->upgSteps = KEL_UPG_STEP_START;
    (void)kelSetWorkMode(KEL_MODE_FW_UPGRADING);
    if (upg->UpgradeKel(target) < 0) {
        UPGKEL_REPORT(KEL_UPG_FAIL);
    } else {
        upgRecordInstall(upg, target, &header);
    }
    (void)kelSetWorkMode(KEL_MODE_NORMAL);
    kelSleep(UPG_REBOOT_DELAY_MS);
    return upg->upgSteps == KEL_UPG_STEP_REBOOT ? 1 : 0;
}

int main(int argc, char **argv)
{
    char pkgPath[KEL_PATH_BUF_SIZE];
    char imgPath[KEL_PATH_BUF_SIZE];
    kel_UpgMTDGroup_t running = KEL_UPG_MTD_GRP_0;

    (void)kelEnsureStdDescriptors();
    setvbuf(stdout, NULL, _IOLBF, 0);
    KelUpgrade *upg = KelUpgrade::GetInstance();
    if (upgSetPaths(argc, argv, pkgPath, imgPath, sizeof(pkgPath)) < 0) {
        return -1;
    }
    if (kelGetCurActMtdGroup(&running) < 0) {
        printf("kelupgrade: the boot environment cannot be read\n");
        return -1;
    }
    upgSyncConfigGroup(running);
    upgConfirmBoot(upg, running);
    for (;;) {
        if (upgWaitPackage(upg, pkgPath) == 0) {
            continue;
        }
        if (upgHandlePackage(upg, running, pkgPath, imgPath) > 0) {
            (void)kelReboot();
            return 0;
        }
    }
}
