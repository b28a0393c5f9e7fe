// The whole run in memory, on any bytes: parse (either format), sort, write in both formats.
// Whatever loaded must write in binary, and in XML unless XML cannot hold it; each output must
// read back as the sorted tree, sorting that again must change nothing, and writing it again
// must give the same bytes.

#include <bit>
#include <charconv>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "bookmarks/folder_sort.h"
#include "fuzz/fuzz_support.h"
#include "platform/plist_file.h"

namespace {

using namespace tidymark;

std::uint64_t bitsOf(double value) {
  return std::bit_cast<std::uint64_t>(value);
}

// The NaN that the XML reader makes of "nan".
std::uint64_t xmlNan() {
  constexpr std::string_view kText = "nan";
  double value = 0;
  std::from_chars(kText.data(), kText.data() + kText.size(), value);
  return bitsOf(value);
}

// False when the tree holds something the XML form carries only approximately: a date with a
// fraction of a second, a NaN of another sign or payload, a UID, or a dictionary that XML would
// read back as one. Only trees loaded from binary files can.
bool xmlHoldsExactly(const PlistValue& root) {
  static const std::uint64_t kXmlNan = xmlNan();
  std::vector<const PlistValue*> pending = {&root};
  while (!pending.empty()) {
    const PlistValue* value = pending.back();
    pending.pop_back();
    if (const PlistArray* elements = value->asArray()) {
      for (const PlistValue& element : *elements)
        pending.push_back(&element);
    } else if (const PlistDict* entries = value->asDict()) {
      if (entries->size() == 1 && (*entries)[0].key == "CF$UID") return false;
      for (const DictEntry& entry : *entries)
        pending.push_back(&entry.value);
    } else if (const PlistDate* date = value->asDate()) {
      if (std::floor(date->secondsSince2001) != date->secondsSince2001) return false;
    } else if (const double* real = value->asReal()) {
      if (std::isnan(*real) && bitsOf(*real) != kXmlNan) return false;
    } else if (value->asUid()) {
      return false;
    }
  }
  return true;
}

// Writes the sorted tree in `format` and checks what comes back. XML may refuse the tree, and
// from a binary file it may round off what it cannot hold; what it wrote must still read back,
// stay as it is when sorted again, and write the same bytes a second time.
void checkOutput(PlistDocument& sorted, PlistFormat format, bool exact) {
  sorted.format = format;
  std::string written;
  const Status status = serializePlist(sorted, &written);
  if (!status.ok()) {
    if (format == PlistFormat::Binary) fuzzing::broken("writing binary", status.message());
    return;
  }
  PlistDocument reread;
  fuzzing::mustSucceed(parsePlist(written, &reread), "reading our own output");
  if (reread.format != format) fuzzing::broken("the output reads back in the other format");
  if (exact && !(reread.root == sorted.root)) {
    fuzzing::broken("the output does not read back as the sorted tree");
  }
  std::string unsortedAgain;
  fuzzing::mustSucceed(serializePlist(reread, &unsortedAgain), "writing the tree again");
  sortImpl(reread.root);
  if (exact && !(reread.root == sorted.root)) fuzzing::broken("sorting the sorted tree changed it");
  std::string rewritten;
  fuzzing::mustSucceed(serializePlist(reread, &rewritten), "writing the tree again");
  if (rewritten != written || unsortedAgain != written) {
    fuzzing::broken("a second run writes other bytes");
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  PlistDocument document;
  if (!parsePlist(std::string_view(reinterpret_cast<const char*>(data), size), &document).ok()) {
    return 0;
  }
  const PlistFormat loadedAs = document.format;
  sortImpl(document.root);
  checkOutput(document, PlistFormat::Binary, true);
  checkOutput(document, PlistFormat::Xml,
              loadedAs == PlistFormat::Xml || xmlHoldsExactly(document.root));
  return 0;
}
