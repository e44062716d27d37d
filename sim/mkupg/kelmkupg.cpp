/*
 * kelmkupg.cpp - the upgrade package builder for the people who make
 * firmware. Builds a package from an image archive (or first the archive
 * from a folder holding uImage and rootfs.img), and checks a package the
 * way the unit will: header, completion and seal, image restore and MD5.
 * It links the unit's own package code (KelUpgrade) and MD5 module, so a
 * package it accepts is one the unit accepts.
 *
 *   kelmkupg build --panel 0|1 --version MAJOR.MINOR.BUILD
 *                  (--image FILE | --dir DIR) OUT
 *   kelmkupg check PACKAGE
 */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include "kel.h"
#include "kelerror.h"
#include "kelupg.h"

#define MKUPG_TMP_TEMPLATE "/tmp/kelmkupg.XXXXXX"
#define MKUPG_ARCHIVE_NAME "image.tgz"
#define MKUPG_RESTORE_NAME "image.bin"

/* The package code reports its file errors here: on the build host there
 * is no control daemon, so they are printed. */
INT32 kelLogError(kel_AppTaskID_t appTaskID, INT32 fileID, INT32 lineNum, kel_ErrorCode_t errCode)
{
    (void)appTaskID;
    fprintf(stderr, "kelmkupg: package code reports error %d (module %d, line %d)\n", (int)errCode,
            (int)fileID, (int)lineNum);
    return 1;
}

static const char buildUsage[] =
    "usage: kelmkupg build --panel 0|1 --version MAJOR.MINOR.BUILD (--image FILE | --dir DIR) OUT\n"
    "  Builds the upgrade package OUT: a 68-byte header (build time, \"UPGF\",\n"
    "  image size and offset, image MD5, panel, version), the image, and the\n"
    "  MD5 of the header as a 32-character seal.\n"
    "  --panel 0|1        LCD panel the package is for (0 KYOCERA, 1 SHARP)\n"
    "  --version X.Y.Z    firmware version, each part 0..255\n"
    "  --image FILE       the image: a gzip tar archive with uImage and rootfs.img\n"
    "  --dir DIR          make that archive first from DIR/uImage and DIR/rootfs.img\n"
    "                     (DIR: a plain path of letters, digits and . _ / + -,\n"
    "                     at most 52 characters)\n";

static const char checkUsage[] =
    "usage: kelmkupg check PACKAGE\n"
    "  Prints the header of PACKAGE and runs the unit's checks in order: header,\n"
    "  completion and seal, image restore and image MD5. Names the first that\n"
    "  fails; exit status 0 only when all pass.\n";

static void usage(FILE *to)
{
    fprintf(to, "kelmkupg - build and check firmware upgrade packages\n\n%s\n%s", buildUsage, checkUsage);
}

/* One number 0..255 of a version, ending at `end`. */
static int parseByte(const char *text, char end, const char **next, UINT8 *out)
{
    char *stop = NULL;
    if (*text < '0' || *text > '9') {
        return -1;
    }
    long v = strtol(text, &stop, 10);
    if (stop == text || *stop != end || v < 0 || v > 255) {
        return -1;
    }
    *out = (UINT8)v;
    *next = stop + (end != '\0' ? 1 : 0);
    return 1;
}

static int parseVersion(const char *text, kel_UpgFileHeader_t *h)
{
    const char *p = text;
    if (parseByte(p, '.', &p, &h->upgVersionMajor) < 0 || parseByte(p, '.', &p, &h->upgVersionMinor) < 0 ||
        parseByte(p, '\0', &p, &h->upgVersionBuild) < 0) {
        return -1;
    }
    return 1;
}

static int cmdBuild(int argc, char **argv)
{
    const char *panel = NULL, *version = NULL, *image = NULL, *dir = NULL, *out = NULL;
    for (int i = 0; i < argc; i++) {
        const char *a = argv[i];
        if (strcmp(a, "--help") == 0 || strcmp(a, "-h") == 0) {
            fputs(buildUsage, stdout);
            return 0;
        }
        const char **slot = strcmp(a, "--panel") == 0     ? &panel
                            : strcmp(a, "--version") == 0 ? &version
                            : strcmp(a, "--image") == 0   ? &image
                            : strcmp(a, "--dir") == 0     ? &dir
                                                          : NULL;
        if (slot != NULL) {
            if (i + 1 >= argc) {
                fprintf(stderr, "kelmkupg: %s needs a value\n", a);
                return 2;
            }
            *slot = argv[++i];
        } else if (a[0] == '-' || out != NULL) {
            fprintf(stderr, "kelmkupg: unexpected argument '%s'\n%s", a, buildUsage);
            return 2;
        } else {
            out = a;
        }
    }
    if (panel == NULL || version == NULL || out == NULL || (image == NULL) == (dir == NULL)) {
        fprintf(stderr, "kelmkupg: build needs --panel, --version, one of --image and --dir, and OUT\n%s",
                buildUsage);
        return 2;
    }
    kel_UpgFileHeader_t h;
    memset(&h, 0, sizeof(h));
    memcpy(h.upgFileMark, KEL_UPG_FILE_MARK, KEL_UPG_FILE_MARK_LEN);
    if (strcmp(panel, "0") != 0 && strcmp(panel, "1") != 0) {
        fprintf(stderr, "kelmkupg: panel '%s' is neither 0 (KYOCERA) nor 1 (SHARP)\n", panel);
        return 2;
    }
    h.lcdType = (UINT8)(panel[0] - '0');
    if (parseVersion(version, &h) < 0) {
        fprintf(stderr, "kelmkupg: version '%s' is not MAJOR.MINOR.BUILD with each part 0..255\n", version);
        return 2;
    }

    KelUpgrade *upg = KelUpgrade::GetInstance();
    char tmpDir[] = MKUPG_TMP_TEMPLATE;
    char archive[sizeof(tmpDir) + sizeof(MKUPG_ARCHIVE_NAME) + 1];
    if (dir != NULL) {
        char kernel[KEL_PATH_BUF_SIZE], rootfs[KEL_PATH_BUF_SIZE];
        snprintf(kernel, sizeof(kernel), "%s/%s", dir, KEL_UPG_KERNEL_FILE);
        snprintf(rootfs, sizeof(rootfs), "%s/%s", dir, KEL_UPG_ROOTFS_FILE);
        if (upg->CheckFileExist(kernel) < 0 || upg->CheckFileExist(rootfs) < 0) {
            fprintf(stderr, "kelmkupg: %s needs both %s and %s\n", dir, KEL_UPG_KERNEL_FILE, KEL_UPG_ROOTFS_FILE);
            return 1;
        }
        if (mkdtemp(tmpDir) == NULL) {
            fprintf(stderr, "kelmkupg: cannot make a temporary folder\n");
            return 1;
        }
        snprintf(archive, sizeof(archive), "%s/%s", tmpDir, MKUPG_ARCHIVE_NAME);
        if (upg->GenerateImageFile(archive, dir) < 0) {
            fprintf(stderr, "kelmkupg: cannot archive %s (tar failed, or the path is not plain or too long)\n",
                    dir);
            rmdir(tmpDir);
            return 1;
        }
        image = archive;
    } else if (upg->CheckFileExist(image) < 0) {
        fprintf(stderr, "kelmkupg: no image file %s\n", image);
        return 1;
    }
    int rc = upg->GenerateUpgFile(image, out, &h) > 0 ? 0 : 1;
    if (dir != NULL) {
        unlink(archive);
        rmdir(tmpDir);
    }
    if (rc != 0) {
        fprintf(stderr, "kelmkupg: cannot build %s\n", out);
        return 1;
    }
    printf("%s: %d-byte image, panel %d, version %d.%d.%d\n", out, (int)h.imgFileSize, (int)h.lcdType,
           (int)h.upgVersionMajor, (int)h.upgVersionMinor, (int)h.upgVersionBuild);
    return 0;
}

static void printHeader(const kel_UpgFileHeader_t *h)
{
    char when[64] = "?";
    time_t t = (time_t)h->unixTimeStamp;
    struct tm tm;
    if (gmtime_r(&t, &tm) != NULL) {
        strftime(when, sizeof(when), "%Y-%m-%d %H:%M:%S UTC", &tm);
    }
    printf("time stamp     %llu (%s)\n", (unsigned long long)h->unixTimeStamp, when);
    printf("mark           %.4s\n", h->upgFileMark);
    printf("image size     %d bytes\n", (int)h->imgFileSize);
    printf("image offset   %d\n", (int)h->imgDataOffset);
    printf("image MD5      %.32s\n", h->upgMD5);
    printf("panel          %d (%s)\n", (int)h->lcdType,
           h->lcdType == KEL_LCD_KYOCERA ? "KYOCERA" : h->lcdType == KEL_LCD_SHARP ? "SHARP" : "unknown");
    printf("version        %d.%d.%d\n", (int)h->upgVersionMajor, (int)h->upgVersionMinor,
           (int)h->upgVersionBuild);
}

static int cmdCheck(int argc, char **argv)
{
    if (argc == 1 && (strcmp(argv[0], "--help") == 0 || strcmp(argv[0], "-h") == 0)) {
        fputs(checkUsage, stdout);
        return 0;
    }
    if (argc != 1) {
        fputs(checkUsage, stderr);
        return 2;
    }
    const char *pkg = argv[0];
    KelUpgrade *upg = KelUpgrade::GetInstance();
    kel_UpgFileHeader_t h;
    if (upg->GetUpgFileHeader(pkg, &h) < 0) {
        printf("header: FAILED (unreadable, shorter than 68 bytes, no \"UPGF\" mark, or a size\n"
               "        or offset outside the file)\n");
        return 1;
    }
    printHeader(&h);
    printf("header: ok\n");
    if (upg->CheckUpgFileCompletion(pkg) < 0) {
        printf("completion and seal: FAILED (package is %d bytes, the header wants %lld, or the\n"
               "        trailer is not the header's MD5)\n",
               (int)upg->GetFileSize(pkg), (long long)h.imgFileSize + KEL_UPG_OVERHEAD);
        return 1;
    }
    printf("completion and seal: ok\n");
    char tmpDir[] = MKUPG_TMP_TEMPLATE;
    if (mkdtemp(tmpDir) == NULL) {
        fprintf(stderr, "kelmkupg: cannot make a temporary folder\n");
        return 1;
    }
    char restored[sizeof(tmpDir) + sizeof(MKUPG_RESTORE_NAME) + 1];
    snprintf(restored, sizeof(restored), "%s/%s", tmpDir, MKUPG_RESTORE_NAME);
    int rc = upg->RestoreImageFile(restored, pkg);
    unlink(restored);
    rmdir(tmpDir);
    if (rc < 0) {
        printf("image restore and MD5: FAILED\n");
        return 1;
    }
    printf("image restore and MD5: ok\n");
    return 0;
}

int main(int argc, char **argv)
{
    if (argc < 2 || strcmp(argv[1], "--help") == 0 || strcmp(argv[1], "-h") == 0) {
        usage(argc < 2 ? stderr : stdout);
        return argc < 2 ? 2 : 0;
    }
    if (strcmp(argv[1], "build") == 0) {
        return cmdBuild(argc - 2, argv + 2);
    }
    if (strcmp(argv[1], "check") == 0) {
        return cmdCheck(argc - 2, argv + 2);
    }
    fprintf(stderr, "kelmkupg: unknown command '%s'\n", argv[1]);
    usage(stderr);
    return 2;
}
