// The desktop side of the file associations. The program keeps its associations in the settings
// store as it always did (file types with their verbs under the classes root, the user's choice
// per extension under ...\Explorer\FileExts); telling the shell that they changed brings the
// freedesktop.org state in line with the store:
//   - one desktop entry per file type of the store in $XDG_DATA_HOME/applications/<type>.desktop,
//     made from the type's keys: its name, its icon, its default verb as the entry's command and
//     every other verb as a desktop action, and the MIME types of the extensions it owns;
//   - an extension's MIME types are those the shared MIME database gives it that its format
//     really is (the program names them per extension): ".pm" is an X PixMap here, never a Perl
//     module, though the database knows it as both;
//   - for an extension the user has just taken, its MIME types are set to our entry under
//     [Default Applications] in $XDG_CONFIG_HOME/mimeapps.list, and the default that stood there
//     is kept; a default the desktop changed since (xdg-mime default, a file manager) is the
//     user's choice and stays, though the store still names us;
//   - a MIME type no owned extension wants any more gets the default that stood before back,
//     but only while its line is still ours;
//   - the uninstall also removes our entries and the kept defaults;
//   - the desktop database is refreshed when update-desktop-database exists.
// mimeapps.list keeps every line that is not ours, and every file is replaced through a temporary
// file and a rename (the link's target when the file is a symbolic link), so a crash never leaves
// one half written.
#pragma once
#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace tavelo::platform {

// The shell's change notification for associations; the only event this desktop acts on.
constexpr int32_t SHCNE_ASSOCCHANGED = 0x08000000;
constexpr uint32_t SHCNF_IDLIST = 0;
void SHChangeNotify(int32_t eventId, uint32_t flags, const void* item1, const void* item2);

struct DesktopSyncResult {
  std::vector<std::string> Entries;    // desktop entry files written or found up to date
  std::vector<std::string> Taken;      // MIME types set to one of our entries by this run
  std::vector<std::string> GivenBack;  // MIME types given back by this run
  std::string Error;                   // '' on success
};
struct DesktopAssocRequest {
  // The MIME types each extension's format is (extension in lower case with its point). An
  // extension missing here takes no MIME type.
  std::map<std::string, std::vector<std::string>> FormatTypes;
  // Extensions (lower case, with the point) the user has just taken: their MIME types are set to
  // our entry even where the desktop's default is another's.
  std::set<std::string> Taken;
  // The uninstall: what no extension wants is given back as always, then our desktop entries and
  // the kept defaults are removed.
  bool Uninstall = false;
};
// What the next SHChangeNotify works with (the program sets it before it tells the shell; the
// taken extensions and the uninstall count for that one call). Without FormatTypes ever set the
// notification changes nothing and says so.
void SetDesktopAssocRequest(const DesktopAssocRequest& request);

// The work of SHChangeNotify: false (and Error) when a file could not be read or written.
bool SyncDesktopAssociations(const DesktopAssocRequest& request, DesktopSyncResult& result);

// The defaults of the desktop: MIME type -> the first entry its line under [Default Applications]
// of mimeapps.list names.
std::map<std::string, std::string> DesktopDefaults();
// The MIME types an extension takes: those of MimeTypesOfExtension that are in formatTypes.
std::vector<std::string> DesktopTypesOfExtension(const std::string& extension,
                                                 const std::vector<std::string>& formatTypes);

// $XDG_DATA_HOME/applications and $XDG_CONFIG_HOME/mimeapps.list.
std::string DesktopApplicationsFolder();
std::string MimeAppsListFile();
// Where the defaults that stood before ours are kept (beside the settings store).
std::string DesktopDefaultsBackupFile();

// The MIME types the shared MIME database ($XDG_DATA_HOME and $XDG_DATA_DIRS, mime/globs2 or
// mime/globs) gives to files with this extension (".avi" or "avi"), in the database's order.
std::vector<std::string> MimeTypesOfExtension(const std::string& extension);

// One argument of a desktop entry's Exec key, as the file holds it: quoted when it holds a reserved
// character, '%' doubled, and escaped for the key's string syntax.
std::string DesktopExecArgument(const std::string& argument);
// A command of the store (a program, then its arguments; double quotes group blanks) turned into
// the Exec value: the file placeholders %1, %L and %l become %f, always an argument of its own
// (launchers expand field codes only as whole arguments): "/open=%L" becomes "/open= %f", which
// the program reads as one switch.
std::string DesktopExecFromCommand(const std::string& command);

// The program that refreshes the desktop database ("" returns to update-desktop-database from
// PATH; a name that cannot be started is skipped).
void SetDesktopDatabaseUpdater(const std::string& program);

}  // namespace tavelo::platform
