// GIF files (formats/units/ff_gif with its own LZW decoder) through the dispatcher, as a movie
// (scan, time slots, composition with disposal and transparency, seeking, the scan cache between
// UniInfo and UniOpen) and through the still-picture door (the first image only).
#include "fuzz/support/fuzz_env.h"
#include "fuzz/support/media_driver.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  tavelo::fuzz::InitEnvironment();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  tavelo::fuzz::DriveMediaInput("input.gif", data, size, {.StillLoad = true});
  return 0;
}
