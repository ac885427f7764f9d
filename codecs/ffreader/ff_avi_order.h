// The picture types of an AVI picture stream, read from the first bytes of each chunk at the
// positions the file's index gives: enough to put a stream stored in decoding order (B pictures
// behind the reference picture they precede) in display order without reading the pictures.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

extern "C" {
#include <libavcodec/codec_id.h>
}

namespace tavelo::ffreader {

struct AviChunkRef {
  int64_t HeaderPos = 0;  // of the chunk's 8-byte header, as the demuxer's index holds it
  int32_t Size = 0;       // of its data
};

// Reads the coded picture types of chunks (CodedPictureType: 'I', 'P', 'B', 'S', or 0 when the
// data tells none) from their first bytes.
class AviPictureTypes {
 public:
  AviPictureTypes(const std::string& fileName, AVCodecID codec);
  ~AviPictureTypes();
  AviPictureTypes(const AviPictureTypes&) = delete;
  AviPictureTypes& operator=(const AviPictureTypes&) = delete;
  // False when the file cannot be read or the chunk's header does not state the size the index
  // holds (an index that does not point at the chunks: the packets must be read).
  bool Read(const AviChunkRef& chunk, char& type);

 private:
  int fd_ = -1;
  AVCodecID codec_;
  std::vector<uint8_t> whole_;
};

}  // namespace tavelo::ffreader
