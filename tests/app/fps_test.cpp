// The frame-rate dialog: presets, the edit's number and its limits, and the two check boxes. The
// dialog and the preset list are answered through the kit's answer seam.
#include <gtest/gtest.h>

#include <QCheckBox>
#include <QDialog>
#include <QLineEdit>

#include <functional>
#include <string>

#include "app/common.h"
#include "app/w_tavelo_input_fps.h"
#include "kit/kit_answers.h"

namespace tavelo {
namespace {

// Answers the form with fill (run on the shown form) and result; answers a pop-up list with
// popupChoice and records its captions.
class FpsTest : public testing::Test {
 protected:
  void SetUp() override {
    SetKitAnswerProvider([this](const KitAsk& ask, KitAnswer& answer) {
      if (ask.Kind == KitAskKind::Form) {
        auto* form = dynamic_cast<TfrmFPS*>(ask.Form);
        if (form == nullptr) return false;
        shownText = form->edFrameRate->text().toStdString();
        shownSelection = form->edFrameRate->selectedText().toStdString();
        if (fill) fill(*form);
        answer.Result = result;
        return true;
      }
      if (ask.Kind == KitAskKind::Popup) {
        popupItems = ask.Buttons;
        answer.Result = popupChoice;
        return true;
      }
      return false;
    });
  }
  void TearDown() override { SetKitAnswerProvider(nullptr); }

  std::function<void(TfrmFPS&)> fill;
  int result = QDialog::Accepted;
  int popupChoice = 2147483647;
  std::vector<std::string> popupItems;
  std::string shownText, shownSelection;
};

TEST_F(FpsTest, PresetsInTheirOrder) {
  const auto& p = FrameRatePresets();
  ASSERT_EQ(p.size(), 11u);
  EXPECT_STREQ(p[0].Caption, " 1.00  fps");
  EXPECT_STREQ(p[2].Caption, "15.00  fps  (AVI standard)");
  EXPECT_STREQ(p[3].Caption, "23.98  fps  (NTSC film)");
  EXPECT_STREQ(p[10].Caption, "60.00  fps  (NTSC)");
  EXPECT_DOUBLE_EQ(p[3].Rate, 24000.0 / 1001.0);
  EXPECT_DOUBLE_EQ(p[6].Rate, 30000.0 / 1001.0);
  EXPECT_DOUBLE_EQ(p[9].Rate, 60000.0 / 1001.0);
}

TEST_F(FpsTest, PickingTheNtscPresetFillsTheEdit) {
  popupChoice = 6;
  fill = [](TfrmFPS& f) { f.btnPickFrameRateClick(); };
  double rate = 25;
  bool setAsDefault = false, show = true;
  ASSERT_TRUE(DlgEditFrameRate(rate, setAsDefault, show));
  ASSERT_EQ(popupItems.size(), 11u);
  EXPECT_EQ(popupItems[6], "29.97  fps  (NTSC)");
  EXPECT_DOUBLE_EQ(rate, 29.97002997);
}

TEST_F(FpsTest, PickListDismissedLeavesTheEdit) {
  TfrmFPS form;
  form.edFrameRate->setText("12.5");
  popupChoice = 2147483647;
  form.btnPickFrameRateClick();
  EXPECT_EQ(form.edFrameRate->text().toStdString(), "12.5");
  popupChoice = 6;
  form.btnPickFrameRateClick();
  EXPECT_EQ(form.edFrameRate->text().toStdString(), "29.97002997");
  EXPECT_EQ(form.edFrameRate->selectedText().toStdString(), "29.9700299");
}

TEST_F(FpsTest, TypedRatesAreLimited) {
  struct Case {
    const char* typed;
    double expected;
  } cases[] = {{"250", 100.0},      {"0", 0.01},  {"", 23.5},         {"abc", 23.5},
               {"12,5 fps", 100.0}, {"-5", 0.01}, {"7.5 fps", 7.5}};
  for (const Case& c : cases) {
    fill = [&](TfrmFPS& f) { f.edFrameRate->setText(c.typed); };
    double rate = 23.5;
    bool setAsDefault = false, show = true;
    ASSERT_TRUE(DlgEditFrameRate(rate, setAsDefault, show)) << c.typed;
    EXPECT_DOUBLE_EQ(rate, c.expected) << c.typed;
  }
}

TEST_F(FpsTest, StartingRateAndFlagsShownAndReadBack) {
  fill = [](TfrmFPS& f) {
    EXPECT_FALSE(f.chkSetAsDefault->isChecked());
    EXPECT_TRUE(f.chkShowThisDialog->isChecked());
    f.chkSetAsDefault->setChecked(true);
    f.chkShowThisDialog->setChecked(false);
  };
  double rate = 1234.0 / 100.0;
  bool setAsDefault = false, show = true;
  ASSERT_TRUE(DlgEditFrameRate(rate, setAsDefault, show));
  EXPECT_EQ(shownText, "12.34");
  EXPECT_EQ(shownSelection, "12.34");
  EXPECT_TRUE(setAsDefault);
  EXPECT_FALSE(show);
}

TEST_F(FpsTest, CancelChangesNothing) {
  result = QDialog::Rejected;
  fill = [](TfrmFPS& f) {
    f.edFrameRate->setText("50");
    f.chkSetAsDefault->setChecked(true);
    f.chkShowThisDialog->setChecked(false);
  };
  double rate = 25;
  bool setAsDefault = false, show = true;
  EXPECT_FALSE(DlgEditFrameRate(rate, setAsDefault, show));
  EXPECT_EQ(rate, 25);
  EXPECT_FALSE(setAsDefault);
  EXPECT_TRUE(show);
}

TEST_F(FpsTest, VListMenuReturnsTheRowOrNothing) {
  popupChoice = 1;
  EXPECT_EQ(VListMenu({"a", "b", "c"}), 1);
  EXPECT_EQ(popupItems, (std::vector<std::string>{"a", "b", "c"}));
  popupChoice = 2147483647;
  EXPECT_EQ(VListMenu({"a"}), 2147483647);
}

}  // namespace
}  // namespace tavelo
