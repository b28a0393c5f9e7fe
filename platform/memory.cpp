#include "platform/memory.h"

#include <malloc.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstdlib>

namespace tidymark {

void reserveHeapForLargeTrees(std::size_t bytes) {
  constexpr std::size_t kLargePage = std::size_t{2} << 20;
  constexpr std::size_t kLaterGrowth = std::size_t{64} << 20;
  // Large blocks come from the heap too (not from mappings of their own), and nothing freed is
  // handed back to the system before the end.
  mallopt(M_MMAP_MAX, 0);
  mallopt(M_TRIM_THRESHOLD, INT_MAX);

  auto* const before = static_cast<char*>(sbrk(0));
  // A request the heap cannot meet from what it holds makes it grow by the request plus the
  // pad. Where the system refuses so much address space, ask for less.
  for (std::size_t pad = bytes; pad >= kLaterGrowth; pad /= 2) {
    mallopt(M_TOP_PAD, static_cast<int>(std::min<std::size_t>(pad, INT_MAX)));
    if (void* block = std::malloc(kLargePage)) {
      std::free(block);
      break;
    }
  }
  mallopt(M_TOP_PAD, static_cast<int>(kLaterGrowth));

  auto* const after = static_cast<char*>(sbrk(0));
  const auto start =
      (reinterpret_cast<std::uintptr_t>(before) + kLargePage - 1) & ~(kLargePage - 1);
  const auto end = reinterpret_cast<std::uintptr_t>(after);
  if (end > start) madvise(reinterpret_cast<void*>(start), end - start, MADV_HUGEPAGE);
}

}  // namespace tidymark
