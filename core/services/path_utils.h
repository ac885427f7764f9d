// Path helpers. Paths are POSIX: the separator is '/', the root of every absolute path is "/",
// and file names are compared exactly. The routines keep the names they were designed with
// (AddBackslash adds the separator, which here is '/').
#pragma once
#include <string>

namespace tavelo {

constexpr char kPathDelim = '/';

// The folder of the running program, with a trailing '/'.
std::string GetExeDir();
// path + '/' unless it already ends with one; '' stays ''.
std::string AddBackslash(const std::string& path);
// path without any trailing '/' characters.
std::string DelBackslash(const std::string& path);
// The root of the trimmed path: "/" for an absolute path, else ''.
std::string GetPathRoot(const std::string& path);
// The parent folder with a trailing '/': ignoring one trailing '/', the text up to the last '/'
// beyond the root; the root itself when nothing lies beyond it; "/" when the path has no root
// and no folder part.
std::string GetParentDir(const std::string& path);
// The folder part of path with its trailing '/' (the text up to the last '/'); '' for a bare name.
std::string ExtractFilePath(const std::string& path);
// dir with its trailing '/', name without its extension, ext with its dot.
void SplitFileName(const std::string& path, std::string& dir, std::string& name, std::string& ext);
// path with its extension replaced by ext (a missing leading '.' is added; '' removes it).
std::string ChangeExt(const std::string& path, const std::string& ext);
// dir + name + number + ext of path. With probe the number is the first of 001, 002, ... (more
// digits past 999) whose name does not exist yet ('' if every number up to 9999999 is taken);
// without probe it is "???", a wildcard pattern.
std::string MakeNumberedName(const std::string& path, bool probe);
// Cuts s before its first character 0.
void CutAtNul(std::string& s);
// Makes the file writable if it exists, then writes text as its whole content. False when
// anything failed.
bool StrToFile(const std::string& fileName, const std::string& text);

}  // namespace tavelo
