// Movie decoding to packed B, G, R pictures, ours beside FFmpeg's, in one process on the same files.
//
//   decode_bench [--pairs N] [--file MOVIE]
//
// Ours: the shared FFmpeg reader (ffreader::Reader::ReadFrame, frame after frame) and the AVI unit's
// picture load (AviImgLoad through the Video for Windows stand-in). FFmpeg's: libavformat and
// libavcodec decoding every packet, libswscale converting each picture to BGR24 (the work
// `ffmpeg -threads N -i F -pix_fmt bgr24 -f null -` does). Each case runs once on one thread and
// once on every core (decoder and conversion threads alike); ours and FFmpeg's alternate, N pairs
// (default 5), and the table gives the medians and the median of the pairs' ratios, so that the
// ratio survives a machine busy with other work. Frames per second are wall-clock; "CPU ms" is the
// process's CPU time per picture (all threads), what playback costs at any frame rate.
//
// --file times that movie alone (reader and FFmpeg, both thread settings) instead of the set below.
//
// The media are made on first run with ffmpeg (libx264, mpeg4) into a cache folder:
// $TAVELO_BENCH_CACHE, else $XDG_CACHE_HOME/tavelo-bench, else ~/.cache/tavelo-bench. Besides the
// 1080p files it makes the 4K 60 fps H.264 movie the playback check uses:
//   TAVELO_AUDIO=null tavelo-probe play <cache>/h264-2160p60.mp4
#include <sys/stat.h>
#include <time.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/log.h>
#include <libavutil/opt.h>
#include <libswscale/swscale.h>
}

#include "ffreader/ff_decode.h"
#include "ffreader/ff_reader.h"
#include "core/media/img_basic.h"
#include "core/services/monitor.h"
#include "formats/units/ff_avi.h"

namespace {

using namespace tavelo;

struct Movie {
  const char* Name;
  const char* File;
  const char* Make;  // ffmpeg arguments after the input, before the file name
};

// Noise keeps the pictures from compressing to nothing, as a filmed picture would.
constexpr const char* kSource1080 = "-f lavfi -i testsrc2=size=1920x1080:rate=30,noise=alls=4:allf=t -t 6";
const Movie kMovies[] = {
    {"H.264 1080p", "h264-1080p.mp4", "-c:v libx264 -preset faster -pix_fmt yuv420p"},
    {"MPEG-4 1080p", "mpeg4-1080p.avi", "-c:v mpeg4 -q:v 3 -pix_fmt yuv420p"},
};
constexpr const char* k4kFile = "h264-2160p60.mp4";
constexpr const char* k4kMake =
    "-f lavfi -i testsrc2=size=3840x2160:rate=60,noise=alls=4:allf=t -f lavfi -i sine=frequency=440:sample_rate=48000 "
    "-t 5 -c:v libx264 -preset faster -pix_fmt yuv420p -c:a aac -shortest";

std::string CacheFolder() {
  if (const char* dir = std::getenv("TAVELO_BENCH_CACHE")) return dir;
  if (const char* xdg = std::getenv("XDG_CACHE_HOME")) return std::string(xdg) + "/tavelo-bench";
  const char* home = std::getenv("HOME");
  return std::string(home != nullptr ? home : "/tmp") + "/.cache/tavelo-bench";
}

bool Exists(const std::string& path) {
  struct stat st {};
  return stat(path.c_str(), &st) == 0 && st.st_size > 0;
}

// Makes the file with ffmpeg unless it is there; the name is given only when the whole file was written.
bool Make(const std::string& folder, const char* file, const std::string& args) {
  const std::string path = folder + "/" + file;
  if (Exists(path)) return true;
  std::printf("making %s ...\n", path.c_str());
  std::fflush(stdout);
  const std::string ext = std::strrchr(file, '.');
  const std::string tmp = path + ".part" + ext;
  const std::string cmd = "mkdir -p '" + folder + "' && ffmpeg -hide_banner -loglevel error -y " + args + " '" + tmp +
                          "' && mv '" + tmp + "' '" + path + "'";
  if (std::system(cmd.c_str()) != 0 || !Exists(path)) {
    std::fprintf(stderr, "could not make %s (is ffmpeg with libx264 installed?)\n", path.c_str());
    return false;
  }
  return true;
}

double Seconds(clockid_t clock) {
  timespec ts{};
  clock_gettime(clock, &ts);
  return static_cast<double>(ts.tv_sec) + ts.tv_nsec * 1e-9;
}

struct Run {
  double Fps = 0;
  double CpuMs = 0;  // per picture
  int64_t Frames = 0;
};

// Times work, which returns the pictures it made (0 or fewer: failed).
Run Measure(const std::function<int64_t()>& work) {
  const double wall = Seconds(CLOCK_MONOTONIC);
  const double cpu = Seconds(CLOCK_PROCESS_CPUTIME_ID);
  Run r;
  r.Frames = work();
  const double w = Seconds(CLOCK_MONOTONIC) - wall;
  const double c = Seconds(CLOCK_PROCESS_CPUTIME_ID) - cpu;
  if (r.Frames > 0 && w > 0) {
    r.Fps = static_cast<double>(r.Frames) / w;
    r.CpuMs = c * 1000.0 / static_cast<double>(r.Frames);
  }
  return r;
}

// ---- FFmpeg's decode and conversion ----

int64_t FFmpegDecode(const std::string& path, int threads) {
  AVFormatContext* fmt = nullptr;
  if (avformat_open_input(&fmt, path.c_str(), nullptr, nullptr) < 0) return -1;
  int64_t frames = -1;
  AVCodecContext* ctx = nullptr;
  SwsContext* sws = nullptr;
  AVPacket* pkt = av_packet_alloc();
  AVFrame* frame = av_frame_alloc();
  AVFrame* out = av_frame_alloc();
  const int stream = avformat_find_stream_info(fmt, nullptr) >= 0
                         ? av_find_best_stream(fmt, AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0)
                         : -1;
  const AVCodec* codec = stream >= 0 ? avcodec_find_decoder(fmt->streams[stream]->codecpar->codec_id) : nullptr;
  if (codec != nullptr && (ctx = avcodec_alloc_context3(codec)) != nullptr &&
      avcodec_parameters_to_context(ctx, fmt->streams[stream]->codecpar) >= 0) {
    ctx->thread_count = threads;  // 0: FFmpeg's own choice, as `-threads 0`
    if (avcodec_open2(ctx, codec, nullptr) >= 0) {
      frames = 0;
      const int swsThreads = threads == 1 ? 1 : static_cast<int>(std::thread::hardware_concurrency());
      auto take = [&]() {
        while (avcodec_receive_frame(ctx, frame) == 0) {
          if (sws == nullptr) {
            sws = sws_alloc_context();
            av_opt_set_int(sws, "srcw", frame->width, 0);
            av_opt_set_int(sws, "srch", frame->height, 0);
            av_opt_set_int(sws, "src_format", frame->format, 0);
            av_opt_set_int(sws, "dstw", frame->width, 0);
            av_opt_set_int(sws, "dsth", frame->height, 0);
            av_opt_set_int(sws, "dst_format", AV_PIX_FMT_BGR24, 0);
            av_opt_set_int(sws, "sws_flags", SWS_BICUBIC, 0);
            av_opt_set_int(sws, "threads", swsThreads, 0);
            if (sws_init_context(sws, nullptr, nullptr) < 0) return false;
          }
          if (out->buf[0] == nullptr) {
            out->format = AV_PIX_FMT_BGR24;
            out->width = frame->width;
            out->height = frame->height;
            if (av_frame_get_buffer(out, 0) < 0) return false;
          }
          if (sws_scale_frame(sws, out, frame) < 0) return false;
          av_frame_unref(frame);
          ++frames;
        }
        return true;
      };
      bool ok = true;
      while (ok && av_read_frame(fmt, pkt) >= 0) {
        // A packet the decoder refuses (damaged data) is passed over, as the reader does.
        if (pkt->stream_index == stream) avcodec_send_packet(ctx, pkt);
        av_packet_unref(pkt);
        ok = take();
      }
      avcodec_send_packet(ctx, nullptr);
      if (!ok || !take()) frames = -1;
    }
  }
  sws_freeContext(sws);
  av_frame_free(&out);
  av_frame_free(&frame);
  av_packet_free(&pkt);
  avcodec_free_context(&ctx);
  avformat_close_input(&fmt);
  return frames;
}

// ---- Ours ----

int64_t ReaderDecode(const std::string& path) {
  ffreader::OpenOptions options;
  options.Audio = false;
  auto reader = ffreader::Reader::Open(path, options);
  if (reader == nullptr) return -1;
  const auto& v = reader->Video();
  std::vector<uint8_t> picture(static_cast<size_t>(v.Width) * v.Height * 3);
  for (int64_t i = 0; i < v.FrameCount; ++i)
    if (!reader->ReadFrame(i, picture.data(), static_cast<ptrdiff_t>(v.Width) * 3)) return -1;
  return v.FrameCount;
}

int64_t AviUnitDecode(const std::string& path) {
  AviHandle h;
  if (MonitoredNoRaise([&] { AviOpen(h, path); }) != 0) return -1;
  Qimg img;
  int64_t frames = 0;
  for (int32_t n = 1; n <= h.FrameCount; ++n) {
    if (MonitoredNoRaise([&] { AviImgLoad(h, img, n); }) != 0) {
      frames = -1;
      break;
    }
    ++frames;
  }
  ImgFree(img);
  MonitoredNoRaise([&] { AviClose(h); });
  return frames;
}

double Median(std::vector<double> v) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  const size_t n = v.size();
  return n % 2 == 1 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

struct Row {
  std::string Name;
  std::vector<double> OursFps, TheirsFps, OursCpu, TheirsCpu, FpsRatio, CpuRatio;
};

// One pair; odd pairs run FFmpeg's first, so that neither side always finds the caches and the
// allocator as the other left them.
void Pair(Row& row, const std::function<int64_t()>& ours, const std::function<int64_t()>& theirs, bool theirsFirst) {
  Run a, b;
  if (theirsFirst) {
    b = Measure(theirs);
    a = Measure(ours);
  } else {
    a = Measure(ours);
    b = Measure(theirs);
  }
  if (a.Frames <= 0 || b.Frames <= 0 || a.Frames != b.Frames) {
    std::fprintf(stderr, "%s: ours made %lld pictures, FFmpeg %lld\n", row.Name.c_str(),
                 static_cast<long long>(a.Frames), static_cast<long long>(b.Frames));
    return;
  }
  row.OursFps.push_back(a.Fps);
  row.TheirsFps.push_back(b.Fps);
  row.OursCpu.push_back(a.CpuMs);
  row.TheirsCpu.push_back(b.CpuMs);
  row.FpsRatio.push_back(a.Fps / b.Fps);
  row.CpuRatio.push_back(a.CpuMs / b.CpuMs);
}

}  // namespace

int main(int argc, char** argv) {
  int pairs = 5;
  std::string only;
  for (int i = 1; i + 1 < argc; ++i) {
    if (std::strcmp(argv[i], "--pairs") == 0) pairs = std::max(1, std::atoi(argv[i + 1]));
    if (std::strcmp(argv[i], "--file") == 0) only = argv[i + 1];
  }
  av_log_set_level(AV_LOG_QUIET);
  std::string folder = CacheFolder();
  std::vector<Movie> movies(std::begin(kMovies), std::end(kMovies));
  if (!only.empty()) {
    const size_t slash = only.rfind('/');
    folder = slash == std::string::npos ? "." : only.substr(0, slash);
    static std::string file;
    file = only.substr(slash == std::string::npos ? 0 : slash + 1);
    movies = {Movie{file.c_str(), file.c_str(), ""}};
  } else {
    for (const Movie& m : movies)
      if (!Make(folder, m.File, std::string(kSource1080) + " " + m.Make)) return 1;
    if (!Make(folder, k4kFile, k4kMake)) return 1;
  }

  const unsigned cores = std::thread::hardware_concurrency();
  std::vector<Row> rows;
  for (const int threads : {1, 0}) {
    const std::string cores_ = threads == 1 ? "1 thread" : "all cores";
    // Ours on one thread: one decoder thread and no conversion threads; on every core our own rule.
    auto ours = [threads](const std::function<int64_t()>& work) {
      return [threads, work]() {
        ffreader::SetPictureThreads(threads);
        const int64_t n = work();
        ffreader::SetPictureThreads(0);
        return n;
      };
    };
    for (const Movie& m : movies) {
      const std::string path = folder + "/" + m.File;
      Row reader;
      reader.Name = std::string(m.Name) + ", reader, " + cores_;
      Row unit;
      unit.Name = std::string(m.Name) + ", AVI unit, " + cores_;
      const bool avi = std::strstr(m.File, ".avi") != nullptr;
      const auto theirs = [path, threads] { return FFmpegDecode(path, threads); };
      const auto readerOurs = ours([path] { return ReaderDecode(path); });
      const auto unitOurs = ours([path] { return AviUnitDecode(path); });
      // A first run of each, not counted: the first decode of a process also pays for the
      // allocator's first use of the memory its pictures take.
      Measure(readerOurs);
      Measure(theirs);
      if (avi) Measure(unitOurs);
      for (int p = 0; p < pairs; ++p) {
        Pair(reader, readerOurs, theirs, p % 2 == 1);
        if (avi) Pair(unit, unitOurs, theirs, p % 2 == 1);
      }
      rows.push_back(reader);
      if (avi) rows.push_back(unit);
    }
  }

  std::printf("\nDecode to BGR24, %u cores, %d pairs (medians; ratio = median of the pairs' ratios)\n", cores, pairs);
  std::printf("%-36s %9s %9s %7s %11s %11s %9s\n", "", "ours fps", "FFmpeg", "ratio", "ours CPUms", "FFmpeg", "CPU ratio");
  for (const Row& r : rows)
    std::printf("%-36s %9.1f %9.1f %6.2fx %11.2f %11.2f %8.2fx\n", r.Name.c_str(), Median(r.OursFps),
                Median(r.TheirsFps), Median(r.FpsRatio), Median(r.OursCpu), Median(r.TheirsCpu), Median(r.CpuRatio));
  std::printf("\n4K 60 fps movie for the playback check: %s/%s\n", folder.c_str(), k4kFile);
  return 0;
}
