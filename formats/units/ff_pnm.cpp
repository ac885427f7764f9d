// Portable anymap files: scanning, reading and writing (unit FF_PNM).
#include "formats/units/ff_pnm.h"

#include <emmintrin.h>
#include <immintrin.h>

#include <cstring>
#include <new>

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

constexpr int32_t kTokenLimit = 512;

inline bool IsBlank(int c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

// Character classes for the fast token loops: 1 blank, 2 the comment mark, 0 anything else.
struct CharClasses {
  uint8_t Of[256] = {};
  constexpr CharClasses() {
    Of[static_cast<uint8_t>(' ')] = Of[static_cast<uint8_t>('\t')] = Of[static_cast<uint8_t>('\n')] =
        Of[static_cast<uint8_t>('\r')] = 1;
    Of[static_cast<uint8_t>('#')] = 2;
  }
};
constexpr CharClasses kClass;

// Set bits of each byte value (no popcount instruction is assumed).
struct BitCounts {
  uint8_t Of[256] = {};
  constexpr BitCounts() {
    for (int i = 1; i < 256; ++i) Of[i] = static_cast<uint8_t>(Of[i >> 1] + (i & 1));
  }
};
constexpr BitCounts kBitCounts;
constexpr const uint8_t* kBits = kBitCounts.Of;

// Fills the buffer from the file; a memory block needs no copy: the buffer is a window on it.
// False at the end.
bool Refill(PnmHandle& h) {
  TraceScope scope("FF_PNM.PNMReadBuf_");
  h.BufPos = 0;
  h.BufCount = 0;
  int64_t got = 0;
  if (h.Mem != nullptr) {
    constexpr int64_t kWindow = 1 << 20;
    const int64_t left = h.MemSize - h.ReadPos;
    got = left < kWindow ? (left > 0 ? left : 0) : kWindow;
    h.BufData = h.Mem + h.ReadPos;
  } else {
    FTryRead(h.File, h.Buffer, kPnmBufferSize, got);
    h.BufData = h.Buffer;
  }
  h.ReadPos += got;
  h.BufCount = static_cast<int32_t>(got);
  if (got <= 0) h.End = -1;
  return got > 0;
}

inline int GetByte(PnmHandle& h) {
  if (h.BufPos >= h.BufCount && !Refill(h)) return -1;
  return h.BufData[h.BufPos++];
}

// Bytes consumed so far: what was read, less what still waits in the buffer.
inline int64_t Consumed(const PnmHandle& h) { return h.ReadPos - (h.BufCount - h.BufPos); }

// A character with comments folded: "#" up to the next line end reads as one line feed.
inline int GetChar(PnmHandle& h) {
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

// Reads characters straight from the buffer through local pointers (the hot loops of text
// files), with comments folded as GetChar folds them; the handle's read position is brought up
// to date when the cursor goes.
class Cursor {
 public:
  explicit Cursor(PnmHandle& h) : h_(h), p_(h.BufData + h.BufPos), end_(h.BufData + h.BufCount) {}
  ~Cursor() { h_.BufPos = static_cast<int32_t>(p_ - h_.BufData); }
  Cursor(const Cursor&) = delete;
  Cursor& operator=(const Cursor&) = delete;

  int Byte() {
    if (p_ == end_) {
      h_.BufPos = h_.BufCount;
      const bool more = Refill(h_);
      p_ = h_.BufData;  // an empty buffer after a failed refill
      end_ = h_.BufData + h_.BufCount;
      if (!more) return -1;
    }
    return *p_++;
  }
  int Char() {
    int c = Byte();
    if (c != '#') return c;
    do c = Byte();
    while (c != -1 && c != '\n' && c != '\r');
    return c == -1 ? -1 : '\n';
  }

  // The fast forms of a whole token for the common case: plain blanks, then a short token that
  // ends in a blank, all within the buffer. They return false, having consumed nothing, for
  // anything else (a comment, a long token, the buffer's end), which the exact loops then read.
  bool FastNumber(int64_t& value) {
    if (end_ - p_ < 32) return false;
    const uint8_t* p = p_;
    const uint8_t* stop = end_ - 16;
    while (p < stop && kClass.Of[*p] == 1) ++p;
    if (p >= stop) return false;
    const uint8_t* first = p;
    uint32_t v = 0;
    while (p - first < 10 && static_cast<unsigned>(*p - '0') <= 9) v = v * 10 + (*p++ - '0');
    const std::ptrdiff_t digits = p - first;
    if (digits == 0 || digits > 9 || kClass.Of[*p] != 1) return false;
    p_ = p + 1;
    value = v;
    return true;
  }
  // Reads up to count samples of at most 255 the fast way into out as (value and 255) shl
  // shift; how many it read. Stops, having consumed nothing of it, at the first token that is
  // not a plain short number between plain blanks.
  int64_t FastSamples(uint8_t* out, int64_t count, int32_t shift) {
    if (end_ - p_ < 32) return 0;
    const uint8_t* p = p_;
    const uint8_t* stop = end_ - 16;
    int64_t done = 0;
    while (done < count) {
      const uint8_t* q = p;
      while (q < stop && kClass.Of[*q] == 1) ++q;
      if (q >= stop) break;
      const uint8_t* first = q;
      uint32_t v = 0;
      while (q - first < 10 && static_cast<unsigned>(*q - '0') <= 9) v = v * 10 + (*q++ - '0');
      if (q == first || q - first > 9 || kClass.Of[*q] != 1) break;
      out[done++] = static_cast<uint8_t>((v & 255) << shift);
      p = q + 1;
    }
    p_ = p;
    return done;
  }

  // Skips up to count whole tokens the fast way, 16 bytes at a time; how many it skipped. It
  // stops before a comment mark, before a run of 256 token characters (long tokens follow the
  // length limit in the exact loop) and before the block where the count would be reached,
  // and always just after a blank, between tokens; the exact loop reads whatever is left.
  int64_t FastSkip(int64_t count) {
    const uint8_t* p = p_;
    const uint8_t* between = p_;  // just after the last blank walked
    int64_t done = 0, doneBetween = 0;
    uint32_t carry = 0;  // 1 when the byte before p belongs to a token
    int solidBlocks = 0;
    const __m128i space = _mm_set1_epi8(' '), tab = _mm_set1_epi8('\t'), lf = _mm_set1_epi8('\n'),
                  cr = _mm_set1_epi8('\r'), hash = _mm_set1_epi8('#');
    for (; end_ - p >= 16; p += 16) {
      const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
      if (_mm_movemask_epi8(_mm_cmpeq_epi8(v, hash)) != 0) break;
      const uint32_t blank = static_cast<uint32_t>(_mm_movemask_epi8(_mm_or_si128(
          _mm_or_si128(_mm_cmpeq_epi8(v, space), _mm_cmpeq_epi8(v, tab)), _mm_or_si128(_mm_cmpeq_epi8(v, lf), _mm_cmpeq_epi8(v, cr)))));
      if (blank == 0) {
        if (++solidBlocks == 16) break;
        carry = 1;
        continue;
      }
      solidBlocks = 0;
      const uint32_t solid = ~blank & 0xFFFF;
      const uint32_t ends = blank & ((solid << 1) | carry);  // blanks right after a token character
      const int n = kBits[ends & 255] + kBits[ends >> 8];
      if (done + n >= count) break;
      done += n;
      doneBetween = done;
      between = p + (32 - __builtin_clz(blank));
      carry = solid >> 15;
    }
    p_ = between;
    return doneBetween;
  }

 private:
  PnmHandle& h_;
  const uint8_t* p_;
  const uint8_t* end_;
};

// Skips blanks and reads one token as a decimal number (the same token rules as Token): its
// value; -1 when the data ends before the token starts; -2 for a token that is not a digit run
// up to 2147483647.
inline int64_t NumberOrEnd(Cursor& in) {
  int64_t fast = 0;
  if (in.FastNumber(fast)) return fast;
  int c = in.Char();
  while (c != -1 && IsBlank(c)) c = in.Char();
  if (c == -1) return -1;
  int64_t v = 0;
  bool bad = false;
  for (int32_t n = 1;; ++n) {
    const unsigned d = static_cast<unsigned>(c - '0');
    if (d > 9) bad = true;
    v = v * 10 + d;
    if (v > 0x7FFFFFFF) {
      bad = true;
      v = 0;
    }
    if (n == kTokenLimit) {
      in.Char();
      break;
    }
    c = in.Char();
    if (c == -1 || IsBlank(c)) break;
  }
  return bad ? -2 : v;
}

int64_t NumberOrEnd(PnmHandle& h) {
  Cursor in(h);
  return NumberOrEnd(in);
}

// Skips count tokens; false when the data ends first.
bool SkipTokens(PnmHandle& h, int64_t count) {
  Cursor in(h);
  for (int64_t i = 0; i < count; ++i) {
    const int64_t fast = in.FastSkip(count - i);
    i += fast;
    if (i == count) break;
    int c = in.Char();
    while (c != -1 && IsBlank(c)) c = in.Char();
    if (c == -1) return false;
    for (int32_t n = 1;; ++n) {
      if (n == kTokenLimit) {
        in.Char();
        break;
      }
      c = in.Char();
      if (c == -1 || IsBlank(c)) break;
    }
  }
  return true;
}

int64_t NumberToken(PnmHandle& h) {
  const int64_t v = NumberOrEnd(h);
  return v < 0 ? -1 : v;
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
    if (h.Frames == 0) RaiseError(ecImage, 2, 137);
    return false;  // anything after the last image
  }
  const char type = n == 2 ? magic[1] : '\0';
  const bool ascii = type == '2' || type == '3';
  const int32_t bpp = (type == '2' || type == '5') ? 8 : (type == '3' || type == '6') ? 24 : 0;
  if (bpp == 0) return false;  // bit maps, PAM and unknown kinds are not read
  const int64_t width = NumberToken(h);
  const int64_t height = NumberToken(h);
  const int64_t maxval = NumberToken(h);
  // Sizes beyond 2^40 pixels describe no picture that could be held (and would overflow the
  // sample counts below).
  if (width < 1 || height < 1 || width * height > (int64_t{1} << 40) || maxval < 1 || maxval > 65535) return false;
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
  h.FilePos = Consumed(h);
  StoreFramePos(h, h.FilePos);
  const int64_t samples = width * height * bytesPP;
  if (ascii) {
    if (!SkipTokens(h, samples)) return false;
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

void CopySwapRBPlain(const uint8_t* src, uint8_t* dst, int64_t bytes) {
  for (int64_t i = 0; i + 2 < bytes; i += 3) {
    const uint8_t r = src[i];
    dst[i + 1] = src[i + 1];
    dst[i] = src[i + 2];
    dst[i + 2] = r;
  }
}

// Four pixels a shuffle: each 16-byte store swaps 12 bytes and writes the next 4 as they are;
// the next store, 12 bytes on, puts them right. src and dst may be the same.
__attribute__((target("ssse3"))) void CopySwapRBSsse3(const uint8_t* src, uint8_t* dst, int64_t bytes) {
  const __m128i mask = _mm_setr_epi8(2, 1, 0, 5, 4, 3, 8, 7, 6, 11, 10, 9, 12, 13, 14, 15);
  int64_t i = 0;
  for (; i + 16 <= bytes; i += 12)
    _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + i),
                     _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(src + i)), mask));
  CopySwapRBPlain(src + i, dst + i, bytes - i);
}

// dst := src with the first and third byte of every 3-byte pixel exchanged.
void CopySwapRB(const uint8_t* src, uint8_t* dst, int64_t bytes) {
  static const bool ssse3 = __builtin_cpu_supports("ssse3");
  if (ssse3)
    CopySwapRBSsse3(src, dst, bytes);
  else
    CopySwapRBPlain(src, dst, bytes);
}

// Reads count bytes of the current image into dest.
void ReadBlock(PnmHandle& h, uint8_t* dest, int64_t count) {
  if (h.Mem != nullptr) {
    if (h.ReadPos + count > h.MemSize) RaiseError(ecFile, 3, 804);
    std::memcpy(dest, h.Mem + h.ReadPos, static_cast<size_t>(count));
  } else {
    FRead(h.File, dest, count);
  }
  h.ReadPos += count;
  h.FilePos = h.ReadPos;
}


// Reads count bytes of 3-byte pixels into dest, exchanging their first and third bytes on the
// way: straight from the memory block, or through a tracked chunk from the file.
void ReadSwapped(PnmHandle& h, uint8_t* dest, int64_t count) {
  if (h.Mem != nullptr) {
    if (h.ReadPos + count > h.MemSize) RaiseError(ecFile, 3, 804);
    CopySwapRB(h.Mem + h.ReadPos, dest, count);
    h.ReadPos += count;
  } else {
    constexpr int64_t kChunk = 3 * 65536;
    uint8_t* chunk = nullptr;
    _memalloc_(chunk, count < kChunk ? count : kChunk, 0, "FF_PNM.PnmLoad.chunk", mkFresh);
    for (int64_t done = 0; done < count; done += kChunk) {
      const int64_t n = count - done < kChunk ? count - done : kChunk;
      FRead(h.File, chunk, n);
      CopySwapRB(chunk, dest + done, n);
    }
    MemFree(chunk);
    h.ReadPos += count;
  }
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
    if (!h.Valid) RaiseError(ecImage, 1, 201);
    // A picture too large to make is refused before it is allocated (FFPictureFits).
    if (!FFPictureFits(h.Width, h.Height, (h.Bpp + 7) / 8)) RaiseError(ecImage, 4, __LINE__);
    // Every sample is written below (or the load fails).
    _imgalloc_(img, h.Width, h.Height, h.Bpp, 202, "FF_PNM.PnmLoad.img", false);
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
      Cursor in(h);
      for (int64_t i = 0; i < samples; ++i) {
        if (h.SampleBytes == 1) {
          i += in.FastSamples(out + i, samples - i, h.Shift);
          if (i == samples) break;
        }
        const int64_t v = NumberOrEnd(in);
        if (v == -1) RaiseError(ecFile, 3, 230);
        if (v == -2) RaiseError(ecImage, 9, 232);
        out[i] = h.SampleBytes == 2 ? scale(v) : static_cast<uint8_t>((v & 255) << h.Shift);
      }
    } else if (h.SampleBytes == 1) {
      // Binary 8-bit samples, colour ones swapped as read; both shifted up from a maxval below 128.
      if (h.Bpp == 24)
        ReadSwapped(h, out, samples);
      else
        ReadBlock(h, out, samples);
      if (h.Shift != 0)
        for (int64_t i = 0; i < samples; ++i) out[i] = static_cast<uint8_t>(out[i] << h.Shift);
    } else {
      uint8_t* wide = nullptr;
      _memalloc_(wide, samples * 2, 0, "FF_PNM.PnmLoad.wide", mkFresh, false);
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

    // The file holds R, G, B; the picture B, G, R (binary 8-bit samples were swapped as read).
    if (h.Bpp == 8)
      PalSetGray(img.Palette);
    else if (h.Ascii || h.SampleBytes == 2)
      CopySwapRB(out, out, samples);
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

// Output through a buffer of kPnmBufferSize bytes.
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

void PnmInfo(const std::string& fileName, FFInfoRec& info) {
  Framed("FF_PNM.PnmInfo", [&] {
    PnmHandle* h = nullptr;  // 4 KB and more: not on the stack
    _memalloc_(h, sizeof(PnmHandle), 0, "FF_PNM.PnmInfo.pf", mkFresh);
    new (h) PnmHandle();
    PnmOpen(*h, fileName);
    info.FormatId = fidPNM;
    info.FileSize = static_cast<double>(h->FileSize);
    info.Video.Width = h->Width;
    info.Video.Height = h->Height;
    info.Video.BytesPP = h->BytesPP;
    info.Video.Bpp = 8 * h->BytesPP;
    info.Video.OrigBpp = 8 * h->BytesPP * (h->SampleBytes == 2 ? 2 : 1);
    info.Video.Frames = h->Frames;
    info.Video.CodecId = h->Ascii ? 0 : 1;
    info.Video.CodecName = h->Ascii ? "Ascii encoded" : "Binary encoded";
    info.Video.HasVideo = h->Width > 0 ? -1 : 0;
    info.Video.VideoSupported = h->Valid;
    PnmClose(*h);
    MemFree(h);
  });
}

void PnmSave(const std::string& fileName, const Qimg& img, bool binary) {
  Framed("FF_PNM.PnmSave", [&] {
    FFSavePrep prep;
    FFInit(fidPNM, prep, img, 1);
    FFSafeSave_(fileName, [&](const std::string& temp) { PnmWritePrepared_(temp, *prep.Picture, binary); });
    FFFree(prep);
  });
}

void PnmWritePrepared_(const std::string& fileName, const Qimg& img, bool binary) {
  Framed("FF_PNM.PnmWrite_", [&] {
    if (img.BytesPP != 3 || img.Data == nullptr || img.Width < 1 || img.Height < 1) RaiseError(ecImage, 2, 300);
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

// ---- The dispatcher's entries ----

const FFUnit kPnmUnit = {
    .Kind = fuStillOrMovie,
    .Info = [](const std::string& name, FFInfoRec& info, FFProgressProc, void*) { PnmInfo(name, info); },
    // The first image of the file; the handle (its buffer) is a tracked block, so a failed read
    // releases it with the frame that catches the failure.
    .Load =
        [](const std::string& name, Qimg& img, Qimg*) {
          PnmHandle* pnm = nullptr;
          _memalloc_(pnm, sizeof(PnmHandle), __LINE__, "Conform.ImgLoad.pnm", mkFresh);
          new (pnm) PnmHandle();
          PnmOpen(*pnm, name);
          PnmLoad(*pnm, img, 1);
          PnmClose(*pnm);
          MemFree(pnm);
        },
    .Save = [](const std::string& name, const Qimg& img, FFVideoOpts& opts) { PnmSave(name, img, opts.Codec != 0); },
    .SaveDefaults = [](FFVideoOpts& opts) { opts.Codec = 1; },
    .CodecName = [](const FFVideoOpts& opts, std::string& out) {
      out = opts.Codec != 0 ? "Binary encoded" : "ASCII encoded";
    },
    .StateName = "Pnm",
    .StateSize = static_cast<int64_t>(sizeof(PnmHandle)),
    .NewState = FFNewState<PnmHandle>,
    .Open = [](void* s, const std::string& name, FFProgressProc, void*) { PnmOpen(FFStateOf<PnmHandle>(s), name); },
    .ImgLoad = [](void* s, Qimg& img, int32_t frame, Qimg*) { PnmLoad(FFStateOf<PnmHandle>(s), img, frame); },
    .Close = [](void* s, int32_t, int32_t, int32_t) { PnmClose(FFStateOf<PnmHandle>(s)); },
    // No sound, every image is a key frame, never stopped.
    .View = [](const void* s) {
      const PnmHandle& h = FFStateOf<PnmHandle>(s);
      return FFMovieView{h.Frames, h.CurrentFrame, 0, -1, 0};
    },
};

}  // namespace tavelo
