#include "ffreader/ff_riff_check.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstring>

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

// The headers of an AVI lie in its first kilobytes: that much is read at once, and a chunk
// header beyond it (the index behind the movie data) is read on its own.
constexpr size_t kHeadBlock = 16 << 10;

class Walker {
 public:
  Walker(int fd, int64_t size) : fd_(fd), size_(size) {
    const ssize_t got = ::pread(fd, head_, static_cast<size_t>(std::min<int64_t>(size, kHeadBlock)), 0);
    headBytes_ = got > 0 ? got : 0;
  }

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
    if (pos < 0 || pos >= size_) return 0;
    n = static_cast<size_t>(std::min<int64_t>(static_cast<int64_t>(n), size_ - pos));
    if (pos + static_cast<int64_t>(n) <= headBytes_) {
      std::memcpy(to, head_ + pos, n);
      return n;
    }
    const ssize_t got = ::pread(fd_, to, n, static_cast<off_t>(pos));
    return got > 0 ? static_cast<size_t>(got) : 0;
  }
  static bool Is(const uint8_t* p, const char* tag) { return std::memcmp(p, tag, 4) == 0; }

  int fd_;
  int64_t size_;
  uint8_t head_[kHeadBlock];  // the file's first bytes
  int64_t headBytes_ = 0;
  int chunks_ = 0;
};

}  // namespace

bool RiffInfoTagsFit(const std::string& path, bool* avi) {
  if (avi != nullptr) *avi = false;
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return true;
  const bool fit = RiffInfoTagsFit(fd, avi);
  ::close(fd);
  return fit;
}

bool RiffInfoTagsFit(int fd, bool* avi) {
  if (avi != nullptr) *avi = false;
  if (fd < 0) return true;
  struct stat st {};
  if (::fstat(fd, &st) != 0) return true;
  const int64_t size = st.st_size;
  uint8_t head[12] = {};
  if (size < 12 || ::pread(fd, head, 12, 0) != 12) return true;
  const bool riff = std::memcmp(head, "RIFF", 4) == 0 || std::memcmp(head, "RF64", 4) == 0 ||
                    std::memcmp(head, "BW64", 4) == 0;
  if (!riff) return true;
  if (avi != nullptr) *avi = std::memcmp(head, "RIFF", 4) == 0 && std::memcmp(head + 8, "AVI ", 4) == 0;
  // The top level is walked to the end of the file: an AVI continues in further RIFF chunks, and
  // a RIFF size of an RF64 file is no size at all.
  return Walker(fd, size).Chunks(12, size, 1);
}

}  // namespace tavelo::ffreader
