#include "codecs/ffreader/ff_index_walk.h"

#include <algorithm>
#include <cstring>
#include <limits>
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
    const int64_t end = VorbisEnd(scan, astream, ends.Streams[ends.FirstSerials[static_cast<size_t>(astream)]]);
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

// Walks whose readers are gone: told to stop, and joined later (at the next reader closed, or
// when the library is unloaded), so that closing a reader does not wait for its walk to notice.
class WalkReaper {
 public:
  static WalkReaper& Get() {
    static WalkReaper reaper;
    return reaper;
  }
  // Takes walk's thread over (joins it at once when the reaper is gone: closing at unload).
  static void Retire(const std::shared_ptr<IndexWalk>& walk) {
    walk->Cancel = true;
    if (gone_.load()) {
      walk->Stop();
      return;
    }
    Get().Add(walk);
  }
  ~WalkReaper() {
    gone_ = true;
    for (auto& w : walks_) w->Stop();
  }

 private:
  void Add(const std::shared_ptr<IndexWalk>& walk) {
    std::vector<std::shared_ptr<IndexWalk>> done;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      for (auto it = walks_.begin(); it != walks_.end();) {
        bool finished = false;
        {
          std::lock_guard<std::mutex> w((*it)->M);
          finished = (*it)->Done;
        }
        if (finished) {
          done.push_back(std::move(*it));
          it = walks_.erase(it);
        } else {
          ++it;
        }
      }
      walks_.push_back(walk);
    }
    for (auto& w : done) w->Stop();  // (done: the thread is ending)
  }
  std::mutex mutex_;
  std::vector<std::shared_ptr<IndexWalk>> walks_;
  static inline std::atomic<bool> gone_{false};
};

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

void StartWalk(const std::shared_ptr<IndexWalk>& walk, WalkPart part) {
  walk->Thread = std::thread([walk, part = std::move(part)] { WalkPackets(*walk, part); });
}

void RetireWalk(const std::shared_ptr<IndexWalk>& walk) { WalkReaper::Retire(walk); }

}  // namespace tavelo::ffreader
