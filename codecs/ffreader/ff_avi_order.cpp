#include "codecs/ffreader/ff_avi_order.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>

#include "codecs/ffreader/ff_decode.h"

namespace tavelo::ffreader {

namespace {

// The picture header lies within the first bytes of a chunk but after the stream headers a key
// frame may repeat (MPEG-4's object layer, H.264's parameter sets and an encoder's message of a
// few hundred bytes): a chunk whose head tells nothing is read whole, up to this bound.
constexpr size_t kHeadBytes = 64;
constexpr int32_t kMaxWholeChunk = 4 << 20;

// Up to n bytes at offset; the bytes read, -1 on an error.
ssize_t ReadAt(int fd, int64_t at, uint8_t* dest, size_t n) {
  size_t done = 0;
  while (done < n) {
    const ssize_t got = ::pread(fd, dest + done, n - done, static_cast<off_t>(at + static_cast<int64_t>(done)));
    if (got < 0) return -1;
    if (got == 0) break;
    done += static_cast<size_t>(got);
  }
  return static_cast<ssize_t>(done);
}

uint32_t Le32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
         static_cast<uint32_t>(p[3]) << 24;
}

}  // namespace

AviPictureTypes::AviPictureTypes(const std::string& fileName, AVCodecID codec)
    : fd_(::open(fileName.c_str(), O_RDONLY | O_CLOEXEC)), codec_(codec) {}

AviPictureTypes::~AviPictureTypes() {
  if (fd_ >= 0) ::close(fd_);
}

bool AviPictureTypes::Read(const AviChunkRef& c, char& type) {
  type = 0;
  if (fd_ < 0 || c.HeaderPos < 0 || c.Size <= 0) return false;
  uint8_t head[8 + kHeadBytes];
  const size_t want = 8 + std::min<size_t>(kHeadBytes, static_cast<size_t>(c.Size));
  if (ReadAt(fd_, c.HeaderPos, head, want) != static_cast<ssize_t>(want) || Le32(head + 4) != static_cast<uint32_t>(c.Size))
    return false;
  type = CodedPictureType(codec_, head + 8, want - 8);
  if (type == 0 && static_cast<size_t>(c.Size) > kHeadBytes && c.Size <= kMaxWholeChunk) {
    whole_.resize(static_cast<size_t>(c.Size));
    if (ReadAt(fd_, c.HeaderPos + 8, whole_.data(), whole_.size()) != static_cast<ssize_t>(whole_.size())) return false;
    type = CodedPictureType(codec_, whole_.data(), whole_.size());
  }
  return true;
}

}  // namespace tavelo::ffreader
