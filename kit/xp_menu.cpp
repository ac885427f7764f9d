// The menu skin.
#include "kit/xp_menu.h"

#include <QAction>
#include <QApplication>
#include <QCursor>
#include <QFontMetrics>
#include <QImage>
#include <QMenu>
#include <QMenuBar>
#include <QPainter>
#include <QScreen>
#include <QStyleFactory>
#include <QStyleOptionMenuItem>

#include <algorithm>

#include "core/media/color_utils.h"
#include "core/services/basic.h"

namespace tavelo {

namespace {

QPointer<TXPMenu> g_skin;

QColor ToQColor(uint32_t color) { return QColor(color & 0xFF, (color >> 8) & 0xFF, (color >> 16) & 0xFF); }

uint32_t SourceColor(int32_t color) { return ColorRGB(color) & 0xFFFFFFu; }

// The application's own style, so skinned menus keep its look wherever the skin does not draw.
QStyle* BaseStyleCopy() {
  QStyle* app = QApplication::style();
  return app != nullptr ? QStyleFactory::create(app->name()) : nullptr;
}

QString CaptionOf(const QStyleOptionMenuItem& item) { return item.text.section(QLatin1Char('\t'), 0, 0); }
QString ShortcutOf(const QStyleOptionMenuItem& item) {
  return item.text.section(QLatin1Char('\t'), 1).trimmed();
}

// The item an option stands for. While a menu is drawn its item rectangles are known; while it is
// measured they are being made, so the item is found by its caption.
std::vector<const QAction*> ItemsOf(const QStyleOptionMenuItem& option, const QWidget* widget, bool drawing) {
  std::vector<const QAction*> found;
  if (widget == nullptr) return found;
  if (drawing) {
    const QAction* at = nullptr;
    if (auto* menu = qobject_cast<const ::QMenu*>(widget)) at = menu->actionAt(option.rect.center());
    if (auto* bar = qobject_cast<const QMenuBar*>(widget)) at = bar->actionAt(option.rect.center());
    if (at != nullptr) {
      found.push_back(at);
      return found;
    }
  }
  const QString caption = CaptionOf(option);
  for (const QAction* action : widget->actions())
    if (!action->isSeparator() && action->text() == caption) found.push_back(action);
  return found;
}

QSize GlyphSize(const QStyleOptionMenuItem& item, const QStyle* style, const QWidget* widget) {
  if (item.icon.isNull()) return QSize(0, 0);
  const int extent = style->pixelMetric(QStyle::PM_SmallIconSize, &item, widget);
  return item.icon.actualSize(QSize(extent, extent));
}

// Pixels of a glyph: faded toward white, greyed, or reduced to its silhouette.
QImage FadedGlyph(QImage glyph, int32_t percent) {
  for (int y = 0; y < glyph.height(); ++y) {
    auto* row = reinterpret_cast<QRgb*>(glyph.scanLine(y));
    for (int x = 0; x < glyph.width(); ++x) {
      const QRgb p = row[x];
      const uint32_t word = Lighten(static_cast<uint32_t>(qRed(p) | (qGreen(p) << 8) | (qBlue(p) << 16)), percent);
      row[x] = qRgba(word & 0xFF, (word >> 8) & 0xFF, (word >> 16) & 0xFF, qAlpha(p));
    }
  }
  return glyph;
}

QImage GreyedGlyph(QImage glyph, int32_t grayLevel) {
  for (int y = 0; y < glyph.height(); ++y) {
    auto* row = reinterpret_cast<QRgb*>(glyph.scanLine(y));
    for (int x = 0; x < glyph.width(); ++x) {
      const QRgb p = row[x];
      const int grey = std::min((qRed(p) + qGreen(p) + qBlue(p)) / 3 + grayLevel, 240);
      row[x] = qRgba(grey, grey, grey, qAlpha(p));
    }
  }
  return glyph;
}

QImage Silhouette(QImage glyph, QColor color) {
  for (int y = 0; y < glyph.height(); ++y) {
    auto* row = reinterpret_cast<QRgb*>(glyph.scanLine(y));
    for (int x = 0; x < glyph.width(); ++x) row[x] = qRgba(color.red(), color.green(), color.blue(), qAlpha(row[x]));
  }
  return glyph;
}

int TextFlags(const QStyle* style, const QStyleOption* option, const QWidget* widget) {
  const bool underline = style->styleHint(QStyle::SH_UnderlineShortcut, option, widget) != 0;
  return Qt::TextSingleLine | (underline ? Qt::TextShowMnemonic : Qt::TextHideMnemonic);
}

}  // namespace

int32_t ItemTag(const QAction* item) {
  if (item == nullptr) return 0;
  bool ok = false;
  const int tag = item->data().toInt(&ok);
  return ok ? tag : 0;
}

int32_t WidgetTag(const QObject* widget) {
  if (widget == nullptr) return 0;
  bool ok = false;
  const int tag = widget->property("Tag").toInt(&ok);
  return ok ? tag : 0;
}

void SetWidgetTag(QObject* widget, int32_t tag) {
  if (widget != nullptr) widget->setProperty("Tag", tag);
}

uint32_t Lighten(uint32_t color, int32_t percent) {
  percent = std::clamp(percent, 0, 100);
  uint32_t result = color & 0xFF000000u;
  for (int shift = 0; shift < 24; shift += 8) {
    const int32_t channel = static_cast<int32_t>((color >> shift) & 0xFF);
    const int64_t step = FpuRound(static_cast<long double>(255 - channel) * percent / 100);
    result |= static_cast<uint32_t>(channel + step) << shift;
  }
  return result;
}

uint32_t Darken(uint32_t color, int32_t amount, int32_t greenAmount) {
  auto down = [](uint32_t channel, int32_t by) {
    return static_cast<uint32_t>(std::clamp(static_cast<int32_t>(channel) - by, 0, 255));
  };
  return (color & 0xFF000000u) | down(color & 0xFF, amount) | (down((color >> 8) & 0xFF, greenAmount) << 8) |
         (down((color >> 16) & 0xFF, amount) << 16);
}

// ---- The style.

XPMenuStyle::XPMenuStyle(TXPMenu* skin) : QProxyStyle(BaseStyleCopy()), skin_(skin) {}

bool XPMenuStyle::skinsItem(const QStyleOption* option, const QWidget* widget, bool drawing) const {
  if (skin_ == nullptr || !skin_->Active()) return false;
  auto* item = qstyleoption_cast<const QStyleOptionMenuItem*>(option);
  if (item == nullptr) return false;
  if (WidgetTag(widget) == kNoSkinTag) return false;
  if (auto* menu = qobject_cast<const ::QMenu*>(widget); menu != nullptr && ItemTag(menu->menuAction()) == kNoSkinTag)
    return false;
  if (item->menuItemType == QStyleOptionMenuItem::Separator) return true;
  // A caption shared by several items is skinned unless all of them keep the plain look.
  const std::vector<const QAction*> items = ItemsOf(*item, widget, drawing);
  if (items.empty()) return true;
  return std::any_of(items.begin(), items.end(), [](const QAction* a) { return ItemTag(a) != kNoSkinTag; });
}

QSize XPMenuStyle::sizeFromContents(ContentsType type, const QStyleOption* option, const QSize& size,
                                    const QWidget* widget) const {
  const QSize own = QProxyStyle::sizeFromContents(type, option, size, widget);
  if ((type != CT_MenuItem && type != CT_MenuBarItem) || !skinsItem(option, widget, false)) return own;
  const auto& item = *qstyleoption_cast<const QStyleOptionMenuItem*>(option);
  const bool onBar = type == CT_MenuBarItem;
  // A separator is a thin rule whatever the font.
  if (item.menuItemType == QStyleOptionMenuItem::Separator) return QSize(own.width(), 4);

  const QFontMetrics metrics(skin_->Font);
  const QString caption = CaptionOf(item), shortcut = ShortcutOf(item);
  const QString measured = shortcut.isEmpty() ? caption : caption + shortcut + QStringLiteral("WWW");
  int width = metrics.horizontalAdvance(measured) + 5;
  if (caption.contains(QLatin1Char('&'))) width -= metrics.horizontalAdvance(QLatin1Char('&'));
  if (item.menuItemType == QStyleOptionMenuItem::SubMenu && !onBar) width += 6;
  QSize glyph = GlyphSize(item, this, widget);
  if (!onBar) glyph.setWidth(std::max(glyph.width(), skin_->IconWidth));
  width += glyph.width();
  const int textHeight = metrics.height();
  const int height = std::max(textHeight + static_cast<int>(FpuRound(textHeight * 0.75L)), glyph.height() + 6);
  // The style's own size is only ever raised.
  return QSize(std::max(own.width(), width), std::max(own.height(), height));
}

void XPMenuStyle::drawPrimitive(PrimitiveElement element, const QStyleOption* option, QPainter* painter,
                                const QWidget* widget) const {
  const bool skinned = skin_ != nullptr && skin_->Active() && WidgetTag(widget) != kNoSkinTag;
  if (skinned && element == PE_PanelMenu) {
    painter->fillRect(option->rect, ToQColor(skin_->Colors().Background));
    return;
  }
  if (skinned && element == PE_PanelMenuBar) {
    painter->fillRect(option->rect, ToQColor(skin_->Colors().MenuBar));
    return;
  }
  QProxyStyle::drawPrimitive(element, option, painter, widget);
}

namespace {

// What drawing one skinned menu item needs. Everything is drawn left to right, then mirrored for
// right-to-left menus (Place).
struct ItemDraw {
  const QStyleOptionMenuItem& Item;
  const TXPMenu& Skin;
  TXPMenu::Palette Colors;
  QRect Rect;
  QRect Band;  // the icon band
  bool Rtl, Enabled, Selected, Checked, HasGlyph;

  QRect Place(QRect r) const {
    if (!Rtl) return r;
    return QRect(Rect.left() + Rect.right() - r.right(), r.top(), r.width(), r.height());
  }
};

// An item of the menu bar: flat, in the bar's colours, one pixel less high than its place.
void DrawBarItem(QPainter& painter, const QStyleOptionMenuItem& item, const TXPMenu& skin,
                 const TXPMenu::Palette& colors, int flags) {
  const QRect rect = item.rect;
  const bool enabled = (item.state & QStyle::State_Enabled) != 0;
  const bool selected = (item.state & QStyle::State_Selected) != 0;
  const QRect box(rect.left(), rect.top(), rect.width(), rect.height() - 1);
  painter.fillRect(box, ToQColor(colors.MenuBar));
  if ((selected || (item.state & QStyle::State_Sunken)) && skin.DrawSelect && enabled) {
    painter.fillRect(box, ToQColor(colors.Selection));
    painter.setPen(ToQColor(colors.SelectionFrame));
    painter.drawRect(box.adjusted(0, 0, -1, -1));
  }
  painter.setFont(skin.Font);
  painter.setPen(ToQColor(enabled ? skin.FontColor : colors.Disabled));
  painter.drawText(box, Qt::AlignCenter | flags, item.text);
}

// The check mark or radio mark of a checked item, in the icon band (around the glyph when there
// is one).
void DrawCheckMark(QPainter& p, const ItemDraw& d) {
  const QRect& band = d.Band;
  QRect mark = d.HasGlyph ? QRect(QPoint(band.left() + 1, band.top() + 2), QPoint(band.right() - 3, band.bottom() - 2))
                          : QRect(band.left() + (band.width() - 10) / 2, band.top() + (band.height() - 10) / 2, 10, 10);
  mark = d.Place(mark);
  const QColor pen = ToQColor(d.Enabled ? d.Colors.SelectionFrame : d.Colors.Disabled);
  const QColor fill = ToQColor(d.Selected ? d.Colors.CheckedSelected : d.Colors.Checked);
  p.setPen(pen);
  p.setBrush(fill);
  if (d.Item.checkType == QStyleOptionMenuItem::Exclusive) {
    if (d.HasGlyph) {
      p.drawRoundedRect(mark, 3, 3);
    } else {
      p.setRenderHint(QPainter::Antialiasing, true);
      p.drawEllipse(mark.adjusted(0, 0, -1, -1));
      p.setBrush(pen);
      p.drawEllipse(mark.adjusted(2, 2, -3, -3));
      p.setRenderHint(QPainter::Antialiasing, false);
    }
  } else if (d.HasGlyph) {
    p.drawRect(mark.adjusted(0, 0, -1, -1));
  } else {
    p.setPen(ToQColor(d.Colors.CheckFrame));
    p.drawRect(mark.adjusted(0, 0, -1, -1));
    const QRect m = mark.adjusted(0, 0, -1, -1);
    const int l = m.left(), t = m.top(), r = m.right(), b = m.bottom();
    p.setPen(d.Enabled ? QColor(Qt::black) : ToQColor(d.Colors.Disabled));
    // The tick: two short strokes down, then the long one up to the right.
    p.drawLine(l + 1, t + 5, l + 4, b - 2);
    p.drawLine(l + 2, t + 5, l + 4, b - 3);
    p.drawLine(l + 2, t + 4, l + 5, b - 3);
    p.drawLine(l + 4, b - 3, r + 2, t - 1);
    p.drawLine(l + 4, b - 2, r - 2, t + 3);
  }
}

// The item's glyph: greyed when disabled, lifted over its shadow when selected, faded otherwise.
void DrawGlyph(QPainter& p, const ItemDraw& d, QSize glyphSize) {
  QImage glyph = d.Item.icon.pixmap(glyphSize).toImage().convertToFormat(QImage::Format_ARGB32);
  const int gx = glyph.width() < d.Skin.IconWidth ? d.Band.left() + (d.Skin.IconWidth - glyph.width()) / 2 - 1
                                                  : d.Band.left() + 2;
  const int gy = d.Rect.top() + 3;
  const auto at = [&](int x, int y) { return d.Place(QRect(x, y, glyph.width(), glyph.height())).topLeft(); };
  if (!d.Enabled) {
    p.drawImage(at(gx, gy), FadedGlyph(GreyedGlyph(glyph, d.Skin.GrayLevel), 40));
  } else if (d.Checked) {
    p.drawImage(at(gx, gy), glyph);
  } else if (d.Selected) {
    // Lifted: one pixel up and left over its own shadow.
    p.drawImage(at(gx + 1, gy + 1), Silhouette(glyph, ToQColor(Darken(d.Colors.Selection, 50, 48))));
    p.drawImage(at(gx - 1, gy - 1), glyph);
  } else {
    p.drawImage(at(gx, gy), d.Skin.DisplayDepth() >= 16 ? FadedGlyph(glyph, d.Skin.DimLevel) : glyph);
  }
}

}  // namespace

void XPMenuStyle::drawControl(ControlElement element, const QStyleOption* option, QPainter* painter,
                              const QWidget* widget) const {
  const bool active = skin_ != nullptr && skin_->Active() && WidgetTag(widget) != kNoSkinTag;
  if (active && element == CE_MenuEmptyArea) {
    // The margins around the items continue the background and the icon band.
    const TXPMenu::Palette colors = skin_->Colors();
    painter->fillRect(option->rect, ToQColor(colors.Background));
    const int inset = pixelMetric(PM_MenuHMargin, option, widget) + pixelMetric(PM_MenuPanelWidth, option, widget);
    QRect band(option->rect.left(), option->rect.top(), inset + skin_->IconWidth, option->rect.height());
    if (option->direction == Qt::RightToLeft) band.moveRight(option->rect.right());
    painter->fillRect(band, ToQColor(colors.IconBand));
    return;
  }
  if (active && (element == CE_MenuBarEmptyArea)) {
    painter->fillRect(option->rect, ToQColor(skin_->Colors().MenuBar));
    return;
  }
  if ((element != CE_MenuItem && element != CE_MenuBarItem) || !skinsItem(option, widget, true)) {
    QProxyStyle::drawControl(element, option, painter, widget);
    return;
  }
  const auto& item = *qstyleoption_cast<const QStyleOptionMenuItem*>(option);
  const TXPMenu::Palette colors = skin_->Colors();
  const bool rtl = item.direction == Qt::RightToLeft;
  const bool enabled = (item.state & State_Enabled) != 0;
  const bool selected = (item.state & State_Selected) != 0;
  const bool checked = item.checkType != QStyleOptionMenuItem::NotCheckable && item.checked;
  const QRect rect = item.rect;
  const QFontMetrics metrics(skin_->Font);
  const int flags = TextFlags(this, option, widget);

  if (element == CE_MenuBarItem) {
    DrawBarItem(*painter, item, *skin_, colors, flags);
    return;
  }

  const QSize glyphSize = GlyphSize(item, this, widget);
  const ItemDraw d{item, *skin_, colors, rect, QRect(rect.left(), rect.top(), skin_->IconWidth, rect.height()),
                   rtl, enabled, selected, checked, !glyphSize.isEmpty()};
  const auto place = [&d](QRect r) { return d.Place(r); };
  // The drawing reaches 4 pixels left of the item, over the menu's margin, and is made off-screen
  // so the menu never shows a half-drawn item.
  const QRect area = place(QRect(rect.left() - 4, rect.top(), rect.width() + 4, rect.height()));
  QImage canvas(area.size(), QImage::Format_ARGB32_Premultiplied);
  QPainter p(&canvas);
  p.translate(-area.topLeft());
  p.fillRect(area, ToQColor(colors.Background));
  p.fillRect(place(QRect(rect.left() - 4, rect.top(), skin_->IconWidth + 4, rect.height())), ToQColor(colors.IconBand));

  const int textLeft = rect.left() + (glyphSize.width() > skin_->IconWidth ? glyphSize.width() + 4 : skin_->IconWidth);

  if (selected && skin_->DrawSelect) {
    bool highlight = enabled;
    // A disabled item is highlighted only while the pointer is on it (not when reached by keys).
    if (!enabled && widget != nullptr) highlight = rect.contains(widget->mapFromGlobal(QCursor::pos()));
    if (highlight) {
      const QRect box(rect.left(), rect.top() + 1, rect.width(), rect.height() - 2);
      p.fillRect(place(box), ToQColor(colors.Selection));
      p.setPen(ToQColor(colors.SelectionFrame));
      p.setBrush(Qt::NoBrush);
      p.drawRect(place(box).adjusted(0, 0, -1, -1));
    }
  }

  if (checked) DrawCheckMark(p, d);
  if (d.HasGlyph) DrawGlyph(p, d, glyphSize);

  if (item.menuItemType == QStyleOptionMenuItem::Separator) {
    const int y = rect.top() + rect.height() / 2;
    p.fillRect(place(QRect(textLeft + 7, y, rect.right() - (textLeft + 7) + 1, 1)), ToQColor(colors.Separator));
  } else {
    p.setFont(skin_->Font);
    const int textHeight = metrics.height();
    const QRect textRect(textLeft + 3, rect.top() + (rect.height() - textHeight) / 2,
                         std::max(0, rect.right() - (textLeft + 3) - 10), textHeight);
    const int align = (rtl ? Qt::AlignRight : Qt::AlignLeft) | Qt::AlignTop;
    const QString caption = CaptionOf(item), shortcut = ShortcutOf(item);
    const uint32_t textColor = !enabled ? colors.Disabled : selected ? colors.Text : skin_->FontColor;
    if (item.menuItemType == QStyleOptionMenuItem::DefaultItem) {
      // A soft shadow under the default item's text.
      static constexpr int kShadow[4][3] = {{2, 2, 30}, {1, 2, 30}, {2, 1, 40}, {1, 1, 60}};
      for (const auto& s : kShadow) {
        p.setPen(ToQColor(Darken(colors.Background, s[2], s[2])));
        p.drawText(place(textRect.translated(s[0], s[1])), align | flags, caption);
      }
    }
    p.setPen(ToQColor(textColor));
    p.drawText(place(textRect), align | flags, caption);
    if (!shortcut.isEmpty()) {
      const QRect keys(textLeft, textRect.top(), rect.right() - 10 - textLeft + 1, textHeight);
      p.drawText(place(keys), (rtl ? Qt::AlignLeft : Qt::AlignRight) | Qt::AlignTop | Qt::TextSingleLine, shortcut);
    }
    if (item.menuItemType == QStyleOptionMenuItem::SubMenu) {
      // The submenu arrow, as every menu shows it.
      QStyleOption arrow(*option);
      const int extent = std::min(rect.height(), 12);
      arrow.rect = place(QRect(rect.right() - extent - 2, rect.top() + (rect.height() - extent) / 2, extent, extent));
      QPalette pal = arrow.palette;
      pal.setColor(QPalette::ButtonText, ToQColor(textColor));
      pal.setColor(QPalette::WindowText, ToQColor(textColor));
      arrow.palette = pal;
      QProxyStyle::drawPrimitive(rtl ? PE_IndicatorArrowLeft : PE_IndicatorArrowRight, &arrow, &p, widget);
    }
  }
  p.end();
  painter->drawImage(area.topLeft(), canvas);
}

// ---- The skin.

TXPMenu::TXPMenu(QObject* owner)
    : QObject(owner),
      Font(QApplication::font("QMenu")),
      FontColor(SourceColor(clMenuText)),
      Form(qobject_cast<QWidget*>(owner)),
      style_(new XPMenuStyle(this)) {
  style_->setParent(this);
}

TXPMenu::~TXPMenu() {
  // The menus go back to the application's style before the style goes.
  for (const QPointer<QWidget>& widget : styled_)
    if (widget != nullptr) removeFrom(widget);
  styled_.clear();
}

int32_t TXPMenu::DisplayDepth() const {
  if (ScreenDepth > 0) return ScreenDepth;
  const QScreen* screen = QGuiApplication::primaryScreen();
  return screen != nullptr ? screen->depth() : 32;
}

TXPMenu::Palette TXPMenu::Colors() const {
  Palette c;
  const uint32_t highlight = SourceColor(SelectBorderColor);
  const uint32_t shadow = SourceColor(clBtnShadow);
  c.SelectionFrame = highlight;
  c.CheckFrame = SourceColor(CheckedColor);
  c.Text = FontColor;
  c.MenuBar = SourceColor(MenuBarColor);
  if (DisplayDepth() < 16) {
    const uint32_t white = 0xFFFFFF;
    c.Background = c.Selection = c.Checked = c.CheckedSelected = white;
    c.IconBand = SourceColor(IconBackColor);
    c.Separator = c.Disabled = shadow;
  } else if (UseSystemColors) {
    c.Background = Lighten(SourceColor(MenuColor), 86);
    c.IconBand = Lighten(SourceColor(IconBackColor), 16);
    c.Selection = Lighten(SourceColor(SelectColor), 68);
    c.Checked = Lighten(SourceColor(CheckedColor), 80);
    c.CheckedSelected = Lighten(SourceColor(CheckedColor), 50);
    c.Disabled = Lighten(shadow, 10);
    c.Separator = Lighten(shadow, 25);
  } else {
    // The settings as they stand.
    c.Background = SourceColor(MenuColor);
    c.IconBand = SourceColor(IconBackColor);
    c.Selection = SourceColor(SelectColor);
    c.Checked = c.CheckedSelected = SourceColor(CheckedColor);
    c.Disabled = SourceColor(DisabledColor);
    c.Separator = shadow;
  }
  return c;
}

void TXPMenu::ApplyToMenu(::QMenu* menu) {
  if (menu == nullptr || WidgetTag(menu) == kNoSkinTag || ItemTag(menu->menuAction()) == kNoSkinTag) return;
  if (menu->style() != style_) {
    menu->setStyle(style_);
    styled_.append(menu);
  }
  for (QAction* action : menu->actions())
    if (::QMenu* sub = action->menu(); sub != nullptr && sub != menu && sub->style() != style_) ApplyToMenu(sub);
}

void TXPMenu::ApplyToMenuBar(QMenuBar* bar) {
  if (bar == nullptr || WidgetTag(bar) == kNoSkinTag) return;
  if (bar->style() != style_) {
    bar->setStyle(style_);
    styled_.append(bar);
  }
  for (QAction* action : bar->actions()) ApplyToMenu(action->menu());
}

void TXPMenu::removeFrom(QWidget* widget) {
  // Only the skin's own style is taken away.
  if (widget->style() == style_) widget->setStyle(nullptr);
}

void TXPMenu::SetActive(bool value) {
  if (value == active_) return;
  active_ = value;
  if (Form == nullptr) return;
  if (WidgetTag(Form) == kNoSkinTag) return;
  const QList<QMenuBar*> bars = Form->findChildren<QMenuBar*>();
  const QList<::QMenu*> menus = Form->findChildren<::QMenu*>();
  if (value) {
    for (QMenuBar* bar : bars) ApplyToMenuBar(bar);
    for (::QMenu* menu : menus) ApplyToMenu(menu);
  } else {
    for (const QPointer<QWidget>& widget : styled_)
      if (widget != nullptr) removeFrom(widget);
    styled_.clear();
  }
  // The bar is measured and drawn again in its new look.
  for (QMenuBar* bar : bars) {
    bar->updateGeometry();
    bar->update();
  }
}

TXPMenu* XPMenuInit(QWidget* form) {
  auto* skin = new TXPMenu(form);
  g_skin = skin;
  skin->SetActive(true);
  return skin;
}

TXPMenu* XPMenuSkin() { return g_skin.data(); }

void XPMenuApplyToItem(::QMenu* menuItem) {
  if (g_skin != nullptr) g_skin->ApplyToMenu(menuItem);
}

void XPMenuApplyToItem(QAction* menuItem) {
  if (g_skin != nullptr && menuItem != nullptr && ItemTag(menuItem) != kNoSkinTag) g_skin->ApplyToMenu(menuItem->menu());
}

void XPMenuApplyToPopup(::QMenu* popupMenu) {
  if (g_skin != nullptr) g_skin->ApplyToMenu(popupMenu);
}

}  // namespace tavelo
