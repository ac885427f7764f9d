#include "ffreader/ff_asf_walk.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

#include "ffreader/ff_kept_threads.h"

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
// A sound block is at most this large (the block alignment is 16 bits): the bytes of larger
// objects are never needed.
constexpr uint64_t kMaxKeptObject = 0xFFFF;
// Read at a time, and progress told after each (as the demuxer scan tells it every quarter megabyte).
constexpr size_t kChunk = 1 << 18;
// A part of the walk is at least this much of the file: waking a thread costs microseconds, and
// reading a megabyte about a tenth of a millisecond.
constexpr uint64_t kPartBytes = 1 << 20;
constexpr uint64_t kMaxParts = 64;
// Kept threads asked to help, at most (and half the cores).
constexpr uint64_t kMaxHelpers = 4;
constexpr int kStreams = 128;  // stream numbers are 7 bits

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

bool ReadAt(int fd, int64_t pos, uint8_t* dest, size_t n) {
  while (n > 0) {
    const ssize_t got = ::pread(fd, dest, n, static_cast<off_t>(pos));
    if (got <= 0) return false;
    dest += got;
    pos += got;
    n -= static_cast<size_t>(got);
  }
  return true;
}

// Where the packets lie.
struct Layout {
  int64_t FileSize = 0;
  int64_t DataStart = 0;  // the first packet
  uint64_t PacketSize = 0;
  uint64_t Packets = 0;
};

// False when the file is not ASF, or its header shows packets of varying size, a count of packets
// that does not hold (a broadcast) or more packets than the file holds.
bool ReadLayout(int fd, Layout& l) {
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) return false;
  l.FileSize = st.st_size;
  uint8_t top[30];
  if (l.FileSize < 30 || !ReadAt(fd, 0, top, sizeof top) || std::memcmp(top, kHeaderGuid, 16) != 0) return false;
  const uint64_t headerSize = Le(top + 16, 8);
  if (headerSize < 30 || headerSize > static_cast<uint64_t>(kMaxHeader) ||
      headerSize + kDataHead > static_cast<uint64_t>(l.FileSize))
    return false;
  std::vector<uint8_t> header(static_cast<size_t>(headerSize) + kDataHead);
  if (!ReadAt(fd, 0, header.data(), header.size())) return false;
  for (size_t at = 30; at + 24 <= headerSize;) {
    const uint64_t size = Le(&header[at + 16], 8);
    if (size < 24 || size > headerSize - at) return false;
    if (std::memcmp(&header[at], kFilePropertiesGuid, 16) == 0 && size >= 104) {
      const uint8_t* f = &header[at + 24];
      const uint64_t minSize = Le(f + 68, 4), maxSize = Le(f + 72, 4);
      if ((Le(f + 64, 4) & 1) != 0 || minSize != maxSize) return false;
      l.PacketSize = maxSize;
    }
    at += static_cast<size_t>(size);
  }
  const uint8_t* data = &header[static_cast<size_t>(headerSize)];
  if (l.PacketSize == 0 || l.PacketSize > kChunk || std::memcmp(data, kDataGuid, 16) != 0) return false;
  const uint64_t dataSize = Le(data + 16, 8);
  l.Packets = Le(data + 40, 8);
  // Every packet stated is in the data object and in the file.
  const uint64_t room = static_cast<uint64_t>(l.FileSize) - headerSize - kDataHead;
  if (l.Packets == 0 || l.Packets > room / l.PacketSize || dataSize != kDataHead + l.Packets * l.PacketSize)
    return false;
  l.DataStart = static_cast<int64_t>(headerSize) + kDataHead;
  return true;
}

// An object of a stream as one part of the walk saw it end: its bytes in the part (all of them
// unless it began before the part), kept while it may be one of the stream's first objects and is
// small enough to be a sound block.
struct Ended {
  bool Kept = false;
  std::vector<uint8_t> Bytes;
};

// What one part of the walk found of one stream.
struct StreamPart {
  bool Touched = false;  // a payload of the stream lies in the part
  bool Broken = false;   // an object not sent whole and in order
  bool Big = false;      // an object begun here claims more than a sound block could hold
  // The part's first payload continues an object begun before the part.
  bool Lead = false;
  uint64_t LeadSize = 0, LeadOffset = 0;
  // The object being gathered (left open at the part's end when it goes on in the next part).
  bool Open = false;
  bool Keeping = false;  // its bytes are kept
  uint64_t Size = 0, Got = 0;
  std::vector<uint8_t> Bytes;
  int64_t Objects = 0;      // objects ended in the part
  uint64_t ObjectSize = 0;  // their size, while all have the same
  bool OneSize = true;
  std::vector<Ended> First;  // the first objects ended in the part (WmaCount::kChecked at most)

  void Payload(bool fileStart, uint64_t size, uint64_t offset, const uint8_t* data, uint64_t len) {
    const bool first = !Touched;
    Touched = true;
    if (Broken) return;
    if (!Open) {
      if (offset != 0) {
        // Only the part's first payload may continue an object, and none the file's first.
        if (!first || fileStart || offset >= size) {
          Broken = true;
          return;
        }
        Lead = true;
        LeadSize = size;
        LeadOffset = offset;
      } else if (size == 0) {
        Broken = true;
        return;
      }
      Big = Big || (offset == 0 && size > kMaxBlock);
      Open = true;
      Keeping = First.size() < static_cast<size_t>(WmaCount::kChecked) && size <= kMaxKeptObject;
      Size = size;
      Got = offset;
    } else if (offset != Got || size != Size) {
      Broken = true;
      return;
    }
    if (len > Size - Got) {
      Broken = true;
      return;
    }
    if (Keeping) Bytes.insert(Bytes.end(), data, data + len);
    Got += len;
    if (Got < Size) return;
    Open = false;
    ObjectSize = Objects == 0 ? Size : ObjectSize;
    OneSize = OneSize && Size == ObjectSize;
    ++Objects;
    if (First.size() < static_cast<size_t>(WmaCount::kChecked)) First.push_back(Ended{Keeping, std::move(Bytes)});
    Bytes.clear();
  }
};

struct Part {
  uint64_t From = 0, To = 0;  // its packets
  bool Plain = true;          // every packet laid out plainly (and the part walked to its end)
  std::vector<StreamPart> Streams;  // those seen, in the order first seen
  uint8_t Slot[kStreams] = {};      // by stream number: 1 + where in Streams (0: not seen)

  const StreamPart* Find(int number) const {
    return Slot[number] == 0 ? nullptr : &Streams[static_cast<size_t>(Slot[number] - 1)];
  }
  StreamPart& At(int number) {
    if (Slot[number] == 0) {
      Streams.emplace_back();
      Slot[number] = static_cast<uint8_t>(Streams.size());
    }
    return Streams[static_cast<size_t>(Slot[number] - 1)];
  }

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
      // (Stream numbers run from 1: a payload of stream 0 belongs to no stream.)
      if (stream != 0) At(stream).Payload(From == 0, objectSize, offset, c.p + c.at, len);
      c.Skip(len);
    }
    return c.ok;
  }
};

}  // namespace

struct AsfObjectWalk::State {
  int Fd = -1;
  Layout L;
  std::vector<Part> Parts;
  std::atomic<size_t> NextPart{0};  // the first part no one has taken
  std::atomic<int64_t> Walked{0};   // bytes of packets walked, over all parts
  std::atomic<bool> Cancel{false};
  std::mutex M;
  std::condition_variable Cv;
  size_t PartsDone = 0;

  ~State() {
    if (Fd >= 0) ::close(Fd);
  }

  // Walks parts no one has taken until there are none; tell (when given) hears of every run read.
  void WalkParts(const std::function<bool()>& tell = {}) {
    for (size_t i = NextPart++; i < Parts.size(); i = NextPart++) {
      Walk(Parts[i], tell);
      std::lock_guard<std::mutex> lock(M);
      ++PartsDone;
      Cv.notify_all();
    }
  }

  void Walk(Part& part, const std::function<bool()>& tell) {
    const uint64_t perChunk = std::max<uint64_t>(1, kChunk / L.PacketSize);
    std::vector<uint8_t> buf(static_cast<size_t>(std::min(perChunk, part.To - part.From) * L.PacketSize));
    for (uint64_t at = part.From; at < part.To && part.Plain;) {
      const uint64_t n = std::min(perChunk, part.To - at);
      const int64_t pos = L.DataStart + static_cast<int64_t>(at * L.PacketSize);
      if (Cancel.load() || !ReadAt(Fd, pos, buf.data(), static_cast<size_t>(n * L.PacketSize))) {
        part.Plain = false;
        break;
      }
      for (uint64_t i = 0; i < n && part.Plain; ++i)
        part.Plain = part.Packet(buf.data() + i * L.PacketSize, static_cast<size_t>(L.PacketSize));
      at += n;
      Walked += static_cast<int64_t>(n * L.PacketSize);
      if (tell && !tell()) Cancel = true;
    }
  }
};

AsfObjectWalk::AsfObjectWalk(std::shared_ptr<State> state) : state_(std::move(state)) {}

AsfObjectWalk::~AsfObjectWalk() { state_->Cancel = true; }

namespace {

// Asks kept threads to walk parts of s: one now, which asks for the next when it starts.
void Help(const std::shared_ptr<AsfObjectWalk::State>& s, uint64_t helpers) {
  if (helpers == 0) return;
  KeptThreads::Job job;
  job.Run = [s, helpers] {
    Help(s, helpers - 1);
    s->WalkParts();
  };
  job.BreakOff = [st = s.get()] { st->Cancel = true; };
  try {
    if (KeptThreads* threads = JobThreads()) threads->Add(job);
  } catch (...) {  // (no thread: the caller walks)
  }
}

}  // namespace

std::unique_ptr<AsfObjectWalk> StartAsfObjectWalk(const std::string& fileName, int parts) {
  if (fileName.find('\0') != std::string::npos) return nullptr;
  auto s = std::make_shared<AsfObjectWalk::State>();
  // (Not blocking on a FIFO: ReadLayout takes regular files only.)
  s->Fd = ::open(fileName.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (s->Fd < 0 || !ReadLayout(s->Fd, s->L)) return nullptr;
  static const uint64_t cores = std::max(1u, std::thread::hardware_concurrency());
  if (parts <= 0) parts = static_cast<int>(std::clamp<uint64_t>(s->L.Packets * s->L.PacketSize / kPartBytes, 1, kMaxParts));
  const uint64_t n = std::min<uint64_t>(static_cast<uint64_t>(parts), s->L.Packets);
  s->Parts.resize(static_cast<size_t>(n));
  for (uint64_t i = 0; i < n; ++i) {
    s->Parts[i].From = s->L.Packets * i / n;
    s->Parts[i].To = s->L.Packets * (i + 1) / n;
  }
  // Kept threads take parts while the caller opens the demuxer; the caller takes what is left
  // when it comes to count (so a machine too busy to run them costs no more than walking alone).
  // The caller wakes one, which wakes the others: each wake-up costs the waker time.
  const uint64_t helpers = std::min<uint64_t>(n, std::clamp<uint64_t>(cores / 2, 1, kMaxHelpers));
  Help(s, helpers);
  return std::make_unique<AsfObjectWalk>(s);
}

namespace {

// Walks the parts no kept thread has taken and waits for the others. Progress is told where a
// walk from end to end would tell it: after each run it reads, here on the caller's thread.
// False when progress asked to stop.
bool WalkAndWait(AsfObjectWalk::State& s, const std::function<bool(int64_t, int64_t)>& progress) {
  const int64_t step = static_cast<int64_t>(std::max<uint64_t>(1, kChunk / s.L.PacketSize) * s.L.PacketSize);
  const int64_t end = s.L.DataStart + static_cast<int64_t>(s.L.Packets * s.L.PacketSize);
  int64_t told = s.L.DataStart;
  bool stopped = false;
  const auto tell = [&] {
    const int64_t walked = s.L.DataStart + s.Walked.load();
    while (!stopped && told < end && std::min(told + step, end) <= walked) {
      told = std::min(told + step, end);
      stopped = !progress(told, s.L.FileSize);
    }
    return !stopped;
  };
  if (progress) s.WalkParts(tell);
  else s.WalkParts();
  for (bool done = false; !done && !stopped;) {
    {
      std::unique_lock<std::mutex> lock(s.M);
      const auto all = [&s] { return s.PartsDone == s.Parts.size(); };
      if (progress) {
        done = s.Cv.wait_for(lock, std::chrono::milliseconds(10), all);
      } else {
        s.Cv.wait(lock, all);
        done = true;
      }
    }
    if (progress) tell();
  }
  return !stopped;
}

// One stream's objects over the whole file, the parts joined.
struct JoinedStream {
  int64_t Objects = 0;
  uint64_t ObjectSize = 0;
  bool OneSize = true, Big = false;
  // The stream's first objects, their bytes gathered from the parts they lie in.
  std::vector<Ended> First;
};

// Adds the objects of stream part t that end in its part to first (WmaCount::kChecked at most);
// pending is the object open across parts, so far.
void GatherFirst(const StreamPart& t, Ended& pending, std::vector<Ended>& first) {
  if (first.size() >= static_cast<size_t>(WmaCount::kChecked)) return;
  const auto ends = [&first](Ended e) {
    if (first.size() < static_cast<size_t>(WmaCount::kChecked)) first.push_back(std::move(e));
  };
  size_t k = 0;
  if (t.Lead && t.Objects > 0) {
    // The object open before the part ends in it.
    pending.Kept = pending.Kept && t.First[0].Kept;
    pending.Bytes.insert(pending.Bytes.end(), t.First[0].Bytes.begin(), t.First[0].Bytes.end());
    ends(std::move(pending));
    k = 1;
  }
  for (; k < t.First.size(); ++k) ends(t.First[k]);
  if (t.Lead && t.Objects == 0) {
    // It runs through the whole part.
    pending.Kept = pending.Kept && t.Keeping;
    pending.Bytes.insert(pending.Bytes.end(), t.Bytes.begin(), t.Bytes.end());
  } else if (t.Open) {
    pending = Ended{t.Keeping, t.Bytes};
  }
}

// Joins the parts' views of stream number: an object left open at a part's end goes on at the
// next part's first payload of the stream, exactly where it stopped. False when it does not, or
// when the stream ends inside an object.
bool JoinParts(const std::vector<Part>& parts, int number, JoinedStream& j) {
  bool open = false;
  uint64_t size = 0, got = 0;
  Ended pending;
  for (const Part& part : parts) {
    const StreamPart* t = part.Find(number);
    if (t == nullptr) continue;
    if (t->Broken || (t->Lead ? !(open && size == t->LeadSize && got == t->LeadOffset) : open)) return false;
    open = t->Open;
    size = t->Size;
    got = t->Got;
    if (t->Objects > 0) {
      if (j.Objects == 0) j.ObjectSize = t->ObjectSize;
      j.OneSize = j.OneSize && t->OneSize && t->ObjectSize == j.ObjectSize;
    }
    j.Objects += t->Objects;
    j.Big = j.Big || t->Big;
    GatherFirst(*t, pending, j.First);
  }
  return !open;
}

// Adds what the sound's objects decode to (each one block) to samples; false when sound cannot
// count them.
bool CountSoundBlocks(const JoinedStream& j, WmaCount& sound, int64_t& samples) {
  // (A sound object is one block of a few kilobytes: one claiming more is not counted.)
  if (j.Big || !j.OneSize) return false;
  for (int64_t i = 0; i < j.Objects; ++i) {
    const Ended* e = i < static_cast<int64_t>(j.First.size()) ? &j.First[static_cast<size_t>(i)] : nullptr;
    int64_t block = 0;
    if (!sound.Block(static_cast<int>(j.ObjectSize), e != nullptr && e->Kept ? e->Bytes.data() : nullptr, block))
      return false;
    samples += block;
  }
  int64_t tail = 0;
  if (!sound.Tail(tail)) return false;
  samples += tail;
  return true;
}

}  // namespace

AsfWalk AsfObjectWalk::Count(int videoNumber, int audioNumber, WmaCount* sound, AsfCounts& counts,
                             const std::function<bool(int64_t, int64_t)>& progress) {
  counts = AsfCounts{};
  State& s = *state_;
  if (!WalkAndWait(s, progress)) {
    s.Cancel = true;
    return AsfWalk::Stopped;
  }
  if ((audioNumber != 0 && sound == nullptr) || videoNumber == audioNumber) return AsfWalk::NotPlain;
  for (const Part& part : s.Parts)
    if (!part.Plain) return AsfWalk::NotPlain;
  for (const int number : {videoNumber, audioNumber}) {
    if (number <= 0 || number >= kStreams) continue;
    JoinedStream j;
    if (!JoinParts(s.Parts, number, j)) return AsfWalk::NotPlain;
    if (number == videoNumber)
      counts.Pictures = j.Objects;
    else if (!CountSoundBlocks(j, *sound, counts.Samples))
      return AsfWalk::NotPlain;
  }
  return AsfWalk::Counted;
}

}  // namespace tavelo::ffreader
