/*
 * kelupg.cpp - KelUpgrade: the upgrade package on disk.
 *
 * Builds packages (on the build host), checks that an uploaded package is
 * complete, sealed and meant for this panel, restores and verifies its
 * image, and runs the flash writer for a bank. The upgrade program
 * (kelupgkel) calls these in order; nothing reaches the flash writer that
 * has not passed every check.
 *
 * Header values come from the uploaded file, so they are checked before
 * use: a negative image size or an image offset outside the file fails the
 * header read, and the restore never reads outside the package. The
 * restored image is always a file of its own, made anew by the restore
 * (mode 0600, never through a link), and a restore that fails removes it,
 * so no partial or foreign image is left at the path the flash writer
 * takes its image from.
 */
#include "kelupg.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "kel.h"
#include "kelerror.h"
#include "md5.h"

#define KEL_UPG_PIECE 1024
/* The image archive's tar command: three paths of a build machine (the
 * firmware folder sits deep in a build tree) and the words around them. */
#define KEL_UPG_TAR_CMD_BUF (3 * KEL_PATH_BUF_SIZE + 32)

#define UPG_REPORT(code) kelLogError(KEL_TASK_UPGRADE, KEL_FILEID_UPG, __LINE__, (code))

KelUpgrade *KelUpgrade::pUpgInstance = NULL;

KelUpgrade::KelUpgrade()
    : upgSteps(KEL_UPG_STEP_INIT), upgFileLength(0), bNewUpgFile(KEL_FALSE),
      bUpgFileUploadDone(KEL_FALSE), bUpgFileChecked(KEL_FALSE)
{
}

KelUpgrade::~KelUpgrade()
{
}

KelUpgrade *KelUpgrade::GetInstance()
{
    if (pUpgInstance == NULL) {
        pUpgInstance = new KelUpgrade();
    }
    return pUpgInstance;
}

/* Writes all `len` bytes; 1, or -1 on a short write. */
static INT32 upgWriteAll(int fd, const void *buf, size_t len)
{
    const UINT8 *p = (const UINT8 *)buf;
    while (len > 0) {
        ssize_t n = write(fd, p, len);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return -1;
        }
        p += n;
        len -= (size_t)n;
    }
    return 1;
}

/* Reads up to `len` bytes, stopping only at end of file or an error.
 * Returns the count read, or -1 on an error. */
static ssize_t upgReadFull(int fd, void *buf, size_t len)
{
    UINT8 *p = (UINT8 *)buf;
    size_t got = 0;
    while (got < len) {
        ssize_t n = read(fd, p + got, len - got);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            return -1;
        }
        if (n == 0) {
            break;
        }
        got += (size_t)n;
    }
    return (ssize_t)got;
}

/* Size of an open file, or -1 when it is not known or above INT32. */
static INT64 upgSizeOf(int fd)
{
    struct stat st;
    if (fstat(fd, &st) != 0 || st.st_size < 0 || st.st_size > INT32_MAX) {
        return -1;
    }
    return (INT64)st.st_size;
}

INT32 KelUpgrade::GetFileSize(const char *imgFileName)
{
    if (imgFileName == NULL) {
        return -1;
    }
    int fd = open(imgFileName, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        UPG_REPORT(KEL_FW_FILE_OPEN_ERROR);
        return -1;
    }
    off_t start = lseek(fd, 0, SEEK_SET);
    off_t end = lseek(fd, 0, SEEK_END);
    close(fd);
    if (start < 0 || end < start || end - start > INT32_MAX) {
        return -1;
    }
    return (INT32)(end - start);
}

INT32 KelUpgrade::GetFileInfo(const char *imgFileName, struct stat *fileInfo)
{
    if (imgFileName == NULL || fileInfo == NULL || stat(imgFileName, fileInfo) != 0) {
        return -1;
    }
    return 1;
}

INT32 KelUpgrade::GenerateImageFileMD5Code(const char *imgFileName, char *MD5Code)
{
    if (imgFileName == NULL || MD5Code == NULL || !MD5_File(imgFileName, MD5Code)) {
        return -1;
    }
    return 1;
}

/* 1 when `text` can stand in a shell command as one literal word. */
static INT32 upgIsShellWord(const char *text)
{
    if (text[0] == '\0') {
        return -1;
    }
    for (const char *p = text; *p != '\0'; p++) {
        char c = *p;
        if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '/' ||
              c == '.' || c == '_' || c == '-' || c == '+')) {
            return -1;
        }
    }
    return 1;
}

INT32 KelUpgrade::GenerateImageFile(const char *imgFileName, const char *binFilePath)
{
    char kernel[KEL_PATH_BUF_SIZE];
    char rootfs[KEL_PATH_BUF_SIZE];
    char cmd[KEL_UPG_TAR_CMD_BUF];
    if (imgFileName == NULL || binFilePath == NULL) {
        return -1;
    }
    int nk = snprintf(kernel, sizeof(kernel), "%s/%s", binFilePath, KEL_UPG_KERNEL_FILE);
    int nr = snprintf(rootfs, sizeof(rootfs), "%s/%s", binFilePath, KEL_UPG_ROOTFS_FILE);
    if (nk < 0 || nr < 0 || (size_t)nk >= sizeof(kernel) || (size_t)nr >= sizeof(rootfs)) {
        return -1;
    }
    if (CheckFileExist(kernel) < 0 || CheckFileExist(rootfs) < 0) {
        return -1;
    }
    /* The paths go into a shell command: only plain words are taken. */
    if (upgIsShellWord(imgFileName) < 0 || upgIsShellWord(kernel) < 0 || upgIsShellWord(rootfs) < 0) {
        return -1;
    }
    int n = snprintf(cmd, sizeof(cmd), "tar cvfz %s %s %s > /dev/null", imgFileName, kernel, rootfs);
    if (n < 0 || (size_t)n >= sizeof(cmd)) {
        return -1;
    }
    return kelExecSysCmd(cmd);
}

/* Writes the header, the image and the trailer into an open package. */
static INT32 upgWritePackage(int out, int in, const kel_UpgFileHeader_t *header, const char *trailer)
{
    UINT8 piece[KEL_UPG_PIECE];
    if (upgWriteAll(out, header, sizeof(*header)) < 0) {
        UPG_REPORT(KEL_FW_FILE_WRITE_ERROR);
        return -1;
    }
    for (;;) {
        ssize_t n = upgReadFull(in, piece, sizeof(piece));
        if (n < 0) {
            UPG_REPORT(KEL_FW_FILE_READ_ERROR);
            return -1;
        }
        if (n == 0) {
            break;
        }
        if (upgWriteAll(out, piece, (size_t)n) < 0) {
            UPG_REPORT(KEL_FW_FILE_WRITE_ERROR);
            return -1;
        }
    }
    if (upgWriteAll(out, trailer, KEL_UPG_TRAILER_SIZE) < 0) {
        UPG_REPORT(KEL_FW_FILE_WRITE_ERROR);
        return -1;
    }
    return 1;
}

INT32 KelUpgrade::GenerateUpgFile(const char *imgFileName, const char *upgFileName,
                                  kel_UpgFileHeader_t *upgFileHeader)
{
    char trailer[KEL_UPG_TRAILER_SIZE];
    if (upgFileName == NULL || upgFileHeader == NULL || CheckFileExist(imgFileName) < 0) {
        return -1;
    }
    INT32 size = GetFileSize(imgFileName);
    if (size < 0) {
        return -1;
    }
    upgFileHeader->imgFileSize = size;
    if (GenerateImageFileMD5Code(imgFileName, upgFileHeader->upgMD5) < 0) {
        return -1;
    }
    upgFileHeader->imgDataOffset = KEL_UPG_HEADER_SIZE;
    upgFileHeader->unixTimeStamp = kelGetRTCTime();
    MD5_String((const UINT8 *)upgFileHeader, KEL_UPG_HEADER_SIZE, trailer);

    int out = open(upgFileName, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (out < 0) {
        UPG_REPORT(KEL_FW_FILE_OPEN_ERROR);
        return -1;
    }
    int in = open(imgFileName, O_RDONLY | O_CLOEXEC);
    if (in < 0) {
        UPG_REPORT(KEL_FW_FILE_OPEN_ERROR);
        close(out);
        return -1;
    }
    INT32 rc = upgWritePackage(out, in, upgFileHeader, trailer);
    close(in);
    if (close(out) != 0) {
        rc = -1;
    }
    if (rc < 0) {
        return -1;
    }
    /* The image may have changed while it was copied. */
    return (INT64)GetFileSize(upgFileName) == (INT64)size + KEL_UPG_OVERHEAD ? 1 : -1;
}

INT32 KelUpgrade::OpenUpgFile(const char *upgFileName)
{
    if (upgFileName == NULL) {
        return -1;
    }
    int fd = open(upgFileName, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        UPG_REPORT(KEL_FW_FILE_OPEN_ERROR);
        return -1;
    }
    return fd;
}

INT32 KelUpgrade::GetUpgFileHeader(int upgFd, kel_UpgFileHeader_t *upgFileHeader)
{
    kel_UpgFileHeader_t header;
    if (upgFd < 0 || upgFileHeader == NULL) {
        return -1;
    }
    ssize_t n = -1;
    if (lseek(upgFd, 0, SEEK_SET) == 0) {
        n = upgReadFull(upgFd, &header, sizeof(header));
    }
    INT64 fileSize = upgSizeOf(upgFd);
    if (n != (ssize_t)sizeof(header)) {
        UPG_REPORT(KEL_FW_FILE_READ_ERROR);
        return -1;
    }
    if (memcmp(header.upgFileMark, KEL_UPG_FILE_MARK, KEL_UPG_FILE_MARK_LEN) != 0) {
        return -1;
    }
    /* Sizes and offsets the rest of the code seeks and copies by: a
     * negative size or an offset outside the file is never taken. */
    if (fileSize < 0 || header.imgFileSize < 0 || header.imgDataOffset < 0 ||
        (INT64)header.imgDataOffset > fileSize) {
        return -1;
    }
    memcpy(upgFileHeader, &header, sizeof(header));
    return 1;
}

INT32 KelUpgrade::GetUpgFileHeader(const char *upgFileName, kel_UpgFileHeader_t *upgFileHeader)
{
    if (upgFileName == NULL || upgFileHeader == NULL) {
        return -1;
    }
    int fd = OpenUpgFile(upgFileName);
    if (fd < 0) {
        return -1;
    }
    INT32 rc = GetUpgFileHeader(fd, upgFileHeader);
    close(fd);
    return rc;
}

INT32 KelUpgrade::CheckFileExist(const char *imgFileName)
{
    if (imgFileName == NULL || access(imgFileName, F_OK) != 0) {
        return -1;
    }
    return 1;
}

INT32 KelUpgrade::CheckUpgFileCompletion(int upgFd, const kel_UpgFileHeader_t *upgFileHeader)
{
    char seal[KEL_UPG_TRAILER_SIZE];
    char trailer[KEL_UPG_TRAILER_SIZE];
    if (upgFd < 0 || upgFileHeader == NULL) {
        return -1;
    }
    MD5_String((const UINT8 *)upgFileHeader, KEL_UPG_HEADER_SIZE, seal);
    INT64 size = upgSizeOf(upgFd);
    if (size < 0 || size != (INT64)upgFileHeader->imgFileSize + KEL_UPG_OVERHEAD) {
        return -1;
    }
    ssize_t n = -1;
    if (lseek(upgFd, (off_t)(size - KEL_UPG_TRAILER_SIZE), SEEK_SET) >= 0) {
        n = upgReadFull(upgFd, trailer, sizeof(trailer));
    }
    if (n != (ssize_t)sizeof(trailer)) {
        UPG_REPORT(KEL_FW_FILE_READ_ERROR);
        return -1;
    }
    return memcmp(seal, trailer, sizeof(seal)) == 0 ? 1 : -1;
}

INT32 KelUpgrade::CheckUpgFileCompletion(const char *upgFileName)
{
    kel_UpgFileHeader_t header;
    int fd = OpenUpgFile(upgFileName);
    if (fd < 0) {
        return -1;
    }
    INT32 rc = GetUpgFileHeader(fd, &header);
    if (rc > 0) {
        rc = CheckUpgFileCompletion(fd, &header);
    }
    close(fd);
    return rc;
}

INT32 KelUpgrade::VerifyUpgFileType(const kel_UpgFileHeader_t *upgFileHeader)
{
    char value[KEL_ENV_VALUE_SIZE];
    if (upgFileHeader == NULL) {
        return -1;
    }
    if (kelGetLinuxEnv("LCD", value) < 0) {
        UPG_REPORT(KEL_FW_GET_ENV_ERROR);
        return -1;
    }
    long lcd = strtol(value, NULL, 10);
    if (lcd != KEL_LCD_KYOCERA && lcd != KEL_LCD_SHARP) {
        return -1;
    }
    return (long)upgFileHeader->lcdType == lcd ? 1 : -1;
}

INT32 KelUpgrade::VerifyUpgFileType(const char *upgFileName)
{
    kel_UpgFileHeader_t header;
    char value[KEL_ENV_VALUE_SIZE];
    /* The configuration first: a missing panel type is reported even
     * when the package cannot be read. */
    if (kelGetLinuxEnv("LCD", value) < 0) {
        UPG_REPORT(KEL_FW_GET_ENV_ERROR);
        return -1;
    }
    if (GetUpgFileHeader(upgFileName, &header) < 0) {
        return -1;
    }
    return VerifyUpgFileType(&header);
}

/* Copies exactly imgFileSize bytes from imgDataOffset of the open package
 * into the open image; fails when the package ends early. */
static INT32 upgCopyImage(int in, int out, const kel_UpgFileHeader_t *header)
{
    UINT8 piece[KEL_UPG_PIECE];
    INT64 fileSize = upgSizeOf(in);
    if (fileSize < 0 || (INT64)header->imgDataOffset + header->imgFileSize > fileSize) {
        UPG_REPORT(KEL_FW_FILE_READ_ERROR);
        return -1;
    }
    if (lseek(in, (off_t)header->imgDataOffset, SEEK_SET) < 0) {
        UPG_REPORT(KEL_FW_FILE_READ_ERROR);
        return -1;
    }
    INT32 left = header->imgFileSize;
    while (left > 0) {
        size_t want = left < KEL_UPG_PIECE ? (size_t)left : (size_t)KEL_UPG_PIECE;
        ssize_t n = upgReadFull(in, piece, want);
        if (n != (ssize_t)want) {
            /* The package shrank since its checks. */
            UPG_REPORT(KEL_FW_FILE_READ_ERROR);
            return -1;
        }
        if (upgWriteAll(out, piece, want) < 0) {
            UPG_REPORT(KEL_FW_FILE_WRITE_ERROR);
            return -1;
        }
        left -= (INT32)want;
    }
    return 1;
}

/* Creates the image file anew: whatever lies at its path (a file another
 * user keeps open, a symbolic link to a file of the system) is removed
 * first, and the new file is made by this call alone, private to root, so
 * nobody can redirect the copy or change the image between its check and
 * the flash writer. The descriptor, or -1. */
static int upgCreateImage(const char *imgFileName)
{
    if (unlink(imgFileName) != 0 && errno != ENOENT) {
        return -1;
    }
    return open(imgFileName, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
}

/* Restore steps up to the verification; the caller removes the image when
 * this fails. */
static INT32 upgRestore(KelUpgrade *upg, const char *imgFileName, int in, const kel_UpgFileHeader_t *header)
{
    int out = upgCreateImage(imgFileName);
    if (out < 0) {
        UPG_REPORT(KEL_FW_FILE_OPEN_ERROR);
        return -1;
    }
    INT32 rc = upgCopyImage(in, out, header);
    INT64 size = upgSizeOf(out);
    if (close(out) != 0 && rc > 0) {
        UPG_REPORT(KEL_FW_FILE_WRITE_ERROR);
        rc = -1;
    }
    if (rc < 0 || size < 0) {
        return -1;
    }
    if (size != (INT64)header->imgFileSize) {
        UPG_REPORT(KEL_UPG_FILE_VERIFY_FAIL);
        return -1;
    }
    if (upg->VerifyImageFile(imgFileName, header) < 0) {
        UPG_REPORT(KEL_UPG_FILE_VERIFY_FAIL);
        return -1;
    }
    return 1;
}

INT32 KelUpgrade::RestoreImageFile(const char *imgFileName, int upgFd, const kel_UpgFileHeader_t *upgFileHeader)
{
    if (imgFileName == NULL || upgFd < 0 || upgFileHeader == NULL) {
        return -1;
    }
    if (upgRestore(this, imgFileName, upgFd, upgFileHeader) < 0) {
        /* Whatever lies at the restore path now is not the verified image;
         * the flash writer must never find it there. */
        (void)unlink(imgFileName);
        return -1;
    }
    return 1;
}

INT32 KelUpgrade::RestoreImageFile(const char *imgFileName, const char *upgFileName)
{
    kel_UpgFileHeader_t header;
    if (imgFileName == NULL || upgFileName == NULL) {
        return -1;
    }
    int fd = OpenUpgFile(upgFileName);
    if (fd < 0) {
        return -1;
    }
    INT32 rc = GetUpgFileHeader(fd, &header);
    if (rc > 0) {
        rc = RestoreImageFile(imgFileName, fd, &header);
    }
    close(fd);
    return rc;
}

INT32 KelUpgrade::VerifyImageFile(const char *imgFileName, const kel_UpgFileHeader_t *fileHeader)
{
    char code[KEL_UPG_MD5_LEN];
    if (fileHeader == NULL || GenerateImageFileMD5Code(imgFileName, code) < 0) {
        return -1;
    }
    return memcmp(code, fileHeader->upgMD5, sizeof(code)) == 0 ? 1 : -1;
}

INT32 KelUpgrade::UpgradeKel(kel_UpgMTDGroup_t upgTargetMtdGroup)
{
    char program[KEL_SHELL_CMD_SIZE];
    char cmd[KEL_SHELL_CMD_SIZE + 16];
    if (kelShellProgram(KEL_UPG_FLASH_WRITER, program, sizeof(program)) < 0) {
        return -1;
    }
    int n = snprintf(cmd, sizeof(cmd), "%s %d", program, (int)upgTargetMtdGroup);
    if (n < 0 || (size_t)n >= sizeof(cmd)) {
        return -1;
    }
    return kelExecSysCmd(cmd);
}

void KelUpgrade::PrintUpgFileHeader(const kel_UpgFileHeader_t *upgFileHeader)
{
    (void)upgFileHeader;
}
