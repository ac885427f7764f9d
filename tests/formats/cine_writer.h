// A small writer of Cine files for the tests (no tool here writes them). It lays a file out the
// way the cameras' software does: file header, bitmap header, setup block, image-offset table,
// then one annotation block and one image per frame. FFmpeg's cine demuxer reads what it writes,
// which is the independent check of both this writer and our reader.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

namespace tavelo::test {

struct CineMovie {
  int32_t width = 0;
  int32_t height = 0;
  int32_t bitCount = 8;     // 8, 16, 24 or 48
  int32_t compression = 0;  // 0 plain pixels, 1 JPEG, 2 raw sensor data
  uint32_t cfa = 0;         // colour-filter pattern of raw data: 1 VRI, 2 VRI-V6, 3 Bayer, 4 flipped Bayer
  bool topDown = false;     // the setup's vertical-flip flag: rows stored top-down
  bool padRows = false;     // rows padded to 4 bytes
  uint32_t frameRate = 1000;
  uint32_t realBpp = 0;     // significant bits per sample (0: as bitCount)
  int32_t brightness = 0, contrast = 0, gamma = 0;
  float saturation = 0.0f;  // the setup's factor (1.0 neutral, 0 not set)
  uint32_t annotationBytes = 24;  // the whole annotation block, its two size fields included
  // Each frame's samples, top-down, rows without padding: width x height x (bitCount / 8) bytes,
  // 16-bit samples little-endian.
  std::vector<std::vector<uint8_t>> frames;
};

// The file's bytes.
std::vector<uint8_t> CineBuild(const CineMovie& movie);
// Writes the file; fails the calling test on error.
void CineWrite(const std::string& path, const CineMovie& movie);

// Where the parts of a file built by CineBuild lie (for tests that damage one).
struct CineLayout {
  int64_t bitmapHeader = 44;
  int64_t setup = 84;
  int64_t setupLength = 7000;
  int64_t offsetTable = 0;
  std::vector<int64_t> frameOffsets;  // each frame's annotation block
};
CineLayout CineLayoutOf(const CineMovie& movie);

}  // namespace tavelo::test
