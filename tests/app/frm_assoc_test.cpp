// The File Formats dialog: its form, the check marks from the current owners, Select All and
// Clear All, and OK carrying out the checks (the form answered through the kit's seam).
#include "app/frm_assoc.h"

#include <gtest/gtest.h>

#include <QLabel>
#include <QListWidget>

#include <cstdlib>
#include <filesystem>

#include "app/assoc_list.h"
#include "kit/kit_answers.h"
#include "kit/pic_button.h"
#include "platform/registry/registry.h"
#include "tests/support/test_env.h"

namespace tavelo {
namespace {

class FrmAssocTest : public testing::Test {
 protected:
  void SetUp() override {
    const std::string root = test::MakeTempDir("frm-assoc");
    setenv("XDG_CONFIG_HOME", (root + "/config").c_str(), 1);
    setenv("XDG_DATA_HOME", (root + "/data").c_str(), 1);
    platform::SetRegistryFolder("");
  }
  void TearDown() override { SetKitAnswerProvider({}); }

  // Shows the dialog; drive() acts on the form as a user would.
  void Show(std::function<void(TfrmAssoc&)> drive) {
    asked_ = 0;
    SetKitAnswerProvider([this, drive](const KitAsk& ask, KitAnswer&) {
      if (ask.Kind != KitAskKind::Form || ask.Caption != "TfrmAssoc") return false;
      ++asked_;
      auto* form = static_cast<TfrmAssoc*>(ask.Form);
      drive(*form);
      return true;
    });
    ShowAssocDialog();
  }
  static int Row(TfrmAssoc& f, const std::string& text) {
    for (int i = 0; i < f.Count(); ++i)
      if (f.lstExts->item(i)->text().toStdString() == text) return i;
    ADD_FAILURE() << "no row " << text;
    return 0;
  }

  int asked_ = 0;
};

TEST_F(FrmAssocTest, TheFormAsDesigned) {
  Show([](TfrmAssoc& f) {
    EXPECT_EQ(f.windowTitle().toStdString(), "Tavelo File Associations");
    EXPECT_EQ(f.size(), QSize(403, 316));
    EXPECT_EQ(f.lblInfo->text().toStdString(), "Associate Tavelo with the following file formats:");
    EXPECT_EQ(f.btnOK->Caption().toStdString(), "OK");
    EXPECT_EQ(f.btnCancel->Caption().toStdString(), "Cancel");
    EXPECT_EQ(f.btnSelectAll->Caption().toStdString(), "Select All");
    EXPECT_EQ(f.btnUnselectAll->Caption().toStdString(), "Clear All");
    for (QWidget* b : {static_cast<QWidget*>(f.btnOK), static_cast<QWidget*>(f.btnCancel),
                       static_cast<QWidget*>(f.btnSelectAll), static_cast<QWidget*>(f.btnUnselectAll)})
      EXPECT_TRUE(f.rect().contains(b->geometry())) << b->geometry().x();
    QAssocList& list = *AssocList();
    ASSERT_EQ(f.Count(), list.Count());
    for (int i = 0; i < f.Count(); ++i) {
      EXPECT_EQ(f.lstExts->item(i)->text().toStdString(), list.Items(i).Description);
      EXPECT_FALSE(f.Checked(i));
    }
    f.btnSelectAll->Click();
    for (int i = 0; i < f.Count(); ++i) EXPECT_TRUE(f.Checked(i));
    f.btnUnselectAll->Click();
    for (int i = 0; i < f.Count(); ++i) EXPECT_FALSE(f.Checked(i));
    f.btnCancel->Click();
  });
  EXPECT_EQ(asked_, 1);
  EXPECT_EQ(AssocList(), nullptr);  // closed again
}

TEST_F(FrmAssocTest, EveryButtonShowsItsWholeCaptionClearOfTheOthers) {
  Show([](TfrmAssoc& f) {
    QPicButton* const row[] = {f.btnSelectAll, f.btnUnselectAll, f.btnOK, f.btnCancel};
    for (int i = 0; i < 4; ++i) {
      const QRect r = row[i]->geometry();
      SCOPED_TRACE(row[i]->Caption().toStdString());
      EXPECT_TRUE(f.rect().contains(r));
      EXPECT_GE(r.width(), row[i]->fontMetrics().horizontalAdvance(row[i]->Caption()) + 2 * row[i]->IcsClientSpacing());
      if (i == 0) continue;
      EXPECT_GT(r.left(), row[i - 1]->geometry().right()) << "left to right, none over another";
    }
    f.btnCancel->Click();
  });
}

TEST_F(FrmAssocTest, OkTakesTheCheckedAndGivesBackTheRest) {
  RegSetUserProgID(".avi", "OtherPlayer.avi");
  Show([](TfrmAssoc& f) {
    f.btnSelectAll->Click();
    f.SetChecked(Row(f, "MPG, Moving Pictures Experts Group"), false);
    f.btnOK->Click();
  });
  EXPECT_EQ(RegGetUserProgID(".avi"), kVideoClipProgID);
  EXPECT_EQ(RegGetUserProgID(".wav"), kAudioClipProgID);
  EXPECT_EQ(RegGetUserProgID(".mpg"), "");
  EXPECT_EQ(RegGetStr(HKEY_CURRENT_USER, kAssocBackupKey, ".avi", ""), "OtherPlayer.avi");
  // The file types were registered on the way.
  EXPECT_EQ(RegGetStr(HKEY_CLASSES_ROOT, RegTypeKey(kAudioClipProgID), "", ""), "Tavelo Audio");

  // The next showing checks what the program owns; unchecking ".avi" gives it back.
  Show([](TfrmAssoc& f) {
    EXPECT_TRUE(f.Checked(Row(f, "AVI, Windows Audio Video Interleaved")));
    EXPECT_FALSE(f.Checked(Row(f, "MPG, Moving Pictures Experts Group")));
    f.SetChecked(Row(f, "AVI, Windows Audio Video Interleaved"), false);
    f.btnOK->Click();
  });
  EXPECT_EQ(RegGetUserProgID(".avi"), "OtherPlayer.avi");
  EXPECT_EQ(RegGetUserProgID(".wav"), kAudioClipProgID);
}

TEST_F(FrmAssocTest, CancelChangesNothing) {
  Show([](TfrmAssoc& f) {
    f.btnSelectAll->Click();
    f.btnCancel->Click();
  });
  EXPECT_EQ(RegGetUserProgID(".avi"), "");
  EXPECT_EQ(RegGetStr(HKEY_CLASSES_ROOT, RegTypeKey(kVideoClipProgID), "", "none"), "none");
}

}  // namespace
}  // namespace tavelo
