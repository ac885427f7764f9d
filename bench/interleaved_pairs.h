// Side-by-side timing for the decode benchmarks: ours and FFmpeg's run in turns (ours, theirs,
// ours, ...; the first of each pair alternates), so that load from other processes on a shared
// machine falls on both alike; each side's median of the rounds is reported, and the ratio is
// FFmpeg's median time over ours (above 1: we are faster).
#pragma once
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

namespace tavelo::bench {

struct PairTiming {
  std::string Name;
  double OursMs = 0;
  double TheirsMs = 0;
  int Rounds = 0;
  bool Failed = false;
  double Ratio() const { return OursMs > 0 ? TheirsMs / OursMs : 0; }
};

inline double Median(std::vector<double> v) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  const size_t n = v.size();
  return n % 2 == 1 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

// Runs at least minRounds pairs and goes on until both sides have spent minSeconds (at most
// maxRounds pairs). A side that returns false fails the pair.
inline PairTiming TimePairs(const std::string& name, const std::function<bool()>& ours,
                            const std::function<bool()>& theirs, int minRounds = 11, double minSeconds = 2.0,
                            int maxRounds = 201) {
  using Clock = std::chrono::steady_clock;
  PairTiming t;
  t.Name = name;
  // One untimed call of each warms the page cache and the code.
  if (!ours() || !theirs()) {
    t.Failed = true;
    return t;
  }
  std::vector<double> a, b;
  double spent = 0;
  auto run = [&](const std::function<bool()>& f, std::vector<double>& into) {
    const auto s = Clock::now();
    const bool ok = f();
    const double ms = std::chrono::duration<double, std::milli>(Clock::now() - s).count();
    into.push_back(ms);
    spent += ms / 1000;
    return ok;
  };
  for (int r = 0; r < maxRounds && (r < minRounds || spent < 2 * minSeconds); ++r) {
    const bool oursFirst = r % 2 == 0;
    const bool ok = oursFirst ? run(ours, a) && run(theirs, b) : run(theirs, b) && run(ours, a);
    if (!ok) {
      t.Failed = true;
      return t;
    }
  }
  t.OursMs = Median(a);
  t.TheirsMs = Median(b);
  t.Rounds = static_cast<int>(a.size());
  return t;
}

inline std::string LoadAverage() {
  std::ifstream in("/proc/loadavg");
  std::string one, five, fifteen;
  in >> one >> five >> fifteen;
  return one + " " + five + " " + fifteen;
}

inline void PrintHeader(const char* title) {
  std::printf("%s (load average %s)\n", title, LoadAverage().c_str());
  std::printf("%-30s %11s %11s %7s %7s\n", "", "tavelo ms", "ffmpeg ms", "ratio", "pairs");
}

inline void PrintRow(const PairTiming& t) {
  if (t.Failed)
    std::printf("%-30s %s\n", t.Name.c_str(), "FAILED");
  else
    std::printf("%-30s %11.3f %11.3f %6.2fx %7d\n", t.Name.c_str(), t.OursMs, t.TheirsMs, t.Ratio(), t.Rounds);
  std::fflush(stdout);
}

}  // namespace tavelo::bench
