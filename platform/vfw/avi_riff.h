// Our own reader of the RIFF AVI layout: the headers, the stream formats and an index of every
// data chunk of every stream. The index comes from the OpenDML indexes (a super index per stream
// pointing at standard index chunks, which also cover the AVIX extensions of files past 1 GB),
// else from the idx1 chunk, else from a walk over the movi lists (a file cut short before its
// index). Every size and offset taken from the file is checked in 64 bits against the file:
// chunks that lie beyond its end are left out, so a truncated file reads up to where it stops.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

namespace tavelo::platform {

struct AviMainHeader {
  uint32_t MicroSecPerFrame = 0;
  uint32_t MaxBytesPerSec = 0;
  uint32_t PaddingGranularity = 0;
  uint32_t Flags = 0;
  uint32_t TotalFrames = 0;
  uint32_t InitialFrames = 0;
  uint32_t Streams = 0;
  uint32_t SuggestedBufferSize = 0;
  uint32_t Width = 0;
  uint32_t Height = 0;
};

struct AviStreamHeader {
  uint32_t Type = 0;  // "vids", "auds", ...
  uint32_t Handler = 0;
  uint32_t Flags = 0;
  uint16_t Priority = 0;
  uint16_t Language = 0;
  uint32_t InitialFrames = 0;
  uint32_t Scale = 0;
  uint32_t Rate = 0;
  uint32_t Start = 0;
  uint32_t Length = 0;
  uint32_t SuggestedBufferSize = 0;
  uint32_t Quality = 0;
  uint32_t SampleSize = 0;
  int16_t Frame[4] = {};  // left, top, right, bottom
};

// One data chunk of a stream: where its data lies in the file.
struct AviChunk {
  int64_t Offset = 0;  // of the data, past the 8-byte chunk header
  uint32_t Size = 0;
  bool Key = false;
};

struct AviStreamData {
  AviStreamHeader Header;
  std::vector<uint8_t> Format;  // the strf chunk as stored
  std::string Name;             // the strn chunk
  std::vector<AviChunk> Chunks;
  // For streams of fixed-size samples: the bytes of the stream before chunk i (Chunks.size() + 1
  // entries, the last being the total).
  std::vector<int64_t> ByteStart;
  // For picture streams: the chunks that are key frames, ascending.
  std::vector<int64_t> KeyChunks;
};

enum class AviIndexKind { None, Walk, Idx1, OpenDml };

struct AviLayout {
  AviMainHeader Main;
  std::vector<AviStreamData> Streams;
  AviIndexKind Index = AviIndexKind::None;
  uint32_t DmlTotalFrames = 0;  // from the OpenDML extended header, 0 when none
  int64_t FileSize = 0;
};

struct AviParseOptions {
  bool UseOpenDml = true;  // take the OpenDML indexes when present
  bool UseIdx1 = true;     // take the idx1 chunk when present
};

// The most streams a file may declare.
constexpr int kAviMaxStreams = 100;

// Reads the layout of the AVI file open as fd. False (with the reason) for a file that is not a
// RIFF AVI file or whose headers are unusable.
bool ParseAvi(int fd, AviLayout& layout, const AviParseOptions& options, std::string* why = nullptr);

// Reads count bytes at offset; false on a short read.
bool ReadAt(int fd, int64_t offset, void* buffer, int64_t count);

}  // namespace tavelo::platform
