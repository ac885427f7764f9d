// The progress record that long format work (describing an MPEG file, scanning a sequence
// folder) hands to the caller's callback, by address.
#pragma once
#include <cstdint>

namespace tavelo {

struct FFProgressRec {
  const char* Text = nullptr;  // zero-terminated: the item being worked on
  int32_t Done = 0;            // items done so far
  int32_t Total = -1;          // -1 when unknown
  float Fraction = -1.0f;      // -1.0 when unknown
  int32_t Finished = 0;        // bool: true on the last call
  int32_t Cancel = 0;          // bool: the callback sets it to stop the work
  int32_t Stage = 1;
  void* UserData = nullptr;    // the caller's progress data
};

// The callback receives the record's address; its result is not read.
using FFProgressProc = int32_t (*)(FFProgressRec* rec);

}  // namespace tavelo
