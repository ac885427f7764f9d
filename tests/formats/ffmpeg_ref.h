// FFmpeg's own decode of a picture file, as the reference our readers are checked against, and
// the comparison of a picture record with it at the precision both share: 5-5-5 and 5-6-5
// pixels compare as their words, everything else as 8-bit red, green and blue (and alpha where
// FFmpeg delivers one).
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "core/media/img_basic.h"

namespace tavelo::test {

struct RefPicture {
  int32_t Width = 0;
  int32_t Height = 0;
  std::string PixFmt;      // FFmpeg's name of the decoded format
  int32_t Kind = 0;        // 0: 8-bit channels, 555 or 565: packed words
  bool HasAlpha = false;
  std::vector<uint32_t> Pixels;  // per pixel: R | G << 8 | B << 16 | A << 24, or the word
};

// Decodes the first picture of a file with libavformat and libavcodec. False (with the reason)
// when FFmpeg cannot.
bool FFmpegDecode(const std::string& path, RefPicture& ref, std::string& why);

// Compares img with ref; an empty text when they agree, else where they first differ.
std::string CompareWithRef(const Qimg& img, const RefPicture& ref);

}  // namespace tavelo::test
