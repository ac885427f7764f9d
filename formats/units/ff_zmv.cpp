#include "formats/units/ff_zmv.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "core/services/basic.h"
#include "core/services/errors.h"
#include "core/services/files.h"
#include "core/services/memory.h"
#include "core/services/monitor.h"
#include "core/services/trace.h"
#include "formats/ff_basic.h"
#include "formats/ff_codec_libs.h"
#include "formats/ff_unit.h"
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

// The library's calls the unit makes.
struct ZmvApi {
  zmv_handle_alloc_fn HandleAlloc;
  zmv_open_fn Open;
  zmv_video_get_format_fn VideoGetFormat;
  zmv_audio_get_format_fn AudioGetFormat;
  zmv_video_seek_fn VideoSeek;
  zmv_video_read_fn VideoRead;
  zmv_video_get_palette_fn VideoGetPalette;
  zmv_audio_seek_fn AudioSeek;
  zmv_audio_read_fn AudioRead;
  zmv_close_fn Close;
  zmv_handle_free_fn HandleFree;
};

thread_local FFCodecBinding<ZmvApi> t_binding;

bool BindZmv_(ZmvApi& api) {
  bool all = true;
  all = FFBind_(clZmv, api.HandleAlloc, "zmv_handle_alloc") && all;
  all = FFBind_(clZmv, api.Open, "zmv_open") && all;
  all = FFBind_(clZmv, api.VideoGetFormat, "zmv_video_get_format") && all;
  all = FFBind_(clZmv, api.AudioGetFormat, "zmv_audio_get_format") && all;
  all = FFBind_(clZmv, api.VideoSeek, "zmv_video_seek") && all;
  all = FFBind_(clZmv, api.VideoRead, "zmv_video_read") && all;
  all = FFBind_(clZmv, api.VideoGetPalette, "zmv_video_get_palette") && all;
  all = FFBind_(clZmv, api.AudioSeek, "zmv_audio_seek") && all;
  all = FFBind_(clZmv, api.AudioRead, "zmv_audio_read") && all;
  all = FFBind_(clZmv, api.Close, "zmv_close") && all;
  all = FFBind_(clZmv, api.HandleFree, "zmv_handle_free") && all;
  return all;
}

// The library is called with the floating-point unit in its reset state, and leaves it so.
using platform::FpuBracket;

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

// The bound calls; a library that did not load fails the routine as a file it cannot read.
const ZmvApi& Api_() {
  if (!t_binding.Refresh(clZmv, BindZmv_)) Fail(5, __LINE__);
  return t_binding.Calls;
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

// What a chunk header at a position of a frame record says. The record is size bytes long, of
// which the first avail are in the buffer.
enum class ChunkParse { Ok, Other, Bad, Short };

struct PaletteChunk {
  int32_t First;
  int32_t Count;
  int64_t Colours;  // where its R, G, B triples begin
  int64_t End;
};

// The palette chunk at pos: Other when the chunk there is of another type.
ChunkParse PaletteChunkAt_(const uint8_t* buf, int64_t avail, int64_t size, int64_t pos, PaletteChunk& c) {
  if (pos < 0 || pos + 16 > size) return ChunkParse::Bad;
  if (pos + 16 > avail) return ChunkParse::Short;
  if (Get32(buf + pos) != kChunkPalette) return ChunkParse::Other;
  const int64_t header = Get32(buf + pos + 4);
  c.Count = Get32(buf + pos + 8);
  c.First = Get32(buf + pos + 12);
  c.Colours = pos + header;
  c.End = c.Colours + 3 * int64_t{c.Count};
  if (header < 16 || c.Count < 0 || c.First < 0 || int64_t{c.First} + c.Count > 256 || c.End > size)
    return ChunkParse::Bad;
  return c.End > avail ? ChunkParse::Short : ChunkParse::Ok;
}

struct PictureChunk {
  int32_t Strips;
  int32_t InRecord;     // strips whose data follow inside the record
  int64_t Table;        // the strip table
  int64_t Data;         // the first strip's data, behind the table
};

// The picture chunk at pos (the caller knows its type): its header and strip table bounds.
ChunkParse PictureChunkAt_(const uint8_t* buf, int64_t avail, int64_t size, int64_t pos, PictureChunk& c) {
  if (pos < 0 || pos + 16 > size) return ChunkParse::Bad;
  if (pos + 16 > avail) return ChunkParse::Short;
  const int64_t header = Get32(buf + pos + 4);
  c.Strips = Get32(buf + pos + 8);
  c.InRecord = Get32(buf + pos + 12);
  if (header < 16 || c.Strips < 0 || c.InRecord < 0 || c.InRecord > c.Strips) return ChunkParse::Bad;
  c.Table = pos + header;
  int64_t recordLength = kStripRecord;
  if (c.Strips > 0) {
    if (c.Table + kStripRecord > size) return ChunkParse::Bad;
    if (c.Table + kStripRecord > avail) return ChunkParse::Short;
    recordLength = Get32(buf + c.Table + 4);
  }
  if (recordLength < kStripRecord || c.Table + c.Strips * recordLength > size) return ChunkParse::Bad;
  c.Data = c.Table + c.Strips * recordLength;
  return c.Data > avail ? ChunkParse::Short : ChunkParse::Ok;
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
  PictureChunk chunk{};
  if (PictureChunkAt_(buf, size, size, pos, chunk) != ChunkParse::Ok) Corrupt(__LINE__);
  const int32_t strips = chunk.Strips;
  const int32_t inRecord = chunk.InRecord;
  const int64_t table = chunk.Table;

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
  pos = chunk.Data;
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

// Indexes the sound block chain from the first block: each block's offset and the running sample
// count at its end. The chain ends at a block that lies (with its data) past the end of the file,
// and after a block whose next block does not begin behind its data: a chain that points back or
// into itself would otherwise loop, and so the index holds at most one entry per 16 bytes of file.
// Headers are read through a window of the file, so even a chain of many tiny blocks costs a
// few reads.
void IndexSound_(ZmvHandle& h) {
  constexpr int64_t kWindow = 4096;
  uint8_t window[kWindow];
  int64_t windowAt = -1, windowLength = 0;
  const int64_t fileSize = static_cast<int64_t>(h.FileSize);
  const int64_t align = h.Format.nBlockAlign;
  int32_t capacity = 0;
  int64_t total = 0;
  int64_t offset = h.SoundOffset;
  while (offset > 0 && offset + 16 <= fileSize) {
    if (windowAt < 0 || offset < windowAt || offset + 16 > windowAt + windowLength) {
      windowAt = offset;
      windowLength = std::min(kWindow, fileSize - offset);
      FSeek(h.File, windowAt);
      FRead(h.File, window, windowLength);
    }
    const uint8_t* header = window + (offset - windowAt);
    const int64_t next = Get32(header + 8);
    const int64_t count = Get32(header + 12);
    const int64_t end = offset + 16 + count * align;
    // Positions are 32-bit sample numbers: blocks past that could never be reached.
    if (count < 0 || end > fileSize || count * align > 0x7FFFFFFF || total + count > 0x7FFFFFFF) break;
    if (h.SndBlocks == capacity) {
      // Blocks do not overlap, so no file holds more than this; the check only guards the index.
      const int64_t most = fileSize / 16 + 1;
      if (capacity >= most) break;
      capacity = capacity == 0 ? 64 : static_cast<int32_t>(std::min<int64_t>(int64_t{capacity} * 2, most));
      _memalloc_(h.SndIndex, int64_t{capacity} * static_cast<int64_t>(sizeof(ZmvSoundBlock)), __LINE__,
                 "FF_ZMV.ZMVOpen.SndIndex", mkResizable);
    }
    total += count;
    h.SndIndex[h.SndBlocks++] = {static_cast<int32_t>(offset), static_cast<int32_t>(total)};
    if (next < end) break;
    offset = next;
  }
}

// Sample frames of index entry i.
int64_t BlockSamples_(const ZmvHandle& h, int32_t i) {
  return int64_t{h.SndIndex[i].End} - (i > 0 ? h.SndIndex[i - 1].End : 0);
}

// Loads the PCM of index entry i; a sequential read goes on with the entry after it.
void LoadBlock_(ZmvHandle& h, int32_t i, const char* tag) {
  const int64_t bytes = BlockSamples_(h, i) * h.Format.nBlockAlign;
  if (bytes > 0) {
    StillOwned(h.AudioBuf);
    _memalloc_(h.AudioBuf, bytes, __LINE__, tag, mkResizable);
    FSeek(h.File, int64_t{h.SndIndex[i].Offset} + 16);
    FRead(h.File, h.AudioBuf, bytes);
  }
  h.AudioBufSize = static_cast<int32_t>(bytes);
  h.AudioBufPos = 0;
  h.NextBlock = i + 1;
}

// The palette chunks that decoding the frame of index entry e applies, in their order, read into
// buf (a tracked buffer, grown as needed): the chunks up to the first one of another kind, or up
// to a picture chunk whose strips continue behind the record. Usually they stand at the record's
// start, so only its first bytes are read. A damaged record gives the chunks before the damage:
// decoding that frame fails anyway, and the frames after it are still worth their colours.
void FramePalettes_(ZmvHandle& h, const ZmvIndexEntry& e, uint8_t*& buf, std::vector<PaletteChunk>& found) {
  found.clear();
  const int64_t size = e.Size;
  if (size < 16 || size > int64_t{h.FrameBytes} + kSpareBytes || e.Offset < 0 || e.Offset + size > h.FileSize)
    return;
  int64_t avail = std::min<int64_t>(size, kPalReadMax);
  for (;;) {
    _memalloc_(buf, avail, __LINE__, "FF_ZMV.ZMVGetPal.dskbuf", mkResizable);
    FSeek(h.File, e.Offset);
    FRead(h.File, buf, avail);
    found.clear();
    bool cut = false;  // a chunk reaches past the bytes read
    int64_t pos = Get32(buf + 4);
    const int32_t chunks = Get32(buf + 8);
    for (int32_t c = 0; c < chunks; ++c) {
      if (pos < 0 || pos + 4 > size) break;
      if (pos + 4 > avail) {
        cut = true;
        break;
      }
      const int32_t type = Get32(buf + pos);
      ChunkParse r = ChunkParse::Other;
      if (type == kChunkPalette) {
        PaletteChunk chunk{};
        r = PaletteChunkAt_(buf, avail, size, pos, chunk);
        if (r == ChunkParse::Ok) {
          found.push_back(chunk);
          pos = chunk.End;
        }
      } else if (type == kChunkPicture) {
        PictureChunk picture{};
        r = PictureChunkAt_(buf, avail, size, pos, picture);
        if (r == ChunkParse::Ok) {
          if (picture.InRecord < picture.Strips) break;
          pos = picture.Data;
          for (int32_t j = 0; j < picture.InRecord && r == ChunkParse::Ok; ++j) {
            const int32_t bytes = Get32(buf + picture.Table + int64_t{j} * kStripRecord + 8);
            if (bytes < 0) r = ChunkParse::Bad;
            pos += bytes;
          }
        }
      }
      if (r == ChunkParse::Short) cut = true;
      if (r != ChunkParse::Ok) break;
    }
    if (!cut || avail == size) return;
    avail = size;
  }
}

void EmptySound(ZmvHandle& h) {
  h.AudioBufSize = 0;
  h.AudioBufPos = 0;
  h.NextBlock = h.SndBlocks;
}

// The open of ZMVOpen; a description needs no sound index.
void ZMVOpen_(ZmvHandle& h, const std::string& fileName, bool indexSound) {
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
      const ZmvApi& api = Api_();
      int32_t frames = 0, codec = 0, width = 0, height = 0, bits = 0, key = 0;
      int32_t samples = 0, hasSound = 0, rate = 0, channels = 0, sampleBits = 0;
      double fps = 0;
      {
        FpuBracket fpu;
        h.Lib = api.HandleAlloc();
        if (h.Lib == nullptr) Fail(5, __LINE__);
        if (api.Open(h.Lib, fileName.c_str()) != 0) {
          // A refused file leaves no library handle behind.
          api.HandleFree(h.Lib);
          h.Lib = nullptr;
          Fail(5, __LINE__);
        }
        api.VideoGetFormat(h.Lib, &frames, &codec, &width, &height, &bits, &fps, &key);
        api.AudioGetFormat(h.Lib, &samples, &hasSound, &rate, &channels, &sampleBits);
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
      if (h.SoundOk && indexSound) IndexSound_(h);
      h.NextBlock = 0;
    }
  } catch (...) {
    CatchException();
    // The frame closes the file of a failed open; the handle must not name it any more.
    ClearHandle(h);
  }
  EndMonitor();
}

}  // namespace

void ZMVOpen(ZmvHandle& h, const std::string& fileName) { ZMVOpen_(h, fileName, true); }

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
        Api_().VideoSeek(h.Lib, frame - 1);
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
      const bool restart = !held && (h.NextFrame >= frame || !holdsPrevious || keyBetween);
      if (restart) {
        h.NextFrame = key;
        // Palette chunks may set part of the palette only: the rest is what the frames before the
        // key frame left, whatever the record held before.
        if (h.BytesPP == 1) {
          h.PalInForce = ZMVGetPal(h, img.Palette, key) ? -1 : 0;
          // Kept, so that the next start at or after this key frame searches no further back.
          if (key > 0) {
            h.PalCache = img.Palette;
            h.PalCacheFrame = key;
            h.PalCacheAny = h.PalInForce;
          }
        }
      }
      bool applied = false;
      while (h.NextFrame < frame) {
        ZMVImgLoadNext(h, img);
        if (h.PalChanged) applied = true;
        // The palette before a key frame is kept, so that starting there again reads no chunks.
        if (h.BytesPP == 1 && h.KeyInterval > 0 && h.NextFrame % h.KeyInterval == 0) {
          h.PalCache = img.Palette;
          h.PalCacheFrame = h.NextFrame;
          h.PalCacheAny = h.PalInForce || applied ? -1 : 0;
        }
      }
      if (applied) h.PalInForce = -1;
      // An 8-bit picture always has a palette in force once any chunk has set one.
      h.PalChanged = applied || (h.BytesPP == 1 && h.PalInForce) ? -1 : 0;
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
      const ZmvApi& api = Api_();
      FpuBracket fpu;
      if (api.VideoRead(h.Lib, img.Data) != 0) Fail(9, __LINE__);
      api.VideoGetPalette(h.Lib, img.Palette.data(), &changed);
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
          PaletteChunk chunk{};
          if (PaletteChunkAt_(buf, size, size, pos, chunk) != ChunkParse::Ok) Corrupt(__LINE__);
          ApplyPalette(img.Palette, chunk.First, chunk.Count, buf + chunk.Colours);
          pos = chunk.End;
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

bool ZMVGetPal(ZmvHandle& h, QimgPalette& palette, int32_t frame) {
  TraceScope trace("FF_ZMV.ZMVGetPal");
  bool any = false;
  uint8_t* buf = nullptr;
  BeginMonitor();
  try {
    palette.fill(0);
    if (h.Frames < 1 || h.ByLibrary) AbortMonitor();
    // Newest chunks first: an entry takes the colour of the last chunk that set it, and the
    // search ends as soon as every entry is known, or at the palette kept for an earlier frame.
    bool known[256] = {};
    int32_t unknown = 256;
    std::vector<PaletteChunk> chunks;
    for (int32_t f = std::min(frame, h.Frames); f >= 1 && unknown > 0; --f) {
      if (f == h.PalCacheFrame) {
        for (int32_t i = 0; i < 256; ++i)
          if (!known[i]) std::memcpy(palette.data() + 3 * i, h.PalCache.data() + 3 * i, 3);
        any = any || h.PalCacheAny;
        break;
      }
      ZMVUpdateVP_(h, f);
      const ZmvIndexEntry e = h.Page[(f - 1) % 256];
      if (!(e.Flags & 1)) continue;
      FramePalettes_(h, e, buf, chunks);
      for (auto c = chunks.rbegin(); c != chunks.rend(); ++c) {
        any = true;
        for (int32_t i = 0; i < c->Count; ++i) {
          const int32_t entry = c->First + i;
          if (known[entry]) continue;
          known[entry] = true;
          --unknown;
          ApplyPalette(palette, entry, 1, buf + c->Colours + 3 * int64_t{i});
        }
      }
    }
    if (buf != nullptr) MemFree(buf);
  } catch (...) {
    CatchException();
  }
  EndMonitor();
  return any;
}

void ZMVSndSeek(ZmvHandle& h, int32_t sample) {
  TraceScope trace("FF_ZMV.ZMVSndSeek");
  BeginMonitor();
  try {
    if (h.ByLibrary) {
      {
        FpuBracket fpu;
        Api_().AudioSeek(h.Lib, sample);
      }
      h.SndPos = sample;
    } else {
      // Outside the sound nothing is held, so the next read delivers nothing.
      EmptySound(h);
      h.SndPos = sample;
      if (!h.SoundOk || h.SndBlocks == 0 || sample < 0 || sample > h.Samples) AbortMonitor();
      // The first block that ends behind the sample holds it (the last block too); a sample at
      // the end of the chain lies in none.
      const ZmvSoundBlock* first = h.SndIndex;
      const ZmvSoundBlock* found = std::upper_bound(first, first + h.SndBlocks, sample,
                                                    [](int32_t s, const ZmvSoundBlock& b) { return s < b.End; });
      if (found == first + h.SndBlocks) AbortMonitor();
      const int32_t i = static_cast<int32_t>(found - first);
      LoadBlock_(h, i, "FF_ZMV.ZMVSndSeek.hf.AudioBuf");
      h.AudioBufPos = static_cast<int32_t>((sample - (found->End - BlockSamples_(h, i))) * h.Format.nBlockAlign);
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
        Api_().AudioRead(h.Lib, snd.SndData, count, &got);
      }
      snd.samples = std::clamp(got, 0, count);
    } else {
      if (!h.SoundOk || h.SndBlocks == 0) AbortMonitor();
      // A block buffer released by a failed read holds nothing any more.
      if (!StillOwned(h.AudioBuf)) h.AudioBufSize = h.AudioBufPos = 0;
      if (h.AudioBufPos >= h.AudioBufSize && h.NextBlock >= h.SndBlocks) AbortMonitor();
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
        if (copied >= want || h.NextBlock >= h.SndBlocks) break;
        LoadBlock_(h, h.NextBlock, "FF_ZMV.ZMVSndLoad.hf.AudioBuf");
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
    if (StillOwned(h.SndIndex)) MemFree(h.SndIndex);
    h.SndBlocks = 0;
    if (h.Lib != nullptr) {
      const ZmvApi& api = Api_();
      FpuBracket fpu;
      api.Close(h.Lib);
      api.HandleFree(h.Lib);
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
    ZMVOpen_(*h, fileName, false);
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

// ---- The dispatcher's entries ----

const FFUnit kZmvUnit = {
    .Kind = fuMovie,
    .Info = [](const std::string& name, FFInfoRec& info, FFProgressProc, void*) { ZMVInfo(name, info); },
    .SaveDefaults = [](FFVideoOpts& opts) { opts.Codec = 2; },
    .CodecName = [](const FFVideoOpts& opts, std::string& out) {
      if (opts.Codec == 2) out = "ZMV-FAST compression";
      if (opts.Codec == 3) out = "ZMV-BEST compression";
    },
    .StateName = "ZMV",
    .StateSize = static_cast<int64_t>(sizeof(ZmvHandle)),
    .NewState = FFNewState<ZmvHandle>,
    .Open = [](void* s, const std::string& name, FFProgressProc, void*) { ZMVOpen(FFStateOf<ZmvHandle>(s), name); },
    .ImgLoad = [](void* s, Qimg& img, int32_t frame, Qimg*) { ZMVImgLoad(FFStateOf<ZmvHandle>(s), img, frame); },
    .SndLoad = [](void* s, Qsnd& snd, int32_t pos, int32_t count, int32_t option) {
      ZMVSndLoad(FFStateOf<ZmvHandle>(s), snd, pos, count, option);
    },
    .NearestKeyFrame = [](void* s, int32_t frame, int32_t direction) {
      return ZMVNearestKeyFrame(FFStateOf<ZmvHandle>(s), frame, direction);
    },
    .Close = [](void* s, int32_t, int32_t, int32_t) { ZMVClose(FFStateOf<ZmvHandle>(s)); },
    .View = [](const void* s) {
      const ZmvHandle& h = FFStateOf<ZmvHandle>(s);
      return FFMovieView{h.Frames, h.NextFrame, h.SndPos, h.PalChanged, h.Stop};
    },
};

}  // namespace tavelo
