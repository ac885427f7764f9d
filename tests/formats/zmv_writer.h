// A small ZMV writer for the tests: no tool makes ZMV files, so the tests build their own.
//
// Three levels:
//  - ZmvTokenWriter hand-codes BEST and FAST tokens into a bit stream (most significant bit
//    first), for the decoder's own tests;
//  - ZmvEncodeStrip codes one strip of a frame against what the decoder will hold before it
//    (skips for unchanged bytes, runs, copies from above, window and repeat copies, literals);
//  - ZmvBuildFile lays out a whole file of header version 97 or below: header, page directory,
//    index pages, frame records with palette and picture chunks (stored or coded strips, part of
//    them after the record), key frames every K frames, difference prediction, and a chain of
//    PCM sound blocks. It returns the bytes and where everything went, so tests can damage them.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

namespace tavelo::test {

class ZmvBits {
 public:
  void Put(uint32_t value, int bits);
  // The length code for n (2 .. 767).
  void PutLength(int64_t n);
  // The bytes written so far; the last byte is padded with 0 bits.
  std::vector<uint8_t> Bytes() const;
  int64_t BitCount() const { return bits_; }

 private:
  std::vector<uint8_t> bytes_;
  int64_t bits_ = 0;
};

class ZmvTokenWriter {
 public:
  explicit ZmvTokenWriter(bool fast) : fast_(fast) {}
  bool Fast() const { return fast_; }

  void Literal(uint8_t byte);
  // A run of n pixels (2 .. 767); pixel holds bytesPerPixel bytes in memory order (1, 2 or 3).
  void Run(const uint8_t* pixel, int bytesPerPixel, int64_t n);
  // Copy n bytes (BEST 2 .. 129, FAST 2 .. 65) from one row above.
  void CopyAbove(int64_t n);
  // Skip n bytes (2 .. 49089): a short skip up to 65, a long skip above.
  void Skip(int64_t n);
  // BEST only: the window copy with displacement index 0 .. 23, offset 0 .. 63 and count n.
  void Window(int index, int offset, int64_t n);
  // BEST only: repeat the copy kept in ring entry e (0 .. 1023).
  void Repeat(int e);
  // The end token (the long-skip token read at or past the strip's end).
  void End();

  ZmvBits& Bits() { return bits_; }
  std::vector<uint8_t> Bytes() const { return bits_.Bytes(); }

 private:
  bool fast_;
  ZmvBits bits_;
};

// Codes the strip [start, end) of want (a whole frame buffer) so that the decoder, starting from
// the frame buffer state, ends with want there. state is updated to what the decoder will hold.
// A key frame's strip may not rely on the old content: no skips and no copies from bytes not yet
// written in this frame.
std::vector<uint8_t> ZmvEncodeStrip(bool fast, std::vector<uint8_t>& state, const std::vector<uint8_t>& want,
                                    int64_t start, int32_t width, int32_t rows, int32_t bytesPerPixel, bool keyFrame);

struct ZmvPalette {
  int32_t first = 0;
  std::vector<uint8_t> rgb;  // count x (R, G, B)
};

struct ZmvStripSpec {
  int32_t rows = 0;
  bool stored = false;
};

struct ZmvFrame {
  std::vector<uint8_t> pixels;  // the picture, top-down, width x height x bytes per pixel
  std::vector<ZmvPalette> palettes;
  std::vector<ZmvStripSpec> strips;  // empty: strips of ZmvMovie::stripRows rows, all coded
  int32_t inRecord = -1;             // strips whose data follow inside the record (-1: all)
};

struct ZmvMovie {
  int32_t headerSize = 64;
  int32_t version = 97;
  int32_t width = 0, height = 0, bytesPerPixel = 3;
  int32_t flags = 0;  // bit 0 FAST, bit 1 difference prediction
  int32_t keyInterval = 0;
  double fps = 25.0;
  int32_t frameCountField = -1;  // -1: the number of frames
  int32_t stripRows = 16;
  std::vector<ZmvFrame> frames;
  // Sound: flags (bit 2 stereo, bits 0 and 1 both 16-bit), rate, the PCM and its block sizes.
  int32_t soundFlags = 0;
  int32_t sampleRate = 0;
  std::vector<uint8_t> pcm;
  std::vector<int32_t> blockSamples;
  int32_t sampleCountField = -1;  // -1: the sum of the blocks
};

struct ZmvFileImage {
  std::string bytes;
  std::vector<int64_t> recordOffset;  // frame n (from 1) at [n - 1]
  std::vector<int64_t> entryOffset;   // its index entry
  std::vector<int64_t> soundBlockOffset;
  int64_t directoryOffset = 0;
};

int32_t ZmvSoundBlockAlign(int32_t soundFlags);
ZmvFileImage ZmvBuildFile(const ZmvMovie& movie);

// Little-endian helpers for tests that patch the bytes.
void ZmvPut32(std::string& bytes, int64_t at, int32_t value);
int32_t ZmvGet32(const std::string& bytes, int64_t at);

}  // namespace tavelo::test
