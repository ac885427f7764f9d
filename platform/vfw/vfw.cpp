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

#include "ffreader/ff_kept_threads.h"
#include "platform/vfw/avi_riff.h"
#include "platform/vfw/vfw_decompress.h"

namespace tavelo::platform {

namespace {

constexpr uint32_t kVids = streamtypeVIDEO;

std::atomic<int32_t> g_initCount{0};

// The AVI unit is asked about every movie no other unit claims (MP4 among them): a file that is
// not a RIFF AVI file is refused on its first 12 bytes, before its first and last 64 KB are read
// for the layout cache and before a thread is started to parse it.
bool RiffAviHead(int fd) {
  uint8_t head[12];
  return ReadAt(fd, 0, head, sizeof head) && std::memcmp(head, "RIFF", 4) == 0 && std::memcmp(head + 8, "AVI ", 4) == 0;
}

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

namespace {

// A frame decompressor with the descriptor of the file it reads through, so that it can outlive
// the file object that made it.
struct KeptDecompressor {
  std::shared_ptr<const AviLayout> Layout;  // what the decompressor points into (freed last)
  int Fd = -1;
  FrameDecompressor Decompressor;
  int Stream = -1;
  bool Wanted = false;  // opened for a format asked for (else the decoder's own)
  BITMAPINFOHEADER WantedHeader{};
  KeptDecompressor() = default;
  KeptDecompressor(const KeptDecompressor&) = delete;
  KeptDecompressor& operator=(const KeptDecompressor&) = delete;
  ~KeptDecompressor() {
    if (Fd >= 0) close(Fd);
  }
  bool Serves(const AviLayout* layout, int stream, const BITMAPINFOHEADER* wanted) const {
    if (layout != Layout.get() || stream != Stream || (wanted != nullptr) != Wanted) return false;
    return wanted == nullptr || std::memcmp(wanted, &WantedHeader, sizeof WantedHeader) == 0;
  }
};

// The decompressor given back last for a kept layout, or made ahead for it with its first
// picture: the open that describes a file and the one that opens it next each ask for a
// decompressor and its first picture, which costs a decoder's set-up and a decode.
struct SpareSlot {
  std::mutex Lock;
  std::unique_ptr<KeptDecompressor> Kept;
  std::unique_ptr<KeptDecompressor> Take(const AviLayout* layout, int stream, const BITMAPINFOHEADER* wanted) {
    std::lock_guard<std::mutex> lock(Lock);
    if (Kept == nullptr || !Kept->Serves(layout, stream, wanted)) return nullptr;
    return std::move(Kept);
  }
  void Put(std::unique_ptr<KeptDecompressor> k) {
    {
      std::lock_guard<std::mutex> lock(Lock);
      Kept.swap(k);
    }
    // The one it replaces is freed outside the lock.
  }
};

}  // namespace

struct AviFileRec {
  std::atomic<uint32_t> Refs{1};
  int Fd = -1;
  std::shared_ptr<const AviLayout> Layout;  // shared with the layout cache and later opens
  std::shared_ptr<SpareSlot> Spare;         // nullptr when the layout is not kept
  ~AviFileRec() {
    if (Fd >= 0) close(Fd);
  }
};

struct AviStreamRec {
  std::atomic<uint32_t> Refs{1};
  AviFileRec* File = nullptr;
  int Index = 0;
  const AviStreamData& Data() const { return File->Layout->Streams[static_cast<size_t>(Index)]; }
  // Chunk numbers of a picture stream's key frames, ascending.
  const std::vector<int64_t>& KeyChunks() const { return Data().KeyChunks; }
};

namespace {

// A read-ahead: run by a kept thread, or by the open that needs its layout when no thread has
// taken it up yet (a loaded machine may leave the thread waiting for a processor).
struct ReadAheadJob;

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
    std::vector<uint8_t> Head, Tail;  // empty in the cache's own keys (the parse holds them)
    bool SameFile(const Stamp& o) const {
      return Name == o.Name && Size == o.Size && Time == o.Time && Device == o.Device && Inode == o.Inode;
    }
  };
  // The file as fstat sees it: name, size, time, device and inode.
  static bool Identity(int fd, const char* name, Stamp& s) {
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) return false;
    s.Name = name;
    s.Size = st.st_size;
    s.Time = static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
    s.Device = static_cast<uint64_t>(st.st_dev);
    s.Inode = static_cast<uint64_t>(st.st_ino);
    return true;
  }
  // The file's first and last 64 KB, where the headers and the index lie.
  static constexpr int64_t kEnds = 64 << 10;
  static bool ReadEnds(int fd, int64_t size, std::vector<uint8_t>& head, std::vector<uint8_t>& tail) {
    const int64_t h = std::min(size, kEnds);
    const int64_t t = std::min(size - h, kEnds);
    head.resize(static_cast<size_t>(h));
    tail.resize(static_cast<size_t>(t));
    return ReadAt(fd, 0, head.data(), h) && ReadAt(fd, size - t, tail.data(), t);
  }
  // A parse: the layout (nullptr when the parse failed) and the file's ends as it read them.
  struct Parsed {
    std::shared_ptr<const AviLayout> Layout;
    std::vector<uint8_t> Head, Tail;
  };
  using Pending = std::shared_future<Parsed>;
  struct Item {
    Stamp Key;
    Pending Layout;
    std::shared_ptr<SpareSlot> Spare;
    std::shared_ptr<ReadAheadJob> Job;  // the read-ahead making Layout, if any
  };
  // Whether a layout is kept (or being read) for the file as fstat sees it.
  bool Holds(const Stamp& identity) {
    std::lock_guard<std::mutex> lock(mutex_);
    return std::any_of(items_.begin(), items_.end(), [&](const Item& i) { return i.Key.SameFile(identity); });
  }
  // The item kept for the file (its parse may still run; its ends are compared by the caller);
  // an item whose Layout is not valid when there is none.
  Item Find(const Stamp& stamp) {
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto it = items_.begin(); it != items_.end(); ++it) {
      if (!it->Key.SameFile(stamp)) continue;
      items_.splice(items_.begin(), items_, it);
      return items_.front();
    }
    return {};
  }
  // Keeps a layout; returns the items it no longer keeps (the file's earlier layouts and the
  // oldest), for the caller to free outside the lock: a kept decompressor frees its decoder.
  std::list<Item> Keep(Stamp stamp, Pending layout, std::shared_ptr<SpareSlot> spare,
                       std::shared_ptr<ReadAheadJob> job = nullptr) {
    stamp.Head.clear();
    stamp.Tail.clear();
    std::list<Item> dropped;
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto it = items_.begin(); it != items_.end();) {
      auto next = std::next(it);
      if (it->Key.Name == stamp.Name) dropped.splice(dropped.end(), items_, it);
      it = next;
    }
    items_.push_front(Item{std::move(stamp), std::move(layout), std::move(spare), std::move(job)});
    if (items_.size() > kKept) dropped.splice(dropped.end(), items_, std::prev(items_.end()));
    return dropped;
  }
  std::shared_ptr<SpareSlot> Keep(Stamp stamp, std::shared_ptr<const AviLayout> layout) {
    std::promise<Parsed> made;
    made.set_value(Parsed{std::move(layout), std::move(stamp.Head), std::move(stamp.Tail)});
    auto spare = std::make_shared<SpareSlot>();
    Keep(std::move(stamp), made.get_future().share(), spare);
    return spare;
  }
  // Frees the decompressors kept (the last user of the interface has gone).
  void DropSpares() {
    std::list<std::unique_ptr<KeptDecompressor>> dropped;
    std::lock_guard<std::mutex> lock(mutex_);
    for (Item& item : items_) {
      std::lock_guard<std::mutex> slot(item.Spare->Lock);
      dropped.push_back(std::move(item.Spare->Kept));
    }
  }

 private:
  static constexpr size_t kKept = 2;
  std::mutex mutex_;
  std::list<Item> items_;  // most recent first
};

LayoutCache& Layouts() {
  static LayoutCache cache;
  return cache;
}

struct ReadAheadJob {
  std::atomic<bool> Taken{false};
  std::packaged_task<LayoutCache::Parsed()> Work;
  // Runs the work unless another thread took it up first.
  void RunOnce() {
    if (!Taken.exchange(true)) Work();
  }
};

// The threads that read layouts ahead, kept for the next file: starting a thread for every open
// cost as much as a tenth of a short file's open. A read-ahead never waits behind another one
// (an hour's index takes a while): a new thread starts when none is free, up to a few.
class ReadAheadThreads {
 public:
  using Task = std::shared_ptr<ReadAheadJob>;
  // Ends the threads once what they run or wait for is done; a later read-ahead starts them again.
  void Stop() {
    std::unique_ptr<ffreader::KeptThreads> ending;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      ending.swap(threads_);
    }
  }
  void Post(Task task) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      try {
        if (threads_ == nullptr) threads_ = std::make_unique<ffreader::KeptThreads>(kMaxThreads, true, ended_);
        ffreader::KeptThreads::Job job{[task] { task->RunOnce(); }, {}, {}};
        threads_->Add(job);
        return;
      } catch (...) {
        // No thread: the task runs here (the open that needs it would run it too).
      }
    }
    task->RunOnce();
  }

 private:
  static constexpr size_t kMaxThreads = 4;
  std::mutex mutex_;
  std::atomic<bool> ended_{false};
  std::unique_ptr<ffreader::KeptThreads> threads_;
};

ReadAheadThreads& ReadAhead() {
  static ReadAheadThreads threads;
  return threads;
}

// Whether the file open as fd still begins and ends with head and tail (read into one block,
// not kept).
bool SameEnds(int fd, int64_t size, const std::vector<uint8_t>& head, const std::vector<uint8_t>& tail) {
  const int64_t h = std::min(size, LayoutCache::kEnds);
  const int64_t t = std::min(size - h, LayoutCache::kEnds);
  if (static_cast<int64_t>(head.size()) != h || static_cast<int64_t>(tail.size()) != t) return false;
  const std::unique_ptr<uint8_t[]> now(new uint8_t[static_cast<size_t>(std::max<int64_t>(h, 1))]);
  auto same = [&](int64_t at, const std::vector<uint8_t>& kept) {
    return kept.empty() || (ReadAt(fd, at, now.get(), static_cast<int64_t>(kept.size())) &&
                            std::memcmp(now.get(), kept.data(), kept.size()) == 0);
  };
  return same(0, head) && same(size - t, tail);
}

// The layout of the file open as fd: the cached one while the file is unchanged, else parsed;
// spare receives the slot of kept decompressors when the layout is kept.
std::shared_ptr<const AviLayout> LayoutOf(int fd, const char* name, std::shared_ptr<SpareSlot>& spare) {
  LayoutCache::Stamp stamp;
  const bool known = LayoutCache::Identity(fd, name, stamp);
  if (known) {
    // (A parse begun by AviFilePrefetch is waited for.)
    if (auto kept = Layouts().Find(stamp); kept.Layout.valid()) {
      if (kept.Job != nullptr) kept.Job->RunOnce();
      try {
        const LayoutCache::Parsed& parsed = kept.Layout.get();
        if (parsed.Layout != nullptr && SameEnds(fd, stamp.Size, parsed.Head, parsed.Tail)) {
          spare = std::move(kept.Spare);
          return parsed.Layout;
        }
      } catch (const std::future_error&) {
        // A read-ahead that never ran (the program is ending): parsed here.
      }
    }
  }
  const bool stamped = known && LayoutCache::ReadEnds(fd, stamp.Size, stamp.Head, stamp.Tail);
  auto layout = std::make_shared<AviLayout>();
  if (!ParseAvi(fd, *layout, AviParseOptions{})) return nullptr;
  if (stamped) spare = Layouts().Keep(std::move(stamp), layout);
  return layout;
}

// The first picture stream's decompressor, opened for the decoder's own depth with its first
// picture made, as an open's test of the stream asks for them; nullptr when there is none.
std::unique_ptr<KeptDecompressor> FirstPictureAhead(const std::shared_ptr<const AviLayout>& layout, int fd) {
  for (size_t i = 0; i < layout->Streams.size(); ++i) {
    const AviStreamData& d = layout->Streams[i];
    if (d.Header.Type != kVids) continue;
    auto kept = std::make_unique<KeptDecompressor>();
    kept->Layout = layout;
    kept->Stream = static_cast<int>(i);
    if (!kept->Decompressor.Open(d, d.KeyChunks, fd, nullptr)) return nullptr;
    kept->Decompressor.Frame(0);
    kept->Fd = fd;
    return kept;
  }
  return nullptr;
}

}  // namespace

void AviFilePrefetch(const char* fileName) {
  if (fileName == nullptr || *fileName == 0) return;
  const int fd = open(fileName, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return;
  if (!RiffAviHead(fd)) {
    close(fd);
    return;
  }
  bool handed = false;  // the task closes fd
  try {
    LayoutCache::Stamp identity;
    // A layout kept for the file as it stands: the open compares the file's ends with it.
    if (!LayoutCache::Identity(fd, fileName, identity) || Layouts().Holds(identity)) {
      close(fd);
      return;
    }
    auto spare = std::make_shared<SpareSlot>();
    auto dropped = std::make_shared<std::list<LayoutCache::Item>>();
    const int64_t size = identity.Size;
    // The thread reads the file's ends and its layout, and makes the first picture the open will
    // test the stream with, while the decoder library opens the file; the decompressor reads
    // through fd from then on. What the cache stops keeping is freed there too.
    auto job = std::make_shared<ReadAheadJob>();
    job->Work = std::packaged_task<LayoutCache::Parsed()>([fd, size, spare, dropped]() {
      dropped->clear();
      LayoutCache::Parsed parsed;
      auto layout = std::make_shared<AviLayout>();
      if (!LayoutCache::ReadEnds(fd, size, parsed.Head, parsed.Tail) || !ParseAvi(fd, *layout, AviParseOptions{})) {
        close(fd);
        return parsed;
      }
      parsed.Layout = std::move(layout);
      std::unique_ptr<KeptDecompressor> first;
      try {
        first = FirstPictureAhead(parsed.Layout, fd);
      } catch (...) {
        first = nullptr;
      }
      if (first != nullptr) spare->Put(std::move(first));
      else close(fd);
      return parsed;
    });
    auto pending = job->Work.get_future().share();
    *dropped = Layouts().Keep(std::move(identity), std::move(pending), std::move(spare), job);
    handed = true;
    ReadAhead().Post(std::move(job));
  } catch (...) {
    // No memory: the open parses the file itself.
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
  // The last user has gone: nothing is decoded or read ahead for it any more (the program's end
  // then finds no thread of ours running into the libraries it unloads).
  if (n == 1) {
    ReadAhead().Stop();
    Layouts().DropSpares();
  }
}

HRESULT AVIFileOpen(PAVIFILE* file, const char* fileName, uint32_t mode, const CLSID* handler) {
  if (file == nullptr) return AVIERR_BADPARAM;
  *file = nullptr;
  if (fileName == nullptr || *fileName == 0) return AVIERR_BADPARAM;
  if (handler != nullptr && !SameClsid(*handler, CLSID_AVIFile)) return REGDB_E_CLASSNOTREG;
  if ((mode & 3) != OF_READ || (mode & OF_CREATE)) return AVIERR_READONLY;
  std::unique_ptr<AviFileRec> rec(new (std::nothrow) AviFileRec);
  if (rec == nullptr) return AVIERR_MEMORY;
  rec->Fd = open(fileName, O_RDONLY | O_CLOEXEC);
  if (rec->Fd < 0) return AVIERR_FILEOPEN;
  if (!RiffAviHead(rec->Fd)) return AVIERR_BADFORMAT;

  try {
    rec->Layout = LayoutOf(rec->Fd, fileName, rec->Spare);
  } catch (...) {
    return AVIERR_MEMORY;
  }
  if (rec->Layout == nullptr) return AVIERR_BADFORMAT;
  // From here the handle's reference count owns it (AVIFileRelease).
  Register(rec.get());
  *file = rec.release();
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
  const auto& keys = stream->KeyChunks();
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
  std::unique_ptr<KeptDecompressor> Kept;
};

PGETFRAME AVIStreamGetFrameOpen(PAVISTREAM stream, const BITMAPINFOHEADER* wanted) {
  if (!IsLive(stream) || stream->Data().Header.Type != kVids) return nullptr;
  std::unique_ptr<AviGetFrameRec> rec(new (std::nothrow) AviGetFrameRec);
  if (rec == nullptr) return nullptr;
  try {
    // The decompressor the file's last one left (or the read-ahead made), when it was opened
    // for the same stream and format.
    AviFileRec* file = stream->File;
    if (file->Spare != nullptr) rec->Kept = file->Spare->Take(file->Layout.get(), stream->Index, wanted);
    if (rec->Kept == nullptr) {
      auto kept = std::make_unique<KeptDecompressor>();
      kept->Layout = file->Layout;
      kept->Stream = stream->Index;
      kept->Wanted = wanted != nullptr;
      if (wanted != nullptr) kept->WantedHeader = *wanted;
      kept->Fd = fcntl(file->Fd, F_DUPFD_CLOEXEC, 0);
      if (kept->Fd < 0 || !kept->Decompressor.Open(stream->Data(), stream->KeyChunks(), kept->Fd, wanted))
        return nullptr;
      rec->Kept = std::move(kept);
    }
  } catch (...) {
    return nullptr;
  }
  rec->Stream = stream;
  ++stream->Refs;
  // Owned by the handle from here: AVIStreamGetFrameClose frees it.
  Register(rec.get());
  return rec.release();
}

void* AVIStreamGetFrame(PGETFRAME getFrame, int32_t position) {
  if (!IsLive(getFrame)) return nullptr;
  try {
    return getFrame->Kept->Decompressor.Frame(position);
  } catch (...) {
    return nullptr;
  }
}

bool AVIStreamGetFrameInto(PGETFRAME getFrame, int32_t position, int32_t width, int32_t height, int32_t bits,
                           void* dest, ptrdiff_t stride, uint8_t* colours) {
  if (!IsLive(getFrame)) return false;
  try {
    return getFrame->Kept->Decompressor.FrameInto(position, width, height, bits, static_cast<uint8_t*>(dest), stride,
                                            colours);
  } catch (...) {
    return false;
  }
}

HRESULT AVIStreamGetFrameClose(PGETFRAME getFrame) {
  if (!IsLive(getFrame)) return AVIERR_BADHANDLE;
  Unregister(getFrame);
  // Kept for the next open of the unchanged file, which asks for the same first picture.
  if (const auto& spare = getFrame->Stream->File->Spare; spare != nullptr && g_initCount.load() > 0) {
    try {
      getFrame->Kept->Decompressor.Rest();
      spare->Put(std::move(getFrame->Kept));
    } catch (...) {
      // Not kept: freed with the object.
    }
  }
  AVIStreamRelease(getFrame->Stream);
  delete getFrame;
  return AVIERR_OK;
}

int32_t AviLiveObjects() {
  std::lock_guard<std::mutex> lock(g_liveLock);
  return static_cast<int32_t>(Live().size());
}

}  // namespace tavelo::platform
