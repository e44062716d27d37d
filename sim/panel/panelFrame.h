/*
 * panelFrame.h - the panel's picture of the LCD: the frame buffer file's
 * 16-bit pixels turned into the 8-bit RGBA a browser canvas takes, dimmed
 * by the backlight as the glass would look.
 */
#ifndef PANEL_FRAME_H
#define PANEL_FRAME_H

#include <stdint.h>

#define PANEL_LCD_W 320
#define PANEL_LCD_H 240
#define PANEL_LCD_PIXELS (PANEL_LCD_W * PANEL_LCD_H)
#define PANEL_FB_BYTES (PANEL_LCD_PIXELS * 2)
#define PANEL_RGBA_BYTES (PANEL_LCD_PIXELS * 4)

/* Decodes a whole frame: little-endian 16-bit pixels, rows top-down, blue
 * in bits 15..11, green in 10..5, red in 4..0 (the order the unit writes).
 * Each channel is widened to 8 bits (full scale stays full scale) and then
 * scaled by level / maxLevel; a level below 0 (backlight unreadable) leaves
 * the picture undimmed, a maxLevel of 0 or less counts as 100. Alpha is
 * 255. Returns 1, or -1 when a buffer is missing or of the wrong size. */
int32_t panelFrameDecode(const uint8_t *fb, uint32_t fbLen, int32_t level, int32_t maxLevel,
                         uint8_t *rgba, uint32_t rgbaLen);

#endif /* PANEL_FRAME_H */
