// Packed-picture blobs (formats/ff_img_from_bin: the header, the palette of 8-bit method-7 blobs,
// unpacking through zmvcodec's zmv_decode (method 7) or jpegcodec's jpg_read_file (method 8)).
//
// A blob is constant data of the program and carries no length of its own: its header states the
// bytes of its packed data (PackedSize for method 8, Param for method 7), and a blob built into
// the program never states more than it holds. The input is a blob whose stated lengths are held
// to the bytes the input really has, in a block of exactly its size, so the address sanitizer sees
// any read past what the header allows.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "core/media/img_basic.h"
#include "core/services/errors.h"
#include "formats/ff_img_from_bin.h"
#include "fuzz/support/fuzz_env.h"

namespace {

int32_t Get32(const uint8_t* p) {
  return static_cast<int32_t>(static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
                              (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24));
}

void Put32(uint8_t* p, int32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(static_cast<uint32_t>(v) >> (8 * i));
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  tavelo::fuzz::InitEnvironment();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace tavelo;
  if (size < static_cast<size_t>(kBinHeaderSize)) return 0;
  std::vector<uint8_t> blob(data, data + size);
  const int32_t bpp = Get32(blob.data() + 8), method = Get32(blob.data() + 20);
  const int64_t palette = method == kBinMethodZmv && bpp == 8 ? kBinPaletteSize : 0;
  const int64_t held = static_cast<int64_t>(size) - kBinHeaderSize - palette;
  // An 8-bit method-7 blob always has its palette.
  if (held < 0) return 0;
  const int32_t packedSize = Get32(blob.data() + 12), param = Get32(blob.data() + 16);
  if (packedSize > held) Put32(blob.data() + 12, static_cast<int32_t>(held));
  if (param > held) Put32(blob.data() + 16, static_cast<int32_t>(held));

  fuzz::InputScope scope;
  Qimg img;
  const bool made = ImgFromBin(blob.data(), img);
  if (std::getenv("TAVELO_FUZZ_TRACE") != nullptr)
    std::fprintf(stderr, "[blob] %s %dx%d at %d bits\n", made ? "made" : "refused", img.Width, img.Height, img.Bpp);
  if (made) {
    if (!ImgAssigned(img) || img.Width < 1 || img.Height < 1)
      fuzz::Broken("ImgFromBin made no picture but answered true");
    const int64_t bytes = static_cast<int64_t>(img.Width) * img.Height * img.BytesPP;
    if (img.Size < bytes) fuzz::Broken("ImgFromBin's picture is larger than its buffer");
    fuzz::Touch(img.Data, bytes);
  }
  ClearError();
  ClearWarning();
  ImgFree(img);
  return 0;
}
