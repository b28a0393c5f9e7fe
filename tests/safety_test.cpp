// The promise of the built tidymark, whatever the input and whatever happens during the run:
// the file afterwards is either exactly what it was or the complete sorted version, and a
// failure is always said (status 1, " failed", one line on standard error).

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <functional>
#include <iostream>
#include <optional>
#include <random>
#include <thread>

#include <gtest/gtest.h>

#include "bookmarks/folder_sort.h"
#include "platform/plist_file.h"
#include "tests/test_support.h"

extern char** environ;

namespace tidymark {
namespace {

using testing::directoryEntries;
using testing::ProgramOptions;
using testing::ProgramResult;
using testing::readFile;
using testing::TempDir;
using testing::writeFile;
using Names = std::vector<std::string>;

// A generous ceiling for one run's peak memory: the largest input here is a few megabytes.
constexpr long kMemoryCeilingKb = 512 * 1024;
// Only a guard against hangs: a run that has not ended by then is killed and the test fails.
constexpr double kHangGuardSeconds = 120;

// A ceiling for what one run may write: the new copy of the largest input here is a few tens of
// megabytes. A write past it fails (SIGXFSZ), so output that balloons shows at once.
constexpr const char* kFileSizeCeiling = "--fsize=268435456";

// Runs tidymark on `path` under the file size ceiling and the hang guard; with `peakKb`, also
// measures its peak memory (through a small process: see peak_memory.cpp).
ProgramResult tidymark(const std::string& path, long* peakKb = nullptr) {
  ProgramOptions options;
  options.timeoutSeconds = kHangGuardSeconds;
  const std::vector<std::string> run = {"prlimit", kFileSizeCeiling, TIDYMARK_BINARY, path};
  if (!peakKb) return testing::runProgram(run, options);
  TempDir scratch;
  std::vector<std::string> argv = {TIDYMARK_PEAK_MEMORY, scratch.file("peak")};
  argv.insert(argv.end(), run.begin(), run.end());
  const ProgramResult result = testing::runProgram(argv, options);
  *peakKb =
      testing::fileExists(scratch.file("peak")) ? std::stol(readFile(scratch.file("peak"))) : -1;
  return result;
}

std::string progress(const std::string& path, const char* ending) {
  return "sorting bookmarks at " + path + " ..." + ending + "\n";
}

// Checks that a run failed and said so: status 1 (not a crash), " failed", and one line on
// standard error naming the path and holding `reason`.
void expectSaidFailure(const ProgramResult& result, const std::string& path,
                       const std::string& reason) {
  EXPECT_FALSE(result.timedOut) << "hung";
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(result.out, progress(path, " failed"));
  const std::string prefix = "tidymark: " + path + ": ";
  EXPECT_TRUE(result.err.starts_with(prefix)) << result.err;
  EXPECT_EQ(result.err.find('\n'), result.err.size() - 1) << "not one line:\n" << result.err;
  EXPECT_NE(result.err.find(reason, prefix.size()), std::string::npos) << result.err;
}

std::string generate(const std::string& path, std::size_t bookmarks,
                     const char* format = "binary") {
  const ProgramResult result = testing::runProgram(
      {TIDYMARK_GENERATE, "--bookmarks", std::to_string(bookmarks), "--format", format, path});
  EXPECT_EQ(result.status, 0) << result.err;
  return readFile(path);
}

// The temporary file a save makes beside the file before it is renamed over it.
bool isTemporaryOf(const std::string& entry, const std::string& name) {
  const std::string prefix = "." + name + ".tidymark-";
  return entry.starts_with(prefix) && entry.size() == prefix.size() + 6;
}

// ---- Killed at any moment -------------------------------------------------------------------

pid_t startQuietly(const std::vector<std::string>& argv) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  std::vector<char*> args;
  for (const std::string& arg : argv)
    args.push_back(const_cast<char*>(arg.c_str()));
  args.push_back(nullptr);
  pid_t pid = -1;
  const int rc = posix_spawn(&pid, args[0], &actions, nullptr, args.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  return rc == 0 ? pid : -1;
}

TEST(TidymarkKilled, LeavesTheOriginalOrTheSortedFileWhateverTheMoment) {
  TempDir dir;
  const std::string name = "Bookmarks.plist";
  const std::string path = dir.file(name);
  const std::string original = generate(path, 20000);

  // Undisturbed runs, on a fresh copy and started as the killed ones will be, give the sorted
  // file and how long a run takes (the longest of three: the copy's own writeback slows them).
  std::string sorted;
  std::chrono::duration<double> duration{0};
  int status = 0;
  for (int i = 0; i < 3; ++i) {
    writeFile(path, original);
    const auto start = std::chrono::steady_clock::now();
    const pid_t undisturbed = startQuietly({TIDYMARK_BINARY, path});
    ASSERT_EQ(::waitpid(undisturbed, &status, 0), undisturbed);
    duration =
        std::max<std::chrono::duration<double>>(duration, std::chrono::steady_clock::now() - start);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    const std::string now = readFile(path);
    ASSERT_TRUE(i == 0 || now == sorted) << "two runs sorted differently";
    sorted = now;
  }
  ASSERT_TRUE(sorted != original) << "nothing to sort";

  constexpr int kKills = 32;
  std::mt19937 random(20240601);
  std::uniform_real_distribution<double> moment(0, duration.count());
  int keptOriginal = 0, keptSorted = 0, finished = 0, temporaryLeft = 0;
  for (int i = 0; i < kKills; ++i) {
    writeFile(path, original);
    const double after = moment(random);
    const pid_t pid = startQuietly({TIDYMARK_BINARY, path});
    ASSERT_GT(pid, 0);
    std::this_thread::sleep_for(std::chrono::duration<double>(after));
    ::kill(pid, SIGKILL);
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);

    const std::string now = readFile(path);
    ASSERT_TRUE(now == original || now == sorted)
        << "a kill after " << after << " s left " << now.size() << " bytes of something else";
    if (WIFEXITED(status)) {
      ++finished;
      EXPECT_EQ(WEXITSTATUS(status), 0);
      EXPECT_TRUE(now == sorted) << "a finished run left the original";
    } else {
      ++(now == original ? keptOriginal : keptSorted);
    }
    // A kill can leave the temporary file behind, never anything else.
    for (const std::string& entry : directoryEntries(dir.path())) {
      if (entry == name) continue;
      ASSERT_TRUE(isTemporaryOf(entry, name)) << entry;
      ++temporaryLeft;
      ASSERT_EQ(::unlink(dir.file(entry).c_str()), 0);
    }
  }
  std::cout << "one run: " << duration.count() << " s; " << kKills << " kills: " << keptOriginal
            << " left the original, " << keptSorted << " the sorted file, " << finished
            << " came after the end; " << temporaryLeft << " left a temporary file\n";
}

// ---- A full disk ----------------------------------------------------------------------------

// A small tmpfs mounted on a directory for the life of the object, where the system allows it.
class SmallFileSystem {
 public:
  SmallFileSystem(const std::string& where, const std::string& size) : where_(where) {
    if (::geteuid() != 0) {
      why_ = "mounting a file system needs root";
    } else if (::mount("tidymark-test", where.c_str(), "tmpfs", MS_NOSUID | MS_NODEV,
                       ("size=" + size).c_str()) != 0) {
      why_ = std::string("cannot mount a tmpfs here: ") + std::strerror(errno);
    }
  }
  ~SmallFileSystem() {
    if (why_.empty()) ::umount2(where_.c_str(), MNT_DETACH);
  }
  // Empty when mounted, otherwise why not.
  const std::string& whyNot() const { return why_; }

 private:
  std::string where_;
  std::string why_;
};

TEST(TidymarkFullDisk, SaysSoAndLeavesTheOriginalAndNoTemporaryFile) {
  TempDir dir;
  const std::string mountPoint = dir.file("small");
  ASSERT_EQ(::mkdir(mountPoint.c_str(), 0755), 0);
  // About 1 MB of bookmarks on a 1.5 MB file system: no room for the new copy beside it.
  SmallFileSystem small(mountPoint, "1536k");
  if (!small.whyNot().empty()) GTEST_SKIP() << small.whyNot();

  for (const char* format : {"binary", "xml"}) {
    const std::string name = std::string("Bookmarks.") + format;
    const std::string path = mountPoint + "/" + name;
    const std::string generated = dir.file(name);
    writeFile(path, generate(generated, std::string(format) == "xml" ? 1500 : 5000, format));
    const std::string before = readFile(path);
    ASSERT_GT(before.size(), 768u * 1024) << "too small to fill the disk";

    const ProgramResult result = tidymark(path);
    expectSaidFailure(result, path, "No space left on device");
    EXPECT_TRUE(readFile(path) == before) << format << ": the original changed";
    EXPECT_EQ(directoryEntries(mountPoint), Names{name}) << format;
    ASSERT_EQ(::unlink(path.c_str()), 0);
  }
}

// ---- Hostile files and paths ----------------------------------------------------------------

// A binary property list from object byte strings: two-byte offsets, one-byte references, and
// trailer fields that a case may override.
struct Trailer {
  std::optional<std::uint64_t> objects;
  std::uint64_t top = 0;
  std::optional<std::uint64_t> tableOffset;
  unsigned refSize = 1;
};

Trailer trailerWith(const std::function<void(Trailer&)>& change) {
  Trailer trailer;
  change(trailer);
  return trailer;
}

std::string bigEndian(std::uint64_t value, unsigned width) {
  std::string bytes;
  for (unsigned i = width; i-- > 0;)
    bytes.push_back(static_cast<char>(value >> (8 * i)));
  return bytes;
}

std::string binaryFile(const std::vector<std::string>& objects, const Trailer& trailer = {}) {
  std::string file = "bplist00";
  std::string table;
  for (const std::string& object : objects) {
    table += bigEndian(file.size(), 2);
    file += object;
  }
  const std::uint64_t tableOffset = file.size();
  file += table;
  file += std::string(6, '\0') + '\x02' + static_cast<char>(trailer.refSize);
  file += bigEndian(trailer.objects.value_or(objects.size()), 8);
  file += bigEndian(trailer.top, 8);
  file += bigEndian(trailer.tableOffset.value_or(tableOffset), 8);
  return file;
}

std::string ascii(const std::string& text) {
  return static_cast<char>(0x50 | text.size()) + text;
}

// A dictionary (object 0) holding object 2 under the key "Children" (object 1).
const std::string kDictOfChildren = std::string("\xD1\x01\x02", 3);
const std::string kChildrenKey = ascii("Children");

// The root dictionary holds, under "Children", an array of the array below it twice, 64
// levels down to a string: 2^64 strings when expanded, from under 400 bytes.
std::string sharedReferenceBomb() {
  std::vector<std::string> objects = {kDictOfChildren, kChildrenKey};
  constexpr int kLevels = 64;
  for (int level = 0; level < kLevels; ++level) {
    const char below = static_cast<char>(objects.size() + 1);
    objects.push_back(std::string("\xA2") + below + below);
  }
  objects.push_back(ascii("x"));
  return binaryFile(objects);
}

// Folders `depth` deep, each holding a bookmark and the next folder (in the order given),
// built from the inside out so nothing recurses.
PlistValue deepFolders(std::size_t depth, bool folderFirst) {
  PlistValue inner = testing::folder("innermost");
  for (std::size_t i = 0; i < depth; ++i) {
    PlistDict uri;
    uri.push_back({"title", PlistValue::string("b")});
    PlistDict leaf;
    leaf.push_back({"WebBookmarkType", PlistValue::string("WebBookmarkTypeLeaf")});
    leaf.push_back({"URIDictionary", PlistValue::dict(std::move(uri))});
    PlistArray children;
    if (folderFirst) children.push_back(std::move(inner));
    children.push_back(PlistValue::dict(std::move(leaf)));
    if (!folderFirst) children.push_back(std::move(inner));
    PlistDict folder;
    folder.push_back({"WebBookmarkType", PlistValue::string("WebBookmarkTypeList")});
    folder.push_back({"Title", PlistValue::string("f")});
    folder.push_back({"Children", PlistValue::array(std::move(children))});
    inner = PlistValue::dict(std::move(folder));
  }
  return inner;
}

// A root dictionary holding arrays `depth` deep, written compactly.
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
  // Makes the file at `path` in `dir` (a regular file unless the case makes something else).
  std::function<void(const std::string& path, const std::string& dir)> make;
  // What standard error must say; empty: the file loads, and the run must succeed and write
  // what `expected` holds (when given) in the same format.
  std::string reason;
  std::function<PlistValue()> expected = nullptr;
};

std::function<void(const std::string&, const std::string&)> bytes(std::string content) {
  return [content](const std::string& path, const std::string&) { writeFile(path, content); };
}

// A small valid bookmarks file from the generator, cut or damaged by `damage`.
std::function<void(const std::string&, const std::string&)> damaged(
    std::function<void(std::string&)> damage) {
  return [damage](const std::string& path, const std::string&) {
    std::string file = generate(path, 50);
    damage(file);
    writeFile(path, file);
  };
}

TEST(TidymarkHostileInput, RefusesOrSortsEveryFileAndNeverCrashesHangsOrBloats) {
  constexpr std::size_t kDeep = 200000;
  const std::vector<HostileCase> cases = {
      {"empty", bytes(""), "not a property list: the file is empty"},
      {"one byte", bytes("<"), "not a property list: line 1: "},
      {"one binary byte", bytes("b"), "not a property list: line 1: "},
      {"truncated binary", damaged([](std::string& f) { f.resize(f.size() / 2); }),
       "not a binary property list: "},
      {"cut trailer", damaged([](std::string& f) { f.resize(f.size() - 9); }),
       "not a binary property list: "},
      {"reference cycle",
       bytes(binaryFile({kDictOfChildren, kChildrenKey, std::string("\xA1\x00", 2)})),
       "reference cycle at object 0"},
      {"offset table past the end",
       bytes(binaryFile({kDictOfChildren, kChildrenKey, ascii("x")},
                        trailerWith([](Trailer& t) { t.tableOffset = 1 << 20; }))),
       "the offset table starts outside the file"},
      {"absurd object count",
       bytes(binaryFile({kDictOfChildren, kChildrenKey, ascii("x")},
                        trailerWith([](Trailer& t) { t.objects = std::uint64_t{1} << 62; }))),
       "objects runs past the trailer"},
      {"reference out of range", bytes(binaryFile({"\xD1\x01\x7F", kChildrenKey, ascii("x")})),
       "reference 127 is out of range"},
      {"wide references past the end",
       bytes(binaryFile({std::string("\xD1\x00\x00\x00\x01\xFF\xFF\xFF\xFF", 9), kChildrenKey},
                        trailerWith([](Trailer& t) { t.refSize = 4; }))),
       "reference 4294967295 is out of range"},
      {"shared-reference bomb", bytes(sharedReferenceBomb()),
       "expands far beyond its size (shared references)"},
      {"binary string not ASCII",
       bytes(binaryFile({kDictOfChildren, kChildrenKey, "\x52\xC3\xA9"})),
       "an ASCII string holds a byte above 0x7F"},
      {"binary nesting 200,000 deep",
       [](const std::string& path, const std::string&) {
         ASSERT_TRUE(savePlistFile(path, {deepFolders(kDeep, false), PlistFormat::Binary}).ok());
       },
       "", [] { return deepFolders(kDeep, true); }},
      {"XML nesting 200,000 deep", bytes(deepXmlArrays(kDeep)), "",
       [] {
         PlistValue deep = PlistValue::boolean(true);
         for (std::size_t i = 0; i < kDeep; ++i) {
           PlistArray wrapper;
           wrapper.push_back(std::move(deep));
           deep = PlistValue::array(std::move(wrapper));
         }
         PlistDict root;
         root.push_back({"deep", std::move(deep)});
         return PlistValue::dict(std::move(root));
       }},
      {"XML entity bomb",
       bytes("<?xml version=\"1.0\"?>\n<!DOCTYPE plist [\n<!ENTITY a \"aaaaaaaaaa\">\n"
             "<!ENTITY b \"&a;&a;&a;&a;&a;&a;&a;&a;&a;&a;\">\n"
             "<!ENTITY c \"&b;&b;&b;&b;&b;&b;&b;&b;&b;&b;\">\n"
             "<!ENTITY d \"&c;&c;&c;&c;&c;&c;&c;&c;&c;&c;\">\n"
             "<!ENTITY e \"&d;&d;&d;&d;&d;&d;&d;&d;&d;&d;\">\n"
             "<!ENTITY f \"&e;&e;&e;&e;&e;&e;&e;&e;&e;&e;\">\n"
             "<!ENTITY g \"&f;&f;&f;&f;&f;&f;&f;&f;&f;&f;\">\n"
             "<!ENTITY h \"&g;&g;&g;&g;&g;&g;&g;&g;&g;&g;\">\n"
             "<!ENTITY i \"&h;&h;&h;&h;&h;&h;&h;&h;&h;&h;\">\n]>\n"
             "<plist><dict><key>k</key><string>&i;</string></dict></plist>\n"),
       "entity declarations are not allowed"},
      {"XML external entity",
       [](const std::string& path, const std::string& dir) {
         writeFile(dir + "/secret.txt", kSecret);
         writeFile(path, "<?xml version=\"1.0\"?>\n<!DOCTYPE plist [<!ENTITY x SYSTEM \"file://" +
                             dir +
                             "/secret.txt\">]>\n"
                             "<plist><dict><key>k</key><string>&x;</string></dict></plist>\n");
       },
       "entity declarations are not allowed"},
      {"XML external DTD",
       [](const std::string& path, const std::string& dir) {
         writeFile(dir + "/secret.dtd", std::string("<!ENTITY x \"") + kSecret + "\">\n");
         writeFile(path, "<?xml version=\"1.0\"?>\n<!DOCTYPE plist SYSTEM \"file://" + dir +
                             "/secret.dtd\">\n"
                             "<plist><dict><key>k</key><string>&x;</string></dict></plist>\n");
       },
       "undefined entity &x;"},
      {"XML not UTF-8", bytes("<plist><dict><key>\xC3\x28</key><true/></dict></plist>"),
       "not a property list: line 1: "},
      {"XML unclosed", bytes("<plist><dict><key>a</key><string>b</string>"),
       "not a property list: line 1: "},
      {"XML unknown element", bytes("<plist><dict><key>a</key><bogus/></dict></plist>"),
       "not a property list: line 1: "},
      {"XML key without a value", bytes("<plist><dict><key>a</key></dict></plist>"),
       "key \"a\" has no value"},
      {"FIFO",
       [](const std::string& path, const std::string&) {
         ASSERT_EQ(::mkfifo(path.c_str(), 0600), 0);
       },
       "is a named pipe, not a file"},
      {"directory",
       [](const std::string& path, const std::string&) {
         ASSERT_EQ(::mkdir(path.c_str(), 0700), 0);
       },
       "is a directory, not a file"},
  };

  std::string peaks;
  for (const HostileCase& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    const std::string path = dir.file("Bookmarks.plist");
    c.make(path, dir.path());
    if (::testing::Test::HasFatalFailure()) return;
    struct stat info;
    ASSERT_EQ(::lstat(path.c_str(), &info), 0);
    const bool regular = S_ISREG(info.st_mode);
    const std::string before = regular ? readFile(path) : "";
    const Names entries = directoryEntries(dir.path());

    long peakKb = 0;
    const ProgramResult result = tidymark(path, &peakKb);
    EXPECT_GT(peakKb, 0) << "not measured";
    EXPECT_LT(peakKb, kMemoryCeilingKb);
    peaks += (peaks.empty() ? "" : ", ") + c.name + " " + std::to_string(peakKb);
    EXPECT_EQ(directoryEntries(dir.path()), entries) << "a file was left or removed";
    if (!c.reason.empty()) {
      expectSaidFailure(result, path, c.reason);
      ASSERT_EQ(::lstat(path.c_str(), &info), 0);
      EXPECT_EQ(S_ISREG(info.st_mode), regular);
      if (regular) {
        EXPECT_TRUE(readFile(path) == before) << "the file changed";
      }
    } else {
      EXPECT_FALSE(result.timedOut) << "hung";
      EXPECT_EQ(result.status, 0) << result.err;
      EXPECT_EQ(result.err, "");
      PlistDocument written;
      ASSERT_TRUE(loadPlistFile(path, &written).ok());
      EXPECT_EQ(written.format,
                before.starts_with("bplist") ? PlistFormat::Binary : PlistFormat::Xml);
      if (c.expected) {
        EXPECT_TRUE(written.root == c.expected());
      }
    }
    for (const std::string& text : {result.out, result.err, regular ? readFile(path) : ""})
      EXPECT_EQ(text.find(kSecret), std::string::npos) << "the secret leaked";
  }
  std::cout << "peak memory (kB): " << peaks << "\n";
}

// Bit flips of a small valid file in each format, through the run in memory: a damaged file
// either fails to load or loads a tree that sorts and writes, in its own format, to a file
// that loads as exactly that sorted tree.
TEST(TidymarkHostileInput, DamagedFilesFailOrSortToAFileThatLoads) {
  TempDir dir;
  constexpr int kFlips = 400;
  std::mt19937 random(77);
  for (const char* format : {"binary", "xml"}) {
    SCOPED_TRACE(format);
    const std::string valid = generate(dir.file(format), 12, format);
    int loaded = 0;
    for (int i = 0; i < kFlips; ++i) {
      std::string file = valid;
      const int flips = 1 + static_cast<int>(random() % 3);
      for (int f = 0; f < flips; ++f)
        file[random() % file.size()] ^= static_cast<char>(1u << (random() % 8));
      PlistDocument document;
      if (!parsePlist(file, &document).ok()) continue;
      ++loaded;
      sortImpl(document.root);
      std::string written;
      const Status status = serializePlist(document, &written);
      ASSERT_TRUE(status.ok()) << "flip " << i << ": " << status.message();
      PlistDocument again;
      ASSERT_TRUE(parsePlist(written, &again).ok()) << "flip " << i;
      EXPECT_EQ(again.format, document.format);
      EXPECT_TRUE(again.root == document.root) << "flip " << i;
    }
    std::cout << format << ": " << loaded << " of " << kFlips << " damaged files loaded\n";
  }
}

}  // namespace
}  // namespace tidymark
