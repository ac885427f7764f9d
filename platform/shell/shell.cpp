#include "platform/shell/shell.h"

#include <dirent.h>
#include <fcntl.h>
#include <pwd.h>
#include <spawn.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <mutex>
#include <thread>

#include "base/posix_files.h"

extern char** environ;

namespace tavelo::platform {

namespace {

std::mutex g_mutex;
std::string g_opener;
WorkAreaProvider g_workArea = nullptr;

std::string Env(const char* name) {
  const char* v = std::getenv(name);
  return v != nullptr ? v : "";
}

std::string HomeFolder() {
  std::string home = Env("HOME");
  if (home.empty()) {
    if (const passwd* pw = ::getpwuid(::getuid()); pw != nullptr && pw->pw_dir != nullptr) home = pw->pw_dir;
  }
  return home;
}

bool IsFolder(const std::string& path) {
  struct stat st {};
  return !path.empty() && ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::string WithoutTrailingSlash(std::string path) {
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  return path;
}

std::string Join(const std::string& folder, const std::string& name) {
  return folder.empty() || folder.back() == '/' ? folder + name : folder + "/" + name;
}

using posix::FolderOf;
using posix::MakeFolders;
using posix::NameHasNul;
using posix::NameOf;
using posix::SyncFolder;

// ---- Unfinished work.
// A copy writes into a hidden temporary file and a move to the trash writes its .trashinfo before
// the file follows it. What a kill in the middle would leave is named in a journal entry first
// (under $XDG_DATA_HOME/tavelo/unfinished), which the process holds locked while the work runs;
// an entry that nobody holds is a killed process's, and CleanUpUnfinishedWork removes what it names.

std::string DataHome();

std::string JournalFolder() {
  const std::string data = DataHome();
  return data.empty() ? std::string() : data + "/tavelo/unfinished";
}

std::string PercentDecode(const std::string& s) {
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

class Journal {
 public:
  Journal() = default;
  Journal(const Journal&) = delete;
  Journal& operator=(const Journal&) = delete;
  // The work is over (done, or undone by its own clean-up): nothing is left to remove.
  ~Journal() {
    if (fd_ < 0) return;
    ::unlink(file_.c_str());
    ::close(fd_);
  }
  // A temporary file or folder to remove when the work never finished.
  void Temporary(const std::string& path) { Write("T " + TrashEscapePath(path) + "\n"); }
  // A .trashinfo to remove when its trashed file never arrived; storedPath tells it from another
  // process's entry of the same name.
  void TrashInfo(const std::string& info, const std::string& file, const std::string& storedPath) {
    Write("I " + TrashEscapePath(info) + " " + TrashEscapePath(file) + " " + TrashEscapePath(storedPath) + "\n");
  }

 private:
  void Write(const std::string& line) {
    if (fd_ < 0 && !Open()) return;  // without a journal the work still runs
    if (posix::WriteAll(fd_, line.data(), line.size())) ::fsync(fd_);
  }
  bool Open() {
    const std::string folder = JournalFolder();
    if (folder.empty() || !MakeFolders(folder)) return false;
    // Locked before it gets the name the clean-up looks for, so it is never taken for a dead one.
    std::string pattern = folder + "/.new-XXXXXX";
    const int fd = ::mkostemp(pattern.data(), O_CLOEXEC | O_APPEND);
    if (fd < 0) return false;
    const std::string name = pattern.substr(pattern.size() - 6);
    file_ = folder + "/" + std::to_string(::getpid()) + "-" + name + ".unfinished";
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0 || ::rename(pattern.c_str(), file_.c_str()) != 0) {
      ::unlink(pattern.c_str());
      ::close(fd);
      file_.clear();
      return false;
    }
    fd_ = fd;
    SyncFolder(folder);
    return true;
  }

  int fd_ = -1;
  std::string file_;
};

// A name for a temporary entry beside the target, not taken yet when it is made.
std::string TempName(const std::string& folder, const std::string& name) {
  static std::atomic<uint32_t> serial{0};
  static const uint32_t salt = static_cast<uint32_t>(::time(nullptr)) ^ (static_cast<uint32_t>(::getpid()) << 12);
  return Join(folder, "." + name.substr(0, 200) + ".part-" + std::to_string(::getpid()) + "-" +
                          std::to_string(salt % 100000) + "-" + std::to_string(++serial));
}

// ---- Copy helpers.

int CopyData(int in, int out) {
  // copy_file_range lets the file system share or copy blocks itself; plain reads serve where
  // it is refused (another file system, an old kernel).
  bool plain = false;
  std::vector<char> buffer;
  for (;;) {
    if (!plain) {
      const ssize_t n = ::copy_file_range(in, nullptr, out, nullptr, 1 << 30, 0);
      if (n > 0) continue;
      if (n == 0) return 0;
      if (errno == EINTR) continue;
      if (errno != EXDEV && errno != EINVAL && errno != ENOSYS && errno != EOPNOTSUPP && errno != EPERM) return errno;
      plain = true;
      buffer.resize(1 << 20);
    }
    const ssize_t n = ::read(in, buffer.data(), buffer.size());
    if (n == 0) return 0;
    if (n < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    if (!posix::WriteAll(out, buffer.data(), static_cast<size_t>(n))) return errno;
  }
}

// Copies a regular file into a new temporary file in folder; temp receives its name.
int CopyFileToTemp(const std::string& source, const struct stat& st, const std::string& folder,
                   const std::string& name, std::string& temp, Journal& journal) {
  const int in = ::open(source.c_str(), O_RDONLY | O_CLOEXEC);
  if (in < 0) return errno;
  int out = -1;
  for (int attempt = 0; attempt < 100 && out < 0; ++attempt) {
    temp = TempName(folder, name);
    journal.Temporary(temp);
    out = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (out < 0 && errno != EEXIST) break;
  }
  if (out < 0) {
    const int err = errno;
    ::close(in);
    temp.clear();
    return err;
  }
  int err = CopyData(in, out);
  ::close(in);
  if (err == 0 && ::fchmod(out, st.st_mode & 07777) != 0) err = errno;
  if (err == 0) {
    const timespec times[2] = {st.st_atim, st.st_mtim};
    ::futimens(out, times);
  }
  if (err == 0 && ::fsync(out) != 0) err = errno;
  if (::close(out) != 0 && err == 0) err = errno;
  if (err != 0) {
    ::unlink(temp.c_str());
    temp.clear();
  }
  return err;
}

int CopyLinkToTemp(const std::string& source, const std::string& folder, const std::string& name, std::string& temp,
                   Journal& journal) {
  std::error_code ec;
  const std::filesystem::path target = std::filesystem::read_symlink(source, ec);
  if (ec) return ec.value();
  for (int attempt = 0; attempt < 100; ++attempt) {
    temp = TempName(folder, name);
    journal.Temporary(temp);
    if (::symlink(target.c_str(), temp.c_str()) == 0) return 0;
    if (errno != EEXIST) break;
  }
  const int err = errno;
  temp.clear();
  return err;
}

int CopyFolderToTemp(const std::string& source, const std::string& folder, const std::string& name, std::string& temp,
                     Journal& journal) {
  bool made = false;
  for (int attempt = 0; attempt < 100 && !made; ++attempt) {
    temp = TempName(folder, name);
    journal.Temporary(temp);
    made = ::mkdir(temp.c_str(), 0700) == 0;
    if (!made && errno != EEXIST) break;
  }
  if (!made) {
    const int err = errno;
    temp.clear();
    return err;
  }
  std::error_code ec;
  std::filesystem::copy(source, temp,
                        std::filesystem::copy_options::recursive | std::filesystem::copy_options::copy_symlinks, ec);
  if (!ec) {
    struct stat st {};
    if (::stat(source.c_str(), &st) == 0) ::chmod(temp.c_str(), st.st_mode & 07777);
    const int fd = ::open(temp.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
      ::syncfs(fd);  // the tree is complete on disk before it gets its real name
      ::close(fd);
    }
    return 0;
  }
  const int err = ec.value();
  std::filesystem::remove_all(temp, ec);
  temp.clear();
  return err != 0 ? err : EIO;
}

// Renames from to to; without replace an existing to is never touched.
int Publish(const std::string& from, const std::string& to, bool replace) {
  if (replace) return ::rename(from.c_str(), to.c_str()) == 0 ? 0 : errno;
  if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return 0;
  if (errno != EINVAL && errno != ENOSYS) return errno;
  // A file system without the no-replace rename: a hard link fails on an existing name too.
  struct stat st {};
  if (::lstat(from.c_str(), &st) == 0 && !S_ISDIR(st.st_mode)) {
    if (::link(from.c_str(), to.c_str()) == 0) {
      ::unlink(from.c_str());
      return 0;
    }
    if (errno == EEXIST) return EEXIST;
  }
  if (::lstat(to.c_str(), &st) == 0) return EEXIST;
  return ::rename(from.c_str(), to.c_str()) == 0 ? 0 : errno;
}

int RemoveTree(const std::string& path, bool isFolder) {
  if (!isFolder) return ::unlink(path.c_str()) == 0 ? 0 : errno;
  std::error_code ec;
  std::filesystem::remove_all(path, ec);
  return ec ? ec.value() : 0;
}

// ---- Trash helpers.

std::string DataHome() {
  const std::string xdg = Env("XDG_DATA_HOME");
  if (!xdg.empty() && xdg[0] == '/') return xdg;
  const std::string home = HomeFolder();
  return home.empty() ? std::string() : home + "/.local/share";
}

std::string MountTop(const std::string& path, dev_t dev) {
  std::string cur = FolderOf(path);
  while (cur != "/") {
    const std::string parent = FolderOf(cur);
    struct stat st {};
    if (::stat(parent.c_str(), &st) != 0 || st.st_dev != dev) return cur;
    cur = parent;
  }
  return "/";
}

// A trash folder at the top of a file system, where the freedesktop trash rules allow one.
std::string TopTrash(const std::string& top) {
  const std::string uid = std::to_string(::getuid());
  const std::string shared = Join(top, ".Trash");
  struct stat st {};
  if (::lstat(shared.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && (st.st_mode & S_ISVTX)) {
    const std::string mine = Join(shared, uid);
    if ((::mkdir(mine.c_str(), 0700) == 0 || errno == EEXIST) && ::lstat(mine.c_str(), &st) == 0 &&
        S_ISDIR(st.st_mode) && st.st_uid == ::getuid())
      return mine;
  }
  const std::string own = Join(top, ".Trash-" + uid);
  if ((::mkdir(own.c_str(), 0700) == 0 || errno == EEXIST) && ::lstat(own.c_str(), &st) == 0 && S_ISDIR(st.st_mode) &&
      st.st_uid == ::getuid())
    return own;
  return "";
}

std::string CutName(const std::string& name, size_t max) {
  if (name.size() <= max) return name;
  size_t n = max;
  while (n > 0 && (static_cast<uint8_t>(name[n]) & 0xC0) == 0x80) --n;
  return name.substr(0, n);
}

// The name of the k-th try for an entry of the trash ("clip.avi", "clip.2.avi", ...), short
// enough for its .trashinfo name to fit the file system's limit.
std::string TrashName(const std::string& base, int k) {
  constexpr size_t kMax = 255 - 10;  // room for ".trashinfo"
  const size_t dot = base.rfind('.');
  const bool hasExt = dot != std::string::npos && dot > 0 && base.size() - dot <= 16;
  const std::string stem = hasExt ? base.substr(0, dot) : base;
  const std::string ext = hasExt ? base.substr(dot) : "";
  const std::string number = k > 1 ? "." + std::to_string(k) : "";
  return CutName(stem, kMax - number.size() - ext.size()) + number + ext;
}

std::string NowForTrash() {
  char text[32];
  const time_t now = ::time(nullptr);
  struct tm local {};
  ::localtime_r(&now, &local);
  std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &local);
  return text;
}

int CopyMoveWith(const std::string& source, const std::string& target, bool move, bool replace, Journal& journal);

// Puts path into one trash folder. storedPath is what the .trashinfo records.
int TrashInto(const std::string& trash, const std::string& path, const std::string& storedPath, bool copy,
              std::string* trashedFile, std::string* infoFile) {
  const std::string files = Join(trash, "files"), info = Join(trash, "info");
  if (!MakeFolders(files) || !MakeFolders(info)) return errno != 0 ? errno : EACCES;
  const std::string base = NameOf(path);
  const std::string content =
      "[Trash Info]\nPath=" + TrashEscapePath(storedPath) + "\nDeletionDate=" + NowForTrash() + "\n";
  Journal journal;
  for (int k = 1; k <= 100000; ++k) {
    const std::string name = TrashName(base, k);
    const std::string infoPath = Join(info, name + ".trashinfo"), filePath = Join(files, name);
    // Named in the journal before it exists: a kill before the file follows leaves no info
    // without its file for long.
    journal.TrashInfo(infoPath, filePath, storedPath);
    // Creating the info file with O_EXCL reserves the name (the atomic step of the freedesktop trash rules).
    const int fd = ::open(infoPath.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0) {
      if (errno == EEXIST) continue;
      return errno;
    }
    struct stat st {};
    if (::lstat(filePath.c_str(), &st) == 0) {  // a stray entry without info: keep off it
      ::close(fd);
      ::unlink(infoPath.c_str());
      continue;
    }
    int err = posix::WriteSyncClose(fd, content.data(), content.size()) ? 0 : EIO;
    if (err == 0) {
      if (copy) {
        err = CopyMoveWith(path, filePath, true, false, journal);
      } else if (::rename(path.c_str(), filePath.c_str()) != 0) {
        err = errno;
      }
    }
    if (err != 0) {
      // What the failed move left in the trash (part of a folder whose source is partly gone)
      // keeps its info, so that it can be restored; otherwise the info goes too.
      if (::lstat(filePath.c_str(), &st) != 0) ::unlink(infoPath.c_str());
      return err;
    }
    SyncFolder(files);
    SyncFolder(info);
    SyncFolder(FolderOf(path));
    if (trashedFile != nullptr) *trashedFile = filePath;
    if (infoFile != nullptr) *infoFile = infoPath;
    return 0;
  }
  return EEXIST;
}

int CopyMoveWith(const std::string& source, const std::string& target, bool move, bool replace, Journal& journal) {
  // A name holding a NUL would name the part before it: another file.
  if (source.empty() || target.empty() || NameHasNul(source) || NameHasNul(target)) return EINVAL;
  struct stat ss {};
  // A move takes a link as it is; a copy copies what the link points at.
  if ((move ? ::lstat(source.c_str(), &ss) : ::stat(source.c_str(), &ss)) != 0) return errno;
  struct stat ts {};
  const bool targetExisted = ::lstat(target.c_str(), &ts) == 0;
  if (targetExisted) {
    struct stat tf {};
    const bool same = (ts.st_dev == ss.st_dev && ts.st_ino == ss.st_ino) ||
                      (::stat(target.c_str(), &tf) == 0 && tf.st_dev == ss.st_dev && tf.st_ino == ss.st_ino &&
                       !S_ISLNK(ts.st_mode));
    if (same) return move ? 0 : EINVAL;
    if (!replace) return EEXIST;
    if (S_ISDIR(ts.st_mode)) return EISDIR;  // replacing a folder would mean deleting its contents
  }
  const bool isFolder = S_ISDIR(ss.st_mode);
  if (isFolder) {
    // Never into itself.
    const std::string s = WithoutTrailingSlash(source) + "/";
    if (target.compare(0, s.size(), s) == 0) return EINVAL;
  }
  const std::string folder = FolderOf(target);
  if (move) {
    const int err = Publish(source, target, replace);
    if (err == 0) {
      SyncFolder(folder);
      SyncFolder(FolderOf(source));
      return 0;
    }
    if (err != EXDEV) return err;
    // Across file systems: a source that cannot be removed (a read-only file system, a folder
    // without write permission) is found before anything is copied.
    if (::access(FolderOf(source).c_str(), W_OK) != 0) return errno;
  }
  // Copy (or a move across file systems): the complete copy takes the target's name last.
  std::string temp;
  int err;
  if (isFolder) {
    err = CopyFolderToTemp(source, folder, NameOf(target), temp, journal);
  } else if (S_ISLNK(ss.st_mode)) {
    err = CopyLinkToTemp(source, folder, NameOf(target), temp, journal);
  } else if (S_ISREG(ss.st_mode)) {
    err = CopyFileToTemp(source, ss, folder, NameOf(target), temp, journal);
  } else {
    err = EPERM;  // devices, pipes and sockets are not copied
  }
  if (err != 0) return err;
  err = Publish(temp, target, replace);
  if (err != 0) {
    RemoveTree(temp, isFolder);
    return err;
  }
  SyncFolder(folder);
  if (move) {
    err = RemoveTree(source, isFolder);
    if (err != 0) {
      // A failed move leaves no second copy behind: the new one goes again unless it took the
      // place of an old file (lost already) or part of a folder's source is gone.
      if (!isFolder && !targetExisted && ::unlink(target.c_str()) == 0) SyncFolder(folder);
      return err;
    }
    SyncFolder(FolderOf(source));
  }
  return 0;
}

}  // namespace

// ---- Programs.

std::vector<std::string> SplitCommandLine(const std::string& commandLine) {
  std::vector<std::string> args;
  std::string current;
  bool inToken = false, quoted = false;
  for (char c : commandLine) {
    if (c == '"') {
      quoted = !quoted;
      inToken = true;
    } else if ((c == ' ' || c == '\t') && !quoted) {
      if (inToken) args.push_back(current);
      current.clear();
      inToken = false;
    } else {
      current += c;
      inToken = true;
    }
  }
  if (inToken) args.push_back(current);
  return args;
}

bool SpawnProgram(const std::vector<std::string>& argv, const std::string& dir, bool wait, int* exitCode) {
  if (argv.empty() || argv[0].empty()) return false;
  // An argument holding a NUL would reach the program cut short.
  for (const std::string& a : argv)
    if (NameHasNul(a)) return false;
  if (NameHasNul(dir)) return false;
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawnattr_t attr;
  posix_spawn_file_actions_init(&actions);
  posix_spawnattr_init(&attr);
  if (!dir.empty()) posix_spawn_file_actions_addchdir_np(&actions, dir.c_str());
  // The child starts with no blocked signals and default handlers, whatever this process set.
  sigset_t none, all;
  sigemptyset(&none);
  sigfillset(&all);
  posix_spawnattr_setsigmask(&attr, &none);
  posix_spawnattr_setsigdefault(&attr, &all);
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);

  pid_t pid = 0;
  const bool byPath = argv[0].find('/') == std::string::npos;
  const int rc = byPath ? ::posix_spawnp(&pid, args[0], &actions, &attr, args.data(), environ)
                        : ::posix_spawn(&pid, args[0], &actions, &attr, args.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attr);
  if (rc != 0) return false;

  if (!wait) {
    // Nobody waits for it, so a small thread reaps it when it ends.
    std::thread([pid] {
      int status = 0;
      while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
      }
    }).detach();
    return true;
  }
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return true;  // started, but its end could not be seen
  }
  if (exitCode != nullptr) *exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return true;
}

bool DesktopOpen(const std::string& target) {
  if (target.empty() || NameHasNul(target)) return false;
  std::string opener;
  {
    std::lock_guard<std::mutex> guard(g_mutex);
    opener = g_opener.empty() ? "xdg-open" : g_opener;
  }
  // The opener takes no "--": a relative name that begins with '-' would read as an option.
  const std::string arg = target[0] == '-' ? "./" + target : target;
  return SpawnProgram({opener, arg}, "", false);
}

void SetDesktopOpener(const std::string& program) {
  std::lock_guard<std::mutex> guard(g_mutex);
  g_opener = program;
}

// ---- Folders.

std::string DocumentsFolder() {
  const std::string home = HomeFolder();
  const std::string fromEnv = Env("XDG_DOCUMENTS_DIR");
  if (!fromEnv.empty() && fromEnv[0] == '/' && IsFolder(fromEnv)) return WithoutTrailingSlash(fromEnv);

  std::string config = Env("XDG_CONFIG_HOME");
  if (config.empty() || config[0] != '/') config = home.empty() ? "" : home + "/.config";
  if (!config.empty()) {
    std::ifstream in(config + "/user-dirs.dirs");
    std::string line;
    const std::string key = "XDG_DOCUMENTS_DIR=";
    while (std::getline(in, line)) {
      if (line.compare(0, key.size(), key) != 0) continue;
      std::string value = line.substr(key.size());
      if (value.size() >= 2 && value.front() == '"' && value.back() == '"') value = value.substr(1, value.size() - 2);
      if (value.compare(0, 5, "$HOME") == 0) value = home + value.substr(5);
      if (!value.empty() && value[0] == '/' && IsFolder(value)) return WithoutTrailingSlash(value);
    }
  }
  return home.empty() ? std::string() : WithoutTrailingSlash(home);
}

void SetWorkAreaProvider(WorkAreaProvider provider) {
  std::lock_guard<std::mutex> guard(g_mutex);
  g_workArea = provider;
}

WorkAreaRect DesktopWorkArea() {
  WorkAreaProvider provider;
  {
    std::lock_guard<std::mutex> guard(g_mutex);
    provider = g_workArea;
  }
  WorkAreaRect r;
  if (provider != nullptr && provider(r) && r.right > r.left && r.bottom > r.top) return r;
  return WorkAreaRect{0, 0, 1920, 1080};
}

// ---- Copy and move.

std::string CopyMoveTarget(const std::string& source, const std::string& dest) {
  if (IsFolder(dest)) return Join(WithoutTrailingSlash(dest), NameOf(source));
  return dest;
}

int CopyMoveFile(const std::string& source, const std::string& target, bool move, bool replace) {
  Journal journal;
  return CopyMoveWith(source, target, move, replace, journal);
}

void CleanUpUnfinishedWork() {
  const std::string folder = JournalFolder();
  DIR* dir = folder.empty() ? nullptr : ::opendir(folder.c_str());
  if (dir == nullptr) return;
  std::vector<std::string> entries;
  while (const dirent* e = ::readdir(dir)) {
    const std::string name = e->d_name;
    const std::string suffix = ".unfinished";
    if (name.size() > suffix.size() && name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0)
      entries.push_back(Join(folder, name));
  }
  ::closedir(dir);
  for (const std::string& entry : entries) {
    const int fd = ::open(entry.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) continue;
    // Held by its process while the work runs; a lock that can be taken belongs to nobody.
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
      ::close(fd);
      continue;
    }
    std::string text;
    char buffer[4096];
    for (ssize_t n; (n = ::read(fd, buffer, sizeof buffer)) > 0;) text.append(buffer, static_cast<size_t>(n));
    size_t at = 0;
    while (at < text.size()) {
      size_t end = text.find('\n', at);
      if (end == std::string::npos) break;  // a line cut short by the kill was never acted on
      const std::string line = text.substr(at, end - at);
      at = end + 1;
      std::vector<std::string> fields;
      for (size_t from = 0; from <= line.size();) {
        const size_t blank = std::min(line.find(' ', from), line.size());
        fields.push_back(line.substr(from, blank - from));
        from = blank + 1;
      }
      struct stat st {};
      if (fields.size() == 2 && fields[0] == "T") {
        const std::string temp = PercentDecode(fields[1]);
        if (::lstat(temp.c_str(), &st) == 0) RemoveTree(temp, S_ISDIR(st.st_mode));
      } else if (fields.size() == 4 && fields[0] == "I") {
        const std::string info = PercentDecode(fields[1]), file = PercentDecode(fields[2]);
        if (::lstat(file.c_str(), &st) == 0 || errno != ENOENT) continue;
        // Only the info this work made: empty (killed before its text) or naming the same path.
        std::ifstream in(info, std::ios::binary);
        const std::string content((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        if (in.is_open() && (content.empty() || content.find("\nPath=" + fields[3] + "\n") != std::string::npos))
          ::unlink(info.c_str());
      }
    }
    ::unlink(entry.c_str());
    ::close(fd);
  }
}

// ---- Trash.

std::string HomeTrashFolder() {
  const std::string data = DataHome();
  return data.empty() ? std::string() : data + "/Trash";
}

std::string TrashEscapePath(const std::string& path) {
  static const char kHexUpper[] = "0123456789ABCDEF";
  std::string out;
  for (char ch : path) {
    const auto c = static_cast<uint8_t>(ch);
    if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || ch == '-' || ch == '_' ||
        ch == '.' || ch == '~' || ch == '/') {
      out += ch;
    } else {
      out += '%';
      out += kHexUpper[c >> 4];
      out += kHexUpper[c & 15];
    }
  }
  return out;
}

int MoveToTrash(const std::string& path, std::string* trashedFile, std::string* infoFile) {
  if (path.empty() || NameHasNul(path)) return EINVAL;
  std::error_code ec;
  std::filesystem::path abs = std::filesystem::absolute(path, ec);
  if (ec) return ec.value();
  std::string full = WithoutTrailingSlash(abs.lexically_normal().string());
  if (full == "/" || full.empty()) return EINVAL;
  struct stat st {};
  if (::lstat(full.c_str(), &st) != 0) return errno;

  const std::string home = HomeTrashFolder();
  const bool homeOk = !home.empty() && MakeFolders(home + "/files") && MakeFolders(home + "/info");
  struct stat hs {};
  if (homeOk && ::stat(home.c_str(), &hs) == 0 && hs.st_dev == st.st_dev)
    return TrashInto(home, full, full, false, trashedFile, infoFile);

  // Another file system: its own trash at the top, with the path relative to that top.
  const std::string top = MountTop(full, st.st_dev);
  const std::string topTrash = TopTrash(top);
  if (!topTrash.empty()) {
    const std::string relative = top == "/" ? full.substr(1) : full.substr(top.size() + 1);
    if (TrashInto(topTrash, full, relative, false, trashedFile, infoFile) == 0) return 0;
  }
  if (!homeOk) return EACCES;
  return TrashInto(home, full, full, true, trashedFile, infoFile);
}

}  // namespace tavelo::platform
