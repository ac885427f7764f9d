// A bit array over one tracked block (unit Structures): the numbered-sequence scan marks the
// numbers it finds in it.
#pragma once
#include <cstdint>

namespace tavelo {

struct BitArray {
  int32_t Count = 0;
  uint32_t* Items = nullptr;  // tracked block of ((Count + 31) div 32) words

  BitArray() = default;
  BitArray(const BitArray&) = delete;  // Items is tracked by the address of this field
  BitArray& operator=(const BitArray&) = delete;
};

// Allocates count bits (all false). A count below 1 allocates nothing.
void BitAlloc(BitArray& ba, int32_t count);
void BitFree(BitArray& ba);
void BitFill(BitArray& ba, bool value);
// Bit index := value; an index outside 0 .. Count - 1 is ignored.
void BitSet(bool value, int32_t index, BitArray& ba);
// The first index whose bit equals value, 2147483647 when none. The search runs over whole
// words, so it may report an index in the unused tail of the last word.
int32_t BitFind(const BitArray& ba, bool value);

}  // namespace tavelo
