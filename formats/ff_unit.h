// What a format unit offers the dispatcher: one descriptor of entries per format id it serves
// (FFUnitById, beside the format tables, finds it). An entry a unit does not have is null, and the
// dispatcher does what the format layer does for a format without it (no picture, no sound, key
// frame 1, "Invalid image format." for a still load or save, "Invalid movie format." for an open).
//
// A movie or sound unit keeps its own handle as the open file's state: a tracked block of
// StateSize bytes that the dispatcher makes zeroed (owner tag "Conform.MviOpen.mf." + StateName)
// and constructs with NewState before Open, and frees after Close. The unit's handle holds tracked
// blocks of its own whose entries point into it, so the state stays where it was made.
#pragma once
#include <cstdint>
#include <new>
#include <string>

#include "core/media/img_basic.h"
#include "core/media/snd_basic.h"
#include "formats/conform.h"
#include "formats/ff_basic.h"
#include "formats/ff_progress.h"

namespace tavelo {

// How the dispatcher counts a file of the format (UniGetKind).
enum FFUnitKind : int32_t {
  fuStill = 1,         // a picture; several numbered files make a sequence
  fuMovie = 2,         // a movie, animation or sound, whatever its frame count
  fuStillOrMovie = 3,  // a picture; a file of several pictures is a movie or a sequence (PNM)
};

// The five values of an open movie that the dispatcher reads around each read.
struct FFMovieView {
  int32_t Frames = 0;
  int32_t CurrentFrame = 0;  // from 1
  int32_t CurrentSample = 0;
  int32_t KeyFrame = 0;  // bool: the frame read last
  int32_t Stop = 0;      // bool: further frame reads leave at once
};

struct FFUnit {
  FFUnitKind Kind = fuStill;

  // Describes a file (the MPEG family reads the progress callback).
  void (*Info)(const std::string& fileName, FFInfoRec& info, FFProgressProc progress, void* progressData) = nullptr;

  // Still pictures: reads the picture of a file; a unit with FillsAlpha also fills alpha (when
  // given), for every other the dispatcher makes it from the picture.
  void (*Load)(const std::string& fileName, Qimg& img, Qimg* alpha) = nullptr;
  int32_t FillsAlpha = 0;  // bool, also for the movie frame read
  // Writes one picture in the format (still formats only).
  void (*Save)(const std::string& fileName, const Qimg& img, FFVideoOpts& opts) = nullptr;

  // Save options: the format's defaults (null: the options are not valid for it) and the name of
  // the coding they choose (name holds "N/A" when called; null keeps it).
  void (*SaveDefaults)(FFVideoOpts& opts) = nullptr;
  void (*CodecName)(const FFVideoOpts& opts, std::string& name) = nullptr;

  // Movies and sound: the unit's own handle and the routines that take it.
  const char* StateName = nullptr;
  int64_t StateSize = 0;
  void (*NewState)(void* state) = nullptr;
  void (*Open)(void* state, const std::string& fileName, FFProgressProc progress, void* progressData) = nullptr;
  void (*ImgLoad)(void* state, Qimg& img, int32_t frame, Qimg* alpha) = nullptr;
  void (*SndLoad)(void* state, Qsnd& snd, int32_t pos, int32_t count, int32_t option) = nullptr;
  int32_t (*NearestKeyFrame)(void* state, int32_t frame, int32_t direction) = nullptr;
  void (*Close)(void* state, int32_t a, int32_t b, int32_t c) = nullptr;
  FFMovieView (*View)(const void* state) = nullptr;
};

// The unit's descriptor for a format id; null for an id no unit serves.
const FFUnit* FFUnitById(int32_t formatId);

// The unit's handle behind an open file's state.
template <class H>
H& FFStateOf(void* state) {
  return *static_cast<H*>(state);
}
template <class H>
const H& FFStateOf(const void* state) {
  return *static_cast<const H*>(state);
}
template <class H>
void FFNewState(void* state) {
  new (state) H();
}

// The sound-only format of a movie unit (MPEG audio, Ogg audio, Windows Media audio): the same
// handle, description and sound, without pictures, key frames or picture save options.
constexpr FFUnit FFSoundOnly(FFUnit unit) {
  unit.ImgLoad = nullptr;
  unit.NearestKeyFrame = nullptr;
  unit.SaveDefaults = nullptr;
  unit.CodecName = nullptr;
  return unit;
}

// For a unit whose every frame can be sought to directly: the frame itself is its key frame.
inline int32_t FFEveryFrameKey(void*, int32_t frame, int32_t) { return frame; }

// The coding name of the formats whose Codec only switches run-length encoding on.
inline void FFRunLengthName(const FFVideoOpts& opts, std::string& name) {
  name = opts.Codec != 0 ? "Run Length Encoding (RLE)" : "Uncompressed, full frames";
}

}  // namespace tavelo
