// The program's settings between runs (part of unit wTaveloMain). All of them live under the
// current user's root in one key per program version; the player options and the two recent lists
// are subkeys written by their own owners. A new version takes over the settings of the nearest
// older one the first time it starts.
#pragma once
#include <cstdint>
#include <string>

#include "core/services/text_utils.h"

namespace tavelo {

// The program's own version and the texts made from it.
extern const char* const kProgramVersion;  // "3.1.0"
extern const char* const kProgramTitle;    // "Tavelo 3.1.0"
// "\Software\Velkarn\Tavelo\" (every version key) and "\Software\Velkarn\Tavelo\3.1.0\".
extern const char* const kSettingsParentKey;
extern const char* const kSettingsKey;

// The values of the version key that the main window owns.
struct MainSettings {
  std::string ScreenshotFolder;    // folder of the last saved screenshot
  std::string ScreenshotExt;       // its extension with the point; '' means ".jpg"
  bool ShowFrameRateDialog = true; // ask for a frame rate after opening a file without a usable one
  std::string CopyOrMoveFolder;  // none yet: the dialogs start at the home folder
  bool UpdateRemind = true;        // check mark of Periodically Check for Updates
  TDateTime UpdateNextDate = 0.0;  // earliest moment of the next automatic update question
};

// "FirstRun" of the version key (true when it or the key is missing). Nothing ever writes it: an
// installer that sets it false switches the first-run steps off.
bool ReadFirstRun();

// The first-run steps: take over the nearest older version's key when this version has none yet
// (the old key stays), write "PathToExe", remove the version keys whose program file is gone, and
// register the default file types through registerAssociations (when given).
void RunFirstRunSteps(const std::string& exePath, void (*registerAssociations)());

// Copies the key src with its values and subkeys to dst (both below root). Nothing is copied when
// dst already exists or src does not; true when dst was made.
bool CopyRegKeyTree(uint32_t root, const std::string& src, const std::string& dst);

// Reads the version key's own values in their order; missing values keep the defaults above.
void ReadMainSettings(MainSettings& s);
// Writes them (the key is made when needed).
void WriteMainSettings(const MainSettings& s);

// The full path of the running program.
std::string ProgramPath();

}  // namespace tavelo
