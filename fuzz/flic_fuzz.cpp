// FLIC animations (formats/units/ff_flc) through the dispatcher: header, frame chunks and
// their sub-chunks, palette packets, the three packed kinds, and rewinding for a frame behind.
#include "fuzz/support/fuzz_env.h"
#include "fuzz/support/media_driver.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  tavelo::fuzz::InitEnvironment();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  tavelo::fuzz::DriveMediaInput("input.flc", data, size);
  return 0;
}
