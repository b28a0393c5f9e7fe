#pragma once

#include <cstddef>

namespace tidymark {

// Prepares the heap for building a tree of about `expectedBytes`. Building the tree of a large
// file touches hundreds of megabytes of fresh memory, and on some machines (virtual ones in
// particular) memory touched for the first time is slow: there the faults alone cost more than
// the rest of the run. So the heap reserves twice the expected size of address space, keeps
// every allocation within it, asks for large pages, and has the expected part faulted in by a
// helper thread on another processor while this one reads the file. The helper touches no data
// of the program; pages it fills come back zeroed, as any fresh page does.
// Call it before the work starts; a program that never calls it is unaffected.
void prepareHeapForTree(std::size_t expectedBytes);

}  // namespace tidymark
