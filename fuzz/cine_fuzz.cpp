// Vision Research Cine movies through the dispatcher: the Cine unit (formats/units/ff_cvr) over our
// own reader of the layout in codecs/cinecodec (file header, bitmap header, setup block, image
// offsets, annotation blocks, plain and raw sensor frames), the mosaic colouring it shares with
// the Bayer unit, and the picture adjustments the setup asks for.
#include "fuzz/support/fuzz_env.h"
#include "fuzz/support/media_driver.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  tavelo::fuzz::InitEnvironment();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  tavelo::fuzz::DriveMediaInput("input.cine", data, size);
  return 0;
}
