#include "ffreader/ff_mp4_tables.h"

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

uint32_t TrackId(const Box& tkhd) {
  if (tkhd.Size < 4) return 0;
  const uint64_t off = tkhd.Body[0] == 1 ? 20 : 12;
  return tkhd.Size >= off + 4 ? Be32(tkhd.Body + off) : 0;
}

// The composition offsets of a ctts body as runs; false when they do not cover exactly the
// samples.
bool Offsets(const Box& b, int64_t samples, Mp4Track& track) {
  if (b.Size < 8) return false;
  const uint64_t entries = Be32(b.Body + 4);
  if (entries > (b.Size - 8) / 8) return false;
  track.OffsetRuns.reserve(static_cast<size_t>(entries));
  uint64_t covered = 0;
  for (uint64_t i = 0; i < entries; ++i) {
    const uint8_t* e = b.Body + 8 + 8 * i;
    const uint32_t n = Be32(e);
    // Read as signed in both versions of the box, as writers use either for negative offsets.
    const auto offset = static_cast<int32_t>(Be32(e + 4));
    if (n > static_cast<uint64_t>(samples) - covered) return false;
    if (n == 0) continue;
    track.OffsetRuns.push_back(Mp4Track::Run{n, offset});
    covered += n;
  }
  return static_cast<int64_t>(covered) == samples;
}

// A box in the file: its type and where its body lies.
struct FileBox {
  uint32_t Type = 0;
  uint64_t Body = 0;  // offset of the body in the file
  uint64_t Size = 0;  // of the body
};

// The boxes one after another in the file's bytes [from, end), read header by header (the
// bodies stay unread); stops at the first that does not fit. False on a read error.
template <class F>
bool EachFileBox(const File& f, uint64_t from, uint64_t end, F&& fn) {
  uint64_t at = from;
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
    if (size < header || size > end - at) return true;
    if (!fn(FileBox{Be32(h + 4), at + header, size - header})) return true;
    at += size;
  }
  return true;
}

bool FindInFile(const File& f, const FileBox& parent, uint32_t type, FileBox& found) {
  bool got = false;
  EachFileBox(f, parent.Body, parent.Body + parent.Size, [&](const FileBox& b) {
    if (b.Type != type) return true;
    found = b;
    got = true;
    return false;
  });
  return got;
}

// A box's body read into memory, within the movie box's bound.
bool ReadBody(const File& f, const FileBox& b, std::vector<uint8_t>& body) {
  if (b.Size > kMaxMoovBytes) return false;
  body.resize(static_cast<size_t>(b.Size));
  return f.Read(b.Body, body.data(), body.size());
}

}  // namespace

bool ReadMp4Track(const std::string& fileName, uint32_t trackId, int64_t expectedSamples, Mp4Track& track) {
  track = Mp4Track{};
  try {
    // Only the few boxes needed are read: the movie box of an hour is megabytes, nearly all of
    // it tables the demuxer has read already.
    File f(fileName);
    const int64_t fileSize = f.Size();
    if (fileSize < 8) return false;
    FileBox moov;
    bool found = false;
    // A file whose top-level boxes break off before the movie box has none.
    EachFileBox(f, 0, static_cast<uint64_t>(fileSize), [&](const FileBox& b) {
      if (b.Type != Tag("moov")) return true;
      moov = b;
      found = true;
      return false;
    });
    if (!found || moov.Size > kMaxMoovBytes) return false;
    FileBox b;
    // Fragmented files keep the samples' tables beside the fragments, not here.
    if (FindInFile(f, moov, Tag("mvex"), b)) return false;
    bool ok = false;
    std::vector<uint8_t> body;
    EachFileBox(f, moov.Body, moov.Body + moov.Size, [&](const FileBox& trak) {
      if (trak.Type != Tag("trak")) return true;
      FileBox tkhd, mdia, minf, stbl;
      if (!FindInFile(f, trak, Tag("tkhd"), tkhd) || tkhd.Size > 4096 || !ReadBody(f, tkhd, body) ||
          TrackId(Box{tkhd.Type, body.data(), body.size()}) != trackId)
        return true;
      if (!FindInFile(f, trak, Tag("mdia"), mdia) || !FindInFile(f, mdia, Tag("minf"), minf) ||
          !FindInFile(f, minf, Tag("stbl"), stbl))
        return false;
      // The sample count: stsz and stz2 both hold version and flags, 4 bytes (size, or field
      // width), then the count.
      FileBox sizes;
      uint8_t head[12];
      if ((!FindInFile(f, stbl, Tag("stsz"), sizes) && !FindInFile(f, stbl, Tag("stz2"), sizes)) || sizes.Size < 12 ||
          !f.Read(sizes.Body, head, 12))
        return false;
      track.SampleCount = Be32(head + 8);
      if (track.SampleCount != expectedSamples) return false;
      FileBox ctts;
      if (!FindInFile(f, stbl, Tag("ctts"), ctts)) {
        ok = true;
        return false;
      }
      ok = ReadBody(f, ctts, body) && Offsets(Box{ctts.Type, body.data(), body.size()}, track.SampleCount, track);
      return false;
    });
    return ok;
  } catch (...) {
    return false;
  }
}

}  // namespace tavelo::ffreader
