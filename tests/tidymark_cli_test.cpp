// End-to-end tests of the built tidymark program: arguments, output, exit status and the file.

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <tuple>

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
const std::string kBrowserNotice = "safari was running, so i'm quitting it temporarily\n";

ProgramResult tidymark(const std::vector<std::string>& args, ProgramOptions options = {}) {
  std::vector<std::string> argv = {TIDYMARK_BINARY};
  argv.insert(argv.end(), args.begin(), args.end());
  return testing::runProgram(argv, options);
}

std::string progress(const std::string& path, const char* ending = " done",
                     const char* doing = "sorting") {
  return std::string(doing) + " bookmarks at " + path + " ..." + ending + "\n";
}

// An unsorted file: bookmark b, folder A holding "Item 10" and "Item 2", bookmark a.
void writeBookmarks(const std::string& path, PlistFormat format = PlistFormat::Binary) {
  const PlistValue tree = folder(
      "", {bookmark("b"), folder("A", {bookmark("Item 10"), bookmark("Item 2")}), bookmark("a")});
  ASSERT_TRUE(savePlistFile(path, PlistDocument{tree, format}).ok());
}

void expectSorted(const std::string& path, PlistFormat format = PlistFormat::Binary) {
  PlistDocument document;
  ASSERT_TRUE(loadPlistFile(path, &document).ok()) << path;
  EXPECT_EQ(document.format, format);
  EXPECT_EQ(childTitles(document.root), (Titles{"A", "a", "b"}));
  EXPECT_EQ(childTitles((*arrayValue(document.root.find("Children")))[0]),
            (Titles{"Item 2", "Item 10"}));
}

TEST(TidymarkCli, SortsEitherFormatInPlaceAndASecondRunChangesNothing) {
  TempDir dir;
  for (PlistFormat format : {PlistFormat::Binary, PlistFormat::Xml}) {
    const std::string path = dir.file(format == PlistFormat::Xml ? "x.plist" : "b.plist");
    writeBookmarks(path, format);
    ProgramResult result = tidymark({path});
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.out, progress(path));
    EXPECT_EQ(result.err, "");
    expectSorted(path, format);
    const std::string once = readFile(path);
    ASSERT_EQ(tidymark({path}).status, 0);
    EXPECT_EQ(readFile(path), once);
  }
}

TEST(TidymarkCli, TakesTheKeywordOnlyAsTheFirstArgumentInAnyCase) {
  TempDir dir;
  const std::string home = dir.file("home");
  const std::string defaultPath = home + "/Library/Safari/Bookmarks.plist";
  std::filesystem::create_directories(home + "/Library/Safari");
  const std::string other = dir.file("other.plist");
  ProgramOptions options;
  options.env = {"HOME=" + home + "/"};  // joined with one separator all the same
  const std::tuple<std::vector<std::string>, std::string, std::string> cases[] = {
      {{}, progress(defaultPath), defaultPath},
      {{"foldersfirst"}, kNotice + progress(defaultPath), defaultPath},
      {{"FOLDERSFIRST", other}, kNotice + progress(other), other},
      {{other, "foldersFirst"}, progress(other), other},  // the keyword counts only first
      {{other, "ignored.plist", "extra"}, progress(other), other},
  };
  for (const auto& [args, out, sorted] : cases) {
    writeBookmarks(defaultPath);
    writeBookmarks(other);
    const std::string untouched = sorted == other ? defaultPath : other;
    const std::string before = readFile(untouched);
    ProgramResult result = tidymark(args, options);
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.out, out);
    expectSorted(sorted);
    EXPECT_EQ(readFile(untouched), before);
  }
  EXPECT_FALSE(testing::fileExists(dir.file("ignored.plist")));

  // Without HOME, the user database names the home directory; a user it does not know has no
  // default path, which is said.
  options.env.clear();
  options.unset = {"HOME"};
  EXPECT_TRUE(tidymark({}, options).out.starts_with("sorting bookmarks at /"));
  if (::geteuid() == 0) {
    ProgramResult result = testing::runProgram(
        {"setpriv", "--reuid=54321", "--regid=54321", "--clear-groups", TIDYMARK_BINARY}, options);
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.err,
              "tidymark: cannot find the home directory: HOME is not set and the user database "
              "has none\n");
  }
}

TEST(TidymarkCli, UsesPathsExactlyAsWrittenAndShowsThemPrintably) {
  TempDir dir;
  ProgramOptions options;
  options.workingDirectory = dir.path();
  // Relative paths, a file named like the keyword (reached through a directory part or after
  // the keyword), names like options (after "--", or "-" alone), and names that are not ASCII,
  // not even UTF-8, or hold a control character; the last two are shown escaped.
  const std::pair<std::vector<std::string>, std::string> cases[] = {
      {{"Bookmarks.plist"}, "Bookmarks.plist"},
      {{"./foldersFirst"}, "./foldersFirst"},
      {{"foldersFirst", "foldersFirst"}, "foldersFirst"},
      {{"--", "-x.plist"}, "-x.plist"},
      {{"-"}, "-"},
      {{"Lesezeichen-Ü.plist"}, "Lesezeichen-Ü.plist"},
      {{"bad-\xff\xfe.plist"}, "bad-\\xFF\\xFE.plist"},
      {{"two\nlines\x1b[2J.plist"}, "two\\nlines\\x1B[2J.plist"},
  };
  for (const auto& [args, shown] : cases) {
    const std::string& path = args.back();
    writeBookmarks(dir.file(path));
    ProgramResult result = tidymark(args, options);
    EXPECT_EQ(result.status, 0) << shown;
    EXPECT_EQ(result.out, (args.front() == "foldersFirst" ? kNotice : "") + progress(shown));
    expectSorted(dir.file(path));
  }
  // A tilde is a character like any other.
  EXPECT_EQ(tidymark({"~/Bookmarks.plist"}, options).out, progress("~/Bookmarks.plist", " failed"));
}

// A run that cannot do its job says so: " failed", one line on standard error, status 1, the
// file exactly as it was (or still missing) and nothing left beside it. When the tests run as
// root, the run is made as the unprivileged user 65534, since root may write anywhere.
void expectFailure(const std::string& path, const std::string& reason, bool asOwner = false) {
  const bool existed = testing::fileExists(path);
  const std::string before = existed ? readFile(path) : "";
  const std::string directory = path.substr(0, path.rfind('/'));
  const auto entries = testing::directoryEntries(directory);
  const ProgramResult result =
      asOwner && ::geteuid() == 0
          ? testing::runProgram({"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups",
                                 TIDYMARK_BINARY, path})
          : tidymark({path});
  EXPECT_EQ(result.status, 1) << path;
  EXPECT_EQ(result.out, progress(path, " failed"));
  EXPECT_EQ(result.err, "tidymark: " + path + ": " + reason + "\n");
  EXPECT_EQ(existed ? readFile(path) : "", before);
  EXPECT_EQ(testing::directoryEntries(directory), entries) << "a file was created or left";
}

TEST(TidymarkCli, ReportsFilesItCannotSort) {
  TempDir dir;
  expectFailure(dir.file("missing.plist"), "cannot open: No such file or directory");
  testing::writeFile(dir.file("notes.txt"), "these are not bookmarks\n");
  expectFailure(dir.file("notes.txt"), "not a property list: line 1: syntax error");
  ASSERT_TRUE(savePlistFile(dir.file("array.plist"),
                            PlistDocument{PlistValue::array({bookmark("b")}), PlistFormat::Binary})
                  .ok());
  expectFailure(dir.file("array.plist"),
                "the property list holds an array, not a dictionary, at its top");
}

TEST(TidymarkCli, ReportsFilesItCannotWrite) {
  TempDir dir;
  ASSERT_EQ(::chmod(dir.path().c_str(), 0755), 0);
  const uid_t owner = ::geteuid() == 0 ? 65534 : ::geteuid();
  const gid_t group = ::geteuid() == 0 ? 65534 : ::getegid();
  // A file its owner made read-only, and a writable file where no new file can be made.
  const std::string readOnly = dir.file("read-only.plist");
  writeBookmarks(readOnly);
  ASSERT_EQ(::chown(readOnly.c_str(), owner, group), 0);
  ASSERT_EQ(::chmod(readOnly.c_str(), 0444), 0);
  expectFailure(readOnly, "cannot write: Permission denied", true);
  expectFailure(readOnly, "cannot write: Permission denied");  // and as root, who could

  const std::string locked = dir.file("locked");
  ASSERT_EQ(::mkdir(locked.c_str(), 0755), 0);
  writeBookmarks(locked + "/Bookmarks.plist");
  ASSERT_EQ(::chown((locked + "/Bookmarks.plist").c_str(), owner, group), 0);
  ASSERT_EQ(::chmod(locked.c_str(), 0555), 0);
  expectFailure(locked + "/Bookmarks.plist",
                "cannot create a temporary file in " + locked + "/: Permission denied", true);
}

// Output that cannot be written is said and fails the run; the file is sorted all the same.
TEST(TidymarkCli, SaysWhenItsOutputCannotBeWritten) {
  TempDir dir;
  const std::string path = dir.file("Bookmarks.plist");
  const std::pair<testing::Output, std::string> cases[] = {
      {testing::Output::Full, "No space left on device"},
      {testing::Output::Closed, "Broken pipe"},
  };
  for (const auto& [output, reason] : cases) {
    writeBookmarks(path);
    ProgramOptions options;
    options.output = output;
    const ProgramResult result = tidymark({path}, options);
    EXPECT_EQ(result.status, 1) << reason;
    EXPECT_EQ(result.err,
              "tidymark: write error: " + reason + "; the file was sorted and replaced\n");
    expectSorted(path);
  }
}

// Without a readable process table nobody can tell whether the browser runs: nothing is done.
TEST(TidymarkCli, RefusesToRunWithoutAProcessTable) {
  if (::geteuid() != 0) GTEST_SKIP() << "mounting over /proc in a mount namespace needs root";
#ifdef TIDYMARK_SANITIZED
  GTEST_SKIP() << "the sanitizers' runtime itself needs /proc";
#endif
  TempDir dir;
  const std::string path = dir.file("Bookmarks.plist");
  writeBookmarks(path);
  const std::string before = readFile(path);
  const std::vector<std::string> emptyProc = {
      "unshare", "--mount", "sh", "-c", "mount -t tmpfs none /proc && exec \"$@\"", "sh"};
  std::vector<std::string> argv = emptyProc;
  argv.push_back("true");
  if (const ProgramResult probe = testing::runProgram(argv); probe.status != 0) {
    GTEST_SKIP() << "no mount namespace with an empty /proc here: " << probe.err;
  }
  argv.back() = TIDYMARK_BINARY;
  argv.push_back(path);
  const ProgramResult result = testing::runProgram(argv);
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(result.out, "");
  EXPECT_EQ(result.err,
            "tidymark: cannot tell whether Safari is running (/proc lists no "
            "processes); " +
                path + " left unchanged\n");
  EXPECT_EQ(readFile(path), before);
}

// These start a stand-in browser: a process of this user named like it.
class TidymarkWithBrowser : public testing::FakeAppTest {};

TEST_F(TidymarkWithBrowser, QuitsTheBrowserAndLoadsTheFileOnlyAfterItHasGone) {
  TempDir dir;
  const std::string path = dir.file("Bookmarks.plist");
  writeBookmarks(path);
  // Like the real one, the stand-in writes its own copy of the bookmarks as it quits; the sort
  // must start from that copy, not from what was on disk before.
  const std::string copy = dir.file("copy.plist");
  ASSERT_TRUE(
      savePlistFile(copy, {folder("", {bookmark("z"), bookmark("y")}), PlistFormat::Binary}).ok());
  testing::FakeApp safari("Safari", "saves", -1, {copy, path});
  testing::FakeApp lower("safari");
  testing::FakeApp beta("Safari Beta");
  ASSERT_TRUE(safari.ready() && lower.ready() && beta.ready());

  ProgramResult result = tidymark({"foldersFirst", path});
  EXPECT_EQ(result.status, 0) << result.err;
  EXPECT_EQ(result.out, kNotice + kBrowserNotice + progress(path));
  EXPECT_FALSE(safari.alive());
  EXPECT_TRUE(lower.alive() && beta.alive()) << "other names are not the browser";
  PlistDocument document;
  ASSERT_TRUE(loadPlistFile(path, &document).ok());
  EXPECT_EQ(childTitles(document.root), (Titles{"y", "z"}));

  // Without a browser, nothing about one is said.
  safari.reap();
  writeBookmarks(path);
  EXPECT_EQ(tidymark({path}).out, progress(path));
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

// The usage text as the README shows it, and the version as the man page's title line gives it:
// the program must say the same.
std::string readmeUsage() {
  const std::string readme = readFile(TIDYMARK_SOURCE_DIR "/README.md");
  const std::string opening = "`tidymark --help` says:\n\n```\n";
  const std::size_t start = readme.find(opening);
  if (start == std::string::npos) return "(no usage text in the README)";
  const std::size_t from = start + opening.size();
  return readme.substr(from, readme.find("```", from) - from);
}

std::string manPageVersion() {
  const std::string page = readFile(TIDYMARK_SOURCE_DIR "/docs/tidymark.1");
  const std::size_t at = page.find("\"tidymark ");
  return at == std::string::npos ? "(none)" : page.substr(at + 1, page.find('"', at + 1) - at - 1);
}

// The README shows --help word for word (checked below, against the program); the man page
// must name every option, and render outside a UTF-8 locale, so it holds only ASCII.
TEST(TidymarkDocs, TheManPageIsAsciiAndDocumentsEveryOption) {
  const std::string page = readFile(TIDYMARK_SOURCE_DIR "/docs/tidymark.1");
  for (std::size_t i = 0; i < page.size(); ++i) {
    ASSERT_LT(static_cast<unsigned char>(page[i]), 0x80)
        << "byte " << i << ": write a roff escape such as \\[u00E9] instead";
  }
  for (const char* option : {"-n", "--dry-run", "-h", "--help", "--version", "--"}) {
    std::string inRoff;  // a hyphen in roff source is "\-"
    for (const char* c = option; *c; ++c)
      inRoff += *c == '-' ? "\\-" : std::string(1, *c);
    EXPECT_TRUE(page.find(inRoff + " ") != std::string::npos ||
                page.find(inRoff + "\n") != std::string::npos)
        << option;
  }
}

// What tidymark does while a stand-in browser runs, when it is not to write the file: the
// options, a dry run and paths that name no readable file. The browser must be left running
// and the file unchanged.
TEST_F(TidymarkWithBrowser, LeavesTheBrowserAloneWhenNothingIsToBeWritten) {
  TempDir dir;
  const std::string path = dir.file("Bookmarks.plist");
  writeBookmarks(path);
  const std::string before = readFile(path);
  const std::string missing = dir.file("Bookmark.plist");
  const std::string preview =
      "(top level): 3 of 3 entries would move\n"
      "A: 2 of 2 entries would move\n"
      "2 folders would change; nothing was written\n";
  const std::string cannotOpen = ": cannot open: No such file or directory\n";
  struct Case {
    std::vector<std::string> args;
    int status;
    std::string out;
    std::string err = "";
  };
  const Case cases[] = {
      {{"--help", path}, 0, readmeUsage()},
      {{"-h"}, 0, readmeUsage()},
      {{"--version"}, 0, manPageVersion() + "\n"},
      {{"--bogus\x1b]0;x\a", path},
       2,
       "",
       "tidymark: unknown option '--bogus\\x1B]0;x\\x07' (see tidymark --help)\n"},
      {{"-n", path}, 0, progress(path, " done", "checking") + preview},
      {{"--dry-run", "foldersFirst", path},
       0,
       kNotice + progress(path, " done", "checking") + preview},
      {{"-n", missing},
       1,
       progress(missing, " failed", "checking"),
       "tidymark: " + missing + cannotOpen},
      {{missing}, 1, progress(missing, " failed"), "tidymark: " + missing + cannotOpen},
      {{"foldersFirst", dir.path()},
       1,
       kNotice + progress(dir.path(), " failed"),
       "tidymark: " + dir.path() + ": is a directory, not a file\n"},
      {{dir.file("\x1b[2J")},
       1,
       progress(dir.path() + "/\\x1B[2J", " failed"),
       "tidymark: " + dir.path() + "/\\x1B[2J" + cannotOpen},
  };
  testing::FakeApp safari("Safari");
  ASSERT_TRUE(safari.ready());
  for (const Case& c : cases) {
    const ProgramResult result = tidymark(c.args);
    EXPECT_EQ(result.status, c.status) << c.args.front();
    EXPECT_EQ(result.out, c.out) << c.args.front();
    EXPECT_EQ(result.err, c.err) << c.args.front();
    EXPECT_EQ(readFile(path), before) << c.args.front();
    ASSERT_TRUE(safari.alive()) << c.args.front() << " asked the browser to quit";
  }
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

// 100,000 folders, each inside the one before: the outline must stream, and stop indenting at
// the limit, or it would make gigabytes of spaces. It runs under ceilings for memory and for
// what it may write, so that a regression fails at once.
TEST(TidymarkOutline, PrintsAHugelyNestedFileInAFewTimesItsSize) {
  TempDir dir;
  constexpr std::size_t kDepth = 100000;
  std::string xml = "<plist version=\"1.0\">";
  for (std::size_t i = 0; i < kDepth; ++i) {
    xml +=
        "<dict><key>WebBookmarkType</key><string>WebBookmarkTypeList</string>"
        "<key>Title</key><string>f</string><key>Children</key><array>";
  }
  for (std::size_t i = 0; i < kDepth; ++i)
    xml += "</array></dict>";
  xml += "</plist>";
  testing::writeFile(dir.file("deep.plist"), xml);
  ProgramOptions options;
  options.timeoutSeconds = 120;
#ifdef TIDYMARK_SANITIZED
  // The sanitizers reserve terabytes of address space and keep freed memory aside: only the
  // ceiling on what may be written holds there.
  const bool measured = false;
  const char* const memoryCeiling = "--as=unlimited";
#else
  const bool measured = true;
  const char* const memoryCeiling = "--as=2147483648";
#endif
  const ProgramResult result =
      testing::runProgram({TIDYMARK_PEAK_MEMORY, dir.file("peak"), "prlimit", memoryCeiling,
                           "--fsize=67108864", "sh", "-c", "exec \"$0\" \"$1\" >\"$2\"",
                           TIDYMARK_OUTLINE_BINARY, dir.file("deep.plist"), dir.file("outline")},
                          options);
  ASSERT_EQ(result.status, 0) << result.err;
  const std::string outline = readFile(dir.file("outline"));
  EXPECT_EQ(std::count(outline.begin(), outline.end(), '\n'), kDepth - 1);  // all but the top
  EXPECT_TRUE(outline.ends_with("\n" + std::string(64, ' ') + "f/\n"));
  const long peakKb = std::stol(readFile(dir.file("peak")));
  if (measured) {
    EXPECT_LT(peakKb * 1024, 8 * static_cast<long>(xml.size())) << peakKb << " kB";
  }
}

}  // namespace
}  // namespace tidymark
