#include "core/services/monitor.h"

#include <cxxabi.h>

#include <atomic>
#include <cstdlib>
#include <exception>
#include <typeinfo>

#include "base/posix_files.h"
#include "core/services/basic.h"
#include "core/services/errors.h"
#include "core/services/files.h"
#include "core/services/memory.h"
#include "core/services/trace.h"
#include "platform/sysinfo/sysinfo.h"

namespace tavelo {

namespace {

// The frame stack and its companions are per thread: a worker thread's failed frame never
// unwinds or releases the main thread's work.
thread_local MonitorFrame t_frames[kMonitorStackSize];
thread_local int t_depth = 0;
thread_local bool t_suspended = false;
thread_local bool t_pendingNoRaise = false;
thread_local int t_exceptionCount = 0;

void DefaultProgramExit(int exitCode) {
  ReportLeaks();
  TraceFinish(platform::ProgramFileName());
  std::exit(exitCode);
}

std::atomic<ProgramExitHook> g_exitHook{&DefaultProgramExit};

bool CarriesError(const MonitorFrame& f) { return f.ErrClass != 0 && f.ErrCode != 0; }

std::string Demangle(const char* name) {
  int status = 0;
  char* out = abi::__cxa_demangle(name, nullptr, nullptr, &status);
  std::string result = (status == 0 && out != nullptr) ? out : name;
  std::free(out);
  return result;
}

std::string ModuleName() { return posix::NameOf(platform::ProgramFileName()); }

}  // namespace

void SetProgramExitHook(ProgramExitHook hook) { g_exitHook.store(hook != nullptr ? hook : &DefaultProgramExit); }

void SuspendMonitor() { t_suspended = true; }
void ResumeMonitor() { t_suspended = false; }
int MonitorDepth() { return t_depth; }

void BeginMonitorEx(bool noRaise) {
  if (t_suspended) return;
  if (t_depth == kMonitorStackSize) {
    DvlShowError("Fatal error: internal monitoring overflow.");
    g_exitHook.load()(3);
    return;
  }
  MonitorFrame& f = t_frames[t_depth];
  f = MonitorFrame();
  if (t_depth == 0) t_exceptionCount = 0;
  f.MemMark = MemMark();
  f.FileMark = FMark();
  f.NoRaise = noRaise || t_pendingNoRaise;
  ++t_depth;
  ClearError();
  ClearWarning();
  t_pendingNoRaise = false;
}

void BeginMonitor() { BeginMonitorEx(false); }
void BeginMonitorNoRaise() { BeginMonitorEx(true); }

void RequestNoRaise() {
  if (!t_suspended) t_pendingNoRaise = true;
}

void ReleaseMonitorResources() {
  if (t_suspended || t_depth < 1) return;
  const bool wasLocked = ErrorsLocked();
  SuspendMonitor();
  LockErrors();
  const MonitorFrame& top = t_frames[t_depth - 1];
  MemFreeFrom(top.MemMark);
  FCloseFrom(top.FileMark);
  if (!wasLocked) UnlockErrors();
  ResumeMonitor();
}

void RaiseInMonitor(int32_t cls, int32_t code) {
  if (t_suspended || t_depth < 1 || cls == 0 || code == 0) return;
  MonitorFrame& top = t_frames[t_depth - 1];
  if (top.Raised) return;
  top.ErrClass = cls;
  top.ErrCode = code;
  ReleaseMonitorResources();
  top.Raised = true;
  throw EMon(ErrorText(cls, code));
}

void AbortMonitor() {
  if (t_suspended) return;
  if (t_depth > 0 && !t_frames[t_depth - 1].Raised) t_frames[t_depth - 1].Raised = true;
  throw EMon(std::string());
}

void RaiseError(int32_t cls, int32_t code, int32_t line) {
  SetError(cls, code, line);
  AbortMonitor();
  throw EMon(ErrorText(cls, code));
}

std::string CurrentExceptionReport() {
  std::string className = "Exception";
  std::string message;
  if (const std::type_info* type = abi::__cxa_current_exception_type()) className = Demangle(type->name());
  try {
    throw;
  } catch (const std::exception& e) {
    message = e.what();
  } catch (...) {
  }
  std::string report =
      "Exception " + className + " in module " + ModuleName() + " at 00000000.\r\n" + message + "\r\n";
  return CutUtf8(report, 1024);
}

void CatchException() {
  if (t_suspended) return;
  ++t_exceptionCount;
  // Every unwinding this unit starts marks the frame Raised before it throws, so a frame that has
  // not Raised is being left by a foreign exception (a library or toolkit exception). The error
  // slot cannot tell: a no-raise call earlier in the same frame may have left its error there.
  if (t_depth > 0 && !t_frames[t_depth - 1].Raised) {
    // Release what the frame tracked and turn the exception into a class-3 error.
    ReleaseMonitorResources();
    StoreErrorDirect(ecException, kTextErrorCode, CurrentExceptionReport());
    MonitorFrame& top = t_frames[t_depth - 1];
    top.ErrClass = ecException;
    top.ErrCode = kTextErrorCode;
    top.Raised = true;
    TraceErr(ecException, kTextErrorCode, 0);
  }
}

void EndMonitor() {
  if (t_suspended || t_depth < 1) return;
  if (t_exceptionCount > 1) {
    // Frames were left without their EndMonitor: this call closes the frame (count - 1) levels
    // below the top, never below the bottom frame.
    int target = t_depth - 1 - (t_exceptionCount - 1);
    if (target < 0) target = 0;
    t_frames[target].ErrClass = t_frames[t_depth - 1].ErrClass;
    t_frames[target].ErrCode = t_frames[t_depth - 1].ErrCode;
    t_depth = target + 1;
  }
  if (CarriesError(t_frames[t_depth - 1])) ReleaseMonitorResources();
  const MonitorFrame f = t_frames[t_depth - 1];
  --t_depth;
  t_exceptionCount = 0;
  StoreErrorDirect(f.ErrClass, f.ErrCode);
  if (f.NoRaise) return;
  if (!CarriesError(f)) return;
  if (t_depth > 0) {
    MonitorFrame& enclosing = t_frames[t_depth - 1];
    enclosing.ErrClass = f.ErrClass;
    enclosing.ErrCode = f.ErrCode;
    enclosing.Raised = f.Raised;
  }
  if (f.Raised) throw EMon(ErrorText(f.ErrClass, f.ErrCode));
}

}  // namespace tavelo
