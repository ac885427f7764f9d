#include "formats/ff_codec_libs.h"

#include <atomic>
#include <cstring>
#include <mutex>

#include "core/services/trace.h"
#include "formats/ff_tables.h"
#include "platform/fpu/fpu.h"

namespace tavelo {

namespace {

const char* const kDShowExports[] = {"dsw_video_open", "dsw_video_info", "dsw_video_read", "dsw_audio_open",
                                     "dsw_audio_info", "dsw_audio_read", "dsw_close"};

const char* const kMpegExports[] = {
    "mpg_video_set_error_func", "mpg_video_open", "mpg_video_close", "mpg_video_info", "mpg_video_read",
    "mpg_video_seek", "mpg_video_read_first_frame", "mpg_video_read_first_frame_free", "mpg_get_type",
    "mpg_audio_open", "mpg_audio_close", "mpg_audio_seek", "mpg_audio_read", "mpg_audio_info", "mpg_mplex",
    "mpg_demux", "bbmpeg_create", "bbmpeg_write", "bbmpeg_close", "bbmpeg_set_resolution", "bbmpeg_set_bitrate",
    "bbmpeg_set_aspect_ratio", "bbmpeg_set_closed_gop", "ffmpeg_create", "ffmpeg_close", "ffmpeg_video_write_bgr24",
    "ffmpeg_video_set_resolution", "ffmpeg_video_set_bitrate", "ffmpeg_video_set_aspect_ratio",
    "ffmpeg_video_set_closed_gop", "ffmpeg_audio_write", "ffmpeg_audio_set_bitrate"};

const char* const kGifExports[] = {"EGifOpenFileName",     "EGifPutScreenDesc",     "EGifPutImageDesc",
                                   "EGifPutLine",          "EGifCloseFile",         "EGifSetGifVersion",
                                   "EGifPutExtension",     "EGifPutExtensionFirst", "EGifPutExtensionNext",
                                   "EGifPutExtensionLast"};

const char* const kZmvExports[] = {"zmv_handle_alloc", "zmv_open", "zmv_video_get_format", "zmv_audio_get_format",
                                   "zmv_video_seek", "zmv_video_read", "zmv_video_get_palette", "zmv_audio_seek",
                                   "zmv_audio_read", "zmv_close", "zmv_handle_free", "zmv_decode", "zmv_create",
                                   "zmv_video_set_format", "zmv_audio_set_format", "zmv_video_write_ex",
                                   "zmv_video_write", "zmv_audio_write_ex", "zmv_audio_write", "zmv_encode"};

const char* const kOggExports[] = {"ogg_open", "ogg_video_get_info", "ogg_video_seek", "ogg_video_read",
                                   "ogg_video_find_keyframe", "ogg_audio_get_info", "ogg_audio_seek",
                                   "ogg_audio_read", "ogg_close", "ogg_create", "ogg_video_write",
                                   "ogg_audio_write"};

const char* const kCineExports[] = {"cvr_open", "cvr_read", "cvr_seek", "cvr_close", "cvr_info"};

const char* const kWmExports[] = {"wmv_open", "wmv_video_info", "wmv_video_seek", "wmv_video_read",
                                  "wmv_audio_info", "wmv_audio_seek", "wmv_audio_read", "wmv_close",
                                  "wmv_can_write9", "wmv_create", "wmv_video_write", "wmv_audio_write"};

const char* const kJpegExports[] = {"jpg_read_file", "jpg_info_file", "jpg_write_file"};

const char* const kJp2Exports[] = {"jp2_info", "jp2_read", "jp2_write"};

// png_get_io_ptr: the PNG unit's callbacks find the state of their own call through libpng's io pointer.
const char* const kPngExports[] = {
    "png_build_grayscale_palette", "png_create_info_struct", "png_create_read_struct", "png_create_write_struct",
    "png_destroy_read_struct", "png_destroy_write_struct", "png_get_IHDR", "png_get_PLTE", "png_get_channels",
    "png_sig_cmp", "png_set_read_fn", "png_read_info", "png_set_strip_16", "png_set_packing", "png_set_bgr",
    "png_read_update_info", "png_get_rowbytes", "png_read_image", "png_read_end", "png_set_compression_level",
    "png_set_write_fn", "png_set_IHDR", "png_set_PLTE", "png_write_info", "png_write_image", "png_write_end",
    "png_get_pHYs", "png_set_pHYs", "png_get_io_ptr"};

const char* const kTiffExports[] = {"TIFFOpen", "TIFFClose", "TIFFGetField", "TIFFGetFieldDefaulted",
                                    "TIFFScanlineSize", "TIFFReadScanline", "TIFFReadRGBAImage", "TIFFReadTile",
                                    "TIFFTileSize", "TIFFSetField",
                                    "TIFFDefaultStripSize", "TIFFWriteScanline", "ExternErrorSet",
                                    "ExternWarningSet"};

const char* const kXpmExports[] = {"ReadXpm", "WriteXpm"};

template <size_t N>
constexpr int32_t CountOf(const char* const (&)[N]) {
  return static_cast<int32_t>(N);
}

FFCodecLib MakeLib(const char* file, const char* unit, const char* const* exports, int32_t count,
                   std::initializer_list<int32_t> withdraw, int32_t which) {
  FFCodecLib lib;
  lib.FileName = file;
  lib.Unit = unit;
  lib.Exports = exports;
  lib.ExportCount = count;
  for (int32_t id : withdraw) lib.Withdraw[lib.WithdrawCount++] = id;
  lib.WithdrawWhich = which;
  return lib;
}

FFCodecLib* Libraries() {
  static FFCodecLib libs[clCount] = {
      MakeLib("dshowcodec.dll", "DSW", kDShowExports, CountOf(kDShowExports), {}, 0),
      MakeLib("mpegcodec.dll", "MPG", kMpegExports, CountOf(kMpegExports), {11, 22, 18, 21, 24}, ffBoth),
      MakeLib("gifcodec.dll", "GIF", kGifExports, CountOf(kGifExports), {4}, ffWrite),
      MakeLib("zmvcodec.dll", "ZMV", kZmvExports, CountOf(kZmvExports), {7}, ffBoth),
      MakeLib("oggcodec.dll", "OGG", kOggExports, CountOf(kOggExports), {27, 19}, ffBoth),
      MakeLib("cinecodec.dll", "CVR", kCineExports, CountOf(kCineExports), {20}, ffBoth),
      MakeLib("wmcodec.dll", "WMV", kWmExports, CountOf(kWmExports), {25, 26}, ffBoth),
      MakeLib("jpegcodec.dll", "JPG", kJpegExports, CountOf(kJpegExports), {8}, ffBoth),
      MakeLib("jp2codec.dll", "JP2", kJp2Exports, CountOf(kJp2Exports), {23}, ffBoth),
      MakeLib("pngcodec.dll", "PNG", kPngExports, CountOf(kPngExports), {9}, ffBoth),
      MakeLib("tiffcodec.dll", "TIF", kTiffExports, CountOf(kTiffExports), {10}, ffBoth),
      MakeLib("xpmcodec.dll", "XPM", kXpmExports, CountOf(kXpmExports), {17}, ffBoth),
  };
  static bool particulars = [] {
    libs[clMpeg].LoadFailedTrace = "LoadLibrary: MPEGCODEC failed";
    libs[clMpeg].WithdrawTrace = "DLL load failed: MPG";
    // The Windows Media unit gives its library back at once when it cannot use it.
    libs[clWm].ReleaseIncomplete = true;
    return true;
  }();
  (void)particulars;
  return libs;
}

std::mutex g_wmvCheckLock;
bool g_wmvChecked = false;

// Deferred libraries are loaded under this lock; g_pending[i] is true while library i is deferred
// and its loader has not run. Decoding threads read it without the lock: once it reads false, the
// library's record is complete.
std::mutex g_loadLock;
std::atomic<bool> g_pending[clCount];
// Library i's load number (0 while it is not loaded completely), drawn from g_loads.
std::atomic<uint32_t> g_loadNumber[clCount];
uint32_t g_loads = 0;

void RunLoader_(int index) {
  TraceScope trace("ConForm.FFLoadCodecLib");
  FFCodecLib& lib = Libraries()[index];
  lib.Loaded = true;
  bool allFound = true;
  lib.Module = platform::LoadLibrary(lib.FileName);
  if (lib.Module == nullptr && lib.LoadFailedTrace != nullptr) TraceText(lib.LoadFailedTrace);
  for (int32_t i = 0; i < lib.ExportCount && i < kMaxCodecExports; ++i)
    lib.Procs[i] = FFGetProc(lib.Module, allFound, lib.Exports[i]);
  lib.AllFound = lib.Module != nullptr && allFound;
  if (!lib.AllFound) {
    for (int32_t i = 0; i < lib.WithdrawCount; ++i) FFDisableFormat(lib.Withdraw[i], lib.WithdrawWhich);
    if (lib.WithdrawCount > 0 && lib.WithdrawTrace != nullptr) TraceText(lib.WithdrawTrace);
    // Addresses of an incomplete library are never handed out.
    for (void*& p : lib.Procs) p = nullptr;
    if (lib.ReleaseIncomplete && lib.Module != nullptr) {
      platform::FreeLibrary(lib.Module);
      lib.Module = nullptr;
    }
  }
  g_loadNumber[index].store(lib.AllFound ? ++g_loads : 0, std::memory_order_release);
}

// Runs a deferred library's loader when no thread has yet.
void LoadDeferred_(int index) {
  if (!g_pending[index].load(std::memory_order_acquire)) return;
  std::lock_guard<std::mutex> lock(g_loadLock);
  if (!g_pending[index].load(std::memory_order_relaxed)) return;
  Libraries()[index].Deferred = false;
  RunLoader_(index);
  g_pending[index].store(false, std::memory_order_release);
}

}  // namespace

void* FFGetProc(platform::HMODULE module, bool& allFound, const char* name) {
  void* p = platform::GetProcAddress(module, name);
  allFound = allFound && p != nullptr;
  return p;
}

FFCodecLib& FFCodecLibrary(int index) {
  static FFCodecLib none;
  if (index < 0 || index >= clCount) return none;
  return Libraries()[index];
}

void FFLoadCodecLib(int index) {
  if (index < 0 || index >= clCount) return;
  std::lock_guard<std::mutex> lock(g_loadLock);
  const FFCodecLib& lib = Libraries()[index];
  if (lib.Loaded || lib.Deferred) return;
  RunLoader_(index);
}

void FFDeferCodecLib(int index) {
  if (index < 0 || index >= clCount) return;
  {
    std::lock_guard<std::mutex> lock(g_loadLock);
    FFCodecLib& lib = Libraries()[index];
    if (lib.Loaded || lib.Deferred) return;
    // A library the file alone shows complete keeps its formats without being loaded; every
    // other outcome (rows withdrawn, trace lines, a module kept until shut-down) needs the loader.
    if (platform::CheckLibraryExports(lib.FileName, lib.Exports, lib.ExportCount) ==
        platform::LibraryCheck::kComplete) {
      lib.Deferred = true;
      g_pending[index].store(true, std::memory_order_release);
      return;
    }
  }
  FFLoadCodecLib(index);
}

void FFFreeCodecLib(int index) {
  if (index < 0 || index >= clCount) return;
  std::lock_guard<std::mutex> lock(g_loadLock);
  g_pending[index].store(false, std::memory_order_relaxed);
  g_loadNumber[index].store(0, std::memory_order_relaxed);
  FFCodecLib& lib = Libraries()[index];
  lib.Deferred = false;
  if (lib.Module != nullptr) platform::FreeLibrary(lib.Module);
  lib.Module = nullptr;
  lib.AllFound = false;
  lib.Loaded = false;
  for (void*& p : lib.Procs) p = nullptr;
}

void* FFCodecProc(int index, int32_t exportIndex) {
  if (index < 0 || index >= clCount) return nullptr;
  LoadDeferred_(index);
  const FFCodecLib& lib = Libraries()[index];
  if (!lib.AllFound || exportIndex < 0 || exportIndex >= lib.ExportCount) return nullptr;
  return lib.Procs[exportIndex];
}

void* FFCodecProcByName_(int index, const char* name) {
  const FFCodecLib& lib = FFCodecLibrary(index);
  for (int32_t i = 0; i < lib.ExportCount; ++i)
    if (std::strcmp(lib.Exports[i], name) == 0) return FFCodecProc(index, i);
  return nullptr;
}

uint32_t FFCodecLibLoadNumber(int index) {
  if (index < 0 || index >= clCount) return 0;
  LoadDeferred_(index);
  return g_loadNumber[index].load(std::memory_order_acquire);
}

bool FFCodecLibReady(int index) {
  if (index < 0 || index >= clCount) return false;
  if (g_pending[index].load(std::memory_order_acquire)) return true;
  return Libraries()[index].AllFound;
}


void WmvCheckCanWrite() {
  std::lock_guard<std::mutex> lock(g_wmvCheckLock);
  // The test counts only once the loader has run: asked earlier, it would be spent on nothing.
  if (g_wmvChecked || !(Libraries()[clWm].Loaded || g_pending[clWm].load(std::memory_order_acquire))) return;
  g_wmvChecked = true;
  using CanWrite = int32_t (*)();
  auto canWrite = reinterpret_cast<CanWrite>(FFCodecProcByName_(clWm, "wmv_can_write9"));
  if (canWrite == nullptr) return;
  if (platform::FpuGuarded(canWrite) == 0) {
    FFDisableFormat(fidWMV, ffWrite);
    FFDisableFormat(fidWMA, ffWrite);
  }
}

void FFResetCodecLibsForTest() {
  for (int i = 0; i < clCount; ++i) FFFreeCodecLib(i);
  std::lock_guard<std::mutex> lock(g_wmvCheckLock);
  g_wmvChecked = false;
}

}  // namespace tavelo
