#include "ffreader/ff_present_memory.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>

namespace tavelo::ffreader {

void PrefaultMemory(void* data, size_t bytes) {
#ifdef MADV_POPULATE_WRITE
  if (data == nullptr || bytes < (size_t{16} << 10)) return;
  const auto page = static_cast<uintptr_t>(::sysconf(_SC_PAGESIZE));
  const uintptr_t begin = (reinterpret_cast<uintptr_t>(data) + page - 1) / page * page;
  const uintptr_t end = (reinterpret_cast<uintptr_t>(data) + bytes) / page * page;
  // Failing (an older system) leaves the pages to be faulted in as they are touched.
  if (end > begin) ::madvise(reinterpret_cast<void*>(begin), end - begin, MADV_POPULATE_WRITE);
#else
  (void)data;
  (void)bytes;
#endif
}

}  // namespace tavelo::ffreader
