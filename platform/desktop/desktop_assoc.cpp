#include "platform/desktop/desktop_assoc.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <mutex>
#include <set>
#include <sstream>

#include "base/posix_files.h"
#include "platform/registry/registry.h"
#include "platform/shell/shell.h"

namespace tavelo::platform {

namespace {

// The user's choice per extension, as the shell keeps it.
constexpr const char* kFileExtsKey = "Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\FileExts";
constexpr const char* kDefaultGroup = "[Default Applications]";

std::mutex g_mutex;  // one sync at a time in the process
std::string g_updater;
std::mutex g_requestMutex;
DesktopAssocRequest g_request;  // what the next SHChangeNotify works with
bool g_requestSet = false;

std::string Env(const char* name) {
  const char* v = std::getenv(name);
  return v != nullptr ? std::string(v) : std::string();
}

// An XDG base folder: the variable when it holds an absolute path, else $HOME + fallback.
std::string XdgHome(const char* variable, const char* fallback) {
  const std::string v = Env(variable);
  if (!v.empty() && v[0] == '/') return v;
  const std::string home = Env("HOME");
  return home.empty() ? std::string() : home + fallback;
}

std::string Lower(std::string s) {
  for (char& c : s)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + 32);
  return s;
}

bool SameNoCase(const std::string& a, const std::string& b) { return Lower(a) == Lower(b); }

// A missing file reads as empty; false only for a file that exists and cannot be read.
bool ReadText(const std::string& path, std::string& text, bool& exists) {
  text.clear();
  struct stat st {};
  exists = ::stat(path.c_str(), &st) == 0;
  if (!exists) return errno == ENOENT || errno == ENOTDIR;
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  std::ostringstream all;
  all << in.rdbuf();
  text = all.str();
  return !in.bad();
}

// The file a path stands for: symbolic links followed to their end (a user may keep
// mimeapps.list in a folder of dotfiles and link it). '' for a loop of links.
std::string ResolveLinks(std::string path) {
  for (int hops = 0; hops < 40; ++hops) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return path;
    std::string target(4096, '\0');
    const ssize_t n = ::readlink(path.c_str(), target.data(), target.size());
    if (n <= 0 || static_cast<size_t>(n) >= target.size()) return path;
    target.resize(static_cast<size_t>(n));
    path = target[0] == '/' ? target : posix::FolderOf(path) + "/" + target;
  }
  return {};
}

// Writes text as the whole new content of path: a temporary file beside it, synced, renamed over
// it, then the folder synced. The old file stays whole until the rename. A symbolic link stays a
// link: its target is what is replaced.
bool WriteTextAtomic(const std::string& linkPath, const std::string& text, std::string& error) {
  const std::string path = ResolveLinks(linkPath);
  if (path.empty()) {
    error = "cannot write " + linkPath + ": a loop of symbolic links";
    return false;
  }
  const std::string folder = posix::FolderOf(path);
  if (!posix::MakeFolders(folder)) {
    error = "cannot make the folder " + folder;
    return false;
  }
  std::string temp = path + ".tmp-XXXXXX";
  const int fd = ::mkstemp(temp.data());
  if (fd < 0) {
    error = "cannot write " + path + ": " + std::strerror(errno);
    return false;
  }
  // Keep the permissions of the file we replace (user files are usually 0644).
  struct stat st {};
  ::fchmod(fd, ::stat(path.c_str(), &st) == 0 ? (st.st_mode & 07777) : 0644);
  if (!posix::WriteSyncClose(fd, text.data(), text.size()) || !posix::RenameSynced(temp, path)) {
    error = "cannot write " + path + ": " + std::strerror(errno);
    ::unlink(temp.c_str());
    return false;
  }
  return true;
}

// ---- The store.

std::string StoreString(RegRoot root, const std::string& key, const std::string& name) {
  RegData data;
  if (RegStoreQueryValue(root, key, name, data) != kRegOk || data.type != rtString) return {};
  return data.bytes;
}

struct Verb {
  std::string Name, Caption, Command;
};

struct FileType {
  std::string Id;  // the type's key name, also the desktop entry's name
  std::string Name, Icon;
  std::vector<Verb> Verbs;
  size_t DefaultVerb = 0;
  std::vector<std::string> MimeTypes;  // the MIME types it owns now
};

// The file types of the store: keys of the classes root (not extensions) with at least one verb
// that has a command.
std::vector<FileType> ReadFileTypes() {
  std::vector<FileType> types;
  std::vector<std::string> names;
  RegStoreKeyNames(kRegClassesRoot, "", names);
  for (const std::string& id : names) {
    if (id.empty() || id[0] == '.') continue;
    FileType t;
    t.Id = id;
    t.Name = StoreString(kRegClassesRoot, id, "");
    if (t.Name.empty()) t.Name = id;
    t.Icon = StoreString(kRegClassesRoot, id + "\\DefaultIcon", "");
    const std::string shell = id + "\\shell";
    std::vector<std::string> verbs;
    RegStoreKeyNames(kRegClassesRoot, shell, verbs);
    for (const std::string& v : verbs) {
      Verb verb{v, StoreString(kRegClassesRoot, shell + "\\" + v, ""),
                StoreString(kRegClassesRoot, shell + "\\" + v + "\\Command", "")};
      if (verb.Command.empty()) continue;
      if (verb.Caption.empty()) verb.Caption = v;
      t.Verbs.push_back(verb);
    }
    if (t.Verbs.empty()) continue;
    // The shell key's default value names the default verb; without one, "open", else the first.
    const std::string wanted = StoreString(kRegClassesRoot, shell, "");
    for (size_t i = 0; i < t.Verbs.size(); ++i)
      if (SameNoCase(t.Verbs[i].Name, wanted.empty() ? "open" : wanted)) t.DefaultVerb = i;
    types.push_back(std::move(t));
  }
  return types;
}

// The extensions of the user's choices and the type each points at ("ProgID", else the first
// name under "OpenWithProgIds"), in the store's order.
std::vector<std::pair<std::string, std::string>> ReadUserChoices() {
  std::vector<std::pair<std::string, std::string>> choices;
  std::vector<std::string> exts;
  RegStoreKeyNames(kRegCurrentUser, kFileExtsKey, exts);
  for (const std::string& ext : exts) {
    const std::string key = std::string(kFileExtsKey) + "\\" + ext;
    std::string progId = StoreString(kRegCurrentUser, key, "ProgID");
    if (progId.empty()) {
      std::vector<std::string> values;
      if (RegStoreValueNames(kRegCurrentUser, key + "\\OpenWithProgIds", values) == kRegOk && !values.empty())
        progId = values[0];
    }
    choices.emplace_back(ext, progId);
  }
  return choices;
}

// ---- Desktop entries.

std::string EscapeString(const std::string& s) {
  std::string out;
  for (char c : s) {
    switch (c) {
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\t': out += "\\t"; break;
      case '\r': out += "\\r"; break;
      default: out += c;
    }
  }
  return out;
}

bool IsReserved(char c) { return std::strchr(" \t\n\"'\\><~|&;$*?#()`", c) != nullptr && c != 0; }

// The quoting of the Exec key alone (before the string escapes).
std::string QuoteExecArgument(const std::string& argument) {
  std::string doubled;
  for (char c : argument) {
    doubled += c;
    if (c == '%') doubled += '%';
  }
  if (!doubled.empty() && std::none_of(doubled.begin(), doubled.end(), IsReserved)) return doubled;
  std::string quoted = "\"";
  for (char c : doubled) {
    if (c == '"' || c == '`' || c == '$' || c == '\\') quoted += '\\';
    quoted += c;
  }
  return quoted + "\"";
}

std::string ActionId(const std::string& verb) {
  std::string id;
  for (char c : verb)
    if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-') id += c;
  return id;
}

// The Exec value of a verb's command; the program named by launcher instead when one is given.
std::string ExecOf(const std::string& command, const std::string& launcher) {
  const std::string exec = DesktopExecFromCommand(command);
  const std::vector<std::string> args = SplitCommandLine(command);
  if (launcher.empty() || args.empty()) return exec;
  // The value begins with the program, as DesktopExecArgument writes it.
  return DesktopExecArgument(launcher) + exec.substr(DesktopExecArgument(args[0]).size());
}

std::string DesktopEntryText(const FileType& t, const std::string& launcher) {
  std::string text = "[Desktop Entry]\nType=Application\nVersion=1.4\n";
  text += "Name=" + EscapeString(t.Name) + "\n";
  if (!t.Icon.empty()) text += "Icon=" + EscapeString(t.Icon) + "\n";
  text += "Exec=" + ExecOf(t.Verbs[t.DefaultVerb].Command, launcher) + "\n";
  // The entries stand for file types, not for programs to start from a menu.
  text += "NoDisplay=true\nTerminal=false\n";
  if (!t.MimeTypes.empty()) {
    text += "MimeType=";
    for (const std::string& m : t.MimeTypes) text += m + ";";
    text += "\n";
  }
  std::string actions, groups;
  std::set<std::string> used;
  for (size_t i = 0; i < t.Verbs.size(); ++i) {
    const std::string id = ActionId(t.Verbs[i].Name);
    if (i == t.DefaultVerb || id.empty() || !used.insert(id).second) continue;
    actions += id + ";";
    groups += "\n[Desktop Action " + id + "]\nName=" + EscapeString(t.Verbs[i].Caption) +
              "\nExec=" + ExecOf(t.Verbs[i].Command, launcher) + "\n";
  }
  if (!actions.empty()) text += "Actions=" + actions + "\n";
  return text + groups;
}

// ---- Launchers.
//
// xdg-open in xdg-utils' generic mode (no desktop named or detected) splits Exec at blanks and
// reads no quotes: a program under a folder with blanks (or any character the Exec rules quote)
// cannot be started through its path there. Such a program is named in the entries by a symbolic
// link without those characters, $XDG_DATA_HOME/tavelo/<type>, kept pointing at the program.

std::string LauncherFolder() {
  const std::string data = XdgHome("XDG_DATA_HOME", "/.local/share");
  return data.empty() ? std::string() : data + "/tavelo";
}

bool PlainPath(const std::string& path) {
  return !path.empty() && std::none_of(path.begin(), path.end(), [](char c) { return IsReserved(c) || c == '%'; });
}

// The link for the type's program ('' when the program's own path does, or no link can); a link
// no longer needed is removed. false (and error) when a link could not be made.
bool UpdateLauncher(const FileType& t, std::string& launcher, std::string& error) {
  launcher.clear();
  const std::vector<std::string> args = SplitCommandLine(t.Verbs[t.DefaultVerb].Command);
  const std::string program = args.empty() ? std::string() : args[0];
  const std::string folder = LauncherFolder();
  if (folder.empty()) return true;
  const std::string link = folder + "/" + t.Id;
  if (program.empty() || PlainPath(program) || !PlainPath(link)) {
    ::unlink(link.c_str());
    ::rmdir(folder.c_str());  // only when empty
    return true;
  }
  std::string target(4096, '\0');
  const ssize_t n = ::readlink(link.c_str(), target.data(), target.size());
  if (n > 0 && static_cast<size_t>(n) < target.size() && target.substr(0, static_cast<size_t>(n)) == program) {
    launcher = link;
    return true;
  }
  if (!posix::MakeFolders(folder)) {
    error = "cannot make the folder " + folder;
    return false;
  }
  // Made beside it and renamed over it: the link is never missing.
  const std::string temp = link + ".tmp";
  ::unlink(temp.c_str());
  if (::symlink(program.c_str(), temp.c_str()) != 0 || ::rename(temp.c_str(), link.c_str()) != 0) {
    error = "cannot make the link " + link + ": " + std::strerror(errno);
    ::unlink(temp.c_str());
    return false;
  }
  launcher = link;
  return true;
}

void RemoveLaunchers(const std::vector<FileType>& types) {
  const std::string folder = LauncherFolder();
  if (folder.empty()) return;
  for (const FileType& t : types) ::unlink((folder + "/" + t.Id).c_str());
  ::rmdir(folder.c_str());
}

// ---- mimeapps.list, kept line by line.

struct ListFile {
  std::vector<std::string> Lines;
  bool FinalNewline = true;

  void Parse(const std::string& text) {
    Lines.clear();
    FinalNewline = text.empty() || text.back() == '\n';
    size_t start = 0;
    while (start < text.size()) {
      size_t end = text.find('\n', start);
      if (end == std::string::npos) end = text.size();
      Lines.push_back(text.substr(start, end - start));
      start = end + 1;
    }
  }
  std::string Text() const {
    std::string text;
    for (size_t i = 0; i < Lines.size(); ++i) {
      text += Lines[i];
      if (i + 1 < Lines.size() || FinalNewline) text += '\n';
    }
    return text;
  }
};

std::string TrimmedLine(const std::string& line) {
  size_t a = 0, b = line.size();
  while (a < b && (line[a] == ' ' || line[a] == '\t')) ++a;
  while (b > a && (line[b - 1] == ' ' || line[b - 1] == '\t' || line[b - 1] == '\r')) --b;
  return line.substr(a, b - a);
}

// The [Default Applications] group: [first, end) line indexes of its body; first = 0 when absent.
bool FindDefaultGroup(const ListFile& list, size_t& first, size_t& end) {
  for (size_t i = 0; i < list.Lines.size(); ++i) {
    if (TrimmedLine(list.Lines[i]) != kDefaultGroup) continue;
    first = i + 1;
    end = first;
    while (end < list.Lines.size() && TrimmedLine(list.Lines[end]).rfind('[', 0) != 0) ++end;
    return true;
  }
  return false;
}

bool SplitKeyLine(const std::string& line, std::string& key, std::string& value) {
  const std::string t = TrimmedLine(line);
  if (t.empty() || t[0] == '#') return false;
  const size_t eq = t.find('=');
  if (eq == std::string::npos) return false;
  key = TrimmedLine(t.substr(0, eq));
  value = TrimmedLine(t.substr(eq + 1));
  return true;
}

// The first desktop entry a default value names.
std::string FirstEntry(const std::string& value) {
  const size_t semi = value.find(';');
  return TrimmedLine(semi == std::string::npos ? value : value.substr(0, semi));
}

// The backup: one line per MIME type, "<type>\t<the line that stood before>" (empty when none did).
std::map<std::string, std::string> ParseBackup(const std::string& text) {
  std::map<std::string, std::string> backup;
  ListFile list;
  list.Parse(text);
  for (const std::string& line : list.Lines) {
    const size_t tab = line.find('\t');
    if (tab == std::string::npos || tab == 0) continue;
    backup.emplace(line.substr(0, tab), line.substr(tab + 1));
  }
  return backup;
}

std::string BackupText(const std::map<std::string, std::string>& backup) {
  std::string text = "# The default applications that stood before Tavelo's entries, one MIME type a line.\n";
  for (const auto& [mime, line] : backup) text += mime + "\t" + line + "\n";
  return text;
}

bool FindProgram(const std::string& name, std::string& path) {
  if (name.find('/') != std::string::npos) {
    path = name;
    return ::access(name.c_str(), X_OK) == 0;
  }
  std::stringstream dirs(Env("PATH"));
  std::string dir;
  while (std::getline(dirs, dir, ':')) {
    if (dir.empty()) continue;
    const std::string candidate = dir + "/" + name;
    if (::access(candidate.c_str(), X_OK) == 0) {
      path = candidate;
      return true;
    }
  }
  return false;
}

void Report(const std::string& text) {
  const RegReportSink sink = GetRegistryReportSink();
  if (sink != nullptr)
    sink(text);
  else
    std::fprintf(stderr, "tavelo: %s\n", text.c_str());
}

}  // namespace

std::string DesktopApplicationsFolder() {
  const std::string data = XdgHome("XDG_DATA_HOME", "/.local/share");
  return data.empty() ? std::string() : data + "/applications";
}

std::string MimeAppsListFile() {
  const std::string config = XdgHome("XDG_CONFIG_HOME", "/.config");
  return config.empty() ? std::string() : config + "/mimeapps.list";
}

std::string DesktopDefaultsBackupFile() { return RegistryFolder() + "/desktop-defaults.backup"; }

std::vector<std::string> MimeTypesOfExtension(const std::string& extension) {
  std::vector<std::string> types;
  std::string ext = extension;
  if (!ext.empty() && ext[0] == '.') ext.erase(0, 1);
  if (ext.empty()) return types;
  const std::string pattern = "*." + ext;
  std::vector<std::string> folders{XdgHome("XDG_DATA_HOME", "/.local/share")};
  std::stringstream dirs(Env("XDG_DATA_DIRS").empty() ? std::string("/usr/local/share:/usr/share")
                                                      : Env("XDG_DATA_DIRS"));
  std::string dir;
  while (std::getline(dirs, dir, ':'))
    if (!dir.empty()) folders.push_back(dir);
  for (const std::string& folder : folders) {
    // globs2: weight:type:pattern[:flags]; globs: type:pattern. Patterns match without regard to
    // case unless flagged "cs".
    bool two = true;
    std::ifstream in(folder + "/mime/globs2");
    if (!in) {
      two = false;
      in.open(folder + "/mime/globs");
      if (!in) continue;
    }
    std::string line;
    while (std::getline(in, line)) {
      if (line.empty() || line[0] == '#') continue;
      std::vector<std::string> fields;
      std::stringstream parts(line);
      std::string f;
      while (std::getline(parts, f, ':')) fields.push_back(f);
      const size_t at = two ? 1 : 0;
      if (fields.size() < at + 2) continue;
      const std::string& type = fields[at];
      const std::string& glob = fields[at + 1];
      const bool caseSensitive = two && fields.size() > 3 && fields[3].find("cs") != std::string::npos;
      const bool match = caseSensitive ? glob == pattern : SameNoCase(glob, pattern);
      if (match && std::find(types.begin(), types.end(), type) == types.end()) types.push_back(type);
    }
    if (!types.empty()) break;  // the first folder that knows the extension decides
  }
  return types;
}

std::string DesktopExecArgument(const std::string& argument) { return EscapeString(QuoteExecArgument(argument)); }

std::string DesktopExecFromCommand(const std::string& command) {
  std::string exec;
  auto add = [&exec](const std::string& piece) {
    if (!exec.empty()) exec += ' ';
    exec += piece;
  };
  for (const std::string& arg : SplitCommandLine(command)) {
    // A file placeholder becomes a field code standing alone: launchers expand field codes only
    // as whole arguments, and never inside quotes. What stood around it in the same argument
    // becomes an argument of its own ("/open=%L" gives "/open=" and the file).
    size_t at = std::string::npos;
    if (!exec.empty())  // the first word is the program: its name is never a placeholder
      for (const char* code : {"%1", "%L", "%l"}) at = std::min(at, arg.find(code));
    if (at == std::string::npos) {
      add(DesktopExecArgument(arg));
      continue;
    }
    if (at > 0) add(DesktopExecArgument(arg.substr(0, at)));
    add("%f");
    if (at + 2 < arg.size()) add(DesktopExecArgument(arg.substr(at + 2)));
  }
  return exec;
}

void SetDesktopDatabaseUpdater(const std::string& program) {
  std::lock_guard<std::mutex> guard(g_mutex);
  g_updater = program;
}

std::vector<std::string> DesktopTypesOfExtension(const std::string& extension,
                                                 const std::vector<std::string>& formatTypes) {
  std::vector<std::string> types;
  for (const std::string& mime : MimeTypesOfExtension(extension))
    if (std::find(formatTypes.begin(), formatTypes.end(), mime) != formatTypes.end()) types.push_back(mime);
  return types;
}

std::map<std::string, std::string> DesktopDefaults() {
  std::map<std::string, std::string> defaults;
  std::string text;
  bool exists = false;
  const std::string file = MimeAppsListFile();
  if (file.empty() || !ReadText(file, text, exists)) return defaults;
  ListFile list;
  list.Parse(text);
  size_t first = 0, end = 0;
  if (!FindDefaultGroup(list, first, end)) return defaults;
  for (size_t i = first; i < end; ++i) {
    std::string key, value;
    if (SplitKeyLine(list.Lines[i], key, value)) defaults.emplace(key, FirstEntry(value));
  }
  return defaults;
}

namespace {

// The MIME types our extensions want, each for the first owned extension (in the store's order)
// that gives it (Owner: its type); those the user has just taken; and those of formats the
// program cannot read just now (a codec missing), which are neither taken nor given back.
struct WantedTypes {
  std::map<std::string, size_t> Owner;
  std::set<std::string> Taken, Keep;
};

// Adds the MIME types each type now owns to types.
WantedTypes FindWantedTypes(const DesktopAssocRequest& request, std::vector<FileType>& types) {
  WantedTypes w;
  // The uninstall gives every line of ours back, whatever the store still says.
  for (const auto& [ext, progId] : request.Uninstall ? decltype(ReadUserChoices()){} : ReadUserChoices()) {
    size_t owner = types.size();
    for (size_t i = 0; i < types.size(); ++i)
      if (types[i].Id == progId) owner = i;
    if (owner == types.size()) continue;
    std::string key = Lower(ext);
    if (!key.empty() && key[0] != '.') key.insert(0, ".");
    const auto format = request.FormatTypes.find(key);
    if (format == request.FormatTypes.end()) {
      for (const std::string& mime : MimeTypesOfExtension(ext)) w.Keep.insert(mime);
      continue;
    }
    const bool justTaken = request.Taken.count(key) != 0;
    for (const std::string& mime : DesktopTypesOfExtension(ext, format->second)) {
      if (w.Owner.emplace(mime, owner).second) types[owner].MimeTypes.push_back(mime);
      if (justTaken) w.Taken.insert(mime);
    }
  }
  return w;
}

// Writes the desktop entries that changed; changed tells whether any did.
bool WriteDesktopEntries(std::vector<FileType>& types, const std::string& apps, DesktopSyncResult& result,
                         bool& changed) {
  for (FileType& t : types) {
    std::sort(t.MimeTypes.begin(), t.MimeTypes.end());
    const std::string file = apps + "/" + t.Id + ".desktop";
    std::string launcher;
    if (!UpdateLauncher(t, launcher, result.Error)) return false;
    const std::string text = DesktopEntryText(t, launcher);
    std::string old;
    bool exists = false;
    ReadText(file, old, exists);
    if (!exists || old != text) {
      if (!WriteTextAtomic(file, text, result.Error)) return false;
      changed = true;
    }
    result.Entries.push_back(file);
  }
  return true;
}

// Edits the default-applications group of list: the wanted MIME types name our entries, the lines
// of ours no longer wanted are given back (to the default saved in backup, else removed).
void EditDefaults(ListFile& list, const WantedTypes& w, const std::vector<FileType>& types,
                  std::map<std::string, std::string>& backup, DesktopSyncResult& result) {
  std::set<std::string> ours;  // our entries' file names
  for (const FileType& t : types) ours.insert(t.Id + ".desktop");
  size_t first = 0, end = 0;
  if (!FindDefaultGroup(list, first, end) && !w.Taken.empty()) {
    if (!list.Lines.empty() && !TrimmedLine(list.Lines.back()).empty()) list.Lines.push_back("");
    list.Lines.push_back(kDefaultGroup);
    list.FinalNewline = true;
    first = end = list.Lines.size();
  }
  // Lines of the group that name a MIME type (the first line of each counts).
  std::map<std::string, size_t> lineOf;
  for (size_t i = first; i < end; ++i) {
    std::string key, value;
    if (SplitKeyLine(list.Lines[i], key, value)) lineOf.emplace(key, i);
  }
  std::vector<size_t> removed;
  std::vector<std::string> added;
  for (const auto& [mime, owner] : w.Owner) {
    const std::string entry = types[owner].Id + ".desktop";
    const auto at = lineOf.find(mime);
    std::string key, value;
    if (at != lineOf.end()) SplitKeyLine(list.Lines[at->second], key, value);
    const std::string current = at != lineOf.end() ? FirstEntry(value) : std::string();
    if (current == entry) continue;
    // One of our entries (the other type's) follows the store; another's default is the user's
    // choice unless the user has just taken the extension.
    const bool isOurs = ours.count(current) != 0;
    if (!isOurs && w.Taken.count(mime) == 0) continue;
    // The default before ours is kept (the latest one the user had); a default that already is
    // one of ours is not a previous owner.
    if (!isOurs) backup[mime] = at != lineOf.end() ? list.Lines[at->second] : "";
    const std::string line = mime + "=" + entry + ";";
    if (at != lineOf.end())
      list.Lines[at->second] = line;
    else
      added.push_back(line);
    result.Taken.push_back(mime);
  }
  for (const auto& [mime, index] : lineOf) {
    if (w.Owner.count(mime) != 0 || w.Keep.count(mime) != 0) continue;
    std::string key, value;
    SplitKeyLine(list.Lines[index], key, value);
    if (ours.count(FirstEntry(value)) == 0) continue;  // not ours: the user's line stays
    const auto saved = backup.find(mime);
    if (saved != backup.end() && !saved->second.empty())
      list.Lines[index] = saved->second;
    else
      removed.push_back(index);
    if (saved != backup.end()) backup.erase(saved);
    result.GivenBack.push_back(mime);
  }
  if (!added.empty()) {
    // New lines go after the group's last line that is not blank.
    size_t at = end;
    while (at > first && TrimmedLine(list.Lines[at - 1]).empty()) --at;
    list.Lines.insert(list.Lines.begin() + static_cast<std::ptrdiff_t>(at), added.begin(), added.end());
    for (size_t& r : removed)
      if (r >= at) r += added.size();
  }
  std::sort(removed.rbegin(), removed.rend());
  for (size_t r : removed) list.Lines.erase(list.Lines.begin() + static_cast<std::ptrdiff_t>(r));
}

// Removes a file; true when it is gone.
bool RemoveFile(const std::string& file, std::string& error) {
  if (::unlink(file.c_str()) == 0 || errno == ENOENT) return true;
  error = "cannot remove " + file + ": " + std::strerror(errno);
  return false;
}

}  // namespace

bool SyncDesktopAssociations(const DesktopAssocRequest& request, DesktopSyncResult& result) {
  std::lock_guard<std::mutex> guard(g_mutex);
  result = DesktopSyncResult{};
  const std::string apps = DesktopApplicationsFolder();
  const std::string listFile = MimeAppsListFile();
  if (apps.empty() || listFile.empty()) {
    result.Error = "neither XDG_DATA_HOME, XDG_CONFIG_HOME nor HOME is set";
    return false;
  }

  std::vector<FileType> types = ReadFileTypes();
  const WantedTypes wanted = FindWantedTypes(request, types);

  // The desktop entries.
  bool entriesChanged = false;  // the desktop database is refreshed only after a change
  if (!request.Uninstall && !WriteDesktopEntries(types, apps, result, entriesChanged)) return false;

  // mimeapps.list and the backup of what stood there before.
  std::string listText, backupText;
  bool listExists = false, backupExists = false;
  if (!ReadText(listFile, listText, listExists)) {
    result.Error = "cannot read " + listFile;
    return false;
  }
  const std::string backupFile = DesktopDefaultsBackupFile();
  if (!ReadText(backupFile, backupText, backupExists)) {
    result.Error = "cannot read " + backupFile;
    return false;
  }
  ListFile list;
  list.Parse(listText);
  std::map<std::string, std::string> backup = ParseBackup(backupText);
  const std::map<std::string, std::string> backupBefore = backup;
  EditDefaults(list, wanted, types, backup, result);

  // The backup is written before the list, so a default we replace is never lost.
  if (backup != backupBefore && !request.Uninstall && !WriteTextAtomic(backupFile, BackupText(backup), result.Error))
    return false;
  const std::string newText = list.Text();
  if (newText != listText && !WriteTextAtomic(listFile, newText, result.Error)) return false;

  if (request.Uninstall) {
    // Nothing of ours stays behind: our entries and the kept defaults (every line of ours was
    // given back above).
    for (const FileType& t : types)
      if (!RemoveFile(apps + "/" + t.Id + ".desktop", result.Error)) return false;
    RemoveLaunchers(types);
    if (!RemoveFile(backupFile, result.Error)) return false;
  }

  std::string updater;
  const std::string updaterName = g_updater.empty() ? std::string("update-desktop-database") : g_updater;
  if ((entriesChanged || request.Uninstall) && FindProgram(updaterName, updater)) {
    int code = 0;
    if (!SpawnProgram({updater, "-q", apps}, "", true, &code) || code != 0)
      Report("update-desktop-database " + apps + " failed (exit " + std::to_string(code) + ")");
  }
  return true;
}

void SetDesktopAssocRequest(const DesktopAssocRequest& request) {
  std::lock_guard<std::mutex> guard(g_requestMutex);
  g_request = request;
  g_requestSet = true;
}

void SHChangeNotify(int32_t eventId, uint32_t, const void*, const void*) {
  if ((eventId & SHCNE_ASSOCCHANGED) == 0) return;
  DesktopAssocRequest request;
  {
    std::lock_guard<std::mutex> guard(g_requestMutex);
    if (!g_requestSet) {
      // Without knowing the formats every MIME type would look unwanted and be given back.
      Report("the desktop's file associations were not updated: the program named no formats");
      return;
    }
    request = g_request;
    // The taken extensions and the uninstall are for this notification only.
    g_request.Taken.clear();
    g_request.Uninstall = false;
  }
  DesktopSyncResult result;
  if (!SyncDesktopAssociations(request, result))
    Report("the desktop's file associations were not updated: " + result.Error);
}

}  // namespace tavelo::platform
