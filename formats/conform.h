// The media dispatcher (unit ConForm): the only door through which the rest of the program
// reaches a media file. UniInfo describes a file, UniOpen opens it, UniImgLoad reads frame n into
// a picture record, UniSndLoad reads a run of sound samples, UniNearestKeyFrame finds a key frame
// and UniClose closes it. Below them the movie layer (Mvi*) and FFInfo select the format unit by
// FormatId; single pictures go through ImgLoad and numbered sequences through the Seq routines.
//
// Three kinds of media are served alike: a single picture (one frame), a numbered picture
// sequence (each frame its own file) and a movie, animation or sound (one file, through its
// unit). Booleans in the records are 32-bit integers, -1 true and 0 false; texts hold at most 255
// characters.
#pragma once
#include <cstdint>
#include <string>

#include "core/media/img_basic.h"
#include "core/media/snd_basic.h"
#include "formats/ff_basic.h"
#include "formats/ff_progress.h"
#include "formats/ff_seq.h"

namespace tavelo {

// What a file is, as the dispatcher serves it.
enum UniKind : int32_t {
  ukUnknown = 0,
  ukPicture = 1,   // a single picture
  ukSequence = 2,  // a numbered picture sequence or a multi-picture still file
  ukMovie = 3,     // a movie, animation or sound
};

struct FFVideoPart {
  int32_t Width = 0;
  int32_t Height = 0;
  int32_t BytesPP = 0;
  int32_t Bpp = 0;      // the depth frames are delivered in
  int32_t OrigBpp = 0;  // the depth stored in the file
  int32_t XRes = 0;
  int32_t YRes = 0;
  int32_t Frames = 0;
  double Duration = 0;  // seconds; computed by UniInfo
  double DataSize = 0;  // bytes of all decoded frames; computed by UniInfo
  double FrameRate = 0;
  int32_t CodecId = 0;
  std::string CodecName;
  int32_t HasVideo = 0;
  int32_t VideoSupported = 0;
};

struct FFAudioPart {
  WAVEFORMATEX SrcFormat{};  // as stored in the file
  WAVEFORMATEX PcmFormat{};  // as delivered
  int32_t Samples = 0;
  double Duration = 0;
  double DataSize = 0;
  double SampleRate = 0;
  int32_t Channels = 0;
  int32_t SrcChannels = 0;
  int32_t Bits = 0;
  int32_t BlockAlign = 0;
  int32_t CodecId = 0;
  std::string CodecName;
  int32_t HasAudio = 0;
  int32_t AudioSupported = 0;
};

// What one unit's Info routine fills.
struct FFInfoRec {
  int32_t FormatId = 0;
  double FileSize = 0;
  int32_t MaxBytesPerSec = 0;
  FFVideoPart Video;
  FFAudioPart Audio;
  std::string Description;
  int32_t Failed = 0;  // set by a unit to make the dispatcher stop describing the file at once
};

struct UniInfoRec {
  int32_t FormatId = 0;
  UniKind Kind = ukUnknown;
  std::string FileName;
  double FileSize = 0;  // for a sequence: the files of its unbroken run
  std::string Description;
  FFVideoPart Video;
  FFAudioPart Audio;
  int32_t Failed = 0;
  int32_t MaxBytesPerSec = 0;
  SeqRec Seq;
  FFProgressProc Progress = nullptr;
  void* ProgressData = nullptr;
};

struct FFUnit;

// The movie layer of an open medium: the unit that opened it and that unit's own handle (a
// tracked block that only this record owns, freed by MviClose), or none of them while closed.
struct MviHandle {
  int32_t FormatId = 0;
  const FFUnit* Unit = nullptr;
  void* State = nullptr;

  MviHandle() = default;
  MviHandle(const MviHandle&) = delete;  // the state is tracked by the address of its field
  MviHandle& operator=(const MviHandle&) = delete;
};

// An open medium. Closed (all zero) until UniOpen, open until UniClose, closed again after it.
struct UniHandle {
  int32_t FormatId = 0;
  UniKind Kind = ukUnknown;
  std::string FileName;
  std::string CurrentName;  // the file that holds the frame read last
  Qsnd Snd;
  int32_t CurrentFrame = 0;  // from 1
  int32_t CurrentSample = 0;
  double FrameTime = 0;
  double SampleTime = 0;
  int32_t KeyFrame = 0;
  FFVideoPart Video;
  FFAudioPart Audio;
  MviHandle Mvi;
  SeqRec Seq;
  FFVideoOpts VideoOpts;
  FFAudioOpts AudioOpts;

  UniHandle() = default;
  UniHandle(const UniHandle&) = delete;
  UniHandle& operator=(const UniHandle&) = delete;
};

// ---- Universal routines ----

UniKind UniGetKind(int32_t formatId, int32_t frameCount, int32_t pnmIsMovie);
// Options below 1024 switch sequence detection off; from 1024 on they are the sequence options.
bool UniInfo(const std::string& fileName, UniInfoRec& info, int32_t options, void* progressData,
             FFProgressProc progress);
void UniOpen(UniHandle& h, const UniInfoRec& info);
void UniImgLoad(UniHandle& h, Qimg& img, int32_t frame, int32_t spare);
void UniImgLoad_(UniHandle& h, Qimg& img, int32_t frame, Qimg* alpha, int32_t spare);
void UniSndLoad(UniHandle& h, Qsnd& snd, int32_t pos, int32_t count, int32_t option);
int32_t UniNearestKeyFrame(UniHandle& h, int32_t frame, int32_t direction);
void UniGetFileName(const UniInfoRec& info, int32_t frame, std::string& name);
void UniCloseEx(UniHandle& h, int32_t a, int32_t b, int32_t c);
void UniClose(UniHandle& h);

// ---- Movie layer and descriptions ----

void MviOpen(MviHandle& mvi, const std::string& fileName, int32_t formatId, FFProgressProc progress,
             void* progressData);
void MviImgLoad(MviHandle& mvi, Qimg& img, int32_t frame, Qimg* alpha, int32_t spare);
void MviSndLoad(MviHandle& mvi, Qsnd& snd, int32_t pos, int32_t count, int32_t option);
int32_t MviNearestKeyFrame(MviHandle& mvi, int32_t frame, int32_t direction);
void MviClose(MviHandle& mvi, int32_t a, int32_t b, int32_t c);
void FFInfo(const std::string& fileName, int32_t formatId, FFInfoRec& info, FFProgressProc progress,
            void* progressData);

// ---- Still pictures ----

// Reads the picture of a still file (formatId kNoFormat: by the name's extension). With alpha,
// an 8-bit grey picture of the same size is made too: the fourth bytes of a 32-bit picture, else
// all 255. No monitor frame of its own: errors unwind to the caller's frame.
void ImgLoad(const std::string& fileName, Qimg& img, int32_t formatId, Qimg* alpha);
// Writes img in opts' format (kNoFormat: by the name's extension); the size of the file written.
int32_t ImgSaveEx(const std::string& fileName, const Qimg& img, FFVideoOpts& opts);
// ImgSaveEx with the format's default options.
int32_t ImgSave(const std::string& fileName, const Qimg& img);

// ---- Unit life ----

// Raises the start-up counter and loads every codec library in the fixed order (withdrawing the
// formats of those that are missing). A repeated call does nothing until the matching Done.
void ConformUnitInit();
// Frees every codec library, in the same order.
void ConformUnitDone();

}  // namespace tavelo
