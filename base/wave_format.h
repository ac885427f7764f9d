// The wave format record as it is stored in RIFF files and handed to the audio conversion
// calls: 18 bytes without padding, followed in memory by cbSize bytes of codec-specific data.
// It is compared byte by byte, so it must stay packed.
#pragma once
#include <cstdint>

namespace tavelo::platform {

#pragma pack(push, 1)
struct WAVEFORMATEX {
  uint16_t wFormatTag;
  uint16_t nChannels;
  uint32_t nSamplesPerSec;
  uint32_t nAvgBytesPerSec;
  uint16_t nBlockAlign;
  uint16_t wBitsPerSample;
  uint16_t cbSize;
};
#pragma pack(pop)

static_assert(sizeof(WAVEFORMATEX) == 18, "the wave format is 18 packed bytes");

// Format tags the conversion stand-in knows.
enum : uint16_t {
  WAVE_FORMAT_PCM = 0x0001,
  WAVE_FORMAT_ADPCM = 0x0002,
  WAVE_FORMAT_IEEE_FLOAT = 0x0003,
  WAVE_FORMAT_ALAW = 0x0006,
  WAVE_FORMAT_MULAW = 0x0007,
  WAVE_FORMAT_IMA_ADPCM = 0x0011,
  WAVE_FORMAT_GSM610 = 0x0031,
  WAVE_FORMAT_MPEG = 0x0050,
  WAVE_FORMAT_MPEGLAYER3 = 0x0055,
};

}  // namespace tavelo::platform
