#include "app/assoc_list.h"

#include <algorithm>
#include <map>
#include <memory>

#include "core/services/path_utils.h"
#include "formats/ff_tables.h"
#include "platform/desktop/desktop_assoc.h"
#include "platform/sysinfo/sysinfo.h"

namespace tavelo {

namespace {

std::unique_ptr<QAssocList> g_list;
std::string g_programPath;
bool g_uninstalling = false;  // RestoreAssociations is giving everything back

// The MIME types each readable format is, as the shared MIME database names them. An extension
// takes only these of the types the database gives it: the database also knows ".pm" as a Perl
// module and ".mp2" as MPEG video, and those files are not ours to open. Types of codecs the
// format cannot play (FLAC or Speex in Ogg) are left out too.
std::vector<std::string> FormatMimeTypes(int32_t formatId) {
  switch (formatId) {
    case fidTGA: return {"image/x-tga", "image/x-targa"};
    case fidPCX: return {"image/vnd.zbrush.pcx", "image/x-pcx"};
    case fidBMP: return {"image/bmp", "image/x-bmp", "image/x-ms-bmp"};
    case fidGIF: return {"image/gif"};
    case fidFLIC: return {"video/x-flic"};
    case fidAVI: return {"video/x-msvideo", "video/avi", "video/vnd.avi", "video/msvideo"};
    case fidJPEG: return {"image/jpeg", "image/pjpeg"};
    case fidPNG: return {"image/png"};
    case fidTIFF: return {"image/tiff"};
    case fidMPEG: return {"video/mpeg", "video/mpeg-system", "video/x-mpeg", "video/x-mpeg2"};
    case fidWAV: return {"audio/x-wav", "audio/wav", "audio/vnd.wave"};
    case fidSGI: return {"image/x-sgi", "image/x-rgb"};
    case fidRAS: return {"image/x-sun-raster"};
    case fidPNM: return {"image/x-portable-anymap", "image/x-portable-pixmap", "image/x-portable-graymap",
                         "image/x-portable-bitmap"};
    case fidXPM: return {"image/x-xpixmap"};
    case fidMPA: return {"audio/mpeg", "audio/mp2", "audio/x-mp2", "audio/x-mpeg"};
    case fidOGA: return {"audio/ogg", "audio/x-vorbis+ogg"};
    case fidAC3: return {"audio/ac3", "audio/x-ac3"};
    case fidJP2: return {"image/jp2", "image/x-jp2-codestream"};
    case fidWMV: return {"video/x-ms-wmv", "video/x-ms-asf"};
    case fidWMA: return {"audio/x-ms-wma"};
    case fidOGV: return {"video/ogg", "video/x-theora+ogg", "audio/ogg", "audio/x-vorbis+ogg"};
    default: return {};  // no MIME type of its own (ZMV, Bayer, Cine)
  }
}

std::string LowerExt(std::string ext) {
  for (char& c : ext)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + 32);
  return ext;
}

// What the desktop needs to know of the list: each extension's format types.
platform::DesktopAssocRequest DesktopRequest(const QAssocList& list) {
  platform::DesktopAssocRequest request;
  for (int32_t i = 0; i < list.Count(); ++i)
    request.FormatTypes.emplace(LowerExt(list.Items(i).Ext), FormatMimeTypes(list.Items(i).FormatId));
  return request;
}

bool IsOwnDesktopEntry(const std::string& entry) {
  return entry == std::string(kVideoClipProgID) + ".desktop" || entry == std::string(kAudioClipProgID) + ".desktop";
}

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
  // The desktop has the last word: an extension whose MIME type the user gave another program
  // there (xdg-mime default, a file manager) is that program's, whatever the store says.
  const std::map<std::string, std::string> defaults = platform::DesktopDefaults();
  for (AssocEntry& e : entries_) {
    e.ProgID = RegGetUserProgID(e.Ext);
    if (!IsOwnProgID(e.ProgID)) continue;
    for (const std::string& mime : platform::DesktopTypesOfExtension(e.Ext, FormatMimeTypes(e.FormatId))) {
      const auto d = defaults.find(mime);
      if (d != defaults.end() && !d->second.empty() && !IsOwnDesktopEntry(d->second)) {
        e.ProgID = d->second;
        break;
      }
    }
  }
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
  platform::DesktopAssocRequest request = DesktopRequest(*this);
  request.Uninstall = g_uninstalling;
  for (int32_t i = 0; i < Count(); ++i) {
    const AssocEntry& e = Items(i);
    if (e.Action == aaTake && !e.ProgID.empty()) {
      // Taken on purpose: the desktop follows even where its default was changed since.
      request.Taken.insert(LowerExt(e.Ext));
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
  platform::SetDesktopAssocRequest(request);
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
  // The desktop entries start the program by its path: a new command (the program moved, or the
  // types are new) must reach them at once. Entries written by an older version are brought up to
  // date too; nothing is written when nothing differs.
  QAssocList formats;
  formats.ReadFormatsFromConform();
  platform::SetDesktopAssocRequest(DesktopRequest(formats));
  platform::SHChangeNotify(platform::SHCNE_ASSOCCHANGED, platform::SHCNF_IDLIST, nullptr, nullptr);
}

void RestoreAssociations() {
  OpenAssocList();
  QAssocList& list = *AssocList();
  for (int32_t i = 0; i < list.Count(); ++i) {
    AssocEntry& e = list.Items(i);
    // The store's owner counts here, not the desktop's: every extension the store gives us goes
    // back, and the desktop's lines only where they are still ours.
    e.ProgID = RegGetUserProgID(e.Ext);
    e.Action = IsOwnProgID(e.ProgID) ? aaGiveBack : aaLeave;
  }
  g_uninstalling = true;
  list.WritePlayersToSystem();
  g_uninstalling = false;
  CloseAssocList();
}

}  // namespace tavelo
