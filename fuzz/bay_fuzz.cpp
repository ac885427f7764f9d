// Bayer raw pictures (formats/units/ff_bay: the trailer, the cell and raster layouts, the mosaic
// conversion BayDecode that the Cine unit shares) through the dispatcher.
#include "fuzz/support/fuzz_env.h"
#include "fuzz/support/media_driver.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  tavelo::fuzz::InitEnvironment();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  tavelo::fuzz::DriveMediaInput("input.bay", data, size);
  return 0;
}
