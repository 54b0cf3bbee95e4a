// Hints to the system about large blocks of memory.
#pragma once

#include <cstddef>
#include <cstdint>

#if __has_include(<sys/mman.h>)
#include <sys/mman.h>
#endif

namespace bv {

// Arrays of one record per symbol are walked in the order of a sort, and large
// documents are written into fresh memory: on 4 KiB pages each step of such a walk
// is a page-table walk and each page filled a fault. Where the system hands out
// huge pages on request, ask for them for such a block (a hint: nothing fails
// without them; only whole huge pages inside the block, from two of them up).
inline void advise_huge_pages(const void* data, size_t bytes) {
#ifdef MADV_HUGEPAGE
  constexpr uintptr_t kHuge = uintptr_t{2} << 20;
  if (bytes < 2 * kHuge) return;
  const auto start = reinterpret_cast<uintptr_t>(data);
  const uintptr_t lo = (start + kHuge - 1) & ~(kHuge - 1);
  const uintptr_t hi = (start + bytes) & ~(kHuge - 1);
  if (hi > lo) (void)madvise(reinterpret_cast<void*>(lo), hi - lo, MADV_HUGEPAGE);
#else
  (void)data;
  (void)bytes;
#endif
}

}  // namespace bv
