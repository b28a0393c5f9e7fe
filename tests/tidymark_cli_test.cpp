// End-to-end tests of the built tidymark program: arguments, output, exit status and the file.

#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "platform/plist_file.h"
#include "tests/fake_app.h"
#include "tests/test_support.h"

namespace tidymark {
namespace {

using testing::bookmark;
using testing::childTitles;
using testing::folder;
using testing::ProgramOptions;
using testing::ProgramResult;
using testing::readFile;
using testing::TempDir;
using Titles = std::vector<std::string>;

const std::string kNotice = "folders come first in sort order\n";

ProgramResult tidymark(const std::vector<std::string>& args, ProgramOptions options = {}) {
  std::vector<std::string> argv = {TIDYMARK_BINARY};
  argv.insert(argv.end(), args.begin(), args.end());
  return testing::runProgram(argv, options);
}

std::string progress(const std::string& path, const char* ending = " done") {
  return "sorting bookmarks at " + path + " ..." + ending + "\n";
}

// An unsorted bookmarks file: bookmark b, folder A holding "Item 10" and "Item 2", bookmark a.
PlistValue unsortedTree() {
  return folder(
      "", {bookmark("b"), folder("A", {bookmark("Item 10"), bookmark("Item 2")}), bookmark("a")});
}

void writeBookmarks(const std::string& path, PlistFormat format = PlistFormat::Binary) {
  ASSERT_TRUE(savePlistFile(path, PlistDocument{unsortedTree(), format}).ok());
}

// Loads `path` and checks that it holds the sorted tree.
void expectSorted(const std::string& path, PlistFormat format = PlistFormat::Binary) {
  PlistDocument document;
  ASSERT_TRUE(loadPlistFile(path, &document).ok()) << path;
  EXPECT_EQ(document.format, format);
  EXPECT_EQ(childTitles(document.root), (Titles{"A", "a", "b"}));
  const PlistValue& a = (*arrayValue(document.root.find("Children")))[0];
  EXPECT_EQ(childTitles(a), (Titles{"Item 2", "Item 10"}));
}

TEST(TidymarkCli, SortsThePathItIsGiven) {
  TempDir dir;
  const std::string path = dir.file("Bookmarks.plist");
  writeBookmarks(path);
  ProgramResult result = tidymark({path});
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(result.out, progress(path));
  EXPECT_EQ(result.err, "");
  expectSorted(path);

  // A second run changes nothing, to the byte.
  const std::string once = readFile(path);
  ASSERT_EQ(tidymark({path}).status, 0);
  EXPECT_EQ(readFile(path), once);
}

TEST(TidymarkCli, KeepsAnXmlFileXml) {
  TempDir dir;
  const std::string path = dir.file("Bookmarks.plist");
  writeBookmarks(path, PlistFormat::Xml);
  ProgramResult result = tidymark({"foldersFirst", path});
  EXPECT_EQ(result.out, kNotice + progress(path));
  EXPECT_EQ(result.status, 0);
  expectSorted(path, PlistFormat::Xml);
  EXPECT_TRUE(readFile(path).starts_with("<?xml"));
}

TEST(TidymarkCli, TakesTheKeywordOnlyAsTheFirstArgumentInAnyCase) {
  TempDir dir;
  const std::string home = dir.file("home");
  const std::string defaultPath = home + "/Library/Safari/Bookmarks.plist";
  ASSERT_EQ(::mkdir(home.c_str(), 0700), 0);
  ASSERT_EQ(::mkdir((home + "/Library").c_str(), 0700), 0);
  ASSERT_EQ(::mkdir((home + "/Library/Safari").c_str(), 0700), 0);
  const std::string other = dir.file("other.plist");
  ProgramOptions options;
  options.env = {"HOME=" + home};

  struct Case {
    std::vector<std::string> args;
    std::string expectedOut;
    std::string sortedPath;
  };
  const Case cases[] = {
      {{}, progress(defaultPath), defaultPath},
      {{"foldersFirst"}, kNotice + progress(defaultPath), defaultPath},
      {{"foldersfirst"}, kNotice + progress(defaultPath), defaultPath},
      {{"FOLDERSFIRST"}, kNotice + progress(defaultPath), defaultPath},
      {{"FoldersFirst", other}, kNotice + progress(other), other},
      {{other}, progress(other), other},
      {{other, "foldersFirst"}, progress(other), other},  // the keyword counts only first
      {{other, "ignored.plist", "extra"}, progress(other), other},
  };
  for (const Case& c : cases) {
    writeBookmarks(defaultPath);
    writeBookmarks(other);
    const std::string untouched = c.sortedPath == other ? defaultPath : other;
    const std::string before = readFile(untouched);
    ProgramResult result = tidymark(c.args, options);
    const std::string label = c.args.empty() ? "(no arguments)" : c.args[0];
    EXPECT_EQ(result.status, 0) << label;
    EXPECT_EQ(result.out, c.expectedOut) << label;
    expectSorted(c.sortedPath);
    EXPECT_EQ(readFile(untouched), before) << label;
  }
  EXPECT_FALSE(testing::fileExists(dir.file("ignored.plist")));
}

TEST(TidymarkCli, JoinsTheHomeDirectoryWithOneSeparator) {
  TempDir dir;
  ProgramOptions options;
  options.env = {"HOME=" + dir.path() + "//"};
  ProgramResult result = tidymark({}, options);
  const std::string expected = dir.path() + "/Library/Safari/Bookmarks.plist";
  EXPECT_EQ(result.out, progress(expected, " failed"));
  EXPECT_EQ(result.status, 1);

  // Without HOME, the user database names the home directory.
  options.env.clear();
  options.unset = {"HOME"};
  result = tidymark({}, options);
  EXPECT_TRUE(result.out.starts_with("sorting bookmarks at /")) << result.out;
  EXPECT_NE(result.out.find("/Library/Safari/Bookmarks.plist ..."), std::string::npos);

  // A user the database does not know, without HOME, has no default path: said, nothing done.
  if (::geteuid() == 0) {
    result = testing::runProgram(
        {"setpriv", "--reuid=54321", "--regid=54321", "--clear-groups", TIDYMARK_BINARY}, options);
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.err,
              "tidymark: cannot find the home directory: HOME is not set and the user database "
              "has none\n");
  }
}

TEST(TidymarkCli, UsesPathsExactlyAsWritten) {
  TempDir dir;
  ProgramOptions options;
  options.workingDirectory = dir.path();
  // A relative path, and a file named like the keyword, reached through a directory part or as
  // the argument after the keyword.
  const std::vector<std::vector<std::string>> argumentLists = {
      {"Bookmarks.plist"}, {"./foldersFirst"}, {"foldersFirst", "foldersFirst"}};
  for (const std::vector<std::string>& args : argumentLists) {
    const std::string& path = args.back();
    writeBookmarks(dir.file(path));
    ProgramResult result = tidymark(args, options);
    EXPECT_EQ(result.status, 0) << path;
    EXPECT_EQ(result.out, (args.size() == 2 ? kNotice : "") + progress(path)) << path;
    expectSorted(dir.file(path));
  }
  // A tilde is a character like any other.
  ProgramResult tilde = tidymark({"~/Bookmarks.plist"}, options);
  EXPECT_EQ(tilde.out, progress("~/Bookmarks.plist", " failed"));
  EXPECT_EQ(tilde.status, 1);
}

TEST(TidymarkCli, ShowsAndUsesPathsThatAreNotAsciiByteForByte) {
  TempDir dir;
  for (const std::string name : {"Lesezeichen-Ü.plist", "bad-\xff\xfe.plist"}) {
    const std::string path = dir.file(name);
    writeBookmarks(path);
    ProgramResult result = tidymark({path});
    EXPECT_EQ(result.status, 0) << name;
    EXPECT_EQ(result.out, progress(path)) << name;
    expectSorted(path);
  }
}

// A run that cannot do its job says so: " failed", one line on standard error, status 1, and
// the file exactly as it was.
void expectFailure(const std::string& path, const std::string& reason,
                   const ProgramOptions& options = {}) {
  const bool existed = testing::fileExists(path);
  const std::string before = existed ? readFile(path) : "";
  ProgramResult result = tidymark({path}, options);
  EXPECT_EQ(result.status, 1) << path;
  EXPECT_EQ(result.out, progress(path, " failed"));
  EXPECT_EQ(result.err, "tidymark: " + path + ": " + reason + "\n");
  if (existed) {
    EXPECT_EQ(readFile(path), before);
  } else {
    EXPECT_FALSE(testing::fileExists(path)) << "a missing file was created";
  }
}

TEST(TidymarkCli, ReportsFilesItCannotSort) {
  TempDir dir;
  expectFailure(dir.file("missing.plist"), "cannot open: No such file or directory");

  testing::writeFile(dir.file("notes.txt"), "these are not bookmarks\n");
  expectFailure(dir.file("notes.txt"), "not a property list: line 1: syntax error");

  testing::writeFile(dir.file("empty.plist"), "");
  expectFailure(dir.file("empty.plist"), "not a property list: the file is empty");

  ASSERT_TRUE(savePlistFile(dir.file("array.plist"),
                            PlistDocument{PlistValue::array({bookmark("b"), bookmark("a")}),
                                          PlistFormat::Binary})
                  .ok());
  expectFailure(dir.file("array.plist"),
                "the property list holds an array, not a dictionary, at its top");

  ASSERT_EQ(::mkdir(dir.file("folder.plist").c_str(), 0700), 0);
  expectFailure(dir.file("folder.plist"), "is a directory, not a file");
}

// Runs tidymark as the unprivileged user "nobody" when the tests run as root, since root may
// write anywhere.
ProgramResult tidymarkAsOwner(const std::string& path) {
  if (::geteuid() != 0) return tidymark({path});
  return testing::runProgram(
      {"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", TIDYMARK_BINARY, path});
}

TEST(TidymarkCli, ReportsFilesItCannotWrite) {
  TempDir dir;
  ASSERT_EQ(::chmod(dir.path().c_str(), 0755), 0);
  const uid_t owner = ::geteuid() == 0 ? 65534 : ::geteuid();
  const gid_t group = ::geteuid() == 0 ? 65534 : ::getegid();

  // A file its owner made read-only.
  const std::string readOnly = dir.file("read-only.plist");
  writeBookmarks(readOnly);
  ASSERT_EQ(::chown(readOnly.c_str(), owner, group), 0);
  ASSERT_EQ(::chmod(readOnly.c_str(), 0444), 0);
  std::string before = readFile(readOnly);
  ProgramResult result = tidymarkAsOwner(readOnly);
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(result.out, progress(readOnly, " failed"));
  EXPECT_EQ(result.err, "tidymark: " + readOnly + ": cannot write: Permission denied\n");
  EXPECT_EQ(readFile(readOnly), before);
  EXPECT_EQ(testing::directoryEntries(dir.path()), Titles{"read-only.plist"});

  // A writable file in a directory where no new file can be made.
  const std::string lockedDir = dir.file("locked");
  ASSERT_EQ(::mkdir(lockedDir.c_str(), 0755), 0);
  const std::string inLocked = lockedDir + "/Bookmarks.plist";
  writeBookmarks(inLocked);
  ASSERT_EQ(::chown(inLocked.c_str(), owner, group), 0);
  ASSERT_EQ(::chmod(lockedDir.c_str(), 0555), 0);
  before = readFile(inLocked);
  result = tidymarkAsOwner(inLocked);
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(result.out, progress(inLocked, " failed"));
  EXPECT_EQ(result.err, "tidymark: " + inLocked + ": cannot create a temporary file in " +
                            lockedDir + "/: Permission denied\n");
  EXPECT_EQ(readFile(inLocked), before);
  EXPECT_EQ(testing::directoryEntries(lockedDir), Titles{"Bookmarks.plist"});
}

const std::string kBrowserNotice = "safari was running, so i'm quitting it temporarily\n";

// These start a stand-in browser: a process of this user named like it.
class TidymarkWithBrowser : public testing::FakeAppTest {};

TEST_F(TidymarkWithBrowser, QuitsTheBrowserAndLoadsTheFileOnlyAfterItHasGone) {
  TempDir dir;
  const std::string path = dir.file("Bookmarks.plist");
  writeBookmarks(path);
  // Like the real one, the stand-in writes its own copy of the bookmarks as it quits; the sort
  // must start from that copy, not from what was on disk before.
  const std::string browserCopy = dir.file("copy.plist");
  ASSERT_TRUE(savePlistFile(browserCopy, PlistDocument{folder("", {bookmark("z"), bookmark("y")}),
                                                       PlistFormat::Binary})
                  .ok());
  testing::FakeApp safari("Safari", "saves", -1, {browserCopy, path});
  ASSERT_TRUE(safari.ready());

  ProgramResult result = tidymark({path});
  EXPECT_EQ(result.status, 0) << result.err;
  EXPECT_EQ(result.out, kBrowserNotice + progress(path));
  EXPECT_FALSE(safari.alive());
  PlistDocument document;
  ASSERT_TRUE(loadPlistFile(path, &document).ok());
  EXPECT_EQ(childTitles(document.root), (Titles{"y", "z"}));
}

TEST_F(TidymarkWithBrowser, PrintsItsLinesInOrderWithTheKeyword) {
  TempDir dir;
  const std::string path = dir.file("Bookmarks.plist");
  writeBookmarks(path);
  testing::FakeApp safari("Safari");
  ASSERT_TRUE(safari.ready());
  ProgramResult result = tidymark({"foldersFirst", path});
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(result.out, kNotice + kBrowserNotice + progress(path));
  EXPECT_EQ(safari.reap(), SIGTERM);
  expectSorted(path);
}

TEST_F(TidymarkWithBrowser, LeavesTheFileAloneWhenTheBrowserWillNotQuit) {
  TempDir dir;
  const std::string path = dir.file("Bookmarks.plist");
  writeBookmarks(path);
  const std::string before = readFile(path);
  testing::FakeApp safari("Safari", "ignores");
  ASSERT_TRUE(safari.ready());
  ProgramResult result = tidymark({path});  // waits the full ten seconds
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(result.out, kBrowserNotice);
  EXPECT_EQ(result.err, "tidymark: Safari is still running; " + path + " left unchanged\n");
  EXPECT_EQ(readFile(path), before);
  EXPECT_TRUE(safari.alive());
}

TEST_F(TidymarkWithBrowser, IgnoresApplicationsWithOtherNames) {
  TempDir dir;
  const std::string path = dir.file("Bookmarks.plist");
  writeBookmarks(path);
  testing::FakeApp lower("safari");
  testing::FakeApp beta("Safari Beta");
  ASSERT_TRUE(lower.ready() && beta.ready());
  ProgramResult result = tidymark({path});
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(result.out, progress(path));
  EXPECT_TRUE(lower.alive());
  EXPECT_TRUE(beta.alive());
}

TEST(TidymarkOutline, PrintsTheTreeAndReportsWhatItCannotRead) {
  TempDir dir;
  const std::string path = dir.file("Bookmarks.plist");
  writeBookmarks(path);
  ProgramResult result = testing::runProgram({TIDYMARK_OUTLINE_BINARY, path});
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(result.out, "b\nA/\n  Item 10\n  Item 2\na\n");

  result = testing::runProgram({TIDYMARK_OUTLINE_BINARY, dir.file("missing")});
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(result.err, "tidymark-outline: " + dir.file("missing") +
                            ": cannot open: No such file or directory\n");
}

}  // namespace
}  // namespace tidymark
