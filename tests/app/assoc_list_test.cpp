// File associations in the settings store and on the desktop: each test has its own
// XDG_CONFIG_HOME (store and mimeapps.list) and XDG_DATA_HOME (desktop entries), with real files.
#include "app/assoc_list.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>

#include "app/frm_assoc.h"
#include "formats/ff_tables.h"
#include "kit/kit_answers.h"
#include "kit/pic_button.h"
#include "platform/desktop/desktop_assoc.h"
#include "platform/registry/registry.h"
#include "tests/support/test_env.h"

namespace tavelo {
namespace {

constexpr const char* kFileExts = "\\Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\FileExts";

// Runs a shell command and gives its standard output (trailing newline removed) and exit code.
std::string Shell(const std::string& command, int* code = nullptr) {
  std::string out;
  FILE* p = ::popen(command.c_str(), "r");
  if (p == nullptr) return out;
  char buf[512];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
  const int status = ::pclose(p);
  if (code != nullptr) *code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  while (!out.empty() && out.back() == '\n') out.pop_back();
  return out;
}

void NeedTool(const char* tool) {
  ASSERT_EQ(Shell(std::string("command -v ") + tool + " >/dev/null; echo $?"), "0")
      << tool << " is missing: scripts/install-deps.sh installs it";
}

// The desktop tools as on a desktop without a session of their own (xdg-utils' generic mode).
constexpr const char* kGenericDesktop =
    "env -u XDG_CURRENT_DESKTOP -u DESKTOP_SESSION -u KDE_FULL_SESSION -u GNOME_DESKTOP_SESSION_ID "
    "-u MATE_DESKTOP_SESSION_ID -u DBUS_SESSION_BUS_ADDRESS -u WAYLAND_DISPLAY ";

// xdg-mime's answer (the generic lookup).
std::string QueryDefault(const std::string& mime) {
  return Shell(std::string(kGenericDesktop) + "-u DISPLAY xdg-mime query default " + mime + " 2>/dev/null");
}

// A stand-in program that writes its arguments, one a line, to record.
void RecordingProgram(const std::string& program, const std::string& record) {
  test::WriteFile(program, "#!/bin/sh\nfor a in \"$@\"; do printf '%s\\n' \"$a\"; done > '" + record + ".part'\nmv '" +
                               record + ".part' '" + record + "'\n");
  std::filesystem::permissions(program, std::filesystem::perms::owner_all);
}

std::string WaitForRecord(const std::string& record) {
  for (int i = 0; i < 500 && !std::filesystem::exists(record); ++i) usleep(10000);
  return test::ReadFile(record);
}

// A file the desktop's content sniffing (file, gio) knows as an AVI clip.
void WriteAvi(const std::string& path) {
  test::WriteFile(path, std::string("RIFF\x24\0\0\0AVI LIST\x04\0\0\0hdrl", 24));
}

class AssocTest : public testing::Test {
 protected:
  void SetUp() override {
    FFRestoreTablesForTest();
    root_ = test::MakeTempDir("assoc");
    config_ = root_ + "/config";
    data_ = root_ + "/data";
    std::filesystem::create_directories(config_);
    std::filesystem::create_directories(data_ + "/applications");
    setenv("XDG_CONFIG_HOME", config_.c_str(), 1);
    setenv("XDG_DATA_HOME", data_.c_str(), 1);
    platform::SetRegistryFolder("");  // the store follows XDG_CONFIG_HOME
  }
  void TearDown() override {
    CloseAssocList();
    SetAssocProgramPathForTest("");
  }

  // The list as the dialog's OK leaves it: every entry wanted by its kind, taken or given back.
  static void Apply(const std::map<std::string, uint8_t>& actions) {
    OpenAssocList();
    QAssocList& list = *AssocList();
    for (int32_t i = 0; i < list.Count(); ++i) {
      AssocEntry& e = list.Items(i);
      e.ProgID = (e.Kinds & fkHasPictures) != 0 ? kVideoClipProgID : kAudioClipProgID;
      const auto a = actions.find(e.Ext);
      e.Action = a == actions.end() ? static_cast<uint8_t>(aaLeave) : a->second;
    }
    list.WritePlayersToSystem();
    CloseAssocList();
  }

  static std::string Backup(const std::string& ext) { return RegGetStr(HKEY_CURRENT_USER, kAssocBackupKey, ext, ""); }
  static bool HasProgIDValue(const std::string& ext) {
    TRegistry* reg = RegCreate(HKEY_CURRENT_USER);
    const bool has = RegOpen(reg, kFileExts + RegExtKey(ext), false) && RegValueExists(reg, "ProgID");
    RegFree(reg);
    return has;
  }

  std::string root_, config_, data_;
};

TEST_F(AssocTest, OneSortedEntryPerExtension) {
  QAssocList list;
  list.ReadFormatsFromConform();
  std::vector<std::string> exts;
  std::map<std::string, const AssocEntry*> byExt;
  for (int32_t i = 0; i < list.Count(); ++i) {
    exts.push_back(list.Items(i).Ext);
    byExt[list.Items(i).Ext] = &list.Items(i);
  }
  // Sorted without regard to case, each extension once.
  for (size_t i = 1; i < exts.size(); ++i) {
    std::string a = exts[i - 1], b = exts[i];
    for (char& c : a) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    for (char& c : b) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    EXPECT_LT(a, b) << exts[i - 1] << " before " << exts[i];
  }
  EXPECT_EQ(byExt.size(), exts.size());
  // A format with three extensions gives three entries.
  for (const char* ext : {".tif", ".tiff", ".tim"}) {
    ASSERT_TRUE(byExt.count(ext)) << ext;
    EXPECT_EQ(byExt[ext]->FormatId, fidTIFF);
  }
  EXPECT_EQ(byExt[".tiff"]->Description, "TIFF, Tagged Image File Format");
  EXPECT_EQ(byExt[".avi"]->Description, "AVI, Windows Audio Video Interleaved");
  EXPECT_EQ(byExt[".avi"]->Action, aaTake);
  EXPECT_TRUE(byExt[".avi"]->ProgID.empty());
  // ".ogg" is in the Ogg video row and then in the Ogg audio row: the first row wins.
  EXPECT_EQ(byExt[".ogg"]->FormatId, fidOGV);
  EXPECT_EQ(byExt[".oga"]->FormatId, fidOGA);
  // A blanked format has no entries.
  FFDisableFormat(fidWMA, ffRead);
  list.ReadFormatsFromConform();
  for (int32_t i = 0; i < list.Count(); ++i) EXPECT_NE(list.Items(i).Ext, ".wma");
}

TEST_F(AssocTest, RegistersTheTwoFileTypesWithQuotedCommands) {
  SetAssocProgramPathForTest("/opt/Tavelo Player/tavelo");
  RegisterDefaultAssociations();
  for (const auto& [type, name] : {std::pair{kVideoClipProgID, "Tavelo Image / Video"}, {kAudioClipProgID, "Tavelo Audio"}}) {
    const std::string key = RegTypeKey(type);
    EXPECT_EQ(RegGetStr(HKEY_CLASSES_ROOT, key, "", "?"), name);
    EXPECT_EQ(RegGetStr(HKEY_CLASSES_ROOT, key + "\\DefaultIcon", "", "?"), "/opt/Tavelo Player/tavelo.png");
    EXPECT_EQ(RegGetStr(HKEY_CLASSES_ROOT, key + "\\shell", "", "?"), "Open");
    EXPECT_EQ(RegGetStr(HKEY_CLASSES_ROOT, key + "\\shell\\Open", "", "?"), "Open");
    EXPECT_EQ(RegGetStr(HKEY_CLASSES_ROOT, key + "\\shell\\Open\\Command", "", "?"),
              "\"/opt/Tavelo Player/tavelo\" /open=\"%L\"");
    EXPECT_EQ(RegGetStr(HKEY_CLASSES_ROOT, key + "\\shell\\Play", "", "?"), "Play");
    EXPECT_EQ(RegGetStr(HKEY_CLASSES_ROOT, key + "\\shell\\Play\\Command", "", "?"),
              "\"/opt/Tavelo Player/tavelo\" /play=\"%L\"");
  }
}

TEST_F(AssocTest, TakingKeepsTheFirstOwnerAndGivingBackRestoresIt) {
  RegisterDefaultAssociations();
  RegSetUserProgID(".avi", "OtherPlayer.avi");
  Apply({{".avi", aaTake}});
  EXPECT_EQ(RegGetUserProgID(".avi"), kVideoClipProgID);
  EXPECT_EQ(Backup(".avi"), "OtherPlayer.avi");

  Apply({{".avi", aaGiveBack}});
  EXPECT_EQ(RegGetUserProgID(".avi"), "OtherPlayer.avi");

  // Someone else takes it; taking it again keeps the first stored owner.
  RegSetUserProgID(".avi", "ThirdPlayer.avi");
  Apply({{".avi", aaTake}});
  EXPECT_EQ(RegGetUserProgID(".avi"), kVideoClipProgID);
  EXPECT_EQ(Backup(".avi"), "OtherPlayer.avi");

  // Giving back an extension the program does not own changes nothing.
  RegSetUserProgID(".mpg", "Someone.mpg");
  Apply({{".mpg", aaGiveBack}});
  EXPECT_EQ(RegGetUserProgID(".mpg"), "Someone.mpg");
}

TEST_F(AssocTest, GivingBackWithAnEmptyBackupDeletesTheChoice) {
  RegisterDefaultAssociations();
  Apply({{".wav", aaTake}});
  EXPECT_EQ(RegGetUserProgID(".wav"), kAudioClipProgID);  // sound only
  EXPECT_TRUE(HasProgIDValue(".wav"));
  Apply({{".wav", aaGiveBack}});
  EXPECT_FALSE(HasProgIDValue(".wav"));
  EXPECT_EQ(RegGetUserProgID(".wav"), "");
}

TEST_F(AssocTest, KindsChooseTheFileType) {
  RegisterDefaultAssociations();
  Apply({{".mp3", aaTake}, {".wma", aaTake}, {".ac3", aaTake}, {".avi", aaTake}, {".png", aaTake}, {".ogg", aaTake},
         {".oga", aaTake}});
  EXPECT_EQ(RegGetUserProgID(".mp3"), kAudioClipProgID);
  EXPECT_EQ(RegGetUserProgID(".wma"), kAudioClipProgID);
  EXPECT_EQ(RegGetUserProgID(".ac3"), kAudioClipProgID);
  EXPECT_EQ(RegGetUserProgID(".oga"), kAudioClipProgID);
  EXPECT_EQ(RegGetUserProgID(".avi"), kVideoClipProgID);
  EXPECT_EQ(RegGetUserProgID(".png"), kVideoClipProgID);
  EXPECT_EQ(RegGetUserProgID(".ogg"), kVideoClipProgID);
}

TEST_F(AssocTest, UninstGivesBackOnlyWhatTheProgramOwns) {
  RegisterDefaultAssociations();
  RegSetUserProgID(".avi", "OtherPlayer.avi");
  Apply({{".avi", aaTake}, {".wav", aaTake}});
  RegSetUserProgID(".mpg", "Someone.mpg");
  // An owner named only under OpenWithProgIds counts as well.
  RegSetStr(HKEY_CURRENT_USER, kFileExts + RegExtKey(".flc") + "\\OpenWithProgIds", "Painter.flc", "");

  RestoreAssociations();
  EXPECT_EQ(RegGetUserProgID(".avi"), "OtherPlayer.avi");
  EXPECT_FALSE(HasProgIDValue(".wav"));
  EXPECT_EQ(RegGetUserProgID(".mpg"), "Someone.mpg");
  EXPECT_EQ(RegGetUserProgID(".flc"), "Painter.flc");
  EXPECT_EQ(Backup(".mpg"), "");
  EXPECT_EQ(Backup(".avi"), "OtherPlayer.avi");  // the backup is never cleared
  // The file types stay registered.
  EXPECT_EQ(RegGetStr(HKEY_CLASSES_ROOT, RegTypeKey(kVideoClipProgID), "", ""), "Tavelo Image / Video");
}

TEST_F(AssocTest, NothingIsWrittenWithoutABackupKey) {
  QAssocList list;
  list.ReadFormatsFromConform();
  for (int32_t i = 0; i < list.Count(); ++i) list.Items(i).ProgID = kVideoClipProgID;
  list.WritePlayersToSystem();
  EXPECT_EQ(RegGetUserProgID(".avi"), "");
  EXPECT_FALSE(std::filesystem::exists(config_ + "/mimeapps.list"));
}

// ---- The desktop side.

const char* const kOriginalList =
    "# my own notes\n"
    "[Default Applications]\n"
    "text/plain=editor.desktop;\n"
    "video/x-msvideo=otherplayer.desktop;\n"
    "  image/png = viewer.desktop;other.desktop;\n"
    "\n"
    "[Added Associations]\n"
    "video/x-msvideo=otherplayer.desktop;tavelo-looking.desktop;\n"
    "audio/x-wav=otherplayer.desktop;\n";

TEST_F(AssocTest, DesktopDefaultsFollowTheStoreAndComeBack) {
  NeedTool("xdg-mime");
  // The program the entries start must exist for xdg-mime to name its entry: this test program.
  RegisterDefaultAssociations();
  test::WriteFile(data_ + "/applications/otherplayer.desktop",
                  "[Desktop Entry]\nType=Application\nName=Other\nExec=true %f\nMimeType=video/x-msvideo;\n");
  test::WriteFile(config_ + "/mimeapps.list", kOriginalList);
  ASSERT_EQ(QueryDefault("video/x-msvideo"), "otherplayer.desktop");

  RegSetUserProgID(".avi", "OtherPlayer.avi");
  Apply({{".avi", aaTake}, {".wav", aaTake}});
  EXPECT_EQ(QueryDefault("video/x-msvideo"), "Tavelo.VideoClip.desktop");
  EXPECT_EQ(QueryDefault("audio/x-wav"), "Tavelo.AudioClip.desktop");
  const std::string taken = test::ReadFile(config_ + "/mimeapps.list");
  // Every line but the one of the MIME type we took is as it was, and ours are added in the group.
  EXPECT_EQ(taken,
            "# my own notes\n"
            "[Default Applications]\n"
            "text/plain=editor.desktop;\n"
            "video/x-msvideo=Tavelo.VideoClip.desktop;\n"
            "  image/png = viewer.desktop;other.desktop;\n"
            "audio/x-wav=Tavelo.AudioClip.desktop;\n"
            "\n"
            "[Added Associations]\n"
            "video/x-msvideo=otherplayer.desktop;tavelo-looking.desktop;\n"
            "audio/x-wav=otherplayer.desktop;\n");

  // The entries name the MIME types they own.
  const std::string video = test::ReadFile(data_ + "/applications/Tavelo.VideoClip.desktop");
  EXPECT_NE(video.find("\nMimeType=video/x-msvideo;\n"), std::string::npos) << video;
  EXPECT_NE(video.find("\nName=Tavelo Image / Video\n"), std::string::npos) << video;
  EXPECT_NE(video.find("\nActions=Play;\n"), std::string::npos) << video;

  // Taking it again after someone else changed the default keeps the first backup.
  Apply({{".avi", aaGiveBack}});
  EXPECT_EQ(QueryDefault("video/x-msvideo"), "otherplayer.desktop");
  Apply({{".avi", aaTake}});
  EXPECT_EQ(QueryDefault("video/x-msvideo"), "Tavelo.VideoClip.desktop");

  RestoreAssociations();  // the "uninst" switch
  EXPECT_EQ(QueryDefault("video/x-msvideo"), "otherplayer.desktop");
  EXPECT_EQ(test::ReadFile(config_ + "/mimeapps.list"), kOriginalList);  // byte for byte
  // Nothing of ours stays in the desktop's folders.
  for (const char* entry : {"Tavelo.VideoClip.desktop", "Tavelo.AudioClip.desktop"})
    EXPECT_FALSE(std::filesystem::exists(data_ + "/applications/" + entry)) << entry;
  EXPECT_FALSE(std::filesystem::exists(platform::DesktopDefaultsBackupFile()));
  EXPECT_EQ(Shell("grep -rl Tavelo " + data_ + "/applications " + config_ + "/mimeapps.list"), "");
}

// The shared MIME database gives ".pm" to Perl and PageMaker too, ".mp2" to MPEG video and ".ogg"
// to FLAC and Speex: taking every extension takes none of those.
TEST_F(AssocTest, OnlyTheFormatsOwnMimeTypesAreTaken) {
  NeedTool("xdg-mime");
  RegisterDefaultAssociations();
  std::map<std::string, uint8_t> all;
  QAssocList list;
  list.ReadFormatsFromConform();
  for (int32_t i = 0; i < list.Count(); ++i) all[list.Items(i).Ext] = aaTake;
  ASSERT_TRUE(all.count(".pm") && all.count(".mp2") && all.count(".ogg"));
  all.erase(".mpg");  // video/mpeg is ".mpg"'s: only ".mp2" may not take it
  all.erase(".mpeg");
  all.erase(".vob");
  all.erase(".mpe");
  Apply(all);
  for (const char* mime : {"application/x-perl", "application/x-pagemaker", "audio/x-flac+ogg", "audio/x-speex+ogg",
                           "video/mpeg"})
    EXPECT_EQ(QueryDefault(mime).find("Tavelo"), std::string::npos) << mime;
  for (const auto& [mime, entry] : std::map<std::string, std::string>{{"audio/mp2", "Tavelo.AudioClip.desktop"},
                                                                       {"video/ogg", "Tavelo.VideoClip.desktop"},
                                                                       {"image/x-xpixmap", "Tavelo.VideoClip.desktop"},
                                                                       {"image/jpeg", "Tavelo.VideoClip.desktop"}})
    EXPECT_EQ(QueryDefault(mime), entry) << mime;
}

// A default the user set on the desktop after we took the type is theirs: not shown as ours, not
// taken back by an OK that changed nothing, not removed by the uninstall.
TEST_F(AssocTest, TheDesktopsOwnChoiceIsKept) {
  NeedTool("xdg-mime");
  RegisterDefaultAssociations();
  test::WriteFile(data_ + "/applications/vlc.desktop",
                  "[Desktop Entry]\nType=Application\nName=V\nExec=true %f\nMimeType=video/mpeg;\n");
  Apply({{".mpg", aaTake}, {".avi", aaTake}});
  ASSERT_EQ(QueryDefault("video/mpeg"), "Tavelo.VideoClip.desktop");
  Shell(std::string(kGenericDesktop) + "-u DISPLAY xdg-mime default vlc.desktop video/mpeg");
  ASSERT_EQ(QueryDefault("video/mpeg"), "vlc.desktop");

  OpenAssocList();
  for (int32_t i = 0; i < AssocList()->Count(); ++i) {
    const AssocEntry& e = AssocList()->Items(i);
    if (e.Ext == ".mpg") {
      EXPECT_EQ(e.ProgID, "vlc.desktop");
    } else if (e.Ext == ".avi") {
      EXPECT_EQ(e.ProgID, kVideoClipProgID);
    }
  }
  CloseAssocList();

  // File Formats, OK with nothing changed.
  SetKitAnswerProvider([](const KitAsk& ask, KitAnswer&) {
    if (ask.Kind != KitAskKind::Form) return false;
    static_cast<TfrmAssoc*>(ask.Form)->btnOK->Click();
    return true;
  });
  ShowAssocDialog();
  SetKitAnswerProvider({});
  EXPECT_EQ(QueryDefault("video/mpeg"), "vlc.desktop");
  EXPECT_EQ(QueryDefault("video/x-msvideo"), "Tavelo.VideoClip.desktop");

  RestoreAssociations();
  EXPECT_EQ(QueryDefault("video/mpeg"), "vlc.desktop");
  EXPECT_EQ(QueryDefault("video/x-msvideo").find("Tavelo"), std::string::npos);
  EXPECT_EQ(RegGetUserProgID(".mpg"), "");

  // Taking it again on purpose takes it from the user's choice, and giving it back returns it.
  RegisterDefaultAssociations();
  Apply({{".mpg", aaTake}});
  EXPECT_EQ(QueryDefault("video/mpeg"), "Tavelo.VideoClip.desktop");
  Apply({{".mpg", aaGiveBack}});
  EXPECT_EQ(QueryDefault("video/mpeg"), "vlc.desktop");
}

// The first-run registration rewrites the commands at every start; when the program moved, the
// desktop entries follow at once.
TEST_F(AssocTest, EntriesFollowANewProgramPath) {
  SetAssocProgramPathForTest("/opt/old/tavelo");
  RegisterDefaultAssociations();
  Apply({{".avi", aaTake}});
  const std::string entry = data_ + "/applications/Tavelo.VideoClip.desktop";
  ASSERT_NE(test::ReadFile(entry).find("\nExec=/opt/old/tavelo /open= %f\n"), std::string::npos);
  SetAssocProgramPathForTest("/opt/new/tavelo");
  RegisterDefaultAssociations();
  EXPECT_NE(test::ReadFile(entry).find("\nExec=/opt/new/tavelo /open= %f\n"), std::string::npos)
      << test::ReadFile(entry);
  EXPECT_NE(test::ReadFile(entry).find("\nMimeType=video/x-msvideo;\n"), std::string::npos);
}

// A start while a codec is missing (its format not readable) neither takes nor gives back that
// format's types.
TEST_F(AssocTest, AFormatNotReadableNowKeepsItsLines) {
  NeedTool("xdg-mime");
  RegisterDefaultAssociations();
  Apply({{".wma", aaTake}});
  ASSERT_EQ(QueryDefault("audio/x-ms-wma"), "Tavelo.AudioClip.desktop");
  FFDisableFormat(fidWMA, ffRead);
  RegisterDefaultAssociations();
  EXPECT_EQ(QueryDefault("audio/x-ms-wma"), "Tavelo.AudioClip.desktop");
}

// A mimeapps.list kept elsewhere and linked stays a link; its target gets the change.
TEST_F(AssocTest, ALinkedMimeAppsListIsWrittenThrough) {
  const std::string target = root_ + "/dotfiles/mimeapps.list";
  std::filesystem::create_directories(root_ + "/dotfiles");
  test::WriteFile(target, "[Default Applications]\ntext/plain=editor.desktop;\n");
  std::filesystem::create_symlink("../dotfiles/mimeapps.list", config_ + "/mimeapps.list");
  RegisterDefaultAssociations();
  Apply({{".avi", aaTake}});
  EXPECT_TRUE(std::filesystem::is_symlink(config_ + "/mimeapps.list"));
  EXPECT_EQ(test::ReadFile(target),
            "[Default Applications]\ntext/plain=editor.desktop;\nvideo/x-msvideo=Tavelo.VideoClip.desktop;\n");
}

TEST_F(AssocTest, MimeAppsListIsMadeWhenMissing) {
  RegisterDefaultAssociations();
  Apply({{".avi", aaTake}});
  EXPECT_EQ(test::ReadFile(config_ + "/mimeapps.list"), "[Default Applications]\nvideo/x-msvideo=Tavelo.VideoClip.desktop;\n");
  RestoreAssociations();
  EXPECT_EQ(test::ReadFile(config_ + "/mimeapps.list"), "[Default Applications]\n");
}

TEST_F(AssocTest, DesktopEntriesValidate) {
  NeedTool("desktop-file-validate");
  SetAssocProgramPathForTest("/opt/Tavelo $Player's `best` (\\x)/tavelo%1");
  RegisterDefaultAssociations();
  Apply({{".avi", aaTake}, {".mp3", aaTake}, {".png", aaTake}});
  // Quoted for the command line, then escaped for the file's string syntax; '%' doubled.
  EXPECT_EQ(platform::DesktopExecArgument("/opt/Tavelo $Player's `best` (\\x)/tavelo%1"),
            "\"/opt/Tavelo \\\\$Player's \\\\`best\\\\` (\\\\\\\\x)/tavelo%%1\"");
  // Such a path is named through a link without those characters (see the launcher test).
  const std::string video = test::ReadFile(data_ + "/applications/Tavelo.VideoClip.desktop");
  EXPECT_NE(video.find("\nExec=" + data_ + "/tavelo/Tavelo.VideoClip /open= %f\n"), std::string::npos) << video;
  EXPECT_EQ(std::filesystem::read_symlink(data_ + "/tavelo/Tavelo.VideoClip").string(),
            "/opt/Tavelo $Player's `best` (\\x)/tavelo%1");
  for (const char* entry : {"Tavelo.VideoClip.desktop", "Tavelo.AudioClip.desktop"}) {
    int code = -1;
    const std::string out = Shell("desktop-file-validate " + data_ + "/applications/" + entry + " 2>&1", &code);
    EXPECT_EQ(code, 0) << out;
    EXPECT_EQ(out.find("error"), std::string::npos) << out;
  }
}

// Launchers expand a field code only as a whole argument: the file arrives as an argument of its
// own after "/open=" (the program reads the two as one switch), through gio and through xdg-open
// in its generic mode.
TEST_F(AssocTest, EntriesStartTheProgramThroughGioAndXdgOpen) {
  NeedTool("gio");
  NeedTool("xdg-open");
  struct Case {
    std::string folder, launcher;
  } cases[] = {
      {root_ + "/Program Files/Tavelo $HOME 'x'", "gio launch '" + data_ + "/applications/Tavelo.VideoClip.desktop'"},
      // A program under a folder with blanks is named through a link there.
      {root_ + "/Program Files/Tavelo", std::string(kGenericDesktop) + "DISPLAY=:77 xdg-open"},
      {root_ + "/bin", "gio open"},
      // Generic mode: no desktop named or detected; xdg-open looks for a display before it reads
      // the defaults, and never connects to it.
      {root_ + "/bin", std::string(kGenericDesktop) + "DISPLAY=:77 xdg-open"},
  };
  const std::string media = root_ + "/my clip.avi";
  WriteAvi(media);
  for (const Case& c : cases) {
    std::filesystem::create_directories(c.folder);
    const std::string program = c.folder + "/tavelo";
    const std::string record = root_ + "/started.txt";
    std::filesystem::remove(record);
    RecordingProgram(program, record);
    SetAssocProgramPathForTest(program);
    RegisterDefaultAssociations();
    Apply({{".avi", aaTake}});
    int code = -1;
    const std::string out =
        Shell("cd / && env -u DISPLAY -u WAYLAND_DISPLAY " + c.launcher + " '" + media + "' 2>&1", &code);
    EXPECT_EQ(code, 0) << c.launcher << ": " << out;
    EXPECT_EQ(WaitForRecord(record), "/open=\n" + media + "\n") << c.launcher;
  }
  RestoreAssociations();
  EXPECT_FALSE(std::filesystem::exists(data_ + "/tavelo"));  // the link goes with the entries
}

}  // namespace
}  // namespace tavelo
