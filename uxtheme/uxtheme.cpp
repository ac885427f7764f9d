// uxtheme: the visual-styles library of our own. Its entry points draw through the running Qt
// style, so a themed picture button looks like the desktop's push buttons: class "button" part 1
// is the style's push-button bevel in the state asked for, class "dialog" the style's window
// background. Themes count as active while a QApplication with a style exists.
#include "uxtheme/uxtheme.h"

#include <QApplication>
#include <QPainter>
#include <QPalette>
#include <QString>
#include <QStyle>
#include <QStyleOptionButton>
#include <QWidget>

#define UXTHEME_EXPORT extern "C" __attribute__((visibility("default")))

namespace {

enum class ThemeClass { Button, Dialog };

struct Theme {
  uint32_t Magic = 0x54484D45;  // tells a live handle from a stray pointer
  ThemeClass Class = ThemeClass::Button;
  QWidget* Window = nullptr;
};

QStyle* RunningStyle() {
  if (qobject_cast<QApplication*>(QCoreApplication::instance()) == nullptr) return nullptr;
  return QApplication::style();
}

Theme* Live(HTHEME theme) {
  auto* t = static_cast<Theme*>(theme);
  return t != nullptr && t->Magic == 0x54484D45 ? t : nullptr;
}

}  // namespace

UXTHEME_EXPORT int32_t IsAppThemed(void) { return RunningStyle() != nullptr ? 1 : 0; }

UXTHEME_EXPORT int32_t IsThemeActive(void) { return RunningStyle() != nullptr ? 1 : 0; }

UXTHEME_EXPORT HTHEME OpenThemeData(void* window, const char16_t* classList) {
  if (classList == nullptr || RunningStyle() == nullptr) return nullptr;
  const QStringList names = QString::fromUtf16(classList).split(';');
  for (const QString& raw : names) {
    const QString name = raw.trimmed();
    ThemeClass kind;
    if (name.compare(QLatin1String("button"), Qt::CaseInsensitive) == 0)
      kind = ThemeClass::Button;
    else if (name.compare(QLatin1String("dialog"), Qt::CaseInsensitive) == 0)
      kind = ThemeClass::Dialog;
    else
      continue;
    auto* t = new Theme;
    t->Class = kind;
    t->Window = static_cast<QWidget*>(window);
    return t;
  }
  return nullptr;
}

UXTHEME_EXPORT HRESULT CloseThemeData(HTHEME theme) {
  Theme* t = Live(theme);
  if (t == nullptr) return UX_E_HANDLE;
  t->Magic = 0;
  delete t;
  return UX_S_OK;
}

UXTHEME_EXPORT HRESULT DrawThemeBackground(HTHEME theme, void* dc, int32_t partId, int32_t stateId, const UXRECT* rect,
                                           const UXRECT* clipRect) {
  Theme* t = Live(theme);
  auto* painter = static_cast<QPainter*>(dc);
  QStyle* style = RunningStyle();
  if (t == nullptr) return UX_E_HANDLE;
  if (painter == nullptr || rect == nullptr || style == nullptr || !painter->isActive()) return UX_E_INVALIDARG;
  const QRect area(QPoint(rect->left, rect->top), QPoint(rect->right - 1, rect->bottom - 1));
  if (area.isEmpty()) return UX_S_OK;
  painter->save();
  if (clipRect != nullptr)
    painter->setClipRect(QRect(QPoint(clipRect->left, clipRect->top), QPoint(clipRect->right - 1, clipRect->bottom - 1)),
                         Qt::IntersectClip);
  HRESULT result = UX_S_OK;
  if (t->Class == ThemeClass::Dialog) {
    const QPalette palette = t->Window != nullptr ? t->Window->palette() : QApplication::palette();
    painter->fillRect(area, palette.brush(QPalette::Window));
  } else if (partId != BP_PUSHBUTTON || stateId < PBS_NORMAL || stateId > PBS_DEFAULTED) {
    result = UX_E_INVALIDARG;
  } else {
    QStyleOptionButton option;
    if (t->Window != nullptr) option.initFrom(t->Window);
    option.rect = area;
    option.features = QStyleOptionButton::None;
    option.state &= ~(QStyle::State_MouseOver | QStyle::State_Sunken | QStyle::State_On | QStyle::State_HasFocus);
    option.state |= QStyle::State_Enabled | QStyle::State_Raised;
    switch (stateId) {
      case PBS_HOT: option.state |= QStyle::State_MouseOver; break;
      case PBS_PRESSED:
        option.state |= QStyle::State_Sunken | QStyle::State_MouseOver;
        option.state &= ~QStyle::State_Raised;
        break;
      case PBS_DISABLED: option.state &= ~QStyle::State_Enabled; break;
      case PBS_DEFAULTED: option.features |= QStyleOptionButton::DefaultButton; break;
      default: break;
    }
    if (!(option.state & QStyle::State_Enabled)) option.palette.setCurrentColorGroup(QPalette::Disabled);
    style->drawControl(QStyle::CE_PushButtonBevel, &option, painter, nullptr);
  }
  painter->restore();
  return result;
}

// Bound by the program but never called: it answers that it does not draw edges.
UXTHEME_EXPORT HRESULT DrawThemeEdge(HTHEME, void*, int32_t, int32_t, const UXRECT*, uint32_t, uint32_t, UXRECT*) {
  return UX_E_NOTIMPL;
}
