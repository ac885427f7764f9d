#include "core/services/reg_utils.h"

#include <sys/stat.h>

#include <cstdio>
#include <cstring>
#include <mutex>

#include "core/services/text_utils.h"
#include "core/services/trace.h"

namespace tavelo {

namespace {

constexpr const char* kFileExtsKey = "\\Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\FileExts";

void ReportToTrace(const std::string& text) {
  // A damaged settings file matters even when nobody traces: say it on stderr as well.
  std::fprintf(stderr, "tavelo: %s\n", text.c_str());
  TraceText(text);
}

// Damage reports of the store go to the trace log unless someone installed their own sink.
void EnsureReportSink() {
  static std::once_flag once;
  std::call_once(once, [] {
    if (platform::GetRegistryReportSink() == nullptr) platform::SetRegistryReportSink(&ReportToTrace);
  });
}

std::string StripLeading(const std::string& key) {
  size_t i = 0;
  while (i < key.size() && key[i] == '\\') ++i;
  return key.substr(i);
}

std::string JoinKey(const std::string& a, const std::string& b) {
  if (a.empty()) return b;
  if (b.empty()) return a;
  return a + "\\" + b;
}

std::string WithDelim(const std::string& key) { return !key.empty() && key.back() == '\\' ? key : key + "\\"; }

// The normal form of a key path: components joined by single '\', no leading or trailing one.
std::string Normalize(const std::string& path) {
  std::string out, part;
  for (size_t i = 0; i <= path.size(); ++i) {
    if (i == path.size() || path[i] == '\\') {
      out = JoinKey(out, part);
      part.clear();
    } else {
      part += path[i];
    }
  }
  return out;
}

bool StartsWithDigit(const std::string& s) { return !s.empty() && s[0] >= '0' && s[0] <= '9'; }

bool RegularFileExists(const std::string& path) {
  struct stat st {};
  return !path.empty() && ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

std::string TypeName(uint32_t type) {
  switch (type) {
    case platform::rtString:
      return "string";
    case platform::rtDword:
      return "integer";
    case platform::rtBinary:
      return "binary";
    default:
      return "unknown";
  }
}

}  // namespace

// ---- TRegistry.

TRegistry::TRegistry(uint32_t access) : Access(access) { EnsureReportSink(); }

std::string TRegistry::Resolve(const std::string& key) const {
  if (!key.empty() && key[0] == '\\') return Normalize(key);
  return Normalize(JoinKey(path_, key));
}

bool TRegistry::OpenKey(const std::string& key, bool canCreate) {
  const std::string path = Resolve(key);
  if (platform::RegStoreOpenKey(RootKey, path, canCreate) != platform::kRegOk) return false;
  path_ = path;
  return true;
}

void TRegistry::CloseKey() { path_.clear(); }

bool TRegistry::KeyExists(const std::string& key) { return platform::RegStoreKeyExists(RootKey, Resolve(key)); }

bool TRegistry::ValueExists(const std::string& name) {
  platform::RegData data;
  return platform::RegStoreQueryValue(RootKey, path_, name, data) == platform::kRegOk;
}

bool TRegistry::DeleteValue(const std::string& name) {
  if ((Access & KEY_SET_VALUE) == 0) return false;
  return platform::RegStoreDeleteValue(RootKey, path_, name) == platform::kRegOk;
}

void TRegistry::GetKeyNames(std::vector<std::string>& names) { platform::RegStoreKeyNames(RootKey, path_, names); }

void TRegistry::GetValueNames(std::vector<std::string>& names) { platform::RegStoreValueNames(RootKey, path_, names); }

void TRegistry::Write(const std::string& name, const platform::RegData& data) {
  const int32_t rc = (Access & KEY_SET_VALUE) == 0 ? platform::kRegAccessDenied
                                                   : platform::RegStoreSetValue(RootKey, path_, name, data);
  if (rc != platform::kRegOk)
    throw ERegistryException("Failed to set data for '" + name + "' (error " + std::to_string(rc) + ")");
}

bool TRegistry::Read(const std::string& name, platform::RegData& data) {
  return platform::RegStoreQueryValue(RootKey, path_, name, data) == platform::kRegOk;
}

void TRegistry::WriteString(const std::string& name, const std::string& value) {
  Write(name, platform::RegData{platform::rtString, value});
}

void TRegistry::WriteInteger(const std::string& name, int32_t value) {
  const auto v = static_cast<uint32_t>(value);
  std::string bytes(4, '\0');
  for (int i = 0; i < 4; ++i) bytes[static_cast<size_t>(i)] = static_cast<char>((v >> (8 * i)) & 0xFF);
  Write(name, platform::RegData{platform::rtDword, bytes});
}

void TRegistry::WriteBool(const std::string& name, bool value) { WriteInteger(name, value ? 1 : 0); }

void TRegistry::WriteFloat(const std::string& name, double value) {
  std::string bytes(sizeof value, '\0');
  std::memcpy(bytes.data(), &value, sizeof value);
  Write(name, platform::RegData{platform::rtBinary, bytes});
}

std::string TRegistry::ReadString(const std::string& name) {
  platform::RegData data;
  if (!Read(name, data)) return "";
  if (data.type != platform::rtString)
    throw ERegistryException("Invalid data type for '" + name + "': " + TypeName(data.type));
  return data.bytes;
}

int32_t TRegistry::ReadInteger(const std::string& name) {
  platform::RegData data;
  if (!Read(name, data)) throw ERegistryException("Invalid data type for '" + name + "': missing");
  if (data.type != platform::rtDword || data.bytes.size() != 4)
    throw ERegistryException("Invalid data type for '" + name + "': " + TypeName(data.type));
  uint32_t v = 0;
  for (int i = 0; i < 4; ++i) v |= static_cast<uint32_t>(static_cast<uint8_t>(data.bytes[static_cast<size_t>(i)])) << (8 * i);
  return static_cast<int32_t>(v);
}

bool TRegistry::ReadBool(const std::string& name) { return ReadInteger(name) != 0; }

double TRegistry::ReadFloat(const std::string& name) {
  platform::RegData data;
  if (!Read(name, data)) throw ERegistryException("Invalid data type for '" + name + "': missing");
  double value = 0;
  if (data.type != platform::rtBinary || data.bytes.size() != sizeof value)
    throw ERegistryException("Invalid data type for '" + name + "': " + TypeName(data.type));
  std::memcpy(&value, data.bytes.data(), sizeof value);
  return value;
}

// ---- The wrapper.

TRegistry* RegCreate(RegRootKey rootKey) {
  try {
    auto* reg = new TRegistry();
    reg->RootKey = rootKey;
    return reg;
  } catch (...) {
    return nullptr;
  }
}

void RegFree(TRegistry*& reg) {
  delete reg;
  reg = nullptr;
}

void RegSetWriteAccess(TRegistry* reg, bool writable) {
  if (reg != nullptr) reg->Access = writable ? KEY_ALL_ACCESS : KEY_READ;
}

bool RegOpen(TRegistry* reg, const std::string& key, bool canCreate) {
  if (reg == nullptr) return false;
  try {
    return reg->OpenKey(key, canCreate);
  } catch (...) {
    return false;
  }
}

bool RegKeyExists(TRegistry* reg, const std::string& name) { return reg != nullptr && reg->KeyExists(name); }

bool RegValueExists(TRegistry* reg, const std::string& name) { return reg != nullptr && reg->ValueExists(name); }

bool RegDelValue(TRegistry* reg, const std::string& name) { return reg != nullptr && reg->DeleteValue(name); }

int32_t RegDelKeyTree(const RegKeyHandle& key, const std::string& subkey) {
  if (Normalize(subkey).empty()) return ERROR_BADKEY;
  const std::string full = Normalize(JoinKey(key.path, subkey));
  int32_t result = platform::RegStoreOpenKey(key.root, full, false);
  if (result != platform::kRegOk) return result;
  for (;;) {
    std::string child;
    const int32_t rc = platform::RegStoreEnumKey(key.root, full, 0, child);
    if (rc == ERROR_NO_MORE_ITEMS) {
      result = platform::RegStoreDeleteKey(key.root, full);
      break;
    }
    if (rc != platform::kRegOk) {
      result = rc;
      break;
    }
    result = RegDelKeyTree(RegKeyHandle(key.root, full), child);
    if (result != platform::kRegOk) break;
  }
  return result;
}

bool RegDelKey(RegRootKey root, const std::string& key) {
  EnsureReportSink();
  const std::string path = StripLeading(key);
  RegDelKeyTree(RegKeyHandle(root), path);
  return !platform::RegStoreKeyExists(root, Normalize(path));
}

bool RegWriteStr(TRegistry* reg, const std::string& name, const std::string& value) {
  if (reg == nullptr) return false;
  try {
    reg->WriteString(name, value);
    return true;
  } catch (...) {
    return false;
  }
}

bool RegWriteInt(TRegistry* reg, const std::string& name, int32_t value) {
  if (reg == nullptr) return false;
  try {
    reg->WriteInteger(name, value);
    return true;
  } catch (...) {
    return false;
  }
}

bool RegWriteFloat(TRegistry* reg, const std::string& name, double value) {
  if (reg == nullptr) return false;
  try {
    reg->WriteFloat(name, value);
    return true;
  } catch (...) {
    return false;
  }
}

bool RegWriteBool(TRegistry* reg, const std::string& name, bool value) {
  if (reg == nullptr) return false;
  try {
    reg->WriteBool(name, value);
    return true;
  } catch (...) {
    return false;
  }
}

std::string RegReadStr(TRegistry* reg, const std::string& name, const std::string& def) {
  if (reg == nullptr) return def;
  try {
    return reg->ValueExists(name) ? reg->ReadString(name) : def;
  } catch (...) {
    return def;  // stored with another type: settings read as their default
  }
}

int32_t RegReadInt(TRegistry* reg, const std::string& name, int32_t def) {
  if (reg == nullptr) return def;
  try {
    return reg->ValueExists(name) ? reg->ReadInteger(name) : def;
  } catch (...) {
    return def;
  }
}

double RegReadFloat(TRegistry* reg, const std::string& name, double def) {
  if (reg == nullptr) return def;
  try {
    return reg->ValueExists(name) ? reg->ReadFloat(name) : def;
  } catch (...) {
    return def;
  }
}

bool RegReadBool(TRegistry* reg, const std::string& name, bool def) {
  if (reg == nullptr) return def;
  try {
    return reg->ValueExists(name) ? reg->ReadBool(name) : def;
  } catch (...) {
    return def;
  }
}

std::string RegGetStr(RegRootKey root, const std::string& key, const std::string& name, const std::string& def) {
  TRegistry* reg = RegCreate(root);
  if (reg == nullptr) return def;
  RegSetWriteAccess(reg, false);
  std::string result = def;
  if (RegOpen(reg, key, false)) result = RegReadStr(reg, name, def);
  RegFree(reg);
  return result;
}

void RegSetStr(RegRootKey root, const std::string& key, const std::string& name, const std::string& value) {
  TRegistry* reg = RegCreate(root);
  if (reg == nullptr) return;
  if (RegOpen(reg, key, true)) RegWriteStr(reg, name, value);
  RegFree(reg);
}

std::string RegFindNearestVersion(RegRootKey root, const std::string& key, const std::string& version) {
  TRegistry* reg = RegCreate(root);
  if (reg == nullptr) return "";
  RegSetWriteAccess(reg, false);
  std::vector<std::string> names;
  if (RegOpen(reg, key, false)) reg->GetKeyNames(names);
  RegFree(reg);
  std::string best;
  double bestDistance = 2147483647.0;
  for (const std::string& name : names) {
    if (!StartsWithDigit(name)) continue;
    const double d = VersionDistance(version, name);
    if (d < bestDistance && d < 1.5) {
      best = name;
      bestDistance = d;
    }
  }
  return best.empty() ? std::string() : WithDelim(key) + best;
}

bool RegPurgeVersions(RegRootKey root, const std::string& key, const RegPurgeCallback& callback) {
  TRegistry* reg = RegCreate(root);
  if (reg == nullptr) return true;
  RegSetWriteAccess(reg, false);
  std::vector<std::string> names;
  const bool opened = RegOpen(reg, key, false);
  if (opened) reg->GetKeyNames(names);
  for (const std::string& name : names) {
    int32_t a, b, c;
    // Only version-named keys, never "Backup" or "MPlayer" (nor "Backup2").
    if (!StartsWithDigit(name) || !ParseVersion(name, a, b, c)) continue;
    const std::string sub = WithDelim(key) + name;
    bool del = false;
    // A key without a program path is kept: only a path that names a missing file condemns it.
    if (RegOpen(reg, "\\" + StripLeading(sub), false) && RegValueExists(reg, "PathToExe")) {
      const std::string path = RegReadStr(reg, "PathToExe", "");
      del = !path.empty() && !RegularFileExists(path);
    }
    if (callback) callback(root, key, name, del);
    if (del) RegDelKey(root, sub);
  }
  RegFree(reg);
  return true;
}

std::string RegExtKey(const std::string& extension) {
  if (extension.empty()) return "";
  std::string s = extension;
  if (s[0] != '\\') s.insert(s.begin(), '\\');
  if (s.size() < 2 || s[1] != '.') s.insert(1, 1, '.');
  return s;
}

std::string RegTypeKey(const std::string& type) {
  std::string s = type;
  while (!s.empty() && s.back() == '\\') s.pop_back();
  return "\\" + StripLeading(s);
}

std::string RegVerbKey(const std::string& type, const std::string& verb) {
  return RegTypeKey(type) + "\\shell\\" + verb;
}

void RegSetUserProgID(const std::string& extension, const std::string& progID) {
  if (extension.empty()) return;
  TRegistry* reg = RegCreate(HKEY_CURRENT_USER);
  if (reg == nullptr) return;
  if (RegOpen(reg, kFileExtsKey + RegExtKey(extension), true)) {
    if (progID.empty()) {
      RegDelValue(reg, "ProgID");
    } else {
      RegWriteStr(reg, "ProgID", progID);
    }
  }
  RegFree(reg);
}

std::string RegGetUserProgID(const std::string& extension) {
  if (extension.empty()) return "";
  TRegistry* reg = RegCreate(HKEY_CURRENT_USER);
  if (reg == nullptr) return "";
  RegSetWriteAccess(reg, false);
  std::string result;
  const std::string key = kFileExtsKey + RegExtKey(extension);
  if (RegOpen(reg, key, false)) {
    result = RegReadStr(reg, "ProgID", "");
    if (result.empty() && RegOpen(reg, key + "\\OpenWithProgIds", false)) {
      std::vector<std::string> names;
      reg->GetValueNames(names);
      if (!names.empty()) result = names[0];
    }
  }
  RegFree(reg);
  return result;
}

void RegSetFileType(const std::string& type, const std::string& description, const std::string& icon) {
  if (type.empty()) return;
  TRegistry* reg = RegCreate(HKEY_CLASSES_ROOT);
  if (reg == nullptr) return;
  if (RegOpen(reg, RegTypeKey(type), true)) RegWriteStr(reg, "", description);
  if (RegOpen(reg, RegTypeKey(type) + "\\DefaultIcon", true)) RegWriteStr(reg, "", icon);
  RegFree(reg);
}

void RegSetVerb(const std::string& type, const std::string& caption, const std::string& verb, bool makeDefault,
                const std::string& command) {
  if (type.empty() || caption.empty() || verb.empty() || command.empty()) return;
  TRegistry* reg = RegCreate(HKEY_CLASSES_ROOT);
  if (reg == nullptr) return;
  const std::string verbKey = RegVerbKey(type, verb);
  if (RegOpen(reg, verbKey, true)) RegWriteStr(reg, "", caption);
  if (RegOpen(reg, verbKey + "\\Command", true)) RegWriteStr(reg, "", command);
  if (makeDefault && RegOpen(reg, RegVerbKey(type, ""), true)) RegWriteStr(reg, "", caption);
  RegFree(reg);
}

}  // namespace tavelo
