// The desktop side of the associations: Exec quoting, the shared MIME database, and
// mimeapps.list kept line for line.
#include "platform/desktop/desktop_assoc.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <set>

#include "core/services/reg_utils.h"
#include "platform/registry/registry.h"
#include "tests/support/test_env.h"

namespace tavelo::platform {
namespace {

TEST(DesktopExec, ArgumentsAreQuotedAndEscapedAsEntriesRequire) {
  struct Case {
    std::string arg, file;
  } cases[] = {
      {"/usr/bin/tavelo", "/usr/bin/tavelo"},
      {"/opt/My Player/tavelo", "\"/opt/My Player/tavelo\""},
      {"/opt/a\"b", "\"/opt/a\\\\\"b\""},       // '"' escaped inside the quotes, the '\' escaped again
      {"/opt/$x/`y`", "\"/opt/\\\\$x/\\\\`y\\\\`\""},
      {"/opt/back\\slash", "\"/opt/back\\\\\\\\slash\""},
      {"/opt/100%/p", "/opt/100%%/p"},          // a literal '%' is doubled
      {"/opt/it's", "\"/opt/it's\""},
      {"", "\"\""},
  };
  for (const Case& c : cases) EXPECT_EQ(DesktopExecArgument(c.arg), c.file) << c.arg;
}

TEST(DesktopExec, CommandsOfTheStoreBecomeExecLines) {
  // A field code always stands alone: launchers expand it only as a whole argument.
  EXPECT_EQ(DesktopExecFromCommand("\"/opt/My Player/tavelo\" /open=\"%L\""), "\"/opt/My Player/tavelo\" /open= %f");
  EXPECT_EQ(DesktopExecFromCommand("/usr/bin/tavelo /play=\"%1\""), "/usr/bin/tavelo /play= %f");
  EXPECT_EQ(DesktopExecFromCommand("/usr/bin/tavelo \"/a b=%1;x\""), "/usr/bin/tavelo \"/a b=\" %f \";x\"");
  // The program's own name is never a placeholder.
  EXPECT_EQ(DesktopExecFromCommand("\"/opt/x%1/p\" %l"), "/opt/x%%1/p %f");
}

TEST(SharedMimeDatabase, GivesTheTypesOfAnExtension) {
  EXPECT_EQ(MimeTypesOfExtension(".avi"), std::vector<std::string>{"video/x-msvideo"});
  EXPECT_EQ(MimeTypesOfExtension("AVI"), std::vector<std::string>{"video/x-msvideo"});  // case-insensitive
  const std::vector<std::string> ogg = MimeTypesOfExtension(".ogg");
  EXPECT_NE(std::find(ogg.begin(), ogg.end(), "audio/ogg"), ogg.end());
  EXPECT_NE(std::find(ogg.begin(), ogg.end(), "video/ogg"), ogg.end());
  EXPECT_TRUE(MimeTypesOfExtension(".no-such-extension").empty());
  EXPECT_TRUE(MimeTypesOfExtension("").empty());
}

class DesktopSyncTest : public testing::Test {
 protected:
  void SetUp() override {
    const std::string root = test::MakeTempDir("desktop");
    config_ = root + "/config";
    data_ = root + "/data";
    std::filesystem::create_directories(config_);
    setenv("XDG_CONFIG_HOME", config_.c_str(), 1);
    setenv("XDG_DATA_HOME", data_.c_str(), 1);
    SetRegistryFolder("");
    // The desktop database is not what these tests look at.
    SetDesktopDatabaseUpdater("/nonexistent/update-desktop-database");
    RegSetFileType("Tavelo.VideoClip", "Tavelo Image / Video", "/opt/t/tavelo.png");
    RegSetVerb("Tavelo.VideoClip", "Open", "Open", true, "\"/opt/t/tavelo\" /open=\"%L\"");
  }
  void TearDown() override { SetDesktopDatabaseUpdater(""); }

  // taken: the extensions the user has just taken.
  bool Sync(std::set<std::string> taken = {}) {
    DesktopAssocRequest request;
    request.FormatTypes = {{".jpg", {"image/jpeg"}}, {".jpeg", {"image/jpeg"}}, {".png", {"image/png"}}};
    request.Taken = std::move(taken);
    DesktopSyncResult r;
    const bool ok = SyncDesktopAssociations(request, r);
    EXPECT_TRUE(ok) << r.Error;
    return ok;
  }
  std::string List() { return test::ReadFile(config_ + "/mimeapps.list"); }

  std::string config_, data_;
};

TEST_F(DesktopSyncTest, AMimeTypeStaysOursWhileAnyOwnedExtensionWantsIt) {
  test::WriteFile(config_ + "/mimeapps.list", "[Default Applications]\r\nimage/jpeg=viewer.desktop\r\nx/y=z;");
  RegSetUserProgID(".jpg", "Tavelo.VideoClip");
  RegSetUserProgID(".jpeg", "Tavelo.VideoClip");
  ASSERT_TRUE(Sync({".jpg", ".jpeg"}));
  EXPECT_EQ(List(), "[Default Applications]\r\nimage/jpeg=Tavelo.VideoClip.desktop;\nx/y=z;");
  RegSetUserProgID(".jpeg", "");
  ASSERT_TRUE(Sync());
  EXPECT_EQ(List(), "[Default Applications]\r\nimage/jpeg=Tavelo.VideoClip.desktop;\nx/y=z;");
  RegSetUserProgID(".jpg", "Other.jpg");
  ASSERT_TRUE(Sync());
  // The line that stood before comes back as it was, CR and all; the last line keeps having no
  // line end.
  EXPECT_EQ(List(), "[Default Applications]\r\nimage/jpeg=viewer.desktop\r\nx/y=z;");
}

TEST_F(DesktopSyncTest, EntriesAreMadeFromTheStoreAndListTheirTypes) {
  ASSERT_TRUE(Sync());
  const std::string entry = data_ + "/applications/Tavelo.VideoClip.desktop";
  EXPECT_EQ(test::ReadFile(entry),
            "[Desktop Entry]\nType=Application\nVersion=1.4\nName=Tavelo Image / Video\nIcon=/opt/t/tavelo.png\n"
            "Exec=/opt/t/tavelo /open= %f\nNoDisplay=true\nTerminal=false\n");
  RegSetVerb("Tavelo.VideoClip", "Play", "Play", false, "\"/opt/t/tavelo\" /play=\"%L\"");
  RegSetVerb("Tavelo.AudioClip", "Open", "Open", true, "\"/opt/t/tavelo\" /open=\"%L\"");
  test::WriteFile(config_ + "/mimeapps.list", "[Default Applications]\nimage/png=Tavelo.AudioClip.desktop;\n");
  RegSetUserProgID(".png", "Tavelo.VideoClip");
  ASSERT_TRUE(Sync({".png"}));
  EXPECT_EQ(test::ReadFile(entry),
            "[Desktop Entry]\nType=Application\nVersion=1.4\nName=Tavelo Image / Video\nIcon=/opt/t/tavelo.png\n"
            "Exec=/opt/t/tavelo /open= %f\nNoDisplay=true\nTerminal=false\nMimeType=image/png;\nActions=Play;\n"
            "\n[Desktop Action Play]\nName=Play\nExec=/opt/t/tavelo /play= %f\n");
  EXPECT_EQ(List(), "[Default Applications]\nimage/png=Tavelo.VideoClip.desktop;\n");
  // A default that already was one of ours is never kept as the one before: giving the
  // extension back leaves no default rather than handing it to us again.
  EXPECT_EQ(test::ReadFile(DesktopDefaultsBackupFile()).find("Tavelo.AudioClip"), std::string::npos);
  RegSetUserProgID(".png", "");
  ASSERT_TRUE(Sync());
  EXPECT_EQ(List(), "[Default Applications]\n");
}

}  // namespace
}  // namespace tavelo::platform
