#include "platform/plist_edit.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "platform/plist_file.h"
#include "tests/test_support.h"

namespace tidymark {
namespace {

// A binary file whose top array holds one array object twice: ["a", "b", "c"], its references
// in the order given.
std::string sharedTwice(const std::string& references) {
  return testing::assembleBinaryPlist({.objects = {"\xA2\x01\x01", "\xA3" + references,
                                                   "\x51"
                                                   "a",
                                                   "\x51"
                                                   "b",
                                                   "\x51"
                                                   "c"}});
}

TEST(PlistEdit, MovesASharedArrayOnlyWhenEveryCopyMovesAlike) {
  PlistDocument document;
  ASSERT_TRUE(readPlistKeepingOriginal(sharedTwice("\x02\x03\x04"), &document).ok());
  const PlistArray& copies = *document.root.asArray();
  const void* first = copies[0].asArray()->data();
  const void* second = copies[1].asArray()->data();
  using Order = std::vector<std::uint32_t>;
  const struct {
    const char* name;
    std::vector<ArrayMove> moves;
    std::optional<std::string> references;  // the shared array's, after the edit; none: no edit
  } cases[] = {
      {"both copies alike", {{first, {2, 1, 0}}, {second, {2, 1, 0}}}, "\x04\x03\x02"},
      {"nothing moves", {{first, {0, 1, 2}}, {second, {0, 1, 2}}}, "\x02\x03\x04"},
      {"one copy stays", {{first, {2, 1, 0}}}, std::nullopt},
      {"one copy stays, said", {{first, {2, 1, 0}}, {second, {0, 1, 2}}}, std::nullopt},
      {"two orders", {{first, {2, 1, 0}}, {second, {1, 0, 2}}}, std::nullopt},
      {"not a permutation", {{first, {2, 1, 1}}, {second, {2, 1, 1}}}, std::nullopt},
      {"another length", {{first, {1, 0}}, {second, {1, 0}}}, std::nullopt},
      {"an unknown array", {{&copies, Order{1, 0}}}, std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::optional<PlistEdit> edit = document.original->edit(c.moves);
    ASSERT_EQ(edit.has_value(), c.references.has_value());
    if (!edit) continue;
    std::string written;
    StringSink sink(written);
    ASSERT_TRUE(edit->write(sink).ok());
    EXPECT_EQ(written, sharedTwice(*c.references));
  }
}

}  // namespace
}  // namespace tidymark
