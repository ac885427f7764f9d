// The packets of a movie file as the shared reader reads them: one demuxer over the file, and
// the index entries of its picture and sound packets with the look-up that finds an entry from a
// packet read again after a seek. (Internal to the reader.)
#pragma once
#include <algorithm>
#include <atomic>
#include <cstdint>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

extern "C" {
#include <libavformat/avformat.h>
}

namespace tavelo::ffreader {

// Only a regular file is read: FFmpeg would wait for ever on a FIFO (and read a device or a
// socket without end), and a name holding a NUL would open the part before the NUL.
bool RegularFile(const std::string& name, std::string& error);

// The demuxer of a file whose first bytes name its container beyond doubt, as FFmpeg's probe of
// every demuxer it knows would choose it (each of these scores the most a probe can): an ISO
// file-type box (MP4, QuickTime, 3GP, M4A; not JPEG 2000 or JPEG XL pictures in such a box), the
// ASF header object, an Ogg page. Opening it by name spares the probe, a tenth of the open.
// nullptr for any other file.
const AVInputFormat* FormatByHead(const std::string& name);

bool IsAttachedPicture(const AVStream* st);
// The first stream of type that can be decoded (an attached cover picture is none), -1: none.
int FindStream(AVFormatContext* fmt, AVMediaType type);

// Codecs whose packets decode to a number of samples their containers do not state exactly
// (Vorbis block sizes overlap; the WMA decoders hold packets back): their sound is counted by
// decoding it once when the file opens (except Vorbis in Ogg, counted from its block sizes, and
// WMA 1 and 2 coded without the bit reservoir, counted from its blocks: ff_asf_sound.h).
bool MeasuredSound(AVCodecID id);

// FFmpeg's AVI demuxer (nullptr when the library has none).
const AVInputFormat* AviInputFormat();

// One opened demuxer over the file, reading one stream and skipping the others.
class Demuxer {
 public:
  ~Demuxer() { Close(); }
  // stop (when given) breaks off the demuxer's reading as soon as it is set. format (when given)
  // is the demuxer the file is known to need, so the file is not probed for one.
  bool Open(const std::string& name, std::string& error, const std::atomic<bool>* stop = nullptr,
            const AVInputFormat* format = nullptr);
  void Close() {
    av_packet_free(&packet_);
    avformat_close_input(&fmt_);
  }
  // Takes over other's open file (other is left closed).
  void Take(Demuxer& other) {
    Close();
    std::swap(fmt_, other.fmt_);
    std::swap(packet_, other.packet_);
  }
  AVFormatContext* Fmt() const { return fmt_; }
  AVPacket* Packet() const { return packet_; }
  // Only the streams in keep are read; the demuxer skips the data of the others.
  void Keep(int a, int b) {
    for (unsigned i = 0; i < fmt_->nb_streams; ++i)
      fmt_->streams[i]->discard = (static_cast<int>(i) == a || static_cast<int>(i) == b) ? AVDISCARD_DEFAULT
                                                                                        : AVDISCARD_ALL;
  }
  // The next packet of stream into Packet(); false at the end or on a read error.
  bool Next(int stream) {
    for (;;) {
      av_packet_unref(packet_);
      const int err = av_read_frame(fmt_, packet_);
      if (err < 0) return false;
      if (packet_->stream_index == stream) return true;
    }
  }

 private:
  AVFormatContext* fmt_ = nullptr;
  AVPacket* packet_ = nullptr;
};

// What a packet holds, in brief (its size and its first and last bytes): packets read again after
// a seek are recognised by it whatever position and timestamps the demuxer gives them then.
// 0 means "not known" (entries taken from a container's index).
uint64_t PacketMark(const AVPacket* pkt);

struct VideoEntry {
  int64_t Pts = 0;
  int64_t Dts = 0;
  int64_t Pos = -1;
  bool Key = false;
  uint64_t Mark = 0;
  bool operator==(const VideoEntry&) const = default;
};

struct AudioEntry {
  int64_t Dts = 0;
  int64_t Pos = -1;
  int64_t Start = 0;  // first sample frame, on the undecimated time line
  int64_t Samples = 0;
  uint64_t Mark = 0;
  bool operator==(const AudioEntry&) const = default;
};

// Finds an index entry from a packet. Entries made from the packets themselves are found by what
// the packet holds (PacketMark): after a seek a demuxer's parser may deliver a stray piece of data
// at an entry's position, or the entry's own packet without its position and with another
// timestamp. Packets of equal content are told apart by the run they belong to (the entry after
// the one found last), else by position and timestamp. Entries taken from a container's index
// are found by position, else by decoding timestamp. Packets that match no entry (a parser
// resynchronizing after a seek) are not sent to the decoder.
//
// The table is built once with the index and shared by every reader of the file; the run (the
// entry found last) belongs to one reader.
class EntryTable {
 public:
  // Entries come with marks (a scan) or without (an index), never mixed in one table.
  void Add(int64_t index, int64_t pos, int64_t dts, uint64_t mark) {
    if (mark != 0) {
      entries_.push_back(Entry{pos, dts});
      byMark_[mark].push_back(index);
      return;
    }
    if (pos >= 0) byPos_.push_back({pos, index});
    else if (dts != AV_NOPTS_VALUE) byDts_.push_back({dts, index});
  }
  // Called once after the last Add: the position and timestamp lists are searched by halving.
  // (The first entry of a key is the one found, as it was added first.)
  void Seal() {
    const auto less = [](const Key& a, const Key& b) { return a.first < b.first; };
    // Positions and timestamps mostly come in order already.
    if (!std::is_sorted(byPos_.begin(), byPos_.end(), less)) std::stable_sort(byPos_.begin(), byPos_.end(), less);
    if (!std::is_sorted(byDts_.begin(), byDts_.end(), less)) std::stable_sort(byDts_.begin(), byDts_.end(), less);
  }
  void Reserve(size_t n) { byPos_.reserve(n); }

  // last: the entry found last in the run, -1 at its start.
  int64_t Lookup(const AVPacket* pkt, int64_t last) const {
    const int64_t dts = pkt->dts != AV_NOPTS_VALUE ? pkt->dts : pkt->pts;
    if (!byMark_.empty()) {
      const auto it = byMark_.find(PacketMark(pkt));
      if (it == byMark_.end()) return -1;
      const std::vector<int64_t>& c = it->second;
      if (c.size() == 1) return c.front();
      if (last >= 0 && std::binary_search(c.begin(), c.end(), last + 1)) return last + 1;
      int64_t byPos = -1, byDts = -1;
      for (int64_t i : c) {
        const Entry& e = entries_[static_cast<size_t>(i)];
        if (pkt->pos >= 0 && e.Pos == pkt->pos && (e.Dts == dts || byPos < 0)) byPos = i;
        if (dts != AV_NOPTS_VALUE && e.Dts == dts && byDts < 0) byDts = i;
      }
      if (byPos >= 0) return byPos;
      if (byDts >= 0) return byDts;
      const auto after = std::upper_bound(c.begin(), c.end(), last);
      return after != c.end() ? *after : c.front();
    }
    if (pkt->pos >= 0) {
      if (const int64_t i = Search(byPos_, pkt->pos); i >= 0) return i;
    }
    if (dts != AV_NOPTS_VALUE) return Search(byDts_, dts);
    return -1;
  }

 private:
  struct Entry {
    int64_t Pos, Dts;
  };
  std::vector<Entry> entries_;
  std::unordered_map<uint64_t, std::vector<int64_t>> byMark_;
  using Key = std::pair<int64_t, int64_t>;  // position or timestamp, entry
  static int64_t Search(const std::vector<Key>& list, int64_t v) {
    const auto it = std::lower_bound(list.begin(), list.end(), v, [](const Key& k, int64_t x) { return k.first < x; });
    return it != list.end() && it->first == v ? it->second : -1;
  }
  std::vector<Key> byPos_;
  std::vector<Key> byDts_;
};

class EntryLookup {
 public:
  void Use(const EntryTable* table) { table_ = table; }
  // The demuxer moved: the next packet starts a new run.
  void Reset() { last_ = -1; }
  int64_t Find(const AVPacket* pkt) {
    if (pkt->size <= 0 || table_ == nullptr) return -1;  // never indexed, and no step in the run
    // The packet found last, asked for again, is the same entry.
    const Key key{pkt->pos, pkt->dts, pkt->pts, pkt->size};
    if (last_ >= 0 && key == lastKey_) return last_;
    const int64_t index = table_->Lookup(pkt, last_);
    last_ = index;
    lastKey_ = key;
    return index;
  }

 private:
  struct Key {
    int64_t Pos, Dts, Pts;
    int Size;
    bool operator==(const Key&) const = default;
  };
  const EntryTable* table_ = nullptr;
  int64_t last_ = -1;
  Key lastKey_{};
};

}  // namespace tavelo::ffreader
