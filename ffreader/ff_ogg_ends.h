// What the last pages of an Ogg file say about where each of its logical streams ends: the
// granule position of each stream's last page, read from the file's tail without walking the
// packets. The shared reader takes exact frame and sample counts from it at open.
#pragma once
#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

namespace tavelo::ffreader {

struct OggStreamEnd {
  int64_t Granule = -1;         // of the stream's last page that ends a packet (-1: none seen)
  bool Ends = false;            // the stream's last page seen carries the end-of-stream flag
  bool LastPacketEmpty = false; // the last packet of that page holds no data
  // File offsets of the stream's last three pages that end a packet, oldest first (-1: fewer):
  // reading from the first of them gives the last packets with their times. Granules: theirs.
  int64_t Pages[3] = {-1, -1, -1};
  int64_t Granules[3] = {-1, -1, -1};
};

// A page found in the file's tail.
struct OggTailPage {
  uint32_t Serial = 0;
  size_t At = 0;      // in OggEnds::Tail
  size_t Length = 0;  // header and body
};

// A packet of one stream, put together from the pages in the file's tail.
struct OggTailPacket {
  uint8_t Head[8] = {};  // its first bytes
  int HeadSize = 0;      // min(Size, 8)
  int64_t Size = 0;
  int64_t EndPage = -1;  // file offset of the page it ends on
};

struct OggEnds {
  std::vector<uint32_t> FirstSerials;  // of the pages that begin the streams at the file's start, in order
  std::unordered_map<uint32_t, OggStreamEnd> Streams;  // the streams' ends, by serial number
  bool NewStreamSeen = false;  // a stream begins after the first ones (a chained file)
  int64_t FileSize = 0;
  // The bytes read from the file's tail (from file offset TailFrom on) and the whole pages
  // found in them, in order.
  std::vector<uint8_t> Tail;
  int64_t TailFrom = 0;
  std::vector<OggTailPage> TailPages;
};

// Reads the pages that begin the file's streams, and the pages whose headers and checksums are
// whole within the last window bytes of fileName.
// False when the file cannot be read.
bool ReadOggEnds(const std::string& fileName, int64_t window, OggEnds& ends);

// The packets of the stream serial that end on its pages from file offset from on, in order, as
// the tail read by ReadOggEnds holds them (a packet continued from a page before from is left
// out). open is set when the last page leaves a packet unfinished. False when the stream's pages
// there do not follow one another (one missing or cut).
bool OggTailPackets(const OggEnds& ends, uint32_t serial, int64_t from, std::vector<OggTailPacket>& packets,
                    bool& open);

// Frames up to and including the one whose granule position is granule, for a Theora stream with
// the given key-frame shift and version (major, minor, revision as 0xMMmmrr): streams before 3.2.1
// number their frames from 0, later ones from 1. -1 for a granule no count can come from.
int64_t TheoraFramesThrough(int64_t granule, int shift, uint32_t version);

}  // namespace tavelo::ffreader
