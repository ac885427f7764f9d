// The player's options: the dialog's values in and out (OK, Cancel, text that is not a number,
// a rate above what the engine plays), and saving and loading the eight settings, with a missing
// key and values that are not numbers in the store.
#include "player/mp_opt.h"

#include <gtest/gtest.h>

#include <QCheckBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QRadioButton>
#include "kit/tracker.h"

#include <cmath>
#include <limits>
#include <memory>

#include "core/services/reg_utils.h"
#include "engine_fakes.h"
#include "player/med_player.h"
#include "player/player_action.h"
#include "player_test_util.h"

namespace tavelo {
namespace {

class Options : public testing::Test {
 protected:
  void SetUp() override {
    test::LoadCodecs();
    test::FakeMedia::Get().Reset(&clock_);
    player_ = std::make_unique<QMedPlayer>(&host_, &clock_, &test::FakeMedia::Access());
  }
  void TearDown() override {
    player_.reset();
    ConformUnitDone();
  }
  // Runs the options command; edit changes the form, the answer is its modal result.
  void RunOptions(const std::function<void(TfrmMpOpt&)>& edit, int result) {
    int asked = 0;
    test::Answers answers([&](const KitAsk& ask, KitAnswer& answer) {
      if (ask.Kind != KitAskKind::Form || ask.Caption != "TfrmMpOpt") return false;
      ++asked;
      auto* form = static_cast<TfrmMpOpt*>(ask.Form);
      EXPECT_EQ(form->windowTitle(), "Options");
      // The designed client area, widened only where the font's captions need it.
      EXPECT_GE(form->width(), 414);
      EXPECT_EQ(form->height(), 275);
      edit(*form);
      answer.Result = result;
      return true;
    });
    player_->Action(paOptions)->Click();
    EXPECT_EQ(asked, 1);
  }

  test::FakeClock clock_;
  QWidget host_;  // the main window the control sits in
  std::unique_ptr<QMedPlayer> player_;
};

// Every caption of the dialog shows whole in the default font: each label and button is as wide as
// its caption needs, inside its box, clear of its neighbours; each box inside the form.
TEST(OptionsDialog, EveryCaptionShowsWholeInTheDefaultFont) {
  TfrmMpOpt form(nullptr);
  const auto clear = [](QWidget* parent) {
    const QList<QWidget*> kids = parent->findChildren<QWidget*>(Qt::FindDirectChildrenOnly);
    for (QWidget* w : kids) {
      EXPECT_TRUE(parent->rect().contains(w->geometry())) << w->objectName().toStdString();
      for (QWidget* other : kids) {
        if (other == w) continue;
        EXPECT_FALSE(w->geometry().intersects(other->geometry())) << w->objectName().toStdString();
      }
    }
  };
  clear(&form);
  int captions = 0;
  for (QGroupBox* box : form.findChildren<QGroupBox*>()) {
    SCOPED_TRACE(box->title().toStdString());
    clear(box);
    for (QWidget* w : box->findChildren<QWidget*>()) {
      if (qobject_cast<QLabel*>(w) == nullptr && qobject_cast<QAbstractButton*>(w) == nullptr) continue;
      ++captions;
      EXPECT_GE(w->width(), w->sizeHint().width()) << w->objectName().toStdString();
    }
  }
  EXPECT_EQ(captions, 11);
}

TEST_F(Options, TheDialogShowsTheCurrentValues) {
  player_->SetLoopCount(7);
  player_->SetShowFrameRate(true);
  RunOptions(
      [](TfrmMpOpt& f) {
        EXPECT_EQ(f.edPlayRepeat->text(), "7");
        EXPECT_EQ(f.edFps->text(), "25");
        EXPECT_TRUE(f.chkKeepSync->isChecked());
        EXPECT_FALSE(f.chkDefaultFps->isChecked());
        EXPECT_TRUE(f.radShowFrameRate->isChecked());
        EXPECT_TRUE(f.radBigKeep->isChecked());
        EXPECT_TRUE(f.radSmallKeep->isChecked());
      },
      2);
}

TEST_F(Options, ARateAboveOneHundredIsTheDefaultButPlaysAtOneHundred) {
  RunOptions(
      [](TfrmMpOpt& f) {
        f.edFps->setText("250");
        f.chkDefaultFps->setChecked(true);
        f.edPlayRepeat->setText("three");
        f.chkKeepSync->setChecked(false);
        f.radShowFrameRate->setChecked(true);
        f.radBigResize->setChecked(true);
        f.radSmallResize->setChecked(true);
      },
      1);
  EXPECT_DOUBLE_EQ(player_->GetDefaultFrameRate(), 250.0);
  EXPECT_DOUBLE_EQ(player_->GetFrameRate(), 100.0);
  EXPECT_EQ(player_->GetLoopCount(), 0) << "text that is not a number repeats endlessly";
  EXPECT_FALSE(player_->GetKeepSync());
  EXPECT_TRUE(player_->GetShowFrameRate());
  EXPECT_TRUE(player_->GetResizeBig());
  EXPECT_TRUE(player_->GetResizeSmall());
}

TEST_F(Options, CancelChangesNothing) {
  RunOptions(
      [](TfrmMpOpt& f) {
        f.edFps->setText("12");
        f.chkDefaultFps->setChecked(true);
        f.edPlayRepeat->setText("9");
        f.chkKeepSync->setChecked(false);
        f.radBigResize->setChecked(true);
      },
      2);
  EXPECT_DOUBLE_EQ(player_->GetDefaultFrameRate(), 25.0);
  EXPECT_DOUBLE_EQ(player_->GetFrameRate(), 25.0);
  EXPECT_EQ(player_->GetLoopCount(), 1);
  EXPECT_TRUE(player_->GetKeepSync());
  EXPECT_FALSE(player_->GetResizeBig());
}

const char* const kKey = "\\Software\\Velkarn\\Tavelo\\3.1.0\\MPlayer";

TEST_F(Options, SavedOptionsLoadIntoAnotherPlayer) {
  player_->DefaultFolder = "/home/u/films/";
  player_->SetLoopCount(4);
  player_->SetDefaultFrameRate(12.5);
  player_->SetShowFrameRate(true);
  player_->SetKeepSync(false);
  player_->SetVolume(33);
  player_->SetResizeBig(true);
  player_->SaveOptions(HKEY_CURRENT_USER, kKey);
  player_.reset();

  QMedPlayer other(&host_, &clock_, &test::FakeMedia::Access());
  other.LoadOptions(HKEY_CURRENT_USER, kKey);
  EXPECT_EQ(other.DefaultFolder, "/home/u/films/");
  EXPECT_EQ(other.GetLoopCount(), 4);
  EXPECT_DOUBLE_EQ(other.GetDefaultFrameRate(), 12.5);
  EXPECT_DOUBLE_EQ(other.GetFrameRate(), 12.5);
  EXPECT_TRUE(other.GetShowFrameRate());
  EXPECT_FALSE(other.GetKeepSync());
  EXPECT_EQ(other.GetVolume(), 33);
  EXPECT_EQ(other.VolumeSlider->value(), 67);
  EXPECT_TRUE(other.GetResizeBig());
  EXPECT_FALSE(other.GetResizeSmall());
}

TEST_F(Options, AMissingKeyKeepsTheCurrentValuesAndGivesTheOthersTheirDefaults) {
  // A fresh profile: the options whose default is the value in use keep it; the volume, the open
  // folder and the resize flags take their defaults (a fresh profile must not play silently).
  player_->SetLoopCount(6);
  player_->SetVolume(0);
  player_->DefaultFolder = "/data/";
  player_->SetResizeBig(true);
  player_->LoadOptions(HKEY_CURRENT_USER, "\\Software\\Nobody\\MPlayer");
  EXPECT_EQ(player_->GetLoopCount(), 6);
  EXPECT_EQ(player_->GetVolume(), 50);
  EXPECT_EQ(player_->VolumeSlider->value(), 50);
  EXPECT_EQ(player_->DefaultFolder, "") << "the open dialog starts at the home folder";
  EXPECT_FALSE(player_->GetResizeBig());
  TRegistry* reg = RegCreate(HKEY_CURRENT_USER);
  EXPECT_FALSE(RegKeyExists(reg, "\\Software\\Nobody\\MPlayer")) << "loading creates nothing";
  RegFree(reg);
}

TEST_F(Options, ARateThatIsNotANumberReadsAsTheDefault) {
  for (double stored : {std::numeric_limits<double>::quiet_NaN(), std::numeric_limits<double>::infinity()}) {
    TRegistry* reg = RegCreate(HKEY_CURRENT_USER);
    ASSERT_TRUE(RegOpen(reg, kKey, true));
    RegWriteFloat(reg, "DefaultFrameRate", stored);
    RegWriteInt(reg, "AudioVolume", 40);
    RegFree(reg);
    player_->LoadOptions(HKEY_CURRENT_USER, kKey);
    EXPECT_DOUBLE_EQ(player_->GetDefaultFrameRate(), 25.0) << stored;
    EXPECT_DOUBLE_EQ(player_->GetFrameRate(), 25.0) << stored;
    EXPECT_EQ(player_->GetVolume(), 40);
  }
}

}  // namespace
}  // namespace tavelo
