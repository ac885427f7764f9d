// Every picture FFmpeg decodes from an animation (GIF, FLIC), in order, as the reference our own
// decoders are checked against.
#pragma once
#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace tavelo::test {

struct RefFrames {
  int32_t Width = 0;
  int32_t Height = 0;
  std::string PixFmt;  // FFmpeg's name of the decoded format
  // Per frame and pixel: R | G << 8 | B << 16 | A << 24 (A is 255 where FFmpeg has no alpha).
  std::vector<std::vector<uint32_t>> Pixels;
  // For palette formats: the indices and the palette (0xAARRGGBB) of each frame.
  std::vector<std::vector<uint8_t>> Indices;
  std::vector<std::array<uint32_t, 256>> Palettes;
};

// Demuxes and decodes the whole file with libavformat and libavcodec. False (with the reason)
// when FFmpeg cannot.
bool FFmpegDecodeAll(const std::string& path, RefFrames& ref, std::string& why);

}  // namespace tavelo::test
