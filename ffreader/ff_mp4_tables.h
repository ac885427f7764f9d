// The sample tables of an MP4 or QuickTime file, read from its header boxes: what the reader needs
// beside the demuxer's own index (which holds decoding times, positions and sync samples, but not
// the composition offsets that put B pictures in display order).
#pragma once
#include <cstdint>
#include <string>
#include <vector>

namespace tavelo::ffreader {

struct Mp4Track {
  int64_t SampleCount = 0;
  // Presentation minus decoding time of the samples in decoding order, in the track's time
  // scale, as the file stores them: runs of samples sharing one offset, covering every sample;
  // empty when the track stores none (every sample is shown at its decoding time).
  struct Run {
    uint32_t Count = 0;
    int32_t Offset = 0;
  };
  std::vector<Run> OffsetRuns;
};

// Reads the tables of the track numbered trackId. False when the file cannot be read, holds no
// such track, keeps its samples in fragments (their tables are spread over the file) or its
// tables contradict each other or the sample count the demuxer indexed (expectedSamples): a count
// read from the file alone never sizes a table.
bool ReadMp4Track(const std::string& fileName, uint32_t trackId, int64_t expectedSamples, Mp4Track& track);

}  // namespace tavelo::ffreader
