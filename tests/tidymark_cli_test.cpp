// End-to-end tests of the built tidymark and tidymark-outline: arguments, output, exit status and
// the files.
#include <sys/stat.h>
#include <unistd.h>

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

// An unsorted file: bookmark b, folder "A😀" (two UTF-16 units after the first) holding
// "Item 10" and "Item 2", bookmark a.
void writeBookmarks(const std::string& path) {
  const PlistValue tree =
      folder("", {bookmark("b"), folder("A\U0001F600", {bookmark("Item 10"), bookmark("Item 2")}),
                  bookmark("a")});
  ASSERT_TRUE(savePlistFile(path, {tree, PlistFormat::Binary}).ok());
}

// These start a stand-in browser: a process of this user named like it.
class TidymarkWithBrowser : public FakeAppTest {};

// Each command line's status, output and file: the one named `sorted` ends sorted, every other
// file stays as it was, nothing is left beside them. A failure is said: " failed", one line on
// standard error, status 1. The options, a dry run and the runs refused before the file is read
// leave a stand-in browser running; the first run that reads the file quits it, and sorts the
// copy it writes as it quits (like the real one), not what was on disk before. The usage text is
// the README's, the version the man page's title line. The keyword counts only as the first
// argument, in any case; without a path the file is found under HOME, or without HOME where the
// user database says (a user it does not know has none). Paths are used exactly as written, shown
// printably. A read-only file is refused even to root, and to its owner; a file where no
// temporary file can be made beside it, to its owner. Output that cannot be written fails the
// run with its reason, even when it failed while being made, and the file is sorted all the same
// (which is said only when it was written). A file with other names is sorted, and the run says
// that those keep the old content. tidymark-outline shows a file as it is, or says why it cannot.
TEST_F(TidymarkWithBrowser, DoesWhatItsCommandLineSays) {
  TempDir dir;
  const std::string home = dir.file("home"), defaultPath = home + "/Library/Safari/Bookmarks.plist";
  const std::string path = dir.file("Bookmarks.plist"), missing = dir.file("Bookmark.plist");
  const std::string readOnly = dir.file("read-only.plist"), locked = dir.file("locked");
  const std::string inLocked = locked + "/Bookmarks.plist", shown = dir.path() + "/\\x1B[2J";
  const std::string copy = dir.file("copy.plist"), inOrder = dir.file("in-order.plist");
  const std::string other = dir.file("other.plist"), notBookmarks = dir.file("settings.plist");
  const std::string many = dir.file("many.plist");
  ASSERT_TRUE(savePlistFile(copy, {folder("", {bookmark("z"), bookmark("y")}), {}}).ok());
  ASSERT_TRUE(savePlistFile(inOrder, {folder("", {bookmark("a"), bookmark("b")}), {}}).ok());
  ASSERT_TRUE(
      savePlistFile(notBookmarks,
                    {otherNode("Settings", "", {bookmark("b"), bookmark("a")}), PlistFormat::Xml})
          .ok());
  // Enough folders to change that a dry run's report is written while it is being made.
  std::vector<PlistValue> folders;
  for (int i = 0; i < 400; ++i)
    folders.push_back(folder("folder " + std::to_string(i), {bookmark("b"), bookmark("a")}));
  ASSERT_TRUE(savePlistFile(many, {folder("", std::move(folders)), {}}).ok());
  std::filesystem::create_directories(home + "/Library/Safari");
  std::filesystem::create_directory(locked);
  for (const std::string& file : {defaultPath, path, readOnly, inLocked})
    writeBookmarks(file);
  const int owner = ::geteuid() == 0 ? 65534 : int(::geteuid());
  for (const std::string& file : {dir.path(), readOnly, locked, inLocked})
    ASSERT_EQ(::chown(file.c_str(), owner, owner), 0);
  ASSERT_EQ(::chmod(readOnly.c_str(), 0444) | ::chmod(locked.c_str(), 0555), 0);
  const std::string changes =
      "(top level): 3 of 3 entries would move\nA\U0001F600: 2 of 2 entries would "
      "move\n2 folders would change; nothing was written\n";
  const std::string checked = progress(path, " done", "checking") + changes;
  const std::string kept = progress(path, " done", "checking") +
                           "(top level): 3 of 3 entries would move\nA\U0001F600: 2 entries kept in "
                           "their own order\n1 folder would change; nothing was written\n";
  const std::string moved =
      "(top level): 3 of 3 entries moved\nA\U0001F600: 2 of 2 entries moved\n"
      "2 folders changed\n";
  const std::string notLikeBookmarks =
      "does not look like a bookmarks file (its top is not a folder); nothing moved";
  const std::string quitting = "safari was running, so i'm quitting it temporarily\n";
  const std::string noFile = "cannot open: No such file or directory",
                    readOnlyFile = "is read-only; make it writable to sort it";
  auto error = [](const std::string& path, const std::string& why) {
    return "tidymark: " + path + ": " + why + "\n";
  };
  auto between = [](const std::string& file, const std::string& opening, const char* closing) {
    const std::string text = readFile(TIDYMARK_SOURCE_DIR "/" + file);  // what lies between
    const std::size_t from = text.find(opening) + opening.size();
    return text.substr(from, text.find(closing, from) - from);
  };
  // One row a line, as far as it fits.
  // clang-format off
  const struct {
    Strings args;
    int status;
    std::string out, err;
    Strings sorted = {};
    int uid = -1;
    Output output = Output::Captured;
    std::string link = "";  // a second name the sorted file has before the run
  } cases[] = {
      {{"--help", path}, 0, between("README.md", "`tidymark --help` says:\n\n```\n", "```"), ""},
      {{"--version"}, 0, "tidymark " + between("docs/tidymark.1", "\"tidymark ", "\"") + "\n", ""},
      {{"--bogus\x1b]0;x\a", path}, 2, "",
       "tidymark: unknown option '--bogus\\x1B]0;x\\x07' (see tidymark --help)\n"},
      {{"-n", path}, 0, checked, ""},
      {{"foldersFirst", "-n", path}, 0, kNotice + checked, ""},
      {{"--keep", "A\U0001F600", path, "-n"}, 0, kept, ""},
      {{"-n", missing}, 1, progress(missing, " failed", "checking"), error(missing, noFile)},
      {{"--check", path}, 1, checked, ""},
      {{"--check", inOrder}, 0, progress(inOrder, " done", "checking") +
                                "nothing would change; nothing was written\n", ""},
      {{"--check", inOrder, missing}, 2, progress(inOrder, " done", "checking") +
       "nothing would change; nothing was written\n" + progress(missing, " failed", "checking"),
       error(missing, noFile)},
      {{"--check", "--bogus"}, 2, "", "tidymark: unknown option '--bogus' (see tidymark --help)\n"},
      {{""}, 2, "", "tidymark: an empty path names no file (see tidymark --help)\n"},
      {{missing}, 1, progress(missing, " failed"), error(missing, noFile)},
      {{dir.file("\x1b[2J")}, 1, progress(shown, " failed"), error(shown, noFile)},
      {{"foldersFirst", dir.path()}, 1, kNotice + progress(dir.path(), " failed"),
       error(dir.path(), "is a directory, not a file")},
      {{}, 1, "",
       "tidymark: cannot find the home directory: HOME is not set and the user database has none\n",
       {}, 54321},
      // From here on the file is read, so the browser must be gone first.
      {{missing, "foldersFirst", path}, 1,
       progress(missing, " failed") + quitting + progress(path), error(missing, noFile), {path}},
      {{readOnly}, 1, progress(readOnly, " failed"), error(readOnly, readOnlyFile)},
      {{readOnly}, 1, progress(readOnly, " failed"), error(readOnly, readOnlyFile), {}, owner},
      {{inLocked}, 1, progress(inLocked, " failed"),
       error(inLocked, "cannot create a temporary file in " + locked + "/: Permission denied"), {},
       owner},
      {{"foldersfirst"}, 0, kNotice + progress(defaultPath), "", {defaultPath}},
      {{"FOLDERSFIRST", "other.plist"}, 0, kNotice + progress("other.plist"), "", {other}},
      {{"other.plist", "foldersFirst"}, 0, progress("other.plist"), "", {other}},
      {{"./foldersFirst"}, 0, progress("./foldersFirst"), "", {dir.file("foldersFirst")}},
      {{"--", "-x.plist"}, 0, progress("-x.plist"), "", {dir.file("-x.plist")}},
      {{"two\nlines\x1b[2J"}, 0, progress("two\\nlines\\x1B[2J"), "",
       {dir.file("two\nlines\x1b[2J")}},
      {{"-v", path, "other.plist"}, 0, progress(path) + moved + progress("other.plist") + moved, "",
       {path, other}},
      {{path, missing, "other.plist"}, 1, progress(path) + progress(missing, " failed") +
       progress("other.plist"), error(missing, noFile), {path, other}},
      {{inOrder, notBookmarks}, 0, progress(inOrder) + progress(notBookmarks), error(notBookmarks,
       notLikeBookmarks)},
      {{path}, 1, "", error("write error", "Broken pipe; the file was sorted and replaced"), {path},
       -1, Output::Closed},
      {{path, "other.plist"}, 1, "", error("write error", "No space left on device; 2 files were "
                                           "sorted and replaced"), {path, other}, -1, Output::Full},
      {{inOrder}, 1, "", error("write error", "No space left on device"), {}, -1, Output::Full},
      {{"--check", inOrder}, 2, "", error("write error", "No space left on device"), {}, -1,
       Output::Full},
      {{"-n", path}, 1, "", error("write error", "No space left on device"), {}, -1, Output::Full},
      {{"-n", many}, 1, "", error("write error", "Broken pipe"), {}, -1, Output::Closed},
      {{path}, 0, progress(path), error(path, "has other hard links, which keep the old content"),
       {path}, -1, Output::Captured, "link.plist"},
  };
  // clang-format on
  auto snapshot = [&] {
    std::map<std::string, std::string> files;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(dir.path()))
      files[entry.path()] = entry.is_regular_file() ? readFile(entry.path()) : "";
    return files;
  };
  EXPECT_EQ(runProgram({TIDYMARK_OUTLINE_BINARY, path}).out,
            "b\nA\U0001F600/\n  Item 10\n  Item 2\na\n");
  std::optional<FakeApp> safari(std::in_place, "Safari", "saves", -1, Strings{copy, path});
  ASSERT_TRUE(safari->ready());
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.args));
    if (c.uid == 54321 && ::geteuid() != 0) continue;  // an unknown user needs root
    for (const std::string& file : c.sorted)
      writeBookmarks(file);
    if (!c.link.empty()) {
      ASSERT_EQ(::link(c.sorted[0].c_str(), dir.file(c.link).c_str()), 0);
    }
    const auto before = snapshot();
    ProgramOptions options = {.workingDirectory = dir.path(), .env = {"HOME=" + home + "/"}};
    options = c.uid == 54321 ? ProgramOptions{.unset = {"HOME"}} : options;
    options.output = c.output;
    const ProgramResult result = tidymark(c.args, options, c.uid);
    const bool quits = c.out.find("quitting") != std::string::npos;
    EXPECT_EQ(result.status, c.status);
    EXPECT_EQ(result.out, c.out);
    EXPECT_EQ(result.err, c.err);
    auto after = snapshot();
    const std::string shows = quits ? "y\nz\n" : "A\U0001F600/\n  Item 2\n  Item 10\na\nb\n";
    for (const std::string& file : c.sorted) {
      EXPECT_EQ(runProgram({TIDYMARK_OUTLINE_BINARY, file}).out, shows);
      after[file] = before.at(file);
    }
    EXPECT_TRUE(after == before);
    ASSERT_TRUE(!safari || safari->alive() != quits) << "the browser quit, or stayed";
    if (quits) safari.reset();
    if (!c.link.empty()) std::filesystem::remove(dir.file(c.link));
  }
  EXPECT_TRUE(tidymark({"-n"}, {.unset = {"HOME"}}).out.starts_with("checking bookmarks at /"));
  // tidymark-outline reads no option as a file name; `out` is how its output begins.
  const std::string version = between("docs/tidymark-outline.1", "\"tidymark ", "\"");
  const struct {
    Strings args;
    int status;
    std::string out, err;
  } outlines[] = {
      {{missing}, 1, "", "tidymark-outline: " + missing + ": " + noFile + "\n"},
      {{"--", "-x.plist"}, 0, "A\U0001F600/\n  Item 2\n", ""},  // sorted by a row above
      {{"--help"}, 0, "usage: tidymark-outline [--] FILE\n\n", ""},
      {{"--version"}, 0, "tidymark-outline " + version + "\n", ""},
      {{"-n", path}, 2, "", "usage: tidymark-outline [--] FILE (see tidymark-outline --help)\n"},
      {{"--help", path},
       2,
       "",
       "usage: tidymark-outline [--] FILE (see tidymark-outline --help)\n"},
  };
  for (const auto& c : outlines) {
    SCOPED_TRACE(::testing::PrintToString(c.args));
    Strings args = c.args;
    args.insert(args.begin(), TIDYMARK_OUTLINE_BINARY);
    const ProgramResult result = runProgram(args, {.workingDirectory = dir.path()});
    EXPECT_EQ(result.status, c.status);
    EXPECT_EQ(result.err, c.err);
    EXPECT_TRUE(result.out.starts_with(c.out)) << result.out;
    EXPECT_EQ(result.out.empty(), c.out.empty()) << result.out;
  }
}

// Folders people order by hand: the Reading List keeps its order unless asked otherwise, a folder
// named with --keep keeps its own while the folders inside it are sorted, and -v names what was
// kept. A file already in order is not written (its stamp stays).
TEST(TidymarkKeeping, LeavesReadingListAndKeptFoldersInTheirOwnOrder) {
  TempDir dir;
  const std::string path = dir.file("Bookmarks.plist");
  const PlistValue tree = folder(
      "", {folder("com.apple.ReadingList", {bookmark("c"), bookmark("a"), bookmark("b")}),
           folder("BookmarksBar", {bookmark("z"), folder("y", {bookmark("2"), bookmark("1")})})});
  const std::string bar = "BookmarksBar/\n  y/\n    1\n    2\n  z\n",
                    keptBar = "BookmarksBar/\n  z\n  y/\n    1\n    2\n",
                    list = "com.apple.ReadingList/\n  c\n  a\n  b\n",
                    sortedList = "com.apple.ReadingList/\n  a\n  b\n  c\n";
  const std::string keptList = "\ncom.apple.ReadingList: 3 entries kept in their own order\n",
                    keptBarLine = "\nBookmarksBar: 2 entries kept in their own order\n";
  const struct {
    Strings args;
    std::string outline;
    Strings kept;
  } cases[] = {
      {{}, bar + list, {keptList}},
      {{"--sort-reading-list"}, bar + sortedList, {}},
      {{"--keep", "BookmarksBar"}, keptBar + list, {keptList, keptBarLine}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.args));
    ASSERT_TRUE(savePlistFile(path, {tree, PlistFormat::Binary}).ok());
    Strings args = c.args;
    args.insert(args.begin(), "-v");
    args.push_back(path);
    const ProgramResult result = tidymark(args);
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(runProgram({TIDYMARK_OUTLINE_BINARY, path}).out, c.outline);
    const auto stamp = std::filesystem::last_write_time(path);
    const ProgramResult again = tidymark(args);
    EXPECT_TRUE(again.out.ends_with("\nnothing changed; nothing was written\n")) << again.out;
    EXPECT_EQ(std::filesystem::last_write_time(path), stamp);
    EXPECT_EQ(std::count(again.out.begin(), again.out.end(), '\n'), 2 + c.kept.size()) << again.out;
    for (const std::string& line : c.kept) {
      EXPECT_NE(result.out.find(line), std::string::npos) << result.out;
      EXPECT_NE(again.out.find(line), std::string::npos) << again.out;
    }
  }
}

// Titles that are the same text written differently (U+1FB3 U+0342 and U+1FB7, U+1FF3 U+0332 and
// U+03C9 U+0332 U+0345) rank the same: nothing would move, and nothing is written, not even the
// same bytes again.
TEST(TidymarkTitles, LeavesCanonicallyEquivalentTitlesWhereTheyAre) {
  TempDir dir;
  const std::string path = dir.file("Bookmarks.plist");
  // Each pair in the order in which a fold before the canonical order would swap it.
  const PlistValue tree = folder("", {bookmark("\u1FB3\u0342"), bookmark("\u1FB7"),
                                      bookmark("\u1FF3\u0332"), bookmark("\u03C9\u0332\u0345")});
  ASSERT_TRUE(savePlistFile(path, {tree, PlistFormat::Binary}).ok());
  struct stat before = {}, after = {};
  ASSERT_EQ(::stat(path.c_str(), &before), 0);
  const ProgramResult dryRun = tidymark({"-n", path});
  EXPECT_EQ(dryRun.status, 0);
  EXPECT_EQ(dryRun.out,
            progress(path, " done", "checking") + "nothing would change; nothing was written\n");
  const ProgramResult run = tidymark({path});
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.out, progress(path));
  EXPECT_EQ(run.err, "");
  ASSERT_EQ(::stat(path.c_str(), &after), 0);
  EXPECT_EQ(after.st_ino, before.st_ino);
  EXPECT_EQ(after.st_mtim.tv_nsec, before.st_mtim.tv_nsec);
  EXPECT_EQ(after.st_ctim.tv_nsec, before.st_ctim.tv_nsec);
}

}  // namespace
}  // namespace tidymark
