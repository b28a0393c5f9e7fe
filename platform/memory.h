#pragma once

#include <cstddef>

namespace tidymark {

// Prepares the heap for building a large tree: reserves up to `bytes` of address space at the
// top of the heap, asks the system to back it with large pages, and keeps every allocation in
// the heap. Building the tree of a large file touches hundreds of megabytes of fresh memory;
// on machines where a fault on a small page is expensive, those faults alone cost more than
// the rest of the run. Nothing is touched here, and memory never touched costs nothing.
// Call it before the work starts; a program that never calls it is unaffected.
void reserveHeapForLargeTrees(std::size_t bytes);

}  // namespace tidymark
