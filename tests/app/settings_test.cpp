// Settings and the first-run steps over the registry store of the test's own HOME.
#include <gtest/gtest.h>

#include <string>

#include "app/w_tavelo_main.h"
#include "app/w_tavelo_main_settings.h"
#include "core/services/reg_utils.h"
#include "platform/registry/registry.h"
#include "tests/support/test_env.h"

namespace tavelo {
namespace {

const std::string kParent = "\\Software\\Velkarn\\Tavelo\\";

class SettingsTest : public testing::Test {
 protected:
  void SetUp() override {
    platform::SetRegistryFolder(test::MakeTempDir("reg"));
    exe_ = test::MakeTempDir("bin") + "/tavelo";
    test::WriteFile(exe_, "program");
  }
  void TearDown() override { platform::SetRegistryFolder(""); }

  static void Put(const std::string& key, const std::string& name, const std::string& value) {
    RegSetStr(HKEY_CURRENT_USER, key, name, value);
  }
  static std::string Get(const std::string& key, const std::string& name) {
    return RegGetStr(HKEY_CURRENT_USER, key, name, "<missing>");
  }
  static bool Exists(const std::string& key) {
    TRegistry* reg = RegCreate(HKEY_CURRENT_USER);
    const bool ok = RegOpen(reg, key, false);
    RegFree(reg);
    return ok;
  }

  std::string exe_;
};

int g_registered = 0;
void CountRegistration() { ++g_registered; }

TEST_F(SettingsTest, NearestOlderVersionIsCopiedAndKept) {
  Put(kParent + "3.0.2", "ScreenshotExt", ".png");
  Put(kParent + "3.0.2\\MPlayer", "DefaultFolder", "/media");
  Put(kParent + "3.0.2", "PathToExe", exe_);
  g_registered = 0;
  RunFirstRunSteps(exe_, &CountRegistration);
  EXPECT_EQ(Get(kSettingsKey, "ScreenshotExt"), ".png");
  EXPECT_EQ(Get(std::string(kSettingsKey) + "MPlayer", "DefaultFolder"), "/media");
  EXPECT_EQ(Get(kSettingsKey, "PathToExe"), exe_);
  EXPECT_EQ(Get(kParent + "3.0.2", "ScreenshotExt"), ".png") << "the old key stays";
  EXPECT_EQ(g_registered, 1);
}

TEST_F(SettingsTest, VersionTooFarAwayIsNotCopied) {
  Put(kParent + "1.9.0", "ScreenshotExt", ".png");
  Put(kParent + "1.9.0", "PathToExe", exe_);
  RunFirstRunSteps(exe_, nullptr);
  EXPECT_EQ(Get(kSettingsKey, "ScreenshotExt"), "<missing>");
  EXPECT_TRUE(Exists(kParent + "1.9.0"));
}

TEST_F(SettingsTest, OlderVersionWithinReachIsCopied) {
  Put(kParent + "2.5.0", "CopyOrMoveFolder", "/srv");
  Put(kParent + "2.5.0", "PathToExe", exe_);
  RunFirstRunSteps(exe_, nullptr);
  EXPECT_EQ(Get(kSettingsKey, "CopyOrMoveFolder"), "/srv");
}

TEST_F(SettingsTest, ExistingCurrentKeyIsNeverOverwritten) {
  Put(kSettingsKey, "ScreenshotExt", ".bmp");
  Put(kParent + "3.0.9", "ScreenshotExt", ".png");
  Put(kParent + "3.0.9", "PathToExe", exe_);
  RunFirstRunSteps(exe_, nullptr);
  EXPECT_EQ(Get(kSettingsKey, "ScreenshotExt"), ".bmp");
}

TEST_F(SettingsTest, KeyOfAVanishedProgramIsRemovedWithItsSubkeys) {
  Put(kParent + "2.0.0", "PathToExe", exe_ + ".gone");
  Put(kParent + "2.0.0\\RecentFiles", "HistoryCount", "1");
  Put(kParent + "Backup", "x", "y");
  RunFirstRunSteps(exe_, nullptr);
  EXPECT_FALSE(Exists(kParent + "2.0.0"));
  EXPECT_FALSE(Exists(kParent + "2.0.0\\RecentFiles"));
  EXPECT_TRUE(Exists(kParent + "Backup")) << "only version keys are purged";
  EXPECT_TRUE(Exists(kSettingsKey)) << "the running program's own key names an existing file";
}

TEST_F(SettingsTest, FirstRunIsOnUntilAnInstallerSwitchesItOff) {
  EXPECT_TRUE(ReadFirstRun());
  TRegistry* reg = RegCreate(HKEY_CURRENT_USER);
  ASSERT_TRUE(RegOpen(reg, kSettingsKey, true));
  RegWriteBool(reg, "FirstRun", false);
  RegFree(reg);
  EXPECT_FALSE(ReadFirstRun());
}

TEST_F(SettingsTest, ValuesRoundTripAndMissingOnesKeepTheirDefaults) {
  MainSettings defaults;
  ReadMainSettings(defaults);
  EXPECT_EQ(defaults.ScreenshotFolder, "");
  EXPECT_EQ(defaults.ScreenshotExt, "");
  EXPECT_TRUE(defaults.ShowFrameRateDialog);
  EXPECT_EQ(defaults.CopyOrMoveFolder, "") << "the dialogs start at the home folder";
  EXPECT_TRUE(defaults.UpdateRemind);
  EXPECT_EQ(defaults.UpdateNextDate, 0.0);

  MainSettings s;
  s.ScreenshotFolder = "/tmp/shots/";
  s.ScreenshotExt = ".png";
  s.ShowFrameRateDialog = false;
  s.CopyOrMoveFolder = "/srv/";
  s.UpdateRemind = false;
  s.UpdateNextDate = 40000.25;
  WriteMainSettings(s);
  MainSettings r;
  ReadMainSettings(r);
  EXPECT_EQ(r.ScreenshotFolder, s.ScreenshotFolder);
  EXPECT_EQ(r.ScreenshotExt, s.ScreenshotExt);
  EXPECT_FALSE(r.ShowFrameRateDialog);
  EXPECT_EQ(r.CopyOrMoveFolder, s.CopyOrMoveFolder);
  EXPECT_FALSE(r.UpdateRemind);
  EXPECT_EQ(r.UpdateNextDate, 40000.25);
}

TEST(ScreenshotNameTest, NameRule) {
  EXPECT_EQ(ScreenshotName("/m/clip.v1.avi", 0, ""), "clip_v1_00001.jpg");
  EXPECT_EQ(ScreenshotName("/m/clip.v1.avi", 1233, ".png"), "clip_v1_01234.png");
  EXPECT_EQ(ScreenshotName("/m/noext", 99999, ""), "noext_100000.jpg");
}

TEST(MainCaptionTest, CaptionRule) {
  EXPECT_EQ(MainCaption(""), "Tavelo 3.1.0");
  EXPECT_EQ(MainCaption("a.avi"), "Tavelo 3.1.0 - a.avi");
}

}  // namespace
}  // namespace tavelo
