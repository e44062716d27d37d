/*
 * kelpicto.h - the unit's own full-screen pictograms (error, upgrade needed,
 * upgrade progress, factory test): picks the bitmap files by layout, type,
 * index and language, draws them into a white 16-bit screen buffer and hands
 * the buffer to the control daemon through the shared frame buffer and the
 * frame-ready queue. Used by the daemon's work-mode controller.
 */
#ifndef KEL_PICTO_H
#define KEL_PICTO_H

#include "kelTypes.h"
#include "kelpictobmp.h"

#define KEL_PICTO_DIR_SYSTEM "/usr/share/picto"
#define KEL_PICTO_DIR_USER "/kel/picto"
#define KEL_PICTO_WORD "picto"
#define KEL_PICTO_NAME_SIZE 64
#define KEL_PICTO_MARK_SIZE 8

typedef enum {
    KEL_PICTO_MODE_FULL = 0,
    KEL_PICTO_MODE_SEPERATE = 1,
    KEL_NUM_OF_PICTO_MODE = 2
} kel_PictoMode_t;

typedef enum {
    KEL_PICTO_TYPE_ERROR = 0,
    KEL_PICTO_TYPE_UPGRADE = 1,
    KEL_PICTO_TYPE_PROGRESS = 2,
    KEL_PICTO_TYPE_INDUSTRY = 3,
    KEL_NUM_OF_PICTO_TYPE = 4
} kel_PictoType_t;

typedef enum {
    KEL_PICTO_INDEX_0 = 0,
    KEL_PICTO_INDEX_1 = 1,
    KEL_PICTO_INDEX_2 = 2,
    KEL_PICTO_INDEX_3 = 3,
    KEL_PICTO_INDEX_4 = 4,
    KEL_PICTO_INDEX_5 = 5,
    MAX_NUM_OF_INDEX = 6
} kel_PictoIndex_t;

#define KEL_NUM_OF_PICTO_LANG 8

typedef struct {
    kel_PictoMode_t pictoMode;
    kel_PictoType_t pictoType;
    kel_LanguageType_t pictoLang;
    union {
        kel_PictoIndex_t pictoIndex;
    };
} kel_PictoInfo_t;

typedef struct {
    kel_PictoMode_t pictoMode;
    signed char modeMark[KEL_PICTO_MARK_SIZE];
} kel_PictoModeMark_t;

typedef struct {
    kel_PictoType_t pictoType;
    signed char typeMark[KEL_PICTO_MARK_SIZE];
} kel_PictoTypeMark_t;

typedef struct {
    kel_PictoIndex_t pictoIndex;
    signed char indexMark[KEL_PICTO_MARK_SIZE];
} kel_PictoIndexMark_t;

typedef struct {
    kel_LanguageType_t langType;
    signed char langMark[KEL_PICTO_MARK_SIZE];
} kel_PictoLangMark_t;

#ifdef __cplusplus
extern "C" {
#endif

extern const kel_PictoModeMark_t kelPictoMode[KEL_NUM_OF_PICTO_MODE];
extern const kel_PictoTypeMark_t kelPictoType[KEL_NUM_OF_PICTO_TYPE];
extern const kel_PictoIndexMark_t kelPictoIndex[MAX_NUM_OF_INDEX];
extern const kel_PictoLangMark_t kelPictoLang[KEL_NUM_OF_PICTO_LANG];

INT32 kelPictogramsDisplay(const kel_PictoInfo_t *pictoInfo, INT32 scrWidth, INT32 scrHeight, INT32 scrBpp);
INT32 kelFullPictoDisplay(const kel_PictoInfo_t *pictoInfo, INT32 scrWidth, INT32 scrHeight, INT32 scrBpp);
INT32 kelSeperatePictoDisplay(const kel_PictoInfo_t *pictoInfo, INT32 scrWidth, INT32 scrHeight, INT32 scrBpp);
INT32 kelSendPictoToScreen(const UINT8 *pictoBuf, INT32 scrWidth, INT32 scrHeight, INT32 scrBpp);

/* The 16-bit screen word of one picture pixel: blue in bits 15..11, green
 * in bits 10..5, red in bits 4..0. */
UINT16 kelPictoPixelWord(UINT8 blue, UINT8 green, UINT8 red);

#ifdef __cplusplus
}
#endif

#endif /* KEL_PICTO_H */
