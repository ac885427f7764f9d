// jp2codec: JPEG 2000 reading and writing over OpenJPEG (see jp2codec.h for the contract).
// OpenJPEG reports failures through its return values and message callbacks (ours are quiet), so
// every resource here is held by a small owner that releases it on any way out.
#include "codecs/jp2codec/jp2codec.h"

#include <openjpeg.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>

#include "codecs/described.h"
#include <vector>

#define JP2CODEC_EXPORT extern "C" __attribute__((visibility("default")))

namespace tavelo::jp2codec {
namespace {

constexpr int64_t kMaxPictureBytes = 0x7FFFFFFF;

enum class Kind { None, Jp2, Jpc };

Kind Sniff(const char* fileName) {
  static const uint8_t kJp2Signature[12] = {0x00, 0x00, 0x00, 0x0C, 0x6A, 0x50, 0x20, 0x20, 0x0D, 0x0A, 0x87, 0x0A};
  static const uint8_t kCodeStream[4] = {0xFF, 0x4F, 0xFF, 0x51};  // SOC, then SIZ
  uint8_t head[12] = {};
  FILE* f = std::fopen(fileName, "rb");
  if (f == nullptr) return Kind::None;
  const size_t got = std::fread(head, 1, sizeof head, f);
  std::fclose(f);
  if (got == sizeof head && std::memcmp(head, kJp2Signature, sizeof kJp2Signature) == 0) return Kind::Jp2;
  if (got >= sizeof kCodeStream && std::memcmp(head, kCodeStream, sizeof kCodeStream) == 0) return Kind::Jpc;
  return Kind::None;
}

struct Geometry {
  int32_t width = 0;
  int32_t height = 0;
  int32_t bytesPP = 0;
};

// The size of the buffer the last info call of each thread described.
codecs::DescribedTable<Geometry> g_described;

extern "C" void Quiet(const char*, void*) {}

int32_t BytesFor(uint32_t components) {
  if (components == 1) return 1;
  if (components == 3) return 3;
  return 4;  // grey and alpha, or four and more components
}

// The picture an image header describes; false when it is not one we can hand over.
bool GeometryOf(const opj_image_t* image, Geometry& g) {
  if (image == nullptr || image->numcomps < 1 || image->comps == nullptr) return false;
  if (image->x1 <= image->x0 || image->y1 <= image->y0) return false;
  const int64_t width = static_cast<int64_t>(image->x1) - image->x0;
  const int64_t height = static_cast<int64_t>(image->y1) - image->y0;
  const uint32_t used = image->numcomps < 4 ? image->numcomps : 4;
  for (uint32_t c = 0; c < used; ++c) {
    const opj_image_comp_t& comp = image->comps[c];
    if (comp.dx < 1 || comp.dy < 1 || comp.prec < 1 || comp.prec > 31) return false;
  }
  const int32_t bytes = BytesFor(image->numcomps);
  if (width > 0x7FFFFFFF || height > 0x7FFFFFFF || width * height * bytes > kMaxPictureBytes) return false;
  g.width = static_cast<int32_t>(width);
  g.height = static_cast<int32_t>(height);
  g.bytesPP = bytes;
  return true;
}

struct Decoder {
  opj_codec_t* codec = nullptr;
  opj_stream_t* stream = nullptr;
  opj_image_t* image = nullptr;

  Decoder() = default;
  Decoder(const Decoder&) = delete;
  Decoder& operator=(const Decoder&) = delete;
  ~Decoder() {
    if (image != nullptr) opj_image_destroy(image);
    if (stream != nullptr) opj_stream_destroy(stream);
    if (codec != nullptr) opj_destroy_codec(codec);
  }

  // Opens the file and reads its main header into image.
  bool Open(const char* fileName, Kind kind) {
    codec = opj_create_decompress(kind == Kind::Jp2 ? OPJ_CODEC_JP2 : OPJ_CODEC_J2K);
    if (codec == nullptr) return false;
    opj_set_info_handler(codec, &Quiet, nullptr);
    opj_set_warning_handler(codec, &Quiet, nullptr);
    opj_set_error_handler(codec, &Quiet, nullptr);
    opj_dparameters_t params;
    opj_set_default_decoder_parameters(&params);
    if (!opj_setup_decoder(codec, &params)) return false;
    // Strict: a cut-off code stream is an error, not a picture with its last parts missing.
    if (!opj_decoder_set_strict_mode(codec, OPJ_TRUE)) return false;
    stream = opj_stream_create_default_file_stream(fileName, OPJ_TRUE);
    if (stream == nullptr) return false;
    return opj_read_header(stream, codec, &image) != 0;
  }
};

// Sample scaling to 8 bits for one component.
struct Channel {
  const opj_image_comp_t* comp = nullptr;
  std::vector<uint32_t> column;  // component column for each picture column
  int64_t offset = 0;            // added to signed samples
  int64_t maxValue = 255;

  uint8_t At(int64_t index) const {
    int64_t v = static_cast<int64_t>(comp->data[index]) + offset;
    if (v < 0) v = 0;
    if (v > maxValue) v = maxValue;
    if (maxValue == 255) return static_cast<uint8_t>(v);
    return static_cast<uint8_t>((v * 255 + maxValue / 2) / maxValue);
  }
};

bool MakeChannel(const opj_image_t* image, uint32_t index, int32_t width, Channel& ch) {
  const opj_image_comp_t& comp = image->comps[index];
  if (comp.data == nullptr || comp.w < 1 || comp.h < 1 || comp.prec < 1 || comp.prec > 31) return false;
  ch.comp = &comp;
  ch.maxValue = (int64_t{1} << comp.prec) - 1;
  ch.offset = comp.sgnd ? (int64_t{1} << (comp.prec - 1)) : 0;
  ch.column.resize(static_cast<size_t>(width));
  for (int32_t x = 0; x < width; ++x) {
    int64_t cx = (static_cast<int64_t>(image->x0) + x) / comp.dx - static_cast<int64_t>(comp.x0);
    if (cx < 0) cx = 0;
    if (cx >= comp.w) cx = comp.w - 1;
    ch.column[static_cast<size_t>(x)] = static_cast<uint32_t>(cx);
  }
  return true;
}

int64_t ComponentRow(const opj_image_t* image, const opj_image_comp_t& comp, int32_t y) {
  int64_t cy = (static_cast<int64_t>(image->y0) + y) / comp.dy - static_cast<int64_t>(comp.y0);
  if (cy < 0) cy = 0;
  if (cy >= comp.h) cy = comp.h - 1;
  return cy * comp.w;
}

bool Convert(const opj_image_t* image, const Geometry& g, uint8_t* pixels) {
  // Output byte k of each pixel comes from component source[k].
  int sources[4] = {0, 0, 0, 0};
  int count = 0;
  switch (image->numcomps) {
    case 1:
      sources[0] = 0;
      count = 1;
      break;
    case 2:
      sources[0] = sources[1] = sources[2] = 0;
      sources[3] = 1;
      count = 4;
      break;
    case 3:
      sources[0] = 2;
      sources[1] = 1;
      sources[2] = 0;
      count = 3;
      break;
    default:
      sources[0] = 2;
      sources[1] = 1;
      sources[2] = 0;
      sources[3] = 3;
      count = 4;
      break;
  }
  if (count != g.bytesPP) return false;
  Channel channels[4];
  const uint32_t used = image->numcomps < 4 ? image->numcomps : 4;
  for (uint32_t c = 0; c < used; ++c)
    if (!MakeChannel(image, c, g.width, channels[c])) return false;
  for (int32_t y = 0; y < g.height; ++y) {
    int64_t rows[4] = {};
    for (uint32_t c = 0; c < used; ++c) rows[c] = ComponentRow(image, *channels[c].comp, y);
    uint8_t* out = pixels + static_cast<size_t>(y) * static_cast<size_t>(g.width) * static_cast<size_t>(count);
    for (int32_t x = 0; x < g.width; ++x) {
      for (int k = 0; k < count; ++k) {
        const Channel& ch = channels[sources[k]];
        *out++ = ch.At(rows[sources[k]] + ch.column[static_cast<size_t>(x)]);
      }
    }
  }
  return true;
}

struct Encoder {
  opj_codec_t* codec = nullptr;
  opj_stream_t* stream = nullptr;
  opj_image_t* image = nullptr;

  Encoder() = default;
  Encoder(const Encoder&) = delete;
  Encoder& operator=(const Encoder&) = delete;
  ~Encoder() {
    // Destroying the stream closes the file.
    if (stream != nullptr) opj_stream_destroy(stream);
    if (codec != nullptr) opj_destroy_codec(codec);
    if (image != nullptr) opj_image_destroy(image);
  }
};

bool EndsWithJp2(const char* fileName) {
  const size_t n = std::strlen(fileName);
  if (n < 4) return false;
  const char* e = fileName + n - 4;
  return e[0] == '.' && (e[1] | 0x20) == 'j' && (e[2] | 0x20) == 'p' && e[3] == '2';
}

bool Encode(const char* fileName, const uint8_t* pixels, int32_t width, int32_t height, double rate) {
  Encoder enc;
  opj_image_cmptparm_t parms[3];
  std::memset(parms, 0, sizeof parms);
  for (opj_image_cmptparm_t& p : parms) {
    p.dx = 1;
    p.dy = 1;
    p.w = static_cast<OPJ_UINT32>(width);
    p.h = static_cast<OPJ_UINT32>(height);
    p.prec = 8;
    p.sgnd = 0;
  }
  enc.image = opj_image_create(3, parms, OPJ_CLRSPC_SRGB);
  if (enc.image == nullptr) return false;
  enc.image->x0 = 0;
  enc.image->y0 = 0;
  enc.image->x1 = static_cast<OPJ_UINT32>(width);
  enc.image->y1 = static_cast<OPJ_UINT32>(height);
  const size_t count = static_cast<size_t>(width) * static_cast<size_t>(height);
  OPJ_INT32* r = enc.image->comps[0].data;
  OPJ_INT32* g = enc.image->comps[1].data;
  OPJ_INT32* b = enc.image->comps[2].data;
  for (size_t i = 0; i < count; ++i) {
    b[i] = pixels[i * 3];
    g[i] = pixels[i * 3 + 1];
    r[i] = pixels[i * 3 + 2];
  }

  opj_cparameters_t params;
  opj_set_default_encoder_parameters(&params);
  params.tcp_numlayers = 1;
  params.cp_disto_alloc = 1;
  params.tcp_mct = 1;
  if (rate >= 1.0) {
    params.irreversible = 0;
    params.tcp_rates[0] = 0;  // no rate limit: lossless
  } else {
    params.irreversible = 1;
    params.tcp_rates[0] = static_cast<float>(1.0 / rate);
  }
  // Every resolution level must keep at least one sample on the shorter side.
  const int32_t shorter = width < height ? width : height;
  while (params.numresolution > 1 && (int64_t{1} << (params.numresolution - 1)) > shorter) --params.numresolution;

  enc.codec = opj_create_compress(EndsWithJp2(fileName) ? OPJ_CODEC_JP2 : OPJ_CODEC_J2K);
  if (enc.codec == nullptr) return false;
  opj_set_info_handler(enc.codec, &Quiet, nullptr);
  opj_set_warning_handler(enc.codec, &Quiet, nullptr);
  opj_set_error_handler(enc.codec, &Quiet, nullptr);
  if (!opj_setup_encoder(enc.codec, &params, enc.image)) return false;
  enc.stream = opj_stream_create_default_file_stream(fileName, OPJ_FALSE);
  if (enc.stream == nullptr) return false;
  if (!opj_start_compress(enc.codec, enc.image, enc.stream)) return false;
  if (!opj_encode(enc.codec, enc.stream)) return false;
  return opj_end_compress(enc.codec, enc.stream) != 0;
}

}  // namespace
}  // namespace tavelo::jp2codec

using namespace tavelo::jp2codec;

JP2CODEC_EXPORT int32_t jp2_info(const char* fileName, int32_t* width, int32_t* height, int32_t* bytesPP,
                                 char* kind) {
  g_described.Forget();
  if (fileName == nullptr || *fileName == 0) return 0;
  const Kind k = Sniff(fileName);
  if (k == Kind::None) return 0;
  Decoder dec;
  Geometry g;
  if (!dec.Open(fileName, k) || !GeometryOf(dec.image, g)) return 0;
  g_described.Remember(fileName, g);
  if (width != nullptr) *width = g.width;
  if (height != nullptr) *height = g.height;
  if (bytesPP != nullptr) *bytesPP = g.bytesPP;
  if (kind != nullptr) std::memcpy(kind, k == Kind::Jp2 ? "jp2" : "jpc", 4);
  return 1;
}

JP2CODEC_EXPORT int32_t jp2_read(const char* fileName, uint8_t* pixels) {
  if (fileName == nullptr || *fileName == 0 || pixels == nullptr) return 0;
  Geometry expected;
  if (!g_described.Recall(fileName, expected)) return 0;
  const Kind k = Sniff(fileName);
  if (k == Kind::None) return 0;
  Decoder dec;
  Geometry g;
  if (!dec.Open(fileName, k) || !GeometryOf(dec.image, g)) return 0;
  if (g.width != expected.width || g.height != expected.height || g.bytesPP != expected.bytesPP) return 0;
  if (!opj_decode(dec.codec, dec.stream, dec.image) || !opj_end_decompress(dec.codec, dec.stream)) return 0;
  // Decoding may change the components (a JP2 palette or channel definitions apply only then).
  if (!GeometryOf(dec.image, g) || g.width != expected.width || g.height != expected.height ||
      g.bytesPP != expected.bytesPP)
    return 0;
  return Convert(dec.image, g, pixels) ? 1 : 0;
}

JP2CODEC_EXPORT int32_t jp2_write(const char* fileName, const uint8_t* pixels, int32_t width, int32_t height,
                                  double rate) {
  if (fileName == nullptr || *fileName == 0 || pixels == nullptr) return 0;
  if (width < 1 || height < 1 || static_cast<int64_t>(width) * height * 3 > kMaxPictureBytes) return 0;
  if (!(rate > 0.0)) return 0;  // also refuses NaN
  if (Encode(fileName, pixels, width, height, rate)) return 1;
  std::remove(fileName);
  return 0;
}
