#include "fuzz/support/fuzz_env.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>

#include "core/services/errors.h"
#include "core/services/files.h"
#include "core/services/memory.h"
#include "core/services/monitor.h"
#include "formats/conform.h"
#include "formats/ff_basic.h"
#include "formats/ff_tables.h"
#include "platform/dynlib/dynlib.h"

namespace tavelo::fuzz {

namespace {

std::string g_root;
// Where Touch leaves its sum, so that the reads are not optimized away.
volatile uint8_t g_touched = 0;

// tmpfs when the machine has one: every input is written and read back, and the disk need not
// see any of it. TAVELO_FUZZ_TMP (set by scripts/fuzz-long.sh) takes precedence.
std::string TempBase() {
  if (const char* t = std::getenv("TAVELO_FUZZ_TMP"); t != nullptr && t[0] == '/') return t;
  if (::access("/dev/shm", W_OK) == 0) return "/dev/shm";
  if (const char* t = std::getenv("TMPDIR"); t != nullptr && t[0] == '/') return t;
  return "/tmp";
}

// A run that crashed, or was stopped, could not remove its folder: folders of processes that
// no longer exist are removed when the next target starts.
void RemoveStaleFolders(const std::string& base) {
  std::error_code ec;
  for (const auto& e : std::filesystem::directory_iterator(base, ec)) {
    const std::string name = e.path().filename().string();
    if (name.rfind("tavelo-fuzz-", 0) != 0) continue;
    char* end = nullptr;
    const long pid = std::strtol(name.c_str() + 12, &end, 10);
    if (pid <= 0 || end == nullptr || *end != '-') continue;
    if (::kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH) std::filesystem::remove_all(e.path(), ec);
  }
}

void RemoveRoot() {
  if (g_root.empty()) return;
  std::error_code ec;
  std::filesystem::remove_all(g_root, ec);
}

}  // namespace

void InitEnvironment() {
  if (!g_root.empty()) return;
  const std::string base = TempBase();
  RemoveStaleFolders(base);
  std::string pattern = base + "/tavelo-fuzz-" + std::to_string(::getpid()) + "-XXXXXX";
  if (::mkdtemp(pattern.data()) == nullptr) {
    std::perror("tavelo fuzz: mkdtemp");
    std::abort();
  }
  g_root = pattern;
  std::atexit(RemoveRoot);
  // The program must never see the real user's folders: settings, trash and Documents all
  // live below the private folder.
  const std::string home = g_root + "/home";
  for (const char* sub : {"/home", "/home/.config", "/home/.local/share", "/home/.cache", "/home/Documents"})
    std::filesystem::create_directories(g_root + sub);
  ::setenv("HOME", home.c_str(), 1);
  ::setenv("XDG_CONFIG_HOME", (home + "/.config").c_str(), 1);
  ::setenv("XDG_DATA_HOME", (home + "/.local/share").c_str(), 1);
  ::setenv("XDG_CACHE_HOME", (home + "/.cache").c_str(), 1);
  ::setenv("XDG_DOCUMENTS_DIR", (home + "/Documents").c_str(), 1);
  ::setenv("TAVELO_AUDIO", "null", 1);

  // The codec libraries of this build (a target runs from <build>/fuzz/).
  platform::SetLibraryFolder(TAVELO_CODEC_DIR);
  FFTablesUnitInit();
  ConformUnitInit();
  FFSetPictureSideLimitForTest(kFuzzPictureSide);
}

const std::string& PrivateFolder() { return g_root; }

std::string WriteInput(const std::string& name, const uint8_t* data, size_t size) {
  const std::string path = g_root + "/" + name;
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) Broken("cannot create " + path);
  size_t done = 0;
  while (done < size) {
    const ssize_t n = ::write(fd, data + done, size - done);
    if (n <= 0) {
      ::close(fd);
      Broken("cannot write " + path);
    }
    done += static_cast<size_t>(n);
  }
  ::close(fd);
  return path;
}

InputScope::InputScope()
    : memCount_(MemCount()), fileCount_(FCount()), memMark_(MemMark()), fileMark_(FMark()) {
  ClearError();
  ClearWarning();
}

InputScope::~InputScope() {
  std::string what;
  if (MonitorDepth() != 0) what += "a monitor frame is still open (depth " + std::to_string(MonitorDepth()) + ")\n";
  if (ErrorsLocked()) what += "the error state is still locked\n";
  if (MemCount() != memCount_) {
    what += "tracked memory blocks left behind:\n";
    for (int32_t i = 0; i < MemCount(); ++i) {
      const MemRecord r = MemEntry(i);
      if (r.Block != nullptr && r.Seq >= memMark_) what += "  " + r.Tag + " (" + std::to_string(r.Size) + " bytes)\n";
    }
  }
  if (FCount() != fileCount_) {
    what += "tracked files left open:\n";
    for (int32_t i = 0; i < FCount(); ++i) {
      const FileRecord f = FEntry(i);
      if (f.Handle != 0 && f.Seq >= fileMark_) what += "  " + f.Name + "\n";
    }
  }
  if (!what.empty()) Broken(what);
  ClearError();
  ClearWarning();
}

void Broken(const std::string& what) {
  std::fprintf(stderr, "==tavelo fuzz== %s\n", what.c_str());
  std::fflush(stderr);
  std::abort();
}

void Touch(const void* data, int64_t bytes) {
  if (bytes <= 0) return;
  const auto* p = static_cast<const volatile uint8_t*>(data);
  uint8_t sum = 0;
  // Every 16th byte (the sanitizer's smallest red zone) and the last: an allocation shorter than
  // its owner claims cannot be stepped over, and large pictures stay quick.
  for (int64_t i = 0; i < bytes; i += 16) sum = static_cast<uint8_t>(sum + p[i]);
  sum = static_cast<uint8_t>(sum + p[bytes - 1]);
  g_touched = static_cast<uint8_t>(g_touched + sum);
}

}  // namespace tavelo::fuzz
