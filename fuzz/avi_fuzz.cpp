// AVI movies through the dispatcher: the AVI unit (formats/units/ff_avi) over our own RIFF AVI reader
// (platform/vfw: idx1 and OpenDML indexes, the movi walk of a file cut before its index) and its
// frame decompression, the fallback to the DirectShow stand-in, and the sound conversion of
// what the streams hold, in runs and by seeks.
#include "fuzz/support/fuzz_env.h"
#include "fuzz/support/media_driver.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  tavelo::fuzz::InitEnvironment();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  tavelo::fuzz::DriveMediaInput("input.avi", data, size);
  return 0;
}
