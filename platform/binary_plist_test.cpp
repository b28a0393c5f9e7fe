#include "platform/binary_plist.h"

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <limits>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "tests/test_support.h"

namespace tidymark {
namespace {

using Value = PlistValue;
constexpr std::int64_t kMin = std::numeric_limits<std::int64_t>::min();
constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();
constexpr std::uint64_t kAll = ~std::uint64_t{0};

// ---- Files built by hand ------------------------------------------------------------------

std::string bytes(std::initializer_list<int> list) {
  std::string out;
  for (int b : list)
    out.push_back(static_cast<char>(b));
  return out;
}

std::string bigEndian(std::uint64_t value, int width) {
  std::string out;
  for (int i = width - 1; i >= 0; --i)
    out.push_back(i < 8 ? static_cast<char>(value >> (8 * i)) : 0);
  return out;
}

std::string ascii(const std::string& text) {  // fewer than 15 characters
  return static_cast<char>(0x50 | text.size()) + text;
}

// A file laid out from object byte strings; any trailer field can be overridden.
struct Layout {
  std::vector<std::string> objects = {};
  int offsetSize = 1;
  int refSize = 1;
  std::optional<std::uint64_t> numObjects = {};
  std::optional<std::uint64_t> topObject = {};
  std::optional<std::uint64_t> tableOffset = {};
  std::vector<std::pair<std::size_t, std::uint64_t>> offsetOverrides = {};
};

std::string assemble(const Layout& layout) {
  std::string out = "bplist00";
  std::vector<std::uint64_t> offsets;
  for (const std::string& object : layout.objects) {
    offsets.push_back(out.size());
    out += object;
  }
  for (auto [index, offset] : layout.offsetOverrides)
    offsets[index] = offset;
  const std::uint64_t table = out.size();
  for (std::uint64_t offset : offsets)
    out += bigEndian(offset, layout.offsetSize);
  out += std::string(6, '\0') + static_cast<char>(layout.offsetSize) +
         static_cast<char>(layout.refSize);
  out += bigEndian(layout.numObjects.value_or(layout.objects.size()), 8) +
         bigEndian(layout.topObject.value_or(0), 8) +
         bigEndian(layout.tableOffset.value_or(table), 8);
  return out;
}

std::string single(const std::string& object) {
  return assemble({.objects = {object}});
}

// Trailer fields of a file.
int offsetSizeOf(const std::string& file) {
  return file[file.size() - 26];
}
int refSizeOf(const std::string& file) {
  return file[file.size() - 25];
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
std::uint64_t tableOffsetOf(const std::string& file) {
  return trailerField(file, 24);
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

// ---- Trees ----------------------------------------------------------------------------------

Value arrayOf(std::vector<Value> elements) {
  return Value::array(std::move(elements));
}

template <class T, class Make>
Value arrayFrom(std::initializer_list<T> values, Make make) {
  PlistArray out;
  for (const T& v : values)
    out.push_back(make(v));
  return Value::array(std::move(out));
}

Value repeated(const Value& value, std::uint64_t times) {
  return Value::array(PlistArray(times, value));
}

Value integersUpTo(std::uint64_t count) {
  PlistArray out;
  for (std::uint64_t i = 0; i < count; ++i)
    out.push_back(Value::integer(static_cast<std::int64_t>(i)));
  return Value::array(std::move(out));
}

Value everyKind() {
  const auto integer = [](std::int64_t v) { return Value::integer(v); };
  const auto real = [](double v) { return Value::real(v); };
  const auto date = [](double v) { return Value::date(v); };
  const auto string = [](const char* v) { return Value::string(v); };
  const auto uid = [](std::uint64_t v) { return Value::uid(v); };
  PlistData ramp(100);
  for (int i = 0; i < 100; ++i)
    ramp[i] = static_cast<std::uint8_t>(i * 7);
  Value integers = arrayFrom({kMin, -1L, 0L, 255L, 256L, 65535L, 65536L, 1L << 32, kMax}, integer);
  integers.asArray()->push_back(Value::unsignedInteger(std::uint64_t{1} << 63));
  integers.asArray()->push_back(Value::unsignedInteger(kAll));
  Value strings = arrayFrom({"", "plain", "café", "日本語のタイトル", "😀 and 𝄞", "fifteen chars!!",
                             "ünïcödé längér thän fïftéén"},
                            string);
  strings.asArray()->push_back(Value::string(std::string("a\0b", 3)));
  const double inf = std::numeric_limits<double>::infinity();
  return Value::dict({
      {"integers", integers},
      {"reals", arrayFrom({0.0, -0.0, 0.1, std::nan(""), std::bit_cast<double>(0x7FF0000000000123),
                           inf, -inf, std::numeric_limits<double>::denorm_min(), 1e308},
                          real)},
      {"dates", arrayFrom({0.5, -1.25, 1e-7, 700000000.123456789, -978307200.0}, date)},
      {"data", arrayOf({Value::data({}), Value::data({0, 255, 10}), Value::data(ramp)})},
      {"strings", strings},
      {"uids", arrayFrom({std::uint64_t{0}, std::uint64_t{255}, std::uint64_t{256},
                          std::uint64_t{65536}, std::uint64_t{1} << 32, kAll},
                         uid)},
      {"booleans", arrayOf({Value::boolean(true), Value::boolean(false)})},
      {"empty array", arrayOf({})},
      {"empty dict", Value::dict()},
      {"nested", Value::dict({{"inner", arrayOf({Value::dict({{"deeper", arrayOf({})}})})},
                              {"", Value::boolean(false)},
                              {"clé", Value::boolean(true)}})},
      {"fourteen", integersUpTo(14)},
      {"fifteen", integersUpTo(15)},
  });
}

// ---- Round trips ----------------------------------------------------------------------------

TEST(BinaryPlistRoundTrip, EveryKindComesBackEqualAndRewritesIdentically) {
  const Value tree = everyKind();
  const std::string first = written(tree);
  EXPECT_EQ(readBack(first), tree);
  EXPECT_EQ(written(readBack(first)), first);
  EXPECT_EQ(written(tree), first);
  for (const auto& [key, group] : *tree.asDict()) {  // every scalar as the root on its own
    if (!group.asArray()) continue;
    for (const Value& value : *group.asArray())
      EXPECT_EQ(readBack(written(value)), value) << key;
  }
  std::string out = "prefix";
  ASSERT_TRUE(writeBinaryPlist(tree, &out).ok());
  EXPECT_EQ(out, "prefix" + first);
}

TEST(BinaryPlistRoundTrip, WidthsAndLengthFormsFollowTheSizes) {
  struct Case {
    Value tree;
    int refSize, offsetSize;
    std::string head;  // the root's marker and length
  };
  const Case cases[] = {
      {integersUpTo(14), 1, 1, bytes({0xAE})},
      {integersUpTo(15), 1, 1, bytes({0xAF, 0x10, 15})},
      {integersUpTo(255), 1, 2, bytes({0xAF, 0x10, 0xFF})},
      {integersUpTo(256), 2, 2, bytes({0xAF, 0x11, 0x01, 0x00})},
      {integersUpTo(65535), 2, 4, bytes({0xAF, 0x11, 0xFF, 0xFF})},
      {integersUpTo(65536), 4, 4, bytes({0xAF, 0x12, 0x00, 0x01, 0x00, 0x00})},
      // A data root of n bytes puts the offset table at 8 + 3 + n.
      {Value::data(PlistData(244, 7)), 1, 1, bytes({0x4F, 0x10, 244})},
      {Value::data(PlistData(245, 7)), 1, 2, bytes({0x4F, 0x10, 245})},
      {Value::data(PlistData(70000, 7)), 1, 4, bytes({0x4F, 0x12, 0, 1, 0x11, 0x70})},
  };
  for (const Case& c : cases) {
    const std::string file = written(c.tree);
    SCOPED_TRACE(numObjectsOf(file));
    EXPECT_EQ(refSizeOf(file), c.refSize);
    EXPECT_EQ(offsetSizeOf(file), c.offsetSize);
    EXPECT_EQ(file.substr(8, c.head.size()), c.head);
    EXPECT_EQ(readBack(file), c.tree);
  }
}

// ---- Writer ---------------------------------------------------------------------------------

TEST(BinaryPlistWriter, EncodesScalarsInTheirSmallestForm) {
  const std::string ff7(7, '\xFF'), zero7(7, '\0');
  const std::pair<Value, std::string> cases[] = {
      {Value::integer(0), bytes({0x10, 0})},
      {Value::integer(255), bytes({0x10, 0xFF})},
      {Value::integer(256), bytes({0x11, 1, 0})},
      {Value::integer(65536), bytes({0x12, 0, 1, 0, 0})},
      {Value::integer(1L << 32), bytes({0x13, 0, 0, 0, 1, 0, 0, 0, 0})},
      {Value::integer(kMax), "\x13\x7F" + ff7},
      {Value::integer(-1), "\x13\xFF" + ff7},
      {Value::unsignedInteger(std::uint64_t{1} << 63), "\x14" + zero7 + '\0' + '\x80' + zero7},
      {Value::real(0.5), "\x23\x3F\xE0" + zero7.substr(1)},
      {Value::date(1.0), "\x33\x3F\xF0" + zero7.substr(1)},
      {Value::boolean(true), bytes({0x09})},
      {Value::boolean(false), bytes({0x08})},
      {Value::uid(255), bytes({0x80, 0xFF})},
      {Value::uid(256), bytes({0x81, 1, 0})},
      {Value::uid(65536), bytes({0x83, 0, 1, 0, 0})},
      {Value::uid(std::uint64_t{1} << 32), bytes({0x87, 0, 0, 0, 1, 0, 0, 0, 0})},
      {Value::string(""), bytes({0x50})},
      {Value::string("abc"),
       "\x53"
       "abc"},
      {Value::string("abcdefghijklmno"),
       "\x5F\x10\x0F"
       "abcdefghijklmno"},
      {Value::string("é"), bytes({0x61, 0x00, 0xE9})},
      {Value::string("😀"), bytes({0x62, 0xD8, 0x3D, 0xDE, 0x00})},
      {Value::data({1, 2}), bytes({0x42, 1, 2})},
  };
  for (const auto& [value, object] : cases) {
    const std::string file = written(value);
    EXPECT_EQ(file.substr(8, tableOffsetOf(file) - 8), object) << numObjectsOf(file);
  }
}

TEST(BinaryPlistWriter, NumbersObjectsDepthFirstKeysBeforeValues) {
  const Value tree = Value::dict({
      {"a", arrayOf({Value::integer(1), Value::string("a")})},
      {"b", Value::dict({{"c", Value::integer(2)}})},
      {"c", Value::string("b")},
  });
  EXPECT_EQ(written(tree),
            assemble({.objects = {bytes({0xD3, 1, 2, 3, 4, 6, 2}), ascii("a"), ascii("b"),
                                  ascii("c"), bytes({0xA2, 5, 1}), bytes({0x10, 1}),
                                  bytes({0xD1, 3, 7}), bytes({0x10, 2})}}));
}

TEST(BinaryPlistWriter, SharesEqualScalarsButNeverContainers) {
  const double nan = std::nan("");
  const std::pair<Value, std::uint64_t> cases[] = {
      {repeated(Value::string("WebBookmarkTypeLeaf"), 1000), 2},
      {Value::dict({{"title", Value::string("title")}}), 2},
      {arrayOf({Value::real(0.0), Value::real(-0.0), Value::real(0.0)}), 3},
      {arrayOf({Value::real(nan), Value::real(nan)}), 2},
      {arrayOf({Value::integer(-1), Value::unsignedInteger(kAll), Value::integer(-1)}), 3},
      {arrayOf({Value::integer(1), Value::boolean(true), Value::integer(1)}), 3},
      {arrayOf({Value::string("a"), Value::data({'a'}), Value::data({'a'})}), 3},
      {arrayOf({Value::date(1.0), Value::real(1.0), Value::uid(1), Value::integer(1)}), 5},
      {arrayOf({arrayOf({}), arrayOf({}), Value::dict(), Value::dict()}), 5},
  };
  for (const auto& [tree, objects] : cases) {
    const std::string file = written(tree);
    EXPECT_EQ(numObjectsOf(file), objects) << file.size();
    EXPECT_EQ(readBack(file), tree);
  }
  // A thousand one-byte references and the text once, not a thousand copies of it.
  EXPECT_LT(written(cases[0].first).size(), 1100u);
}

TEST(BinaryPlistWriter, RefusesStringsThatAreNotUtf8) {
  for (const Value& tree : {arrayOf({Value::string("ok"), Value::string("bad\xC3")}),
                            Value::dict({{"\xFF\xFE", Value::integer(1)}})}) {
    std::string out = "kept";
    Status status = writeBinaryPlist(tree, &out);
    EXPECT_NE(status.message().find("not valid UTF-8"), std::string::npos) << status.message();
    EXPECT_EQ(out, "kept");
  }
}

// ---- Reader ---------------------------------------------------------------------------------

TEST(BinaryPlistReader, ReadsFormsThisWriterNeverProduces) {
  const std::string ff8(8, '\xFF'), zero8(8, '\0');
  const std::pair<std::string, Value> cases[] = {
      {single(bytes({0x22, 0x3F, 0xC0, 0, 0})), Value::real(1.5)},
      {single("\x14" + ff8 + '\x80' + zero8.substr(1)), Value::integer(kMin)},
      {single("\x14" + zero8 + ff8), Value::unsignedInteger(kAll)},
      {single("\x14" + zero8 + bigEndian(7, 8)), Value::integer(7)},
      {single(bytes({0x12, 0xFF, 0xFF, 0xFF, 0xFF})), Value::integer(0xFFFFFFFF)},
      {single("\x8F" + zero8 + bigEndian(42, 8)), Value::uid(42)},
      {single(bytes({0x82, 1, 0, 0})), Value::uid(65536)},
      {single("\x5F\x13" + bigEndian(3, 8) + "abc"), Value::string("abc")},
      {single(bytes({0x63, 0xD8, 0x34, 0xDD, 0x1E, 0x00, 0x41})), Value::string("𝄞A")},
      {assemble({.objects = {bytes({0xAF, 0x11, 0, 1, 1}), bytes({0x09})}}),
       arrayOf({Value::boolean(true)})},
      {assemble({.objects = {bytes({0xA1, 0, 0, 1}), ascii("x")}, .offsetSize = 3, .refSize = 3}),
       arrayOf({Value::string("x")})},
      {assemble({.objects = {bytes({0x08}), bytes({0x10, 5})}, .topObject = 1}), Value::integer(5)},
      // A shared (not cyclic) container loads once per reference.
      {assemble({.objects = {bytes({0xA2, 1, 1}), bytes({0xD1, 2, 2}), ascii("k")}}),
       repeated(Value::dict({{"k", Value::string("k")}}), 2)},
  };
  for (const auto& [file, expected] : cases)
    EXPECT_EQ(readBack(file), expected);
}

TEST(BinaryPlistReader, RefusesDamagedAndHostileFiles) {
  const std::string valid = assemble({.objects = {bytes({0xA1, 1}), ascii("x")}});
  const std::string ff8(8, '\xFF');
  const auto withTrailer = [](Layout layout) {
    layout.objects = {bytes({0x09})};
    return assemble(layout);
  };
  const auto withOffset = [](std::uint64_t offset) {
    return assemble({.objects = {bytes({0xA1, 1}), ascii("x")}, .offsetOverrides = {{1, offset}}});
  };
  const std::pair<std::string, std::string> cases[] = {
      {"", "does not begin with \"bplist00\""},
      {"bplist01" + valid.substr(8), "does not begin with \"bplist00\""},
      {valid.substr(0, 39), "the trailer is cut off"},
      {withTrailer({.offsetSize = 0}), "offset size 0"},
      {withTrailer({.offsetSize = 9}), "offset size 9"},
      {withTrailer({.refSize = 0}), "reference size 0"},
      {withTrailer({.refSize = 9}), "reference size 9"},
      {withTrailer({.numObjects = 0}), "holds no objects"},
      {withTrailer({.topObject = 1}), "top object 1"},
      {withTrailer({.tableOffset = 3}), "offset table starts outside"},
      {withTrailer({.tableOffset = 1000}), "offset table starts outside"},
      {withTrailer({.numObjects = 2}), "offset table for 2 objects runs past"},
      {withTrailer({.offsetSize = 8, .numObjects = std::uint64_t{1} << 61}),
       "runs past the trailer"},
      {withOffset(4), "offset of object 1 lies outside"},
      {withOffset(12), "offset of object 1 lies outside"},
      {assemble({.objects = {bytes({0xA1, 7}), ascii("x")}}),
       "reference 7 is out of range (object 0)"},
      {assemble({.objects = {bytes({0xD1, 1, 9}), ascii("x")}}), "reference 9 is out of range"},
      {single(bytes({0xA1, 0})), "reference cycle at object 0"},
      {assemble({.objects = {bytes({0xA1, 1}), bytes({0xD1, 2, 0}), ascii("k")}}),
       "reference cycle at object 0"},
      {assemble({.objects = {bytes({0xA3, 1, 1, 2}), bytes({0xA0}), bytes({0xA1, 2})}}),
       "reference cycle at object 2"},
      {assemble({.objects = {bytes({0xD1, 1, 1}), bytes({0x10, 1})}}),
       "key at object 1 is not a string (object 0)"},
      {single(bytes({0x62, 0xD8, 0x3D, 0x00, 0x41})), "broken UTF-16 surrogate"},
      {single(bytes({0x61, 0xD8, 0x3D})), "broken UTF-16 surrogate"},
      {single(bytes({0x61, 0xDE, 0x00})), "broken UTF-16 surrogate"},
      {single(bytes({0x62, 0xDE, 0x00, 0xD8, 0x3D})), "broken UTF-16 surrogate"},
      {single("\x5A"
              "abcdefgh\xC3\xA9"),
       "above 0x7F"},
      {assemble({.objects = {bytes({0xC1, 1}), bytes({0x09})}}), "sets are not supported"},
      {single(bytes({0x00})), "null objects are not supported"},
      {single(bytes({0x0F})), "fill byte"},
      {single(bytes({0x70})), "unknown object marker 0x70"},
      {single("\x34" + ff8), "unknown object marker 0x34"},
      {single("\x15" + std::string(32, '\0')), "integer has an unsupported size"},
      {single(bytes({0x21, 0, 0})), "real has an unsupported size"},
      {single("\x14" + bigEndian(1, 8) + bigEndian(0, 8)), "does not fit in 64 bits"},
      {single("\x14" + ff8 + bigEndian(5, 8)), "does not fit in 64 bits"},
      {single("\x88\x01" + ff8), "UID does not fit in 64 bits"},
      {single(bytes({0x13, 0, 0})), "integer runs past"},
      {single(bytes({0x23, 0, 0})), "real runs past"},
      {single(bytes({0x33, 0})), "date runs past"},
      {single(bytes({0x83, 0})), "UID runs past"},
      {single("\x5A"
              "abc"),
       "run past the objects (object 0)"},
      {single(bytes({0xA9, 0, 0})), "run past the objects"},
      {single(bytes({0xD2, 0, 0, 0})), "run past the objects"},
      {single(bytes({0x5F, 0x22, 0, 0, 0, 1, 'a'})), "length is not given as an integer"},
      {single(bytes({0x4F, 0x12, 0})), "length runs past"},
      {single("\x4F\x13" + ff8), "length is negative"},
      {single("\x4F\x13\x7F" + ff8.substr(1)), "run past the objects"},
  };
  for (const auto& [file, message] : cases) {
    Value root = Value::string("untouched");
    Status status = readBinaryPlist(file, &root);
    EXPECT_NE(status.message().find(message), std::string::npos)
        << message << ": " << status.message();
    EXPECT_EQ(status.message().rfind("not a binary property list: ", 0), 0u) << status.message();
    EXPECT_EQ(root, Value::string("untouched"));
  }
}

TEST(BinaryPlistReader, RefusesEveryTruncation) {
  const std::string file = written(everyKind());
  for (std::size_t length = 0; length < file.size(); ++length) {
    Value root;
    EXPECT_FALSE(readBinaryPlist(std::string_view(file).substr(0, length), &root).ok()) << length;
  }
}

TEST(BinaryPlistReader, DamagedBytesEitherFailOrLoadATreeThatRoundTrips) {
  const std::string file = written(Value::dict({
      {"a", arrayOf({Value::integer(300), Value::string("héllo"), Value::real(2.5)})},
      {"b", Value::dict({{"c", Value::data({1, 2, 3})}, {"d", Value::uid(9)}})},
      {"e", Value::date(3.0)},
  }));
  int loaded = 0;
  for (std::size_t i = 0; i < file.size(); ++i) {
    for (int change : {0x01, 0x80, 0x0F, 0xFF}) {
      std::string damaged = file;
      damaged[i] = static_cast<char>(damaged[i] ^ change);
      Value root;
      if (!readBinaryPlist(damaged, &root).ok()) continue;
      ++loaded;
      EXPECT_EQ(readBack(written(root)), root) << "byte " << i;
    }
  }
  EXPECT_GT(loaded, 0);  // damage inside text, say, leaves a loadable file
}

TEST(BinaryPlistReader, RefusesSharedReferenceBombs) {
  // Each level an array holding the level below twice: 2^levels leaves from levels+1 objects.
  const auto doubling = [](int levels) {
    Layout layout;
    for (int level = 0; level < levels; ++level) {
      layout.objects.push_back(bytes({0xA2, level + 1, level + 1}));
    }
    layout.objects.push_back(ascii("leaf"));
    return assemble(layout);
  };
  // A thousand references to one 100 kB data object: each is a copy, 100 MB in all.
  const std::string payload = bigEndian(100000, 4) + std::string(100000, 'z');
  const std::string manyCopies =
      assemble({.objects = {"\xAF\x11\x03\xE8" + std::string(1000, '\x01'), "\x4F\x12" + payload},
                .offsetSize = 4});
  for (const std::string& file : {doubling(30), doubling(60), manyCopies}) {
    Value root;
    Status status = readBinaryPlist(file, &root);
    EXPECT_NE(status.message().find("expands far beyond its size"), std::string::npos)
        << status.message();
  }
  // A string is held once however often it is referenced, so the same with a string loads.
  const Value strings = readBack(
      assemble({.objects = {"\xAF\x11\x03\xE8" + std::string(1000, '\x01'), "\x5F\x12" + payload},
                .offsetSize = 4}));
  ASSERT_EQ(strings.asArray()->size(), 1000u);
  EXPECT_TRUE(strings.asArray()->front().asString()->sharesBlockWith(
      *strings.asArray()->back().asString()));
  const Value small = readBack(doubling(10));
  const Value* node = &small;
  int depth = 0;
  for (; node->asArray(); node = &node->asArray()->back())
    ++depth;
  EXPECT_EQ(depth, 10);
  EXPECT_EQ(*node, Value::string("leaf"));
}

TEST(BinaryPlistReader, LoadsVeryDeepNestingWithoutRecursion) {
  constexpr std::uint64_t kDepth = 200000;
  Layout layout{.offsetSize = 4, .refSize = 4};
  for (std::uint64_t i = 0; i < kDepth; ++i)
    layout.objects.push_back(std::string("\xA1").append(bigEndian(i + 1, 4)));
  layout.objects.push_back(bytes({0xA0}));
  const std::string file = assemble(layout);
  const Value root = readBack(file);
  std::uint64_t depth = 0;
  for (const Value* node = &root; !node->asArray()->empty(); node = &node->asArray()->front()) {
    ++depth;
  }
  EXPECT_EQ(depth, kDepth);
  EXPECT_EQ(written(root), file);
}

// ---- Interplay with Python's plistlib -------------------------------------------------------

// Both sides print trees in this form, and the texts are compared.
constexpr const char* kPythonCanon = R"PY(
import datetime, plistlib, struct, sys
def canon(v):
    if isinstance(v, bool): return 'T' if v else 'F'
    if isinstance(v, int): return 'i%d' % v
    if isinstance(v, float): return 'r' + struct.pack('>d', v).hex()
    if isinstance(v, str): return 's' + v.encode('utf-8').hex()
    if isinstance(v, bytes): return 'b' + v.hex()
    if isinstance(v, plistlib.UID): return 'u%d' % v.data
    if isinstance(v, datetime.datetime):
        return 'd%d' % ((v - datetime.datetime(2001, 1, 1)) // datetime.timedelta(microseconds=1))
    if isinstance(v, list): return '[' + ','.join(canon(x) for x in v) + ']'
    return '{' + ','.join(canon(k) + ':' + canon(x) for k, x in v.items()) + '}'
)PY";

std::string hex(const void* data, std::size_t size) {
  std::string out;
  char buffer[3];
  for (std::size_t i = 0; i < size; ++i) {
    std::snprintf(buffer, sizeof buffer, "%02x", static_cast<const unsigned char*>(data)[i]);
    out += buffer;
  }
  return out;
}
std::string hex(std::string_view text) {
  return hex(text.data(), text.size());
}

std::string canon(const Value& value) {
  std::string out;
  switch (value.kind()) {
    case PlistKind::Dictionary:
      for (const DictEntry& entry : *value.asDict()) {
        out += (out.empty() ? "{s" : ",s") + hex(entry.key) + ":" + canon(entry.value);
      }
      return out.empty() ? "{}" : out + "}";
    case PlistKind::Array:
      for (const Value& element : *value.asArray())
        out += (out.empty() ? "[" : ",") + canon(element);
      return out.empty() ? "[]" : out + "]";
    case PlistKind::String:
      return "s" + hex(*value.asString());
    case PlistKind::Integer:
      return "i" + (value.asInteger()->fitsSigned()
                        ? std::to_string(value.asInteger()->asSigned())
                        : std::to_string(value.asInteger()->asUnsigned()));
    case PlistKind::Real:
      return "r" + hex(bigEndian(std::bit_cast<std::uint64_t>(*value.asReal()), 8));
    case PlistKind::Boolean:
      return *value.asBoolean() ? "T" : "F";
    case PlistKind::Date:
      return "d" + std::to_string(std::llround(value.asDate()->secondsSince2001 * 1e6));
    case PlistKind::Data:
      return "b" + hex(value.asData()->data(), value.asData()->size());
    case PlistKind::Uid:
      return "u" + std::to_string(value.asUid()->value);
  }
  return "?";
}

// Shaped like a browser's bookmarks: folders of leaves, a shared type string in every node,
// some repeated URLs and titles.
Value bookmarkTree(int leaves) {
  std::uint64_t state = 12345;
  const auto next = [&] {
    return (state = state * 6364136223846793005ULL + 1442695040888963407ULL) >> 33;
  };
  const auto uuid = [&] {
    return Value::string(hex(bigEndian(next(), 8)) + "-" + hex(bigEndian(next(), 8)));
  };
  PlistArray folders(1 + leaves / 50, Value::dict());
  for (std::size_t f = 0; f < folders.size(); ++f) {
    PlistArray children;
    for (int i = 0; i < 50 && static_cast<int>(f) * 50 + i < leaves; ++i) {
      const std::string site = "site" + std::to_string(next() % (leaves / 2 + 1));
      children.push_back(Value::dict({
          {"WebBookmarkType", Value::string("WebBookmarkTypeLeaf")},
          {"WebBookmarkUUID", uuid()},
          {"URLString",
           Value::string("https://www." + site + ".example/" + std::to_string(next() % 99))},
          {"URIDictionary", Value::dict({{"title", Value::string("Page about " + site)}})},
      }));
    }
    folders[f] = Value::dict({{"WebBookmarkType", Value::string("WebBookmarkTypeList")},
                              {"WebBookmarkUUID", uuid()},
                              {"Title", Value::string("Folder " + std::to_string(f))},
                              {"Children", Value::array(std::move(children))}});
  }
  return Value::dict({{"WebBookmarkFileVersion", Value::integer(1)},
                      {"Children", Value::array(std::move(folders))}});
}

TEST(BinaryPlistPython, PlistlibReadsOurOutput) {
  testing::TempDir dir;
  Value tree = everyKind();  // plistlib keeps dates to the microsecond only
  *tree.find("dates") = arrayFrom({0.5, -86400.25, 700000000.125, -978307200.0}, Value::date);
  for (const Value& value : {tree, bookmarkTree(300)}) {
    testing::writeFile(dir.file("ours.plist"), written(value));
    EXPECT_EQ(testing::runPython(std::string(kPythonCanon) +
                                     "print(canon(plistlib.load(open(sys.argv[1], 'rb'))))",
                                 {dir.file("ours.plist")}),
              canon(value) + "\n");
  }
}

TEST(BinaryPlistPython, WeReadPlistlibOutput) {
  testing::TempDir dir;
  const std::string printed = testing::runPython(std::string(kPythonCanon) + R"PY(
value = {
    'ints': [0, 1, 255, 256, 65535, 65536, 2**32, 2**63 - 1, -1, -2**63, 2**63, 2**64 - 1],
    'reals': [0.0, -0.0, 0.1, float('inf'), float('-inf'), 5e-324, float('nan'), 1e300],
    'dates': [datetime.datetime(2020, 5, 17, 12, 30, 15, 250000), datetime.datetime(1970, 1, 1)],
    'data': [b'', b'\x00\xff' * 20],
    'strings': ['', 'ascii', 'café', '日本語', '😀', 'a\x00b', 'x' * 300, 'é' * 20],
    'uids': [plistlib.UID(0), plistlib.UID(255), plistlib.UID(2**40)],
    'bools': [True, False], 'nested': [[], {}, [[{'k': [1]}]]], 'many': list(range(300)),
    'clé': 'title', 'title': 'clé',
}
open(sys.argv[1], 'wb').write(plistlib.dumps(value, fmt=plistlib.FMT_BINARY))
print(canon(plistlib.load(open(sys.argv[1], 'rb'))))
)PY",
                                                 {dir.file("python.plist")});
  EXPECT_EQ(canon(readBack(testing::readFile(dir.file("python.plist")))) + "\n", printed);
}

TEST(BinaryPlistPython, BookmarkFileIsNoLargerThanPlistlibs) {
  testing::TempDir dir;
  const std::string ours = written(bookmarkTree(3000));
  testing::writeFile(dir.file("bookmarks.plist"), ours);
  const double theirs = std::stod(testing::runPython(R"PY(
import plistlib, sys
value = plistlib.load(open(sys.argv[1], 'rb'))
print(len(plistlib.dumps(value, fmt=plistlib.FMT_BINARY, sort_keys=False)))
)PY",
                                                     {dir.file("bookmarks.plist")}));
  EXPECT_GT(theirs, 100000);  // the tree really holds a few thousand nodes
  EXPECT_LE(static_cast<double>(ours.size()), 1.10 * theirs) << ours.size() << " vs " << theirs;
}

}  // namespace
}  // namespace tidymark
