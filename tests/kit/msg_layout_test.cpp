// The message dialog's geometry under a fixed fake metric: every character is 6 pixels wide
// (the '&' may be wider, to widen buttons), every line 13 high. So the average character is 6 x 13:
// horizontal margin 12, vertical margin 13, horizontal spacing 15, vertical spacing 16, button
// 96 x 24, button spacing 6.
#include "kit/msg_dlg.h"

#include <gtest/gtest.h>

#include <sstream>

namespace tavelo {
namespace {

class FakeMeasure : public MsgTextMeasure {
 public:
  explicit FakeMeasure(int ampWidth = 6) : amp_(ampWidth) {}
  void TextExtent(const std::string& text, int& width, int& height) const override {
    width = Width(text);
    height = 13;
  }
  // Greedy word wrap at blanks; '\n' starts a new line; a word wider than a line breaks where
  // the line ends.
  void WrappedExtent(const std::string& text, int maxWidth, int& width, int& height) const override {
    width = 0;
    int lines = 0;
    std::istringstream paragraphs(text);
    std::string paragraph;
    while (std::getline(paragraphs, paragraph)) {
      std::istringstream words(paragraph);
      std::string word, line;
      ++lines;
      while (words >> word) {
        const size_t perLine = static_cast<size_t>(std::max(maxWidth / 6, 1));
        while (word.size() > perLine) {
          if (!line.empty()) ++lines;
          width = std::max(width, Width(line));
          width = std::max(width, Width(word.substr(0, perLine)));
          line.clear();
          word.erase(0, perLine);
          ++lines;
        }
        const std::string candidate = line.empty() ? word : line + " " + word;
        if (!line.empty() && Width(candidate) > maxWidth) {
          width = std::max(width, Width(line));
          ++lines;
          line = word;
        } else {
          line = candidate;
        }
      }
      width = std::max(width, Width(line));
    }
    height = lines * 13;
  }

 private:
  int Width(const std::string& s) const {
    int w = 0;
    for (char c : s) w += c == '&' ? amp_ : 6;
    return w;
  }
  int amp_;
};

MsgLayoutInput Input(const std::string& msg, TMsgDlgButtons buttons, bool icon, bool checkBox = false) {
  MsgLayoutInput in;
  in.Msg = msg;
  in.Buttons = buttons;
  in.HasIcon = icon;
  in.HasCheckBox = checkBox;
  in.CheckBoxCaption = "&Don't show this message again.";  // 31 characters: 186 pixels
  in.ScreenWidth = 800;
  return in;
}

TEST(MsgLayout, MulDivRoundsHalvesAwayFromZero) {
  EXPECT_EQ(MulDiv(10, 13, 8), 16);  // 16.25
  EXPECT_EQ(MulDiv(15, 13, 8), 24);  // 24.375
  EXPECT_EQ(MulDiv(5, 3, 2), 8);     // 7.5
  EXPECT_EQ(MulDiv(-5, 3, 2), -8);
  EXPECT_EQ(MulDiv(8, 7, 4), 14);
  EXPECT_EQ(MulDiv(1, 1, 0), -1);
  EXPECT_EQ(MulDiv(65536, 65536, 1), -1) << "overflow";
}

TEST(MsgLayout, DialogUnitsComeFromTheAverageLetter) {
  const MsgLayout l = LayoutMessageForm(Input("Hi", MsgBtn(mbOK), true), FakeMeasure());
  EXPECT_EQ(l.AvgCharWidth, 6);
  EXPECT_EQ(l.AvgCharHeight, 13);
  EXPECT_EQ(l.HorzMargin, 12);
  EXPECT_EQ(l.VertMargin, 13);
  EXPECT_EQ(l.HorzSpacing, 15);
  EXPECT_EQ(l.VertSpacing, 16);
  EXPECT_EQ(l.ButtonWidth, 96);
  EXPECT_EQ(l.ButtonHeight, 24);
  EXPECT_EQ(l.ButtonSpacing, 6);
}

TEST(MsgLayout, IconTextAndOneButton) {
  // "Hello world": 66 x 13.
  const MsgLayout l = LayoutMessageForm(Input("Hello world", MsgBtn(mbOK), true), FakeMeasure());
  EXPECT_EQ(l.TextWidth, 66);
  EXPECT_EQ(l.TextHeight, 13);
  EXPECT_EQ(l.IconTextWidth, 66 + 15 + 32);
  EXPECT_EQ(l.IconTextHeight, 32) << "at least the icon's height";
  EXPECT_EQ(l.ClientWidth, 113 + 2 * 12);
  EXPECT_EQ(l.ClientHeight, 32 + 24 + 16 + 2 * 13);
  EXPECT_EQ(l.Image, (MsgRect{12, 13, 32, 32}));
  EXPECT_EQ(l.Message, (MsgRect{113 - 66 + 12, 13, 66, 13})) << "right of the icon";
  ASSERT_EQ(l.Buttons.size(), 1u);
  EXPECT_EQ(l.Buttons[0].Button, mbOK);
  EXPECT_EQ(l.Buttons[0].Rect, (MsgRect{(137 - 96) / 2, 32 + 13 + 16, 96, 24}));
  EXPECT_FALSE(l.HasCheckBox);
}

TEST(MsgLayout, ButtonsInValueOrderCentredWithTheCheckBoxBelowTheText) {
  MsgLayoutInput in = Input("Hello world", MsgBtn(mbNo) | MsgBtn(mbYes), true, true);
  in.CheckIndicatorWidth = 20;
  const MsgLayout l = LayoutMessageForm(in, FakeMeasure());
  // Check box: caption 186 + icon room 47 + margin 12 + 16 = 261 is the widest part.
  EXPECT_EQ(l.CheckBoxWidth, 261);
  EXPECT_EQ(l.CheckBoxExtra, 30);
  EXPECT_EQ(l.ClientWidth, 261 + 24);
  EXPECT_EQ(l.ClientHeight, 32 + 24 + 30 + 16 + 26);
  ASSERT_TRUE(l.HasCheckBox);
  EXPECT_EQ(l.CheckBox, (MsgRect{59, 13 + 13 + 30 - 17, 186 + 10 + 20, 13 + 10}));
  ASSERT_EQ(l.Buttons.size(), 2u);
  const int group = 2 * 96 + 6;
  EXPECT_EQ(l.ButtonGroupWidth, group);
  const int top = 32 + 13 + 16 + 30;
  EXPECT_EQ(l.Buttons[0].Button, mbYes);
  EXPECT_EQ(l.Buttons[0].Rect, (MsgRect{(285 - group) / 2, top, 96, 24}));
  EXPECT_EQ(l.Buttons[1].Button, mbNo);
  EXPECT_EQ(l.Buttons[1].Rect, (MsgRect{(285 - group) / 2 + 102, top, 96, 24}));
}

TEST(MsgLayout, ButtonsWidenToTheWidestCaptionShown) {
  // A 40-pixel '&': "Yes to &All" is 10 x 6 + 40 = 100, plus 8 = 108 > 96; "OK" alone keeps 96.
  const MsgLayout wide = LayoutMessageForm(Input("x", MsgBtn(mbOK) | MsgBtn(mbYesToAll), true), FakeMeasure(40));
  EXPECT_EQ(wide.ButtonWidth, 108);
  EXPECT_EQ(wide.ButtonGroupWidth, 2 * 108 + 6);
  EXPECT_EQ(wide.ClientWidth, 2 * 108 + 6 + 24) << "the button row is the widest part";
  const MsgLayout narrow = LayoutMessageForm(Input("x", MsgBtn(mbOK), true), FakeMeasure(40));
  EXPECT_EQ(narrow.ButtonWidth, 96);
}

TEST(MsgLayout, CustomWithoutIconReservesNoRoom) {
  const MsgLayout l = LayoutMessageForm(Input("Hello world", MsgBtn(mbOK), false), FakeMeasure());
  EXPECT_FALSE(l.HasIcon);
  EXPECT_EQ(l.IconTextWidth, 66);
  EXPECT_EQ(l.IconTextHeight, 13);
  EXPECT_EQ(l.Message.Left, 12) << "the text starts at the margin";
  EXPECT_EQ(l.ClientWidth, 96 + 24);
  EXPECT_EQ(l.ClientHeight, 13 + 24 + 16 + 26);
}

TEST(MsgLayout, NoButtonsShowsOnlyIconAndText) {
  const MsgLayout l = LayoutMessageForm(Input("Hello world", 0, true), FakeMeasure());
  EXPECT_TRUE(l.Buttons.empty());
  EXPECT_EQ(l.ButtonHeight, 0);
  EXPECT_EQ(l.ButtonGroupWidth, 0);
  EXPECT_EQ(l.ClientWidth, 113 + 24);
  EXPECT_EQ(l.ClientHeight, 32 + 16 + 26);
}

TEST(MsgLayout, LongSingleLineWrapsAtHalfTheScreen) {
  std::string msg;
  for (int i = 0; i < 10; ++i) msg += i == 0 ? "abcd" : " abcd";  // 30 pixels a word with its blank
  MsgLayoutInput in = Input(msg, MsgBtn(mbOK), true);
  in.ScreenWidth = 400;
  const MsgLayout l = LayoutMessageForm(in, FakeMeasure());
  EXPECT_EQ(l.TextWidth, 6 * 30 - 6) << "six words fit in 200 pixels";
  EXPECT_EQ(l.TextHeight, 26);
  EXPECT_EQ(l.IconTextHeight, 32);
  in.ScreenWidth = 800;
  EXPECT_EQ(LayoutMessageForm(in, FakeMeasure()).TextHeight, 13) << "one line in 400 pixels";
}

TEST(MsgLayout, TallTextPushesTheButtonsDown) {
  const MsgLayout l = LayoutMessageForm(Input("a\nb\nc\nd", MsgBtn(mbOK), true), FakeMeasure());
  EXPECT_EQ(l.TextHeight, 52);
  EXPECT_EQ(l.IconTextHeight, 52);
  EXPECT_EQ(l.Buttons[0].Rect.Top, 52 + 13 + 16);
}

// A box never passes the screen's work area (with the room kept for the window frame): long words
// break, text taller than the room scrolls beside a scroll bar, and the buttons stay below the
// visible text, inside the box.
TEST(MsgLayout, ABoxPastTheScreenStaysInsideTheWorkArea) {
  std::string lines;
  for (int i = 0; i < 120; ++i) lines += "line " + std::to_string(i) + "\n";
  const std::string name = "File \"/" + std::string(199, 'n') + "\" is not supported.";
  struct Case {
    const char* what;
    std::string msg;
    int workWidth, workHeight;
    bool scrolls;
  };
  const Case cases[] = {
      {"200-character name", name, 1280, 1024, false},
      {"120 lines", lines, 1280, 1024, true},
      {"both", name + "\n" + lines, 1280, 1024, true},
      {"narrow work area", name, 400, 1024, false},
      {"low work area", name, 400, 200, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    MsgLayoutInput in = Input(c.msg, MsgBtn(mbYes) | MsgBtn(mbNo), true, true);
    in.ScreenWidth = 1280;
    in.WorkWidth = c.workWidth;
    in.WorkHeight = c.workHeight;
    in.FrameWidth = 16;
    in.FrameHeight = 48;
    in.ScrollBarWidth = 17;
    const MsgLayout l = LayoutMessageForm(in, FakeMeasure());
    EXPECT_LE(l.ClientWidth + in.FrameWidth, c.workWidth);
    EXPECT_LE(l.ClientHeight + in.FrameHeight, c.workHeight);
    EXPECT_EQ(l.TextScrolls, c.scrolls);
    EXPECT_LE(l.TextView.Left + l.TextView.Width, l.ClientWidth - l.HorzMargin);
    if (c.scrolls) {
      EXPECT_LT(l.TextView.Height, l.TextHeight);
      EXPECT_EQ(l.TextView.Width, l.TextWidth + in.ScrollBarWidth);
      EXPECT_EQ(l.Message, (MsgRect{0, 0, l.TextWidth, l.TextHeight}));
    } else {
      EXPECT_EQ(l.Message, l.TextView);
    }
    EXPECT_GE(l.CheckBox.Top, l.TextView.Top + l.TextView.Height);
    for (const MsgButtonPlace& b : l.Buttons) {
      EXPECT_GE(b.Rect.Top, l.CheckBox.Top + l.CheckBox.Height);
      EXPECT_LE(b.Rect.Top + b.Rect.Height, l.ClientHeight);
      EXPECT_LE(b.Rect.Left + b.Rect.Width, l.ClientWidth);
    }
  }
}

}  // namespace
}  // namespace tavelo
