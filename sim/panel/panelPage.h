/*
 * panelPage.h - the page kelpanel serves: HTML, style and script, kept as
 * plain files in sim/panel/page and built into the program.
 */
#ifndef PANEL_PAGE_H
#define PANEL_PAGE_H

extern const char *const panelPageHtml;
extern const char *const panelPageCss;
extern const char *const panelPageJs;

#endif /* PANEL_PAGE_H */
