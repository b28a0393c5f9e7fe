#include "bookmarks/folder_sort.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <tuple>

#include "bookmarks/bookmark_node.h"
#include "bookmarks/outline.h"
#include "tests/test_support.h"

namespace tidymark {
namespace {

using namespace testing;

struct RefusingSink : ByteSink {
  bool write(std::string_view) override { return false; }
};

// Folders first, then titles case-insensitively with digit runs by value, in every folder;
// untitled entries rank as empty titles; ties keep their order; a node of another kind keeps
// its order, and nothing below it moves. Seen in the outline of the sorted tree (one line an
// entry, indented, folders marked, other kinds named, titles shown printably), and in the report
// of the folders that changed (by their paths of titles), which both stop when their output is
// refused. Folders titled as one kept keep their own entries' order, not that of folders inside.
TEST(FolderSort, OrdersEveryFolderAsTheOutlineAndTheReportShow) {
  const auto s = [](const char* text) { return PlistValue::string(text); };
  const auto entry = [](const char* key, PlistValue value) { return DictEntry{key, value}; };
  const auto kind = [&](const char* name) { return entry("WebBookmarkType", s(name)); };
  const KeptTitles none, kept = {"BookmarksBar", "com.apple.ReadingList"};
  std::tuple<KeptTitles, PlistValue, std::string, std::string> cases[] = {
      {kept,
       folder("", {folder("com.apple.ReadingList", {bookmark("c"), bookmark("a"), bookmark("b")}),
                   bookmark("m"),
                   folder("BookmarksBar",
                          {bookmark("z"), folder("y", {bookmark("2"), bookmark("1")})})}),
       "BookmarksBar/\n  z\n  y/\n    1\n    2\ncom.apple.ReadingList/\n  c\n  a\n  b\nm\n",
       "(top level): 3 of 3 entries would move\nBookmarksBar / y: 2 of 2 entries would move\n"
       "com.apple.ReadingList: 3 entries kept in their own order\n"
       "BookmarksBar: 2 entries kept in their own order\n2 folders would change"},
      {none,
       folder("",
              {bookmark("b"), folder("", {bookmark("Item 10"), bookmark("Item 2")}), bookmark("a"),
               folder("beta",
                      {bookmark("y"), folder("z\t\\", {bookmark("2"), folder("1")}), folder("x")}),
               folder("Empty"),
               otherNode("WebBookmarkTypeProxy", "History",
                         {bookmark("z"), folder("F", {bookmark("2"), bookmark("1")})})}),
       "/\n  Item 2\n  Item 10\nbeta/\n  x/\n  z\\t\\\\/\n    1/\n    2\n  y\nEmpty/\na\nb\n"
       "History [WebBookmarkTypeProxy]\n  z\n  F/\n    2\n    1\n",
       "(top level): 5 of 6 entries would move\n(untitled): 2 of 2 entries would move\n"
       "beta: 2 of 3 entries would move\nbeta / z\\t\\\\: 2 of 2 entries would move\n"
       "4 folders would change"},
      {none,
       folder("", {bookmark("b"), otherNode("WebBookmarkTypeLeaf", "Own"), s("s"), bookmark("News"),
                   bookmark(""), bookmark("news"),
                   PlistValue::dict(
                       {kind("WebBookmarkTypeList"), entry("Title", PlistValue::integer(5))}),
                   folder("F")}),
       "(untitled)/\nF/\n(untitled)\n(untitled) [no kind]\n\nb\nNews\nnews\n",
       "(top level): 7 of 8 entries would move\n1 folder would change"},
      {none,
       otherNode(
           "webbookmarktypelist", "",
           {folder("Favorites", {bookmark("Café"), bookmark("a")}),
            otherNode("WebBookmarkTypeProxy", "History"), otherNode("webbookmarktypeleaf", "Own"),
            bookmark("a\n\x1B[2Jb\x7F\xC2\x85\xC2\xA0\xFF"),
            PlistValue::dict({kind("WebBookmarkTypeList"), entry("Title", s("first")), kind("x"),
                              entry("Title", s("2nd"))}),
            PlistValue::dict(
                {entry("WebBookmarkType", PlistValue::integer(1)), entry("Title", s("Own"))}),
            PlistValue::dict({kind("WebBookmarkTypeLeaf"), entry("URIDictionary", s("x"))})}),
       "Favorites/\n  Café\n  a\nHistory [WebBookmarkTypeProxy]\n"
       "Own [webbookmarktypeleaf]\na\\n\\x1B[2Jb\\x7F\\xC2\\x85\xC2\xA0\\xFF\nfirst/\nOwn [no "
       "kind]\n(untitled)\n",
       "nothing would change"},
  };
  for (auto& [keep, root, outline, report] : cases) {
    SortReport changes;
    sortImpl(root, keep, &changes);
    std::string shown, reported;
    StringSink outlineSink(shown), reportSink(reported);
    EXPECT_TRUE(writeOutline(root, outlineSink) && writeSortReport(changes, false, reportSink));
    EXPECT_EQ(shown, outline);
    EXPECT_EQ(reported, report + "; nothing was written\n");
    RefusingSink refusing;
    EXPECT_FALSE(writeOutline(root, refusing) || writeSortReport(changes, false, refusing));
  }
}

// ---- Sorting files: the original with entries moved ----------------------------------------

const auto str = [](const std::string& text) { return char(0x50 | text.size()) + text; };
const auto array = [](const std::vector<int>& refs, int width = 1) {
  std::string out(1, char(0xA0 | refs.size()));
  for (int ref : refs)
    out += bigEndian(ref, width);
  return out;
};
const auto dict = [](const std::vector<int>& keys, const std::vector<int>& values, int width = 1) {
  return char(0xD0 | keys.size()) + array(keys, width).substr(1) + array(values, width).substr(1);
};
// Objects 0 to 4 of every hand-made binary file, shared by all its nodes.
enum { kType, kList, kChildren, kTitle, kNote };
std::vector<std::string> sharedObjects() {
  return {"\x5F\x10\x0FWebBookmarkType", "\x5F\x10\x13WebBookmarkTypeList", str("Children"),
          str("Title"), str("Note")};
}
const auto note = [](int title, int r = 1) { return dict({kType, kTitle}, {kNote, title}, r); };
std::string layout(std::vector<std::string> objects, int top, int refSize = 1, int offsetSize = 1,
                   bool lastFirst = false) {
  const std::vector<std::string> shared = sharedObjects();
  objects.insert(objects.begin(), shared.begin(), shared.end());
  return assembleBinaryPlist({.objects = objects,
                              .offsetSize = offsetSize,
                              .refSize = refSize,
                              .lastFirst = lastFirst,
                              .topObject = top});
}

// Objects in an odd order, the top one in the middle, and (`lastFirst`) lying in the file in the
// reverse order of their numbers: a folder whose entries are nodes of another kind titled "c",
// "a", "a" (sharing one title object) and "b".
std::string oddLayout(int r, int offsetSize, bool lastFirst) {
  return layout(
      {str("c"), array({8, 10, 11, 12}, r), dict({kType, kChildren}, {kList, 6}, r), note(5, r),
       str("a"), dict({kTitle, kType}, {9, kNote}, r), note(9, r), note(13, r), str("b")},
      7, r, offsetSize, lastFirst);
}

// A top folder holding "y" and "x", which both have one array of nodes "c" and "a" as their
// "Children": folders both, or (`fallback`) "x" a node of another kind, which keeps that order
// while the folder changes it. One object is never used, and the top holds a key the sort does
// not read, which the whole writer must keep too.
std::string sharedChildren(bool fallback) {
  return layout({dict({kType, kChildren, 14}, {kList, 6, 15}), array({7, 8}),
                 dict({kType, kTitle, kChildren}, {kList, 9, 11}),
                 dict({kType, kTitle, kChildren}, {fallback ? kNote : kList, 10, 11}), str("y"),
                 str("x"), array({12, 13}), note(16), note(17), str("URLString"),
                 str("https://a.b/"), str("c"), str("a"), str("unused")},
                5);
}

// XML unlike the tool's own writing: CRLF, spaces, an older DOCTYPE, a comment and a blank line
// between entries, character references, empty elements; a folder of two entries to swap.
std::string unusualXml() {
  std::string xml =
      R"(<?xml version="1.0" encoding="UTF-8"?> <!DOCTYPE plist SYSTEM "file://localhost/System/Library/DTDs/PropertyList.dtd">
<plist version="1.0"> <dict><key>WebBookmarkType</key><string>WebBookmarkTypeList</string> <key>Children</key> <array>
  <dict><key>WebBookmarkType</key><string>Note</string><key>Title</key><string>&#x63;herry &amp; co</string></dict>
  <!-- a comment between entries -->
  <dict><key>WebBookmarkType</key><string>Note</string><key>Title</key><string/></dict>
  <dict><key>WebBookmarkType</key><string>WebBookmarkTypeList</string><key>Title</key><string>&#65;pple</string><key>Children</key><array><dict><key>WebBookmarkType</key><string>Note</string><key>Title</key><string>y</string></dict><dict><key>WebBookmarkType</key><string>Note</string><key>Title</key><string>x</string></dict></array></dict>

  <dict><key>WebBookmarkType</key><string>Note</string><key>Title</key><string>Banana</string><key>Children</key><array/></dict> </array>
</dict> </plist>)";
  for (std::size_t at = 0; (at = xml.find('\n', at)) != std::string::npos; at += 2)
    xml.insert(at, 1, '\r');
  return xml;
}

// Plain XML, with references and empty elements among the entries to move.
constexpr char kPlainXml[] = R"(<?xml version="1.0" encoding="UTF-8"?>
<plist version="1.0"><dict><key>WebBookmarkType</key><string>WebBookmarkTypeList</string>
<key>Children</key><array><string>&#x7A;</string><dict/><dict><key>Title</key><string>&lt;b</string>
</dict><string/></array></dict></plist>)";

// Sorting a file writes the original with exactly the moves (tests/expected_sort.py works them
// out on its own, and checks that plistlib reads the sorted original), or, when the moves cannot
// be written as an edit, the sorted tree whole; a second run leaves the file untouched.
TEST(FolderSortFile, WritesTheOriginalWithEntriesMovedAndNothingWhenNothingMoves) {
  TempDir dir;
  const std::string path = dir.file("Bookmarks.plist"), original = dir.file("original.plist"),
                    expected = dir.file("expected.plist");
  runProgram({TIDYMARK_GENERATE, "--bookmarks", "6000", dir.file("generated")});  // binary
  runProgram({TIDYMARK_GENERATE, "--bookmarks", "600", "--format", "xml", dir.file("xml")});
  runPython(
      "import plistlib, sys\nvalue = plistlib.load(open(sys.argv[1], 'rb'))\n"
      "for fmt, out in (plistlib.FMT_BINARY, 2), (plistlib.FMT_XML, 3):\n"
      "    plistlib.dump(value, open(sys.argv[out], 'wb'), fmt=fmt)",
      {dir.file("xml"), dir.file("plistlib binary"), dir.file("plistlib XML")});
  // A string of two UTF-16 units over a folder's entries "b" and "a": moving them changes it.
  // The string is the first object, the entries the second, the shared objects 2 to 6.
  std::vector<std::string> objects = {"\x62", array({7, 8})}, shared = sharedObjects();
  objects.insert(objects.end(), shared.begin(), shared.end());
  objects.insert(objects.end(), {dict({2, 5}, {6, 9}), dict({2, 5}, {6, 10}), str("b"), str("a"),
                                 str("URLString"), dict({2, 4, 11}, {3, 1, 0})});
  const std::string stringOverEntries = assembleBinaryPlist({.objects = objects, .topObject = 12});
  const std::tuple<const char*, std::string, bool> cases[] = {
      // the name, the file, whether the moves cannot be an edit: the sorted tree written whole
      {"odd layout, 2-byte references, 8-byte offsets, last object first", oddLayout(2, 8, true),
       false},
      {"odd layout, 8-byte references, 2-byte offsets", oddLayout(8, 2, false), false},
      {"Children shared by two folders", sharedChildren(false), false},
      {"Children shared by a folder and another node", sharedChildren(true), true},
      {"a string over the entries' references", stringOverEntries, true},
      {"unusual XML", unusualXml(), false},
      {"generated XML", readFile(dir.file("xml")), false},
      {"written by plistlib, binary", readFile(dir.file("plistlib binary")), false},
      {"written by plistlib, XML", readFile(dir.file("plistlib XML")), false},
      {"plain XML", kPlainXml, false},
      {"generated binary, larger than one piece of the edit", readFile(dir.file("generated")),
       false},
  };
  FilePlistStore store;
  for (const auto& [name, before, wholeWriter] : cases) {
    SCOPED_TRACE(name);
    writeFile(original, before);
    writeFile(path, before);
    PlistDocument document, whole;
    ASSERT_TRUE(sort(path, store, document).ok());
    const ProgramResult python = runProgram(
        {"python3", TIDYMARK_SOURCE_DIR "/tests/expected_sort.py", original, path, expected});
    EXPECT_EQ(python.status, 0) << python.err;
    std::string written;
    ASSERT_TRUE(parsePlist(before, &whole).ok());
    sortImpl(whole.root);
    ASSERT_TRUE(serializePlist(whole, &written).ok());
    const std::string sorted = readFile(path);
    EXPECT_EQ(sorted, wholeWriter ? written : readFile(expected));

    const auto stamp = std::filesystem::last_write_time(path) - std::chrono::hours(1);
    std::filesystem::last_write_time(path, stamp);
    ASSERT_TRUE(sort(path, store, document).ok());
    EXPECT_EQ(readFile(path), sorted);
    EXPECT_EQ(std::filesystem::last_write_time(path), stamp);
  }
}

// Where a node names its kind or its title twice, the first counts when a binary file is sorted
// where it lies, as when its tree is sorted: in a folder of a note titled "z" and then "a", a
// bookmark whose "URIDictionary" titles it "b" and then "zz", and a node of the folder kind and
// then the note kind titled "x", the folder comes first, then "b", then "z".
TEST(FolderSortFile, TakesTheFirstOfKeysNamedTwiceAsTheSortOfTheTreeDoes) {
  const std::string file =
      layout({dict({kType, kChildren}, {kList, 6}), array({7, 8, 9}),
              dict({kType, kTitle, kTitle}, {kNote, 10, 11}), dict({kType, 12}, {13, 14}),
              dict({kType, kType, kTitle}, {kList, kNote, 15}), str("z"), str("a"),
              str("URIDictionary"), "\x5F\x10\x13WebBookmarkTypeLeaf", dict({16, 16}, {17, 18}),
              str("x"), str("title"), str("b"), str("zz")},
             5);
  TempDir dir;
  const std::string path = dir.file("Bookmarks.plist");
  writeFile(path, file);
  FilePlistStore store;
  PlistDocument document, sorted, expected;
  ASSERT_TRUE(sort(path, store, document).ok());
  ASSERT_TRUE(parsePlist(readFile(path), &sorted).ok());
  ASSERT_TRUE(parsePlist(file, &expected).ok());
  sortImpl(expected.root);
  EXPECT_EQ(sorted.root, expected.root);
  std::string shown;
  StringSink outline(shown);
  ASSERT_TRUE(writeOutline(sorted.root, outline));
  EXPECT_EQ(shown, "x/\nb\nz [Note]\n");
}

// Another program saves the file while it is being sorted: nothing is written, whether the sort
// would save an edit of what it read or, read again whole, the sorted tree.
TEST(FolderSortFile, LeavesAFileSavedMeanwhileAsTheOtherProgramLeftIt) {
  struct SavedMeanwhile final : PlistStore {
    Status load(const std::string& path, PlistDocument* document) override {
      return files.load(path, document);
    }
    Status save(const std::string& path, const PlistDocument& document,
                const std::string& backup) override {
      writeFile(path, "saved by another program");
      return files.save(path, document, backup);
    }
    FilePlistStore files;
  } store;
  TempDir dir;
  const std::string path = dir.file("Bookmarks.plist");
  for (const std::string& before : {oddLayout(2, 8, true), sharedChildren(true)}) {
    writeFile(path, before);
    PlistDocument document;
    EXPECT_EQ(sort(path, store, document).message(),
              "the file changed while it was being sorted; left as it is now, nothing was written");
    EXPECT_EQ(readFile(path), "saved by another program");
  }
}

}  // namespace
}  // namespace tidymark
