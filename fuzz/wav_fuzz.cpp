// WAV files through the dispatcher: the RIFF chunk walk of formats/units/ff_wav over the mmio
// stand-in (core/mmio), the stored format and its PCM suggestion, and the audio conversion of
// what it reads (core/media/snd_basic and the conversion stand-in platform/acm, with FFmpeg's
// decoders behind the compressed formats) in runs and by seeks.
#include "fuzz/support/fuzz_env.h"
#include "fuzz/support/media_driver.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  tavelo::fuzz::InitEnvironment();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  tavelo::fuzz::DriveMediaInput("input.wav", data, size);
  return 0;
}
