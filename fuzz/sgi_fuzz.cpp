// SGI pictures (formats/units/ff_sgi, our own decoder: plain and run-length planes, one and two
// bytes a sample, grey, grey with alpha, RGB, RGBA) through the dispatcher.
#include "fuzz/support/fuzz_env.h"
#include "fuzz/support/media_driver.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  tavelo::fuzz::InitEnvironment();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  tavelo::fuzz::DriveMediaInput("input.sgi", data, size);
  return 0;
}
