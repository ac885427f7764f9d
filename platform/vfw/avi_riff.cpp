#include "platform/vfw/avi_riff.h"

#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <sys/stat.h>

#include "ffreader/ff_present_memory.h"

namespace tavelo::platform {

namespace {

constexpr uint32_t Fcc(char a, char b, char c, char d) {
  return static_cast<uint32_t>(static_cast<uint8_t>(a)) | (static_cast<uint32_t>(static_cast<uint8_t>(b)) << 8) |
         (static_cast<uint32_t>(static_cast<uint8_t>(c)) << 16) | (static_cast<uint32_t>(static_cast<uint8_t>(d)) << 24);
}

constexpr uint32_t kRiff = Fcc('R', 'I', 'F', 'F');
constexpr uint32_t kList = Fcc('L', 'I', 'S', 'T');
constexpr uint32_t kAvi = Fcc('A', 'V', 'I', ' ');
constexpr uint32_t kAvix = Fcc('A', 'V', 'I', 'X');
constexpr uint32_t kHdrl = Fcc('h', 'd', 'r', 'l');
constexpr uint32_t kStrl = Fcc('s', 't', 'r', 'l');
constexpr uint32_t kOdml = Fcc('o', 'd', 'm', 'l');
constexpr uint32_t kMovi = Fcc('m', 'o', 'v', 'i');
constexpr uint32_t kRec = Fcc('r', 'e', 'c', ' ');
constexpr uint32_t kAvih = Fcc('a', 'v', 'i', 'h');
constexpr uint32_t kStrh = Fcc('s', 't', 'r', 'h');
constexpr uint32_t kStrf = Fcc('s', 't', 'r', 'f');
constexpr uint32_t kStrn = Fcc('s', 't', 'r', 'n');
constexpr uint32_t kIndx = Fcc('i', 'n', 'd', 'x');
constexpr uint32_t kDmlh = Fcc('d', 'm', 'l', 'h');
constexpr uint32_t kIdx1 = Fcc('i', 'd', 'x', '1');
constexpr uint32_t kVids = Fcc('v', 'i', 'd', 's');

constexpr uint32_t kIdx1KeyFrame = 0x10;
constexpr uint32_t kIdx1List = 0x01;
constexpr uint32_t kOdmlDeltaFrame = 0x80000000u;

// Limits on header chunks read into memory (a format record, a stream name, an index chunk).
constexpr int64_t kMaxFormatBytes = 1 << 20;
constexpr int64_t kMaxNameBytes = 1024;
constexpr int64_t kMaxIndexBytes = int64_t{1} << 30;

uint32_t Le32(const uint8_t* p) { return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<uint32_t>(p[3]) << 24); }
uint16_t Le16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
uint64_t Le64(const uint8_t* p) { return Le32(p) | (static_cast<uint64_t>(Le32(p + 4)) << 32); }

struct Chunk {
  uint32_t Id = 0;
  int64_t DataOffset = 0;  // past the 8-byte header
  int64_t Size = 0;        // as stored
  int64_t End = 0;         // the data's end, cut to the parent's end
  uint32_t ListType = 0;   // for RIFF and LIST chunks
};

// The stream number of a data chunk id ("00dc", "01wb"), -1 for anything else; the two letters
// after the number are returned in kind.
int StreamOf(uint32_t id, uint16_t& kind) {
  const char c0 = static_cast<char>(id & 0xFF), c1 = static_cast<char>((id >> 8) & 0xFF);
  if (c0 < '0' || c0 > '9' || c1 < '0' || c1 > '9') return -1;
  kind = static_cast<uint16_t>(id >> 16);
  return (c0 - '0') * 10 + (c1 - '0');
}

bool IsPaletteChange(uint16_t kind) { return kind == ('p' | ('c' << 8)); }

class Parser {
 public:
  Parser(int fd, AviLayout& layout, const AviParseOptions& options) : fd_(fd), layout_(layout), options_(options) {}

  bool Run(std::string& why) {
    struct stat st{};
    if (fstat(fd_, &st) != 0 || st.st_size < 12) return Fail(why, "not an AVI file");
    fileSize_ = st.st_size;
    layout_.FileSize = fileSize_;
    uint8_t head[12];
    if (!ReadAt(fd_, 0, head, 12) || Le32(head) != kRiff || Le32(head + 8) != kAvi)
      return Fail(why, "not an AVI file");
    // The RIFF size is often wrong in files cut short or still being written: the file's own end
    // bounds the walk instead when it is smaller.
    const int64_t riffEnd = std::min<int64_t>(8 + int64_t{Le32(head + 4)}, fileSize_);
    WalkTop(12, riffEnd);
    // Extensions of OpenDML files follow the first RIFF chunk.
    int64_t at = riffEnd + (riffEnd & 1);
    while (at + 12 <= fileSize_) {
      Chunk c;
      if (!ReadChunk(at, fileSize_, c)) break;
      if (c.Id == kRiff && c.ListType == kAvix) WalkAvix(c.DataOffset + 4, c.End);
      else if (c.Id != kRiff && c.Id != Fcc('J', 'U', 'N', 'K')) break;
      at = c.End + (c.End & 1);
      if (c.Size == 0 && c.Id != kRiff) break;
    }
    if (!haveMain_ || layout_.Streams.empty()) return Fail(why, "the AVI headers are missing");
    BuildIndex();
    return true;
  }

 private:
  static bool Fail(std::string& why, const char* text) {
    why = text;
    return false;
  }

  // The chunk at offset inside a parent that ends at parentEnd.
  bool ReadChunk(int64_t offset, int64_t parentEnd, Chunk& c) const {
    if (offset < 0 || offset + 8 > parentEnd) return false;
    uint8_t h[12];
    const int64_t want = offset + 12 <= fileSize_ ? 12 : 8;
    if (!ReadAt(fd_, offset, h, want)) return false;
    c.Id = Le32(h);
    c.Size = Le32(h + 4);
    c.DataOffset = offset + 8;
    c.End = std::min<int64_t>(c.DataOffset + c.Size, parentEnd);
    c.ListType = (c.Id == kRiff || c.Id == kList) && want == 12 ? Le32(h + 8) : 0;
    return true;
  }

  bool ReadData(const Chunk& c, std::vector<uint8_t>& out, int64_t limit) const {
    const int64_t n = c.End - c.DataOffset;
    if (n < 0 || n > limit) return false;
    out.resize(static_cast<size_t>(n));
    return n == 0 || ReadAt(fd_, c.DataOffset, out.data(), n);
  }

  void WalkTop(int64_t at, int64_t end) {
    Chunk c;
    while (ReadChunk(at, end, c)) {
      if (c.Id == kList && c.ListType == kHdrl) {
        WalkHdrl(c.DataOffset + 4, c.End);
      } else if (c.Id == kList && c.ListType == kMovi) {
        if (moviPos_ < 0) moviPos_ = c.DataOffset;
        movis_.push_back({c.DataOffset + 4, c.End});
      } else if (c.Id == kIdx1) {
        idx1Offset_ = c.DataOffset;
        idx1Size_ = c.End - c.DataOffset;
      }
      at = c.DataOffset + c.Size + (c.Size & 1);
    }
  }

  void WalkAvix(int64_t at, int64_t end) {
    Chunk c;
    while (ReadChunk(at, end, c)) {
      if (c.Id == kList && c.ListType == kMovi) movis_.push_back({c.DataOffset + 4, c.End});
      at = c.DataOffset + c.Size + (c.Size & 1);
    }
  }

  void WalkHdrl(int64_t at, int64_t end) {
    Chunk c;
    while (ReadChunk(at, end, c)) {
      if (c.Id == kAvih) {
        std::vector<uint8_t> d;
        if (ReadData(c, d, 1024) && d.size() >= 40) {
          AviMainHeader& m = layout_.Main;
          m.MicroSecPerFrame = Le32(&d[0]);
          m.MaxBytesPerSec = Le32(&d[4]);
          m.PaddingGranularity = Le32(&d[8]);
          m.Flags = Le32(&d[12]);
          m.TotalFrames = Le32(&d[16]);
          m.InitialFrames = Le32(&d[20]);
          m.Streams = Le32(&d[24]);
          m.SuggestedBufferSize = Le32(&d[28]);
          m.Width = Le32(&d[32]);
          m.Height = Le32(&d[36]);
          haveMain_ = true;
        }
      } else if (c.Id == kList && c.ListType == kStrl) {
        if (layout_.Streams.size() < kAviMaxStreams) WalkStrl(c.DataOffset + 4, c.End);
      } else if (c.Id == kList && c.ListType == kOdml) {
        Chunk d;
        if (ReadChunk(c.DataOffset + 4, c.End, d) && d.Id == kDmlh && d.End - d.DataOffset >= 4) {
          uint8_t v[4];
          if (ReadAt(fd_, d.DataOffset, v, 4)) layout_.DmlTotalFrames = Le32(v);
        }
      }
      at = c.DataOffset + c.Size + (c.Size & 1);
    }
  }

  void WalkStrl(int64_t at, int64_t end) {
    AviStreamData s;
    std::vector<uint8_t> indx;
    bool haveHeader = false;
    Chunk c;
    while (ReadChunk(at, end, c)) {
      std::vector<uint8_t> d;
      if (c.Id == kStrh && ReadData(c, d, 1024) && d.size() >= 48) {
        AviStreamHeader& h = s.Header;
        h.Type = Le32(&d[0]);
        h.Handler = Le32(&d[4]);
        h.Flags = Le32(&d[8]);
        h.Priority = Le16(&d[12]);
        h.Language = Le16(&d[14]);
        h.InitialFrames = Le32(&d[16]);
        h.Scale = Le32(&d[20]);
        h.Rate = Le32(&d[24]);
        h.Start = Le32(&d[28]);
        h.Length = Le32(&d[32]);
        h.SuggestedBufferSize = Le32(&d[36]);
        h.Quality = Le32(&d[40]);
        h.SampleSize = Le32(&d[44]);
        if (d.size() >= 56)
          for (int i = 0; i < 4; ++i) h.Frame[i] = static_cast<int16_t>(Le16(&d[48 + 2 * i]));
        haveHeader = true;
      } else if (c.Id == kStrf) {
        ReadData(c, s.Format, kMaxFormatBytes);
      } else if (c.Id == kStrn && ReadData(c, d, kMaxNameBytes)) {
        s.Name.assign(d.begin(), std::find(d.begin(), d.end(), uint8_t{0}));
      } else if (c.Id == kIndx) {
        ReadData(c, indx, kMaxIndexBytes);
      }
      at = c.DataOffset + c.Size + (c.Size & 1);
    }
    // A stream without a header cannot be described; it still takes its number.
    if (!haveHeader) s.Header = AviStreamHeader{};
    layout_.Streams.push_back(std::move(s));
    indexes_.push_back(std::move(indx));
  }

  // ---- Indexes ----

  void BuildIndex() {
    if (options_.UseOpenDml && OpenDmlIndex()) {
      layout_.Index = AviIndexKind::OpenDml;
    } else if (options_.UseIdx1 && Idx1Index()) {
      layout_.Index = AviIndexKind::Idx1;
    } else {
      WalkIndex();
      layout_.Index = AviIndexKind::Walk;
    }
    for (AviStreamData& s : layout_.Streams) Finish(s);
  }

  void Clear() {
    for (AviStreamData& s : layout_.Streams) s.Chunks.clear();
  }

  void Add(int stream, int64_t dataOffset, int64_t size, bool key) {
    if (stream < 0 || stream >= static_cast<int>(layout_.Streams.size())) return;
    // Chunks beyond the end of the file (a file cut short) are left out.
    if (dataOffset < 0 || size < 0 || size > UINT32_MAX || dataOffset + size > fileSize_) return;
    layout_.Streams[static_cast<size_t>(stream)].Chunks.push_back(
        AviChunk{dataOffset, static_cast<uint32_t>(size), key});
  }

  bool OpenDmlIndex() {
    bool any = false, all = true;
    for (size_t i = 0; i < indexes_.size(); ++i) {
      if (indexes_[i].empty()) all = all && layout_.Streams[i].Header.Type == 0;
      else any = true;
    }
    // Only when every stream has its own: a file that indexes some streams this way is read
    // through its idx1 chunk.
    if (!any || !all) return false;
    for (size_t i = 0; i < indexes_.size(); ++i) {
      if (!indexes_[i].empty() && !SuperIndex(static_cast<int>(i), indexes_[i])) {
        Clear();
        return false;
      }
    }
    return true;
  }

  // An "indx" chunk: normally a super index of standard index chunks; a standard index of its
  // own is taken too.
  bool SuperIndex(int stream, const std::vector<uint8_t>& d) {
    if (d.size() < 24) return false;
    const uint16_t longs = Le16(&d[0]);
    const uint8_t type = d[3];
    const uint32_t entries = Le32(&d[4]);
    if (type == 1) return StandardIndex(stream, d, 0);
    if (type != 0 || longs != 4) return false;
    if (int64_t{entries} * 16 > static_cast<int64_t>(d.size()) - 24) return false;
    for (uint32_t e = 0; e < entries; ++e) {
      const uint8_t* p = &d[24 + 16 * static_cast<size_t>(e)];
      const int64_t offset = static_cast<int64_t>(std::min<uint64_t>(Le64(p), INT64_MAX / 2));
      Chunk c;
      if (!ReadChunk(offset, fileSize_, c)) return false;
      std::vector<uint8_t> ix;
      if (!ReadData(c, ix, kMaxIndexBytes)) return false;
      if (!StandardIndex(stream, ix, 0)) return false;
    }
    return true;
  }

  bool StandardIndex(int stream, const std::vector<uint8_t>& d, size_t at) {
    if (d.size() < at + 24) return false;
    const uint16_t longs = Le16(&d[at]);
    const uint8_t type = d[at + 3];
    const uint32_t entries = Le32(&d[at + 4]);
    const int64_t base = static_cast<int64_t>(std::min<uint64_t>(Le64(&d[at + 12]), INT64_MAX / 2));
    if (type != 1 || longs < 2) return false;
    const int64_t step = 4 * int64_t{longs};
    if (int64_t{entries} * step > static_cast<int64_t>(d.size() - at) - 24) return false;
    const bool video = layout_.Streams[static_cast<size_t>(stream)].Header.Type == kVids;
    for (uint32_t e = 0; e < entries; ++e) {
      const uint8_t* p = &d[at + 24 + static_cast<size_t>(step) * e];
      const uint32_t size = Le32(p + 4);
      Add(stream, base + Le32(p), size & ~kOdmlDeltaFrame, !video || !(size & kOdmlDeltaFrame));
    }
    return true;
  }

  bool Idx1Index() {
    if (idx1Offset_ < 0 || idx1Size_ < 16 || moviPos_ < 0) return false;
    // The index of an hour of film is megabytes: read into memory made present at once, not
    // zero-filled first, and each stream's chunks into room reserved for them.
    const size_t n = static_cast<size_t>(idx1Size_ / 16);
    const auto d = std::make_unique_for_overwrite<uint8_t[]>(n * 16);
    ffreader::PrefaultMemory(d.get(), n * 16);
    if (!ReadAt(fd_, idx1Offset_, d.get(), static_cast<int64_t>(n * 16))) return false;
    std::vector<size_t> perStream(layout_.Streams.size(), 0);
    for (size_t i = 0; i < n; ++i) {
      uint16_t kind = 0;
      const int stream = StreamOf(Le32(&d[i * 16]), kind);
      if (stream >= 0 && stream < static_cast<int>(perStream.size())) ++perStream[static_cast<size_t>(stream)];
    }
    for (size_t i = 0; i < perStream.size(); ++i) ffreader::ReservePresent(layout_.Streams[i].Chunks, perStream[i]);
    // Offsets count from the "movi" tag in most files and from the file's start in some: the
    // first data entry tells which, by the chunk id found where it points.
    int64_t base = moviPos_;
    for (size_t i = 0; i < n; ++i) {
      const uint8_t* p = &d[i * 16];
      uint16_t kind = 0;
      if (StreamOf(Le32(p), kind) < 0 || (Le32(p + 4) & kIdx1List)) continue;
      uint8_t id[4];
      const int64_t off = Le32(p + 8);
      if (ReadAt(fd_, moviPos_ + off, id, 4) && Le32(id) == Le32(p)) base = moviPos_;
      else if (ReadAt(fd_, off, id, 4) && Le32(id) == Le32(p)) base = 0;
      break;
    }
    for (size_t i = 0; i < n; ++i) {
      const uint8_t* p = &d[i * 16];
      const uint32_t flags = Le32(p + 4);
      uint16_t kind = 0;
      const int stream = StreamOf(Le32(p), kind);
      if (stream < 0 || (flags & kIdx1List) || IsPaletteChange(kind)) continue;
      Add(stream, base + Le32(p + 8) + 8, Le32(p + 12), (flags & kIdx1KeyFrame) != 0);
    }
    for (const AviStreamData& s : layout_.Streams)
      if (!s.Chunks.empty()) return true;
    return false;
  }

  // No usable index: the data chunks of the movi lists, in file order.
  void WalkIndex() {
    Clear();
    for (const auto& [begin, end] : movis_) WalkMovi(begin, end, 0);
  }

  void WalkMovi(int64_t at, int64_t end, int depth) {
    Chunk c;
    while (ReadChunk(at, end, c)) {
      if (c.Id == kList && c.ListType == kRec && depth < 4) {
        WalkMovi(c.DataOffset + 4, c.End, depth + 1);
      } else {
        uint16_t kind = 0;
        const int stream = StreamOf(c.Id, kind);
        if (stream >= 0 && !IsPaletteChange(kind)) Add(stream, c.DataOffset, c.Size, false);
      }
      at = c.DataOffset + c.Size + (c.Size & 1);
    }
  }

  // Key flags the index could not give, and the byte positions of fixed-size samples.
  void Finish(AviStreamData& s) {
    const bool video = s.Header.Type == kVids;
    bool anyKey = false;
    for (const AviChunk& c : s.Chunks) anyKey = anyKey || c.Key;
    if (!video || Uncompressed(s)) {
      for (AviChunk& c : s.Chunks) c.Key = true;
    } else if (!anyKey && !s.Chunks.empty()) {
      // Nothing marks a key frame (no index, or a writer that set no flags): only decoding from
      // the first frame is sure to be right.
      s.Chunks.front().Key = true;
    }
    s.KeyChunks.clear();
    if (video) {
      for (size_t c = 0; c < s.Chunks.size(); ++c)
        if (s.Chunks[c].Key) s.KeyChunks.push_back(static_cast<int64_t>(c));
    }
    s.ByteStart.clear();
    if (s.Header.SampleSize > 0) {
      s.ByteStart.reserve(s.Chunks.size() + 1);
      int64_t total = 0;
      for (const AviChunk& c : s.Chunks) {
        s.ByteStart.push_back(total);
        total += c.Size;
      }
      s.ByteStart.push_back(total);
    }
  }

  // Pictures stored as plain rows (biCompression 0 or 3): every frame stands alone.
  static bool Uncompressed(const AviStreamData& s) {
    if (s.Format.size() < 40) return false;
    const uint32_t compression = Le32(&s.Format[16]);
    return compression == 0 || compression == 3;
  }

  int fd_;
  AviLayout& layout_;
  const AviParseOptions& options_;
  int64_t fileSize_ = 0;
  bool haveMain_ = false;
  int64_t moviPos_ = -1;  // the "movi" tag of the first movi list
  std::vector<std::pair<int64_t, int64_t>> movis_;
  int64_t idx1Offset_ = -1;
  int64_t idx1Size_ = 0;
  std::vector<std::vector<uint8_t>> indexes_;  // each stream's "indx" chunk
};

}  // namespace

bool ReadAt(int fd, int64_t offset, void* buffer, int64_t count) {
  auto* p = static_cast<uint8_t*>(buffer);
  while (count > 0) {
    const ssize_t got = pread(fd, p, static_cast<size_t>(std::min<int64_t>(count, 1 << 30)), offset);
    if (got <= 0) return false;
    p += got;
    offset += got;
    count -= got;
  }
  return true;
}

bool ParseAvi(int fd, AviLayout& layout, const AviParseOptions& options, std::string* why) {
  layout = AviLayout{};
  std::string reason;
  try {
    Parser parser(fd, layout, options);
    if (parser.Run(reason)) return true;
  } catch (...) {
    reason = "out of memory";
  }
  layout = AviLayout{};
  if (why != nullptr) *why = reason;
  return false;
}

}  // namespace tavelo::platform
