#include "codecs/ffreader/ff_riff_check.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>

extern "C" {
#include <libavutil/intreadwrite.h>
}

namespace tavelo::ffreader {

namespace {

// Chunks looked at, at most: the headers of a RIFF file are few; the movie data of an AVI, which
// can hold millions of chunks, is skipped whole.
constexpr int kMaxChunks = 4096;
// Lists nested at most this deep (AVI headers go three deep).
constexpr int kMaxDepth = 8;

struct FileCloser {
  void operator()(std::FILE* f) const { std::fclose(f); }
};

class Walker {
 public:
  Walker(std::FILE* f, int64_t size) : file_(f), size_(size) {}

  // Walks the chunks from pos to end (inside a list, or the file). False when an INFO tag
  // claims more than the file holds; true otherwise, also when a chunk is cut by the end of the
  // file (a truncated recording) or the walk gives up.
  bool Chunks(int64_t pos, int64_t end, int depth) {
    while (pos + 8 <= end && pos + 8 <= size_) {
      if (++chunks_ > kMaxChunks) return true;
      // A chunk header, and a list's type when the file holds one.
      uint8_t head[12] = {};
      const size_t got = Read(pos, head, 12);
      if (got < 8) return true;
      const bool isList = got == 12 && Is(head, "LIST");
      const int64_t length = AV_RL32(head + 4);
      const int64_t data = pos + 8;
      if (isList && Is(head + 8, "INFO")) {
        // FFmpeg walks the tags up to the end the list claims, whatever the file holds.
        if (!Tags(data + 4, data + length)) return false;
      } else if (isList && depth < kMaxDepth && !Is(head + 8, "movi") && !Is(head + 8, "rec ")) {
        if (!Chunks(data + 4, std::min(data + length, end), depth + 1)) return false;
      }
      if (data + length > size_) return true;
      pos = data + length + (length & 1);
    }
    return true;
  }

 private:
  bool Tags(int64_t pos, int64_t end) {
    while (pos + 8 <= end && pos + 8 <= size_) {
      if (++chunks_ > kMaxChunks) return true;
      uint8_t head[8] = {};
      if (Read(pos, head, 8) < 8) return true;
      const int64_t length = AV_RL32(head + 4);
      if (length > size_ - (pos + 8)) return false;
      pos += 8 + length + (length & 1);
    }
    return true;
  }

  // Up to n bytes at pos; how many were read.
  size_t Read(int64_t pos, uint8_t* to, size_t n) {
    if (pos >= size_ || fseeko(file_, pos, SEEK_SET) != 0) return 0;
    return std::fread(to, 1, std::min<int64_t>(static_cast<int64_t>(n), size_ - pos), file_);
  }
  static bool Is(const uint8_t* p, const char* tag) { return std::memcmp(p, tag, 4) == 0; }

  std::FILE* file_;
  int64_t size_;
  int chunks_ = 0;
};

}  // namespace

bool RiffInfoTagsFit(const std::string& path) {
  std::unique_ptr<std::FILE, FileCloser> f(std::fopen(path.c_str(), "rb"));
  if (!f || fseeko(f.get(), 0, SEEK_END) != 0) return true;
  const int64_t size = ftello(f.get());
  uint8_t head[12] = {};
  if (size < 12 || fseeko(f.get(), 0, SEEK_SET) != 0 || std::fread(head, 1, 12, f.get()) != 12) return true;
  const bool riff = std::memcmp(head, "RIFF", 4) == 0 || std::memcmp(head, "RF64", 4) == 0 ||
                    std::memcmp(head, "BW64", 4) == 0;
  if (!riff) return true;
  // The top level is walked to the end of the file: an AVI continues in further RIFF chunks, and
  // a RIFF size of an RF64 file is no size at all.
  return Walker(f.get(), size).Chunks(12, size, 1);
}

}  // namespace tavelo::ffreader
