// The settings store that stands in for the system registry: typed values (string, 32-bit
// number, binary) in a hierarchy of keys, one store file per root under
// $XDG_CONFIG_HOME/tavelo/. Key and value names are compared without regard to ASCII case but
// keep the case they were created with; subkeys list sorted, values in the order they were
// first written.
//
// Every change is a read-modify-write of the whole store under an exclusive file lock: the new
// content goes to a temporary file that is synced and renamed over the old one. A crash at any
// moment leaves either the old or the new file, and a second running instance never loses a
// change made by the first. A store file that does not read back is renamed aside and reported,
// never silently thrown away.
//
// The machine root is read-only and filled from the system (the processor names from
// /proc/cpuinfo).
#pragma once
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace tavelo::platform {

// Root keys, with the values the system's own root key handles have.
using RegRoot = uint32_t;
constexpr RegRoot kRegClassesRoot = 0x80000000u;
constexpr RegRoot kRegCurrentUser = 0x80000001u;
constexpr RegRoot kRegLocalMachine = 0x80000002u;

// Value types (the system's type numbers).
enum RegType : uint32_t { rtNone = 0, rtString = 1, rtBinary = 3, rtDword = 4 };

struct RegData {
  uint32_t type = rtNone;
  std::string bytes;  // a string's characters; a number's 4 bytes, little-endian; raw binary
};

// Result codes (the system's error numbers).
constexpr int32_t kRegOk = 0;
constexpr int32_t kRegNotFound = 2;         // no such key or value
constexpr int32_t kRegAccessDenied = 5;     // read-only root, or a key that still has subkeys
constexpr int32_t kRegInvalidParam = 87;    // unknown root, unsupported type, bad name
constexpr int32_t kRegNoMoreItems = 259;    // enumeration past the last subkey
constexpr int32_t kRegBadKey = 1010;        // empty key name where one is needed
constexpr int32_t kRegIoFailed = 1016;      // the store could not be written (or read back)

// Key paths are relative to the root; components are separated by '\' and empty components
// (leading, trailing or doubled separators) are ignored, so "" is the root key itself.

// Opens an existing key (kRegNotFound when missing) or, with create, makes it and its parents.
int32_t RegStoreOpenKey(RegRoot root, const std::string& path, bool create);
bool RegStoreKeyExists(RegRoot root, const std::string& path);
// The names of the key's subkeys, sorted without regard to case.
int32_t RegStoreKeyNames(RegRoot root, const std::string& path, std::vector<std::string>& names);
// The subkey at index (in the sorted order); kRegNoMoreItems past the end.
int32_t RegStoreEnumKey(RegRoot root, const std::string& path, uint32_t index, std::string& name);
// The names of the key's values, in the order they were first written.
int32_t RegStoreValueNames(RegRoot root, const std::string& path, std::vector<std::string>& names);
int32_t RegStoreQueryValue(RegRoot root, const std::string& path, const std::string& name, RegData& data);
// Writes a value into an existing key (kRegNotFound when the key is missing). A value that
// already exists keeps its place in the order and the case of its name.
int32_t RegStoreSetValue(RegRoot root, const std::string& path, const std::string& name, const RegData& data);
int32_t RegStoreDeleteValue(RegRoot root, const std::string& path, const std::string& name);
// Deletes a key that has no subkeys (kRegAccessDenied when it has some; kRegBadKey for the root).
int32_t RegStoreDeleteKey(RegRoot root, const std::string& path);

// A transaction makes many changes of one root one write: from its beginning to its end the store
// file stays locked (a second instance waits, so two saves never interleave), reads and changes
// work on the tree read at the beginning, and the end writes that tree once (temporary file,
// sync, rename). A kill at any moment leaves the old or the new content, whole. Transactions
// nest; only the outermost end writes. Other threads' changes of that root made meanwhile join
// it. The end returns kRegIoFailed when the write failed (nothing of the transaction is kept).
int32_t RegStoreBeginTransaction(RegRoot root);
int32_t RegStoreEndTransaction(RegRoot root);

// A transaction for a scope: begun by the constructor, ended by End or the destructor.
class RegStoreTransaction {
 public:
  explicit RegStoreTransaction(RegRoot root) : root_(root), open_(RegStoreBeginTransaction(root) == kRegOk) {}
  ~RegStoreTransaction() { End(); }
  RegStoreTransaction(const RegStoreTransaction&) = delete;
  RegStoreTransaction& operator=(const RegStoreTransaction&) = delete;
  // kRegOk when everything was written (or the transaction never began: each change then was
  // written, or reported, on its own).
  int32_t End() {
    if (!open_) return kRegOk;
    open_ = false;
    return RegStoreEndTransaction(root_);
  }

 private:
  RegRoot root_;
  bool open_;
};

// Test seam: called before each store file's new content replaces the old (the temporary file is
// written and synced); false makes that write fail there, as if the program had died.
void SetRegistryWriteHook(std::function<bool()> hook);

// Where the last damaged store file was kept (renamed aside), once: "" when none was since the
// last call.
std::string TakeRegistrySetAside();

// The folder of the store files. Default: $XDG_CONFIG_HOME/tavelo (or ~/.config/tavelo).
// A non-empty folder set here replaces it (test seam); "" returns to the default.
void SetRegistryFolder(const std::string& folder);
std::string RegistryFolder();
// The store file of a writable root ("" for the machine root).
std::string RegistryFile(RegRoot root);

// Where damage reports go. Without a sink they are written to stderr.
using RegReportSink = void (*)(const std::string& text);
void SetRegistryReportSink(RegReportSink sink);
RegReportSink GetRegistryReportSink();

// The processor description the machine root is filled from (test seam; "" is /proc/cpuinfo).
void SetCpuInfoFile(const std::string& path);

}  // namespace tavelo::platform
