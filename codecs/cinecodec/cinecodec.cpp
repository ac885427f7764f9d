// cinecodec.dll: the Cine file layout (see cinecodec.h), read with positioned reads so a handle
// keeps no file position of its own. Every number taken from the file is checked against the
// file's size before it is used as an offset, a size or a count.
#include "codecs/cinecodec/cinecodec.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

#define CVR_EXPORT __attribute__((visibility("default")))

namespace {

constexpr int64_t kFileHeaderSize = 44;
constexpr int64_t kBitmapHeaderSize = 40;
// The setup fields this reader takes, by their offset in the setup block.
constexpr int64_t kSetupFrameRate16 = 0;
constexpr int64_t kSetupMark = 140;
constexpr int64_t kSetupLength = 142;
constexpr int64_t kSetupFlipV = 760;
constexpr int64_t kSetupFrameRate = 768;
constexpr int64_t kSetupCfa = 808;
constexpr int64_t kSetupBright = 812;
constexpr int64_t kSetupContrast = 816;
constexpr int64_t kSetupGamma = 820;
constexpr int64_t kSetupRealBpp = 896;
constexpr int64_t kSetupSaturation = 6016;
constexpr int64_t kSetupNeeded = kSetupRealBpp + 4;  // a setup must hold at least this much
constexpr uint16_t kSetupMarkValue = 0x5453;         // "ST"
// A delivered frame larger than this is refused (the program's picture records stop at 2^31).
constexpr int64_t kMaxFrameBytes = 0x7FFFFFFF;

uint16_t Le16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
uint32_t Le32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) | (static_cast<uint32_t>(p[2]) << 16) |
         (static_cast<uint32_t>(p[3]) << 24);
}
int64_t Le64(const uint8_t* p) {
  uint64_t v = 0;
  for (int i = 7; i >= 0; --i) v = (v << 8) | p[i];
  return static_cast<int64_t>(v);
}

class File {
 public:
  ~File() { Close(); }
  bool Open(const char* name) {
    Close();
    if (name == nullptr) return false;
    fd_ = ::open(name, O_RDONLY | O_CLOEXEC);
    if (fd_ < 0) return false;
    struct stat st {};
    if (::fstat(fd_, &st) != 0 || !S_ISREG(st.st_mode)) {
      Close();
      return false;
    }
    size_ = st.st_size;
    return true;
  }
  void Close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
    size_ = 0;
  }
  int64_t Size() const { return size_; }
  // Reads exactly n bytes at pos; false when they do not all lie in the file.
  bool ReadAt(int64_t pos, void* dest, int64_t n) const {
    if (fd_ < 0 || pos < 0 || n < 0 || pos > size_ || n > size_ - pos) return false;
    auto* d = static_cast<uint8_t*>(dest);
    while (n > 0) {
      const ssize_t got = ::pread(fd_, d, static_cast<size_t>(n), pos);
      if (got <= 0) return false;
      d += got;
      pos += got;
      n -= got;
    }
    return true;
  }

 private:
  int fd_ = -1;
  int64_t size_ = 0;
};

struct Layout {
  int32_t Width = 0;
  int32_t Height = 0;
  int32_t BitCount = 0;     // as stored: 8, 16, 24 or 48
  int32_t Compression = 0;  // 0 plain, 1 JPEG, 2 raw sensor data
  int32_t Codec = kCvrUnknown;
  bool BottomUp = false;
  int32_t Shift = 8;        // 16-bit samples are delivered as value >> Shift
  int32_t OutBytes = 1;     // delivered bytes per pixel
  int32_t FrameRate = 0;
  int32_t Saturation = 0, Gamma = 0, Brightness = 0, Contrast = 0;
  int32_t ImageCount = 0;
  int64_t OffsetTable = 0;
};

int32_t ClampInt32(int64_t v) {
  if (v > 0x7FFFFFFF) return 0x7FFFFFFF;
  if (v < -0x7FFFFFFF) return -0x7FFFFFFF;
  return static_cast<int32_t>(v);
}

bool Describe(const File& f, Layout& out) {
  Layout l;
  uint8_t h[kFileHeaderSize];
  if (!f.ReadAt(0, h, kFileHeaderSize)) return false;
  if (h[0] != 'C' || h[1] != 'I' || Le16(h + 2) < kFileHeaderSize) return false;
  l.Compression = Le16(h + 4);
  if (l.Compression > 2 || Le16(h + 6) != 1) return false;  // version 1 only
  const uint32_t imageCount = Le32(h + 20);
  const int64_t offBitmap = Le32(h + 24);
  const int64_t offSetup = Le32(h + 28);
  l.OffsetTable = Le32(h + 32);
  if (imageCount < 1 || imageCount > 0x7FFFFFFF) return false;
  l.ImageCount = static_cast<int32_t>(imageCount);
  if (l.OffsetTable < kFileHeaderSize || static_cast<int64_t>(imageCount) * 8 > f.Size() - l.OffsetTable) return false;

  uint8_t b[kBitmapHeaderSize];
  if (offBitmap < kFileHeaderSize || !f.ReadAt(offBitmap, b, kBitmapHeaderSize)) return false;
  const int32_t width = static_cast<int32_t>(Le32(b + 4));
  const int32_t height = static_cast<int32_t>(Le32(b + 8));
  if (width < 1 || height < 1 || Le16(b + 12) != 1) return false;
  l.Width = width;
  l.Height = height;
  l.BitCount = Le16(b + 14);
  if (l.BitCount != 8 && l.BitCount != 16 && l.BitCount != 24 && l.BitCount != 48) return false;
  if (Le32(b + 16) != 0) return false;  // only unpacked samples

  uint8_t s[kSetupNeeded];
  if (offSetup < kFileHeaderSize || !f.ReadAt(offSetup, s, kSetupNeeded)) return false;
  if (Le16(s + kSetupMark) != kSetupMarkValue) return false;
  const int64_t setupLength = Le16(s + kSetupLength);
  if (setupLength < kSetupNeeded) return false;
  l.BottomUp = Le32(s + kSetupFlipV) == 0;
  int64_t rate = Le32(s + kSetupFrameRate);
  if (rate == 0) rate = Le16(s + kSetupFrameRate16);
  l.FrameRate = ClampInt32(rate);
  const uint32_t cfa = Le32(s + kSetupCfa) & 0xFFFFFF;  // the top byte holds flags of partly grey sensors
  l.Brightness = static_cast<int32_t>(Le32(s + kSetupBright));
  l.Contrast = static_cast<int32_t>(Le32(s + kSetupContrast));
  l.Gamma = static_cast<int32_t>(Le32(s + kSetupGamma));
  const uint32_t realBpp = Le32(s + kSetupRealBpp);
  l.Shift = realBpp > 8 && realBpp <= 16 ? static_cast<int32_t>(realBpp) - 8 : 8;
  if (setupLength >= kSetupSaturation + 4) {
    uint8_t raw[4];
    if (f.ReadAt(offSetup + kSetupSaturation, raw, 4)) {
      float factor;
      const uint32_t bits = Le32(raw);
      std::memcpy(&factor, &bits, 4);
      // 0 (or anything not a positive number) means the writer did not set it.
      if (std::isfinite(factor) && factor > 0.0f) {
        const double percent = std::nearbyint((static_cast<double>(factor) - 1.0) * 100.0);
        l.Saturation = static_cast<int32_t>(percent < -100 ? -100 : percent > 100 ? 100 : percent);
      }
    }
  }

  switch (l.Compression) {
    case 0:
      l.Codec = kCvrPlain;
      l.OutBytes = l.BitCount >= 24 ? 3 : 1;
      break;
    case 1:
      l.Codec = kCvrJpeg;
      l.OutBytes = l.BitCount >= 24 ? 3 : 1;
      break;
    default:
      if (l.BitCount != 8 && l.BitCount != 16) return false;
      l.OutBytes = 1;
      l.Codec = cfa == 1 ? kCvrVri : cfa == 2 ? kCvrVriV6 : cfa == 3 ? kCvrBayer : kCvrUnknown;
      break;
  }
  // One frame as stored must fit in the file, and as delivered in a picture record.
  const int64_t pixels = static_cast<int64_t>(l.Width) * l.Height;
  if (pixels > f.Size() || pixels * (l.BitCount / 8) > f.Size() || pixels * l.OutBytes > kMaxFrameBytes) return false;
  out = l;
  return true;
}

struct Handle {
  File F;
  Layout L;
  int32_t Current = 0;
  std::vector<uint8_t> Stored;
};

// The stored rows of frame index into h.Stored; stride gets the bytes between rows.
bool ReadStored(Handle& h, int32_t index, int64_t& stride) {
  const Layout& l = h.L;
  if (l.Codec == kCvrJpeg || l.Codec == kCvrUnknown || index < 0 || index >= l.ImageCount) return false;
  uint8_t raw[8];
  if (!h.F.ReadAt(l.OffsetTable + static_cast<int64_t>(index) * 8, raw, 8)) return false;
  const int64_t pos = Le64(raw);
  if (pos < 0 || !h.F.ReadAt(pos, raw, 4)) return false;
  const int64_t annotation = Le32(raw);
  if (annotation < 8 || annotation > h.F.Size() - pos || !h.F.ReadAt(pos + annotation - 4, raw, 4)) return false;
  const int64_t imageSize = Le32(raw);
  const int64_t data = pos + annotation;
  const int64_t packed = static_cast<int64_t>(l.Width) * (l.BitCount / 8);
  stride = packed;
  // Plain 8- and 24-bit rows are padded to 4 bytes when the image is large enough to hold that.
  if (l.Compression == 0 && (l.BitCount == 8 || l.BitCount == 24)) {
    const int64_t aligned = (packed + 3) & ~int64_t{3};
    if (aligned * l.Height <= imageSize) stride = aligned;
  }
  const int64_t bytes = stride * l.Height;
  if (bytes > imageSize) return false;
  try {
    h.Stored.resize(static_cast<size_t>(bytes));
  } catch (...) {
    return false;
  }
  return h.F.ReadAt(data, h.Stored.data(), bytes);
}

void Deliver(const Handle& h, int64_t stride, uint8_t* out) {
  const Layout& l = h.L;
  const int64_t outRow = static_cast<int64_t>(l.Width) * l.OutBytes;
  for (int32_t y = 0; y < l.Height; ++y) {
    const int32_t storedRow = l.BottomUp ? l.Height - 1 - y : y;
    const uint8_t* src = h.Stored.data() + storedRow * stride;
    uint8_t* dst = out + y * outRow;
    if (l.BitCount == 8 || l.BitCount == 24) {
      std::memcpy(dst, src, static_cast<size_t>(outRow));
      continue;
    }
    // 16-bit samples (one per grey or mosaic pixel, three per colour pixel).
    for (int64_t i = 0; i < outRow; ++i) {
      const uint32_t v = Le16(src + 2 * i) >> l.Shift;
      dst[i] = static_cast<uint8_t>(v > 255 ? 255 : v);
    }
  }
}

void Zero(int32_t* p) {
  if (p != nullptr) *p = 0;
}
void Put(int32_t* p, int32_t v) {
  if (p != nullptr) *p = v;
}

}  // namespace

extern "C" {

CVR_EXPORT int32_t cvr_info(const char* fileName, int32_t* width, int32_t* height, int32_t* storedBits,
                            int32_t* bitsPerPixel, int32_t* bytesPerPixel, int32_t* codec, int32_t* frameCount,
                            int32_t* frameRate, int32_t* saturation, int32_t* gamma, int32_t* brightness,
                            int32_t* contrast) {
  for (int32_t* p : {width, height, storedBits, bitsPerPixel, bytesPerPixel, codec, frameCount, frameRate, saturation,
                     gamma, brightness, contrast})
    Zero(p);
  File f;
  Layout l;
  if (!f.Open(fileName) || !Describe(f, l)) return 0;
  Put(width, l.Width);
  Put(height, l.Height);
  Put(storedBits, l.BitCount);
  Put(bitsPerPixel, l.OutBytes * 8);
  Put(bytesPerPixel, l.OutBytes);
  Put(codec, l.Codec);
  Put(frameCount, l.ImageCount);
  Put(frameRate, l.FrameRate);
  Put(saturation, l.Saturation);
  Put(gamma, l.Gamma);
  Put(brightness, l.Brightness);
  Put(contrast, l.Contrast);
  return 1;
}

CVR_EXPORT CvrHandleLib cvr_open(const char* fileName) {
  std::unique_ptr<Handle> h(new (std::nothrow) Handle);
  if (h == nullptr || !h->F.Open(fileName) || !Describe(h->F, h->L)) return nullptr;
  return h.release();
}

CVR_EXPORT int32_t cvr_seek(CvrHandleLib handle, int32_t frameIndex) {
  auto* h = static_cast<Handle*>(handle);
  if (h == nullptr || frameIndex < 0 || frameIndex >= h->L.ImageCount) return 0;
  h->Current = frameIndex;
  return 1;
}

CVR_EXPORT int32_t cvr_read(CvrHandleLib handle, void* buffer, uint8_t* palette) {
  auto* h = static_cast<Handle*>(handle);
  if (h == nullptr || buffer == nullptr) return 0;
  int64_t stride = 0;
  if (!ReadStored(*h, h->Current, stride)) return 0;
  Deliver(*h, stride, static_cast<uint8_t*>(buffer));
  if (palette != nullptr && h->L.OutBytes == 1)
    for (int i = 0; i < 256; ++i) palette[3 * i] = palette[3 * i + 1] = palette[3 * i + 2] = static_cast<uint8_t>(i);
  ++h->Current;  // past the last frame the next sequential read fails
  return 1;
}

CVR_EXPORT void cvr_close(CvrHandleLib handle) { delete static_cast<Handle*>(handle); }

}  // extern "C"
