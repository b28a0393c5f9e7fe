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
constexpr double kNan = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();
// 0001-01-01T00:00:00Z and 9999-12-31T23:59:59Z.
constexpr double kFirstDate = -63113904000.0;
constexpr double kLastDate = 252423993599.0;

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

PlistValue everyKind() {
  PlistData bytes(1000);
  for (std::size_t i = 0; i < bytes.size(); ++i)
    bytes[i] = static_cast<std::uint8_t>(i * 7 + 3);
  return PlistValue::dict({
      {"integers", PlistValue::array({PlistValue::integer(INT64_MIN), PlistValue::integer(-1),
                                      PlistValue::unsignedInteger(UINT64_MAX)})},
      {"reals",
       PlistValue::array({PlistValue::real(0.1), PlistValue::real(5e-324), PlistValue::real(-0.0),
                          PlistValue::real(-kInf), PlistValue::real(1.0 / 3)})},
      {"dates", PlistValue::array({PlistValue::date(-1.0), PlistValue::date(kFirstDate),
                                   PlistValue::date(kLastDate)})},
      {"data", PlistValue::array({PlistValue::data({}), PlistValue::data(bytes)})},
      {"strings", PlistValue::array({str(""), str("h\xC3\xA9llo \xF0\x9F\x98\x80"),
                                     str("  lead and trail  "), str("a\rb\r\nc\t"), str("x]]>y"),
                                     str("&<>\"'"), str("&amp; literally")})},
      {"booleans", PlistValue::array({PlistValue::boolean(true), PlistValue::boolean(false)})},
      {"nested", PlistValue::array({PlistValue::array(), PlistValue::dict()})},
      {" key&<> \r\t", str("odd key")},
      {"dup", str("first")},
      {"dup", str("second")},
  });
}

TEST(XmlPlist, EveryKindSurvivesAndASecondWriteIsIdentical) {
  PlistValue original = everyKind();
  original.asDict()->push_back(
      {"uids", PlistValue::array({PlistValue::uid(0), PlistValue::uid(UINT64_MAX)})});
  const std::string first = writeOk(original);
  EXPECT_EQ(readOk(first), original);
  EXPECT_EQ(writeOk(readOk(first)), first);
  EXPECT_EQ(readOk(writeOk(str("only"))), str("only"));
  // A NaN keeps its sign (found by fuzzing: "-nan" came back as "nan").
  for (const char* nan : {"nan", "-nan"}) {
    const PlistValue read = readOk(std::string("<plist><real>") + nan + "</real></plist>");
    EXPECT_EQ(readOk(writeOk(read)), read) << nan;
  }
}

TEST(XmlPlist, WritesTheStandardLayout) {
  PlistData bytes(61, 0xAB);
  const PlistValue root = PlistValue::dict({
      {"Name", str("a & b <c>")},
      {"List", PlistValue::array({PlistValue::integer(-5), PlistValue::real(0.1),
                                  PlistValue::boolean(true), PlistValue::date(725857445.75),
                                  PlistValue::data(bytes), PlistValue::dict()})},
      {"Ref", PlistValue::uid(9)},
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
                     "\t\t<date>2024-01-02T03:04:05Z</date>\n"
                     "\t\t<data>\n"
                     "\t\t" +
                     repeat("q6ur", 19) +
                     "\n"
                     "\t\tq6urqw==\n"
                     "\t\t</data>\n"
                     "\t\t<dict/>\n"
                     "\t</array>\n"
                     "\t<key>Ref</key>\n"
                     "\t<dict>\n"
                     "\t\t<key>CF$UID</key>\n"
                     "\t\t<integer>9</integer>\n"
                     "\t</dict>\n"
                     "</dict>\n"
                     "</plist>\n");
}

TEST(XmlPlist, ReadsWhatOtherWritersProduce) {
  const std::pair<std::string, PlistValue> cases[] = {
      {"<integer>-0X10</integer>", PlistValue::integer(-16)},
      {"<integer> \n 7 \t</integer>", PlistValue::integer(7)},
      {"<real>+1.5</real>", PlistValue::real(1.5)},
      {"<real>-Infinity</real>", PlistValue::real(-kInf)},
      {"<date>2024-03Z</date>", PlistValue::date(730944000)},
      {"<date>1970-01-01T00:00:00Z</date>", PlistValue::date(-978307200)},
      {"<data>\n  AAEC\n  Aw==  \n</data>", PlistValue::data({0, 1, 2, 3})},
      {"<string><![CDATA[a<b>&]]></string>", str("a<b>&")},
      {"<string>&#x1F600;&#233;&amp;&#13;&#10;</string>", str("\xF0\x9F\x98\x80\xC3\xA9&\r\n")},
      {"<!-- c --><?pi x?><dict><key>a</key><!-- y --><integer>1</integer></dict>",
       PlistValue::dict({{"a", PlistValue::integer(1)}})},
      {"<dict><key>CF$UID</key><integer>-1</integer></dict>",
       PlistValue::dict({{"CF$UID", PlistValue::integer(-1)}})},
  };
  for (const auto& [body, expected] : cases) {
    EXPECT_EQ(readOk(kHeader + std::string("<plist version=\"1.0\">\n") + body + "\n</plist>\n"),
              expected)
        << body;
  }
  EXPECT_EQ(readOk("<string>x</string>"), str("x")) << "a bare value as the root";
  // The reader feeds expat a piece at a time; these tokens span many pieces.
  const std::string text = repeat("0123456789abcdef", 300000);
  EXPECT_EQ(readOk("<plist><!--" + repeat(" comment", 500000) + "--><string>" + text +
                   "</string></plist>"),
            PlistValue::string(text));
}

TEST(XmlPlist, ErrorsNameTheLine) {
  const std::string open = "<plist>\n";  // the body starts on line 2
  const std::pair<std::string, std::string> cases[] = {
      {open + "<dict>\n<foo/>\n</dict></plist>", "line 3: unknown element <foo>"},
      {open + "<dict>\n<key>a</key>\n</dict></plist>", "line 3: key \"a\" has no value"},
      {open + "<dict>\n\n<string>x</string></dict></plist>",
       "line 4: a value in a dictionary has no key"},
      {open + "<dict>\n  hello</dict></plist>", "line 3: unexpected text \"hello\" in <dict>"},
      {open + "<string>a<true/></string></plist>",
       "line 2: unexpected element <true> inside <string>"},
      {open + "<array>\n", "line 3: no element found"},
      {open + "\n<string>\xC3\x28</string></plist>", "line 3: not well-formed (invalid token)"},
      {open + "<integer>1.5</integer></plist>", "line 2: not an integer: \"1.5\""},
      {open + "<integer>18446744073709551616</integer></plist>",
       "line 2: integer out of range: \"18446744073709551616\""},
      {open + "<real>1e400</real></plist>", "line 2: real number out of range: \"1e400\""},
      {open + "<date>2023-02-29Z</date></plist>", "line 2: not a date: \"2023-02-29Z\""},
      {open + "<date>2024-01-01T00:00:00</date></plist>",
       "line 2: not a date: \"2024-01-01T00:00:00\""},
      {open + "<data>AA=A</data></plist>", "line 2: invalid base64 in <data>"},
      {"<plist/>", "line 1: the property list holds no value"},
      {open + "<true/>\n<false/></plist>", "line 3: the property list holds more than one value"},
      // Behind an external DTD expat would skip the reference silently; it is refused.
      {kHeader + open + "<string>&nope;</string></plist>", "line 4: undefined entity &nope;"},
  };
  for (const auto& [xml, message] : cases)
    EXPECT_EQ(readError(xml), message) << xml;
}

TEST(XmlPlist, RefusesEntitiesAndNeverLoadsAnythingExternal) {
  // Each entity refers ten times to the one before: 10^10 characters if expanded.
  std::string bomb = "<?xml version=\"1.0\"?>\n<!DOCTYPE plist [\n<!ENTITY a \"aaaaaaaaaa\">\n";
  for (char c = 'b'; c <= 'k'; ++c) {
    bomb += std::string("<!ENTITY ") + c + " \"" +
            repeat(std::string("&") + char(c - 1) + ";", 10) + "\">\n";
  }
  EXPECT_EQ(readError(bomb + "]>\n<plist><string>&k;</string></plist>\n"),
            "line 3: entity declarations are not allowed");
  testing::TempDir dir;
  const std::string url = "file://" + dir.file("secret.txt");
  testing::writeFile(dir.file("secret.txt"), "TOP-SECRET-CONTENTS");
  EXPECT_EQ(readError("<!DOCTYPE plist [<!ENTITY % p SYSTEM \"" + url + "\"> %p;]><plist/>"),
            "line 1: entity declarations are not allowed");
  const std::string viaDtd = "<!DOCTYPE plist SYSTEM \"" + url + "\">\n<plist><string>";
  EXPECT_EQ(readOk(viaDtd + "safe</string></plist>"), str("safe"));
  EXPECT_EQ(readError(viaDtd + "&x;</string></plist>"), "line 2: undefined entity &x;");
}

TEST(XmlPlist, RefusesToWriteWhatXmlCannotHold) {
  const std::pair<PlistValue, std::string> cases[] = {
      {PlistValue::dict({{"k\x1f", str("")}}),
       "cannot write XML: a key holds the character U+001F, which XML cannot represent"},
      {str("\xEF\xBF\xBE"),
       "cannot write XML: a string holds the character U+FFFE, which XML cannot represent"},
      {PlistValue::array({str("ok"), str("ab\xFF")}),
       "cannot write XML: a string is not valid UTF-8 (byte 2)"},
      {PlistValue::date(kLastDate + 1),
       "cannot write XML: the date 252423993600 (seconds from 2001) lies outside the years 1 to "
       "9999"},
  };
  for (const auto& [value, message] : cases) {
    std::string out = "before";
    EXPECT_EQ(writeXmlPlist(value, &out).message(), message);
    EXPECT_EQ(out, "before");
  }
  // A fraction of a second is dropped, rounding down, also before 2001.
  EXPECT_NE(writeOk(PlistValue::date(-0.5)).find("2000-12-31T23:59:59Z"), std::string::npos);
}

TEST(XmlPlist, WritesDeepNestingInSpaceLinearInTheDepth) {
  // Folders 20,000 deep: with a tab per level on every line this came to 2 GB; a line holds at
  // most 32 tabs now, and up to there the layout is the usual one.
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
  EXPECT_EQ(readOk(xml), tree);
  EXPECT_NE(xml.find("\n" + std::string(31, '\t') + "<key>Children</key>\n"), std::string::npos);
  EXPECT_EQ(xml.find(std::string(33, '\t')), std::string::npos);
}

TEST(XmlPlist, PlistlibAndWeReadEachOthersFiles) {
  testing::TempDir dir;
  const PlistValue tree = everyKind();
  testing::writeFile(dir.file("ours.plist"), writeOk(tree));
  // plistlib keeps the last of duplicate keys.
  PlistValue expected = tree;
  expected.asDict()->erase(expected.asDict()->end() - 2);
  EXPECT_EQ(testing::pythonCanonOf(dir.file("ours.plist")), testing::canonOf(expected));

  const std::string printed = testing::pythonWrite(
      "{'int': -2**63, 'big': 2**64 - 1, 'reals': [0.1, 1e300, -0.0, float('inf')],"
      " 'date': datetime.datetime(1999, 12, 31, 23, 59, 59), 'data': bytes(range(256)) * 3,"
      " 'text': 'caf\\u00e9 \\U0001F600 <&> ]]>', 'nested': {'a': [True, False, {}, []]}}",
      "FMT_XML", dir.file("python.plist"));
  EXPECT_EQ(testing::canonOf(readOk(testing::readFile(dir.file("python.plist")))), printed);
}

}  // namespace
}  // namespace tidymark
