#include "kit/msg_dlg.h"

#include <QApplication>
#include <QCheckBox>
#include <QFontMetrics>
#include <QKeyEvent>
#include <QLabel>
#include <QPainter>
#include <QPushButton>
#include <QScreen>
#include <QScrollArea>
#include <QScrollBar>
#include <QStyle>

#include <algorithm>
#include <atomic>
#include <climits>
#include <cstdlib>
#include <stdexcept>
#include <vector>

#include "core/services/win_utils.h"
#include "kit/kit_answers.h"

namespace tavelo {

namespace {

struct ButtonInfo {
  const char* Name;
  const char* Caption;
};
constexpr ButtonInfo kButtons[kMsgDlgBtnCount] = {
    {"Yes", "&Yes"},       {"No", "&No"},           {"OK", "OK"},
    {"Cancel", "Cancel"},  {"Abort", "&Abort"},     {"Retry", "&Retry"},
    {"Ignore", "&Ignore"}, {"All", "&All"},         {"NoToAll", "N&o to All"},
    {"YesToAll", "Yes to &All"}, {"Help", "Help"},
};

constexpr const char* kDontShowAgain = "&Don't show this message again.";

void BellBeep(uint32_t) { QApplication::beep(); }
std::atomic<MessageBeepHook> g_beep{&BellBeep};

QString Q(const std::string& s) { return QString::fromStdString(s); }

// Word wrap that breaks a word only when it alone is wider than the line, tabs expanded: the
// message is measured and drawn with the same flags, so the label shows what the layout counted.
constexpr int kMessageTextFlags =
    Qt::AlignLeft | Qt::AlignTop | Qt::TextWordWrap | Qt::TextWrapAnywhere | Qt::TextExpandTabs;

// The window manager's frame is not known before the box is shown: this much room is kept for a
// title bar and borders around the client area.
constexpr int kFrameAllowanceWidth = 16;
constexpr int kFrameAllowanceHeight = 48;

// The label "Message": QLabel wraps at word boundaries only, so it draws its text itself with the
// flags the layout measured.
class MessageText : public QLabel {
 public:
  using QLabel::QLabel;

 protected:
  void paintEvent(QPaintEvent*) override {
    QPainter painter(this);
    style()->drawItemText(&painter, contentsRect(), kMessageTextFlags, palette(), isEnabled(), text(),
                          foregroundRole());
  }
};

// The style's icon for each system icon number.
QIcon SystemIcon(TMsgDlgType type) {
  QStyle::StandardPixmap pixmap;
  switch (type) {
    case mtWarning: pixmap = QStyle::SP_MessageBoxWarning; break;
    case mtError: pixmap = QStyle::SP_MessageBoxCritical; break;
    case mtInformation: pixmap = QStyle::SP_MessageBoxInformation; break;
    case mtConfirmation: pixmap = QStyle::SP_MessageBoxQuestion; break;
    default: return QIcon();
  }
  return QApplication::style()->standardIcon(pixmap);
}

}  // namespace

const char* MsgButtonName(int button) {
  return button >= 0 && button < kMsgDlgBtnCount ? kButtons[button].Name : "";
}

const char* MsgButtonCaption(int button) {
  return button >= 0 && button < kMsgDlgBtnCount ? kButtons[button].Caption : "";
}

int32_t MsgSystemIcon(TMsgDlgType type) {
  switch (type) {
    case mtWarning: return 32515;
    case mtError: return 32513;
    case mtInformation: return 32516;
    case mtConfirmation: return 32514;
    default: return 0;
  }
}

uint32_t MsgBeepKind(TMsgDlgType type) {
  switch (type) {
    case mtWarning: return 0x30;
    case mtError: return 0x10;
    case mtInformation: return 0x40;
    case mtConfirmation: return 0x20;
    default: return 0;
  }
}

MessageBeepHook SetMessageBeepHook(MessageBeepHook hook) { return g_beep.exchange(hook != nullptr ? hook : &BellBeep); }

void MessageBeep(uint32_t kind) { g_beep.load()(kind); }

// ---- Measuring and the pure layout.

QtMsgTextMeasure::QtMsgTextMeasure(const QFont& font) : font_(font) {}

void QtMsgTextMeasure::TextExtent(const std::string& text, int& width, int& height) const {
  const QFontMetrics fm(font_);
  width = fm.horizontalAdvance(Q(text));
  height = fm.height();
}

void QtMsgTextMeasure::WrappedExtent(const std::string& text, int maxWidth, int& width, int& height) const {
  const QFontMetrics fm(font_);
  const QRect r = fm.boundingRect(QRect(0, 0, std::max(maxWidth, 1), 0), kMessageTextFlags, Q(text));
  width = r.width();
  height = r.height();
}

int32_t MulDiv(int32_t a, int32_t b, int32_t c) {
  if (c == 0) return -1;
  const int64_t p = static_cast<int64_t>(a) * b;
  const bool negative = (p < 0) != (c < 0);
  const int64_t ap = std::llabs(p), ac = std::llabs(static_cast<int64_t>(c));
  const int64_t q = (ap + ac / 2) / ac;
  if (q > INT32_MAX) return -1;
  return static_cast<int32_t>(negative ? -q : q);
}

MsgLayout LayoutMessageForm(const MsgLayoutInput& in, const MsgTextMeasure& font) {
  MsgLayout l;
  // Dialog units: the average width of the 52 letters measured in one piece, and their height.
  static const std::string kLetters = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz";
  int lettersWidth = 0;
  font.TextExtent(kLetters, lettersWidth, l.AvgCharHeight);
  l.AvgCharWidth = lettersWidth / 52;
  const int x = l.AvgCharWidth, y = l.AvgCharHeight;
  l.HorzMargin = MulDiv(8, x, 4);
  l.VertMargin = MulDiv(8, y, 8);
  l.HorzSpacing = MulDiv(10, x, 4);
  l.VertSpacing = MulDiv(10, y, 8);
  l.ButtonWidth = MulDiv(64, x, 4);
  int count = 0;
  for (int b = 0; b < kMsgDlgBtnCount; ++b) {
    if (!HasMsgBtn(in.Buttons, b)) continue;
    ++count;
    int w = 0, h = 0;
    font.TextExtent(kButtons[b].Caption, w, h);
    l.ButtonWidth = std::max(l.ButtonWidth, w + 8);
  }
  l.ButtonHeight = count > 0 ? MulDiv(15, y, 8) : 0;
  l.ButtonSpacing = MulDiv(4, x, 4);

  l.HasIcon = in.HasIcon;
  const int iconRoom = in.HasIcon ? l.HorzSpacing + 32 : 0;
  int captionWidth = 0, captionHeight = 0;
  l.HasCheckBox = in.HasCheckBox;
  if (in.HasCheckBox) {
    font.TextExtent(in.CheckBoxCaption, captionWidth, captionHeight);
    l.CheckBoxWidth = captionWidth + iconRoom + l.HorzMargin + 16;
    l.CheckBoxExtra = 30;
  }

  // The text wraps at half the screen, or narrower where the work area leaves less room beside
  // the icon; text taller than the room above the buttons scrolls in a view with a scroll bar.
  const int maxClientWidth = in.WorkWidth > 0 ? in.WorkWidth - in.FrameWidth : INT_MAX;
  const int maxClientHeight = in.WorkHeight > 0 ? in.WorkHeight - in.FrameHeight : INT_MAX;
  const auto textRoom = [&](int scrollBar) {
    return std::max(maxClientWidth - 2 * l.HorzMargin - iconRoom - scrollBar, std::max(l.AvgCharWidth, 1));
  };
  int wrapWidth = in.WorkWidth > 0 ? std::min(in.ScreenWidth / 2, textRoom(0)) : in.ScreenWidth / 2;
  font.WrappedExtent(in.Msg, wrapWidth, l.TextWidth, l.TextHeight);
  const int aroundText = l.ButtonHeight + l.CheckBoxExtra + l.VertSpacing + 2 * l.VertMargin;
  int viewHeight = l.TextHeight;
  if (in.WorkHeight > 0 && l.TextHeight > maxClientHeight - aroundText) {
    l.TextScrolls = true;
    if (in.WorkWidth > 0 && wrapWidth > textRoom(in.ScrollBarWidth)) {
      wrapWidth = textRoom(in.ScrollBarWidth);
      font.WrappedExtent(in.Msg, wrapWidth, l.TextWidth, l.TextHeight);
    }
    viewHeight = std::max(maxClientHeight - aroundText, l.AvgCharHeight);
  }
  const int viewWidth = l.TextWidth + (l.TextScrolls ? in.ScrollBarWidth : 0);
  l.IconTextWidth = viewWidth + iconRoom;
  l.IconTextHeight = in.HasIcon ? std::max(viewHeight, 32) : viewHeight;
  l.ButtonGroupWidth = count > 0 ? count * l.ButtonWidth + (count - 1) * l.ButtonSpacing : 0;

  l.ClientWidth = std::max({l.IconTextWidth, l.ButtonGroupWidth, l.CheckBoxWidth}) + 2 * l.HorzMargin;
  l.ClientHeight = l.IconTextHeight + l.ButtonHeight + l.CheckBoxExtra + l.VertSpacing + 2 * l.VertMargin;

  if (in.HasIcon) l.Image = {l.HorzMargin, l.VertMargin, 32, 32};
  l.TextView = {iconRoom + l.HorzMargin, l.VertMargin, viewWidth, viewHeight};
  l.Message = l.TextScrolls ? MsgRect{0, 0, l.TextWidth, l.TextHeight} : l.TextView;

  int left = (l.ClientWidth - l.ButtonGroupWidth) / 2;
  const int top = l.IconTextHeight + l.VertMargin + l.VertSpacing + l.CheckBoxExtra;
  for (int b = 0; b < kMsgDlgBtnCount; ++b) {
    if (!HasMsgBtn(in.Buttons, b)) continue;
    l.Buttons.push_back({static_cast<TMsgDlgBtn>(b), {left, top, l.ButtonWidth, l.ButtonHeight}});
    left += l.ButtonWidth + l.ButtonSpacing;
  }

  if (in.HasCheckBox) {
    // 17 is the check box's height before it is sized: its top keeps the place the unsized box had.
    l.CheckBox = {l.TextView.Left, l.TextView.Top + l.TextView.Height + 30 - 17,
                  captionWidth + 10 + in.CheckIndicatorWidth, captionHeight + 10};
  }
  return l;
}

// ---- The form.

TMessageForm::TMessageForm(TMessageDlg& owner, const MsgLayout& layout, const QIcon& icon)
    : QDialog(nullptr, Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint),
      dlg_(owner),
      layout_(layout) {
  setModal(true);
  setFont(owner.Font);
  if (owner.Color.isValid()) {
    QPalette p = palette();
    p.setColor(QPalette::Window, owner.Color);
    setPalette(p);
    setAutoFillBackground(true);
  }
  setWindowTitle(Q(owner.CustomCaption.empty() ? ApplicationTitle() : owner.CustomCaption));

  if (layout.HasIcon) {
    auto* image = new QLabel(this);
    image->setObjectName("Image");
    image->setPixmap(icon.pixmap(32, 32));
    image->setGeometry(layout.Image.Left, layout.Image.Top, 32, 32);
  }

  message_ = new MessageText(this);
  message_->setObjectName("Message");
  message_->setTextFormat(Qt::PlainText);
  message_->setWordWrap(true);
  message_->setAlignment(Qt::AlignLeft | Qt::AlignTop);
  message_->setText(Q(owner.Msg()));
  message_->setGeometry(layout.Message.Left, layout.Message.Top, layout.Message.Width, layout.Message.Height);
  if (layout.TextScrolls) {
    // Text taller than the screen allows scrolls; the buttons below it stay on the screen.
    auto* view = new QScrollArea(this);
    view->setObjectName("MessageView");
    view->setFrameShape(QFrame::NoFrame);
    view->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    view->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    view->setFocusPolicy(Qt::NoFocus);
    view->setWidget(message_);
    view->setGeometry(layout.TextView.Left, layout.TextView.Top, layout.TextView.Width, layout.TextView.Height);
  }

  const TMsgDlgBtn cancel = HasMsgBtn(owner.Buttons, mbCancel) ? mbCancel
                            : HasMsgBtn(owner.Buttons, mbNo)   ? mbNo
                                                               : mbOK;
  QPushButton* first = nullptr;
  for (const MsgButtonPlace& place : layout.Buttons) {
    const TMsgDlgBtn b = place.Button;
    auto* button = new QPushButton(QString::fromLatin1(kButtons[b].Caption), this);
    button->setObjectName(kButtons[b].Name);
    button->setProperty("Tag", static_cast<int>(b));
    button->setFont(owner.ButtonFont);
    button->setGeometry(place.Rect.Left, place.Rect.Top, place.Rect.Width, place.Rect.Height);
    buttons_[b] = button;
    if (b == owner.DefaultButton) {
      button->setDefault(true);
      first = button;
    }
    if (b == cancel) cancel_ = button;
    if (b == mbHelp) {
      connect(button, &QPushButton::clicked, this, [this] { HelpClick(); });
    } else {
      connect(button, &QPushButton::clicked, this, [this, b] { AnswerClick(b); });
    }
  }

  if (layout.HasCheckBox) {
    checkBox_ = new QCheckBox(Q(owner.CheckBoxCaption()), this);
    checkBox_->setObjectName("DontShowAgain");
    checkBox_->setGeometry(layout.CheckBox.Left, layout.CheckBox.Top, layout.CheckBox.Width, layout.CheckBox.Height);
    checkBox_->setChecked(owner.ShowFlagPtr != nullptr && *owner.ShowFlagPtr == 0);
  }
  // Tab order: the default button first (it has the focus), the other buttons left to right, then
  // the check box.
  std::vector<QWidget*> order;
  if (first != nullptr) order.push_back(first);
  for (const MsgButtonPlace& place : layout.Buttons)
    if (buttons_[place.Button] != first) order.push_back(buttons_[place.Button]);
  if (checkBox_ != nullptr) order.push_back(checkBox_);
  for (size_t i = 1; i < order.size(); ++i) setTabOrder(order[i - 1], order[i]);
  if (first != nullptr) first->setFocus();

  setFixedSize(layout.ClientWidth, layout.ClientHeight);
}

bool TMessageForm::Press(TMsgDlgBtn b) {
  if (b >= kMsgDlgBtnCount || buttons_[b] == nullptr) return false;
  buttons_[b]->click();
  return true;
}

void TMessageForm::done(int r) {
  finished_ = true;
  QDialog::done(r);
}

void TMessageForm::keyPressEvent(QKeyEvent* e) {
  // Escape presses the Cancel button; with no such button it does nothing (the close box stays).
  if (e->key() == Qt::Key_Escape && e->modifiers() == Qt::NoModifier) {
    if (cancel_ != nullptr) cancel_->click();
    e->accept();
    return;
  }
  QDialog::keyPressEvent(e);
}

void TMessageForm::AnswerClick(TMsgDlgBtn b) {
  dlg_.ModalAnswer = b;
  // The flag is the caller's only while the check box exists to set it.
  if (dlg_.ShowFlagPtr != nullptr && checkBox_ != nullptr) *dlg_.ShowFlagPtr = checkBox_->isChecked() ? 0 : -1;
  if (dlg_.AnswerPtr != nullptr) *dlg_.AnswerPtr = dlg_.ModalAnswer;
  done(QDialog::Accepted);
}

void TMessageForm::HelpClick() {
  if (!dlg_.HelpFile.empty()) ShellOpen(dlg_.HelpFile);
}

// ---- The dialog.

TMessageDlg::TMessageDlg() : ButtonFont("Tahoma", 8), Font("Tahoma", 8), checkBoxCaption_(kDontShowAgain) {}

TMessageDlg::~TMessageDlg() = default;

void TMessageDlg::SetMsg(const std::string& msg) {
  msg_ = msg;
  if (Form != nullptr && Form->MessageLabel() != nullptr) Form->MessageLabel()->setText(Q(msg));
}

void TMessageDlg::SetCheckBoxCaption(const std::string& caption) {
  checkBoxCaption_ = caption.empty() ? "??" : caption;
}

MsgLayoutInput TMessageDlg::LayoutInput() const {
  MsgLayoutInput in;
  in.Msg = msg_;
  in.Buttons = Buttons;
  in.HasIcon = DlgType == mtCustom ? !CustomIcon.isNull() : MsgSystemIcon(DlgType) != 0;
  in.HasCheckBox = ShowFlagPtr != nullptr && AnswerPtr != nullptr;
  in.CheckBoxCaption = checkBoxCaption_;
  const QScreen* screen = QGuiApplication::primaryScreen();
  in.ScreenWidth = screen != nullptr ? screen->geometry().width() : 0;
  if (screen != nullptr) {
    in.WorkWidth = screen->availableGeometry().width();
    in.WorkHeight = screen->availableGeometry().height();
  }
  in.FrameWidth = kFrameAllowanceWidth;
  in.FrameHeight = kFrameAllowanceHeight;
  // The room the check box's own box takes beside its caption.
  const QStyle* style = QApplication::style();
  if (style != nullptr) in.ScrollBarWidth = style->pixelMetric(QStyle::PM_ScrollBarExtent);
  if (in.HasCheckBox && style != nullptr)
    in.CheckIndicatorWidth =
        style->pixelMetric(QStyle::PM_IndicatorWidth) + style->pixelMetric(QStyle::PM_CheckBoxLabelSpacing);
  return in;
}

uint8_t TMessageDlg::Execute(const std::string& msg, TMsgDlgType dlgType, TMsgDlgButtons buttons,
                             TMsgDlgBtn defaultButton) {
  ModalAnswer = mbCancel;
  msg_ = msg;
  DlgType = dlgType;
  Buttons = buttons;
  DefaultButton = defaultButton;
  if (ShowFlagPtr != nullptr && AnswerPtr != nullptr && *ShowFlagPtr == 0) {
    ModalAnswer = *AnswerPtr;
    return ModalAnswer;
  }

  // Without the widget application there is nothing to show the box on.
  if (qobject_cast<QApplication*>(QCoreApplication::instance()) == nullptr)
    throw std::runtime_error("A message box needs the QApplication");

  const MsgLayoutInput in = LayoutInput();
  const QIcon icon = dlgType == mtCustom ? CustomIcon : SystemIcon(dlgType);
  const MsgLayout layout = LayoutMessageForm(in, QtMsgTextMeasure(Font.resolve(QApplication::font())));

  // The form is released however the showing ends.
  struct Release {
    TMessageDlg& dlg;
    ~Release() {
      delete dlg.Form;
      dlg.Form = nullptr;
    }
  } release{*this};
  Form = new TMessageForm(*this, layout, icon);
  if (const QScreen* screen = QGuiApplication::primaryScreen()) {
    // Centred with its frame, and never above or left of the work area.
    const QRect work = screen->availableGeometry();
    const QPoint centred = work.center() - QPoint((layout.ClientWidth + in.FrameWidth) / 2,
                                                  (layout.ClientHeight + in.FrameHeight) / 2);
    Form->move(std::max(centred.x(), work.left()), std::max(centred.y(), work.top()));
  }
  if (const uint32_t kind = MsgBeepKind(dlgType)) MessageBeep(kind);

  KitAsk ask;
  ask.Kind = KitAskKind::Message;
  ask.Caption = Form->windowTitle().toStdString();
  ask.Text = msg_;
  for (const MsgButtonPlace& place : layout.Buttons) ask.Buttons.push_back(kButtons[place.Button].Caption);
  ask.Icon = !in.HasIcon ? 0 : dlgType == mtCustom ? kMsgAskCustomIcon : static_cast<int>(MsgSystemIcon(dlgType));
  ask.Flags = in.HasCheckBox ? static_cast<unsigned>(kMsgAskCheckBox) : 0u;
  ask.DefaultButton = HasMsgBtn(buttons, defaultButton) ? static_cast<int>(defaultButton) : -1;
  ask.Form = Form;
  KitAnswer answer;
  answer.Result = kMsgAnswerClose;
  answer.Checked = Form->CheckBox() != nullptr && Form->CheckBox()->isChecked();
  if (KitAskProvider(ask, answer)) {
    if (Form != nullptr && !Form->Finished()) {
      if (Form->CheckBox() != nullptr) Form->CheckBox()->setChecked(answer.Checked);
      if (answer.Result < 0 || answer.Result >= kMsgDlgBtnCount || !Form->Press(static_cast<TMsgDlgBtn>(answer.Result)))
        Form->reject();
      // A Help answer leaves the box open: it then ends as closed without a button.
      if (!Form->Finished()) Form->reject();
    }
  } else {
    Form->exec();
  }
  return ModalAnswer;
}

namespace {
std::string g_applicationTitle;
}  // namespace

std::string ApplicationTitle() { return g_applicationTitle; }

void SetApplicationTitle(const std::string& title) { g_applicationTitle = title; }

}  // namespace tavelo
