// The program's own message box: an icon, a word-wrapped text, a row of buttons and, when the
// caller keeps a "show this message" flag and a remembered answer, a check box "Don't show this
// message again.". A fresh form is built for every showing.
//
// The form's geometry is a pure function (LayoutMessageForm) over a small text-measuring
// interface, so the layout rules are checked without a screen; the form itself only places its
// widgets where the layout says.
#pragma once
#include <QDialog>
#include <QFont>
#include <QIcon>
#include <QColor>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

class QPushButton;
class QCheckBox;
class QLabel;

namespace tavelo {

enum TMsgDlgType : uint8_t { mtWarning = 0, mtError = 1, mtInformation = 2, mtConfirmation = 3, mtCustom = 4 };

enum TMsgDlgBtn : uint8_t {
  mbYes = 0,
  mbNo = 1,
  mbOK = 2,
  mbCancel = 3,
  mbAbort = 4,
  mbRetry = 5,
  mbIgnore = 6,
  mbAll = 7,
  mbNoToAll = 8,
  mbYesToAll = 9,
  mbHelp = 10,
};
constexpr int kMsgDlgBtnCount = 11;

// A set of buttons: bit n stands for the button with value n ([mbOK] is 4, [mbYes, mbNo] is 3).
using TMsgDlgButtons = uint16_t;
constexpr TMsgDlgButtons MsgBtn(TMsgDlgBtn b) { return static_cast<TMsgDlgButtons>(1u << b); }
constexpr bool HasMsgBtn(TMsgDlgButtons set, int b) { return b >= 0 && b < kMsgDlgBtnCount && (set >> b) & 1u; }

// A caller-owned 32-bit boolean: -1 (any non-zero) true, 0 false.
using TShowFlag = int32_t;

// The component name and caption of each button, by its value.
const char* MsgButtonName(int button);
const char* MsgButtonCaption(int button);

// System icon numbers and sounds by type: 32515/0x30 warning, 32513/0x10 error, 32516/0x40
// information, 32514/0x20 confirmation; 0/0 for mtCustom (its icon is the caller's).
int32_t MsgSystemIcon(TMsgDlgType type);
uint32_t MsgBeepKind(TMsgDlgType type);

// ---- Sounds. Every beep of a box goes through one hook; the program's rings the bell
// (QApplication::beep), tests install one that records the kind.
using MessageBeepHook = void (*)(uint32_t kind);
// Installs the hook (nullptr: the bell again); returns the one before.
MessageBeepHook SetMessageBeepHook(MessageBeepHook hook);
void MessageBeep(uint32_t kind);

// ---- The pure layout.

// Text measurement, in pixels, in one font.
class MsgTextMeasure {
 public:
  virtual ~MsgTextMeasure() = default;
  // The single-line extent of text (no wrapping, tabs and '&' measured as they stand).
  virtual void TextExtent(const std::string& text, int& width, int& height) const = 0;
  // The rectangle the text needs when word-wrapped at maxWidth with tabs expanded: the width of
  // its widest line and the height of all lines. A word longer than maxWidth breaks where the
  // line ends, so the width never passes maxWidth (a name with no blank must not widen the box
  // past the screen).
  virtual void WrappedExtent(const std::string& text, int maxWidth, int& width, int& height) const = 0;
};

// QFontMetrics of a font (the program's measure).
class QtMsgTextMeasure : public MsgTextMeasure {
 public:
  explicit QtMsgTextMeasure(const QFont& font);
  void TextExtent(const std::string& text, int& width, int& height) const override;
  void WrappedExtent(const std::string& text, int maxWidth, int& width, int& height) const override;

 private:
  QFont font_;
};

struct MsgRect {
  int Left = 0, Top = 0, Width = 0, Height = 0;
  bool operator==(const MsgRect&) const = default;
};

struct MsgLayoutInput {
  std::string Msg;
  TMsgDlgButtons Buttons = MsgBtn(mbOK);
  bool HasIcon = false;      // a system icon, or mtCustom with a custom icon
  bool HasCheckBox = false;  // both the show flag and the answer pointer are set
  std::string CheckBoxCaption;
  int ScreenWidth = 0;
  // Added to the check box's width: the room its own box and gap take beside the caption (the
  // caption alone plus 10 pixels would clip the caption's end).
  int CheckIndicatorWidth = 0;
  // The screen's work area (0: unbounded), the room the window frame takes around the client
  // area, and the width of a vertical scroll bar: the box with its frame stays inside the work
  // area, and text taller than the room left scrolls.
  int WorkWidth = 0, WorkHeight = 0;
  int FrameWidth = 0, FrameHeight = 0;
  int ScrollBarWidth = 0;
};

struct MsgButtonPlace {
  TMsgDlgBtn Button = mbOK;
  MsgRect Rect;
};

struct MsgLayout {
  // The dialog units of the form's font.
  int AvgCharWidth = 0, AvgCharHeight = 0;
  int HorzMargin = 0, VertMargin = 0, HorzSpacing = 0, VertSpacing = 0;
  int ButtonWidth = 0, ButtonHeight = 0, ButtonSpacing = 0, ButtonGroupWidth = 0;
  int TextWidth = 0, TextHeight = 0, IconTextWidth = 0, IconTextHeight = 0;
  int CheckBoxWidth = 0, CheckBoxExtra = 0;
  int ClientWidth = 0, ClientHeight = 0;
  bool HasIcon = false;
  MsgRect Image;  // 32 x 32 (only with an icon)
  // The word-wrapped text: on the form, or, when TextScrolls, inside the scrolling view at 0, 0
  // with the whole text's height.
  MsgRect Message;
  bool TextScrolls = false;
  MsgRect TextView;  // where the text shows on the form: the message's box, or the scrolling view
  std::vector<MsgButtonPlace> Buttons;  // in button order, left to right
  bool HasCheckBox = false;
  MsgRect CheckBox;
};

// Rounded a * b / c, halves away from zero (as the system's MulDiv); -1 when c is 0.
int32_t MulDiv(int32_t a, int32_t b, int32_t c);

// The geometry of the form. font measures the form's font (text, check box, button captions).
MsgLayout LayoutMessageForm(const MsgLayoutInput& in, const MsgTextMeasure& font);

// ---- The dialog.

class TMessageDlg;

// The form of one showing. Its children are named "Message", "Image" (with an icon),
// "DontShowAgain" (with the check box) and one button per member of Buttons, named as the
// button table says.
class TMessageForm : public QDialog {
 public:
  TMessageForm(TMessageDlg& owner, const MsgLayout& layout, const QIcon& icon);

  TMessageDlg& Dlg() const { return dlg_; }
  const MsgLayout& Layout() const { return layout_; }
  QLabel* MessageLabel() const { return message_; }
  QCheckBox* CheckBox() const { return checkBox_; }
  QPushButton* Button(TMsgDlgBtn b) const { return buttons_[b]; }
  QPushButton* CancelButton() const { return cancel_; }
  // True once a button or the close box ended the form.
  bool Finished() const { return finished_; }
  // Presses a button as a click would; false when it is not shown.
  bool Press(TMsgDlgBtn b);

  void done(int r) override;

 protected:
  void keyPressEvent(QKeyEvent* e) override;

 private:
  void AnswerClick(TMsgDlgBtn b);
  void HelpClick();

  TMessageDlg& dlg_;
  MsgLayout layout_;
  QLabel* message_ = nullptr;
  QCheckBox* checkBox_ = nullptr;
  QPushButton* buttons_[kMsgDlgBtnCount] = {};
  QPushButton* cancel_ = nullptr;
  bool finished_ = false;
};

// Flag bits of the question a message dialog puts to the answer seam (KitAsk::Flags).
enum : unsigned { kMsgAskCheckBox = 1 };
// KitAsk::Icon of an mtCustom box that shows its custom icon (the others give the system icon
// number, or 0 without an icon).
constexpr int kMsgAskCustomIcon = 1;
// KitAnswer::Result for a message dialog: the button to press, or this value to close the box
// with its window's close button. When the provider already ended the form itself (keys,
// clicks on KitAsk::Form), its outcome stands and Result is not used.
constexpr int kMsgAnswerClose = -1;

class TMessageDlg {
 public:
  TMessageDlg();
  ~TMessageDlg();
  TMessageDlg(const TMessageDlg&) = delete;
  TMessageDlg& operator=(const TMessageDlg&) = delete;

  // Shows the box and returns the button pressed, or 3 (mbCancel) when it was closed without
  // one. With both pointers set and the flag false, returns the remembered answer unshown.
  uint8_t Execute(const std::string& msg, TMsgDlgType dlgType, TMsgDlgButtons buttons, TMsgDlgBtn defaultButton);

  // Setting it while the box is shown also changes the shown text.
  void SetMsg(const std::string& msg);
  const std::string& Msg() const { return msg_; }
  // '' stores "??".
  void SetCheckBoxCaption(const std::string& caption);
  const std::string& CheckBoxCaption() const { return checkBoxCaption_; }

  std::string CustomCaption;
  TMsgDlgType DlgType = mtWarning;
  TMsgDlgButtons Buttons = MsgBtn(mbOK);
  TMsgDlgBtn DefaultButton = mbOK;
  QColor Color;  // the form's background; invalid means the style's button face
  QFont ButtonFont;
  QFont Font;
  QIcon CustomIcon;
  std::string HelpFile;

  uint8_t ModalAnswer = mbCancel;
  TShowFlag* ShowFlagPtr = nullptr;
  uint8_t* AnswerPtr = nullptr;
  TMessageForm* Form = nullptr;  // while shown

  // The layout input this dialog's current properties give (exposed for the tests).
  MsgLayoutInput LayoutInput() const;

 private:
  std::string msg_;
  std::string checkBoxCaption_;
};

// The title of the program's boxes when no custom caption is given. It is the kit's own: the
// toolkit appends an application display name to every window title, and titles are exactly
// the program's captions.
std::string ApplicationTitle();
void SetApplicationTitle(const std::string& title);

}  // namespace tavelo
