// The message dialog as shown: every showing is answered through the answer seam, which may also
// drive the form itself (keys, clicks) or render it; nothing waits in a modal loop.
#include "kit/msg_dlg.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <QApplication>
#include <QCheckBox>
#include <QImage>
#include <QLabel>
#include <QPainter>
#include <QPushButton>
#include <QKeyEvent>
#include <QScreen>
#include <QScrollArea>
#include <QScrollBar>

#include <chrono>
#include <functional>
#include <thread>
#include <vector>

#include "kit/kit_answers.h"
#include "platform/shell/shell.h"
#include "tests/support/test_env.h"

namespace tavelo {
namespace {

std::vector<uint32_t> g_beeps;
void RecordBeep(uint32_t kind) { g_beeps.push_back(kind); }

// Installs a provider for one test and removes it afterwards.
class MsgDlgTest : public testing::Test {
 protected:
  void SetUp() override {
    g_beeps.clear();
    SetMessageBeepHook(&RecordBeep);
  }
  void TearDown() override {
    SetKitAnswerProvider({});
    SetMessageBeepHook(nullptr);
  }
  void Answer(std::function<bool(const KitAsk&, KitAnswer&)> provider) {
    SetKitAnswerProvider([this, provider](const KitAsk& ask, KitAnswer& answer) {
      ++asked;
      last = ask;
      return provider(ask, answer);
    });
  }
  static TMessageForm* FormOf(const KitAsk& ask) { return static_cast<TMessageForm*>(ask.Form); }

  int asked = 0;
  KitAsk last;
};

TEST_F(MsgDlgTest, EscapePressesTheCancelButtonOfEachButtonSet) {
  struct Case {
    TMsgDlgButtons buttons;
    uint8_t result;
    bool handled;  // whether a button answered (the remembered answer is written)
  };
  const Case cases[] = {
      {static_cast<TMsgDlgButtons>(MsgBtn(mbYes) | MsgBtn(mbNo)), mbNo, true},
      {MsgBtn(mbOK), mbOK, true},
      {static_cast<TMsgDlgButtons>(MsgBtn(mbOK) | MsgBtn(mbCancel)), mbCancel, true},
      {static_cast<TMsgDlgButtons>(MsgBtn(mbYes) | MsgBtn(mbNo) | MsgBtn(mbCancel)), mbCancel, true},
      {static_cast<TMsgDlgButtons>(MsgBtn(mbNo) | MsgBtn(mbOK)), mbNo, true},
      // No Cancel, No or OK button: Escape does nothing; the box then ends by its close box.
      {static_cast<TMsgDlgButtons>(MsgBtn(mbAbort) | MsgBtn(mbRetry) | MsgBtn(mbIgnore)), mbCancel, false},
  };
  Answer([](const KitAsk& ask, KitAnswer& answer) {
    QKeyEvent press(QEvent::KeyPress, Qt::Key_Escape, Qt::NoModifier);
    QApplication::sendEvent(FormOf(ask), &press);
    answer.Result = kMsgAnswerClose;
    return true;
  });
  for (const Case& c : cases) {
    TMessageDlg dlg;
    uint8_t remembered = 77;
    dlg.AnswerPtr = &remembered;
    EXPECT_EQ(dlg.Execute("Escape?", mtConfirmation, c.buttons, mbYes), c.result) << c.buttons;
    EXPECT_EQ(remembered, c.handled ? c.result : 77) << c.buttons;
    EXPECT_EQ(dlg.Form, nullptr) << "the form is released";
  }
}

TEST_F(MsgDlgTest, ClosingWithTheCloseBoxAnswersCancelAndWritesNothing) {
  Answer([](const KitAsk& ask, KitAnswer&) {
    // The window's own close: shown, then closed as Alt+F4 or the close box would.
    TMessageForm* form = FormOf(ask);
    form->CheckBox()->setChecked(true);
    form->show();
    form->close();
    return true;
  });
  TMessageDlg dlg;
  TShowFlag flag = -1;
  uint8_t remembered = 0;
  dlg.ShowFlagPtr = &flag;
  dlg.AnswerPtr = &remembered;
  EXPECT_EQ(dlg.Execute("Close me", mtWarning, MsgBtn(mbYes) | MsgBtn(mbNo), mbYes), mbCancel);
  EXPECT_EQ(dlg.ModalAnswer, mbCancel);
  EXPECT_EQ(flag, -1);
  EXPECT_EQ(remembered, 0);
}

TEST_F(MsgDlgTest, DontShowAgainRemembersTheAnswerAndLaterReturnsItUnshown) {
  Answer([](const KitAsk& ask, KitAnswer& answer) {
    EXPECT_TRUE(ask.Flags & kMsgAskCheckBox);
    EXPECT_FALSE(answer.Checked) << "the box starts unticked";
    answer.Checked = true;
    answer.Result = mbYes;
    return true;
  });
  TMessageDlg dlg;
  TShowFlag flag = -1;
  uint8_t remembered = 1;
  dlg.ShowFlagPtr = &flag;
  dlg.AnswerPtr = &remembered;
  EXPECT_EQ(dlg.Execute("Again?", mtConfirmation, MsgBtn(mbYes) | MsgBtn(mbNo), mbNo), mbYes);
  EXPECT_EQ(flag, 0);
  EXPECT_EQ(remembered, mbYes);
  EXPECT_EQ(asked, 1);
  g_beeps.clear();

  TMessageDlg later;
  later.ShowFlagPtr = &flag;
  later.AnswerPtr = &remembered;
  EXPECT_EQ(later.Execute("Again?", mtConfirmation, MsgBtn(mbYes) | MsgBtn(mbNo), mbNo), mbYes);
  EXPECT_EQ(asked, 1) << "no form was shown";
  EXPECT_TRUE(g_beeps.empty()) << "and nothing sounded";

  // Unticked again: the flag says show.
  Answer([](const KitAsk&, KitAnswer& answer) {
    answer.Checked = false;
    answer.Result = mbNo;
    return true;
  });
  flag = -1;
  TMessageDlg third;
  third.ShowFlagPtr = &flag;
  third.AnswerPtr = &remembered;
  EXPECT_EQ(third.Execute("Again?", mtConfirmation, MsgBtn(mbYes) | MsgBtn(mbNo), mbNo), mbNo);
  EXPECT_NE(flag, 0);
  EXPECT_EQ(remembered, mbNo);
}

TEST_F(MsgDlgTest, AShowFlagWithoutAnAnswerPointerHasNoCheckBoxAndIsNotWritten) {
  Answer([](const KitAsk& ask, KitAnswer& answer) {
    EXPECT_FALSE(ask.Flags & kMsgAskCheckBox);
    EXPECT_EQ(FormOf(ask)->CheckBox(), nullptr);
    EXPECT_EQ(FormOf(ask)->findChild<QCheckBox*>("DontShowAgain"), nullptr);
    answer.Result = mbOK;
    return true;
  });
  TMessageDlg dlg;
  TShowFlag flag = 5;
  dlg.ShowFlagPtr = &flag;
  EXPECT_EQ(dlg.Execute("Flag only", mtInformation, MsgBtn(mbOK), mbOK), mbOK);
  EXPECT_EQ(flag, 5);
}

TEST_F(MsgDlgTest, WhatIsAskedAndWhatSounds) {
  struct Case {
    TMsgDlgType type;
    int icon;
    std::vector<uint32_t> beeps;
  };
  const Case cases[] = {{mtWarning, 32515, {0x30}},
                        {mtError, 32513, {0x10}},
                        {mtInformation, 32516, {0x40}},
                        {mtConfirmation, 32514, {0x20}},
                        {mtCustom, 0, {}}};
  Answer([](const KitAsk&, KitAnswer& answer) {
    answer.Result = mbNo;
    return true;
  });
  SetApplicationTitle("Tavelo Test");
  for (const Case& c : cases) {
    g_beeps.clear();
    TMessageDlg dlg;
    const TMsgDlgButtons buttons = MsgBtn(mbHelp) | MsgBtn(mbNo) | MsgBtn(mbYes) | MsgBtn(mbNoToAll);
    EXPECT_EQ(dlg.Execute("What?", c.type, buttons, mbNo), mbNo);
    EXPECT_EQ(last.Kind, KitAskKind::Message);
    EXPECT_EQ(last.Caption, "Tavelo Test") << "the application's title";
    EXPECT_EQ(last.Text, "What?");
    EXPECT_EQ(last.Icon, c.icon) << int(c.type);
    EXPECT_EQ(last.Buttons, (std::vector<std::string>{"&Yes", "&No", "N&o to All", "Help"}));
    EXPECT_EQ(last.DefaultButton, mbNo);
    EXPECT_EQ(g_beeps, c.beeps) << int(c.type);
  }
  TMessageDlg custom;
  custom.CustomCaption = "Own caption";
  custom.Execute("x", mtCustom, MsgBtn(mbOK), mbOK);
  EXPECT_EQ(last.Caption, "Own caption");
  SetApplicationTitle("");
}

TEST_F(MsgDlgTest, ButtonsCarryTheirNamesTagsAndTheDefault) {
  Answer([](const KitAsk& ask, KitAnswer& answer) {
    TMessageForm* form = FormOf(ask);
    for (int b = 0; b < kMsgDlgBtnCount; ++b) {
      QPushButton* button = form->findChild<QPushButton*>(MsgButtonName(b));
      EXPECT_NE(button, nullptr) << b;
      if (button == nullptr) continue;
      EXPECT_EQ(button->text().toStdString(), MsgButtonCaption(b));
      EXPECT_EQ(button->property("Tag").toInt(), b);
      EXPECT_EQ(button->isDefault(), b == mbRetry) << b;
    }
    EXPECT_EQ(form->CancelButton(), form->Button(mbCancel));
    answer.Result = mbRetry;
    return true;
  });
  TMessageDlg dlg;
  EXPECT_EQ(dlg.Execute("All of them", mtWarning, 0x7FF, mbRetry), mbRetry);
}

TEST_F(MsgDlgTest, TabGoesFromTheDefaultButtonThroughTheOthersLeftToRightThenTheCheckBox) {
  std::vector<std::string> order;
  Answer([&](const KitAsk& ask, KitAnswer& answer) {
    TMessageForm* form = FormOf(ask);
    form->show();
    QApplication::processEvents();
    // Each Tab moves the focus one step along the chain from the default button.
    QWidget* at = form->Button(mbNo);
    for (int i = 0; i < 5 && at != nullptr; ++i) {
      order.push_back(at->objectName().toStdString());
      at = at->nextInFocusChain();
      while (at != nullptr && at != form && !(at->focusPolicy() & Qt::TabFocus)) at = at->nextInFocusChain();
    }
    answer.Result = mbNo;
    return true;
  });
  TMessageDlg dlg;
  TShowFlag flag = -1;
  uint8_t remembered = 0;
  dlg.ShowFlagPtr = &flag;
  dlg.AnswerPtr = &remembered;
  dlg.Execute("Which?", mtConfirmation, MsgBtn(mbYes) | MsgBtn(mbNo) | MsgBtn(mbOK) | MsgBtn(mbHelp), mbNo);
  EXPECT_EQ(order, (std::vector<std::string>{MsgButtonName(mbNo), MsgButtonName(mbYes), MsgButtonName(mbOK),
                                             MsgButtonName(mbHelp), "DontShowAgain"}));
}

TEST_F(MsgDlgTest, HelpOpensTheHelpFileAndKeepsTheBoxOpen) {
  const std::string dir = test::MakeTempDir("help");
  const std::string opener = dir + "/opener.sh", marker = dir + "/opened.txt", help = dir + "/manual.txt";
  test::WriteFile(opener,
                  "#!/bin/sh\nprintf '%s' \"$1\" > " + marker + ".tmp && mv " + marker + ".tmp " + marker + "\n");
  ASSERT_EQ(::chmod(opener.c_str(), 0755), 0);
  test::WriteFile(help, "help");
  platform::SetDesktopOpener(opener);
  Answer([](const KitAsk& ask, KitAnswer& answer) {
    TMessageForm* form = FormOf(ask);
    EXPECT_TRUE(form->Press(mbHelp));
    EXPECT_FALSE(form->Finished()) << "Help leaves the box open";
    answer.Result = mbOK;
    return true;
  });
  TMessageDlg dlg;
  dlg.HelpFile = help;
  EXPECT_EQ(dlg.Execute("Need help?", mtInformation, MsgBtn(mbOK) | MsgBtn(mbHelp), mbOK), mbOK);
  platform::SetDesktopOpener("");
  std::string opened;
  for (int i = 0; i < 200 && opened.empty(); ++i) {
    opened = test::ReadFile(marker);
    if (opened.empty()) std::this_thread::sleep_for(std::chrono::milliseconds(25));
  }
  EXPECT_EQ(opened, help);
}

TEST_F(MsgDlgTest, MsgSetWhileShownChangesTheShownText) {
  TMessageDlg dlg;
  Answer([&dlg](const KitAsk& ask, KitAnswer& answer) {
    dlg.SetMsg("Changed");
    EXPECT_EQ(FormOf(ask)->MessageLabel()->text(), "Changed");
    answer.Result = mbOK;
    return true;
  });
  dlg.Execute("First", mtInformation, MsgBtn(mbOK), mbOK);
  EXPECT_EQ(dlg.Msg(), "Changed");
  dlg.SetCheckBoxCaption("");
  EXPECT_EQ(dlg.CheckBoxCaption(), "??");
}

TEST_F(MsgDlgTest, AFailureWhileShownReleasesTheFormAndPasses) {
  TMessageDlg dlg;
  Answer([](const KitAsk&, KitAnswer&) -> bool { throw std::runtime_error("shown badly"); });
  EXPECT_THROW(dlg.Execute("x", mtError, MsgBtn(mbOK), mbOK), std::runtime_error);
  EXPECT_EQ(dlg.Form, nullptr);
}

// ---- Rendering each kind of box offscreen.

// Pixels of img inside r that differ from the background colour.
int Ink(const QImage& img, const QRect& r, QRgb background) {
  int n = 0;
  for (int y = std::max(r.top(), 0); y <= std::min(r.bottom(), img.height() - 1); ++y)
    for (int x = std::max(r.left(), 0); x <= std::min(r.right(), img.width() - 1); ++x)
      if ((img.pixel(x, y) & 0xFFFFFF) != (background & 0xFFFFFF)) ++n;
  return n;
}

QRect R(const MsgRect& r) { return QRect(r.Left, r.Top, r.Width, r.Height); }

// The message label drawn with room to spare below and right: any ink outside the layout's
// rectangle is text that the form would clip.
void ExpectTextFits(QLabel* label, const MsgRect& rect) {
  const QSize size = label->size();
  // Word wrap depends on the width: the same width as in the form, with room below.
  label->resize(rect.Width, rect.Height + 200);
  QImage img(label->size(), QImage::Format_RGB32);
  const QRgb background = 0xFF00FF;
  img.fill(background);
  label->render(&img, QPoint(), QRegion(), QWidget::DrawChildren);
  label->resize(size);
  EXPECT_GT(Ink(img, QRect(0, 0, rect.Width, rect.Height), background), 20) << "the text is drawn";
  EXPECT_EQ(Ink(img, QRect(0, rect.Height, rect.Width, 200), background), 0) << "no line falls below the box";
}

struct RenderCase {
  const char* name;
  TMsgDlgType type;
  TMsgDlgButtons buttons;
  bool customIcon;
  bool checkBox;
  std::string msg;
};

void InspectRendered(TMessageForm* form, const TMessageDlg& dlg, const RenderCase& c) {
  const MsgLayout& l = form->Layout();
  // The form's layout is the pure layout over the form font's metrics.
  const MsgLayout fresh = LayoutMessageForm(dlg.LayoutInput(), QtMsgTextMeasure(form->font()));
  EXPECT_EQ(fresh.ClientWidth, l.ClientWidth);
  EXPECT_EQ(fresh.ClientHeight, l.ClientHeight);
  EXPECT_EQ(form->size(), QSize(l.ClientWidth, l.ClientHeight));

  const QImage img = form->grab().toImage();
  ASSERT_EQ(img.size(), QSize(l.ClientWidth, l.ClientHeight));
  const QRgb bg = form->palette().color(QPalette::Window).rgb();
  EXPECT_EQ(img.pixel(1, 1) & 0xFFFFFF, bg & 0xFFFFFF);

  // Icon: drawn in its square when the kind has one; nothing there otherwise.
  const bool icon = c.type != mtCustom || c.customIcon;
  EXPECT_EQ(l.HasIcon, icon);
  if (icon) {
    EXPECT_GT(Ink(img, R(l.Image), bg), 150) << "the icon is drawn";
    if (c.customIcon) {
      EXPECT_EQ(img.pixel(l.Image.Left + 16, l.Image.Top + 16) & 0xFFFFFF, 0xFF0000u);
    }
    EXPECT_GE(l.Message.Left, l.Image.Left + 32) << "the text stands right of the icon";
  } else {
    EXPECT_EQ(form->findChild<QLabel*>("Image"), nullptr);
    EXPECT_EQ(l.Message.Left, l.HorzMargin);
  }

  // Text: drawn, inside its box, and nothing cut off.
  QLabel* label = form->findChild<QLabel*>("Message");
  ASSERT_NE(label, nullptr);
  EXPECT_EQ(label->geometry(), R(l.Message));
  EXPECT_GT(Ink(img, R(l.Message), bg), 50);
  ExpectTextFits(label, l.Message);

  // Buttons: each where the layout puts it, its face drawn there, background between them.
  int count = 0;
  for (int b = 0; b < kMsgDlgBtnCount; ++b) count += HasMsgBtn(c.buttons, b);
  ASSERT_EQ(static_cast<int>(l.Buttons.size()), count);
  for (const MsgButtonPlace& place : l.Buttons) {
    QPushButton* button = form->Button(place.Button);
    ASSERT_NE(button, nullptr);
    EXPECT_EQ(button->geometry(), R(place.Rect));
    EXPECT_GT(Ink(img, R(place.Rect), bg), place.Rect.Width) << MsgButtonName(place.Button);
    EXPECT_EQ(Ink(img, QRect(place.Rect.Left - 3, place.Rect.Top, 2, place.Rect.Height), bg), 0)
        << "background left of " << MsgButtonName(place.Button);
    EXPECT_LE(place.Rect.Left + place.Rect.Width, l.ClientWidth - l.HorzMargin + 1);
  }
  if (count == 0) {
    EXPECT_EQ(l.ButtonHeight, 0);
    EXPECT_EQ(Ink(img, QRect(0, l.IconTextHeight + l.VertMargin + 1, l.ClientWidth, l.VertSpacing), bg), 0);
  }

  // The check box: where the layout says, its caption not cut off.
  QCheckBox* check = form->CheckBox();
  EXPECT_EQ(check != nullptr, c.checkBox);
  if (check != nullptr) {
    EXPECT_EQ(check->geometry(), R(l.CheckBox));
    EXPECT_GE(l.CheckBox.Width, check->sizeHint().width()) << "the caption fits";
    EXPECT_LE(l.CheckBox.Left + l.CheckBox.Width, l.ClientWidth);
    EXPECT_GT(Ink(img, R(l.CheckBox), bg), 50);
  }
}

TEST_F(MsgDlgTest, MarkupInTheTextIsShownAsWritten) {
  // A file name may hold what looks like markup: the box shows the characters, not a rendering.
  const QString text = QStringLiteral("File \"<b>x</b><br><h1>y</h1>.png\" is not supported.");
  QImage shown, literal;
  Answer([&](const KitAsk& ask, KitAnswer& answer) {
    // Both labels draw their text alone onto the same canvas.
    const auto draw = [](QLabel* label) {
      QImage img(label->size(), QImage::Format_RGB32);
      img.fill(Qt::magenta);
      label->render(&img, QPoint(), QRegion(), QWidget::RenderFlags());
      return img;
    };
    QLabel* label = FormOf(ask)->MessageLabel();
    shown = draw(label);
    QLabel reference;
    reference.setFont(label->font());
    reference.setPalette(label->palette());
    reference.setWordWrap(true);
    reference.setAlignment(label->alignment());
    reference.setTextFormat(Qt::PlainText);
    reference.setText(text);
    reference.resize(label->size());
    literal = draw(&reference);
    answer.Result = mbOK;
    return true;
  });
  TMessageDlg dlg;
  dlg.Execute(text.toStdString(), mtError, MsgBtn(mbOK), mbOK);
  ASSERT_FALSE(shown.isNull());
  EXPECT_EQ(shown, literal);
}

TEST_F(MsgDlgTest, EveryKindOfBoxRendersIconTextAndButtonsWhereTheLayoutSays) {
  QPixmap red(32, 32);
  red.fill(Qt::red);
  const std::string longText =
      "This is a long message that has to wrap over several lines, because a single line of it would be "
      "wider than half of the screen, and the box must still show every word of it without cutting the "
      "last line.\tTabs are expanded too.";
  const RenderCase cases[] = {
      {"warning", mtWarning, MsgBtn(mbOK), false, false, "Careful: this is a warning."},
      {"error", mtError, MsgBtn(mbOK), false, false, longText},
      {"information", mtInformation, MsgBtn(mbOK), false, true, "For your information."},
      {"confirmation", mtConfirmation, static_cast<TMsgDlgButtons>(MsgBtn(mbYes) | MsgBtn(mbNo)), false, false,
       "Do you want to replace it?"},
      {"custom icon", mtCustom, static_cast<TMsgDlgButtons>(MsgBtn(mbAbort) | MsgBtn(mbRetry) | MsgBtn(mbIgnore)),
       true, false, "A box with its own icon."},
      {"custom plain", mtCustom, MsgBtn(mbOK), false, false, "No icon at all."},
      {"no buttons", mtWarning, 0, false, false, "Nothing to press."},
  };
  for (const RenderCase& c : cases) {
    SCOPED_TRACE(c.name);
    TMessageDlg dlg;
    if (c.customIcon) dlg.CustomIcon = QIcon(red);
    TShowFlag flag = -1;
    uint8_t remembered = 0;
    if (c.checkBox) {
      dlg.ShowFlagPtr = &flag;
      dlg.AnswerPtr = &remembered;
    }
    bool rendered = false;
    Answer([&](const KitAsk& ask, KitAnswer& answer) {
      InspectRendered(FormOf(ask), dlg, c);
      rendered = true;
      answer.Result = mbOK;
      return true;
    });
    dlg.Execute(c.msg, c.type, c.buttons, mbOK);
    EXPECT_TRUE(rendered);
  }
}

// A file name with no blank wider than the screen, and text taller than it: in the program's font
// the layout for a 1280 x 1024 work area keeps the box inside it, and the box shown on this
// screen fits its work area, the long text scrolling, every button inside the box.
TEST_F(MsgDlgTest, ABoxPastTheScreenStaysInsideTheWorkArea) {
  std::string lines;
  for (int i = 0; i < 120; ++i) lines += "Line " + std::to_string(i) + "\n";
  const std::string name = "File \"/" + std::string(199, 'n') + "\" is not supported.";
  struct Case {
    const char* what;
    std::string msg;
    bool scrolls;
  };
  const Case cases[] = {{"200-character name", name, false}, {"120 lines", lines, true}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    TMessageDlg dlg;
    MsgLayoutInput in;
    in.Msg = c.msg;
    in.HasIcon = true;
    in.ScreenWidth = in.WorkWidth = 1280;
    in.WorkHeight = 1024;
    in.FrameWidth = 16;
    in.FrameHeight = 48;
    in.ScrollBarWidth = 17;
    const MsgLayout big = LayoutMessageForm(in, QtMsgTextMeasure(dlg.Font.resolve(QApplication::font())));
    EXPECT_LE(big.ClientWidth + 16, 1280);
    EXPECT_LE(big.ClientHeight + 48, 1024);

    Answer([&](const KitAsk& ask, KitAnswer& answer) {
      TMessageForm* form = FormOf(ask);
      const MsgLayout& l = form->Layout();
      const QRect work = QGuiApplication::primaryScreen()->availableGeometry();
      EXPECT_LE(form->width(), work.width());
      EXPECT_LE(form->height(), work.height());
      EXPECT_EQ(l.TextScrolls, c.scrolls);
      QPushButton* ok = form->Button(mbOK);
      EXPECT_TRUE(form->rect().contains(ok->geometry()));
      auto* view = form->findChild<QScrollArea*>();
      EXPECT_EQ(view != nullptr, c.scrolls);
      if (view != nullptr) {
        EXPECT_EQ(view->widget(), form->MessageLabel());
        EXPECT_GT(view->verticalScrollBar()->maximum(), 0) << "the rest of the text is scrolled to";
        EXPECT_LE(view->geometry().bottom(), ok->geometry().top());
      }
      answer.Result = mbOK;
      return true;
    });
    EXPECT_EQ(dlg.Execute(c.msg, mtInformation, MsgBtn(mbOK), mbOK), mbOK);
  }
}

}  // namespace
}  // namespace tavelo
