#include "codecs/ffreader/ff_mp4_tables.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>

namespace tavelo::ffreader {

namespace {

// The movie header box of an hour of film is a few megabytes; one claiming more is not read.
constexpr uint64_t kMaxMoovBytes = uint64_t{256} << 20;

uint32_t Be32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) << 24 | static_cast<uint32_t>(p[1]) << 16 | static_cast<uint32_t>(p[2]) << 8 | p[3];
}
uint64_t Be64(const uint8_t* p) { return static_cast<uint64_t>(Be32(p)) << 32 | Be32(p + 4); }
constexpr uint32_t Tag(const char (&t)[5]) {
  return static_cast<uint32_t>(t[0]) << 24 | static_cast<uint32_t>(t[1]) << 16 | static_cast<uint32_t>(t[2]) << 8 |
         static_cast<uint32_t>(t[3]);
}

struct Box {
  uint32_t Type = 0;
  const uint8_t* Body = nullptr;
  uint64_t Size = 0;  // of the body
};

// The boxes one after another in [p, p + n); stops at the first that does not fit.
template <class F>
void EachBox(const uint8_t* p, uint64_t n, F&& f) {
  uint64_t at = 0;
  while (n - at >= 8) {
    uint64_t size = Be32(p + at);
    const uint32_t type = Be32(p + at + 4);
    uint64_t header = 8;
    if (size == 1) {
      if (n - at < 16) return;
      size = Be64(p + at + 8);
      header = 16;
    } else if (size == 0) {
      size = n - at;
    }
    if (size < header || size > n - at) return;
    if (!f(Box{type, p + at + header, size - header})) return;
    at += size;
  }
}

bool Find(const Box& parent, uint32_t type, Box& found) {
  bool got = false;
  EachBox(parent.Body, parent.Size, [&](const Box& b) {
    if (b.Type != type) return true;
    found = b;
    got = true;
    return false;
  });
  return got;
}

class File {
 public:
  explicit File(const std::string& name) : fd_(::open(name.c_str(), O_RDONLY | O_CLOEXEC)) {}
  ~File() {
    if (fd_ >= 0) ::close(fd_);
  }
  File(const File&) = delete;
  File& operator=(const File&) = delete;
  bool Read(uint64_t at, uint8_t* dest, size_t n) const {
    while (n > 0) {
      const ssize_t got = ::pread(fd_, dest, n, static_cast<off_t>(at));
      if (got <= 0) return false;
      dest += got;
      at += static_cast<uint64_t>(got);
      n -= static_cast<size_t>(got);
    }
    return true;
  }
  int64_t Size() const {
    struct stat st {};
    return fd_ >= 0 && ::fstat(fd_, &st) == 0 ? static_cast<int64_t>(st.st_size) : -1;
  }

 private:
  int fd_;
};

// The body of the top-level movie box.
bool ReadMoov(const std::string& fileName, std::vector<uint8_t>& moov) {
  File f(fileName);
  const int64_t fileSize = f.Size();
  if (fileSize < 8) return false;
  const uint64_t end = static_cast<uint64_t>(fileSize);
  uint64_t at = 0;
  while (end - at >= 8) {
    uint8_t h[16];
    if (!f.Read(at, h, 8)) return false;
    uint64_t size = Be32(h);
    uint64_t header = 8;
    if (size == 1) {
      if (end - at < 16 || !f.Read(at + 8, h + 8, 8)) return false;
      size = Be64(h + 8);
      header = 16;
    } else if (size == 0) {
      size = end - at;
    }
    if (size < header || size > end - at) return false;
    if (Be32(h + 4) == Tag("moov")) {
      if (size - header > kMaxMoovBytes) return false;
      moov.resize(static_cast<size_t>(size - header));
      return f.Read(at + header, moov.data(), moov.size());
    }
    at += size;
  }
  return false;
}

uint32_t TrackId(const Box& tkhd) {
  if (tkhd.Size < 4) return 0;
  const uint64_t off = tkhd.Body[0] == 1 ? 20 : 12;
  return tkhd.Size >= off + 4 ? Be32(tkhd.Body + off) : 0;
}

bool SampleCount(const Box& stbl, int64_t& count) {
  Box b;
  // stsz and stz2 both: version and flags, 4 bytes (size, or field width), then the count.
  if (!Find(stbl, Tag("stsz"), b) && !Find(stbl, Tag("stz2"), b)) return false;
  if (b.Size < 12) return false;
  count = Be32(b.Body + 8);
  return true;
}

bool Offsets(const Box& stbl, int64_t samples, std::vector<int32_t>& offsets) {
  offsets.clear();
  Box b;
  if (!Find(stbl, Tag("ctts"), b)) return true;
  if (b.Size < 8) return false;
  const uint64_t entries = Be32(b.Body + 4);
  if (entries > (b.Size - 8) / 8) return false;
  offsets.reserve(static_cast<size_t>(samples));
  for (uint64_t i = 0; i < entries; ++i) {
    const uint8_t* e = b.Body + 8 + 8 * i;
    const uint32_t n = Be32(e);
    // Read as signed in both versions of the box, as writers use either for negative offsets.
    const auto offset = static_cast<int32_t>(Be32(e + 4));
    if (n > static_cast<uint64_t>(samples) - offsets.size()) return false;
    offsets.insert(offsets.end(), n, offset);
  }
  return static_cast<int64_t>(offsets.size()) == samples;
}

}  // namespace

bool ReadMp4Track(const std::string& fileName, uint32_t trackId, int64_t expectedSamples, Mp4Track& track) {
  track = Mp4Track{};
  std::vector<uint8_t> data;
  try {
    if (!ReadMoov(fileName, data)) return false;
    const Box moov{Tag("moov"), data.data(), data.size()};
    Box b;
    // Fragmented files keep the samples' tables beside the fragments, not here.
    if (Find(moov, Tag("mvex"), b)) return false;
    bool ok = false;
    EachBox(moov.Body, moov.Size, [&](const Box& trak) {
      if (trak.Type != Tag("trak")) return true;
      Box tkhd, mdia, minf, stbl;
      if (!Find(trak, Tag("tkhd"), tkhd) || TrackId(tkhd) != trackId) return true;
      ok = Find(trak, Tag("mdia"), mdia) && Find(mdia, Tag("minf"), minf) && Find(minf, Tag("stbl"), stbl) &&
           SampleCount(stbl, track.SampleCount) && track.SampleCount == expectedSamples &&
           Offsets(stbl, track.SampleCount, track.CompositionOffsets);
      return false;
    });
    return ok;
  } catch (...) {
    return false;
  }
}

}  // namespace tavelo::ffreader
