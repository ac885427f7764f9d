// The desktop shell services the program calls: start a program (and wait for it), open a
// document, folder or web address with its associated program, the user's Documents folder, the
// desktop work area, copying and moving files, and the trash.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

namespace tavelo::platform {

// ---- Programs.

// Splits a command line into arguments: blanks and tabs separate them, double quotes group
// blanks into one argument and are removed.
std::vector<std::string> SplitCommandLine(const std::string& commandLine);

// Starts argv[0] with the arguments argv (a name without '/' is looked up in PATH), in dir (""
// keeps the caller's folder), with the caller's environment. With wait it waits without limit
// and exitCode receives the exit status (128 + the signal number when it was killed); without,
// the child is reaped in the background. False when the program could not be started.
bool SpawnProgram(const std::vector<std::string>& argv, const std::string& dir, bool wait, int* exitCode = nullptr);

// Hands a document, folder or URL to the desktop's opener (xdg-open) without waiting.
// False when the opener could not be started.
bool DesktopOpen(const std::string& target);
// The opener program (test seam); "" returns to xdg-open.
void SetDesktopOpener(const std::string& program);

// ---- Folders.

// The user's Documents folder without a trailing '/': $XDG_DOCUMENTS_DIR, else the entry in
// $XDG_CONFIG_HOME/user-dirs.dirs, else $HOME; a folder that does not exist is passed over.
std::string DocumentsFolder();

// ---- Desktop work area: the part of the screen not covered by panels.
struct WorkAreaRect {
  int32_t left = 0, top = 0, right = 0, bottom = 0;
};
// The window toolkit installs the real source; without one (headless) the area is a fixed
// 1920 x 1080 screen.
using WorkAreaProvider = bool (*)(WorkAreaRect& rect);
void SetWorkAreaProvider(WorkAreaProvider provider);
WorkAreaRect DesktopWorkArea();

// ---- Copy and move.

// The target the shell means: a dest that is an existing folder receives the source's name.
std::string CopyMoveTarget(const std::string& source, const std::string& dest);

// Copies or moves source (a file, a link or a folder) to target (the full new name). The result
// is 0 or an errno value: EEXIST when target exists and replace is false, EINVAL when source and
// target are the same file for a copy. The target only ever appears complete: data go to a
// temporary file beside it that is synced and renamed into place. A move renames where it can;
// across file systems it copies first and removes the source only after the copy is complete.
// An existing target is never destroyed unless replace is true, and then only by the finished
// copy taking its place.
int CopyMoveFile(const std::string& source, const std::string& target, bool move, bool replace);

// Removes what a copy, move or move to the trash that was killed half-way left behind (its
// temporary copy, a .trashinfo whose file never arrived), as that process's journal names it.
// Work still running in any process is left alone. The program calls it once as it starts.
void CleanUpUnfinishedWork();

// ---- Trash (the freedesktop.org trash layout).

// $XDG_DATA_HOME/Trash (or ~/.local/share/Trash).
std::string HomeTrashFolder();

// Moves path into the trash: the home trash for files on its file system, else the trash at the
// top of the file's own file system, else (copying) the home trash. Writes the .trashinfo file
// first, as the freedesktop trash rules ask. Result 0 or an errno value; on success trashedFile and
// infoFile (when given) receive the paths of the two entries.
int MoveToTrash(const std::string& path, std::string* trashedFile = nullptr, std::string* infoFile = nullptr);

// The percent-encoded form of a path used in .trashinfo files ('/' and unreserved characters
// stay as they are).
std::string TrashEscapePath(const std::string& path);

}  // namespace tavelo::platform
