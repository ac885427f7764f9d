// The theme binding (unit ThemeBinding): binds the visual-styles library "uxtheme.dll" by name at
// run time, so the program also runs where it is missing, and offers the picture button two
// services: whether themed drawing is possible now, and drawing one themed part.
//
// The library is loaded at the first use; while loading fails, every later use tries again. Once
// loaded it is never unloaded. Our library (uxtheme/) draws through the running Qt style;
// the device context handed to it is the painter to draw with.
#pragma once
#include <cstdint>

class QPainter;
class QRect;
class QWidget;

namespace tavelo {

// Loads the library when it is not loaded yet and looks up its six entry points
// ("CloseThemeData", "DrawThemeBackground", "DrawThemeEdge", "IsThemeActive", "IsAppThemed",
// "OpenThemeData"). An exception during this leaves the library unbound.
void BindThemeLibrary();

// True only when the library is loaded, all six entry points are present, IsAppThemed answers
// non-zero and then IsThemeActive answers non-zero.
bool ThemesActive();

// Draws part partId in state stateId of the theme class className (UTF-16) into rect of dc: the
// theme data is opened for window, the background drawn without a clip rectangle, and the theme
// data closed again. Draws nothing unless the library and all its entry points are present and
// the theme data opens.
void DrawThemedPart(QWidget* window, QPainter* dc, const QRect& rect, const char16_t* className, int32_t partId,
                    int32_t stateId);

// Forgets the binding, so that the next use binds from the library folder again. The program
// never calls it (the library stays bound for the run); tests that bind different libraries in
// one process do.
void ForgetThemeLibrary();

}  // namespace tavelo
