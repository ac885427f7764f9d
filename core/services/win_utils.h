// Shell and process helpers: finding files with an attribute mask, opening documents and web
// addresses with their associated programs, running a program and waiting for it, special
// folders, copying, moving and recycling files, the processor's name and the desktop work area.
// None of them reports through the error state; each answers a bool or an empty value.
#pragma once
#include <cstdint>
#include <ctime>
#include <memory>
#include <string>

#include "core/services/text_utils.h"
#include "platform/shell/find_file.h"

namespace tavelo {

// File attribute bits (synthesised from the file system, see platform/shell/find_file.h).
enum : int32_t {
  faReadOnly = 0x1,
  faHidden = 0x2,
  faSysFile = 0x4,
  faDirectory = 0x10,
  faArchive = 0x20,
  faNormal = 0x80,
  faReparsePoint = 0x400,
};
// What file details accept: every entry but folders, system (device) and temporary entries.
constexpr int32_t kFileDetailsMask = 0x2EA3;

struct TFindRecEx {
  int32_t AttrMask = 0;  // the attribute bits the caller accepts
  std::string Name;      // the found name without folder
  int64_t Size = 0;
  int32_t Attr = 0;
  TDateTime CreationTime = 0;
  TDateTime WriteTime = 0;
  TDateTime AccessTime = 0;
  std::shared_ptr<platform::FindHandle> Handle;  // the search; released by FindCloseEx
  platform::FindEntry FindData;                  // the entry as the file system gave it
};

struct TFileDetails {
  std::string Name;  // full (absolute) name
  int64_t Size = 0;
  TDateTime CreationTime = 0;
  TDateTime WriteTime = 0;
  int32_t Attr = 0;
};

// Starts a search (folder part + a name with '*' and '?'); entries whose attributes share no
// bit with attrMask are skipped. True and rec filled for the first match.
bool FindFirstEx(const std::string& pattern, int32_t attrMask, TFindRecEx& rec);
bool FindNextEx(TFindRecEx& rec);
void FindCloseEx(TFindRecEx& rec);
// A file time as a date-time in UTC (no conversion to local time); 0 for a time outside the
// years 1601 to 30827.
TDateTime FileTimeToDate(const timespec& fileTime);
// One FindFirstEx on path with the mask 0x2EA3; all fields zero and false when nothing matched
// (a folder never matches).
bool GetFileDetails(const std::string& path, TFileDetails& details);

// Opens file with its associated program without waiting (an executable file given params is
// started with them). minimized has no meaning on this desktop.
bool ExecAndReturn_(const std::string& file, const std::string& params, const std::string& dir, bool minimized);
// Runs QuoteIfSpaces(file) + " " + params and waits for it; an empty dir runs it in its own
// folder. False when it cannot be started.
bool ExecAndWait(const std::string& file, const std::string& params, const std::string& dir, bool minimized);
bool StartFile(const std::string& file, const std::string& params, const std::string& dir, bool minimized, bool wait);
// Opens a document, folder or web address with the program associated with it.
bool ShellOpen(const std::string& file);
// Opens a web address that came from outside (the update file): only http and https addresses
// are opened; anything else is refused.
bool ShellOpenWebUrl(const std::string& url);
// True for the addresses ShellOpenWebUrl opens (once trimmed): http:// or https:// with something
// after it, and no blank or control character anywhere.
bool IsWebUrl(const std::string& url);

// s trimmed; when it contains a blank and does not both begin and end with a double quote,
// wrapped in double quotes.
std::string QuoteIfSpaces(const std::string& s);
// dir without one trailing '/' unless it is the root "/".
std::string DirNoBackslash(const std::string& dir);

constexpr int32_t CSIDL_PERSONAL = 5;
// The special folder with a trailing '/'; '' for a folder this desktop does not have.
std::string GetSpecialDir(int32_t csidl);
// The user's Documents folder with a trailing '/'.
std::string GetMyDocumentsDir();
// The name of processor cpuIndex from the machine's registry root; '' when unknown.
std::string GetCpuName(int32_t cpuIndex);
// Appends two characters 0.
void DoubleNulTerminate(std::string& s);

// What copying or moving does with a target that already exists.
enum TOverwritePolicy : int32_t {
  opAskUser = 0,    // ask (a yes/no message box); No leaves both files alone
  opReplace = 1,    // replace it with the complete copy
  opKeepTarget = 2  // leave it and report that it exists
};
// Copies or moves source to dest (a full name, or a folder that receives the source under its
// own name). The source is never destroyed before the target is complete, and an existing
// target only ever gives way to the complete copy. Failures are shown in an error box. True
// when the file is at its target.
bool ShellCopyMove(const std::string& source, const std::string& dest, bool copy,
                   TOverwritePolicy overwrite = opAskUser);
// Sends path to the trash without a question; a failure is shown in an error box.
bool ShellRecycle(const std::string& path);

struct TRect {
  int32_t Left = 0, Top = 0, Right = 0, Bottom = 0;
};
// The desktop area not covered by panels.
void GetWorkArea(TRect& rect);

}  // namespace tavelo
