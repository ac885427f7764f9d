// The picture button (unit QPicButton): the push button of the program's dialogs. It shows a
// picture and a caption, changes its face for normal, hot (pointer over it), pressed or down and
// disabled, draws itself with the visual theme (kit/theme_binding), flat, or over a background
// image, acts as its form's default or cancel button, and works as a toggle in a group.
//
// Faces come from the bitmap bridge (PicMakeButtonBitmaps): setting Icon builds the masked normal
// face, its drop shadow, the hot, down and disabled faces. Every paint draws into an off-screen
// bitmap of the button's size, which is then copied to the widget.
//
// Form behaviour: Enter clicks the form's Default button (unless a standard QPushButton has the
// focus), Escape its Cancel button, the caption's accelerator character ("&Open") clicks the
// button. A click hands ModalResult to a QDialog window: the dialog's result is set before OnClick
// runs and, when it is still not 0 afterwards, the dialog is done with it (1 = OK, 2 = Cancel).
//
// The class has no Q_OBJECT (the build runs no moc): find picture buttons with dynamic_cast, never
// with qobject_cast or findChildren<QPicButton*>, which would take any widget for one.
#pragma once
#include <QImage>
#include <QLabel>
#include <QPointer>
#include <QString>
#include <QWidget>

#include <cstdint>
#include <functional>

namespace tavelo {

class QPngPicture;

enum QIconStyle : uint8_t { stNormal = 0, stFlat = 1, stTransparent = 2 };
enum QIconLayout : uint8_t { iconLeft = 0, iconRight = 1, iconTop = 2, iconBottom = 3 };
enum QAlignH : uint8_t { ahLeft = 0, ahRight = 1, ahCenter = 2 };
enum QAlignV : uint8_t { avTop = 0, avBottom = 1, avCenter = 2 };

class QPicButton : public QWidget {
 public:
  // 100 x 32, not a tab stop (it takes the focus when clicked).
  explicit QPicButton(QWidget* parent = nullptr);
  ~QPicButton() override;

  // ---- Properties (each setter stores only a changed value, then repaints) ----
  bool Cancel() const { return Cancel_; }
  // ModalResult := 2 when Cancel, else 1 when Default, else 0.
  void SetCancel(bool value);
  bool Default() const { return Default_; }
  // Moves the form's default highlight (every picture button of the window recomputes Active),
  // then ModalResult := 1 when Default, else 2 when Cancel, else 0.
  void SetDefault(bool value);
  bool Down() const { return Down_; }
  // Ignored while GroupIndex is 0; a down button stays down while AllowAllUp is false; announced
  // to the group (the other buttons of the same parent and index go up).
  void SetDown(bool value);
  int32_t GroupIndex() const { return GroupIndex_; }
  void SetGroupIndex(int32_t value);
  bool AllowAllUp() const { return AllowAllUp_; }
  void SetAllowAllUp(bool value);
  int32_t ModalResult() const { return ModalResult_; }
  void SetModalResult(int32_t value);

  // The picture; a null or empty image empties it. The faces are rebuilt, the down face derived.
  const QImage& Icon() const { return Icon_; }
  void SetIcon(const QImage& picture);
  // An own picture for the pressed and down states (kept as given; faces are not rebuilt).
  const QImage& IconDown() const { return IconDown_; }
  void SetIconDown(const QImage& picture);
  // Write-only: the PNG becomes Icon / IconDown when it converts to a non-empty bitmap.
  void SetIconPng(const QPngPicture* png);
  void SetIconPngDown(const QPngPicture* png);
  // Call after setting Icon and IconDown in any order (the form-loading step): the down face is
  // derived when no IconDown is held, and the faces are built.
  void Loaded();

  QIconStyle IcsStyle() const { return IcsStyle_; }
  void SetIcsStyle(QIconStyle value);
  QIconLayout IcsLayout() const { return IcsLayout_; }
  void SetIcsLayout(QIconLayout value);
  QAlignH IcsAlignH() const { return IcsAlignH_; }
  void SetIcsAlignH(QAlignH value);
  QAlignV IcsAlignV() const { return IcsAlignV_; }
  void SetIcsAlignV(QAlignV value);
  int32_t IcsClientSpacing() const { return IcsClientSpacing_; }
  void SetIcsClientSpacing(int32_t value);
  int32_t IcsAdjustX() const { return IcsAdjustX_; }
  void SetIcsAdjustX(int32_t value);
  int32_t IcsAdjustY() const { return IcsAdjustY_; }
  void SetIcsAdjustY(int32_t value);
  bool IcsShadowMake() const { return IcsShadowMake_; }
  void SetIcsShadowMake(bool value);
  uint32_t IcsShadowColor() const { return IcsShadowColor_; }  // red in byte 0
  void SetIcsShadowColor(uint32_t value);
  int32_t IcsShadowX() const { return IcsShadowX_; }
  void SetIcsShadowX(int32_t value);
  int32_t IcsShadowY() const { return IcsShadowY_; }
  void SetIcsShadowY(int32_t value);
  int32_t CaptionSpacing() const { return CaptionSpacing_; }
  void SetCaptionSpacing(int32_t value);
  int32_t CaptionAdjustX() const { return CaptionAdjustX_; }
  void SetCaptionAdjustX(int32_t value);
  int32_t CaptionAdjustY() const { return CaptionAdjustY_; }
  void SetCaptionAdjustY(int32_t value);
  // The image control whose pixmap shows through in stTransparent (its pixel (x, y) lies under
  // the parent's point (x, y)). Setting it also selects stTransparent.
  QLabel* BackImageCtrl() const { return BackImageCtrl_; }
  void SetBackImageCtrl(QLabel* control);
  uint32_t TransColor() const { return TransColor_; }  // red in byte 0
  // A toolkit colour: a system colour (negative) is stored as its RGB value.
  void SetTransColor(int32_t color);
  int32_t TransOpacity() const { return TransOpacity_; }
  void SetTransOpacity(int32_t value);  // limited to 0..255

  // The toolkit's standard properties.
  QString Caption() const { return Caption_; }
  void SetCaption(const QString& caption);
  int32_t Color() const { return Color_; }  // toolkit colour, clBtnFace at creation
  void SetColor(int32_t color);
  int32_t FontColor() const { return FontColor_; }  // toolkit colour, clWindowText at creation
  void SetFontColor(int32_t color);

  // Raised by Click, with the button as sender.
  std::function<void(QPicButton* sender)> OnClick;

  // The button's click: down in a group, the modal result to the form, OnClick, hover refreshed.
  virtual void Click();

  // Internal state, readable for the owner and tests.
  bool Hover() const { return Hover_; }
  bool Pressed() const { return Pressed_; }
  bool Active() const { return Active_; }
  bool DownDerived() const { return DownDerived_; }
  const QImage& FaceShadow() const { return FaceShadow_; }
  const QImage& FaceHot() const { return FaceHot_; }
  const QImage& FaceDisabled() const { return FaceDisabled_; }

 protected:
  // Fills bitmap (the button's size) with what lies behind the picture and caption: the image
  // under the button, the themed push button, or the unthemed frames and fill.
  virtual void DrawBackground(QImage& bitmap);

  void paintEvent(QPaintEvent* event) override;
  void mousePressEvent(QMouseEvent* event) override;
  void mouseReleaseEvent(QMouseEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;
  void enterEvent(QEnterEvent* event) override;
  void leaveEvent(QEvent* event) override;
  void focusInEvent(QFocusEvent* event) override;
  void focusOutEvent(QFocusEvent* event) override;
  void changeEvent(QEvent* event) override;
  bool event(QEvent* event) override;
  // Enter, Escape and accelerator characters that reach the window.
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  void BuildFaces();
  void Paint(QImage& bitmap);
  void SetHover(bool value);
  void FocusChanged(QWidget* focused);
  void AnnounceToGroup();
  void ButtonPressed(int32_t groupIndex, QPicButton* sender);
  void WatchWindow();
  bool DialogKey(int key, Qt::KeyboardModifiers modifiers);
  bool DialogChar(const QString& text, Qt::KeyboardModifiers modifiers);

  bool Cancel_ = false;
  bool Default_ = false;
  bool Down_ = false;
  int32_t GroupIndex_ = 0;
  bool AllowAllUp_ = true;
  int32_t ModalResult_ = 0;
  QImage Icon_;      // FaceNormal
  QImage IconDown_;  // FaceDown
  QIconStyle IcsStyle_ = stNormal;
  QIconLayout IcsLayout_ = iconLeft;
  QAlignH IcsAlignH_ = ahCenter;
  QAlignV IcsAlignV_ = avCenter;
  int32_t IcsClientSpacing_ = 2;
  int32_t IcsAdjustX_ = 0;
  int32_t IcsAdjustY_ = 0;
  bool IcsShadowMake_ = true;
  uint32_t IcsShadowColor_ = 80 | (80 << 8) | (80 << 16);
  int32_t IcsShadowX_ = 1;
  int32_t IcsShadowY_ = 1;
  int32_t CaptionSpacing_ = 5;
  int32_t CaptionAdjustX_ = 0;
  int32_t CaptionAdjustY_ = 0;
  QPointer<QLabel> BackImageCtrl_;
  uint32_t TransColor_ = 255 | (192 << 8);
  int32_t TransOpacity_ = 40;
  QString Caption_;
  int32_t Color_;
  int32_t FontColor_;

  bool Hover_ = false;
  bool Pressed_ = false;
  bool Active_ = false;
  QImage FaceShadow_;
  QImage FaceHot_;
  QImage FaceDisabled_;
  bool DownDerived_ = true;
  bool Building_ = false;
  QPointer<QWidget> Watched_;  // the window whose dialog keys this button hears
  QMetaObject::Connection FocusConnection_;
};

}  // namespace tavelo
