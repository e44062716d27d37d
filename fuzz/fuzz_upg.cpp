/*
 * fuzz_upg.cpp - an upgrade package as it lies in the upload folder: the
 * input is the package file. It goes through the steps the upgrade program
 * takes before any flash write: header read, completion check, type check,
 * restore of the image, and the image's check against the header.
 */
#include "fuzzBoard.h"
#include "kel.h"
#include "kelupg.h"

#define FUZZ_PKG_BOARD_PATH "/usr/ftp/up/fuzz.upg"
#define FUZZ_IMG_BOARD_PATH "/tmp/kelimg.bin"
/* The unit's panel, so a package's type check can pass. */
static const char fuzzPanelConfig[] = "LCD 0\n";

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    kelFuzzRequireBoard();
    static INT32 configured;
    if (configured == 0) {
        configured = kelFuzzWriteFile(KEL_CONFIG_FILE, (const uint8_t *)fuzzPanelConfig,
                                      sizeof(fuzzPanelConfig) - 1);
    }
    char pkg[KEL_PATH_BUF_SIZE];
    char img[KEL_PATH_BUF_SIZE];
    if (kelRootPath(FUZZ_PKG_BOARD_PATH, pkg, sizeof(pkg)) < 0 ||
        kelRootPath(FUZZ_IMG_BOARD_PATH, img, sizeof(img)) < 0 ||
        kelFuzzWriteFile(FUZZ_PKG_BOARD_PATH, data, size) < 0) {
        return 0;
    }
    KelUpgrade upg;
    kel_UpgFileHeader_t header;
    upg.GetUpgFileHeader(pkg, &header);
    upg.CheckUpgFileCompletion(pkg);
    upg.VerifyUpgFileType(pkg);
    if (upg.RestoreImageFile(img, pkg) > 0 && upg.GetUpgFileHeader(pkg, &header) > 0) {
        upg.VerifyImageFile(img, &header);
    }
    kelFuzzDrainQueues();
    return 0;
}
