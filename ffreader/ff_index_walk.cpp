#include "ffreader/ff_index_walk.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <stdexcept>
#include <utility>
#include <vector>

#include "ffreader/ff_kept_threads.h"
#include "ffreader/ff_ogg_ends.h"
#include "ffreader/ff_packets.h"

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

void StartWalk(const std::shared_ptr<IndexWalk>& walk, WalkPart part) {
  KeptThreads* threads = JobThreads();
  if (threads == nullptr) throw std::runtime_error("unloading");
  KeptThreads::Job job;
  job.Run = [walk, part = std::move(part)] { WalkPackets(*walk, part); };
  // (No reader is left when the library unloads: what still runs is breaking off.)
  job.BreakOff = [w = walk.get()] { w->Cancel = true; };
  job.Dropped = [w = walk.get()] {
    std::lock_guard<std::mutex> lock(w->M);
    w->Error = "closed";
    w->EarlyDone = w->Done = true;
    w->Cv.notify_all();
  };
  threads->Add(job);
}

void RetireWalk(const std::shared_ptr<IndexWalk>& walk) { walk->Cancel = true; }

void CloseLater(std::function<void()> close) {
  KeptThreads::Job job;
  job.Run = std::move(close);
  try {
    if (KeptThreads* thread = CloserThread()) {
      thread->Add(job);
      return;
    }
  } catch (...) {  // (no thread: the caller closes)
  }
  job.Run();
}

}  // namespace tavelo::ffreader
