// File associations: the program makes itself the handler of the media file types it reads, per
// user and reversibly. Two file types are registered under the classes root, "Tavelo.VideoClip"
// for files with pictures and "Tavelo.AudioClip" for sound-only files, each with the verbs Open
// and Play. Each extension is then pointed at one of them through the user's per-extension
// choice, and the choice it replaced is kept in a backup key so it can be put back. Whenever the
// choices change, the shell is told (platform/desktop brings the desktop's own state in line).
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "core/services/reg_utils.h"

namespace tavelo {

constexpr const char* kVideoClipProgID = "Tavelo.VideoClip";
constexpr const char* kAudioClipProgID = "Tavelo.AudioClip";
constexpr const char* kAssocBackupKey = "\\Software\\Velkarn\\FileAssocBackup";

enum AssocAction : uint8_t {
  aaTake = 0,      // take the extension
  aaGiveBack = 1,  // give it back
  aaLeave = 2,     // leave it as it is
};

struct AssocEntry {
  std::string Ext;          // with its leading point, e.g. ".avi"
  std::string Description;  // "AVI, " + the format's long name
  int32_t FormatId = 0;
  uint32_t Kinds = 0;       // the format's kind bits (8: has pictures)
  std::string Spare1, Spare2;
  std::string ProgID;       // after reading: the current owner; before writing: the wanted one
  uint8_t Action = aaTake;
};

class QAssocList {
 public:
  // One entry per extension of the readable formats, sorted by extension without regard to case.
  void ReadFormatsFromConform();
  // ProgID := each extension's current per-user owner.
  void ReadPlayersFromSystem();
  // Carries out each entry's Action, then tells the shell. Nothing while the backup key is empty.
  void WritePlayersToSystem();
  void SetBackupKey(RegRootKey root, const std::string& path);
  // The owner kept for the entry's extension ('' when none).
  std::string ReadBackup(int32_t index) const;
  int32_t Count() const { return static_cast<int32_t>(entries_.size()); }
  AssocEntry& Items(int32_t index) { return entries_.at(static_cast<size_t>(index)); }
  const AssocEntry& Items(int32_t index) const { return entries_.at(static_cast<size_t>(index)); }
  void Add(const AssocEntry& entry) { entries_.push_back(entry); }
  void Clear() { entries_.clear(); }

 private:
  std::vector<AssocEntry> entries_;
  RegRootKey backupRoot_ = HKEY_CURRENT_USER;
  std::string backupKey_;
};

// True for the program's own two file types.
bool IsOwnProgID(const std::string& progID);

// The one program-wide list: made with the formats, their current owners and the backup key
// (OpenAssocList), and freed (CloseAssocList). nullptr while closed.
QAssocList* AssocList();
void OpenAssocList();
void CloseAssocList();

// Registers the two file types and their Open and Play verbs under the classes root.
void RegisterDefaultAssociations();
// The "uninst" switch: gives back every extension the program owns; other owners' extensions
// and the registered file types stay.
void RestoreAssociations();

// The full path of the program the verbs start (the running program; a test may name another).
std::string AssocProgramPath();
void SetAssocProgramPathForTest(const std::string& path);

}  // namespace tavelo
