#include "codecs/ffreader/ff_asf_walk.h"

#include <cstdio>
#include <cstring>
#include <vector>

namespace tavelo::ffreader {

namespace {

const uint8_t kHeaderGuid[16] = {0x30, 0x26, 0xB2, 0x75, 0x8E, 0x66, 0xCF, 0x11,
                                 0xA6, 0xD9, 0x00, 0xAA, 0x00, 0x62, 0xCE, 0x6C};
const uint8_t kFilePropertiesGuid[16] = {0xA1, 0xDC, 0xAB, 0x8C, 0x47, 0xA9, 0xCF, 0x11,
                                         0x8E, 0xE4, 0x00, 0xC0, 0x0C, 0x20, 0x53, 0x65};
const uint8_t kDataGuid[16] = {0x36, 0x26, 0xB2, 0x75, 0x8E, 0x66, 0xCF, 0x11,
                               0xA6, 0xD9, 0x00, 0xAA, 0x00, 0x62, 0xCE, 0x6C};
// A header larger than this (pictures in the metadata) is left to the demuxer.
constexpr int64_t kMaxHeader = 16 << 20;
constexpr int64_t kDataHead = 50;  // the data object's own fields before its first packet
constexpr uint64_t kMaxBlock = 1 << 20;
// Read at a time, and progress told after each (as the demuxer scan tells it every quarter megabyte).
constexpr size_t kChunk = 1 << 18;

uint64_t Le(const uint8_t* p, int n) {
  uint64_t v = 0;
  for (int i = n; i-- > 0;) v = (v << 8) | p[i];
  return v;
}

// Reads within one packet's bytes; a read past them fails the cursor (and the packet).
struct Cursor {
  const uint8_t* p;
  size_t end;
  size_t at = 0;
  bool ok = true;
  uint64_t Take(int n) {
    if (!ok || end - at < static_cast<size_t>(n)) {
      ok = false;
      return 0;
    }
    const uint64_t v = Le(p + at, n);
    at += static_cast<size_t>(n);
    return v;
  }
  // A field whose width is given by two bits of a flags byte: none, 1, 2 or 4 bytes.
  uint64_t Var(int type) { return Take(type == 3 ? 4 : type); }
  void Skip(uint64_t n) {
    if (!ok || end - at < n) ok = false;
    else at += static_cast<size_t>(n);
  }
};

// The file, read in runs (the walk reads it from end to end once).
class File {
 public:
  explicit File(const std::string& name) : f_(std::fopen(name.c_str(), "rb")) {
    if (f_ != nullptr) std::setvbuf(f_, nullptr, _IONBF, 0);
  }
  ~File() {
    if (f_ != nullptr) std::fclose(f_);
  }
  File(const File&) = delete;
  File& operator=(const File&) = delete;
  bool Read(int64_t pos, uint8_t* dest, size_t n) const {
    return f_ != nullptr && fseeko(f_, pos, SEEK_SET) == 0 && std::fread(dest, 1, n, f_) == n;
  }
  int64_t Size() const { return f_ != nullptr && fseeko(f_, 0, SEEK_END) == 0 ? ftello(f_) : -1; }

 private:
  std::FILE* f_;
};

// One counted stream's media object being gathered.
struct Object {
  bool open = false;
  uint64_t size = 0, got = 0;
  std::vector<uint8_t> bytes;  // kept only while the sound's first objects are checked
};

class Walker {
 public:
  Walker(int video, int audio, WmaCount* sound, AsfCounts& counts)
      : video_(video), audio_(audio), sound_(sound), counts_(counts) {}

  // False when the packet is not laid out plainly.
  bool Packet(const uint8_t* p, size_t size) {
    Cursor c{p, size};
    const uint8_t first = static_cast<uint8_t>(c.Take(1));
    if ((first & 0x80) != 0) {
      // Error correction data: of the one plain kind (its length in the low bits).
      if ((first & 0x70) != 0) return false;
      c.Skip(first & 0x0F);
    } else {
      c.at = 0;
    }
    const int flags = static_cast<int>(c.Take(1));
    const int props = static_cast<int>(c.Take(1));
    uint64_t length = c.Var((flags >> 5) & 3);
    c.Var((flags >> 1) & 3);  // sequence
    const uint64_t padding = c.Var((flags >> 3) & 3);
    c.Skip(6);  // send time, duration
    if (!c.ok || (props >> 6) != 1) return false;
    if (length == 0) length = size;
    if (length > size || padding > length || length - padding < c.at) return false;
    c.end = static_cast<size_t>(length - padding);
    const bool multiple = (flags & 1) != 0;
    int payloads = 1, lengthType = 0;
    if (multiple) {
      const int pf = static_cast<int>(c.Take(1));
      payloads = pf & 0x3F;
      lengthType = pf >> 6;
      if (payloads == 0) return false;
    }
    for (int i = 0; i < payloads; ++i) {
      const int stream = static_cast<int>(c.Take(1)) & 0x7F;
      c.Var((props >> 4) & 3);  // media object number
      const uint64_t offset = c.Var((props >> 2) & 3);
      const uint64_t replicated = c.Var(props & 3);
      // Replicated data states the object's size (compressed payloads, length 1, do not).
      if (!c.ok || replicated < 8 || c.end - c.at < replicated) return false;
      const uint64_t objectSize = Le(c.p + c.at, 4);
      c.Skip(replicated);
      const uint64_t len = multiple ? c.Var(lengthType) : c.end - c.at;
      if (!c.ok || len == 0 || c.end - c.at < len) return false;
      // (Stream numbers run from 1: a payload of stream 0 belongs to no stream, counted or not.)
      if (stream != 0 && (stream == video_ || stream == audio_) &&
          !Payload(stream, objectSize, offset, c.p + c.at, len))
        return false;
      c.Skip(len);
    }
    return c.ok;
  }

  // True when no counted object was left unfinished.
  bool Finish() const { return !objects_[0].open && !objects_[1].open; }

 private:
  bool Payload(int stream, uint64_t size, uint64_t offset, const uint8_t* data, uint64_t len) {
    const bool sound = stream == audio_;
    Object& o = objects_[sound ? 1 : 0];
    if (!o.open) {
      // (A sound object is one block of a few kilobytes: one claiming more is not gathered.)
      if (offset != 0 || size == 0 || (sound && size > kMaxBlock)) return false;
      o.open = true;
      o.size = size;
      o.got = 0;
    } else if (offset != o.got || size != o.size) {
      return false;
    }
    if (len > o.size - o.got) return false;
    const bool keep = sound && sound_->Checking();
    if (keep) o.bytes.insert(o.bytes.end(), data, data + len);
    o.got += len;
    if (o.got < o.size) return true;
    o.open = false;
    if (!sound) {
      ++counts_.Pictures;
      return true;
    }
    int64_t samples = 0;
    const bool counted = sound_->Block(static_cast<int>(o.size), keep ? o.bytes.data() : nullptr, samples);
    o.bytes.clear();
    counts_.Samples += samples;
    return counted;
  }

  int video_, audio_;
  WmaCount* sound_;
  AsfCounts& counts_;
  Object objects_[2];
};

}  // namespace

AsfWalk CountAsfObjects(const std::string& fileName, int videoNumber, int audioNumber, WmaCount* sound,
                        AsfCounts& counts, const std::function<bool(int64_t, int64_t)>& progress) {
  counts = AsfCounts{};
  if ((audioNumber != 0 && sound == nullptr) || videoNumber == audioNumber) return AsfWalk::NotPlain;
  File file(fileName);
  const int64_t fileSize = file.Size();
  uint8_t top[30];
  if (fileSize < 30 || !file.Read(0, top, sizeof top) || std::memcmp(top, kHeaderGuid, 16) != 0)
    return AsfWalk::NotPlain;
  const uint64_t headerSize = Le(top + 16, 8);
  if (headerSize < 30 || headerSize > static_cast<uint64_t>(kMaxHeader) ||
      headerSize + kDataHead > static_cast<uint64_t>(fileSize))
    return AsfWalk::NotPlain;
  std::vector<uint8_t> header(static_cast<size_t>(headerSize) + kDataHead);
  if (!file.Read(0, header.data(), header.size())) return AsfWalk::NotPlain;
  // The file properties: one fixed packet size, and a packet count that holds (not a broadcast).
  uint64_t packetSize = 0;
  for (size_t at = 30; at + 24 <= headerSize;) {
    const uint64_t size = Le(&header[at + 16], 8);
    if (size < 24 || size > headerSize - at) return AsfWalk::NotPlain;
    if (std::memcmp(&header[at], kFilePropertiesGuid, 16) == 0 && size >= 104) {
      const uint8_t* f = &header[at + 24];
      const uint64_t minSize = Le(f + 68, 4), maxSize = Le(f + 72, 4);
      if ((Le(f + 64, 4) & 1) != 0 || minSize != maxSize) return AsfWalk::NotPlain;
      packetSize = maxSize;
    }
    at += static_cast<size_t>(size);
  }
  const uint8_t* data = &header[static_cast<size_t>(headerSize)];
  if (packetSize == 0 || packetSize > kChunk || std::memcmp(data, kDataGuid, 16) != 0) return AsfWalk::NotPlain;
  const uint64_t dataSize = Le(data + 16, 8), packets = Le(data + 40, 8);
  // Every packet stated is in the data object and in the file.
  const uint64_t room = static_cast<uint64_t>(fileSize) - headerSize - kDataHead;
  if (packets == 0 || packets > room / packetSize || dataSize != kDataHead + packets * packetSize) return AsfWalk::NotPlain;

  Walker walker(videoNumber, audioNumber, sound, counts);
  const uint64_t perChunk = kChunk / packetSize;
  std::vector<uint8_t> buf(static_cast<size_t>(perChunk * packetSize));
  int64_t pos = static_cast<int64_t>(headerSize) + kDataHead;
  for (uint64_t done = 0; done < packets;) {
    const uint64_t n = std::min(perChunk, packets - done);
    if (!file.Read(pos, buf.data(), static_cast<size_t>(n * packetSize))) return AsfWalk::NotPlain;
    for (uint64_t i = 0; i < n; ++i)
      if (!walker.Packet(buf.data() + i * packetSize, static_cast<size_t>(packetSize))) return AsfWalk::NotPlain;
    done += n;
    pos += static_cast<int64_t>(n * packetSize);
    if (progress && !progress(pos, fileSize)) return AsfWalk::Stopped;
  }
  if (!walker.Finish()) return AsfWalk::NotPlain;
  int64_t tail = 0;
  if (audioNumber != 0) {
    if (!sound->Tail(tail)) return AsfWalk::NotPlain;
    counts.Samples += tail;
  }
  return AsfWalk::Counted;
}

}  // namespace tavelo::ffreader
