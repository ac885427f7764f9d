// Monitor frames bracket a piece of work that can fail. A frame remembers which tracked memory
// blocks and files existed when it began; when the work fails, everything this thread tracked
// since then is released, the error is carried to the frame and EMon unwinds frame by frame up
// to the nearest no-raise frame. The frame stack is per thread.
//
//   BeginMonitor();
//   try { /* work */ } catch (...) { CatchException(); }
//   EndMonitor();   // may throw EMon to the enclosing frame: never call it from a destructor
//
// EMon and every other exception must never cross a C library frame.
#pragma once
#include <cstdint>
#include <stdexcept>
#include <string>
#include <utility>

namespace tavelo {

constexpr int kMonitorStackSize = 256;

class EMon : public std::runtime_error {
 public:
  explicit EMon(const std::string& message) : std::runtime_error(message) {}
};

struct MonitorFrame {
  int64_t MemMark = 0;   // sequence mark of the tracked memory blocks when the frame began
  int64_t FileMark = 0;  // sequence mark of the tracked files
  bool Raised = false;
  bool NoRaise = false;
  int32_t ErrClass = 0;
  int32_t ErrCode = 0;
};

void BeginMonitorEx(bool noRaise);
void BeginMonitor();
void BeginMonitorNoRaise();
void RequestNoRaise();
void EndMonitor();
void CatchException();
void RaiseInMonitor(int32_t cls, int32_t code);
void AbortMonitor();  // throws EMon unless suspended
void ReleaseMonitorResources();
void SuspendMonitor();
void ResumeMonitor();
int MonitorDepth();

// The text of the exception being handled, as the exception report formats it:
// "Exception <class> in module <module> at <address>.\r\n<message>\r\n", at most 1024 characters.
// Call only inside a catch block.
std::string CurrentExceptionReport();

// Runs work inside a monitor frame (the idiom above). EndMonitor may throw EMon.
template <class Work>
void Monitored(Work&& work) {
  BeginMonitor();
  try {
    work();
  } catch (...) {
    CatchException();
  }
  EndMonitor();
}

// The usual shape of a routine that can fail: its name on the call-name stack for the life of the
// call and its work inside a monitor frame. EndMonitor may throw EMon to the caller's frame.
template <class Work>
void Framed(const char* name, Work&& work);

// Reports an error and leaves the monitored block at once; outside a frame (or while the monitor is
// suspended) it still never returns to the failing code.
[[noreturn]] void RaiseError(int32_t cls, int32_t code, int32_t line);

// The same inside a no-raise frame: returns the error class left current (0 on success).
template <class Work>
int32_t MonitoredNoRaise(Work&& work);

// Installs the routine that ends the program after a fatal monitoring failure (the application
// runs its end-of-program steps there). The default runs the core's own end steps and exits.
using ProgramExitHook = void (*)(int exitCode);
void SetProgramExitHook(ProgramExitHook hook);

}  // namespace tavelo

#include "core/services/errors.h"
#include "core/services/trace.h"

namespace tavelo {
template <class Work>
void Framed(const char* name, Work&& work) {
  TraceScope scope(name);
  Monitored(std::forward<Work>(work));
}

template <class Work>
int32_t MonitoredNoRaise(Work&& work) {
  BeginMonitorNoRaise();
  try {
    work();
  } catch (...) {
    CatchException();
  }
  EndMonitor();
  return GetErrorClass();
}
}  // namespace tavelo
