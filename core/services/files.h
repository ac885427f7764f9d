// Tracked binary and text files. Every open file is entered in one process-wide table (at most
// 256 entries, under a mutex) under a handle number that is never reused, so a failed monitor
// frame can close what its thread opened and the program-end report can list what stayed open.
// Failures are reported with class 6 (ecFile); sizes and positions are 64-bit.
#pragma once
#include <sys/types.h>

#include <cstdint>
#include <string>

#include "base/posix_files.h"

namespace tavelo {

constexpr int32_t kMaxTrackedFiles = 256;
constexpr int32_t kBadHandle = 0x7FFFFFFF;

// Open modes (bits). For binary files exactly 1 is read only, exactly 2 write only, anything
// else read and write.
enum : int32_t { fmRead = 1, fmWrite = 2, fmCreate = 4, fmAppend = 8 };

struct FileRecord {
  int32_t Handle = 0;
  bool IsText = false;
  std::string Name;  // at most 255 characters
  int Fd = -1;
  uint64_t Thread = 0;
  int64_t Seq = 0;
};

int32_t FOpen(int32_t& handle, const std::string& name, int32_t mode);
int32_t FRead(int32_t handle, void* buffer, int64_t count);
bool FTryRead(int32_t handle, void* buffer, int64_t count, int64_t& done);
int32_t FWrite(int32_t handle, const void* buffer, int64_t count);
int32_t FSeek(int32_t handle, int64_t position);
void FClose(int32_t handle);
int64_t FSize(int32_t handle);
int64_t FPos(int32_t handle);
bool FEof(int32_t handle);
int32_t FDelete(const std::string& name);
int32_t FRename(const std::string& oldName, const std::string& newName);
double FSizeByName(const std::string& name);

int32_t TXTOpen(int32_t& handle, const std::string& name, int32_t mode);
int32_t TXTWrite(int32_t handle, const std::string& line);
void TXTClose(int32_t handle);

// The name checks every routine makes before it hands a name to the system.
using posix::NameHasNul;
using posix::OpenRegularFile;

int32_t FCount();
int64_t FMark();
// Closes this thread's files opened at or after mark, newest first.
void FCloseFrom(int64_t mark);
// A copy of entry i; an empty record (Handle 0) when out of range.
FileRecord FEntry(int32_t index);
// The name of an open file; empty for an unknown handle.
std::string FName(int32_t handle);

}  // namespace tavelo
