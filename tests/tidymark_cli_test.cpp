// End-to-end tests of the built tidymark and tidymark-outline: arguments, output, exit status and
// the files.
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <optional>

#include <gtest/gtest.h>

#include "platform/plist_file.h"
#include "tests/fake_app.h"

namespace tidymark {
namespace {

using namespace testing;
using Strings = std::vector<std::string>;

const std::string kNotice = "folders come first in sort order\n";
const std::string kBrowserNotice = "safari was running, so i'm quitting it temporarily\n";

ProgramResult tidymark(Strings args, const ProgramOptions& options = {}, int uid = -1) {
  args.insert(args.begin(), TIDYMARK_BINARY);
  const std::string id = std::to_string(uid);  // root runs as `uid`, since root may write anywhere
  if (uid >= 0 && ::geteuid() == 0)
    args.insert(args.begin(), {"setpriv", "--reuid=" + id, "--regid=" + id, "--clear-groups"});
  return runProgram(args, options);
}

std::string progress(const std::string& path, const std::string& ending = " done",
                     const std::string& doing = "sorting") {
  return doing + " bookmarks at " + path + " ..." + ending + "\n";
}

// An unsorted file: bookmark b, folder A holding "Item 10" and "Item 2", bookmark a.
void writeBookmarks(const std::string& path, PlistFormat format = PlistFormat::Binary) {
  const PlistValue tree = folder(
      "", {bookmark("b"), folder("A", {bookmark("Item 10"), bookmark("Item 2")}), bookmark("a")});
  ASSERT_TRUE(savePlistFile(path, {tree, format}).ok());
}

void expectSorted(const std::string& path, PlistFormat format = PlistFormat::Binary) {
  EXPECT_TRUE(readFile(path).starts_with(format == PlistFormat::Xml ? "<?xml" : "bplist00"))
      << path;
  EXPECT_EQ(runProgram({TIDYMARK_OUTLINE_BINARY, path}).out, "A/\n  Item 2\n  Item 10\na\nb\n");
}

// Either format is sorted in place, and a second run changes nothing. The keyword counts only as
// the first argument, in any case; without a path the file is found under HOME. Paths are used
// exactly as written: relative ones, a file named like the keyword (through a directory part or
// after the keyword), names like options (after "--", or "-" alone), names that are not ASCII,
// not even UTF-8, or hold a control character (these two are shown escaped).
TEST(TidymarkCli, SortsTheFileItIsGivenAndASecondRunChangesNothing) {
  TempDir dir;
  const std::string home = dir.file("home"), defaultPath = home + "/Library/Safari/Bookmarks.plist";
  std::filesystem::create_directories(home + "/Library/Safari");
  const struct {
    Strings args;
    std::string shown;
    bool notice = false;
    std::string file = "";  // "": the shown path
    PlistFormat format = PlistFormat::Binary;
  } cases[] = {
      {{}, defaultPath},
      {{"foldersfirst"}, defaultPath, true},
      {{"FOLDERSFIRST", "other.plist"}, "other.plist", true},
      {{"other.plist", "foldersFirst"}, "other.plist"},
      {{"other.plist", "ignored.plist", "extra"}, "other.plist"},
      {{dir.file("x.plist")}, dir.file("x.plist"), false, "", PlistFormat::Xml},
      {{"./foldersFirst"}, "./foldersFirst"},
      {{"foldersFirst", "foldersFirst"}, "foldersFirst", true},
      {{"--", "-x.plist"}, "-x.plist"},
      {{"-"}, "-"},
      {{"Lesezeichen-Ü.plist"}, "Lesezeichen-Ü.plist"},
      {{"bad-\xff\xfe.plist"}, "bad-\\xFF\\xFE.plist", false, "bad-\xff\xfe.plist"},
      {{"two\nlines\x1b[2J.plist"}, "two\\nlines\\x1B[2J.plist", false, "two\nlines\x1b[2J.plist"},
  };
  const ProgramOptions options = {.workingDirectory = dir.path(), .env = {"HOME=" + home + "/"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.shown);
    const std::string file = c.file.empty() ? c.shown : c.file;
    const std::string path = file.starts_with("/") ? file : dir.file(file);
    writeBookmarks(defaultPath);
    const std::string before = readFile(defaultPath);
    writeBookmarks(path, c.format);
    for (int run = 0; run < 2; ++run) {
      const ProgramResult result = tidymark(c.args, options);
      EXPECT_EQ(result.status, 0);
      EXPECT_EQ(result.out, (c.notice ? kNotice : "") + progress(c.shown));
      EXPECT_EQ(result.err, "");
      expectSorted(path, c.format);
    }
    EXPECT_TRUE(path == defaultPath || readFile(defaultPath) == before);
  }
  EXPECT_FALSE(fileExists(dir.file("ignored.plist")));
  // A tilde is a character like any other.
  EXPECT_EQ(tidymark({"~/Bookmarks.plist"}, options).out, progress("~/Bookmarks.plist", " failed"));
}

// Without HOME the user database names the home directory; a user it does not know has none.
TEST(TidymarkCli, FindsTheHomeDirectoryWithoutHome) {
  EXPECT_TRUE(tidymark({}, {.unset = {"HOME"}}).out.starts_with("sorting bookmarks at /"));
  if (::geteuid() != 0) GTEST_SKIP() << "running as an unknown user needs root";
  const ProgramResult result = tidymark({}, {.unset = {"HOME"}}, 54321);
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(result.err,
            "tidymark: cannot find the home directory: HOME is not set and the user database "
            "has none\n");
}

// Output that cannot be written is said and fails the run; the file is sorted all the same.
TEST(TidymarkCli, SaysWhenItsOutputCannotBeWritten) {
  TempDir dir;
  const std::string path = dir.file("Bookmarks.plist");
  for (const auto& [output, reason] : {std::pair{Output::Full, "No space left on device"},
                                       std::pair{Output::Closed, "Broken pipe"}}) {
    writeBookmarks(path);
    const ProgramResult result = tidymark({path}, {.output = output});
    EXPECT_EQ(result.status, 1) << reason;
    EXPECT_EQ(result.err, "tidymark: write error: " + std::string(reason) +
                              "; the file was sorted and replaced\n");
    expectSorted(path);
  }
}

// These start a stand-in browser: a process of this user named like it.
class TidymarkWithBrowser : public FakeAppTest {};

// The browser is quit, and the sort starts from the copy it writes as it quits (like the real
// one), not from what was on disk before; other names are not the browser.
TEST_F(TidymarkWithBrowser, QuitsTheBrowserAndLoadsTheFileOnlyAfterItHasGone) {
  TempDir dir;
  const std::string path = dir.file("Bookmarks.plist"), copy = dir.file("copy.plist");
  writeBookmarks(path);
  ASSERT_TRUE(savePlistFile(copy, {folder("", {bookmark("z"), bookmark("y")}), {}}).ok());
  FakeApp safari("Safari", "saves", -1, {copy, path}), lower("safari"), beta("Safari Beta");
  ASSERT_TRUE(safari.ready() && lower.ready() && beta.ready());
  const ProgramResult result = tidymark({"foldersFirst", path});
  EXPECT_EQ(result.status, 0) << result.err;
  EXPECT_EQ(result.out, kNotice + kBrowserNotice + progress(path));
  EXPECT_FALSE(safari.alive());
  EXPECT_TRUE(lower.alive() && beta.alive());
  EXPECT_EQ(runProgram({TIDYMARK_OUTLINE_BINARY, path}).out, "y\nz\n");
  safari.reap();  // without a browser, nothing about one is said
  EXPECT_EQ(tidymark({path}).out, progress(path));
}

// What lies between `opening` and `closing` in a file of the source tree.
std::string between(const std::string& file, const std::string& opening,
                    const std::string& closing) {
  const std::string text = readFile(TIDYMARK_SOURCE_DIR "/" + file);
  const std::size_t at = text.find(opening), from = at + opening.size();
  return at == std::string::npos ? "(none)" : text.substr(from, text.find(closing, from) - from);
}

// Every file and its content under `dir`.
std::map<std::string, std::string> snapshot(const std::string& dir) {
  std::map<std::string, std::string> files;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(dir))
    files[entry.path()] = entry.is_regular_file() ? readFile(entry.path()) : "";
  return files;
}

// The options, a dry run, and runs that cannot do their job, while a stand-in browser runs: the
// browser is left running and every file as it was, with nothing made or left beside them. A
// failure is said: " failed", one line on standard error, status 1. The usage text is the
// README's, the version the man page's title line. A read-only file is refused even to root, and
// to its owner; a file where no temporary file can be made beside it, to its owner.
TEST_F(TidymarkWithBrowser, LeavesTheBrowserAndTheFilesAloneWhenNothingIsToBeWritten) {
  TempDir dir;
  const std::string path = dir.file("Bookmarks.plist"), missing = dir.file("Bookmark.plist");
  const std::string notes = dir.file("notes.txt"), array = dir.file("array.plist");
  const std::string readOnly = dir.file("read-only.plist"), locked = dir.file("locked");
  const std::string inLocked = locked + "/Bookmarks.plist", shown = dir.path() + "/\\x1B[2J";
  std::filesystem::create_directory(locked);
  for (const std::string& file : {path, readOnly, inLocked})
    writeBookmarks(file);
  writeFile(notes, "these are not bookmarks\n");
  ASSERT_TRUE(savePlistFile(array, {PlistValue::array({bookmark("b")}), {}}).ok());
  const int owner = ::geteuid() == 0 ? 65534 : int(::geteuid());
  for (const std::string& file : {dir.path(), readOnly, locked, inLocked})
    ASSERT_EQ(::chown(file.c_str(), owner, owner), 0);
  ASSERT_EQ(::chmod(readOnly.c_str(), 0444) | ::chmod(locked.c_str(), 0555), 0);
  const std::string usage = between("README.md", "`tidymark --help` says:\n\n```\n", "```");
  const std::string version = "tidymark " + between("docs/tidymark.1", "\"tidymark ", "\"") + "\n";
  const std::string bogus =
      "tidymark: unknown option '--bogus\\x1B]0;x\\x07' (see tidymark --help)\n";
  const std::string checked = progress(path, " done", "checking") +
                              "(top level): 3 of 3 entries would move\nA: 2 of 2 entries would "
                              "move\n2 folders would change; nothing was written\n";
  const std::string noFile = "cannot open: No such file or directory",
                    denied = "cannot write: Permission denied",
                    noTemporary =
                        "cannot create a temporary file in " + locked + "/: Permission denied";
  auto failed = [](const std::string& path, const std::string& why, std::string before = "",
                   const std::string& doing = "sorting") {
    return std::pair{before + progress(path, " failed", doing),
                     "tidymark: " + path + ": " + why + "\n"};
  };
  const struct {
    Strings args;
    int status;
    std::pair<std::string, std::string> output;  // standard output and standard error
    int uid = -1;
  } cases[] = {
      {{"--help", path}, 0, {usage, ""}},
      {{"-h"}, 0, {usage, ""}},
      {{"--version"}, 0, {version, ""}},
      {{"--bogus\x1b]0;x\a", path}, 2, {"", bogus}},
      {{"-n", path}, 0, {checked, ""}},
      {{"--dry-run", "foldersFirst", path}, 0, {kNotice + checked, ""}},
      {{"-n", missing}, 1, failed(missing, noFile, "", "checking")},
      {{missing}, 1, failed(missing, noFile)},
      {{dir.file("\x1b[2J")}, 1, failed(shown, noFile)},
      {{"foldersFirst", dir.path()}, 1, failed(dir.path(), "is a directory, not a file", kNotice)},
      // From here on the file is read, so the browser must be gone first.
      {{notes}, 1, failed(notes, "not a property list: line 1: syntax error")},
      {{array}, 1, failed(array, "the property list holds an array, not a dictionary, at its top")},
      {{readOnly}, 1, failed(readOnly, denied)},
      {{readOnly}, 1, failed(readOnly, denied), owner},
      {{inLocked}, 1, failed(inLocked, noTemporary), owner},
  };
  const auto before = snapshot(dir.path());
  std::optional<FakeApp> safari(std::in_place, "Safari");
  ASSERT_TRUE(safari->ready());
  for (const auto& c : cases) {
    SCOPED_TRACE(c.args.front());
    if (c.args.front() == notes) safari.reset();
    const ProgramResult result = tidymark(c.args, {}, c.uid);
    EXPECT_EQ(result.status, c.status);
    EXPECT_EQ(result.out, c.output.first);
    EXPECT_EQ(result.err, c.output.second);
    EXPECT_TRUE(snapshot(dir.path()) == before);
    ASSERT_TRUE(!safari || safari->alive()) << "asked the browser to quit";
  }
}

TEST(TidymarkOutline, PrintsTheTreeAndReportsWhatItCannotRead) {
  TempDir dir;
  writeBookmarks(dir.file("Bookmarks.plist"));
  ProgramResult result = runProgram({TIDYMARK_OUTLINE_BINARY, dir.file("Bookmarks.plist")});
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(result.out, "b\nA/\n  Item 10\n  Item 2\na\n");
  result = runProgram({TIDYMARK_OUTLINE_BINARY, dir.file("missing")});
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(result.err, "tidymark-outline: " + dir.file("missing") +
                            ": cannot open: No such file or directory\n");
}

}  // namespace
}  // namespace tidymark
