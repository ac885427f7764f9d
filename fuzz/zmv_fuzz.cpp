// ZMV movies (formats/units/ff_zmv) through the dispatcher: header, paged frame index, frame
// records with palette and picture chunks, strips stored or coded (the strip decoder, also from
// behind the record), key-frame seeking, and the chain of sound blocks read in runs and by seeks.
#include "fuzz/support/fuzz_env.h"
#include "fuzz/support/media_driver.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  tavelo::fuzz::InitEnvironment();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  tavelo::fuzz::DriveMediaInput("input.zmv", data, size);
  return 0;
}
