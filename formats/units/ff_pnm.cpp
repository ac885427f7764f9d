// Portable anymap files: scanning, reading and writing (unit FF_PNM).
#include "formats/units/ff_pnm.h"

#include <cstring>

#include "core/services/errors.h"
#include "core/services/files.h"
#include "core/services/memory.h"
#include "core/services/monitor.h"
#include "core/services/trace.h"

namespace tavelo {

namespace {

[[noreturn]] void Fail(int32_t cls, int32_t code, int32_t line) {
  SetError(cls, code, line);
  AbortMonitor();
  throw EMon(ErrorText(cls, code));
}

template <class Work>
void Framed(const char* name, Work&& work) {
  TraceScope scope(name);
  BeginMonitor();
  try {
    work();
  } catch (...) {
    CatchException();
  }
  EndMonitor();
}

constexpr int32_t kTokenLimit = 512;

inline bool IsBlank(int c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

// Fills the buffer from the file or the memory block; false at the end.
bool Refill(PnmHandle& h) {
  TraceScope scope("FF_PNM.PNMReadBuf_");
  h.BufPos = 0;
  h.BufCount = 0;
  int64_t got = 0;
  if (h.Mem != nullptr) {
    const int64_t left = h.MemSize - h.ReadPos;
    got = left < kPnmBufferSize ? (left > 0 ? left : 0) : kPnmBufferSize;
    if (got > 0) std::memcpy(h.Buffer, h.Mem + h.ReadPos, static_cast<size_t>(got));
  } else {
    FTryRead(h.File, h.Buffer, kPnmBufferSize, got);
  }
  h.ReadPos += got;
  h.BufCount = static_cast<int32_t>(got);
  if (got <= 0) h.End = -1;
  return got > 0;
}

inline int GetByte(PnmHandle& h) {
  if (h.BufPos >= h.BufCount && !Refill(h)) return -1;
  ++h.FilePos;
  return h.Buffer[h.BufPos++];
}

// A character with comments folded: "#" up to the next line end reads as one line feed.
int GetChar(PnmHandle& h) {
  int c = GetByte(h);
  if (c != '#') return c;
  do c = GetByte(h);
  while (c != -1 && c != '\n' && c != '\r');
  return c == -1 ? -1 : '\n';
}

// Skips blanks, then collects up to limit characters until a blank; the character after the
// token is consumed. The token's length, or -1 when the data ends before it starts.
int32_t Token(PnmHandle& h, char* out, int32_t limit) {
  int c = GetChar(h);
  while (c != -1 && IsBlank(c)) c = GetChar(h);
  if (c == -1) return -1;
  int32_t n = 0;
  for (;;) {
    out[n++] = static_cast<char>(c);
    if (n == limit) {
      GetChar(h);
      break;
    }
    c = GetChar(h);
    if (c == -1 || IsBlank(c)) break;
  }
  out[n] = '\0';
  return n;
}

// A decimal digit run up to 2147483647; -1 for anything else.
int64_t Digits(const char* s, int32_t n) {
  if (n < 1) return -1;
  int64_t v = 0;
  for (int32_t i = 0; i < n; ++i) {
    if (s[i] < '0' || s[i] > '9') return -1;
    v = v * 10 + (s[i] - '0');
    if (v > 0x7FFFFFFF) return -1;
  }
  return v;
}

int64_t NumberToken(PnmHandle& h) {
  char tok[kTokenLimit + 1];
  return Digits(tok, Token(h, tok, kTokenLimit));
}

void SeekTo(PnmHandle& h, int64_t pos) {
  if (h.Mem == nullptr) FSeek(h.File, pos);
  h.ReadPos = pos;
  h.FilePos = pos;
  h.BufPos = h.BufCount = 0;
  h.End = 0;
}

// Shift for a maximum value: 7 - k for the largest k in 7..1 with maxval shr k not 0, else 0.
int32_t ShiftOf(int64_t maxval) {
  for (int32_t k = 7; k >= 1; --k)
    if ((maxval >> k) != 0) return 7 - k;
  return 0;
}

void StoreFramePos(PnmHandle& h, int64_t pos) {
  if (h.Frames >= h.FramePosCapacity) {
    // Grows by half again, so a long sequence of images costs no quadratic copying.
    const int32_t capacity = h.FramePosCapacity < 16 ? 16 : h.FramePosCapacity + h.FramePosCapacity / 2;
    _memalloc_(h.FramePos, static_cast<int64_t>(capacity) * 8, 0, "FF_PNM.PnmOpen.pf.fpos", mkResizable);
    h.FramePosCapacity = capacity;
  }
  h.FramePos[h.Frames] = pos;
}

// Reads the header of one image and skips its samples; false ends the list of images.
bool ScanImage(PnmHandle& h) {
  char magic[3];
  const int32_t n = Token(h, magic, 2);
  if (n < 0) return false;
  if (magic[0] != 'P') {
    if (h.Frames == 0) Fail(ecImage, 2, 137);
    return false;  // anything after the last image
  }
  const char type = n == 2 ? magic[1] : '\0';
  const bool ascii = type == '2' || type == '3';
  const int32_t bpp = (type == '2' || type == '5') ? 8 : (type == '3' || type == '6') ? 24 : 0;
  if (bpp == 0) return false;  // bit maps, PAM and unknown kinds are not read
  const int64_t width = NumberToken(h);
  const int64_t height = NumberToken(h);
  const int64_t maxval = NumberToken(h);
  if (width < 1 || height < 1 || maxval < 1 || maxval > 65535) return false;
  const int32_t shift = maxval > 255 ? 0 : ShiftOf(maxval);
  const int32_t sampleBytes = maxval > 255 ? 2 : 1;
  const int32_t bytesPP = (bpp + 7) / 8;
  if (h.Frames == 0) {
    h.Width = static_cast<int32_t>(width);
    h.Height = static_cast<int32_t>(height);
    h.Bpp = bpp;
    h.BytesPP = bytesPP;
    h.Shift = shift;
    h.Ascii = ascii ? -1 : 0;
    h.MaxVal = static_cast<int32_t>(maxval);
    h.SampleBytes = sampleBytes;
  } else if (width != h.Width || height != h.Height || bpp != h.Bpp || shift != h.Shift ||
             (ascii ? -1 : 0) != h.Ascii || sampleBytes != h.SampleBytes ||
             (sampleBytes == 2 && maxval != h.MaxVal)) {
    return false;
  }
  StoreFramePos(h, h.FilePos);
  const int64_t samples = width * height * bytesPP;
  if (ascii) {
    char tok[kTokenLimit + 1];
    for (int64_t i = 0; i < samples; ++i)
      if (Token(h, tok, kTokenLimit) < 0) return false;
  } else {
    const int64_t next = h.FilePos + samples * sampleBytes;
    if (next > h.FileSize) return false;  // a truncated last image is not counted
    SeekTo(h, next);
  }
  ++h.Frames;
  return true;
}

void Scan(PnmHandle& h) {
  while (ScanImage(h)) {
  }
  h.Valid = (h.Frames > 0 && h.BytesPP > 0) ? -1 : 0;
}

// Runs the opening work; a failure leaves the handle closed.
template <class Work>
void OpenFramed(PnmHandle& h, Work&& work) {
  TraceScope scope("FF_PNM.PnmOpen");
  BeginMonitor();
  try {
    work();
  } catch (...) {
    CatchException();
  }
  if (GetErrorClass() != 0) {
    // The frame has closed the file and freed the table already.
    h.File = 0;
    h.FramePos = nullptr;
    h.FramePosCapacity = 0;
    h.Frames = 0;
    h.Valid = 0;
  }
  EndMonitor();
}

// Reads count bytes of the current image into dest.
void ReadBlock(PnmHandle& h, uint8_t* dest, int64_t count) {
  if (h.Mem != nullptr) {
    if (h.ReadPos + count > h.MemSize) Fail(ecFile, 3, 804);
    std::memcpy(dest, h.Mem + h.ReadPos, static_cast<size_t>(count));
  } else {
    FRead(h.File, dest, count);
  }
  h.ReadPos += count;
  h.FilePos = h.ReadPos;
}

}  // namespace

void PnmOpen(PnmHandle& h, const std::string& fileName) {
  h = PnmHandle();
  OpenFramed(h, [&] {
    FOpen(h.File, fileName, fmRead);
    h.FileSize = FSize(h.File);
    Scan(h);
  });
}

void PnmOpenMem_(PnmHandle& h, const uint8_t* data, int64_t size) {
  h = PnmHandle();
  OpenFramed(h, [&] {
    h.Mem = data;
    h.MemSize = size;
    h.FileSize = size;
    Scan(h);
  });
}

void PnmLoad(PnmHandle& h, Qimg& img, int32_t frame) {
  Framed("FF_PNM.PnmLoad", [&] {
    if (!h.Valid) Fail(ecImage, 1, 201);
    _imgalloc_(img, h.Width, h.Height, h.Bpp, 202, "FF_PNM.PnmLoad.img");
    int32_t index = frame - 1;
    if (index > h.Frames - 1) index = h.Frames - 1;
    if (index < 0) index = 0;
    SeekTo(h, h.FramePos[index]);
    h.CurrentFrame = index + 1;

    const int64_t samples = static_cast<int64_t>(h.Width) * h.Height * h.BytesPP;
    uint8_t* out = img.Data;
    const int64_t maxval = h.MaxVal;
    // Samples above 255 are scaled to 0..255 with rounding, as netpbm's own depth change does.
    auto scale = [maxval](int64_t v) {
      if (v > maxval) v = maxval;
      return static_cast<uint8_t>((v * 255 + maxval / 2) / maxval);
    };
    if (h.Ascii) {
      char tok[kTokenLimit + 1];
      for (int64_t i = 0; i < samples; ++i) {
        const int32_t n = Token(h, tok, kTokenLimit);
        if (n < 0) Fail(ecFile, 3, 230);
        int64_t v = Digits(tok, n);
        if (v < 0) Fail(ecImage, 9, 232);
        out[i] = h.SampleBytes == 2 ? scale(v) : static_cast<uint8_t>((v & 255) << h.Shift);
      }
    } else if (h.SampleBytes == 1) {
      ReadBlock(h, out, samples);
      if (h.Shift != 0)
        for (int64_t i = 0; i < samples; ++i) out[i] = static_cast<uint8_t>(out[i] << h.Shift);
    } else {
      uint8_t* wide = nullptr;
      _memalloc_(wide, samples * 2, 0, "FF_PNM.PnmLoad.wide", mkFresh);
      ReadBlock(h, wide, samples * 2);
      uint8_t* table = nullptr;
      _memalloc_(table, maxval + 1, 0, "FF_PNM.PnmLoad.scale", mkFresh);
      for (int64_t v = 0; v <= maxval; ++v) table[v] = scale(v);
      for (int64_t i = 0; i < samples; ++i) {
        int64_t v = (static_cast<int64_t>(wide[2 * i]) << 8) | wide[2 * i + 1];
        out[i] = table[v > maxval ? maxval : v];
      }
      MemFree(table);
      MemFree(wide);
    }

    if (h.Bpp == 8) {
      PalSetGray(img.Palette);
    } else {
      // The file holds R, G, B; the picture B, G, R.
      for (int64_t i = 0; i < samples; i += 3) {
        const uint8_t t = out[i];
        out[i] = out[i + 2];
        out[i + 2] = t;
      }
    }
  });
}

void PnmClose(PnmHandle& h) {
  Framed("FF_PNM.PnmClose", [&] {
    if (h.File != 0) FClose(h.File);
    h.File = 0;
    if (h.FramePos != nullptr) MemFree(h.FramePos);
    h.FramePosCapacity = 0;
  });
}

namespace {

// Output through a 4096-byte buffer.
struct PnmWriter {
  int32_t File = 0;
  uint8_t Buf[kPnmBufferSize];
  int32_t Count = 0;

  void Flush() {
    if (Count > 0) FWrite(File, Buf, Count);
    Count = 0;
  }
  void Put(const void* data, int64_t n) {
    const uint8_t* p = static_cast<const uint8_t*>(data);
    while (n > 0) {
      if (Count == kPnmBufferSize) Flush();
      int64_t part = kPnmBufferSize - Count;
      if (part > n) part = n;
      std::memcpy(Buf + Count, p, static_cast<size_t>(part));
      Count += static_cast<int32_t>(part);
      p += part;
      n -= part;
    }
  }
  void PutText(const std::string& s) { Put(s.data(), static_cast<int64_t>(s.size())); }
};

// Decimal digits of v (no leading zeros) and a line feed.
inline int32_t ValueLine(uint8_t v, char* out) {
  int32_t n = 0;
  if (v >= 100) out[n++] = static_cast<char>('0' + v / 100);
  if (v >= 10) out[n++] = static_cast<char>('0' + v / 10 % 10);
  out[n++] = static_cast<char>('0' + v % 10);
  out[n++] = '\n';
  return n;
}

}  // namespace

void PnmWritePrepared_(const std::string& fileName, const Qimg& img, bool binary) {
  Framed("FF_PNM.PnmSave", [&] {
    if (img.BytesPP != 3 || img.Data == nullptr || img.Width < 1 || img.Height < 1) Fail(ecImage, 2, 300);
    PnmWriter out;
    FOpen(out.File, fileName, fmCreate | fmWrite);
    out.PutText(std::string("P") + (binary ? "6" : "3") + "\n" + std::to_string(img.Width) + " " +
                std::to_string(img.Height) + "\n255\n");
    const int64_t rowBytes = static_cast<int64_t>(img.Width) * 3;
    if (binary) {
      uint8_t* row = nullptr;
      _memalloc_(row, rowBytes, 324, "FF_PNM.PnmSave.tmpdata", mkFresh);
      for (int32_t y = 0; y < img.Height; ++y) {
        const uint8_t* src = img.Data + y * rowBytes;
        for (int64_t i = 0; i < rowBytes; i += 3) {
          row[i] = src[i + 2];
          row[i + 1] = src[i + 1];
          row[i + 2] = src[i];
        }
        out.Put(row, rowBytes);
      }
      out.Flush();
      MemFree(row);
    } else {
      char text[12];
      const int64_t total = rowBytes * img.Height;
      for (int64_t i = 0; i < total; i += 3) {
        out.Put(text, ValueLine(img.Data[i + 2], text));
        out.Put(text, ValueLine(img.Data[i + 1], text));
        out.Put(text, ValueLine(img.Data[i], text));
      }
      out.Flush();
    }
    FClose(out.File);
  });
}

}  // namespace tavelo
