// Directory searches with the attribute bits and file times the program was designed around,
// synthesised from what the file system keeps:
//   read-only  the owner may not write;    hidden     the name begins with '.';
//   system     a device, pipe or socket;    directory  a folder;
//   archive    every regular file;          reparse    a symbolic link whose target is gone.
// Symbolic links are followed: a link to a file looks like that file. The entries "." and ".."
// are never returned. Names are compared exactly (case-sensitive), as the file system does.
#pragma once
#include <ctime>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace tavelo::platform {

enum : int32_t {
  kAttrReadOnly = 0x1,
  kAttrHidden = 0x2,
  kAttrSystem = 0x4,
  kAttrDirectory = 0x10,
  kAttrArchive = 0x20,
  kAttrNormal = 0x80,
  kAttrReparsePoint = 0x400,
};

struct FindEntry {
  std::string name;  // without folder
  int32_t attr = 0;
  int64_t size = 0;
  timespec creationTime{};  // birth time where the file system keeps one, else the change time
  timespec writeTime{};
  timespec accessTime{};
};

// Matches a name against a pattern with the wildcards '*' (any run) and '?' (one character).
// "*.*" matches every name, as it always did.
bool WildcardMatch(const std::string& pattern, const std::string& name);

class FindHandle;

// Starts a search: pattern is a folder part (up to the last '/'; none means the current folder)
// and a name that may hold wildcards. The entries are returned in byte order of their names.
// nullptr when nothing matches.
std::shared_ptr<FindHandle> FindFirstFile(const std::string& pattern, FindEntry& entry);
// The next entry; false at the end.
bool FindNextFile(FindHandle& handle, FindEntry& entry);

// The entry of one path (following a link); false when it does not exist.
bool StatEntry(const std::string& path, FindEntry& entry);

}  // namespace tavelo::platform
