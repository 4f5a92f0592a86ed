// Large fresh memory: most of the time of writing a large array into fresh
// memory goes to the kernel's page faults, one per 4 KiB page.  Asking for
// huge pages on the array's whole 2 MiB pages (where the system grants
// them on request) cuts the faults 512-fold; the memory the array takes
// does not change beyond its last partial huge page.
#pragma once

#include <cstddef>
#include <cstdint>

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace tessaloom {

inline void advise_huge_pages(void* data, std::size_t size) {
#if defined(__linux__) && defined(MADV_HUGEPAGE)
  constexpr std::uintptr_t kHuge = std::uintptr_t{2} << 20;
  if (size < 2 * kHuge) return;
  const std::uintptr_t begin = (reinterpret_cast<std::uintptr_t>(data) + kHuge - 1) & ~(kHuge - 1);
  const std::uintptr_t end = (reinterpret_cast<std::uintptr_t>(data) + size) & ~(kHuge - 1);
  if (end > begin) (void)madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
#else
  (void)data, (void)size;
#endif
}

}  // namespace tessaloom
