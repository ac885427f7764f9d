// The trace log and the call-name stack. The log is an optional CR LF text file, opened and
// closed for every line so it is complete even if the process dies. The call-name stack (per
// thread) holds the names of the routines now running; it is kept only while tracing.
#pragma once
#include <cstdint>
#include <string>

namespace tavelo {

constexpr int kCallNameStackSize = 256;

void SetTraceFile(const std::string& fileName);
bool IsTracing();
void TraceStart(const std::string& title);
void TraceStop();

void TraceEnter(const char* name);
void TraceLeave();
std::string GetCallStack();
int CallStackDepth();
// Empties this thread's call-name stack (after an error was logged).
void ClearCallStack();

// Pushes a routine's name for the life of the scope.
class TraceScope {
 public:
  explicit TraceScope(const char* name) { TraceEnter(name); }
  ~TraceScope() { TraceLeave(); }
  TraceScope(const TraceScope&) = delete;
  TraceScope& operator=(const TraceScope&) = delete;
};

void TraceWrite(const std::string& line);
void TraceError(char kindChar, int32_t cls, int32_t code, int32_t line);
void TraceErr(int32_t cls, int32_t code, int32_t line);
void TraceWarn(int32_t cls, int32_t code, int32_t line);
void TraceText(const std::string& text);
void TraceMemStatus();
void TraceDrive(const std::string& path);

// The fatal-error box: the text, the title "Error" and the error icon, owned by the top window.
void DvlShowError(const std::string& text);

// The OS line of the log header for a version record (exposed for its tests).
struct OsVersionInfo {
  int32_t platformId = -1;  // 0 Win32s, 1 Win9x, 2 NT; -1: not a Windows system
  std::string systemName;   // the system's own name where platformId is -1 ("Linux")
  uint32_t major = 0, minor = 0, build = 0;
  std::string servicePack;
};
std::string OsNameOf(const OsVersionInfo& v);
std::string OsLineOf(const OsVersionInfo& v);

// End-of-program lines: hanging frames, memory figures and the disk that holds programPath;
// then the stored texts are released. Runs after ReportLeaks.
void TraceFinish(const std::string& programPath);

}  // namespace tavelo
