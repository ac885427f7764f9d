// The registry wrapper every settings reader and writer uses (create an object, open a key, read
// and write, free it), one-shot string reads and writes, deletion of key trees, the search for
// the settings of an earlier program version, and the shell-registry writes of the file
// associations. The store behind it is platform/registry.
//
// Settings access never shows a registry error: a read of a value that is missing, or stored
// with another type, gives the caller's default; a write that fails returns false.
#pragma once
#include <cstdint>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include "platform/registry/registry.h"

namespace tavelo {

using RegRootKey = uint32_t;
constexpr RegRootKey HKEY_CLASSES_ROOT = platform::kRegClassesRoot;
constexpr RegRootKey HKEY_CURRENT_USER = platform::kRegCurrentUser;
constexpr RegRootKey HKEY_LOCAL_MACHINE = platform::kRegLocalMachine;

constexpr uint32_t KEY_ALL_ACCESS = 0xF003F;
constexpr uint32_t KEY_READ = 0x20019;
constexpr uint32_t KEY_SET_VALUE = 0x0002;

constexpr int32_t ERROR_BADKEY = 1010;
constexpr int32_t ERROR_NO_MORE_ITEMS = 259;

class ERegistryException : public std::runtime_error {
 public:
  explicit ERegistryException(const std::string& message) : std::runtime_error(message) {}
};

// The toolkit's registry object: a root, an access mode and a current key. Key paths that begin
// with '\' are absolute; others are relative to the current key (or the root when none is open).
class TRegistry {
 public:
  explicit TRegistry(uint32_t access = KEY_ALL_ACCESS);

  RegRootKey RootKey = HKEY_CURRENT_USER;
  uint32_t Access;

  // The current key's path without leading '\' ('' for the root).
  const std::string& CurrentPath() const { return path_; }
  bool OpenKey(const std::string& key, bool canCreate);
  void CloseKey();
  bool KeyExists(const std::string& key);
  bool ValueExists(const std::string& name);
  bool DeleteValue(const std::string& name);
  void GetKeyNames(std::vector<std::string>& names);
  void GetValueNames(std::vector<std::string>& names);

  // Writes raise ERegistryException when the value cannot be written.
  void WriteString(const std::string& name, const std::string& value);
  void WriteInteger(const std::string& name, int32_t value);
  void WriteBool(const std::string& name, bool value);
  void WriteFloat(const std::string& name, double value);
  // ReadString gives '' for a missing value; the others raise for it. All raise for a value
  // stored with another type.
  std::string ReadString(const std::string& name);
  int32_t ReadInteger(const std::string& name);
  bool ReadBool(const std::string& name);
  double ReadFloat(const std::string& name);

 private:
  std::string Resolve(const std::string& key) const;
  void Write(const std::string& name, const platform::RegData& data);
  bool Read(const std::string& name, platform::RegData& data);

  std::string path_;
};

// ---- The wrapper. Every routine accepts an empty (nullptr) object and then does nothing.
TRegistry* RegCreate(RegRootKey rootKey);
void RegFree(TRegistry*& reg);
void RegSetWriteAccess(TRegistry* reg, bool writable);
bool RegOpen(TRegistry* reg, const std::string& key, bool canCreate);
bool RegKeyExists(TRegistry* reg, const std::string& name);
bool RegValueExists(TRegistry* reg, const std::string& name);
bool RegDelValue(TRegistry* reg, const std::string& name);

// A key handle for RegDelKeyTree: a root and a key path below it.
struct RegKeyHandle {
  RegRootKey root = HKEY_CURRENT_USER;
  std::string path;
  RegKeyHandle(RegRootKey r) : root(r) {}  // NOLINT: a root is a handle
  RegKeyHandle(RegRootKey r, std::string p) : root(r), path(std::move(p)) {}
};
// Deletes subkey of key with all its subkeys; the system error code (0 on success,
// ERROR_BADKEY for an empty subkey).
int32_t RegDelKeyTree(const RegKeyHandle& key, const std::string& subkey);
// Strips leading '\', deletes the key tree from the root, then true when the key no longer
// exists (so a missing key gives true).
bool RegDelKey(RegRootKey root, const std::string& key);

bool RegWriteStr(TRegistry* reg, const std::string& name, const std::string& value);
bool RegWriteInt(TRegistry* reg, const std::string& name, int32_t value);
bool RegWriteFloat(TRegistry* reg, const std::string& name, double value);
bool RegWriteBool(TRegistry* reg, const std::string& name, bool value);
std::string RegReadStr(TRegistry* reg, const std::string& name, const std::string& def);
int32_t RegReadInt(TRegistry* reg, const std::string& name, int32_t def);
double RegReadFloat(TRegistry* reg, const std::string& name, double def);
bool RegReadBool(TRegistry* reg, const std::string& name, bool def);

// One-shot read (read-only, never creating): the default when the key or value is missing.
std::string RegGetStr(RegRootKey root, const std::string& key, const std::string& name, const std::string& def);
// One-shot write (creating the key).
void RegSetStr(RegRootKey root, const std::string& key, const std::string& name, const std::string& value);

// The path (key + '\' + name) of the version-named subkey nearest to version (distance below
// 1.5, the first of equal distances), or ''. Only names that begin with a digit are versions.
std::string RegFindNearestVersion(RegRootKey root, const std::string& key, const std::string& version);
// Called for each version subkey with del preset (true when its program file is gone).
using RegPurgeCallback = std::function<void(RegRootKey root, const std::string& key, const std::string& name, bool& del)>;
// Removes the version subkeys whose "PathToExe" names a file that no longer exists.
bool RegPurgeVersions(RegRootKey root, const std::string& key, const RegPurgeCallback& callback = nullptr);

// "\.ext" for "ext", ".ext" and "\.ext"; '' for ''.
std::string RegExtKey(const std::string& extension);
// "\" + type without trailing '\'.
std::string RegTypeKey(const std::string& type);
// RegTypeKey(type) + "\shell\" + verb.
std::string RegVerbKey(const std::string& type, const std::string& verb);
// The per-user Explorer choice of an extension ("ProgID" under ...\Explorer\FileExts\.ext);
// an empty ProgID deletes the choice.
void RegSetUserProgID(const std::string& extension, const std::string& progID);
// The current per-user choice: "ProgID", else the first value name of "OpenWithProgIds".
std::string RegGetUserProgID(const std::string& extension);
// A shell file type under the classes root: its description and icon.
void RegSetFileType(const std::string& type, const std::string& description, const std::string& icon);
// A shell verb of a file type with its command; makeDefault also makes it the type's default
// verb. Nothing unless all texts are non-empty.
void RegSetVerb(const std::string& type, const std::string& caption, const std::string& verb, bool makeDefault,
                const std::string& command);

}  // namespace tavelo
