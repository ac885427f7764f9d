#include "formats/units/ff_tga_pcx_bmp.h"

#include <algorithm>
#include <cstring>

#include "core/services/basic.h"
#include "core/services/errors.h"
#include "core/services/files.h"
#include "core/services/memory.h"
#include "core/services/monitor.h"
#include "core/services/trace.h"
#include "formats/ff_basic.h"
#include "formats/ff_unit.h"

namespace tavelo {

namespace {

uint16_t Le16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
uint32_t Le32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) | (static_cast<uint32_t>(p[2]) << 16) |
         (static_cast<uint32_t>(p[3]) << 24);
}
void PutLe16(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
}
void PutLe32(uint8_t* p, uint32_t v) {
  PutLe16(p, v & 0xFFFF);
  PutLe16(p + 2, v >> 16);
}

// Runs work in a monitor frame under its trace name: a failure releases what the work tracked
// (the picture, buffers, the open file) and unwinds to the caller's frame.
// A picture the record can hold: positive sides and a size in range.
void CheckPicture_(const ConFileRec& f, int32_t line) {
  if (f.Width < 1 || f.Height < 1) SetError(ecImage, 4, line);
  if (!FFPictureFits(f.Width, f.Height, (f.Bpp + 7) / 8)) SetError(ecImage, 4, line);
}

// Uncompressed rows must all lie in the file (the last row needs no gap after it); checked before
// the picture is allocated, so a short file costs no memory. Reported as the short read it is.
void CheckRowData_(const ConFileRec& f, int64_t gap, int32_t line) {
  const int64_t need = f.DataOffset + (static_cast<int64_t>(f.Height) - 1) * (f.RowBytes + gap) + f.RowBytes;
  if (f.DataOffset < 0 || need > f.FileSize) SetError(ecFile, 3, line);
}

// Picture row that file row r goes to.
int32_t DestRow_(const ConFileRec& f, int64_t r) {
  return static_cast<int32_t>(f.BottomUp ? f.Height - 1 - r : r);
}

// The row transfer, disk to memory. Stored rows that are the picture's rows in its own order
// are read in one piece straight into the picture; otherwise blocks of whole stored rows (each
// RowBytes, then a gap) are read at once and every row is copied to its place, or, for rows of
// another layout (widen = true), handed to emit, which writes the picture row.
template <class Emit>
void Dsk2Mem_(ConFileRec& f, Qimg& img, int64_t gap, bool widen, Emit&& emit) {
  const int64_t pictureRow = static_cast<int64_t>(img.Width) * img.BytesPP;
  FSeek(f.Handle, f.DataOffset);
  if (!widen && gap == 0 && !f.BottomUp && f.RowBytes == pictureRow) {
    FRead(f.Handle, img.Data, f.RowBytes * f.Height);
    return;
  }
  constexpr int64_t kBlockBytes = 256 * 1024;  // stays in the cache between the read and the copies
  const int64_t stride = f.RowBytes + gap;
  const int64_t rowsPerBlock = std::max<int64_t>(1, kBlockBytes / stride);
  const int64_t blockRows = std::min<int64_t>(rowsPerBlock, f.Height);
  uint8_t* block = nullptr;
  _memalloc_(block, blockRows * stride, __LINE__, "Conform.Dsk2Mem_.block", mkFresh, false);
  for (int64_t r = 0; r < f.Height; r += blockRows) {
    const int64_t n = std::min<int64_t>(blockRows, f.Height - r);
    // The last row of the file needs no gap after it.
    FRead(f.Handle, block, r + n < f.Height ? n * stride : (n - 1) * stride + f.RowBytes);
    for (int64_t k = 0; k < n; ++k) {
      uint8_t* dest = img.Data + static_cast<int64_t>(DestRow_(f, r + k)) * pictureRow;
      if (widen)
        emit(block + k * stride, dest);
      else
        std::memcpy(dest, block + k * stride, static_cast<size_t>(f.RowBytes));
    }
  }
  MemFree(block);
}

// The row transfer, memory to disk: the rows from the last to the first, each followed by gap
// zero bytes.
void Mem2Dsk_(int32_t handle, const Qimg& img, int64_t rowBytes, int64_t gap) {
  static const uint8_t zeros[4] = {0, 0, 0, 0};
  for (int64_t r = img.Height - 1; r >= 0; --r) {
    FWrite(handle, img.Data + r * rowBytes, rowBytes);
    if (gap > 0) FWrite(handle, zeros, gap);
  }
}

// The packed data: from DataOffset to the end of the file, into a tracked buffer.
void GetCmpsData_(ConFileRec& f) {
  f.CmpsSize = f.FileSize - f.DataOffset;
  if (f.CmpsSize <= 0) {
    f.CmpsSize = 0;
    return;
  }
  _memalloc_(f.CmpsData, f.CmpsSize, __LINE__, "Conform.GetCmpsData_.imgf.CmpsData", mkFresh, false);
  FSeek(f.Handle, f.DataOffset);
  FRead(f.Handle, f.CmpsData, f.CmpsSize);
}

void CloseReader_(ConFileRec& f) {
  if (f.CmpsData != nullptr) MemFree(f.CmpsData);
  f.CmpsData = nullptr;
  if (f.Handle != 0 && f.Handle != kBadHandle) FClose(f.Handle);
  f.Handle = 0;
}

void MirrorRows_(Qimg& img) {
  const int32_t bpp = img.BytesPP;
  uint8_t tmp[4];
  for (int64_t y = 0; y < img.Height; ++y) {
    uint8_t* row = img.Data + y * img.Width * static_cast<int64_t>(bpp);
    for (int64_t l = 0, r = img.Width - 1; l < r; ++l, --r) {
      std::memcpy(tmp, row + l * bpp, bpp);
      std::memcpy(row + l * bpp, row + r * bpp, bpp);
      std::memcpy(row + r * bpp, tmp, bpp);
    }
  }
}

void SetPal_(Qimg& img, int32_t index, uint8_t r, uint8_t g, uint8_t b) {
  if (index < 0 || index > 255) return;
  img.Palette[index * 3] = b;
  img.Palette[index * 3 + 1] = g;
  img.Palette[index * 3 + 2] = r;
}

void FillBasicInfo_(const ConFileRec& f, int32_t formatId, FFInfoRec& info) {
  info.FormatId = formatId;
  info.FileSize = static_cast<double>(f.FileSize);
  info.Video.Width = f.Width;
  info.Video.Height = f.Height;
  info.Video.Bpp = f.Bpp;
  info.Video.BytesPP = (f.Bpp + 7) / 8;
  info.Video.OrigBpp = f.FileBpp;
  info.Video.Frames = 1;
  if (f.Compressed) info.Video.CodecName = "Run Length Encoding (RLE)";
  info.Video.VideoSupported = f.Supported && f.Width > 0 && f.Height > 0 ? -1 : 0;
}

// The depth field of a written file: BytesPP x 8, so a 15-bit picture is stored with depth 16
// (the save preparation has already brought the picture to a depth the format stores).
int32_t StoredDepth_(const Qimg& img) { return img.BytesPP * 8; }

// ---------------------------------------------------------------------------------------------
// TGA

enum : int { tgaMapped = 1, tgaTrue = 2, tgaGrey = 3 };

// Where the unpacked pixels go: pixel i of the file (in file order) lands in row DestRow_ of the
// picture, so bottom-up files are put the right way up as they are unpacked.
struct TgaTarget {
  uint8_t* Data;
  int64_t Width;
  int64_t Height;
  bool BottomUp;
  uint8_t* Row(int64_t r, int32_t bpp) const { return Data + (BottomUp ? Height - 1 - r : r) * Width * bpp; }
};

// The write position: a column in a row of the target, moved along without divisions.
template <int32_t Bpp>
struct TgaCursor {
  const TgaTarget& T;
  int64_t R = 0, X = 0;
  uint8_t* Line;
  explicit TgaCursor(const TgaTarget& t) : T(t), Line(t.Row(0, Bpp)) {}
  uint8_t* At() const { return Line + X * Bpp; }
  // Pixels from here to the end of the row (at most n).
  int64_t InRow(int64_t n) const { return std::min(n, T.Width - X); }
  void Move(int64_t m) {
    X += m;
    if (X == T.Width && R + 1 < T.Height) {
      X = 0;
      Line = T.Row(++R, Bpp);
    }
  }
};

template <int32_t Bpp>
void TgaRepeat_(uint8_t* d, const uint8_t* px, int64_t n) {
  if constexpr (Bpp == 1) {
    FFFillBytes(d, px[0], n);
  } else {
    uint8_t v[Bpp];
    std::memcpy(v, px, Bpp);
    for (int64_t k = 0; k < n; ++k) std::memcpy(d + k * Bpp, v, Bpp);
  }
}

// Unpacks TGA run-length packets of src[0 .. len) into the target from where the state stands,
// until count pixels are done. Unless final (the data's end is in src), a packet that may not lie
// wholly in src is left for the next call. Returns the bytes used. When final data ends first,
// Ended is set: the whole pixels decoded until then are kept (Written counts them), the rest is
// left as it was.
template <int32_t Bpp>
struct TgaUnpacker {
  TgaCursor<Bpp> C;
  int64_t Done = 0;
  int64_t Written = 0;
  bool Ended = false;
  explicit TgaUnpacker(const TgaTarget& t) : C(t) {}

  int64_t Unpack(const uint8_t* src, int64_t len, bool final, int64_t count) {
    constexpr int64_t kLongest = 1 + 128 * Bpp;
    int64_t p = 0;
    while (Done < count) {
      if (!final && len - p < kLongest) return p;
      if (p >= len) return End(p);
      const uint8_t head = src[p++];
      const int64_t n = (head & 0x7F) + 1;
      const int64_t keep = std::min(n, count - Done);  // a packet never writes past the picture
      if (head & 0x80) {
        if (len - p < Bpp) return End(p);
        for (int64_t k = 0; k < keep;) {
          const int64_t m = C.InRow(keep - k);
          TgaRepeat_<Bpp>(C.At(), src + p, m);
          C.Move(m);
          k += m;
        }
        p += Bpp;
      } else {
        const int64_t there = std::min(keep, (len - p) / Bpp);
        for (int64_t k = 0; k < there;) {
          const int64_t m = C.InRow(there - k);
          FFCopyBytes(C.At(), src + p + k * Bpp, m * Bpp);
          C.Move(m);
          k += m;
        }
        if (there < keep || (len - p) / Bpp < n) {
          Written = Done + there;
          return End(p);
        }
        p += n * Bpp;
      }
      Done += keep;
      Written = Done;
    }
    return p;
  }

 private:
  int64_t End(int64_t p) {
    Ended = true;
    return p;
  }
};

// Reads the packed data (CmpsSize bytes from DataOffset) in blocks and unpacks it into the count
// pixels of the target. False when the data ends first; written receives the whole pixels made.
template <int32_t Bpp>
bool TgaReadRle_(ConFileRec& f, const TgaTarget& t, int64_t count, int64_t& written) {
  constexpr int64_t kBlockBytes = 256 * 1024;  // stays in the cache between the read and the unpacking
  TgaUnpacker<Bpp> u(t);
  uint8_t* block = nullptr;
  _memalloc_(block, std::min(kBlockBytes, std::max<int64_t>(f.CmpsSize, 1)), __LINE__, "Conform.TGALoad_.CmpsData",
             mkFresh, false);
  FSeek(f.Handle, f.DataOffset);
  int64_t have = 0, left = f.CmpsSize;
  for (;;) {
    const int64_t take = std::min(kBlockBytes - have, left);
    FRead(f.Handle, block + have, take);
    have += take;
    left -= take;
    const int64_t used = u.Unpack(block, have, left == 0, count);
    if (u.Done == count || u.Ended) break;
    std::memmove(block, block + used, static_cast<size_t>(have - used));
    have -= used;
  }
  MemFree(block);
  written = u.Written;
  return !u.Ended;
}

bool TgaReadRle_(ConFileRec& f, const TgaTarget& t, int64_t count, int64_t& written) {
  switch (f.BytesPP) {
    case 1: return TgaReadRle_<1>(f, t, count, written);
    case 2: return TgaReadRle_<2>(f, t, count, written);
    case 3: return TgaReadRle_<3>(f, t, count, written);
    default: return TgaReadRle_<4>(f, t, count, written);
  }
}

// Packs one row of pixels: two or more equal neighbours form a run packet, other pixels gather
// in literal packets; at most 128 pixels a packet. Returns the bytes written to out.
int64_t TgaPackRow_(const uint8_t* row, int32_t width, int32_t bpp, uint8_t* out) {
  auto same = [&](int32_t a, int32_t b) { return std::memcmp(row + a * bpp, row + b * bpp, bpp) == 0; };
  int64_t o = 0;
  int32_t i = 0;
  while (i < width) {
    if (i + 1 < width && same(i, i + 1)) {
      int32_t n = 2;
      while (i + n < width && n < 128 && same(i, i + n)) ++n;
      out[o++] = static_cast<uint8_t>(128 + n - 1);
      std::memcpy(out + o, row + i * bpp, bpp);
      o += bpp;
      i += n;
    } else {
      const int32_t start = i;
      int32_t n = 1;
      ++i;
      while (i < width && n < 128 && !(i + 1 < width && same(i, i + 1))) {
        ++n;
        ++i;
      }
      out[o++] = static_cast<uint8_t>(n - 1);
      std::memcpy(out + o, row + start * bpp, static_cast<size_t>(n) * bpp);
      o += static_cast<int64_t>(n) * bpp;
    }
  }
  return o;
}

}  // namespace

void TGAOpen_(const std::string& fileName, ConFileRec& f) {
  TraceScope trace("Conform.TGAOpen_");
  FOpen(f.Handle, fileName, fmRead);
  f.FileSize = FSize(f.Handle);
  uint8_t h[18];
  FRead(f.Handle, h, 18);
  const int type = h[2];
  const int kind = type & 7;
  if ((type != 1 && type != 2 && type != 3 && type != 9 && type != 10 && type != 11)) SetError(ecImage, 2, __LINE__);
  if (h[1] > 1) SetError(ecImage, 4, __LINE__);  // colour-map types other than 0 and 1 are undefined
  const int32_t mapFirst = Le16(h + 3);
  const int32_t mapLength = Le16(h + 5);
  const int32_t mapBits = h[7];
  const int32_t depth = h[16];
  const int32_t descriptor = h[17];
  f.ImageType = kind;
  f.Width = Le16(h + 12);
  f.Height = Le16(h + 14);
  f.FileBpp = depth;
  f.Bpp = depth == 16 ? 15 : depth;
  f.BytesPP = (f.Bpp + 7) / 8;
  // Grey with alpha (8 bits each) is delivered as 32-bit colour with its alpha; BytesPP stays the
  // stored pixel's size, which the row transfer and the unpacking step by.
  if (kind == tgaGrey && depth == 16) {
    f.Bpp = 32;
    f.BytesPP = 2;
  }
  f.Compressed = type >= 9;
  f.BottomUp = (descriptor & 0x20) == 0;
  f.RightToLeft = (descriptor & 0x10) != 0;
  f.PalEntrySize = (mapBits + 7) / 8;
  f.PalFirst = mapFirst;
  f.PalOffset = 18 + h[0];
  f.PalSize = h[1] == 1 ? static_cast<int64_t>(mapLength) * f.PalEntrySize : 0;
  f.DataOffset = f.PalOffset + f.PalSize;
  const bool mapEntryOk = mapBits == 15 || mapBits == 16 || mapBits == 24 || mapBits == 32;
  if (kind == tgaMapped)
    f.Supported = depth == 8 && h[1] == 1 && mapEntryOk;
  else if (kind == tgaGrey)
    f.Supported = depth == 8 || depth == 16;
  else
    f.Supported = depth == 15 || depth == 16 || depth == 24 || depth == 32;
  // Indices are 8 bits: a map that passes entry 255 cannot be a palette.
  if (kind == tgaMapped && f.Supported && mapFirst + mapLength > 256) SetError(ecImage, 4, __LINE__);
  f.RowBytes = static_cast<int64_t>(f.Width) * f.BytesPP;
  f.ImageBytes = f.RowBytes * f.Height;
}

void TGAInfo(const std::string& fileName, FFInfoRec& info) {
  Framed("Conform.TGAInfo", [&] {
    ConFileRec f;
    TGAOpen_(fileName, f);
    FillBasicInfo_(f, fidTGA, info);
    if (f.Compressed) info.Video.CodecId = 1;
    info.Video.HasVideo = f.FileBpp >= 1 && f.FileBpp <= 32 ? -1 : 0;
    CloseReader_(f);
  });
}

void TGALoad_(const std::string& fileName, Qimg& img) {
  Framed("Conform.TGALoad_", [&] {
    ConFileRec f;
    TGAOpen_(fileName, f);
    if (!f.Supported) SetError(ecImage, 1, __LINE__);
    CheckPicture_(f, __LINE__);
    const int64_t pixels = static_cast<int64_t>(f.Width) * f.Height;
    if (f.Compressed) {
      // The packed data: from DataOffset to the end of the file (read in blocks below).
      f.CmpsSize = std::max<int64_t>(f.FileSize - f.DataOffset, 0);
      // One packet of 1 + BytesPP bytes makes at most 128 pixels: data that cannot fill the
      // picture is refused before the picture is allocated.
      if (f.CmpsSize / (1 + f.BytesPP) * 128 < pixels) SetError(ecImage, 9, __LINE__);
    } else {
      CheckRowData_(f, 0, __LINE__);
    }
    // Every pixel is written below (read, unpacked, or black after data cut short).
    _imgalloc_(img, f.Width, f.Height, f.Bpp, __LINE__, "Conform.TGALoad_.ih", false);
    img.Palette.fill(0);
    if (f.ImageType == tgaMapped && f.PalSize > 0) {
      uint8_t* map = nullptr;
      _memalloc_(map, f.PalSize, __LINE__, "Conform.TGALoad_.map", mkFresh);
      FSeek(f.Handle, f.PalOffset);
      FRead(f.Handle, map, f.PalSize);
      const int32_t entries = static_cast<int32_t>(f.PalSize / f.PalEntrySize);
      for (int32_t i = 0; i < entries; ++i) {
        const uint8_t* e = map + static_cast<int64_t>(i) * f.PalEntrySize;
        if (f.PalEntrySize == 2) {
          const uint32_t v = Le16(e);
          // 5 bits to 8 with the top bits repeated below them: 31 becomes 255, not 248.
          const auto wide = [](uint32_t c) { return static_cast<uint8_t>((c << 3) | (c >> 2)); };
          SetPal_(img, f.PalFirst + i, wide((v >> 10) & 31), wide((v >> 5) & 31), wide(v & 31));
        } else {
          SetPal_(img, f.PalFirst + i, e[2], e[1], e[0]);
        }
      }
      MemFree(map);
    } else if (f.ImageType == tgaGrey) {
      PalSetGray(img.Palette);
    }
    const bool greyAlpha = f.ImageType == tgaGrey && f.FileBpp == 16;
    // Grey and alpha bytes to B, G, R and alpha.
    const auto widenGreyAlpha = [](const uint8_t* src, uint8_t* dest, int64_t n) {
      for (int64_t x = 0; x < n; ++x) {
        dest[4 * x] = dest[4 * x + 1] = dest[4 * x + 2] = src[2 * x];
        dest[4 * x + 3] = src[2 * x + 1];
      }
    };
    if (!f.Compressed) {
      const int64_t w = f.Width;
      Dsk2Mem_(f, img, 0, greyAlpha, [&](const uint8_t* src, uint8_t* dest) { widenGreyAlpha(src, dest, w); });
    } else {
      // Grey with alpha is unpacked at its stored size first, then widened.
      uint8_t* stored = nullptr;
      if (greyAlpha) _memalloc_(stored, pixels * 2, __LINE__, "Conform.TGALoad_.stored", mkFresh, false);
      // Data cut short: the picture as far as it goes, black after it, and the loss logged (a
      // record loaded into before keeps its old bytes until they are cleared).
      const TgaTarget target{greyAlpha ? stored : img.Data, f.Width, f.Height, f.BottomUp};
      int64_t written = 0;
      if (!TgaReadRle_(f, target, pixels, written)) {
        SetWarning(ecImage, 9, __LINE__);
        // Whole rows of the picture from the row of the first pixel missing on, that row from its
        // column.
        const int64_t r = written / f.Width, x = written % f.Width;
        const int64_t rowBytes = static_cast<int64_t>(f.Width) * f.BytesPP;
        for (int64_t k = r; k < f.Height; ++k)
          std::memset(target.Row(k, f.BytesPP) + (k == r ? x * f.BytesPP : 0), 0,
                      static_cast<size_t>(k == r ? rowBytes - x * f.BytesPP : rowBytes));
      }
      if (greyAlpha) {
        widenGreyAlpha(stored, img.Data, pixels);
        MemFree(stored);
      }
    }
    if (f.RightToLeft) MirrorRows_(img);
    CloseReader_(f);
  });
}

void TGASave_(const std::string& fileName, const Qimg& img, bool rle) {
  Framed("Conform.TGASave_", [&] {
    FFSavePrep prep;
    FFInit(fidTGA, prep, img, 1);
    const Qimg& p = *prep.Picture;
    // The header holds 16-bit sizes.
    if (p.Width > 65535 || p.Height > 65535) SetError(ecImage, 11, __LINE__);
    FFSafeSave_(fileName, [&](const std::string& temp) {
      int32_t h = 0;
      FOpen(h, temp, fmCreate);
      uint8_t hdr[18] = {};
      hdr[2] = static_cast<uint8_t>((p.BytesPP == 1 ? 1 : 2) + (rle ? 8 : 0));
      if (p.BytesPP == 1) {
        hdr[1] = 1;
        PutLe16(hdr + 5, 256);
        hdr[7] = 24;
      }
      PutLe16(hdr + 12, p.Width);
      PutLe16(hdr + 14, p.Height);
      hdr[16] = static_cast<uint8_t>(StoredDepth_(p));
      FWrite(h, hdr, 18);
      if (p.BytesPP == 1) FWrite(h, p.Palette.data(), 768);
      const int64_t rowBytes = static_cast<int64_t>(p.Width) * p.BytesPP;
      if (!rle) {
        Mem2Dsk_(h, p, rowBytes, 0);
      } else {
        uint8_t* packed = nullptr;
        _memalloc_(packed, 2 * rowBytes + 2, __LINE__, "Conform.TGASave_.imgf.CmpsData", mkFresh);
        for (int64_t r = p.Height - 1; r >= 0; --r) {
          const int64_t n = TgaPackRow_(p.Data + r * rowBytes, p.Width, p.BytesPP, packed);
          FWrite(h, packed, n);
        }
        MemFree(packed);
      }
      FClose(h);
    });
    FFFree(prep);
  });
}

// ---------------------------------------------------------------------------------------------
// PCX

bool PCXunCmps_(const uint8_t* src, int64_t len, int64_t& pos, uint8_t* dst, int64_t count) {
  int64_t i = 0;
  while (i < count) {
    if (pos >= len) return false;
    const uint8_t c = src[pos++];
    if (c < 192) {
      dst[i++] = c;
      continue;
    }
    if (pos >= len) return false;
    const uint8_t v = src[pos++];
    // A run that passes the end of the line is cut there.
    const int64_t n = std::min<int64_t>(c & 63, count - i);
    FFFillBytes(dst + i, v, n);
    i += n;
  }
  return true;
}

void PCXOpen_(const std::string& fileName, ConFileRec& f) {
  TraceScope trace("Conform.PCXOpen_");
  FOpen(f.Handle, fileName, fmRead);
  f.FileSize = FSize(f.Handle);
  uint8_t h[128];
  FRead(f.Handle, h, 1);
  if (h[0] != 10) SetError(ecImage, 2, __LINE__);
  FRead(f.Handle, h + 1, 127);
  const int32_t encoding = h[2];
  const int32_t bits = h[3];
  const int32_t xmin = Le16(h + 4), ymin = Le16(h + 6), xmax = Le16(h + 8), ymax = Le16(h + 10);
  if (xmax < xmin || ymax < ymin) SetError(ecImage, 4, __LINE__);
  f.Width = xmax - xmin + 1;
  f.Height = ymax - ymin + 1;
  f.XRes = Le16(h + 12);
  f.YRes = Le16(h + 14);
  std::memcpy(f.HeaderPalette, h + 16, 48);
  f.Planes = h[65];
  f.PlaneBits = bits;
  f.LineBytes = Le16(h + 66);
  f.FileBpp = bits * f.Planes;
  const bool eight = bits == 8 && (f.Planes == 1 || f.Planes == 3);
  const bool planar = bits == 1 && f.Planes >= 1 && f.Planes <= 4;
  const bool packed = f.Planes == 1 && (bits == 2 || bits == 4);
  f.Supported = encoding == 1 && (eight || planar || packed);
  f.Bpp = bits == 8 && f.Planes == 3 ? 24 : 8;
  f.BytesPP = f.Bpp / 8;
  f.Compressed = true;
  f.PalSize = bits == 8 && f.Planes == 1 ? 768 : 0;
  f.DataOffset = 128;
  f.RowBytes = static_cast<int64_t>(f.LineBytes) * f.Planes;
  f.ImageBytes = f.RowBytes * f.Height;
  if (f.Supported) {
    // Each plane of a scan line must hold the whole row.
    if (f.LineBytes < (static_cast<int64_t>(f.Width) * bits + 7) / 8) SetError(ecImage, 4, __LINE__);
    // An 8-bit file ends with a marker byte and a 768-byte palette after at least one byte of data.
    if (f.PalSize > 0 && f.FileSize < 128 + 1 + 769) SetError(ecImage, 4, __LINE__);
  }
}

void PCXInfo(const std::string& fileName, FFInfoRec& info) {
  Framed("Conform.PCXInfo", [&] {
    ConFileRec f;
    PCXOpen_(fileName, f);
    FillBasicInfo_(f, fidPCX, info);
    info.Video.XRes = f.XRes;
    info.Video.YRes = f.YRes;
    info.Video.HasVideo = f.Width > 0 && f.Height > 0 ? -1 : 0;
    CloseReader_(f);
  });
}

void PCXLoad_(const std::string& fileName, Qimg& img) {
  Framed("Conform.PCXLoad_", [&] {
    ConFileRec f;
    PCXOpen_(fileName, f);
    if (!f.Supported) SetError(ecImage, 1, __LINE__);
    CheckPicture_(f, __LINE__);
    GetCmpsData_(f);
    int64_t dataLen = f.CmpsSize;
    const uint8_t* pal = nullptr;
    if (f.PalSize > 0) {
      // The palette: the last 768 bytes, after a marker byte 12.
      dataLen -= 769;
      if (dataLen < 1 || f.CmpsData[dataLen] != 12) SetError(ecImage, 9, __LINE__);
      pal = f.CmpsData + dataLen + 1;
    }
    // Two bytes unpack to at most 63: data that cannot fill the picture is refused early.
    if (f.ImageBytes > dataLen * 32) SetError(ecImage, 9, __LINE__);
    // Every row is written below: unpacked, or black after data cut short.
    _imgalloc_(img, f.Width, f.Height, f.Bpp, __LINE__, "Conform.PCXLoad_.ih", false);
    img.Palette.fill(0);
    uint8_t* line = nullptr;
    _memalloc_(line, f.RowBytes, __LINE__, "Conform.PCX24Fix_.lintmp", mkFresh);
    const int64_t lb = f.LineBytes;
    const int32_t bits = f.PlaneBits;
    const int64_t pictureRow = static_cast<int64_t>(f.Width) * f.BytesPP;
    int64_t pos = 0;
    bool ended = false;
    int64_t y = 0;
    for (; y < f.Height && !ended; ++y) {
      // Data cut short: the scan line as far as it goes (zeros after it) is the last one shown,
      // the rows below it stay black, and the loss is logged.
      std::memset(line, 0, static_cast<size_t>(f.RowBytes));
      if (!PCXunCmps_(f.CmpsData, dataLen, pos, line, f.RowBytes)) {
        SetWarning(ecImage, 9, __LINE__);
        ended = true;
      }
      uint8_t* out = img.Data + y * pictureRow;
      if (f.Bpp == 24) {
        // The planes R, G and B of the scan line become B, G, R pixels.
        for (int64_t x = 0; x < f.Width; ++x) {
          out[3 * x] = line[2 * lb + x];
          out[3 * x + 1] = line[lb + x];
          out[3 * x + 2] = line[x];
        }
      } else if (bits == 8) {
        std::memcpy(out, line, f.Width);
      } else if (f.Planes > 1) {
        for (int64_t x = 0; x < f.Width; ++x) {
          uint8_t v = 0;
          for (int32_t p = 0; p < f.Planes; ++p)
            v |= static_cast<uint8_t>(((line[p * lb + x / 8] >> (7 - x % 8)) & 1) << p);
          out[x] = v;
        }
      } else {
        const int32_t mask = (1 << bits) - 1;
        for (int64_t x = 0; x < f.Width; ++x) {
          const int64_t bit = x * bits;
          out[x] = static_cast<uint8_t>((line[bit / 8] >> (8 - bits - bit % 8)) & mask);
        }
      }
    }
    MemFree(line);
    // The rows after a cut stay black.
    if (y < f.Height) std::memset(img.Data + y * pictureRow, 0, static_cast<size_t>((f.Height - y) * pictureRow));
    if (pal != nullptr) {
      for (int32_t i = 0; i < 256; ++i) SetPal_(img, i, pal[3 * i], pal[3 * i + 1], pal[3 * i + 2]);
    } else if (f.Bpp == 8 && f.FileBpp == 1) {
      // Monochrome files are black and white whatever their header palette says.
      SetPal_(img, 1, 255, 255, 255);
    } else if (f.Bpp == 8) {
      for (int32_t i = 0; i < 16; ++i)
        SetPal_(img, i, f.HeaderPalette[3 * i], f.HeaderPalette[3 * i + 1], f.HeaderPalette[3 * i + 2]);
    }
    img.XRes = f.XRes;
    img.YRes = f.YRes;
    CloseReader_(f);
  });
}

namespace {

// Packs a scan line as one stream: runs of 2 to 63 equal bytes become 192 + count and the
// byte; a single byte below 192 is itself, a single byte of 192 or more is 193 and the byte.
int64_t PcxPackLine_(const uint8_t* src, int64_t count, uint8_t* out) {
  int64_t o = 0, i = 0;
  while (i < count) {
    int64_t n = 1;
    while (i + n < count && n < 63 && src[i + n] == src[i]) ++n;
    if (n >= 2 || src[i] >= 192) out[o++] = static_cast<uint8_t>(192 + n);
    out[o++] = src[i];
    i += n;
  }
  return o;
}

}  // namespace

void PCXSave_(const std::string& fileName, const Qimg& img, const FFVideoOpts& opts) {
  Framed("Conform.PCXSave_", [&] {
    FFSavePrep prep;
    FFInit(fidPCX, prep, img, 1);
    const Qimg& p = *prep.Picture;
    if (p.Width > 65535 || p.Height > 65535) SetError(ecImage, 11, __LINE__);
    FFSafeSave_(fileName, [&](const std::string& temp) {
      int32_t h = 0;
      FOpen(h, temp, fmCreate);
      const int32_t planes = p.BytesPP;  // 1 or 3
      const int64_t lb = (static_cast<int64_t>(p.Width) + 1) & ~int64_t{1};
      uint8_t hdr[128] = {};
      hdr[0] = 10;
      hdr[1] = 5;
      hdr[2] = 1;
      hdr[3] = 8;
      PutLe16(hdr + 8, p.Width - 1);
      PutLe16(hdr + 10, p.Height - 1);
      PutLe16(hdr + 12, static_cast<uint32_t>(opts.XRes));
      PutLe16(hdr + 14, static_cast<uint32_t>(opts.YRes));
      hdr[65] = static_cast<uint8_t>(planes);
      PutLe16(hdr + 66, static_cast<uint32_t>(lb));
      FWrite(h, hdr, 128);
      uint8_t* line = nullptr;
      uint8_t* packed = nullptr;
      _memalloc_(line, planes * lb, __LINE__, "Conform.PCXSave_.tmplin", mkFresh);
      _memalloc_(packed, 2 * planes * lb, __LINE__, "Conform.PCXSave_.imgf.CmpsData", mkFresh);
      for (int64_t y = 0; y < p.Height; ++y) {
        const uint8_t* row = p.Data + y * static_cast<int64_t>(p.Width) * planes;
        // Every plane is padded to the line length on its own, as readers of the format expect.
        FillMem(line, planes * lb, 0);
        if (planes == 3) {
          for (int64_t x = 0; x < p.Width; ++x) {
            line[x] = row[3 * x + 2];
            line[lb + x] = row[3 * x + 1];
            line[2 * lb + x] = row[3 * x];
          }
        } else {
          std::memcpy(line, row, p.Width);
        }
        FWrite(h, packed, PcxPackLine_(line, planes * lb, packed));
      }
      MemFree(packed);
      MemFree(line);
      if (planes == 1) {
        uint8_t pal[769];
        pal[0] = 12;
        for (int32_t i = 0; i < 256; ++i) {
          pal[1 + 3 * i] = p.Palette[3 * i + 2];
          pal[2 + 3 * i] = p.Palette[3 * i + 1];
          pal[3 + 3 * i] = p.Palette[3 * i];
        }
        FWrite(h, pal, 769);
      }
      FClose(h);
    });
    FFFree(prep);
  });
}

// ---------------------------------------------------------------------------------------------
// BMP

namespace {

// The bit-field masks that read as our own pixel layouts.
bool Masks555_(uint32_t r, uint32_t g, uint32_t b) { return r == 0x7C00 && g == 0x03E0 && b == 0x001F; }
bool Masks565_(uint32_t r, uint32_t g, uint32_t b) { return r == 0xF800 && g == 0x07E0 && b == 0x001F; }
bool Masks888_(uint32_t r, uint32_t g, uint32_t b) { return r == 0xFF0000 && g == 0xFF00 && b == 0xFF; }

// A mask's place: its lowest set bit and the number of bits set from there. False for a mask
// whose bits are not one run.
bool MaskRun_(uint32_t mask, int32_t& shift, int32_t& bits) {
  shift = bits = 0;
  if (mask == 0) return true;
  while ((mask & 1) == 0) {
    mask >>= 1;
    ++shift;
  }
  while ((mask & 1) != 0) {
    mask >>= 1;
    ++bits;
  }
  return mask == 0;
}

// One channel of a bit-field pixel: the masked value scaled to 0..255 (rounded).
struct MaskChannel {
  int32_t Shift = 0;
  uint32_t Max = 0;  // 0: the channel is absent
  uint8_t Get(uint32_t v) const {
    if (Max == 0) return 0;
    const uint32_t c = (v >> Shift) & Max;
    return static_cast<uint8_t>((static_cast<uint64_t>(c) * 255 + Max / 2) / Max);
  }
};

// Unpacks 8-bit or 4-bit run-length data by its rules: a count repeats the next byte (at 4 bits
// its two pixels in turn, high nibble first); an escape 0 ends the line, 1 ends the picture, 2
// moves right and down, 3 and up copies literal pixels (at 4 bits two to a byte), their bytes
// padded to an even count. Everything is clipped to the picture. False when the data ends before
// the end of the picture.
bool RleUnpack_(const ConFileRec& f, Qimg& img, bool fourBits) {
  const uint8_t* s = f.CmpsData;
  const int64_t len = f.CmpsSize;
  const int64_t w = f.Width;
  int64_t p = 0, x = 0, y = 0;
  auto put = [&](uint8_t v) {
    if (x < w && y < f.Height) img.Data[static_cast<int64_t>(DestRow_(f, y)) * w + x] = v;
    ++x;
  };
  // Pixel k of the run or literal whose bytes start at q.
  auto pixel = [&](const uint8_t* q, int32_t k) -> uint8_t {
    if (!fourBits) return q[k];
    return k % 2 == 0 ? q[k / 2] >> 4 : q[k / 2] & 15;
  };
  while (y < f.Height) {
    if (len - p < 2) return false;
    const uint8_t n = s[p], v = s[p + 1];
    p += 2;
    if (n != 0) {
      for (int32_t k = 0; k < n; ++k) put(fourBits ? pixel(&v, k % 2) : v);
    } else if (v == 0) {
      x = 0;
      ++y;
    } else if (v == 1) {
      return true;
    } else if (v == 2) {
      if (len - p < 2) return false;
      x += s[p];
      y += s[p + 1];
      p += 2;
    } else {
      const int64_t bytes = fourBits ? (v + 1) / 2 : v;
      if (len - p < bytes) return false;  // a literal cut short is dropped whole
      for (int32_t k = 0; k < v; ++k) put(pixel(s + p, k));
      p += bytes + (bytes & 1);
    }
  }
  return true;
}

// The colour table of an 8-bit (or 1- or 4-bit) file into img's palette.
void ReadDibPalette_(ConFileRec& f, Qimg& img) {
  const int64_t entries = std::min<int64_t>(f.PalSize / f.PalEntrySize, 256);
  uint8_t pal[1024];
  FSeek(f.Handle, f.PalOffset);
  FRead(f.Handle, pal, entries * f.PalEntrySize);
  for (int64_t i = 0; i < entries; ++i) {
    const uint8_t* e = pal + i * f.PalEntrySize;
    SetPal_(img, static_cast<int32_t>(i), e[2], e[1], e[0]);
  }
}

// The rows of an uncompressed file into img: bit-field pixels taken apart, 1- and 4-bit pixels
// widened, the others as they are.
void ReadDibRows_(ConFileRec& f, Qimg& img, int64_t gap, int32_t fileDepth) {
  const int64_t w = f.Width;
  MaskChannel channels[4];
  for (int i = 0; i < 4; ++i) {
    int32_t bits = 0;
    MaskRun_(f.Masks[i], channels[i].Shift, bits);
    channels[i].Max = bits == 0 ? 0 : static_cast<uint32_t>((uint64_t{1} << bits) - 1);
  }
  const int32_t outBytes = img.BytesPP;
  Dsk2Mem_(f, img, gap, fileDepth < 8 || f.ByMasks, [&](const uint8_t* src, uint8_t* dest) {
    if (f.ByMasks) {
      // Bit-field pixels to B, G, R (and alpha).
      for (int64_t x = 0; x < w; ++x) {
        const uint32_t v = fileDepth == 16 ? Le16(src + 2 * x) : Le32(src + 4 * x);
        uint8_t* d = dest + x * outBytes;
        d[0] = channels[2].Get(v);
        d[1] = channels[1].Get(v);
        d[2] = channels[0].Get(v);
        if (outBytes == 4) d[3] = channels[3].Get(v);
      }
      return;
    }
    // 1- and 4-bit rows widen to one byte per pixel, most significant bits first.
    if (fileDepth == 1) {
      for (int64_t x = 0; x < w; ++x) dest[x] = (src[x / 8] >> (7 - x % 8)) & 1;
    } else {
      for (int64_t x = 0; x < w; ++x) dest[x] = x % 2 == 0 ? src[x / 2] >> 4 : src[x / 2] & 15;
    }
  });
}

// Whether the reader takes a file of depth and compression f.Compression (its pixel layout in f:
// Compressed, Bpp, and for bit fields other than our own pictures' Masks and ByMasks).
bool DibLayoutTaken_(ConFileRec& f, int32_t depth, uint32_t rMask, uint32_t gMask, uint32_t bMask, uint32_t aMask) {
  bool supported = depth == 1 || depth == 4 || depth == 8 || depth == 16 || depth == 24 || depth == 32;
  switch (f.Compression) {
    case 0: break;
    case 1:
      f.Compressed = true;
      supported = supported && depth == 8;
      break;
    case 2:
      f.Compressed = true;
      supported = supported && depth == 4;
      break;
    case 3:
    case 6: {
      // Bit fields: the layouts of our own pictures are read as they are; any other set of
      // masks (each one run of bits) is taken apart into 24-bit colour, or 32 bits with alpha.
      if (depth == 16 && aMask == 0 && Masks565_(rMask, gMask, bMask)) {
        f.Bpp = 16;
      } else if ((depth == 16 && aMask == 0 && Masks555_(rMask, gMask, bMask)) ||
                 (depth == 32 && Masks888_(rMask, gMask, bMask) && (aMask == 0 || aMask == 0xFF000000u))) {
      } else {
        const uint32_t masks[4] = {rMask, gMask, bMask, aMask};
        bool runs = depth == 16 || depth == 32;
        for (int i = 0; i < 4; ++i) {
          int32_t shift, bits;
          runs = runs && MaskRun_(masks[i], shift, bits);
          f.Masks[i] = masks[i];
        }
        // Masks of bits the pixel does not have, or no colour at all, describe no picture.
        if (depth == 16 && ((rMask | gMask | bMask | aMask) >> 16) != 0) runs = false;
        if ((rMask | gMask | bMask) == 0) runs = false;
        supported = supported && runs;
        f.ByMasks = true;
        f.Bpp = aMask != 0 ? 32 : 24;
      }
      break;
    }
    default: supported = false; break;  // JPEG, PNG and the rest
  }
  return supported;
}

}  // namespace

void DIBOpen_(const std::string& fileName, ConFileRec& f) {
  TraceScope trace("Conform.DIBOpen_");
  FOpen(f.Handle, fileName, fmRead);
  f.FileSize = FSize(f.Handle);
  uint8_t fh[18];
  FRead(f.Handle, fh, 2);
  if (fh[0] != 'B' || fh[1] != 'M') SetError(ecImage, 2, __LINE__);
  FRead(f.Handle, fh + 2, 16);
  const uint32_t offBits = Le32(fh + 10);
  const uint32_t headerSize = Le32(fh + 14);
  // 12: the core header; 16 to 64: the information header and its longer forms. Anything else
  // is not a header this reader knows how to skip safely.
  if (headerSize != 12 && (headerSize < 16 || headerSize > 1024)) SetError(ecImage, 4, __LINE__);
  uint8_t ih[128] = {};
  const uint32_t take = std::min<uint32_t>(headerSize, 128) - 4;
  FRead(f.Handle, ih + 4, take);
  int64_t width, height;
  int32_t planes, depth;
  uint32_t rMask = 0, gMask = 0, bMask = 0, aMask = 0;
  f.IsCore = headerSize == 12;
  if (f.IsCore) {
    width = Le16(ih + 4);
    height = Le16(ih + 6);
    planes = Le16(ih + 8);
    depth = Le16(ih + 10);
  } else {
    width = static_cast<int32_t>(Le32(ih + 4));
    height = static_cast<int32_t>(Le32(ih + 8));
    planes = Le16(ih + 12);
    depth = Le16(ih + 14);
    f.Compression = static_cast<int32_t>(Le32(ih + 16));
    f.XRes = static_cast<int32_t>(FpuRound(static_cast<int32_t>(Le32(ih + 24)) * 2.54L / 100));
    f.YRes = static_cast<int32_t>(FpuRound(static_cast<int32_t>(Le32(ih + 28)) * 2.54L / 100));
    if (headerSize >= 52) {
      rMask = Le32(ih + 40);
      gMask = Le32(ih + 44);
      bMask = Le32(ih + 48);
      if (headerSize >= 56) aMask = Le32(ih + 52);
    } else if ((f.Compression == 3 || f.Compression == 6) && static_cast<int64_t>(offBits) >= 14 + headerSize + 12) {
      // Masks after a short header (with alpha's for the alpha form, 6).
      uint8_t m[16] = {};
      const int64_t n = f.Compression == 6 && static_cast<int64_t>(offBits) >= 14 + headerSize + 16 ? 16 : 12;
      FSeek(f.Handle, 14 + headerSize);
      FRead(f.Handle, m, n);
      rMask = Le32(m);
      gMask = Le32(m + 4);
      bMask = Le32(m + 8);
      aMask = Le32(m + 12);
    }
  }
  if (planes != 1) SetError(ecImage, 4, __LINE__);
  // Rows are never shorter than nothing: a negative width is no picture at all.
  if (width < 0) SetError(ecImage, 4, __LINE__);
  // A negative height stores the rows top-down.
  f.BottomUp = true;
  if (height < 0) {
    height = -height;
    f.BottomUp = false;
  }
  if (width > 0x7FFFFFFF || height > 0x7FFFFFFF) SetError(ecImage, 4, __LINE__);
  f.Width = static_cast<int32_t>(width);
  f.Height = static_cast<int32_t>(height);
  f.FileBpp = depth;
  f.Bpp = depth == 16 ? 15 : depth;
  f.Supported = DibLayoutTaken_(f, depth, rMask, gMask, bMask, aMask);
  f.BytesPP = (f.Bpp + 7) / 8;
  f.PalOffset = 14 + static_cast<int64_t>(headerSize);
  f.PalEntrySize = f.IsCore ? 3 : 4;
  f.PalSize = std::clamp<int64_t>(static_cast<int64_t>(offBits) - headerSize - 14, 0, f.IsCore ? 768 : 1024);
  f.DataOffset = offBits;
  if (depth == 1)
    f.RowBytes = (width + 7) / 8;
  else if (depth == 4)
    f.RowBytes = (width + 1) / 2;
  else
    f.RowBytes = width * ((depth + 7) / 8);
  // Sides up to 2^31 and a 16-bit depth can pass 64 bits: the product saturates.
  f.ImageBytes = height > 0 && f.RowBytes > INT64_MAX / height ? INT64_MAX : f.RowBytes * height;
}

void DIBInfo(const std::string& fileName, FFInfoRec& info) {
  Framed("Conform.DIBInfo", [&] {
    ConFileRec f;
    DIBOpen_(fileName, f);
    FillBasicInfo_(f, fidBMP, info);
    info.Video.Bpp = std::max(f.Bpp, 8);
    info.Video.BytesPP = (info.Video.Bpp + 7) / 8;
    if (f.Compressed) info.Video.CodecId = 1;
    info.Video.XRes = f.XRes;
    info.Video.YRes = f.YRes;
    info.Video.HasVideo = f.Width > 0 && f.Height > 0 ? -1 : 0;
    CloseReader_(f);
  });
}

void DIBLoad_(const std::string& fileName, Qimg& img) {
  Framed("Conform.DIBLoad_", [&] {
    ConFileRec f;
    DIBOpen_(fileName, f);
    if (!f.Supported) SetError(ecImage, 1, __LINE__);
    const int32_t fileDepth = f.FileBpp;
    f.Bpp = std::max(f.Bpp, 8);  // 1- and 4-bit files are delivered as 8-bit pictures
    CheckPicture_(f, __LINE__);
    const int64_t gap = (4 - f.RowBytes % 4) % 4;
    if (f.Compressed)
      GetCmpsData_(f);
    else
      CheckRowData_(f, gap, __LINE__);
    // Every pixel is written below (read, or cleared before run-length data).
    _imgalloc_(img, f.Width, f.Height, f.Bpp, __LINE__, "Conform.DIBLoad_.ih", false);
    img.Palette.fill(0);
    if (f.Bpp == 8) ReadDibPalette_(f, img);
    if (f.Compressed) {
      // Pixels skipped by deltas and line ends are index 0; so is everything after data cut
      // short, whose loss is logged.
      std::memset(img.Data, 0, static_cast<size_t>(img.Size));
      if (!RleUnpack_(f, img, fileDepth == 4)) SetWarning(ecImage, 9, __LINE__);
    } else {
      ReadDibRows_(f, img, gap, fileDepth);
    }
    img.XRes = f.XRes;
    img.YRes = f.YRes;
    CloseReader_(f);
  });
}

void DIBSave_(const std::string& fileName, const Qimg& img, const FFVideoOpts& opts) {
  Framed("Conform.DIBSave_", [&] {
    FFSavePrep prep;
    FFInit(fidBMP, prep, img, 1);
    const Qimg& p = *prep.Picture;
    const int64_t rowBytes = static_cast<int64_t>(p.Width) * p.BytesPP;
    const int64_t gap = (4 - rowBytes % 4) % 4;
    const int64_t imageSize = (rowBytes + gap) * p.Height;
    const int64_t palBytes = p.BytesPP == 1 ? 1024 : 0;
    if (54 + palBytes + imageSize > 0xFFFFFFFFLL) SetError(ecImage, 11, __LINE__);
    FFSafeSave_(fileName, [&](const std::string& temp) {
      int32_t h = 0;
      FOpen(h, temp, fmCreate);
      uint8_t hdr[54] = {};
      hdr[0] = 'B';
      hdr[1] = 'M';
      PutLe32(hdr + 2, static_cast<uint32_t>(54 + palBytes + imageSize));
      PutLe32(hdr + 10, static_cast<uint32_t>(54 + palBytes));
      PutLe32(hdr + 14, 40);
      PutLe32(hdr + 18, static_cast<uint32_t>(p.Width));
      PutLe32(hdr + 22, static_cast<uint32_t>(p.Height));
      PutLe16(hdr + 26, 1);
      PutLe16(hdr + 28, static_cast<uint32_t>(StoredDepth_(p)));
      PutLe32(hdr + 34, static_cast<uint32_t>(imageSize));
      PutLe32(hdr + 38, static_cast<uint32_t>(FpuRound(opts.XRes * 100 * 0.3937007874015748L)));
      PutLe32(hdr + 42, static_cast<uint32_t>(FpuRound(opts.YRes * 100 * 0.3937007874015748L)));
      if (p.BytesPP == 1) {
        PutLe32(hdr + 46, 256);
        PutLe32(hdr + 50, 256);
      }
      FWrite(h, hdr, 54);
      if (p.BytesPP == 1) {
        uint8_t pal[1024];
        for (int32_t i = 0; i < 256; ++i) {
          pal[4 * i] = p.Palette[3 * i];
          pal[4 * i + 1] = p.Palette[3 * i + 1];
          pal[4 * i + 2] = p.Palette[3 * i + 2];
          pal[4 * i + 3] = 0;
        }
        FWrite(h, pal, 1024);
      }
      Mem2Dsk_(h, p, rowBytes, gap);
      FClose(h);
    });
    FFFree(prep);
  });
}

// ---- The dispatcher's entries ----

const FFUnit kTgaUnit = {
    .Kind = fuStill,
    .Info = [](const std::string& name, FFInfoRec& info, FFProgressProc, void*) { TGAInfo(name, info); },
    .Load = [](const std::string& name, Qimg& img, Qimg*) { TGALoad_(name, img); },
    .Save = [](const std::string& name, const Qimg& img, FFVideoOpts& opts) { TGASave_(name, img, opts.Codec != 0); },
    .SaveDefaults = [](FFVideoOpts& opts) { opts.Codec = 1; },
    .CodecName = FFRunLengthName,
};

const FFUnit kPcxUnit = {
    .Kind = fuStill,
    .Info = [](const std::string& name, FFInfoRec& info, FFProgressProc, void*) { PCXInfo(name, info); },
    .Load = [](const std::string& name, Qimg& img, Qimg*) { PCXLoad_(name, img); },
    .Save = [](const std::string& name, const Qimg& img, FFVideoOpts& opts) { PCXSave_(name, img, opts); },
    .CodecName = [](const FFVideoOpts&, std::string& out) { out = "Run Length Encoding (RLE)"; },
};

const FFUnit kBmpUnit = {
    .Kind = fuStill,
    .Info = [](const std::string& name, FFInfoRec& info, FFProgressProc, void*) { DIBInfo(name, info); },
    .Load = [](const std::string& name, Qimg& img, Qimg*) { DIBLoad_(name, img); },
    .Save = [](const std::string& name, const Qimg& img, FFVideoOpts& opts) { DIBSave_(name, img, opts); },
    .CodecName = FFRunLengthName,
};

}  // namespace tavelo
