#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/services/reg_utils.h"
#include "platform/registry/registry.h"
#include "tests/support/test_env.h"

namespace tavelo {
namespace {

using Names = std::vector<std::string>;

class RegUtilsTest : public ::testing::Test {
 protected:
  void SetUp() override { platform::SetRegistryFolder(test::MakeTempDir("registry")); }
  void TearDown() override { platform::SetRegistryFolder(""); }
};

constexpr const char* kVersionKey = "\\Software\\Velkarn\\Tavelo\\3.1.0\\";

TEST_F(RegUtilsTest, TypedValuesRoundTrip) {
  TRegistry* reg = RegCreate(HKEY_CURRENT_USER);
  ASSERT_NE(reg, nullptr);
  ASSERT_TRUE(RegOpen(reg, kVersionKey, true));
  EXPECT_TRUE(RegWriteStr(reg, "ScreenshotFolder", "/home/u/Pictures/"));
  EXPECT_TRUE(RegWriteInt(reg, "LoopCount", -5));
  EXPECT_TRUE(RegWriteBool(reg, "FirstRun", false));
  EXPECT_TRUE(RegWriteFloat(reg, "UpdateNextDate", 39954.75));
  RegFree(reg);
  EXPECT_EQ(reg, nullptr);

  reg = RegCreate(HKEY_CURRENT_USER);
  RegSetWriteAccess(reg, false);
  ASSERT_TRUE(RegOpen(reg, kVersionKey, false));
  EXPECT_EQ(RegReadStr(reg, "ScreenshotFolder", "?"), "/home/u/Pictures/");
  EXPECT_EQ(RegReadInt(reg, "LoopCount", 0), -5);
  EXPECT_FALSE(RegReadBool(reg, "FirstRun", true));
  EXPECT_DOUBLE_EQ(RegReadFloat(reg, "UpdateNextDate", 0), 39954.75);
  // Missing values read as their defaults.
  EXPECT_EQ(RegReadStr(reg, "Nothing", "dflt"), "dflt");
  EXPECT_EQ(RegReadInt(reg, "Nothing", 42), 42);
  EXPECT_TRUE(RegReadBool(reg, "Nothing", true));
  EXPECT_DOUBLE_EQ(RegReadFloat(reg, "Nothing", 1.5), 1.5);
  // A read-only object writes nothing and says so.
  EXPECT_FALSE(RegWriteStr(reg, "ScreenshotFolder", "/elsewhere/"));
  EXPECT_FALSE(RegDelValue(reg, "ScreenshotFolder"));
  EXPECT_EQ(RegReadStr(reg, "ScreenshotFolder", "?"), "/home/u/Pictures/");
  RegFree(reg);
  RegFree(reg);  // an empty variable is fine

  // An empty object does nothing.
  EXPECT_FALSE(RegOpen(nullptr, kVersionKey, true));
  EXPECT_EQ(RegReadStr(nullptr, "x", "d"), "d");
  EXPECT_FALSE(RegWriteInt(nullptr, "x", 1));
}

TEST_F(RegUtilsTest, AValueOfAnotherTypeReadsAsTheDefault) {
  TRegistry* reg = RegCreate(HKEY_CURRENT_USER);
  ASSERT_TRUE(RegOpen(reg, kVersionKey, true));
  RegWriteStr(reg, "LoopCount", "three");
  RegWriteInt(reg, "ScreenshotExt", 7);
  RegWriteStr(reg, "UpdateNextDate", "soon");
  RegWriteInt(reg, "ShowFrameRateDialog", 1);
  EXPECT_EQ(RegReadInt(reg, "LoopCount", 3), 3);
  EXPECT_EQ(RegReadStr(reg, "ScreenshotExt", ".jpg"), ".jpg");
  EXPECT_DOUBLE_EQ(RegReadFloat(reg, "UpdateNextDate", 0.0), 0.0);
  EXPECT_DOUBLE_EQ(RegReadFloat(reg, "ShowFrameRateDialog", 2.0), 2.0);  // 4 bytes are no double
  EXPECT_TRUE(RegReadBool(reg, "LoopCount", true));
  // The toolkit object itself raises for them.
  EXPECT_THROW(reg->ReadInteger("LoopCount"), ERegistryException);
  EXPECT_THROW(reg->ReadString("ScreenshotExt"), ERegistryException);
  EXPECT_EQ(reg->ReadString("Missing"), "");
  EXPECT_THROW(reg->ReadInteger("Missing"), ERegistryException);
  RegFree(reg);
}

TEST_F(RegUtilsTest, NamesIgnoreCaseButKeepIt) {
  TRegistry* reg = RegCreate(HKEY_CURRENT_USER);
  ASSERT_TRUE(RegOpen(reg, "\\Software\\Velkarn\\Tavelo\\3.1.0\\MPlayer", true));
  RegWriteStr(reg, "DefaultFolder", "/a/");
  RegWriteInt(reg, "LoopCount", 2);
  RegWriteInt(reg, "AudioVolume", 50);
  RegWriteStr(reg, "defaultfolder", "/b/");  // the same value
  EXPECT_EQ(RegReadStr(reg, "DEFAULTFOLDER", ""), "/b/");
  Names values;
  reg->GetValueNames(values);
  EXPECT_EQ(values, (Names{"DefaultFolder", "LoopCount", "AudioVolume"}));  // insertion order, first case
  RegFree(reg);

  reg = RegCreate(HKEY_CURRENT_USER);
  ASSERT_TRUE(RegOpen(reg, "\\SOFTWARE\\velkarn\\TAVELO\\3.1.0\\mplayer\\", false));
  EXPECT_EQ(RegReadInt(reg, "loopcount", 0), 2);
  ASSERT_TRUE(RegOpen(reg, "\\Software\\Velkarn\\Tavelo", false));
  for (const char* k : {"RecentFiles", "3.0.2", "backup", "MPlayer", "Zeta"}) {
    TRegistry* sub = RegCreate(HKEY_CURRENT_USER);
    RegOpen(sub, std::string("\\Software\\Velkarn\\Tavelo\\") + k, true);
    RegFree(sub);
  }
  Names keys;
  reg->GetKeyNames(keys);
  EXPECT_EQ(keys, (Names{"3.0.2", "3.1.0", "backup", "MPlayer", "RecentFiles", "Zeta"}));  // sorted, any case
  // A relative key opens below the current one.
  ASSERT_TRUE(RegOpen(reg, "3.1.0\\MPlayer", false));
  EXPECT_EQ(reg->CurrentPath(), "Software\\Velkarn\\Tavelo\\3.1.0\\MPlayer");
  EXPECT_TRUE(RegKeyExists(reg, "\\Software\\Velkarn"));
  EXPECT_FALSE(RegKeyExists(reg, "\\Software\\Nobody"));
  EXPECT_TRUE(RegValueExists(reg, "AUDIOVOLUME"));
  EXPECT_TRUE(RegDelValue(reg, "audiovolume"));
  EXPECT_FALSE(RegValueExists(reg, "AudioVolume"));
  RegFree(reg);
}

TEST_F(RegUtilsTest, OneShotAccessAndTheMachineRoot) {
  EXPECT_EQ(RegGetStr(HKEY_CURRENT_USER, "\\Software\\Nobody", "x", "def"), "def");
  EXPECT_FALSE(platform::RegStoreKeyExists(HKEY_CURRENT_USER, "Software\\Nobody"));  // reading never creates
  RegSetStr(HKEY_CURRENT_USER, "\\Software\\Velkarn\\Tavelo\\3.1.0", "PathToExe", "/opt/tavelo/tavelo");
  EXPECT_EQ(RegGetStr(HKEY_CURRENT_USER, kVersionKey, "PathToExe", ""), "/opt/tavelo/tavelo");
  EXPECT_EQ(RegGetStr(HKEY_CURRENT_USER, kVersionKey, "Missing", "d"), "d");
  // The machine root is read-only.
  RegSetStr(HKEY_LOCAL_MACHINE, "\\Software\\Velkarn", "x", "y");
  EXPECT_EQ(RegGetStr(HKEY_LOCAL_MACHINE, "\\Software\\Velkarn", "x", "none"), "none");
  TRegistry* machine = RegCreate(HKEY_LOCAL_MACHINE);
  EXPECT_TRUE(RegKeyExists(machine, "\\Hardware\\Description\\System\\CentralProcessor"));
  EXPECT_FALSE(RegOpen(machine, "\\Software\\New", true));
  RegFree(machine);
  EXPECT_FALSE(RegDelKey(HKEY_LOCAL_MACHINE, "\\Hardware\\Description"));
}

TEST_F(RegUtilsTest, DeleteKeyTrees) {
  RegSetStr(HKEY_CURRENT_USER, "\\A\\B\\C1", "v", "1");
  RegSetStr(HKEY_CURRENT_USER, "\\A\\B\\C2\\D", "v", "2");
  RegSetStr(HKEY_CURRENT_USER, "\\A\\Keep", "v", "3");
  EXPECT_EQ(RegDelKeyTree(RegKeyHandle(HKEY_CURRENT_USER, "A"), ""), ERROR_BADKEY);
  EXPECT_EQ(RegDelKeyTree(RegKeyHandle(HKEY_CURRENT_USER, "A"), "Missing"), platform::kRegNotFound);
  EXPECT_EQ(RegDelKeyTree(RegKeyHandle(HKEY_CURRENT_USER, "A"), "B"), 0);
  EXPECT_FALSE(platform::RegStoreKeyExists(HKEY_CURRENT_USER, "A\\B"));
  EXPECT_EQ(RegGetStr(HKEY_CURRENT_USER, "\\A\\Keep", "v", ""), "3");
  EXPECT_TRUE(RegDelKey(HKEY_CURRENT_USER, "\\\\A\\"));
  EXPECT_FALSE(platform::RegStoreKeyExists(HKEY_CURRENT_USER, "A"));
  EXPECT_TRUE(RegDelKey(HKEY_CURRENT_USER, "\\Never\\There"));  // a missing key: true
  EXPECT_FALSE(RegDelKey(HKEY_CURRENT_USER, "\\"));               // never the root itself
}

TEST_F(RegUtilsTest, NearestVersion) {
  const std::string parent = "\\Software\\Velkarn\\Tavelo\\";
  for (const char* v : {"3.0.2", "3.0.9", "2.9.0", "Backup", "MPlayer"}) RegSetStr(HKEY_CURRENT_USER, parent + v, "x", "");
  EXPECT_EQ(RegFindNearestVersion(HKEY_CURRENT_USER, parent, "3.1.0"), parent + "3.0.9");
  EXPECT_EQ(RegFindNearestVersion(HKEY_CURRENT_USER, "\\Software\\Velkarn\\Tavelo", "3.1.0"), parent + "3.0.9");
  RegSetStr(HKEY_CURRENT_USER, parent + "3.1.0", "x", "");
  EXPECT_EQ(RegFindNearestVersion(HKEY_CURRENT_USER, parent, "3.1.0"), parent + "3.1.0");
  EXPECT_EQ(RegFindNearestVersion(HKEY_CURRENT_USER, "\\Software\\Missing", "3.1.0"), "");

  const std::string lone = "\\Software\\Lone\\";
  RegSetStr(HKEY_CURRENT_USER, lone + "1.9.0", "x", "");  // 3.01 - 1.09: too far
  RegSetStr(HKEY_CURRENT_USER, lone + "Backup", "x", "");
  EXPECT_EQ(RegFindNearestVersion(HKEY_CURRENT_USER, lone, "3.1.0"), "");
  RegSetStr(HKEY_CURRENT_USER, lone + "2.5.0", "x", "");  // 0.96: near enough
  EXPECT_EQ(RegFindNearestVersion(HKEY_CURRENT_USER, lone, "3.1.0"), lone + "2.5.0");
}

TEST_F(RegUtilsTest, PurgeVersionsWhoseProgramIsGone) {
  const std::string parent = "\\Software\\Velkarn\\Tavelo\\";
  const std::string dir = test::MakeTempDir("programs");
  test::WriteFile(dir + "/tavelo", "");
  RegSetStr(HKEY_CURRENT_USER, parent + "3.0.2", "PathToExe", dir + "/old/tavelo");
  RegSetStr(HKEY_CURRENT_USER, parent + "3.0.2\\MPlayer", "LoopCount", "1");
  RegSetStr(HKEY_CURRENT_USER, parent + "3.1.0", "PathToExe", dir + "/tavelo");
  RegSetStr(HKEY_CURRENT_USER, parent + "2.0.0", "Other", "no program path");
  RegSetStr(HKEY_CURRENT_USER, parent + "Backup2", "PathToExe", dir + "/gone");
  std::vector<std::string> seen;
  EXPECT_TRUE(RegPurgeVersions(HKEY_CURRENT_USER, parent,
                               [&](RegRootKey, const std::string&, const std::string& name, bool& del) {
                                 seen.push_back(name + (del ? "-" : "+"));
                               }));
  EXPECT_EQ(seen, (std::vector<std::string>{"2.0.0+", "3.0.2-", "3.1.0+"}));
  EXPECT_FALSE(platform::RegStoreKeyExists(HKEY_CURRENT_USER, "Software\\Velkarn\\Tavelo\\3.0.2"));
  EXPECT_TRUE(platform::RegStoreKeyExists(HKEY_CURRENT_USER, "Software\\Velkarn\\Tavelo\\3.1.0"));
  EXPECT_TRUE(platform::RegStoreKeyExists(HKEY_CURRENT_USER, "Software\\Velkarn\\Tavelo\\2.0.0"));
  EXPECT_TRUE(platform::RegStoreKeyExists(HKEY_CURRENT_USER, "Software\\Velkarn\\Tavelo\\Backup2"));
  // A callback may spare a key.
  RegSetStr(HKEY_CURRENT_USER, parent + "3.0.5", "PathToExe", dir + "/gone");
  RegPurgeVersions(HKEY_CURRENT_USER, parent, [](RegRootKey, const std::string&, const std::string&, bool& del) {
    del = false;
  });
  EXPECT_TRUE(platform::RegStoreKeyExists(HKEY_CURRENT_USER, "Software\\Velkarn\\Tavelo\\3.0.5"));
  RegPurgeVersions(HKEY_CURRENT_USER, parent);
  EXPECT_FALSE(platform::RegStoreKeyExists(HKEY_CURRENT_USER, "Software\\Velkarn\\Tavelo\\3.0.5"));
}

TEST(RegKeys, KeyForms) {
  EXPECT_EQ(RegExtKey("avi"), "\\.avi");
  EXPECT_EQ(RegExtKey(".avi"), "\\.avi");
  EXPECT_EQ(RegExtKey("\\.avi"), "\\.avi");
  EXPECT_EQ(RegExtKey(""), "");
  EXPECT_EQ(RegTypeKey("Tavelo.VideoClip"), "\\Tavelo.VideoClip");
  EXPECT_EQ(RegTypeKey("\\Tavelo.VideoClip\\"), "\\Tavelo.VideoClip");
  EXPECT_EQ(RegVerbKey("Tavelo.VideoClip", "Play"), "\\Tavelo.VideoClip\\shell\\Play");
  EXPECT_EQ(RegVerbKey("Tavelo.VideoClip", ""), "\\Tavelo.VideoClip\\shell\\");
}

TEST_F(RegUtilsTest, FileTypesAndVerbs) {
  RegSetFileType("Tavelo.VideoClip", "Tavelo Image / Video", "/opt/tavelo/tavelo.ico");
  RegSetVerb("Tavelo.VideoClip", "Open", "Open", true, "/opt/tavelo/tavelo /open=\"%L\"");
  RegSetVerb("Tavelo.VideoClip", "Play", "Play", false, "/opt/tavelo/tavelo /play=\"%L\"");
  RegSetVerb("Tavelo.VideoClip", "Edit", "Edit", true, "");  // no command: nothing at all
  RegSetFileType("", "x", "y");
  EXPECT_EQ(RegGetStr(HKEY_CLASSES_ROOT, "\\Tavelo.VideoClip", "", ""), "Tavelo Image / Video");
  EXPECT_EQ(RegGetStr(HKEY_CLASSES_ROOT, "\\Tavelo.VideoClip\\DefaultIcon", "", ""), "/opt/tavelo/tavelo.ico");
  EXPECT_EQ(RegGetStr(HKEY_CLASSES_ROOT, "\\Tavelo.VideoClip\\shell", "", ""), "Open");
  EXPECT_EQ(RegGetStr(HKEY_CLASSES_ROOT, "\\Tavelo.VideoClip\\shell\\Play", "", ""), "Play");
  EXPECT_EQ(RegGetStr(HKEY_CLASSES_ROOT, "\\Tavelo.VideoClip\\shell\\Play\\Command", "", ""),
            "/opt/tavelo/tavelo /play=\"%L\"");
  EXPECT_FALSE(platform::RegStoreKeyExists(HKEY_CLASSES_ROOT, "Tavelo.VideoClip\\shell\\Edit"));
  // The classes root is a store of its own.
  EXPECT_FALSE(platform::RegStoreKeyExists(HKEY_CURRENT_USER, "Tavelo.VideoClip"));
}

TEST_F(RegUtilsTest, PerUserProgIDs) {
  EXPECT_EQ(RegGetUserProgID(".avi"), "");
  const std::string key = "\\Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\FileExts\\.avi";
  RegSetStr(HKEY_CURRENT_USER, key + "\\OpenWithProgIds", "OtherPlayer.avi", "");
  RegSetStr(HKEY_CURRENT_USER, key + "\\OpenWithProgIds", "Third.avi", "");
  EXPECT_EQ(RegGetUserProgID("avi"), "OtherPlayer.avi");  // the first value name stands in
  RegSetUserProgID(".avi", "Tavelo.VideoClip");
  EXPECT_EQ(RegGetUserProgID("\\.avi"), "Tavelo.VideoClip");
  RegSetUserProgID("avi", "");
  EXPECT_EQ(RegGetUserProgID(".avi"), "OtherPlayer.avi");
  TRegistry* reg = RegCreate(HKEY_CURRENT_USER);
  ASSERT_TRUE(RegOpen(reg, key, false));
  EXPECT_FALSE(RegValueExists(reg, "ProgID"));
  RegFree(reg);
  RegSetUserProgID("", "X");
  EXPECT_EQ(RegGetUserProgID(""), "");
}

}  // namespace
}  // namespace tavelo
