#include "kit/xp_menu.h"

#include <gtest/gtest.h>

#include <QAction>
#include <QImage>
#include <QMainWindow>
#include <QMenu>
#include <QMenuBar>
#include <QPainter>
#include <QPixmap>
#include <QStyleOptionMenuItem>

#include <cmath>
#include <memory>

#include "core/media/color_utils.h"
#include "kit/history.h"

namespace tavelo {
namespace {

// initStyleOption is protected in QMenu; the tests build the options the menu itself would.
class OpenMenu : public ::QMenu {
 public:
  using ::QMenu::initStyleOption;
};

uint32_t WordOf(QRgb p) { return static_cast<uint32_t>(qRed(p) | (qGreen(p) << 8) | (qBlue(p) << 16)); }

TEST(XPMenuColors, LightenAndDarkenStayInsideEachChannel) {
  struct Case {
    uint32_t color;
    int32_t percent;
    uint32_t expected;
  };
  // round((255 - c) x p / 100), half to even; byte 3 kept; p limited to 0..100.
  for (const Case& c : {Case{0x000000, 50, 0x808080}, Case{0xFF102030, 86, 0xFFDEE0E2},
                        Case{0x0000FF, 100, 0xFFFFFF}, Case{0x0000FF, 150, 0xFFFFFF}, Case{0x123456, 0, 0x123456},
                        Case{0x123456, -20, 0x123456}, Case{0x050505, 10, 0x1E1E1E}})
    EXPECT_EQ(Lighten(c.color, c.percent), c.expected) << std::hex << c.color << " " << std::dec << c.percent;

  // Dark colours stop at 0: nothing wraps round to a light value.
  EXPECT_EQ(Darken(0x102030, 50, 48), 0x000000u);
  EXPECT_EQ(Darken(0x806040, 50, 48), 0x4E300Eu);
  EXPECT_EQ(Darken(0x14281E, 30, 30), 0x000A00u);
  EXPECT_EQ(Darken(0xFF000000u, 60, 60), 0xFF000000u);
}

TEST(XPMenuColors, PaletteFromSystemColoursOrPlainOnFewColours) {
  TXPMenu skin(nullptr);
  skin.ScreenDepth = 32;
  const uint32_t face = ColorRGB(clBtnFace) & 0xFFFFFF, highlight = ColorRGB(clHighlight) & 0xFFFFFF;
  const uint32_t shadow = ColorRGB(clBtnShadow) & 0xFFFFFF;
  TXPMenu::Palette c = skin.Colors();
  EXPECT_EQ(c.Background, Lighten(face, 86));
  EXPECT_EQ(c.IconBand, Lighten(face, 16));
  EXPECT_EQ(c.Selection, Lighten(highlight, 68));
  EXPECT_EQ(c.SelectionFrame, highlight);
  EXPECT_EQ(c.Checked, Lighten(highlight, 80));
  EXPECT_EQ(c.CheckedSelected, Lighten(highlight, 50));
  EXPECT_EQ(c.MenuBar, face);
  EXPECT_EQ(c.Disabled, Lighten(shadow, 10));
  EXPECT_EQ(c.Separator, Lighten(shadow, 25));

  skin.ScreenDepth = 8;
  c = skin.Colors();
  EXPECT_EQ(c.Background, 0xFFFFFFu);
  EXPECT_EQ(c.Selection, 0xFFFFFFu);
  EXPECT_EQ(c.Checked, 0xFFFFFFu);
  EXPECT_EQ(c.IconBand, face);
  EXPECT_EQ(c.Separator, shadow);
}

// A skinned menu, an unskinned twin, and a way to draw one item with chosen states.
class XPMenuDrawing : public testing::Test {
 protected:
  void SetUp() override {
    skin_ = std::make_unique<TXPMenu>(nullptr);
    skin_->ScreenDepth = 32;
    skin_->SetActive(true);
    for (OpenMenu* m : {&menu_, &plain_}) {
      m->addAction(QStringLiteral("&Open"));
      m->addSeparator();
      QAction* keep = m->addAction(QStringLiteral("Plain"));
      keep->setData(kNoSkinTag);
      QPixmap red(16, 16);
      red.fill(Qt::red);
      m->addAction(QIcon(red), QStringLiteral("With icon"));
      QAction* mark = m->addAction(QStringLiteral("Mark"));
      mark->setCheckable(true);
      m->addAction(QStringLiteral("Save as\tCtrl+Shift+S"));
    }
    skin_->ApplyToMenu(&menu_);
    colors_ = skin_->Colors();
  }

  QAction* item(OpenMenu& m, int index) { return m.actions().at(index); }

  // Draws item index of menu m with the given state changes onto a magenta canvas.
  QImage draw(OpenMenu& m, int index, QStyle::State add = {}, QStyle::State remove = {}, bool checked = false,
             QStyle* by = nullptr) {
    QStyleOptionMenuItem option;
    m.initStyleOption(&option, item(m, index));
    option.rect = m.actionGeometry(item(m, index));
    option.state = (option.state | add) & ~remove;
    if (checked) option.checked = true;
    QImage canvas(m.sizeHint(), QImage::Format_ARGB32);
    canvas.fill(Qt::magenta);
    QPainter painter(&canvas);
    (by != nullptr ? by : m.style())->drawControl(QStyle::CE_MenuItem, &option, &painter, &m);
    painter.end();
    rect_ = option.rect;
    return canvas;
  }

  std::unique_ptr<TXPMenu> skin_;
  OpenMenu menu_, plain_;
  TXPMenu::Palette colors_{};
  QRect rect_;
};

TEST_F(XPMenuDrawing, SkinnedItemsGetTheBackgroundButTagNineHundredNinetyNineStaysPlain) {
  ASSERT_EQ(menu_.style(), skin_->Style());
  QImage skinned = draw(menu_, 0);
  const QPoint inText(rect_.left() + skin_->IconWidth + 1, rect_.top() + 1);
  const QPoint inBand(rect_.left() + 2, rect_.top() + 1);
  EXPECT_EQ(WordOf(skinned.pixel(inText)), colors_.Background);
  EXPECT_EQ(WordOf(skinned.pixel(inBand)), colors_.IconBand);
  if (rect_.left() > 0) {
    EXPECT_EQ(WordOf(skinned.pixel(rect_.left() - 1, rect_.top() + 1)), colors_.IconBand) << "over the margin";
  }

  // The Tag-999 item is exactly what the application's style draws.
  QImage kept = draw(menu_, 2);
  QImage reference = draw(menu_, 2, {}, {}, false, skin_->Style()->baseStyle());
  EXPECT_NE(WordOf(kept.pixel(rect_.left() + skin_->IconWidth + 1, rect_.top() + 1)), colors_.Background);
  EXPECT_EQ(kept, reference);
  EXPECT_NE(draw(menu_, 0), draw(menu_, 0, {}, {}, false, skin_->Style()->baseStyle()));
}

TEST_F(XPMenuDrawing, SeparatorIsFourPixelsHighWhateverTheFont) {
  for (int points : {6, 12, 40}) {
    skin_->Font.setPointSize(points);
    menu_.setStyle(nullptr);  // measured again from scratch
    menu_.setStyle(skin_->Style());
    EXPECT_EQ(menu_.actionGeometry(item(menu_, 1)).height(), 4) << points;
  }
  QImage canvas = draw(menu_, 1);
  const int middle = rect_.top() + rect_.height() / 2;
  const int x = rect_.left() + skin_->IconWidth + 7 + 3;
  EXPECT_EQ(WordOf(canvas.pixel(x, middle)), colors_.Separator);
  EXPECT_EQ(WordOf(canvas.pixel(x, rect_.top())), colors_.Background);
}

TEST_F(XPMenuDrawing, MeasuringOnlyRaisesTheStylesOwnSize) {
  skin_->Font.setPointSize(4);
  menu_.setStyle(nullptr);
  menu_.setStyle(skin_->Style());
  for (int i : {0, 3, 4, 5}) {
    const QRect own = plain_.actionGeometry(item(plain_, i)), skinned = menu_.actionGeometry(item(menu_, i));
    EXPECT_GE(skinned.height(), own.height()) << i;
    EXPECT_GE(skinned.width(), own.width()) << i;
  }
  skin_->Font.setPointSize(30);
  menu_.setStyle(nullptr);
  menu_.setStyle(skin_->Style());
  const int textHeight = QFontMetrics(skin_->Font).height();
  EXPECT_EQ(menu_.actionGeometry(item(menu_, 0)).height(), textHeight + static_cast<int>(std::nearbyint(textHeight * 0.75)));
  // The shortcut is measured with room to spare.
  EXPECT_GE(menu_.actionGeometry(item(menu_, 5)).width(),
            QFontMetrics(skin_->Font).horizontalAdvance(QStringLiteral("Save asCtrl+Shift+SWWW")) + 5 + 24);
}

TEST_F(XPMenuDrawing, CheckedItemShowsItsMark) {
  QImage unchecked = draw(menu_, 4);
  QImage checked = draw(menu_, 4, {}, {}, true);
  // The 10 x 10 mark box is centred in the band.
  const int left = rect_.left() + (skin_->IconWidth - 10) / 2, top = rect_.top() + (rect_.height() - 10) / 2;
  EXPECT_EQ(WordOf(unchecked.pixel(left, top + 5)), colors_.IconBand);
  EXPECT_EQ(WordOf(checked.pixel(left, top + 5)), colors_.CheckFrame);
  EXPECT_EQ(WordOf(checked.pixel(left + 1, top + 1)), colors_.Checked);
  int black = 0;
  for (int y = top; y < top + 10; ++y)
    for (int x = left; x < left + 10; ++x) black += WordOf(checked.pixel(x, y)) == 0 ? 1 : 0;
  EXPECT_GE(black, 8) << "the tick";
}

TEST_F(XPMenuDrawing, GlyphIsDimmedLiftedOrGreyedAndFaded) {
  QImage normal = draw(menu_, 3);
  const QPoint centre(rect_.left() + (skin_->IconWidth - 16) / 2 - 1 + 8, rect_.top() + 3 + 8);
  EXPECT_EQ(WordOf(normal.pixel(centre)), Lighten(0x0000FF, skin_->DimLevel)) << "dimmed when not highlighted";

  // Greyed: the mean of the channels + 10, at most 240, then faded by 40 %.
  const std::pair<Qt::GlobalColor, uint32_t> greys[] = {{Qt::red, 0x5F5F5F}, {Qt::white, 0xF0F0F0}};
  for (const auto& [colour, grey] : greys) {
    QPixmap pixmap(16, 16);
    pixmap.fill(colour);
    item(menu_, 3)->setIcon(QIcon(pixmap));
    QImage disabled = draw(menu_, 3, {}, QStyle::State_Enabled);
    EXPECT_EQ(WordOf(disabled.pixel(centre)), Lighten(grey, 40)) << std::hex << grey;
    EXPECT_EQ(WordOf(disabled.pixel(rect_.left() + skin_->IconWidth + 1, rect_.top() + 1)), colors_.Background);
  }
  QPixmap red(16, 16);
  red.fill(Qt::red);
  item(menu_, 3)->setIcon(QIcon(red));

  QImage selected = draw(menu_, 3, QStyle::State_Selected);
  EXPECT_EQ(WordOf(selected.pixel(centre)), 0x0000FFu) << "full colour under the pointer";
  const QPoint shadowCorner(centre.x() + 8, centre.y() + 8);  // right of and below the lifted glyph
  EXPECT_EQ(WordOf(selected.pixel(shadowCorner)), Darken(colors_.Selection, 50, 48));
  EXPECT_EQ(WordOf(selected.pixel(rect_.left() + skin_->IconWidth + 2, rect_.top() + 1)), colors_.SelectionFrame);
  EXPECT_EQ(WordOf(selected.pixel(rect_.left() + skin_->IconWidth + 2, rect_.top() + 2)), colors_.Selection);
  EXPECT_EQ(WordOf(selected.pixel(rect_.left() + skin_->IconWidth + 2, rect_.top())), colors_.Background);
}

TEST_F(XPMenuDrawing, FewColoursGiveWhiteBackgroundsAndSelections) {
  skin_->ScreenDepth = 8;
  QImage plain = draw(menu_, 0);
  EXPECT_EQ(WordOf(plain.pixel(rect_.left() + skin_->IconWidth + 1, rect_.top() + 1)), 0xFFFFFFu);
  QImage selected = draw(menu_, 0, QStyle::State_Selected);
  EXPECT_EQ(WordOf(selected.pixel(rect_.left() + skin_->IconWidth + 2, rect_.top() + 2)), 0xFFFFFFu);
}

TEST_F(XPMenuDrawing, InactiveSkinLeavesEverythingToTheStyle) {
  skin_->SetActive(false);
  EXPECT_EQ(draw(menu_, 0), draw(menu_, 0, {}, {}, false, skin_->Style()->baseStyle()));
  EXPECT_EQ(draw(menu_, 4, {}, {}, true), draw(menu_, 4, {}, {}, true, skin_->Style()->baseStyle()));
}

TEST_F(XPMenuDrawing, RightToLeftMenusMirrorTheBand) {
  QStyleOptionMenuItem option;
  menu_.initStyleOption(&option, item(menu_, 0));
  option.rect = menu_.actionGeometry(item(menu_, 0));
  option.direction = Qt::RightToLeft;
  QImage canvas(menu_.sizeHint(), QImage::Format_ARGB32);
  canvas.fill(Qt::magenta);
  QPainter painter(&canvas);
  menu_.style()->drawControl(QStyle::CE_MenuItem, &option, &painter, &menu_);
  painter.end();
  const QRect r = option.rect;
  EXPECT_EQ(WordOf(canvas.pixel(r.right() - 2, r.top() + 1)), colors_.IconBand);
  EXPECT_EQ(WordOf(canvas.pixel(r.left() + 2, r.top() + 1)), colors_.Background);
}

TEST(XPMenuSkin, MenuBarItemsAreFlatInTheBarColours) {
  QMainWindow form;
  form.menuBar()->addMenu(QStringLiteral("&File"));
  TXPMenu skin(&form);
  skin.ScreenDepth = 32;
  skin.SetActive(true);
  QMenuBar* bar = form.menuBar();
  ASSERT_EQ(bar->style(), skin.Style());
  QStyleOptionMenuItem option;
  option.initFrom(bar);
  option.menuItemType = QStyleOptionMenuItem::Normal;
  option.text = QStringLiteral("&File");
  option.rect = QRect(0, 0, 60, 24);
  option.state |= QStyle::State_Enabled;
  const TXPMenu::Palette colors = skin.Colors();
  for (bool selected : {false, true}) {
    QStyleOptionMenuItem o = option;
    if (selected) o.state |= QStyle::State_Selected;
    QImage canvas(80, 30, QImage::Format_ARGB32);
    canvas.fill(Qt::magenta);
    QPainter painter(&canvas);
    bar->style()->drawControl(QStyle::CE_MenuBarItem, &o, &painter, bar);
    painter.end();
    EXPECT_EQ(WordOf(canvas.pixel(2, 2)), selected ? colors.Selection : colors.MenuBar);
    EXPECT_EQ(WordOf(canvas.pixel(2, 23)), 0xFF00FFu) << "one pixel less high than its place";
  }
}

TEST(XPMenuSkin, ActivationInstallsOnTheFormsMenusExceptTagNineHundredNinetyNine) {
  QMainWindow form;
  ::QMenu* file = form.menuBar()->addMenu(QStringLiteral("&File"));
  ::QMenu* recent = file->addMenu(QStringLiteral("Recent Files"));
  ::QMenu* kept = form.menuBar()->addMenu(QStringLiteral("&Kept"));
  SetWidgetTag(kept, kNoSkinTag);
  ::QMenu* keptItem = file->addMenu(QStringLiteral("Kept item"));
  keptItem->menuAction()->setData(kNoSkinTag);

  EXPECT_EQ(XPMenuSkin(), nullptr);
  XPMenuApplyToPopup(recent);  // no skin yet: nothing happens
  EXPECT_NE(recent->style()->inherits("tavelo::XPMenuStyle"), true);

  TXPMenu* skin = XPMenuInit(&form);
  ASSERT_EQ(XPMenuSkin(), skin);
  EXPECT_TRUE(skin->Active());
  EXPECT_EQ(skin->Form, &form);
  EXPECT_EQ(form.menuBar()->style(), skin->Style());
  EXPECT_EQ(file->style(), skin->Style());
  EXPECT_EQ(recent->style(), skin->Style());
  EXPECT_NE(kept->style(), skin->Style());
  EXPECT_NE(keptItem->style(), skin->Style());

  // A pop-up made later is handed over explicitly, submenus included.
  ::QMenu popup;
  ::QMenu* sub = popup.addMenu(QStringLiteral("Sub"));
  XPMenuApplyToPopup(&popup);
  EXPECT_EQ(popup.style(), skin->Style());
  EXPECT_EQ(sub->style(), skin->Style());

  // The recent list hands its menu to the skin too.
  ::QMenu later;
  QHistory history;
  history.Add("/a");
  history.FillMenu(&later, {});
  EXPECT_EQ(later.style(), skin->Style());

  skin->SetActive(false);
  EXPECT_NE(file->style(), skin->Style());
  EXPECT_NE(form.menuBar()->style(), skin->Style());
  EXPECT_NE(popup.style(), skin->Style());

  skin->SetActive(true);
  EXPECT_EQ(file->style(), skin->Style());
  delete skin;
  EXPECT_EQ(XPMenuSkin(), nullptr);
  EXPECT_NE(file->style(), nullptr);
  EXPECT_NE(file->style()->objectName(), QStringLiteral("gone"));
  file->grab();  // still paints after the skin is gone
}

}  // namespace
}  // namespace tavelo
