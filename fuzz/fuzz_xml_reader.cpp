// Any bytes given to the XML reader either fail cleanly or load a tree that the XML writer either
// refuses (a control character, a date XML cannot hold) or writes so that it reads back equal,
// and whose second write gives the same bytes.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "fuzz/fuzz_support.h"
#include "platform/plist_edit.h"
#include "platform/xml_plist.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace tidymark;
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  PlistValue tree;
  PlistOriginal original{std::string()};
  if (!readXmlPlist(bytes, &tree, &original).ok()) return 0;
  std::string written;
  if (!writeXmlPlist(tree, &written).ok()) {
    if (!written.empty()) fuzzing::broken("a refused write left output behind");
    return 0;
  }
  PlistValue again;
  fuzzing::mustSucceed(readXmlPlist(written, &again), "reading our own output");
  if (!(again == tree)) fuzzing::broken("the tree read back differs");
  std::string rewritten;
  fuzzing::mustSucceed(writeXmlPlist(again, &rewritten), "writing the tree read back");
  if (rewritten != written) fuzzing::broken("a second write gives other bytes");
  return 0;
}
