/* uxtheme: the visual-styles library, loaded by file name at run time ("uxtheme.dll", which the
 * dynamic-library stand-in opens as codecs/uxtheme.so). The program binds its six entry points
 * by name (kit/theme_binding) and runs without it when the file is missing.
 *
 * Our library draws through the running Qt style, so themed buttons look like the desktop's.
 * The types below are this library's own contract:
 *  - a window is a QWidget* (may be null), a device context is an open QPainter*;
 *  - a theme handle is an opaque pointer from OpenThemeData, null when the class is unknown or
 *    no style is available; CloseThemeData gives it back;
 *  - class names are UTF-16 texts, compared without regard to case; a list separated by ';'
 *    opens its first known class;
 *  - results are 0 for success and a negative code for failure. */
#ifndef TAVELO_CODECS_UXTHEME_H
#define TAVELO_CODECS_UXTHEME_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef void* HTHEME;
typedef int32_t HRESULT;

/* The rectangle of a drawing: right and bottom lie outside it. */
typedef struct {
  int32_t left, top, right, bottom;
} UXRECT;

enum {
  UX_S_OK = 0,
  UX_E_NOTIMPL = (int32_t)0x80004001u,
  UX_E_FAIL = (int32_t)0x80004005u,
  UX_E_HANDLE = (int32_t)0x80070006u,
  UX_E_INVALIDARG = (int32_t)0x80070057u
};

/* Parts and states of the class "button" that the picture button draws. */
enum { BP_PUSHBUTTON = 1 };
enum { PBS_NORMAL = 1, PBS_HOT = 2, PBS_PRESSED = 3, PBS_DISABLED = 4, PBS_DEFAULTED = 5 };

typedef HRESULT (*CloseThemeDataProc)(HTHEME theme);
typedef HRESULT (*DrawThemeBackgroundProc)(HTHEME theme, void* dc, int32_t partId, int32_t stateId,
                                           const UXRECT* rect, const UXRECT* clipRect);
typedef HRESULT (*DrawThemeEdgeProc)(HTHEME theme, void* dc, int32_t partId, int32_t stateId,
                                     const UXRECT* destRect, uint32_t edge, uint32_t flags, UXRECT* contentRect);
typedef int32_t (*IsThemeActiveProc)(void);
typedef int32_t (*IsAppThemedProc)(void);
typedef HTHEME (*OpenThemeDataProc)(void* window, const char16_t* classList);

#ifdef __cplusplus
}
#endif

#endif
