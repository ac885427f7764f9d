// How long a movie takes to open, beside FFmpeg's own opening of the same file.
//
// For each container (MP4, AVI, Ogg, Windows Media) and each length (1, 10 and 60 minutes of
// 320x240) it times our description (UniInfo), our open after it (UniOpen, which takes over what
// the description built) and both together, against avformat_open_input + avformat_find_stream_info
// on the same file (what ffprobe does before it prints). Runs are interleaved pairs, one of ours
// then one of FFmpeg's, and the medians are compared, so that load on the machine falls on both.
// Every run first moves the file's modification time, so no run finds the reader a run before it
// kept (the open after a description still does: that is the path being timed). Last, the time
// from a 1920x1080 H.264 movie's open to its first picture decoded.
//
// The movies are made on first use by bench/make_open_media.sh into a cache folder:
//   open_bench [--reps N] [--folder DIR] [--only FILE|hd]    (default DIR: ${XDG_CACHE_HOME:-~/.cache}/tavelo-bench/open)
#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

extern "C" {
#include <libavformat/avformat.h>
#include <libavutil/log.h>
}

#include "core/media/img_basic.h"
#include "core/services/errors.h"
#include "core/services/monitor.h"
#include "formats/conform.h"
#include "formats/ff_tables.h"
#include "platform/dynlib/dynlib.h"

namespace {

using namespace tavelo;
using Clock = std::chrono::steady_clock;

double Ms(Clock::time_point a, Clock::time_point b) { return std::chrono::duration<double, std::milli>(b - a).count(); }

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v.empty() ? 0 : v.size() % 2 ? v[v.size() / 2] : (v[v.size() / 2 - 1] + v[v.size() / 2]) / 2;
}

bool Exists(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && st.st_size > 0;
}

// A new modification time: a reader kept from an earlier run no longer matches the file.
void Touch(const std::string& path) {
  static long tick = 0;
  struct timespec times[2];
  clock_gettime(CLOCK_REALTIME, &times[0]);
  times[0].tv_nsec = (times[0].tv_nsec + ++tick) % 1000000000;
  times[1] = times[0];
  utimensat(AT_FDCWD, path.c_str(), times, 0);
}

double FFmpegOpen(const std::string& path) {
  const auto t0 = Clock::now();
  AVFormatContext* fmt = nullptr;
  if (avformat_open_input(&fmt, path.c_str(), nullptr, nullptr) < 0) return -1;
  avformat_find_stream_info(fmt, nullptr);
  const auto t1 = Clock::now();
  avformat_close_input(&fmt);
  return Ms(t0, t1);
}

struct Ours {
  double Info = -1, Open = -1, First = -1;
  int32_t Frames = 0, Samples = 0;
};

Ours OurOpen(const std::string& path, bool firstPicture) {
  Ours r;
  UniInfoRec info;
  const auto t0 = Clock::now();
  if (!UniInfo(path, info, 0, nullptr, nullptr)) return r;
  const auto t1 = Clock::now();
  UniHandle h;
  if (MonitoredNoRaise([&] { UniOpen(h, info); }) != 0) return r;
  const auto t2 = Clock::now();
  r.Info = Ms(t0, t1);
  r.Open = Ms(t1, t2);
  r.Frames = info.Video.Frames;
  r.Samples = info.Audio.Samples;
  if (firstPicture) {
    Qimg img;
    if (MonitoredNoRaise([&] { UniImgLoad(h, img, 1, 0); }) == 0) r.First = Ms(t2, Clock::now());
    ImgFree(img);
  }
  MonitoredNoRaise([&] { UniClose(h); });
  return r;
}

}  // namespace

int main(int argc, char** argv) {
  int reps = 5;
  std::string only;  // one file of the folder (m10.mp4), or hd for the first-picture time alone
  const char* cache = std::getenv("XDG_CACHE_HOME");
  const char* home = std::getenv("HOME");
  std::string folder = std::string(cache != nullptr && *cache ? cache : std::string(home ? home : "/tmp") + "/.cache") +
                       "/tavelo-bench/open";
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--reps") == 0 && i + 1 < argc) reps = std::max(1, std::atoi(argv[++i]));
    else if (std::strcmp(argv[i], "--folder") == 0 && i + 1 < argc) folder = argv[++i];
    else if (std::strcmp(argv[i], "--only") == 0 && i + 1 < argc) only = argv[++i];
    else {
      std::fprintf(stderr, "usage: open_bench [--reps N] [--folder DIR] [--only FILE|hd]\n");
      return 2;
    }
  }
  if (!Exists(folder + "/hd.mp4")) {
    const std::string make = std::string("bash '") + TAVELO_SOURCE_DIR + "/bench/make_open_media.sh' '" + folder + "'";
    if (std::system(make.c_str()) != 0) {
      std::fprintf(stderr, "cannot make the movies in %s\n", folder.c_str());
      return 1;
    }
  }
  av_log_set_level(AV_LOG_QUIET);
  platform::SetLibraryFolder(TAVELO_CODEC_DIR);
  FFTablesUnitInit();
  ConformUnitInit();

  std::printf("%d interleaved runs per file, medians in ms; ratio = ours / FFmpeg\n", reps);
  std::printf("%-10s %9s %9s %9s %9s %7s %7s %8s %9s\n", "file", "info", "open", "both", "ffmpeg", "info/ff",
              "both/ff", "frames", "samples");
  for (const char* ext : {"mp4", "avi", "ogg", "wmv"}) {
    for (const char* len : {"m1", "m10", "m60"}) {
      const std::string name = std::string(len) + "." + ext;
      const std::string path = folder + "/" + name;
      if (!only.empty() && only != name) continue;
      std::vector<double> info, open, both, ff;
      Ours last;
      for (int i = 0; i < reps; ++i) {
        Touch(path);
        const Ours o = OurOpen(path, false);
        Touch(path);
        const double f = FFmpegOpen(path);
        if (o.Info < 0 || f < 0) break;
        info.push_back(o.Info);
        open.push_back(o.Open);
        both.push_back(o.Info + o.Open);
        ff.push_back(f);
        last = o;
      }
      if (ff.empty()) {
        std::printf("%-10s cannot be opened\n", name.c_str());
        continue;
      }
      const double f = Median(ff);
      std::printf("%-10s %9.1f %9.1f %9.1f %9.1f %7.2f %7.2f %8d %9d\n", name.c_str(), Median(info), Median(open),
                  Median(both), f, Median(info) / f, Median(both) / f, last.Frames, last.Samples);
      std::fflush(stdout);
    }
  }

  std::vector<double> first, hdBoth, hdFf;
  for (int i = 0; i < reps && (only.empty() || only == "hd"); ++i) {
    Touch(folder + "/hd.mp4");
    const Ours o = OurOpen(folder + "/hd.mp4", true);
    Touch(folder + "/hd.mp4");
    const double f = FFmpegOpen(folder + "/hd.mp4");
    if (o.First < 0 || f < 0) break;
    first.push_back(o.First);
    hdBoth.push_back(o.Info + o.Open);
    hdFf.push_back(f);
  }
  if (!only.empty() && only != "hd") {
  } else if (first.empty()) {
    std::printf("hd.mp4: no first picture\n");
  } else {
    std::printf("hd.mp4 (1920x1080 H.264): info+open %.1f ms (FFmpeg %.1f ms, ratio %.2f); first picture %.1f ms after "
                "the open returned\n",
                Median(hdBoth), Median(hdFf), Median(hdBoth) / Median(hdFf), Median(first));
  }
  ConformUnitDone();
  return 0;
}
