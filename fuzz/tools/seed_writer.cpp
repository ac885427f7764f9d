// Writes the seeds of the fuzz targets that no tool makes: FLIC and ZMV files (with the tests' own
// writers), coded ZMV strips, and the inputs of the name, command-line and conversion targets.
// fuzz/make-seeds.sh runs it; the seeds are kept in the repository.
//
//   fuzz_seed_writer CORPUS_DIR [WAV_FILE ... | JPEG_FILE ...]
//
// Each WAV file given (made by sox or FFmpeg) becomes one conversion seed: its stored format
// record and the start of its data. Each JPEG file (16 x 12) becomes a method-8 packed-picture blob.
#include <unistd.h>
#include <zlib.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "platform/registry/registry.h"
#include "tests/formats/cine_writer.h"
#include "tests/formats/flic_writer.h"
#include "tests/formats/zmv_writer.h"

namespace {

using namespace tavelo::test;

std::string g_corpus;

void Write(const std::string& target, const std::string& name, const std::string& bytes) {
  const std::string path = g_corpus + "/" + target + "/" + name;
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  if (!out.good()) {
    std::fprintf(stderr, "seed_writer: cannot write %s\n", path.c_str());
    std::exit(1);
  }
}

std::string Bytes(const std::vector<uint8_t>& v) { return std::string(v.begin(), v.end()); }

// Pictures with a still background, a moving block and a changing patch.
std::vector<uint8_t> Picture(int32_t w, int32_t h, int32_t bpp, int32_t i) {
  std::vector<uint8_t> p(static_cast<size_t>(w) * h * bpp);
  std::mt19937 rng(static_cast<uint32_t>(100 + i));
  for (int32_t y = 0; y < h; ++y)
    for (int32_t x = 0; x < w; ++x)
      for (int32_t c = 0; c < bpp; ++c) {
        uint8_t v = static_cast<uint8_t>((x * 5 + y * 3 + c * 40) / 4);
        if (x >= (i * 3) % (w - 4) && x < (i * 3) % (w - 4) + 4 && y >= 2 && y < 6) v = static_cast<uint8_t>(200 + c);
        if (x >= w - 3 && y >= h - 3) v = static_cast<uint8_t>(rng());
        p[(static_cast<size_t>(y) * w + x) * bpp + c] = v;
      }
  return p;
}

void Flic() {
  const int32_t w = 17, h = 9;
  std::vector<FlicFrame> frames(4);
  for (size_t k = 0; k < frames.size(); ++k) {
    frames[k].Pixels = Picture(w, h, 1, static_cast<int32_t>(k));
    for (int i = 0; i < 256; ++i) {
      frames[k].Rgb[3 * i] = static_cast<uint8_t>(i);
      frames[k].Rgb[3 * i + 1] = static_cast<uint8_t>(255 - i);
      frames[k].Rgb[3 * i + 2] = static_cast<uint8_t>(k * 40);
    }
  }
  FlicOptions flc;
  flc.Speed = 66;
  flc.PrefixChunk = true;
  Write("flic", "delta-flc.flc", WriteFlic(w, h, frames, flc));
  FlicOptions fli;
  fli.Fli = true;
  fli.Speed = 5;
  Write("flic", "delta-fli.flc", WriteFlic(w, h, frames, fli));
  FlicOptions kinds;
  kinds.Speed = 40;
  kinds.Kinds = {FlicChunk::Copy, FlicChunk::DeltaFlc, FlicChunk::Empty, FlicChunk::ByteRun};
  Write("flic", "copy-run.flc", WriteFlic(w, h, frames, kinds));
  std::vector<FlicFrame> black(2);
  black[0].Pixels.assign(static_cast<size_t>(w) * h, 0);
  black[1].Pixels = frames[1].Pixels;
  FlicOptions blackKinds;
  blackKinds.Kinds = {FlicChunk::Black, FlicChunk::DeltaFli};
  Write("flic", "black.flc", WriteFlic(w, h, black, blackKinds));
}

ZmvMovie Movie(int32_t w, int32_t h, int32_t bpp, int32_t flags, int32_t key, int32_t frames) {
  ZmvMovie m;
  m.width = w;
  m.height = h;
  m.bytesPerPixel = bpp;
  m.flags = flags;
  m.keyInterval = key;
  m.fps = 12.5;
  m.stripRows = 4;
  for (int32_t i = 0; i < frames; ++i) {
    ZmvFrame f;
    f.pixels = Picture(w, h, bpp, i);
    m.frames.push_back(std::move(f));
  }
  return m;
}

void Zmv() {
  ZmvMovie best = Movie(24, 10, 3, 0, 3, 6);
  best.frames[2].strips = {{4, true}, {6, false}};
  best.frames[4].inRecord = 1;
  Write("zmv", "best24.zmv", ZmvBuildFile(best).bytes);
  Write("zmv", "fast16.zmv", ZmvBuildFile(Movie(20, 8, 2, 1, 0, 5)).bytes);
  ZmvMovie predicted = Movie(18, 9, 3, 2, 4, 6);
  predicted.frames[1].strips = {{3, false}, {6, true}};
  Write("zmv", "predicted.zmv", ZmvBuildFile(predicted).bytes);
  ZmvMovie eight = Movie(16, 8, 1, 0, 2, 5);
  ZmvPalette p;
  for (int i = 0; i < 256; ++i) {
    p.rgb.push_back(static_cast<uint8_t>(i));
    p.rgb.push_back(static_cast<uint8_t>(2 * i));
    p.rgb.push_back(static_cast<uint8_t>(255 - i));
  }
  eight.frames[0].palettes = {p};
  ZmvPalette part;
  part.first = 10;
  part.rgb = {1, 2, 3, 4, 5, 6};
  eight.frames[3].palettes = {part};
  Write("zmv", "pal8.zmv", ZmvBuildFile(eight).bytes);
  ZmvMovie sound = Movie(12, 6, 3, 0, 1, 2);
  sound.soundFlags = 4 | 3;
  sound.sampleRate = 11025;
  sound.blockSamples = {300, 200, 100};
  for (int i = 0; i < 600 * 4; ++i) sound.pcm.push_back(static_cast<uint8_t>(i * 7 + i / 256));
  Write("zmv", "sound16.zmv", ZmvBuildFile(sound).bytes);
  ZmvMovie sound8 = Movie(12, 6, 1, 1, 0, 2);
  sound8.soundFlags = 1;
  sound8.sampleRate = 8000;
  sound8.blockSamples = {100, 50};
  for (int i = 0; i < 150; ++i) sound8.pcm.push_back(static_cast<uint8_t>(128 + (i % 20) - 10));
  Write("zmv", "sound8.zmv", ZmvBuildFile(sound8).bytes);
}

// A strip input of the strip target: the four geometry bytes, then the coded strip.
std::string Strip(bool fast, int32_t bpp, bool runningSum, int32_t width, int32_t rows, int32_t above, bool key) {
  const int64_t row = int64_t{width} * bpp;
  // What the target's frame buffer holds before decoding.
  std::vector<uint8_t> state(static_cast<size_t>((above + rows) * row));
  for (size_t i = 0; i < state.size(); ++i) state[i] = static_cast<uint8_t>(i * 31 + 7);
  std::vector<uint8_t> want = state;
  const std::vector<uint8_t> pic = Picture(width, rows, bpp, 3);
  std::copy(pic.begin(), pic.end(), want.begin() + above * row);
  const std::vector<uint8_t> coded = ZmvEncodeStrip(fast, state, want, above * row, width, rows, bpp, key);
  std::string s;
  s += static_cast<char>((fast ? 1 : 0) | ((bpp - 1) << 1) | (runningSum ? 8 : 0));
  s += static_cast<char>(width - 1);
  s += static_cast<char>(rows - 1);
  s += static_cast<char>(above);
  return s + Bytes(coded);
}

void Strips() {
  Write("zmv_strip", "best24-key.bin", Strip(false, 3, true, 24, 6, 0, true));
  Write("zmv_strip", "best24-delta.bin", Strip(false, 3, false, 20, 5, 3, false));
  Write("zmv_strip", "fast16.bin", Strip(true, 2, false, 16, 4, 2, false));
  Write("zmv_strip", "best8.bin", Strip(false, 1, false, 40, 3, 1, false));
  Write("zmv_strip", "fast8-key.bin", Strip(true, 1, false, 33, 7, 0, true));
}

void Names() {
  // Two option bytes, the member byte, the name.
  auto seed = [](int32_t options, int32_t members, bool gap, const std::string& name) {
    std::string s;
    s += static_cast<char>(options & 0xFF);
    s += static_cast<char>(options >> 8);
    s += static_cast<char>(members | (gap ? 8 : 0));
    return s + name;
  };
  Write("seq_name", "plain.bin", seed(1024, 3, false, "shot0001.png"));
  Write("seq_name", "gap.bin", seed(1024, 4, true, "img0007.bmp"));
  Write("seq_name", "suffix.bin", seed(1024, 2, false, "frame10_final.jpg"));
  Write("seq_name", "negative.bin", seed(1024 | 2048, 3, false, "take-0002.tga"));
  Write("seq_name", "long.bin", seed(1024 + 3, 2, false, "a1234567890.pcx"));
  Write("seq_name", "nodigits.bin", seed(1024, 1, false, "picture.gif"));
}

void CommandLines() {
  // Byte 0 clear: a command text; set: argv separated by zero bytes.
  Write("cmd_line", "text-play.bin",
        std::string("\x00", 1) + "\"/usr/bin/tavelo\" /log /play=\"/home/u/My Movies/a.avi\" /repeats = 3/close");
  Write("cmd_line", "text-bare.bin", std::string("\x00", 1) + "tavelo \"/home/u/open/a.avi\" /open=x.avi");
  Write("cmd_line", "text-quoted.bin", std::string("\x00", 1) + "\"C:\\Program Files\\x\\prog.exe\"   /OPEN= \"b c.gif\" /op");
  const char argv1[] = "\x01/usr/bin/tavelo\0/home/u/open/a.avi\0/repeats\0=\0" "5\0/close";
  Write("cmd_line", "argv-file.bin", std::string(argv1, sizeof argv1 - 1));
  const char argv2[] = "\x01tavelo\0/play=\0/tmp/x y.wav\0/open\0=b.gif\0/uninst";
  Write("cmd_line", "argv-switches.bin", std::string(argv2, sizeof argv2 - 1));
}

// A conversion seed: the stored record, its extra bytes, the mode byte, the PCM choice, the
// chunk size and the data.
void Conversion(const std::string& wavPath, int index) {
  std::ifstream in(wavPath, std::ios::binary);
  const std::string file((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  auto u32 = [&](size_t at) {
    return static_cast<uint32_t>(static_cast<uint8_t>(file[at])) | (static_cast<uint8_t>(file[at + 1]) << 8) |
           (static_cast<uint8_t>(file[at + 2]) << 16) | (static_cast<uint32_t>(static_cast<uint8_t>(file[at + 3])) << 24);
  };
  std::string fmt, data;
  for (size_t at = 12; at + 8 <= file.size();) {
    const std::string id = file.substr(at, 4);
    const uint32_t size = u32(at + 4);
    if (id == "fmt ") fmt = file.substr(at + 8, size);
    if (id == "data") data = file.substr(at + 8, std::min<size_t>(size, 6000));
    at += 8 + size + (size & 1);
  }
  if (fmt.size() < 16) {
    std::fprintf(stderr, "seed_writer: %s has no format chunk\n", wavPath.c_str());
    std::exit(1);
  }
  if (fmt.size() < 18) fmt.append(18 - fmt.size(), '\0');
  std::string s = fmt;
  // Alternate between the suggested PCM and a device format (2 channels, 16 bits).
  s += static_cast<char>(index % 2 == 0 ? 0x91 : 0xA0);
  s += static_cast<char>(5);
  s += static_cast<char>(1);
  s += static_cast<char>(1);
  s += static_cast<char>(0x00);
  s += static_cast<char>(0x10);
  s += data;
  const std::string base = wavPath.substr(wavPath.rfind('/') + 1);
  Write("snd_convert", base.substr(0, base.rfind('.')) + ".bin", s);
}

// Store files written by the store itself. The first byte of a seed of the store target says
// what the target adds: 0 nothing (the whole file as written), 3 the header and the end line (the
// body alone, so that the fuzzer's changes keep a valid checksum).
void Registry() {
  using namespace tavelo::platform;
  char pattern[] = "/tmp/tavelo-seeds-XXXXXX";
  if (::mkdtemp(pattern) == nullptr) std::exit(1);
  const std::string folder = pattern;
  SetRegistryFolder(folder);
  auto set = [](const std::string& key, const std::string& name, uint32_t type, const std::string& bytes) {
    if (RegStoreOpenKey(kRegCurrentUser, key, true) != kRegOk ||
        RegStoreSetValue(kRegCurrentUser, key, name, RegData{type, bytes}) != kRegOk) {
      std::fprintf(stderr, "seed_writer: the store refused %s\\%s\n", key.c_str(), name.c_str());
      std::exit(1);
    }
  };
  set("Software\\Velkarn\\Tavelo\\3.1.0", "ShowFrameRateDialog", rtDword, std::string("\x01\0\0\0", 4));
  set("Software\\Velkarn\\Tavelo\\3.1.0", "LastFolder", rtString, "/home/u/Videos \"old\"\\x");
  set("Software\\Velkarn\\Tavelo\\3.1.0\\Player", "Repeats", rtDword, std::string("\x03\0\0\0", 4));
  set("Software\\Velkarn\\Tavelo\\3.1.0\\Player", "Window", rtBinary, std::string("\x10\0\x20\0\xff\x7f", 6));
  set("Software\\Velkarn\\Tavelo\\3.1.0\\RecentFiles", "File1", rtString, "/tmp/a.avi");
  set("Software\\Velkarn\\Tavelo\\3.1.0\\RecentFiles", "File2", rtString, "tab\there\x01");
  std::ifstream in(RegistryFile(kRegCurrentUser), std::ios::binary);
  const std::string file((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  Write("registry_store", "store.bin", std::string(1, '\0') + file);
  // The body: between the header line and the end line.
  const size_t bodyStart = file.find('\n') + 1;
  const size_t endLine = file.rfind("END ");
  Write("registry_store", "body.bin", std::string(1, '\3') + file.substr(bodyStart, endLine - bodyStart));
  SetRegistryFolder("");
  std::error_code ec;
  std::filesystem::remove_all(folder, ec);
}

// Cine movies (the tests' writer): plain grey and colour, 16-bit samples of 12 significant bits,
// raw sensor frames of the three mosaic kinds, with picture adjustments in the setup.
void Cine() {
  auto movie = [](int32_t w, int32_t h, int32_t bits, int32_t compression, uint32_t cfa, int32_t frames) {
    CineMovie m;
    m.width = w;
    m.height = h;
    m.bitCount = bits;
    m.compression = compression;
    m.cfa = cfa;
    for (int32_t i = 0; i < frames; ++i) m.frames.push_back(Picture(w, h, bits / 8, i));
    return m;
  };
  Write("cine", "grey8.cine", Bytes(CineBuild(movie(8, 6, 8, 0, 0, 3))));
  CineMovie colour = movie(7, 5, 24, 0, 0, 2);
  colour.topDown = true;
  colour.padRows = true;
  colour.gamma = 20;
  colour.saturation = 1.5f;
  Write("cine", "colour24.cine", Bytes(CineBuild(colour)));
  CineMovie deep = movie(6, 4, 16, 0, 0, 2);
  deep.realBpp = 12;
  deep.brightness = 10;
  deep.contrast = -5;
  Write("cine", "grey16.cine", Bytes(CineBuild(deep)));
  Write("cine", "bayer.cine", Bytes(CineBuild(movie(8, 6, 8, 2, 3, 2))));
  Write("cine", "vri.cine", Bytes(CineBuild(movie(8, 6, 8, 2, 1, 2))));
  Write("cine", "vri-v6-16.cine", Bytes(CineBuild(movie(8, 4, 16, 2, 2, 2))));
}

// Bayer raw files: the mosaic (or the older cells) and the 1024-byte trailer.
std::string BayTrailer(const char* camera, const char* mark, int colour, int speed, int w, int h) {
  std::string t(1024, '\0');
  t[0] = camera[0];
  t[1] = camera[1];
  std::memcpy(&t[3], mark, std::strlen(mark));
  t[8] = static_cast<char>(colour);
  t[11] = static_cast<char>(speed);
  t[235] = static_cast<char>(w >> 8);
  t[236] = static_cast<char>(w & 255);
  t[237] = static_cast<char>(h >> 8);
  t[238] = static_cast<char>(h & 255);
  return t;
}

void Bayer() {
  Write("bay", "ro-100k-colour.bay", Bytes(Picture(14, 10, 1, 2)) + BayTrailer("RO", "100K", 1, 1, 14, 10));
  Write("bay", "ek-100k-mono.bay", Bytes(Picture(9, 7, 1, 4)) + BayTrailer("EK", "100K", 2, 2, 9, 7));
  Write("bay", "ml-100k-colour.bay", Bytes(Picture(12, 12, 1, 5)) + BayTrailer("ML", "100K", 1, 6, 12, 12));
  // "BAY 2": 512 wide, the height from the file size, cells in the older order.
  Write("bay", "hg-bay2.bay", Bytes(Picture(512, 4, 1, 1)) + BayTrailer("HG", "BAY 2", 1, 3, 0, 0));
}

// Packed-picture blobs: the 24-byte header, the palette of 8-bit method-7 blobs, the data.
std::string BlobHeader(int32_t w, int32_t h, int32_t bpp, int32_t packed, int32_t param, int32_t method) {
  std::string s;
  for (int32_t v : {w, h, bpp, packed, param, method})
    for (int i = 0; i < 4; ++i) s += static_cast<char>((static_cast<uint32_t>(v) >> (8 * i)) & 255);
  return s;
}

void ZlibBlob(const std::string& name, int32_t w, int32_t h, int32_t bpp) {
  const std::vector<uint8_t> pixels = Picture(w, h, (bpp + 7) / 8, 6);
  uLongf packedLen = compressBound(pixels.size());
  std::vector<uint8_t> packed(packedLen);
  if (compress2(packed.data(), &packedLen, pixels.data(), pixels.size(), 9) != Z_OK) std::exit(1);
  std::string blob = BlobHeader(w, h, bpp, static_cast<int32_t>(packedLen), static_cast<int32_t>(packedLen), 7);
  if (bpp == 8) {
    for (int i = 0; i < 768; ++i) blob += static_cast<char>(i * 7);
  }
  Write("packed_blob", name, blob + std::string(packed.begin(), packed.begin() + static_cast<long>(packedLen)));
}

void Blobs() {
  ZlibBlob("zmv-24.bin", 16, 12, 24);
  ZlibBlob("zmv-32.bin", 16, 16, 32);
  ZlibBlob("zmv-8.bin", 13, 9, 8);
  ZlibBlob("zmv-15.bin", 10, 6, 15);
}

void JpegBlob(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  const std::string jpeg((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  // make-seeds.sh makes its JPEG files 16 x 12: the library decodes only into the picture the
  // header describes.
  const std::string base = path.substr(path.rfind('/') + 1);
  Write("packed_blob", "jpeg-" + base.substr(0, base.rfind('.')) + ".bin",
        BlobHeader(16, 12, 24, static_cast<int32_t>(jpeg.size()), 0, 8) + jpeg);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: fuzz_seed_writer CORPUS_DIR [WAV_FILE ...]\n");
    return 2;
  }
  g_corpus = argv[1];
  Flic();
  Zmv();
  Strips();
  Names();
  CommandLines();
  Registry();
  Bayer();
  Cine();
  Blobs();
  for (int i = 2; i < argc; ++i) {
    const std::string path = argv[i];
    if (path.size() > 4 && path.compare(path.size() - 4, 4, ".jpg") == 0)
      JpegBlob(path);
    else
      Conversion(path, i);
  }
  return 0;
}
