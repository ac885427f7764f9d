// The audio conversion (core/media/snd_basic over the conversion stand-in platform/acm: our own
// PCM converter, FFmpeg's decoders for the compressed formats) on its own, with any stored format
// record and any data, handed over in pieces of any size, the way a sound unit feeds it.
//
// Input: an 18-byte format record (as stored in a file), its cbSize extra bytes as far as the
// input holds them, a mode byte (bit 0: convert to the PCM format the conversion suggests, as the
// WAV and AVI units do; else to PCM at the stored rate with the channels and width of the next
// bytes; bits 4-7: the piece size), three bytes (unused, channels, width), two bytes of chunk
// size, then the data. The rate is never changed: the program never asks for that, and the
// cost of a change grows with the ratio of two rates a file may set anywhere from 1 Hz up.
#include <algorithm>
#include <cstring>
#include <vector>

#include "core/media/snd_basic.h"
#include "core/services/errors.h"
#include "core/services/monitor.h"
#include "fuzz/support/fuzz_env.h"

namespace {

using namespace tavelo;

struct Reader {
  const uint8_t* p;
  size_t left;
  bool Take(void* out, size_t n) {
    if (left < n) return false;
    std::memcpy(out, p, n);
    p += n;
    left -= n;
    return true;
  }
  uint8_t Byte() {
    uint8_t b = 0;
    Take(&b, 1);
    return b;
  }
};

// What the conversion hands over must lie in its own output buffer.
void Received(intptr_t data, uint8_t* outBuf, int32_t bytes) {
  const auto& ctx = *reinterpret_cast<const AcmConvCtx*>(data);
  if (bytes < 0 || bytes > ctx.OutBufSize || outBuf != ctx.outBufP)
    fuzz::Broken("the conversion handed over " + std::to_string(bytes) + " bytes of a buffer of " +
                 std::to_string(ctx.OutBufSize));
  fuzz::Touch(outBuf, bytes);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz::InitEnvironment();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Reader in{data, size};
  WAVEFORMATEX head{};
  if (!in.Take(&head, sizeof head)) return 0;
  // The record with the extra bytes the input really holds, in a block of exactly its size.
  const size_t extra = std::min<size_t>(head.cbSize, std::min<size_t>(in.left, 256));
  std::vector<uint8_t> src(sizeof head + extra);
  std::memcpy(src.data(), &head, sizeof head);
  in.Take(src.data() + sizeof head, extra);
  const uint8_t mode = in.Byte();
  in.Byte();
  const uint8_t channels = in.Byte(), width = in.Byte();
  const int32_t chunk = 1 + in.Byte() + 256 * in.Byte();
  const size_t piece = size_t{1} << (mode >> 4);
  const auto* stored = reinterpret_cast<const WAVEFORMATEX*>(src.data());

  fuzz::InputScope scope;
  WAVEFORMATEX pcm{};
  if ((mode & 1) != 0) {
    // The suggestion reads the extra bytes the record announces: like the WAV unit, announce only
    // what is there (the conversion itself is handed the stored count and the real size).
    std::vector<uint8_t> held = src;
    reinterpret_cast<WAVEFORMATEX*>(held.data())->cbSize = static_cast<uint16_t>(extra);
    pcm.wFormatTag = platform::WAVE_FORMAT_PCM;
    if (platform::acmFormatSuggest(nullptr, reinterpret_cast<const WAVEFORMATEX*>(held.data()), &pcm, sizeof pcm,
                                   platform::ACM_FORMATSUGGESTF_WFORMATTAG) !=
        platform::MMSYSERR_NOERROR)
      return 0;
  } else {
    const int32_t rate = static_cast<int32_t>(std::min<uint32_t>(head.nSamplesPerSec, INT32_MAX));
    SndWaveFmtSetPCM(pcm, rate, 1 + channels % 8, 8 * (1 + width % 4));
  }
  AcmConvCtx ctx;
  uint8_t* out = nullptr;
  MonitoredNoRaise([&] {
    out = AcmConvertInit(ctx, stored, static_cast<int32_t>(src.size()), &pcm, static_cast<int32_t>(sizeof pcm), chunk,
                         reinterpret_cast<intptr_t>(&ctx), &Received);
  });
  ClearError();
  if (out == nullptr) return 0;
  // The data in pieces, each in a block of exactly its size; a failed step ends the sound as it
  // ends playback, and the conversion is closed all the same.
  while (in.left > 0) {
    std::vector<uint8_t> bytes(std::min(piece, in.left));
    in.Take(bytes.data(), bytes.size());
    int32_t produced = 0;
    if (MonitoredNoRaise([&] { produced = AcmConvert(ctx, bytes.data(), static_cast<int32_t>(bytes.size())); }) != 0)
      break;
    if (produced < 0 || produced > ctx.OutBufSize) fuzz::Broken("AcmConvert produced " + std::to_string(produced) + " bytes");
  }
  ClearError();
  MonitoredNoRaise([&] { AcmConvertDone(ctx); });
  if (ctx.Stream != nullptr || ctx.inBufP != nullptr || ctx.outBufP != nullptr)
    fuzz::Broken("AcmConvertDone left the conversion open");
  return 0;
}
