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

// ---- Building files by hand -----------------------------------------------------------------

std::string bytes(std::initializer_list<int> list) {
  std::string out;
  for (int b : list)
    out.push_back(static_cast<char>(b));
  return out;
}

std::string bigEndian(std::uint64_t value, int width) {
  std::string out;
  for (int i = width - 1; i >= 0; --i) {
    out.push_back(static_cast<char>(i >= 8 ? 0 : (value >> (8 * i)) & 0xFF));
  }
  return out;
}

// An ASCII string object of fewer than 15 characters.
std::string ascii(const std::string& text) {
  return static_cast<char>(0x50 | text.size()) + text;
}

// A file laid out from object byte strings: offsets are computed, and any trailer field can be
// overridden to build damaged files.
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
  out += std::string(6, '\0');
  out.push_back(static_cast<char>(layout.offsetSize));
  out.push_back(static_cast<char>(layout.refSize));
  out += bigEndian(layout.numObjects.value_or(layout.objects.size()), 8);
  out += bigEndian(layout.topObject.value_or(0), 8);
  out += bigEndian(layout.tableOffset.value_or(table), 8);
  return out;
}

struct Trailer {
  int offsetSize;
  int refSize;
  std::uint64_t numObjects;
  std::uint64_t tableOffset;
};

Trailer trailerOf(const std::string& file) {
  const auto field = [&](std::size_t at) {
    std::uint64_t value = 0;
    for (int i = 0; i < 8; ++i)
      value = (value << 8) | static_cast<std::uint8_t>(file[at + i]);
    return value;
  };
  const std::size_t t = file.size() - 32;
  return {static_cast<std::uint8_t>(file[t + 6]), static_cast<std::uint8_t>(file[t + 7]),
          field(t + 8), field(t + 24)};
}

std::string written(const PlistValue& tree) {
  std::string out;
  Status status = writeBinaryPlist(tree, &out);
  EXPECT_TRUE(status.ok()) << status.message();
  return out;
}

PlistValue readBack(const std::string& file) {
  PlistValue tree;
  Status status = readBinaryPlist(file, &tree);
  EXPECT_TRUE(status.ok()) << status.message();
  return tree;
}

PlistValue real(std::uint64_t bits) {
  return PlistValue::real(std::bit_cast<double>(bits));
}

PlistValue arrayOf(std::vector<PlistValue> elements) {
  return PlistValue::array(std::move(elements));
}

PlistValue stringsTimes(const std::string& text, int times) {
  PlistArray elements;
  for (int i = 0; i < times; ++i)
    elements.push_back(PlistValue::string(text));
  return PlistValue::array(std::move(elements));
}

PlistValue integersUpTo(std::uint64_t count) {
  PlistArray elements;
  for (std::uint64_t i = 0; i < count; ++i) {
    elements.push_back(PlistValue::integer(static_cast<std::int64_t>(i)));
  }
  return PlistValue::array(std::move(elements));
}

PlistValue everyKind() {
  PlistArray integers;
  for (std::int64_t v :
       {std::numeric_limits<std::int64_t>::min(), std::int64_t{-1}, std::int64_t{0},
        std::int64_t{255}, std::int64_t{256}, std::int64_t{65535}, std::int64_t{65536},
        std::int64_t{1} << 32, std::numeric_limits<std::int64_t>::max()}) {
    integers.push_back(PlistValue::integer(v));
  }
  integers.push_back(PlistValue::unsignedInteger(std::uint64_t{1} << 63));
  integers.push_back(PlistValue::unsignedInteger(std::numeric_limits<std::uint64_t>::max()));
  PlistArray reals = {PlistValue::real(0.0),
                      PlistValue::real(-0.0),
                      PlistValue::real(0.1),
                      PlistValue::real(std::numeric_limits<double>::quiet_NaN()),
                      real(0x7FF0000000000123),  // a NaN with a payload
                      PlistValue::real(std::numeric_limits<double>::infinity()),
                      PlistValue::real(-std::numeric_limits<double>::infinity()),
                      PlistValue::real(std::numeric_limits<double>::denorm_min()),
                      PlistValue::real(1e308)};
  PlistArray dates = {PlistValue::date(0.5), PlistValue::date(-1.25), PlistValue::date(1e-7),
                      PlistValue::date(700000000.123456789), PlistValue::date(-978307200.0)};
  PlistData ramp;
  for (int i = 0; i < 100; ++i)
    ramp.push_back(static_cast<std::uint8_t>(i * 7));
  PlistArray data = {PlistValue::data({}), PlistValue::data({0, 255, 10}), PlistValue::data(ramp)};
  PlistArray strings = {PlistValue::string(""),
                        PlistValue::string("plain"),
                        PlistValue::string("café"),
                        PlistValue::string("日本語のタイトル"),
                        PlistValue::string("😀 and 𝄞"),
                        PlistValue::string(std::string("a\0b", 3)),
                        PlistValue::string("fifteen chars!!"),
                        PlistValue::string("ünïcödé längér thän fïftéén")};
  PlistArray uids;
  for (std::uint64_t v :
       {std::uint64_t{0}, std::uint64_t{255}, std::uint64_t{256}, std::uint64_t{65535},
        std::uint64_t{65536}, std::uint64_t{1} << 32, std::numeric_limits<std::uint64_t>::max()}) {
    uids.push_back(PlistValue::uid(v));
  }
  PlistDict nested = {{"inner", arrayOf({PlistValue::dict({{"deeper", arrayOf({})}})})},
                      {"", PlistValue::boolean(false)},
                      {"clé", PlistValue::boolean(true)}};
  return PlistValue::dict({{"integers", PlistValue::array(integers)},
                           {"reals", PlistValue::array(reals)},
                           {"dates", PlistValue::array(dates)},
                           {"data", PlistValue::array(data)},
                           {"strings", PlistValue::array(strings)},
                           {"uids", PlistValue::array(uids)},
                           {"empty array", arrayOf({})},
                           {"empty dict", PlistValue::dict()},
                           {"nested", PlistValue::dict(nested)},
                           {"fourteen", integersUpTo(14)},
                           {"fifteen", integersUpTo(15)}});
}

// ---- Round trips ----------------------------------------------------------------------------

TEST(BinaryPlistRoundTrip, EveryKindComesBackEqualAndRewritesIdentically) {
  const PlistValue tree = everyKind();
  const std::string first = written(tree);
  EXPECT_EQ(readBack(first), tree);
  EXPECT_EQ(written(readBack(first)), first);
  EXPECT_EQ(written(tree), first);

  // Every scalar also works as the root on its own.
  for (const auto& [key, group] : *tree.asDict()) {
    if (!group.asArray()) continue;
    for (const PlistValue& value : *group.asArray()) {
      SCOPED_TRACE(key);
      EXPECT_EQ(readBack(written(value)), value);
    }
  }
}

TEST(BinaryPlistRoundTrip, AppendsToExistingOutput) {
  std::string out = "prefix";
  ASSERT_TRUE(writeBinaryPlist(PlistValue::string("x"), &out).ok());
  EXPECT_EQ(out.substr(0, 6), "prefix");
  EXPECT_EQ(readBack(out.substr(6)), PlistValue::string("x"));
}

TEST(BinaryPlistRoundTrip, ReferenceWidthAndLengthFormFollowTheCounts) {
  struct Case {
    std::uint64_t elements;
    int refSize;
    std::string rootHead;  // the array's marker and length
  };
  const Case cases[] = {
      {14, 1, bytes({0xAE})},
      {15, 1, bytes({0xAF, 0x10, 0x0F})},
      {255, 1, bytes({0xAF, 0x10, 0xFF})},
      {256, 2, bytes({0xAF, 0x11, 0x01, 0x00})},
      {65535, 2, bytes({0xAF, 0x11, 0xFF, 0xFF})},
      {65536, 4, bytes({0xAF, 0x12, 0x00, 0x01, 0x00, 0x00})},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.elements);
    const PlistValue tree = integersUpTo(c.elements);
    const std::string file = written(tree);
    EXPECT_EQ(trailerOf(file).refSize, c.refSize);
    EXPECT_EQ(trailerOf(file).numObjects, c.elements + 1);
    EXPECT_EQ(file.substr(8, c.rootHead.size()), c.rootHead);
    EXPECT_EQ(readBack(file), tree);
  }
}

TEST(BinaryPlistRoundTrip, OffsetWidthFollowsTheOffsetTablePosition) {
  // A data root of n bytes (n >= 15) puts the offset table at 8 + 1 + length field + n.
  struct Case {
    std::size_t size;
    int offsetSize;
  };
  const Case cases[] = {{244, 1}, {245, 2}, {65000, 2}, {70000, 4}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.size);
    const PlistValue tree = PlistValue::data(PlistData(c.size, 0xAB));
    const std::string file = written(tree);
    EXPECT_EQ(trailerOf(file).offsetSize, c.offsetSize);
    EXPECT_EQ(readBack(file), tree);
  }
}

// ---- Writer ---------------------------------------------------------------------------------

TEST(BinaryPlistWriter, EncodesScalarsInTheirSmallestForm) {
  struct Case {
    const char* name;
    PlistValue value;
    std::string object;
  };
  const std::string zeros8(8, '\0');
  const Case cases[] = {
      {"int 0", PlistValue::integer(0), bytes({0x10, 0x00})},
      {"int 255", PlistValue::integer(255), bytes({0x10, 0xFF})},
      {"int 256", PlistValue::integer(256), bytes({0x11, 0x01, 0x00})},
      {"int 65535", PlistValue::integer(65535), bytes({0x11, 0xFF, 0xFF})},
      {"int 65536", PlistValue::integer(65536), bytes({0x12, 0x00, 0x01, 0x00, 0x00})},
      {"int 2^32", PlistValue::integer(std::int64_t{1} << 32),
       bytes({0x13, 0, 0, 0, 1, 0, 0, 0, 0})},
      {"int max", PlistValue::integer(std::numeric_limits<std::int64_t>::max()),
       "\x13\x7F" + std::string(7, '\xFF')},
      {"int -1", PlistValue::integer(-1), "\x13" + std::string(8, '\xFF')},
      {"int 2^63", PlistValue::unsignedInteger(std::uint64_t{1} << 63),
       "\x14" + zeros8 + "\x80" + std::string(7, '\0')},
      {"real", PlistValue::real(0.5), "\x23\x3F\xE0" + std::string(6, '\0')},
      {"date", PlistValue::date(1.0), "\x33\x3F\xF0" + std::string(6, '\0')},
      {"true", PlistValue::boolean(true), bytes({0x09})},
      {"false", PlistValue::boolean(false), bytes({0x08})},
      {"uid 255", PlistValue::uid(255), bytes({0x80, 0xFF})},
      {"uid 256", PlistValue::uid(256), bytes({0x81, 0x01, 0x00})},
      {"uid 65536", PlistValue::uid(65536), bytes({0x83, 0x00, 0x01, 0x00, 0x00})},
      {"uid 2^32", PlistValue::uid(std::uint64_t{1} << 32), bytes({0x87, 0, 0, 0, 1, 0, 0, 0, 0})},
      {"empty string", PlistValue::string(""), bytes({0x50})},
      {"ascii", PlistValue::string("abc"),
       "\x53"
       "abc"},
      {"15 chars", PlistValue::string("abcdefghijklmno"),
       "\x5F\x10\x0F"
       "abcdefghijklmno"},
      {"latin", PlistValue::string("é"), bytes({0x61, 0x00, 0xE9})},
      {"astral", PlistValue::string("😀"), bytes({0x62, 0xD8, 0x3D, 0xDE, 0x00})},
      {"data", PlistValue::data({1, 2}), bytes({0x42, 0x01, 0x02})},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string file = written(c.value);
    ASSERT_EQ(trailerOf(file).numObjects, 1u);
    EXPECT_EQ(file.substr(8, trailerOf(file).tableOffset - 8), c.object);
  }
}

TEST(BinaryPlistWriter, NumbersObjectsDepthFirstKeysBeforeValues) {
  const PlistValue tree = PlistValue::dict({
      {"a", arrayOf({PlistValue::integer(1), PlistValue::string("a")})},
      {"b", PlistValue::dict({{"c", PlistValue::integer(2)}})},
      {"c", PlistValue::string("b")},
  });
  const std::string expected = assemble({.objects = {
                                             bytes({0xD3, 1, 2, 3, 4, 6, 2}),
                                             ascii("a"),
                                             ascii("b"),
                                             ascii("c"),
                                             bytes({0xA2, 5, 1}),
                                             bytes({0x10, 1}),
                                             bytes({0xD1, 3, 7}),
                                             bytes({0x10, 2}),
                                         }});
  EXPECT_EQ(written(tree), expected);
}

TEST(BinaryPlistWriter, SharesEqualScalarsButNeverContainers) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  struct Case {
    const char* name;
    PlistValue tree;
    std::uint64_t objects;
  };
  const Case cases[] = {
      {"repeated string", stringsTimes("WebBookmarkTypeLeaf", 1000), 2},
      {"key and value", PlistValue::dict({{"title", PlistValue::string("title")}}), 2},
      {"zero signs",
       arrayOf({PlistValue::real(0.0), PlistValue::real(-0.0), PlistValue::real(0.0)}), 3},
      {"same NaN", arrayOf({PlistValue::real(nan), PlistValue::real(nan)}), 2},
      {"-1 and 2^64-1",
       arrayOf({PlistValue::integer(-1), PlistValue::unsignedInteger(~std::uint64_t{0}),
                PlistValue::integer(-1)}),
       3},
      {"one and true",
       arrayOf({PlistValue::integer(1), PlistValue::boolean(true), PlistValue::integer(1),
                PlistValue::boolean(true)}),
       3},
      {"string and data", arrayOf({PlistValue::string("a"), PlistValue::data({'a'})}), 3},
      {"date and real", arrayOf({PlistValue::date(1.0), PlistValue::real(1.0)}), 3},
      {"uid and int", arrayOf({PlistValue::uid(1), PlistValue::integer(1)}), 3},
      {"equal data", arrayOf({PlistValue::data({1, 2}), PlistValue::data({1, 2})}), 2},
      {"empty arrays", arrayOf({arrayOf({}), arrayOf({})}), 3},
      {"empty dicts", arrayOf({PlistValue::dict(), PlistValue::dict()}), 3},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string file = written(c.tree);
    EXPECT_EQ(trailerOf(file).numObjects, c.objects);
    EXPECT_EQ(readBack(file), c.tree);
  }
  // 1000 references and one copy of the text, rather than 1000 copies.
  EXPECT_LT(written(stringsTimes("WebBookmarkTypeLeaf", 1000)).size(), 1200u);
}

TEST(BinaryPlistWriter, RefusesStringsThatAreNotUtf8) {
  const PlistValue badValue = arrayOf({PlistValue::string("ok"), PlistValue::string("bad\xC3")});
  const PlistValue badKey = PlistValue::dict({{"\xFF\xFE", PlistValue::integer(1)}});
  for (const PlistValue* tree : {&badValue, &badKey}) {
    std::string out = "kept";
    Status status = writeBinaryPlist(*tree, &out);
    ASSERT_FALSE(status.ok());
    EXPECT_NE(status.message().find("not valid UTF-8"), std::string::npos) << status.message();
    EXPECT_EQ(out, "kept");
  }
}

// ---- Reader ---------------------------------------------------------------------------------

TEST(BinaryPlistReader, ReadsFormsThisWriterNeverProduces) {
  struct Case {
    const char* name;
    std::string file;
    PlistValue expected;
  };
  const std::string ff8(8, '\xFF');
  const std::string zero8(8, '\0');
  const Case cases[] = {
      {"float32", assemble({.objects = {bytes({0x22, 0x3F, 0xC0, 0, 0})}}), PlistValue::real(1.5)},
      {"16-byte negative", assemble({.objects = {"\x14" + ff8 + "\x80" + std::string(7, '\0')}}),
       PlistValue::integer(std::numeric_limits<std::int64_t>::min())},
      {"16-byte max", assemble({.objects = {"\x14" + zero8 + ff8}}),
       PlistValue::unsignedInteger(~std::uint64_t{0})},
      {"small 16-byte", assemble({.objects = {"\x14" + zero8 + bigEndian(7, 8)}}),
       PlistValue::integer(7)},
      {"4-byte unsigned", assemble({.objects = {bytes({0x12, 0xFF, 0xFF, 0xFF, 0xFF})}}),
       PlistValue::integer(0xFFFFFFFF)},
      {"16-byte UID", assemble({.objects = {"\x8F" + zero8 + bigEndian(42, 8)}}),
       PlistValue::uid(42)},
      {"3-byte UID", assemble({.objects = {bytes({0x82, 1, 0, 0})}}), PlistValue::uid(65536)},
      {"8-byte length", assemble({.objects = {"\x5F\x13" + bigEndian(3, 8) + "abc"}}),
       PlistValue::string("abc")},
      {"long length form for a short array",
       assemble({.objects = {bytes({0xAF, 0x11, 0x00, 0x01, 0x01}), bytes({0x09})}}),
       arrayOf({PlistValue::boolean(true)})},
      {"3-byte offsets and refs",
       assemble({.objects = {bytes({0xA1, 0, 0, 1}), ascii("x")}, .offsetSize = 3, .refSize = 3}),
       arrayOf({PlistValue::string("x")})},
      {"scalar top object that is not object 0",
       assemble({.objects = {bytes({0x08}), bytes({0x10, 5})}, .topObject = 1}),
       PlistValue::integer(5)},
      {"surrogate pair", assemble({.objects = {bytes({0x63, 0xD8, 0x34, 0xDD, 0x1E, 0x00, 0x41})}}),
       PlistValue::string("𝄞A")},
      {"shared subtree loads once per reference",
       assemble({.objects = {bytes({0xA2, 1, 1}), bytes({0xD1, 2, 2}), ascii("k")}}),
       arrayOf({PlistValue::dict({{"k", PlistValue::string("k")}}),
                PlistValue::dict({{"k", PlistValue::string("k")}})})},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(readBack(c.file), c.expected);
  }
}

TEST(BinaryPlistReader, RefusesDamagedAndHostileFiles) {
  struct Case {
    const char* name;
    std::string file;
    std::string message;
  };
  const std::string valid = assemble({.objects = {bytes({0xA1, 1}), ascii("x")}});
  const std::string ff8(8, '\xFF');
  const auto single = [](std::string object) { return assemble({.objects = {std::move(object)}}); };
  const Case cases[] = {
      {"empty", "", "does not begin with \"bplist00\""},
      {"wrong magic", "bplist01" + valid.substr(8), "does not begin with \"bplist00\""},
      {"cut trailer", valid.substr(0, 39), "the trailer is cut off"},
      {"offset size 0", assemble({.objects = {bytes({0x09})}, .offsetSize = 0}), "offset size 0"},
      {"offset size 9", assemble({.objects = {bytes({0x09})}, .offsetSize = 9}), "offset size 9"},
      {"ref size 0", assemble({.objects = {bytes({0x09})}, .refSize = 0}), "reference size 0"},
      {"ref size 9", assemble({.objects = {bytes({0x09})}, .refSize = 9}), "reference size 9"},
      {"no objects", assemble({.objects = {bytes({0x09})}, .numObjects = 0}), "holds no objects"},
      {"top object", assemble({.objects = {bytes({0x09})}, .topObject = 1}), "top object 1"},
      {"table before header", assemble({.objects = {bytes({0x09})}, .tableOffset = 3}),
       "offset table starts outside"},
      {"table past the end", assemble({.objects = {bytes({0x09})}, .tableOffset = 1000}),
       "offset table starts outside"},
      {"table overlaps the trailer", assemble({.objects = {bytes({0x09})}, .numObjects = 2}),
       "offset table for 2 objects runs past"},
      {"absurd object count",
       assemble(
           {.objects = {bytes({0x09})}, .offsetSize = 8, .numObjects = std::uint64_t{1} << 61}),
       "runs past the trailer"},
      {"offset inside the header",
       assemble({.objects = {bytes({0xA1, 1}), ascii("x")}, .offsetOverrides = {{1, 4}}}),
       "offset of object 1 lies outside"},
      {"offset at the table",
       assemble({.objects = {bytes({0xA1, 1}), ascii("x")}, .offsetOverrides = {{1, 12}}}),
       "offset of object 1 lies outside"},
      {"reference out of range", assemble({.objects = {bytes({0xA1, 7}), ascii("x")}}),
       "reference 7 is out of range (object 0)"},
      {"value reference out of range", assemble({.objects = {bytes({0xD1, 1, 9}), ascii("x")}}),
       "reference 9 is out of range (object 0)"},
      {"array holding itself", single(bytes({0xA1, 0})), "reference cycle at object 0"},
      {"cycle behind a shared container",
       assemble({.objects = {bytes({0xA3, 1, 1, 2}), bytes({0xA0}), bytes({0xA1, 2})}}),
       "reference cycle at object 2"},
      {"two-object cycle",
       assemble({.objects = {bytes({0xA1, 1}), bytes({0xD1, 2, 0}), ascii("k")}}),
       "reference cycle at object 0"},
      {"key that is not a string", assemble({.objects = {bytes({0xD1, 1, 1}), bytes({0x10, 1})}}),
       "key at object 1 is not a string (object 0)"},
      {"lone high surrogate", single(bytes({0x62, 0xD8, 0x3D, 0x00, 0x41})),
       "broken UTF-16 surrogate"},
      {"high surrogate at the end", single(bytes({0x61, 0xD8, 0x3D})), "broken UTF-16 surrogate"},
      {"lone low surrogate", single(bytes({0x61, 0xDE, 0x00})), "broken UTF-16 surrogate"},
      {"reversed pair", single(bytes({0x62, 0xDE, 0x00, 0xD8, 0x3D})), "broken UTF-16 surrogate"},
      {"non-ASCII byte in ASCII string",
       single("\x5A"
              "abcdefgh\xC3\xA9"),
       "above 0x7F"},
      {"set", assemble({.objects = {bytes({0xC1, 1}), bytes({0x09})}}), "sets are not supported"},
      {"null", single(bytes({0x00})), "null objects are not supported"},
      {"fill", single(bytes({0x0F})), "fill byte"},
      {"unknown marker", single(bytes({0x70})), "unknown object marker 0x70"},
      {"old date marker", single("\x34" + std::string(8, '\0')), "unknown object marker 0x34"},
      {"32-byte integer", single("\x15" + std::string(32, '\0')), "unsupported size"},
      {"half-size real", single(bytes({0x21, 0, 0})), "unsupported size"},
      {"16-byte integer above 2^64", single("\x14" + bigEndian(1, 8) + bigEndian(0, 8)),
       "does not fit in 64 bits"},
      {"16-byte integer below -2^63", single("\x14" + ff8 + bigEndian(5, 8)),
       "does not fit in 64 bits"},
      {"UID above 2^64", single("\x88" + bytes({1}) + ff8), "UID does not fit in 64 bits"},
      {"cut integer", single(bytes({0x13, 0, 0})), "integer runs past"},
      {"cut real", single(bytes({0x23, 0, 0})), "real runs past"},
      {"cut date", single(bytes({0x33, 0})), "date runs past"},
      {"cut UID", single(bytes({0x83, 0})), "UID runs past"},
      {"string longer than the objects",
       single("\x5A"
              "abc"),
       "run past the objects (object 0)"},
      {"array longer than the objects", single(bytes({0xA9, 0, 0})), "run past the objects"},
      {"dict longer than the objects", single(bytes({0xD2, 0, 0, 0})), "run past the objects"},
      {"length that is not an integer", single(bytes({0x5F, 0x22, 0, 0, 0, 1, 'a'})),
       "length is not given as an integer"},
      {"length field cut off", single(bytes({0x4F, 0x12, 0})), "length runs past"},
      {"negative length", single("\x4F\x13" + ff8), "length is negative"},
      {"huge length", single("\x4F\x13\x7F" + std::string(7, '\xFF')), "run past the objects"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    PlistValue root = PlistValue::string("untouched");
    Status status = readBinaryPlist(c.file, &root);
    ASSERT_FALSE(status.ok());
    EXPECT_NE(status.message().find(c.message), std::string::npos) << status.message();
    EXPECT_EQ(status.message().rfind("not a binary property list: ", 0), 0u) << status.message();
    EXPECT_EQ(root, PlistValue::string("untouched"));
  }
}

TEST(BinaryPlistReader, RefusesEveryTruncation) {
  const std::string file = written(everyKind());
  for (std::size_t length = 0; length < file.size(); ++length) {
    PlistValue root;
    EXPECT_FALSE(readBinaryPlist(std::string_view(file).substr(0, length), &root).ok())
        << "prefix of " << length << " bytes loaded";
  }
}

TEST(BinaryPlistReader, DamagedBytesEitherFailOrLoadAConsistentTree) {
  const PlistValue tree = PlistValue::dict({
      {"a",
       arrayOf({PlistValue::integer(300), PlistValue::string("héllo"), PlistValue::real(2.5)})},
      {"b", PlistValue::dict({{"c", PlistValue::data({1, 2, 3})}, {"d", PlistValue::uid(9)}})},
      {"e", PlistValue::date(3.0)},
  });
  const std::string file = written(tree);
  int loaded = 0;
  for (std::size_t i = 0; i < file.size(); ++i) {
    for (int change : {0x00, 0xFF, 0x01, 0x80, 0x0F}) {
      std::string damaged = file;
      damaged[i] = static_cast<char>(
          change == 0x00 || change == 0xFF ? change : static_cast<std::uint8_t>(file[i]) ^ change);
      PlistValue root;
      if (!readBinaryPlist(damaged, &root).ok()) continue;
      ++loaded;
      // Whatever loads must be a tree this tool can write and read back unchanged.
      EXPECT_EQ(readBack(written(root)), root) << "byte " << i;
    }
  }
  EXPECT_GT(loaded, 0);  // some damage (inside text, say) leaves a loadable file
}

TEST(BinaryPlistReader, RefusesSharedReferenceBombs) {
  // Thirty levels of an array holding the level below twice: 2^30 leaves from 31 objects.
  Layout doubling;
  for (int level = 0; level < 30; ++level)
    doubling.objects.push_back(bytes({0xA2, level + 1, level + 1}));
  doubling.objects.push_back(ascii("leaf"));
  // A thousand references to one 100 kB data object: 100 MB from a 100 kB file.
  const std::string blob = "\x4F\x12" + bigEndian(100000, 4) + std::string(100000, 'z');
  const std::string refs(1000, '\x01');
  const std::string wide =
      assemble({.objects = {"\xAF\x11\x03\xE8" + refs, blob}, .offsetSize = 2});
  for (const std::string& file : {assemble(doubling), wide}) {
    PlistValue root;
    Status status = readBinaryPlist(file, &root);
    ASSERT_FALSE(status.ok());
    EXPECT_NE(status.message().find("expands far beyond its size"), std::string::npos)
        << status.message();
  }
  // The same shapes, small enough, load.
  doubling.objects.erase(doubling.objects.begin(), doubling.objects.begin() + 20);
  for (std::size_t i = 0; i + 1 < doubling.objects.size(); ++i) {
    doubling.objects[i] = bytes({0xA2, static_cast<int>(i + 1), static_cast<int>(i + 1)});
  }
  const PlistValue small = readBack(assemble(doubling));
  const PlistValue* node = &small;
  int depth = 0;
  for (; node->asArray(); node = &node->asArray()->back())
    ++depth;
  EXPECT_EQ(depth, 10);
  EXPECT_EQ(*node, PlistValue::string("leaf"));
}

TEST(BinaryPlistReader, LoadsVeryDeepNestingWithoutRecursion) {
  constexpr std::uint64_t kDepth = 200000;
  Layout layout{.offsetSize = 4, .refSize = 4};
  for (std::uint64_t i = 0; i < kDepth; ++i)
    layout.objects.push_back("\xA1" + bigEndian(i + 1, 4));
  layout.objects.push_back(bytes({0xA0}));
  const std::string file = assemble(layout);

  PlistValue root;
  Status status = readBinaryPlist(file, &root);
  ASSERT_TRUE(status.ok()) << status.message();
  std::uint64_t depth = 0;
  const PlistValue* node = &root;
  while (node->asArray() && !node->asArray()->empty()) {
    node = &node->asArray()->front();
    ++depth;
  }
  EXPECT_EQ(depth, kDepth);
  EXPECT_EQ(written(root), file);
}

// ---- Interplay with Python's plistlib -------------------------------------------------------

// Both sides print a tree in this form and the texts are compared.
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
    if isinstance(v, dict):
        return '{' + ','.join(canon(k) + ':' + canon(x) for k, x in v.items()) + '}'
    raise TypeError(type(v))
)PY";

std::string hex(std::string_view text) {
  std::string out;
  char buffer[3];
  for (unsigned char c : text) {
    std::snprintf(buffer, sizeof buffer, "%02x", c);
    out += buffer;
  }
  return out;
}

std::string canon(const PlistValue& value) {
  char buffer[32];
  switch (value.kind()) {
    case PlistKind::Dictionary: {
      std::string out = "{";
      for (const DictEntry& entry : *value.asDict()) {
        if (out.size() > 1) out += ",";
        out += "s" + hex(entry.key) + ":" + canon(entry.value);
      }
      return out + "}";
    }
    case PlistKind::Array: {
      std::string out = "[";
      for (const PlistValue& element : *value.asArray()) {
        if (out.size() > 1) out += ",";
        out += canon(element);
      }
      return out + "]";
    }
    case PlistKind::String:
      return "s" + hex(*value.asString());
    case PlistKind::Integer: {
      const PlistInteger integer = *value.asInteger();
      return "i" + (integer.fitsSigned() ? std::to_string(integer.asSigned())
                                         : std::to_string(integer.asUnsigned()));
    }
    case PlistKind::Real:
      std::snprintf(buffer, sizeof buffer, "r%016llx",
                    static_cast<unsigned long long>(std::bit_cast<std::uint64_t>(*value.asReal())));
      return buffer;
    case PlistKind::Boolean:
      return *value.asBoolean() ? "T" : "F";
    case PlistKind::Date:
      return "d" + std::to_string(std::llround(value.asDate()->secondsSince2001 * 1e6));
    case PlistKind::Data: {
      const PlistData& data = *value.asData();
      return "b" + hex(std::string_view(reinterpret_cast<const char*>(data.data()), data.size()));
    }
    case PlistKind::Uid:
      return "u" + std::to_string(value.asUid()->value);
  }
  return "?";
}

// A tree shaped like a browser's bookmarks: folders of leaves, a shared type string in every
// node, and some repeated URLs and titles.
PlistValue bookmarkTree(int leaves) {
  std::uint64_t state = 12345;
  const auto next = [&] {
    state = state * 6364136223846793005ULL + 1442695040888963407ULL;
    return state >> 33;
  };
  const auto uuid = [&] {
    char text[40];
    std::snprintf(text, sizeof text, "%08llX-%04llX-%04llX-%04llX-%012llX",
                  static_cast<unsigned long long>(next() & 0xFFFFFFFF),
                  static_cast<unsigned long long>(next() & 0xFFFF),
                  static_cast<unsigned long long>(next() & 0xFFFF),
                  static_cast<unsigned long long>(next() & 0xFFFF),
                  static_cast<unsigned long long>(next() & 0xFFFFFFFFFFFF));
    return PlistValue::string(text);
  };
  PlistArray folders;
  for (int made = 0; made < leaves;) {
    PlistArray children;
    for (int i = 0; i < 50 && made < leaves; ++i, ++made) {
      const std::string site = "site" + std::to_string(next() % (leaves / 2 + 1));
      children.push_back(PlistValue::dict({
          {"WebBookmarkType", PlistValue::string("WebBookmarkTypeLeaf")},
          {"WebBookmarkUUID", uuid()},
          {"URLString", PlistValue::string("https://www." + site + ".example/page/" +
                                           std::to_string(next() % 1000))},
          {"URIDictionary",
           PlistValue::dict({{"title", PlistValue::string("Page about " + site)}})},
      }));
    }
    folders.push_back(PlistValue::dict({
        {"WebBookmarkType", PlistValue::string("WebBookmarkTypeList")},
        {"WebBookmarkUUID", uuid()},
        {"Title", PlistValue::string("Folder " + std::to_string(folders.size()))},
        {"Children", PlistValue::array(std::move(children))},
    }));
  }
  return PlistValue::dict({{"WebBookmarkType", PlistValue::string("WebBookmarkTypeList")},
                           {"WebBookmarkFileVersion", PlistValue::integer(1)},
                           {"Children", PlistValue::array(std::move(folders))}});
}

TEST(BinaryPlistPython, PlistlibReadsOurOutput) {
  testing::TempDir dir;
  // plistlib keeps dates to the microsecond, so these dates have no finer fraction.
  PlistValue tree = everyKind();
  *tree.find("dates") = arrayOf({PlistValue::date(0.5), PlistValue::date(-86400.25),
                                 PlistValue::date(700000000.125), PlistValue::date(-978307200.0)});
  const PlistValue bookmarks = bookmarkTree(300);
  for (const PlistValue* value : {static_cast<const PlistValue*>(&tree), &bookmarks}) {
    const std::string path = dir.file("ours.plist");
    testing::writeFile(path, written(*value));
    const std::string printed = testing::runPython(
        std::string(kPythonCanon) +
            "print(canon(plistlib.load(open(sys.argv[1], 'rb'), fmt=plistlib.FMT_BINARY)))",
        {path});
    EXPECT_EQ(printed, canon(*value) + "\n");
  }
}

TEST(BinaryPlistPython, WeReadPlistlibOutput) {
  testing::TempDir dir;
  const std::string path = dir.file("python.plist");
  const std::string printed = testing::runPython(std::string(kPythonCanon) + R"PY(
value = {
    'ints': [0, 1, 255, 256, 65535, 65536, 2**32, 2**63 - 1, -1, -2**63, 2**63, 2**64 - 1],
    'reals': [0.0, -0.0, 0.1, float('inf'), float('-inf'), 5e-324, float('nan'), 1e300],
    'dates': [datetime.datetime(2020, 5, 17, 12, 30, 15, 250000), datetime.datetime(1970, 1, 1)],
    'data': [b'', b'\x00\xff' * 20],
    'strings': ['', 'ascii', 'café', '日本語', '😀', 'a\x00b', 'x' * 300, 'é' * 20],
    'uids': [plistlib.UID(0), plistlib.UID(255), plistlib.UID(2**40)],
    'bools': [True, False],
    'nested': [[], {}, [[{'k': [1]}]]],
    'many': list(range(300)),
    'clé': 'title',
    'title': 'clé',
}
open(sys.argv[1], 'wb').write(plistlib.dumps(value, fmt=plistlib.FMT_BINARY))
print(canon(plistlib.loads(open(sys.argv[1], 'rb').read())))
)PY",
                                                 {path});
  const PlistValue tree = readBack(testing::readFile(path));
  EXPECT_EQ(canon(tree) + "\n", printed);
}

TEST(BinaryPlistPython, BookmarkFileIsNoLargerThanPlistlibs) {
  testing::TempDir dir;
  const std::string path = dir.file("bookmarks.plist");
  const std::string ours = written(bookmarkTree(3000));
  testing::writeFile(path, ours);
  const std::string printed = testing::runPython(R"PY(
import plistlib, sys
value = plistlib.load(open(sys.argv[1], 'rb'))
print(len(plistlib.dumps(value, fmt=plistlib.FMT_BINARY, sort_keys=False)))
)PY",
                                                 {path});
  const double theirs = std::stod(printed);
  EXPECT_GT(theirs, 100000);  // the tree really is a few thousand nodes
  EXPECT_LE(static_cast<double>(ours.size()), 1.10 * theirs)
      << "ours " << ours.size() << " bytes, plistlib " << theirs;
}

}  // namespace
}  // namespace tidymark
