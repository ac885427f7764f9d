#include "app/w_tavelo_main_cmdline.h"

#include <chrono>
#include <filesystem>
#include <system_error>
#include <thread>
#include <vector>

#include "app/w_tavelo_main_settings.h"
#include "core/services/basic.h"
#include "core/services/cmd_line.h"
#include "core/services/path_utils.h"
#include "core/services/text_utils.h"
#include "core/services/trace.h"
#include "core/services/win_utils.h"

namespace tavelo {

namespace {

OpenAndPlayClock g_clock;
std::string g_logPath;

// The first value of a switch, or false when it is not given.
bool SwitchValue(const char* name, std::string& value) {
  std::vector<std::string> list;
  if (!CmdLine_GetCmd(name, list) || list.empty()) return false;
  value = list.front();
  return true;
}

// The text as a decimal integer; false for anything else (no blanks, no sign alone, in range).
bool TextToInt(const std::string& text, int32_t& value) {
  const size_t b = text.find_first_not_of(" \t");
  if (b == std::string::npos) return false;
  const std::string s = text.substr(b, text.find_last_not_of(" \t") - b + 1);
  size_t i = (s[0] == '-' || s[0] == '+') ? 1 : 0;
  if (i == s.size()) return false;
  int64_t v = 0;
  for (; i < s.size(); ++i) {
    if (s[i] < '0' || s[i] > '9') return false;
    v = v * 10 + (s[i] - '0');
    if (v > 0x80000000LL) return false;
  }
  if (s[0] == '-') v = -v;
  if (v > INT32_MAX || v < INT32_MIN) return false;
  value = static_cast<int32_t>(v);
  return true;
}

// The name against the current folder: the recent lists must name the same file from anywhere.
// "." parts are dropped; ".." parts stay (through a linked folder they lead elsewhere than the
// text suggests).
std::string AbsoluteName(const std::string& name) {
  if (name.empty()) return name;
  std::error_code ec;
  const std::filesystem::path full = std::filesystem::absolute(name, ec);
  if (ec) return name;
  std::filesystem::path result;
  for (const std::filesystem::path& part : full)
    if (part != ".") result /= part;
  std::string text = result.string();
  // A name that ended in a separator still does.
  if (name.back() == '/' && (text.empty() || text.back() != '/')) text += '/';
  return text;
}

}  // namespace

void SetOpenAndPlayClock(const OpenAndPlayClock& clock) { g_clock = clock; }

void OpenAndPlay(const CmdLinePlayer& player, const std::string& fileName) {
  WatchRec watch;
  if (!g_clock.Seconds) WatchStart(watch);
  const double start = g_clock.Seconds ? g_clock.Seconds() : 0.0;
  if (player.OpenFile) player.OpenFile(fileName);
  if (player.ProcessMessages) player.ProcessMessages();
  const double elapsed = g_clock.Seconds ? g_clock.Seconds() - start : WatchRead(watch);
  const int64_t ms = FpuRound(static_cast<long double>(elapsed) * 1000.0L);
  if (ms < kOpenToPlayMs) {
    const int32_t wait = static_cast<int32_t>(kOpenToPlayMs - ms);
    if (g_clock.Sleep)
      g_clock.Sleep(wait);
    else
      std::this_thread::sleep_for(std::chrono::milliseconds(wait));
  }
  if (player.Play) player.Play();
}

void ProcessCommandLineParams(const CmdLinePlayer& player) {
  TraceScope trace("wTaveloMain.ProcessCommandLineParams");
  if (CmdLine_HasCmd("log")) StartProgramLog();

  std::vector<std::string> first;
  if (CmdLine_GetCmd("", first) && !first.empty() && !first.front().empty()) {
    OpenAndPlay(player, AbsoluteName(first.front()));
    return;
  }

  std::string file, value;
  bool open = false, play = false;
  if (SwitchValue("open", value) && !value.empty()) {
    file = value;
    open = true;
  }
  if (SwitchValue("play", value) && !value.empty()) {
    file = value;
    play = true;
  }
  if (SwitchValue("repeats", value) && !value.empty()) {
    int32_t count = player.GetLoopCount ? player.GetLoopCount() : 1;
    TextToInt(value, count);
    if (player.SetLoopCount) player.SetLoopCount(count);
  }
  if (CmdLine_HasCmd("close") && player.SetCloseFlag) player.SetCloseFlag();

  file = AbsoluteName(file);
  if (play)
    OpenAndPlay(player, file);
  else if (open && player.OpenFile)
    player.OpenFile(file);
}

void StartProgramLog() {
  g_logPath = MakeNumberedName(GetMyDocumentsDir() + "_Tavelo_log_.txt", true);
  SetTraceFile(g_logPath);
  TraceStart(kProgramTitle);
  if (IsTracing()) {
    TraceWrite("CPU Name: " + GetCpuName(0));
    TraceWrite("");
  }
}

void StopProgramLog() { TraceStop(); }

const std::string& ProgramLogPath() { return g_logPath; }

}  // namespace tavelo
