// The machine's figures: clocks, memory, disks, processor and operating system.
#pragma once
#include <cstdint>
#include <string>

namespace tavelo::platform {

// A monotonic high-resolution counter and its frequency (counts per second).
int64_t PerformanceCounter();
int64_t PerformanceFrequency();
// Milliseconds since an arbitrary start, wrapping at 2^32.
uint32_t TickCount();

struct MemFigures {
  uint64_t totalPhys = 0, availPhys = 0, totalSwap = 0, availSwap = 0;  // bytes
};
// From /proc/meminfo; false when it cannot be read.
bool ReadMemFigures(MemFigures& out);

// Total bytes and bytes available to the caller on the file system holding path.
bool DiskFigures(const std::string& path, uint64_t& total, uint64_t& avail);
// The type of the file system that holds path ("ext4", "tmpfs"...); empty when unknown.
std::string FileSystemType(const std::string& path);

struct CpuFigures {
  int32_t architecture = 0;  // 0 x86, 9 x86-64, 12 ARM64, 0xFFFF unknown
  int32_t level = 0;         // processor family
  int32_t type = 0;          // 586 (x86) or 8664 (x86-64)
  int32_t count = 1;
  std::string name;          // model name
};
CpuFigures ReadCpuFigures();

struct OsFigures {
  std::string name;  // "Linux"
  uint32_t major = 0, minor = 0, build = 0;
  std::string version;  // the kernel's build text
};
OsFigures ReadOsFigures();

// The full file name of the running program.
std::string ProgramFileName();

}  // namespace tavelo::platform
