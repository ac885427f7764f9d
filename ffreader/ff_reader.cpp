#include "ffreader/ff_reader.h"

#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <limits>
#include <mutex>
#include <unordered_map>
#include <vector>

#include "ffreader/ff_asf_sound.h"
#include "ffreader/ff_asf_walk.h"
#include "ffreader/ff_avi_order.h"
#include "ffreader/ff_catch_up.h"
#include "ffreader/ff_decode.h"
#include "ffreader/ff_h264_order.h"
#include "ffreader/ff_index_walk.h"
#include "ffreader/ff_mp4_tables.h"
#include "ffreader/ff_ogg_ends.h"
#include "ffreader/ff_packets.h"
#include "ffreader/ff_present_memory.h"
#include "ffreader/ff_riff_check.h"

extern "C" {
#include <libavcodec/vorbis_parser.h>
#include <libavformat/avformat.h>
#include <libavutil/intreadwrite.h>
#include <libswresample/swresample.h>
#include <libswscale/swscale.h>
}

namespace tavelo::ffreader {

namespace {

constexpr int64_t kNoTs = AV_NOPTS_VALUE;
// Sound packets decoded ahead of the one a seek lands in and thrown away: decoders that carry
// state from packet to packet (overlapped transforms, the MPEG audio bit reservoir) have settled
// by then, so a sound read after a seek gives the same samples as reading from the start.
constexpr int64_t kAudioPreroll = 8;
// A gap in sound timestamps longer than this is not filled with silence (a broken timestamp).
constexpr int64_t kMaxGapSeconds = 10;
// At most this many decoded pictures wait between reads (decoders that reorder hold a few).
constexpr size_t kMaxQueuedFrames = 64;

int64_t EntryTs(int64_t dts, int64_t pts) { return dts != kNoTs ? dts : pts; }

// The walk's index of the first limit bytes of fileName's packets, or of all of them.
std::shared_ptr<const Reader::Index> WalkIndex(const std::string& fileName, const OpenOptions& options, int64_t limit,
                                               const std::atomic<bool>& cancel, bool& partial, std::string& error);

// The size of a file now, -1 when it cannot be found.
int64_t SizeOfFile(const std::string& name) {
  struct stat st {};
  return ::stat(name.c_str(), &st) == 0 ? static_cast<int64_t>(st.st_size) : -1;
}

}  // namespace

// What a file's index holds: built once when the file opens, never changed after that, and shared
// by every reader of the file (a reader handed on keeps it, a second reader of the same file takes
// it without reading the file again).
struct Reader::Index {
  std::string FileName;
  int64_t FileSize = -1;  // when the index was made
  std::string Error;
  std::string Container;  // what the file is, as its demuxer names it (ContainerName)

  // ---- Pictures ----
  bool HasVideo = false;
  VideoInfo VInfo;
  int VStream = -1;
  AVCodecParameters* VParams = nullptr;
  // Decode order. Display times are complete after VideoTables (AVI pictures in decoding order
  // are placed there).
  mutable std::vector<VideoEntry> VEntries;
  bool SlotMode = false;  // timestamps count frames: frame n is the picture shown at slot n
  int64_t FirstPts = 0;
  // Built from VEntries when a picture or a key frame is first asked for (VideoTables): a
  // description and an open need none of them, and for an hour of film they are megabytes.
  mutable std::once_flag VTablesMade;
  mutable std::vector<int64_t> PresOrder;     // frame -> entry (packet mode)
  mutable std::vector<int64_t> SortedPts;     // pts of PresOrder's entries, ascending
  mutable std::vector<int64_t> PrevKey;       // entry -> the last key entry at or before it (-1: none)
  mutable std::vector<int64_t> KeyFrames;     // frame numbers of the key frames, ascending
  mutable EntryTable VTable;
  mutable bool VTablesFailed = false;  // the pictures could not be placed: none can be shown
  // AVI pictures in decoding order not placed yet: their chunks, and the display times the
  // first and the last picture will have.
  mutable std::vector<AviChunkRef> PictureChunks;
  AVCodecID PictureCodec = AV_CODEC_ID_NONE;
  int64_t PlannedFirst = 0, PlannedLast = 0;
  // H.264 placed by the order counts of its slice headers (H264Order): each IDR period shows its
  // pictures at the period's own decoding times, in the order the counts give.
  bool OrderByCounts = false;
  // The palette of a palettized stream as the first packet brings it.
  std::vector<uint8_t> Palette;
  bool PaletteKnown = false;  // Palette holds what the first packet brought (else a reader reads it)

  // ---- Sound ----
  bool HasAudio = false;
  AudioInfo AInfo;
  int AStream = -1;
  AVCodecParameters* AParams = nullptr;
  std::vector<AudioEntry> AEntries;
  // Built from AEntries when the sound is first read (AudioTables).
  mutable std::once_flag ATablesMade;
  mutable EntryTable ATable;
  int64_t SkipStart = 0;  // samples the decoder drops at the start of the sound
  // The skip instructions (side data) of the packets that carry one: the demuxer attaches them
  // only while reading from the start, so they are given again after a seek.
  std::unordered_map<int64_t, std::vector<uint8_t>> ASkip;
  // A chained Ogg file's later Vorbis streams: the entry of each one's first header and the
  // decoder's parameters with its headers. A run of sound decoding that starts inside one of them
  // starts with its headers (the demuxer hands headers over in the stream, once).
  std::vector<std::pair<int64_t, AVCodecParameters*>> ALinks;

  // ---- Counts at open, packets walked after it ----
  // Set when the counts were taken from what the file stores (the granule positions of an Ogg
  // file's last pages): this index then holds the description only, and the index of the packets
  // is built by a walk that runs beside the readers.
  std::shared_ptr<IndexWalk> Later;
  bool WalkAlways = false;  // the walk's own index: the packets are walked whatever the file stores
  bool StopIsPartial = false;  // a scan stopped by its progress routine leaves an index of the part walked
  bool Partial = false;        // this index covers the file's first part only
  const std::atomic<bool>* StopFlag = nullptr;  // breaks off the walk's reading when set
  const AVInputFormat* Format = nullptr;         // the demuxer a RIFF AVI file needs, not probed for

  Index() = default;
  Index(const Index&) = delete;
  Index& operator=(const Index&) = delete;
  ~Index() {
    if (Later) RetireWalk(Later);
    avcodec_parameters_free(&VParams);
    avcodec_parameters_free(&AParams);
    for (auto& link : ALinks) avcodec_parameters_free(&link.second);
  }

  bool Fail(const std::string& why) {
    Error = why;
    return false;
  }

  static bool CopyParams(AVCodecParameters*& to, const AVCodecParameters* from) {
    to = avcodec_parameters_alloc();
    return to != nullptr && avcodec_parameters_copy(to, from) >= 0;
  }

  // ---- Opening ----

  // Builds the index from the demuxer scan opens on the file; scan is left open for the first
  // reader to decode with.
  bool Build(const OpenOptions& options, const ScanProgress& progress, Demuxer& scan) {
    // The packet headers of an ASF file are walked while the demuxer opens it.
    std::unique_ptr<AsfObjectWalk> asf = options.ScanPackets || WalkAlways ? nullptr : StartAsfObjectWalk(FileName);
    if (!RegularFile(FileName, Error)) return false;
    // One descriptor for the looks at the file's chunks below.
    const ReadOnlyFile file(FileName);
    bool avi = false;
    if (!RiffInfoTagsFit(file.Fd(), &avi)) return Fail("cannot open: an INFO tag claims more than the file holds");
    if (avi) Format = AviInputFormat();
    if (!scan.Open(FileName, Error, StopFlag, Format)) return false;
    AVFormatContext* fmt = scan.Fmt();
    Container = NameContainer(fmt);
    if (options.Video) VStream = FindStream(fmt, AVMEDIA_TYPE_VIDEO);
    if (options.Audio) AStream = FindStream(fmt, AVMEDIA_TYPE_AUDIO);
    if (VStream < 0 && AStream < 0) return Fail("no stream that can be decoded");
    if (!options.ScanPackets && !WalkAlways) {
      if (CountFromOggPages(options, scan)) return true;
      const AsfWalk counted = CountFromAsfObjects(options, scan, progress, std::move(asf));
      if (counted == AsfWalk::Stopped) return Fail("cancelled");
      if (counted == AsfWalk::Counted) return true;
    }

    FromIndex from = IndexesFromContainer(options, file, fmt);
    const int scanVideo = (VStream >= 0 && !from.Video) ? VStream : -1;
    int scanAudio = (AStream >= 0 && !from.Audio) ? AStream : -1;
    bool aviSoundFound = false;  // the first sound packet is the index's first entry
    if (VStream >= 0 && from.Video && scanAudio < 0) {
      aviSoundFound = FirstPacketsOfIndex(scan, from.Audio);
    } else if (from.Audio && scanVideo < 0) {
      scan.Keep(-1, AStream);
      if (scan.Next(AStream)) {
        KeepSkip(scan.Packet(), 0);
        aviSoundFound = scan.Packet()->pos == AEntries.front().Pos;
      }
    }
    if (from.AviSound && !aviSoundFound) {
      // The demuxer does not give the packets the index's positions: they are scanned.
      AEntries.clear();
      ASkip.clear();
      from.Audio = false;
      scanAudio = AStream;
      if (!scan.Open(FileName, Error, StopFlag, Format)) return false;
    }
    if (from.Audio) {
      LastSoundSkip(scan);
      CountIndexedSound();
    }
    if ((scanVideo >= 0 || scanAudio >= 0) && !ScanStreams(options, progress, scan, scanVideo, scanAudio)) return false;
    return FinishStreams(scan.Fmt());
  }

  // The streams whose index the demuxer's own index gives without reading their packets.
  struct FromIndex {
    bool Video = false;
    bool Audio = false;
    bool AviSound = false;  // the sound's packets are an AVI index's chunks (AviMpegSoundFromIndex)
  };

  FromIndex IndexesFromContainer(const OpenOptions& options, const ReadOnlyFile& file, AVFormatContext* fmt) {
    FromIndex from;
    if (options.ScanPackets) return from;
    const bool avi = std::strcmp(fmt->iformat->name, "avi") == 0;
    // The AVI demuxer reads the file's own index of every chunk at open: the picture index can
    // be taken from it without reading the pictures.
    if (VStream >= 0 && avi) from.Video = AviPictureIndex(file, fmt->streams[VStream]);
    // MP4 and QuickTime state every sample in their header: the demuxer's index holds them all,
    // and the display times come from the same tables.
    if (std::strncmp(fmt->iformat->name, "mov,", 4) == 0) {
      if (VStream >= 0) from.Video = VideoFromMovTables(fmt->streams[VStream]);
      // (When the pictures must be scanned, the sound is counted in the same pass.)
      if (AStream >= 0 && (VStream < 0 || from.Video)) from.Audio = AudioFromIndex(fmt->streams[AStream]);
    }
    // MPEG audio in AVI stored one frame to a chunk: its packets are the index's chunks.
    from.AviSound = AStream >= 0 && avi && (VStream < 0 || from.Video) &&
                    AviMpegSoundFromIndex(file, fmt->streams[AStream], AEntries);
    from.Audio = from.Audio || from.AviSound;
    return from;
  }

  // The picture index from an AVI file's index. A codec that stores B pictures ahead of their
  // display has decoding times only there, and the first bytes of each chunk tell the B pictures.
  bool AviPictureIndex(const ReadOnlyFile& file, AVStream* st) {
    const AVCodecParameters* par = st->codecpar;
    if (par->video_delay <= 0 || !MayReorderPictures(par->codec_id)) return IndexFromContainer(st);
    std::vector<AviChunkRef> chunks;
    if (IndexFromContainer(st, &chunks) &&
        PlanPictureOrder(file, par->codec_id, chunks, par->extradata, par->extradata_size))
      return true;
    VEntries.clear();
    return false;
  }

  // The first packets when the index gave the pictures: the first picture brings a palettized
  // stream's palette, and the first sound packet (when the index gave the sound too) its skip at
  // the start. True when that sound packet is the index's first entry.
  bool FirstPacketsOfIndex(Demuxer& scan, bool soundIndexed) {
    AVFormatContext* fmt = scan.Fmt();
    scan.Keep(VStream, soundIndexed ? AStream : -1);
    bool firstSound = !soundIndexed;
    bool firstPicture = false;
    bool found = false;
    while ((!firstSound || !firstPicture) && av_read_frame(fmt, scan.Packet()) >= 0) {
      AVPacket* pkt = scan.Packet();
      if (pkt->stream_index == VStream && !firstPicture) {
        KeepPalette(pkt);
        firstPicture = true;
      } else if (pkt->stream_index == AStream && !firstSound && pkt->size > 0) {
        KeepSkip(pkt, 0);
        firstSound = true;
        found = pkt->pos == AEntries.front().Pos;
      }
      av_packet_unref(pkt);
    }
    PaletteKnown = true;
    return found;
  }

  // Scans the packets of scanVideo and scanAudio (-1: none); false when the file cannot be
  // opened again or the scan was cancelled.
  bool ScanStreams(const OpenOptions& options, const ScanProgress& progress, Demuxer& scan, int scanVideo,
                   int scanAudio) {
    const AVFormatContext* fmt = scan.Fmt();
    // Vorbis in Ogg is counted from its block sizes, WMA from its blocks (ff_asf_sound.h), without
    // decoding; a stream the count cannot follow is scanned again and decoded.
    const AVCodecParameters* spar = scanAudio >= 0 ? fmt->streams[scanAudio]->codecpar : nullptr;
    const bool countBlocks = scanAudio >= 0 && !options.ScanPackets &&
                             ((std::strcmp(fmt->iformat->name, "ogg") == 0 && spar->codec_id == AV_CODEC_ID_VORBIS) ||
                              WmaFrameLength(spar) > 0);
    scan.Keep(scanVideo, scanAudio);
    ScanResult result = ScanPackets(scan, scanVideo, scanAudio, progress, countBlocks);
    if (result == ScanResult::Uncounted) {
      ForgetScan();
      if (!scan.Open(FileName, Error, StopFlag, Format)) return false;
      scan.Keep(scanVideo, scanAudio);
      result = ScanPackets(scan, scanVideo, scanAudio, progress, false);
    }
    if (StopFlag != nullptr && StopFlag->load()) return Fail("cancelled");
    if (result == ScanResult::Stopped) {
      if (!StopIsPartial) return Fail("cancelled");
      Partial = true;
    }
    return true;
  }

  // Describes the streams from what was gathered; false when neither can be decoded.
  bool FinishStreams(AVFormatContext* fmt) {
    if (VStream >= 0) HasVideo = FinishVideo(fmt->streams[VStream]);
    if (AStream >= 0) HasAudio = FinishAudio(fmt->streams[AStream]);
    if (!HasVideo && !HasAudio) return Fail(Error.empty() ? "no stream that can be decoded" : Error);
    if (HasVideo && !CopyParams(VParams, fmt->streams[VStream]->codecpar)) return Fail("out of memory");
    if (HasAudio && !CopyParams(AParams, fmt->streams[AStream]->codecpar)) return Fail("out of memory");
    return true;
  }

  void KeepPalette(const AVPacket* pkt) {
    size_t size = 0;
    const uint8_t* side = av_packet_get_side_data(pkt, AV_PKT_DATA_PALETTE, &size);
    if (side != nullptr && size == AVPALETTE_SIZE) Palette.assign(side, side + size);
  }

  // The demuxer's description of the file; the ISO family's one demuxer is told apart by the
  // file's major brand (QuickTime, 3GPP or MPEG-4).
  static std::string NameContainer(const AVFormatContext* fmt) {
    const AVInputFormat* f = fmt->iformat;
    if (std::strncmp(f->name, "mov,", 4) == 0) {
      const AVDictionaryEntry* brand = av_dict_get(fmt->metadata, "major_brand", nullptr, 0);
      const std::string b = brand != nullptr ? brand->value : "";
      if (b.rfind("qt", 0) == 0) return "QuickTime";
      if (b.rfind("3g", 0) == 0) return "3GPP";
      return "MPEG-4";
    }
    return f->long_name != nullptr ? f->long_name : f->name;
  }

  // chunks (when given) receives where each entry's chunk lies.
  bool IndexFromContainer(AVStream* st, std::vector<AviChunkRef>* chunks = nullptr) {
    const int n = avformat_index_get_entries_count(st);
    if (n <= 0) return false;
    std::vector<VideoEntry> entries;
    ReservePresent(entries, static_cast<size_t>(n));
    if (chunks != nullptr) ReservePresent(*chunks, static_cast<size_t>(n));
    for (int i = 0; i < n; ++i) {
      const AVIndexEntry* e = avformat_index_get_entry(st, i);
      if (e == nullptr) return false;
      // Empty chunks repeat the previous picture: they hold no packet.
      if (e->size <= 0) continue;
      if (chunks != nullptr) chunks->push_back(AviChunkRef{e->pos, e->size});
      // The index's positions are those of the chunk headers, not of the packets: entries are
      // matched by their timestamps.
      entries.push_back(VideoEntry{e->timestamp, e->timestamp, -1, (e->flags & AVINDEX_KEYFRAME) != 0});
    }
    if (entries.empty()) return false;
    // An index that stops short of the stream's stated length was built while reading (the file
    // has none of its own): the packets must be scanned.
    if (st->nb_frames > 0 && entries.back().Pts + 1 < st->nb_frames) return false;
    VEntries = std::move(entries);
    return true;
  }

  // Display times of AVI pictures stored in decoding order, as a scan of the packets gives them
  // (the demuxer's parser marks B pictures shown at their decoding time and leaves the reference
  // pictures without a display time: PlacePicturesWithoutPts), from the picture types their
  // chunks begin with. The first and the last display time, and so the frame count, follow from
  // the types of the first picture and of the last ones: the other chunks are read when the
  // pictures are first placed (OrderPictures), not at open.
  bool PlanPictureOrder(const ReadOnlyFile& file, AVCodecID codec, std::vector<AviChunkRef>& chunks,
                        const uint8_t* extradata, int extradataSize) {
    const size_t n = VEntries.size();
    if (chunks.size() != n || n == 0) return false;
    AviPictureTypes types(file, codec);
    if (codec == AV_CODEC_ID_H264) {
      // The display times are the decoding times of the pictures, reordered: the first and the
      // last are known now. The order counts are read when the pictures are placed.
      H264Order order;
      order.Parameters(extradata, extradataSize > 0 ? static_cast<size_t>(extradataSize) : 0);
      H264Order::Picture first;
      const std::vector<uint8_t>* data = types.Data(chunks.front(), 0);
      if (data != nullptr && order.Next(data->data(), data->size(), first) && order.Readable()) {
        OrderByCounts = true;
        PlannedFirst = VEntries.front().Dts;
        PlannedLast = VEntries.back().Dts;
        PictureChunks = std::move(chunks);
        PictureCodec = codec;
        return true;
      }
    }
    auto isB = [&](size_t i, bool& b) {
      char t = 0;
      if (!types.ReadShown(chunks, i, t)) return false;
      b = t == 'B';
      return true;
    };
    bool firstB = false;
    if (!isB(0, firstB)) return false;
    // The last reference picture, and whether any B picture follows it or comes at all.
    size_t lastRef = n;
    bool anyB = false;
    int64_t maxB = kNoTs;
    for (size_t i = n; i-- > 0;) {
      bool b = false;
      if (!isB(i, b)) return false;
      if (!b) {
        lastRef = i;
        break;
      }
      if (!anyB) maxB = VEntries[i].Dts;
      anyB = true;
    }
    for (size_t i = lastRef; !anyB && i-- > 0;) {
      bool b = false;
      if (!isB(i, b)) return false;
      anyB = b;
    }
    // The smallest display time is the decoding time of every picture but the first reference
    // picture, the largest the one the last reference picture is given.
    if (lastRef == n) {
      PlannedFirst = VEntries.front().Dts;
      PlannedLast = VEntries.back().Dts;
    } else {
      PlannedFirst = !firstB && n > 1 ? VEntries[1].Dts : VEntries[0].Dts;
      const int64_t lastDts = VEntries[lastRef].Dts;
      PlannedLast = std::max(maxB == kNoTs ? lastDts : maxB, lastDts) + 1;
    }
    PictureChunks = std::move(chunks);
    PictureCodec = codec;
    return true;
  }

  // Places the pictures PlanPictureOrder planned; false (nothing can be shown) when the chunks
  // cannot be read or no longer give the planned frames.
  bool OrderPictures() const {
    if (OrderByCounts) return OrderByPictureCounts();
    AviPictureTypes types(FileName, PictureCodec);
    std::vector<size_t> noPts;
    for (size_t i = 0; i < PictureChunks.size(); ++i) {
      char t = 0;
      bool placeholder = false;
      if (!types.ReadShown(PictureChunks, i, t, &placeholder)) return false;
      if (t != 'B') noPts.push_back(i);
      if (placeholder) VEntries[i].Key = false;
    }
    PlacePicturesWithoutPts(noPts);
    int64_t first = VEntries.front().Pts, last = first;
    for (const VideoEntry& e : VEntries) {
      first = std::min(first, e.Pts);
      last = std::max(last, e.Pts);
    }
    std::vector<AviChunkRef>().swap(PictureChunks);
    return first == PlannedFirst && last == PlannedLast;
  }

  // H.264 in decoding order: within each IDR period the pictures take the period's decoding
  // times in the order of their order counts, whatever the reorder depth. A period with a picture
  // whose count cannot be read (a damaged chunk) is shown in decoding order.
  bool OrderByPictureCounts() const {
    AviPictureTypes types(FileName, PictureCodec);
    H264Order order;
    if (VParams != nullptr && VParams->extradata_size > 0)
      order.Parameters(VParams->extradata, static_cast<size_t>(VParams->extradata_size));
    const size_t n = PictureChunks.size();
    if (n != VEntries.size()) return false;
    std::vector<H264Order::Picture> pictures(n);
    std::vector<bool> known(n, false);
    for (size_t i = 0; i < n; ++i) {
      // The slice header follows the first bytes, but for the parameter sets and messages a key
      // picture may carry first.
      const std::vector<uint8_t>* head = types.Data(PictureChunks[i], 512);
      known[i] = head != nullptr && order.Next(head->data(), head->size(), pictures[i]);
      if (!known[i] && head != nullptr && head->size() < static_cast<size_t>(PictureChunks[i].Size)) {
        const std::vector<uint8_t>* whole = types.Data(PictureChunks[i], 0);
        known[i] = whole != nullptr && order.Next(whole->data(), whole->size(), pictures[i]);
      }
    }
    PlaceByCounts(pictures, known);
    std::vector<AviChunkRef>().swap(PictureChunks);
    return true;
  }

  // Within each IDR period the pictures take the period's decoding times in the order of their
  // order counts; a period with a picture whose count is not known is shown in decoding order.
  void PlaceByCounts(const std::vector<H264Order::Picture>& pictures, const std::vector<bool>& known) const {
    const size_t n = VEntries.size();
    std::vector<size_t> period;
    std::vector<int64_t> times;
    for (size_t a = 0; a < n;) {
      size_t b = a + 1;
      while (b < n && !(known[b] && pictures[b].Idr)) ++b;
      period.clear();
      times.clear();
      bool all = true;
      for (size_t i = a; i < b; ++i) {
        period.push_back(i);
        times.push_back(VEntries[i].Dts);
        all = all && known[i];
      }
      if (all)
        std::stable_sort(period.begin(), period.end(), [&](size_t x, size_t y) { return pictures[x].Poc < pictures[y].Poc; });
      for (size_t r = 0; r < period.size(); ++r) VEntries[period[r]].Pts = times[r];
      a = b;
    }
  }

  // The picture index of an MP4 or QuickTime file: decoding times, positions and sync samples
  // from the demuxer's index, display times from the composition offsets. Entries are found by
  // their positions. False (the packets are scanned) when the two disagree on the samples or the
  // demuxer's edit handling marked samples to be dropped.
  bool VideoFromMovTables(AVStream* st) {
    const int n = avformat_index_get_entries_count(st);
    Mp4Track track;
    if (n <= 0 || !ReadMp4Track(FileName, static_cast<uint32_t>(st->id), n, track)) return false;
    std::vector<VideoEntry> entries;
    entries.reserve(static_cast<size_t>(n));
    auto run = track.OffsetRuns.cbegin();
    uint32_t leftInRun = run != track.OffsetRuns.cend() ? run->Count : 0;
    for (int i = 0; i < n; ++i) {
      const AVIndexEntry* e = avformat_index_get_entry(st, i);
      if (e == nullptr || (e->flags & AVINDEX_DISCARD_FRAME) != 0 || e->size <= 0 || e->pos < 0) return false;
      int64_t offset = 0;
      if (run != track.OffsetRuns.cend()) {
        // The runs cover every sample (ReadMp4Track checked it).
        offset = run->Offset;
        if (--leftInRun == 0 && ++run != track.OffsetRuns.cend()) leftInRun = run->Count;
      }
      entries.push_back(VideoEntry{e->timestamp + offset, e->timestamp, e->pos, (e->flags & AVINDEX_KEYFRAME) != 0});
    }
    VEntries = std::move(entries);
    return true;
  }

  // The sound index from a demuxer's index of every packet (MP4 and QuickTime): each packet's
  // samples follow from its size as they do when the packets are read.
  bool AudioFromIndex(AVStream* st) {
    const int n = avformat_index_get_entries_count(st);
    if (n <= 0) return false;
    AVCodecParameters* par = st->codecpar;
    std::vector<AudioEntry> entries;
    entries.reserve(static_cast<size_t>(n));
    int64_t raw = 0;
    for (int i = 0; i < n; ++i) {
      const AVIndexEntry* e = avformat_index_get_entry(st, i);
      // A packet the edit list drops (encoder delay) is an entry as its packet is: the decoder
      // drops its samples, and the first packet's skip instruction counts them out.
      if (e == nullptr || e->pos < 0) return false;
      if (e->size <= 0) continue;
      int64_t samples = av_get_audio_frame_duration2(par, e->size);
      if (samples <= 0) {
        // The packet lasts until the next one (the last until the stream's end).
        const AVIndexEntry* next = i + 1 < n ? avformat_index_get_entry(st, i + 1) : nullptr;
        const int64_t end = next != nullptr ? next->timestamp : st->duration;
        if (end != kNoTs && end > e->timestamp)
          samples = av_rescale_q(end - e->timestamp, st->time_base, AVRational{1, par->sample_rate});
      }
      if (samples <= 0) continue;
      entries.push_back(AudioEntry{e->timestamp, e->pos, raw, samples, 0});
      raw += samples;
    }
    if (entries.empty()) return false;
    AEntries = std::move(entries);
    return true;
  }

  // A packet's instruction to skip samples (side data), kept for the reads after a seek.
  void KeepSkip(const AVPacket* pkt, size_t at) {
    size_t sideSize = 0;
    const uint8_t* side = av_packet_get_side_data(pkt, AV_PKT_DATA_SKIP_SAMPLES, &sideSize);
    if (side != nullptr && sideSize >= 8 && at < AEntries.size())
      ASkip[static_cast<int64_t>(at)].assign(side, side + sideSize);
  }

  // The sound's length from an index: what the first packet skips at the start (which may reach
  // past that packet) and the last one drops at the end are not delivered.
  void CountIndexedSound() {
    const int64_t raw = AEntries.back().Start + AEntries.back().Samples;
    int64_t skipEnd = 0;
    if (auto f = ASkip.find(0); f != ASkip.end()) SkipStart = AV_RL32(f->second.data());
    if (auto l = ASkip.find(static_cast<int64_t>(AEntries.size()) - 1); l != ASkip.end())
      skipEnd = std::min<int64_t>(AV_RL32(l->second.data() + 4), AEntries.back().Samples);
    SkipStart = std::min(SkipStart, raw);
    AInfo.SampleCount = std::max<int64_t>(raw - SkipStart - skipEnd, 0);
  }

  // The samples the last packet drops at the end, read from the last packet itself.
  void LastSoundSkip(Demuxer& scan) {
    if (AEntries.empty()) return;
    const AudioEntry& last = AEntries.back();
    scan.Keep(-1, AStream);
    if (av_seek_frame(scan.Fmt(), AStream, last.Dts, AVSEEK_FLAG_BACKWARD) < 0) return;
    while (scan.Next(AStream)) {
      const AVPacket* pkt = scan.Packet();
      if (pkt->pos == last.Pos) {
        KeepSkip(pkt, AEntries.size() - 1);
        return;
      }
      if (pkt->pos > last.Pos) return;
    }
  }

  enum class ScanResult { Done, Stopped, Uncounted };

  // What a scan gathered, dropped before the file is scanned again.
  void ForgetScan() {
    VEntries.clear();
    AEntries.clear();
    ASkip.clear();
    SkipStart = 0;
    Palette.clear();
    PaletteKnown = false;
    AInfo.SampleCount = 0;
  }

  // What a scan of the packets carries from one picture packet to the next.
  struct PictureScan {
    AVCodecID Codec = AV_CODEC_ID_NONE;
    int64_t LastTs = kNoTs;
    bool HeldBack = false;       // the decoder holds a packed B picture back
    std::vector<size_t> NoPts;  // pictures the demuxer gave a decoding time but no display time
    // H.264 without display times (AVI) is placed by the order counts of its pictures when every
    // picture lacks a display time and the counts can be read (PlaceByCounts).
    H264Order Counts;
    std::vector<H264Order::Picture> Pictures;
    std::vector<bool> Known;
    bool ByCounts = false;

    explicit PictureScan(const AVStream* st) {
      if (st == nullptr) return;
      Codec = st->codecpar->codec_id;
      ByCounts = Codec == AV_CODEC_ID_H264;
      if (ByCounts && st->codecpar->extradata_size > 0)
        Counts.Parameters(st->codecpar->extradata, static_cast<size_t>(st->codecpar->extradata_size));
    }
  };

  // How a scan learns the samples each sound packet decodes to.
  //
  // Vorbis in Ogg needs no decoding: a packet's samples follow from its block size and the one
  // before it, as the decoder computes them (the first packet gives none: it only primes the
  // overlap), and the demuxer marks the samples the last page's granule position cuts off the
  // last packet (the decoder drops them when they fit in that packet's samples). WMA is counted
  // from its blocks (ff_asf_sound.h). Sound whose packets do not say how many samples they decode
  // to is decoded once here and measured: each packet's entry holds what the decoder delivers
  // right after that packet. Other sound is sized by each packet's length.
  enum class SoundWay { Vorbis, Wma, Measured, Sized };

  // What a scan of the packets carries from one sound packet to the next.
  struct SoundScan {
    AVCodecParameters* Par = nullptr;
    AVRational Tb{1, 1};
    SoundWay Way = SoundWay::Sized;
    AVVorbisParseContext* Vorbis = nullptr;
    WmaCount Wma;
    Decoder Measure;
    AVFrame* Decoded = nullptr;  // what Measure delivers
    int64_t Raw = 0;             // the samples of the packets so far
    int64_t SkipEnd = 0;         // the samples packets drop at their ends

    SoundScan() = default;
    SoundScan(const SoundScan&) = delete;
    SoundScan& operator=(const SoundScan&) = delete;
    ~SoundScan() {
      av_frame_free(&Decoded);
      av_vorbis_parse_free(&Vorbis);
    }

    // Picks the way for the sound of st (none: no sound is scanned); false when countBlocks asks
    // for a count without decoding and neither block count can follow the stream.
    bool Start(const AVStream* st, bool countBlocks) {
      if (st == nullptr) return true;
      Par = st->codecpar;
      Tb = st->time_base;
      if (countBlocks) {
        if (Par->codec_id == AV_CODEC_ID_VORBIS) Vorbis = av_vorbis_parse_init(Par->extradata, Par->extradata_size);
        if (Vorbis != nullptr) {
          Way = SoundWay::Vorbis;
          return true;
        }
        Way = SoundWay::Wma;
        return Wma.Start(Par);
      }
      if (MeasuredSound(Par->codec_id) && Measure.Open(Par)) {
        Measure.Context()->pkt_timebase = AVRational{1, Par->sample_rate};
        Decoded = av_frame_alloc();
        Way = SoundWay::Measured;
      }
      return true;
    }

    // The samples the decoder delivers now.
    int64_t Drain() {
      int64_t n = 0;
      while (Decoded != nullptr && Measure.Receive(Decoded) == 0) {
        n += Decoded->nb_samples;
        av_frame_unref(Decoded);
      }
      return n;
    }
  };

  // Stopped when progress asked to stop; Uncounted when countBlocks was asked for and the sound
  // holds something its block sizes do not tell (the file must be scanned again with decoding).
  ScanResult ScanPackets(Demuxer& scan, int videoStream, int audioStream, const ScanProgress& progress,
                         bool countBlocks) {
    AVFormatContext* fmt = scan.Fmt();
    PictureScan pictures(videoStream >= 0 ? fmt->streams[videoStream] : nullptr);
    SoundScan sound;
    if (!sound.Start(audioStream >= 0 ? fmt->streams[audioStream] : nullptr, countBlocks)) return ScanResult::Uncounted;
    // A demuxer that read an index of its own (AVI) knows about how many packets come: the
    // entries are made in place rather than copied over and over as they grow.
    if (videoStream >= 0) VEntries.reserve(static_cast<size_t>(std::max(avformat_index_get_entries_count(fmt->streams[videoStream]), 0)));
    if (audioStream >= 0) AEntries.reserve(static_cast<size_t>(std::max(avformat_index_get_entries_count(fmt->streams[audioStream]), 0)));
    AVPacket* pkt = scan.Packet();
    const int64_t fileSize = fmt->pb != nullptr ? avio_size(fmt->pb) : -1;
    int64_t reported = 0;
    bool stopped = false;
    for (;;) {
      av_packet_unref(pkt);
      if (av_read_frame(fmt, pkt) < 0) break;
      // Every quarter megabyte read.
      if (progress && fmt->pb != nullptr && avio_tell(fmt->pb) - reported >= (1 << 18)) {
        reported = avio_tell(fmt->pb);
        if (!progress(reported, fileSize)) {
          stopped = true;
          break;
        }
      }
      if (pkt->stream_index == videoStream && videoStream >= 0) {
        ScanPicture(pkt, pictures);
      } else if (pkt->stream_index == audioStream && audioStream >= 0 && pkt->size > 0) {
        if (!ScanSound(pkt, sound)) return ScanResult::Uncounted;
      }
    }
    if (!EndSoundScan(sound)) return ScanResult::Uncounted;
    if (pictures.ByCounts && !pictures.Pictures.empty() && pictures.Pictures.size() == VEntries.size())
      PlaceByCounts(pictures.Pictures, pictures.Known);
    else
      PlacePicturesWithoutPts(pictures.NoPts);
    if (audioStream >= 0) {
      SkipStart = std::min(SkipStart, sound.Raw);
      if (!AEntries.empty()) AInfo.SampleCount = std::max<int64_t>(sound.Raw - SkipStart - sound.SkipEnd, 0);
    }
    return stopped ? ScanResult::Stopped : ScanResult::Done;
  }

  // The entry of a picture packet.
  void ScanPicture(const AVPacket* pkt, PictureScan& v) {
    if (!PaletteKnown) {
      KeepPalette(pkt);
      PaletteKnown = true;
    }
    if (pkt->size <= 0) return;
    int64_t pts = pkt->pts != kNoTs ? pkt->pts : pkt->dts;
    if (pts == kNoTs) pts = v.LastTs == kNoTs ? 0 : v.LastTs + std::max<int64_t>(pkt->duration, 1);
    const int64_t dts = pkt->dts != kNoTs ? pkt->dts : pts;
    v.LastTs = pts;
    VEntries.push_back(VideoEntry{pts, dts, pkt->pos, (pkt->flags & AV_PKT_FLAG_KEY) != 0, PacketMark(pkt)});
    const bool placeholder = FollowPackedB(pkt, v);
    if (placeholder) VEntries.back().Key = false;
    if (v.ByCounts) {
      H264Order::Picture picture;
      const bool known = pkt->pts == kNoTs && pkt->dts != kNoTs &&
                         v.Counts.Next(pkt->data, static_cast<size_t>(pkt->size), picture);
      // (The first picture must give its count: the periods start there.)
      v.ByCounts = pkt->pts == kNoTs && pkt->dts != kNoTs && (known || !v.Pictures.empty());
      v.Pictures.push_back(picture);
      v.Known.push_back(known);
    }
    if (pkt->pts == kNoTs && pkt->dts != kNoTs) {
      // A B picture the demuxer gave no display time (H.264 in AVI) is shown in decoding order.
      if (placeholder || CodedPictureType(v.Codec, pkt->data, static_cast<size_t>(pkt->size)) == 'B')
        VEntries.back().Pts = pkt->dts;
      else
        v.NoPts.push_back(VEntries.size() - 1);
    }
  }

  // True when pkt is the placeholder behind a packed B picture: it gives the B picture out
  // (ff_avi_order.h) and holds nothing to start decoding from. B chunks between the packed chunk
  // and its placeholder keep a B picture held back.
  static bool FollowPackedB(const AVPacket* pkt, PictureScan& v) {
    const size_t size = static_cast<size_t>(pkt->size);
    const char type = v.Codec == AV_CODEC_ID_MPEG4 ? CodedPictureType(v.Codec, pkt->data, size) : 0;
    const bool placeholder = v.HeldBack && type != 'B' && MayBePlaceholder(size);
    v.HeldBack = v.Codec == AV_CODEC_ID_MPEG4 && (HoldsPackedB(pkt->data, size) || (v.HeldBack && type == 'B'));
    return placeholder;
  }

  enum class SoundPacket { Counted, Skipped, Uncounted };

  // The entry of a sound packet; false when the way of counting cannot follow the stream.
  bool ScanSound(AVPacket* pkt, SoundScan& s) {
    int64_t samples = 0;
    SoundPacket got = SoundPacket::Counted;
    switch (s.Way) {
      case SoundWay::Vorbis: got = VorbisSamples(pkt, s, samples); break;
      case SoundWay::Wma: got = s.Wma.Packet(pkt, samples) ? SoundPacket::Counted : SoundPacket::Uncounted; break;
      case SoundWay::Measured: samples = MeasuredSamples(pkt, s); break;
      case SoundWay::Sized: got = SizedSamples(pkt, s, samples); break;
    }
    if (got == SoundPacket::Uncounted) return false;
    if (got == SoundPacket::Skipped) return true;
    AEntries.push_back(AudioEntry{EntryTs(pkt->dts, pkt->pts), pkt->pos, s.Raw, samples, PacketMark(pkt)});
    s.Raw += samples;
    return true;
  }

  // Keeps a packet's instruction to skip samples (side data) for the entry about to be made, when
  // it holds the two counts; true when kept.
  bool KeepNextSkip(const uint8_t* side, size_t sideSize) {
    if (side == nullptr || sideSize < 8) return false;
    ASkip[static_cast<int64_t>(AEntries.size())].assign(side, side + sideSize);
    return true;
  }

  SoundPacket VorbisSamples(const AVPacket* pkt, SoundScan& s, int64_t& samples) {
    int flags = 0;
    const int blocks = av_vorbis_parse_frame_flags(s.Vorbis, pkt->data, pkt->size, &flags);
    size_t sideSize = 0;
    const uint8_t* side = av_packet_get_side_data(pkt, AV_PKT_DATA_SKIP_SAMPLES, &sideSize);
    // A header packet, a damaged one, new headers (a chained stream) or samples skipped at
    // the start: only decoding tells what comes out.
    if (blocks < 0 || flags != 0 || av_packet_get_side_data(pkt, AV_PKT_DATA_NEW_EXTRADATA, nullptr) != nullptr ||
        (side != nullptr && (sideSize < 10 || AV_RL32(side) != 0)))
      return SoundPacket::Uncounted;
    samples = AEntries.empty() ? 0 : blocks;
    if (KeepNextSkip(side, sideSize)) {
      const int64_t cut = AV_RL32(side + 4);
      if (cut > 0 && cut <= samples) samples -= cut;
    }
    return SoundPacket::Counted;
  }

  int64_t MeasuredSamples(AVPacket* pkt, SoundScan& s) {
    size_t sideSize = 0;
    KeepNextSkip(av_packet_get_side_data(pkt, AV_PKT_DATA_SKIP_SAMPLES, &sideSize), sideSize);
    KeepVorbisHeader(pkt, s.Par);
    int64_t samples = 0;
    int err = s.Measure.Send(pkt);
    while (err == AVERROR(EAGAIN)) {
      samples += s.Drain();
      err = s.Measure.Send(pkt);
    }
    return samples + s.Drain();
  }

  // Skipped when neither the packet's length nor its duration tells its samples.
  SoundPacket SizedSamples(const AVPacket* pkt, SoundScan& s, int64_t& samples) {
    samples = av_get_audio_frame_duration2(s.Par, pkt->size);
    if (samples <= 0 && pkt->duration > 0)
      samples = av_rescale_q(pkt->duration, s.Tb, AVRational{1, s.Par->sample_rate});
    if (samples <= 0) return SoundPacket::Skipped;
    size_t sideSize = 0;
    const uint8_t* side = av_packet_get_side_data(pkt, AV_PKT_DATA_SKIP_SAMPLES, &sideSize);
    if (KeepNextSkip(side, sideSize)) {
      // The samples to skip at the start may reach past the first packet (a low-rate MP3
      // whose encoder delay is longer than one frame): they count on the whole time line.
      if (AEntries.empty()) SkipStart = AV_RL32(side);
      // Every packet's padding is dropped: LAME's last frame may be all padding, and the
      // padding then starts in the frame before it.
      s.SkipEnd += std::min<int64_t>(AV_RL32(side + 4), samples);
    }
    return SoundPacket::Counted;
  }

  // What the decoder gives at the end belongs to the last packet, as when decoding; false when
  // the block count cannot tell it.
  bool EndSoundScan(SoundScan& s) {
    if (AEntries.empty()) return true;
    int64_t tail = 0;
    if (s.Way == SoundWay::Wma) {
      if (!s.Wma.Tail(tail)) return false;
    } else if (s.Way == SoundWay::Measured) {
      s.Measure.Send(nullptr);
      tail = s.Drain();
      s.SkipEnd = 0;
      SkipStart = 0;
    }
    AEntries.back().Samples += tail;
    s.Raw += tail;
    return true;
  }

  // Gathers the headers of a Vorbis stream chained after the first (a packet of the sound starting
  // with 1, 3 or 5 and "vorbis"), made into decoder parameters when the third comes.
  void KeepVorbisHeader(const AVPacket* pkt, const AVCodecParameters* par) {
    if (par->codec_id != AV_CODEC_ID_VORBIS || pkt->size < 7 || std::memcmp(pkt->data + 1, "vorbis", 6) != 0) return;
    const uint8_t type = pkt->data[0];
    if (type == 1) {
      PendingHeaders.clear();
      PendingFrom = static_cast<int64_t>(AEntries.size());
    }
    if ((type != 1 && type != 3 && type != 5) || PendingHeaders.size() != static_cast<size_t>(type / 2)) return;
    PendingHeaders.emplace_back(pkt->data, pkt->data + pkt->size);
    if (PendingHeaders.size() < 3 || PendingFrom == 0) return;
    // The decoder's parameters: the three headers, their sizes laced as Xiph laces them.
    std::vector<uint8_t> x = {2};
    for (size_t h = 0; h < 2; ++h) {
      size_t n = PendingHeaders[h].size();
      for (; n >= 255; n -= 255) x.push_back(255);
      x.push_back(static_cast<uint8_t>(n));
    }
    for (const auto& h : PendingHeaders) x.insert(x.end(), h.begin(), h.end());
    AVCodecParameters* link = avcodec_parameters_alloc();
    if (link == nullptr || avcodec_parameters_copy(link, par) < 0) {
      avcodec_parameters_free(&link);
      return;
    }
    av_freep(&link->extradata);
    link->extradata = static_cast<uint8_t*>(av_mallocz(x.size() + AV_INPUT_BUFFER_PADDING_SIZE));
    if (link->extradata == nullptr) {
      avcodec_parameters_free(&link);
      return;
    }
    std::memcpy(link->extradata, x.data(), x.size());
    link->extradata_size = static_cast<int>(x.size());
    ALinks.emplace_back(PendingFrom, link);
    PendingHeaders.clear();
  }
  std::vector<std::vector<uint8_t>> PendingHeaders;
  int64_t PendingFrom = 0;

  // The chained stream entry e belongs to (-1: the first).
  int64_t LinkAt(int64_t e) const {
    const auto it = std::upper_bound(ALinks.begin(), ALinks.end(), e,
                                     [](int64_t v, const std::pair<int64_t, AVCodecParameters*>& l) { return v < l.first; });
    return static_cast<int64_t>(it - ALinks.begin()) - 1;
  }

  // A picture without a display time (an MPEG elementary stream, or a frame that does not start a
  // program stream's packet) is a reference picture: it is shown after the pictures that depend on
  // it, at the decoding time of the next reference picture (one whose display time is missing or
  // lies after its decoding time). The last one is shown last.
  void PlacePicturesWithoutPts(const std::vector<size_t>& noPts) const {
    if (noPts.empty()) return;
    std::vector<bool> missing(VEntries.size(), false);
    for (size_t i : noPts) missing[i] = true;
    int64_t maxPts = kNoTs;
    for (size_t i = 0; i < VEntries.size(); ++i)
      if (!missing[i] && (maxPts == kNoTs || VEntries[i].Pts > maxPts)) maxPts = VEntries[i].Pts;
    int64_t nextRefDts = kNoTs;
    for (size_t i = VEntries.size(); i-- > 0;) {
      VideoEntry& e = VEntries[i];
      const bool dependent = !missing[i] && e.Pts == e.Dts;
      if (missing[i]) {
        if (nextRefDts != kNoTs) {
          e.Pts = nextRefDts;
        } else {
          // After every other picture, also after the reference pictures placed at its own
          // decoding time (a stream of I and P pictures only).
          maxPts = (maxPts == kNoTs ? e.Dts : std::max(maxPts, e.Dts)) + 1;
          e.Pts = maxPts;
        }
      }
      if (!dependent) nextRefDts = e.Dts;
    }
  }

  bool FinishVideo(AVStream* st) {
    if (VEntries.empty()) {
      Error = "the picture stream holds no frames";
      return false;
    }
    DescribeVideo(st);
    const AVRational slot = av_inv_q(st->time_base);

    const size_t n = VEntries.size();
    FirstPts = VEntries.front().Pts;
    int64_t lastPts = FirstPts;
    for (const VideoEntry& e : VEntries) {
      FirstPts = std::min(FirstPts, e.Pts);
      lastPts = std::max(lastPts, e.Pts);
    }
    if (!PictureChunks.empty()) {
      FirstPts = PlannedFirst;
      lastPts = PlannedLast;
    }
    if (SlotMode) {
      VInfo.FrameCount = lastPts - FirstPts + 1;
      VInfo.FrameRate = av_q2d(slot);
    } else {
      VInfo.FrameCount = static_cast<int64_t>(n);
      VInfo.FrameRate = StreamRate(st);
    }
    return true;
  }

  // The frame rate of pictures counted by their packets: the stream's average, else its base rate.
  static double StreamRate(const AVStream* st) {
    AVRational rate = st->avg_frame_rate.num > 0 && st->avg_frame_rate.den > 0 ? st->avg_frame_rate : st->r_frame_rate;
    return rate.num > 0 && rate.den > 0 ? av_q2d(rate) : 0.0;
  }

  // Display order, key frames and the packet look-up of the pictures, made once (by whichever
  // reader of the index asks first).
  void VideoTables() const {
    std::call_once(VTablesMade, [this] { MakeVideoTables(); });
  }

  void MakeVideoTables() const {
    if (!PictureChunks.empty() && !OrderPictures()) {
      VTablesFailed = true;
      return;
    }
    const size_t n = VEntries.size();
    // Decoding order is display order but for the few pictures a B picture puts ahead: sorted
    // by insertion in about one pass (stable: equal times keep decoding order). A stream that
    // is far out of order is sorted the usual way.
    std::vector<int64_t> order(n);
    for (size_t i = 0; i < n; ++i) order[i] = static_cast<int64_t>(i);
    const auto pts = [&](int64_t i) { return VEntries[static_cast<size_t>(i)].Pts; };
    size_t moves = 0;
    const size_t maxMoves = 16 * n + 64;
    for (size_t i = 1; i < n && moves <= maxMoves; ++i) {
      const int64_t v = order[i];
      size_t j = i;
      for (; j > 0 && pts(order[j - 1]) > pts(v) && moves <= maxMoves; --j, ++moves) order[j] = order[j - 1];
      order[j] = v;
    }
    if (moves > maxMoves) {
      for (size_t i = 0; i < n; ++i) order[i] = static_cast<int64_t>(i);
      std::stable_sort(order.begin(), order.end(), [&](int64_t a, int64_t b) { return pts(a) < pts(b); });
    }
    PresOrder = std::move(order);
    SortedPts.resize(n);
    for (size_t i = 0; i < n; ++i) SortedPts[i] = VEntries[PresOrder[i]].Pts;
    if (VEntries.front().Mark == 0) VTable.Reserve(n);
    for (size_t i = 0; i < n; ++i)
      VTable.Add(static_cast<int64_t>(i), VEntries[i].Pos, VEntries[i].Dts, VEntries[i].Mark);
    VTable.Seal();
    PrevKey.resize(n);
    int64_t lastKey = -1;
    for (size_t i = 0; i < n; ++i) {
      if (VEntries[i].Key) lastKey = static_cast<int64_t>(i);
      PrevKey[i] = lastKey;
    }
    for (size_t i = 0; i < n; ++i)
      if (VEntries[PresOrder[i]].Key) KeyFrames.push_back(SlotMode ? SortedPts[i] - FirstPts : static_cast<int64_t>(i));
    // Duplicate slots (two packets claiming one picture) leave one key frame per frame number.
    KeyFrames.erase(std::unique(KeyFrames.begin(), KeyFrames.end()), KeyFrames.end());
  }

  bool FinishAudio(AVStream* st) {
    if (AEntries.empty() || AInfo.SampleCount <= 0) {
      Error = "the sound stream holds no samples";
      return false;
    }
    DescribeAudio(st);
    return true;
  }

  // What the stream's parameters tell of the pictures (not their count).
  void DescribeVideo(const AVStream* st) {
    const AVCodecParameters* par = st->codecpar;
    VInfo.Width = par->width;
    VInfo.Height = par->height;
    VInfo.CodecTag = par->codec_tag;
    VInfo.StoredBits = par->bits_per_coded_sample;
    VInfo.CodecName = avcodec_get_name(par->codec_id);
    const AVRational slot = av_inv_q(st->time_base);
    SlotMode = st->r_frame_rate.num > 0 && st->r_frame_rate.den > 0 && av_cmp_q(slot, st->r_frame_rate) == 0;
  }

  void DescribeAudio(const AVStream* st) {
    const AVCodecParameters* par = st->codecpar;
    AInfo.SampleRate = par->sample_rate;
    AInfo.Channels = par->ch_layout.nb_channels;
    AInfo.CodecTag = par->codec_tag;
    const AVCodecTag* const tables[] = {avformat_get_riff_audio_tags(), nullptr};
    if (par->codec_tag != 0 && par->codec_tag <= 0xFFFF && av_codec_get_id(tables, par->codec_tag) == par->codec_id)
      AInfo.WaveFormatTag = static_cast<uint16_t>(par->codec_tag);
    else
      AInfo.WaveFormatTag = static_cast<uint16_t>(av_codec_get_tag(tables, par->codec_id));
    AInfo.StoredBits = par->bits_per_coded_sample;
    AInfo.BlockAlign = par->block_align;
    AInfo.BitRate = par->bit_rate;
    AInfo.CodecName = avcodec_get_name(par->codec_id);
  }

  // ---- Counts from an ASF file's packet headers ----

  // Windows Media pictures and WMA sound: the pictures are counted from the headers of the data
  // packets and the sound from its blocks (ff_asf_walk.h), without the demuxer reading the media;
  // the packets are then walked on a thread of their own. NotPlain (the demuxer walks the packets
  // now) for other codecs, timestamps that count frames, and files the header walk does not follow.
  // objects: the walk of the packet headers started with the open (nullptr: the file is not laid
  // out for it); given up on the way out.
  AsfWalk CountFromAsfObjects(const OpenOptions& options, Demuxer& scan, const ScanProgress& progress,
                              std::unique_ptr<AsfObjectWalk> objects) {
    AVFormatContext* fmt = scan.Fmt();
    if (objects == nullptr || std::strcmp(fmt->iformat->name, "asf") != 0) return AsfWalk::NotPlain;
    const AVStream* vs = VStream >= 0 ? fmt->streams[VStream] : nullptr;
    const AVStream* as = AStream >= 0 ? fmt->streams[AStream] : nullptr;
    WmaCount sound;
    if (as != nullptr && !sound.Start(as->codecpar)) return AsfWalk::NotPlain;
    if (vs != nullptr) {
      DescribeVideo(vs);
      if (SlotMode) return AsfWalk::NotPlain;
    }
    AsfCounts counts;
    const auto number = [](const AVStream* st) { return st != nullptr && st->id > 0 && st->id < 128 ? st->id : 0; };
    if ((vs != nullptr && number(vs) == 0) || (as != nullptr && number(as) == 0)) return AsfWalk::NotPlain;
    const AsfWalk walked = objects->Count(number(vs), number(as), as != nullptr ? &sound : nullptr, counts, progress);
    if (walked != AsfWalk::Counted) return walked;
    if ((vs != nullptr && counts.Pictures <= 0) || (as != nullptr && counts.Samples <= 0)) return AsfWalk::NotPlain;
    return CountsKnown(options, scan, counts.Pictures, counts.Samples) ? AsfWalk::Counted : AsfWalk::NotPlain;
  }

  // ---- Counts from an Ogg file's pages ----

  // Theora pictures and Vorbis sound in a single (unchained) Ogg file: the granule position of
  // each stream's last page gives its end, the demuxer's start times (from the first pages) its
  // start, so the counts are known without reading the packets, and the packets are walked on a
  // thread of their own. False (the packets are walked now) wherever the pages cannot give the
  // counts the walk would: other codecs, a chained file, a stream whose last page is missing, cut
  // off or ends in an empty picture, sound that starts by skipping samples.
  bool CountFromOggPages(const OpenOptions& options, Demuxer& scan) {
    AVFormatContext* fmt = scan.Fmt();
    if (std::strcmp(fmt->iformat->name, "ogg") != 0) return false;
    const AVStream* vs = VStream >= 0 ? fmt->streams[VStream] : nullptr;
    const AVStream* as = AStream >= 0 ? fmt->streams[AStream] : nullptr;
    if (vs != nullptr && (vs->codecpar->codec_id != AV_CODEC_ID_THEORA || vs->start_time == kNoTs)) return false;
    if (as != nullptr && (as->codecpar->codec_id != AV_CODEC_ID_VORBIS || as->start_time == kNoTs ||
                          av_cmp_q(as->time_base, AVRational{1, as->codecpar->sample_rate}) != 0))
      return false;
    if (vs != nullptr) {
      DescribeVideo(vs);
      if (!SlotMode) return false;
    }
    int64_t frames = 0, samples = 0;
    if (!CountOggStreams(FileName, scan, VStream, AStream, frames, samples)) return false;
    return CountsKnown(options, scan, frames, samples);
  }

  // The counts are known without the index of the packets: the description is made from them, and
  // the packets are walked on a thread of their own. False when the walk cannot be started.
  bool CountsKnown(const OpenOptions& options, Demuxer& scan, int64_t frames, int64_t samples) {
    AVFormatContext* fmt = scan.Fmt();
    const AVStream* vs = VStream >= 0 ? fmt->streams[VStream] : nullptr;
    const AVStream* as = AStream >= 0 ? fmt->streams[AStream] : nullptr;
    try {
      if ((vs != nullptr && !CopyParams(VParams, vs->codecpar)) || (as != nullptr && !CopyParams(AParams, as->codecpar)))
        throw std::bad_alloc();
      auto walk = std::make_shared<IndexWalk>();
      StartWalk(walk, [name = FileName, options](int64_t limit, const std::atomic<bool>& cancel, bool& partial,
                                                 std::string& error) {
        return WalkIndex(name, options, limit, cancel, partial, error);
      });
      Later = std::move(walk);
    } catch (...) {
      avcodec_parameters_free(&VParams);
      avcodec_parameters_free(&AParams);
      return false;
    }
    if (vs != nullptr) {
      HasVideo = true;
      VInfo.FrameCount = frames;
      VInfo.FrameRate = SlotMode ? av_q2d(av_inv_q(vs->time_base)) : StreamRate(vs);
    }
    if (as != nullptr) {
      HasAudio = true;
      DescribeAudio(as);
      AInfo.SampleCount = samples;
    }
    PaletteKnown = true;
    return true;
  }

  // The packet look-up of the sound, made once.
  void AudioTables() const {
    std::call_once(ATablesMade, [this] {
      if (AEntries.front().Mark == 0) ATable.Reserve(AEntries.size());
      for (size_t i = 0; i < AEntries.size(); ++i)
        ATable.Add(static_cast<int64_t>(i), AEntries[i].Pos, AEntries[i].Dts, AEntries[i].Mark);
      ATable.Seal();
    });
  }

  // The entry whose picture frame shows (decode-order index), -1 when out of range (after
  // VideoTables).
  int64_t EntryOf(int64_t frame) const {
    if (frame < 0 || frame >= VInfo.FrameCount) return -1;
    if (!SlotMode) return PresOrder[static_cast<size_t>(frame)];
    // The last picture at or before the slot: slots without a packet repeat the one before.
    const auto it = std::upper_bound(SortedPts.begin(), SortedPts.end(), FirstPts + frame);
    if (it == SortedPts.begin()) return PresOrder.front();
    return PresOrder[static_cast<size_t>(it - SortedPts.begin() - 1)];
  }

  // The key entry to decode entry e from: the last key in decode order before it that is not
  // shown after it.
  int64_t StartOf(int64_t e) const {
    int64_t k = PrevKey[static_cast<size_t>(e)];
    while (k > 0 && VEntries[static_cast<size_t>(k)].Pts > VEntries[static_cast<size_t>(e)].Pts)
      k = PrevKey[static_cast<size_t>(k - 1)];
    return k < 0 ? 0 : k;
  }
};

namespace {

std::shared_ptr<const Reader::Index> WalkIndex(const std::string& fileName, const OpenOptions& options, int64_t limit,
                                               const std::atomic<bool>& cancel, bool& partial, std::string& error) {
  auto index = std::make_shared<Reader::Index>();
  index->FileName = fileName;
  index->FileSize = SizeOfFile(fileName);
  index->WalkAlways = true;
  index->StopIsPartial = limit < std::numeric_limits<int64_t>::max();
  index->StopFlag = &cancel;
  Demuxer own;
  // (The count starts at the first report: probing the streams at open may have read ahead.)
  int64_t from = -1;
  const auto progress = [&cancel, &from, limit](int64_t done, int64_t) {
    if (from < 0) from = done;
    return !cancel.load() && done - from < limit;
  };
  if (!index->Build(options, progress, own) || cancel.load()) {
    error = cancel.load() ? "cancelled" : index->Error;
    return nullptr;
  }
  partial = index->Partial;
  return index;
}

}  // namespace

struct Reader::Impl {
  // The index the reader was opened with (its description); X is the index of the packets, the
  // same one unless the packets are walked after the open (then X is the walk's once it is done).
  std::shared_ptr<const Index> Head;
  bool Walked = true;  // X holds the index of the packets
  std::shared_ptr<const Index> X;
  std::string FileName;
  std::string Error;
  int64_t Seeks = 0;  // runs of decoding started at a packet found by moving a demuxer

  // ---- Pictures ----
  bool HasVideo = false;
  Demuxer VDemux;
  bool VDemuxReady = false;  // VDemux is open on the file
  EntryLookup VLookup;
  Decoder VDecoder;
  PictureConverter Pictures;
  bool VRun = false;       // the decoder is fed in order from a key frame
  bool CutShort = false;   // the file was found cut short while open
  int64_t VNextSend = 0;   // the entry the demuxer delivers next
  bool VDrained = false;   // every packet of the run was sent and the decoder drained
  // The palette of a palettized stream. Demuxers hand it to the decoder once, with the first
  // packet; a decoder that starts after a seek gets it from here.
  std::vector<uint8_t> Palette;
  bool PaletteDue = false;
  AVFrame* Held = nullptr;  // the picture read last
  int64_t HeldPts = kNoTs;
  std::deque<AVFrame*> Queue;  // decoded, later pictures
  // A stream that starts on one thread (StartsOnOneThread): VDecoder is that decoder until the
  // frame-threaded one, filled by Threaded in the background, takes the run over.
  bool OneThread = false;
  bool ThreadedFailed = false;  // the catch-up failed once: the next run opens frame threads at once
  int64_t VRunKey = -1;         // the key frame entry the run started at
  CatchUp Threaded;

  // ---- Sound ----
  bool HasAudio = false;
  Demuxer ADemux;
  bool ADemuxReady = false;
  EntryLookup ALookup;
  Decoder ADecoder;
  SoundConverter Sound;
  bool ARun = false;
  int64_t ANextSend = 0;
  bool ADrained = false;
  std::vector<int16_t> ABuf;  // decoded samples from ABufStart on
  int64_t ABufStart = 0;
  int64_t ALink = -1;  // the chained stream whose headers the decoder holds (-1: the first)
  int64_t ABufFrames() const { return X->AInfo.Channels > 0 ? static_cast<int64_t>(ABuf.size()) / X->AInfo.Channels : 0; }

  ~Impl() {
    Threaded.Stop();
    av_frame_free(&Held);
    ClearQueue();
  }

  void ClearQueue() {
    for (AVFrame*& f : Queue) av_frame_free(&f);
    Queue.clear();
  }

  bool Fail(const std::string& why) {
    Error = why;
    return false;
  }

  // Starts reading over index; scan (when given) is the demuxer the index was built with, open
  // on the file, which one of the streams takes over instead of opening the file again.
  // Decoders are made when a stream is first read (FindStream made sure there is one).
  bool Start(std::shared_ptr<const Index> index, Demuxer* scan) {
    Head = index;
    Walked = Head->Later == nullptr;
    X = std::move(index);
    FileName = X->FileName;
    HasVideo = X->HasVideo;
    HasAudio = X->HasAudio;
    VLookup.Use(&X->VTable);
    ALookup.Use(&X->ATable);
    Palette = X->Palette;
    if (!HasVideo && !HasAudio) return false;
    if (scan != nullptr && scan->Fmt() != nullptr) {
      if (HasVideo && X->PaletteKnown) {
        VDemux.Take(*scan);
        VDemux.Keep(X->VStream, -1);
        VDemuxReady = true;
      } else if (HasAudio) {
        ADemux.Take(*scan);
        ADemux.Keep(X->AStream, -1);
        ADemuxReady = true;
      }
    }
    return true;
  }

  // Waits for the walk of the packets (when it runs after the open) and reads over its index.
  bool EnsureWalked() {
    if (Walked) return true;
    IndexWalk& walk = *Head->Later;
    std::shared_ptr<const Index> full;
    {
      std::unique_lock<std::mutex> lock(walk.M);
      walk.Cv.wait(lock, [&walk] { return walk.Done; });
      if (walk.Full == nullptr) return Fail(walk.Error);
      full = walk.Full;
    }
    if (!ReadOver(std::move(full))) return false;
    Walked = true;
    return true;
  }

  // Makes sure the index read over holds frame (video) or the sound up to sample position end:
  // the index of the file's first part while the walk goes on and the read lies inside it (a
  // read at the start does not wait for the whole walk), else the full index.
  bool EnsureIndexFor(bool video, int64_t frameOrEnd) {
    if (Walked) return true;
    IndexWalk& walk = *Head->Later;
    std::shared_ptr<const Index> early;
    {
      std::unique_lock<std::mutex> lock(walk.M);
      walk.Cv.wait(lock, [&walk] { return walk.Done || walk.EarlyDone; });
      if (!walk.Done) early = walk.Early;
    }
    // (The early index's last picture and sound packet may be followed by more of the same time.)
    if (early != nullptr && (video ? early->HasVideo && frameOrEnd + 1 < early->VInfo.FrameCount
                                   : early->HasAudio && frameOrEnd < early->AInfo.SampleCount))
      return ReadOver(std::move(early));
    return EnsureWalked();
  }

  // Reads over index from now on. What was decoded over the index of the file's first part
  // carries over to the full one where the runs stand inside that part (the full index starts
  // with the same entries: playback goes on without starting again at a key frame); anything
  // else decoded over another index is dropped.
  bool ReadOver(std::shared_ptr<const Index> index) {
    if (index == X) return true;
    if (index->VStream != Head->VStream || index->AStream != Head->AStream) return Fail("the file changed while it was read");
    Threaded.Stop();  // it reads the entries of the index it started over
    if (!RunsCarryOver(*X, *index)) Rest();
    X = std::move(index);
    VLookup.Use(&X->VTable);
    ALookup.Use(&X->ATable);
    return true;
  }

  // True when the runs of decoding over from (the index of the file's first part) stand where
  // to (the full index) has the same entries: neither run has been drained at the end of the
  // part, and every entry sent to the decoders is the same in both.
  bool RunsCarryOver(const Index& from, const Index& to) const {
    if (!from.Partial || to.Partial) return false;
    if (VRun) {
      if (VDrained || VNextSend > static_cast<int64_t>(from.VEntries.size()) ||
          VNextSend > static_cast<int64_t>(to.VEntries.size()))
        return false;
      if (!std::equal(from.VEntries.begin(), from.VEntries.begin() + VNextSend, to.VEntries.begin())) return false;
    }
    if (ARun) {
      if (ADrained || from.SkipStart != to.SkipStart || ANextSend > static_cast<int64_t>(from.AEntries.size()) ||
          ANextSend > static_cast<int64_t>(to.AEntries.size()))
        return false;
      for (int64_t i = 0; i < ANextSend; ++i) {
        if (!(from.AEntries[static_cast<size_t>(i)] == to.AEntries[static_cast<size_t>(i)])) return false;
        const auto sa = from.ASkip.find(i), sb = to.ASkip.find(i);
        if ((sa == from.ASkip.end()) != (sb == to.ASkip.end()) || (sa != from.ASkip.end() && sa->second != sb->second))
          return false;
      }
    }
    return true;
  }

  // Gives back what decoding holds (pictures, sound, the decoders' buffers); the demuxers and
  // the index stay.
  void Rest() {
    Threaded.Stop();
    ClearQueue();
    av_frame_free(&Held);
    HeldPts = kNoTs;
    VRun = false;
    VDrained = false;
    if (VDecoder.IsOpen()) VDecoder.Flush();
    ARun = false;
    ADrained = false;
    if (ADecoder.IsOpen()) ADecoder.Flush();
    std::vector<int16_t>().swap(ABuf);
    ABufStart = 0;
  }

  // ---- Pictures ----

  // A file can be cut short under an open reader (a copy still being written, a stick pulled
  // out): a seek goes only where the file still reaches, and a demuxer opened on it again must
  // find the stream the index describes (a programme stream cut short has none, and FFmpeg's
  // seek does not check the stream it is given).
  // Once found cut short, the file stays so for this reader: what it decoded before no longer
  // fits the file, and every read fails alike.
  bool FileReaches(int64_t pos) {
    const int64_t size = SizeOfFile(FileName);
    if (!CutShort && size >= 0 && size >= X->FileSize && (pos < 0 || size > pos)) return true;
    CutShort = true;
    return Fail("the file has been cut short");
  }
  bool HasIndexedStream(const Demuxer& d, int stream, AVMediaType type) {
    const AVFormatContext* fmt = d.Fmt();
    if (stream >= 0 && static_cast<unsigned>(stream) < fmt->nb_streams &&
        fmt->streams[stream]->codecpar->codec_type == type)
      return true;
    return Fail("the file has changed since it was opened");
  }

  bool EnsureVideoDemuxer() {
    if (VDemuxReady) return true;
    if (!VDemux.Open(FileName, Error, nullptr, X->Format)) return false;
    if (!HasIndexedStream(VDemux, X->VStream, AVMEDIA_TYPE_VIDEO)) return false;
    VDemux.Keep(X->VStream, -1);
    VDemuxReady = true;
    if (!X->PaletteKnown && Palette.empty() && VDemux.Next(X->VStream)) KeepPalette(VDemux.Packet());
    return true;
  }

  void KeepPalette(const AVPacket* pkt) {
    size_t size = 0;
    const uint8_t* side = av_packet_get_side_data(pkt, AV_PKT_DATA_PALETTE, &size);
    if (side != nullptr && size == AVPALETTE_SIZE) Palette.assign(side, side + size);
  }

  // Places the demuxer so that its current packet is entry k.
  bool SeekVideo(int64_t k) {
    ++Seeks;
    if (!EnsureVideoDemuxer()) return false;
    const VideoEntry& target = X->VEntries[static_cast<size_t>(k)];
    if (!FileReaches(target.Pos)) return false;
    for (int attempt = 0; attempt < 3; ++attempt) {
      VLookup.Reset();
      AVFormatContext* fmt = VDemux.Fmt();
      int err = 0;
      if (attempt == 0) {
        err = av_seek_frame(fmt, X->VStream, target.Dts, AVSEEK_FLAG_BACKWARD);
      } else if (attempt == 1) {
        if (target.Pos < 0 || (fmt->iformat->flags & AVFMT_NO_BYTE_SEEK)) continue;
        err = av_seek_frame(fmt, X->VStream, target.Pos, AVSEEK_FLAG_BYTE);
      } else {
        // The demuxer could not place itself: read the file from its start again.
        VDemuxReady = false;
        if (!EnsureVideoDemuxer()) return false;
        if (VLookup.Find(VDemux.Packet()) == k) return true;
      }
      if (err < 0) continue;
      while (VDemux.Next(X->VStream)) {
        const int64_t idx = VLookup.Find(VDemux.Packet());
        if (idx == k) return true;
        if (idx > k) break;
      }
    }
    return Fail("cannot find the picture's packet");
  }

  void KeepFrame(AVFrame*& frame, int64_t pts) {
    av_frame_free(&Held);
    Held = frame;
    HeldPts = pts;
    frame = nullptr;
  }

  void Drain() {
    VNextSend = static_cast<int64_t>(X->VEntries.size());
    VDecoder.Send(nullptr);
    VDrained = true;
  }

  // Sends the packet now in the demuxer (packetReady) or the next one of the stream, and
  // collects what comes out.
  bool FeedVideo(bool packetReady) {
    int64_t idx = -1;
    for (;;) {
      if (!packetReady && !VDemux.Next(X->VStream)) {
        Drain();
        return CollectFrames();
      }
      packetReady = false;
      idx = VLookup.Find(VDemux.Packet());
      if (idx >= VNextSend && VDemux.Packet()->size > 0) break;
    }
    AVPacket* pkt = VDemux.Packet();
    KeepPalette(pkt);
    if (PaletteDue && !Palette.empty() && av_packet_get_side_data(pkt, AV_PKT_DATA_PALETTE, nullptr) == nullptr) {
      uint8_t* side = av_packet_new_side_data(pkt, AV_PKT_DATA_PALETTE, AVPALETTE_SIZE);
      if (side != nullptr) std::memcpy(side, Palette.data(), AVPALETTE_SIZE);
    }
    PaletteDue = false;
    const VideoEntry& e = X->VEntries[static_cast<size_t>(idx)];
    // Our own timestamps go in, so that every picture that comes out names its entry.
    pkt->pts = e.Pts;
    pkt->dts = e.Dts;
    int err = VDecoder.Send(pkt);
    while (err == AVERROR(EAGAIN)) {
      if (!CollectFrames()) return false;
      err = VDecoder.Send(pkt);
    }
    VNextSend = idx + 1;
    if (VNextSend >= static_cast<int64_t>(X->VEntries.size())) {
      CollectFrames();
      Drain();
    }
    // A packet the decoder rejects (damaged data) leaves the picture before it standing.
    return CollectFrames();
  }

  bool CollectFrames() {
    for (;;) {
      AVFrame* frame = av_frame_alloc();
      if (frame == nullptr) return Fail("out of memory");
      const int err = VDecoder.Receive(frame);
      if (err < 0) {
        av_frame_free(&frame);
        return true;
      }
      if (Queue.size() >= kMaxQueuedFrames) {
        av_frame_free(&frame);
        continue;
      }
      Queue.push_back(frame);
    }
  }

  static int64_t FramePts(const AVFrame* f) { return f->pts != kNoTs ? f->pts : f->best_effort_timestamp; }

  bool ReadFrame(int64_t frame, uint8_t* dest, ptrdiff_t stride) {
    if (!HasVideo) return Fail("no pictures");
    if (CutShort) return FileReaches(0);
    if (!EnsureIndexFor(true, frame)) return false;
    if (dest == nullptr || stride < static_cast<ptrdiff_t>(X->VInfo.Width) * 3) return Fail("bad picture buffer");
    X->VideoTables();
    if (X->VTablesFailed) return Fail("cannot read the pictures' order");
    const int64_t e = X->EntryOf(frame);
    if (e < 0) return Fail("frame out of range");
    const int64_t targetPts = X->VEntries[static_cast<size_t>(e)].Pts;
    if (!VDecoder.IsOpen()) {
      OneThread = StartsOnOneThread(X->VParams);
      if (!VDecoder.Open(X->VParams, OneThread)) return Fail("no decoder for the pictures");
    }
    if (!(Held != nullptr && HeldPts == targetPts)) {
      if (!DecodeUpTo(e, targetPts)) return false;
    }
    if (!Pictures.Convert(Held, AV_PIX_FMT_BGR24, X->VInfo.Width, X->VInfo.Height, dest, stride))
      return Fail("cannot convert the picture");
    if (OneThread) FollowOnThreads();
    return true;
  }

  // After a picture of a run on the one-thread decoder: the frame-threaded one is told how far
  // the run got, and is started when none is filling.
  void FollowOnThreads() {
    Threaded.Shown(HeldPts);
    StartCatchUp(HeldPts);
  }

  void StartCatchUp(int64_t shown) {
    if (Threaded.Running() || VRunKey < 0 || ThreadedFailed) return;
    CatchUp::Source source{X, FileName, X->VStream, X->VParams, &X->VEntries, &X->VTable, X->Format};
    Threaded.Start(std::move(source), VRunKey, shown);
  }

  // The frame-threaded decoder takes the run over once it holds a picture past the one read last
  // (wait: however long that takes): its decoder, demuxer and the pictures it holds replace the
  // one-thread decoder's. Until then a one-thread run that goes on serves its pictures, so that
  // a run started short of a key frame (a seek while playing) does not wait for the other's start.
  void TakeThreadedRun(bool wait) {
    if (wait) Threaded.Wait();
    if (!Threaded.Ready()) return;
    std::unique_ptr<CaughtUpRun> run = Threaded.Take();
    if (run == nullptr) {
      ThreadedFailed = true;
      return;
    }
    VDecoder.Swap(run->Dec);
    VDemux.Take(run->Demux);
    VDemuxReady = true;
    VLookup = run->Lookup;
    ClearQueue();
    for (AVFrame*& f : run->Frames) {
      if (HeldPts == kNoTs || FramePts(f) > HeldPts) std::swap(f, Queue.emplace_back(nullptr));
    }
    VNextSend = run->NextSend;
    VDrained = run->Drained;
    VRun = true;
    OneThread = false;
  }

  // A run on the one-thread decoder that starts far from its picture goes to frame threads at
  // once: one thread would take many times as long to decode up to it.
  static constexpr int64_t kOneThreadReach = 8;
  // So far into its run the one-thread decoder serves at most: there the reader waits for the
  // frame-threaded one, which then decoded the same pictures beside it for that long already.
  static constexpr int64_t kOneThreadServes = 48;

  bool DecodeUpTo(int64_t e, int64_t targetPts) {
    const int64_t k = X->StartOf(e);
    // Decoding on from where the run stands is right while the wanted picture lies ahead and the
    // run has reached (or is about to send) its key frame; anything else starts at the key frame.
    const bool ahead = Held == nullptr || HeldPts < targetPts;
    // (The catch-up decodes the whole run from its key frame: it serves any picture ahead in it.)
    // After a drained first picture the reader waits for it rather than start the one-thread
    // decoder again from the key frame: by then it is most of the way there, and the one-thread
    // decoder, decoding beside its start, would be starved of cores picture after picture.
    if (OneThread && ahead && Held != nullptr && (k == VRunKey || (VRun && k <= VNextSend)))
      TakeThreadedRun(!VRun || e - VRunKey >= kOneThreadServes);
    if (!(VRun && ahead && k <= VNextSend)) {
      ClearQueue();
      av_frame_free(&Held);
      HeldPts = kNoTs;
      VRun = false;
      // One filling the same run goes on while the reader moves ahead in it (the first picture
      // was drained out): it needs none of the pictures up to the one shown.
      if (!(k == VRunKey && ahead)) Threaded.Stop();
      if (OneThread && (ThreadedFailed || e - k >= kOneThreadReach)) {
        Threaded.Stop();
        OneThread = false;
        if (!VDecoder.Open(X->VParams)) return Fail("no decoder for the pictures");
      }
      VDecoder.Flush();
      VDrained = false;
      VRunKey = k;
      // The frame-threaded decoder starts filling at once, beside the one-thread decoder's
      // first picture, so that it is further on when the run's next picture is asked for.
      if (OneThread) StartCatchUp(kNoTs);
      if (!SeekVideo(k)) return false;
      PaletteDue = true;
      VRun = true;
      VNextSend = k;
      if (!FeedVideo(true)) return false;
      if (OneThread && X->VEntries[static_cast<size_t>(k)].Pts == targetPts) {
        // The key frame's own picture (the first of a movie): drained out after its one packet
        // instead of the two or three a decoder holds back to reorder pictures. The next picture
        // comes from the frame-threaded decoder (above), or, should that fail, from the
        // one-thread run started again.
        Drain();
        if (!CollectFrames()) return false;
        VRun = false;
      }
    }
    for (;;) {
      while (!Queue.empty()) {
        AVFrame* f = Queue.front();
        const int64_t pts = FramePts(f);
        if (pts != kNoTs && pts > targetPts) {
          // The wanted picture did not come out (the decoder dropped it): the one before stands,
          // else the next one.
          if (Held == nullptr) {
            Queue.pop_front();
            KeepFrame(f, pts);
          }
          return Held != nullptr || Fail("the picture cannot be decoded");
        }
        Queue.pop_front();
        KeepFrame(f, pts == kNoTs ? targetPts : pts);
        if (HeldPts == targetPts) return true;
      }
      if (VDrained) {
        // Drained before the picture came out: the decoder dropped it, unless the file no
        // longer reaches its packet (cut short while open); then none stands in for it.
        if (!FileReaches(X->VEntries[static_cast<size_t>(e)].Pos)) return false;
        return Held != nullptr || Fail("the picture cannot be decoded");
      }
      if (!FeedVideo(false)) return false;
    }
  }

  // ---- Sound ----

  bool OpenAudioDecoder(int64_t link = -1) {
    if (!ADecoder.Open(link >= 0 ? X->ALinks[static_cast<size_t>(link)].second : X->AParams)) return false;
    ALink = link;
    // Timestamps in samples: the decoder's own trimming moves them in the same unit.
    ADecoder.Context()->pkt_timebase = AVRational{1, X->AInfo.SampleRate};
    return true;
  }

  bool EnsureAudioDemuxer() {
    if (ADemuxReady) return true;
    if (!ADemux.Open(FileName, Error, nullptr, X->Format)) return false;
    if (!HasIndexedStream(ADemux, X->AStream, AVMEDIA_TYPE_AUDIO)) return false;
    ADemux.Keep(X->AStream, -1);
    ADemuxReady = true;
    return true;
  }

  // The packet holding sample position raw (on the undecimated time line).
  int64_t AudioEntryAt(int64_t raw) const {
    const auto it = std::upper_bound(X->AEntries.begin(), X->AEntries.end(), raw,
                                     [](int64_t v, const AudioEntry& a) { return v < a.Start; });
    return it == X->AEntries.begin() ? 0 : static_cast<int64_t>(it - X->AEntries.begin() - 1);
  }

  bool SeekAudio(int64_t k) {
    ++Seeks;
    if (!EnsureAudioDemuxer()) return false;
    const AudioEntry& target = X->AEntries[static_cast<size_t>(k)];
    if (!FileReaches(target.Pos)) return false;
    for (int attempt = 0; attempt < 3; ++attempt) {
      ALookup.Reset();
      AVFormatContext* fmt = ADemux.Fmt();
      int err = 0;
      if (attempt == 0) {
        if (target.Dts == kNoTs) continue;
        err = av_seek_frame(fmt, X->AStream, target.Dts, AVSEEK_FLAG_BACKWARD);
      } else if (attempt == 1) {
        if (target.Pos < 0 || (fmt->iformat->flags & AVFMT_NO_BYTE_SEEK)) continue;
        err = av_seek_frame(fmt, X->AStream, target.Pos, AVSEEK_FLAG_BYTE);
      } else {
        ADemuxReady = false;
        if (!EnsureAudioDemuxer()) return false;
      }
      if (err < 0) continue;
      while (ADemux.Next(X->AStream)) {
        const int64_t idx = ALookup.Find(ADemux.Packet());
        if (idx == k) return true;
        if (idx > k) break;
      }
    }
    return Fail("cannot find the sound packet");
  }

  // Appends the decoded frames, placed by their timestamps.
  bool CollectSound() {
    AVFrame* frame = av_frame_alloc();
    if (frame == nullptr) return Fail("out of memory");
    for (;;) {
      const int err = ADecoder.Receive(frame);
      if (err < 0) break;
      std::vector<int16_t> samples;
      if (!Sound.Append(frame, samples)) {
        av_frame_free(&frame);
        return Fail("cannot convert the sound");
      }
      const int64_t ch = X->AInfo.Channels;
      const int64_t got = static_cast<int64_t>(samples.size()) / ch;
      const int64_t end = ABufStart + ABufFrames();
      const int64_t at = frame->pts != kNoTs ? frame->pts - X->SkipStart : end;
      if (at > end && at - end <= kMaxGapSeconds * X->AInfo.SampleRate) {
        ABuf.resize(ABuf.size() + static_cast<size_t>((at - end) * ch), 0);
      } else if (at < end && end - at < got) {
        samples.erase(samples.begin(), samples.begin() + static_cast<ptrdiff_t>((end - at) * ch));
      } else if (at < end) {
        samples.clear();
      }
      ABuf.insert(ABuf.end(), samples.begin(), samples.end());
      av_frame_unref(frame);
    }
    av_frame_free(&frame);
    return true;
  }

  bool FeedAudio(bool packetReady) {
    int64_t idx = -1;
    for (;;) {
      if (!packetReady && !ADemux.Next(X->AStream)) {
        ANextSend = static_cast<int64_t>(X->AEntries.size());
        ADecoder.Send(nullptr);
        ADrained = true;
        return CollectSound();
      }
      packetReady = false;
      idx = ALookup.Find(ADemux.Packet());
      if (idx >= ANextSend && ADemux.Packet()->size > 0) break;
    }
    AVPacket* pkt = ADemux.Packet();
    // The index's instruction is the one the packet carried when read from the start; it replaces
    // whatever the demuxer gives now: after a seek the Ogg demuxer reckons a stream's last packet
    // from timestamps of its own making and cuts a short sound's tail by hundreds of samples more.
    auto skip = X->ASkip.find(idx);
    if (skip != X->ASkip.end()) {
      uint8_t* side = av_packet_new_side_data(pkt, AV_PKT_DATA_SKIP_SAMPLES, skip->second.size());
      if (side != nullptr) std::memcpy(side, skip->second.data(), skip->second.size());
    }
    const AudioEntry& a = X->AEntries[static_cast<size_t>(idx)];
    pkt->pts = a.Start;
    pkt->dts = a.Start;
    pkt->duration = a.Samples;
    pkt->time_base = AVRational{1, X->AInfo.SampleRate};
    int err = ADecoder.Send(pkt);
    while (err == AVERROR(EAGAIN)) {
      if (!CollectSound()) return false;
      err = ADecoder.Send(pkt);
    }
    ANextSend = idx + 1;
    // (Headers of a chained stream go to the decoder in the stream.)
    if (!X->ALinks.empty()) ALink = X->LinkAt(idx);
    return CollectSound();
  }

  int64_t ReadAudio(int64_t position, int16_t* dest, int64_t maxFrames) {
    if (!HasAudio) {
      Fail("no sound");
      return -1;
    }
    if (dest == nullptr || maxFrames < 0 || position < 0) {
      Fail("bad sound buffer");
      return -1;
    }
    if (CutShort) return FileReaches(0) ? 0 : -1;
    if (!EnsureIndexFor(false, position + std::min<int64_t>(maxFrames, Head->AInfo.SampleCount))) return -1;
    if (position >= X->AInfo.SampleCount || maxFrames == 0) return 0;
    X->AudioTables();
    const int64_t want = std::min(maxFrames, X->AInfo.SampleCount - position);
    const int64_t raw = position + X->SkipStart;
    const int64_t j = AudioEntryAt(raw);
    const bool inBuffer = ARun && position >= ABufStart && position <= ABufStart + ABufFrames();
    const bool justAhead = ARun && !ADrained && position >= ABufStart && j <= ANextSend + kAudioPreroll;
    if (!(inBuffer || justAhead)) {
      const int64_t anchor = std::max<int64_t>(0, j - kAudioPreroll);
      // From the start, a new decoder: some keep state that no flush resets (the noise generator
      // of AAC), and a read from the start must give what it gave the first time. So too where
      // the decoder holds the headers of another stream of a chained file.
      const int64_t link = X->LinkAt(anchor);
      if (anchor == 0 || !ADecoder.IsOpen() || link != ALink) {
        if (!OpenAudioDecoder(link)) {
          HasAudio = false;
          Fail("no decoder for the sound");
          return -1;
        }
      } else {
        ADecoder.Flush();
      }
      ABuf.clear();
      ARun = false;
      ADrained = false;
      // Decoded samples are placed by their timestamps from here on.
      ABufStart = X->AEntries[static_cast<size_t>(anchor)].Start - X->SkipStart;
      if (!SeekAudio(anchor)) return -1;
      ARun = true;
      ANextSend = anchor;
      if (!FeedAudio(true)) return -1;
    }
    const int64_t ch = X->AInfo.Channels;
    while (ABufStart + ABufFrames() < position + want && !ADrained) {
      if (!FeedAudio(false)) return -1;
      // Samples before the position are no longer needed.
      if (ABufStart < position && ABufFrames() > 0) {
        const int64_t drop = std::min(position - ABufStart, ABufFrames());
        ABuf.erase(ABuf.begin(), ABuf.begin() + static_cast<ptrdiff_t>(drop * ch));
        ABufStart += drop;
      }
    }
    const int64_t end = ABufStart + ABufFrames();
    if (position < ABufStart || position >= end) return 0;
    const int64_t n = std::min(want, end - position);
    std::memcpy(dest, ABuf.data() + (position - ABufStart) * ch, static_cast<size_t>(n * ch) * sizeof(int16_t));
    // Keep what follows for the next sequential read.
    const int64_t drop = position + n - ABufStart;
    ABuf.erase(ABuf.begin(), ABuf.begin() + static_cast<ptrdiff_t>(drop * ch));
    ABufStart += drop;
    return n;
  }
};

// ---- Reader ----

Reader::Reader(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
namespace {

// FFmpeg's libraries may be bound at their first call (delayed loading), which takes the dynamic
// loader's lock; a library that unloads holds that lock while it waits for the closes still
// running. So no close may be the first call into one of them: each is called once before.
void CallEachLibrary() {
  AVCodecContext* noCodec = nullptr;
  avcodec_free_context(&noCodec);
  AVFormatContext* noFormat = nullptr;
  avformat_close_input(&noFormat);
  av_free(nullptr);
  sws_freeContext(nullptr);
  SwrContext* noResampler = nullptr;
  swr_free(&noResampler);
}

}  // namespace

Reader::~Reader() {
  // A picture decoder (frame threads, its frames) takes milliseconds to free: readers are often
  // closed on the way to opening another file (the shelf of kept readers gives one up), which
  // should not wait for it.
  if (impl_ == nullptr || !impl_->VDecoder.IsOpen()) return;
  CallEachLibrary();
  try {
    std::shared_ptr<Impl> gone(impl_.release());  // (freed by the constructor when it fails)
    CloseLater([gone]() mutable { gone.reset(); });
  } catch (...) {
  }
}

void Reader::FreeInBackground(std::vector<std::shared_ptr<Reader>> readers) {
  if (readers.empty()) return;
  CallEachLibrary();
  try {
    auto held = std::make_shared<std::vector<std::shared_ptr<Reader>>>(std::move(readers));
    CloseLater([held]() mutable { held.reset(); });
  } catch (...) {  // (freed here)
  }
}

std::unique_ptr<Reader> Reader::Open(const std::string& fileName, const OpenOptions& options, std::string* error,
                                     const ScanProgress& progress) {
  try {
    auto index = std::make_shared<Index>();
    index->FileName = fileName;
    index->FileSize = SizeOfFile(fileName);
    Demuxer scan;
    if (!index->Build(options, progress, scan)) {
      if (error != nullptr) *error = index->Error;
      return nullptr;
    }
    auto impl = std::make_unique<Impl>();
    if (!impl->Start(std::move(index), &scan)) {
      if (error != nullptr) *error = impl->Error;
      return nullptr;
    }
    return std::unique_ptr<Reader>(new Reader(std::move(impl)));
  } catch (...) {
    if (error != nullptr) *error = "out of memory";
    return nullptr;
  }
}

std::unique_ptr<Reader> Reader::Share() const {
  try {
    auto impl = std::make_unique<Impl>();
    if (!impl->Start(impl_->Head, nullptr)) return nullptr;
    return std::unique_ptr<Reader>(new Reader(std::move(impl)));
  } catch (...) {
    return nullptr;
  }
}

void Reader::Rest() { impl_->Rest(); }

bool Reader::HasVideo() const { return impl_->HasVideo; }
bool Reader::HasAudio() const { return impl_->HasAudio; }
const VideoInfo& Reader::Video() const { return impl_->Head->VInfo; }
const AudioInfo& Reader::Audio() const { return impl_->Head->AInfo; }

bool Reader::IsKeyFrame(int64_t frame) const {
  if (!impl_->HasVideo || !impl_->EnsureWalked()) return false;
  try {
    impl_->X->VideoTables();
  } catch (...) {
    return false;
  }
  const auto& keys = impl_->X->KeyFrames;
  return std::binary_search(keys.begin(), keys.end(), frame);
}

int64_t Reader::FindKeyFrame(int64_t frame, KeySearch direction) const {
  if (!impl_->HasVideo || !impl_->EnsureWalked()) return -1;
  try {
    impl_->X->VideoTables();
  } catch (...) {
    return -1;
  }
  const auto& keys = impl_->X->KeyFrames;
  if (keys.empty()) return -1;
  frame = std::clamp<int64_t>(frame, 0, impl_->X->VInfo.FrameCount - 1);
  if (direction == KeySearch::AtOrBefore) {
    auto it = std::upper_bound(keys.begin(), keys.end(), frame);
    return it == keys.begin() ? -1 : *(it - 1);
  }
  auto it = std::lower_bound(keys.begin(), keys.end(), frame);
  return it == keys.end() ? -1 : *it;
}

bool Reader::ReadFrame(int64_t frame, uint8_t* dest, ptrdiff_t stride) {
  try {
    return impl_->ReadFrame(frame, dest, stride);
  } catch (...) {
    return impl_->Fail("out of memory");
  }
}

int64_t Reader::ReadAudio(int64_t position, int16_t* dest, int64_t maxFrames) {
  try {
    return impl_->ReadAudio(position, dest, maxFrames);
  } catch (...) {
    impl_->Fail("out of memory");
    return -1;
  }
}

bool Reader::CountsFromContainer() const { return impl_->Head->Later != nullptr; }

const std::string& Reader::ContainerName() const { return impl_->Head->Container; }

const std::string& Reader::LastError() const { return impl_->Error; }

int64_t Reader::Seeks() const { return impl_->Seeks; }

}  // namespace tavelo::ffreader
