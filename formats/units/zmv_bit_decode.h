// The strip decoder of ZMV movies (header version 97 and below).
//
// A ZMV picture is cut into strips of whole rows; a coded strip is one bit stream (most
// significant bit first) of tokens that write into a frame buffer which still holds the previous
// frame: bytes a token skips keep their old value, which is how a frame codes only what changed.
// Two token sets exist: BEST (12-bit token windows, a two-dimensional copy window and a ring of
// earlier copies) and FAST (10-bit windows, a smaller set). Files with the difference flag decode
// into a difference buffer and rebuild the pixels with ZMVRunningSum.
//
// The stream does not carry its own length and the tokens can address any byte, so the decoder is
// a pure function over explicit limits: it reads at most dataLen bytes of data, copies only from
// bytes between the frame buffer's start and the strip's end, and writes only inside the strip.
// Anything else stops it with a result code instead of touching memory it does not own; nothing
// here throws, allocates or reports through the error state (the ZMV unit turns a failure into
// its own error).
#pragma once
#include <cstdint>

namespace tavelo {

// Token sets (picture flags bit 0 of the file header selects FAST).
enum : int32_t { zmvTokensBest = 0, zmvTokensFast = 1 };

// Results of ZMVBitDecode.
enum : int32_t {
  zmvDecodeOk = 0,
  zmvDecodeDataEnd = 1,     // the data ran out before the end token
  zmvDecodeReadBefore = 2,  // a copy would read before the frame buffer's start
  zmvDecodeReadPast = 3,    // a copy would read past the strip's end
  zmvDecodeWritePast = 4,   // a token would write past the strip's end
  zmvDecodeRingUnset = 5,   // a repeat names a ring entry this strip has not written yet
  zmvDecodeBadArgs = 6,     // width, rows, bytes per pixel or the buffers are unusable
};

// Decodes one coded strip.
//   tokens       zmvTokensBest or zmvTokensFast
//   data         the strip's coded bytes; dataLen of them may be read
//   frame        the start of the frame buffer (the lowest address a copy may read)
//   stripOffset  where the strip begins in the frame buffer; rows x width x bytesPerPixel bytes
//                from there make up the strip, and nothing outside it is written
//   width, rows, bytesPerPixel  the strip's geometry; rows top-down, rows packed without gaps
// Returns zmvDecodeOk when the end token was reached.
int32_t ZMVBitDecode(int32_t tokens, const uint8_t* data, int64_t dataLen, uint8_t* frame,
                     int64_t stripOffset, int32_t width, int32_t rows, int32_t bytesPerPixel);

// Rebuilds pixels of 3 bytes from a difference buffer: three byte accumulators start at 0 and,
// for each of the pixels in memory order, each adds the matching difference byte (mod 256); the
// picture pixel takes the three accumulator values.
void ZMVRunningSum(uint8_t* picture, const uint8_t* diff, int64_t pixels);

// The opposite of ZMVRunningSum: the differences that rebuild the given pixels of 3 bytes.
// (The unit uses it for stored strips of predicted files, whose pixels come as they are.)
void ZMVDifferences(const uint8_t* picture, uint8_t* diff, int64_t pixels);

}  // namespace tavelo
