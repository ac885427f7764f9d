// Index tables made present in one call. A first touch of a page costs tens of microseconds on
// the virtual machines this runs on, so an index of a hundred thousand entries filled one by one
// spends more in page faults than in its own work. Used by the reader's index and by the Video
// for Windows stand-in's chunk lists.
#pragma once
#include <cstddef>
#include <vector>

namespace tavelo::ffreader {

// Makes the pages of a freshly allocated block present in one call. Does nothing for small blocks
// or where the system cannot do it.
void PrefaultMemory(void* data, size_t bytes);

// Reserves room for n entries in an empty vector and makes its pages present.
template <class T>
void ReservePresent(std::vector<T>& v, size_t n) {
  v.reserve(n);
  PrefaultMemory(v.data(), n * sizeof(T));
}

}  // namespace tavelo::ffreader
