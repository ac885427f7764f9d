// Tracked memory blocks. Every buffer that a failed piece of work must give back is allocated
// through one process-wide table (under a mutex). Each entry records the block, the address of
// the owner's pointer variable, the size, an owner tag, the owner thread and a sequence number;
// a monitor frame releases the entries its own thread made after its mark.
#pragma once
#include <cstdint>
#include <string>

namespace tavelo {

enum : int32_t { mkString = 1, mkFresh = 2, mkResizable = 3 };

struct MemRecord {
  void* Block = nullptr;
  void* VarAddr = nullptr;  // address of the owner's pointer variable
  int32_t Size = 0;         // the rounded size actually allocated
  std::string Tag;          // at most 80 characters
  uint64_t Thread = 0;      // owner thread
  int64_t Seq = 0;          // order of creation, for frame marks
};

// Allocates (or, for an already tracked variable of a kind other than 2, resizes) a tracked block.
// Result 0 or an ecMemory code: 1 allocation failed, 3 resize failed, 5 invalid size, 6 table
// growth failed. Failures are reported through SetError (5, code, 240) and so unwind.
// A new block is zero-filled unless zeroed is false: a caller that writes every byte of it before
// reading any (a file read, a decoded picture) passes false and saves a pass over the memory.
int32_t _memalloc_(void*& p, int64_t size, int32_t line, const std::string& owner, int32_t kind, bool zeroed = true);
int32_t MemAllocStr(void*& p, int64_t size);
int32_t MemAllocNew(void*& p, int64_t size);
void MemFree(void*& p);
int32_t MemXchg(void*& p1, void*& p2);
bool MemIsTracked(void* const& p);
int32_t MemCount();
int32_t MemHighWater();
int32_t MemCapacity();
// The mark a frame records: entries made later have a sequence number >= the mark.
int64_t MemMark();
// Frees this thread's entries made at or after mark, newest first.
void MemFreeFrom(int64_t mark);
// Index of the first entry whose Block = p (mode 1), VarAddr = &p (mode 2) or both (mode 3);
// 0x7FFFFFFF when none.
int32_t MemFind(void* const& p, int32_t mode);
// A copy of entry i (for tests and the leak report); an empty record when out of range.
MemRecord MemEntry(int32_t index);
// The rounded size the allocator uses for a request (-1 when invalid).
int64_t MemRoundedSize(int64_t size);
// The program-end report: lists and frees every block, lists and closes every open file.
void ReportLeaks();

template <class T>
int32_t _memalloc_(T*& p, int64_t size, int32_t line, const std::string& owner, int32_t kind, bool zeroed = true) {
  return _memalloc_(reinterpret_cast<void*&>(p), size, line, owner, kind, zeroed);
}
template <class T>
void MemFree(T*& p) {
  MemFree(reinterpret_cast<void*&>(p));
}
template <class T>
int32_t MemXchg(T*& p1, T*& p2) {
  return MemXchg(reinterpret_cast<void*&>(p1), reinterpret_cast<void*&>(p2));
}
template <class T>
bool MemIsTracked(T* const& p) {
  return MemIsTracked(reinterpret_cast<void* const&>(p));
}
template <class T>
int32_t MemFind(T* const& p, int32_t mode) {
  return MemFind(reinterpret_cast<void* const&>(p), mode);
}

}  // namespace tavelo
