#include "codecs/ffreader/ff_index_walk.h"

#include <algorithm>
#include <cstring>
#include <deque>
#include <limits>
#include <stdexcept>
#include <thread>
#include <utility>
#include <vector>

#include "codecs/ffreader/ff_ogg_ends.h"
#include "codecs/ffreader/ff_packets.h"

extern "C" {
#include <libavcodec/vorbis_parser.h>
#include <libavformat/avformat.h>
#include <libavutil/intreadwrite.h>
}

namespace tavelo::ffreader {

// ---- Counts from an Ogg file's pages ----

namespace {

constexpr int64_t kNoTs = AV_NOPTS_VALUE;

// Where the samples a Vorbis stream delivers end, from its last packets: the demuxer cuts the
// last packet to the last page's granule position (the decoder drops the samples past it), but
// only when the cut fits in that packet; otherwise the packet's samples all come out.
// kNoTs when the last packets cannot be read.
int64_t VorbisEnd(Demuxer& scan, int astream, const OggStreamEnd& end) {
  AVFormatContext* fmt = scan.Fmt();
  const AVCodecParameters* par = fmt->streams[astream]->codecpar;
  const int64_t granule = end.Granule;
  scan.Keep(-1, astream);
  // From the stream's third page from the end (else by the demuxer's search for the time).
  const int err = end.Pages[0] >= 0 ? av_seek_frame(fmt, -1, end.Pages[0], AVSEEK_FLAG_BYTE)
                                    : av_seek_frame(fmt, astream, granule, AVSEEK_FLAG_BACKWARD);
  if (err < 0) return kNoTs;
  struct Last {
    uint8_t Head[8] = {};
    int Size = 0;
    int64_t Pts = kNoTs;
    int64_t Cut = 0;
  } last[2];
  int seen = 0;
  while (scan.Next(astream)) {
    const AVPacket* pkt = scan.Packet();
    if (pkt->size <= 0) continue;
    last[0] = last[1];
    Last& l = last[1];
    l.Size = std::min(pkt->size, 8);
    std::memcpy(l.Head, pkt->data, static_cast<size_t>(l.Size));
    l.Pts = pkt->pts;
    size_t sideSize = 0;
    const uint8_t* side = av_packet_get_side_data(pkt, AV_PKT_DATA_SKIP_SAMPLES, &sideSize);
    l.Cut = side != nullptr && sideSize >= 8 ? AV_RL32(side + 4) : 0;
    ++seen;
  }
  if (seen < 2 || last[1].Pts == kNoTs) return kNoTs;
  AVVorbisParseContext* vorbis = av_vorbis_parse_init(par->extradata, par->extradata_size);
  if (vorbis == nullptr) return kNoTs;
  int flags = 0;
  const int before = av_vorbis_parse_frame_flags(vorbis, last[0].Head, last[0].Size, &flags);
  const int blocks = av_vorbis_parse_frame_flags(vorbis, last[1].Head, last[1].Size, &flags);
  av_vorbis_parse_free(&vorbis);
  if (before < 0 || blocks <= 0 || flags != 0 || last[1].Pts > INT64_MAX - blocks ||
      last[1].Pts < INT64_MIN / 2)
    return kNoTs;
  const int64_t cut = last[1].Pts + blocks - granule;
  // The demuxer's cut is the one worked out here: else the packets' times are not the granules'.
  if (last[1].Cut != std::max<int64_t>(cut, 0)) return kNoTs;
  return cut > 0 && cut <= blocks ? granule : last[1].Pts + blocks;
}

// VorbisEnd worked out from the pages of the file's tail already in memory, timing the last
// packets as the demuxer does: the first packet that ends after the stream's second page from
// the end starts at that page's granule position, each next one where the one before ends
// (block sizes from each packet's first byte; the packet that ends last on that page gives the
// block size before). kNoTs where the pages do not follow that pattern (VorbisEnd reads the
// packets then): fewer than two pages, that packet begun before them, header packets, pages
// missing, a later page that ends no packet.
int64_t VorbisEndFromTail(const OggEnds& ends, uint32_t serial, const OggStreamEnd& end,
                          const AVCodecParameters* par) {
  // (A granule position of 0 before the last page makes the demuxer time the packets otherwise.)
  if (end.Pages[1] < 0 || end.Granules[1] <= 0) return kNoTs;
  // (From the third page from the end when the tail holds it: the packet before may begin there.)
  const int64_t from = end.Pages[0] >= 0 ? end.Pages[0] : end.Pages[1];
  int64_t lastPage = -1;
  for (const OggTailPage& page : ends.TailPages) {
    const int64_t offset = ends.TailFrom + static_cast<int64_t>(page.At);
    if (page.Serial != serial || offset < from) continue;
    const bool eos = (ends.Tail[page.At + 5] & 0x04) != 0;
    if (eos != (offset == end.Pages[2])) return kNoTs;
    lastPage = offset;
  }
  std::vector<OggTailPacket> packets;
  bool open = false;
  if (lastPage != end.Pages[2] || !OggTailPackets(ends, serial, from, packets, open) || open) return kNoTs;
  size_t before = packets.size();
  while (before > 0 && packets[before - 1].EndPage != end.Pages[1]) --before;
  if (before == 0 || before == packets.size()) return kNoTs;
  --before;  // the packet that ends last on the second page from the end
  AVVorbisParseContext* vorbis = av_vorbis_parse_init(par->extradata, par->extradata_size);
  if (vorbis == nullptr) return kNoTs;
  int flags = 0;
  int blocks = av_vorbis_parse_frame_flags(vorbis, packets[before].Head, packets[before].HeadSize, &flags);
  bool ok = packets[before].Size > 0 && blocks >= 0;
  int64_t pts = end.Granules[1];
  for (size_t i = before + 1; ok && i < packets.size(); ++i) {
    if (i > before + 1) ok = !__builtin_add_overflow(pts, blocks, &pts);
    blocks = av_vorbis_parse_frame_flags(vorbis, packets[i].Head, packets[i].HeadSize, &flags);
    ok = ok && packets[i].EndPage == end.Pages[2] && packets[i].Size > 0 && blocks > 0;
  }
  av_vorbis_parse_free(&vorbis);
  if (!ok || flags != 0 || pts > INT64_MAX - blocks) return kNoTs;
  const int64_t cut = pts + blocks - end.Granule;
  return cut > 0 && cut <= blocks ? end.Granule : pts + blocks;
}

}  // namespace

bool CountOggStreams(const std::string& fileName, Demuxer& scan, int vstream, int astream, int64_t& frames,
                     int64_t& samples) {
  AVFormatContext* fmt = scan.Fmt();
  const AVStream* vs = vstream >= 0 ? fmt->streams[vstream] : nullptr;
  const AVStream* as = astream >= 0 ? fmt->streams[astream] : nullptr;
  int shift = -1;
  uint32_t version = 0;
  if (vs != nullptr) {
    // The identification header (within the headers the demuxer keeps as extradata): the
    // version at bytes 7-9, the key-frame shift in 5 bits from bit 6 of byte 40.
    static const uint8_t kId[] = {0x80, 't', 'h', 'e', 'o', 'r', 'a'};
    const uint8_t* x = vs->codecpar->extradata;
    const int n = vs->codecpar->extradata_size;
    for (int i = 0; x != nullptr && i + 42 <= n; ++i) {
      if (std::memcmp(x + i, kId, sizeof kId) != 0) continue;
      const uint8_t* h = x + i;
      version = (uint32_t{h[7]} << 16) | (uint32_t{h[8]} << 8) | h[9];
      shift = ((h[40] & 0x03) << 3) | (h[41] >> 5);
      break;
    }
    if (shift < 0) return false;
  }
  OggEnds ends;
  bool complete = false;
  for (const int64_t window : {int64_t{1} << 16, int64_t{1} << 18, int64_t{1} << 21}) {
    if (!ReadOggEnds(fileName, window, ends) || ends.NewStreamSeen) return false;
    // The demuxer numbers the streams in the order their first pages come.
    if (ends.FirstSerials.size() != fmt->nb_streams) return false;
    for (const auto& [serial, end] : ends.Streams) {
      // A serial number none of the streams has: pages of a stream chained after them.
      if (std::find(ends.FirstSerials.begin(), ends.FirstSerials.end(), serial) == ends.FirstSerials.end()) return false;
    }
    complete = true;
    for (const int i : {vstream, astream})
      if (i >= 0) complete = complete && ends.Streams.count(ends.FirstSerials[static_cast<size_t>(i)]) != 0;
    if (complete) break;
  }
  if (!complete) return false;
  for (const int i : {vstream, astream}) {
    if (i < 0) continue;
    const OggStreamEnd& e = ends.Streams[ends.FirstSerials[static_cast<size_t>(i)]];
    if (!e.Ends || e.Granule < 0 || e.LastPacketEmpty) return false;
  }
  if (vs != nullptr) {
    const int64_t end = ends.Streams[ends.FirstSerials[static_cast<size_t>(vstream)]].Granule;
    // Every picture takes at least a lacing byte of the file: a count beyond that comes from a
    // forged or damaged end page, and the packets are walked instead.
    const int64_t through = TheoraFramesThrough(end, shift, version);
    if (through < 0 || __builtin_sub_overflow(through, vs->start_time, &frames) || frames <= 0 ||
        frames > ends.FileSize)
      return false;
  }
  if (as != nullptr) {
    // The first sound packet only primes the decoder (it gives no samples): the sound starts
    // where it ends. It also tells whether the decoder skips samples at the start.
    scan.Keep(-1, astream);
    if (!scan.Next(astream)) return false;
    const AVPacket* first = scan.Packet();
    size_t sideSize = 0;
    const uint8_t* side = av_packet_get_side_data(first, AV_PKT_DATA_SKIP_SAMPLES, &sideSize);
    if (first->pts == kNoTs || first->duration <= 0 || (side != nullptr && (sideSize < 4 || AV_RL32(side) != 0)))
      return false;
    int64_t start = 0;
    if (__builtin_add_overflow(first->pts, first->duration, &start)) return false;
    const uint32_t serial = ends.FirstSerials[static_cast<size_t>(astream)];
    const OggStreamEnd& last = ends.Streams[serial];
    int64_t end = kNoTs;
    // The pages give the times the demuxer gives where they are the granule positions themselves
    // (a skeleton stream's start granules would shift them).
    const bool plain = std::all_of(fmt->streams, fmt->streams + fmt->nb_streams, [](const AVStream* st) {
      return st->codecpar->codec_id == AV_CODEC_ID_THEORA || st->codecpar->codec_id == AV_CODEC_ID_VORBIS;
    });
    if (plain) end = VorbisEndFromTail(ends, serial, last, as->codecpar);
    if (end == kNoTs) end = VorbisEnd(scan, astream, last);
    // No Vorbis packet decodes to more than 8192 samples, and each takes a byte of the file at
    // least: a longer sound is a forged or damaged end page's.
    if (end == kNoTs || end <= start || __builtin_sub_overflow(end, start, &samples) ||
        samples / 8192 > ends.FileSize)
      return false;
  }
  return true;
}

// ---- The walk ----

namespace {

// The part of a file walked first: about its first megabyte.
constexpr int64_t kEarlyWalkBytes = 1 << 20;

// Walks the file's first part, then (unless that was the whole file) the whole file.
void WalkPackets(IndexWalk& walk, const WalkPart& part) {
  std::shared_ptr<const Reader::Index> index;
  std::string error;
  for (const bool early : {true, false}) {
    bool partial = false;
    try {
      index = part(early ? kEarlyWalkBytes : std::numeric_limits<int64_t>::max(), walk.Cancel, partial, error);
    } catch (...) {
      error = "out of memory";
      index.reset();
    }
    const bool whole = index != nullptr && !partial;
    std::lock_guard<std::mutex> lock(walk.M);
    if (early && !whole) {
      walk.Early = std::move(index);
      walk.EarlyDone = true;
      walk.Cv.notify_all();
      if (!walk.Cancel.load()) continue;
    }
    walk.Full = std::move(index);
    walk.Error = std::move(error);
    walk.Done = true;
    walk.Cv.notify_all();
    return;
  }
}

}  // namespace

namespace {

// The threads walks run on: started as walks need them (one for each walk running at once, so a
// new file's walk never queues behind an hour-long one still walked) and kept, each waiting for
// the next walk, until the library unloads. Waking a kept thread costs a few microseconds where
// starting one cost a tenth of a short file's open.
class WalkThreads {
 public:
  static void Start(const std::shared_ptr<IndexWalk>& walk, WalkPart part) {
    if (gone_.load()) throw std::runtime_error("unloading");
    static WalkThreads threads;
    threads.Add(walk, std::move(part));
  }
  ~WalkThreads() {
    gone_ = true;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      stop_ = true;
      // (No reader is left when the library unloads: what still runs is breaking off.)
      for (auto& job : queue_) job.Walk->Cancel = true;
      for (IndexWalk* walk : running_) walk->Cancel = true;
    }
    cv_.notify_all();
    for (auto& t : threads_) t.join();
    for (auto& job : queue_) {
      std::lock_guard<std::mutex> lock(job.Walk->M);
      job.Walk->Error = "closed";
      job.Walk->EarlyDone = job.Walk->Done = true;
      job.Walk->Cv.notify_all();
    }
  }

 private:
  struct Job {
    std::shared_ptr<IndexWalk> Walk;
    WalkPart Part;
  };
  void Add(const std::shared_ptr<IndexWalk>& walk, WalkPart part) {
    std::lock_guard<std::mutex> lock(mutex_);
    queue_.push_back({walk, std::move(part)});
    try {
      // Every walk queued has a thread of its own free for it.
      if (queue_.size() > free_) {
        running_.reserve(threads_.size() + 1);
        threads_.reserve(threads_.size() + 1);
        threads_.emplace_back([this] { Run(); });
        ++free_;
      }
    } catch (...) {
      queue_.pop_back();
      throw;
    }
    cv_.notify_one();
  }
  void Run() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
      cv_.wait(lock, [this] { return stop_ || !queue_.empty(); });
      if (stop_) return;
      Job job = std::move(queue_.front());
      queue_.pop_front();
      --free_;
      running_.push_back(job.Walk.get());
      lock.unlock();
      WalkPackets(*job.Walk, job.Part);
      lock.lock();
      running_.erase(std::find(running_.begin(), running_.end(), job.Walk.get()));
      ++free_;
      // The walk (and the index it holds, when its readers are gone) is freed outside the lock.
      lock.unlock();
      job = Job{};
      lock.lock();
    }
  }
  std::mutex mutex_;
  std::condition_variable cv_;
  std::deque<Job> queue_;
  std::vector<IndexWalk*> running_;
  std::vector<std::thread> threads_;
  size_t free_ = 0;  // threads not walking (waiting, or started and not yet waiting)
  bool stop_ = false;
  static inline std::atomic<bool> gone_{false};
};

}  // namespace

void StartWalk(const std::shared_ptr<IndexWalk>& walk, WalkPart part) { WalkThreads::Start(walk, std::move(part)); }

void RetireWalk(const std::shared_ptr<IndexWalk>& walk) { walk->Cancel = true; }

namespace {

// The thread CloseLater's closes run on, started with the first of them.
class Closer {
 public:
  // False when close is left to the caller (the library is unloading).
  static bool Add(std::function<void()>& close) {
    if (gone_.load()) return false;
    static Closer closer;
    std::lock_guard<std::mutex> lock(closer.mutex_);
    if (!closer.thread_.joinable()) closer.thread_ = std::thread([] { closer.Run(); });
    closer.queue_.push_back(std::move(close));
    closer.cv_.notify_one();
    return true;
  }
  ~Closer() {
    gone_ = true;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      stop_ = true;
    }
    cv_.notify_one();
    if (thread_.joinable()) thread_.join();
  }

 private:
  void Run() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
      cv_.wait(lock, [this] { return stop_ || !queue_.empty(); });
      if (queue_.empty()) return;  // (stopping, with every close run)
      std::function<void()> close = std::move(queue_.front());
      queue_.pop_front();
      lock.unlock();
      close();
      close = nullptr;
      lock.lock();
    }
  }
  std::mutex mutex_;
  std::condition_variable cv_;
  std::deque<std::function<void()>> queue_;
  bool stop_ = false;
  std::thread thread_;
  static inline std::atomic<bool> gone_{false};
};

}  // namespace

void CloseLater(std::function<void()> close) {
  bool queued = false;
  try {
    queued = Closer::Add(close);
  } catch (...) {  // (no thread: the caller closes)
  }
  if (!queued) close();
}

}  // namespace tavelo::ffreader
