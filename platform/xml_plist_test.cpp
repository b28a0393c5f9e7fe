#include "platform/xml_plist.h"

#include <limits>

#include <gtest/gtest.h>

#include "tests/test_support.h"

namespace tidymark {
namespace {

using V = PlistValue;
constexpr char kHeader[] =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST "
    "1.0//EN\" \"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n";
constexpr double kInf = std::numeric_limits<double>::infinity();

std::string writeOk(const V& value) {
  std::string out;
  EXPECT_TRUE(writeXmlPlist(value, &out).ok());
  return out;
}
std::string error(const std::string& xml) {
  V value;
  return readXmlPlist(xml, &value).message();
}
V readOk(const std::string& xml) {
  V value;
  EXPECT_EQ(readXmlPlist(xml, &value).message(), "") << xml;
  return value;
}
std::string repeat(const std::string& text, std::size_t count) {
  std::string result;
  for (; count > 0; --count)
    result += text;
  return result;
}

// The layout other programs expect, to the byte (62 bytes of data end in one '='); a fraction of
// a second is dropped, rounding down.
TEST(XmlPlist, WritesTheStandardLayout) {
  const V root = V::dict({
      {"Name", V::string("a & b <c>")},
      {"List", V::array({V::integer(-5), V::real(0.1), V::boolean(true), V::date(730868645.75),
                         V::data(PlistData(62, 0xAB)), V::dict()})},
      {"Ref", V::uid(9)},
  });
  std::string out = "keep:";
  ASSERT_TRUE(writeXmlPlist(root, &out).ok());
  EXPECT_EQ(out, "keep:" + std::string(kHeader) +
                     "<plist version=\"1.0\">\n<dict>\n"
                     "\t<key>Name</key>\n\t<string>a &amp; b &lt;c&gt;</string>\n"
                     "\t<key>List</key>\n\t<array>\n"
                     "\t\t<integer>-5</integer>\n\t\t<real>0.1</real>\n\t\t<true/>\n"
                     "\t\t<date>2024-02-29T03:04:05Z</date>\n\t\t<data>\n\t\t" +
                     repeat("q6ur", 19) + "\n\t\tq6urq6s=\n\t\t</data>\n\t\t<dict/>\n\t</array>\n" +
                     "\t<key>Ref</key>\n\t<dict>\n\t\t<key>CF$UID</key>\n\t\t<integer>9</integer>\n"
                     "\t</dict>\n</dict>\n</plist>\n");
  EXPECT_NE(writeOk(V::date(-0.5)).find("2000-12-31T23:59:59Z"), std::string::npos);
}

// Forms other writers produce, a root without <plist>, and tokens spanning many of the pieces
// the parser is fed.
TEST(XmlPlist, ReadsWhatOtherWritersProduce) {
  const auto uid = [](V value) { return V::dict({{"CF$UID", std::move(value)}}); };
  const std::string plist = kHeader + std::string("<plist version=\"1.0\">\n");
  const std::pair<std::string, V> cases[] = {
      {"<integer>-0XfF</integer>", V::integer(-255)},
      {"<integer> \n 7 \t</integer>", V::integer(7)},
      {"<real>-Infinity</real>", V::real(-kInf)},
      {"<date>2024-03Z</date>", V::date(730944000)},
      {"<date>2000-02-29T12:00Z</date>", V::date(-26481600)},
      {"<data>\n  AAEC\n  Aw==  \n</data>", V::data({0, 1, 2, 3})},
      {"<data>AAE=</data>", V::data({0, 1})},
      {"<string><![CDATA[a<b>&]]></string>", V::string("a<b>&")},
      {"<string>&#x1F600;&#233;&amp;&#13;&#10;</string>", V::string("😀é&\r\n")},
      {"<string>&#x41;&#66;&quot;&apos;&lt;&gt;</string>", V::string("AB\"'<>")},
      {"<!--c--><?pi x?><array><!--y--><true/></array>", V::array({V::boolean(true)})},
      {"<dict><key>CF$UID</key><integer>-1</integer></dict>", uid(V::integer(-1))},
      {"<dict><key>CF$UID</key><true/></dict>", uid(V::boolean(true))},
  };
  for (const auto& [body, expected] : cases)
    EXPECT_EQ(readOk(plist + body + "</plist>"), expected) << body;
  EXPECT_EQ(readOk("<string>x</string>"), V::string("x"));
  const std::string text = repeat("0123456789abcdef", 300000);
  EXPECT_EQ(readOk("<plist><!--" + repeat(" comment", 500000) + "--><string>" + text +
                   "</string></plist>"),
            V::string(text));
}

// A malformed file is refused, naming the line and what is wrong.
TEST(XmlPlist, ErrorsNameTheLine) {
  const std::string a39(39, 'a');
  const std::pair<std::string, std::string> cases[] = {
      // each body starts on line 2
      {"<dict>\n<foo/>", "3: unknown element <foo>"},
      {"<dict>\n<key>a</key>\n</dict>", "3: key \"a\" has no value"},
      {"<dict>\n\n<string>x</string>", "4: a value in a dictionary has no key"},
      {"<dict>\n  hello</dict>", "3: unexpected text \"hello\" in <dict>"},
      {"<array>" + a39 + "\xC3\xA9 and on</array>",
       "2: unexpected text \"" + a39 + "...\" in <array>"},
      {"\n<string>\xC3\x28</string>", "3: not well-formed (invalid token)"},
      {"<integer>18446744073709551616</integer>",
       "2: integer out of range: \"18446744073709551616\""},
      {"<true/>\n<false/>", "3: the property list holds more than one value"},
      {"<string>a]]>b</string>", "2: not well-formed (invalid token)"},
      {"<string>&#xFFFE;</string></plist>", "2: reference to invalid character number"},
      {"<true/></plist>\nx", "3: junk after document element"},
  };
  for (const auto& [xml, message] : cases)
    EXPECT_EQ(error("<plist>\n" + xml), "line " + message) << xml;
  // No entity is declared; behind an external DTD (never loaded) expat would skip an unknown one.
  EXPECT_EQ(error("<!DOCTYPE plist [<!ENTITY a \"b\">]><plist/>"),
            "line 1: entity declarations are not allowed");
  EXPECT_EQ(error(kHeader + std::string("<plist>&x;</plist>")), "line 3: undefined entity &x;");
  // A month has its days and no more; nor are these dates or base64.
  for (const char* good : {"<date>2024-02-29Z</date>", "<date>2023-12-31Z</date>"})
    EXPECT_EQ(error(good), "") << good;
  for (const char* bad :
       {"<date>2023-02-29Z</date>", "<date>2023-04-31Z</date>", "<date>2024-13-01Z</date>",
        "<date>2024-00-01Z</date>", "<date>2024-01-01T24Z</date>",
        "<date>2024-01-01T00:00:00</date>", "<date>2024-Z</date>", "<date>2024-01-1Z</date>",
        "<date>2024-01-01T00:60Z</date>", "<date>2024-01-01T00:00:60Z</date>", "<data>AA=A</data>",
        "<data>AA=</data>", "<data>A</data>"})
    EXPECT_NE(error(bad), "") << bad;
}

// What XML cannot hold is refused with a reason, and nothing is written.
TEST(XmlPlist, RefusesToWriteWhatXmlCannotHold) {
  const std::pair<V, std::string> cases[] = {
      {V::dict({{"k\x1f", V::string("")}}), "a key holds the character U+001F, which XML"},
      {V::string("\xEF\xBF\xBE"), "a string holds the character U+FFFE, which XML"},
      {V::array({V::string("ok"), V::string("ab\x80")}), "a string is not valid UTF-8 (byte 2)"},
      {V::date(252423993600.0), "the date 252423993600 (seconds from 2001) lies outside"},
  };
  for (const auto& [value, message] : cases) {
    std::string out = "before";
    EXPECT_TRUE(writeXmlPlist(value, &out).message().starts_with("cannot write XML: " + message));
    EXPECT_EQ(out, "before");
  }
}

}  // namespace
}  // namespace tidymark
