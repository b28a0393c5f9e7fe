#pragma once

#include <cstddef>

namespace tidymark {

// Prepares the heap for building a tree of about `expectedBytes`. On some machines (virtual ones
// in particular) memory touched for the first time is slow, and for a tree of any size the
// faults can cost more than the work itself. So memory freed during the run is kept for reuse
// rather than handed back to the system and faulted in again, and large blocks come from the
// heap too. For a large tree the heap also reserves twice the expected size of address space,
// keeps every allocation within it and asks for large pages; for a very large one, the expected
// part is faulted in by a helper thread on another processor while this one reads the file. The
// helper touches no data of the program; pages it fills come back zeroed, as any fresh page does.
// Call it before the work starts; a program that never calls it is unaffected. Each system has
// its own version (memory_linux.cpp); one where none of this helps may do nothing at all.
void prepareHeapForTree(std::size_t expectedBytes);

}  // namespace tidymark
