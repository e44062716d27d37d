/*
 * meterSimScreen.cpp - the screen the simulated meter shows: drawing test
 * patterns and images into it, and sending it to the unit as FBDATA
 * rectangles in the wire's colour order, whole or only what changed since
 * the last screen of the same connection, followed by SCR_FIN.
 */
#include "meterSimInt.h"

#include <stdlib.h>
#include <string.h>

/* 64 x 6 = 384 pixels: one full rectangle; 5 x 40 of them cover 320 x 240. */
#define MSIM_TILE_W  64
#define MSIM_TILE_H  6

static_assert(MSIM_TILE_W * MSIM_TILE_H == MSW_RECT_PIXELS, "tile fills a rectangle");
static_assert(MSW_SCREEN_W % MSIM_TILE_W == 0 && MSW_SCREEN_H % MSIM_TILE_H == 0,
              "tiles cover the screen");

uint16_t meterSimDisplayToWire(uint16_t pixel)
{
    /* Red (bits 11-15) and blue (bits 0-4) change places; green stays. */
    return (uint16_t)(((pixel & 0x001F) << 11) | (pixel & 0x07E0) | ((pixel >> 11) & 0x001F));
}

uint16_t meterSimRgb565(uint8_t r, uint8_t g, uint8_t b)
{
    /* The panel keeps blue in the high bits and red in the low bits. */
    return (uint16_t)(((b >> 3) << 11) | ((g >> 2) << 5) | (r >> 3));
}

const uint16_t *meterSimScreen(MeterSim_t *sim)
{
    return sim == NULL ? NULL : sim->screen;
}

static uint16_t patternPixel(int32_t pattern, uint16_t colour, int32_t x, int32_t y)
{
    /* White, yellow, cyan, green, magenta, red, blue, black (panel order). */
    static const uint16_t bars[8] = {0xFFFF, 0x07FF, 0xFFE0, 0x07E0,
                                     0xF81F, 0x001F, 0xF800, 0x0000};
    switch (pattern) {
    case MSIM_PATTERN_BARS:
        return bars[(x * 8) / MSW_SCREEN_W];
    case MSIM_PATTERN_CHECKER:
        return ((x / 16 + y / 16) & 1) ? 0x0000 : 0xFFFF;
    case MSIM_PATTERN_GRADIENT: {
        uint16_t r = (uint16_t)((x * 31) / (MSW_SCREEN_W - 1));
        uint16_t g = (uint16_t)((y * 63) / (MSW_SCREEN_H - 1));
        uint16_t b = (uint16_t)(((x + y) * 31) / (MSW_SCREEN_W + MSW_SCREEN_H - 2));
        return (uint16_t)((b << 11) | (g << 5) | r);
    }
    default:
        return colour;
    }
}

void meterSimDrawPattern(MeterSim_t *sim, int32_t pattern, uint16_t colour)
{
    if (sim == NULL)
        return;
    pthread_mutex_lock(&sim->screenLock);
    for (int32_t y = 0; y < MSW_SCREEN_H; y++)
        for (int32_t x = 0; x < MSW_SCREEN_W; x++)
            sim->screen[y * MSW_SCREEN_W + x] = patternPixel(pattern, colour, x, y);
    pthread_mutex_unlock(&sim->screenLock);
}

void meterSimFillRect(MeterSim_t *sim, int32_t x, int32_t y, int32_t w, int32_t h,
                      uint16_t colour)
{
    if (sim == NULL)
        return;
    int32_t x0 = x < 0 ? 0 : x;
    int32_t y0 = y < 0 ? 0 : y;
    int64_t x1 = (int64_t)x + w > MSW_SCREEN_W ? MSW_SCREEN_W : (int64_t)x + w;
    int64_t y1 = (int64_t)y + h > MSW_SCREEN_H ? MSW_SCREEN_H : (int64_t)y + h;
    pthread_mutex_lock(&sim->screenLock);
    for (int32_t py = y0; py < y1; py++)
        for (int32_t px = x0; px < x1; px++)
            sim->screen[py * MSW_SCREEN_W + px] = colour;
    pthread_mutex_unlock(&sim->screenLock);
}

int32_t meterSimLoadImage(MeterSim_t *sim, const char *path)
{
    if (sim == NULL || path == NULL)
        return -1;
    uint16_t *img = (uint16_t *)malloc(sizeof(sim->screen));
    if (img == NULL)
        return -1;
    int32_t rc = meterSimReadPpm(path, img, MSW_SCREEN_W, MSW_SCREEN_H);
    if (rc != 1)
        rc = meterSimReadPng(path, img, MSW_SCREEN_W, MSW_SCREEN_H);
    if (rc == 1) {
        pthread_mutex_lock(&sim->screenLock);
        memcpy(sim->screen, img, sizeof(sim->screen));
        pthread_mutex_unlock(&sim->screenLock);
    }
    free(img);
    return rc;
}

static int32_t tileDiffers(const MeterSim_t *sim, int32_t tx, int32_t ty)
{
    for (int32_t r = 0; r < MSIM_TILE_H; r++) {
        uint32_t at = (uint32_t)(ty + r) * MSW_SCREEN_W + (uint32_t)tx;
        if (memcmp(&sim->screen[at], &sim->sent[at], MSIM_TILE_W * 2) != 0)
            return 1;
    }
    return 0;
}

static int32_t sendTile(MeterSim_t *sim, int32_t tx, int32_t ty)
{
    MSW_RectFrame_t frame;
    memset(&frame, 0, sizeof(frame));
    meterSimFillHead(&frame.head, sizeof(frame), MSW_FB_FBDATA);
    frame.rect.x = (uint16_t)tx;
    frame.rect.y = (uint16_t)ty;
    frame.rect.w = MSIM_TILE_W;
    frame.rect.h = MSIM_TILE_H;
    uint32_t i = 0;
    for (int32_t r = 0; r < MSIM_TILE_H; r++) {
        for (int32_t c = 0; c < MSIM_TILE_W; c++, i++) {
            uint16_t wire = meterSimDisplayToWire(sim->screen[(ty + r) * MSW_SCREEN_W + tx + c]);
            memcpy(&frame.rect.pixels[i * 2], &wire, sizeof(wire));
        }
    }
    int32_t rc = meterSimLinkSend(sim, MSIM_LINK_SCREEN, &frame, sizeof(frame), 1, NULL);
    if (rc != 1)
        return rc;
    for (int32_t r = 0; r < MSIM_TILE_H; r++) {
        uint32_t at = (uint32_t)(ty + r) * MSW_SCREEN_W + (uint32_t)tx;
        memcpy(&sim->sent[at], &sim->screen[at], MSIM_TILE_W * 2);
    }
    return 1;
}

int32_t meterSimSendScreen(MeterSim_t *sim, int32_t bOnlyChanged, int32_t bFinish)
{
    if (sim == NULL)
        return -1;
    uint32_t conn = meterSimLinkConn(sim, MSIM_LINK_SCREEN);
    if (conn == 0)
        return -1;
    pthread_mutex_lock(&sim->screenLock);
    if (conn != sim->sentConn) {
        /* Every connection of the unit starts from a white screen. */
        for (uint32_t i = 0; i < MSW_SCREEN_W * MSW_SCREEN_H; i++)
            sim->sent[i] = 0xFFFF;
        sim->sentConn = conn;
    }
    int32_t count = 0;
    int32_t rc = 1;
    for (int32_t ty = 0; ty < MSW_SCREEN_H && rc == 1; ty += MSIM_TILE_H) {
        for (int32_t tx = 0; tx < MSW_SCREEN_W && rc == 1; tx += MSIM_TILE_W) {
            if (bOnlyChanged && !tileDiffers(sim, tx, ty))
                continue;
            rc = sendTile(sim, tx, ty);
            count += rc == 1;
        }
    }
    pthread_mutex_unlock(&sim->screenLock);
    if (rc != 1)
        return rc;
    if (bFinish && (rc = meterSimSendScrFin(sim)) != 1)
        return rc;
    return count;
}

int32_t meterSimSendRect(MeterSim_t *sim, uint16_t x, uint16_t y, uint16_t w, uint16_t h,
                         const uint16_t *wirePixels, uint32_t nPixels)
{
    if (nPixels > MSW_RECT_PIXELS || (nPixels > 0 && wirePixels == NULL))
        return -1;
    MSW_RectFrame_t frame;
    memset(&frame, 0, sizeof(frame));
    meterSimFillHead(&frame.head, sizeof(frame), MSW_FB_FBDATA);
    frame.rect.x = x;
    frame.rect.y = y;
    frame.rect.w = w;
    frame.rect.h = h;
    if (nPixels > 0)
        memcpy(frame.rect.pixels, wirePixels, nPixels * 2u);
    return meterSimLinkSend(sim, MSIM_LINK_SCREEN, &frame, sizeof(frame), 1, NULL);
}

int32_t meterSimSendScrFin(MeterSim_t *sim)
{
    return meterSimSendFrame(sim, MSIM_LINK_SCREEN, MSW_FB_SCR_FIN, NULL, 0, NULL);
}
