// Any bytes given to the binary reader either fail cleanly or load a tree that the binary writer
// writes and the reader reads back equal, and whose second write gives the same bytes.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "fuzz/fuzz_support.h"
#include "platform/binary_plist.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace tidymark;
  PlistValue tree;
  if (!readBinaryPlist(std::string_view(reinterpret_cast<const char*>(data), size), &tree).ok()) {
    return 0;
  }
  // The reader only loads strings that are UTF-8, so the writer must take whatever it loaded.
  std::string written;
  fuzzing::mustSucceed(writeBinaryPlist(tree, &written), "writing a loaded tree");
  PlistValue again;
  fuzzing::mustSucceed(readBinaryPlist(written, &again), "reading our own output");
  if (!(again == tree)) fuzzing::broken("the tree read back differs");
  std::string rewritten;
  fuzzing::mustSucceed(writeBinaryPlist(again, &rewritten), "writing the tree read back");
  if (rewritten != written) fuzzing::broken("a second write gives other bytes");
  return 0;
}
