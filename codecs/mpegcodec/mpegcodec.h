// mpegcodec.dll: MPEG movies and sound over the shared FFmpeg reader. It reads MPEG-1 and MPEG-2
// video in system, program and transport streams and as elementary streams (".m1v", ".m2v"), and
// MPEG audio (layers 1 to 3) and AC3 sound files and tracks. The loader binds 32 exports; reading
// uses twelve. The multiplexer, demultiplexer and encoder exports exist so the binding is complete,
// and answer failure: no MPEG writer is built here.
//
// Pictures are delivered as B, G, R rows, top-down and unpadded; sound as interleaved signed
// 16-bit samples at the stream's own rate and channel count. No call throws. Failures that the
// caller should see as a message (a file that cannot be opened, an MPEG stream that cannot be
// read) go to the error routine installed with mpg_video_set_error_func, which must return; a
// file that simply holds no stream of the kind asked for fails without a message.
#pragma once
#include <cstdint>

extern "C" {

// The 48-byte sound description of mpg_audio_info.
struct MpgAudioInfo {
  int32_t Frames;         // sample frames, as delivered
  int32_t SampleRate;     // Hz
  int32_t Channels;       // delivered
  int32_t SrcChannels;    // stored
  int32_t Bits;           // per delivered sample: 16
  int32_t BytesPerFrame;  // of a delivered sample frame
  int32_t Reserved1;
  int32_t Layer;          // MPEG audio layer 1, 2 or 3 (0 for AC3)
  int32_t Lsf;            // 1: MPEG-2 low sampling frequencies (below 32 kHz)
  int32_t Kbps;           // the stored bit rate in kbit/s
  int32_t StreamKind;     // 1 MPEG audio, 3 AC3
  int32_t Reserved2;
};
static_assert(sizeof(MpgAudioInfo) == 48, "the sound description is 48 bytes");

enum : int32_t { kMpgKindMpegAudio = 1, kMpgKindAc3 = 3 };

// The progress record the library hands to a progress routine (by address). The routine may set
// Cancel to stop the work; BridgeData is the data given with the routine.
struct MpgLibProgress {
  const char* Text;  // what is being worked on (the file name)
  int64_t Done;      // bytes done
  int64_t Total;     // bytes in all
  double Fraction;   // percent
  int32_t Finished;  // 1 on the last report
  int32_t Cancel;
  int32_t Stage;     // 1
  void* BridgeData;
};
using MpgProgressProc = void (*)(MpgLibProgress* rec);
using MpgErrorProc = void (*)(const char* text);

// What mpg_get_type finds at the start of a file.
enum : int32_t {
  kMpgTypeUnknown = 0,
  kMpgTypeVideo = 1,      // elementary video stream
  kMpgTypeSystem = 2,     // MPEG-1 system stream (also a VCD's RIFF/CDXA ".dat" file)
  kMpgTypeAudio = 3,      // MPEG audio or AC3 elementary stream
  kMpgTypeProgram = 4,    // MPEG-2 program stream
  kMpgTypeTransport = 5,  // transport stream
};

struct MpgVideoLib;
struct MpgAudioLib;

// Installs the error routine (nullptr: none). Process-wide.
void mpg_video_set_error_func(MpgErrorProc errorProc);
int32_t mpg_get_type(const char* fileName);

// Describes the first MPEG video stream. extra receives 8 bytes: the aspect-ratio code and the
// video buffer size of the sequence header, as two 32-bit numbers. rateCode is the frame-rate
// code of the sequence header, bitRate its bit rate in bits per second (0 when it states a
// variable rate), mpeg2 is 1 for MPEG-2 video, systemFlag 1 when the video lies in a stream that
// may carry sound too, secondFlag 1 when that stream is cut into the 2324-byte packs of video
// CDs (VCD and SVCD), rateKbps the bit rate in kbit/s. Non-zero on success.
int32_t mpg_video_info(const char* fileName, int32_t* width, int32_t* height, uint8_t* extra, int32_t* frames,
                       int32_t* rateCode, int32_t* bitRate, int32_t* mpeg2, int32_t* systemFlag, int32_t* secondFlag,
                       int32_t* rateKbps, MpgProgressProc progress, void* progressData);
// Describes the first MPEG audio or AC3 stream. Non-zero on success.
int32_t mpg_audio_info(const char* fileName, MpgAudioInfo* info, MpgProgressProc progress, void* progressData);

// Opens the pictures; *context receives the library's own context (nullptr on failure). mode is
// not used. Non-zero on success.
int32_t mpg_video_open(MpgVideoLib** context, const char* fileName, int32_t mode, MpgProgressProc progress,
                       void* progressData);
void mpg_video_close(MpgVideoLib* context);
// Decodes the next frame into pixels (width x height x 3 bytes) and moves on. Non-zero on success.
int32_t mpg_video_read(MpgVideoLib* context, void* pixels);
// The next read delivers frame frameIndex (from 0). Non-zero on success.
int32_t mpg_video_seek(MpgVideoLib* context, int32_t frameIndex);
// Not available here: nullptr.
void* mpg_video_read_first_frame(const char* fileName, int32_t* width, int32_t* height);
void mpg_video_read_first_frame_free(void* pixels);

MpgAudioLib* mpg_audio_open(const char* fileName, MpgProgressProc progress, void* progressData);
void mpg_audio_close(MpgAudioLib* handle);
// The next read starts at sample frame pos (0 up to the length). Non-zero on success.
int32_t mpg_audio_seek(MpgAudioLib* handle, int32_t pos);
// Reads up to count sample frames; the number read (0 at the end), -1 on failure.
int32_t mpg_audio_read(MpgAudioLib* handle, void* buffer, int32_t count);

// Writing: not available here. Each answers failure (0 or nullptr).
int32_t mpg_mplex(const char* videoFile, const char* audioFile, const char* outFile, int32_t kind);
int32_t mpg_demux(const char* inFile, const char* videoFile, const char* audioFile);
void* bbmpeg_create(const char* fileName, int32_t width, int32_t height, double frameRate);
int32_t bbmpeg_write(void* encoder, const void* pixels);
int32_t bbmpeg_close(void* encoder);
int32_t bbmpeg_set_resolution(void* encoder, int32_t width, int32_t height);
int32_t bbmpeg_set_bitrate(void* encoder, int32_t bitRate);
int32_t bbmpeg_set_aspect_ratio(void* encoder, int32_t aspectCode);
int32_t bbmpeg_set_closed_gop(void* encoder, int32_t closed);
void* ffmpeg_create(const char* fileName, int32_t kind);
int32_t ffmpeg_close(void* encoder);
int32_t ffmpeg_video_write_bgr24(void* encoder, const void* pixels);
int32_t ffmpeg_video_set_resolution(void* encoder, int32_t width, int32_t height);
int32_t ffmpeg_video_set_bitrate(void* encoder, int32_t bitRate);
int32_t ffmpeg_video_set_aspect_ratio(void* encoder, int32_t num, int32_t den);
int32_t ffmpeg_video_set_closed_gop(void* encoder, int32_t closed);
int32_t ffmpeg_audio_write(void* encoder, const void* samples, int32_t count);
int32_t ffmpeg_audio_set_bitrate(void* encoder, int32_t bitRate);

// The export types the MPEG unit binds.
using mpg_video_set_error_func_t = void (*)(MpgErrorProc);
using mpg_get_type_t = int32_t (*)(const char*);
using mpg_video_info_t = int32_t (*)(const char*, int32_t*, int32_t*, uint8_t*, int32_t*, int32_t*, int32_t*, int32_t*,
                                     int32_t*, int32_t*, int32_t*, MpgProgressProc, void*);
using mpg_audio_info_t = int32_t (*)(const char*, MpgAudioInfo*, MpgProgressProc, void*);
using mpg_video_open_t = int32_t (*)(MpgVideoLib**, const char*, int32_t, MpgProgressProc, void*);
using mpg_video_close_t = void (*)(MpgVideoLib*);
using mpg_video_read_t = int32_t (*)(MpgVideoLib*, void*);
using mpg_video_seek_t = int32_t (*)(MpgVideoLib*, int32_t);
using mpg_audio_open_t = MpgAudioLib* (*)(const char*, MpgProgressProc, void*);
using mpg_audio_close_t = void (*)(MpgAudioLib*);
using mpg_audio_seek_t = int32_t (*)(MpgAudioLib*, int32_t);
using mpg_audio_read_t = int32_t (*)(MpgAudioLib*, void*, int32_t);

}  // extern "C"
