// The promise of the built tidymark, whatever the input and whatever happens during the run:
// the file afterwards is either exactly what it was or the complete sorted version, and a
// failure is always said (status 1, " failed", one line on standard error).

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <functional>
#include <random>
#include <thread>
#include <utility>

#include <gtest/gtest.h>

#include "bookmarks/folder_sort.h"
#include "platform/plist_file.h"
#include "tests/test_support.h"

namespace tidymark {
namespace {

using testing::directoryEntries;
using testing::ProgramResult;
using testing::readFile;
using testing::TempDir;
using testing::writeFile;
using Names = std::vector<std::string>;

// Runs tidymark on `path` with a guard against hangs, under a ceiling for what it may write (so
// output that balloons fails at once) and through a small process that reports its peak memory.
ProgramResult tidymark(const std::string& path, long* peakKb) {
  TempDir scratch;
  testing::ProgramOptions options;
  options.timeoutSeconds = 120;
  const ProgramResult result =
      testing::runProgram({TIDYMARK_PEAK_MEMORY, scratch.file("peak"), "prlimit",
                           "--fsize=268435456", TIDYMARK_BINARY, path},
                          options);
  *peakKb =
      testing::fileExists(scratch.file("peak")) ? std::stol(readFile(scratch.file("peak"))) : -1;
  return result;
}

void expectSaidFailure(const ProgramResult& result, const std::string& path,
                       const std::string& reason) {
  EXPECT_FALSE(result.timedOut) << "hung";
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(result.out, "sorting bookmarks at " + path + " ... failed\n");
  EXPECT_TRUE(result.err.starts_with("tidymark: " + path + ": ")) << result.err;
  EXPECT_EQ(result.err.find('\n'), result.err.size() - 1) << "not one line:\n" << result.err;
  EXPECT_NE(result.err.find(reason), std::string::npos) << result.err;
}

std::string generate(const std::string& path, std::size_t bookmarks,
                     const char* format = "binary") {
  EXPECT_EQ(testing::runProgram({TIDYMARK_GENERATE, "--bookmarks", std::to_string(bookmarks),
                                 "--format", format, path})
                .status,
            0);
  return readFile(path);
}

TEST(TidymarkKilled, LeavesTheOriginalOrTheSortedFileWhateverTheMoment) {
  TempDir dir;
  const std::string path = dir.file("Bookmarks.plist");
  const std::string original = generate(path, 20000);
  // An undisturbed run gives the sorted file and how long a run takes.
  const auto start = std::chrono::steady_clock::now();
  ASSERT_EQ(testing::runProgram({TIDYMARK_BINARY, path}).status, 0);
  const std::chrono::duration<double> duration = std::chrono::steady_clock::now() - start;
  const std::string sorted = readFile(path);
  ASSERT_NE(sorted, original) << "nothing to sort";

  std::mt19937 random(20240601);
  std::uniform_real_distribution<double> moment(0, 1.2 * duration.count());
  int outcomes[2] = {0, 0};
  for (int kill = 0; kill < 32; ++kill) {
    writeFile(path, original);
    const pid_t pid = ::fork();
    if (pid == 0) {
      ::dup2(::open("/dev/null", O_WRONLY), STDOUT_FILENO);
      ::execl(TIDYMARK_BINARY, TIDYMARK_BINARY, path.c_str(), static_cast<char*>(nullptr));
      ::_exit(127);
    }
    std::this_thread::sleep_for(std::chrono::duration<double>(moment(random)));
    ::kill(pid, SIGKILL);
    ASSERT_EQ(::waitpid(pid, nullptr, 0), pid);
    const std::string now = readFile(path);
    ASSERT_TRUE(now == original || now == sorted) << "kill " << kill << " left something else";
    ++outcomes[now == sorted];
    // A kill may leave the temporary file beside it, never anything else.
    for (const std::string& entry : directoryEntries(dir.path())) {
      if (entry == "Bookmarks.plist") continue;
      ASSERT_TRUE(entry.starts_with(".Bookmarks.plist.tidymark-")) << entry;
      ::unlink(dir.file(entry).c_str());
    }
  }
  RecordProperty("left the original", outcomes[0]);
  RecordProperty("left the sorted file", outcomes[1]);
}

TEST(TidymarkFullDisk, SaysSoAndLeavesTheOriginalAndNoTemporaryFile) {
  if (::geteuid() != 0) GTEST_SKIP() << "mounting a small file system needs root";
  TempDir dir;
  const std::string small = dir.file("small");
  ASSERT_EQ(::mkdir(small.c_str(), 0755), 0);
  // About 1 MB of bookmarks on a 1.5 MB file system: no room for the new copy beside it.
  if (::mount("tidymark-test", small.c_str(), "tmpfs", MS_NOSUID | MS_NODEV, "size=1536k") != 0) {
    GTEST_SKIP() << "cannot mount a tmpfs here: " << std::strerror(errno);
  }
  struct Unmount {
    std::string where;
    ~Unmount() { ::umount2(where.c_str(), MNT_DETACH); }
  } unmount{small};
  for (const char* format : {"binary", "xml"}) {
    const std::string path = small + "/Bookmarks." + format;
    writeFile(path, generate(dir.file(format), std::string(format) == "xml" ? 1500 : 5000, format));
    const std::string before = readFile(path);
    ASSERT_GT(before.size(), 768u * 1024) << "too small to fill the disk";
    long peakKb;
    expectSaidFailure(tidymark(path, &peakKb), path, "No space left on device");
    EXPECT_TRUE(readFile(path) == before) << format;
    EXPECT_EQ(directoryEntries(small).size(), 1u) << format << ": a temporary file was left";
    ::unlink(path.c_str());
  }
}

// Runs tidymark on `path` with tests/call_faults.cpp preloaded and `settings` ("NAME=value",
// see there) in its environment; *reached says whether the library failed a call or acted.
ProgramResult tidymarkInterfered(const std::string& path, std::vector<std::string> settings,
                                 bool* reached) {
  TempDir scratch;
  testing::ProgramOptions options;
  options.timeoutSeconds = 60;
  options.env = std::move(settings);
  options.env.push_back("LD_PRELOAD=" TIDYMARK_CALL_FAULTS);
  options.env.push_back("TIDYMARK_FAULT_LOG=" + scratch.file("log"));
  options.env.push_back("TIDYMARK_TARGET=" + path);
  ProgramResult result = testing::runProgram({TIDYMARK_BINARY, path}, options);
  *reached = testing::fileExists(scratch.file("log"));
  return result;
}

class TidymarkInterfered : public ::testing::Test {
 protected:
  void SetUp() override {
#ifdef TIDYMARK_SANITIZED
    GTEST_SKIP() << "under the sanitizers their runtime must be the first library loaded, so the "
                    "fault library cannot be preloaded";
#endif
  }
};

// Another program saves, rewrites, moves or changes the file after tidymark read it and before
// it renames its result (the library acts as tidymark flushes its temporary file).
TEST_F(TidymarkInterfered, LeavesAFileThatChangedDuringTheRunAsTheOtherProgramLeftIt) {
  TempDir source;
  const std::string original = generate(source.file("original"), 20000);
  std::string rewritten = original;
  rewritten.replace(0, 8, "REWRITE!");  // the same size: only its times tell
  const std::string changed =
      "the file changed while it was being sorted; left as it is now, nothing was written";
  const struct {
    const char* action;
    std::string reason;
    std::string left;  // the file's content afterwards
    Names entries;
  } cases[] = {
      {"replace", changed, "saved by another program\n", {"Bookmarks.plist"}},
      {"rewrite", changed, rewritten, {"Bookmarks.plist"}},
      {"chmod", changed, original, {"Bookmarks.plist"}},
      {"move",
       "the file was moved or deleted while it was being sorted; nothing was written",
       original,
       {"Bookmarks.plist.moved"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.action);
    TempDir dir;
    const std::string path = dir.file("Bookmarks.plist");
    writeFile(path, original);
    bool reached = false;
    const ProgramResult result =
        tidymarkInterfered(path, {std::string("TIDYMARK_BEFORE=fsync:") + c.action}, &reached);
    ASSERT_TRUE(reached);
    expectSaidFailure(result, path, c.reason);
    EXPECT_EQ(directoryEntries(dir.path()), c.entries);
    EXPECT_TRUE(readFile(dir.file(c.entries[0])) == c.left);
  }
}

// Two extended attributes, since a file often has several, one with a one-byte value.
const std::pair<const char*, std::string> kAttributes[] = {{"user.tidymark-test", "kept"},
                                                           {"user.tidymark-flag", "1"}};

// Mode 0640, owner and group 65534 when the tests run as root (so that they must be set), and
// extended attributes.
void giveAttributes(const std::string& path) {
  ASSERT_EQ(::chmod(path.c_str(), 0640), 0);
  if (::geteuid() == 0) {
    ASSERT_EQ(::chown(path.c_str(), 65534, 65534), 0);
  }
  for (const auto& [name, value] : kAttributes) {
    ASSERT_EQ(::setxattr(path.c_str(), name, value.data(), value.size(), 0), 0)
        << std::strerror(errno);
  }
}

void expectAttributesKept(const std::string& path) {
  struct stat info;
  ASSERT_EQ(::stat(path.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 07777, 0640u);
  EXPECT_TRUE(::geteuid() != 0 || (info.st_uid == 65534 && info.st_gid == 65534));
  for (const auto& [name, expected] : kAttributes) {
    char value[16] = {};
    const ssize_t length = ::getxattr(path.c_str(), name, value, sizeof value);
    EXPECT_EQ(std::string(value, static_cast<std::size_t>(std::max<ssize_t>(length, 0))), expected)
        << name;
  }
}

// For every N a clean run reaches, the Nth call of each kind fails: the result is the sorted
// file and status 0, or the original and status 1 with one message (or the sorted file, when
// the message says it was replaced); never a temporary file left, never an attribute lost.
TEST_F(TidymarkInterfered, EveryFailingCallLeavesTheOriginalOrTheSortedFile) {
  TempDir dir;
  const std::string path = dir.file("Bookmarks.plist");
  const std::string original = generate(path, 300);
  giveAttributes(path);
  ASSERT_EQ(testing::runProgram({TIDYMARK_BINARY, path}).status, 0);
  expectAttributesKept(path);
  const std::string sorted = readFile(path);
  ASSERT_NE(sorted, original);
  for (const std::string call :
       {"write", "fsync", "close", "fchmod", "fchown", "fsetxattr", "rename", "open", "read"}) {
    int failed = 0;
    for (int n = 1;; ++n) {
      SCOPED_TRACE(call + " call " + std::to_string(n));
      writeFile(path, original);
      giveAttributes(path);
      bool reached = false;
      const ProgramResult result =
          tidymarkInterfered(path, {"TIDYMARK_FAIL=" + call + ":" + std::to_string(n)}, &reached);
      EXPECT_EQ(directoryEntries(dir.path()), Names{"Bookmarks.plist"});
      expectAttributesKept(path);
      if (result.status == 0) {
        EXPECT_TRUE(readFile(path) == sorted);
        EXPECT_EQ(result.err, "");
      } else {
        expectSaidFailure(result, path, "");
        const bool replaced = result.err.find("the file was replaced") != std::string::npos;
        EXPECT_TRUE(readFile(path) == (replaced ? sorted : original));
      }
      if (!reached) break;  // a clean run: no call that many
      ++failed;
      ASSERT_LT(n, 100) << "more calls than a run makes";
    }
    // Proof that the library sits between tidymark and the C library (only root's runs need
    // to set the owner).
    EXPECT_TRUE(failed > 0 || (call == "fchown" && ::geteuid() != 0)) << call << " never failed";
  }
}

TEST_F(TidymarkInterfered, ASignalDuringTheSaveEndsTheRunAndRemovesTheTemporaryFile) {
  TempDir dir;
  const std::string path = dir.file("Bookmarks.plist");
  const std::string original = generate(path, 300);
  for (const auto& [name, number] :
       {std::pair{"SIGINT", SIGINT}, std::pair{"SIGTERM", SIGTERM}, std::pair{"SIGHUP", SIGHUP}}) {
    SCOPED_TRACE(name);
    bool reached = false;
    const ProgramResult result =
        tidymarkInterfered(path, {std::string("TIDYMARK_BEFORE=fsync:") + name}, &reached);
    EXPECT_TRUE(reached);
    EXPECT_EQ(result.status, 128 + number);
    EXPECT_TRUE(readFile(path) == original);
    EXPECT_EQ(directoryEntries(dir.path()), Names{"Bookmarks.plist"});
  }
}

// What a killed run leaves is removed by the next run on that file, unless a live run holds it.
TEST(TidymarkLeftovers, RemovesTheUnlockedTemporaryFilesOfThatFileOnly) {
  TempDir dir;
  const std::string path = dir.file("Bookmarks.plist");
  generate(path, 50);
  const Names kept = {".Bookmarks.plist.tidymark-1234567",  // not a name tidymark makes
                      ".Bookmarks.plist.tidymark-held01",   // a live run's
                      ".Other.plist.tidymark-abc123",       // another file's
                      "Bookmarks.plist"};
  for (const std::string& name :
       {std::string(".Bookmarks.plist.tidymark-dead01"), kept[0], kept[1], kept[2]}) {
    writeFile(dir.file(name), "left over");
  }
  const int held = ::open(dir.file(kept[1]).c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_EQ(::flock(held, LOCK_EX), 0);
  EXPECT_EQ(testing::runProgram({TIDYMARK_BINARY, path}).status, 0);
  ::close(held);
  EXPECT_EQ(directoryEntries(dir.path()), kept);
}

std::string ascii(const std::string& text) {
  return static_cast<char>(0x50 | text.size()) + text;
}

// A binary file whose root dictionary holds `children` (object 2) under "Children".
std::string binaryWithChildren(std::string children, testing::BinaryLayout layout = {}) {
  layout.objects.insert(layout.objects.begin(),
                        {std::string("\xD1\x01\x02", 3), ascii("Children"), std::move(children)});
  return testing::assembleBinaryPlist(layout);
}

// Folders `depth` deep, each holding a bookmark and then the next folder, built inside out.
PlistValue deepFolders(std::size_t depth) {
  PlistValue inner = testing::folder("innermost");
  for (std::size_t i = 0; i < depth; ++i) {
    std::vector<PlistValue> children;
    children.push_back(testing::bookmark("b"));
    children.push_back(std::move(inner));
    inner = testing::folder("f", std::move(children));
  }
  return inner;
}

std::string deepXmlArrays(std::size_t depth) {
  std::string xml = "<plist><dict><key>deep</key>";
  for (std::size_t i = 0; i < depth; ++i)
    xml += "<array>";
  xml += "<true/>";
  for (std::size_t i = 0; i < depth; ++i)
    xml += "</array>";
  return xml + "</dict></plist>";
}

constexpr const char* kSecret = "TIDYMARK-SECRET-5150";

struct HostileCase {
  std::string name;
  std::function<void(const std::string& path, const std::string& dir)> make;
  std::string reason;  // empty: the file loads, and the run must sort it into a file that loads
};

std::function<void(const std::string&, const std::string&)> bytes(std::string content) {
  return [content](const std::string& path, const std::string&) { writeFile(path, content); };
}

std::function<void(const std::string&, const std::string&)> cutAt(double fraction, int less) {
  return [=](const std::string& path, const std::string&) {
    std::string file = generate(path, 50);
    file.resize(static_cast<std::size_t>(file.size() * fraction) - less);
    writeFile(path, file);
  };
}

TEST(TidymarkHostileInput, RefusesOrSortsEveryFileAndNeverCrashesHangsOrBloats) {
  std::string bomb = "<?xml version=\"1.0\"?>\n<!DOCTYPE plist [\n<!ENTITY a \"aaaaaaaaaa\">\n";
  for (char c = 'b'; c <= 'i'; ++c) {
    bomb += std::string("<!ENTITY ") + c + " \"";
    for (int i = 0; i < 10; ++i)
      bomb += std::string("&") + char(c - 1) + ";";
    bomb += "\">\n";
  }
  bomb += "]>\n<plist><dict><key>k</key><string>&i;</string></dict></plist>\n";
  // Under "Children" an array holding the array below it twice, 64 levels down to a string:
  // 2^64 strings when expanded, from a few hundred bytes.
  testing::BinaryLayout levels;
  for (int level = 0; level < 64; ++level) {
    const char below = static_cast<char>(level + 4);  // object 3 + level holds the next one
    levels.objects.push_back(std::string("\xA2") + below + below);
  }
  levels.objects.push_back(ascii("x"));
  const std::string sharedBomb = binaryWithChildren("\xA2\x03\x03", levels);

  const std::vector<HostileCase> cases = {
      {"empty", bytes(""), "not a property list: the file is empty"},
      {"one byte", bytes("<"), "not a property list: line 1: "},
      {"truncated binary", cutAt(0.5, 0), "not a binary property list: "},
      {"cut trailer", cutAt(1, 9), "not a binary property list: "},
      {"reference cycle", bytes(binaryWithChildren(std::string("\xA1\x00", 2))),
       "reference cycle at object 0"},
      {"offset table past the end", bytes(binaryWithChildren(ascii("x"), {.tableOffset = 1 << 20})),
       "the offset table starts outside the file"},
      {"absurd object count",
       bytes(binaryWithChildren(ascii("x"), {.numObjects = std::uint64_t{1} << 62})),
       "objects runs past the trailer"},
      {"reference out of range", bytes(binaryWithChildren("\xA1\x7F")),
       "reference 127 is out of range"},
      {"shared-reference bomb", bytes(sharedBomb), "expands far beyond its size"},
      {"binary nesting 200,000 deep",
       [](const std::string& path, const std::string&) {
         ASSERT_TRUE(savePlistFile(path, {deepFolders(200000), PlistFormat::Binary}).ok());
       },
       ""},
      {"XML nesting 200,000 deep", bytes(deepXmlArrays(200000)), ""},
      {"XML entity bomb", bytes(bomb), "entity declarations are not allowed"},
      {"XML external entity",
       [](const std::string& path, const std::string& dir) {
         writeFile(dir + "/secret.txt", kSecret);
         writeFile(path, "<!DOCTYPE plist [<!ENTITY x SYSTEM \"file://" + dir +
                             "/secret.txt\">]><plist><dict><key>k</key><string>&x;</string>"
                             "</dict></plist>");
       },
       "entity declarations are not allowed"},
      {"XML not UTF-8", bytes("<plist><dict><key>\xC3\x28</key><true/></dict></plist>"),
       "line 1: not well-formed"},
      {"XML unclosed", bytes("<plist><dict><key>a</key><string>b</string>"), "line 1: "},
      {"XML unknown element", bytes("<plist><dict><key>a</key><bogus/></dict></plist>"),
       "unknown element <bogus>"},
      {"XML key without a value", bytes("<plist><dict><key>a</key></dict></plist>"),
       "key \"a\" has no value"},
      {"FIFO", [](const std::string& path, const std::string&) { ::mkfifo(path.c_str(), 0600); },
       "is a named pipe, not a file"},
      {"directory",
       [](const std::string& path, const std::string&) { ::mkdir(path.c_str(), 0700); },
       "is a directory, not a file"},
  };
  for (const HostileCase& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    const std::string path = dir.file("Bookmarks.plist");
    c.make(path, dir.path());
    struct stat info;
    ASSERT_EQ(::lstat(path.c_str(), &info), 0);
    const bool regular = S_ISREG(info.st_mode);
    const std::string before = regular ? readFile(path) : "";
    const Names entries = directoryEntries(dir.path());

    long peakKb = 0;
    const ProgramResult result = tidymark(path, &peakKb);
    EXPECT_GT(peakKb, 0) << "not measured";
    EXPECT_LT(peakKb, 512 * 1024);
    EXPECT_EQ(directoryEntries(dir.path()), entries) << "a file was left or removed";
    if (!c.reason.empty()) {
      expectSaidFailure(result, path, c.reason);
      EXPECT_TRUE(!regular || readFile(path) == before) << "the file changed";
    } else {
      EXPECT_FALSE(result.timedOut) << "hung";
      EXPECT_EQ(result.status, 0) << result.err;
      PlistDocument written;
      EXPECT_TRUE(loadPlistFile(path, &written).ok());
    }
    for (const std::string& text : {result.out, result.err, regular ? readFile(path) : ""}) {
      EXPECT_EQ(text.find(kSecret), std::string::npos) << "the secret leaked";
    }
  }
}

// Bit flips of a small valid file in each format, through the run in memory: a damaged file
// either fails to load or sorts and writes, in its own format, to exactly that sorted tree.
TEST(TidymarkHostileInput, DamagedFilesFailOrSortToAFileThatLoads) {
  TempDir dir;
  std::mt19937 random(77);
  for (const char* format : {"binary", "xml"}) {
    const std::string valid = generate(dir.file(format), 12, format);
    int loaded = 0;
    for (int i = 0; i < 400; ++i) {
      std::string file = valid;
      for (int f = 0; f < 1 + static_cast<int>(random() % 3); ++f) {
        file[random() % file.size()] ^= static_cast<char>(1u << (random() % 8));
      }
      PlistDocument document;
      if (!parsePlist(file, &document).ok()) continue;
      ++loaded;
      sortImpl(document.root);
      std::string written;
      ASSERT_TRUE(serializePlist(document, &written).ok()) << format << " flip " << i;
      PlistDocument again;
      ASSERT_TRUE(parsePlist(written, &again).ok()) << format << " flip " << i;
      EXPECT_TRUE(again.root == document.root && again.format == document.format) << i;
    }
    EXPECT_GT(loaded, 0) << format << ": damage in text, say, leaves a file that loads";
  }
}

}  // namespace
}  // namespace tidymark
