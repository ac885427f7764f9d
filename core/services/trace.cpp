#include "core/services/trace.h"

#include <atomic>
#include <ctime>
#include <mutex>
#include <vector>

#include "core/services/basic.h"
#include "core/services/errors.h"
#include "core/services/files.h"
#include "core/services/monitor.h"
#include "platform/msgbox/msgbox.h"
#include "platform/sync/thread_safety.h"
#include "platform/sysinfo/sysinfo.h"

namespace tavelo {

namespace {

// The log file is shared by every thread: writes are serialized, and each line is opened,
// appended and closed on its own so the file is complete after every line.
Mutex g_writeMutex;
Mutex g_pathMutex;
std::string g_path GUARDED_BY(g_pathMutex) = "/trace.txt";
std::atomic<bool> g_on{false};

// Per thread: the call-name stack, and a guard that hides tracing from the file routines the
// writer itself calls (so they neither trace nor log into the line being written).
thread_local std::string t_stack[kCallNameStackSize];
thread_local int t_depth = 0;
thread_local bool t_inWriter = false;

std::string Num(uint32_t v) { return IntToStrW(v, 0); }

std::string CurrentPath() {
  const LockGuard lock(g_pathMutex);
  return g_path;
}

// Appends lines to the log. Failures are dropped: the error state is locked meanwhile, so they
// neither overwrite the error being reported nor recurse.
void AppendLinesLocked(const std::vector<std::string>& lines) REQUIRES(g_writeMutex) {
  const bool wasLocked = ErrorsLocked();
  LockErrors();
  t_inWriter = true;
  const std::string savedName = LastFileName();
  const std::string path = CurrentPath();
  for (const std::string& line : lines) {
    int32_t handle = kBadHandle;
    if (TXTOpen(handle, path, fmAppend) == 0) {
      TXTWrite(handle, line);
      TXTClose(handle);
    }
  }
  LastFileName() = savedName;
  t_inWriter = false;
  if (!wasLocked) UnlockErrors();
}

void WriteLines(const std::vector<std::string>& lines) {
  if (!IsTracing()) return;
  const LockGuard lock(g_writeMutex);
  AppendLinesLocked(lines);
}

std::string MBLine(int32_t total, int32_t free) {
  return "#  total: " + IntToStrW(static_cast<uint32_t>(total), 100) + " MB, free: " +
         IntToStrW(static_cast<uint32_t>(free), 100) + " MB";
}

}  // namespace

void SetTraceFile(const std::string& fileName) {
  const LockGuard lock(g_pathMutex);
  g_path = fileName;
}

bool IsTracing() { return g_on.load(std::memory_order_relaxed) && !t_inWriter; }

void TraceStop() {
  g_on.store(false);
  t_depth = 0;
}

void TraceEnter(const char* name) {
  if (!IsTracing() || t_depth >= kCallNameStackSize) return;
  t_stack[t_depth++] = name;
}

void TraceLeave() {
  if (IsTracing() && t_depth >= 1) --t_depth;
}

std::string GetCallStack() {
  if (!IsTracing() || t_depth == 0) return {};
  std::string s = t_stack[0];
  for (int i = 1; i < t_depth; ++i) s += ":" + t_stack[i];
  return s;
}

int CallStackDepth() { return t_depth; }

void ClearCallStack() { t_depth = 0; }

void TraceWrite(const std::string& line) { WriteLines({line}); }

void TraceError(char kindChar, int32_t cls, int32_t code, int32_t line) {
  if (!IsTracing()) return;
  const bool ownText = kindChar == '?' && cls >= 1 && cls <= 3;
  const std::string message = ownText ? GetWarningText() : ErrorText(cls, code);
  WriteLines({std::string(1, kindChar) + Num(static_cast<uint32_t>(cls)) + ":" + Num(static_cast<uint32_t>(code)) +
                  ";\"" + message + "\"",
              "@" + GetCallStack() + ";" + Num(static_cast<uint32_t>(line))});
}

void TraceErr(int32_t cls, int32_t code, int32_t line) { TraceError('!', cls, code, line); }
void TraceWarn(int32_t cls, int32_t code, int32_t line) { TraceError('?', cls, code, line); }

void TraceText(const std::string& text) {
  if (!IsTracing()) return;
  std::vector<std::string> lines;
  if (text.empty()) {
    lines.push_back("#");
  } else {
    size_t start = 0;
    while (start < text.size()) {
      const size_t crlf = text.find("\r\n", start);
      if (crlf == std::string::npos) {
        lines.push_back("#" + text.substr(start));
        break;
      }
      lines.push_back("#" + text.substr(start, crlf - start));
      start = crlf + 2;
    }
  }
  WriteLines(lines);
}

std::string OsNameOf(const OsVersionInfo& v) {
  if (v.platformId < 0) return v.systemName.empty() ? "N/A" : v.systemName;
  std::string name;
  switch (v.platformId) {
    case 0: name = "Windows 3.1 with Win32s"; break;
    case 1: name = "Windows 95 compatible"; break;
    case 2: name = "Windows NT compatible"; break;
    default: name = "N/A";
  }
  switch (v.build & 0xFFFF) {
    case 950: name = "Windows 95"; break;
    case 951: name = "Windows 95A OSR-1.0"; break;
    case 1057: name = "Windows NT 3.51"; break;
    case 1111: name = "Windows 95B OSR-2.0"; break;
    case 1212: name = "Windows 95B OSR-2.1"; break;
    case 1214: name = "Windows 95C OSR-2.5"; break;
    case 1381: name = "Windows NT 4.0"; break;
    case 1998: name = "Windows 98"; break;
    case 2195: name = "Windows 2000"; break;
    case 2222: name = "Windows 98SE"; break;
    case 2600: name = "Windows XP"; break;
    case 3000: name = "Windows Me"; break;
    case 3790: name = "Windows Server 2003"; break;
    case 3791: name = "Windows Server 2003 MUI"; break;
    case 6000: name = "Windows Vista"; break;
    case 6001: name = "Windows Vista SP1"; break;
    default: break;
  }
  return name;
}

std::string OsLineOf(const OsVersionInfo& v) {
  return "OS: " + OsNameOf(v) + " v" + Num(v.major) + "." + Num(v.minor) + " - build " + Num(v.build & 0xFFFF) +
         " - " + CutUtf8(v.servicePack, 128);
}

void TraceStart(const std::string& title) {
  const bool wasLocked = ErrorsLocked();
  LockErrors();
  // The header is made before the writers are held up: reading the system figures takes time.
  std::vector<std::string> header;
  header.push_back(title);
  char stamp[32] = "";
  const std::time_t now = std::time(nullptr);
  std::tm local {};
  if (localtime_r(&now, &local) != nullptr) std::strftime(stamp, sizeof stamp, "%Y-%m-%d, %H:%M", &local);
  header.push_back(std::string("Trace started on ") + stamp);
  try {
    const platform::OsFigures os = platform::ReadOsFigures();
    OsVersionInfo v;
    v.systemName = os.name;
    v.major = os.major;
    v.minor = os.minor;
    v.build = os.build;
    v.servicePack = os.version;
    header.push_back(OsLineOf(v));
    const platform::CpuFigures cpu = platform::ReadCpuFigures();
    header.push_back("CPU: " + Num(static_cast<uint32_t>(cpu.architecture)) + "/" +
                     Num(static_cast<uint32_t>(cpu.level)) + "/" + Num(static_cast<uint32_t>(cpu.type)) +
                     ", processors: " + Num(static_cast<uint32_t>(cpu.count)));
  } catch (...) {
    // The system figures are optional: the rule below is written all the same.
  }
  header.push_back(std::string(75, '_'));
  {
    // The log is emptied, switched on and given its header while the writers are held: no other
    // thread's line can land before the title (or in the file about to be deleted).
    const LockGuard lock(g_writeMutex);
    TraceStop();
    t_inWriter = true;
    const std::string path = CurrentPath();
    bool ok = FDelete(path) == 0;
    if (ok) {
      int32_t handle = kBadHandle;
      ok = TXTOpen(handle, path, fmCreate) == 0;
      if (ok) TXTClose(handle);
    }
    t_inWriter = false;
    if (ok) {
      g_on.store(true);
      t_depth = 0;
      AppendLinesLocked(header);
    }
  }
  if (!wasLocked) UnlockErrors();
}

void TraceMemStatus() {
  if (!IsTracing()) return;
  int32_t totalPhys = 0, freePhys = 0, totalSwap = 0, freeSwap = 0;
  GetMemStatus(totalPhys, freePhys, totalSwap, freeSwap);
  WriteLines({"#Physical memory:", MBLine(totalPhys, freePhys), "#Swap memory:", MBLine(totalSwap, freeSwap)});
}

void TraceDrive(const std::string& path) {
  if (!IsTracing()) return;
  const std::string shortPath = CutUtf8(path, 255);
  int32_t total = 0, free = 0;
  std::string fsName;
  GetDiskSpace(shortPath, total, free);
  GetFileSystemName(shortPath, fsName);
  WriteLines({"#Drive " + shortPath + " (" + fsName + ")", MBLine(total, free)});
}

void DvlShowError(const std::string& text) {
  TraceEnter("Errors.DvlShowError");
  platform::ShowMessageBox(GetTopWindowHandle(), text, "Error", platform::miError);
  TraceLeave();
}

void TraceFinish(const std::string& programPath) {
  const int hanging = MonitorDepth();
  if (hanging > 0) TraceWrite("#Monitoring failure: " + Num(static_cast<uint32_t>(hanging)) + " hanging processes.");
  TraceMemStatus();
  TraceDrive(programPath);
  for (auto& s : t_stack) {
    s.clear();
    s.shrink_to_fit();
  }
  t_depth = 0;
  ReleaseErrorTexts();
}

}  // namespace tavelo
