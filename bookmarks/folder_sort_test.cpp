#include "bookmarks/folder_sort.h"

#include <sys/stat.h>

#include <gtest/gtest.h>

#include <functional>
#include <map>

#include "bookmarks/bookmark_node.h"
#include "tests/test_support.h"

namespace tidymark {
namespace {

using testing::bookmark;
using testing::childTitles;
using testing::folder;
using testing::otherNode;
using Titles = std::vector<std::string>;

PlistValue& child(PlistValue& node, std::size_t index) {
  return (*arrayValue(node.find("Children")))[index];
}

PlistValue bookmarksTitled(const Titles& titles) {
  std::vector<PlistValue> entries;
  for (const std::string& title : titles)
    entries.push_back(bookmark(title));
  return folder("", std::move(entries));
}

TEST(FolderSort, PutsFoldersFirstThenOrdersByTitleAtEveryDepth) {
  // The worked example: bookmark b, folder A holding "Item 10" and "Item 2", bookmark a.
  PlistValue root = folder(
      "", {bookmark("b"), folder("A", {bookmark("Item 10"), bookmark("Item 2")}), bookmark("a"),
           folder("beta", {bookmark("y"), folder("z", {bookmark("2"), folder("1")}), folder("x")}),
           folder("Empty")});
  std::vector<FolderChange> changes;
  sortImpl(root, &changes);
  EXPECT_EQ(childTitles(root), (Titles{"A", "beta", "Empty", "a", "b"}));
  // Each folder that changed, outer ones first: where it lies, and where its entries came from.
  std::vector<std::pair<Titles, std::vector<std::uint32_t>>> reported;
  for (const FolderChange& change : changes)
    reported.emplace_back(change.titlePath, change.order);
  EXPECT_EQ(
      reported,
      (decltype(reported){
          {{}, {1, 3, 4, 2, 0}}, {{"A"}, {1, 0}}, {{"beta"}, {2, 1, 0}}, {{"beta", "z"}, {1, 0}}}));
  EXPECT_EQ(changes[0].moved(), 5u);
  EXPECT_EQ(changes[2].moved(), 2u);
  EXPECT_EQ(childTitles(child(root, 0)), (Titles{"Item 2", "Item 10"}));
  EXPECT_EQ(childTitles(child(root, 1)), (Titles{"x", "z", "y"}));
  EXPECT_EQ(childTitles(child(child(root, 1), 1)), (Titles{"1", "2"}));

  const std::pair<Titles, Titles> orders[] = {
      {{"banana", "Apple", "cherry"}, {"Apple", "banana", "cherry"}},
      {{"Item 10", "Item 2", "Item 1"}, {"Item 1", "Item 2", "Item 10"}},
      {{"v1.10", "v1.9", "V1.2"}, {"V1.2", "v1.9", "v1.10"}},
      {{"Zürich", "zoo", "Zebra"}, {"Zebra", "zoo", "Zürich"}},
  };
  for (const auto& [before, after] : orders) {
    PlistValue titled = bookmarksTitled(before);
    sortImpl(titled);
    EXPECT_EQ(childTitles(titled), after);
  }
}

TEST(FolderSort, StopsAtNodesThatAreNotFolders) {
  // A node of another kind keeps its entries' order, and nothing below it is visited.
  PlistValue root = folder(
      "", {otherNode("WebBookmarkTypeProxy", "History",
                     {bookmark("z"), folder("F", {bookmark("2"), bookmark("1")}), bookmark("a")}),
           folder("Top", {bookmark("b"), bookmark("a")})});
  sortImpl(root);
  EXPECT_EQ(childTitles(root), (Titles{"Top", "History"}));
  EXPECT_EQ(childTitles(child(root, 1)), (Titles{"z", "F", "a"}));
  EXPECT_EQ(childTitles(child(child(root, 1), 1)), (Titles{"2", "1"}));

  // Nor is a root that is not a folder, nor a folder kind written in another case.
  for (const char* kind : {"WebBookmarkTypeProxy", "webbookmarktypelist"}) {
    PlistValue other = otherNode(kind, "", {bookmark("b"), bookmark("a")});
    const PlistValue original = other;
    sortImpl(other);
    EXPECT_EQ(other, original) << kind;
  }
}

TEST(FolderSort, RanksUntitledEntriesAsEmptyTitlesStablyAndChangesNothingElse) {
  // No title at all, a title of another type, an entry that is not a node, an empty title.
  PlistValue untitled = bookmark("x");
  untitled.asDict()->erase(untitled.asDict()->begin() + 3);  // its URIDictionary
  PlistValue numbered = folder("n");
  *numbered.find("Title") = PlistValue::integer(5);
  PlistValue root =
      folder("", {bookmark("b"), std::move(untitled), PlistValue::string("stray"), bookmark("News"),
                  bookmark(""), bookmark("news"), std::move(numbered), folder("F")});
  root.asDict()->push_back({"Extra", PlistValue::data({1, 2, 3})});
  sortImpl(root);
  // Entries that rank the same keep their order, from either side of the comparison.
  EXPECT_EQ(childTitles(root),
            (Titles{"<none>", "F", "<none>", "<none>", "", "b", "News", "news"}));
  EXPECT_EQ(*child(root, 3).asString(), "stray");
  EXPECT_EQ(*root.find("Extra"), PlistValue::data({1, 2, 3}));
  const PlistValue once = root;
  sortImpl(root);
  EXPECT_EQ(root, once);
}

TEST(FolderSort, HandlesAnyNestingDepth) {
  // Deeper than any recursion could go; each folder holds "b" then the next folder.
  const int depth = 200'000;
  PlistValue inner = folder("deepest", {bookmark("2"), bookmark("1")});
  for (int level = 0; level < depth; ++level) {
    std::vector<PlistValue> children;
    children.push_back(bookmark("b"));
    children.push_back(std::move(inner));
    inner = folder("level", std::move(children));
  }
  // Every folder changes; the report of each names only the innermost titles of its path.
  std::vector<FolderChange> changes;
  sortImpl(inner, &changes);
  ASSERT_EQ(changes.size(), std::size_t{depth} + 1);
  EXPECT_EQ(changes.back().depth, std::size_t{depth});
  Titles innermost(kMaxTitlePath - 1, "level");
  innermost.push_back("deepest");
  EXPECT_EQ(changes.back().titlePath, innermost);
  const PlistValue* node = &inner;
  for (int level = 0; level < depth; ++level) {
    ASSERT_EQ(childTitles(*node)[0], level + 1 < depth ? "level" : "deepest") << level;
    node = &(*arrayValue(node->find("Children")))[0];
  }
  EXPECT_EQ(childTitles(*node), (Titles{"1", "2"}));
}

// Keeps documents in memory, and counts what was asked of it.
class FakeStore final : public PlistStore {
 public:
  std::map<std::string, PlistDocument> files;
  std::string failSave;
  int saves = 0;

  Status load(const std::string& path, PlistDocument* document) override {
    auto found = files.find(path);
    if (found == files.end()) return Status::failure("cannot open: No such file or directory");
    *document = found->second;
    return Status::success();
  }
  Status save(const std::string& path, const PlistDocument& document) override {
    ++saves;
    if (!failSave.empty()) return Status::failure(failSave);
    files[path] = document;
    return Status::success();
  }
};

TEST(FolderSort, SortLoadsSortsAndSavesInTheSameFormatOrSaysWhyNot) {
  FakeStore store;
  store.files["x.plist"] = {bookmarksTitled({"b", "a"}), PlistFormat::Xml};
  PlistDocument document;
  ASSERT_TRUE(sort("x.plist", store, document).ok());
  EXPECT_EQ(childTitles(store.files["x.plist"].root), (Titles{"a", "b"}));
  EXPECT_EQ(store.files["x.plist"].format, PlistFormat::Xml);

  EXPECT_EQ(sort("missing.plist", store, document).message(),
            "cannot open: No such file or directory");
  EXPECT_EQ(store.saves, 1) << "nothing it could not load is written";
  EXPECT_EQ(store.files.count("missing.plist"), 0u);

  EXPECT_TRUE(sort("x.plist", store, document).ok());
  EXPECT_EQ(store.saves, 1) << "a sorted file is not written again";

  store.files["y.plist"] = {bookmarksTitled({"b", "a"}), PlistFormat::Binary};
  store.failSave = "cannot write: No space left on device";
  EXPECT_EQ(sort("y.plist", store, document).message(), store.failSave);
  EXPECT_EQ(childTitles(store.files["y.plist"].root), (Titles{"b", "a"}));
}

// ---- Sorting files: the original with entries moved ----------------------------------------

using testing::bigEndian;

std::string ascii(const std::string& text) {
  if (text.size() < 15) return static_cast<char>(0x50 | text.size()) + text;
  return "\x5F\x10" + std::string(1, static_cast<char>(text.size())) + text;
}

// A binary array or dictionary object (of fewer than 15 entries) with references of `width`.
std::string arrayObject(const std::vector<int>& entries, int width) {
  std::string out(1, static_cast<char>(0xA0 | entries.size()));
  for (int entry : entries)
    out += bigEndian(entry, width);
  return out;
}
std::string dictObject(const std::vector<std::pair<int, int>>& entries, int width) {
  std::string out(1, static_cast<char>(0xD0 | entries.size()));
  for (const auto& entry : entries)
    out += bigEndian(entry.first, width);
  for (const auto& entry : entries)
    out += bigEndian(entry.second, width);
  return out;
}

// Objects in an odd order, the top one last: a folder whose entries are nodes of another kind,
// titled "c", "a", "a" (sharing one title object) and "b", sharing their keys and kind.
std::string oddLayout(bool sorted, int refSize, int offsetSize) {
  const std::vector<int> entries = sorted ? std::vector{6, 13, 8, 4} : std::vector{4, 6, 13, 8};
  return testing::assembleBinaryPlist(
      {.objects = {ascii("c"), ascii("Title"), arrayObject(entries, refSize),
                   ascii("WebBookmarkType"), dictObject({{3, 5}, {1, 0}}, refSize), ascii("Note"),
                   dictObject({{1, 7}, {3, 5}}, refSize), ascii("a"),
                   dictObject({{3, 5}, {1, 9}}, refSize), ascii("b"), ascii("WebBookmarkTypeList"),
                   ascii("Children"), dictObject({{3, 10}, {11, 2}}, refSize),
                   dictObject({{1, 7}, {3, 5}}, refSize)},
       .offsetSize = offsetSize,
       .refSize = refSize,
       .topObject = 12});
}

// A top folder holding two nodes, "y" and "x", that both have the array of nodes "c" and "a"
// (one object) as their "Children": folders both, or (`fallback`) the second a node of another
// kind, which keeps its entries' order while the folder moves them. One object is never used,
// and the top holds a key the sort does not read, which the whole writer must keep too.
std::string sharedChildren(bool sorted, bool fallback) {
  const bool moved = sorted && !fallback;
  return testing::assembleBinaryPlist(
      {.objects = {dictObject({{1, 2}, {3, 4}, {18, 19}}, 1),
                   ascii("WebBookmarkType"),
                   ascii("WebBookmarkTypeList"),
                   ascii("Children"),
                   arrayObject(moved ? std::vector{6, 5} : std::vector{5, 6}, 1),
                   dictObject({{1, 2}, {9, 10}, {3, 7}}, 1),
                   dictObject({{1, 12}, {9, 11}, {3, 7}}, 1),
                   arrayObject(moved ? std::vector{14, 13} : std::vector{13, 14}, 1),
                   ascii("unused"),
                   ascii("Title"),
                   ascii("y"),
                   ascii("x"),
                   ascii(fallback ? "Note" : "WebBookmarkTypeList"),
                   dictObject({{1, 15}, {9, 16}}, 1),
                   dictObject({{1, 15}, {9, 17}}, 1),
                   ascii("Note"),
                   ascii("c"),
                   ascii("a"),
                   ascii("URLString"),
                   ascii("https://example.com/")}});
}

// A folder with entries "b" and "a", whose "URLString" is a UTF-16 string of two units that
// runs over the bytes of the folder's array of entries: moving them would change the string.
std::string stringOverEntries() {
  return testing::assembleBinaryPlist(
      {.objects = {dictObject({{1, 2}, {3, 5}, {6, 4}}, 1), ascii("WebBookmarkType"),
                   ascii("WebBookmarkTypeList"), ascii("Children"), "\x62", arrayObject({7, 8}, 1),
                   ascii("URLString"), dictObject({{1, 9}, {10, 11}}, 1),
                   dictObject({{1, 9}, {10, 12}}, 1), ascii("Note"), ascii("Title"), ascii("b"),
                   ascii("a")}});
}

// An XML file unlike the tool's own writing: CRLF line ends, spaces, an older DOCTYPE, a comment
// between entries, character references, empty elements; and inside one entry a folder whose own
// entries move. The pieces are put together in the original or in the sorted order.
std::string unusualXml(bool sorted) {
  const auto entry = [](const std::string& kind, const std::string& title,
                        const std::string& rest) {
    return "<dict>\r\n      <key>WebBookmarkType</key>\r\n      <string>" + kind +
           "</string>\r\n      <key>Title</key>\r\n      " + title + rest + "\r\n    </dict>";
  };
  const auto inOrder = [](const std::vector<std::string>& pieces, const std::vector<int>& order,
                          const std::vector<std::string>& between) {
    std::string out = pieces[order[0]];
    for (std::size_t i = 1; i < order.size(); ++i)
      out += between[i - 1] + pieces[order[i]];
    return out;
  };
  const std::string list = "WebBookmarkTypeList";
  const std::string zoo = entry(
      list, "<string>Zoo</string>",
      "\r\n      <key>Children</key>\r\n      <array>\r\n        " +
          inOrder(
              {entry("Note", "<string>y</string>", ""), entry("Note", "<string>x</string>", "")},
              sorted ? std::vector{1, 0} : std::vector{0, 1}, {"\r\n        "}) +
          "\r\n      </array>");
  const std::vector<std::string> entries = {
      entry("Note", "<string>&#x63;herry &amp; co</string>", ""), zoo,
      entry("Note", "<string/>", ""),
      entry(list, "<string>&#65;pple</string>", "\r\n      <key>Children</key><array/>"),
      entry("Note", "<string>Banana</string>", "")};
  return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\r\n"
         "<!DOCTYPE plist SYSTEM \"file://localhost/System/Library/DTDs/PropertyList.dtd\">\r\n"
         "<plist version=\"1.0\">\r\n<dict>\r\n  <key>WebBookmarkType</key>\r\n  <string>" +
         list + "</string>\r\n  <key>Children</key>\r\n  <array>\r\n    " +
         inOrder(entries, sorted ? std::vector{3, 1, 2, 4, 0} : std::vector{0, 1, 2, 3, 4},
                 {"\r\n    <!-- a comment between entries -->\r\n    ", "\r\n    ", "\r\n    ",
                  "\r\n\r\n    "}) +
         "\r\n  </array>\r\n</dict>\r\n</plist>\r\n";
}

struct EditCase {
  std::string name;
  // The unsorted file, or the sorted one ("": as tests/expected_sort.py works it out).
  std::function<std::string(bool sorted)> file;
  bool wholeWriter = false;  // the moves cannot be said as an edit: the sorted tree written whole
};

timespec modifiedAt(const std::string& path) {
  struct stat info {};
  EXPECT_EQ(::stat(path.c_str(), &info), 0);
  return info.st_mtim;
}

TEST(FolderSortFile, WritesTheOriginalWithEntriesMovedAndNothingWhenNothingMoves) {
  testing::TempDir dir;
  // The binary one is larger than the piece the edit is written in.
  const auto generated = [&dir](const char* format, const char* bookmarks) {
    return [&dir, format, bookmarks](bool sorted) {
      const std::string path = dir.file(std::string("generated.") + format);
      if (sorted) return std::string();
      EXPECT_EQ(testing::runProgram({TIDYMARK_GENERATE, "--bookmarks", bookmarks, "--seed", "5",
                                     "--format", format, path})
                    .status,
                0);
      return testing::readFile(path);
    };
  };
  const auto byPython = [&dir](const char* format) {
    return [&dir, format](bool sorted) {
      const std::string path = dir.file(std::string("python.") + format);
      if (sorted) return std::string();
      const auto node = [](const std::string& title, const std::string& more) {
        return "{'WebBookmarkType': 'WebBookmarkTypeLeaf', 'URIDictionary': {'title': '" + title +
               "'}, 'URLString': 'https://example.com/'" + more + "}";
      };
      testing::pythonWrite(
          "{'WebBookmarkType': 'WebBookmarkTypeList', 'Children': [" + node("Item 10", "") + ", " +
              "{'WebBookmarkType': 'WebBookmarkTypeList', 'Title': 'Z', 'Children': [" +
              node("b", ", 'Sync': {'Data': b'\\x00\\x01'}") + ", " + node("a", "") + "]}, " +
              node("item 2", ", 'Added': datetime.datetime(2020, 1, 2, 3, 4, 5)") + "]}",
          format, path);
      return testing::readFile(path);
    };
  };
  const EditCase cases[] = {
      {"odd layout, 1-byte references and offsets", [](bool s) { return oddLayout(s, 1, 1); }},
      {"odd layout, 2-byte references, 8-byte offsets", [](bool s) { return oddLayout(s, 2, 8); }},
      {"odd layout, 8-byte references, 2-byte offsets", [](bool s) { return oddLayout(s, 8, 2); }},
      {"Children shared by two folders", [](bool s) { return sharedChildren(s, false); }},
      {"Children shared by a folder and another node",
       [](bool s) { return sharedChildren(s, true); }, true},
      {"a string over the entries' references", [](bool) { return stringOverEntries(); }, true},
      {"unusual XML", unusualXml},
      {"generated binary", generated("binary", "6000")},
      {"generated XML", generated("xml", "300")},
      {"binary by plistlib", byPython("FMT_BINARY")},
      {"XML by plistlib", byPython("FMT_XML")},
  };
  const std::string path = dir.file("Bookmarks.plist");
  const std::string original = dir.file("original.plist");
  const std::string expected = dir.file("expected.plist");
  FilePlistStore store(kSortKeys);
  for (const EditCase& c : cases) {
    SCOPED_TRACE(c.name);
    testing::writeFile(original, c.file(false));
    testing::writeFile(path, testing::readFile(original));
    PlistDocument document;
    const Status status = sort(path, store, document);
    ASSERT_TRUE(status.ok()) << status.message();
    // Python reads the result as the sorted original, and works out the edit on its own.
    const testing::ProgramResult python = testing::runProgram(
        {"python3", TIDYMARK_SOURCE_DIR "/tests/expected_sort.py", original, path, expected});
    EXPECT_EQ(python.status, 0) << python.err;
    const std::string sorted = testing::readFile(path);
    if (c.wholeWriter) {
      PlistDocument whole;
      ASSERT_TRUE(parsePlist(testing::readFile(original), &whole).ok());
      sortImpl(whole.root);
      std::string written;
      ASSERT_TRUE(serializePlist(whole, &written).ok());
      EXPECT_EQ(sorted, written);
    } else {
      const std::string pieces = c.file(true);
      EXPECT_EQ(sorted, testing::readFile(expected));
      EXPECT_TRUE(pieces.empty() || sorted == pieces);
    }
    // A second run leaves the file alone: not even written again.
    const timespec before = modifiedAt(path);
    ASSERT_TRUE(sort(path, store, document).ok());
    EXPECT_EQ(testing::readFile(path), sorted);
    const timespec after = modifiedAt(path);
    EXPECT_TRUE(before.tv_sec == after.tv_sec && before.tv_nsec == after.tv_nsec);
  }
}

}  // namespace
}  // namespace tidymark
