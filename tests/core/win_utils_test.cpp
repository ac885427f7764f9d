#include <gtest/gtest.h>

#include <signal.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <regex>
#include <thread>
#include <vector>

#include "core/services/win_utils.h"
#include "platform/msgbox/msgbox.h"
#include "platform/registry/registry.h"
#include "platform/shell/shell.h"
#include "tests/support/test_env.h"

namespace tavelo {
namespace {

namespace fs = std::filesystem;

// Message boxes answer from a script and are counted.
struct Boxes {
  static inline int answer = 0;
  static inline std::vector<std::string> texts;
  static int Sink(void*, const std::string& text, const std::string&, platform::MessageIcon) {
    texts.push_back(text);
    return answer;
  }
};

class ShellTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Boxes::answer = 0;
    Boxes::texts.clear();
    platform::SetMessageSink(&Boxes::Sink);
    dir_ = test::MakeTempDir("shell");
  }
  void TearDown() override { platform::SetMessageSink(nullptr); }
  std::string dir_;
};

// Waits up to five seconds for a file that a background program writes.
std::string WaitForFile(const std::string& path) {
  for (int i = 0; i < 500; ++i) {
    struct stat st {};
    if (::stat(path.c_str(), &st) == 0 && st.st_size > 0) {
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
      return test::ReadFile(path);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return "";
}

void WriteScript(const std::string& path, const std::string& body) {
  test::WriteFile(path, "#!/bin/sh\n" + body);
  ASSERT_EQ(::chmod(path.c_str(), 0755), 0);
}

// ---- Finding files.

TEST_F(ShellTest, FindNextGoesPastASubfolder) {
  fs::create_directory(dir_ + "/a_subfolder");  // sorts first
  test::WriteFile(dir_ + "/b.avi", "12345");
  test::WriteFile(dir_ + "/c.avi", "1");
  test::WriteFile(dir_ + "/.hidden.avi", "");
  test::WriteFile(dir_ + "/d.wav", "");

  std::vector<std::string> names;
  TFindRecEx rec;
  for (bool ok = FindFirstEx(dir_ + "/*", kFileDetailsMask, rec); ok; ok = FindNextEx(rec)) names.push_back(rec.Name);
  FindCloseEx(rec);
  EXPECT_EQ(names, (std::vector<std::string>{".hidden.avi", "b.avi", "c.avi", "d.wav"}));

  ASSERT_TRUE(FindFirstEx(dir_ + "/*.avi", faArchive, rec));
  EXPECT_EQ(rec.Name, ".hidden.avi");
  EXPECT_EQ(rec.Attr, faArchive | faHidden);
  ASSERT_TRUE(FindNextEx(rec));
  EXPECT_EQ(rec.Name, "b.avi");
  EXPECT_EQ(rec.Size, 5);
  EXPECT_NEAR(rec.WriteTime, 25569.0 + static_cast<double>(std::time(nullptr)) / 86400.0, 1.0 / 24);
  ASSERT_TRUE(FindNextEx(rec));
  EXPECT_EQ(rec.Name, "c.avi");
  EXPECT_FALSE(FindNextEx(rec));
  FindCloseEx(rec);
  EXPECT_FALSE(FindNextEx(rec));

  // Folders only when the mask asks for them; "." and ".." never.
  ASSERT_TRUE(FindFirstEx(dir_ + "/*", faDirectory, rec));
  EXPECT_EQ(rec.Name, "a_subfolder");
  EXPECT_FALSE(FindNextEx(rec));
  // '?' takes one character; names compare exactly.
  EXPECT_TRUE(FindFirstEx(dir_ + "/?.avi", faArchive, rec));
  EXPECT_FALSE(FindFirstEx(dir_ + "/B.AVI", faArchive, rec));
  EXPECT_FALSE(FindFirstEx(dir_ + "/*.mpg", -1, rec));
  EXPECT_FALSE(FindFirstEx(dir_ + "/missing/*", -1, rec));
}

TEST_F(ShellTest, SynthesisedAttributes) {
  test::WriteFile(dir_ + "/ro.avi", "x");
  ASSERT_EQ(::chmod((dir_ + "/ro.avi").c_str(), 0444), 0);
  ASSERT_EQ(::symlink((dir_ + "/ro.avi").c_str(), (dir_ + "/link.avi").c_str()), 0);
  ASSERT_EQ(::symlink((dir_ + "/gone").c_str(), (dir_ + "/dangling.avi").c_str()), 0);
  ASSERT_EQ(::mkfifo((dir_ + "/pipe.avi").c_str(), 0600), 0);
  TFindRecEx rec;
  ASSERT_TRUE(FindFirstEx(dir_ + "/ro.avi", -1, rec));
  EXPECT_EQ(rec.Attr, faArchive | faReadOnly);
  ASSERT_TRUE(FindFirstEx(dir_ + "/link.avi", -1, rec));  // a link looks like its file
  EXPECT_EQ(rec.Attr, faArchive | faReadOnly);
  EXPECT_EQ(rec.Size, 1);
  ASSERT_TRUE(FindFirstEx(dir_ + "/dangling.avi", -1, rec));
  EXPECT_EQ(rec.Attr, faReparsePoint);
  ASSERT_TRUE(FindFirstEx(dir_ + "/pipe.avi", -1, rec));
  EXPECT_EQ(rec.Attr, faSysFile);
  // A pipe is no file to open: file details pass it over.
  TFileDetails details;
  EXPECT_FALSE(GetFileDetails(dir_ + "/pipe.avi", details));
}

TEST_F(ShellTest, FileDetails) {
  test::WriteFile(dir_ + "/clip.avi", std::string(1000, 'x'));
  TFileDetails details;
  ASSERT_TRUE(GetFileDetails(dir_ + "/clip.avi", details));
  EXPECT_EQ(details.Name, dir_ + "/clip.avi");
  EXPECT_EQ(details.Size, 1000);
  EXPECT_EQ(details.Attr, faArchive);
  EXPECT_GT(details.CreationTime, 40000.0);
  EXPECT_GE(details.WriteTime, details.CreationTime - 1.0 / 86400);

  // A folder's name gives false and all fields zero.
  details.Size = 99;
  EXPECT_FALSE(GetFileDetails(dir_, details));
  EXPECT_EQ(details.Size, 0);
  EXPECT_EQ(details.Name, "");
  EXPECT_EQ(details.Attr, 0);

  // A relative name comes back in full.
  const fs::path old = fs::current_path();
  fs::current_path(dir_);
  ASSERT_TRUE(GetFileDetails("clip.avi", details));
  fs::current_path(old);
  EXPECT_EQ(details.Name, dir_ + "/clip.avi");
}

// '?' and '*' are ordinary characters in file names: a name that exists is that file and no
// other, even when a wildcard reading of it would come to another file first.
TEST_F(ShellTest, FileDetailsOfALiteralNameWithWildcardCharacters) {
  test::WriteFile(dir_ + "/what!.avi", std::string(10, 'x'));
  test::WriteFile(dir_ + "/what?.avi", std::string(20, 'x'));
  test::WriteFile(dir_ + "/*.avi", std::string(30, 'x'));
  test::WriteFile(dir_ + "/+.avi", std::string(40, 'x'));
  TFileDetails details;
  for (const auto& [name, size] : {std::pair<std::string, int64_t>{"what?.avi", 20}, {"*.avi", 30}, {"what!.avi", 10}}) {
    ASSERT_TRUE(GetFileDetails(dir_ + "/" + name, details)) << name;
    EXPECT_EQ(details.Name, dir_ + "/" + name);
    EXPECT_EQ(details.Size, size) << name;
  }
  // A pattern that names no file is still searched, as before.
  ASSERT_TRUE(GetFileDetails(dir_ + "/wh?t!.avi", details));
  EXPECT_EQ(details.Name, dir_ + "/what!.avi");
  // A literal folder named like a pattern is a folder: false, even though files match it.
  fs::create_directory(dir_ + "/w*");
  EXPECT_FALSE(GetFileDetails(dir_ + "/w*", details));
  // A NUL in the name would look up the part before it.
  EXPECT_FALSE(GetFileDetails(dir_ + "/what!.avi" + std::string(1, '\0') + "x", details));
}

// Names holding a NUL are refused by copy, move and the trash: the system would act on the part
// before the NUL, another file.
TEST_F(ShellTest, NamesHoldingANulAreRefused) {
  const std::string nul(1, '\0');
  test::WriteFile(dir_ + "/a", "keep");
  test::WriteFile(dir_ + "/b", "other");
  EXPECT_EQ(platform::CopyMoveFile(dir_ + "/a" + nul + "x", dir_ + "/c", false, false), EINVAL);
  EXPECT_EQ(platform::CopyMoveFile(dir_ + "/a", dir_ + "/b" + nul + "x", false, true), EINVAL);
  EXPECT_EQ(platform::CopyMoveFile(dir_ + "/a" + nul, dir_ + "/c", true, false), EINVAL);
  EXPECT_EQ(platform::MoveToTrash(dir_ + "/a" + nul + "x"), EINVAL);
  EXPECT_FALSE(platform::SpawnProgram({"/bin/true", "a" + nul + "b"}, "", true));
  EXPECT_EQ(test::ReadFile(dir_ + "/a"), "keep");
  EXPECT_EQ(test::ReadFile(dir_ + "/b"), "other");
  EXPECT_FALSE(fs::exists(dir_ + "/c"));
}

TEST(WinUtils, FileTimes) {
  EXPECT_DOUBLE_EQ(FileTimeToDate(timespec{0, 0}), 25569.0);
  EXPECT_DOUBLE_EQ(FileTimeToDate(timespec{86400 + 43200, 0}), 25570.5);
  EXPECT_DOUBLE_EQ(FileTimeToDate(timespec{-11644473601, 0}), 0);  // before 1601
  EXPECT_GT(FileTimeToDate(timespec{-11644473600, 0}), -109206.0 - 1);
}

// ---- Small helpers.

TEST(WinUtils, QuotesAndFolders) {
  EXPECT_EQ(QuoteIfSpaces("/opt/My Programs/x"), "\"/opt/My Programs/x\"");
  EXPECT_EQ(QuoteIfSpaces("\"/opt/My Programs/x\""), "\"/opt/My Programs/x\"");
  EXPECT_EQ(QuoteIfSpaces("  /usr/bin/x  "), "/usr/bin/x");
  EXPECT_EQ(DirNoBackslash("/"), "/");
  EXPECT_EQ(DirNoBackslash("/a/"), "/a");
  EXPECT_EQ(DirNoBackslash("/a//"), "/a/");  // only one
  EXPECT_EQ(DirNoBackslash("/a"), "/a");
  std::string list = "a";
  DoubleNulTerminate(list);
  EXPECT_EQ(list, std::string("a\0\0", 3));
}

TEST(WinUtils, DocumentsFolder) {
  const std::string docs = std::getenv("XDG_DOCUMENTS_DIR");
  EXPECT_EQ(GetMyDocumentsDir(), docs + "/");
  EXPECT_EQ(GetSpecialDir(CSIDL_PERSONAL), docs + "/");
  EXPECT_EQ(GetSpecialDir(0x1A), "");  // a folder this desktop does not have

  // Without the variable: the user-dirs file, then HOME.
  const std::string home = std::getenv("HOME");
  const std::string config = std::getenv("XDG_CONFIG_HOME");
  unsetenv("XDG_DOCUMENTS_DIR");
  EXPECT_EQ(GetMyDocumentsDir(), home + "/");
  fs::create_directories(home + "/Dokumente");
  test::WriteFile(config + "/user-dirs.dirs", "# comment\nXDG_DOCUMENTS_DIR=\"$HOME/Dokumente\"\n");
  EXPECT_EQ(GetMyDocumentsDir(), home + "/Dokumente/");
  fs::remove(config + "/user-dirs.dirs");
  setenv("XDG_DOCUMENTS_DIR", docs.c_str(), 1);
}

TEST(WinUtils, ProcessorName) {
  const std::string cpuinfo = test::MakeTempDir("cpu") + "/cpuinfo";
  test::WriteFile(cpuinfo,
                  "processor\t: 0\nvendor_id\t: GenuineIntel\nmodel name\t: Test CPU @ 3.00GHz\n\n"
                  "processor\t: 1\nmodel name\t: Second Core\n\n");
  platform::SetCpuInfoFile(cpuinfo);
  EXPECT_EQ(GetCpuName(0), "Test CPU @ 3.00GHz");
  EXPECT_EQ(GetCpuName(1), "Second Core");
  EXPECT_EQ(GetCpuName(2), "");
  platform::SetCpuInfoFile("");
  // The real machine: whatever /proc/cpuinfo names processor 0 (possibly nothing on some CPUs).
  const std::string real = GetCpuName(0);
  EXPECT_EQ(real.find('\n'), std::string::npos);
}

TEST(WinUtils, WorkArea) {
  TRect r;
  GetWorkArea(r);
  EXPECT_EQ(r.Left, 0);
  EXPECT_EQ(r.Top, 0);
  EXPECT_EQ(r.Right, 1920);
  EXPECT_EQ(r.Bottom, 1080);
  platform::SetWorkAreaProvider([](platform::WorkAreaRect& a) {
    a = platform::WorkAreaRect{0, 32, 1280, 1024};
    return true;
  });
  GetWorkArea(r);
  EXPECT_EQ(r.Top, 32);
  EXPECT_EQ(r.Right, 1280);
  platform::SetWorkAreaProvider(nullptr);
}

// ---- Programs.

TEST_F(ShellTest, ExecAndWaitRunsInTheProgramsFolder) {
  fs::create_directory(dir_ + "/my tools");
  const std::string prog = dir_ + "/my tools/report";
  WriteScript(prog, "pwd > \"$1\"\necho \"$2\" >> \"$1\"\n");
  const std::string out = dir_ + "/out.txt";
  ASSERT_TRUE(ExecAndWait(prog, "\"" + out + "\" \"two words\"", "", false));
  EXPECT_EQ(test::ReadFile(out), dir_ + "/my tools\ntwo words\n");
  // A folder given is used instead.
  ASSERT_TRUE(StartFile(prog, "\"" + out + "\"", dir_, true, true));
  EXPECT_EQ(test::ReadFile(out), dir_ + "\n\n");
  // A relative program name is found from the caller's folder.
  const fs::path old = fs::current_path();
  fs::current_path(dir_);
  ASSERT_TRUE(ExecAndWait("./my tools/report", "\"" + out + "\"", "", false));
  fs::current_path(old);
  EXPECT_EQ(test::ReadFile(out), dir_ + "/my tools\n\n");
  EXPECT_FALSE(ExecAndWait(dir_ + "/no such program", "", "", false));
  EXPECT_FALSE(ExecAndWait("", "", "", false));
}

TEST_F(ShellTest, ShellOpenHandsTheTargetToTheOpener) {
  const std::string record = dir_ + "/opened.txt";
  const std::string opener = dir_ + "/opener";
  WriteScript(opener, "printf '%s|' \"$@\" > \"" + record + ".part\"\nmv \"" + record + ".part\" \"" + record + "\"\n");
  platform::SetDesktopOpener(opener);

  ASSERT_TRUE(ShellOpen(dir_ + "/help file.html"));
  EXPECT_EQ(WaitForFile(record), dir_ + "/help file.html|");
  fs::remove(record);

  ASSERT_TRUE(ShellOpen("-odd name.txt"));  // never read as an option of the opener
  EXPECT_EQ(WaitForFile(record), "./-odd name.txt|");
  fs::remove(record);

  // Addresses from the update file: only http and https.
  ASSERT_TRUE(ShellOpenWebUrl(" HTTPS://example.org/download?v=3.1.2 "));
  EXPECT_EQ(WaitForFile(record), "HTTPS://example.org/download?v=3.1.2|");
  fs::remove(record);
  for (const char* bad : {"file:///etc/passwd", "javascript:alert(1)", "ftp://example.org/x", "/usr/bin/xterm",
                          "http://example.org/a b", "", "https:"}) {
    EXPECT_FALSE(ShellOpenWebUrl(bad)) << bad;
  }
  ASSERT_TRUE(ShellOpenWebUrl("http://example.org/"));
  EXPECT_EQ(WaitForFile(record), "http://example.org/|");

  platform::SetDesktopOpener(dir_ + "/missing opener");
  EXPECT_FALSE(ShellOpen(dir_ + "/x.html"));
  platform::SetDesktopOpener("");
}

// ---- Copy, move and the trash.

TEST_F(ShellTest, CopyIntoAFolderAndOverwritePolicies) {
  const std::string src = dir_ + "/clip.avi";
  test::WriteFile(src, "source data");
  fs::create_directory(dir_ + "/to");
  ASSERT_TRUE(ShellCopyMove(src, dir_ + "/to", true));
  EXPECT_EQ(test::ReadFile(dir_ + "/to/clip.avi"), "source data");
  EXPECT_EQ(test::ReadFile(src), "source data");
  EXPECT_TRUE(Boxes::texts.empty());

  const std::string target = dir_ + "/to/clip.avi";
  test::WriteFile(target, "old target");
  Boxes::answer = 1;  // No
  EXPECT_FALSE(ShellCopyMove(src, target, true));
  EXPECT_EQ(Boxes::texts.size(), 1u);
  EXPECT_EQ(test::ReadFile(target), "old target");
  EXPECT_FALSE(ShellCopyMove(src, target, false));  // a declined move keeps both
  EXPECT_EQ(test::ReadFile(src), "source data");
  EXPECT_EQ(test::ReadFile(target), "old target");

  Boxes::texts.clear();
  EXPECT_FALSE(ShellCopyMove(src, target, true, opKeepTarget));
  ASSERT_EQ(Boxes::texts.size(), 1u);  // the error box, no question
  EXPECT_NE(Boxes::texts[0].find("Cannot copy"), std::string::npos);
  EXPECT_EQ(test::ReadFile(target), "old target");

  Boxes::answer = 0;  // Yes
  Boxes::texts.clear();
  ASSERT_TRUE(ShellCopyMove(src, target, true));
  EXPECT_EQ(Boxes::texts.size(), 1u);
  EXPECT_EQ(test::ReadFile(target), "source data");

  test::WriteFile(target, "old again");
  Boxes::texts.clear();
  ASSERT_TRUE(ShellCopyMove(src, target, false, opReplace));  // no question asked
  EXPECT_TRUE(Boxes::texts.empty());
  EXPECT_EQ(test::ReadFile(target), "source data");
  EXPECT_FALSE(fs::exists(src));

  // No temporary files are left beside the targets.
  for (const auto& e : fs::directory_iterator(dir_ + "/to")) EXPECT_EQ(e.path().filename(), "clip.avi");
}

TEST_F(ShellTest, CopyOntoItselfIsRefusedAndLosesNothing) {
  const std::string src = dir_ + "/clip.avi";
  test::WriteFile(src, "precious");
  EXPECT_FALSE(ShellCopyMove(src, dir_, true));  // the folder it is in: the same file
  EXPECT_EQ(Boxes::texts.size(), 1u);             // an error, not a replace question
  EXPECT_EQ(test::ReadFile(src), "precious");
  ASSERT_EQ(::link(src.c_str(), (dir_ + "/hard.avi").c_str()), 0);
  EXPECT_FALSE(ShellCopyMove(src, dir_ + "/hard.avi", true, opReplace));
  EXPECT_EQ(test::ReadFile(src), "precious");
  EXPECT_TRUE(ShellCopyMove(src, src, false));  // moving onto itself does nothing
  EXPECT_EQ(test::ReadFile(src), "precious");
  EXPECT_FALSE(ShellCopyMove(dir_ + "/missing.avi", dir_ + "/x.avi", true));
  EXPECT_FALSE(fs::exists(dir_ + "/x.avi"));
}

// A folder on another file system than the test's temporary folder.
std::string OtherDeviceFolder(const std::string& near) {
  struct stat a {}, b {};
  if (::stat("/dev/shm", &b) != 0 || ::stat(near.c_str(), &a) != 0 || a.st_dev == b.st_dev) return "";
  char pattern[] = "/dev/shm/tavelo-test-XXXXXX";
  const char* made = ::mkdtemp(pattern);
  return made != nullptr ? made : "";
}

TEST_F(ShellTest, MoveAcrossFileSystems) {
  const std::string other = OtherDeviceFolder(dir_);
  ASSERT_FALSE(other.empty()) << "this test needs /dev/shm on a file system of its own";
  const std::string src = other + "/clip.avi";
  const std::string data(3 << 20, 'q');  // bigger than one copy buffer
  test::WriteFile(src, data);
  ASSERT_EQ(::chmod(src.c_str(), 0640), 0);
  struct stat before {};
  ASSERT_EQ(::stat(src.c_str(), &before), 0);

  ASSERT_TRUE(ShellCopyMove(src, dir_ + "/moved.avi", false));
  EXPECT_FALSE(fs::exists(src));
  EXPECT_EQ(test::ReadFile(dir_ + "/moved.avi"), data);
  struct stat after {};
  ASSERT_EQ(::stat((dir_ + "/moved.avi").c_str(), &after), 0);
  EXPECT_EQ(after.st_mode & 07777, 0640u);
  EXPECT_EQ(after.st_mtim.tv_sec, before.st_mtim.tv_sec);

  // Back again onto an existing file that must be kept: the source stays too.
  test::WriteFile(src, "other");
  EXPECT_FALSE(ShellCopyMove(dir_ + "/moved.avi", src, false, opKeepTarget));
  EXPECT_EQ(test::ReadFile(src), "other");
  EXPECT_EQ(test::ReadFile(dir_ + "/moved.avi"), data);
  // And with replace: the target gets the data, the source goes.
  ASSERT_TRUE(ShellCopyMove(dir_ + "/moved.avi", src, false, opReplace));
  EXPECT_EQ(test::ReadFile(src), data);
  EXPECT_FALSE(fs::exists(dir_ + "/moved.avi"));

  // A folder moves across too.
  fs::create_directories(other + "/album/sub");
  test::WriteFile(other + "/album/sub/a.jpg", "jpeg");
  ASSERT_TRUE(ShellCopyMove(other + "/album", dir_, false));
  EXPECT_EQ(test::ReadFile(dir_ + "/album/sub/a.jpg"), "jpeg");
  EXPECT_FALSE(fs::exists(other + "/album"));

  for (const auto& e : fs::directory_iterator(other)) EXPECT_EQ(e.path().filename(), "clip.avi");
  fs::remove_all(other);
}

// Decodes the %XX escapes of a .trashinfo path.
std::string Unescape(const std::string& s) {
  std::string out;
  for (size_t i = 0; i < s.size(); ++i) {
    if (s[i] == '%' && i + 2 < s.size()) {
      out += static_cast<char>(std::stoi(s.substr(i + 1, 2), nullptr, 16));
      i += 2;
    } else {
      out += s[i];
    }
  }
  return out;
}

TEST_F(ShellTest, RecycleWritesAValidTrashEntry) {
  const std::string dataHome = test::MakeTempDir("xdg-data");
  const std::string savedData = std::getenv("XDG_DATA_HOME");
  setenv("XDG_DATA_HOME", dataHome.c_str(), 1);
  const std::string src = dir_ + "/my clip \xC3\xA9%.avi";
  test::WriteFile(src, "to the trash");

  ASSERT_TRUE(ShellRecycle(src));
  EXPECT_FALSE(fs::exists(src));
  const std::string trash = dataHome + "/Trash";
  EXPECT_EQ(test::ReadFile(trash + "/files/my clip \xC3\xA9%.avi"), "to the trash");
  const std::string info = test::ReadFile(trash + "/info/my clip \xC3\xA9%.avi.trashinfo");
  std::smatch m;
  ASSERT_TRUE(std::regex_match(info, m,
                               std::regex("\\[Trash Info\\]\nPath=([A-Za-z0-9%/._~-]+)\n"
                                          "DeletionDate=(\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\d)\n")))
      << info;
  EXPECT_EQ(Unescape(m[1]), src);
  EXPECT_NE(std::string(m[1]).find("my%20clip%20%C3%A9%25.avi"), std::string::npos);

  // The same name again gets a name of its own; nothing is overwritten.
  test::WriteFile(src, "second");
  ASSERT_TRUE(ShellRecycle(src));
  EXPECT_EQ(test::ReadFile(trash + "/files/my clip \xC3\xA9%.2.avi"), "second");
  EXPECT_TRUE(fs::exists(trash + "/info/my clip \xC3\xA9%.2.avi.trashinfo"));
  EXPECT_EQ(test::ReadFile(trash + "/files/my clip \xC3\xA9%.avi"), "to the trash");

  // A folder goes as a whole.
  fs::create_directories(dir_ + "/shots/sub");
  test::WriteFile(dir_ + "/shots/sub/a.png", "png");
  ASSERT_TRUE(ShellRecycle(dir_ + "/shots/"));
  EXPECT_EQ(test::ReadFile(trash + "/files/shots/sub/a.png"), "png");

  // A file that is not there: an error box, and no stray info file.
  EXPECT_FALSE(ShellRecycle(dir_ + "/missing.avi"));
  EXPECT_EQ(Boxes::texts.size(), 1u);
  EXPECT_FALSE(fs::exists(trash + "/info/missing.avi.trashinfo"));
  setenv("XDG_DATA_HOME", savedData.c_str(), 1);
}

TEST_F(ShellTest, RecycleOnAnotherFileSystemUsesItsOwnTrash) {
  const std::string other = OtherDeviceFolder(dir_);
  ASSERT_FALSE(other.empty()) << "this test needs /dev/shm on a file system of its own";
  const std::string topTrash = "/dev/shm/.Trash-" + std::to_string(::getuid());
  const bool hadTrash = fs::exists(topTrash);
  const std::string src = other + "/clip.avi";
  test::WriteFile(src, "elsewhere");
  std::string trashed, info;
  ASSERT_EQ(platform::MoveToTrash(src, &trashed, &info), 0);
  EXPECT_EQ(trashed.rfind(topTrash + "/files/", 0), 0u) << trashed;
  EXPECT_EQ(test::ReadFile(trashed), "elsewhere");
  // The path is relative to the top of that file system.
  const std::string rel = src.substr(std::string("/dev/shm/").size());
  EXPECT_NE(test::ReadFile(info).find("\nPath=" + platform::TrashEscapePath(rel) + "\n"), std::string::npos);
  fs::remove(trashed);
  fs::remove(info);
  if (!hadTrash) fs::remove_all(topTrash);
  fs::remove_all(other);
}


// Every entry of a folder tree, relative to it.
std::vector<std::string> Entries(const std::string& dir) {
  std::vector<std::string> names;
  std::error_code ec;
  for (auto it = fs::recursive_directory_iterator(dir, ec); !ec && it != fs::recursive_directory_iterator(); it.increment(ec))
    names.push_back(fs::relative(it->path(), dir).string());
  std::sort(names.begin(), names.end());
  return names;
}

// A folder on another file system whose files cannot be removed: a read-only mount where this
// test may mount, else a folder without write permission on /dev/shm. "" when neither serves.
std::string UnremovableFolder(const std::string& near, const std::string& file, const std::string& data) {
  const std::string other = OtherDeviceFolder(near);
  if (other.empty()) return "";
  if (::geteuid() == 0) {
    if (::mount("tavelo-test", other.c_str(), "tmpfs", 0, "size=1m") != 0) return "";
    test::WriteFile(other + "/" + file, data);
    if (::mount(nullptr, other.c_str(), nullptr, MS_REMOUNT | MS_RDONLY, nullptr) != 0) return "";
  } else {
    test::WriteFile(other + "/" + file, data);
    ::chmod(other.c_str(), 0555);
  }
  return other;
}

void RemoveUnremovableFolder(const std::string& folder) {
  if (::geteuid() == 0) ::umount(folder.c_str());
  ::chmod(folder.c_str(), 0755);
  fs::remove_all(folder);
}

// A move to the trash from a file system where the file cannot be removed fails and keeps the
// file, and leaves nothing in the trash; a move to a folder the same.
TEST_F(ShellTest, AFailedMoveFromAReadOnlyFileSystemLeavesNoCopy) {
  const std::string dataHome = test::MakeTempDir("xdg-data-ro");
  const std::string savedData = std::getenv("XDG_DATA_HOME");
  setenv("XDG_DATA_HOME", dataHome.c_str(), 1);
  const std::string other = UnremovableFolder(dir_, "clip.avi", "keep me");
  ASSERT_FALSE(other.empty()) << "this test needs /dev/shm on a file system of its own";
  EXPECT_NE(platform::MoveToTrash(other + "/clip.avi"), 0);
  EXPECT_NE(platform::CopyMoveFile(other + "/clip.avi", dir_ + "/moved.avi", true, false), 0);
  EXPECT_EQ(test::ReadFile(other + "/clip.avi"), "keep me");
  EXPECT_FALSE(fs::exists(dir_ + "/moved.avi"));
  for (const std::string& e : Entries(dataHome + "/Trash"))
    EXPECT_TRUE(e == "files" || e == "info") << "left in the trash: " << e;
  RemoveUnremovableFolder(other);
  setenv("XDG_DATA_HOME", savedData.c_str(), 1);
}

// A file system of the test's own where this test may mount one (else ""), whose top-level trash
// cannot be made: a move to the trash from it copies into the home trash.
std::string OwnFileSystemWithoutTrash() {
  if (::geteuid() != 0) return "";
  char pattern[] = "/dev/shm/tavelo-mount-XXXXXX";
  const char* made = ::mkdtemp(pattern);
  if (made == nullptr) return "";
  if (::mount("tavelo-test", made, "tmpfs", 0, "size=8m") != 0) {
    ::rmdir(made);
    return "";
  }
  test::WriteFile(std::string(made) + "/.Trash-" + std::to_string(::getuid()), "");
  return made;
}

// A copy killed half-way (here by the file-size limit's signal, in the middle of the data) leaves
// its temporary file, and a move to the trash its .trashinfo as well: the next run's clean-up
// removes them, and never what finished work made.
TEST_F(ShellTest, WhatAKilledCopyOrTrashMoveLeftIsCleanedUpByTheNextRun) {
  std::string other = OwnFileSystemWithoutTrash();
  const bool mounted = !other.empty();
  if (!mounted) other = OtherDeviceFolder(dir_);  // the trash would be that file system's own
  ASSERT_FALSE(other.empty()) << "this test needs /dev/shm on a file system of its own";
  const std::string dataHome = test::MakeTempDir("xdg-data-kill");
  const std::string savedData = std::getenv("XDG_DATA_HOME");
  setenv("XDG_DATA_HOME", dataHome.c_str(), 1);
  const std::string data(1 << 20, 'k');
  test::WriteFile(other + "/clip.avi", data);
  fs::create_directories(dir_ + "/target");
  fs::create_directories(dataHome + "/Trash/files");
  fs::create_directories(dataHome + "/Trash/info");
  for (const bool toTrash : {false, true}) {
    if (toTrash && !mounted) break;
    SCOPED_TRACE(toTrash ? "to the trash" : "to a folder");
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      rlimit limit{256 << 10, 256 << 10};
      ::setrlimit(RLIMIT_FSIZE, &limit);
      ::signal(SIGXFSZ, SIG_DFL);
      if (toTrash)
        platform::MoveToTrash(other + "/clip.avi");
      else
        platform::CopyMoveFile(other + "/clip.avi", dir_ + "/target/clip.avi", true, false);
      ::_exit(0);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFSIGNALED(status)) << "the copy was not killed half-way";
    EXPECT_NE(Entries(dir_ + "/target").size() + Entries(dataHome + "/Trash").size(), 2u) << "nothing was left";
    platform::CleanUpUnfinishedWork();
    EXPECT_TRUE(Entries(dir_ + "/target").empty());
    EXPECT_EQ(Entries(dataHome + "/Trash"), (std::vector<std::string>{"files", "info"}));
    EXPECT_TRUE(Entries(dataHome + "/tavelo/unfinished").empty());
    EXPECT_EQ(test::ReadFile(other + "/clip.avi"), data);
  }
  // Finished work leaves no journal entry, and the clean-up keeps what it made.
  ASSERT_EQ(platform::CopyMoveFile(other + "/clip.avi", dir_ + "/target/clip.avi", false, false), 0);
  if (mounted) {
    ASSERT_EQ(platform::MoveToTrash(dir_ + "/target/clip.avi"), 0);
  }
  EXPECT_TRUE(Entries(dataHome + "/tavelo/unfinished").empty());
  platform::CleanUpUnfinishedWork();
  if (mounted) {
    EXPECT_EQ(test::ReadFile(dataHome + "/Trash/files/clip.avi"), data);
    EXPECT_EQ(Entries(dataHome + "/Trash/info"), std::vector<std::string>{"clip.avi.trashinfo"});
    ::umount(other.c_str());
  } else {
    EXPECT_EQ(test::ReadFile(dir_ + "/target/clip.avi"), data);
  }
  fs::remove_all(other);
  setenv("XDG_DATA_HOME", savedData.c_str(), 1);
}

}  // namespace
}  // namespace tavelo
