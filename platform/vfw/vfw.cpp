#include "platform/vfw/vfw.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <future>
#include <list>
#include <memory>
#include <mutex>
#include <new>
#include <set>
#include <string>
#include <vector>

#include "platform/vfw/avi_riff.h"
#include "platform/vfw/vfw_decompress.h"

namespace tavelo::platform {

namespace {

constexpr uint32_t kVids = streamtypeVIDEO;

std::atomic<int32_t> g_initCount{0};

// Every live object, so that a released or foreign handle is refused rather than used.
std::mutex g_liveLock;
std::set<const void*>& Live() {
  static std::set<const void*> live;
  return live;
}
void Register(const void* p) {
  std::lock_guard<std::mutex> lock(g_liveLock);
  Live().insert(p);
}
void Unregister(const void* p) {
  std::lock_guard<std::mutex> lock(g_liveLock);
  Live().erase(p);
}
bool IsLive(const void* p) {
  std::lock_guard<std::mutex> lock(g_liveLock);
  return p != nullptr && Live().count(p) != 0;
}

void Widen(char16_t* dest, size_t capacity, const std::string& text) {
  size_t i = 0;
  for (; i + 1 < capacity && i < text.size(); ++i) {
    const auto c = static_cast<unsigned char>(text[i]);
    dest[i] = c < 128 ? static_cast<char16_t>(c) : u'?';
  }
  dest[i] = 0;
}

}  // namespace

struct AviFileRec {
  std::atomic<uint32_t> Refs{1};
  int Fd = -1;
  std::shared_ptr<const AviLayout> Layout;  // shared with the layout cache and later opens
  ~AviFileRec() {
    if (Fd >= 0) close(Fd);
  }
};

struct AviStreamRec {
  std::atomic<uint32_t> Refs{1};
  AviFileRec* File = nullptr;
  int Index = 0;
  std::vector<int64_t> KeyChunks;  // chunk numbers of the key frames, ascending
  const AviStreamData& Data() const { return File->Layout->Streams[static_cast<size_t>(Index)]; }
};

namespace {

// The layouts of the files opened last. A file is described and then opened (and the AVI unit
// opens it again for every description): the index of an hour's movie is a few hundred thousand
// chunks, read once while the file stays the same one: name, size, modification time in
// nanoseconds, device and inode (a file renamed into place is another file), and the bytes of
// its first and last 64 KB, where the headers and the index lie (a file written again in place
// within one tick of the file system's clock keeps its time).
class LayoutCache {
 public:
  struct Stamp {
    std::string Name;
    int64_t Size = -1, Time = 0;
    uint64_t Device = 0, Inode = 0;
    std::vector<uint8_t> Head, Tail;
    bool operator==(const Stamp&) const = default;
  };
  static bool StampOf(int fd, const char* name, Stamp& s) {
    constexpr int64_t kEnds = 64 << 10;
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) return false;
    s.Name = name;
    s.Size = st.st_size;
    s.Time = static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
    s.Device = static_cast<uint64_t>(st.st_dev);
    s.Inode = static_cast<uint64_t>(st.st_ino);
    const int64_t head = std::min(s.Size, kEnds);
    const int64_t tail = std::min(s.Size - head, kEnds);
    s.Head.resize(static_cast<size_t>(head));
    s.Tail.resize(static_cast<size_t>(tail));
    return ReadAt(fd, 0, s.Head.data(), head) && ReadAt(fd, s.Size - tail, s.Tail.data(), tail);
  }
  // A layout kept or still being parsed (a parse that failed gives nullptr); not valid when the
  // file's layout is not kept.
  using Pending = std::shared_future<std::shared_ptr<const AviLayout>>;
  Pending Find(const Stamp& stamp) {
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto it = items_.begin(); it != items_.end(); ++it) {
      if (!(it->first == stamp)) continue;
      items_.splice(items_.begin(), items_, it);
      return items_.front().second;
    }
    return {};
  }
  void Keep(const Stamp& stamp, Pending layout) {
    std::list<std::pair<Stamp, Pending>> dropped;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      for (auto it = items_.begin(); it != items_.end();) {
        auto next = std::next(it);
        if (it->first.Name == stamp.Name) dropped.splice(dropped.end(), items_, it);
        it = next;
      }
      items_.emplace_front(stamp, std::move(layout));
      if (items_.size() > kKept) dropped.splice(dropped.end(), items_, std::prev(items_.end()));
    }
    // A parse still running is waited for here, outside the lock, when its last holder goes.
  }
  void Keep(const Stamp& stamp, std::shared_ptr<const AviLayout> layout) {
    std::promise<std::shared_ptr<const AviLayout>> made;
    made.set_value(std::move(layout));
    Keep(stamp, made.get_future().share());
  }

 private:
  static constexpr size_t kKept = 2;
  std::mutex mutex_;
  std::list<std::pair<Stamp, Pending>> items_;  // most recent first
};

LayoutCache& Layouts() {
  static LayoutCache cache;
  return cache;
}

// The layout of the file open as fd: the cached one while the file is unchanged, else parsed.
std::shared_ptr<const AviLayout> LayoutOf(int fd, const char* name) {
  LayoutCache::Stamp stamp;
  const bool stamped = LayoutCache::StampOf(fd, name, stamp);
  if (stamped) {
    // (A parse begun by AviFilePrefetch is waited for.)
    if (auto kept = Layouts().Find(stamp); kept.valid()) {
      if (auto layout = kept.get()) return layout;
    }
  }
  auto layout = std::make_shared<AviLayout>();
  if (!ParseAvi(fd, *layout, AviParseOptions{})) return nullptr;
  if (stamped) Layouts().Keep(stamp, layout);
  return layout;
}

}  // namespace

void AviFilePrefetch(const char* fileName) {
  if (fileName == nullptr || *fileName == 0) return;
  const int fd = open(fileName, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return;
  bool handed = false;  // the thread closes fd
  try {
    LayoutCache::Stamp stamp;
    if (!LayoutCache::StampOf(fd, fileName, stamp) || Layouts().Find(stamp).valid()) {
      close(fd);
      return;
    }
    auto parse = [fd]() -> std::shared_ptr<const AviLayout> {
      auto layout = std::make_shared<AviLayout>();
      const bool ok = ParseAvi(fd, *layout, AviParseOptions{});
      close(fd);
      return ok ? layout : nullptr;
    };
    auto pending = std::async(std::launch::async, parse).share();
    handed = true;
    Layouts().Keep(stamp, std::move(pending));
  } catch (...) {
    // No thread or no memory: the open parses the file itself.
    if (!handed) close(fd);
  }
}

namespace {

int64_t StreamLength(const AviStreamRec* s) {
  const AviStreamData& d = s->Data();
  if (d.Header.SampleSize > 0) return d.ByteStart.empty() ? 0 : d.ByteStart.back() / d.Header.SampleSize;
  return static_cast<int64_t>(d.Chunks.size());
}

int32_t Clamp32(int64_t v) { return static_cast<int32_t>(std::clamp<int64_t>(v, INT32_MIN, INT32_MAX)); }

bool SameClsid(const CLSID& a, const CLSID& b) { return std::memcmp(&a, &b, sizeof(CLSID)) == 0; }

}  // namespace

// ---- Files ----

void AVIFileInit() { g_initCount.fetch_add(1); }

void AVIFileExit() {
  int32_t n = g_initCount.load();
  while (n > 0 && !g_initCount.compare_exchange_weak(n, n - 1)) {
  }
}

HRESULT AVIFileOpen(PAVIFILE* file, const char* fileName, uint32_t mode, const CLSID* handler) {
  if (file == nullptr) return AVIERR_BADPARAM;
  *file = nullptr;
  if (fileName == nullptr || *fileName == 0) return AVIERR_BADPARAM;
  if (handler != nullptr && !SameClsid(*handler, CLSID_AVIFile)) return REGDB_E_CLASSNOTREG;
  if ((mode & 3) != OF_READ || (mode & OF_CREATE)) return AVIERR_READONLY;
  auto* rec = new (std::nothrow) AviFileRec;
  if (rec == nullptr) return AVIERR_MEMORY;
  rec->Fd = open(fileName, O_RDONLY | O_CLOEXEC);
  if (rec->Fd < 0) {
    delete rec;
    return AVIERR_FILEOPEN;
  }
  try {
    rec->Layout = LayoutOf(rec->Fd, fileName);
  } catch (...) {
    delete rec;
    return AVIERR_MEMORY;
  }
  if (rec->Layout == nullptr) {
    delete rec;
    return AVIERR_BADFORMAT;
  }
  Register(rec);
  *file = rec;
  return AVIERR_OK;
}

uint32_t AVIFileAddRef(PAVIFILE file) {
  if (!IsLive(file)) return 0;
  return ++file->Refs;
}

uint32_t AVIFileRelease(PAVIFILE file) {
  if (!IsLive(file)) return 0;
  const uint32_t left = --file->Refs;
  if (left == 0) {
    Unregister(file);
    delete file;
  }
  return left;
}

HRESULT AVIFileGetStream(PAVIFILE file, PAVISTREAM* stream, uint32_t fccType, int32_t lParam) {
  if (stream == nullptr) return AVIERR_BADPARAM;
  *stream = nullptr;
  if (!IsLive(file)) return AVIERR_BADHANDLE;
  if (lParam < 0) return AVIERR_NODATA;
  int32_t seen = 0;
  const auto& streams = file->Layout->Streams;
  for (size_t i = 0; i < streams.size(); ++i) {
    if (fccType != 0 && streams[i].Header.Type != fccType) continue;
    if (seen++ != lParam) continue;
    auto* rec = new (std::nothrow) AviStreamRec;
    if (rec == nullptr) return AVIERR_MEMORY;
    rec->File = file;
    rec->Index = static_cast<int>(i);
    try {
      const AviStreamData& d = streams[i];
      for (size_t c = 0; c < d.Chunks.size(); ++c)
        if (d.Chunks[c].Key) rec->KeyChunks.push_back(static_cast<int64_t>(c));
    } catch (...) {
      delete rec;
      return AVIERR_MEMORY;
    }
    ++file->Refs;
    Register(rec);
    *stream = rec;
    return AVIERR_OK;
  }
  return AVIERR_NODATA;
}

HRESULT AVIFileInfoW(PAVIFILE file, AVIFILEINFOW* info, int32_t size) {
  if (!IsLive(file)) return AVIERR_BADHANDLE;
  if (info == nullptr || size < 0) return AVIERR_BADPARAM;
  const AviLayout& l = *file->Layout;
  AVIFILEINFOW full{};
  full.dwMaxBytesPerSec = l.Main.MaxBytesPerSec;
  full.dwFlags = l.Main.Flags;
  full.dwCaps = AVIFILECAPS_CANREAD;
  full.dwStreams = static_cast<uint32_t>(l.Streams.size());
  full.dwSuggestedBufferSize = l.Main.SuggestedBufferSize;
  full.dwWidth = l.Main.Width;
  full.dwHeight = l.Main.Height;
  full.dwScale = l.Main.MicroSecPerFrame;
  full.dwRate = 1000000;
  full.dwLength = std::max(l.Main.TotalFrames, l.DmlTotalFrames);
  for (const AviStreamData& s : l.Streams) {
    if (s.Header.Type == kVids) {
      full.dwLength = static_cast<uint32_t>(std::min<size_t>(s.Chunks.size(), UINT32_MAX));
      break;
    }
  }
  Widen(full.szFileType, 64, "AVI");
  std::memcpy(info, &full, std::min<size_t>(static_cast<size_t>(size), sizeof full));
  return AVIERR_OK;
}

// ---- Streams ----

uint32_t AVIStreamAddRef(PAVISTREAM stream) {
  if (!IsLive(stream)) return 0;
  return ++stream->Refs;
}

uint32_t AVIStreamRelease(PAVISTREAM stream) {
  if (!IsLive(stream)) return 0;
  const uint32_t left = --stream->Refs;
  if (left == 0) {
    Unregister(stream);
    AVIFileRelease(stream->File);
    delete stream;
  }
  return left;
}

HRESULT AVIStreamInfoW(PAVISTREAM stream, AVISTREAMINFOW* info, int32_t size) {
  if (!IsLive(stream)) return AVIERR_BADHANDLE;
  if (info == nullptr || size < 0) return AVIERR_BADPARAM;
  const AviStreamData& d = stream->Data();
  const AviStreamHeader& h = d.Header;
  AVISTREAMINFOW full{};
  full.fccType = h.Type;
  full.fccHandler = h.Handler;
  full.dwFlags = h.Flags;
  full.wPriority = h.Priority;
  full.wLanguage = h.Language;
  full.dwScale = h.Scale;
  full.dwRate = h.Rate;
  full.dwStart = h.Start;
  full.dwLength = static_cast<uint32_t>(std::clamp<int64_t>(StreamLength(stream), 0, INT32_MAX));
  full.dwInitialFrames = h.InitialFrames;
  full.dwSuggestedBufferSize = h.SuggestedBufferSize;
  full.dwQuality = h.Quality;
  full.dwSampleSize = h.SampleSize;
  full.rcFrame = RECT{h.Frame[0], h.Frame[1], h.Frame[2], h.Frame[3]};
  if (h.Type == kVids && full.rcFrame.right == 0 && full.rcFrame.bottom == 0 && d.Format.size() >= 12) {
    BITMAPINFOHEADER bi{};
    std::memcpy(&bi, d.Format.data(), std::min(d.Format.size(), sizeof bi));
    full.rcFrame.right = bi.biWidth;
    full.rcFrame.bottom = Clamp32(bi.biHeight < 0 ? -int64_t{bi.biHeight} : int64_t{bi.biHeight});
  }
  Widen(full.szName, 64, d.Name);
  std::memcpy(info, &full, std::min<size_t>(static_cast<size_t>(size), sizeof full));
  return AVIERR_OK;
}

HRESULT AVIStreamReadFormat(PAVISTREAM stream, int32_t position, void* format, int32_t* size) {
  if (!IsLive(stream)) return AVIERR_BADHANDLE;
  if (size == nullptr) return AVIERR_BADPARAM;
  std::vector<uint8_t> f;
  try {
    f = StreamFormat(stream->Data());
  } catch (...) {
    return AVIERR_MEMORY;
  }
  if (f.empty()) return AVIERR_NODATA;
  if (format != nullptr) {
    if (*size < 0) return AVIERR_BADPARAM;
    std::memcpy(format, f.data(), std::min<size_t>(static_cast<size_t>(*size), f.size()));
  }
  *size = static_cast<int32_t>(f.size());
  return AVIERR_OK;
}

HRESULT AVIStreamRead(PAVISTREAM stream, int32_t start, int32_t samples, void* buffer, int32_t bufferSize,
                      int32_t* bytesRead, int32_t* samplesRead) {
  if (bytesRead != nullptr) *bytesRead = 0;
  if (samplesRead != nullptr) *samplesRead = 0;
  if (!IsLive(stream)) return AVIERR_BADHANDLE;
  if (start < 0 || bufferSize < 0 || (samples < 0 && samples != AVISTREAMREAD_CONVENIENT)) return AVIERR_BADPARAM;
  const AviStreamData& d = stream->Data();
  const int fd = stream->File->Fd;
  const int64_t length = StreamLength(stream);
  if (start >= length) return AVIERR_OK;
  int64_t wanted = samples == AVISTREAMREAD_CONVENIENT ? length - start : std::min<int64_t>(samples, length - start);
  auto* out = static_cast<uint8_t*>(buffer);

  if (d.Header.SampleSize > 0) {
    const int64_t ss = d.Header.SampleSize;
    if (buffer == nullptr) {
      // Asked for the room: the requested samples, or for a "convenient" read the rest of the
      // chunk the position lies in.
      if (samples == AVISTREAMREAD_CONVENIENT) {
        const int64_t at = start * ss;
        const auto it = std::upper_bound(d.ByteStart.begin(), d.ByteStart.end() - 1, at);
        const int64_t chunkEnd = *it;
        wanted = std::max<int64_t>(1, (chunkEnd - at) / ss);
      }
      if (bytesRead != nullptr) *bytesRead = Clamp32(wanted * ss);
      if (samplesRead != nullptr) *samplesRead = Clamp32(wanted);
      return AVIERR_OK;
    }
    const int64_t fit = bufferSize / ss;
    if (fit < 1) {
      if (bytesRead != nullptr) *bytesRead = Clamp32(ss);
      return AVIERR_BUFFERTOOSMALL;
    }
    const int64_t n = std::min(wanted, fit);
    int64_t at = start * ss;
    const int64_t end = at + n * ss;
    size_t c = static_cast<size_t>(std::upper_bound(d.ByteStart.begin(), d.ByteStart.end() - 1, at) - d.ByteStart.begin() - 1);
    int64_t done = 0;
    while (at < end && c < d.Chunks.size()) {
      const int64_t inChunk = at - d.ByteStart[c];
      const int64_t take = std::min<int64_t>(int64_t{d.Chunks[c].Size} - inChunk, end - at);
      if (take > 0 && !ReadAt(fd, d.Chunks[c].Offset + inChunk, out + done, take)) return AVIERR_FILEREAD;
      done += std::max<int64_t>(take, 0);
      at += std::max<int64_t>(take, 0);
      ++c;
    }
    if (bytesRead != nullptr) *bytesRead = Clamp32(done);
    if (samplesRead != nullptr) *samplesRead = Clamp32(done / ss);
    return AVIERR_OK;
  }

  // Variable-size samples: each chunk is one sample, read whole or not at all.
  const size_t first = static_cast<size_t>(start);
  if (buffer == nullptr) {
    if (samples == AVISTREAMREAD_CONVENIENT) wanted = 1;
    int64_t bytes = 0;
    for (int64_t i = 0; i < wanted; ++i) bytes += d.Chunks[first + static_cast<size_t>(i)].Size;
    if (bytesRead != nullptr) *bytesRead = Clamp32(bytes);
    if (samplesRead != nullptr) *samplesRead = Clamp32(wanted);
    return AVIERR_OK;
  }
  int64_t done = 0, count = 0;
  for (; count < wanted; ++count) {
    const AviChunk& ch = d.Chunks[first + static_cast<size_t>(count)];
    if (done + ch.Size > bufferSize) break;
    if (ch.Size > 0 && !ReadAt(fd, ch.Offset, out + done, ch.Size)) return AVIERR_FILEREAD;
    done += ch.Size;
  }
  if (count == 0) {
    if (bytesRead != nullptr) *bytesRead = Clamp32(d.Chunks[first].Size);
    return AVIERR_BUFFERTOOSMALL;
  }
  if (bytesRead != nullptr) *bytesRead = Clamp32(done);
  if (samplesRead != nullptr) *samplesRead = Clamp32(count);
  return AVIERR_OK;
}

int32_t AVIStreamLength(PAVISTREAM stream) {
  if (!IsLive(stream)) return -1;
  return Clamp32(StreamLength(stream));
}

int32_t AVIStreamStart(PAVISTREAM stream) {
  if (!IsLive(stream)) return -1;
  return 0;
}

int32_t AVIStreamFindSample(PAVISTREAM stream, int32_t position, int32_t flags) {
  if (!IsLive(stream)) return -1;
  const int64_t length = StreamLength(stream);
  if (length <= 0) return -1;
  int64_t pos = position;
  bool next = (flags & FIND_NEXT) != 0;
  if (flags & FIND_FROM_START) {
    pos = 0;
    next = true;
  }
  if (next && pos >= length) return -1;
  if (!next && pos < 0) return -1;
  pos = std::clamp<int64_t>(pos, 0, length - 1);
  const AviStreamData& d = stream->Data();
  // Only picture streams have frames that depend on others.
  if (!(flags & FIND_KEY) || d.Header.Type != kVids) return Clamp32(pos);
  const auto& keys = stream->KeyChunks;
  if (next) {
    auto it = std::lower_bound(keys.begin(), keys.end(), pos);
    return it == keys.end() ? -1 : Clamp32(*it);
  }
  auto it = std::upper_bound(keys.begin(), keys.end(), pos);
  return it == keys.begin() ? -1 : Clamp32(*(it - 1));
}

// ---- Frame decompression ----

struct AviGetFrameRec {
  AviStreamRec* Stream = nullptr;
  FrameDecompressor Decompressor;
};

PGETFRAME AVIStreamGetFrameOpen(PAVISTREAM stream, const BITMAPINFOHEADER* wanted) {
  if (!IsLive(stream) || stream->Data().Header.Type != kVids) return nullptr;
  auto* rec = new (std::nothrow) AviGetFrameRec;
  if (rec == nullptr) return nullptr;
  try {
    if (!rec->Decompressor.Open(stream->Data(), stream->KeyChunks, stream->File->Fd, wanted)) {
      delete rec;
      return nullptr;
    }
  } catch (...) {
    delete rec;
    return nullptr;
  }
  rec->Stream = stream;
  ++stream->Refs;
  Register(rec);
  return rec;
}

void* AVIStreamGetFrame(PGETFRAME getFrame, int32_t position) {
  if (!IsLive(getFrame)) return nullptr;
  try {
    return getFrame->Decompressor.Frame(position);
  } catch (...) {
    return nullptr;
  }
}

bool AVIStreamGetFrameInto(PGETFRAME getFrame, int32_t position, int32_t width, int32_t height, int32_t bits,
                           void* dest, ptrdiff_t stride, uint8_t* colours) {
  if (!IsLive(getFrame)) return false;
  try {
    return getFrame->Decompressor.FrameInto(position, width, height, bits, static_cast<uint8_t*>(dest), stride,
                                            colours);
  } catch (...) {
    return false;
  }
}

HRESULT AVIStreamGetFrameClose(PGETFRAME getFrame) {
  if (!IsLive(getFrame)) return AVIERR_BADHANDLE;
  Unregister(getFrame);
  AVIStreamRelease(getFrame->Stream);
  delete getFrame;
  return AVIERR_OK;
}

int32_t AviLiveObjects() {
  std::lock_guard<std::mutex> lock(g_liveLock);
  return static_cast<int32_t>(Live().size());
}

}  // namespace tavelo::platform
