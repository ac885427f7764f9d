#include "app/assoc_list.h"

#include <algorithm>
#include <memory>

#include "core/services/path_utils.h"
#include "formats/ff_tables.h"
#include "platform/desktop/desktop_assoc.h"
#include "platform/sysinfo/sysinfo.h"

namespace tavelo {

namespace {

std::unique_ptr<QAssocList> g_list;
std::string g_programPath;

std::string Upper(std::string s) {
  for (char& c : s)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 32);
  return s;
}

bool LessNoCase(const std::string& a, const std::string& b) {
  // Upper case, as the ordering of the list has always been without regard to case.
  return Upper(a) < Upper(b);
}

// The command of a verb: the program path quoted, so that a program under a folder with blanks
// can be started, then the switch with the shell's file placeholder.
std::string VerbCommand(const std::string& program, const std::string& sw) {
  return "\"" + program + "\" /" + sw + "=\"%L\"";
}

}  // namespace

bool IsOwnProgID(const std::string& progID) { return progID == kVideoClipProgID || progID == kAudioClipProgID; }

void QAssocList::ReadFormatsFromConform() {
  Clear();
  for (int32_t i = 0; i < kLoadFormatCount; ++i) {
    FFFormatRec rec;
    if (!FFGetFormatByIndex(rec, i, ffRead) || rec.FormatId <= 0) continue;
    size_t start = 0;
    while (start <= rec.Extensions.size()) {
      size_t end = rec.Extensions.find('.', start);
      if (end == std::string::npos) end = rec.Extensions.size();
      const std::string word = rec.Extensions.substr(start, end - start);
      start = end + 1;
      if (word.empty()) continue;
      // One entry per extension, from the first row that lists it: ".ogg" is both Ogg video and
      // Ogg audio, and two entries would point it at two owners in turn. The store compares
      // extensions without regard to case, so the list does too.
      const std::string ext = "." + word;
      const bool known = std::any_of(entries_.begin(), entries_.end(),
                                     [&](const AssocEntry& e) { return Upper(e.Ext) == Upper(ext); });
      if (known) continue;
      AssocEntry entry;
      entry.Ext = ext;
      entry.Description = Upper(word) + ", " + rec.LongName;
      entry.FormatId = rec.FormatId;
      entry.Kinds = rec.Kinds;
      entry.Action = aaTake;
      Add(entry);
    }
  }
  std::stable_sort(entries_.begin(), entries_.end(),
                   [](const AssocEntry& a, const AssocEntry& b) { return LessNoCase(a.Ext, b.Ext); });
}

void QAssocList::ReadPlayersFromSystem() {
  for (AssocEntry& e : entries_) e.ProgID = RegGetUserProgID(e.Ext);
}

void QAssocList::SetBackupKey(RegRootKey root, const std::string& path) {
  backupRoot_ = root;
  backupKey_ = path;
}

std::string QAssocList::ReadBackup(int32_t index) const {
  if (backupKey_.empty() || index < 0 || index >= Count()) return "";
  return RegGetStr(backupRoot_, backupKey_, Items(index).Ext, "");
}

void QAssocList::WritePlayersToSystem() {
  if (backupKey_.empty()) return;
  for (int32_t i = 0; i < Count(); ++i) {
    const AssocEntry& e = Items(i);
    if (e.Action == aaTake && !e.ProgID.empty()) {
      const std::string current = RegGetUserProgID(e.Ext);
      if (current != e.ProgID) {
        // The owner before us is kept once. One of our own types is never kept as a previous
        // owner: giving the extension back must not hand it to the program again.
        if (ReadBackup(i).empty() && !IsOwnProgID(current)) RegSetStr(backupRoot_, backupKey_, e.Ext, current);
        RegSetUserProgID(e.Ext, e.ProgID);
      }
    } else if (e.Action == aaGiveBack) {
      const std::string current = RegGetUserProgID(e.Ext);
      if (current == e.ProgID) {
        const std::string saved = ReadBackup(i);
        RegSetUserProgID(e.Ext, IsOwnProgID(saved) ? std::string() : saved);
      }
    }
  }
  platform::SHChangeNotify(platform::SHCNE_ASSOCCHANGED, platform::SHCNF_IDLIST, nullptr, nullptr);
}

QAssocList* AssocList() { return g_list.get(); }

void OpenAssocList() {
  g_list = std::make_unique<QAssocList>();
  g_list->ReadFormatsFromConform();
  g_list->ReadPlayersFromSystem();
  g_list->SetBackupKey(HKEY_CURRENT_USER, kAssocBackupKey);
}

void CloseAssocList() { g_list.reset(); }

std::string AssocProgramPath() { return g_programPath.empty() ? platform::ProgramFileName() : g_programPath; }

void SetAssocProgramPathForTest(const std::string& path) { g_programPath = path; }

void RegisterDefaultAssociations() {
  const std::string program = AssocProgramPath();
  std::string dir, name, ext;
  SplitFileName(program, dir, name, ext);
  // Our own icon lies beside the program.
  const std::string icon = dir + "tavelo.png";
  RegSetFileType(kVideoClipProgID, "Tavelo Image / Video", icon);
  RegSetFileType(kAudioClipProgID, "Tavelo Audio", icon);
  for (const char* type : {kVideoClipProgID, kAudioClipProgID}) {
    RegSetVerb(type, "Open", "Open", true, VerbCommand(program, "open"));
    RegSetVerb(type, "Play", "Play", false, VerbCommand(program, "play"));
  }
}

void RestoreAssociations() {
  OpenAssocList();
  QAssocList& list = *AssocList();
  for (int32_t i = 0; i < list.Count(); ++i) {
    AssocEntry& e = list.Items(i);
    e.Action = IsOwnProgID(e.ProgID) ? aaGiveBack : aaLeave;
  }
  list.WritePlayersToSystem();
  CloseAssocList();
}

}  // namespace tavelo
