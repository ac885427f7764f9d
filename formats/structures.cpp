#include "formats/structures.h"

#include "core/services/basic.h"
#include "core/services/memory.h"
#include "core/services/trace.h"

namespace tavelo {

namespace {
int64_t WordCount(int32_t count) { return (static_cast<int64_t>(count) + 31) / 32; }
}  // namespace

void BitAlloc(BitArray& ba, int32_t count) {
  TraceScope trace("structures.BitAlloc");
  BitFree(ba);
  if (count < 1) return;
  _memalloc_(ba.Items, WordCount(count) * 4, __LINE__, "structures.BitAlloc.bitArray.items", mkFresh);
  ba.Count = count;
  BitFill(ba, false);
}

void BitFree(BitArray& ba) {
  if (ba.Items != nullptr) MemFree(ba.Items);
  ba.Items = nullptr;
  ba.Count = 0;
}

void BitFill(BitArray& ba, bool value) {
  if (ba.Items == nullptr) return;
  FillMem(ba.Items, WordCount(ba.Count) * 4, value ? 0xFF : 0x00);
}

void BitSet(bool value, int32_t index, BitArray& ba) {
  if (ba.Items == nullptr || index < 0 || index >= ba.Count) return;
  const uint32_t mask = 1u << (index % 32);
  if (value)
    ba.Items[index / 32] |= mask;
  else
    ba.Items[index / 32] &= ~mask;
}

int32_t BitFind(const BitArray& ba, bool value) {
  if (ba.Items == nullptr) return 0x7FFFFFFF;
  const uint32_t skip = value ? 0u : 0xFFFFFFFFu;  // a word with no wanted bit
  const int64_t words = WordCount(ba.Count);
  for (int64_t w = 0; w < words; ++w) {
    const uint32_t v = ba.Items[w];
    if (v == skip) continue;
    const uint32_t wanted = value ? v : ~v;
    return static_cast<int32_t>(w * 32 + __builtin_ctz(wanted));
  }
  return 0x7FFFFFFF;
}

}  // namespace tavelo
