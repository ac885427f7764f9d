// PNM files (formats/units/ff_pnm, our own decoder: P1 to P7 headers, plain and raw samples, two-byte
// samples, several images in one file played as a movie) through the dispatcher.
#include "fuzz/support/fuzz_env.h"
#include "fuzz/support/media_driver.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  tavelo::fuzz::InitEnvironment();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  tavelo::fuzz::DriveMediaInput("input.pnm", data, size);
  return 0;
}
