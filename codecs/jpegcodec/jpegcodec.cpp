// jpegcodec: JPEG reading and writing over libjpeg-turbo (see jpegcodec.h for the contract).
//
// libjpeg reports a fatal error by calling error_exit, which must not return: ours jumps back to
// the setjmp of the call in progress. Everything that such a jump skips lives in a state record
// in the caller's frame (never in the frame that called setjmp), and the frames between setjmp
// and the jump are libjpeg's own C frames and ours without destructors, so nothing is lost on
// the way out; the caller then releases what the record holds.
#include "codecs/jpegcodec/jpegcodec.h"

#include <sys/stat.h>

#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <jerror.h>
#include <jpeglib.h>

#include "codecs/described.h"

#define JPEGCODEC_EXPORT extern "C" __attribute__((visibility("default")))

namespace tavelo::jpegcodec {
namespace {

constexpr int64_t kMaxPictureBytes = 0x7FFFFFFF;
// libjpeg's working memory for one picture (progressive files keep every coefficient): a file
// that asks for more fails cleanly instead of exhausting the machine.
constexpr long kMaxWorkingMemory = 1L << 31;

struct ErrorMgr {
  jpeg_error_mgr pub;
  jmp_buf jump;
  bool cutOff;  // the stream ended before the picture was complete
};

extern "C" void ErrorExit(j_common_ptr cinfo) {
  ErrorMgr* err = reinterpret_cast<ErrorMgr*>(cinfo->err);
  std::longjmp(err->jump, 1);
}

extern "C" void EmitMessage(j_common_ptr cinfo, int level) {
  // Warnings (level -1) are tolerated; the one that says the data ran out is noted, as libjpeg
  // fills the rest of the picture with grey and calls it done.
  if (level < 0 && cinfo->err->msg_code == JWRN_JPEG_EOF) reinterpret_cast<ErrorMgr*>(cinfo->err)->cutOff = true;
}

extern "C" void OutputMessage(j_common_ptr) {}

void InitErrors(ErrorMgr& err) {
  jpeg_std_error(&err.pub);
  err.pub.error_exit = &ErrorExit;
  err.pub.emit_message = &EmitMessage;
  err.pub.output_message = &OutputMessage;
  err.cutOff = false;
}

struct Geometry {
  int32_t width = 0;
  int32_t height = 0;
  int32_t bytesPP = 0;
  int32_t xRes = 0;
  int32_t yRes = 0;
};

// The size of the buffer the last info call of each thread described.
codecs::DescribedTable<Geometry> g_described;

// What identifies the file a decoder was opened on, to see that it was not replaced since.
struct FileStamp {
  dev_t dev = 0;
  ino_t ino = 0;
  off_t size = 0;
  timespec mtime{};
};

bool SameStamp(const FileStamp& a, const FileStamp& b) {
  return a.dev == b.dev && a.ino == b.ino && a.size == b.size && a.mtime.tv_sec == b.mtime.tv_sec &&
         a.mtime.tv_nsec == b.mtime.tv_nsec;
}

bool StampOf(const char* fileName, FileStamp& stamp) {
  struct stat st;
  if (::stat(fileName, &st) != 0) return false;
  stamp.dev = st.st_dev;
  stamp.ino = st.st_ino;
  stamp.size = st.st_size;
  stamp.mtime = st.st_mtim;
  return true;
}

struct ReadState {
  jpeg_decompress_struct cinfo;
  ErrorMgr err;
  bool created = false;
  FILE* file = nullptr;
  uint8_t* cmykRow = nullptr;  // one row of 4-byte C, M, Y, K samples
  // Inputs.
  std::string fileName;
  const uint8_t* data = nullptr;
  int32_t dataSize = 0;
  uint8_t* pixels = nullptr;
  bool bgr = false;  // colour pixels as B, G, R
  const Geometry* expected = nullptr;
  // Outputs.
  Geometry geometry;
  FileStamp stamp;  // of the file, when read from one
  int32_t result = JPG_ERR_DATA;

  ReadState() = default;
  ReadState(const ReadState&) = delete;
  ReadState& operator=(const ReadState&) = delete;
  ~ReadState() {
    if (created) jpeg_destroy_decompress(&cinfo);
    if (file != nullptr) std::fclose(file);
    std::free(cmykRow);
  }
};

// The decoder that each thread's last description left standing after the file's header, so
// that the read which follows it goes on from there instead of opening and parsing the file a
// second time. Kept for a few threads at most (the oldest goes first); a read takes it.
class HeldDecoders {
 public:
  void Keep(std::unique_ptr<ReadState> s) {
    std::vector<Entry> gone;
    {
      std::lock_guard<std::mutex> lock(lock_);
      TakeMine(gone);
      entries_.push_back({std::this_thread::get_id(), std::move(s)});
      if (entries_.size() > kEntries) {
        gone.push_back(std::move(entries_.front()));
        entries_.erase(entries_.begin());
      }
    }
  }
  // The calling thread's decoder when it stands on fileName (and the file is still the one it
  // opened); whatever else this thread kept is released.
  std::unique_ptr<ReadState> Take(const char* fileName) {
    std::vector<Entry> gone;
    {
      std::lock_guard<std::mutex> lock(lock_);
      TakeMine(gone);
    }
    if (gone.empty() || fileName == nullptr || gone.front().state->fileName != fileName) return nullptr;
    FileStamp now;
    if (!StampOf(fileName, now) || !SameStamp(now, gone.front().state->stamp)) return nullptr;
    return std::move(gone.front().state);
  }

 private:
  struct Entry {
    std::thread::id thread;
    std::unique_ptr<ReadState> state;
  };
  static constexpr size_t kEntries = 8;
  void TakeMine(std::vector<Entry>& out) {
    const std::thread::id me = std::this_thread::get_id();
    for (auto it = entries_.begin(); it != entries_.end();) {
      if (it->thread == me) {
        out.push_back(std::move(*it));
        it = entries_.erase(it);
      } else {
        ++it;
      }
    }
  }
  std::mutex lock_;
  std::vector<Entry> entries_;
};

HeldDecoders g_held;

int32_t Resolution(const jpeg_decompress_struct& cinfo, unsigned density) {
  if (!cinfo.saw_JFIF_marker) return 0;
  if (cinfo.density_unit == 1) return static_cast<int32_t>(density);
  if (cinfo.density_unit == 2) return static_cast<int32_t>((density * 254 + 50) / 100);  // per cm, rounded
  return 0;
}

// C, M, Y, K samples to R, G, B (or B, G, R). Files with an Adobe marker (as Adobe's programs and
// most others write them) store the samples inverted, 255 meaning no ink.
void CmykToRgb(const uint8_t* cmyk, uint8_t* rgb, JDIMENSION width, bool inverted, bool bgr) {
  const int r = bgr ? 2 : 0, b = bgr ? 0 : 2;
  for (JDIMENSION x = 0; x < width; ++x, cmyk += 4, rgb += 3) {
    unsigned c = cmyk[0], m = cmyk[1], y = cmyk[2], k = cmyk[3];
    if (!inverted) {
      c = 255 - c;
      m = 255 - m;
      y = 255 - y;
      k = 255 - k;
    }
    rgb[r] = static_cast<uint8_t>(c * k / 255);
    rgb[1] = static_cast<uint8_t>(m * k / 255);
    rgb[b] = static_cast<uint8_t>(y * k / 255);
  }
}

// Reads the header. Only state members change after the setjmp below (here and in
// DecodePixels), so nothing is indeterminate after a jump.
void DecodeHeader(ReadState* s) {
  if (setjmp(s->err.jump) != 0) {
    s->result = JPG_ERR_DATA;
    return;
  }
  jpeg_create_decompress(&s->cinfo);
  s->created = true;
  s->cinfo.mem->max_memory_to_use = kMaxWorkingMemory;
  if (s->file != nullptr)
    jpeg_stdio_src(&s->cinfo, s->file);
  else
    jpeg_mem_src(&s->cinfo, s->data, static_cast<unsigned long>(s->dataSize));
  jpeg_read_header(&s->cinfo, TRUE);

  jpeg_decompress_struct& c = s->cinfo;
  const bool cmyk = c.jpeg_color_space == JCS_CMYK || c.jpeg_color_space == JCS_YCCK;
  if (c.jpeg_color_space == JCS_GRAYSCALE) {
    c.out_color_space = JCS_GRAYSCALE;
  } else if (cmyk) {
    c.out_color_space = JCS_CMYK;
  } else {
    c.out_color_space = JCS_RGB;
  }
  jpeg_calc_output_dimensions(&c);
  Geometry& g = s->geometry;
  g.width = static_cast<int32_t>(c.output_width);
  g.height = static_cast<int32_t>(c.output_height);
  g.bytesPP = c.out_color_space == JCS_GRAYSCALE ? 1 : 3;
  g.xRes = Resolution(c, c.X_density);
  g.yRes = Resolution(c, c.Y_density);
  if (g.width < 1 || g.height < 1) {
    s->result = JPG_ERR_DATA;
    return;
  }
  if (static_cast<int64_t>(g.width) * g.height * g.bytesPP > kMaxPictureBytes) {
    s->result = JPG_ERR_TOO_LARGE;
    return;
  }
  s->result = JPG_OK;
}

// Reads the picture of a decoder that has read the header.
void DecodePixels(ReadState* s) {
  if (setjmp(s->err.jump) != 0) {
    s->result = JPG_ERR_DATA;
    return;
  }
  jpeg_decompress_struct& c = s->cinfo;
  const Geometry& g = s->geometry;
  const Geometry* e = s->expected;
  if (e == nullptr || s->pixels == nullptr || e->width != g.width || e->height != g.height ||
      e->bytesPP != g.bytesPP) {
    s->result = JPG_ERR_SIZE;
    return;
  }
  const bool cmyk = c.out_color_space == JCS_CMYK;
  if (s->bgr && c.out_color_space == JCS_RGB) c.out_color_space = JCS_EXT_BGR;

  jpeg_start_decompress(&c);
  const size_t stride = static_cast<size_t>(g.width) * static_cast<size_t>(g.bytesPP);
  if (cmyk) {
    s->cmykRow = static_cast<uint8_t*>(std::malloc(static_cast<size_t>(g.width) * 4));
    if (s->cmykRow == nullptr) {
      s->result = JPG_ERR_TOO_LARGE;
      return;
    }
  }
  while (c.output_scanline < c.output_height) {
    uint8_t* row = s->pixels + static_cast<size_t>(c.output_scanline) * stride;
    JSAMPROW target = cmyk ? s->cmykRow : row;
    if (jpeg_read_scanlines(&c, &target, 1) != 1) {
      // A suspending source never applies here: no row means the data ran out.
      s->result = JPG_ERR_DATA;
      return;
    }
    if (cmyk) CmykToRgb(s->cmykRow, row, c.output_width, c.saw_Adobe_marker != 0, s->bgr);
  }
  jpeg_finish_decompress(&c);
  s->result = s->err.cutOff ? JPG_WARN_CUT_OFF : JPG_OK;
}

// Opens the file (or the data) and reads the header.
int32_t ReadHeader(ReadState& s) {
  InitErrors(s.err);
  s.cinfo.err = &s.err.pub;
  if (!s.fileName.empty()) {
    s.file = std::fopen(s.fileName.c_str(), "rb");
    if (s.file == nullptr) return JPG_ERR_OPEN;
    struct stat st;
    if (::fstat(fileno(s.file), &st) == 0) {
      s.stamp.dev = st.st_dev;
      s.stamp.ino = st.st_ino;
      s.stamp.size = st.st_size;
      s.stamp.mtime = st.st_mtim;
    }
  } else if (s.data == nullptr || s.dataSize < 1) {
    return JPG_ERR_ARGS;
  }
  DecodeHeader(&s);
  return s.result;
}

void Put(int32_t* out, int32_t value) {
  if (out != nullptr) *out = value;
}

struct WriteState {
  jpeg_compress_struct cinfo;
  ErrorMgr err;
  bool created = false;
  FILE* file = nullptr;
  const uint8_t* pixels = nullptr;
  int32_t width = 0, height = 0, xRes = 0, yRes = 0, quality = 0;
  int32_t result = JPG_ERR_WRITE;
};

void Encode(WriteState* s) {
  if (setjmp(s->err.jump) != 0) {
    s->result = JPG_ERR_WRITE;
    return;
  }
  jpeg_create_compress(&s->cinfo);
  s->created = true;
  jpeg_compress_struct& c = s->cinfo;
  jpeg_stdio_dest(&c, s->file);
  c.image_width = static_cast<JDIMENSION>(s->width);
  c.image_height = static_cast<JDIMENSION>(s->height);
  c.input_components = 3;
  c.in_color_space = JCS_RGB;
  jpeg_set_defaults(&c);
  jpeg_set_quality(&c, s->quality, TRUE);
  if (s->xRes > 0 && s->yRes > 0) {
    c.write_JFIF_header = TRUE;
    c.density_unit = 1;
    c.X_density = static_cast<UINT16>(s->xRes > 65535 ? 65535 : s->xRes);
    c.Y_density = static_cast<UINT16>(s->yRes > 65535 ? 65535 : s->yRes);
  }
  jpeg_start_compress(&c, TRUE);
  const size_t stride = static_cast<size_t>(s->width) * 3;
  while (c.next_scanline < c.image_height) {
    JSAMPROW row = const_cast<JSAMPROW>(s->pixels + static_cast<size_t>(c.next_scanline) * stride);
    jpeg_write_scanlines(&c, &row, 1);
  }
  jpeg_finish_compress(&c);
  s->result = JPG_OK;
}

}  // namespace
}  // namespace tavelo::jpegcodec

using namespace tavelo::jpegcodec;

JPEGCODEC_EXPORT int32_t jpg_info_file(const char* fileName, int32_t* width, int32_t* height, int32_t* bytesPP,
                                       int32_t* xRes, int32_t* yRes) {
  g_described.Forget();
  g_held.Take(nullptr);
  if (fileName == nullptr || *fileName == 0) return JPG_ERR_ARGS;
  auto s = std::make_unique<ReadState>();
  s->fileName = fileName;
  const int32_t r = ReadHeader(*s);
  if (r != JPG_OK) return r;
  g_described.Remember(fileName, s->geometry);
  Put(width, s->geometry.width);
  Put(height, s->geometry.height);
  Put(bytesPP, s->geometry.bytesPP);
  Put(xRes, s->geometry.xRes);
  Put(yRes, s->geometry.yRes);
  // The read that follows a description goes on from this header.
  g_held.Keep(std::move(s));
  return JPG_OK;
}

JPEGCODEC_EXPORT int32_t jpg_read_file(const char* fileName, const uint8_t* data, int32_t dataSize, uint8_t* pixels,
                                       int32_t* width, int32_t* height, int32_t* bytesPP, int32_t* xRes,
                                       int32_t* yRes) {
  if (pixels == nullptr) return JPG_ERR_ARGS;
  Geometry stated;
  std::unique_ptr<ReadState> s;
  bool bgr = false;
  if (fileName != nullptr && *fileName != 0) {
    // From a file, the data size carries the read's options.
    if ((dataSize & ~JPG_READ_BGR) != 0) return JPG_ERR_ARGS;
    bgr = (dataSize & JPG_READ_BGR) != 0;
    if (!g_described.Recall(fileName, stated)) return JPG_ERR_UNDESCRIBED;
    s = g_held.Take(fileName);
    if (s == nullptr) {
      s = std::make_unique<ReadState>();
      s->fileName = fileName;
      const int32_t r = ReadHeader(*s);
      if (r != JPG_OK) return r;
    }
  } else {
    if (width == nullptr || height == nullptr || bytesPP == nullptr) return JPG_ERR_ARGS;
    stated.width = *width;
    stated.height = *height;
    stated.bytesPP = *bytesPP;
    s = std::make_unique<ReadState>();
    s->data = data;
    s->dataSize = dataSize;
    const int32_t r = ReadHeader(*s);
    if (r != JPG_OK) return r;
  }
  s->pixels = pixels;
  s->bgr = bgr;
  s->expected = &stated;
  DecodePixels(s.get());
  const int32_t r = s->result;
  if (r != JPG_OK && r != JPG_WARN_CUT_OFF) return r;
  Put(width, s->geometry.width);
  Put(height, s->geometry.height);
  Put(bytesPP, s->geometry.bytesPP);
  Put(xRes, s->geometry.xRes);
  Put(yRes, s->geometry.yRes);
  return r;
}

JPEGCODEC_EXPORT int32_t jpg_write_file(const char* fileName, const uint8_t* pixels, int32_t width, int32_t height,
                                        int32_t xRes, int32_t yRes, int32_t quality) {
  if (fileName == nullptr || *fileName == 0 || pixels == nullptr) return JPG_ERR_ARGS;
  // JPEG's own limit on either side.
  if (width < 1 || height < 1 || width > JPEG_MAX_DIMENSION || height > JPEG_MAX_DIMENSION) return JPG_ERR_ARGS;
  WriteState s;
  s.pixels = pixels;
  s.width = width;
  s.height = height;
  s.xRes = xRes;
  s.yRes = yRes;
  s.quality = quality < 1 ? 1 : (quality > 100 ? 100 : quality);
  InitErrors(s.err);
  s.cinfo.err = &s.err.pub;
  s.file = std::fopen(fileName, "wb");
  if (s.file == nullptr) return JPG_ERR_OPEN;
  Encode(&s);
  if (s.created) jpeg_destroy_compress(&s.cinfo);
  const bool flushed = std::fflush(s.file) == 0 && !std::ferror(s.file);
  const bool closed = std::fclose(s.file) == 0;
  if (s.result == JPG_OK && !(flushed && closed)) s.result = JPG_ERR_WRITE;
  if (s.result != JPG_OK) std::remove(fileName);
  return s.result;
}
