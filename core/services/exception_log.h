// The text of the exception being handled and its report to the trace log. Used inside a catch
// block by the core routines that swallow exceptions (the command-line parser) and by the worker
// threads, whose failures are never shown. The interface kit adds the boxes that show them.
#pragma once
#include <string>

namespace tavelo {

// s := the report of the exception being handled (class, module, address and message), at most
// 1024 characters. Call only inside a catch block.
void GetExceptionMsg(std::string& s);

// Only while the trace log is on: writes "Error in " + where + ": " + the exception's report
// (an empty where becomes "??"), then a line with the current call-name stack. Call only inside
// a catch block.
void LogException(const std::string& where);

}  // namespace tavelo
