// Sun raster files: reading and writing (unit FF_RAS).
#include "formats/units/ff_ras.h"

#include <algorithm>
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

inline uint32_t Be32(const uint8_t* p) {
  return (static_cast<uint32_t>(p[0]) << 24) | (static_cast<uint32_t>(p[1]) << 16) |
         (static_cast<uint32_t>(p[2]) << 8) | p[3];
}
inline void PutBe32(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v >> 24);
  p[1] = static_cast<uint8_t>(v >> 16);
  p[2] = static_cast<uint8_t>(v >> 8);
  p[3] = static_cast<uint8_t>(v);
}

}  // namespace

void RASParseHeader_(const uint8_t* p, RasHandle& h) {
  h.Magic = Be32(p);
  if (h.Magic != kRasMagic) RaiseError(ecImage, 2, 88);
  h.Width = Be32(p + 4);
  h.Height = Be32(p + 8);
  h.Depth = Be32(p + 12);
  h.Length = Be32(p + 16);
  h.Type = Be32(p + 20);
  h.MapType = Be32(p + 24);
  h.MapLength = Be32(p + 28);
  h.Supported = (h.Type <= 3 && (h.Depth == 8 || h.Depth == 24 || h.Depth == 32)) ? -1 : 0;
}

bool RasDecodeRle(const uint8_t* src, int64_t srcLen, uint8_t* dest, int64_t rowBytes, int64_t stride,
                  int64_t rows) {
  int64_t i = 0;
  int64_t x = 0;  // position in the padded row
  int64_t row = 0;
  uint8_t* out = dest;
  auto nextRowAtEnd = [&] {
    if (x == stride) {
      x = 0;
      out += rowBytes;
      ++row;
    }
  };
  while (row < rows) {
    if (i >= srcLen) return false;
    if (x < rowBytes && src[i] != 0x80) {
      // A stretch of plain bytes, up to the next escape or the end of the row's pixels.
      const int64_t room = std::min(srcLen - i, rowBytes - x);
      const uint8_t* s = src + i;
      uint8_t* d = out + x;
      int64_t k = 0;
      do {
        d[k] = s[k];
        ++k;
      } while (k < room && s[k] != 0x80);
      i += k;
      x += k;
      nextRowAtEnd();
      continue;
    }
    uint8_t v = src[i++];
    int64_t run = 1;
    if (v == 0x80) {
      if (i >= srcLen) return false;
      const uint8_t n = src[i++];
      if (n != 0) {
        if (i >= srcLen) return false;
        run = static_cast<int64_t>(n) + 1;
        v = src[i++];
      }
    }
    if (run > 1 && rowBytes - x >= run) {
      // A run inside the row's pixels.
      FFFillBytes(out + x, v, run);
      x += run;
      nextRowAtEnd();
      continue;
    }
    if (run == 1 && x < rowBytes) {
      out[x] = v;
      if (++x == stride) {
        x = 0;
        out += rowBytes;
        ++row;
      }
      continue;
    }
    // A run may reach over the pad bytes into the next rows; it never passes the last row.
    while (run > 0 && row < rows) {
      int64_t chunk = stride - x;
      if (chunk > run) chunk = run;
      if (x < rowBytes) {
        const int64_t m = (rowBytes - x < chunk) ? rowBytes - x : chunk;
        FFFillBytes(out + x, v, m);
      }
      x += chunk;
      run -= chunk;
      if (x == stride) {
        x = 0;
        out += rowBytes;
        ++row;
      }
    }
  }
  return true;
}

int32_t RasEncodeRow(int32_t length, uint8_t* dst, const uint8_t* src) {
  int32_t o = 0;
  int32_t i = 0;
  while (i < length) {
    const uint8_t v = src[i];
    int32_t j = i + 1;
    while (j < length && j - i < 256 && src[j] == v) ++j;
    const int32_t run = j - i;
    if (run >= 2) {
      dst[o++] = 0x80;
      dst[o++] = static_cast<uint8_t>(run - 1);
      dst[o++] = v;
    } else if (v == 0x80) {
      dst[o++] = 0x80;
      dst[o++] = 0;
    } else {
      dst[o++] = v;
    }
    i = j;
  }
  return o;
}

void RasXbgrToBgra(uint8_t* d, int64_t pixels) {
  for (int64_t i = 0; i < pixels; ++i, d += 4) {
    const uint8_t x = d[0];
    d[0] = d[1];
    d[1] = d[2];
    d[2] = d[3];
    d[3] = x;
  }
}

void RasBgraToXbgr(uint8_t* d, int64_t pixels) {
  for (int64_t i = 0; i < pixels; ++i, d += 4) {
    const uint8_t a = d[3];
    d[3] = d[2];
    d[2] = d[1];
    d[1] = d[0];
    d[0] = a;
  }
}

namespace {

// Where the pixels of a checked file lie and how its rows are laid out.
struct RasLayout {
  int64_t Offset = 0;  // the pixel data, after the header and the colour map
  int64_t Left = 0;    // bytes from there to the end of the file
  int64_t Row = 0;     // bytes of one picture row
  int64_t Stride = 0;  // bytes of one stored row (padded to an even length, or not)
};

// Checks a file of size bytes by its header, everything before any allocation, and makes the
// picture (its pixels are not set: every one is written by the caller).
RasLayout RasPrepare_(const uint8_t* header, int64_t size, RasHandle& h, Qimg& img) {
  if (size < kRasHeaderSize) RaiseError(ecFile, 3, 804);
  RASParseHeader_(header, h);
  if (!h.Supported) RaiseError(ecImage, 1, 140);
  // No picture of more than 2^31 pixels can be held; refused before any size is multiplied out.
  if (h.Width < 1 || h.Height < 1 || static_cast<uint64_t>(h.Width) * h.Height > 0x7FFFFFFFu) RaiseError(ecMemory, 5, 141);
  RasLayout l;
  l.Offset = kRasHeaderSize + static_cast<int64_t>(h.MapLength);
  if (l.Offset > size) RaiseError(ecFile, 3, 804);
  const int64_t width = h.Width, height = h.Height;
  l.Row = width * h.Depth / 8;
  const int64_t s = (l.Row + 1) & ~int64_t{1};
  l.Left = size - l.Offset;
  // Rows are padded to even lengths. A file that holds exactly the unpadded rows is read
  // unpadded (some writers leave the pad out); any other shortfall is a file cut short, which
  // must not come out as a picture of shifted rows.
  l.Stride = s;
  if (h.Type != 2 && l.Left < s * (height - 1) + l.Row) {
    if (l.Left != l.Row * height) RaiseError(ecFile, 3, 804);
    l.Stride = l.Row;
  }
  // Run-length data yields at most 256 bytes for every 3: a file far too short for its size is
  // refused before a large picture is allocated for it.
  if (h.Type == 2 && s * height > l.Left / 3 * 256 + 2) RaiseError(ecImage, 3, 160);

  // A picture too large to make is refused before it is allocated (FFPictureFits).
  if (!FFPictureFits(width, height, (h.Depth + 7) / 8)) RaiseError(ecImage, 4, __LINE__);
  _imgalloc_(img, static_cast<int32_t>(width), static_cast<int32_t>(height), static_cast<int32_t>(h.Depth), 145,
             "FF_RAS.RASLoad.img", false);
  img.Palette.fill(0);
  return l;
}

// The palette of an 8-bit picture from the colour map (MapLength bytes).
void RasPalette_(const RasHandle& h, const uint8_t* map, Qimg& img) {
  if (h.Depth != 8) return;
  // Map length / 3 entries per plane, red plane first; a file without a usable map is grey.
  const int64_t n = h.MapType == 1 ? h.MapLength / 3 : 0;
  if (n > 0) {
    for (int64_t i = 0; i < n && i < 256; ++i) {
      img.Palette[3 * i] = map[2 * n + i];
      img.Palette[3 * i + 1] = map[n + i];
      img.Palette[3 * i + 2] = map[i];
    }
  } else {
    PalSetGray(img.Palette);
  }
}

// The pixels from the stored data (l.Left bytes at pixels).
void RasPixels_(const RasHandle& h, const RasLayout& l, const uint8_t* pixels, Qimg& img) {
  const int64_t height = h.Height;
  if (h.Type != 2) {
    for (int64_t y = 0; y < height; ++y)
      std::memcpy(img.Data + y * l.Row, pixels + y * l.Stride, static_cast<size_t>(l.Row));
  } else {
    const int64_t s = (l.Row + 1) & ~int64_t{1};
    if (!RasDecodeRle(pixels, l.Left, img.Data, l.Row, s, height)) RaiseError(ecImage, 3, 170);
  }
}

// Stored channel orders to ours: XBGR to BGRA, and RGB files (type 3) to BGR.
void RasFinish_(const RasHandle& h, Qimg& img) {
  const int64_t count = static_cast<int64_t>(h.Width) * h.Height;
  if (h.Depth == 32) RasXbgrToBgra(img.Data, count);
  if (h.Type == 3 && h.Depth >= 24) {
    const int32_t bpp = img.BytesPP;
    uint8_t* d = img.Data;
    for (int64_t i = 0; i < count; ++i, d += bpp) {
      const uint8_t t = d[0];
      d[0] = d[2];
      d[2] = t;
    }
  }
}

}  // namespace

void RASDecode_(const uint8_t* data, int64_t size, Qimg& img) {
  RasHandle h;
  const RasLayout l = RasPrepare_(data, size, h, img);
  RasPalette_(h, data + kRasHeaderSize, img);
  RasPixels_(h, l, data + l.Offset, img);
  RasFinish_(h, img);
}

void RASOpen_(RasHandle& h, const std::string& fileName) {
  Framed("FF_RAS.RASOpen_", [&] {
    h = RasHandle();
    FOpen(h.File, fileName, fmRead);
    uint8_t header[kRasHeaderSize];
    FRead(h.File, header, kRasHeaderSize);
    RASParseHeader_(header, h);
    h.FileSize = FSize(h.File);
  });
}

void RASClose_(RasHandle& h) {
  if (h.File != 0) FClose(h.File);
  h.File = 0;
}

void RASLoad(const std::string& fileName, Qimg& img) {
  Framed("FF_RAS.RASLoad", [&] {
    RasHandle h;
    RASOpen_(h, fileName);
    if (!h.Supported) RaiseError(ecImage, 1, 140);
    uint8_t header[kRasHeaderSize];
    FSeek(h.File, 0);
    FRead(h.File, header, kRasHeaderSize);
    const RasLayout l = RasPrepare_(header, h.FileSize, h, img);
    if (h.Depth == 8 && h.MapType == 1 && h.MapLength > 0) {
      uint8_t* map = nullptr;
      _memalloc_(map, h.MapLength, 0, "FF_RAS.RASLoad.colormap", mkFresh, false);
      FRead(h.File, map, h.MapLength);
      RasPalette_(h, map, img);
      MemFree(map);
    } else {
      RasPalette_(h, nullptr, img);
      FSeek(h.File, l.Offset);
    }
    if (h.Type != 2 && l.Stride == l.Row) {
      // Unpadded plain rows are the picture's own: read in one piece straight into it.
      FRead(h.File, img.Data, l.Row * h.Height);
    } else {
      uint8_t* data = nullptr;
      if (l.Left > 0) {
        _memalloc_(data, l.Left, 0, "FF_RAS.RASLoad.cmpsdata", mkFresh, false);
        FRead(h.File, data, l.Left);
      }
      RasPixels_(h, l, data, img);
      if (data != nullptr) MemFree(data);
    }
    RASClose_(h);
    RasFinish_(h, img);
  });
}

void RASInfo(const std::string& fileName, FFInfoRec& info) {
  Framed("FF_RAS.RASInfo", [&] {
    RasHandle h;
    RASOpen_(h, fileName);
    auto clamp = [](uint32_t v) { return static_cast<int32_t>(v > 0x7FFFFFFFu ? 0x7FFFFFFFu : v); };
    info.FormatId = fidRAS;
    info.FileSize = static_cast<double>(h.FileSize);
    info.Video.Width = clamp(h.Width);
    info.Video.Height = clamp(h.Height);
    info.Video.BytesPP = clamp((h.Depth + 7) / 8);
    info.Video.Bpp = info.Video.OrigBpp = clamp(h.Depth);
    info.Video.Frames = 1;
    info.Video.CodecId = clamp(h.Type);
    if (h.Type == 2) info.Video.CodecName = "Run Length Encoding (RLE)";
    info.Video.HasVideo = info.Video.Width > 0 ? -1 : 0;
    info.Video.VideoSupported = h.Supported;
    RASClose_(h);
  });
}

void RASSave(const std::string& fileName, const Qimg& img, int32_t compress) {
  Framed("FF_RAS.RASSave", [&] {
    FFSavePrep prep;
    FFInit(fidRAS, prep, img, 1);
    FFSafeSave_(fileName, [&](const std::string& temp) { RASWritePrepared_(temp, *prep.Picture, compress); });
    FFFree(prep);
  });
}

void RASWritePrepared_(const std::string& fileName, const Qimg& img, int32_t compress) {
  Framed("FF_RAS.RASWrite_", [&] {
    const int32_t bytesPP = img.BytesPP;
    if (!(img.Bpp == 8 || img.Bpp == 24 || img.Bpp == 32) || img.Data == nullptr || img.Width < 1 ||
        img.Height < 1)
      RaiseError(ecImage, 2, 300);
    const int64_t r = static_cast<int64_t>(img.Width) * bytesPP;
    const int64_t s = (r + 1) & ~int64_t{1};
    const bool map = img.Bpp == 8;  // always: a map-less 8-bit file reads as grey

    uint8_t header[kRasHeaderSize];
    PutBe32(header, kRasMagic);
    PutBe32(header + 4, static_cast<uint32_t>(img.Width));
    PutBe32(header + 8, static_cast<uint32_t>(img.Height));
    PutBe32(header + 12, static_cast<uint32_t>(img.Bpp));
    PutBe32(header + 16, static_cast<uint32_t>(s * img.Height));
    PutBe32(header + 20, compress ? 2 : 1);
    PutBe32(header + 24, map ? 1 : 0);
    PutBe32(header + 28, map ? 768 : 0);

    int32_t file = 0;
    FOpen(file, fileName, fmCreate | fmWrite);
    FWrite(file, header, kRasHeaderSize);
    if (map) {
      uint8_t planes[768];
      for (int i = 0; i < 256; ++i) {
        planes[i] = img.Palette[3 * i + 2];
        planes[256 + i] = img.Palette[3 * i + 1];
        planes[512 + i] = img.Palette[3 * i];
      }
      FWrite(file, planes, 768);
    }
    uint8_t* line = nullptr;
    uint8_t* packed = nullptr;
    _memalloc_(line, s, 0, "FF_RAS.RASSave.templine", mkFresh);  // its pad byte stays 0
    if (compress) _memalloc_(packed, 2 * r + 2, 0, "FF_RAS.RASSave.cmpsline", mkFresh);
    for (int32_t y = 0; y < img.Height; ++y) {
      std::memcpy(line, img.Data + y * r, static_cast<size_t>(r));
      if (bytesPP == 4) RasBgraToXbgr(line, img.Width);
      if (!compress) {
        FWrite(file, line, s);
        continue;
      }
      int32_t n = RasEncodeRow(static_cast<int32_t>(r), packed, line);
      // The pad byte goes after the encoded row as it is (a 0 byte reads as itself).
      if (s > r) packed[n++] = 0;
      FWrite(file, packed, n);
    }
    if (packed != nullptr) MemFree(packed);
    MemFree(line);
    FClose(file);
  });
}

// ---- The dispatcher's entries ----

const FFUnit kRasUnit = {
    .Kind = fuStill,
    .Info = [](const std::string& name, FFInfoRec& info, FFProgressProc, void*) { RASInfo(name, info); },
    .Load = [](const std::string& name, Qimg& img, Qimg*) { RASLoad(name, img); },
    .Save = [](const std::string& name, const Qimg& img, FFVideoOpts& opts) { RASSave(name, img, opts.Codec); },
    .SaveDefaults = [](FFVideoOpts& opts) { opts.Codec = 1; },
    .CodecName = FFRunLengthName,
};

}  // namespace tavelo
