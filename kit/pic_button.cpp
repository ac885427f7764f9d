#include "kit/pic_button.h"

#include <QApplication>
#include <QCursor>
#include <QDialog>
#include <QEnterEvent>
#include <QFontMetrics>
#include <QKeyEvent>
#include <QLabel>
#include <QMouseEvent>
#include <QPainter>
#include <QPixmap>
#include <QPushButton>

#include <algorithm>
#include <cstring>

#include "core/media/color_utils.h"
#include "gui/pictor_bitmap.h"
#include "kit/png_picture.h"
#include "kit/theme_binding.h"

namespace tavelo {

namespace {

// The toolkit's system colours (negative colours name a system colour number).
constexpr int32_t SysColor(uint32_t index) { return static_cast<int32_t>(0x80000000u | index); }
const int32_t clWindowText = SysColor(8);
const int32_t clBtnFace = SysColor(15);
const int32_t clBtnShadow = SysColor(16);
const int32_t clBtnHighlight = SysColor(20);
const int32_t cl3DDkShadow = SysColor(21);
const int32_t cl3DLight = SysColor(22);

QColor QColorOf(uint32_t rgb) { return QColor(rgb & 0xFF, (rgb >> 8) & 0xFF, (rgb >> 16) & 0xFF); }
QColor SysQColor(int32_t color) { return QColorOf(ColorRGB(color)); }

// A 1-pixel frame: top and left in top, right and bottom in bottom; r shrinks by one on every side.
void Frame3D(QPainter& p, QRect& r, const QColor& top, const QColor& bottom) {
  if (r.width() <= 0 || r.height() <= 0) return;
  p.fillRect(QRect(r.left(), r.top(), std::max(r.width() - 1, 1), 1), top);
  p.fillRect(QRect(r.left(), r.top(), 1, std::max(r.height() - 1, 1)), top);
  p.fillRect(QRect(r.right(), r.top(), 1, r.height()), bottom);
  p.fillRect(QRect(r.left(), r.bottom(), r.width(), 1), bottom);
  r.adjust(1, 1, -1, -1);
}

// The caption as shown: "&&" is an ampersand, a single "&" marks the accelerator and is not shown.
QString ShownCaption(const QString& caption) {
  QString out;
  out.reserve(caption.size());
  for (qsizetype i = 0; i < caption.size(); ++i) {
    if (caption[i] == '&') {
      if (i + 1 < caption.size() && caption[i + 1] == '&') {
        out += '&';
        ++i;
      }
      continue;
    }
    out += caption[i];
  }
  return out;
}

// True when ch is the character after a single '&' of the caption.
bool IsAccel(QChar ch, const QString& caption) {
  for (qsizetype i = 0; i + 1 < caption.size(); ++i) {
    if (caption[i] != '&') continue;
    if (caption[i + 1] == '&') {
      ++i;
      continue;
    }
    return caption[i + 1].toUpper() == ch.toUpper();
  }
  return false;
}

// PNG to bitmap: truecolour with alpha at 8 bits is copied straight (the picture's B, G, R and
// alpha bytes are the bitmap's); everything else is drawn by the picture itself.
QImage PngToBitmap(const QPngPicture* png) {
  if (png == nullptr || png->Empty()) return QImage();
  if (png->ColorType != 6 || png->BitDepth != 8 || png->Bpp != 32) return png->Draw();
  QImage out(png->Width, png->Height, QImage::Format_ARGB32);
  if (out.isNull()) return QImage();
  out.fill(0);
  const size_t row = static_cast<size_t>(png->Width) * 4;
  for (int32_t y = 0; y < png->Height && static_cast<size_t>(y) < png->Rows.size(); ++y) {
    // A row shorter than the picture is left transparent rather than read past its end.
    if (png->Rows[y].size() < row) continue;
    std::memcpy(out.scanLine(y), png->Rows[y].data(), row);
  }
  return out;
}

// Where a block of size block starts in a side of the given length: 0 at the start (left, top),
// 1 at the end, 2 centred; QAlignH and QAlignV share these numbers.
int32_t BlockStart(int32_t align, int32_t length, int32_t block, int32_t spacing) {
  return align == 0 ? spacing : align == 1 ? length - block - spacing : (length - block) / 2;
}

// Along the layout's direction: the picture first, the caption after it and the gap, or the
// caption first and the picture at the block's far end.
void PlaceAlong(bool pictureFirst, int32_t picture, int32_t spacing, int32_t block, int32_t& p, int32_t& t) {
  if (pictureFirst) {
    p = 0;
    t = picture + spacing;
  } else {
    t = 0;
    p = block - picture;
  }
}

// Across it, by alignment; centred, the caption gets round (picture + round - text) div 2 (the
// side-by-side layouts round up, the stacked ones do not).
void PlaceAcross(int32_t align, int32_t picture, int32_t text, int32_t block, int32_t round, int32_t& p,
                 int32_t& t) {
  if (align == 0) {
    p = t = 0;
  } else if (align == 1) {
    p = block - picture;
    t = block - text;
  } else {
    p = std::max(0, (text - picture) / 2);
    t = std::max(0, (picture + round - text) / 2);
  }
}

// The picture buttons under parent. The class has no meta-object of its own, so qobject_cast
// (and findChildren<QPicButton*>) would take any widget for one: the type is checked here.
QList<QPicButton*> PicButtonsOf(QWidget* parent, Qt::FindChildOptions options) {
  QList<QPicButton*> buttons;
  for (QWidget* child : parent->findChildren<QWidget*>(QString(), options))
    if (auto* button = dynamic_cast<QPicButton*>(child)) buttons.push_back(button);
  return buttons;
}

bool Usable(const QImage& image) { return !image.isNull() && image.width() > 0 && image.height() > 0; }

}  // namespace

QPicButton::QPicButton(QWidget* parent) : QWidget(parent), Color_(clBtnFace), FontColor_(clWindowText) {
  resize(100, 32);
  setFocusPolicy(Qt::ClickFocus);  // not a tab stop
  // Every pixel is painted from the off-screen bitmap: nothing to erase first.
  setAttribute(Qt::WA_OpaquePaintEvent);
  Active_ = Default_;
  if (auto* app = qobject_cast<QApplication*>(QCoreApplication::instance()))
    FocusConnection_ = connect(app, &QApplication::focusChanged, this, [this](QWidget*, QWidget* now) {
      if (now != nullptr && now->window() == window()) FocusChanged(now);
    });
  WatchWindow();
}

QPicButton::~QPicButton() {
  // A focused widget hands its focus on while QWidget's destructor runs, after this part of the
  // object is gone: no focus report may reach it then.
  disconnect(FocusConnection_);
  if (Watched_ != nullptr) Watched_->removeEventFilter(this);
}

// ---- Properties ----

void QPicButton::SetCancel(bool value) {
  if (value == Cancel_) return;
  Cancel_ = value;
  ModalResult_ = Cancel_ ? 2 : Default_ ? 1 : 0;
  update();
}

void QPicButton::SetDefault(bool value) {
  if (value == Default_) return;
  Default_ = value;
  // The form tells every control which one has the focus, so the default highlight moves.
  QWidget* form = window();
  QWidget* focused = form->focusWidget();
  FocusChanged(focused);
  for (QPicButton* other : PicButtonsOf(form, Qt::FindChildrenRecursively))
    if (other != this) other->FocusChanged(focused);
  ModalResult_ = Default_ ? 1 : Cancel_ ? 2 : 0;
  update();
}

void QPicButton::SetDown(bool value) {
  if (GroupIndex_ == 0 || value == Down_) return;
  if (Down_ && !value && !AllowAllUp_) return;
  Down_ = value;
  update();
  AnnounceToGroup();
}

void QPicButton::SetGroupIndex(int32_t value) {
  if (value == GroupIndex_) return;
  GroupIndex_ = value;
  update();
  AnnounceToGroup();
}

void QPicButton::SetAllowAllUp(bool value) {
  if (value == AllowAllUp_) return;
  AllowAllUp_ = value;
  update();
  AnnounceToGroup();
}

void QPicButton::SetModalResult(int32_t value) { ModalResult_ = value; }

void QPicButton::SetIcon(const QImage& picture) {
  DownDerived_ = true;
  Icon_ = Usable(picture) ? picture.copy() : QImage();
  BuildFaces();
}

void QPicButton::SetIconDown(const QImage& picture) {
  IconDown_ = Usable(picture) ? picture.copy() : QImage();
  DownDerived_ = false;
  update();
}

void QPicButton::SetIconPng(const QPngPicture* png) {
  const QImage bitmap = PngToBitmap(png);
  if (Usable(bitmap)) SetIcon(bitmap);
}

void QPicButton::SetIconPngDown(const QPngPicture* png) {
  const QImage bitmap = PngToBitmap(png);
  if (Usable(bitmap)) SetIconDown(bitmap);
}

void QPicButton::Loaded() {
  DownDerived_ = !Usable(IconDown_);
  BuildFaces();
}

#define TAVELO_PIC_SETTER(Name, Type)    \
  void QPicButton::Set##Name(Type value) { \
    if (value == Name##_) return;        \
    Name##_ = value;                     \
    update();                            \
  }
TAVELO_PIC_SETTER(IcsStyle, QIconStyle)
TAVELO_PIC_SETTER(IcsLayout, QIconLayout)
TAVELO_PIC_SETTER(IcsAlignH, QAlignH)
TAVELO_PIC_SETTER(IcsAlignV, QAlignV)
TAVELO_PIC_SETTER(IcsClientSpacing, int32_t)
TAVELO_PIC_SETTER(IcsAdjustX, int32_t)
TAVELO_PIC_SETTER(IcsAdjustY, int32_t)
TAVELO_PIC_SETTER(IcsShadowX, int32_t)
TAVELO_PIC_SETTER(IcsShadowY, int32_t)
TAVELO_PIC_SETTER(CaptionSpacing, int32_t)
TAVELO_PIC_SETTER(CaptionAdjustX, int32_t)
TAVELO_PIC_SETTER(CaptionAdjustY, int32_t)
TAVELO_PIC_SETTER(Color, int32_t)
TAVELO_PIC_SETTER(FontColor, int32_t)
#undef TAVELO_PIC_SETTER

void QPicButton::SetIcsShadowMake(bool value) {
  if (value == IcsShadowMake_) return;
  IcsShadowMake_ = value;
  BuildFaces();
}

void QPicButton::SetIcsShadowColor(uint32_t value) {
  if (value == IcsShadowColor_) return;
  IcsShadowColor_ = value;
  BuildFaces();
}

void QPicButton::SetBackImageCtrl(QLabel* control) {
  if (control != BackImageCtrl_) {
    BackImageCtrl_ = control;
    update();
  }
  if (control != nullptr) SetIcsStyle(stTransparent);
}

void QPicButton::SetTransColor(int32_t color) {
  const uint32_t rgb = ColorRGB(color);
  if (rgb == TransColor_) return;
  TransColor_ = rgb;
  update();
}

void QPicButton::SetTransOpacity(int32_t value) {
  value = std::clamp(value, 0, 255);
  if (value == TransOpacity_) return;
  TransOpacity_ = value;
  update();
}

void QPicButton::SetCaption(const QString& caption) {
  if (caption == Caption_) return;
  Caption_ = caption;
  update();
}

// ---- Faces ----

void QPicButton::BuildFaces() {
  if (Building_) return;
  Building_ = true;
  if (!Usable(Icon_)) {
    Icon_ = QImage();
    FaceShadow_ = FaceHot_ = IconDown_ = FaceDisabled_ = QImage();
  } else {
    QImage masked, shadow, hot, down, disabled;
    if (PicMakeButtonBitmaps(Icon_, &masked, &shadow, &hot, &down, &disabled, IcsShadowColor_)) {
      Icon_ = masked;
      FaceShadow_ = shadow;
      FaceHot_ = hot;
      if (DownDerived_) IconDown_ = down;
      FaceDisabled_ = disabled;
    } else {
      // Too small for the face builder: every state shows the picture as it is, never the faces
      // of a picture set earlier.
      FaceShadow_ = QImage();
      FaceHot_ = FaceDisabled_ = Icon_;
      if (DownDerived_) IconDown_ = Icon_;
    }
    if (!IcsShadowMake_) FaceShadow_ = QImage();
  }
  Building_ = false;
  update();
}

// ---- Painting ----

void QPicButton::DrawBackground(QImage& bitmap) {
  QPainter p(&bitmap);
  QRect r = bitmap.rect();
  if (IcsStyle_ == stTransparent) {
    const QPixmap back = BackImageCtrl_ != nullptr ? BackImageCtrl_->pixmap() : QPixmap();
    QWidget* parent = parentWidget();
    if (!back.isNull()) {
      // Only the part of the image under the button; what lies outside it is button face.
      p.fillRect(r, SysQColor(clBtnFace));
      const QRect bounds = geometry();
      const QRect part = bounds & back.rect();
      if (!part.isEmpty()) p.drawPixmap(part.topLeft() - bounds.topLeft(), back, part);
    } else if (parent != nullptr && parent->isWindow()) {
      p.end();
      parent->render(&bitmap, QPoint(0, 0), QRegion(geometry()), QWidget::DrawWindowBackground);
    } else {
      p.fillRect(r, SysQColor(clBtnFace));
    }
    return;
  }
  if (ThemesActive()) {
    p.fillRect(r, SysQColor(Color_));
    int32_t state;
    const char16_t* themeClass = u"button";
    if (IcsStyle_ == stFlat) {
      if (Pressed_ || Down_) {
        state = 3;
      } else if (!Hover_) {
        themeClass = u"dialog";
        state = 3;
      } else {
        state = 1;
      }
    } else if (!isEnabled()) {
      state = 4;
    } else if (Hover_) {
      state = Pressed_ || Down_ ? 3 : 2;
    } else if (Down_) {
      state = 3;
    } else if (hasFocus()) {
      state = 5;
    } else {
      state = 1;
    }
    DrawThemedPart(this, &p, r, themeClass, 1, state);
    return;
  }
  const QColor light = SysQColor(clBtnHighlight), dark = SysQColor(cl3DDkShadow);
  if (hasFocus() && !Pressed_ && IcsStyle_ != stFlat) {
    Frame3D(p, r, light, dark);
    Frame3D(p, r, dark, light);
  }
  if (!Pressed_ && !Down_) {
    if (IcsStyle_ != stFlat || Hover_) Frame3D(p, r, light, dark);
    p.fillRect(r, SysQColor(clBtnFace));
  } else {
    Frame3D(p, r, dark, light);
    p.fillRect(r, SysQColor(cl3DLight));
  }
}

void QPicButton::Paint(QImage& bitmap) {
  DrawBackground(bitmap);
  const int32_t w = bitmap.width(), h = bitmap.height();

  const QImage* face;
  int32_t offset = 0;
  bool withShadow = false;
  if (!isEnabled()) {
    face = &FaceDisabled_;
  } else if (Pressed_ || Down_) {
    face = &IconDown_;
    offset = 1;
  } else if (Hover_) {
    face = &FaceHot_;
    offset = IcsStyle_ == stFlat ? -1 : 0;
    withShadow = true;
  } else {
    face = &Icon_;
    withShadow = true;
  }
  const bool hasPicture = Usable(*face);
  const int32_t pw = hasPicture ? face->width() : 0, ph = hasPicture ? face->height() : 0;

  const QString text = ShownCaption(Caption_);
  const bool hasText = !text.isEmpty();
  const bool vertical = IcsLayout_ == iconTop || IcsLayout_ == iconBottom;
  int32_t tw = 0, th = 0;
  if (hasText) {
    const QFontMetrics metrics(font());
    tw = metrics.horizontalAdvance(text);
    th = metrics.height();
    if (vertical && hasPicture) th = 7 * th / 10;
  }

  if (hasPicture || hasText) {
    const int32_t spacing = hasPicture && hasText ? CaptionSpacing_ : 0;
    const int32_t bw = vertical ? std::max(pw, tw) : pw + spacing + tw;
    const int32_t bh = vertical ? ph + spacing + th : std::max(ph, th);
    const int32_t bx = BlockStart(IcsAlignH_, w, bw, IcsClientSpacing_);
    const int32_t by = BlockStart(IcsAlignV_, h, bh, IcsClientSpacing_);
    int32_t px = 0, py = 0, tx = 0, ty = 0;
    if (!vertical) {
      PlaceAlong(IcsLayout_ == iconLeft, pw, spacing, bw, px, tx);
      PlaceAcross(IcsAlignV_, ph, th, bh, 1, py, ty);
    } else {
      PlaceAlong(IcsLayout_ == iconTop, ph, spacing, bh, py, ty);
      PlaceAcross(IcsAlignH_, pw, tw, bw, 0, px, tx);
    }
    px += bx + IcsAdjustX_;
    py += by + IcsAdjustY_;
    tx += bx + CaptionAdjustX_;
    ty += by + CaptionAdjustY_;

    if (hasPicture) {
      // The shadow stays centred on the picture's own place while the face moves by the offset.
      const QImage noShadow;
      const QImage& shadow = withShadow && Usable(FaceShadow_) ? FaceShadow_ : noShadow;
      PicDrawLayered(*face, px + offset, py + offset, shadow, IcsShadowX_ - offset, IcsShadowY_ - offset, bitmap);
    }
    if (hasText) {
      QPainter p(&bitmap);
      p.setFont(font());
      const TRect box{tx + offset, ty + offset, w - 1, h - 1};
      PicDrawText(p, box, ColorRGB(isEnabled() ? FontColor_ : clBtnShadow), text.toStdString());
    }
  }

  if (IcsStyle_ == stTransparent && BackImageCtrl_ != nullptr) {
    if (Hover_ || Down_) {
      PicTintRect(bitmap, TRect{0, 0, w, h}, TransColor_ | (static_cast<uint32_t>(TransOpacity_) << 24));
      QPainter p(&bitmap);
      QRect r = bitmap.rect();
      const QColor light(224, 224, 192), dark(64, 96, 128);
      Frame3D(p, r, light, dark);
      Frame3D(p, r, dark, light);
    } else if (Pressed_) {
      QPainter p(&bitmap);
      QRect r = bitmap.rect();
      const QColor frame = SysQColor(cl3DDkShadow);
      Frame3D(p, r, frame, frame);
    }
  }
}

void QPicButton::paintEvent(QPaintEvent*) {
  QImage bitmap(size(), QImage::Format_RGB32);
  if (bitmap.isNull()) return;
  Paint(bitmap);
  QPainter(this).drawImage(0, 0, bitmap);
}

// ---- Mouse, keys and clicks ----

void QPicButton::SetHover(bool value) {
  if (value == Hover_) return;
  Hover_ = value;
  update();
}

void QPicButton::mousePressEvent(QMouseEvent* event) {
  Pressed_ = true;
  if (!hasFocus()) setFocus(Qt::MouseFocusReason);
  update();
  event->accept();
}

void QPicButton::mouseReleaseEvent(QMouseEvent* event) {
  const bool wasPressed = Pressed_;
  Pressed_ = false;
  update();
  event->accept();
  if (wasPressed && event->button() == Qt::LeftButton && rect().contains(event->position().toPoint())) Click();
}

void QPicButton::keyPressEvent(QKeyEvent* event) {
  if (event->key() == Qt::Key_Space &&
      (event->modifiers() & (Qt::ShiftModifier | Qt::ControlModifier | Qt::AltModifier)) == 0) {
    event->accept();
    Click();
    return;
  }
  QWidget::keyPressEvent(event);
}

void QPicButton::Click() {
  QPointer<QPicButton> self(this);
  if (GroupIndex_ != 0) SetDown(true);
  // The form's modal result is set before OnClick, which may still clear it; the dialog ends
  // once the handler is done, as a modal form closes after the click's message.
  QPointer<QDialog> dialog = qobject_cast<QDialog*>(window());
  const int32_t result = ModalResult_;
  if (dialog != nullptr && result != 0) dialog->setResult(result);
  if (OnClick) OnClick(this);
  // A handler that closed the dialog itself has ended it already.
  if (dialog != nullptr && result != 0 && dialog->result() != 0 && dialog->isVisible()) dialog->done(dialog->result());
  if (self == nullptr) return;
  SetHover(isVisible() && rect().contains(mapFromGlobal(QCursor::pos())));
}

void QPicButton::enterEvent(QEnterEvent*) { SetHover(true); }

void QPicButton::leaveEvent(QEvent*) { SetHover(false); }

void QPicButton::focusInEvent(QFocusEvent* event) {
  QWidget::focusInEvent(event);
  update();
}

void QPicButton::focusOutEvent(QFocusEvent* event) {
  QWidget::focusOutEvent(event);
  update();
}

void QPicButton::changeEvent(QEvent* event) {
  if (event->type() == QEvent::EnabledChange || event->type() == QEvent::FontChange) update();
  QWidget::changeEvent(event);
}

bool QPicButton::event(QEvent* event) {
  if (event->type() == QEvent::ParentChange || event->type() == QEvent::Show || event->type() == QEvent::Polish)
    WatchWindow();
  return QWidget::event(event);
}

void QPicButton::FocusChanged(QWidget* focused) {
  const bool active = qobject_cast<QPushButton*>(focused) != nullptr ? false : Default_;
  if (active == Active_) return;
  Active_ = active;
  update();
}

void QPicButton::AnnounceToGroup() {
  QWidget* parent = parentWidget();
  if (GroupIndex_ == 0 || parent == nullptr) return;
  for (QPicButton* other : PicButtonsOf(parent, Qt::FindDirectChildrenOnly)) other->ButtonPressed(GroupIndex_, this);
}

void QPicButton::ButtonPressed(int32_t groupIndex, QPicButton* sender) {
  if (groupIndex != GroupIndex_ || sender == this) return;
  if (sender->Down_ && Down_) Down_ = false;
  AllowAllUp_ = sender->AllowAllUp_;
  update();
}

// The dialog keys and characters reach the window when the focused control did not want them.
void QPicButton::WatchWindow() {
  QWidget* form = window();
  if (form == this) form = nullptr;
  if (Watched_ == form) return;
  if (Watched_ != nullptr) Watched_->removeEventFilter(this);
  Watched_ = form;
  if (form != nullptr) form->installEventFilter(this);
}

bool QPicButton::eventFilter(QObject* watched, QEvent* event) {
  if (watched == Watched_ && event->type() == QEvent::KeyPress) {
    auto* key = static_cast<QKeyEvent*>(event);
    if (DialogKey(key->key(), key->modifiers()) || DialogChar(key->text(), key->modifiers())) {
      key->accept();
      return true;
    }
  }
  return QWidget::eventFilter(watched, event);
}

bool QPicButton::DialogKey(int key, Qt::KeyboardModifiers modifiers) {
  if ((modifiers & (Qt::ShiftModifier | Qt::ControlModifier | Qt::AltModifier)) != 0) return false;
  const bool enter = (key == Qt::Key_Return || key == Qt::Key_Enter) && Active_;
  const bool escape = key == Qt::Key_Escape && Cancel_;
  if (!enter && !escape) return false;
  // A disabled or hidden button does not answer for the form.
  if (!isEnabled() || !isVisibleTo(window())) return false;
  Click();
  return true;
}

bool QPicButton::DialogChar(const QString& text, Qt::KeyboardModifiers modifiers) {
  if ((modifiers & Qt::ControlModifier) != 0 || text.size() != 1 || !text[0].isPrint()) return false;
  if (!IsAccel(text[0], Caption_) || !isEnabled() || !isVisibleTo(window())) return false;
  Click();
  return true;
}

}  // namespace tavelo
