#include <gtest/gtest.h>

#include <sys/resource.h>

#include <climits>
#include <cstring>

#include "core/services/errors.h"
#include "core/services/memory.h"
#include "core/services/monitor.h"

namespace tavelo {
namespace {

// Runs an allocation in a no-raise frame and answers its error code (0 on success).
int32_t TryAlloc(void*& p, int64_t size, int32_t kind = mkResizable) {
  MonitoredNoRaise([&] { _memalloc_(p, size, 240, "Test.TryAlloc.p", kind); });
  return GetErrorClass() == 0 ? 0 : GetErrorCode();
}

TEST(Memory, RoundedSizes) {
  EXPECT_EQ(MemRoundedSize(100), 108);
  EXPECT_EQ(MemRoundedSize(1), 4);
  EXPECT_EQ(MemRoundedSize(0), -1);
  EXPECT_EQ(MemRoundedSize(-5), -1);
  EXPECT_EQ(MemRoundedSize(int64_t{INT32_MAX} + 1), -1);
  // Inside INT32_MAX but past it once the 5 % margin is added.
  EXPECT_EQ(MemRoundedSize(2100000000), -1);
  void* p = nullptr;
  ASSERT_EQ(_memalloc_(p, 100, 1, "", mkResizable), 0);
  EXPECT_EQ(MemEntry(MemFind(p, 1)).Size, 108);
  MemFree(p);
}

TEST(Memory, InvalidRequestsFailWith5_5AndChangeNothing) {
  for (int64_t size : {int64_t{0}, int64_t{-1}, int64_t{INT32_MAX} + 1, int64_t{1} << 40, int64_t{2100000000}}) {
    void* p = reinterpret_cast<void*>(0x1234);
    EXPECT_EQ(TryAlloc(p, size), 5) << size;
    EXPECT_EQ(GetErrorClass(), ecMemory);
    EXPECT_EQ(p, reinterpret_cast<void*>(0x1234));
    EXPECT_EQ(MemCount(), 0);
  }
}

TEST(Memory, TagsAndHandleNumbers) {
  void *a = nullptr, *b = nullptr;
  ASSERT_EQ(_memalloc_(a, 10, 240, "ImgBasic.ImgCopyData.dest", mkResizable), 0);
  ASSERT_EQ(MemAllocStr(b, 10), 0);
  EXPECT_EQ(MemEntry(0).Tag, "C:240:ImgBasic.ImgCopyData.dest");
  EXPECT_EQ(MemEntry(1).Tag, "S:0:Handle #1");
  void* c = nullptr;
  ASSERT_EQ(MemAllocNew(c, 10), 0);
  EXPECT_EQ(MemEntry(2).Tag, "F:0:Handle #2");
  void* d = nullptr;
  ASSERT_EQ(_memalloc_(d, 10, 1234567, std::string(100, 'x'), mkResizable), 0);
  EXPECT_EQ(MemEntry(3).Tag.size(), 80u);
  EXPECT_EQ(MemEntry(3).Tag.substr(0, 12), "C:1,234,567:");
  MemFree(a);
  MemFree(b);
  MemFree(c);
  MemFree(d);
}

TEST(Memory, ResizeKeepsContentAndEntry) {
  char* p = nullptr;
  ASSERT_EQ(_memalloc_(p, 16, 1, "Test.p", mkResizable), 0);
  std::strcpy(p, "keep me");
  ASSERT_EQ(_memalloc_(p, 100000, 1, "Test.p", mkResizable), 0);
  EXPECT_STREQ(p, "keep me");
  EXPECT_EQ(MemCount(), 1);
  EXPECT_EQ(MemEntry(0).Size, 105000);
  // Kind 2 always makes a fresh block.
  char* q = p;
  ASSERT_EQ(_memalloc_(q, 8, 1, "Test.q", mkFresh), 0);
  EXPECT_NE(q, p);
  EXPECT_EQ(MemCount(), 2);
  MemFree(p);
  MemFree(q);
  EXPECT_EQ(MemCount(), 0);
}

TEST(Memory, FreeIgnoresUntrackedAndMovesTheLastEntry) {
  void* none = nullptr;
  MemFree(none);
  int local = 0;
  void* untracked = &local;
  MemFree(untracked);
  EXPECT_EQ(untracked, &local);

  void *a = nullptr, *b = nullptr, *c = nullptr;
  ASSERT_EQ(MemAllocNew(a, 4), 0);
  ASSERT_EQ(MemAllocNew(b, 4), 0);
  ASSERT_EQ(MemAllocNew(c, 4), 0);
  MemFree(a);
  EXPECT_EQ(a, nullptr);
  EXPECT_EQ(MemCount(), 2);
  EXPECT_EQ(MemFind(c, 1), 0);
  EXPECT_EQ(MemFind(b, 1), 1);
  EXPECT_EQ(MemFind(a, 1), 0x7FFFFFFF);
  MemFree(b);
  MemFree(c);
}

TEST(Memory, TableGrowsBy1024) {
  std::vector<void*> blocks(1025, nullptr);
  for (size_t i = 0; i < 1024; ++i) ASSERT_EQ(MemAllocNew(blocks[i], 4), 0);
  EXPECT_EQ(MemCapacity(), 1024);
  ASSERT_EQ(MemAllocNew(blocks[1024], 4), 0);
  EXPECT_EQ(MemCapacity(), 2048);
  EXPECT_EQ(MemHighWater(), 1025);
  for (auto& b : blocks) MemFree(b);
  EXPECT_EQ(MemCount(), 0);
}

TEST(Memory, ExchangeSwapsBlocksAndSizes) {
  void *a = nullptr, *b = nullptr;
  ASSERT_EQ(_memalloc_(a, 10, 1, "Test.a", mkResizable), 0);
  ASSERT_EQ(_memalloc_(b, 100, 1, "Test.b", mkResizable), 0);
  void* const oldA = a;
  ASSERT_EQ(MemXchg(a, b), 0);
  EXPECT_EQ(MemEntry(0).Block, b);
  EXPECT_EQ(MemEntry(0).Size, 108);
  EXPECT_EQ(MemEntry(0).Tag, "C:1:Test.a");
  EXPECT_EQ(MemEntry(1).Block, oldA);
  int local = 0;
  void* untracked = &local;
  EXPECT_EQ(MonitoredNoRaise([&] { MemXchg(a, untracked); }), ecMemory);
  EXPECT_EQ(GetErrorCode(), 2);
  MemFree(a);
  MemFree(b);
}

TEST(Memory, FindModes) {
  void* p = nullptr;
  ASSERT_EQ(MemAllocNew(p, 4), 0);
  void* alias = p;
  EXPECT_EQ(MemFind(alias, 1), 0);
  EXPECT_EQ(MemFind(alias, 2), 0x7FFFFFFF);
  EXPECT_EQ(MemFind(alias, 3), 0x7FFFFFFF);
  EXPECT_EQ(MemFind(p, 3), 0);
  MemFree(p);
}

TEST(Memory, BlocksMadeWithoutZeroFillAreTrackedAlike) {
  const int32_t before = MemCount();
  uint8_t* p = nullptr;
  ASSERT_EQ(_memalloc_(p, 1000, 1, "Test.raw", mkFresh, false), 0);
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(MemCount(), before + 1);
  EXPECT_EQ(MemEntry(MemFind(p, 3)).Size, MemRoundedSize(1000));
  std::memset(p, 0x5A, 1000);  // the whole block is there to write
  // A resize of a tracked block keeps its bytes, whatever the new block's filling.
  ASSERT_EQ(_memalloc_(p, 3000, 1, "Test.raw", mkResizable, false), 0);
  EXPECT_EQ(p[999], 0x5A);
  EXPECT_EQ(MemCount(), before + 1);
  MemFree(p);
  EXPECT_EQ(MemCount(), before);
  // Zero-filled stays the default.
  ASSERT_EQ(_memalloc_(p, 4096, 1, "Test.zero", mkFresh), 0);
  for (int i = 0; i < 4096; ++i) ASSERT_EQ(p[i], 0) << i;
  MemFree(p);
}

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define TAVELO_OWN_ALLOCATOR 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer) || __has_feature(memory_sanitizer)
#define TAVELO_OWN_ALLOCATOR 1
#endif
#endif

TEST(Memory, ABlockFreedIsMadeAgainWithoutFaultingItsPagesIn) {
#ifdef TAVELO_OWN_ALLOCATOR
  GTEST_SKIP() << "a sanitizer's allocator keeps freed blocks in quarantine";
#else
  // A picture-sized block made, written, freed and made again (every load of a still does this):
  // the second time its pages are still the process's own.
  constexpr int64_t kBytes = 24 << 20;
  auto cycle = [&] {
    uint8_t* p = nullptr;
    EXPECT_EQ(_memalloc_(p, kBytes, 1, "Test.picture", mkFresh, false), 0);
    std::memset(p, 1, static_cast<size_t>(kBytes));
    MemFree(p);
  };
  auto faults = [] {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return u.ru_minflt;
  };
  cycle();
  const long before = faults();
  cycle();
  // 24 MB are 6144 pages of 4 KB; a few faults elsewhere are allowed.
  EXPECT_LT(faults() - before, 600);
#endif
}

}  // namespace
}  // namespace tavelo
