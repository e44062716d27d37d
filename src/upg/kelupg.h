/*
 * kelupg.h - the upgrade package and the KelUpgrade class.
 *
 * A package is a 68-byte header, the firmware image, and a 32-byte trailer
 * holding the MD5 text of the 68 header bytes. KelUpgrade (one instance per
 * process) keeps the upgrade program's state and does every file operation
 * on packages: build, completion and panel checks, image restore and
 * verification, and the hand-over to the flash writer. The upgrade program
 * (kelupgkel) drives it on the unit; the package builder (kelmkupg) uses
 * the same code on the build host.
 */
#ifndef KEL_UPG_H
#define KEL_UPG_H

#include <sys/stat.h>

#include "kelTypes.h"

#define KEL_UPG_FILE_MARK "UPGF"
#define KEL_UPG_FILE_MARK_LEN 4
#define KEL_UPG_MD5_LEN 32
#define KEL_UPG_HEADER_SIZE 68
#define KEL_UPG_TRAILER_SIZE 32
/* Header and trailer around the image of a complete package. */
#define KEL_UPG_OVERHEAD (KEL_UPG_HEADER_SIZE + KEL_UPG_TRAILER_SIZE)
#define KEL_UPG_FLASH_WRITER "/usr/bin/fwupgrade"
#define KEL_UPG_KERNEL_FILE "uImage"
#define KEL_UPG_ROOTFS_FILE "rootfs.img"

typedef enum {
    KEL_UPG_STEP_INIT = 0,
    KEL_UPG_STEP_CHECK_ENV = 1,
    KEL_UPG_STEP_VERIFY_PKG = 2,
    KEL_UPG_STEP_RESTORE_IMG = 3,
    KEL_UPG_STEP_START = 4,
    KEL_UPG_STEP_PROGRESS_0 = 5,
    KEL_UPG_STEP_PROGRESS_1 = 6,
    KEL_UPG_STEP_PROGRESS_2 = 7,
    KEL_UPG_STEP_PROGRESS_3 = 8,
    KEL_UPG_STEP_PROGRESS_4 = 9,
    KEL_UPG_STEP_PROGRESS_5 = 10,
    KEL_UPG_STEP_SET_ENV = 11,
    KEL_UPG_STEP_FINISHED = 12,
    KEL_UPG_STEP_REBOOT = 13
} kel_upgSteps_t;

/* Flash bank. Read from the boot environment as any number, so the enum
 * has a fixed 32-bit type and holds whatever was read. */
typedef enum : INT32 { KEL_UPG_MTD_GRP_0 = 0, KEL_UPG_MTD_GRP_1 = 1 } kel_UpgMTDGroup_t;

/* Boot environment "upgflag". */
typedef enum {
    KEL_UPG_REBOOT_NEEDED = 0,
    KEL_UPG_REBOOT_FIRST = 1,
    KEL_UPG_REBOOT_DONE = 2
} kel_upgFlag_t;

/* Package header as it lies in the file, little-endian. */
typedef struct KEL_PACKED KEL_UPG_FILE_HEADER {
    UINT64 unixTimeStamp;
    char upgFileMark[KEL_UPG_FILE_MARK_LEN];
    INT32 imgFileSize;
    INT32 imgDataOffset;
    char upgMD5[KEL_UPG_MD5_LEN];
    UINT8 lcdType;
    UINT8 upgVersionMajor;
    UINT8 upgVersionMinor;
    UINT8 upgVersionBuild;
    UINT8 reserved[12];
} KEL_UPG_FILE_HEADER, kel_UpgFileHeader_t;

static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "the header is read as it lies in memory");
static_assert(sizeof(kel_UpgFileHeader_t) == KEL_UPG_HEADER_SIZE, "package header");
static_assert(offsetof(kel_UpgFileHeader_t, unixTimeStamp) == 0, "package header");
static_assert(offsetof(kel_UpgFileHeader_t, upgFileMark) == 8, "package header");
static_assert(offsetof(kel_UpgFileHeader_t, imgFileSize) == 12, "package header");
static_assert(offsetof(kel_UpgFileHeader_t, imgDataOffset) == 16, "package header");
static_assert(offsetof(kel_UpgFileHeader_t, upgMD5) == 20, "package header");
static_assert(offsetof(kel_UpgFileHeader_t, lcdType) == 52, "package header");
static_assert(offsetof(kel_UpgFileHeader_t, upgVersionMajor) == 53, "package header");
static_assert(offsetof(kel_UpgFileHeader_t, upgVersionMinor) == 54, "package header");
static_assert(offsetof(kel_UpgFileHeader_t, upgVersionBuild) == 55, "package header");
static_assert(offsetof(kel_UpgFileHeader_t, reserved) == 56, "package header");

class KelUpgrade {
public:
    kel_upgSteps_t upgSteps;
    INT32 upgFileLength;
    kel_BOOL_t bNewUpgFile;
    kel_BOOL_t bUpgFileUploadDone;
    kel_BOOL_t bUpgFileChecked;

    KelUpgrade();
    ~KelUpgrade();

    INT32 GetFileSize(const char *imgFileName);
    INT32 GetFileInfo(const char *imgFileName, struct stat *fileInfo);
    INT32 GenerateImageFileMD5Code(const char *imgFileName, char *MD5Code);
    INT32 GenerateImageFile(const char *imgFileName, const char *binFilePath);
    INT32 GenerateUpgFile(const char *imgFileName, const char *upgFileName,
                          kel_UpgFileHeader_t *upgFileHeader);
    INT32 GetUpgFileHeader(const char *upgFileName, kel_UpgFileHeader_t *upgFileHeader);
    INT32 CheckFileExist(const char *imgFileName);
    INT32 CheckUpgFileCompletion(const char *upgFileName);
    INT32 VerifyUpgFileType(const char *upgFileName);
    INT32 RestoreImageFile(const char *imgFileName, const char *upgFileName);

    /* The same steps on one open package and one header read from it, so
     * that an attempt takes all it checks, restores and records from the
     * same file, whatever happens at its path meanwhile. The path forms
     * above open the package for each step. */
    /* Opens a package for reading: the descriptor, or -1 (reported). */
    INT32 OpenUpgFile(const char *upgFileName);
    INT32 GetUpgFileHeader(int upgFd, kel_UpgFileHeader_t *upgFileHeader);
    INT32 CheckUpgFileCompletion(int upgFd, const kel_UpgFileHeader_t *upgFileHeader);
    /* The panel check of a header already read. */
    INT32 VerifyUpgFileType(const kel_UpgFileHeader_t *upgFileHeader);
    INT32 RestoreImageFile(const char *imgFileName, int upgFd, const kel_UpgFileHeader_t *upgFileHeader);
    INT32 VerifyImageFile(const char *imgFileName, const kel_UpgFileHeader_t *fileHeader);
    INT32 UpgradeKel(kel_UpgMTDGroup_t upgTargetMtdGroup);
    void PrintUpgFileHeader(const kel_UpgFileHeader_t *upgFileHeader);

    static KelUpgrade *GetInstance();

private:
    static KelUpgrade *pUpgInstance;
};

#endif /* KEL_UPG_H */
