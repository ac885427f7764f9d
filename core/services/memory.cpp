#include "core/services/memory.h"

#include <algorithm>
#include <climits>
#include <malloc.h>
#include <cstdlib>
#include <functional>
#include <thread>
#include <vector>

#include "core/services/basic.h"
#include "core/services/errors.h"
#include "core/services/files.h"
#include "core/services/monitor.h"
#include "core/services/trace.h"
#include "core/services/tracking.h"

namespace tavelo {

namespace detail {

namespace {
int64_t g_seq GUARDED_BY(TrackingMutex()) = 0;
}

Mutex& TrackingMutex() {
  static Mutex m;
  return m;
}

int64_t NextTrackingSeq() { return g_seq++; }

int64_t PeekTrackingSeq() {
  const LockGuard lock(TrackingMutex());
  return g_seq;
}

uint64_t CurrentThreadTag() { return std::hash<std::thread::id>()(std::this_thread::get_id()); }

}  // namespace detail

namespace {

constexpr int32_t kGrowBy = 1024;
constexpr int32_t kNotFound = 0x7FFFFFFF;

struct MemTable {
  std::vector<MemRecord> entries;  // entries.size() is Count
  int32_t capacity = 0;
  int32_t highWater = 0;
};

MemTable& Table() REQUIRES(detail::TrackingMutex()) {
  static MemTable t;
  return t;
}

int32_t FindLocked(const void* block, const void* varAddr, int32_t mode) REQUIRES(detail::TrackingMutex()) {
  const auto& e = Table().entries;
  for (size_t i = 0; i < e.size(); ++i) {
    const bool blockMatch = e[i].Block == block;
    const bool varMatch = e[i].VarAddr == varAddr;
    if ((mode == 1 && blockMatch) || (mode == 2 && varMatch) || (mode == 3 && blockMatch && varMatch))
      return static_cast<int32_t>(i);
  }
  return kNotFound;
}

std::string MakeTag(int32_t kind, int32_t line, const std::string& owner, int32_t index) {
  const char letter = kind == mkString ? 'S' : (kind == mkFresh ? 'F' : 'C');
  std::string tag = std::string(1, letter) + ":" + IntToStrW(static_cast<uint32_t>(line), 100) + ":" +
                    (owner.empty() ? "Handle #" + IntToStrW(static_cast<uint32_t>(index), 0) : owner);
  return CutUtf8(tag, 80);
}

// Removes the entry of block (moving the last entry into its place) and releases the block.
// Returns false when the block is not tracked.
bool FreeBlock(void* block) {
  if (block == nullptr) return false;
  {
    const LockGuard lock(detail::TrackingMutex());
    auto& e = Table().entries;
    const int32_t i = FindLocked(block, nullptr, 1);
    if (i == kNotFound) return false;
    if (static_cast<size_t>(i) != e.size() - 1) e[static_cast<size_t>(i)] = std::move(e.back());
    e.pop_back();
  }
  // Both kinds of block come from the C allocator; free() cannot report a failure.
  std::free(block);
  return true;
}

// Pictures and file images of a few megabytes are made and freed on every load. With the C
// library's sliding limits such a block is mapped afresh, or the heap above it handed back to the
// system, each time, so every load faults its pages in again. The heap keeps freed memory up to
// kKeepBytes instead, and blocks below kOwnMapBytes come from the heap rather than from mappings
// of their own; set once, before the first tracked block.
constexpr int kOwnMapBytes = 32 << 20;  // the largest limit the library accepts
constexpr int kKeepBytes = 128 << 20;

void KeepFreedBlocks() {
  static const bool done = [] {
    mallopt(M_MMAP_THRESHOLD, kOwnMapBytes);
    mallopt(M_TRIM_THRESHOLD, kKeepBytes);
    return true;
  }();
  (void)done;
}

}  // namespace

int64_t MemRoundedSize(int64_t size) {
  if (size <= 0 || size > INT32_MAX) return -1;
  const int64_t r = FpuRound(static_cast<long double>(size) * 1.05L);
  const int64_t rounded = ((r + 3) / 4) * 4;
  return rounded > INT32_MAX ? -1 : rounded;
}

int32_t _memalloc_(void*& p, int64_t size, int32_t line, const std::string& owner, int32_t kind, bool zeroed) {
  TraceScope trace("Basic._memalloc_");
  KeepFreedBlocks();
  int32_t result = 0;
  const int64_t rounded = MemRoundedSize(size);
  if (rounded <= 0) {
    result = 5;
  } else {
    const LockGuard lock(detail::TrackingMutex());
    MemTable& t = Table();
    const int32_t found = FindLocked(p, &p, 3);
    if (found == kNotFound || kind == mkFresh) {
      // The table grows before the block is made, so a growth failure never leaves a block
      // that nobody tracks.
      bool tableReady = true;
      if (static_cast<int32_t>(t.entries.size()) == t.capacity) {
        try {
          t.entries.reserve(static_cast<size_t>(t.capacity) + kGrowBy);
          t.capacity += kGrowBy;
        } catch (...) {
          tableReady = false;
          result = 6;
        }
      }
      if (tableReady) {
        void* block = zeroed ? std::calloc(1, static_cast<size_t>(rounded)) : std::malloc(static_cast<size_t>(rounded));
        if (block == nullptr) {
          result = 1;
        } else {
          MemRecord r;
          r.Block = block;
          r.VarAddr = &p;
          r.Size = static_cast<int32_t>(rounded);
          r.Tag = MakeTag(kind, line, owner, static_cast<int32_t>(t.entries.size()));
          r.Thread = detail::CurrentThreadTag();
          r.Seq = detail::NextTrackingSeq();
          t.entries.push_back(std::move(r));
          t.highWater = std::max(t.highWater, static_cast<int32_t>(t.entries.size()));
          p = block;
        }
      }
    } else {
      MemRecord& r = t.entries[static_cast<size_t>(found)];
      void* block = nullptr;
      if (kind == mkString) {
        // A string buffer is renewed, not resized: the new one is made before the old one goes,
        // so a failure leaves the caller's block intact.
        block = std::calloc(1, static_cast<size_t>(rounded));
        if (block != nullptr) std::free(r.Block);
      } else {
        block = std::realloc(r.Block, static_cast<size_t>(rounded));
      }
      if (block == nullptr) {
        result = 3;
      } else {
        r.Block = block;
        r.VarAddr = &p;
        r.Size = static_cast<int32_t>(rounded);
        r.Tag = MakeTag(kind, line, owner, found);
        p = block;
      }
    }
  }
  SetError(ecMemory, result, 240);
  return result;
}

int32_t MemAllocStr(void*& p, int64_t size) { return _memalloc_(p, size, 0, std::string(), mkString); }
int32_t MemAllocNew(void*& p, int64_t size) { return _memalloc_(p, size, 0, std::string(), mkFresh); }

void MemFree(void*& p) {
  TraceScope trace("Basic.MemFree");
  ClearWarning();
  if (FreeBlock(p)) p = nullptr;
}

int32_t MemXchg(void*& p1, void*& p2) {
  TraceScope trace("Basic.MemXchg");
  int32_t result = 0;
  BeginMonitor();
  try {
    bool found = false;
    {
      const LockGuard lock(detail::TrackingMutex());
      const int32_t i1 = FindLocked(p1, nullptr, 1);
      const int32_t i2 = FindLocked(p2, nullptr, 1);
      if (i1 != kNotFound && i2 != kNotFound) {
        auto& e = Table().entries;
        std::swap(e[static_cast<size_t>(i1)].Block, e[static_cast<size_t>(i2)].Block);
        std::swap(e[static_cast<size_t>(i1)].Size, e[static_cast<size_t>(i2)].Size);
        found = true;
      }
    }
    if (!found) {
      result = 2;
      SetError(ecMemory, 2, 283);
    }
  } catch (...) {
    CatchException();
  }
  EndMonitor();
  return result;
}

bool MemIsTracked(void* const& p) {
  if (p == nullptr) return false;
  const LockGuard lock(detail::TrackingMutex());
  return FindLocked(p, nullptr, 1) != kNotFound;
}

int32_t MemCount() {
  const LockGuard lock(detail::TrackingMutex());
  return static_cast<int32_t>(Table().entries.size());
}

int32_t MemHighWater() {
  const LockGuard lock(detail::TrackingMutex());
  return Table().highWater;
}

int32_t MemCapacity() {
  const LockGuard lock(detail::TrackingMutex());
  return Table().capacity;
}

int64_t MemMark() { return detail::PeekTrackingSeq(); }

void MemFreeFrom(int64_t mark) {
  std::vector<std::pair<int64_t, void*>> mine;
  {
    const LockGuard lock(detail::TrackingMutex());
    const uint64_t me = detail::CurrentThreadTag();
    for (const MemRecord& r : Table().entries)
      if (r.Thread == me && r.Seq >= mark) mine.emplace_back(r.Seq, r.Block);
  }
  std::sort(mine.begin(), mine.end(), [](const auto& a, const auto& b) { return a.first > b.first; });
  for (auto& [seq, block] : mine) {
    void* v = block;
    MemFree(v);
  }
}

int32_t MemFind(void* const& p, int32_t mode) {
  const LockGuard lock(detail::TrackingMutex());
  return FindLocked(p, &p, mode);
}

MemRecord MemEntry(int32_t index) {
  const LockGuard lock(detail::TrackingMutex());
  const auto& e = Table().entries;
  if (index < 0 || static_cast<size_t>(index) >= e.size()) return {};
  return e[static_cast<size_t>(index)];
}

void ReportLeaks() {
  std::string text;
  const int32_t count = MemCount();
  if (count > 0) {
    text += "Max. allocated memory handles: " + IntToStrW(static_cast<uint32_t>(MemHighWater()), 100) + "\r\n";
    text += "Memory handles not freed:\r\n";
    for (int32_t i = MemCount() - 1; i >= 0; --i) {
      MemRecord r = MemEntry(i);
      if (r.Block == nullptr) continue;
      text += "  " + r.Tag + ":" + IntToStrW(static_cast<uint32_t>(r.Size), 100) + " bytes\r\n";
      MemFree(r.Block);
    }
  }
  const int32_t files = FCount();
  if (files > 0) {
    text += "Files not closed: " + IntToStrW(static_cast<uint32_t>(files), 100) + "\r\n";
    for (int32_t i = FCount() - 1; i >= 0; --i) {
      const FileRecord f = FEntry(i);
      if (f.Handle == 0) continue;
      text += "  " + f.Name + "\r\n";
      if (f.IsText)
        TXTClose(f.Handle);
      else
        FClose(f.Handle);
    }
  }
  if (!text.empty()) TraceText(text);
}

}  // namespace tavelo
