// The picture types of an AVI picture stream, read from the first bytes of each chunk at the
// positions the file's index gives: enough to put a stream stored in decoding order (B pictures
// behind the reference picture they precede) in display order without reading the pictures.
#pragma once
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "ffreader/ff_packets.h"
#include "ffreader/ff_present_memory.h"

extern "C" {
#include <libavcodec/codec_id.h>
}

namespace tavelo::ffreader {

// A file open for reading (closed with the object): the open reads a file's chunks through one
// descriptor however many of the helpers below look at it.
class ReadOnlyFile {
 public:
  explicit ReadOnlyFile(const std::string& fileName);
  ~ReadOnlyFile();
  ReadOnlyFile(const ReadOnlyFile&) = delete;
  ReadOnlyFile& operator=(const ReadOnlyFile&) = delete;
  int Fd() const { return fd_; }  // -1 when the file cannot be opened

 private:
  int fd_ = -1;
};

struct AviChunkRef {
  int64_t HeaderPos = 0;  // of the chunk's 8-byte header, as the demuxer's index holds it
  int32_t Size = 0;       // of its data
};

// Whether MPEG-4 data holds a B picture behind its first picture (a DivX/Xvid packed chunk).
bool HoldsPackedB(const uint8_t* data, size_t size);
// Whether a chunk of size bytes can be the uncoded placeholder behind a packed chunk: a bare
// picture header.
bool MayBePlaceholder(size_t size);

// Reads the coded picture types of chunks (CodedPictureType: 'I', 'P', 'B', 'S', or 0 when the
// data tells none) from their first bytes.
class AviPictureTypes {
 public:
  AviPictureTypes(const std::string& fileName, AVCodecID codec);
  // Reads through file, which outlives the object.
  AviPictureTypes(const ReadOnlyFile& file, AVCodecID codec);
  ~AviPictureTypes();
  AviPictureTypes(const AviPictureTypes&) = delete;
  AviPictureTypes& operator=(const AviPictureTypes&) = delete;
  // False when the file cannot be read or the chunk's header does not state the size the index
  // holds (an index that does not point at the chunks: the packets must be read).
  bool Read(const AviChunkRef& chunk, char& type);
  // The type chunks[i] is shown by: Read's, but 'B' for the placeholder behind a chunk of MPEG-4
  // with a packed B picture (DivX/Xvid store a B picture behind the reference picture shown after
  // it, and the next chunk is a small uncoded picture that only keeps the B picture's slot: the
  // decoder gives the B picture out on it, at that chunk's decoding time, as for a B chunk; B
  // chunks between the packed chunk and its placeholder each give out the B picture before them).
  // placeholder (when given) tells whether chunks[i] is such a chunk: it holds no picture to
  // start decoding from, whatever the index says of it.
  bool ReadShown(const std::vector<AviChunkRef>& chunks, size_t i, char& type, bool* placeholder = nullptr);
  // The chunk's data, its first max bytes or (max 0) all of it up to the bound whole chunks are
  // read to; nullptr when it cannot be read. Valid until the next call.
  const std::vector<uint8_t>* Data(const AviChunkRef& chunk, size_t max);

 private:
  std::unique_ptr<ReadOnlyFile> own_;  // the file when opened by name
  int fd_ = -1;
  AVCodecID codec_;
  std::vector<uint8_t> whole_;
};

// The sound index of MPEG audio stored one frame to a chunk, each chunk lasting one frame (what
// muxers write for MP3 at a variable rate, and ffmpeg for any MP3): the demuxer's parser then
// hands out each chunk as one packet, so the file's index (st's, read at open) gives every packet
// without the sound or the pictures being read. Entries are found by position (the chunk's data,
// as the demuxer gives it). False, with entries left empty, when the stream is another format or
// does not show that layout: its timestamps do not count chunks, a chunk's stated time is not one
// frame, or a chunk read at a sample of places (the first, the last and some between) is not one
// whole frame of that length for the same parser. The packets must then be scanned.
bool AviMpegSoundFromIndex(const std::string& fileName, AVStream* st, std::vector<AudioEntry>& entries);
bool AviMpegSoundFromIndex(const ReadOnlyFile& file, AVStream* st, std::vector<AudioEntry>& entries);

}  // namespace tavelo::ffreader
