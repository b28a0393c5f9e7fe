// The save as an edit of the original, on any bytes, as the tool runs it: whatever loads (for a
// binary file only checked, with no tree built, which must fail exactly when reading all does)
// is sorted and saved; the folders it changes are the ones sorting the whole tree changes. What is
// written must read back as the whole tree sorted in memory, and, unless the save fell back to the
// whole writer, be as long as the input and differ from it only by bytes moved within it. Nothing
// moved: nothing to write. Sorting what was written moves nothing.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "bookmarks/bookmark_node.h"
#include "bookmarks/folder_sort.h"
#include "fuzz/fuzz_support.h"
#include "platform/plist_file.h"

namespace {

using namespace tidymark;

// The tool's store over bytes in memory: a binary file is checked and its tree not built, as the
// tool loads it; what the sort saves is kept.
class MemoryStore final : public PlistStore {
 public:
  explicit MemoryStore(std::string bytes) : bytes_(std::move(bytes)) {}
  Status load(const std::string&, PlistDocument* document) override {
    return readPlistKeepingOriginal(bytes_, document, PlistLoad::Nodes);
  }
  Status save(const std::string&, const PlistDocument& document, const std::string&) override {
    saved.emplace();
    StringSink sink(*saved);
    return writePlistContent(document, sink);
  }
  std::optional<std::string> saved;

 private:
  std::string bytes_;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string input(reinterpret_cast<const char*>(data), size);
  MemoryStore store(input);
  PlistDocument document, whole;
  SortReport bytesReport, treeReport;
  const Status checked = loadSorted("", store, document, {}, &bytesReport, true);
  const Status full = parsePlist(input, &whole);
  if (checked.message() != full.message()) {
    fuzzing::broken("reading what the sort reads fails otherwise than reading all",
                    checked.message() + " | " + full.message());
  }
  if (!full.ok()) return 0;
  // The folders the sort changes, as a dry run reports them, read from the bytes or from the tree.
  sortImpl(whole.root, {}, &treeReport);
  const std::vector<FolderChange>&fromBytes = bytesReport.changed, &fromTree = treeReport.changed;
  if (fromBytes.size() != fromTree.size()) fuzzing::broken("the reports differ in length");
  for (std::size_t i = 0; i < fromBytes.size(); ++i) {
    if (fromBytes[i].order != fromTree[i].order || fromBytes[i].depth != fromTree[i].depth ||
        fromBytes[i].titlePath != fromTree[i].titlePath) {
      fuzzing::broken("the reports differ");
    }
  }

  fuzzing::mustSucceed(sort("", store, document), "sorting");
  if (!store.saved) return 0;  // nothing moved
  const bool edited = document.edit.has_value();
  const std::string& written = *store.saved;

  PlistDocument reread;
  fuzzing::mustSucceed(parsePlist(written, &reread), "reading the saved file");
  if (!(reread.root == whole.root)) fuzzing::broken("the saved file is not the sorted tree");
  if (edited) {
    if (written.size() != input.size()) fuzzing::broken("the edit changed the file's length");
    // From the first changed byte to the last, the bytes are the original's, moved.
    std::size_t first = 0;
    while (first < input.size() && input[first] == written[first])
      ++first;
    std::size_t last = input.size();
    while (last > first && input[last - 1] == written[last - 1])
      --last;
    std::string before = input.substr(first, last - first);
    std::string after = written.substr(first, last - first);
    std::sort(before.begin(), before.end());
    std::sort(after.begin(), after.end());
    if (before != after) fuzzing::broken("the edit changed bytes it did not move");
  }
  MemoryStore again(written);
  PlistDocument sortedAgain;
  fuzzing::mustSucceed(sort("", again, sortedAgain), "sorting the saved file");
  if (again.saved) fuzzing::broken("sorting the saved file moved entries again");
  return 0;
}
