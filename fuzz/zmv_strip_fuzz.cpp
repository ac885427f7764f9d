// The ZMV strip decoder (formats/units/zmv_bit_decode) on its own, over any strip geometry: the
// decoder promises to read at most the data it is given, to copy only from the frame buffer up
// to the strip's end and to write only inside the strip. The buffers here have exactly those
// sizes, so the address sanitizer sees any step outside them, and the rows above the strip are
// compared afterwards.
//
// Input: byte 0 (bit 0 FAST tokens, bits 1-2 bytes per pixel - 1 (3 counts as 1), bit 3 also
// rebuild the pixels with the running sum), byte 1 width - 1, byte 2 strip rows - 1 (0..63),
// byte 3 rows of the frame above the strip (0..7); the strip's coded data follow.
#include <cstring>
#include <vector>

#include "formats/units/zmv_bit_decode.h"
#include "fuzz/support/fuzz_env.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  tavelo::fuzz::InitEnvironment();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace tavelo;
  if (size < 4) return 0;
  const int32_t tokens = (data[0] & 1) != 0 ? zmvTokensFast : zmvTokensBest;
  int32_t bytesPerPixel = ((data[0] >> 1) & 3) + 1;
  if (bytesPerPixel > 3) bytesPerPixel = 1;
  const bool runningSum = (data[0] & 8) != 0 && bytesPerPixel == 3;
  const int32_t width = data[1] + 1;
  const int32_t rows = (data[2] & 63) + 1;
  const int32_t above = data[3] & 7;
  const int64_t rowBytes = int64_t{width} * bytesPerPixel;
  const int64_t stripOffset = above * rowBytes;
  const int64_t frameBytes = (above + rows) * rowBytes;

  // The frame buffer holds "the previous frame": a pattern, so that skips and copies matter.
  std::vector<uint8_t> frame(static_cast<size_t>(frameBytes));
  for (size_t i = 0; i < frame.size(); ++i) frame[i] = static_cast<uint8_t>(i * 31 + 7);
  const std::vector<uint8_t> before(frame.begin(), frame.begin() + stripOffset);

  // The data in a block of exactly its own length.
  const int64_t dataLen = static_cast<int64_t>(size) - 4;
  std::vector<uint8_t> coded(data + 4, data + size);
  const int32_t result = ZMVBitDecode(tokens, coded.data(), dataLen, frame.data(), stripOffset, width, rows, bytesPerPixel);
  if (result < zmvDecodeOk || result > zmvDecodeBadArgs) fuzz::Broken("ZMVBitDecode answered " + std::to_string(result));
  if (!before.empty() && std::memcmp(frame.data(), before.data(), before.size()) != 0)
    fuzz::Broken("ZMVBitDecode wrote above the strip");

  if (runningSum) {
    // The running sum and its opposite over the strip: differences of a picture sum back to it.
    const int64_t pixels = int64_t{width} * rows;
    std::vector<uint8_t> picture(static_cast<size_t>(pixels * 3));
    ZMVRunningSum(picture.data(), frame.data() + stripOffset, pixels);
    std::vector<uint8_t> diff(static_cast<size_t>(pixels * 3));
    ZMVDifferences(picture.data(), diff.data(), pixels);
    std::vector<uint8_t> again(static_cast<size_t>(pixels * 3));
    ZMVRunningSum(again.data(), diff.data(), pixels);
    if (again != picture) tavelo::fuzz::Broken("ZMVRunningSum does not undo ZMVDifferences");
  }
  return 0;
}
