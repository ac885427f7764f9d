#include "core/services/win_utils.h"

#include <sys/stat.h>

#include <cstring>
#include <filesystem>
#include <vector>

#include "core/services/basic.h"
#include "core/services/files.h"
#include "core/services/path_utils.h"
#include "core/services/reg_utils.h"
#include "core/services/text_utils.h"
#include "core/services/trace.h"
#include "platform/msgbox/msgbox.h"
#include "platform/shell/shell.h"

namespace tavelo {

namespace {

void FillRec(TFindRecEx& rec, const platform::FindEntry& e) {
  rec.FindData = e;
  rec.Name = e.name;
  rec.Size = e.size;
  rec.Attr = e.attr;
  rec.CreationTime = FileTimeToDate(e.creationTime);
  rec.WriteTime = FileTimeToDate(e.writeTime);
  rec.AccessTime = FileTimeToDate(e.accessTime);
}

// Advances from the entry in e to the first one inside the mask.
bool SkipOutsideMask(TFindRecEx& rec, platform::FindEntry& e) {
  while ((e.attr & rec.AttrMask) == 0) {
    if (!platform::FindNextFile(*rec.Handle, e)) return false;
  }
  FillRec(rec, e);
  return true;
}

bool SameFile(const std::string& a, const std::string& b) {
  struct stat sa {}, sb {};
  return ::stat(a.c_str(), &sa) == 0 && ::stat(b.c_str(), &sb) == 0 && sa.st_dev == sb.st_dev &&
         sa.st_ino == sb.st_ino;
}

void ShowFailure(const std::string& text, const std::string& title) {
  platform::ShowMessageBox(GetTopWindowHandle(), text, title, platform::miError);
}

}  // namespace

bool FindFirstEx(const std::string& pattern, int32_t attrMask, TFindRecEx& rec) {
  FindCloseEx(rec);
  rec.AttrMask = attrMask;
  platform::FindEntry e;
  rec.Handle = platform::FindFirstFile(pattern, e);
  if (!rec.Handle) return false;
  if (SkipOutsideMask(rec, e)) return true;
  FindCloseEx(rec);
  return false;
}

bool FindNextEx(TFindRecEx& rec) {
  if (!rec.Handle) return false;
  platform::FindEntry e;
  if (!platform::FindNextFile(*rec.Handle, e)) return false;
  return SkipOutsideMask(rec, e);
}

void FindCloseEx(TFindRecEx& rec) { rec.Handle.reset(); }

TDateTime FileTimeToDate(const timespec& fileTime) {
  // The years the system's file-time conversion accepts: 1601 to 30827.
  constexpr int64_t kFirst = -11644473600;   // 1601-01-01 00:00:00 UTC
  constexpr int64_t kLast = 910692730085;    // 30827-12-31 23:59:59 UTC
  const int64_t sec = static_cast<int64_t>(fileTime.tv_sec);
  if (sec < kFirst || sec > kLast) return 0;
  return 25569.0 + (static_cast<double>(sec) + fileTime.tv_nsec / 1e9) / 86400.0;
}

bool GetFileDetails(const std::string& path, TFileDetails& details) {
  details = TFileDetails{};
  if (NameHasNul(path)) return false;
  TFindRecEx rec;
  platform::FindEntry literal;
  if (platform::StatEntry(path, literal)) {
    // '?' and '*' are ordinary characters in a file name: a path that exists names that entry
    // and no other, whatever it holds.
    if ((literal.attr & kFileDetailsMask) == 0) return false;
    FillRec(rec, literal);
  } else if (!FindFirstEx(path, kFileDetailsMask, rec)) {
    return false;
  }
  std::error_code ec;
  std::filesystem::path full = std::filesystem::absolute(ExtractFilePath(path) + rec.Name, ec);
  details.Name = ec ? ExtractFilePath(path) + rec.Name : full.lexically_normal().string();
  details.Size = rec.Size;
  details.CreationTime = rec.CreationTime;
  details.WriteTime = rec.WriteTime;
  details.Attr = rec.Attr;
  FindCloseEx(rec);
  return true;
}

bool ExecAndReturn_(const std::string& file, const std::string& params, const std::string& dir, bool minimized) {
  TraceScope trace("WinUtils.ExecAndReturn_");
  if (TrimBlanks(file).empty()) return false;
  if (!TrimBlanks(params).empty()) {
    // Parameters only mean something to a program: start it with them.
    std::vector<std::string> argv = platform::SplitCommandLine(TrimBlanks(params));
    argv.insert(argv.begin(), file);
    return platform::SpawnProgram(argv, dir, false);
  }
  return platform::DesktopOpen(file);
}

bool ExecAndWait(const std::string& file, const std::string& params, const std::string& dir, bool minimized) {
  const std::string commandLine = TrimBlanks(QuoteIfSpaces(file) + " " + params);
  std::string workDir = dir.empty() ? DirNoBackslash(ExtractFilePath(TrimBlanks(file))) : dir;
  std::vector<std::string> argv = platform::SplitCommandLine(commandLine);
  if (argv.empty()) return false;
  // The program is found from the caller's folder, before the child changes to its own.
  if (argv[0].find('/') != std::string::npos && argv[0][0] != '/') {
    std::error_code ec;
    const std::filesystem::path abs = std::filesystem::absolute(argv[0], ec);
    if (!ec) argv[0] = abs.lexically_normal().string();
  }
  if (!workDir.empty() && workDir[0] != '/') {
    std::error_code ec;
    const std::filesystem::path abs = std::filesystem::absolute(workDir, ec);
    if (!ec) workDir = DirNoBackslash(abs.lexically_normal().string());
  }
  return platform::SpawnProgram(argv, workDir, true);
}

bool StartFile(const std::string& file, const std::string& params, const std::string& dir, bool minimized, bool wait) {
  TraceScope trace("WinUtils.StartFile");
  return wait ? ExecAndWait(file, params, dir, minimized) : ExecAndReturn_(file, params, dir, minimized);
}

bool ShellOpen(const std::string& file) { return StartFile(file, "", "", false, false); }

bool IsWebUrl(const std::string& url) {
  std::string scheme;
  for (char c : url.substr(0, 8)) scheme += static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
  size_t rest = 0;
  if (scheme.compare(0, 7, "http://") == 0)
    rest = 7;
  else if (scheme.compare(0, 8, "https://") == 0)
    rest = 8;
  else
    return false;
  if (url.size() <= rest) return false;
  for (char c : url)
    if (static_cast<unsigned char>(c) <= ' ' || c == 0x7F) return false;  // no blanks or control characters
  return true;
}

bool ShellOpenWebUrl(const std::string& url) {
  const std::string u = TrimBlanks(url);
  return IsWebUrl(u) && ShellOpen(u);
}

std::string QuoteIfSpaces(const std::string& s) {
  const std::string t = TrimBlanks(s);
  if (t.find(' ') == std::string::npos) return t;
  if (t.size() >= 2 && t.front() == '"' && t.back() == '"') return t;
  return "\"" + t + "\"";
}

std::string DirNoBackslash(const std::string& dir) {
  if (dir.size() > 1 && dir.back() == '/') return dir.substr(0, dir.size() - 1);
  return dir;
}

std::string GetSpecialDir(int32_t csidl) {
  if (csidl != CSIDL_PERSONAL) return "";
  const std::string folder = platform::DocumentsFolder();
  return folder.empty() ? std::string() : AddBackslash(folder);
}

std::string GetMyDocumentsDir() { return GetSpecialDir(CSIDL_PERSONAL); }

std::string GetCpuName(int32_t cpuIndex) {
  return RegGetStr(HKEY_LOCAL_MACHINE, "\\Hardware\\Description\\System\\CentralProcessor\\" + std::to_string(cpuIndex),
                   "ProcessorNameString", "");
}

void DoubleNulTerminate(std::string& s) { s.append(2, '\0'); }

bool ShellCopyMove(const std::string& source, const std::string& dest, bool copy, TOverwritePolicy overwrite) {
  std::string src = source, dst = dest;
  CutAtNul(src);  // callers may hand the double-zero-terminated list form
  CutAtNul(dst);
  if (src.empty() || dst.empty()) return false;
  const std::string target = platform::CopyMoveTarget(src, dst);
  bool replace = overwrite == opReplace;
  struct stat st {};
  if (overwrite == opAskUser && ::lstat(target.c_str(), &st) == 0 && !SameFile(src, target)) {
    const int answer = platform::ShowMessageBox(
        GetTopWindowHandle(), "The file \"" + target + "\" already exists.\r\n\r\nDo you want to replace it?",
        "Confirm File Replace", platform::miQuestion);
    if (answer != 0) return false;  // No: both files stay as they are
    replace = true;
  }
  const int err = platform::CopyMoveFile(src, target, !copy, replace);
  if (err == 0) return true;
  ShowFailure(std::string(copy ? "Cannot copy \"" : "Cannot move \"") + src + "\" to \"" + target + "\":\r\n" +
                  std::strerror(err),
              copy ? "Error Copying File" : "Error Moving File");
  return false;
}

bool ShellRecycle(const std::string& path) {
  std::string p = path;
  CutAtNul(p);
  if (p.empty()) return false;
  const int err = platform::MoveToTrash(p);
  if (err == 0) return true;
  ShowFailure("Cannot move \"" + p + "\" to the Trash:\r\n" + std::strerror(err), "Error Deleting File");
  return false;
}

void GetWorkArea(TRect& rect) {
  const platform::WorkAreaRect r = platform::DesktopWorkArea();
  rect.Left = r.left;
  rect.Top = r.top;
  rect.Right = r.right;
  rect.Bottom = r.bottom;
}

}  // namespace tavelo
