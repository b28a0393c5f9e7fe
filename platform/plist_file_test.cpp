#include "platform/plist_file.h"

#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>

#include "tests/test_support.h"

namespace tidymark {
namespace {

using testing::directoryEntries;
using testing::readFile;
using testing::TempDir;
using testing::writeFile;
using Names = std::vector<std::string>;

PlistDocument sample(PlistFormat format) {
  return {testing::folder("", {testing::bookmark("b"), testing::bookmark("a")}), format};
}

mode_t modeOf(const std::string& path) {
  struct stat info;
  EXPECT_EQ(::lstat(path.c_str(), &info), 0) << path;
  return info.st_mode;
}

TEST(PlistFile, SavesAndLoadsInItsFormatThroughLinksKeepingThemAndTheMode) {
  TempDir dir;
  ASSERT_EQ(::mkdir(dir.file("store").c_str(), 0700), 0);
  const std::string real = dir.file("store/Bookmarks.plist");
  writeFile(real, "old");
  ASSERT_EQ(::chmod(real.c_str(), 0640), 0);
  const bool root = ::geteuid() == 0;
  if (root) {
    ASSERT_EQ(::chown(real.c_str(), 65534, 65534), 0);
  }
  // A chain of links: an absolute one to a relative one.
  ASSERT_EQ(::symlink("store/Bookmarks.plist", dir.file("relative").c_str()), 0);
  ASSERT_EQ(::symlink(dir.file("relative").c_str(), dir.file("absolute").c_str()), 0);
  for (PlistFormat format : {PlistFormat::Binary, PlistFormat::Xml}) {
    ASSERT_TRUE(savePlistFile(dir.file("absolute"), sample(format)).ok());
    EXPECT_EQ(readFile(real).starts_with("bplist00"), format == PlistFormat::Binary);
    PlistDocument loaded;
    ASSERT_TRUE(loadPlistFile(dir.file("absolute"), &loaded).ok());
    EXPECT_EQ(loaded.format, format);
    EXPECT_EQ(loaded.root, sample(format).root);
    const std::string once = readFile(real);  // what the tool writes is a fixed point
    ASSERT_TRUE(savePlistFile(real, loaded).ok());
    EXPECT_EQ(readFile(real), once);
  }
  EXPECT_TRUE(S_ISLNK(modeOf(dir.file("absolute"))) && S_ISLNK(modeOf(dir.file("relative"))));
  EXPECT_EQ(modeOf(real) & 07777, 0640u);
  struct stat info;
  ASSERT_EQ(::stat(real.c_str(), &info), 0);
  EXPECT_TRUE(!root || (info.st_uid == 65534 && info.st_gid == 65534));
  EXPECT_EQ(directoryEntries(dir.file("store")), Names{"Bookmarks.plist"});

  const mode_t mask = ::umask(027);  // a new file gets what the umask allows
  ASSERT_TRUE(savePlistFile(dir.file("new.plist"), sample(PlistFormat::Xml)).ok());
  ::umask(mask);
  EXPECT_EQ(modeOf(dir.file("new.plist")) & 07777, 0640u);
}

TEST(PlistFile, RefusesWhatIsNotAPropertyListFileWithAReason) {
  TempDir dir;
  ASSERT_EQ(::mkfifo(dir.file("fifo").c_str(), 0600), 0);  // an open would block: not opened
  writeFile(dir.file("future"), "bplist15 and more");
  ASSERT_TRUE(savePlistFile(dir.file("text"), {PlistValue::string("text"), PlistFormat::Xml}).ok());
  const std::pair<std::string, std::string> cases[] = {
      {dir.file("missing"), "cannot open: No such file or directory"},
      {"/dev/null", "is a device, not a file"},
      {dir.file("fifo"), "is a named pipe, not a file"},
      {dir.file("future"), "unsupported binary property list version \"bplist15\""},
      {dir.file("text"), "the property list holds a string, not a dictionary, at its top"},
  };
  for (const auto& [path, message] : cases) {
    PlistDocument document;
    EXPECT_EQ(loadPlistFile(path, &document).message(), message);
  }
}

TEST(PlistFile, ReadsLargeXmlFilesAcrossThePiecesTheParserIsFed) {
  // The parser takes a large file a megabyte at a time; lines are counted across the pieces.
  PlistDict entries;
  for (int i = 0; i < 60000; ++i) {
    entries.push_back({"key " + std::to_string(i), PlistValue::string(std::string(80, 'x'))});
  }
  const PlistDocument large{PlistValue::dict(std::move(entries)), PlistFormat::Xml};
  TempDir dir;
  ASSERT_TRUE(savePlistFile(dir.file("large.plist"), large).ok());
  std::string xml = readFile(dir.file("large.plist"));
  ASSERT_GT(xml.size(), std::size_t{5} << 20);
  PlistDocument loaded;
  ASSERT_TRUE(loadPlistFile(dir.file("large.plist"), &loaded).ok());
  EXPECT_EQ(loaded.format, PlistFormat::Xml);
  EXPECT_EQ(loaded.root, large.root);
  const std::size_t middle = xml.find("\t<key>", xml.size() / 2);
  xml.insert(middle, "<bogus/>");
  writeFile(dir.file("large.plist"), xml);
  const std::string line = std::to_string(1 + std::count(xml.begin(), xml.begin() + middle, '\n'));

  EXPECT_EQ(loadPlistFile(dir.file("large.plist"), &loaded).message(),
            "not a property list: line " + line + ": unknown element <bogus>");
}

TEST(PlistFile, AFailedSaveLeavesTheOriginalAndNoTemporaryFile) {
  TempDir dir;
  const std::string path = dir.file("Bookmarks.plist");
  writeFile(path, "the original bytes");
  std::vector<PlistValue> many;
  for (int i = 0; i < 2000; ++i)
    many.push_back(testing::bookmark("title " + std::to_string(i)));
  const PlistDocument big{testing::folder("", std::move(many)), PlistFormat::Binary};
  // In a child whose file size limit stops the write partway, as a full disk would.
  const pid_t child = ::fork();
  if (child == 0) {
    ::signal(SIGXFSZ, SIG_IGN);
    const rlimit limit{4096, 4096};
    ::setrlimit(RLIMIT_FSIZE, &limit);
    ::_exit(savePlistFile(path, big).message() == "cannot write: File too large" ? 0 : 1);
  }
  int status = -1;
  ::waitpid(child, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "the write must fail and say so";
  EXPECT_EQ(readFile(path), "the original bytes");
  EXPECT_EQ(directoryEntries(dir.path()), Names{"Bookmarks.plist"});

  const PlistDocument bell{PlistValue::dict({{"bell", PlistValue::string("\a")}}),
                           PlistFormat::Xml};
  EXPECT_EQ(savePlistFile(path, bell).message(),
            "cannot write XML: a string holds the character U+0007, which XML cannot represent");
  EXPECT_EQ(readFile(path), "the original bytes");
  EXPECT_EQ(directoryEntries(dir.path()), Names{"Bookmarks.plist"});
  ASSERT_EQ(::mkdir(dir.file("folder").c_str(), 0700), 0);
  EXPECT_EQ(savePlistFile(dir.file("folder"), big).message(), "is a directory, not a file");
}

}  // namespace
}  // namespace tidymark
