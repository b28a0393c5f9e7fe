#include "platform/binary_plist.h"

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/test_support.h"

namespace tidymark {
namespace {

using Value = PlistValue;
constexpr std::int64_t kMin = std::numeric_limits<std::int64_t>::min();
constexpr std::uint64_t kAll = ~std::uint64_t{0};

// ---- Files built by hand ------------------------------------------------------------------

std::string bytes(std::initializer_list<int> list) {
  std::string out;
  for (int b : list)
    out.push_back(static_cast<char>(b));
  return out;
}

std::string ascii(const std::string& text) {
  return static_cast<char>(0x50 | text.size()) + text;
}

using Layout = testing::BinaryLayout;
using testing::bigEndian;

std::string assemble(const Layout& layout) {
  return testing::assembleBinaryPlist(layout);
}

std::string single(const std::string& object) {
  return assemble({.objects = {object}});
}

std::uint64_t trailerField(const std::string& file, std::size_t at) {
  std::uint64_t value = 0;
  for (std::size_t i = 0; i < 8; ++i) {
    value = (value << 8) | static_cast<std::uint8_t>(file[file.size() - 32 + at + i]);
  }
  return value;
}
std::uint64_t numObjectsOf(const std::string& file) {
  return trailerField(file, 8);
}

std::string written(const Value& tree) {
  std::string out;
  Status status = writeBinaryPlist(tree, &out);
  EXPECT_TRUE(status.ok()) << status.message();
  return out;
}

Value readBack(const std::string& file) {
  Value tree;
  Status status = readBinaryPlist(file, &tree);
  EXPECT_TRUE(status.ok()) << status.message();
  return tree;
}

Value integersUpTo(std::uint64_t count) {
  PlistArray out;
  for (std::uint64_t i = 0; i < count; ++i)
    out.push_back(Value::integer(static_cast<std::int64_t>(i)));
  return Value::array(std::move(out));
}

Value everyKind() {
  PlistData ramp(300);
  for (std::size_t i = 0; i < ramp.size(); ++i)
    ramp[i] = static_cast<std::uint8_t>(i * 7);
  const double inf = std::numeric_limits<double>::infinity();
  return Value::dict({
      {"integers", Value::array({Value::integer(kMin), Value::integer(-1), Value::integer(255),
                                 Value::integer(65536), Value::integer(std::int64_t{1} << 40),
                                 Value::unsignedInteger(std::uint64_t{1} << 63),
                                 Value::unsignedInteger(kAll)})},
      {"reals", Value::array({Value::real(-0.0), Value::real(0.1), Value::real(std::nan("")),
                              Value::real(-inf), Value::real(5e-324)})},
      {"dates",
       Value::array({Value::date(0.5), Value::date(-978307200.0), Value::date(700000000.125)})},
      {"data", Value::array({Value::data({}), Value::data(ramp)})},
      {"strings", Value::array({Value::string(""), Value::string("café"), Value::string("😀 and 𝄞"),
                                Value::string(std::string("a\0b", 3)),
                                Value::string("ünïcödé längér thän fïftéén")})},
      {"uids", Value::array({Value::uid(0), Value::uid(256), Value::uid(kAll)})},
      {"booleans", Value::array({Value::boolean(true), Value::boolean(false)})},
      {"nested", Value::dict({{"inner", Value::array({Value::dict(), Value::array()})},
                              {"clé", Value::boolean(true)}})},
      {"fifteen", integersUpTo(15)},
  });
}

// ---- Round trips ----------------------------------------------------------------------------

TEST(BinaryPlist, EveryKindComesBackEqualAndRewritesIdentically) {
  const Value tree = everyKind();
  const std::string first = written(tree);
  EXPECT_EQ(readBack(first), tree);
  EXPECT_EQ(written(readBack(first)), first);
  for (const auto& [key, group] : *tree.asDict()) {  // every scalar as the root on its own
    if (!group.asArray()) continue;
    for (const Value& value : *group.asArray())
      EXPECT_EQ(readBack(written(value)), value) << key;
  }
}

TEST(BinaryPlist, WritesTheSmallestFormsAndWidths) {
  const std::pair<Value, std::string> scalars[] = {
      {Value::integer(256), bytes({0x11, 1, 0})},
      {Value::integer(-1), "\x13" + std::string(8, '\xFF')},
      {Value::unsignedInteger(std::uint64_t{1} << 63),
       std::string("\x14", 1) + std::string(8, '\0') + '\x80' + std::string(7, '\0')},
      {Value::real(0.5), "\x23\x3F\xE0" + std::string(6, '\0')},
      {Value::uid(65536), bytes({0x83, 0, 1, 0, 0})},
      {Value::string("abcdefghijklmno"),
       "\x5F\x10\x0F"
       "abcdefghijklmno"},
      {Value::string("😀"), bytes({0x62, 0xD8, 0x3D, 0xDE, 0x00})},
  };
  for (const auto& [value, object] : scalars) {
    EXPECT_EQ(written(value).substr(8, object.size()), object) << object.size();
  }
  // Reference and offset widths grow with the object count and the offset table's place.
  const std::pair<std::uint64_t, std::pair<int, int>> widths[] = {
      {255, {1, 2}}, {256, {2, 2}}, {65535, {2, 4}}, {65536, {4, 4}}};
  for (const auto& [count, sizes] : widths) {
    const std::string file = written(integersUpTo(count));
    EXPECT_EQ(file[file.size() - 25], sizes.first) << count;
    EXPECT_EQ(file[file.size() - 26], sizes.second) << count;
    EXPECT_EQ(readBack(file), integersUpTo(count));
  }
}

TEST(BinaryPlist, NumbersObjectsDepthFirstAndSharesEqualScalarsOnly) {
  const Value tree = Value::dict({
      {"a", Value::array({Value::integer(1), Value::string("a")})},
      {"b", Value::dict({{"c", Value::integer(2)}})},
      {"c", Value::string("b")},
  });
  EXPECT_EQ(written(tree),
            assemble({.objects = {bytes({0xD3, 1, 2, 3, 4, 6, 2}), ascii("a"), ascii("b"),
                                  ascii("c"), bytes({0xA2, 5, 1}), bytes({0x10, 1}),
                                  bytes({0xD1, 3, 7}), bytes({0x10, 2})}}));
  const std::pair<Value, std::uint64_t> cases[] = {
      {Value::array(PlistArray(1000, Value::string("WebBookmarkTypeLeaf"))), 2},
      {Value::array({Value::real(0.0), Value::real(-0.0), Value::real(0.0)}), 3},
      {Value::array({Value::integer(-1), Value::unsignedInteger(kAll), Value::integer(-1)}), 3},
      {Value::array({Value::integer(1), Value::boolean(true), Value::date(1.0), Value::real(1.0),
                     Value::uid(1), Value::integer(1)}),
       6},
      {Value::array({Value::string("a"), Value::data({'a'}), Value::dict(), Value::dict()}), 5},
  };
  for (const auto& [value, objects] : cases) {
    const std::string file = written(value);
    EXPECT_EQ(numObjectsOf(file), objects);
    EXPECT_EQ(readBack(file), value);
  }
}

TEST(BinaryPlist, RefusesToWriteStringsThatAreNotUtf8) {
  for (const Value& tree :
       {Value::array({Value::string("bad\xC3")}), Value::dict({{"\xFF\xFE", Value::integer(1)}})}) {
    std::string out = "kept";
    EXPECT_NE(writeBinaryPlist(tree, &out).message().find("not valid UTF-8"), std::string::npos);
    EXPECT_EQ(out, "kept");
  }
}

// ---- Reader ---------------------------------------------------------------------------------

TEST(BinaryPlist, ReadsFormsOtherWritersProduce) {
  const std::string ff8(8, '\xFF'), zero8(8, '\0');
  const std::pair<std::string, Value> cases[] = {
      {single(bytes({0x22, 0x3F, 0xC0, 0, 0})), Value::real(1.5)},
      {single("\x14" + ff8 + '\x80' + zero8.substr(1)), Value::integer(kMin)},
      {single("\x5F\x13" + bigEndian(3, 8) + "abc"), Value::string("abc")},
      {assemble({.objects = {bytes({0xA1, 0, 0, 1}), ascii("x")}, .offsetSize = 3, .refSize = 3}),
       Value::array({Value::string("x")})},
      {assemble({.objects = {bytes({0x08}), bytes({0x10, 5})}, .topObject = 1}), Value::integer(5)},
      // A shared (not cyclic) container loads once per reference.
      {assemble({.objects = {bytes({0xA2, 1, 1}), bytes({0xD1, 2, 2}), ascii("k")}}),
       Value::array(PlistArray(2, Value::dict({{"k", Value::string("k")}})))},
  };
  for (const auto& [file, expected] : cases)
    EXPECT_EQ(readBack(file), expected);
}

TEST(BinaryPlist, RefusesDamagedFilesSayingWhatIsWrong) {
  const auto withTrailer = [](Layout layout) {
    layout.objects = {bytes({0x09})};
    return assemble(layout);
  };
  const std::pair<std::string, std::string> cases[] = {
      {"bplist00", "the trailer is cut off"},
      {withTrailer({.refSize = 0}), "reference size 0"},
      {withTrailer({.offsetSize = 8, .numObjects = std::uint64_t{1} << 61}),
       "runs past the trailer"},
      {assemble({.objects = {bytes({0xA1, 1}), ascii("x")}, .lastOffset = 12}),
       "offset of object 1 lies outside"},
      {assemble({.objects = {bytes({0xA1, 7}), ascii("x")}}), "reference 7 is out of range"},
      {assemble({.objects = {bytes({0xA1, 1}), bytes({0xD1, 2, 0}), ascii("k")}}),
       "reference cycle at object 0"},
      {assemble({.objects = {bytes({0xD1, 1, 1}), bytes({0x10, 1})}}), "is not a string"},
      {single(bytes({0x62, 0xD8, 0x3D, 0x00, 0x41})), "broken UTF-16 surrogate"},
      {single("\x52\xC3\xA9"), "above 0x7F"},
      {assemble({.objects = {bytes({0xC1, 1}), bytes({0x09})}}), "sets are not supported"},
      {single("\x14" + bigEndian(1, 8) + bigEndian(0, 8)), "does not fit in 64 bits"},
      {single(bytes({0xD2, 0, 0, 0})), "run past the objects"},
      {single("\x4F\x13" + std::string(8, '\xFF')), "length is negative"},
  };
  for (const auto& [file, message] : cases) {
    Value root = Value::string("untouched");
    Status status = readBinaryPlist(file, &root);
    EXPECT_NE(status.message().find(message), std::string::npos) << status.message();
    EXPECT_TRUE(status.message().starts_with("not a binary property list: "));
    EXPECT_EQ(root, Value::string("untouched"));
  }
  const std::string file = written(everyKind());
  for (std::size_t length = 0; length < file.size(); ++length) {
    Value root;
    EXPECT_FALSE(readBinaryPlist(std::string_view(file).substr(0, length), &root).ok()) << length;
  }
}

TEST(BinaryPlist, RefusesSharedReferenceBombsButHoldsAStringOnce) {
  // Each level an array holding the level below twice: 2^levels leaves from levels+1 objects.
  Layout doubling;
  for (int level = 0; level < 60; ++level)
    doubling.objects.push_back(bytes({0xA2, level + 1, level + 1}));
  doubling.objects.push_back(ascii("leaf"));
  // A thousand references to one 100 kB data object: each is a copy, 100 MB in all.
  const std::string payload = bigEndian(100000, 4) + std::string(100000, 'z');
  const auto thousandOf = [&](const std::string& object) {
    return assemble(
        {.objects = {"\xAF\x11\x03\xE8" + std::string(1000, '\x01'), object}, .offsetSize = 4});
  };
  for (const std::string& file : {assemble(doubling), thousandOf("\x4F\x12" + payload)}) {
    Value root;
    EXPECT_NE(readBinaryPlist(file, &root).message().find("expands far beyond its size"),
              std::string::npos);
  }
  // A string is held once however often it is referenced, so the same with a string loads.
  const Value strings = readBack(thousandOf("\x5F\x12" + payload));
  ASSERT_EQ(strings.asArray()->size(), 1000u);
  EXPECT_TRUE(strings.asArray()->front().asString()->sharesBlockWith(
      *strings.asArray()->back().asString()));
}

// ---- Python's plistlib as an independent reader and writer --------------------------------

TEST(BinaryPlist, PlistlibAndWeReadEachOthersFiles) {
  testing::TempDir dir;
  Value tree = everyKind();  // plistlib keeps dates to the microsecond only
  testing::writeFile(dir.file("ours.plist"), written(tree));
  EXPECT_EQ(testing::pythonCanonOf(dir.file("ours.plist")), testing::canonOf(tree));

  const std::string printed = testing::pythonWrite(
      "{'ints': [255, 256, 2**32, -1, -2**63, 2**63, 2**64 - 1], 'reals': [-0.0, 0.1, 5e-324],"
      " 'dates': [datetime.datetime(2020, 5, 17, 12, 30, 15, 250000)], 'data': [b'', b'\\xff' * "
      "40],"
      " 'strings': ['café', '😀', 'x' * 300], 'uids': [plistlib.UID(2**40)],"
      " 'nested': [[], {}, [[{'k': [True, False]}]]], 'many': list(range(300))}",
      "FMT_BINARY", dir.file("python.plist"));
  EXPECT_EQ(testing::canonOf(readBack(testing::readFile(dir.file("python.plist")))), printed);
}

TEST(BinaryPlist, BookmarkFileIsNoLargerThanPlistlibs) {
  std::vector<PlistValue> folders;
  for (int f = 0; f < 60; ++f) {
    std::vector<PlistValue> children;
    for (int i = 0; i < 50; ++i) {
      const std::string site = "site" + std::to_string((f * 50 + i) * 7919 % 1500);
      children.push_back(
          testing::bookmark("Page about " + site, "https://www." + site + ".example/"));
    }
    folders.push_back(testing::folder("Folder " + std::to_string(f), std::move(children)));
  }
  testing::TempDir dir;
  const std::string ours = written(testing::folder("", std::move(folders)));
  testing::writeFile(dir.file("bookmarks.plist"), ours);
  const double theirs = std::stod(testing::runPython(
      "import plistlib, sys\nvalue = plistlib.load(open(sys.argv[1], 'rb'))\n"
      "print(len(plistlib.dumps(value, fmt=plistlib.FMT_BINARY, sort_keys=False)))",
      {dir.file("bookmarks.plist")}));
  EXPECT_GT(theirs, 100000);  // the tree really holds a few thousand nodes
  EXPECT_LE(static_cast<double>(ours.size()), 1.10 * theirs) << ours.size() << " vs " << theirs;
}

}  // namespace
}  // namespace tidymark
