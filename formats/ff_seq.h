// Numbered picture sequences: a folder of still pictures whose names differ only in a number
// (shot0001.png, shot0002.png, ...) is one medium, one file per frame. A name is split into
// prefix, number and suffix; the folder is scanned for the unbroken run of numbers from the
// described file's number on; frame n is the file with number start + n - 1.
//
// Members are matched exactly: the same prefix and suffix (case-sensitive) and the number written
// the way SeqGetFileName writes it, since every frame is later opened by a name built from the
// first file.
#pragma once
#include <cstdint>
#include <string>

#include "formats/ff_progress.h"
#include "formats/structures.h"

namespace tavelo {

struct SeqRec {
  std::string Prefix;     // folder with its trailing '/' and the name part before the number
  std::string Suffix;     // everything after the number, extension included
  int32_t DigitCount = 0;  // 0 to 6: the width the number is written in; 0: no number
  int32_t StartNumber = 0;
  int32_t Count = 0;       // the unbroken run of existing numbers from StartNumber
  int64_t TotalSize = 0;   // bytes of the files of that run
};

// Sequence options (the UniInfo options): the low 10 bits are the position in the bare name
// (from 1) after which the number must start; seqAllowNegative lets a "-" right before the
// digits make the number negative; seqDetect switches detection on.
enum : int32_t { seqPositionMask = 1023, seqDetect = 1024, seqAllowNegative = 2048 };

// The run is counted over at most this many numbers from the start.
constexpr int32_t kSeqMaxRun = 1000000;

void SeqSplit(SeqRec& seq, const std::string& fileName, int32_t options);
void SeqGetFileName(const SeqRec& seq, int32_t n, std::string& name);
bool SeqDetect(SeqRec& seq, const std::string& fileName, int32_t options);
// The number a found name holds when it is a member, else 2147483647. position is where the
// number (or its "-") starts in name, from 1.
int32_t SeqMatchName(const std::string& name, const std::string& suffix, int32_t position, int32_t hi, int32_t lo,
                     int32_t zeros, int32_t digitCount);
// The length of the unbroken run of set bits from bit 0: all of the array when none is missing.
int32_t SeqRunLength(const BitArray& found);
// Counts the run and its size, reporting progress through the callback (after every 100th
// folder entry and when done); a callback that sets Cancel ends the listing early.
void SeqScan(SeqRec& seq, FFProgressProc progress, void* progressData);

}  // namespace tavelo
