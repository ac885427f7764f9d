// Shared by the tracked-memory and tracked-file tables: one process-wide lock, one sequence of
// creation numbers (a monitor frame's mark) and the owner-thread tag.
#pragma once
#include <cstdint>

#include "platform/sync/thread_safety.h"

namespace tavelo::detail {

Mutex& TrackingMutex();
// The next creation number.
int64_t NextTrackingSeq() REQUIRES(TrackingMutex());
// The number the next entry will get (a frame's mark).
int64_t PeekTrackingSeq();
uint64_t CurrentThreadTag();

}  // namespace tavelo::detail
