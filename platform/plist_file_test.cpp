#include "platform/plist_file.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <filesystem>
#include <limits>

#include <gtest/gtest.h>

#include "platform/plist_edit.h"
#include "tests/test_support.h"

namespace tidymark {
namespace {

namespace fs = std::filesystem;
using V = PlistValue;
constexpr std::int64_t kMin = std::numeric_limits<std::int64_t>::min();
constexpr std::uint64_t kAll = ~std::uint64_t{0};
using testing::readFile;
using Names = std::vector<std::string>;

PlistDocument sample(PlistFormat format) {
  return {testing::folder("", {testing::bookmark("b"), testing::bookmark("a")}), format};
}

V everyKind() {
  PlistData ramp(1000);
  for (std::size_t i = 0; i < ramp.size(); ++i)
    ramp[i] = static_cast<std::uint8_t>(i * 7 + 3);
  return V::dict({
      {"integers", V::array({V::integer(kMin), V::integer(-1), V::integer(255), V::integer(65536),
                             V::integer(std::int64_t{1} << 40), V::unsignedInteger(kAll / 2 + 1),
                             V::unsignedInteger(kAll)})},
      {"reals", V::array({V::real(-0.0), V::real(0.1), V::real(5e-324), V::real(-std::nan("")),
                          V::real(-std::numeric_limits<double>::infinity())})},
      {"dates", V::array({V::date(-1.0), V::date(-63113904000.0), V::date(252423993599.0)})},
      {"data", V::array({V::data({}), V::data(ramp), V::boolean(true), V::boolean(false)})},
      {"strings",
       V::array({V::string(""), V::string("h\xC3\xA9llo \xF0\x9F\x98\x80 and 𝄞"),
                 V::string("  lead and trail  "), V::string("a\rb\r\nc\t"), V::string("x]]>y"),
                 V::string("&<>\"' &amp;"), V::string("ünïcödé längér thän fïftéén")})},
      {"uids", V::array({V::uid(0), V::uid(256), V::uid(kAll)})},
      {"nested", V::array({V::array(), V::dict(), V::array(PlistArray(15, V::real(2)))})},
      {" key&<> \r\t", V::array({V::string("odd key")})},
      {"dup", V::array()},
      {"dup", V::array({V::string("second")})},
  });
}

std::string written(const PlistDocument& document) {
  std::string out;
  EXPECT_TRUE(serializePlist(document, &out).ok());
  return out;
}
V parsed(const std::string& bytes) {
  PlistDocument document;
  EXPECT_EQ(parsePlist(bytes, &document).message(), "");
  return document.root;
}

// Every kind of value written in either format reads back equal (a NaN keeps its sign) and
// rewrites to the same bytes; so does each alone as the root.
TEST(PlistFile, EveryKindComesBackEqualInEitherFormat) {
  for (PlistFormat format : {PlistFormat::Xml, PlistFormat::Binary}) {
    V tree = everyKind();  // a binary file also holds fractions of a second and NUL characters
    if (format == PlistFormat::Binary)
      tree.asDict()->push_back(
          {"more", V::array({V::date(0.5), V::string(std::string("a\0b", 3))})});
    const std::string first = written({tree, format});
    EXPECT_EQ(parsed(first), tree);
    EXPECT_EQ(written({parsed(first), format}), first);
    for (const auto& [key, group] : *tree.asDict())
      for (const V& value : *group.asArray())
        EXPECT_EQ(parsed(written({value, format})), value) << key;
  }
}

// A save through a chain of links replaces the file they lead to in its own format, keeping the
// links and its mode; what is saved loads back equal and saves again to the same bytes. A file
// deleted since it was loaded stays deleted.
TEST(PlistFile, SavesAndLoadsInItsFormatThroughLinksKeepingThemAndTheMode) {
  testing::TempDir dir;
  ASSERT_EQ(::mkdir(dir.file("store").c_str(), 0700), 0);
  const std::string real = dir.file("store/Bookmarks.plist");
  testing::writeFile(real, "old");
  ASSERT_EQ(::chmod(real.c_str(), 0640), 0);
  ASSERT_EQ(::symlink("store/Bookmarks.plist", dir.file("relative").c_str()), 0);
  ASSERT_EQ(::symlink(dir.file("relative").c_str(), dir.file("absolute").c_str()), 0);
  for (PlistFormat format : {PlistFormat::Binary, PlistFormat::Xml}) {
    ASSERT_TRUE(savePlistFile(dir.file("absolute"), sample(format)).ok());
    EXPECT_EQ(readFile(real).starts_with("bplist00"), format == PlistFormat::Binary);
    PlistDocument loaded;
    ASSERT_TRUE(loadPlistFile(dir.file("absolute"), &loaded).ok());
    EXPECT_EQ(loaded.format, format);
    EXPECT_EQ(loaded.root, sample(format).root);
    const std::string once = readFile(real);
    ASSERT_TRUE(savePlistFile(real, loaded).ok());
    EXPECT_EQ(readFile(real), once);
  }
  EXPECT_TRUE(fs::is_symlink(dir.file("absolute")) && fs::is_symlink(dir.file("relative")));
  EXPECT_EQ(fs::status(real).permissions(), fs::perms(0640));
  EXPECT_EQ(testing::directoryEntries(dir.file("store")), Names{"Bookmarks.plist"});
  // A file deleted after it was loaded is not made again by the save.
  PlistDocument loaded;
  ASSERT_TRUE(loadPlistFile(real, &loaded).ok());
  ASSERT_EQ(::unlink(real.c_str()), 0);
  EXPECT_EQ(savePlistFile(dir.file("absolute"), loaded).message(),
            "the file was moved or deleted while it was being sorted; nothing was written");
  EXPECT_EQ(testing::directoryEntries(dir.file("store")), Names{});
}

// What is not a property list file with a dictionary at its top is refused, saying why.
TEST(PlistFile, RefusesWhatIsNotAPropertyListFileWithAReason) {
  testing::TempDir dir;
  testing::writeFile(dir.file("future"), "bplist15 and more");
  testing::writeFile(dir.file("empty"), "");
  ASSERT_TRUE(savePlistFile(dir.file("text"), {PlistValue::string("text"), PlistFormat::Xml}).ok());
  const std::pair<std::string, std::string> cases[] = {
      {dir.file("missing"), "cannot open: No such file or directory"},
      {"/dev/null", "is a device, not a file"},
      {dir.file("future"), "unsupported binary property list version \"bplist15\""},
      {dir.file("empty"), "not a property list: the file is empty"},
      {dir.file("text"), "the property list holds a string, not a dictionary, at its top"},
  };
  for (const auto& [path, message] : cases) {
    PlistDocument document;
    EXPECT_EQ(loadPlistFile(path, &document).message(), message);
  }
  // A file whose size the system gives as 0 (as Linux does for those under /proc) is read to its
  // end all the same.
  PlistDocument document;
  if (testing::fileExists("/proc/version")) {
    EXPECT_EQ(loadPlistFile("/proc/version", &document).message(),
              "not a property list: line 1: syntax error");
  }
}

// Python's plistlib, written independently, and we read each other's files: what it writes in
// either format we read and write in both, and it loads each of those back as what it wrote.
TEST(PlistFile, PlistlibAndWeReadEachOthersFilesInEitherFormat) {
  testing::TempDir dir;
  const std::string value =
      "import datetime, plistlib, sys\nv = {'ints': [255, 256, 2**32, -1, -2**63, 2**63, 2**64-1],"
      " 'reals': [0.1, 5e-324, 1e300, float('-inf')], 'data': [b'', bytes(range(256)) * 3],"
      " 'date': datetime.datetime(1999, 12, 31, 23, 59, 59), 'many': list(range(300)), 'strings':"
      " ['', 'caf\\u00e9 \\U0001F600 <&> ]]>', 'x' * 300], 'nested': [[], {}, [{'k': [True]}]]}\n";
  const std::string dump =
      "for f in 'XML', 'BINARY':\n plistlib.dump(v, open(sys.argv[1] + f, "
      "'wb'), fmt=getattr(plistlib, 'FMT_' + f))";
  testing::runPython(value + dump, {dir.file("")});
  std::vector<std::string> ours;
  for (const std::string from : {"XML", "BINARY"})
    for (PlistFormat format : {PlistFormat::Xml, PlistFormat::Binary}) {
      ours.push_back(dir.file(from + std::to_string(ours.size())));
      testing::writeFile(ours.back(), written({parsed(readFile(dir.file(from))), format}));
    }
  testing::runPython(value + "for p in sys.argv[1:]: assert plistlib.load(open(p, 'rb')) == v, p",
                     ours);
}

// A binary file whose top array holds one array object twice: ["a", "b", "c"] ('Q' is the
// marker of a one-byte ASCII string), its references in the order given.
std::string sharedTwice(const std::string& references) {
  return testing::assembleBinaryPlist(
      {.objects = {"\xA2\x01\x01", "\xA3" + references, "Qa", "Qb", "Qc"}});
}

// An array stored once but referenced twice is edited in place only when both copies move
// alike by a true permutation; otherwise there is no edit (the whole file is written instead).
TEST(PlistEdit, MovesASharedArrayOnlyWhenEveryCopyMovesAlike) {
  PlistDocument document;
  ASSERT_TRUE(readPlistKeepingOriginal(sharedTwice("\x02\x03\x04"), &document).ok());
  const PlistArray& copies = *document.root.asArray();
  const void* first = copies[0].asArray()->data();
  const void* second = copies[1].asArray()->data();
  const std::pair<std::vector<ArrayMove>, const char*> cases[] = {
      {{{first, {2, 1, 0}}, {second, {2, 1, 0}}}, "\x04\x03\x02"},
      {{{first, {0, 1, 2}}, {second, {0, 1, 2}}}, "\x02\x03\x04"},
      {{{first, {2, 1, 0}}}, nullptr},
      {{{first, {2, 1, 0}}, {second, {0, 1, 2}}}, nullptr},
      {{{first, {2, 1, 0}}, {second, {1, 0, 2}}}, nullptr},
      {{{first, {2, 1, 1}}, {second, {2, 1, 1}}}, nullptr},
      {{{first, {1, 0}}, {second, {1, 0}}}, nullptr},
      {{{&copies, {1, 0}}}, nullptr},  // not an array of the file
  };
  for (const auto& [moves, references] : cases) {
    const std::optional<PlistEdit> edit = document.original->edit(moves);
    std::string written;
    StringSink sink(written);
    EXPECT_EQ(edit && edit->write(sink).ok() ? written : "no edit",
              references ? sharedTwice(references) : "no edit");
  }
}

}  // namespace
}  // namespace tidymark
