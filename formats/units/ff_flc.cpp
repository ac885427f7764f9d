// The FLIC unit: header, frame chunks and their sub-chunks, palette packets and the three packed
// kinds (word delta, byte delta, byte run).
#include "formats/units/ff_flc.h"

#include <algorithm>
#include <cstring>

#include "core/services/basic.h"
#include "core/services/errors.h"
#include "core/services/files.h"
#include "core/services/memory.h"
#include "core/services/monitor.h"
#include "core/services/trace.h"
#include "formats/conform.h"
#include "formats/ff_basic.h"
#include "formats/ff_tables.h"
#include "formats/ff_unit.h"

namespace tavelo {

namespace {

constexpr int32_t kTrue = -1;
constexpr int64_t kHeaderSize = 128;
constexpr int64_t kChunkHeader = 16;
constexpr int64_t kSubChunkHeader = 6;

inline uint16_t U16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
inline uint32_t U32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) | (static_cast<uint32_t>(p[2]) << 16) |
         (static_cast<uint32_t>(p[3]) << 24);
}

// A bounded reader over one sub-chunk's data.
struct Bytes {
  const uint8_t* Data;
  int64_t Len;
  int64_t Pos = 0;
  bool Has(int64_t n) const { return Len - Pos >= n; }
  uint8_t Byte() { return Data[Pos++]; }
  uint16_t Word() {
    const uint16_t w = U16(Data + Pos);
    Pos += 2;
    return w;
  }
};

// Writes one pixel when it lies in the frame.
inline void Put(uint8_t* frame, int32_t width, int32_t height, int64_t x, int64_t y, uint8_t v) {
  if (x >= 0 && x < width && y >= 0 && y < height) frame[y * width + x] = v;
}

// The packets below write whole spans of one line: only the part of a span inside the line is
// written (x is never negative: it only moves right from 0).
inline void CopySpan(uint8_t* line, int32_t width, int64_t x, const uint8_t* src, int64_t n) {
  if (x < width && n > 0) std::memcpy(line + x, src, static_cast<size_t>(std::min<int64_t>(n, width - x)));
}
inline void FillSpan(uint8_t* line, int32_t width, int64_t x, uint8_t v, int64_t n) {
  if (x < width && n > 0) std::memset(line + x, v, static_cast<size_t>(std::min<int64_t>(n, width - x)));
}

// The packets of one line of a delta chunk, each a skip byte and a signed count: a negative count
// repeats the next unit (Unit bytes: 2 in the word-oriented delta, 1 in the byte-oriented one)
// -count times, a positive one copies count units. False when the data ends (a copy cut short
// ends it after its last whole unit).
template <int Unit>
bool UnpackLine(Bytes& b, int32_t packets, uint8_t* line, int32_t width) {
  int64_t x = 0;
  while (packets-- > 0) {
    if (!b.Has(2)) return false;
    x += b.Byte();
    const int32_t count = static_cast<int8_t>(b.Byte());
    if (count < 0) {
      if (!b.Has(Unit)) return false;
      if constexpr (Unit == 1) {
        FillSpan(line, width, x, b.Byte(), -count);
      } else {
        const uint8_t lo = b.Byte(), hi = b.Byte();
        const int64_t end = std::min<int64_t>(x + 2 * static_cast<int64_t>(-count), width);
        for (int64_t p = x; p < end; p += 2) {
          line[p] = lo;
          if (p + 1 < end) line[p + 1] = hi;
        }
      }
      x += Unit * static_cast<int64_t>(-count);
    } else {
      const int64_t units = std::min<int64_t>(count, (b.Len - b.Pos) / Unit);
      CopySpan(line, width, x, b.Data + b.Pos, Unit * units);
      b.Pos += Unit * units;
      x += Unit * units;
      if (units < count) return false;
    }
  }
  return true;
}

// Word-oriented delta: line packets of byte copies and two-byte runs, with lines skipped between.
void UnpackDeltaFlc(Bytes b, uint8_t* frame, int32_t width, int32_t height) {
  if (!b.Has(2)) return;
  int32_t lines = b.Word();
  int64_t y = 0;
  while (lines > 0 && y < height) {
    if (!b.Has(2)) return;
    const uint16_t word = b.Word();
    if ((word & 0xC000) == 0xC000) {
      // Lines to skip (the word is negative); another word follows.
      y += 0x10000 - word;
      continue;
    }
    if ((word & 0xC000) == 0x8000) {
      // The last pixel of a line of odd width; the packet count follows.
      Put(frame, width, height, width - 1, y, static_cast<uint8_t>(word & 0xFF));
      continue;
    }
    if (!UnpackLine<2>(b, word, frame + y * width, width)) return;
    ++y;
    --lines;
  }
}

// Byte-oriented delta: from a first line on, line packets of byte copies and byte runs.
void UnpackDeltaFli(Bytes b, uint8_t* frame, int32_t width, int32_t height) {
  if (!b.Has(4)) return;
  int64_t y = b.Word();
  int32_t lines = b.Word();
  for (; lines > 0 && y < height; --lines, ++y) {
    if (!b.Has(1)) return;
    if (!UnpackLine<1>(b, b.Byte(), frame + y * width, width)) return;
  }
}

// Byte runs filling every line of the frame.
void UnpackByteRun(Bytes b, uint8_t* frame, int32_t width, int32_t height) {
  for (int64_t y = 0; y < height; ++y) {
    if (!b.Has(1)) return;
    b.Byte();  // the packet count: unreliable in many files, the line width decides
    int64_t x = 0;
    uint8_t* line = frame + y * width;
    while (x < width) {
      if (!b.Has(1)) return;
      const int32_t count = static_cast<int8_t>(b.Byte());
      if (count < 0) {
        const int64_t n = std::min<int64_t>(-count, b.Len - b.Pos);
        CopySpan(line, width, x, b.Data + b.Pos, n);
        b.Pos += n;
        x += n;
        if (n < -count) return;
      } else {
        if (!b.Has(1)) return;
        FillSpan(line, width, x, b.Byte(), count);
        x += count;
      }
    }
  }
}

void Open_(FlcHandle& flc, const std::string& fileName) {
  flc = FlcHandle{};
  FOpen(flc.File, fileName, fmRead);
  flc.FileSize = FSize(flc.File);
  if (flc.FileSize < kHeaderSize) RaiseError(ecImage, 2, __LINE__);
  FRead(flc.File, flc.Header, kHeaderSize);
  const uint16_t magic = U16(flc.Header + 4);
  if (magic != kFliMagic && magic != kFlcMagic) RaiseError(ecImage, 2, __LINE__);
  flc.Frames = U16(flc.Header + 6);
  flc.Width = U16(flc.Header + 8);
  flc.Height = U16(flc.Header + 10);
  if (flc.Width < 1 || flc.Height < 1) RaiseError(ecImage, 2, __LINE__);
  // A picture too large to make is refused before anything that size is made.
  if (!FFPictureFits(flc.Width, flc.Height, 1)) RaiseError(ecImage, 4, __LINE__);
  flc.FrameRate = FLCFrameRate_(static_cast<int32_t>(U32(flc.Header + 16)), fileName);
  flc.RowBytes = flc.Width;
  const int64_t size = static_cast<int64_t>(flc.Width) * flc.Height;
  _memalloc_(flc.ImgData, size, __LINE__, "FF_FLC.FLCOpen.ff.imgdata", mkResizable);
  flc.Size = static_cast<int32_t>(size);
}

// Reads and applies the next frame chunk.
void LoadNext_(FlcHandle& flc, Qimg& img, bool skip) {
  if (flc.File == 0 || flc.ImgData == nullptr) RaiseError(ecMovie, 1, __LINE__);
  if (flc.Current + 1 > flc.Frames) RaiseError(ecFlic, 1, __LINE__);
  for (;;) {
    const int64_t pos = FPos(flc.File);
    // A chunk needs its whole header, must hold at least that header (a size of 0 would never
    // move on) and must end within the file.
    if (pos < 0 || flc.FileSize - pos < kChunkHeader) RaiseError(ecImage, 2, __LINE__);
    uint8_t head[kChunkHeader];
    FRead(flc.File, head, kChunkHeader);
    const int64_t size = U32(head);
    // Writers pad chunks to an even size and count the padding byte; some leave the last one
    // out of the file. A frame chunk that overruns the end by that byte alone is read without
    // it (its sub-chunks must then fit in what is there); anything longer is damaged.
    const bool padMissing = size == flc.FileSize - pos + 1 && size % 2 == 0 && U16(head + 4) == kFlcFrameChunk;
    if (size < kChunkHeader || (size > flc.FileSize - pos && !padMissing)) RaiseError(ecImage, 2, __LINE__);
    if (U16(head + 4) != kFlcFrameChunk) {
      FSeek(flc.File, pos + size);
      continue;
    }
    const int64_t bodySize = size - kChunkHeader - (padMissing ? 1 : 0);
    uint8_t* body = nullptr;
    _memalloc_(body, bodySize + 1024, __LINE__, "FF_FLC.FLCLoadNext.ff.cmpsdata", mkResizable, false);
    FRead(flc.File, body, bodySize);
    std::memset(body + bodySize, 0, 1024);
    // The frame is used up whatever its contents: a damaged one is reported, the next read
    // goes on with the chunk after it.
    FSeek(flc.File, std::min(pos + size, flc.FileSize));
    ++flc.Current;
    bool palChanged = false;
    const int32_t result =
        FLCDecodeFrame_(body, bodySize, U16(head + 6), flc.ImgData, flc.Width, flc.Height, flc.Palette, palChanged);
    MemFree(body);
    flc.PalChanged = palChanged ? kTrue : 0;
    if (result != 0) RaiseError(ecImage, result, __LINE__);
    break;
  }
  if (!skip) {
    _imgalloc_(img, flc.Width, flc.Height, 8, __LINE__, "FF_FLC.FLCLoadNext.ih", false);
    std::memcpy(img.Data, flc.ImgData, static_cast<size_t>(flc.Size));
    std::memcpy(img.Palette.data(), flc.Palette, 768);
  }
}

void Rewind_(FlcHandle& flc) {
  FSeek(flc.File, kHeaderSize);
  flc.Current = 0;
  flc.PalChanged = 0;
  // The first frame is decoded onto what the open left: a black picture with a black palette.
  if (flc.ImgData != nullptr) std::memset(flc.ImgData, 0, static_cast<size_t>(flc.Size));
  std::memset(flc.Palette, 0, sizeof flc.Palette);
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Pieces over byte buffers

double FLCFrameRate_(int32_t speed, const std::string& fileName) {
  if (speed <= 0) return 0.0;
  std::string ext;
  const size_t dot = fileName.rfind('.');
  const size_t slash = fileName.rfind('/');
  if (dot != std::string::npos && (slash == std::string::npos || dot > slash)) ext = fileName.substr(dot);
  for (char& c : ext)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  const long double perSecond = ext == ".fli" ? 70.0L : 1000.0L;
  return static_cast<double>(FpuRound(perSecond / speed * 10.0L)) / 10.0;
}

void FLCGetPal_(const uint8_t* data, int64_t len, uint8_t* palette, bool sixBit) {
  Bytes b{data, len};
  if (!b.Has(2)) return;
  int32_t packets = b.Word();
  int64_t index = 0;
  const int shift = sixBit ? 2 : 0;
  while (packets-- > 0 && b.Has(2)) {
    index += b.Byte();
    int32_t count = b.Byte();
    if (count == 0) count = 256;
    for (int32_t i = 0; i < count; ++i, ++index) {
      if (!b.Has(3)) return;
      const uint8_t r = b.Byte(), g = b.Byte(), bl = b.Byte();
      if (index > 255) continue;  // past the last entry: read, not stored
      palette[3 * index] = static_cast<uint8_t>(bl << shift);
      palette[3 * index + 1] = static_cast<uint8_t>(g << shift);
      palette[3 * index + 2] = static_cast<uint8_t>(r << shift);
    }
  }
}

void FLCunCmps_(int32_t type, const uint8_t* data, int64_t len, uint8_t* frame, int32_t width, int32_t height) {
  const Bytes b{data, len};
  switch (type) {
    case flcDeltaFlc: UnpackDeltaFlc(b, frame, width, height); break;
    case flcDeltaFli: UnpackDeltaFli(b, frame, width, height); break;
    case flcByteRun: UnpackByteRun(b, frame, width, height); break;
    default: break;
  }
}

int32_t FLCDecodeFrame_(const uint8_t* body, int64_t len, int32_t subChunks, uint8_t* frame, int32_t width,
                        int32_t height, uint8_t* palette, bool& palChanged) {
  palChanged = false;
  const int64_t frameSize = static_cast<int64_t>(width) * height;
  int64_t p = 0;
  for (int32_t k = 0; k < subChunks; ++k) {
    // Fewer bytes than the count promises: the frame ends with what it has.
    if (len - p < kSubChunkHeader) break;
    const int64_t size = U32(body + p);
    if (size < kSubChunkHeader || size > len - p) return 2;
    const uint8_t* d = body + p + kSubChunkHeader;
    const int64_t n = size - kSubChunkHeader;
    switch (U16(body + p + 4)) {
      case flcColor256:
        FLCGetPal_(d, n, palette, false);
        palChanged = true;
        break;
      case flcColor64:
        FLCGetPal_(d, n, palette, true);
        palChanged = true;
        break;
      case flcDeltaFlc: FLCunCmps_(flcDeltaFlc, d, n, frame, width, height); break;
      case flcDeltaFli: FLCunCmps_(flcDeltaFli, d, n, frame, width, height); break;
      case flcByteRun: FLCunCmps_(flcByteRun, d, n, frame, width, height); break;
      case flcBlack: std::memset(frame, 0, static_cast<size_t>(frameSize)); break;
      case flcCopy: std::memcpy(frame, d, static_cast<size_t>(std::min(n, frameSize))); break;
      default: break;  // stamps and kinds we do not know: stepped over
    }
    p += size;
  }
  return 0;
}

// ---------------------------------------------------------------------------------------------
// The unit's routines

void FLCOpen(FlcHandle& flc, const std::string& fileName) {
  Framed("FF_FLC.FLCOpen", [&] {
    try {
      Open_(flc, fileName);
    } catch (...) {
      // The frame releases the buffer and the file: the handle must not keep them.
      flc = FlcHandle{};
      throw;
    }
  });
}

void FLCLoadNext(FlcHandle& flc, Qimg& img, bool skip) {
  Framed("FF_FLC.FLCLoadNext", [&] { LoadNext_(flc, img, skip); });
}

void FLCLoad(FlcHandle& flc, Qimg& img, int32_t frame) {
  Framed("FF_FLC.FLCLoad", [&] {
    if (frame < 1 || frame > flc.Frames) RaiseError(ecMovie, 1, __LINE__);
    if (flc.Current >= frame) Rewind_(flc);
    // The frames on the way are decoded into the frame buffer, each delta needs the one before.
    while (flc.Current < frame - 1) LoadNext_(flc, img, true);
    LoadNext_(flc, img, false);
  });
}

void FLCRewind(FlcHandle& flc) {
  Framed("FF_FLC.FLCRewind", [&] {
    if (flc.File != 0) Rewind_(flc);
  });
}

void FLCClose(FlcHandle& flc) {
  Framed("FF_FLC.FLCClose", [&] {
    if (flc.ImgData != nullptr) MemFree(flc.ImgData);
    const int32_t file = flc.File;
    flc = FlcHandle{};
    if (file != 0) FClose(file);
  });
}

void FLCInfo(const std::string& fileName, FFInfoRec& info) {
  Framed("FF_FLC.FLCInfo", [&] {
    FlcHandle flc;
    FLCOpen(flc, fileName);
    info.FormatId = fidFLIC;
    info.FileSize = static_cast<double>(flc.FileSize);
    info.Video.Width = flc.Width;
    info.Video.Height = flc.Height;
    info.Video.BytesPP = 1;
    info.Video.OrigBpp = 8;
    info.Video.Bpp = 8;
    info.Video.Frames = flc.Frames;
    info.Video.FrameRate = flc.FrameRate;
    info.Video.CodecName = kFlcCodecName;
    info.Video.HasVideo = flc.Width > 0 ? kTrue : 0;
    info.Video.VideoSupported = info.Video.HasVideo;
    FLCClose(flc);
  });
}

// ---- The dispatcher's entries ----

const FFUnit kFlcUnit = {
    .Kind = fuMovie,
    .Info = [](const std::string& name, FFInfoRec& info, FFProgressProc, void*) { FLCInfo(name, info); },
    .CodecName = [](const FFVideoOpts&, std::string& out) { out = "RLE + pixel difference from previous frame"; },
    .StateName = "FLC",
    .StateSize = static_cast<int64_t>(sizeof(FlcHandle)),
    .NewState = FFNewState<FlcHandle>,
    .Open = [](void* s, const std::string& name, FFProgressProc, void*) { FLCOpen(FFStateOf<FlcHandle>(s), name); },
    .ImgLoad = [](void* s, Qimg& img, int32_t frame, Qimg*) { FLCLoad(FFStateOf<FlcHandle>(s), img, frame); },
    .Close = [](void* s, int32_t, int32_t, int32_t) { FLCClose(FFStateOf<FlcHandle>(s)); },
    // A frame with a palette chunk counts as a key frame.
    .View = [](const void* s) {
      const FlcHandle& h = FFStateOf<FlcHandle>(s);
      return FFMovieView{h.Frames, h.Current, 0, h.PalChanged, h.Writing};  // no sound
    },
};

}  // namespace tavelo
