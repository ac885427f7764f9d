// A small FLIC writer of our own for the FLIC unit's tests: no tool here writes FLI or FLC files.
// It writes the chunk kinds the unit reads (palette packets at 64 or 256 levels, byte run, byte
// delta, word delta with the last-pixel opcode for odd widths, copy, black), so the same file can
// be decoded by our unit and by FFmpeg's flic decoder.
#pragma once
#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace tavelo::test {

struct FlicFrame {
  std::vector<uint8_t> Pixels;     // width x height indices
  std::array<uint8_t, 768> Rgb{};  // R, G, B per entry, 0..255 (an FLI keeps the top 6 bits)
};

enum class FlicChunk {
  Auto,      // the first frame as a byte run, later ones as the file kind's delta
  ByteRun,   // 15
  DeltaFli,  // 12
  DeltaFlc,  // 7
  Copy,      // 16
  Black,     // 13 (the frame must be all 0)
  Empty,     // a frame chunk without sub-chunks (the picture stays)
};

struct FlicOptions {
  bool Fli = false;     // magic 0xAF11 and 64-level palettes; else FLC, 0xAF12, 256 levels
  int32_t Speed = 0;    // stored as a 32-bit value at offset 16
  std::vector<FlicChunk> Kinds;  // per frame; missing entries are Auto
  bool PrefixChunk = false;      // a non-frame chunk (0xF100) before the first frame
};

std::string WriteFlic(int32_t width, int32_t height, const std::vector<FlicFrame>& frames, const FlicOptions& opts);

// Sub-chunk bodies, for tests that build frames by hand.
std::string FlicPaletteBody(const std::array<uint8_t, 768>& rgb, const std::array<uint8_t, 768>* previous, bool sixBit);
std::string FlicByteRunBody(const std::vector<uint8_t>& px, int32_t width, int32_t height);
std::string FlicDeltaFliBody(const std::vector<uint8_t>& px, const std::vector<uint8_t>& prev, int32_t width, int32_t height);
std::string FlicDeltaFlcBody(const std::vector<uint8_t>& px, const std::vector<uint8_t>& prev, int32_t width, int32_t height);
// A sub-chunk (6-byte header) and a frame chunk holding sub-chunks.
std::string FlicSubChunk(uint16_t type, const std::string& body);
std::string FlicFrameChunk(const std::vector<std::string>& subChunks);
// The 128-byte header.
std::string FlicHeader(bool fli, int32_t frames, int32_t width, int32_t height, int32_t speed, uint32_t fileSize);

}  // namespace tavelo::test
