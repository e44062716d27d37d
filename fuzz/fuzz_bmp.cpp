/*
 * fuzz_bmp.cpp - pictogram files: the input's first byte picks where the
 * rest lands on the board, the remaining bytes are the file.
 *   0  decoded alone (any size the loader takes)
 *   1  the full-screen error pictogram, drawn
 *   2  the main picture of the separate error pictogram (the board's own
 *      English strip beneath), drawn
 *   3  the English strip of the separate upgrade pictogram (the board's
 *      own main picture above), drawn
 * Each place has its own file, so the board's other pictures stay intact
 * from one input to the next.
 */
#include "fuzzBoard.h"
#include "kel.h"
#include "kelmsg.h"
#include "kelpicto.h"

typedef struct {
    const char *boardPath;
    kel_PictoMode_t mode;
    kel_PictoType_t type;
} fuzz_PictoPlace_t;

static const fuzz_PictoPlace_t fuzzPlaces[] = {
    {"/tmp/fuzz.bmp", KEL_NUM_OF_PICTO_MODE, KEL_PICTO_TYPE_ERROR},
    {KEL_PICTO_DIR_SYSTEM "/picto_full_err_0.bmp", KEL_PICTO_MODE_FULL, KEL_PICTO_TYPE_ERROR},
    {KEL_PICTO_DIR_SYSTEM "/picto_sep_err.bmp", KEL_PICTO_MODE_SEPERATE, KEL_PICTO_TYPE_ERROR},
    {KEL_PICTO_DIR_SYSTEM "/picto_sep_upg_en.bmp", KEL_PICTO_MODE_SEPERATE, KEL_PICTO_TYPE_UPGRADE},
};
#define FUZZ_NUM_PLACES (sizeof(fuzzPlaces) / sizeof(fuzzPlaces[0]))

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    kelFuzzRequireBoard();
    if (size < 1) {
        return 0;
    }
    const fuzz_PictoPlace_t *place = &fuzzPlaces[data[0] % FUZZ_NUM_PLACES];
    if (kelFuzzWriteFile(place->boardPath, data + 1, size - 1) < 0) {
        return 0;
    }
    if (place->mode == KEL_NUM_OF_PICTO_MODE) {
        char path[KEL_PATH_BUF_SIZE];
        INT8 bits = 0;
        INT32 width = 0;
        INT32 height = 0;
        if (kelRootPath(place->boardPath, path, sizeof(path)) > 0) {
            kelFreeBmpData(kelGetBmpData(&bits, &width, &height, path));
        }
        return 0;
    }
    kel_PictoInfo_t info;
    info.pictoMode = place->mode;
    info.pictoType = place->type;
    info.pictoLang = KEL_LANG_ENGLISH;
    info.pictoIndex = KEL_PICTO_INDEX_0;
    kelPictogramsDisplay(&info, KEL_FB_WIDTH, KEL_FB_HEIGHT, KEL_FB_BPP);
    kelFuzzDrainQueues();
    return 0;
}
