#include "core/services/path_utils.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "base/posix_files.h"
#include "core/services/text_utils.h"
#include "platform/sysinfo/sysinfo.h"

namespace tavelo {

namespace {

bool Exists(const std::string& path) {
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0;
}

}  // namespace

std::string GetExeDir() {
  const std::string exe = platform::ProgramFileName();
  const size_t slash = exe.rfind(kPathDelim);
  return slash == std::string::npos ? std::string() : exe.substr(0, slash + 1);
}

std::string AddBackslash(const std::string& path) {
  if (path.empty() || path.back() == kPathDelim) return path;
  return path + kPathDelim;
}

std::string DelBackslash(const std::string& path) {
  size_t n = path.size();
  while (n > 0 && path[n - 1] == kPathDelim) --n;
  return path.substr(0, n);
}

std::string GetPathRoot(const std::string& path) {
  const std::string p = TrimBlanks(path);
  return !p.empty() && p[0] == kPathDelim ? std::string(1, kPathDelim) : std::string();
}

std::string GetParentDir(const std::string& path) {
  std::string p = TrimBlanks(path);
  const std::string root = GetPathRoot(p);
  if (p.size() > root.size() && p.back() == kPathDelim) p.pop_back();
  const size_t slash = p.rfind(kPathDelim);
  if (slash != std::string::npos && slash >= root.size()) return p.substr(0, slash + 1);
  return root.empty() ? std::string(1, kPathDelim) : root;
}

std::string ExtractFilePath(const std::string& path) {
  const size_t slash = path.rfind(kPathDelim);
  return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

void SplitFileName(const std::string& path, std::string& dir, std::string& name, std::string& ext) {
  const size_t slash = path.rfind(kPathDelim);
  dir = ExtractFilePath(path);
  const std::string file = slash == std::string::npos ? path : path.substr(slash + 1);
  const size_t dot = file.rfind('.');
  if (dot == std::string::npos) {
    name = file;
    ext.clear();
  } else {
    name = file.substr(0, dot);
    ext = file.substr(dot);
  }
}

std::string ChangeExt(const std::string& path, const std::string& ext) {
  std::string dir, name, oldExt;
  SplitFileName(path, dir, name, oldExt);
  std::string e = ext;
  if (!e.empty() && e[0] != '.') e.insert(e.begin(), '.');
  return dir + name + e;
}

std::string MakeNumberedName(const std::string& path, bool probe) {
  std::string dir, name, ext;
  SplitFileName(path, dir, name, ext);
  if (!probe) return dir + name + "???" + ext;
  for (int n = 1; n <= 9999999; ++n) {
    char number[16];
    std::snprintf(number, sizeof number, "%03d", n);
    const std::string candidate = dir + name + number + ext;
    if (!Exists(candidate)) return candidate;
  }
  return "";
}

void CutAtNul(std::string& s) {
  const size_t nul = s.find('\0');
  if (nul != std::string::npos) s.resize(nul);
}

bool StrToFile(const std::string& fileName, const std::string& text) {
  if (fileName.empty()) return false;
  struct stat st {};
  if (::stat(fileName.c_str(), &st) == 0 && S_ISREG(st.st_mode) && !(st.st_mode & S_IWUSR))
    ::chmod(fileName.c_str(), st.st_mode | S_IWUSR);
  const int fd = ::open(fileName.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return false;
  const bool ok = posix::WriteAll(fd, text.data(), text.size());
  return ::close(fd) == 0 && ok;
}

}  // namespace tavelo
