#include "formats/ff_seq.h"

#include <filesystem>

#include "core/services/basic.h"
#include "core/services/trace.h"
#include "core/services/win_utils.h"
#include "formats/structures.h"
#include "platform/shell/find_file.h"

namespace tavelo {

namespace {

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

bool FileExists_(const std::string& name) {
  platform::FindEntry e;
  return platform::StatEntry(name, e) && (e.attr & platform::kAttrDirectory) == 0;
}

std::string FullName(const std::string& fileName) {
  std::error_code ec;
  const std::filesystem::path full = std::filesystem::absolute(fileName, ec);
  return ec ? fileName : full.lexically_normal().string();
}

// The digits of |k| zero-filled to width, with "-" when k < 0.
std::string NumberText(int64_t k, int32_t width) {
  std::string digits = std::to_string(k < 0 ? -k : k);
  if (static_cast<int32_t>(digits.size()) < width) digits.insert(0, width - digits.size(), '0');
  return k < 0 ? "-" + digits : digits;
}

int32_t DigitsOf(int64_t v) { return static_cast<int32_t>(std::to_string(v < 0 ? -v : v).size()); }

// The bare name part of Prefix (after its folder) and the folder.
void SplitPrefix(const std::string& prefix, std::string& folder, std::string& bare) {
  const size_t slash = prefix.rfind('/');
  folder = slash == std::string::npos ? std::string() : prefix.substr(0, slash + 1);
  bare = slash == std::string::npos ? prefix : prefix.substr(slash + 1);
}

void Report(FFProgressProc progress, FFProgressRec& rec, int32_t done, bool finished) {
  if (progress == nullptr) return;
  rec.Done = done;
  rec.Total = -1;
  rec.Fraction = -1.0f;
  rec.Stage = 1;
  rec.Finished = finished ? -1 : 0;
  progress(&rec);
}

// Lists the entries of Prefix*Suffix that are members of the sequence, calling visit with each
// member's number and size. Returns false when the callback cancelled.
template <class Visit>
bool ListMembers(const SeqRec& seq, int32_t position, int32_t lo, int32_t hi, int32_t zeros,
                 FFProgressProc progress, FFProgressRec& rec, Visit&& visit) {
  std::string folder, barePrefix;
  SplitPrefix(seq.Prefix, folder, barePrefix);
  TFindRecEx find;
  int32_t count = 0;
  bool cancelled = false;
  for (bool more = FindFirstEx(seq.Prefix + "*" + seq.Suffix, kFileDetailsMask, find); more;
       more = FindNextEx(find)) {
    if (find.Name.compare(0, barePrefix.size(), barePrefix) == 0) {
      const int32_t number = SeqMatchName(find.Name, seq.Suffix, position, hi, lo, zeros, seq.DigitCount);
      if (number != 0x7FFFFFFF) visit(number, find.Size);
    }
    ++count;
    if (count % 100 == 0 && progress != nullptr) {
      Report(progress, rec, count, false);
      if (rec.Cancel != 0) {
        cancelled = true;
        break;
      }
    }
  }
  FindCloseEx(find);
  return !cancelled;
}

}  // namespace

void SeqSplit(SeqRec& seq, const std::string& fileName, int32_t options) {
  seq = SeqRec();
  const std::string full = FullName(fileName);
  const size_t slash = full.rfind('/');
  const std::string folder = slash == std::string::npos ? std::string() : full.substr(0, slash + 1);
  const std::string bare = slash == std::string::npos ? full : full.substr(slash + 1);
  const int32_t low = options & seqPositionMask;
  // 1-based positions in bare. Without a ".", the number may end the name.
  const size_t dot = bare.rfind('.');
  int32_t end = dot == std::string::npos ? static_cast<int32_t>(bare.size()) : static_cast<int32_t>(dot);
  while (end >= 1 && !IsDigit(bare[end - 1])) --end;
  int32_t start = end;  // the first digit will be at start (1-based) after the loop
  while (start >= 1 && start > low && IsDigit(bare[start - 1])) --start;
  int32_t digits = end - start;
  if (digits > 6) digits = 6;  // of a longer run, the last 6 digits are the number
  if (digits > 0) {
    const int32_t first = end - digits + 1;  // 1-based position of the number's first digit
    int32_t value = 0;
    for (int32_t i = first; i <= end; ++i) value = value * 10 + (bare[i - 1] - '0');
    int32_t cut = first - 1;  // characters of bare that belong to the prefix
    if ((options & seqAllowNegative) != 0 && cut >= 1 && bare[cut - 1] == '-' && value != 0) {
      value = -value;
      --cut;  // the "-" belongs to the number
    }
    seq.DigitCount = digits;
    seq.StartNumber = value;
    seq.Prefix = folder + bare.substr(0, cut);
    seq.Suffix = bare.substr(end);
  } else {
    const std::string ext = dot == std::string::npos ? std::string() : bare.substr(dot);
    seq.Suffix = ext;
    seq.Prefix = full.substr(0, full.size() - ext.size());
  }
}

void SeqGetFileName(const SeqRec& seq, int32_t n, std::string& name) {
  const int64_t k = static_cast<int64_t>(seq.StartNumber) + n - 1;
  name = seq.Prefix + NumberText(k, seq.DigitCount) + seq.Suffix;
}

bool SeqDetect(SeqRec& seq, const std::string& fileName, int32_t options) {
  SeqSplit(seq, fileName, options);
  if ((options & seqAllowNegative) != 0 && (options & seqDetect) == 0 && seq.StartNumber >= 0) return false;
  // A name without a number is never a sequence.
  if (seq.DigitCount == 0) return false;
  std::string second;
  SeqGetFileName(seq, 2, second);
  return FileExists_(second);
}

int32_t SeqMatchName(const std::string& name, const std::string& suffix, int32_t position, int32_t hi, int32_t lo,
                     int32_t zeros, int32_t digitCount) {
  constexpr int32_t kNone = 0x7FFFFFFF;
  if (position < 1 || position > static_cast<int32_t>(name.size())) return kNone;
  size_t p = static_cast<size_t>(position - 1);
  const bool negative = name[p] == '-';
  if (negative) ++p;
  size_t z = 0;
  while (p + z < name.size() && name[p + z] == '0') ++z;
  size_t d = 0;
  while (p + d < name.size() && IsDigit(name[p + d])) ++d;
  if (d == 0 || static_cast<int32_t>(d) < digitCount || d > 9) return kNone;
  int64_t value = 0;
  for (size_t i = 0; i < d; ++i) value = value * 10 + (name[p + i] - '0');
  if (negative) value = -value;
  if (value < lo || value > hi) return kNone;
  // Padding as the run's numbers are written.
  if (value >= 1) {
    if (lo < 0 ? static_cast<int32_t>(z) >= digitCount : static_cast<int32_t>(z) > zeros) return kNone;
  } else if (value == 0) {
    if (negative || z != d) return kNone;
  } else if (static_cast<int32_t>(z) < zeros) {
    return kNone;
  }
  // Exactly the text SeqGetFileName writes for this number, then exactly the suffix.
  const std::string text = name.substr(position - 1, (negative ? 1 : 0) + d);
  if (text != NumberText(value, digitCount)) return kNone;
  if (name.compare(p + d, std::string::npos, suffix) != 0) return kNone;
  return static_cast<int32_t>(value);
}

int32_t SeqRunLength(const BitArray& found) {
  const int32_t run = BitFind(found, false);
  // No missing number (or only bits past the end of the array): every number is present.
  return run >= found.Count ? found.Count : run;
}

void SeqScan(SeqRec& seq, FFProgressProc progress, void* progressData) {
  TraceScope trace("FFSeq.SeqScan");
  std::string first;
  SeqGetFileName(seq, 1, first);
  seq.Count = FileExists_(first) ? 1 : 0;
  seq.TotalSize = 0;
  if (seq.DigitCount <= 0 || seq.Count != 1) return;

  FFProgressRec rec;
  rec.Text = first.c_str();
  rec.UserData = progressData;
  BitArray found;
  BitAlloc(found, kSeqMaxRun);
  const int32_t lo = seq.StartNumber;
  const int32_t hi = seq.StartNumber + (kSeqMaxRun - 1);
  std::string folder, barePrefix;
  SplitPrefix(seq.Prefix, folder, barePrefix);
  const int32_t position = static_cast<int32_t>(barePrefix.size()) + 1;
  const int32_t zeros = seq.DigitCount - DigitsOf(seq.StartNumber);

  ListMembers(seq, position, lo, hi, zeros, progress, rec,
              [&](int32_t number, int64_t) { BitSet(true, number - lo, found); });
  Report(progress, rec, 0, true);

  seq.Count = SeqRunLength(found);
  int64_t total = 0;
  const int32_t count = seq.Count;
  ListMembers(seq, position, lo, hi, zeros, progress, rec, [&](int32_t number, int64_t size) {
    if (number - lo < count) total += size;
  });
  seq.TotalSize = total;
  BitFree(found);
  Report(progress, rec, 0, true);
}

}  // namespace tavelo
