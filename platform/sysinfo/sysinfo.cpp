#include "platform/sysinfo/sysinfo.h"

#include <sys/statvfs.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>
#include <vector>

namespace tavelo::platform {

int64_t PerformanceCounter() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

int64_t PerformanceFrequency() { return 1000000000; }

uint32_t TickCount() {
  const auto ms =
      std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch()).count();
  return static_cast<uint32_t>(static_cast<uint64_t>(ms));
}

bool ReadMemFigures(MemFigures& out) {
  std::ifstream in("/proc/meminfo");
  if (!in) return false;
  std::string key;
  uint64_t value = 0;
  std::string unit;
  bool haveTotal = false, haveAvail = false, haveFree = false;
  uint64_t memFree = 0;
  std::string line;
  while (std::getline(in, line)) {
    std::istringstream fields(line);
    if (!(fields >> key >> value)) continue;
    const uint64_t bytes = value * 1024;  // /proc/meminfo counts kB
    if (key == "MemTotal:") { out.totalPhys = bytes; haveTotal = true; }
    else if (key == "MemAvailable:") { out.availPhys = bytes; haveAvail = true; }
    else if (key == "MemFree:") { memFree = bytes; haveFree = true; }
    else if (key == "SwapTotal:") out.totalSwap = bytes;
    else if (key == "SwapFree:") out.availSwap = bytes;
  }
  if (!haveAvail && haveFree) out.availPhys = memFree;
  return haveTotal;
}

bool DiskFigures(const std::string& path, uint64_t& total, uint64_t& avail) {
  struct statvfs st {};
  if (statvfs(path.c_str(), &st) != 0) return false;
  total = static_cast<uint64_t>(st.f_blocks) * st.f_frsize;
  avail = static_cast<uint64_t>(st.f_bavail) * st.f_frsize;
  return true;
}

namespace {
// /proc/self/mounts escapes blanks and a few other characters as octal.
std::string UnescapeMountField(const std::string& s) {
  std::string out;
  for (size_t i = 0; i < s.size(); ++i) {
    const auto octal = [&](size_t k) { return k < s.size() && s[k] >= '0' && s[k] <= '7'; };
    if (s[i] == '\\' && octal(i + 1) && octal(i + 2) && octal(i + 3)) {
      out += static_cast<char>(std::strtol(s.substr(i + 1, 3).c_str(), nullptr, 8));
      i += 3;
    } else {
      out += s[i];
    }
  }
  return out;
}
}  // namespace

std::string FileSystemType(const std::string& path) {
  char resolved[4096];
  if (realpath(path.c_str(), resolved) == nullptr) return {};
  const std::string target = resolved;
  std::ifstream in("/proc/self/mounts");
  std::string line, best, bestType;
  while (std::getline(in, line)) {
    std::istringstream fields(line);
    std::string device, mountPoint, type;
    if (!(fields >> device >> mountPoint >> type)) continue;
    mountPoint = UnescapeMountField(mountPoint);
    const bool covers = target == mountPoint || mountPoint == "/" ||
                        (target.compare(0, mountPoint.size(), mountPoint) == 0 && target.size() > mountPoint.size() &&
                         target[mountPoint.size()] == '/');
    // The last matching line of the longest mount point is the one in force.
    if (covers && mountPoint.size() >= best.size()) {
      best = mountPoint;
      bestType = type;
    }
  }
  return bestType;
}

CpuFigures ReadCpuFigures() {
  CpuFigures cpu;
#if defined(__x86_64__)
  cpu.architecture = 9;
  cpu.type = 8664;
#elif defined(__i386__)
  cpu.architecture = 0;
  cpu.type = 586;
#elif defined(__aarch64__)
  cpu.architecture = 12;
#else
  cpu.architecture = 0xFFFF;
#endif
  const unsigned n = std::thread::hardware_concurrency();
  cpu.count = n > 0 ? static_cast<int32_t>(n) : 1;
  std::ifstream in("/proc/cpuinfo");
  std::string line;
  bool haveFamily = false, haveName = false;
  while (std::getline(in, line) && !(haveFamily && haveName)) {
    const auto colon = line.find(':');
    if (colon == std::string::npos) continue;
    std::string key = line.substr(0, colon);
    while (!key.empty() && (key.back() == ' ' || key.back() == '\t')) key.pop_back();
    std::string value = line.substr(colon + 1);
    while (!value.empty() && value.front() == ' ') value.erase(value.begin());
    if (!haveFamily && key == "cpu family") {
      cpu.level = std::atoi(value.c_str());
      haveFamily = true;
    } else if (!haveName && key == "model name") {
      cpu.name = value;
      haveName = true;
    }
  }
  return cpu;
}

OsFigures ReadOsFigures() {
  OsFigures os;
  struct utsname u {};
  if (uname(&u) != 0) return os;
  os.name = u.sysname;
  unsigned a = 0, b = 0, c = 0;
  std::sscanf(u.release, "%u.%u.%u", &a, &b, &c);
  os.major = a;
  os.minor = b;
  os.build = c;
  os.version = u.version;
  return os;
}

std::string ProgramFileName() {
  std::vector<char> buf(4096);
  const ssize_t n = readlink("/proc/self/exe", buf.data(), buf.size() - 1);
  if (n <= 0) return {};
  return std::string(buf.data(), static_cast<size_t>(n));
}

}  // namespace tavelo::platform
