#include "app/w_tavelo_main_settings.h"

#include <unistd.h>

#include <climits>
#include <vector>

#include "core/services/reg_utils.h"
#include "platform/registry/registry.h"

namespace tavelo {

const char* const kProgramVersion = "3.1.0";
const char* const kProgramTitle = "Tavelo 3.1.0";
const char* const kSettingsParentKey = "\\Software\\Velkarn\\Tavelo\\";
const char* const kSettingsKey = "\\Software\\Velkarn\\Tavelo\\3.1.0\\";

namespace {

// The store's form of a key path: no leading or trailing separators.
std::string StorePath(const std::string& key) {
  size_t b = key.find_first_not_of('\\');
  if (b == std::string::npos) return "";
  size_t e = key.find_last_not_of('\\');
  return key.substr(b, e - b + 1);
}

bool CopyKeyContents(uint32_t root, const std::string& src, const std::string& dst) {
  if (platform::RegStoreOpenKey(root, dst, true) != platform::kRegOk) return false;
  std::vector<std::string> names;
  if (platform::RegStoreValueNames(root, src, names) == platform::kRegOk) {
    for (const std::string& name : names) {
      platform::RegData data;
      if (platform::RegStoreQueryValue(root, src, name, data) == platform::kRegOk)
        platform::RegStoreSetValue(root, dst, name, data);
    }
  }
  std::vector<std::string> keys;
  if (platform::RegStoreKeyNames(root, src, keys) == platform::kRegOk)
    for (const std::string& key : keys) CopyKeyContents(root, src + "\\" + key, dst + "\\" + key);
  return true;
}

}  // namespace

std::string ProgramPath() {
  std::vector<char> buf(PATH_MAX + 1);
  const ssize_t n = ::readlink("/proc/self/exe", buf.data(), PATH_MAX);
  return n > 0 ? std::string(buf.data(), static_cast<size_t>(n)) : std::string();
}

bool CopyRegKeyTree(uint32_t root, const std::string& src, const std::string& dst) {
  const std::string from = StorePath(src), to = StorePath(dst);
  if (from.empty() || to.empty() || !platform::RegStoreKeyExists(root, from) || platform::RegStoreKeyExists(root, to))
    return false;
  // A key copied into its own subtree would grow while it is walked.
  if (to.size() > from.size() && to.compare(0, from.size() + 1, from + "\\") == 0) return false;
  return CopyKeyContents(root, from, to);
}

bool ReadFirstRun() {
  TRegistry* reg = RegCreate(HKEY_CURRENT_USER);
  bool firstRun = true;
  if (RegOpen(reg, kSettingsKey, false)) firstRun = RegReadBool(reg, "FirstRun", true);
  RegFree(reg);
  return firstRun;
}

void RunFirstRunSteps(const std::string& exePath, void (*registerAssociations)()) {
  // The settings of the nearest version (this version's own key, when present, is nearest of all
  // and then nothing is copied).
  const std::string nearest = RegFindNearestVersion(HKEY_CURRENT_USER, kSettingsParentKey, kProgramVersion);
  if (!nearest.empty()) CopyRegKeyTree(HKEY_CURRENT_USER, nearest, kSettingsKey);

  TRegistry* reg = RegCreate(HKEY_CURRENT_USER);
  if (RegOpen(reg, kSettingsKey, true)) RegWriteStr(reg, "PathToExe", exePath);
  RegFree(reg);

  RegPurgeVersions(HKEY_CURRENT_USER, kSettingsParentKey);
  if (registerAssociations != nullptr) registerAssociations();
}

void ReadMainSettings(MainSettings& s) {
  TRegistry* reg = RegCreate(HKEY_CURRENT_USER);
  if (RegOpen(reg, kSettingsKey, false)) {
    s.ScreenshotFolder = RegReadStr(reg, "ScreenshotFolder", s.ScreenshotFolder);
    s.ScreenshotExt = RegReadStr(reg, "ScreenshotExt", s.ScreenshotExt);
    s.ShowFrameRateDialog = RegReadBool(reg, "ShowFrameRateDialog", s.ShowFrameRateDialog);
    s.CopyOrMoveFolder = RegReadStr(reg, "CopyOrMoveFolder", s.CopyOrMoveFolder);
    s.UpdateRemind = RegReadBool(reg, "UpdateRemind", s.UpdateRemind);
    s.UpdateNextDate = RegReadFloat(reg, "UpdateNextDate", s.UpdateNextDate);
  }
  RegFree(reg);
}

void WriteMainSettings(const MainSettings& s) {
  TRegistry* reg = RegCreate(HKEY_CURRENT_USER);
  if (RegOpen(reg, kSettingsKey, true)) {
    RegWriteStr(reg, "ScreenshotFolder", s.ScreenshotFolder);
    RegWriteStr(reg, "ScreenshotExt", s.ScreenshotExt);
    RegWriteBool(reg, "ShowFrameRateDialog", s.ShowFrameRateDialog);
    RegWriteStr(reg, "CopyOrMoveFolder", s.CopyOrMoveFolder);
    RegWriteBool(reg, "UpdateRemind", s.UpdateRemind);
    RegWriteFloat(reg, "UpdateNextDate", s.UpdateNextDate);
  }
  RegFree(reg);
}

}  // namespace tavelo
