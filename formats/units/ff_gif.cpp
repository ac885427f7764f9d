// The GIF unit: scan, slots, our own LZW decoder, composition with disposal and transparency, the
// scan cache and the gifcodec binding.
#include "formats/units/ff_gif.h"

#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <mutex>
#include <vector>

#include "core/services/basic.h"
#include "core/services/errors.h"
#include "core/services/files.h"
#include "core/services/memory.h"
#include "core/services/monitor.h"
#include "core/services/trace.h"
#include "formats/conform.h"
#include "formats/ff_basic.h"
#include "formats/ff_codec_libs.h"
#include "formats/ff_tables.h"
#include "formats/ff_unit.h"

namespace tavelo {

namespace {

constexpr int32_t kTrue = -1;
constexpr int32_t kScanBufferSize = 64 * 1024;
constexpr int32_t kPosBlock = 256;
// giflib's close: GIF_OK (1) or GIF_ERROR (0); the handle is freed either way.
struct GifApi {
  int (*CloseFile)(void* gifFile, int* errorCode);
};

thread_local FFCodecBinding<GifApi> t_binding;

bool BindGif_(GifApi& api) { return FFBind_(clGif, api.CloseFile, "EGifCloseFile"); }

// A fingerprint (FNV-1a) of a 256-entry B, G, R palette: the scan tells by it whether the images
// use more than one palette.
uint64_t HashPalette(const uint8_t* bgr) {
  uint64_t h = 1469598103934665603ull;
  for (int i = 0; i < 768; ++i) h = (h ^ bgr[i]) * 1099511628211ull;
  return h;
}

// RGB triples from the file into a 256-entry B, G, R palette; entries past count become 0.
void StorePalette(const uint8_t* rgb, int32_t count, uint8_t* bgr) {
  std::memset(bgr, 0, 768);
  for (int32_t i = 0; i < count && i < 256; ++i) {
    bgr[3 * i] = rgb[3 * i + 2];
    bgr[3 * i + 1] = rgb[3 * i + 1];
    bgr[3 * i + 2] = rgb[3 * i];
  }
}

int64_t FileAgeOf(const std::string& name) {
  struct stat st {};
  if (::stat(name.c_str(), &st) != 0) return 0;
  return static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
}

// Sequential reading of the tracked file through the 64 KB scan buffer.
class ScanReader {
 public:
  ScanReader(int32_t file, int64_t fileSize, uint8_t* buffer) : file_(file), size_(fileSize), buf_(buffer) {}

  int64_t Pos() const { return pos_; }
  bool AtEnd() const { return pos_ >= size_; }

  bool Byte(uint8_t& b) {
    if (pos_ >= bufStart_ + bufLen_ && !Fill()) return false;
    b = buf_[pos_ - bufStart_];
    ++pos_;
    return true;
  }

  bool Read(uint8_t* dest, int64_t n) {
    while (n > 0) {
      if (pos_ >= bufStart_ + bufLen_ && !Fill()) return false;
      const int64_t take = std::min<int64_t>(n, bufStart_ + bufLen_ - pos_);
      std::memcpy(dest, buf_ + (pos_ - bufStart_), static_cast<size_t>(take));
      dest += take;
      pos_ += take;
      n -= take;
    }
    return true;
  }

  // Steps over n bytes; false when that passes the end of the file.
  bool Skip(int64_t n) {
    if (n > size_ - pos_) {
      pos_ = size_;
      return false;
    }
    pos_ += n;
    return true;
  }

  // Steps over data sub-blocks up to and including the terminator; false when the file ends first.
  bool SkipSubBlocks() {
    for (;;) {
      uint8_t n = 0;
      if (!Byte(n)) return false;
      if (n == 0) return true;
      if (!Skip(n)) return false;
    }
  }

 private:
  bool Fill() {
    if (pos_ >= size_) return false;
    FSeek(file_, pos_);
    const int64_t want = std::min<int64_t>(kScanBufferSize, size_ - pos_);
    int64_t done = 0;
    FTryRead(file_, buf_, want, done);
    bufStart_ = pos_;
    bufLen_ = done;
    return done > 0;
  }

  int32_t file_;
  int64_t size_;
  uint8_t* buf_;
  int64_t bufStart_ = 0;
  int64_t bufLen_ = 0;
  int64_t pos_ = 0;
};

// One copy of the last fully scanned handle. It lives for the run (until GIFDllFree), outside the
// tracked blocks, so that no failed piece of work elsewhere can release it under the cache.
struct GifCache {
  std::mutex Lock;
  bool Valid = false;
  std::string Name;
  GifHandle Head;
  std::vector<GifImagePos> Images;
};

GifCache& Cache() {
  static GifCache* cache = new GifCache;  // never destroyed: usable until the very end
  return *cache;
}

std::atomic<int32_t> g_scanCount{0};

void ClearPointers(GifHandle& gif) {
  gif.PrevImg = nullptr;
  gif.Pos = nullptr;
  gif.Canvas = nullptr;
  gif.Canvas24 = nullptr;
  gif.File = 0;
  gif.WriteHandle = nullptr;
  gif.PosCapacity = 0;
}

bool TakeFromCache(GifHandle& gif, const std::string& name) {
  GifCache& c = Cache();
  std::lock_guard<std::mutex> lock(c.Lock);
  if (!c.Valid || c.Name != name || c.Head.FileSize != gif.FileSize || c.Head.FileAge != gif.FileAge) return false;
  const int32_t file = gif.File;
  gif = c.Head;
  ClearPointers(gif);
  gif.File = file;
  const int64_t count = static_cast<int64_t>(c.Images.size());
  const int64_t capacity = (count + kPosBlock - 1) / kPosBlock * kPosBlock;
  if (capacity > 0) {
    _memalloc_(gif.Pos, capacity * static_cast<int64_t>(sizeof(GifImagePos)), __LINE__,
               "FF_GIF.GIFChk4ImgFPos_.gf.fposBlk[requested_blk]", mkResizable);
    gif.PosCapacity = static_cast<int32_t>(capacity);
    std::memcpy(gif.Pos, c.Images.data(), static_cast<size_t>(count) * sizeof(GifImagePos));
  }
  return true;
}

void StoreInCache(const GifHandle& gif, const std::string& name) {
  GifCache& c = Cache();
  std::vector<GifImagePos> images(gif.Pos, gif.Pos + gif.Count);
  std::lock_guard<std::mutex> lock(c.Lock);
  c.Head = gif;
  ClearPointers(c.Head);
  c.Name = name;
  c.Images.swap(images);
  c.Valid = true;
}

// Records image number gif.Count, growing the table by a block when the image starts one.
GifImagePos& AddImage(GifHandle& gif) {
  if (gif.Count >= gif.PosCapacity) {
    const int64_t capacity = static_cast<int64_t>(gif.PosCapacity) + kPosBlock;
    _memalloc_(gif.Pos, capacity * static_cast<int64_t>(sizeof(GifImagePos)), __LINE__,
               "FF_GIF.GIFChk4ImgFPos_.gf.fposBlk[requested_blk]", mkResizable);
    gif.PosCapacity = static_cast<int32_t>(capacity);
  }
  GifImagePos& p = gif.Pos[gif.Count];
  p = GifImagePos{};
  ++gif.Count;
  return p;
}

bool CoversScreen(const GifHandle& gif, const GifImagePos& p) {
  return p.Left == 0 && p.Top == 0 && p.W >= gif.Width && p.H >= gif.Height;
}

// The graphic control extension that applies to the next image (Pos: where it starts, -1: none).
struct PendingGce {
  int64_t Pos = -1;
  int32_t Delay = 0, Disposal = 0, Transparent = -1;
};

// An extension block, its '!' read at start; a graphic control extension becomes gce. False when
// the file ends inside it.
bool ScanExtension_(ScanReader& r, int64_t start, PendingGce& gce) {
  uint8_t label = 0;
  if (!r.Byte(label)) return false;
  if (label == 0xF9) {
    uint8_t n = 0;
    uint8_t g[4] = {};
    if (!r.Byte(n)) return false;
    if (n >= 4) {
      if (!r.Read(g, 4) || !r.Skip(n - 4)) return false;
    } else if (!r.Skip(n)) {
      return false;
    }
    gce.Pos = start;
    gce.Disposal = (g[0] >> 2) & 7;
    gce.Delay = g[1] | (g[2] << 8);
    gce.Transparent = (g[0] & 1) != 0 ? g[3] : -1;
  }
  return r.SkipSubBlocks();
}

// An image, its ',' read at descPos: its place (with gce's timing), its palette's hash added to
// hashes, its data stepped over. False when the file ends inside it (an image whose data is cut
// short is kept: its decode reports the damage).
bool ScanImage_(GifHandle& gif, ScanReader& r, int64_t descPos, PendingGce& gce, std::vector<uint64_t>& hashes) {
  uint8_t d[9];
  if (!r.Read(d, 9)) return false;
  GifImagePos& p = AddImage(gif);
  const bool timed = gce.Pos >= 0;
  p.Pos = timed ? gce.Pos : descPos;
  p.DescPos = descPos;
  p.Left = d[0] | (d[1] << 8);
  p.Top = d[2] | (d[3] << 8);
  p.W = d[4] | (d[5] << 8);
  p.H = d[6] | (d[7] << 8);
  p.Interlaced = (d[8] & 0x40) != 0 ? kTrue : 0;
  p.LocalColors = (d[8] & 0x80) != 0 ? 2 << (d[8] & 7) : 0;
  p.Delay = timed ? gce.Delay : 0;
  p.Disposal = timed ? gce.Disposal : 0;
  p.Transparent = timed ? gce.Transparent : -1;
  gce.Pos = -1;
  uint64_t hash = HashPalette(gif.Palette);
  if (p.LocalColors > 0) {
    uint8_t lct[768];
    uint8_t bgr[768];
    const bool complete = r.Read(lct, 3 * p.LocalColors);
    StorePalette(lct, p.LocalColors, bgr);
    hash = HashPalette(bgr);
    if (!complete) {
      p.DataPos = p.DataEnd = r.Pos();
      hashes.push_back(hash);
      return false;
    }
  }
  hashes.push_back(hash);
  p.DataPos = r.Pos();
  // The minimum code size byte, then the sub-blocks.
  uint8_t minSize = 0;
  const bool complete = r.Byte(minSize) && r.SkipSubBlocks();
  p.DataEnd = r.Pos();
  return complete;
}

// Finds the images. firstOnly stops after the first one. Returns the palette hashes of the images
// (for the decision on Deep) through hashes.
void ScanImages_(GifHandle& gif, ScanReader& r, bool firstOnly, std::vector<uint64_t>& hashes) {
  PendingGce gce;
  for (;;) {
    uint8_t b = 0;
    if (!r.Byte(b)) break;
    if (b == 0) continue;  // padding some writers leave between blocks
    if (b == ';') break;
    if (b == '!') {
      if (!ScanExtension_(r, r.Pos() - 1, gce)) break;
      continue;
    }
    if (b != ',') break;  // no further image
    if (!ScanImage_(gif, r, r.Pos() - 1, gce, hashes) || firstOnly) break;
  }
}

// Decides Simple, Partial and Deep once the images are known.
void Classify_(GifHandle& gif, const std::vector<uint64_t>& hashes) {
  bool simple = true, partial = false, mixing = false;
  for (int32_t i = 0; i < gif.Count; ++i) {
    const GifImagePos& p = gif.Pos[i];
    const bool covers = CoversScreen(gif, p);
    if (i > 0 && !covers) partial = true;
    // Transparency after the first image lets earlier pictures show through: such an image does
    // not stand alone, so it cannot be decoded out of order.
    if (!covers || p.Disposal >= 3 || (i > 0 && p.Transparent >= 0)) simple = false;
    if (!covers || p.Transparent >= 0) mixing = true;
  }
  bool manyPalettes = false;
  const uint64_t global = HashPalette(gif.Palette);
  uint64_t first = gif.HasGlobal != 0 ? global : (hashes.empty() ? 0 : hashes[0]);
  for (uint64_t h : hashes)
    if (h != first) manyPalettes = true;
  bool transparency = false;
  for (int32_t i = 0; i < gif.Count; ++i) transparency = transparency || gif.Pos[i].Transparent >= 0;
  gif.Transparency = transparency ? kTrue : 0;
  gif.Simple = simple ? kTrue : 0;
  gif.Partial = partial ? kTrue : 0;
  gif.Deep = mixing && manyPalettes ? kTrue : 0;
  gif.BytesPP = gif.Deep != 0 ? 3 : 1;
  gif.Bpp = gif.Deep != 0 ? 24 : 8;
}

void Open_(GifHandle& gif, const std::string& fileName, bool firstOnly) {
  gif = GifHandle{};
  const int64_t age = FileAgeOf(fileName);
  FOpen(gif.File, fileName, fmRead);
  gif.FileSize = FSize(gif.File);
  gif.FileAge = age;
  if (fileName.size() < static_cast<size_t>(kGifNameMax)) std::memcpy(gif.FileName, fileName.c_str(), fileName.size() + 1);

  uint8_t* buf = nullptr;
  _memalloc_(buf, kScanBufferSize, __LINE__, "FF_GIF.GIFOpen.GIFCmpsBuf", mkResizable);
  ScanReader r(gif.File, gif.FileSize, buf);
  uint8_t head[13];
  if (!r.Read(head, 13) || std::memcmp(head, "GIF", 3) != 0 ||
      (std::memcmp(head + 3, "87a", 3) != 0 && std::memcmp(head + 3, "89a", 3) != 0))
    RaiseError(ecImage, 2, __LINE__);
  gif.Width = head[6] | (head[7] << 8);
  gif.Height = head[8] | (head[9] << 8);
  gif.Background = -1;
  gif.Transparent = -1;
  gif.Current = -1;
  gif.BytesPP = 1;
  gif.Bpp = 8;
  if ((head[10] & 0x80) != 0) {
    const int32_t colors = 2 << (head[10] & 7);
    uint8_t rgb[768];
    if (!r.Read(rgb, 3 * colors)) RaiseError(ecImage, 4, __LINE__);
    StorePalette(rgb, colors, gif.Palette);
    gif.Background = head[11];
    gif.HasGlobal = kTrue;
  }
  std::memcpy(gif.CurPalette, gif.Palette, 768);

  const int32_t file = gif.File;
  if (!firstOnly && gif.FileName[0] != 0 && TakeFromCache(gif, fileName)) {
    gif.File = file;
    MemFree(buf);
    return;
  }

  std::vector<uint64_t> hashes;
  ScanImages_(gif, r, firstOnly, hashes);
  MemFree(buf);
  // A file without a single image has nothing to show.
  if (gif.Count < 1) RaiseError(ecImage, 2, __LINE__);
  Classify_(gif, hashes);
  // A picture too large to make is refused before anything that size is made.
  if (!FFPictureFits(gif.Width, gif.Height, gif.BytesPP)) RaiseError(ecImage, 4, __LINE__);

  if (firstOnly) {
    gif.Count = 1;
    gif.Frames = 1;
    gif.Pos[0].Slots = 1;
    gif.FrameRate = gif.Pos[0].Delay > 0 ? static_cast<double>(100 / gif.Pos[0].Delay) : 0.0;
    return;
  }
  g_scanCount.fetch_add(1);
  int64_t frames = 0;
  if (!GIFMakeSlots_(gif.Pos, gif.Count, gif.FrameRate, frames)) RaiseError(ecImage, 2, __LINE__);
  gif.Frames = static_cast<int32_t>(frames);
  if (gif.FileName[0] != 0) StoreInCache(gif, fileName);
}

// The LZW decoder (below); Blind lets it write up to 16 bytes past a string (see there).
template <bool Blind>
int32_t DecodeLZW_(const uint8_t* data, int64_t len, uint8_t* out, int64_t outLen, uint8_t* tables, int64_t& o);

// ---- Composition ----

int64_t ScreenPixels(const GifHandle& gif) { return static_cast<int64_t>(gif.Width) * gif.Height; }

// The coverage plane behind the indices: 1 where an image has drawn an opaque pixel since the
// area was last cleared to the background. Only files with transparency keep one.
uint8_t* Shown(const GifHandle& gif) { return gif.Transparency != 0 ? gif.Canvas + ScreenPixels(gif) : nullptr; }

void FillBackground_(GifHandle& gif, int32_t left, int32_t top, int32_t w, int32_t h) {
  const int32_t x0 = std::max(left, 0), y0 = std::max(top, 0);
  const int32_t x1 = static_cast<int32_t>(std::min<int64_t>(static_cast<int64_t>(left) + w, gif.Width));
  const int32_t y1 = static_cast<int32_t>(std::min<int64_t>(static_cast<int64_t>(top) + h, gif.Height));
  if (x0 >= x1 || y0 >= y1) return;
  const uint8_t index = static_cast<uint8_t>(gif.Background >= 0 ? gif.Background : 0);
  const uint8_t* colour = gif.Palette + 3 * index;
  uint8_t* shown = Shown(gif);
  for (int32_t y = y0; y < y1; ++y) {
    std::memset(gif.Canvas + static_cast<int64_t>(y) * gif.Width + x0, index, static_cast<size_t>(x1 - x0));
    if (shown != nullptr) std::memset(shown + static_cast<int64_t>(y) * gif.Width + x0, 0, static_cast<size_t>(x1 - x0));
    if (gif.Canvas24 != nullptr) {
      uint8_t* p = gif.Canvas24 + (static_cast<int64_t>(y) * gif.Width + x0) * 3;
      for (int32_t x = x0; x < x1; ++x, p += 3) {
        p[0] = colour[0];
        p[1] = colour[1];
        p[2] = colour[2];
      }
    }
  }
}

// Copies the clipped rectangle of the canvas into (save) or back from (restore) PrevImg.
void SaveOrRestore_(GifHandle& gif, bool save) {
  const int32_t x0 = gif.Left, y0 = gif.Top;
  const int32_t x1 = static_cast<int32_t>(std::min<int64_t>(static_cast<int64_t>(gif.Left) + gif.W, gif.Width));
  const int32_t y1 = static_cast<int32_t>(std::min<int64_t>(static_cast<int64_t>(gif.Top) + gif.H, gif.Height));
  if (x0 >= x1 || y0 >= y1 || gif.PrevImg == nullptr) return;
  const int64_t w = x1 - x0;
  const int64_t pixels = ScreenPixels(gif);
  // PrevImg holds the indices, the coverage (when kept) and the 24-bit colours (when Deep).
  uint8_t* save8 = gif.PrevImg;
  uint8_t* shown = Shown(gif);
  uint8_t* saveShown = gif.PrevImg + pixels;
  uint8_t* save24 = gif.PrevImg + pixels * (shown != nullptr ? 2 : 1);
  for (int32_t y = y0; y < y1; ++y) {
    if (shown != nullptr) {
      uint8_t* c = shown + static_cast<int64_t>(y) * gif.Width + x0;
      uint8_t* s = saveShown + (y - y0) * w;
      if (save)
        std::memcpy(s, c, static_cast<size_t>(w));
      else
        std::memcpy(c, s, static_cast<size_t>(w));
    }
    uint8_t* c = gif.Canvas + static_cast<int64_t>(y) * gif.Width + x0;
    uint8_t* s = save8 + (y - y0) * w;
    if (save)
      std::memcpy(s, c, static_cast<size_t>(w));
    else
      std::memcpy(c, s, static_cast<size_t>(w));
    if (gif.Canvas24 != nullptr) {
      uint8_t* c24 = gif.Canvas24 + (static_cast<int64_t>(y) * gif.Width + x0) * 3;
      uint8_t* s24 = save24 + (y - y0) * w * 3;
      if (save)
        std::memcpy(s24, c24, static_cast<size_t>(w * 3));
      else
        std::memcpy(c24, s24, static_cast<size_t>(w * 3));
    }
  }
}

// Puts the decoded image (w x h indices, rows in file order) onto the canvas at its place.
void Place_(GifHandle& gif, const GifImagePos& p, const uint8_t* pix) {
  const int32_t x0 = p.Left;
  const int32_t x1 = static_cast<int32_t>(std::min<int64_t>(static_cast<int64_t>(p.Left) + p.W, gif.Width));
  if (x0 >= x1) return;
  const int32_t t = p.Transparent;
  const uint8_t* pal = gif.CurPalette;
  uint8_t* shown = Shown(gif);
  for (int32_t r = 0; r < p.H; ++r) {
    const int64_t y = static_cast<int64_t>(p.Top) + (p.Interlaced != 0 ? GIFInterlacedRow_(r, p.H) : r);
    if (y >= gif.Height) continue;
    const uint8_t* s = pix + static_cast<int64_t>(r) * p.W;
    uint8_t* c = gif.Canvas + y * gif.Width + x0;
    uint8_t* c24 = gif.Canvas24 != nullptr ? gif.Canvas24 + (y * gif.Width + x0) * 3 : nullptr;
    uint8_t* cs = shown != nullptr ? shown + y * gif.Width + x0 : nullptr;
    const int32_t n = x1 - x0;
    if (t < 0 && c24 == nullptr) {
      std::memcpy(c, s, static_cast<size_t>(n));
      if (cs != nullptr) std::memset(cs, 1, static_cast<size_t>(n));
      continue;
    }
    if (c24 == nullptr) {
      // Each row as a whole, without a branch per pixel: a transparent pixel keeps what lies below.
      for (int32_t x = 0; x < n; ++x) c[x] = s[x] == t ? c[x] : s[x];
      if (cs != nullptr)
        for (int32_t x = 0; x < n; ++x) cs[x] = s[x] == t ? cs[x] : 1;
      continue;
    }
    for (int32_t x = 0; x < n; ++x) {
      const uint8_t v = s[x];
      if (v == t) continue;
      c[x] = v;
      if (cs != nullptr) cs[x] = 1;
      c24[3 * x] = pal[3 * v];
      c24[3 * x + 1] = pal[3 * v + 1];
      c24[3 * x + 2] = pal[3 * v + 2];
    }
  }
}

// Puts the canvas back to the state before the first image.
void Rewind_(GifHandle& gif) {
  gif.Delivered = 0;
  gif.Next = 0;
  gif.Hold = 0;
  gif.Current = -1;
  gif.Disposal = 0;
  gif.Left = gif.Top = gif.W = gif.H = 0;
  gif.Transparent = -1;
  gif.KeyFrame = 0;
  std::memcpy(gif.CurPalette, gif.Palette, 768);
  FillBackground_(gif, 0, 0, gif.Width, gif.Height);
}

// Pointers of blocks made during one load; a failed load forgets them (its frame frees them).
struct FreshBlocks {
  bool Canvas = false, Canvas24 = false, PrevImg = false;
};

void EnsureCanvas_(GifHandle& gif, FreshBlocks& fresh) {
  if (gif.Width < 1 || gif.Height < 1) RaiseError(ecImage, 4, __LINE__);
  const int64_t pixels = static_cast<int64_t>(gif.Width) * gif.Height;
  bool made = false;
  if (gif.Canvas == nullptr) {
    _memalloc_(gif.Canvas, pixels * (gif.Transparency != 0 ? 2 : 1), __LINE__, "FF_GIF.GIFLoadNext.gf.Canvas",
               mkResizable);
    fresh.Canvas = made = true;
  }
  if (gif.Deep != 0 && gif.Canvas24 == nullptr) {
    _memalloc_(gif.Canvas24, pixels * 3, __LINE__, "FF_GIF.GIFLoadNext.gf.Canvas24", mkResizable);
    fresh.Canvas24 = made = true;
  }
  if (made) Rewind_(gif);
}

// Decodes image i and composes it onto the canvas (disposal of the image before it first).
void ComposeImage_(GifHandle& gif, int32_t i, FreshBlocks& fresh) {
  const GifImagePos& p = gif.Pos[i];
  // Dispose of the image shown so far.
  if (gif.Current >= 0) {
    if (gif.Disposal == 2)
      FillBackground_(gif, gif.Left, gif.Top, gif.W, gif.H);
    else if (gif.Disposal == 3)
      SaveOrRestore_(gif, false);
  }
  gif.Transparent = p.Transparent;

  // The local colour table and the packed data lie one after the other.
  const int64_t lctBytes = 3 * static_cast<int64_t>(p.LocalColors);
  const int64_t dataBytes = p.DataEnd - p.DataPos;
  if (dataBytes < 1) RaiseError(ecImage, 9, __LINE__);
  uint8_t* data = nullptr;
  _memalloc_(data, lctBytes + dataBytes, __LINE__, "FF_GIF.GIFLoadNext.GIFCmpsBuf", mkResizable, false);
  FSeek(gif.File, p.DescPos + 10);
  FRead(gif.File, data, lctBytes + dataBytes);

  uint8_t previous[768];
  std::memcpy(previous, gif.CurPalette, 768);
  if (p.LocalColors > 0)
    StorePalette(data, p.LocalColors, gif.CurPalette);
  else
    std::memcpy(gif.CurPalette, gif.Palette, 768);
  gif.PalChanged = gif.Current < 0 || std::memcmp(previous, gif.CurPalette, 768) != 0 ? kTrue : 0;

  uint8_t* tables = nullptr;
  _memalloc_(tables, kGifLzwTableBytes, __LINE__, "FF_GIF.GIFLoadNext.GIFLZWChBuf", mkResizable, false);
  uint8_t* pix = nullptr;
  const int64_t pixels = static_cast<int64_t>(p.W) * p.H;
  // Every code takes at least 2 bits and gives at most 4096 pixels: data that cannot fill the
  // image is refused before a picture of its size is made.
  if (pixels > dataBytes * 16384) RaiseError(ecImage, 9, __LINE__);
  if (pixels > 0) {
    // Straight onto the canvas when nothing else is needed; else through the temporary picture.
    const bool straight =
        CoversScreen(gif, p) && p.W == gif.Width && p.H == gif.Height && p.Transparent < 0 && p.Interlaced == 0 && gif.Canvas24 == nullptr &&
        p.Disposal != 3;
    uint8_t* out = gif.Canvas;
    const int64_t outLen = straight ? ScreenPixels(gif) : pixels;
    if (!straight) {
      _memalloc_(pix, pixels, __LINE__, "FF_GIF.GIFLoadNext.ih_temp", mkResizable, false);
      out = pix;
    }
    int64_t produced = 0;
    // Into the temporary picture, whose every pixel after the produced ones is set below, the
    // decoder may write ahead; onto the canvas it writes exactly.
    const int32_t decoded = straight ? DecodeLZW_<false>(data + lctBytes, dataBytes, out, outLen, tables, produced)
                                     : DecodeLZW_<true>(data + lctBytes, dataBytes, out, outLen, tables, produced);
    if (decoded == kGifDataEnded) {
      // A file cut short: the image is shown as far as its data goes, the rest as the background
      // (or, with a transparent index, as what lies below), and the loss is logged.
      SetWarning(ecImage, 9, __LINE__);
      const int32_t rest = p.Transparent >= 0 ? p.Transparent : (gif.Background >= 0 ? gif.Background : 0);
      std::memset(out + produced, rest, static_cast<size_t>(outLen - produced));
    } else if (decoded != 0) {
      RaiseError(ecImage, 9, __LINE__);
    } else if (!straight && produced < outLen) {
      // An end code before the image is full: the rest of the image is index 0.
      std::memset(out + produced, 0, static_cast<size_t>(outLen - produced));
    }
    if (straight && Shown(gif) != nullptr) std::memset(Shown(gif), 1, static_cast<size_t>(ScreenPixels(gif)));
  }
  MemFree(tables);
  MemFree(data);

  // This image's rectangle and disposal; for disposal 3 the area it covers is kept first.
  gif.Left = p.Left;
  gif.Top = p.Top;
  gif.W = p.W;
  gif.H = p.H;
  gif.Disposal = p.Disposal;
  gif.Current = i;
  if (p.Disposal == 3) {
    if (gif.PrevImg == nullptr) {
      const int64_t screen = static_cast<int64_t>(gif.Width) * gif.Height;
      const int64_t planes = 1 + (gif.Transparency != 0 ? 1 : 0) + (gif.Canvas24 != nullptr ? 3 : 0);
      _memalloc_(gif.PrevImg, screen * planes, __LINE__, "FF_GIF.GIFLoadNext.gf.PrevImg", mkResizable);
      fresh.PrevImg = true;
    }
    SaveOrRestore_(gif, true);
  }
  if (pix != nullptr) {
    Place_(gif, p, pix);
    MemFree(pix);
  }
  gif.KeyFrame = i == 0 || (CoversScreen(gif, p) && p.Transparent < 0) ? kTrue : 0;
}

// Steps one slot forward: decodes the next image unless the current one still holds.
void AdvanceSlot_(GifHandle& gif, FreshBlocks& fresh) {
  if (gif.Hold > 0) {
    --gif.Hold;
    ++gif.Delivered;
    gif.PalChanged = 0;
    return;
  }
  if (gif.Next >= gif.Count || gif.Pos == nullptr) RaiseError(ecMovie, 7, __LINE__);
  const int32_t i = gif.Next;
  gif.Hold = gif.Pos[i].Slots - 1;
  ++gif.Next;
  ++gif.Delivered;
  ComposeImage_(gif, i, fresh);
}

// Copies the canvas into img, and the alpha picture when asked.
void Deliver_(GifHandle& gif, Qimg& img, Qimg* alpha) {
  const int64_t pixels = static_cast<int64_t>(gif.Width) * gif.Height;
  if (gif.Canvas24 != nullptr) {
    _imgalloc_(img, gif.Width, gif.Height, 24, __LINE__, "FF_GIF.GIFLoadNext.ih", false);
    std::memcpy(img.Data, gif.Canvas24, static_cast<size_t>(pixels * 3));
  } else {
    _imgalloc_(img, gif.Width, gif.Height, 8, __LINE__, "FF_GIF.GIFLoadNext.ih", false);
    std::memcpy(img.Data, gif.Canvas, static_cast<size_t>(pixels));
  }
  std::memcpy(img.Palette.data(), gif.CurPalette, 768);
  if (alpha != nullptr) {
    _imgalloc_(*alpha, gif.Width, gif.Height, 8, __LINE__, "FF_GIF.GIFLoadNext.imgAlpha^", false);
    PalSetGray(alpha->Palette);
    const uint8_t* shown = Shown(gif);
    if (shown == nullptr) {
      std::memset(alpha->Data, 255, static_cast<size_t>(pixels));
    } else {
      for (int64_t k = 0; k < pixels; ++k) alpha->Data[k] = shown[k] != 0 ? 255 : 0;
    }
  }
}

// Runs one load inside its frame. A failure forgets the blocks the load made (the frame frees
// them) and the records it allocated for the caller, so no pointer to a freed block stays.
template <class Work>
void GuardedLoad_(const char* name, GifHandle& gif, Qimg& img, Qimg* alpha, Work&& work) {
  Framed(name, [&] {
    const bool imgWasEmpty = img.Data == nullptr;
    const bool alphaWasEmpty = alpha != nullptr && alpha->Data == nullptr;
    FreshBlocks fresh;
    try {
      work(fresh);
    } catch (...) {
      if (fresh.Canvas) gif.Canvas = nullptr;
      if (fresh.Canvas24) gif.Canvas24 = nullptr;
      if (fresh.PrevImg) gif.PrevImg = nullptr;
      // Without its canvas the handle starts again from the first image.
      if (gif.Canvas == nullptr || (gif.Deep != 0 && gif.Canvas24 == nullptr)) gif.Delivered = gif.Next = gif.Hold = 0;
      if (imgWasEmpty) ImgClear(img);
      if (alphaWasEmpty) ImgClear(*alpha);
      throw;
    }
  });
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Pieces over byte buffers

int32_t GIFDecodeLZW_(const uint8_t* data, int64_t len, uint8_t* out, int64_t outLen, uint8_t* tables,
                      int64_t* produced) {
  int64_t o = 0;
  const int32_t result = DecodeLZW_<false>(data, len, out, outLen, tables, o);
  if (produced != nullptr) *produced = o;
  return result;
}

namespace {

// The strings of the root codes: byte i is i (with room for the 16-byte moves below).
struct LzwRoots {
  uint8_t Byte[256 + 16] = {};
  constexpr LzwRoots() {
    for (int i = 0; i < 256; ++i) Byte[i] = static_cast<uint8_t>(i);
  }
};
constexpr LzwRoots kLzwRoots;

// Every string in the table is a root byte, or a string already written to out followed by the
// byte that follows it there: the string of a code is kept as where it starts and its length,
// and writing it is one copy (no walk along a chain of prefixes).
//
// Blind: strings of up to 16 bytes are moved as 16 bytes whenever 16 bytes of out are left from
// the write position. The bytes past the string are overwritten by the strings after it; when
// decoding ends early they are garbage, so a caller may ask for this only when it replaces
// everything after the produced pixels itself.
template <bool Blind>
int32_t DecodeLZW_(const uint8_t* data, int64_t len, uint8_t* out, int64_t outLen, uint8_t* tables, int64_t& o) {
  if (data == nullptr || len < 1 || out == nullptr || tables == nullptr) return 9;
  const int32_t minSize = data[0];
  if (minSize < 1 || minSize > 11) return 9;
  const uint8_t** start = reinterpret_cast<const uint8_t**>(tables);
  uint16_t* length = reinterpret_cast<uint16_t*>(tables + 4096 * 8);

  const int32_t clear = 1 << minSize;
  const int32_t end = clear + 1;
  const int32_t firstFree = clear + 2;
  // Encoders may choose minimum sizes up to 11, but a pixel has 8 bits: only roots 0 to 255 have
  // a string, and a root code above them is data no picture can hold (refused where it comes).
  const int32_t roots = std::min(clear, 256);
  for (int32_t i = 0; i < roots; ++i) {
    start[i] = kLzwRoots.Byte + i;
    length[i] = 1;
  }
  int32_t codeSize = minSize + 1;
  int32_t nextFree = firstFree;
  int32_t largest = (1 << codeSize) - 1;
  int32_t prev = -1;
  int64_t prevStart = 0;  // where the string of prev was written
  int64_t prevLength = 0;

  // The bit reader: sub-block lengths are stepped over; a length of 0 ends the data.
  int64_t pos = 1;
  int32_t blockLeft = 0;
  bool ended = false;
  uint64_t bits = 0;
  int32_t nbits = 0;

  // The width grows once the next free entry passes the largest code of the width, checked
  // after every code: the encoder counts the first code after a clear too (with a minimum code
  // size of 1 the first free entry already needs the wider codes).
  auto grow = [&] {
    if (nextFree > largest && codeSize < 12) {
      ++codeSize;
      largest = (1 << codeSize) - 1;
    }
  };

  for (;;) {
    if (nbits < codeSize) {
      // Whole bytes of the current sub-block, several at once where the block and data allow.
      const int32_t room = (63 - nbits) >> 3;
      if (blockLeft >= room && len - pos >= 8) {
        uint64_t w;
        std::memcpy(&w, data + pos, 8);
        bits |= (w & ((uint64_t{1} << (8 * room)) - 1)) << nbits;
        nbits += 8 * room;
        pos += room;
        blockLeft -= room;
      }
      while (nbits <= 56 && !ended) {
        if (blockLeft == 0) {
          if (pos >= len || data[pos] == 0) {
            ended = true;
            break;
          }
          blockLeft = data[pos++];
        }
        if (pos >= len) {
          ended = true;
          break;
        }
        bits |= static_cast<uint64_t>(data[pos++]) << nbits;
        nbits += 8;
        --blockLeft;
      }
      // The data ran out before the picture was full: decoding simply ends there.
      if (nbits < codeSize) return o >= outLen ? 0 : kGifDataEnded;
    }
    const int32_t code = static_cast<int32_t>(bits & ((1u << codeSize) - 1));
    bits >>= codeSize;
    nbits -= codeSize;

    if (code == end) return 0;
    if (code == clear) {
      codeSize = minSize + 1;
      nextFree = firstFree;
      largest = (1 << codeSize) - 1;
      prev = -1;
      continue;
    }
    if (prev < 0) {
      // The first code after a clear stands alone: only a root code can.
      if (code >= roots) return 9;
      if (o >= outLen) return 9;
      prevStart = o;
      prevLength = 1;
      out[o++] = static_cast<uint8_t>(code);
      prev = code;
      if (o == outLen) return 0;
      grow();
      continue;
    }
    if (code > nextFree || (code >= roots && code < clear)) return 9;
    int64_t n;
    if (code < nextFree) {
      n = length[code];
      if (n > outLen - o) return 9;
      // A root, or a string that lies wholly before o.
      const uint8_t* s = start[code];
      uint8_t* d = out + o;
      if (Blind && n <= 16 && outLen - o >= 16) {
        uint8_t chunk[16];
        std::memcpy(chunk, s, 16);
        std::memcpy(d, chunk, 16);
      } else {
        FFCopyBytes(d, s, n);
      }
    } else {
      // The code being defined right now: the previous string and its own first byte. The
      // previous string ends where this one starts.
      n = prevLength + 1;
      if (n > outLen - o) return 9;
      std::memcpy(out + o, out + prevStart, static_cast<size_t>(prevLength));
      out[o + n - 1] = out[o];
    }
    if (nextFree <= 4095) {
      // The previous string and this one's first byte: in out from prevStart on.
      start[nextFree] = out + prevStart;
      length[nextFree] = static_cast<uint16_t>(prevLength + 1);
      ++nextFree;
    }
    prev = code;
    prevStart = o;
    prevLength = n;
    o += n;
    if (o == outLen) return 0;
    grow();
  }
}

}  // namespace

int32_t GIFInterlacedRow_(int32_t r, int32_t h) {
  const int32_t n1 = (h + 7) / 8;
  if (r < n1) return 8 * r;
  r -= n1;
  const int32_t n2 = (h + 3) / 8;
  if (r < n2) return 4 + 8 * r;
  r -= n2;
  const int32_t n3 = (h + 1) / 4;
  if (r < n3) return 2 + 4 * r;
  r -= n3;
  return 1 + 2 * r;
}

bool GIFMakeSlots_(GifImagePos* images, int32_t count, double& frameRate, int64_t& frames) {
  int32_t d = 0;
  for (int32_t i = 0; i < count; ++i)
    if (images[i].Delay > 0 && (d == 0 || images[i].Delay < d)) d = images[i].Delay;
  frameRate = d > 0 ? 100.0 / d : 0.0;
  frames = 0;
  for (int32_t i = 0; i < count; ++i) {
    int64_t slots = 1;
    if (d > 0 && images[i].Delay > 0) slots = FpuRound(static_cast<long double>(images[i].Delay) / d);
    if (slots < 1) slots = 1;
    images[i].Slots = static_cast<int32_t>(slots);
    frames += slots;
  }
  return frames <= 0x7FFFFFFF;
}

int32_t GIFScanCountForTest() { return g_scanCount.load(); }

void GIFDropCacheForTest() {
  GifCache& c = Cache();
  std::lock_guard<std::mutex> lock(c.Lock);
  c.Valid = false;
  c.Name.clear();
  std::vector<GifImagePos>().swap(c.Images);
}

// ---------------------------------------------------------------------------------------------
// The unit's routines

void GIFOpen(GifHandle& gif, const std::string& fileName, bool firstOnly) {
  Framed("FF_GIF.GIFOpen", [&] {
    try {
      Open_(gif, fileName, firstOnly);
    } catch (...) {
      // The frame releases the blocks and the file: the handle must not keep them.
      gif = GifHandle{};
      throw;
    }
  });
}

void GIFLoadNext(GifHandle& gif, Qimg& img, Qimg* alpha) {
  GuardedLoad_("FF_GIF.GIFLoadNext", gif, img, alpha, [&](FreshBlocks& fresh) {
    EnsureCanvas_(gif, fresh);
    AdvanceSlot_(gif, fresh);
    Deliver_(gif, img, alpha);
  });
}

void GIFLoad(GifHandle& gif, Qimg& img, int32_t frame, Qimg* alpha) {
  GuardedLoad_("FF_GIF.GIFLoad", gif, img, alpha, [&](FreshBlocks& fresh) {
    if (frame < 1 || frame > gif.Frames || gif.Pos == nullptr) RaiseError(ecMovie, 1, __LINE__);
    EnsureCanvas_(gif, fresh);
    if (gif.Simple != 0 && frame != gif.Delivered + 1) {
      // Every image stands alone: decode the one that holds the slot.
      int32_t image = gif.Count - 1, first = 1;
      for (int32_t i = 0; i < gif.Count; ++i) {
        if (frame < first + gif.Pos[i].Slots) {
          image = i;
          break;
        }
        first += gif.Pos[i].Slots;
      }
      Rewind_(gif);
      ComposeImage_(gif, image, fresh);
      gif.Next = image + 1;
      gif.Delivered = frame;
      gif.Hold = first + gif.Pos[image].Slots - 1 - frame;
    } else {
      if (gif.Delivered >= frame) Rewind_(gif);
      while (gif.Delivered < frame) AdvanceSlot_(gif, fresh);
    }
    Deliver_(gif, img, alpha);
  });
}

void GIFClose(GifHandle& gif) {
  Framed("FF_GIF.GIFClose", [&] {
    if (gif.PrevImg != nullptr) MemFree(gif.PrevImg);
    if (gif.Canvas != nullptr) MemFree(gif.Canvas);
    if (gif.Canvas24 != nullptr) MemFree(gif.Canvas24);
    if (gif.Pos != nullptr) MemFree(gif.Pos);
    const bool writing = gif.Writing != 0;
    void* writeHandle = gif.WriteHandle;
    const int32_t file = gif.File;
    gif = GifHandle{};
    if (!writing) {
      if (file != 0) FClose(file);
      return;
    }
    const GifApi* api = t_binding.Get(clGif, BindGif_);
    int errorCode = 0;
    if (api == nullptr || writeHandle == nullptr || api->CloseFile(writeHandle, &errorCode) == 0)
      SetError(ecMovie, 2, __LINE__);
  });
}

void GIFInfo(const std::string& fileName, FFInfoRec& info, bool full) {
  Framed("FF_GIF.GIFInfo", [&] {
    GifHandle gif;
    GIFOpen(gif, fileName, !full);
    info.FormatId = fidGIF;
    info.FileSize = static_cast<double>(gif.FileSize);
    info.Video.Width = gif.Width;
    info.Video.Height = gif.Height;
    info.Video.BytesPP = gif.BytesPP;
    info.Video.OrigBpp = 8;
    info.Video.Bpp = gif.Bpp;
    info.Video.Frames = gif.Frames;
    info.Video.FrameRate = gif.FrameRate;
    info.Video.CodecName = kGifCodecName;
    info.Video.HasVideo = gif.Width > 0 ? kTrue : 0;
    info.Video.VideoSupported = info.Video.HasVideo;
    GIFClose(gif);
  });
}

void GIFDllLoad() { FFLoadCodecLib(clGif); }

void GIFDllFree() {
  FFFreeCodecLib(clGif);
  GIFDropCacheForTest();
}

// ---- The dispatcher's entries ----

const FFUnit kGifUnit = {
    .Kind = fuMovie,
    .Info = [](const std::string& name, FFInfoRec& info, FFProgressProc, void*) { GIFInfo(name, info, true); },
    // The first image only; its slot fills the alpha picture itself.
    .Load =
        [](const std::string& name, Qimg& img, Qimg* alpha) {
          GifHandle gif;
          GIFOpen(gif, name, true);
          GIFLoadNext(gif, img, alpha);
          GIFClose(gif);
        },
    .FillsAlpha = -1,
    .CodecName = [](const FFVideoOpts&, std::string& out) { out = "LZW compression"; },
    .StateName = "GIF",
    .StateSize = static_cast<int64_t>(sizeof(GifHandle)),
    .NewState = FFNewState<GifHandle>,
    .Open = [](void* s, const std::string& name, FFProgressProc, void*) {
      GIFOpen(FFStateOf<GifHandle>(s), name, false);
    },
    .ImgLoad = [](void* s, Qimg& img, int32_t frame, Qimg* alpha) {
      GIFLoad(FFStateOf<GifHandle>(s), img, frame, alpha);
    },
    .Close = [](void* s, int32_t, int32_t, int32_t) { GIFClose(FFStateOf<GifHandle>(s)); },
    .View = [](const void* s) {
      const GifHandle& h = FFStateOf<GifHandle>(s);
      return FFMovieView{h.Frames, h.Delivered, 0, h.KeyFrame, h.Writing};  // no sound
    },
};

}  // namespace tavelo
