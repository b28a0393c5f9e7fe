#include "platform/xml_plist.h"

#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/test_support.h"

namespace tidymark {
namespace {

constexpr char kHeader[] =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
    "<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" "
    "\"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n";

std::string document(const std::string& body) {
  return kHeader + std::string("<plist version=\"1.0\">\n") + body + "\n</plist>\n";
}

std::string writeOk(const PlistValue& value) {
  std::string out;
  Status status = writeXmlPlist(value, &out);
  EXPECT_TRUE(status.ok()) << status.message();
  return out;
}

PlistValue readOk(const std::string& xml) {
  PlistValue value;
  Status status = readXmlPlist(xml, &value);
  EXPECT_TRUE(status.ok()) << status.message() << "\nin:\n" << xml;
  return value;
}

std::string readError(const std::string& xml) {
  PlistValue value;
  Status status = readXmlPlist(xml, &value);
  EXPECT_FALSE(status.ok()) << "accepted:\n" << xml;
  return status.message();
}

PlistValue str(const char* text) {
  return PlistValue::string(text);
}

std::string repeat(const std::string& text, std::size_t count) {
  std::string result;
  for (std::size_t i = 0; i < count; ++i)
    result += text;
  return result;
}

PlistValue dictOf(std::vector<std::pair<std::string, PlistValue>> entries) {
  PlistDict dict;
  for (auto& [key, value] : entries)
    dict.push_back({key, std::move(value)});
  return PlistValue::dict(std::move(dict));
}

PlistData pattern(std::size_t size) {
  PlistData bytes(size);
  for (std::size_t i = 0; i < size; ++i)
    bytes[i] = static_cast<std::uint8_t>(i * 7 + 3);
  return bytes;
}

constexpr double kNan = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();
// 0001-01-01T00:00:00Z and 9999-12-31T23:59:59Z.
constexpr double kFirstDate = -63113904000.0;
constexpr double kLastDate = 252423993599.0;

PlistValue everyKind() {
  PlistArray integers;
  for (std::int64_t n :
       {std::int64_t{0}, std::int64_t{-1}, std::int64_t{42}, INT64_MIN, INT64_MAX}) {
    integers.push_back(PlistValue::integer(n));
  }
  integers.push_back(PlistValue::unsignedInteger(std::uint64_t{1} << 63));
  integers.push_back(PlistValue::unsignedInteger(UINT64_MAX));
  PlistArray reals;
  for (double d : {0.1, 1e300, 5e-324, -0.0, 0.0, kNan, kInf, -kInf, 1.0 / 3, -2.5e-8,
                   std::numeric_limits<double>::max()}) {
    reals.push_back(PlistValue::real(d));
  }
  PlistArray dates;
  for (double d : {0.0, -1.0, 725857445.0, -978307200.0, 730857600.0, kFirstDate, kLastDate}) {
    dates.push_back(PlistValue::date(d));
  }
  PlistArray data;
  for (std::size_t size : {0, 1, 2, 3, 57, 58, 1000})
    data.push_back(PlistValue::data(pattern(size)));
  PlistArray strings;
  for (const char* s : {"", "plain", "h\xC3\xA9llo w\xC3\xB6rld",
                        "\xF0\x9F\x98\x80 astral \xF0\x9D\x84\x9E", "  lead and trail  ", "a\rb",
                        "a\r\nb", "\ttabs\t", "x]]>y", "&<>\"'", "\n\n", "&amp; literally"}) {
    strings.push_back(str(s));
  }
  return dictOf({
      {"integers", PlistValue::array(std::move(integers))},
      {"reals", PlistValue::array(std::move(reals))},
      {"dates", PlistValue::array(std::move(dates))},
      {"data", PlistValue::array(std::move(data))},
      {"strings", PlistValue::array(std::move(strings))},
      {"booleans", PlistValue::array({PlistValue::boolean(true), PlistValue::boolean(false)})},
      {"empty dict", PlistValue::dict()},
      {"empty array", PlistValue::array()},
      {"nested", PlistValue::array({PlistValue::array(), PlistValue::dict(),
                                    dictOf({{"k", PlistValue::array({PlistValue::dict()})}})})},
      {"uids",
       PlistValue::array({PlistValue::uid(0), PlistValue::uid(7), PlistValue::uid(UINT64_MAX)})},
      {" key&<> \r\t", str("odd key")},
      {"dup", str("first")},
      {"dup", str("second")},
  });
}

// ----- Round trips

TEST(XmlPlistRoundTrip, EveryKindSurvivesAndSecondWriteIsIdentical) {
  const PlistValue original = everyKind();
  const std::string first = writeOk(original);
  const PlistValue reloaded = readOk(first);
  EXPECT_TRUE(reloaded == original);
  EXPECT_EQ(writeOk(reloaded), first);
}

TEST(XmlPlistRoundTrip, ScalarAndEmptyRoots) {
  for (const PlistValue& root :
       {str("only"), PlistValue::integer(-3), PlistValue::data(pattern(100)), PlistValue::array(),
        PlistValue::dict(), PlistValue::uid(5), PlistValue::date(0), PlistValue::boolean(false)}) {
    const std::string xml = writeOk(root);
    EXPECT_TRUE(readOk(xml) == root) << xml;
  }
}

TEST(XmlPlistRoundTrip, ExactLayout) {
  const PlistValue root = dictOf({
      {"Name", str("a & b <c>")},
      {"List", PlistValue::array({PlistValue::integer(-5), PlistValue::real(0.1),
                                  PlistValue::boolean(true), PlistValue::boolean(false),
                                  PlistValue::date(725857445), PlistValue::data({0, 1, 2, 3}),
                                  PlistValue::dict(), PlistValue::array()})},
      {"Ref", PlistValue::uid(9)},
      {"Empty", PlistValue::data({})},
  });
  std::string out = "keep:";
  ASSERT_TRUE(writeXmlPlist(root, &out).ok());
  EXPECT_EQ(out, "keep:" + std::string(kHeader) +
                     "<plist version=\"1.0\">\n"
                     "<dict>\n"
                     "\t<key>Name</key>\n"
                     "\t<string>a &amp; b &lt;c&gt;</string>\n"
                     "\t<key>List</key>\n"
                     "\t<array>\n"
                     "\t\t<integer>-5</integer>\n"
                     "\t\t<real>0.1</real>\n"
                     "\t\t<true/>\n"
                     "\t\t<false/>\n"
                     "\t\t<date>2024-01-02T03:04:05Z</date>\n"
                     "\t\t<data>\n"
                     "\t\tAAECAw==\n"
                     "\t\t</data>\n"
                     "\t\t<dict/>\n"
                     "\t\t<array/>\n"
                     "\t</array>\n"
                     "\t<key>Ref</key>\n"
                     "\t<dict>\n"
                     "\t\t<key>CF$UID</key>\n"
                     "\t\t<integer>9</integer>\n"
                     "\t</dict>\n"
                     "\t<key>Empty</key>\n"
                     "\t<data>\n"
                     "\t</data>\n"
                     "</dict>\n"
                     "</plist>\n");
}

TEST(XmlPlistRoundTrip, DataWrapsAt76Characters) {
  const std::string xml = writeOk(PlistValue::array({PlistValue::data(pattern(200))}));
  std::vector<std::size_t> lengths;
  std::size_t pos = xml.find("\t<data>\n") + 8;
  for (std::size_t end; (end = xml.find('\n', pos)) != std::string::npos; pos = end + 1) {
    const std::string line = xml.substr(pos, end - pos);
    if (line == "\t</data>") break;
    ASSERT_EQ(line[0], '\t');
    lengths.push_back(line.size() - 1);
  }
  EXPECT_EQ(lengths, (std::vector<std::size_t>{76, 76, 76, 40}));
}

TEST(XmlPlistRoundTrip, DatesConvertBothWays) {
  struct Case {
    double seconds;
    const char* text;
  };
  for (const Case& c :
       {Case{0, "2001-01-01T00:00:00Z"}, Case{-1, "2000-12-31T23:59:59Z"},
        Case{-978307200, "1970-01-01T00:00:00Z"}, Case{762393600, "2025-02-28T00:00:00Z"},
        Case{730857600, "2024-02-29T00:00:00Z"}, Case{kFirstDate, "0001-01-01T00:00:00Z"},
        Case{kLastDate, "9999-12-31T23:59:59Z"}}) {
    EXPECT_NE(writeOk(PlistValue::date(c.seconds)).find(std::string("<date>") + c.text + "</date>"),
              std::string::npos)
        << c.text;
    EXPECT_TRUE(readOk(document(std::string("<date>") + c.text + "</date>")) ==
                PlistValue::date(c.seconds))
        << c.text;
  }
  // A fraction of a second rounds down, also before 2001.
  EXPECT_NE(writeOk(PlistValue::date(-0.5)).find("2000-12-31T23:59:59Z"), std::string::npos);
  EXPECT_NE(writeOk(PlistValue::date(0.999)).find("2001-01-01T00:00:00Z"), std::string::npos);
}

// ----- Reading what other writers produce

TEST(XmlPlistRead, AcceptedVariants) {
  struct Case {
    std::string body;
    PlistValue expected;
  };
  const Case cases[] = {
      {"<integer>0x1F</integer>", PlistValue::integer(31)},
      {"<integer>-0X10</integer>", PlistValue::integer(-16)},
      {"<integer>+42</integer>", PlistValue::integer(42)},
      {"<integer> \n 7 \t</integer>", PlistValue::integer(7)},
      {"<integer>-9223372036854775808</integer>", PlistValue::integer(INT64_MIN)},
      {"<integer>18446744073709551615</integer>", PlistValue::unsignedInteger(UINT64_MAX)},
      {"<integer>0xffffffffffffffff</integer>", PlistValue::unsignedInteger(UINT64_MAX)},
      {"<real>+1.5</real>", PlistValue::real(1.5)},
      {"<real> 2.5e-3\n</real>", PlistValue::real(2.5e-3)},
      {"<real>1E3</real>", PlistValue::real(1000)},
      {"<real>INF</real>", PlistValue::real(kInf)},
      {"<real>-Infinity</real>", PlistValue::real(-kInf)},
      {"<real>NaN</real>", PlistValue::real(kNan)},
      {"<real>12</real>", PlistValue::real(12)},
      {"<date>2024Z</date>", PlistValue::date(725760000)},
      {"<date>2024-03Z</date>", PlistValue::date(730944000)},
      {"<date>2024-03-05Z</date>", PlistValue::date(730944000 + 4 * 86400)},
      {"<date>2024-03-05T06Z</date>", PlistValue::date(730944000 + 4 * 86400 + 6 * 3600)},
      {"<date>2024-03-05T06:07Z</date>",
       PlistValue::date(730944000 + 4 * 86400 + 6 * 3600 + 7 * 60)},
      {"<data>\n  AAEC\n  Aw==  \n</data>", PlistValue::data({0, 1, 2, 3})},
      {"<data>A A\tE\r\n=</data>", PlistValue::data({0, 1})},
      {"<data></data>", PlistValue::data({})},
      {"<string><![CDATA[a<b>&]]></string>", str("a<b>&")},
      {"<string>&#x1F600;&#233;&amp;&lt;&#13;&#10;</string>",
       str("\xF0\x9F\x98\x80\xC3\xA9&<\r\n")},
      {"<string/>", str("")},
      {"<true></true>", PlistValue::boolean(true)},
      {"<!-- before --><?pi data?><dict><!-- x --><key>a</key><!-- y -->"
       "<integer>1</integer></dict>",
       dictOf({{"a", PlistValue::integer(1)}})},
      {"<dict>\n<key>CF$UID</key>\n<integer>12</integer>\n</dict>", PlistValue::uid(12)},
      {"<dict><key>CF$UID</key><integer>-1</integer></dict>",
       dictOf({{"CF$UID", PlistValue::integer(-1)}})},
      {"<dict><key>CF$UID</key><string>1</string></dict>", dictOf({{"CF$UID", str("1")}})},
      {"<dict><key> k </key><string> v </string><key> k </key><true/></dict>",
       dictOf({{" k ", str(" v ")}, {" k ", PlistValue::boolean(true)}})},
      {"<array attr='ignored'><false/></array>", PlistValue::array({PlistValue::boolean(false)})},
  };
  for (const Case& c : cases) {
    EXPECT_TRUE(readOk(document(c.body)) == c.expected) << c.body;
  }
  // A bare value as the root, with or without declaration and DOCTYPE.
  EXPECT_TRUE(readOk("<string>x</string>") == str("x"));
  EXPECT_TRUE(readOk(kHeader + std::string("<array><true/></array>\n")) ==
              PlistValue::array({PlistValue::boolean(true)}));
}

TEST(XmlPlistRead, ErrorsNameTheLine) {
  struct Case {
    std::string xml;
    std::string message;
  };
  const std::string open = "<plist>\n";  // the body starts on line 2
  const Case cases[] = {
      {open + "<dict>\n<foo/>\n</dict></plist>", "line 3: unknown element <foo>"},
      {open + "<dict>\n<key>a</key>\n</dict></plist>", "line 3: key \"a\" has no value"},
      {open + "<dict><key>a</key>\n<key>b</key><true/></dict></plist>",
       "line 2: key \"a\" has no value"},
      {open + "<dict>\n\n<string>x</string></dict></plist>",
       "line 4: a value in a dictionary has no key"},
      {open + "<dict>\n  hello</dict></plist>", "line 3: unexpected text \"hello\" in <dict>"},
      {open + "<array>x</array></plist>", "line 2: unexpected text \"x\" in <array>"},
      {open + "<true>yes</true></plist>", "line 2: unexpected text \"yes\" in <true>"},
      {open + "\n stray <true/></plist>", "line 3: unexpected text \"stray\" in <plist>"},
      {open + "<string>a<b/></string></plist>", "line 2: unknown element <b>"},
      {open + "<string>a<true/></string></plist>",
       "line 2: unexpected element <true> inside <string>"},
      {open + "<array><key>k</key></array></plist>", "line 2: <key> outside a dictionary"},
      {open + "<array><plist/></array></plist>", "line 2: <plist> can only be the root element"},
      {open + "<array>\n<string>a</string>\n</plist>", "line 4: mismatched tag"},
      {open + "<array>\n", "line 3: no element found"},
      {"", "line 1: no element found"},
      {open + "\n<string>\xC3\x28</string></plist>", "line 3: not well-formed (invalid token)"},
      {open + "<string>\xED\xA0\x80</string></plist>", "line 2: not well-formed (invalid token)"},
      {open + "<string>\xEF\xBF\xBF</string></plist>", "line 2: not well-formed (invalid token)"},
      {open + "\n<integer>12a</integer></plist>", "line 3: not an integer: \"12a\""},
      {open + "<integer> </integer></plist>", "line 2: not an integer: \" \""},
      {open + "<integer>0x</integer></plist>", "line 2: not an integer: \"0x\""},
      {open + "<integer>1.5</integer></plist>", "line 2: not an integer: \"1.5\""},
      {open + "<integer>+-1</integer></plist>", "line 2: not an integer: \"+-1\""},
      {open + "<integer>a" + repeat("\xC3\xA9", 30) + "</integer></plist>",
       "line 2: not an integer: \"a" + repeat("\xC3\xA9", 19) + "...\""},
      {open + "<integer>18446744073709551616</integer></plist>",
       "line 2: integer out of range: \"18446744073709551616\""},
      {open + "<integer>-9223372036854775809</integer></plist>",
       "line 2: integer out of range: \"-9223372036854775809\""},
      {open + "<integer>0x10000000000000000</integer></plist>",
       "line 2: integer out of range: \"0x10000000000000000\""},
      {open + "<real>1.5.2</real></plist>", "line 2: not a real number: \"1.5.2\""},
      {open + "<real></real></plist>", "line 2: not a real number: \"\""},
      {open + "<real>+-1</real></plist>", "line 2: not a real number: \"+-1\""},
      {open + "<real>0x10</real></plist>", "line 2: not a real number: \"0x10\""},
      {open + "<real>1e400</real></plist>", "line 2: real number out of range: \"1e400\""},
      {open + "<date>2024-13-01T00:00:00Z</date></plist>",
       "line 2: not a date: \"2024-13-01T00:00:00Z\""},
      {open + "<date>2023-02-29Z</date></plist>", "line 2: not a date: \"2023-02-29Z\""},
      {open + "<date>2024-01-01T24:00:00Z</date></plist>",
       "line 2: not a date: \"2024-01-01T24:00:00Z\""},
      {open + "<date>2024-01-01T00:60Z</date></plist>",
       "line 2: not a date: \"2024-01-01T00:60Z\""},
      {open + "<date>2024-01-01T00:00:00</date></plist>",
       "line 2: not a date: \"2024-01-01T00:00:00\""},
      {open + "<date>0000-01-01Z</date></plist>", "line 2: not a date: \"0000-01-01Z\""},
      {open + "<date>2024-1-01Z</date></plist>", "line 2: not a date: \"2024-1-01Z\""},
      {open + "<data>AAE</data></plist>", "line 2: invalid base64 in <data>"},
      {open + "<data>AA=A</data></plist>", "line 2: invalid base64 in <data>"},
      {open + "<data>AAAA=</data></plist>", "line 2: invalid base64 in <data>"},
      {open + "<data>A*==</data></plist>", "line 2: invalid base64 in <data>"},
      {open + "\n</plist>", "line 3: the property list holds no value"},
      {"<plist/>", "line 1: the property list holds no value"},
      {open + "<true/>\n<false/></plist>", "line 3: the property list holds more than one value"},
      {open + "<string>&nope;</string></plist>", "line 2: undefined entity"},
      // With an external DTD subset expat would skip the reference silently; we refuse it.
      {kHeader + open + "<string>&nope;</string></plist>", "line 4: undefined entity &nope;"},
  };
  for (const Case& c : cases)
    EXPECT_EQ(readError(c.xml), c.message) << c.xml;
}

TEST(XmlPlistRead, EntityExpansionIsRefused) {
  // Each entity refers ten times to the one before: 10^10 characters if expanded.
  std::string bomb = "<?xml version=\"1.0\"?>\n<!DOCTYPE plist [\n<!ENTITY a \"aaaaaaaaaa\">\n";
  for (char c = 'b'; c <= 'k'; ++c) {
    std::string refs;
    for (int i = 0; i < 10; ++i)
      refs += std::string("&") + static_cast<char>(c - 1) + ";";
    bomb += std::string("<!ENTITY ") + c + " \"" + refs + "\">\n";
  }
  bomb += "]>\n<plist><string>&k;</string></plist>\n";
  EXPECT_EQ(readError(bomb), "line 3: entity declarations are not allowed");
}

TEST(XmlPlistRead, ExternalEntitiesAreNeverLoaded) {
  testing::TempDir dir;
  const std::string secret = dir.file("secret.txt");
  testing::writeFile(secret, "TOP-SECRET-CONTENTS");
  const std::string url = "file://" + secret;
  EXPECT_EQ(readError("<?xml version=\"1.0\"?>\n<!DOCTYPE plist [\n<!ENTITY x SYSTEM \"" + url +
                      "\">\n]>\n<plist><string>&x;</string></plist>"),
            "line 3: entity declarations are not allowed");
  // An external DTD subset is not fetched, so what it might declare stays undefined.
  const std::string viaDtd = "<!DOCTYPE plist SYSTEM \"" + url + "\">\n<plist><string>";
  EXPECT_TRUE(readOk(viaDtd + "safe</string></plist>") == str("safe"));
  EXPECT_EQ(readError(viaDtd + "&x;</string></plist>"), "line 2: undefined entity &x;");
  const std::string peRef = "<!DOCTYPE plist [<!ENTITY % p SYSTEM \"" + url + "\"> %p;]><plist/>";
  EXPECT_EQ(readError(peRef), "line 1: entity declarations are not allowed");
}

TEST(XmlPlistRead, DeepNestingLoadsWithoutRecursion) {
  constexpr std::size_t kDepth = 200000;
  std::string xml;
  for (std::size_t i = 0; i < kDepth; ++i)
    xml += "<array>";
  xml += "<integer>1</integer>";
  for (std::size_t i = 0; i < kDepth; ++i)
    xml += "</array>";
  const PlistValue root = readOk(xml);
  std::size_t depth = 0;
  const PlistValue* node = &root;
  while (const PlistArray* array = node->asArray()) {
    ASSERT_EQ(array->size(), 1u);
    node = &array->front();
    ++depth;
  }
  EXPECT_EQ(depth, kDepth);
  EXPECT_TRUE(*node == PlistValue::integer(1));
}

TEST(XmlPlistWrite, DeepNestingWritesInSpaceLinearInTheDepth) {
  // Folders 20,000 deep, built from the inside out. With a tab per level on every line this
  // came to 2 GB; a line holds at most 32 tabs now.
  constexpr std::size_t kDepth = 20000;
  PlistValue tree = PlistValue::array();
  for (std::size_t i = 0; i < kDepth; ++i) {
    PlistArray children;
    children.push_back(std::move(tree));
    PlistDict folder;
    folder.push_back({"Children", PlistValue::array(std::move(children))});
    tree = PlistValue::dict(std::move(folder));
  }
  const std::string xml = writeOk(tree);
  EXPECT_LT(xml.size(), 300 * kDepth);
  EXPECT_TRUE(readOk(xml) == tree);
  // Up to there the layout is the usual one: a key 31 levels down has 31 tabs.
  EXPECT_NE(xml.find("\n" + std::string(31, '\t') + "<key>Children</key>\n"), std::string::npos);
  EXPECT_EQ(xml.find(std::string(33, '\t')), std::string::npos);
}

TEST(XmlPlistRead, TokensLongerThanOneReadPiece) {
  // The reader hands expat the input a piece at a time; these tokens span many pieces.
  const std::string text = repeat("0123456789abcdef", 300000);
  const std::string xml = "<plist><!--" + repeat(" comment", 500000) + "--><array><string>" + text +
                          "</string><data>" + repeat("AAEC", 1000000) + "</data></array></plist>";
  const PlistValue root = readOk(xml);
  const PlistArray* array = root.asArray();
  ASSERT_TRUE(array && array->size() == 2);
  EXPECT_TRUE((*array)[0] == PlistValue::string(text));
  ASSERT_TRUE((*array)[1].asData());
  EXPECT_EQ((*array)[1].asData()->size(), 3000000u);
}

// ----- Writer failures

TEST(XmlPlistWrite, RefusesWhatXmlCannotHold) {
  struct Case {
    PlistValue value;
    std::string message;
  };
  const Case cases[] = {
      {str("a\x01z"),
       "cannot write XML: a string holds the character U+0001, which XML cannot represent"},
      {dictOf({{"k\x1f", str("")}}),
       "cannot write XML: a key holds the character U+001F, which XML cannot represent"},
      {str("\xEF\xBF\xBE"),
       "cannot write XML: a string holds the character U+FFFE, which XML cannot represent"},
      {PlistValue::array({str("ok"), str("ab\xFF")}),
       "cannot write XML: a string is not valid UTF-8 (byte 2)"},
      {str("\xED\xA0\x80"), "cannot write XML: a string is not valid UTF-8 (byte 0)"},
      {str("\xC0\xAF"), "cannot write XML: a string is not valid UTF-8 (byte 0)"},
      {PlistValue::date(kFirstDate - 0.5),
       "cannot write XML: the date -63113904000.5 (seconds from 2001) lies outside the years 1 "
       "to 9999"},
      {PlistValue::date(kLastDate + 1),
       "cannot write XML: the date 252423993600 (seconds from 2001) lies outside the years 1 to "
       "9999"},
      {PlistValue::date(kNan),
       "cannot write XML: the date nan (seconds from 2001) lies outside the years 1 to 9999"},
  };
  for (const Case& c : cases) {
    std::string out = "before";
    Status status = writeXmlPlist(c.value, &out);
    EXPECT_EQ(status.message(), c.message);
    EXPECT_EQ(out, "before");
  }
}

// ----- Python's plistlib as an independent reader and writer

TEST(XmlPlistPython, PlistlibReadsOurOutput) {
  testing::TempDir dir;
  testing::writeFile(dir.file("ours.plist"), writeOk(everyKind()));
  const std::string out = testing::runPython(R"(
import datetime, math, plistlib, sys
with open(sys.argv[1], 'rb') as f:
    d = plistlib.load(f, fmt=plistlib.FMT_XML)
assert d['integers'] == [0, -1, 42, -2**63, 2**63 - 1, 2**63, 2**64 - 1], d['integers']
r = d['reals']
assert r[:3] == [0.1, 1e300, 5e-324] and math.copysign(1, r[3]) < 0 and r[3] == 0, r
assert math.isnan(r[5]) and r[6] == math.inf and r[7] == -math.inf and r[8] == 1 / 3, r
D = datetime.datetime
assert d['dates'] == [D(2001, 1, 1), D(2000, 12, 31, 23, 59, 59), D(2024, 1, 2, 3, 4, 5),
                      D(1970, 1, 1), D(2024, 2, 29), D(1, 1, 1), D(9999, 12, 31, 23, 59, 59)], d['dates']
assert d['data'][0] == b'' and d['data'][6] == bytes((i * 7 + 3) % 256 for i in range(1000))
s = d['strings']
assert s[2] == 'h\u00e9llo w\u00f6rld' and s[3] == '\U0001F600 astral \U0001D11E', s
assert s[4:12] == ['  lead and trail  ', 'a\rb', 'a\r\nb', '\ttabs\t', 'x]]>y', '&<>"\'', '\n\n', '&amp; literally'], s
assert d['uids'] == [{'CF$UID': 0}, {'CF$UID': 7}, {'CF$UID': 2**64 - 1}], d['uids']
assert d[' key&<> \r\t'] == 'odd key' and d['dup'] == 'second'
assert d['nested'] == [[], {}, {'k': [{}]}] and d['booleans'] == [True, False]
print('ok')
)",
                                             {dir.file("ours.plist")});
  EXPECT_EQ(out, "ok\n");
}

TEST(XmlPlistPython, WeReadPlistlibOutput) {
  testing::TempDir dir;
  testing::runPython(R"(
import datetime, plistlib, sys
value = {
    'int': -2**63, 'big': 2**64 - 1, 'reals': [0.1, 1e300, -0.0, float('inf')],
    'date': datetime.datetime(1999, 12, 31, 23, 59, 59),
    'data': bytes(range(256)) * 3, 'empty': b'', 'text': 'caf\u00e9 \U0001F600 <&> ]]>',
    'nested': {'a': [True, False, {}, []]},
}
with open(sys.argv[1], 'wb') as f:
    plistlib.dump(value, f, fmt=plistlib.FMT_XML, sort_keys=False)
)",
                     {dir.file("python.plist")});
  PlistData bytes;
  for (int round = 0; round < 3; ++round) {
    for (int i = 0; i < 256; ++i)
      bytes.push_back(static_cast<std::uint8_t>(i));
  }
  const PlistValue expected = dictOf({
      {"int", PlistValue::integer(INT64_MIN)},
      {"big", PlistValue::unsignedInteger(UINT64_MAX)},
      {"reals", PlistValue::array({PlistValue::real(0.1), PlistValue::real(1e300),
                                   PlistValue::real(-0.0), PlistValue::real(kInf)})},
      {"date", PlistValue::date(-31622401)},
      {"data", PlistValue::data(bytes)},
      {"empty", PlistValue::data({})},
      {"text", str("caf\xC3\xA9 \xF0\x9F\x98\x80 <&> ]]>")},
      {"nested",
       dictOf({{"a", PlistValue::array({PlistValue::boolean(true), PlistValue::boolean(false),
                                        PlistValue::dict(), PlistValue::array()})}})},
  });
  EXPECT_TRUE(readOk(testing::readFile(dir.file("python.plist"))) == expected);
}

}  // namespace
}  // namespace tidymark
