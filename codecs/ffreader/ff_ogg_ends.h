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
  // reading from the first of them gives the last packets with their times.
  int64_t Pages[3] = {-1, -1, -1};
};

struct OggEnds {
  std::vector<uint32_t> FirstSerials;  // of the pages that begin the streams at the file's start, in order
  std::unordered_map<uint32_t, OggStreamEnd> Streams;  // the streams' ends, by serial number
  bool NewStreamSeen = false;  // a stream begins after the first ones (a chained file)
  int64_t FileSize = 0;
};

// Reads the pages that begin the file's streams, and the pages whose headers and checksums are
// whole within the last window bytes of fileName.
// False when the file cannot be read.
bool ReadOggEnds(const std::string& fileName, int64_t window, OggEnds& ends);

// Frames up to and including the one whose granule position is granule, for a Theora stream with
// the given key-frame shift and version (major, minor, revision as 0xMMmmrr): streams before 3.2.1
// number their frames from 0, later ones from 1. -1 for a granule no count can come from.
int64_t TheoraFramesThrough(int64_t granule, int shift, uint32_t version);

}  // namespace tavelo::ffreader
