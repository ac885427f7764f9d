#include "ffreader/ff_ogg_ends.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <vector>

extern "C" {
#include <libavutil/crc.h>
#include <libavutil/intreadwrite.h>
}

namespace tavelo::ffreader {

namespace {

uint32_t Le32(const uint8_t* p) { return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<uint32_t>(p[3]) << 24); }

// The page at p (avail bytes on): its length when its header and checksum are whole, else 0.
// budget is the bytes still allowed to be checksummed: a tail strewn with false page starts
// would otherwise checksum up to 64 KB at each of its bytes. 0 also when it is spent.
size_t PageLength(const uint8_t* p, size_t avail, size_t& budget) {
  if (avail < 27 || std::memcmp(p, "OggS", 4) != 0 || p[4] != 0) return 0;
  const size_t segments = p[26];
  if (27 + segments > avail) return 0;
  size_t body = 0;
  for (size_t s = 0; s < segments; ++s) body += p[27 + s];
  const size_t length = 27 + segments + body;
  if (length > avail) return 0;
  if (length > budget) {
    budget = 0;
    return 0;
  }
  budget -= length;
  // The page checksum: CRC-32 with polynomial 0x04C11DB7, not reflected, from 0, over the page
  // with its checksum field zeroed (FFmpeg's table; its result comes byte-swapped).
  static const uint8_t kZeros[4] = {};
  const AVCRC* crc = av_crc_get_table(AV_CRC_32_IEEE);
  uint32_t sum = av_crc(crc, 0, p, 22);
  sum = av_crc(crc, sum, kZeros, sizeof kZeros);
  sum = av_crc(crc, sum, p + 26, length - 26);
  return sum == AV_RB32(p + 22) ? length : 0;
}

bool ReadAt(FILE* f, long from, size_t n, std::vector<uint8_t>& buf) {
  buf.resize(n);
  return std::fseek(f, from, SEEK_SET) == 0 && std::fread(buf.data(), 1, n, f) == n;
}

}  // namespace

bool ReadOggEnds(const std::string& fileName, int64_t window, OggEnds& ends) {
  ends = OggEnds{};
  FILE* f = std::fopen(fileName.c_str(), "rb");
  if (f == nullptr) return false;
  std::vector<uint8_t> head;
  std::vector<uint8_t>& tail = ends.Tail;
  bool ok = std::fseek(f, 0, SEEK_END) == 0;
  const long size = ok ? std::ftell(f) : -1;
  ok = ok && size >= 0;
  const long from = size > window ? size - static_cast<long>(window) : 0;
  ok = ok && ReadAt(f, 0, static_cast<size_t>(std::min<long>(size, 1 << 14)), head) &&
       ReadAt(f, from, static_cast<size_t>(size - from), tail);
  std::fclose(f);
  if (!ok) return false;
  ends.FileSize = size;
  ends.TailFrom = from;

  // The pages that begin the streams come first, one after the other.
  // Every byte may be checksummed a few times over (pages found in a page's data), not more.
  size_t budget = 4 * (head.size() + tail.size()) + (size_t{1} << 17);
  size_t headEnd = 0;
  while (const size_t length = PageLength(head.data() + headEnd, head.size() - headEnd, budget)) {
    if ((head[headEnd + 5] & 0x02) == 0) break;
    ends.FirstSerials.push_back(Le32(head.data() + headEnd + 14));
    headEnd += length;
  }

  const size_t n = tail.size();
  for (size_t at = 0; at + 27 <= n;) {
    const uint8_t* p = tail.data() + at;
    const size_t length = PageLength(p, n - at, budget);
    if (budget == 0) return false;
    if (length == 0) {  // not a page here ("OggS" inside a packet's data, or a cut page)
      ++at;
      continue;
    }
    const size_t segments = p[26];
    const uint8_t flags = p[5];
    int64_t granule = 0;
    for (int i = 7; i >= 0; --i) granule = (granule << 8) | p[6 + i];
    ends.TailPages.push_back(OggTailPage{Le32(p + 14), at, length});
    OggStreamEnd& e = ends.Streams[Le32(p + 14)];
    if ((flags & 0x02) != 0 && static_cast<size_t>(from) + at >= headEnd) ends.NewStreamSeen = true;
    e.Ends = (flags & 0x04) != 0;
    if (granule != -1) {
      e.Granule = granule;
      e.Pages[0] = e.Pages[1];
      e.Pages[1] = e.Pages[2];
      e.Pages[2] = static_cast<int64_t>(from) + static_cast<int64_t>(at);
      e.Granules[0] = e.Granules[1];
      e.Granules[1] = e.Granules[2];
      e.Granules[2] = granule;
      // The last lacing value below 255 ends the page's last packet; the packet is empty when it
      // is 0 and the value before it ended a packet too (or, first on the page, it continues
      // nothing from the page before).
      size_t last = segments;
      while (last > 0 && p[27 + last - 1] == 255) --last;
      e.LastPacketEmpty = last > 0 && p[27 + last - 1] == 0 &&
                          (last == 1 ? (flags & 0x01) == 0 : p[27 + last - 2] != 255);
    }
    at += length;
  }
  return true;
}

bool OggTailPackets(const OggEnds& ends, uint32_t serial, int64_t from, std::vector<OggTailPacket>& packets,
                    bool& open) {
  packets.clear();
  open = false;          // a packet goes on past the page read last
  bool skipping = false; // that packet began before from
  bool first = true;
  uint32_t sequence = 0;
  OggTailPacket packet;
  for (const OggTailPage& page : ends.TailPages) {
    const uint8_t* p = ends.Tail.data() + page.At;
    const int64_t offset = ends.TailFrom + static_cast<int64_t>(page.At);
    if (page.Serial != serial || offset < from) continue;
    const bool continued = (p[5] & 0x01) != 0;
    const uint32_t number = Le32(p + 18);
    if (first) {
      open = skipping = continued;
    } else if (number != sequence + 1 || continued != open) {
      return false;
    }
    first = false;
    sequence = number;
    const size_t segments = p[26];
    const uint8_t* body = p + 27 + segments;
    for (size_t s = 0; s < segments; ++s) {
      const size_t lace = p[27 + s];
      if (!open) {
        packet = OggTailPacket{};
        packet.HeadSize = static_cast<int>(std::min<size_t>(lace, sizeof packet.Head));
        std::memcpy(packet.Head, body, static_cast<size_t>(packet.HeadSize));
        open = true;
      }
      packet.Size += static_cast<int64_t>(lace);
      body += lace;
      if (lace == 255) continue;
      if (!skipping) {
        packet.EndPage = offset;
        packets.push_back(packet);
      }
      open = skipping = false;
    }
  }
  return true;
}

int64_t TheoraFramesThrough(int64_t granule, int shift, uint32_t version) {
  if (granule < 0 || shift < 0 || shift > 31) return -1;
  const int64_t key = granule >> shift;
  const int64_t offset = granule & ((int64_t{1} << shift) - 1);
  const int64_t first = version < 0x030201 ? 1 : 0;
  if (key > INT64_MAX - offset - first) return -1;
  return key + offset + first;
}

}  // namespace tavelo::ffreader
