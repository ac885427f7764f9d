// Sun raster pictures (formats/units/ff_ras, our own decoder: colour maps, plain and run-length
// data, 8, 24 and 32 bits) through the dispatcher.
#include "fuzz/support/fuzz_env.h"
#include "fuzz/support/media_driver.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  tavelo::fuzz::InitEnvironment();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  tavelo::fuzz::DriveMediaInput("input.ras", data, size);
  return 0;
}
