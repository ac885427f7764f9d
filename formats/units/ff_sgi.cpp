// SGI image files: reading and writing (unit FF_SGI).
#include "formats/units/ff_sgi.h"

#include <cstring>

#include "core/services/errors.h"
#include "core/services/files.h"
#include "core/services/memory.h"
#include "core/services/monitor.h"
#include "core/services/trace.h"
#include "formats/ff_basic.h"
#include "formats/ff_tables.h"
#include "formats/ff_unit.h"

namespace tavelo {

namespace {

// Reports an error and leaves the work at once, also when the error state is locked and
// SetError itself would not unwind: no decoding may go on after a failed check.
inline uint32_t Be16(const uint8_t* p) { return (static_cast<uint32_t>(p[0]) << 8) | p[1]; }
inline uint32_t Be32(const uint8_t* p) {
  return (static_cast<uint32_t>(p[0]) << 24) | (static_cast<uint32_t>(p[1]) << 16) |
         (static_cast<uint32_t>(p[2]) << 8) | p[3];
}
inline void PutBe16(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v >> 8);
  p[1] = static_cast<uint8_t>(v);
}
inline void PutBe32(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v >> 24);
  p[1] = static_cast<uint8_t>(v >> 16);
  p[2] = static_cast<uint8_t>(v >> 8);
  p[3] = static_cast<uint8_t>(v);
}

// Where channel z of a file with zsize channels goes in a picture pixel (B, G, R, A order).
// Channel 0 is red, 1 green, 2 blue, 3 alpha; a two-channel file is grey and alpha.
int32_t ChannelByte(int32_t zsize, int32_t z) {
  if (zsize == 1) return 0;
  if (zsize == 2) return z == 0 ? 0 : 3;
  static const int32_t kRgba[4] = {2, 1, 0, 3};
  return kRgba[z];
}

// Places one plane row of samples (every sampleBytes bytes, most significant byte first) into
// a picture row of bytesPP bytes per pixel. The grey plane of a two-channel file fills blue,
// green and red.
void PlaceRow(const uint8_t* src, int32_t sampleBytes, int32_t count, uint8_t* dest, int32_t bytesPP,
              int32_t zsize, int32_t z) {
  const int32_t at = ChannelByte(zsize, z);
  if (bytesPP == 1 && sampleBytes == 1) {
    std::memcpy(dest, src, static_cast<size_t>(count));
    return;
  }
  uint8_t* d = dest + at;
  if (zsize == 2 && z == 0) {
    for (int32_t x = 0; x < count; ++x, src += sampleBytes, d += bytesPP) d[0] = d[1] = d[2] = *src;
    return;
  }
  for (int32_t x = 0; x < count; ++x, src += sampleBytes, d += bytesPP) *d = *src;
}

// Decodes one run-length row of len bytes into count 8-bit samples (the most significant byte of
// two-byte samples, whose count words and values are 16 bits). The number of samples written.
int32_t UnpackRow(const uint8_t* src, int64_t len, int32_t sampleBytes, uint8_t* dest, int32_t count) {
  int32_t x = 0;
  int64_t i = 0;
  if (sampleBytes == 1) {
    while (i < len && x < count) {
      const uint8_t c = src[i++];
      int32_t n = c & 0x7F;
      if (n == 0) break;
      if (c & 0x80) {
        if (n > count - x) n = count - x;
        if (n > len - i) n = static_cast<int32_t>(len - i);
        FFCopyBytes(dest + x, src + i, n);
        i += c & 0x7F;
        x += n;
      } else {
        if (i >= len) break;
        const uint8_t v = src[i++];
        if (n > count - x) n = count - x;
        FFFillBytes(dest + x, v, n);
        x += n;
      }
    }
    return x;
  }
  while (i + 2 <= len && x < count) {
    const uint32_t c = Be16(src + i);
    i += 2;
    int32_t n = static_cast<int32_t>(c & 0x7F);
    if (n == 0) break;
    if (c & 0x80) {
      for (; n > 0 && x < count && i + 2 <= len; --n, i += 2) dest[x++] = src[i];
      i += 2 * static_cast<int64_t>(n);  // samples past the row's end are skipped
    } else {
      if (i + 2 > len) break;
      const uint8_t v = src[i];
      i += 2;
      if (n > count - x) n = count - x;
      std::memset(dest + x, v, static_cast<size_t>(n));
      x += n;
    }
  }
  return x;
}

}  // namespace

void SGIParseHeader_(const uint8_t* p, SgiHandle& h) {
  h.Magic = static_cast<int32_t>(Be16(p));
  if (h.Magic != kSgiMagic) RaiseError(ecImage, 2, 57);
  h.Storage = p[2];
  h.Bpc = p[3];
  h.Dimension = static_cast<int32_t>(Be16(p + 4));
  h.XSize = static_cast<int32_t>(Be16(p + 6));
  h.YSize = static_cast<int32_t>(Be16(p + 8));
  h.ZSize = static_cast<int32_t>(Be16(p + 10));
  h.PixMin = static_cast<int32_t>(Be32(p + 12));
  h.PixMax = static_cast<int32_t>(Be32(p + 16));
  h.ColorMap = static_cast<int32_t>(Be32(p + 104));
  switch (h.Dimension) {
    case 1:
      h.YSize = 1;
      h.ZSize = 1;
      break;
    case 2:
      h.ZSize = 1;
      break;
    case 3:
      break;
    default:
      h.ZSize = 0;
  }
  h.Supported = ((h.Bpc == 1 || h.Bpc == 2) && (h.Storage == 0 || h.Storage == 1) && h.ZSize >= 1 &&
                 h.ZSize <= 4 && h.ColorMap == 0)
                    ? -1
                    : 0;
}

int32_t SGIPictureBpp_(const SgiHandle& h) {
  switch (h.ZSize) {
    case 1: return 8;
    case 3: return 24;
    default: return 32;
  }
}

void SGIDecode_(const uint8_t* data, int64_t size, Qimg& img) {
  SgiHandle h;
  if (size < kSgiHeaderRead) RaiseError(ecFile, 3, 804);
  SGIParseHeader_(data, h);
  if (!h.Supported) RaiseError(ecImage, 1, 192);
  const int32_t w = h.XSize, ht = h.YSize, zs = h.ZSize, bpc = h.Bpc;
  if (w < 1 || ht < 1) RaiseError(ecMemory, 5, 193);
  const int64_t planeRow = static_cast<int64_t>(w) * bpc;

  if (h.Storage == 0) {
    // Plain planes: check that all of them are there before anything is allocated.
    if (kSgiHeaderSize + planeRow * ht * zs > size) RaiseError(ecFile, 3, 804);
  } else {
    if (kSgiHeaderSize + 8 * static_cast<int64_t>(ht) * zs > size) RaiseError(ecFile, 3, 804);
    // Every row must lie inside the file and be long enough to give the picture's width (a
    // packet of 2 samples' bytes gives at most 127 samples), before the picture is allocated.
    const uint8_t* starts = data + kSgiHeaderSize;
    const uint8_t* lengths = starts + 4 * static_cast<int64_t>(ht) * zs;
    for (int64_t e = 0; e < static_cast<int64_t>(ht) * zs; ++e) {
      const int64_t start = Be32(starts + 4 * e), len = Be32(lengths + 4 * e);
      if (start + len > size || len / (2 * bpc) * 127 < w) RaiseError(ecImage, 3, 207);
    }
  }

  // A picture too large to make is refused before it is allocated (FFPictureFits).
  if (!FFPictureFits(w, ht, (SGIPictureBpp_(h) + 7) / 8)) RaiseError(ecImage, 4, __LINE__);
  // Every channel of every pixel is written below (or the load fails).
  _imgalloc_(img, w, ht, SGIPictureBpp_(h), 193, "FF_SGI.SGILoad.img", false);
  const int32_t bytesPP = img.BytesPP;
  const int64_t pictureRow = static_cast<int64_t>(w) * bytesPP;

  if (h.Storage == 0) {
    for (int32_t z = 0; z < zs; ++z)
      for (int32_t y = 0; y < ht; ++y) {
        const uint8_t* src = data + kSgiHeaderSize + (static_cast<int64_t>(z) * ht + y) * planeRow;
        PlaceRow(src, bpc, w, img.Data + (ht - 1 - y) * pictureRow, bytesPP, zs, z);
      }
  } else {
    const uint8_t* starts = data + kSgiHeaderSize;
    const uint8_t* lengths = starts + 4 * static_cast<int64_t>(ht) * zs;
    uint8_t* row = nullptr;
    _memalloc_(row, w, 0, "FF_SGI.SGILoad.cmpsline", mkFresh);
    for (int32_t z = 0; z < zs; ++z)
      for (int32_t y = 0; y < ht; ++y) {
        const int64_t entry = 4 * (static_cast<int64_t>(z) * ht + y);
        const int64_t start = Be32(starts + entry);
        const int64_t len = Be32(lengths + entry);
        // A row that lies outside the file, or that runs out before the picture's width, is damaged.
        if (start + len > size) RaiseError(ecImage, 3, 207);
        uint8_t* dest = img.Data + (ht - 1 - y) * pictureRow;
        uint8_t* plane = (bytesPP == 1) ? dest : row;
        if (UnpackRow(data + start, len, bpc, plane, w) < w) RaiseError(ecImage, 3, 211);
        if (bytesPP != 1) PlaceRow(row, 1, w, dest, bytesPP, zs, z);
      }
    MemFree(row);
  }
  if (zs == 1) PalSetGray(img.Palette);
}

int32_t SGIEncodeRow_(const uint8_t* src, int32_t count, int32_t stride, uint8_t* dest) {
  int32_t out = 0;
  int32_t litStart = -1;  // index in dest of the pending literal packet's count byte
  int32_t litCount = 0;
  auto flush = [&] {
    if (litCount > 0) dest[litStart] = static_cast<uint8_t>(0x80 + litCount);
    litCount = 0;
  };
  int32_t i = 0;
  while (i < count) {
    const uint8_t v = src[static_cast<int64_t>(i) * stride];
    int32_t j = i + 1;
    while (j < count && j - i < 126 && src[static_cast<int64_t>(j) * stride] == v) ++j;
    if (j - i >= 2) {
      flush();
      dest[out++] = static_cast<uint8_t>(j - i);
      dest[out++] = v;
      i = j;
      continue;
    }
    if (litCount == 0) litStart = out++;
    dest[out++] = v;
    if (++litCount == 125) flush();
    ++i;
  }
  flush();
  dest[out++] = 0;
  return out;
}

void SGIOpen_(SgiHandle& h, const std::string& fileName) {
  Framed("FF_SGI.SGIOpen_", [&] {
    h = SgiHandle();
    FOpen(h.File, fileName, fmRead);
    uint8_t header[kSgiHeaderRead];
    FRead(h.File, header, kSgiHeaderRead);
    SGIParseHeader_(header, h);
    h.FileSize = FSize(h.File);
  });
}

void SGIClose_(SgiHandle& h) {
  if (h.File != 0) FClose(h.File);
  h.File = 0;
}

void SGILoad(const std::string& fileName, Qimg& img) {
  Framed("FF_SGI.SGILoad", [&] {
    SgiHandle h;
    SGIOpen_(h, fileName);
    if (!h.Supported) RaiseError(ecImage, 1, 192);
    uint8_t* data = nullptr;
    _memalloc_(data, h.FileSize, 0, "FF_SGI.SGILoad.data", mkFresh, false);
    FSeek(h.File, 0);
    FRead(h.File, data, h.FileSize);
    SGIClose_(h);
    SGIDecode_(data, h.FileSize, img);
    MemFree(data);
  });
}

void SGIInfo(const std::string& fileName, FFInfoRec& info) {
  Framed("FF_SGI.SGIInfo", [&] {
    SgiHandle h;
    SGIOpen_(h, fileName);
    info.FormatId = fidSGI;
    info.FileSize = static_cast<double>(h.FileSize);
    info.Video.Width = h.XSize;
    info.Video.Height = h.YSize;
    info.Video.Bpp = h.ZSize > 0 ? SGIPictureBpp_(h) : 0;
    info.Video.BytesPP = info.Video.Bpp / 8;
    info.Video.OrigBpp = h.ZSize * h.Bpc * 8;
    info.Video.Frames = 1;
    info.Video.CodecId = h.Storage;
    if (h.Storage != 0) info.Video.CodecName = "Run Length Encoding (RLE)";
    info.Video.HasVideo = h.XSize > 0 ? -1 : 0;
    info.Video.VideoSupported = h.Supported;
    SGIClose_(h);
  });
}

void SGISave(const std::string& fileName, const Qimg& img, int32_t codec) {
  Framed("FF_SGI.SGISave", [&] {
    FFSavePrep prep;
    FFInit(fidSGI, prep, img, 1);
    FFSafeSave_(fileName, [&](const std::string& temp) { SGIWritePrepared_(temp, *prep.Picture, codec); });
    FFFree(prep);
  });
}

void SGIWritePrepared_(const std::string& fileName, const Qimg& img, int32_t codec) {
  Framed("FF_SGI.SGIWrite_", [&] {
    const int32_t w = img.Width, ht = img.Height, zs = img.BytesPP;
    if (!(zs == 3 || zs == 4) || img.Data == nullptr) RaiseError(ecImage, 2, 300);
    // The header holds sizes in 16 bits: a larger picture cannot be written as SGI.
    if (w < 1 || ht < 1 || w > 0xFFFF || ht > 0xFFFF) RaiseError(ecImage, 11, 302);
    const bool rle = codec != 0;

    uint8_t header[kSgiHeaderSize] = {};
    PutBe16(header, kSgiMagic);
    header[2] = rle ? 1 : 0;
    header[3] = 1;
    PutBe16(header + 4, 3);
    PutBe16(header + 6, static_cast<uint32_t>(w));
    PutBe16(header + 8, static_cast<uint32_t>(ht));
    PutBe16(header + 10, static_cast<uint32_t>(zs));
    PutBe32(header + 12, 0);
    PutBe32(header + 16, 255);

    int32_t file = 0;
    FOpen(file, fileName, fmCreate | fmWrite);
    FWrite(file, header, kSgiHeaderSize);
    // Channel z comes from picture byte ChannelByte(zs, z): red, green, blue, alpha.
    const int64_t pictureRow = static_cast<int64_t>(w) * zs;
    if (!rle) {
      uint8_t* line = nullptr;
      _memalloc_(line, w, 0, "FF_SGI.SGISave.templine", mkFresh);
      for (int32_t z = 0; z < zs; ++z)
        for (int32_t y = ht - 1; y >= 0; --y) {
          const uint8_t* src = img.Data + y * pictureRow + ChannelByte(zs, z);
          for (int32_t x = 0; x < w; ++x) line[x] = src[static_cast<int64_t>(x) * zs];
          FWrite(file, line, w);
        }
      MemFree(line);
    } else {
      const int64_t rows = static_cast<int64_t>(ht) * zs;
      uint8_t* starts = nullptr;
      uint8_t* lengths = nullptr;
      uint8_t* packed = nullptr;
      _memalloc_(starts, 4 * rows, 0, "FF_SGI.SGISave.linetbl", mkFresh);
      _memalloc_(lengths, 4 * rows, 0, "FF_SGI.SGISave.lentbl", mkFresh);
      // An encoded row needs up to two bytes a sample and its end byte (a 1-pixel row takes 3).
      _memalloc_(packed, 2 * static_cast<int64_t>(w) + 2, 0, "FF_SGI.SGISave.cmpsline", mkFresh);
      int64_t pos = kSgiHeaderSize + 8 * rows;
      FSeek(file, pos);
      for (int32_t z = 0; z < zs; ++z)
        for (int32_t y = 0; y < ht; ++y) {
          const uint8_t* src = img.Data + (ht - 1 - y) * pictureRow + ChannelByte(zs, z);
          const int32_t len = SGIEncodeRow_(src, w, zs, packed);
          // Row starts are 32-bit file offsets.
          if (pos + len > 0xFFFFFFFFLL) RaiseError(ecImage, 5, 340);
          const int64_t entry = 4 * (static_cast<int64_t>(z) * ht + y);
          PutBe32(starts + entry, static_cast<uint32_t>(pos));
          PutBe32(lengths + entry, static_cast<uint32_t>(len));
          FWrite(file, packed, len);
          pos += len;
        }
      FSeek(file, kSgiHeaderSize);
      FWrite(file, starts, 4 * rows);
      FWrite(file, lengths, 4 * rows);
      MemFree(packed);
      MemFree(lengths);
      MemFree(starts);
    }
    FClose(file);
  });
}

// ---- The dispatcher's entries ----

const FFUnit kSgiUnit = {
    .Kind = fuStill,
    .Info = [](const std::string& name, FFInfoRec& info, FFProgressProc, void*) { SGIInfo(name, info); },
    .Load = [](const std::string& name, Qimg& img, Qimg*) { SGILoad(name, img); },
    .Save = [](const std::string& name, const Qimg& img, FFVideoOpts& opts) { SGISave(name, img, opts.Codec); },
    .SaveDefaults = [](FFVideoOpts& opts) { opts.Codec = 1; },
    .CodecName = FFRunLengthName,
};

}  // namespace tavelo
