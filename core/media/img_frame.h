// The shape every picture routine that can fail takes: its name on the call-name stack, its work
// inside a monitor frame. A failure inside releases what the work tracked and unwinds (EMon) to
// the caller's frame; AbortMonitor leaves the work silently.
#pragma once
#include <utility>

#include "core/services/monitor.h"
#include "core/services/trace.h"

namespace tavelo::media {

template <class Work>
void Framed(const char* name, Work&& work) {
  TraceScope scope(name);
  BeginMonitor();
  try {
    std::forward<Work>(work)();
  } catch (...) {
    CatchException();
  }
  EndMonitor();
}

}  // namespace tavelo::media
