// PCX files (the built-in codec of formats/units/ff_tga_pcx_bmp) through the dispatcher:
// description, the still-picture load behind UniImgLoad, and the other units' descriptions that
// UniInfo tries when the file is not what its name says.
#include "fuzz/support/fuzz_env.h"
#include "fuzz/support/media_driver.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  tavelo::fuzz::InitEnvironment();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  tavelo::fuzz::DriveMediaInput("input.pcx", data, size);
  return 0;
}
