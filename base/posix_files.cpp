#include "base/posix_files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace tavelo::posix {

namespace {

// One system call moves at most this much, whatever the caller asks for.
constexpr size_t kMaxChunk = size_t{1} << 30;

size_t EndWithoutSlashes(const std::string& path) {
  size_t end = path.size();
  while (end > 1 && path[end - 1] == '/') --end;
  return end;
}

bool IsFolder(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

}  // namespace

std::string FolderOf(const std::string& path) {
  const size_t end = EndWithoutSlashes(path);
  const size_t slash = end == 0 ? std::string::npos : path.rfind('/', end - 1);
  if (slash == std::string::npos) return ".";
  return slash == 0 ? std::string("/") : path.substr(0, slash);
}

std::string NameOf(const std::string& path) {
  const size_t end = EndWithoutSlashes(path);
  const size_t slash = end == 0 ? std::string::npos : path.rfind('/', end - 1);
  const size_t start = slash == std::string::npos ? 0 : slash + 1;
  return path.substr(start, end - start);
}

bool MakeFolders(const std::string& folder) {
  if (folder.empty() || NameHasNul(folder)) return false;
  if (IsFolder(folder)) return true;
  for (size_t i = 1; i <= folder.size(); ++i) {
    if (i < folder.size() && folder[i] != '/') continue;
    if (folder[i - 1] == '/') continue;  // "a//b": the same folder again
    const std::string part = folder.substr(0, i);
    if (::mkdir(part.c_str(), 0700) != 0 && errno != EEXIST) return false;
  }
  return IsFolder(folder);
}

bool NameHasNul(const std::string& name) { return name.find('\0') != std::string::npos; }

int OpenRegularFile(const std::string& name, int flags, mode_t createMode) {
  // A name with a NUL in it would open the part before the NUL: another file.
  if (NameHasNul(name)) {
    errno = EINVAL;
    return -1;
  }
  // Opened without blocking: a FIFO would otherwise wait for a writer (or a reader) for ever,
  // and a terminal must never become the controlling terminal.
  const int fd = ::open(name.c_str(), flags | O_CLOEXEC | O_NONBLOCK | O_NOCTTY, createMode);
  if (fd < 0) return -1;
  struct stat st {};
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(fd);
    errno = EINVAL;
    return -1;
  }
  const int fl = fcntl(fd, F_GETFL);
  if (fl < 0 || fcntl(fd, F_SETFL, fl & ~O_NONBLOCK) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

bool ReadAll(int fd, void* buffer, size_t count, size_t& done) {
  auto* p = static_cast<char*>(buffer);
  done = 0;
  while (done < count) {
    const ssize_t n = ::read(fd, p + done, std::min(count - done, kMaxChunk));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    if (n == 0) break;
    done += static_cast<size_t>(n);
  }
  return true;
}

bool WriteAll(int fd, const void* buffer, size_t count) {
  const auto* p = static_cast<const char*>(buffer);
  size_t done = 0;
  while (done < count) {
    const ssize_t n = ::write(fd, p + done, std::min(count - done, kMaxChunk));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    if (n == 0) {
      errno = EIO;
      return false;
    }
    done += static_cast<size_t>(n);
  }
  return true;
}

void SyncFolder(const std::string& folder) {
  const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd >= 0) {
    ::fsync(fd);
    ::close(fd);
  }
}

bool SyncFile(const std::string& name) {
  const int fd = ::open(name.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  const bool synced = ::fsync(fd) == 0;
  const int err = errno;
  ::close(fd);
  errno = err;
  return synced;
}

bool WriteSyncClose(int fd, const void* buffer, size_t count) {
  const bool ok = WriteAll(fd, buffer, count) && ::fsync(fd) == 0;
  const int err = errno;
  const bool closed = ::close(fd) == 0;
  if (!ok) errno = err;  // the first failure is the one to tell
  return ok && closed;
}

bool RenameSynced(const std::string& temp, const std::string& target) {
  if (::rename(temp.c_str(), target.c_str()) != 0) return false;
  SyncFolder(FolderOf(target));
  return true;
}

}  // namespace tavelo::posix
