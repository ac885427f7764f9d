// The menu skin: menus drawn flat, with a light background, a shaded band on the left for icons and
// check marks, a framed highlight on the item under the pointer, thin separator lines and a menu
// bar in the button-face colour.
//
// It is a Qt style proxy (XPMenuStyle) installed on the menus it applies to; the skin object
// (TXPMenu) holds the settings and the derived palette and decides which menus get the style.
// A menu, menu item or form whose Tag is 999 is never skinned. Tags in Qt terms:
//   - a QAction's Tag is its data() as an int (0 when it holds none);
//   - a widget's (a ::QMenu's, a QMenuBar's or a form's) Tag is its dynamic property "Tag".
#pragma once
#include <cstdint>

#include <QFont>
#include <QObject>
#include <QPointer>
#include <QProxyStyle>
#include <QVector>

class QAction;
class QMenu;
class QMenuBar;
class QWidget;

namespace tavelo {

constexpr int32_t kNoSkinTag = 999;

int32_t ItemTag(const QAction* item);
int32_t WidgetTag(const QObject* widget);
void SetWidgetTag(QObject* widget, int32_t tag);

// The system colours the skin derives its palette from (colour words resolved by ColorRGB).
constexpr int32_t clInactiveCaption = static_cast<int32_t>(0xFF000003);
constexpr int32_t clMenuText = static_cast<int32_t>(0xFF000007);
constexpr int32_t clHighlight = static_cast<int32_t>(0xFF00000D);
constexpr int32_t clBtnFace = static_cast<int32_t>(0xFF00000F);
constexpr int32_t clBtnShadow = static_cast<int32_t>(0xFF000010);

// Each channel moved toward 255 by round((255 - channel) x percent / 100), percent limited to
// 0..100. Colour words (red in byte 0); byte 3 is kept.
uint32_t Lighten(uint32_t color, int32_t percent);
// Each channel minus amount (green minus greenAmount), stopping at 0.
uint32_t Darken(uint32_t color, int32_t amount, int32_t greenAmount);

class TXPMenu;

// The style the skin installs on its menus. Without an active skin, or for Tag-999 items, it
// leaves everything to the application's style.
class XPMenuStyle : public QProxyStyle {
 public:
  explicit XPMenuStyle(TXPMenu* skin);

  QSize sizeFromContents(ContentsType type, const QStyleOption* option, const QSize& size,
                         const QWidget* widget) const override;
  void drawControl(ControlElement element, const QStyleOption* option, QPainter* painter,
                   const QWidget* widget) const override;
  void drawPrimitive(PrimitiveElement element, const QStyleOption* option, QPainter* painter,
                     const QWidget* widget) const override;

 private:
  bool skinsItem(const QStyleOption* option, const QWidget* widget, bool drawing) const;

  TXPMenu* skin_;
};

class TXPMenu : public QObject {
 public:
  // The skin belongs to owner (a form when the owner is a widget). It starts inactive.
  explicit TXPMenu(QObject* owner);
  ~TXPMenu() override;

  bool Active() const { return active_; }
  // On a change: installs (or removes) the style on the form's menu bars and menus whose Tag is
  // not 999, and redraws the form's menu bar.
  void SetActive(bool value);

  QFont Font;                // a copy of the menu font; all item texts
  uint32_t FontColor;        // colour words
  int32_t MenuColor = clBtnFace;
  int32_t IconBackColor = clBtnFace;
  int32_t SelectColor = clHighlight;
  int32_t SelectBorderColor = clHighlight;
  int32_t MenuBarColor = clBtnFace;
  int32_t DisabledColor = clInactiveCaption;
  int32_t CheckedColor = clHighlight;
  int32_t IconWidth = 24;
  int32_t GrayLevel = 10;
  int32_t DimLevel = 30;
  bool DrawSelect = true;
  bool UseSystemColors = true;
  QPointer<QWidget> Form;
  // Bits per pixel of the display the palette is made for; 0 asks the screen.
  int32_t ScreenDepth = 0;

  // The derived palette (colour words), recomputed before each drawing.
  struct Palette {
    uint32_t Background, IconBand, Selection, SelectionFrame, Text, Checked, CheckedSelected,
        CheckFrame, MenuBar, Disabled, Separator;
  };
  Palette Colors() const;
  int32_t DisplayDepth() const;

  // Installs the skin's style on a menu (and its submenus), unless a Tag of 999 keeps it plain.
  void ApplyToMenu(::QMenu* menu);
  void ApplyToMenuBar(QMenuBar* bar);
  XPMenuStyle* Style() { return style_; }

 private:
  void removeFrom(QWidget* widget);

  bool active_ = false;
  XPMenuStyle* style_;
  QVector<QPointer<QWidget>> styled_;
};

// The program-wide skin: made once by the main window, owned by its form, and set active.
TXPMenu* XPMenuInit(QWidget* form);
// The program-wide skin (nullptr when none exists).
TXPMenu* XPMenuSkin();
// When the program-wide skin exists: installs it on the item's submenu (and, recursively, on the
// submenus below it).
void XPMenuApplyToItem(::QMenu* menuItem);
void XPMenuApplyToItem(QAction* menuItem);
// When the program-wide skin exists: installs it on a pop-up menu and its submenus.
void XPMenuApplyToPopup(::QMenu* popupMenu);

}  // namespace tavelo
