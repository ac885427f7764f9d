#include "core/services/files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <vector>

#include "core/services/basic.h"
#include "core/services/errors.h"
#include "core/services/trace.h"
#include "core/services/tracking.h"

namespace tavelo {

namespace {

struct FileTable {
  std::vector<FileRecord> entries;  // entries.size() is Count
  int32_t nextHandle = 1;
};

FileTable& Table() REQUIRES(detail::TrackingMutex()) {
  static FileTable t;
  return t;
}

// -1 when the handle is unknown.
int FdOf(int32_t handle) {
  const LockGuard lock(detail::TrackingMutex());
  for (const FileRecord& r : Table().entries)
    if (r.Handle == handle) return r.Fd;
  return -1;
}

bool TableFull() {
  const LockGuard lock(detail::TrackingMutex());
  return static_cast<int32_t>(Table().entries.size()) >= kMaxTrackedFiles;
}

// Enters an open descriptor in the table; false when the table is full (the caller closes it).
bool Register(int fd, const std::string& name, bool isText, int32_t& handle) {
  const LockGuard lock(detail::TrackingMutex());
  FileTable& t = Table();
  if (static_cast<int32_t>(t.entries.size()) >= kMaxTrackedFiles) return false;
  FileRecord r;
  r.Handle = t.nextHandle++;
  r.IsText = isText;
  r.Name = CutUtf8(name, 255);
  r.Fd = fd;
  r.Thread = detail::CurrentThreadTag();
  r.Seq = detail::NextTrackingSeq();
  t.entries.push_back(r);
  handle = r.Handle;
  return true;
}

// Removes the entry of handle (the last entry fills its place); -1 when unknown.
int Unregister(int32_t handle) {
  const LockGuard lock(detail::TrackingMutex());
  auto& e = Table().entries;
  for (size_t i = 0; i < e.size(); ++i) {
    if (e[i].Handle != handle) continue;
    const int fd = e[i].Fd;
    if (i != e.size() - 1) e[i] = e.back();
    e.pop_back();
    return fd;
  }
  return -1;
}

// Opens a regular file (never a folder, FIFO, device or socket); -1 on failure.
int OpenRegular(const std::string& name, int flags) { return OpenRegularFile(name, flags, 0666); }

void CloseTracked(int32_t handle, const char* traceName, int32_t line) {
  TraceScope trace(traceName);
  ClearWarning();
  const int fd = Unregister(handle);
  if (fd < 0) return;
  if (::close(fd) != 0) SetWarning(ecFile, 8, line);
}

}  // namespace

int32_t FOpen(int32_t& handle, const std::string& name, int32_t mode) {
  TraceScope trace("Basic.FOpen");
  LastFileName() = name;
  const int access = mode == fmRead ? O_RDONLY : (mode == fmWrite ? O_WRONLY : O_RDWR);
  int32_t code = 0;
  handle = kBadHandle;
  if (TableFull()) {
    // Checked before opening: a full table never costs a descriptor.
    code = 11;
  } else {
    int fd = -1;
    if (mode & fmCreate) {
      fd = OpenRegular(name, access | O_CREAT | O_TRUNC);
      if (fd < 0) code = 2;
    } else if (!(mode & fmAppend)) {
      fd = OpenRegular(name, access);
      if (fd < 0) code = 1;
    } else {
      fd = OpenRegular(name, access);
      if (fd < 0) {
        code = 7;
      } else if (::lseek(fd, 0, SEEK_END) < 0) {
        code = 5;
        ::close(fd);
        fd = -1;
      }
    }
    if (fd >= 0 && !Register(fd, name, false, handle)) {
      ::close(fd);
      code = 11;
    }
  }
  SetError(ecFile, code, 787);
  return code;
}

int32_t FRead(int32_t handle, void* buffer, int64_t count) {
  TraceScope trace("Basic.FRead");
  int32_t code = 0;
  if (count >= 1) {
    const int fd = FdOf(handle);
    size_t done = 0;
    if (fd < 0 || !posix::ReadAll(fd, buffer, static_cast<size_t>(count), done) ||
        done != static_cast<size_t>(count))
      code = 3;
  }
  SetError(ecFile, code, 804);
  return code;
}

bool FTryRead(int32_t handle, void* buffer, int64_t count, int64_t& done) {
  done = 0;
  if (count < 1) return true;
  const int fd = FdOf(handle);
  if (fd < 0) return false;
  size_t got = 0;
  posix::ReadAll(fd, buffer, static_cast<size_t>(count), got);
  done = static_cast<int64_t>(got);
  return done == count;
}

int32_t FWrite(int32_t handle, const void* buffer, int64_t count) {
  TraceScope trace("Basic.FWrite");
  int32_t code = 0;
  if (count >= 1) {
    const int fd = FdOf(handle);
    if (fd < 0 || !posix::WriteAll(fd, buffer, static_cast<size_t>(count))) code = 4;
  }
  SetError(ecFile, code, 832);
  return code;
}

int32_t FSeek(int32_t handle, int64_t position) {
  TraceScope trace("Basic.FSeek");
  int32_t code = 0;
  const int fd = FdOf(handle);
  if (fd < 0 || position < 0 || ::lseek(fd, position, SEEK_SET) < 0) code = 5;
  SetError(ecFile, code, 849);
  return code;
}

void FClose(int32_t handle) { CloseTracked(handle, "Basic.FClose", 863); }

int64_t FSize(int32_t handle) {
  const int fd = FdOf(handle);
  struct stat st {};
  if (fd < 0 || fstat(fd, &st) != 0) return kBadHandle;
  return st.st_size;
}

int64_t FPos(int32_t handle) {
  const int fd = FdOf(handle);
  if (fd < 0) return kBadHandle;
  const off_t pos = ::lseek(fd, 0, SEEK_CUR);
  return pos < 0 ? kBadHandle : pos;
}

bool FEof(int32_t handle) {
  const int fd = FdOf(handle);
  struct stat st {};
  if (fd < 0 || fstat(fd, &st) != 0) return true;
  return ::lseek(fd, 0, SEEK_CUR) >= st.st_size;
}

int32_t FDelete(const std::string& name) {
  TraceScope trace("Basic.FDelete");
  LastFileName() = name;
  int32_t code = 0;
  struct stat st {};
  if (NameHasNul(name)) {
    code = 6;
  } else if (::lstat(name.c_str(), &st) == 0) {
    // A read-only file is made writable first, as the program always did before deleting.
    if (!S_ISLNK(st.st_mode) && !(st.st_mode & S_IWUSR)) ::chmod(name.c_str(), (st.st_mode & 07777) | S_IWUSR);
    if (::unlink(name.c_str()) != 0) code = 6;
  }
  SetError(ecFile, code, 723);
  return code;
}

int32_t FRename(const std::string& oldName, const std::string& newName) {
  TraceScope trace("Basic.FRename");
  LastFileName() = oldName;
  if (NameHasNul(oldName) || NameHasNul(newName) || std::rename(oldName.c_str(), newName.c_str()) != 0)
    SetError(ecFile, 10, 922);
  return 0;
}

double FSizeByName(const std::string& name) {
  struct stat st {};
  if (NameHasNul(name) || ::stat(name.c_str(), &st) != 0 || S_ISDIR(st.st_mode)) return 0;
  return static_cast<double>(st.st_size);
}

int32_t TXTOpen(int32_t& handle, const std::string& name, int32_t mode) {
  TraceScope trace("Basic.TXTOpen");
  LastFileName() = name;
  int32_t code = 0;
  handle = kBadHandle;
  if (TableFull()) {
    code = 11;
  } else {
    int fd = -1;
    if (mode & fmCreate) {
      fd = OpenRegular(name, O_WRONLY | O_CREAT | O_TRUNC);
      if (fd < 0) code = 2;
    } else if (mode & fmAppend) {
      fd = OpenRegular(name, O_WRONLY | O_APPEND);
      if (fd < 0) code = 7;
    } else {
      fd = OpenRegular(name, O_RDONLY);
      if (fd < 0) code = 1;
    }
    if (fd >= 0 && !Register(fd, name, true, handle)) {
      ::close(fd);
      code = 11;
    }
  }
  SetError(ecFile, code, 987);
  return code;
}

int32_t TXTWrite(int32_t handle, const std::string& line) {
  TraceScope trace("Basic.TXTWrite");
  const std::string text = line + "\r\n";
  const int fd = FdOf(handle);
  const int32_t code = (fd < 0 || !posix::WriteAll(fd, text.data(), text.size())) ? 4 : 0;
  SetError(ecFile, code, 1021);
  return code;
}

void TXTClose(int32_t handle) { CloseTracked(handle, "Basic.TXTClose", 1035); }

int32_t FCount() {
  const LockGuard lock(detail::TrackingMutex());
  return static_cast<int32_t>(Table().entries.size());
}

int64_t FMark() { return detail::PeekTrackingSeq(); }

void FCloseFrom(int64_t mark) {
  std::vector<FileRecord> mine;
  {
    const LockGuard lock(detail::TrackingMutex());
    const uint64_t me = detail::CurrentThreadTag();
    for (const FileRecord& r : Table().entries)
      if (r.Thread == me && r.Seq >= mark) mine.push_back(r);
  }
  std::sort(mine.begin(), mine.end(), [](const FileRecord& a, const FileRecord& b) { return a.Seq > b.Seq; });
  for (const FileRecord& r : mine) {
    if (r.IsText)
      TXTClose(r.Handle);
    else
      FClose(r.Handle);
  }
}

FileRecord FEntry(int32_t index) {
  const LockGuard lock(detail::TrackingMutex());
  const auto& e = Table().entries;
  if (index < 0 || static_cast<size_t>(index) >= e.size()) return {};
  return e[static_cast<size_t>(index)];
}

std::string FName(int32_t handle) {
  const LockGuard lock(detail::TrackingMutex());
  for (const FileRecord& r : Table().entries)
    if (r.Handle == handle) return r.Name;
  return {};
}

}  // namespace tavelo
