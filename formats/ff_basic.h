// Shared helpers of the format layer (unit FFBasic): the filters of the open and save dialogs,
// finding a format by a file name's extension, the depth each format saves a picture in, save
// options and their codec names, and the time and rate arithmetic that turns frame and sample
// counts into seconds and back.
#pragma once
#include <cstdint>
#include <cstring>
#include <string>

#include "core/media/img_basic.h"
#include "formats/ff_tables.h"

namespace tavelo {

// ---- Filters ----

// Option bits of the filter builders.
enum : int32_t {
  ffoDescription = 1,  // name entries by their description instead of the short name
  ffoShowExts = 2,     // append " (ext,ext)" to each name
  ffoAllFiles = 4,     // begin with "All Files (*.*)|*.*|"
};

// ".avi.ivf.divx" gives the patterns "*.avi;*.ivf;*.divx" and the display text "avi,ivf,divx".
void FFConvExt_(const std::string& exts, std::string& patterns, std::string& display);
void FFMakeLoadFilter(uint32_t kindsMask, int32_t options, std::string& allPart, std::string& formatsPart);
void FFMakeSaveFilter(uint32_t kindsMask, int32_t options, std::string& filter);

// ---- Look-ups ----

// The extension of a file name with its point ("" when the last name part has none).
std::string FFFileExt_(const std::string& fileName);
// rec := the first row (in table order) whose extension list holds the file name's lower-cased
// extension; rec.FormatId = kNoFormat and the rest empty when none.
void FFFindFormatByExt_(const std::string& fileName, const FFFormatRec* readTable, int32_t readCount,
                        const FFFormatRec* writeTable, int32_t writeCount, int32_t which, FFFormatRec& rec);
void FFGetFormat(const std::string& fileName, FFFormatRec& rec, int32_t which);
int32_t FFGetFormatId(const std::string& fileName, int32_t which);
bool FFCanSave(int32_t formatId);

// The row of the save-depth table, kNoFormat when none.
int32_t FFSaveDepthRow_(int32_t formatId);
// The depth a picture of bpp bits is saved in; kNoFormat when the format has no row; 0 for a
// sound format.
int32_t FFSaveDepth(int32_t formatId, int32_t bpp);

// ---- Preparing a picture for a writer ----

// The picture a writer writes: the caller's own, or Temp when it had to be cut to whole blocks
// or converted to the depth the format saves.
struct FFSavePrep {
  const Qimg* Picture = nullptr;
  Qimg Temp;
  int32_t Owned = 0;  // -1: Temp holds a picture FFFree must free

  FFSavePrep() = default;
  FFSavePrep(const FFSavePrep&) = delete;
  FFSavePrep& operator=(const FFSavePrep&) = delete;
};

// Prepares img for formatId's writer: cut to the nearest multiples of block (at least one block;
// a block below 1 counts as 1) and converted to FFSaveDepth. An empty picture or a format without
// a save depth is error (14, 1).
void FFInit(int32_t formatId, FFSavePrep& prep, const Qimg& img, int32_t block);
void FFFree(FFSavePrep& prep);

// ---- Save options ----

struct FFVideoOpts {
  int32_t FormatId = 0;
  int32_t Codec = 0;        // the format's compression choice
  void* Data = nullptr;     // tracked block of codec-specific data, freed with the record
  double Quality = 0;
  int32_t XRes = 0;         // dots per inch stored by the PCX and BMP writers
  int32_t YRes = 0;
  int32_t Valid = 0;        // -1 true
  std::string CodecName;    // at most 255 characters

  FFVideoOpts() = default;
  FFVideoOpts(const FFVideoOpts&) = delete;  // Data is tracked by the address of this field
  FFVideoOpts& operator=(const FFVideoOpts&) = delete;
};

struct FFAudioOpts {
  void* Data = nullptr;  // tracked block, freed with the record

  FFAudioOpts() = default;
  FFAudioOpts(const FFAudioOpts&) = delete;
  FFAudioOpts& operator=(const FFAudioOpts&) = delete;
};

void FFVideoInit(FFVideoOpts& opts, int32_t formatId);
void FFVideoFree(FFVideoOpts& opts);
void FFVideoGetCodecName(const FFVideoOpts& opts, std::string& name);
// The integer part of v toward zero, saturated into the int32 range; NaN gives 0 (the numbers the
// codec names show).
int64_t FFIntPart(double v);
void FFAudioFree(FFAudioOpts& opts);

// ---- The largest picture a reader makes ----
// Readers check the picture a header describes before anything of its size is made, and refuse
// one that does not fit with (7, 4) (ZMV with its own (12, 1)).

// True when a picture of width x height pixels of bytesPP bytes each may be made: at most 2e9
// bytes (what the picture record holds with the allocator's margin). Negative figures never fit;
// sides of 0 are the callers' own check.
bool FFPictureFits(int64_t width, int64_t height, int64_t bytesPP);
// Test seam for the hostile-input runs (fuzz/): pictures with a side above maxSide pixels do not
// fit either, so that no input spends its time filling a picture only its header made large.
// 0, the program's state, removes the limit.
void FFSetPictureSideLimitForTest(int32_t maxSide);

// ---- Time and rate arithmetic (NaN fails every guard) ----

// count / rate when both are positive, else 0.
double FFFramesToSeconds(int32_t count, double rate);
// a x b when a >= 1 and b > 0 (saturating at 2147483647), else 0.
int32_t FFMulPositive(int32_t a, int32_t b);
// truncate(a x b + 0.4999) when a and b are positive, else 0: halves round down. Saturates.
int32_t FFRoundProduct(double a, double b);
// truncate(a x b x n + 0.4999) when a, b > 0 and n >= 1, else 0. Saturates.
int32_t FFRoundProduct3(int32_t n, double a, double b);

// ---- Saving without losing the old file ----
// Every writer writes a new file under a temporary name in the target's folder and renames it
// over the target only when it is complete, so a failed save never destroys the old file.

// A name for the temporary file, unique in this process, beside target.
std::string FFSaveTempName_(const std::string& target);
// Renames temp over target (a failure is error class 6, through the tracked-file routines).
void FFSaveCommit_(const std::string& temp, const std::string& target);
// Removes temp quietly (nothing is reported).
void FFSaveDiscard_(const std::string& temp);

// Runs write(tempName) and then commits; whatever leaves write (the unwinding of a failed
// monitor frame, any other exception) removes the temporary file and passes on.
template <class Write>
void FFSafeSave_(const std::string& target, Write&& write) {
  const std::string temp = FFSaveTempName_(target);
  try {
    write(temp);
    FFSaveCommit_(temp, target);
  } catch (...) {
    FFSaveDiscard_(temp);
    throw;
  }
}

// ---- Short copies for the run-length decoders ----
// Packets of a few bytes are the common case of run-length data: these copy and fill short spans
// with a few fixed-size moves (overlapping inside the span, never outside it) instead of a library
// call each; longer ones go to memcpy and memset.

inline void FFCopyBytes(uint8_t* d, const uint8_t* s, int64_t n) {
  if (n >= 16) {
    std::memcpy(d, s, static_cast<size_t>(n));
  } else if (n >= 8) {
    uint64_t a, b;
    std::memcpy(&a, s, 8);
    std::memcpy(&b, s + n - 8, 8);
    std::memcpy(d, &a, 8);
    std::memcpy(d + n - 8, &b, 8);
  } else if (n >= 4) {
    uint32_t a, b;
    std::memcpy(&a, s, 4);
    std::memcpy(&b, s + n - 4, 4);
    std::memcpy(d, &a, 4);
    std::memcpy(d + n - 4, &b, 4);
  } else if (n >= 2) {
    uint16_t a, b;
    std::memcpy(&a, s, 2);
    std::memcpy(&b, s + n - 2, 2);
    std::memcpy(d, &a, 2);
    std::memcpy(d + n - 2, &b, 2);
  } else if (n == 1) {
    *d = *s;
  }
}

inline void FFFillBytes(uint8_t* d, uint8_t v, int64_t n) {
  if (n >= 16) {
    std::memset(d, v, static_cast<size_t>(n));
    return;
  }
  const uint64_t p = 0x0101010101010101ull * v;
  if (n >= 8) {
    std::memcpy(d, &p, 8);
    std::memcpy(d + n - 8, &p, 8);
  } else if (n >= 4) {
    std::memcpy(d, &p, 4);
    std::memcpy(d + n - 4, &p, 4);
  } else if (n >= 2) {
    std::memcpy(d, &p, 2);
    std::memcpy(d + n - 2, &p, 2);
  } else if (n == 1) {
    *d = v;
  }
}

// ---- Four-character codes ----

inline uint32_t FFMakeRGBA(uint8_t b0, uint8_t b1, uint8_t b2, uint8_t b3) {
  return static_cast<uint32_t>(b0) | (static_cast<uint32_t>(b1) << 8) | (static_cast<uint32_t>(b2) << 16) |
         (static_cast<uint32_t>(b3) << 24);
}
void FourCCToStr(uint32_t code, std::string& s);
bool FourCCSame(uint32_t a, uint32_t b);

}  // namespace tavelo
