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
#include <optional>
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

// Marks `path` as one of tidymark's temporary files, as a run does.
void markAsOurs(const std::string& path) {
  ASSERT_EQ(::setxattr(path.c_str(), "user.tidymark.temporary", "1", 1, 0), 0);
}

// The names in `dir` but those of whole files a kill in the instant around an exchange left
// behind: a temporary name holding `original` or `sorted` without the mark of ours (taken off the
// new file right before the exchange, not yet put on the old one right after), which no run may
// remove.
Names entriesButUnmarkedWholeFiles(const std::string& dir, const std::string& original,
                                   const std::string& sorted) {
  Names names = directoryEntries(dir);
  std::erase_if(names, [&](const std::string& name) {
    const std::string path = dir + "/" + name, content = readFile(path);
    char mark;
    return name.find(".tidymark-") != std::string::npos &&
           (content == original || content == sorted) &&
           ::getxattr(path.c_str(), "user.tidymark.temporary", &mark, 1) < 0;
  });
  return names;
}

// A kill at any moment leaves the original or the sorted file, and at most temporary files
// beside it; the next run removes those (but for a whole file, unmarked, of a kill in the instant
// around an exchange), but not a live run's nor another file's: not one named almost like
// them, nor one named like them that lacks their mark (the user's own), nor a marked one of
// another user's.
TEST(TidymarkKilled, LeavesTheOriginalOrTheSortedFileAndTheNextRunClearsUp) {
  TempDir dir;
  const Names kept = {".Bookmarks.plist.tidymark-1234567", ".Bookmarks.plist.tidymark-backup",
                      ".Bookmarks.plist.tidymark-held01",  ".Bookmarks.plist.tidymark-other",
                      ".Other.plist.tidymark-abc123",      "Bookmarks.plist"};
  const std::string path = dir.file(kept[5]), original = generate(path, 20000);
  const auto start = std::chrono::steady_clock::now();
  ASSERT_EQ(runProgram({TIDYMARK_BINARY, path}).status, 0);
  const auto took = std::chrono::steady_clock::now() - start;
  const std::string sorted = readFile(path);
  for (const std::string& name : kept) {
    if (name != kept[5]) writeFile(dir.file(name), "left");
  }
  for (const std::string& name : {kept[0], kept[2], kept[3], kept[4]})
    markAsOurs(dir.file(name));
  if (::geteuid() == 0) {
    ASSERT_EQ(::chown(dir.file(kept[3]).c_str(), 65534, 65534), 0);
  }
  const int held = ::open(dir.file(kept[2]).c_str(), O_RDONLY | O_CLOEXEC);
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
  markAsOurs(dir.file(".Bookmarks.plist.tidymark-dead01"));
  writeFile(path, original);
  EXPECT_EQ(tidymark(path).status, 0);
  ::close(held);
  Names expected = kept;
  // Without root, every file is this user's: the marked one counts as ours.
  if (::geteuid() != 0) expected.erase(expected.begin() + 3);
  EXPECT_EQ(entriesButUnmarkedWholeFiles(dir.path(), original, sorted), expected);
}

// A signal that ends the run, at any moment, leaves the original or the sorted file and nothing
// beside it: SIGQUIT (Ctrl-\) and the other signals whose default is to end a process.
TEST(TidymarkSignalled, LeavesTheOriginalOrTheSortedFileAndNoTemporaryFile) {
  TempDir dir;
  const std::string path = dir.file("Bookmarks.plist"), original = generate(path, 20000);
  const auto start = std::chrono::steady_clock::now();
  ASSERT_EQ(runProgram({TIDYMARK_BINARY, path}).status, 0);
  const auto took = std::chrono::steady_clock::now() - start;
  const std::string sorted = readFile(path);
  const int signals[] = {SIGQUIT, SIGQUIT,   SIGQUIT, SIGUSR1,     SIGUSR2,
                         SIGALRM, SIGVTALRM, SIGPROF, SIGRTMIN + 3};
  int ended = 0;  // runs the signal ended
  for (int run = 0; run < 36; ++run) {
    const int signal = signals[run % std::size(signals)];
    SCOPED_TRACE("run " + std::to_string(run) + ", signal " + std::to_string(signal));
    writeFile(path, original);
    RunningProgram program = startProgram({TIDYMARK_BINARY, path}, {});
    std::this_thread::sleep_for(took * run / 30);  // from the start to past the end
    ::kill(program.pid, signal);
    const ProgramResult result = finishProgram(program, 60);
    EXPECT_TRUE(result.status == 128 + signal || result.status == 0) << result.status;
    const std::string left = readFile(path);
    EXPECT_TRUE(result.status == 0 ? left == sorted : left == original || left == sorted);
    EXPECT_EQ(directoryEntries(dir.path()), Names{"Bookmarks.plist"});
    ended += result.status != 0;
  }
  EXPECT_GT(ended, 6) << "the signals came too late to end runs";
}

// A file-size limit below the file's size: the write fails and is said, as any other.
TEST(TidymarkFileSizeLimit, SaysSoAndLeavesTheOriginalAndNoTemporaryFile) {
  TempDir dir;
  const std::string path = dir.file("Bookmarks.plist"), original = generate(path, 3000);
  const ProgramResult result = runProgram(
      {TIDYMARK_BINARY, path}, {.timeoutSeconds = 60, .fileSizeLimit = original.size() / 2});
  expectSaidFailure(result, path, "cannot write: File too large");
  EXPECT_EQ(result.err, "tidymark: " + path + ": cannot write: File too large\n");
  EXPECT_TRUE(readFile(path) == original);
  EXPECT_EQ(directoryEntries(dir.path()), Names{"Bookmarks.plist"});
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

// `program` (tidymark by default) on `path` with the fault library set by `settings`; *reached:
// a call failed or the action came.
ProgramResult interfered(const std::string& path, std::vector<std::string> settings, bool* reached,
                         std::vector<std::string> program = {TIDYMARK_BINARY}) {
  TempDir scratch;
  settings.insert(settings.end(), {"LD_PRELOAD=" TIDYMARK_CALL_FAULTS, "TIDYMARK_TARGET=" + path,
                                   "TIDYMARK_FAULT_LOG=" + scratch.file("log")});
  program.push_back(path);
  const ProgramResult result = runProgram(
      program,
      {.env = settings, .timeoutSeconds = 120, .memoryLimit = 1u << 30, .fileSizeLimit = 1u << 28});
  *reached = fileExists(scratch.file("log"));
  return result;
}

// The two ways a file is replaced: by an exchange, and where the file system cannot exchange,
// by a rename after a check.
const std::vector<std::string> kReplacements[] = {{}, {"TIDYMARK_NO_EXCHANGE=1"}};

// The calls a run makes, for the fault library to fail: `exchanging`, by an exchange.
std::vector<std::string> failingCalls(bool exchanging) {
  std::vector<std::string> calls = {"write",     "fsync",     "close", "fchmod", "fchown",
                                    "fsetxattr", "renameat2", "lstat", "open",   "read"};
  if (!exchanging) calls.push_back("rename");
  return calls;
}

// For every N a clean run reaches, the Nth call of each kind fails: the result is the sorted
// file and status 0, or the original and a said failure (or the sorted file, when the message
// says it was replaced); never a temporary file left, never an attribute lost nor the temporary
// mark left on the file: mode 0640, owner and group 65534 when root runs the tests (so that they
// must be set), and two extended attributes, one with a one-byte value. Then a signal comes, or
// another program saves, rewrites, changes or moves the file, as tidymark flushes its result,
// right before the exchange or right after it: the file is left as the other program left it,
// with nothing beside it, and the run fails (or ends as the signal asks). All of it with the
// exchange and without.
TEST(TidymarkInterfered, LeavesTheOriginalTheSortedFileOrWhatAnotherProgramLeft) {
#ifdef TIDYMARK_SANITIZED  // whose runtime, loaded first, rules out preloading the fault library
  GTEST_SKIP() << "the fault library cannot be preloaded under the sanitizers";
#endif
  TempDir dir;
  const std::string path = dir.file("Bookmarks.plist"), original = generate(path, 300);
  const char* names[] = {"user.tidymark-test", "user.tidymark-flag", "user.tidymark.temporary"};
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
  for (const auto& replacement : kReplacements) {
    const bool exchanging = replacement.empty();
    for (const std::string& call : failingCalls(exchanging)) {
      bool reached = true;
      int n = 1;
      for (; reached && n < 100; ++n) {
        SCOPED_TRACE(call + " call " + std::to_string(n) + (exchanging ? "" : ", no exchange"));
        writeFile(path, original);
        std::vector<std::string> settings = replacement;
        settings.push_back("TIDYMARK_FAIL=" + call + ":" + std::to_string(n));
        const ProgramResult result = interfered(path, settings, &reached);
        EXPECT_EQ(directoryEntries(dir.path()), Names{"Bookmarks.plist"});
        EXPECT_EQ(attributes(), kept);
        const bool replaced = result.err.find("the file was replaced") != std::string::npos;
        if (result.status != 0) expectSaidFailure(result, path, "");
        EXPECT_TRUE(readFile(path) == (result.status == 0 || replaced ? sorted : original));
        EXPECT_EQ(result.err.empty(), result.status == 0);
      }
      // Proof that the library sits between tidymark and the C library (only root's runs set
      // the owner), and that a run makes a bounded number of calls.
      EXPECT_TRUE(n > 2 || (call == "fchown" && ::geteuid() != 0)) << call << " never failed";
      EXPECT_LT(n, 100) << call;
    }
  }
  const std::string changed =
      "the file changed while it was being sorted; left as it is now, nothing was written";
  const std::string moved =
      "the file was moved or deleted while it was being sorted; nothing was written";
  const std::string other = "saved by another program\n", quit = std::to_string(SIGQUIT);
  const struct {
    std::string action;
    std::string reason, left, entry = "Bookmarks.plist";  // no reason: the action is a signal
    // Where they differ, what a run without the exchange leaves.
    std::optional<std::string> reasonWithoutExchange = {}, leftWithoutExchange = {};
  } cases[] = {
      {std::to_string(SIGINT), "", original},
      {std::to_string(SIGTERM), "", original},
      {std::to_string(SIGHUP), "", original},
      {quit, "", original},
      {"replace", changed, other},
      {"rewrite", changed, "REWRITE!" + original.substr(8)},  // the same size: only times tell
      {"chmod", changed, original},
      {"move", moved, original, "Bookmarks.plist.moved"},
      // Right before the exchange, and right after it: a save then is the last.
      {"replace@renameat2", changed, other},
      {"rewrite@renameat2", changed, "REWRITE!" + original.substr(8)},
      {"chmod@renameat2", changed,
       original},  // only the change time tells, which the exchange moves
      {"replace@renameat2-done", changed, other},
      {"rewrite@renameat2-done",
       changed,
       "REWRITE!" + sorted.substr(8),
       "Bookmarks.plist",
       {},
       "REWRITE!" + original.substr(8)},
      {"move@renameat2-done",
       "the file was moved or deleted as it was replaced; the sorted file went with it", sorted,
       "Bookmarks.plist.moved", moved, original},
      // Signals wait while the files are exchanged and checked.
      {quit + "@renameat2", "", sorted},
      {quit + "@renameat2-done", "", sorted},
  };
  for (const auto& replacement : kReplacements) {
    const bool exchanging = replacement.empty();
    for (const auto& c : cases) {
      SCOPED_TRACE(c.action + (exchanging ? "" : ", no exchange"));
      writeFile(path, original);
      ASSERT_EQ(::chmod(path.c_str(), 0640), 0);
      bool reached = false;
      std::vector<std::string> settings = replacement;
      settings.push_back("TIDYMARK_ACT=" + c.action);
      const ProgramResult result = interfered(path, settings, &reached);
      const std::string reason = exchanging ? c.reason : c.reasonWithoutExchange.value_or(c.reason);
      EXPECT_TRUE(reached);
      if (!reason.empty()) expectSaidFailure(result, path, reason);
      EXPECT_EQ(result.status, reason.empty() ? 128 + std::stoi(c.action) : 1);
      EXPECT_EQ(directoryEntries(dir.path()), Names{c.entry});
      const std::string left = exchanging ? c.left : c.leftWithoutExchange.value_or(c.left);
      EXPECT_TRUE(readFile(dir.file(c.entry)) == left);
      ::rename(dir.file(c.entry).c_str(), path.c_str());
    }
  }
}

// The owner of the files the tests make: one that the tool must set, when root runs the tests.
const uid_t kOwner = ::geteuid() == 0 ? 65534 : ::geteuid();

// A fresh file at `path` with `content`, mode 0640, owner kOwner and an extended attribute; its
// inode.
ino_t freshFile(const std::string& path, const std::string& content) {
  ::unlink(path.c_str());
  writeFile(path, content);
  EXPECT_EQ(::chown(path.c_str(), kOwner, kOwner), 0);
  struct stat info = {};
  EXPECT_EQ(::chmod(path.c_str(), 0640) |
                ::setxattr(path.c_str(), "user.tidymark-test", "kept", 4, 0) |
                ::stat(path.c_str(), &info),
            0);
  return info.st_ino;
}

// What a backup must be when it is the original: the same file (inode), with its mode, owner and
// extended attribute, and without the temporary files' mark; its content is checked apart.
void expectTheOriginal(const std::string& backup, ino_t original) {
  struct stat info = {};
  char value[8] = {};
  ASSERT_EQ(::stat(backup.c_str(), &info), 0);
  EXPECT_EQ(info.st_ino, original);
  EXPECT_EQ(info.st_mode & 07777, 0640u);
  EXPECT_EQ(info.st_uid, kOwner);
  EXPECT_EQ(::getxattr(backup.c_str(), "user.tidymark-test", value, sizeof value), 4);
  EXPECT_EQ(::getxattr(backup.c_str(), "user.tidymark.temporary", value, sizeof value), -1);
}

// tidymark -b, which keeps the file it replaces as PATH~, for every N a
// clean run reaches, with the Nth call of each kind failing, with the exchange and without: it
// succeeds, PATH sorted and PATH~ the original itself, or it fails and says so, PATH the original
// and PATH~ the old backup (or, without the exchange, already the original). Never a partial file,
// never a file left beside them.
TEST(TidymarkBackup, IsTheOldBackupOrTheOriginalWhicheverCallFails) {
#ifdef TIDYMARK_SANITIZED  // whose runtime, loaded first, rules out preloading the fault library
  GTEST_SKIP() << "the fault library cannot be preloaded under the sanitizers";
#endif
  TempDir dir;
  const std::string path = dir.file("Bookmarks.plist"), backup = path + "~";
  const std::string original = generate(path, 300), old = "the old backup\n";
  ino_t inode = freshFile(path, original);
  writeFile(backup, old);
  ASSERT_EQ(runProgram({TIDYMARK_BINARY, "-b", path}).status, 0);
  const std::string sorted = readFile(path);
  ASSERT_TRUE(sorted != original);
  EXPECT_TRUE(readFile(backup) == original);
  expectTheOriginal(backup, inode);
  for (const auto& replacement : kReplacements) {
    const bool exchanging = replacement.empty();
    std::vector<std::string> calls = failingCalls(exchanging);
    if (!exchanging) calls.push_back("link");
    for (const std::string& call : calls) {
      bool reached = true;
      int n = 1;
      for (; reached && n < 100; ++n) {
        SCOPED_TRACE(call + " call " + std::to_string(n) + (exchanging ? "" : ", no exchange"));
        inode = freshFile(path, original);
        writeFile(backup, old);
        std::vector<std::string> settings = replacement;
        settings.push_back("TIDYMARK_FAIL=" + call + ":" + std::to_string(n));
        const ProgramResult result = interfered(path, settings, &reached, {TIDYMARK_BINARY, "-b"});
        EXPECT_EQ(directoryEntries(dir.path()), (Names{"Bookmarks.plist", "Bookmarks.plist~"}));
        const bool replaced = result.err.find("the file was replaced") != std::string::npos;
        if (result.status == 0 || replaced) {
          EXPECT_TRUE(readFile(path) == sorted);
          EXPECT_TRUE(readFile(backup) == original);
          expectTheOriginal(backup, inode);
          continue;
        }
        EXPECT_EQ(result.status, 1);
        EXPECT_TRUE(result.err.starts_with("tidymark: " + path + ": ")) << result.err;
        EXPECT_TRUE(readFile(path) == original);
        EXPECT_TRUE(readFile(backup) == old || (!exchanging && readFile(backup) == original));
      }
      EXPECT_TRUE(n > 2 || (call == "fchown" && ::geteuid() != 0)) << call << " never failed";
      EXPECT_LT(n, 100) << call;
    }
  }
}

// Killed at any moment, tidymark -b leaves PATH the original or the sorted file,
// and PATH~ the old backup or the original; the next run removes what a killed run left beside
// them.
TEST(TidymarkBackup, IsTheOldBackupOrTheOriginalWhenKilled) {
  TempDir dir;
  const std::string path = dir.file("Bookmarks.plist"), backup = path + "~";
  const std::string original = generate(path, 20000), old = "the old backup\n";
  writeFile(backup, old);
  const auto start = std::chrono::steady_clock::now();
  ASSERT_EQ(runProgram({TIDYMARK_BINARY, "-b", path}).status, 0);
  const auto took = std::chrono::steady_clock::now() - start;
  const std::string sorted = readFile(path);
  for (int kill = 0; kill < 24; ++kill) {
    SCOPED_TRACE("kill " + std::to_string(kill));
    freshFile(path, original);
    writeFile(backup, old);
    RunningProgram run = startProgram({TIDYMARK_BINARY, "-b", path}, {});
    std::this_thread::sleep_for(took * kill / 20);  // from the start to past the end
    ::kill(run.pid, SIGKILL);
    finishProgram(run);
    const std::string left = readFile(path), kept = readFile(backup);
    EXPECT_TRUE(left == original || left == sorted);
    EXPECT_TRUE(kept == old || kept == original);
  }
  freshFile(path, original);
  ASSERT_EQ(runProgram({TIDYMARK_BINARY, "-b", path}).status, 0);
  EXPECT_EQ(entriesButUnmarkedWholeFiles(dir.path(), original, sorted),
            (Names{"Bookmarks.plist", "Bookmarks.plist~"}));
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
