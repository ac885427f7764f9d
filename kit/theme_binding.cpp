#include "kit/theme_binding.h"

#include <QRect>

#include "uxtheme/uxtheme.h"
#include "platform/dynlib/dynlib.h"

namespace tavelo {

namespace {

// The binding lives for the whole run and is touched only by the painting (main) thread.
struct ThemeLibrary {
  platform::HMODULE Handle = nullptr;
  CloseThemeDataProc CloseThemeData = nullptr;
  DrawThemeBackgroundProc DrawThemeBackground = nullptr;
  DrawThemeEdgeProc DrawThemeEdge = nullptr;
  IsThemeActiveProc IsThemeActive = nullptr;
  IsAppThemedProc IsAppThemed = nullptr;
  OpenThemeDataProc OpenThemeData = nullptr;

  bool Complete() const {
    return Handle != nullptr && CloseThemeData != nullptr && DrawThemeBackground != nullptr &&
           DrawThemeEdge != nullptr && IsThemeActive != nullptr && IsAppThemed != nullptr && OpenThemeData != nullptr;
  }
};

ThemeLibrary g_theme;

template <class Proc>
void Bind(platform::HMODULE module, const char* name, Proc& proc) {
  proc = reinterpret_cast<Proc>(platform::GetProcAddress(module, name));
}

}  // namespace

void BindThemeLibrary() {
  if (g_theme.Handle != nullptr) return;
  try {
    platform::HMODULE module = platform::LoadLibrary("uxtheme.dll");
    if (module == nullptr) return;
    Bind(module, "CloseThemeData", g_theme.CloseThemeData);
    Bind(module, "DrawThemeBackground", g_theme.DrawThemeBackground);
    Bind(module, "DrawThemeEdge", g_theme.DrawThemeEdge);
    Bind(module, "IsThemeActive", g_theme.IsThemeActive);
    Bind(module, "IsAppThemed", g_theme.IsAppThemed);
    Bind(module, "OpenThemeData", g_theme.OpenThemeData);
    g_theme.Handle = module;
  } catch (...) {
    g_theme = ThemeLibrary{};
  }
}

bool ThemesActive() {
  if (g_theme.Handle == nullptr) BindThemeLibrary();
  return g_theme.Complete() && g_theme.IsAppThemed() != 0 && g_theme.IsThemeActive() != 0;
}

void DrawThemedPart(QWidget* window, QPainter* dc, const QRect& rect, const char16_t* className, int32_t partId,
                    int32_t stateId) {
  if (g_theme.Handle == nullptr) BindThemeLibrary();
  // A library that lacks an entry point is as good as none: never call through a null pointer.
  if (!g_theme.Complete()) return;
  HTHEME theme = g_theme.OpenThemeData(window, className);
  if (theme == nullptr) return;
  const UXRECT r{rect.left(), rect.top(), rect.left() + rect.width(), rect.top() + rect.height()};
  g_theme.DrawThemeBackground(theme, dc, partId, stateId, &r, nullptr);
  g_theme.CloseThemeData(theme);
}

void ForgetThemeLibrary() {
  if (g_theme.Handle != nullptr) platform::FreeLibrary(g_theme.Handle);
  g_theme = ThemeLibrary{};
}

}  // namespace tavelo
