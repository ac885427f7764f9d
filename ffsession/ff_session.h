// What the movie codec libraries (mpegcodec, oggcodec, wmcodec) share on top of the shared FFmpeg
// reader: the first bytes of a file, by which each library recognises its own containers before
// FFmpeg (which would open anything it knows) is asked, and one open file with the positions that
// sequential picture and sound reads continue from. Nothing here throws.
#pragma once
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "ffreader/ff_reader.h"

namespace tavelo::ffsession {

// Up to n bytes from the start of the file; false when it cannot be opened or read (a short file
// gives fewer bytes and true).
bool ReadHead(const char* fileName, size_t n, std::vector<uint8_t>& head);

int32_t Clamp32(int64_t v);

// A reader of fileName with the streams asked for. Building a reader indexes the file; a unit
// describes a file before it opens it, and opens its pictures and its sound apart, so readers are
// kept for the opens that follow: while the file is unchanged (same name, size and modification
// time) a kept reader, or a new one over the kept index, is handed out instead of reading the
// file again. nullptr when the file cannot be read.
// progress (when given) hears how a scan of the file goes, and may stop it.
std::shared_ptr<ffreader::Reader> TakeReader(const char* fileName, bool video, bool audio,
                                             const ffreader::ScanProgress& progress = {});
// Hands a reader taken from TakeReader back: kept for the next open of the same file (keep), or
// given up.
void ReturnReader(std::shared_ptr<ffreader::Reader> reader, bool keep = true);
// Forgets every kept reader (their files are closed).
void ForgetReaders();

// One file opened through the reader. The streams the library accepts are chosen by the caller
// (VideoOk, AudioOk); reads of a stream that was not accepted fail.
struct Session {
  std::shared_ptr<ffreader::Reader> R;
  bool VideoOk = false;
  bool AudioOk = false;
  int64_t NextFrame = 0;  // the frame the next sequential picture read delivers (from 0)
  int64_t AudioPos = 0;   // the sample frame the next sound read starts at

  Session() = default;
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;
  // A reader whose streams were accepted is handed back for the next open of the file.
  ~Session();

  // Opens fileName with the streams asked for (a kept reader of the unchanged file, see
  // TakeReader); false when the reader cannot.
  bool Open(const char* fileName, bool video, bool audio,
            const ffreader::ScanProgress& progress = {});

  int32_t Width() const;
  int32_t Height() const;
  int32_t FrameCount() const;  // 0 without accepted pictures
  double FrameRate() const;
  int32_t SampleRate() const;
  int32_t Channels() const;
  int32_t SampleCount() const;  // 0 without accepted sound

  // The next frame as B, G, R rows, top-down and unpadded; moves on only when it succeeds.
  bool ReadNextFrame(void* pixels);
  // The next sequential read delivers frame index; false (nothing changed) outside the stream.
  bool SeekFrame(int64_t index);
  // Up to count sample frames of 16-bit PCM from AudioPos on; the frames read (0 at the end), -1
  // on failure. AudioPos moves on by what was read.
  int64_t ReadSound(void* buffer, int64_t count);
  // The next sound read starts at sample frame pos (0 .. SampleCount); false outside.
  bool SeekSound(int64_t pos);
};

}  // namespace tavelo::ffsession
