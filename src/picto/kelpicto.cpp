/*
 * kelpicto.cpp - the unit's own full-screen pictograms: file naming from
 * the mark tables, the full and separate (main picture over a language
 * strip) layouts, conversion to 16-bit screen words and the hand-over to the
 * control daemon through the shared frame buffer and the frame-ready queue.
 *
 * Any picture that cannot be found, read or fitted leaves the screen as it
 * was: nothing is sent.
 */
#include "kelpicto.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "kel.h"
#include "kelerror.h"
#include "kelmsg.h"

#define KEL_PICTO_BYTES_PER_PIXEL 3
#define KEL_PICTO_SCREEN_BPP 16
#define KEL_PICTO_WHITE 0xFF

const kel_PictoModeMark_t kelPictoMode[KEL_NUM_OF_PICTO_MODE] = {
    {KEL_PICTO_MODE_FULL, "full"},
    {KEL_PICTO_MODE_SEPERATE, "sep"},
};

const kel_PictoTypeMark_t kelPictoType[KEL_NUM_OF_PICTO_TYPE] = {
    {KEL_PICTO_TYPE_ERROR, "err"},
    {KEL_PICTO_TYPE_UPGRADE, "upg"},
    {KEL_PICTO_TYPE_PROGRESS, "prog"},
    {KEL_PICTO_TYPE_INDUSTRY, "ind"},
};

const kel_PictoIndexMark_t kelPictoIndex[MAX_NUM_OF_INDEX] = {
    {KEL_PICTO_INDEX_0, "0"}, {KEL_PICTO_INDEX_1, "1"}, {KEL_PICTO_INDEX_2, "2"},
    {KEL_PICTO_INDEX_3, "3"}, {KEL_PICTO_INDEX_4, "4"}, {KEL_PICTO_INDEX_5, "5"},
};

const kel_PictoLangMark_t kelPictoLang[KEL_NUM_OF_PICTO_LANG] = {
    {KEL_LANG_ENGLISH, "en"}, {KEL_LANG_FRENCH, "fr"},     {KEL_LANG_SPANISH, "sp"},
    {KEL_LANG_GERMAN, "ge"},  {KEL_LANG_ITALIAN, "it"},    {KEL_LANG_PORTUGUESE, "pu"},
    {KEL_LANG_CHINESE, "cn"}, {KEL_LANG_RUSSIAN, "ru"},
};

static const char *kelMark(const signed char *mark)
{
    return (const char *)mark;
}

UINT16 kelPictoPixelWord(UINT8 blue, UINT8 green, UINT8 red)
{
    return (UINT16)(((UINT32)(blue >> 3) << 11) | ((UINT32)(green >> 2) << 5) | (UINT32)(red >> 3));
}

/* The screen geometry this module can draw: 16-bit pixels within the
 * shared frame buffer's 320 x 240. */
static int kelPictoScreenValid(INT32 scrWidth, INT32 scrHeight, INT32 scrBpp)
{
    return scrWidth >= 1 && scrWidth <= KEL_FB_WIDTH && scrHeight >= 1 && scrHeight <= KEL_FB_HEIGHT &&
           scrBpp == KEL_PICTO_SCREEN_BPP;
}

/* A white screen buffer, or null. */
static UINT8 *kelPictoScreenAlloc(INT32 scrWidth, INT32 scrHeight, INT32 scrBpp)
{
    size_t bytes = (size_t)scrWidth * (size_t)scrHeight * (size_t)scrBpp / 8;
    UINT8 *scr = (UINT8 *)malloc(bytes);
    if (scr != NULL) {
        memset(scr, KEL_PICTO_WHITE, bytes);
    }
    return scr;
}

/* Copies `count` picture pixels (blue, green, red) into screen pixels
 * starting at pixel number `scrPixel`, as little-endian 16-bit words. */
static void kelPictoConvertRun(UINT8 *scr, size_t scrPixel, const UINT8 *pic, INT32 count)
{
    UINT8 *out = scr + scrPixel * 2;
    for (INT32 x = 0; x < count; x++) {
        const UINT8 *px = pic + (size_t)x * KEL_PICTO_BYTES_PER_PIXEL;
        UINT16 word = kelPictoPixelWord(px[0], px[1], px[2]);
        out[0] = (UINT8)(word & 0xFF);
        out[1] = (UINT8)(word >> 8);
        out += 2;
    }
}

/* Builds a file name from a zeroed 64-byte board name and roots it into
 * `path`. 1, or -1 when it does not fit. */
static int kelPictoRootName(const char *boardName, char *path, UINT32 pathLen)
{
    return kelRootPath(boardName, path, pathLen) < 0 ? -1 : 1;
}

static int kelPictoExists(const char *path)
{
    return access(path, F_OK) == 0;
}

static int kelPictoFullName(const kel_PictoInfo_t *info, const char *dir, char *path, UINT32 pathLen)
{
    char name[KEL_PICTO_NAME_SIZE];
    memset(name, 0, sizeof(name));
    int n = snprintf(name, sizeof(name), "%s/%s_%s_%s_%s.bmp", dir, KEL_PICTO_WORD,
                     kelMark(kelPictoMode[info->pictoMode].modeMark), kelMark(kelPictoType[info->pictoType].typeMark),
                     kelMark(kelPictoIndex[info->pictoIndex].indexMark));
    if (n < 0 || (size_t)n >= sizeof(name)) {
        return -1;
    }
    return kelPictoRootName(name, path, pathLen);
}

static int kelPictoSepMainName(const kel_PictoInfo_t *info, char *path, UINT32 pathLen)
{
    char name[KEL_PICTO_NAME_SIZE];
    memset(name, 0, sizeof(name));
    int n = snprintf(name, sizeof(name), "%s/%s_%s_%s.bmp", KEL_PICTO_DIR_SYSTEM, KEL_PICTO_WORD,
                     kelMark(kelPictoMode[info->pictoMode].modeMark), kelMark(kelPictoType[info->pictoType].typeMark));
    if (n < 0 || (size_t)n >= sizeof(name)) {
        return -1;
    }
    return kelPictoRootName(name, path, pathLen);
}

static int kelPictoSepStripName(const kel_PictoInfo_t *info, kel_LanguageType_t lang, char *path, UINT32 pathLen)
{
    char name[KEL_PICTO_NAME_SIZE];
    memset(name, 0, sizeof(name));
    int n = snprintf(name, sizeof(name), "%s/%s_%s_%s_%s.bmp", KEL_PICTO_DIR_SYSTEM, KEL_PICTO_WORD,
                     kelMark(kelPictoMode[info->pictoMode].modeMark), kelMark(kelPictoType[info->pictoType].typeMark),
                     kelMark(kelPictoLang[lang].langMark));
    if (n < 0 || (size_t)n >= sizeof(name)) {
        return -1;
    }
    return kelPictoRootName(name, path, pathLen);
}

/* A selection field as the 32-bit word it is stored in: a record filled
 * from outside may hold any value, which must not be loaded as the enum. */
static INT32 kelPictoField(const void *field)
{
    INT32 v;
    memcpy(&v, field, sizeof(v));
    return v;
}

/* The selection names existing table rows. */
static int kelPictoInfoValid(const kel_PictoInfo_t *info, int withLang)
{
    INT32 type = kelPictoField(&info->pictoType);
    INT32 index = kelPictoField(&info->pictoIndex);
    INT32 lang = kelPictoField(&info->pictoLang);
    if (type < 0 || type >= KEL_NUM_OF_PICTO_TYPE || index < 0 || index >= MAX_NUM_OF_INDEX) {
        return 0;
    }
    return !withLang || (lang >= 0 && lang < KEL_NUM_OF_PICTO_LANG);
}

/* Sends the drawn screen and releases it; 1 or -1. */
static INT32 kelPictoSendAndFree(UINT8 *scr, INT32 width, INT32 height, INT32 scrBpp)
{
    INT32 rc = kelSendPictoToScreen(scr, width, height, scrBpp);
    free(scr);
    return rc >= 0 ? 1 : -1;
}

INT32 kelFullPictoDisplay(const kel_PictoInfo_t *pictoInfo, INT32 scrWidth, INT32 scrHeight, INT32 scrBpp)
{
    if (pictoInfo == NULL || kelPictoField(&pictoInfo->pictoMode) != KEL_PICTO_MODE_FULL ||
        !kelPictoInfoValid(pictoInfo, 0) ||
        !kelPictoScreenValid(scrWidth, scrHeight, scrBpp)) {
        return -1;
    }
    char path[KEL_PATH_BUF_SIZE];
    if (kelPictoFullName(pictoInfo, KEL_PICTO_DIR_SYSTEM, path, sizeof(path)) < 0 || !kelPictoExists(path)) {
        if (kelPictoFullName(pictoInfo, KEL_PICTO_DIR_USER, path, sizeof(path)) < 0 || !kelPictoExists(path)) {
            return -1;
        }
    }
    INT32 width = 0;
    INT32 height = 0;
    UINT8 *pic = kelGetBmpData(NULL, &width, &height, path);
    if (pic == NULL) {
        return -1;
    }
    if (width != scrWidth || height != scrHeight) {
        kelFreeBmpData(pic);
        return -1;
    }
    UINT8 *scr = kelPictoScreenAlloc(scrWidth, scrHeight, scrBpp);
    if (scr == NULL) {
        kelFreeBmpData(pic);
        return -1;
    }
    for (INT32 row = 0; row < height; row++) {
        kelPictoConvertRun(scr, (size_t)row * (size_t)scrWidth,
                           pic + (size_t)row * (size_t)width * KEL_PICTO_BYTES_PER_PIXEL, width);
    }
    kelFreeBmpData(pic);
    return kelPictoSendAndFree(scr, width, height, scrBpp);
}

/* Loads a picture that fits the screen; null when missing, unreadable or
 * too large. */
static UINT8 *kelPictoLoadFitting(const char *path, INT32 scrWidth, INT32 scrHeight, INT32 *width, INT32 *height)
{
    UINT8 *pic = kelGetBmpData(NULL, width, height, path);
    if (pic == NULL) {
        return NULL;
    }
    if (*width > scrWidth || *height > scrHeight) {
        kelFreeBmpData(pic);
        return NULL;
    }
    return pic;
}

INT32 kelSeperatePictoDisplay(const kel_PictoInfo_t *pictoInfo, INT32 scrWidth, INT32 scrHeight, INT32 scrBpp)
{
    /* The index is not used here; only type and language name files. */
    if (pictoInfo == NULL || kelPictoField(&pictoInfo->pictoMode) != KEL_PICTO_MODE_SEPERATE ||
        kelPictoField(&pictoInfo->pictoType) < 0 || kelPictoField(&pictoInfo->pictoType) >= KEL_NUM_OF_PICTO_TYPE ||
        kelPictoField(&pictoInfo->pictoLang) < 0 || kelPictoField(&pictoInfo->pictoLang) >= KEL_NUM_OF_PICTO_LANG ||
        !kelPictoScreenValid(scrWidth, scrHeight, scrBpp)) {
        return -1;
    }
    char mainPath[KEL_PATH_BUF_SIZE];
    char stripPath[KEL_PATH_BUF_SIZE];
    if (kelPictoSepMainName(pictoInfo, mainPath, sizeof(mainPath)) < 0 ||
        kelPictoSepStripName(pictoInfo, pictoInfo->pictoLang, stripPath, sizeof(stripPath)) < 0) {
        return -1;
    }
    if (!kelPictoExists(stripPath) &&
        kelPictoSepStripName(pictoInfo, KEL_LANG_ENGLISH, stripPath, sizeof(stripPath)) < 0) {
        return -1;
    }
    if (!kelPictoExists(stripPath) || !kelPictoExists(mainPath)) {
        return -1;
    }

    INT32 stripW = 0;
    INT32 stripH = 0;
    UINT8 *strip = kelPictoLoadFitting(stripPath, scrWidth, scrHeight, &stripW, &stripH);
    if (strip == NULL) {
        return -1;
    }
    INT32 mainW = 0;
    INT32 mainH = 0;
    UINT8 *mainPic = kelPictoLoadFitting(mainPath, scrWidth, scrHeight, &mainW, &mainH);
    if (mainPic == NULL) {
        kelFreeBmpData(strip);
        return -1;
    }
    UINT8 *scr = kelPictoScreenAlloc(scrWidth, scrHeight, scrBpp);
    if (scr == NULL) {
        kelFreeBmpData(strip);
        kelFreeBmpData(mainPic);
        return -1;
    }

    /* The strip sits at the bottom left. */
    for (INT32 k = 0; k < stripH; k++) {
        INT32 picRow = stripH - 1 - k;
        INT32 scrRow = scrHeight - 1 - k;
        kelPictoConvertRun(scr, (size_t)scrRow * (size_t)scrWidth,
                           strip + (size_t)picRow * (size_t)stripW * KEL_PICTO_BYTES_PER_PIXEL, stripW);
    }
    kelFreeBmpData(strip);

    /* The main picture stands on the strip; a taller one loses its top, a
     * shorter one leaves white rows above it. */
    INT32 space = scrHeight - stripH;
    INT32 rows = mainH < space ? mainH : space;
    for (INT32 k = 0; k < rows; k++) {
        INT32 picRow = mainH - 1 - k;
        INT32 scrRow = scrHeight - 1 - stripH - k;
        kelPictoConvertRun(scr, (size_t)scrRow * (size_t)scrWidth,
                           mainPic + (size_t)picRow * (size_t)mainW * KEL_PICTO_BYTES_PER_PIXEL, mainW);
    }
    kelFreeBmpData(mainPic);
    return kelPictoSendAndFree(scr, scrWidth, scrHeight, scrBpp);
}

INT32 kelPictogramsDisplay(const kel_PictoInfo_t *pictoInfo, INT32 scrWidth, INT32 scrHeight, INT32 scrBpp)
{
    if (pictoInfo == NULL) {
        return 0;
    }
    switch (kelPictoField(&pictoInfo->pictoMode)) {
    case KEL_PICTO_MODE_FULL:
        return kelFullPictoDisplay(pictoInfo, scrWidth, scrHeight, scrBpp);
    case KEL_PICTO_MODE_SEPERATE:
        return kelSeperatePictoDisplay(pictoInfo, scrWidth, scrHeight, scrBpp);
    default:
        return 0;
    }
}

INT32 kelSendPictoToScreen(const UINT8 *pictoBuf, INT32 scrWidth, INT32 scrHeight, INT32 scrBpp)
{
    if (pictoBuf == NULL || !kelPictoScreenValid(scrWidth, scrHeight, scrBpp)) {
        return -1;
    }
    kel_MsgQue_FB_t msg;
    memset(&msg, 0, sizeof(msg));
    msg.msgType = KEL_MSG_TYPE_FB;
    msg.appTaskID = KEL_TASK_CONTROL;
    msg.bScrFinished = KEL_FALSE;

    INT32 queue = -1;
    if (kelAppMsgQueGetID(&queue, KEL_MSG_ID_FB) < 0) {
        (void)kelLogError(KEL_TASK_CONTROL, KEL_FILEID_PICTO, __LINE__, KEL_FW_MSGQ_GETID_ERROR);
        return -1;
    }
    INT32 bytes = scrWidth * scrHeight * scrBpp / 8;
    if (kelFBShareMemWrite(pictoBuf, bytes, KEL_TASK_CONTROL) < 0) {
        (void)kelLogError(KEL_TASK_CONTROL, KEL_FILEID_PICTO, __LINE__, KEL_FW_SHM_RW_ERROR);
    }
    msg.bScrFinished = KEL_TRUE;
    if (kelAppMsgQueDataSend(queue, KEL_MSG_TYPE_FB, &msg) < 0) {
        (void)kelLogError(KEL_TASK_CONTROL, KEL_FILEID_PICTO, __LINE__, KEL_FW_MSGQ_SEND_ERROR);
    }
    return 1;
}
