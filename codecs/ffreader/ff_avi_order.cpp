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

class Fd {
 public:
  explicit Fd(const std::string& name) : fd_(::open(name.c_str(), O_RDONLY | O_CLOEXEC)) {}
  ~Fd() {
    if (fd_ >= 0) ::close(fd_);
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  bool Ok() const { return fd_ >= 0; }
  // Up to n bytes at offset; the bytes read, -1 on an error.
  ssize_t Read(int64_t at, uint8_t* dest, size_t n) const {
    size_t done = 0;
    while (done < n) {
      const ssize_t got = ::pread(fd_, dest + done, n - done, static_cast<off_t>(at + static_cast<int64_t>(done)));
      if (got < 0) return -1;
      if (got == 0) break;
      done += static_cast<size_t>(got);
    }
    return static_cast<ssize_t>(done);
  }

 private:
  int fd_;
};

uint32_t Le32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
         static_cast<uint32_t>(p[3]) << 24;
}

}  // namespace

bool ReadAviPictureTypes(const std::string& fileName, AVCodecID codec, const std::vector<AviChunkRef>& chunks,
                         std::vector<char>& types) {
  types.assign(chunks.size(), 0);
  Fd f(fileName);
  if (!f.Ok()) return false;
  uint8_t head[8 + kHeadBytes];
  std::vector<uint8_t> whole;
  for (size_t i = 0; i < chunks.size(); ++i) {
    const AviChunkRef& c = chunks[i];
    if (c.HeaderPos < 0 || c.Size <= 0) return false;
    const size_t want = 8 + std::min<size_t>(kHeadBytes, static_cast<size_t>(c.Size));
    if (f.Read(c.HeaderPos, head, want) != static_cast<ssize_t>(want) || Le32(head + 4) != static_cast<uint32_t>(c.Size))
      return false;
    char t = CodedPictureType(codec, head + 8, want - 8);
    if (t == 0 && static_cast<size_t>(c.Size) > kHeadBytes && c.Size <= kMaxWholeChunk) {
      whole.resize(static_cast<size_t>(c.Size));
      if (f.Read(c.HeaderPos + 8, whole.data(), whole.size()) != static_cast<ssize_t>(whole.size())) return false;
      t = CodedPictureType(codec, whole.data(), whole.size());
    }
    types[i] = t;
  }
  return true;
}

}  // namespace tavelo::ffreader
