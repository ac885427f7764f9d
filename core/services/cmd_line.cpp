#include "core/services/cmd_line.h"

#include <sys/stat.h>

#include <fstream>
#include <iterator>
#include <mutex>

#include "core/services/exception_log.h"
#include "core/services/text_utils.h"
#include "platform/sync/thread_safety.h"

namespace tavelo {

namespace {

Mutex g_mutex;
bool g_parsed GUARDED_BY(g_mutex) = false;
CmdLineInfo g_info GUARDED_BY(g_mutex);

std::string Upper(const std::string& s) {
  std::string r = s;
  for (char& c : r)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  return r;
}

char At(const std::string& s, int32_t pos) { return s[static_cast<size_t>(pos - 1)]; }

bool IsLetter(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }

// An argument in double quotes; a double quote inside it is written twice, so that a file name
// holding one reaches the program unchanged.
std::string Quoted(const std::string& text) {
  std::string r = "\"";
  for (char c : text) {
    r += c;
    if (c == '"') r += '"';
  }
  return r + "\"";
}

// Reads a quoted text whose opening quote is at index open (0-based): a doubled quote inside is
// one quote. Returns the index just after the closing quote, or npos when it is missing.
size_t ReadQuoted(const std::string& s, size_t open, std::string& text) {
  text.clear();
  size_t i = open + 1;
  while (i < s.size()) {
    if (s[i] != '"') {
      text += s[i++];
    } else if (i + 1 < s.size() && s[i + 1] == '"') {
      text += '"';
      i += 2;
    } else {
      return i + 1;
    }
  }
  return std::string::npos;
}

// True when the first folder of an absolute path exists: "/data=backup/clip.avi" with a folder
// "/data=backup" is a file, not the switch "data".
bool RootEntryExists(const std::string& arg) {
  const size_t slash = arg.find('/', 1);
  const std::string first = arg.substr(0, slash);
  struct stat st {};
  return ::lstat(first.c_str(), &st) == 0;
}

// Splits a switch argument: '/' + letters, then nothing or (blanks) '=' and the value.
bool SplitSwitch(const std::string& arg, std::string& name, bool& hasValue, std::string& value) {
  if (arg.size() < 2 || arg[0] != '/' || !IsLetter(arg[1])) return false;
  // An existing path is a file, whatever it looks like ("/name" alone, or "/name=..." below a
  // folder of that name).
  if (RootEntryExists(arg)) return false;
  size_t i = 1;
  while (i < arg.size() && IsLetter(arg[i])) ++i;
  name = arg.substr(1, i - 1);
  size_t j = i;
  while (j < arg.size() && (arg[j] == ' ' || arg[j] == '\t')) ++j;
  if (j == arg.size() && i == arg.size()) {
    hasValue = false;
    value.clear();
    return true;
  }
  if (j >= arg.size() || arg[j] != '=') return false;
  ++j;
  while (j < arg.size() && (arg[j] == ' ' || arg[j] == '\t')) ++j;
  hasValue = true;
  value = arg.substr(j);
  return true;
}

bool IsSwitchArg(const std::string& arg) {
  std::string name, value;
  bool hasValue;
  return SplitSwitch(arg, name, hasValue, value);
}

// Which characters of the text lie inside double quotes (the quotes themselves included).
std::vector<bool> QuotedMap(const std::string& text) {
  std::vector<bool> map(text.size());
  bool inside = false;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '"') {
      map[i] = true;
      inside = !inside;
    } else {
      map[i] = inside;
    }
  }
  return map;
}

// The next occurrence of key from pos that lies outside quotes; 0 when none.
int32_t FindKey(const std::string& key, const std::string& upper, const std::vector<bool>& quoted, int32_t pos) {
  const int32_t len = static_cast<int32_t>(upper.size());
  while (pos <= len) {
    const int32_t hit = PosFrom(key, upper, pos, len);
    if (hit == 0) return 0;
    if (!quoted[static_cast<size_t>(hit - 1)]) return hit;
    pos = hit + 1;
  }
  return 0;
}

std::string ProcessCommandText() {
  std::ifstream in("/proc/self/cmdline", std::ios::binary);
  const std::string raw((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::vector<std::string> argv;
  size_t start = 0;
  while (start < raw.size()) {
    size_t end = raw.find('\0', start);
    if (end == std::string::npos) end = raw.size();
    argv.push_back(raw.substr(start, end - start));
    start = end + 1;
  }
  return CmdLine_BuildText(argv);
}

void ParseLocked() REQUIRES(g_mutex) {
  if (g_parsed) return;
  if (g_info.CmdText.empty()) g_info.CmdText = ProcessCommandText();
  g_info = CmdLine_ParseText(g_info.CmdText);
  g_parsed = true;
}

}  // namespace

std::string CmdLine_BuildText(const std::vector<std::string>& argv) {
  if (argv.empty()) return "";
  std::string text = Quoted(argv[0]);
  for (size_t i = 1; i < argv.size(); ++i) {
    std::string name, value;
    bool hasValue = false;
    if (!SplitSwitch(argv[i], name, hasValue, value)) {
      text += " " + Quoted(argv[i]);
      continue;
    }
    const bool hasNext = i + 1 < argv.size();
    if (!hasValue && hasNext && argv[i + 1] == "=") {
      // "/name" "=" "value"
      hasValue = true;
      ++i;
      if (i + 1 < argv.size() && !IsSwitchArg(argv[i + 1])) value = argv[++i];
    } else if (!hasValue && hasNext && argv[i + 1].size() > 1 && argv[i + 1][0] == '=') {
      // "/name" "=value"
      hasValue = true;
      value = argv[++i].substr(1);
    } else if (hasValue && value.empty() && hasNext && !IsSwitchArg(argv[i + 1])) {
      // "/name=" "value"
      value = argv[++i];
    }
    text += " /" + name;
    if (hasValue) text += "=" + Quoted(value);
  }
  return text;
}

std::string CmdLine_BuildText(int argc, const char* const* argv) {
  std::vector<std::string> args;
  for (int i = 0; i < argc && argv != nullptr; ++i) args.emplace_back(argv[i] != nullptr ? argv[i] : "");
  return CmdLine_BuildText(args);
}

CmdLineInfo CmdLine_ParseText(const std::string& cmdText) {
  CmdLineInfo info;
  info.CmdText = cmdText;
  const std::string& s = info.CmdText;
  int32_t pos = 1;
  CmdLine_SkipBlanks(s, pos);
  // The program name.
  if (CmdLine_InRange(s, pos) && At(s, pos) == '"') {
    std::string name;
    const size_t after = ReadQuoted(s, static_cast<size_t>(pos - 1), name);
    pos = static_cast<int32_t>(after == std::string::npos ? s.size() + 1 : after + 1);
  } else {
    while (CmdLine_InRange(s, pos) && At(s, pos) != ' ') ++pos;
  }
  CmdLine_SkipBlanks(s, pos);
  // The bare first argument.
  if (CmdLine_InRange(s, pos) && At(s, pos) != '/') {
    if (At(s, pos) != '"') {
      const int32_t start = pos;
      while (CmdLine_InRange(s, pos) && At(s, pos) != ' ') ++pos;
      std::string arg = s.substr(static_cast<size_t>(start - 1), static_cast<size_t>(pos - start));
      while (!arg.empty() && (arg.back() == ' ' || arg.back() == '\t')) arg.pop_back();
      while (!arg.empty() && (arg.front() == ' ' || arg.front() == '\t')) arg.erase(arg.begin());
      info.FirstArg = arg;
    } else {
      // Without a closing quote the argument runs to the end of the text.
      const size_t after = ReadQuoted(s, static_cast<size_t>(pos - 1), info.FirstArg);
      pos = static_cast<int32_t>(after == std::string::npos ? s.size() + 1 : after + 1);
    }
    CmdLine_SkipBlanks(s, pos);
  }
  info.StartPos = pos;
  return info;
}

bool CmdLine_HasCmdIn(const CmdLineInfo& info, const std::string& switchName) {
  return FindKey("/" + Upper(switchName), Upper(info.CmdText), QuotedMap(info.CmdText), 1) != 0;
}

bool CmdLine_GetCmdIn(const CmdLineInfo& info, const std::string& switchName, std::vector<std::string>& list) {
  list.clear();
  if (switchName.empty()) {
    list.push_back(info.FirstArg);
    return !info.FirstArg.empty();
  }
  const std::string& s = info.CmdText;
  const std::string key = "/" + Upper(switchName);
  const std::string upper = Upper(s);
  const std::vector<bool> quoted = QuotedMap(s);
  int32_t pos = info.StartPos;
  for (;;) {
    const int32_t hit = FindKey(key, upper, quoted, pos);
    if (hit == 0) break;
    std::string value;
    bool last = false;
    pos = hit + static_cast<int32_t>(key.size());
    CmdLine_SkipBlanks(s, pos);
    if (CmdLine_InRange(s, pos) && At(s, pos) == '=') {
      ++pos;
      CmdLine_SkipBlanks(s, pos);
      if (CmdLine_InRange(s, pos)) {
        if (At(s, pos) != '"') {
          const int32_t start = pos;
          while (CmdLine_InRange(s, pos) && At(s, pos) != ' ' && At(s, pos) != '\t' && At(s, pos) != '/') ++pos;
          value = s.substr(static_cast<size_t>(start - 1), static_cast<size_t>(pos - start));
        } else {
          const size_t after = ReadQuoted(s, static_cast<size_t>(pos - 1), value);
          if (after == std::string::npos) {
            value.clear();
            last = true;  // no closing quote: the value stays '' and the search ends
          } else {
            pos = static_cast<int32_t>(after);
          }
        }
      }
    }
    list.push_back(value);
    if (last) break;
  }
  return !list.empty();
}

void CmdLine_SetText(const std::string& cmdText) {
  const LockGuard guard(g_mutex);
  g_info = CmdLineInfo{};
  g_info.CmdText = cmdText;
  g_parsed = false;
}

void CmdLine_SetArgs(int argc, const char* const* argv) { CmdLine_SetText(CmdLine_BuildText(argc, argv)); }

CmdLineInfo CmdLine_Current() {
  const LockGuard guard(g_mutex);
  ParseLocked();
  return g_info;
}

bool CmdLine_HasCmd(const std::string& switchName) { return CmdLine_HasCmdIn(CmdLine_Current(), switchName); }

bool CmdLine_GetCmd(const std::string& switchName, std::vector<std::string>& list) {
  try {
    return CmdLine_GetCmdIn(CmdLine_Current(), switchName, list);
  } catch (...) {
    LogException("CmdLine_GetCmd");
    return false;
  }
}

bool CmdLine_InRange(const std::string& s, int32_t pos) {
  return pos >= 1 && static_cast<int64_t>(pos) <= static_cast<int64_t>(s.size());
}

void CmdLine_SkipBlanks(const std::string& s, int32_t& pos) {
  while (CmdLine_InRange(s, pos) && (At(s, pos) == ' ' || At(s, pos) == '\t')) ++pos;
}

void CmdLine_SkipQuoted(const std::string& s, int32_t& pos) {
  CmdLine_SkipBlanks(s, pos);
  if (CmdLine_InRange(s, pos) && At(s, pos) == '"') ++pos;
  while (CmdLine_InRange(s, pos) && At(s, pos) != '"') ++pos;
  if (CmdLine_InRange(s, pos) && At(s, pos) == '"') ++pos;
}

}  // namespace tavelo
