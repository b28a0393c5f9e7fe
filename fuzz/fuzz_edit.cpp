// The save as an edit of the original, on any bytes: whatever loads is sorted and saved as the
// original with entries moved. What is written must read back as the tree sorted in memory, and,
// unless the save fell back to the whole writer, be as long as the input and equal to it outside
// the arrays whose entries moved. Saving again after a second sort must change nothing.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <iterator>
#include <string>
#include <string_view>
#include <vector>

#include "bookmarks/folder_sort.h"
#include "fuzz/fuzz_support.h"
#include "platform/plist_file.h"

namespace {

using namespace tidymark;

std::string saved(const PlistDocument& document) {
  std::string out;
  StringSink sink(out);
  fuzzing::mustSucceed(writePlistContent(document, sink), "writing the edit");
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string input(reinterpret_cast<const char*>(data), size);
  PlistDocument document;
  if (!readPlistKeepingOriginal(input, &document).ok()) return 0;
  std::vector<FolderChange> changes;
  sortImpl(document.root, &changes);
  document.moved.assign(std::make_move_iterator(changes.begin()),
                        std::make_move_iterator(changes.end()));
  const bool edited = document.original->edit(document.moved).has_value();
  const std::string written = saved(document);

  PlistDocument reread;
  fuzzing::mustSucceed(readPlistKeepingOriginal(written, &reread), "reading the saved file");
  if (!(reread.root == document.root)) fuzzing::broken("the saved file is not the sorted tree");
  if (edited) {
    if (written.size() != input.size()) fuzzing::broken("the edit changed the file's length");
    // Every byte that changed lies inside the span of a moved array's entries: from the first
    // changed byte to the last, the bytes are a permutation of the original's.
    std::size_t first = 0;
    while (first < input.size() && input[first] == written[first]) ++first;
    std::size_t last = input.size();
    while (last > first && input[last - 1] == written[last - 1]) --last;
    std::string before = input.substr(first, last - first);
    std::string after = written.substr(first, last - first);
    std::sort(before.begin(), before.end());
    std::sort(after.begin(), after.end());
    if (before != after) fuzzing::broken("the edit changed bytes it did not move");
    if (changes.empty() && written != input) fuzzing::broken("nothing moved, yet bytes changed");
  }

  // Sorted again, nothing moves, and the saved file is its own original.
  std::vector<FolderChange> again;
  sortImpl(reread.root, &again);
  if (!again.empty()) fuzzing::broken("sorting the saved file moved entries again");
  if (saved(reread) != written) fuzzing::broken("saving the saved file changed it");
  return 0;
}
