// The promise of the built tidymark whatever the input and whatever happens during the run: the
// file afterwards is exactly what it was or the complete sorted version, and a failure is always
// said (status 1, " failed", one line on standard error).
#include <signal.h>
#include <sys/file.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <thread>

#include <gtest/gtest.h>

#include "platform/plist_file.h"
#include "tests/test_support.h"

namespace tidymark {
namespace {

using namespace testing;
using Names = std::vector<std::string>;

// tidymark on `path` under ceilings for its memory and what it may write, and a guard on time.
ProgramResult tidymark(const std::string& path, std::vector<std::string> env = {},
                       const char* binary = TIDYMARK_BINARY) {
  return runProgram(
      {binary, path},
      {.env = env, .timeoutSeconds = 120, .memoryLimit = 1u << 30, .fileSizeLimit = 1u << 28});
}

void expectSaidFailure(const ProgramResult& r, const std::string& path, const std::string& why) {
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "sorting bookmarks at " + path + " ... failed\n");
  EXPECT_TRUE(r.err.starts_with("tidymark: " + path + ": ") && r.err.find(why) != r.err.npos &&
              r.err.find('\n') == r.err.size() - 1)
      << r.err;
}

std::string generate(const std::string& path, int n) {  // n bookmarks, a binary file
  EXPECT_EQ(runProgram({TIDYMARK_GENERATE, "--bookmarks", std::to_string(n), path}).status, 0);
  return readFile(path);
}

// A kill at any moment leaves the original or the sorted file, and at most temporary files
// beside it; the next run removes those, but not a live run's nor another file's, nor a file
// named almost like them.
TEST(TidymarkKilled, LeavesTheOriginalOrTheSortedFileAndTheNextRunClearsUp) {
  TempDir dir;
  const Names kept = {".Bookmarks.plist.tidymark-1234567", ".Bookmarks.plist.tidymark-held01",
                      ".Other.plist.tidymark-abc123", "Bookmarks.plist"};
  const std::string path = dir.file(kept[3]), original = generate(path, 20000);
  const auto start = std::chrono::steady_clock::now();
  ASSERT_EQ(runProgram({TIDYMARK_BINARY, path}).status, 0);
  const auto took = std::chrono::steady_clock::now() - start;
  const std::string sorted = readFile(path);
  for (const std::string& name : {kept[0], kept[1], kept[2]})
    writeFile(dir.file(name), "left");
  const int held = ::open(dir.file(kept[1]).c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_EQ(::flock(held, LOCK_EX), 0);
  for (int kill = 0; kill < 32; ++kill) {
    writeFile(path, original);
    RunningProgram run = startProgram({TIDYMARK_BINARY, path}, {});
    std::this_thread::sleep_for(took * kill / 26);  // from the start to past the end
    ::kill(run.pid, SIGKILL);
    finishProgram(run);
    ASSERT_TRUE(readFile(path) == original || readFile(path) == sorted) << "kill " << kill;
  }
  writeFile(dir.file(".Bookmarks.plist.tidymark-dead01"), "left");
  writeFile(path, original);  // a run that has nothing to write clears nothing up
  EXPECT_EQ(tidymark(path).status, 0);
  ::close(held);
  EXPECT_EQ(directoryEntries(dir.path()), kept);
}

// About 1 MB of bookmarks on a 1.5 MB file system: no room for the sorted copy beside it.
TEST(TidymarkFullDisk, SaysSoAndLeavesTheOriginalAndNoTemporaryFile) {
  TempDir dir;
  if (::geteuid() != 0 || ::mount("t", dir.path().c_str(), "tmpfs", MS_NOSUID, "size=1536k") != 0)
    GTEST_SKIP() << "mounting a small file system needs root";
  const std::string path = dir.file("Bookmarks.plist"), before = generate(path, 5000);
  EXPECT_GT(before.size(), 768u * 1024) << "too small to fill the disk";
  const ProgramResult result = tidymark(path);
  expectSaidFailure(result, path, "No space left on device");
  EXPECT_EQ(result.err, "tidymark: " + path + ": cannot write: No space left on device\n");
  EXPECT_TRUE(readFile(path) == before);
  EXPECT_EQ(directoryEntries(dir.path()), Names{"Bookmarks.plist"});
  ::umount2(dir.path().c_str(), MNT_DETACH);
}

// tidymark with the fault library set by `setting`; *reached: a call failed or the action came.
ProgramResult interfered(const std::string& path, const std::string& setting, bool* reached) {
  TempDir scratch;
  const ProgramResult result =
      tidymark(path,
               {setting, "LD_PRELOAD=" TIDYMARK_CALL_FAULTS, "TIDYMARK_TARGET=" + path,
                "TIDYMARK_FAULT_LOG=" + scratch.file("log")},
               TIDYMARK_BINARY);
  *reached = fileExists(scratch.file("log"));
  return result;
}

// For every N a clean run reaches, the Nth call of each kind fails: the result is the sorted
// file and status 0, or the original and a said failure (or the sorted file, when the message
// says it was replaced); never a temporary file left, never an attribute lost: mode 0640, owner
// and group 65534 when root runs the tests (so that they must be set), and two extended
// attributes, one with a one-byte value. Then a signal comes as tidymark flushes its result, or
// another program saves, rewrites, changes or moves the file: the run ends, and the file is left
// as the other program left it, with nothing beside it.
TEST(TidymarkInterfered, LeavesTheOriginalTheSortedFileOrWhatAnotherProgramLeft) {
#ifdef TIDYMARK_SANITIZED  // whose runtime, loaded first, rules out preloading the fault library
  GTEST_SKIP() << "the fault library cannot be preloaded under the sanitizers";
#endif
  TempDir dir;
  const std::string path = dir.file("Bookmarks.plist"), original = generate(path, 300);
  const char* names[] = {"user.tidymark-test", "user.tidymark-flag"};
  ASSERT_EQ(::chmod(path.c_str(), 0640) | ::setxattr(path.c_str(), names[0], "kept", 4, 0) |
                ::setxattr(path.c_str(), names[1], "1", 1, 0),
            0);
  ASSERT_TRUE(::geteuid() != 0 || ::chown(path.c_str(), 65534, 65534) == 0);
  auto attributes = [&] {
    struct stat info = {};
    ::stat(path.c_str(), &info);
    std::string all = std::to_string(info.st_mode) + " " + std::to_string(info.st_uid) + ":" +
                      std::to_string(info.st_gid);
    for (const char* name : names) {
      char value[16] = {};
      all += std::string(" ") + name + "=" +
             std::string(value, std::max<ssize_t>(::getxattr(path.c_str(), name, value, 16), 0));
    }
    return all;
  };
  const std::string kept = attributes();
  ASSERT_EQ(tidymark(path).status, 0);
  EXPECT_EQ(attributes(), kept);
  const std::string sorted = readFile(path);
  for (const std::string call :
       {"write", "fsync", "close", "fchmod", "fchown", "fsetxattr", "rename", "open", "read"}) {
    bool reached = true;
    int n = 1;
    for (; reached && n < 100; ++n) {
      SCOPED_TRACE(call + " call " + std::to_string(n));
      writeFile(path, original);
      const ProgramResult result =
          interfered(path, "TIDYMARK_FAIL=" + call + ":" + std::to_string(n), &reached);
      EXPECT_EQ(directoryEntries(dir.path()), Names{"Bookmarks.plist"});
      EXPECT_EQ(attributes(), kept);
      const bool replaced = result.err.find("the file was replaced") != std::string::npos;
      if (result.status != 0) expectSaidFailure(result, path, "");
      EXPECT_TRUE(readFile(path) == (result.status == 0 || replaced ? sorted : original));
      EXPECT_EQ(result.err.empty(), result.status == 0);
    }
    // Proof that the library sits between tidymark and the C library (only root's runs set the
    // owner), and that a run makes a bounded number of calls.
    EXPECT_TRUE(n > 2 || (call == "fchown" && ::geteuid() != 0)) << call << " never failed";
    EXPECT_LT(n, 100) << call;
  }
  const std::string changed =
      "the file changed while it was being sorted; left as it is now, nothing was written";
  const struct {
    std::string action;
    std::string reason, left, entry = "Bookmarks.plist";  // no reason: the action is a signal
  } cases[] = {
      {std::to_string(SIGINT), "", original},
      {std::to_string(SIGTERM), "", original},
      {std::to_string(SIGHUP), "", original},
      {"replace", changed, "saved by another program\n"},
      {"rewrite", changed, "REWRITE!" + original.substr(8)},  // the same size: only times tell
      {"chmod", changed, original},
      {"move", "the file was moved or deleted while it was being sorted; nothing was written",
       original, "Bookmarks.plist.moved"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.action);
    writeFile(path, original);
    bool reached = false;
    const ProgramResult result = interfered(path, "TIDYMARK_ACT=" + c.action, &reached);
    EXPECT_TRUE(reached);
    if (!c.reason.empty()) expectSaidFailure(result, path, c.reason);
    EXPECT_EQ(result.status, c.reason.empty() ? 128 + std::stoi(c.action) : 1);
    EXPECT_EQ(directoryEntries(dir.path()), Names{c.entry});
    EXPECT_TRUE(readFile(dir.file(c.entry)) == c.left);
  }
}

// Hostile files: a damaged one and a bomb are refused with their reason and left as they were, an
// entity is refused unread, folders 200,000 deep are sorted (reason "") into a file that loads;
// never a crash, a hang, a file left beside it, or more than 1 GiB of memory or 256 MiB written.
TEST(TidymarkHostileInput, RefusesOrSortsEveryFileAndNeverCrashesHangsOrBloats) {
  // Under "Children" an array holding the array below it twice, 64 levels down to a string:
  // 2^64 strings when expanded, from a few hundred bytes.
  BinaryLayout bomb = {.objects = {"\xD1\x01\x02", "XChildren", "\xA2\x03\x03"}};  // 'X': 8 ASCII
  for (char level = 4; level < 68; ++level)
    bomb.objects.push_back({'\xA2', level, level});
  bomb.objects.push_back("\x51x");
  // A folder whose entries hold the folder itself.
  const BinaryLayout cycle = {.objects = {"\xD2\x01\x03\x02\x04", "\x5F\x10\x0FWebBookmarkType",
                                          "\x5F\x10\x13WebBookmarkTypeList", "XChildren",
                                          std::string{'\xA1', '\0'}}};
  std::string deepXml = "<plist><dict><key>Children</key><array>", deepEnd;
  for (int level = 0; level < 200000; ++level, deepEnd += "</array></dict>")
    deepXml +=
        "<dict><key>WebBookmarkType</key><string>WebBookmarkTypeList</string>"
        "<key>Children</key><array><string>b</string>";
  deepXml += deepEnd + "</array></dict></plist>";
  PlistDocument deep, written;
  std::string deepBinary;
  ASSERT_TRUE(parsePlist(deepXml, &deep).ok());
  ASSERT_TRUE(serializePlist({std::move(deep.root), PlistFormat::Binary}, &deepBinary).ok());
  const std::pair<std::string, std::string> cases[] = {
      {deepBinary.substr(0, deepBinary.size() / 2), "not a binary property list: "},
      {assembleBinaryPlist(bomb), "expands far beyond its size"},
      {assembleBinaryPlist(cycle), "reference cycle at object 0"},
      {"<!DOCTYPE plist [<!ENTITY x SYSTEM \"file:///etc/passwd\">]><plist><dict><key>k</key>"
       "<string>&x;</string></dict></plist>",
       "entity declarations are not allowed"},
      {deepBinary, ""},
      {deepXml, ""},
  };
  for (const auto& [content, reason] : cases) {
    SCOPED_TRACE(content.substr(0, 40) + " / " + reason);
    TempDir dir;
    const std::string path = dir.file("Bookmarks.plist");
    writeFile(path, content);
    const ProgramResult result = tidymark(path);
    EXPECT_EQ(directoryEntries(dir.path()), Names{"Bookmarks.plist"});
    if (!reason.empty()) expectSaidFailure(result, path, reason);
    EXPECT_TRUE(reason.empty() ? result.status == 0 && loadPlistFile(path, &written).ok()
                               : readFile(path) == content);
    if (!reason.empty()) continue;
    // Its outline streams, indented no deeper than a cap, under the same ceilings: unbounded
    // indentation would need tens of gigabytes.
    const ProgramResult outline =
        runProgram({TIDYMARK_OUTLINE_BINARY, path},
                   {.timeoutSeconds = 120, .memoryLimit = 1u << 30, .fileSizeLimit = 1u << 28});
    EXPECT_EQ(outline.status, 0);
    EXPECT_EQ(std::count(outline.out.begin(), outline.out.end(), '\n'), 2 * 200000);
  }
}

// Without a readable process table nobody can tell whether the browser runs: nothing is done.
TEST(TidymarkBlind, RefusesToRunWithoutAProcessTable) {
#ifdef TIDYMARK_SANITIZED  // whose runtime reads /proc itself
  GTEST_SKIP() << "the sanitizers' runtime needs /proc";
#endif
  TempDir dir;
  const std::string path = dir.file("Bookmarks.plist"), original = generate(path, 10);
  std::vector<std::string> argv = {
      "unshare", "--mount", "sh", "-c", "mount -t tmpfs none /proc && exec \"$@\"", "sh", "true"};
  if (::geteuid() != 0 || runProgram(argv).status != 0)
    GTEST_SKIP() << "no mount namespace with an empty /proc here";
  argv.back() = TIDYMARK_BINARY;
  argv.push_back(path);
  const ProgramResult result = runProgram(argv);
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(result.out, "");
  EXPECT_EQ(result.err,
            "tidymark: cannot tell whether Safari is running (/proc lists no "
            "processes); " +
                path + " left unchanged\n");
  EXPECT_TRUE(readFile(path) == original);
}

}  // namespace
}  // namespace tidymark
