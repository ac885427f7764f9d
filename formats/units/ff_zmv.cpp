#include "formats/units/ff_zmv.h"

#include <algorithm>
#include <cstring>

#include "core/services/basic.h"
#include "core/services/errors.h"
#include "core/services/files.h"
#include "core/services/memory.h"
#include "core/services/monitor.h"
#include "core/services/trace.h"
#include "formats/ff_basic.h"
#include "formats/ff_codec_libs.h"
#include "formats/units/zmv_bit_decode.h"
#include "platform/fpu/fpu.h"

namespace tavelo {

namespace {

constexpr int32_t kHeaderFields = 64;  // the header bytes the record keeps
constexpr int32_t kPageBytes = 3072;
constexpr int32_t kSpareBytes = 8192;  // the read buffer's room beyond one frame
constexpr int32_t kPalReadMax = 1536;
constexpr int32_t kChunkPalette = 2;
constexpr int32_t kChunkPicture = 4;
constexpr int32_t kStripRecord = 20;

// The export numbers in the library's binding order (formats/ff_codec_libs.cpp).
enum : int32_t {
  zxHandleAlloc = 0,
  zxOpen,
  zxVideoGetFormat,
  zxAudioGetFormat,
  zxVideoSeek,
  zxVideoRead,
  zxVideoGetPalette,
  zxAudioSeek,
  zxAudioRead,
  zxClose,
  zxHandleFree,
};

template <class Fn>
Fn LibProc(int32_t index) {
  return reinterpret_cast<Fn>(FFCodecProc(clZmv, index));
}

// The library is called with the floating-point unit in its reset state, and leaves it so.
class FpuBracket {
 public:
  FpuBracket() { platform::FpuResetControl(); }
  ~FpuBracket() { platform::FpuResetControl(); }
  FpuBracket(const FpuBracket&) = delete;
  FpuBracket& operator=(const FpuBracket&) = delete;
};

int32_t Get32(const uint8_t* p) {
  uint32_t v = 0;
  for (int i = 0; i < 4; ++i) v |= static_cast<uint32_t>(p[i]) << (8 * i);
  return static_cast<int32_t>(v);
}

[[noreturn]] void Fail(int32_t code, int32_t line) {
  SetError(ecMovie, code, line);
  // SetError unwinds inside a monitor frame; outside one the routine still must not go on.
  AbortMonitor();
  throw EMon(std::string());
}

void Corrupt(int32_t line) { Fail(3, line); }

// A buffer kept in the handle between calls is trusted only while its tracked block is still the
// one made for that field: a failed monitor frame releases the blocks it made without touching the
// fields that pointed at them.
template <class T>
bool StillOwned(T*& p) {
  if (p != nullptr && MemFind(p, 3) == 0x7FFFFFFF) p = nullptr;
  return p != nullptr;
}

void ClearHandle(ZmvHandle& h) { std::memset(static_cast<void*>(&h), 0, sizeof h); }

void ApplyPalette(QimgPalette& palette, int32_t first, int32_t count, const uint8_t* rgb) {
  for (int32_t i = 0; i < count; ++i) {
    uint8_t* entry = palette.data() + 3 * (first + i);
    entry[0] = rgb[3 * i + 2];
    entry[1] = rgb[3 * i + 1];
    entry[2] = rgb[3 * i];
  }
}

// A palette chunk at pos of a record of size bytes: its header fields, checked. Returns false
// when the chunk is not a palette chunk.
bool ReadPaletteChunk(const uint8_t* buf, int64_t size, int64_t pos, int32_t& first, int32_t& count,
                      int64_t& colours, int32_t line) {
  if (pos < 0 || pos + 16 > size) Corrupt(line);
  if (Get32(buf + pos) != kChunkPalette) return false;
  const int64_t header = Get32(buf + pos + 4);
  count = Get32(buf + pos + 8);
  first = Get32(buf + pos + 12);
  colours = pos + header;
  if (header < 16 || count < 0 || first < 0 || int64_t{first} + count > 256 || colours + 3 * int64_t{count} > size)
    Corrupt(line);
  return true;
}

struct StripRec {
  int32_t DataSize;
  int32_t Rows;
  int32_t Mode;
};

// The picture chunk at pos of the record in buf (size bytes): decodes its strips into img (and
// the difference buffer). next receives the position behind the chunk and the strip data it
// holds. Returns false when strip data had to be read from behind the record, which replaced the
// record in the buffer.
bool DecodePicture_(ZmvHandle& h, Qimg& img, uint8_t* buf, int64_t size, int64_t pos, int64_t& next) {
  if (pos + 16 > size) Corrupt(__LINE__);
  const int64_t header = Get32(buf + pos + 4);
  const int32_t strips = Get32(buf + pos + 8);
  const int32_t inRecord = Get32(buf + pos + 12);
  if (header < 16 || strips < 0 || inRecord < 0 || inRecord > strips) Corrupt(__LINE__);
  const int64_t table = pos + header;
  int64_t recordLength = kStripRecord;
  if (strips > 0) {
    if (table + kStripRecord > size) Corrupt(__LINE__);
    recordLength = Get32(buf + table + 4);
  }
  if (recordLength < kStripRecord || table + strips * recordLength > size) Corrupt(__LINE__);

  // The strip table is kept aside: batches read from behind the record overwrite the buffer.
  StripRec* recs = nullptr;
  if (strips > 0) {
    _memalloc_(recs, int64_t{strips} * static_cast<int64_t>(sizeof(StripRec)), __LINE__,
               "FF_ZMV.ZMVImgLoadNext.StripTable", mkFresh);
    for (int32_t j = 0; j < strips; ++j) {
      const uint8_t* r = buf + table + int64_t{j} * kStripRecord;
      recs[j] = {Get32(r + 8), Get32(r + 12), Get32(r + 16)};
      if (recs[j].DataSize < 0 || recs[j].Rows < 0) Corrupt(__LINE__);
    }
  }
  pos = table + strips * recordLength;
  next = pos;
  for (int32_t j = 0; j < inRecord; ++j) next += recs[j].DataSize;

  if (h.Predict && !StillOwned(h.PredictImg))
    _memalloc_(h.PredictImg, h.FrameBytes, __LINE__, "FF_ZMV.ZMVImgLoadNext.PredictImg", mkResizable);

  const int64_t rowBytes = int64_t{h.Width} * h.BytesPP;
  const int32_t tokens = (h.Flags & 1) ? zmvTokensFast : zmvTokensBest;
  int64_t out = 0;
  int64_t limit = size;  // the valid bytes of the buffer for the strips at hand
  int32_t batchEnd = -1;
  bool inPlace = true;
  for (int32_t j = 0; j < strips; ++j) {
    if (j >= inRecord && j > batchEnd) {
      // The next batch: the strips whose data sizes together stay within one frame (at least one
      // strip, which must fit the buffer), read from where the file stands.
      int64_t sum = 0;
      int32_t k = j;
      while (k < strips) {
        const int64_t bytes = recs[k].DataSize;
        if (k > j && sum + bytes > h.FrameBytes) break;
        if (sum + bytes > int64_t{h.FrameBytes} + kSpareBytes) Corrupt(__LINE__);
        sum += bytes;
        ++k;
      }
      FRead(h.File, buf, sum);
      pos = 0;
      limit = sum;
      batchEnd = k - 1;
      inPlace = false;
    }
    const StripRec& s = recs[j];
    if (pos + s.DataSize > limit) Corrupt(__LINE__);
    const int64_t stripBytes = s.Rows * rowBytes;
    if (out + stripBytes > h.FrameBytes) Corrupt(__LINE__);
    if (s.Mode == 0) {
      // A stored strip carries the final pixels, also in a predicted file; there its differences
      // go into the difference buffer, so that later frames skipping over it still add up.
      if (s.DataSize > h.FrameBytes - out) Corrupt(__LINE__);
      std::memcpy(img.Data + out, buf + pos, static_cast<size_t>(s.DataSize));
      if (h.Predict && h.BytesPP == 3) ZMVDifferences(img.Data + out, h.PredictImg + out, s.Rows * int64_t{h.Width});
    } else {
      // The running sum rebuilds 3-byte pixels only.
      if (h.Predict && h.BytesPP != 3) Corrupt(__LINE__);
      uint8_t* target = h.Predict ? h.PredictImg : img.Data;
      if (ZMVBitDecode(tokens, buf + pos, s.DataSize, target, out, h.Width, s.Rows, h.BytesPP) != zmvDecodeOk)
        Corrupt(__LINE__);
      if (h.Predict) ZMVRunningSum(img.Data + out, h.PredictImg + out, s.Rows * int64_t{h.Width});
    }
    out += stripBytes;
    pos += s.DataSize;
  }
  if (recs != nullptr) MemFree(recs);
  return inPlace;
}

// The header of the sound block at offset. False when it, or the data it announces, lies past the
// end of the file (the chain ends there).
bool ReadBlockHeader_(ZmvHandle& h, int32_t offset, int32_t& next, int32_t& count) {
  if (offset <= 0 || int64_t{offset} + 16 > h.FileSize) return false;
  uint8_t header[16];
  FSeek(h.File, offset);
  FRead(h.File, header, 16);
  next = Get32(header + 8);
  count = Get32(header + 12);
  const int64_t bytes = int64_t{count} * h.Format.nBlockAlign;
  return count >= 0 && int64_t{offset} + 16 + bytes <= h.FileSize && bytes <= 0x7FFFFFFF;
}

// Loads the PCM of the block whose header was just read (the file stands behind the header).
void LoadBlockData_(ZmvHandle& h, int32_t offset, int32_t next, int32_t count, const char* tag) {
  const int64_t bytes = int64_t{count} * h.Format.nBlockAlign;
  if (bytes > 0) {
    StillOwned(h.AudioBuf);
    _memalloc_(h.AudioBuf, bytes, __LINE__, tag, mkResizable);
    FRead(h.File, h.AudioBuf, bytes);
  }
  h.AudioBufSize = static_cast<int32_t>(bytes);
  h.AudioBufPos = 0;
  h.BlockOffset = offset;
  // The chain only moves forward: a next offset at or before this block would loop for ever.
  h.NextBlock = next > offset ? next : 0;
}

void EmptySound(ZmvHandle& h) {
  h.AudioBufSize = 0;
  h.AudioBufPos = 0;
  h.NextBlock = 0;
}

}  // namespace

void ZMVOpen(ZmvHandle& h, const std::string& fileName) {
  TraceScope trace("FF_ZMV.ZMVOpen");
  BeginMonitor();
  try {
    ClearHandle(h);
    h.CurPage = -1;
    FOpen(h.File, fileName, fmRead);
    h.FileSize = FSizeByName(fileName);
    uint8_t head[kHeaderFields] = {};
    FRead(h.File, head, 8);
    if (std::memcmp(head, "ZMV", 3) != 0) {
      FClose(h.File);
      h.File = 0;
      Fail(1, __LINE__);
    }
    h.HeaderSize = Get32(head + 4);
    if (h.HeaderSize < 12) {
      FClose(h.File);
      h.File = 0;
      Fail(1, __LINE__);
    }
    // A header longer than the fields kept is read up to them; the page directory follows at the
    // header size whatever it holds.
    FRead(h.File, head + 8, std::min(h.HeaderSize, kHeaderFields) - 8);
    h.Version = Get32(head + 8);

    if (h.Version > 97) {
      FClose(h.File);
      ClearHandle(h);
      h.CurPage = -1;
      h.FileSize = FSizeByName(fileName);
      if (!FFCodecLibReady(clZmv)) Fail(5, __LINE__);
      int32_t frames = 0, codec = 0, width = 0, height = 0, bits = 0, key = 0;
      int32_t samples = 0, hasSound = 0, rate = 0, channels = 0, sampleBits = 0;
      double fps = 0;
      {
        FpuBracket fpu;
        h.Lib = LibProc<zmv_handle_alloc_fn>(zxHandleAlloc)();
        if (h.Lib == nullptr) Fail(5, __LINE__);
        if (LibProc<zmv_open_fn>(zxOpen)(h.Lib, fileName.c_str()) != 0) {
          // A refused file leaves no library handle behind.
          LibProc<zmv_handle_free_fn>(zxHandleFree)(h.Lib);
          h.Lib = nullptr;
          Fail(5, __LINE__);
        }
        LibProc<zmv_video_get_format_fn>(zxVideoGetFormat)(h.Lib, &frames, &codec, &width, &height, &bits, &fps, &key);
        LibProc<zmv_audio_get_format_fn>(zxAudioGetFormat)(h.Lib, &samples, &hasSound, &rate, &channels, &sampleBits);
      }
      h.ByLibrary = -1;
      h.Frames = std::clamp(frames, 0, kZmvMaxFrames);
      h.LibCodec = codec;
      h.Width = width;
      h.Height = height;
      h.BitsPP = bits;
      h.BytesPP = bits / 8;
      h.FrameRate = fps;
      h.KeyInterval = std::max(key, 0);
      h.Samples = std::max(samples, 0);
      h.SoundFlags = hasSound ? 1 : 0;
      if (h.Frames > 0 &&
          (width < 1 || height < 1 || h.BytesPP < 1 || !FFPictureFits(width, height, h.BytesPP))) {
        ZMVClose(h);
        Fail(5, __LINE__);
      }
      h.FrameBytes = h.Frames > 0 ? static_cast<int32_t>(int64_t{width} * height * h.BytesPP) : 0;
      SndWaveFmtSetPCM(h.Format, rate, channels, sampleBits);
      h.SoundOk = hasSound && SndWaveFmtPCMCheck(h.Format) ? -1 : 0;
    } else {
      h.Width = Get32(head + 12);
      h.Height = Get32(head + 16);
      h.BytesPP = Get32(head + 20);
      h.Flags = Get32(head + 24);
      h.Frames = Get32(head + 28);
      h.KeyInterval = Get32(head + 32);
      std::memcpy(&h.FrameRate, head + 36, 8);
      h.SoundFlags = Get32(head + 44);
      h.SampleRate = Get32(head + 48);
      h.SoundOffset = Get32(head + 52);
      h.Unused = Get32(head + 56);
      h.Samples = std::max(Get32(head + 60), 0);
      // Frame numbers past the index's reach could only repeat earlier frames.
      h.Frames = std::clamp(h.Frames, 0, kZmvMaxFrames);
      // The sides and depth are checked before their product is formed: three 32-bit fields
      // from the file can pass even 64 bits.
      if (h.Width < 1 || h.Height < 1 || h.BytesPP < 1 || h.BytesPP > 3 || h.KeyInterval < 0 ||
          !FFPictureFits(h.Width, h.Height, h.BytesPP))
        Fail(1, __LINE__);
      const int64_t frameBytes = int64_t{h.Width} * h.Height * h.BytesPP;
      if (frameBytes > 0x7FFFFFFF - kSpareBytes) Fail(1, __LINE__);
      h.FrameBytes = static_cast<int32_t>(frameBytes);
      h.BitsPP = h.BytesPP * 8;
      h.Predict = (h.Flags & 2) ? -1 : 0;

      FSeek(h.File, h.HeaderSize);
      uint8_t dir[1024];
      FRead(h.File, dir, sizeof dir);
      for (int i = 0; i < 256; ++i) h.Directory[i] = Get32(dir + 4 * i);
      if (h.Frames > 0) ZMVUpdateVP_(h, 1);

      // PCM of the header's rate, channels and width.
      h.Format.wFormatTag = platform::WAVE_FORMAT_PCM;
      h.Format.nChannels = (h.SoundFlags & 4) ? 2 : 1;
      h.Format.wBitsPerSample = (h.SoundFlags & 3) == 3 ? 16 : 8;
      h.Format.nSamplesPerSec = static_cast<uint32_t>(std::max(h.SampleRate, 0));
      h.SoundOk = h.SoundFlags != 0 && SndWaveFmtPCMCheck(h.Format) ? -1 : 0;
      // The first sequential read starts at the first block.
      h.NextBlock = h.SoundOk ? std::max(h.SoundOffset, 0) : 0;
    }
  } catch (...) {
    CatchException();
    // The frame closes the file of a failed open; the handle must not name it any more.
    ClearHandle(h);
  }
  EndMonitor();
}

void ZMVUpdateVP_(ZmvHandle& h, int32_t frame) {
  if (h.Frames < 1) return;
  const int32_t n = IntClamp(frame, 1, h.Frames);
  const int32_t page = ((n - 1) % kZmvMaxFrames) / 256;
  if (page == h.CurPage) return;
  // Until the page is in, none is held: a failed read must not leave a half-read page current.
  h.CurPage = -1;
  uint8_t raw[kPageBytes];
  FSeek(h.File, h.Directory[page]);
  FRead(h.File, raw, kPageBytes);
  for (int i = 0; i < 256; ++i) h.Page[i] = {Get32(raw + 12 * i), Get32(raw + 12 * i + 4), Get32(raw + 12 * i + 8)};
  h.CurPage = page;
}

int32_t ZMVNearestKeyFrame(ZmvHandle& h, int32_t frame, int32_t direction) {
  TraceScope trace("FF_ZMV.ZMVNearestKeyFrame");
  const int32_t k = h.KeyInterval;
  if (k <= 0 || h.Frames < 1) return 1;
  int64_t f = direction == -1 ? int64_t{frame} - 1 : int64_t{frame} + k - 1;
  f = std::clamp<int64_t>(f, 1, h.Frames) - 1;
  int32_t result = static_cast<int32_t>((f / k) * k + 1);
  if (direction == 1 && result < h.NextFrame) result = 1;
  return result;
}

void ZMVImgLoad(ZmvHandle& h, Qimg& img, int32_t frame) {
  TraceScope trace("FF_ZMV.ZMVImgLoad");
  BeginMonitor();
  try {
    if (frame < 1 || frame > h.Frames) Fail(1, __LINE__);
    if (h.ByLibrary) {
      if (frame - 1 != h.NextFrame) {
        h.NextFrame = frame - 1;
        FpuBracket fpu;
        LibProc<zmv_video_seek_fn>(zxVideoSeek)(h.Lib, frame - 1);
      }
      ZMVImgLoadNext(h, img);
    } else {
      const int32_t key = ZMVNearestKeyFrame(h, frame + 1, -1) - 1;
      // Coded strips change only what differs from the previous frame: they may be applied only
      // to the picture that holds it.
      const bool holdsPrevious = h.PicValid && h.LastImg == &img && h.LastData == img.Data && img.Data != nullptr &&
                                 ImgAssigned(img) && img.Width == h.Width && img.Height == h.Height &&
                                 img.Bpp == h.BitsPP;
      const bool keyBetween = h.KeyInterval > 0 && int64_t{frame} - 1 - h.NextFrame >= h.KeyInterval;
      // The frame read last, asked again of the record that holds it, needs no decoding at all.
      const bool held = holdsPrevious && h.NextFrame == frame;
      if (!held && (h.NextFrame >= frame || !holdsPrevious || keyBetween)) h.NextFrame = key;
      bool applied = false;
      while (h.NextFrame < frame) {
        ZMVImgLoadNext(h, img);
        applied = applied || h.PalChanged;
      }
      if (h.BytesPP == 1 && !applied) {
        h.PalChanged = 0;
        ZMVGetPal(h, img.Palette, 1, frame);
      } else {
        h.PalChanged = applied ? -1 : 0;
      }
    }
  } catch (...) {
    CatchException();
  }
  EndMonitor();
}

void ZMVImgLoadNext(ZmvHandle& h, Qimg& img) {
  TraceScope trace("FF_ZMV.ZMVImgLoadNext");
  uint8_t* buf = nullptr;
  BeginMonitor();
  try {
    h.PicValid = 0;
    _imgalloc_(img, h.Width, h.Height, h.BitsPP, __LINE__, "FF_ZMV.ZMVImgLoadNext.ih");
    if (h.ByLibrary) {
      int32_t changed = 0;
      FpuBracket fpu;
      if (LibProc<zmv_video_read_fn>(zxVideoRead)(h.Lib, img.Data) != 0) Fail(9, __LINE__);
      LibProc<zmv_video_get_palette_fn>(zxVideoGetPalette)(h.Lib, img.Palette.data(), &changed);
      h.PalChanged = changed ? -1 : 0;
      ++h.NextFrame;
    } else {
      ZMVUpdateVP_(h, h.NextFrame + 1);
      const ZmvIndexEntry entry = h.Page[h.NextFrame % 256];
      const int64_t size = entry.Size;
      if (size < 16 || size > int64_t{h.FrameBytes} + kSpareBytes || entry.Offset < 0) Corrupt(__LINE__);
      FSeek(h.File, entry.Offset);
      _memalloc_(buf, int64_t{h.FrameBytes} + kSpareBytes, __LINE__, "FF_ZMV.ZMVImgLoadNext.dskbuf", mkFresh);
      FRead(h.File, buf, size);
      h.PalChanged = 0;

      int64_t pos = Get32(buf + 4);
      const int32_t chunks = Get32(buf + 8);
      if (chunks < 0) Corrupt(__LINE__);
      for (int32_t c = 0; c < chunks; ++c) {
        if (pos < 0 || pos + 4 > size) Corrupt(__LINE__);
        const int32_t type = Get32(buf + pos);
        if (type == kChunkPalette) {
          int32_t first = 0, count = 0;
          int64_t colours = 0;
          ReadPaletteChunk(buf, size, pos, first, count, colours, __LINE__);
          ApplyPalette(img.Palette, first, count, buf + colours);
          pos = colours + 3 * int64_t{count};
          h.PalChanged = -1;
        } else if (type == kChunkPicture) {
          int64_t next = 0;
          // Strip data read from behind the record replaced the record in the buffer: nothing
          // after the picture chunk can be read any more.
          if (!DecodePicture_(h, img, buf, size, pos, next)) break;
          pos = next;
        } else {
          break;  // an unknown chunk ends what is applied of the frame
        }
      }
      ++h.NextFrame;
    }
    MemFree(buf);
    h.LastImg = &img;
    h.LastData = img.Data;
    h.PicValid = -1;
  } catch (...) {
    CatchException();
  }
  EndMonitor();
}

bool ZMVGetPal(ZmvHandle& h, QimgPalette& palette, int32_t fromFrame, int32_t toFrame) {
  TraceScope trace("FF_ZMV.ZMVGetPal");
  bool found = false;
  uint8_t* buf = nullptr;
  BeginMonitor();
  try {
    if (h.Frames < 1 || h.ByLibrary) AbortMonitor();
    fromFrame = IntClamp(fromFrame, 1, h.Frames);
    toFrame = IntClamp(toFrame, 1, h.Frames);
    if (fromFrame > toFrame) AbortMonitor();
    // A search from frame 1 remembers how far it looked and what it found, so the next search
    // (one frame further during playback) looks only at the frames it has not seen.
    int32_t low = fromFrame;
    bool remembered = false;
    if (fromFrame == 1 && h.PalKnownTo > 0) {
      if (toFrame >= h.PalKnownTo) {
        low = h.PalKnownTo + 1;
        remembered = true;
      } else if (h.PalFoundAt <= toFrame) {
        low = toFrame + 1;
        remembered = true;
      }
    }
    const int32_t keepPage = h.CurPage;
    for (int32_t frame = toFrame; frame >= low && !found; --frame) {
      ZMVUpdateVP_(h, frame);
      const ZmvIndexEntry e = h.Page[(frame - 1) % 256];
      if (!(e.Flags & 1)) continue;
      const int64_t n = std::min<int64_t>(e.Size, kPalReadMax);
      if (n < 16 || e.Offset < 0) Corrupt(__LINE__);
      _memalloc_(buf, n, __LINE__, "FF_ZMV.ZMVGetPal.dskbuf", mkResizable);
      FSeek(h.File, e.Offset);
      FRead(h.File, buf, n);
      int32_t first = 0, count = 0;
      int64_t colours = 0;
      if (ReadPaletteChunk(buf, n, Get32(buf + 4), first, count, colours, __LINE__)) {
        h.PalFirst = first;
        h.PalCount = count;
        std::memcpy(h.PalColors, buf + colours, static_cast<size_t>(3 * count));
        h.PalFoundAt = frame;
        found = true;
      }
    }
    if (!found && remembered && h.PalFoundAt > 0) found = true;
    if (fromFrame == 1) {
      if (!found) h.PalFoundAt = 0;
      h.PalKnownTo = std::max(toFrame, remembered ? h.PalKnownTo : 0);
    }
    if (found) {
      ApplyPalette(palette, h.PalFirst, h.PalCount, h.PalColors);
      h.PalChanged = -1;
    }
    // The read position's page is made current again.
    if (keepPage >= 0 && keepPage != h.CurPage) ZMVUpdateVP_(h, keepPage * 256 + 1);
    MemFree(buf);
  } catch (...) {
    CatchException();
  }
  EndMonitor();
  return found;
}

void ZMVSndSeek(ZmvHandle& h, int32_t sample) {
  TraceScope trace("FF_ZMV.ZMVSndSeek");
  BeginMonitor();
  try {
    if (h.ByLibrary) {
      {
        FpuBracket fpu;
        LibProc<zmv_audio_seek_fn>(zxAudioSeek)(h.Lib, sample);
      }
      h.SndPos = sample;
    } else {
      // Outside the sound nothing is held, so the next read delivers nothing.
      EmptySound(h);
      h.SndPos = sample;
      if (!h.SoundOk || h.SoundOffset <= 0 || sample < 0 || sample > h.Samples) AbortMonitor();
      // Walk the block headers to the block that holds the sample (the last block too).
      int32_t offset = h.SoundOffset;
      int32_t previous = 0;
      int64_t before = 0;
      for (;;) {
        int32_t next = 0, count = 0;
        if (offset <= previous || !ReadBlockHeader_(h, offset, next, count)) break;
        if (before + count > sample) {
          LoadBlockData_(h, offset, next, count, "FF_ZMV.ZMVSndSeek.hf.AudioBuf");
          h.AudioBufPos = static_cast<int32_t>((sample - before) * h.Format.nBlockAlign);
          h.ChainSamples = static_cast<int32_t>(std::min<int64_t>(before + count, 0x7FFFFFFF));
          break;
        }
        before += count;
        if (next == 0) break;  // the sample lies at the end of the chain
        previous = offset;
        offset = next;
      }
    }
  } catch (...) {
    CatchException();
  }
  EndMonitor();
}

void ZMVSndLoad(ZmvHandle& h, Qsnd& snd, int32_t pos, int32_t count, int32_t options) {
  TraceScope trace("FF_ZMV.ZMVSndLoad");
  BeginMonitor();
  try {
    if (!((options & 1) && h.SndPos == pos)) ZMVSndSeek(h, pos);
    snd.samples = 0;
    if (count < 1) AbortMonitor();
    const int64_t align = h.ByLibrary ? std::max<int64_t>(h.Format.nBlockAlign, 1) : h.Format.nBlockAlign;
    if (h.ByLibrary) {
      if (!h.SoundOk) AbortMonitor();
      count = static_cast<int32_t>(std::min<int64_t>(count, 0x7FFFFFFF / align));
      _sndalloc_(snd, count * align, __LINE__, "FF_ZMV.ZMVSndLoad.sh");
      snd.Format = h.Format;
      int32_t got = 0;
      {
        FpuBracket fpu;
        LibProc<zmv_audio_read_fn>(zxAudioRead)(h.Lib, snd.SndData, count, &got);
      }
      snd.samples = std::clamp(got, 0, count);
    } else {
      if (!h.SoundOk || h.SoundOffset <= 0) AbortMonitor();
      // A block buffer released by a failed read holds nothing any more.
      if (!StillOwned(h.AudioBuf)) h.AudioBufSize = h.AudioBufPos = 0;
      if (h.AudioBufPos >= h.AudioBufSize && h.NextBlock == 0) AbortMonitor();
      count = static_cast<int32_t>(std::min<int64_t>(count, 0x7FFFFFFF / align));
      const int64_t want = count * align;
      _sndalloc_(snd, want, __LINE__, "FF_ZMV.ZMVSndLoad.sh");
      snd.Format = h.Format;
      int64_t copied = 0;
      for (;;) {
        const int64_t take = std::min<int64_t>(h.AudioBufSize - h.AudioBufPos, want - copied);
        if (take > 0) {
          std::memcpy(snd.SndData + copied, h.AudioBuf + h.AudioBufPos, static_cast<size_t>(take));
          h.AudioBufPos += static_cast<int32_t>(take);
          copied += take;
        }
        if (copied >= want || h.NextBlock == 0) break;
        int32_t next = 0, blockCount = 0;
        const int32_t offset = h.NextBlock;
        if (!ReadBlockHeader_(h, offset, next, blockCount)) {
          EmptySound(h);
          break;
        }
        LoadBlockData_(h, offset, next, blockCount, "FF_ZMV.ZMVSndLoad.hf.AudioBuf");
        h.ChainSamples = static_cast<int32_t>(std::min<int64_t>(int64_t{h.ChainSamples} + blockCount, 0x7FFFFFFF));
      }
      snd.samples = static_cast<int32_t>(copied / align);
    }
    h.SndPos = pos + snd.samples;
  } catch (...) {
    CatchException();
  }
  EndMonitor();
}

void ZMVClose(ZmvHandle& h) {
  TraceScope trace("FF_ZMV.ZMVClose");
  BeginMonitor();
  try {
    if (StillOwned(h.AudioBuf)) MemFree(h.AudioBuf);
    if (StillOwned(h.PredictImg)) MemFree(h.PredictImg);
    if (h.Lib != nullptr) {
      FpuBracket fpu;
      LibProc<zmv_close_fn>(zxClose)(h.Lib);
      LibProc<zmv_handle_free_fn>(zxHandleFree)(h.Lib);
      h.Lib = nullptr;
    }
    if (h.File != 0 && h.File != kBadHandle) FClose(h.File);
    h.File = 0;
  } catch (...) {
    CatchException();
  }
  EndMonitor();
}

void ZMVInfo(const std::string& fileName, FFInfoRec& info) {
  TraceScope trace("FF_ZMV.ZMVInfo");
  ZmvHandle* h = nullptr;
  BeginMonitor();
  try {
    _memalloc_(h, static_cast<int64_t>(sizeof(ZmvHandle)), __LINE__, "FF_ZMV.ZMVInfo.h", mkFresh);
    ZMVOpen(*h, fileName);
    info.FormatId = 7;
    info.FileSize = h->FileSize;
    if (h->Frames > 0) {
      FFVideoPart& v = info.Video;
      v.Width = h->Width;
      v.Height = h->Height;
      v.BytesPP = h->BytesPP;
      v.Bpp = v.OrigBpp = h->BytesPP * 8;
      v.Frames = h->Frames;
      v.FrameRate = h->FrameRate;
      v.HasVideo = v.VideoSupported = -1;
      if (h->ByLibrary) {
        v.CodecId = h->LibCodec;
        switch (h->LibCodec) {
          case 1: v.CodecName = "Uncompressed, full frames"; break;
          case 2: v.CodecName = "ZMV FAST codec"; break;
          case 3: v.CodecName = "ZMV BEST codec"; break;
          case 4: v.CodecName = "ZMV BEST (with prediction) codec"; break;
          default: v.CodecName.clear(); break;
        }
      } else {
        switch (h->Flags) {
          case 0: v.CodecId = 0; v.CodecName = "ZMV BEST codec"; break;
          case 1: v.CodecId = 1; v.CodecName = "ZMV FAST codec"; break;
          case 2: v.CodecId = 0; v.CodecName = "ZMV BEST-P codec"; break;
          default: v.CodecId = h->Flags & 1; v.CodecName = "N/A"; break;
        }
      }
    }
    if (h->SoundFlags != 0) {
      FFAudioPart& a = info.Audio;
      a.SrcFormat = a.PcmFormat = h->Format;
      a.CodecName = "PCM, uncompressed";
      a.Samples = h->Samples;
      a.HasAudio = -1;
      // A sound of no usable rate, width or channel count cannot be played.
      a.AudioSupported = h->SoundOk ? -1 : 0;
    }
    ZMVClose(*h);
    MemFree(h);
  } catch (...) {
    CatchException();
  }
  EndMonitor();
}

void ZMVDllLoad() { FFLoadCodecLib(clZmv); }
void ZMVDllFree() { FFFreeCodecLib(clZmv); }

}  // namespace tavelo
