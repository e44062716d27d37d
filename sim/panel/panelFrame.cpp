/*
 * panelFrame.cpp - frame buffer pixels to canvas pixels (see panelFrame.h).
 * Called by the panel's watcher thread each time the frame buffer file or
 * the backlight level changes.
 */
#include "panelFrame.h"

#include <stddef.h>

#define PANEL_DEFAULT_MAX_LEVEL 100

/* 5- or 6-bit channel to 8 bits, full scale staying full scale. */
static uint32_t widen5(uint32_t v)
{
    return (v << 3) | (v >> 2);
}

static uint32_t widen6(uint32_t v)
{
    return (v << 2) | (v >> 4);
}

int32_t panelFrameDecode(const uint8_t *fb, uint32_t fbLen, int32_t level, int32_t maxLevel,
                         uint8_t *rgba, uint32_t rgbaLen)
{
    if (fb == NULL || rgba == NULL || fbLen != PANEL_FB_BYTES || rgbaLen != PANEL_RGBA_BYTES)
        return -1;
    if (maxLevel <= 0)
        maxLevel = PANEL_DEFAULT_MAX_LEVEL;
    if (level < 0 || level > maxLevel)
        level = maxLevel;
    /* One table per channel width keeps the loop to lookups. */
    uint8_t dim5[32];
    uint8_t dim6[64];
    for (uint32_t v = 0; v < 64; v++) {
        dim6[v] = (uint8_t)(widen6(v) * (uint32_t)level / (uint32_t)maxLevel);
        if (v < 32)
            dim5[v] = (uint8_t)(widen5(v) * (uint32_t)level / (uint32_t)maxLevel);
    }
    for (uint32_t i = 0; i < PANEL_LCD_PIXELS; i++) {
        uint32_t word = (uint32_t)fb[2 * i] | ((uint32_t)fb[2 * i + 1] << 8);
        uint8_t *px = rgba + 4 * i;
        px[0] = dim5[word & 0x1F];
        px[1] = dim6[(word >> 5) & 0x3F];
        px[2] = dim5[(word >> 11) & 0x1F];
        px[3] = 255;
    }
    return 1;
}
