#include "platform/binary_plist.h"

#include <limits>

#include <gtest/gtest.h>

#include "tests/test_support.h"

namespace tidymark {
namespace {

using V = PlistValue;
using testing::bigEndian;
constexpr std::int64_t kMin = std::numeric_limits<std::int64_t>::min();
constexpr std::uint64_t kAll = ~std::uint64_t{0};
const auto assemble = testing::assembleBinaryPlist;

const auto bytes = [](std::initializer_list<int> list) {
  return std::string(list.begin(), list.end());
};
const auto ascii = [](const std::string& text) { return char(0x50 | text.size()) + text; };
const auto single = [](const std::string& object) { return assemble({.objects = {object}}); };
std::string written(const V& tree) {
  std::string out;
  EXPECT_TRUE(writeBinaryPlist(tree, &out).ok());
  return out;
}
V readBack(const std::string& file) {
  V tree;
  EXPECT_EQ(readBinaryPlist(file, &tree).message(), "");
  return tree;
}

// Equal strings are written once; anything else that is not the same bytes is not. Text that is
// not UTF-8 is refused, and nothing is written.
TEST(BinaryPlist, WritesEqualStringsOnceAndRefusesTextThatIsNotUtf8) {
  const std::pair<V, std::uint64_t> shared[] = {
      {V::array(PlistArray(1000, V::string("WebBookmarkTypeLeaf"))), 2},
      {V::array({V::real(0.0), V::real(-0.0), V::real(0.0), V::date(0.0)}), 4},
      {V::array({V::string("a"), V::data({'a'}), V::dict(), V::dict()}), 5},
  };
  for (const auto& [value, objects] : shared) {
    const std::string file = written(value);
    EXPECT_EQ(file.substr(file.size() - 24, 8), bigEndian(objects, 8));
    EXPECT_EQ(readBack(file), value);
  }
  for (const V& bad : {V::array({V::string("bad\xC3")}), V::dict({{"\xFF\xFE", V::integer(1)}})}) {
    std::string out = "kept";
    EXPECT_NE(writeBinaryPlist(bad, &out).message().find("not valid UTF-8"), std::string::npos);
    EXPECT_EQ(out, "kept");
  }
}

// Forms other writers use: floats, 16-byte integers and UIDs, long lengths, the first and the last
// code point of two UTF-8 bytes and the first of three, the first and the last that UTF-16 needs
// two units for, wide references, a top object other than the first, and a container shared (not
// cyclic), loaded once per reference.
TEST(BinaryPlist, ReadsFormsOtherWritersProduce) {
  const std::pair<std::string, V> cases[] = {
      {single(bytes({0x22, 0x3F, 0xC0, 0, 0})), V::real(1.5)},
      {single("\x14" + bigEndian(kAll, 8) + bigEndian(kMin, 8)), V::integer(kMin)},
      {single("\x8F" + bigEndian(300, 16)), V::uid(300)},
      {single(bytes(
           {0x68, 0, 0x80, 0x07, 0xFF, 0x08, 0, 0xD8, 0, 0xDC, 0, 0xDB, 0xFF, 0xDF, 0xFF, 0, 'g'})),
       V::string("\xC2\x80\xDF\xBF\xE0\xA0\x80\xF0\x90\x80\x80\xF4\x8F\xBF\xBFg")},
      {single("\x5F\x13" + bigEndian(3, 8) + "abc"), V::string("abc")},
      {assemble({.objects = {bytes({0xA1, 0, 0, 1}), ascii("x")}, .offsetSize = 3, .refSize = 3}),
       V::array({V::string("x")})},
      {assemble({.objects = {bytes({0x08}), bytes({0x10, 5})}, .topObject = 1}), V::integer(5)},
      {assemble({.objects = {bytes({0xD2, 1, 2, 3, 3}), ascii("a"), ascii("b"), bytes({0xD1, 1, 4}),
                             bytes({0x23, 0x3F, 0xF8, 0, 0, 0, 0, 0, 0})}}),
       V::dict({{"a", V::dict({{"a", V::real(1.5)}})}, {"b", V::dict({{"a", V::real(1.5)}})}})},
  };
  for (const auto& [file, expected] : cases)
    EXPECT_EQ(readBack(file), expected);
}

// A damaged file is refused saying what is wrong, the output left alone; so is every truncation
// of a good file.
TEST(BinaryPlist, RefusesDamagedFilesSayingWhatIsWrong) {
  const std::pair<std::string, std::string> cases[] = {
      {"bplist00", "the trailer is cut off"},
      {assemble({.objects = {"\x09"}, .refSize = 0}), "reference size 0"},
      {assemble({.objects = {"\x09"}, .refSize = 9}), "reference size 9"},
      {assemble({.objects = {"\x09"}, .topObject = 1}), "top object 1 is out of range (1 objects)"},
      {assemble({.objects = {"\x09"}, .offsetSize = 8, .numObjects = kAll / 8}),
       "past the trailer"},
      {assemble({.objects = {"\xA1\x01", ascii("x")}, .lastOffset = 12}), "object 1 lies outside"},
      {assemble({.objects = {bytes({0xA1, 7}), ascii("x")}}), "reference 7 is out of range"},
      {assemble({.objects = {"\xA1\x01", bytes({0xD1, 2, 0}), ascii("k")}}), "cycle at object 0"},
      {single(bytes({0x62, 0xD8, 0x3D, 0x00, 0x41})), "broken UTF-16 surrogate"},
      {single("\x52\xC3\xA9"), "above 0x7F"},
      {single("\x5F\x10\x11ghijklmn\xC3ghijklmn"), "above 0x7F"},
      {single("\x14" + bigEndian(1, 8) + bigEndian(0, 8)), "does not fit in 64 bits"},
      {single("\x8F" + bigEndian(1, 8) + bigEndian(0, 8)), "a UID does not fit in 64 bits"},
      {single("\x4F\x13" + bigEndian(kAll, 8)), "length is negative"},
      {single(bytes({0xD2, 0, 0, 0})), "the contents run past the objects (object 0)"},
      {single("\x7A"), "unknown object marker 0x7A (object 0)"},
  };
  for (const auto& [file, message] : cases) {
    V root = V::string("untouched");
    const std::string error = readBinaryPlist(file, &root).message();
    EXPECT_TRUE(error.starts_with("not a binary property list: ")) << error;
    EXPECT_NE(error.find(message), std::string::npos) << error;
    EXPECT_EQ(root, V::string("untouched"));
  }
  const std::string file = written(
      V::dict({{"k", V::array({V::string("\xF0\x9F\x98\x80"), V::integer(kMin), V::real(0.5),
                               V::date(1), V::data({1, 2}), V::uid(300), V::dict()})}}));
  for (std::size_t length = 0; length < file.size(); ++length) {
    V root;
    EXPECT_FALSE(readBinaryPlist(file.substr(0, length), &root).ok()) << length;
  }
}

// Few objects referring to each other many times would expand beyond memory: refused, whether
// the expansion is in containers or in a long string at the bottom of them; a string is held
// once however often one array refers to it, whether the tree is built or only checked.
TEST(BinaryPlist, RefusesSharedReferenceBombsButHoldsAStringOnce) {
  testing::BinaryLayout dicts{.offsetSize = 2};  // each level holds the next twice
  for (int level = 1; level <= 60; ++level)
    dicts.objects.push_back(bytes({0xD2, 61, 61, level, level}));
  dicts.objects.insert(dicts.objects.end(), {ascii("leaf"), ascii("key")});
  const std::string payload = bigEndian(100000, 4) + std::string(100000, 'z');
  testing::BinaryLayout arrays{.offsetSize = 4};  // 4096 references to the string at the bottom
  for (int level = 1; level <= 12; ++level)
    arrays.objects.push_back(bytes({0xA2, level, level}));
  arrays.objects.push_back("\x5F\x12" + payload);
  const auto thousandOf = [&](const std::string& object) {
    return assemble(
        {.objects = {"\xAF\x11\x03\xE8" + std::string(1000, 1), object}, .offsetSize = 4});
  };
  for (const std::string& file :
       {assemble(dicts), assemble(arrays), thousandOf("\x4F\x12" + payload)}) {
    V root;
    EXPECT_NE(readBinaryPlist(file, &root).message().find("expands far beyond"), std::string::npos);
  }
  const std::string strings = thousandOf("\x5F\x12" + payload);
  const V tree = readBack(strings);
  ASSERT_EQ(tree.asArray()->size(), 1000u);
  EXPECT_TRUE(
      tree.asArray()->front().asString()->sharesBlockWith(*tree.asArray()->back().asString()));
  std::unique_ptr<const PlistNodes> nodes;
  EXPECT_TRUE(checkBinaryPlist(strings, &nodes).ok());
}

}  // namespace
}  // namespace tidymark
