#include "core/services/exception_log.h"

#include "core/services/basic.h"
#include "core/services/monitor.h"
#include "core/services/trace.h"

namespace tavelo {

void GetExceptionMsg(std::string& s) {
  s = CutUtf8(CurrentExceptionReport(), 1024);
}

void LogException(const std::string& where) {
  if (!IsTracing()) return;
  std::string text;
  GetExceptionMsg(text);
  // The report ends with a line break of its own; the log line adds one.
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
  TraceWrite("Error in " + (where.empty() ? std::string("??") : where) + ": " + text);
  TraceWrite(GetCallStack());
}

}  // namespace tavelo
