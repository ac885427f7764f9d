// Pixel packers and whole-run converters shared by the depth conversion and the colour reduction.
// Exact bits: narrowing truncates, widening shifts left and leaves the low bits 0.
// Each run converter processes count pixels from s to d; the buffers never overlap.
#pragma once
#include <cstdint>

namespace tavelo::media {

inline uint16_t Pack555(uint32_t b, uint32_t g, uint32_t r) {
  return static_cast<uint16_t>(((r >> 3) << 10) | ((g >> 3) << 5) | (b >> 3));
}
inline uint16_t Pack565(uint32_t b, uint32_t g, uint32_t r) {
  return static_cast<uint16_t>(((r >> 3) << 11) | ((g >> 2) << 5) | (b >> 3));
}
inline uint16_t Word555To565(uint32_t v) { return static_cast<uint16_t>(((v << 1) & 0xFFC0) | (v & 0x1F)); }
inline uint16_t Word565To555(uint32_t v) { return static_cast<uint16_t>(((v >> 1) & 0x7FE0) | (v & 0x1F)); }
// B, G, R of an expanded word in bytes 0..2 of the result.
inline uint32_t Expand555(uint32_t v) {
  return ((v & 0x1F) << 3) | (((v >> 5) & 0x1F) << 11) | (((v >> 10) & 0x1F) << 19);
}
inline uint32_t Expand565(uint32_t v) {
  return ((v & 0x1F) << 3) | (((v >> 5) & 0x3F) << 10) | (((v >> 11) & 0x1F) << 19);
}

using RunConverter = void (*)(const uint8_t* s, uint8_t* d, int64_t count);

void Run24To32(const uint8_t* s, uint8_t* d, int64_t count);
void Run32To24(const uint8_t* s, uint8_t* d, int64_t count);
void Run15To24(const uint8_t* s, uint8_t* d, int64_t count);
void Run16To24(const uint8_t* s, uint8_t* d, int64_t count);
void Run15To32(const uint8_t* s, uint8_t* d, int64_t count);
void Run16To32(const uint8_t* s, uint8_t* d, int64_t count);
void Run24To15(const uint8_t* s, uint8_t* d, int64_t count);
void Run24To16(const uint8_t* s, uint8_t* d, int64_t count);
void Run32To15(const uint8_t* s, uint8_t* d, int64_t count);
void Run32To16(const uint8_t* s, uint8_t* d, int64_t count);
void Run15To16(const uint8_t* s, uint8_t* d, int64_t count);
void Run16To15(const uint8_t* s, uint8_t* d, int64_t count);

// The plain C++ forms of the converters that have SIMD forms (chosen at run time when the
// processor offers SSSE3); the tests compare both.
void Run24To32Portable(const uint8_t* s, uint8_t* d, int64_t count);
void Run24To15Portable(const uint8_t* s, uint8_t* d, int64_t count);
void Run24To16Portable(const uint8_t* s, uint8_t* d, int64_t count);
void Run32To15Portable(const uint8_t* s, uint8_t* d, int64_t count);
void Run32To16Portable(const uint8_t* s, uint8_t* d, int64_t count);

// The converter between two of the depths 15, 16, 24 and 32; nullptr for equal or other depths.
RunConverter RunConverterFor(int32_t fromBpp, int32_t toBpp);

}  // namespace tavelo::media
