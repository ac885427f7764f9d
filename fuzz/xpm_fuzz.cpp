// XPM pictures (formats/units/ff_xpm over our own reader in codecs/xpmcodec: header, colour table
// with X11 colour names, pixel rows) through the dispatcher.
#include "fuzz/support/fuzz_env.h"
#include "fuzz/support/media_driver.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  tavelo::fuzz::InitEnvironment();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  tavelo::fuzz::DriveMediaInput("input.xpm", data, size);
  return 0;
}
