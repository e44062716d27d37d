/*
 * fbformat.c - board bring-up of the emulated unit's LCD, run once by its
 * start script before the control daemon opens the frame buffer.
 *
 *   fbformat [/dev/fb0]
 *
 * The frame buffer holds pixels as the board's panel takes them (RGB565
 * with red in the low five bits). The PL111 driver starts with blue there;
 * this sets the pixel layout so the controller reads red from the low bits
 * (the driver sets the controller's BGR bit to match), and prints the
 * geometry the driver answers with. Exit status 0 when the layout took.
 */
#include <fcntl.h>
#include <linux/fb.h>
#include <stdio.h>
#include <string.h>
#include <sys/ioctl.h>
#include <unistd.h>

#define FB_DEFAULT_PATH "/dev/fb0"
#define FB_BITS 16

static void setField(struct fb_bitfield *f, unsigned offset, unsigned length)
{
    f->offset = offset;
    f->length = length;
    f->msb_right = 0;
}

static int layoutIsPanels(const struct fb_var_screeninfo *v)
{
    return v->bits_per_pixel == FB_BITS && v->red.offset == 0 && v->red.length == 5 &&
           v->green.offset == 5 && v->green.length == 6 && v->blue.offset == 11 &&
           v->blue.length == 5;
}

int main(int argc, char **argv)
{
    const char *path = argc > 1 ? argv[1] : FB_DEFAULT_PATH;
    int fd = open(path, O_RDWR);
    if (fd < 0) {
        perror(path);
        return 1;
    }
    struct fb_var_screeninfo var;
    struct fb_fix_screeninfo fix;
    memset(&var, 0, sizeof(var));
    memset(&fix, 0, sizeof(fix));
    if (ioctl(fd, FBIOGET_VSCREENINFO, &var) < 0) {
        perror("FBIOGET_VSCREENINFO");
        close(fd);
        return 1;
    }
    var.bits_per_pixel = FB_BITS;
    setField(&var.red, 0, 5);
    setField(&var.green, 5, 6);
    setField(&var.blue, 11, 5);
    setField(&var.transp, 0, 0);
    var.activate = FB_ACTIVATE_NOW;
    int status = 0;
    if (ioctl(fd, FBIOPUT_VSCREENINFO, &var) < 0) {
        perror("FBIOPUT_VSCREENINFO");
        status = 1;
    }
    if (ioctl(fd, FBIOGET_VSCREENINFO, &var) < 0 || ioctl(fd, FBIOGET_FSCREENINFO, &fix) < 0) {
        perror("FBIOGET");
        close(fd);
        return 1;
    }
    close(fd);
    printf("fb %ux%u, %u bpp, line length %u, red %u/%u green %u/%u blue %u/%u\n", var.xres,
           var.yres, var.bits_per_pixel, fix.line_length, var.red.offset, var.red.length,
           var.green.offset, var.green.length, var.blue.offset, var.blue.length);
    return (status == 0 && layoutIsPanels(&var)) ? 0 : 1;
}
