#include "platform/plist_file.h"

#include <dirent.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>

#include "tests/test_support.h"

namespace tidymark {
namespace {

using testing::readFile;
using testing::TempDir;
using testing::writeFile;

PlistDocument sampleDocument(PlistFormat format) {
  return {testing::folder("", {testing::bookmark("b"), testing::bookmark("a")}), format};
}

std::vector<std::string> directoryEntries(const std::string& path) {
  std::vector<std::string> names;
  DIR* dir = ::opendir(path.c_str());
  while (dirent* entry = dir ? ::readdir(dir) : nullptr) {
    const std::string name = entry->d_name;
    if (name != "." && name != "..") names.push_back(name);
  }
  if (dir) ::closedir(dir);
  std::sort(names.begin(), names.end());
  return names;
}

mode_t modeOf(const std::string& path) {
  struct stat info;
  EXPECT_EQ(::lstat(path.c_str(), &info), 0) << path;
  return info.st_mode;
}

TEST(PlistFile, SavesAndLoadsInTheFormatItWasGiven) {
  TempDir dir;
  for (PlistFormat format : {PlistFormat::Binary, PlistFormat::Xml}) {
    const std::string path = dir.file(format == PlistFormat::Binary ? "b.plist" : "x.plist");
    const PlistDocument original = sampleDocument(format);
    ASSERT_TRUE(savePlistFile(path, original).ok());
    EXPECT_EQ(readFile(path).starts_with("bplist00"), format == PlistFormat::Binary);
    PlistDocument loaded;
    ASSERT_TRUE(loadPlistFile(path, &loaded).ok());
    EXPECT_EQ(loaded.format, format);
    EXPECT_EQ(loaded.root, original.root);
    // What the tool writes is a fixed point.
    const std::string once = readFile(path);
    ASSERT_TRUE(savePlistFile(path, loaded).ok());
    EXPECT_EQ(readFile(path), once);
  }
  EXPECT_EQ(directoryEntries(dir.path()), (std::vector<std::string>{"b.plist", "x.plist"}));
}

TEST(PlistFile, RefusesWhatIsNotAPropertyListFileWithAReason) {
  TempDir dir;
  auto loadError = [](const std::string& path) {
    PlistDocument document;
    Status status = loadPlistFile(path, &document);
    EXPECT_FALSE(status.ok()) << path;
    return status.message();
  };
  EXPECT_EQ(loadError(dir.file("missing")), "cannot open: No such file or directory");
  EXPECT_EQ(loadError(dir.path()), "is a directory, not a file");
  EXPECT_EQ(loadError("/dev/null"), "is a device, not a file");

  // A FIFO with no writer would block an open for reading; it is refused at once.
  ASSERT_EQ(::mkfifo(dir.file("fifo").c_str(), 0600), 0);
  EXPECT_EQ(loadError(dir.file("fifo")), "is a named pipe, not a file");

  const int sock = ::socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  const std::string socketPath = dir.file("socket");
  ASSERT_LT(socketPath.size(), sizeof address.sun_path);
  socketPath.copy(address.sun_path, socketPath.size());
  ASSERT_EQ(::bind(sock, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  EXPECT_EQ(loadError(socketPath), "is a socket, not a file");
  ::close(sock);

  writeFile(dir.file("empty"), "");
  EXPECT_EQ(loadError(dir.file("empty")), "not a property list: the file is empty");
  writeFile(dir.file("future"), "bplist15 and more");
  EXPECT_EQ(loadError(dir.file("future")), "unsupported binary property list version \"bplist15\"");

  ASSERT_TRUE(
      savePlistFile(dir.file("string-root"), {PlistValue::string("just text"), PlistFormat::Xml})
          .ok());
  EXPECT_EQ(loadError(dir.file("string-root")),
            "the property list holds a string, not a dictionary, at its top");
  EXPECT_EQ(loadError("/dev/null/x"), "cannot open: Not a directory");
}

TEST(PlistFile, ReadsThroughSymbolicLinks) {
  TempDir dir;
  ASSERT_TRUE(savePlistFile(dir.file("real.plist"), sampleDocument(PlistFormat::Binary)).ok());
  ASSERT_EQ(::symlink("real.plist", dir.file("link.plist").c_str()), 0);
  PlistDocument loaded;
  ASSERT_TRUE(loadPlistFile(dir.file("link.plist"), &loaded).ok());
  EXPECT_EQ(loaded.root, sampleDocument(PlistFormat::Binary).root);
}

TEST(PlistFile, SaveReplacesTheFileALinkLeadsToAndKeepsTheLink) {
  TempDir dir;
  ASSERT_EQ(::mkdir(dir.file("store").c_str(), 0700), 0);
  const std::string real = dir.file("store/Bookmarks.plist");
  writeFile(real, "old");
  // A chain: an absolute link to a relative one.
  ASSERT_EQ(::symlink("store/Bookmarks.plist", dir.file("relative").c_str()), 0);
  ASSERT_EQ(::symlink(dir.file("relative").c_str(), dir.file("absolute").c_str()), 0);
  const PlistDocument document = sampleDocument(PlistFormat::Xml);
  ASSERT_TRUE(savePlistFile(dir.file("absolute"), document).ok());
  EXPECT_TRUE(S_ISLNK(modeOf(dir.file("absolute"))));
  EXPECT_TRUE(S_ISLNK(modeOf(dir.file("relative"))));
  EXPECT_TRUE(S_ISREG(modeOf(real)));
  PlistDocument loaded;
  ASSERT_TRUE(loadPlistFile(real, &loaded).ok());
  EXPECT_EQ(loaded.root, document.root);
  EXPECT_EQ(directoryEntries(dir.file("store")), std::vector<std::string>{"Bookmarks.plist"});
}

TEST(PlistFile, SaveKeepsPermissionsAndOwnership) {
  TempDir dir;
  const std::string path = dir.file("Bookmarks.plist");
  writeFile(path, "old");
  ASSERT_EQ(::chmod(path.c_str(), 0640), 0);
  const bool root = ::geteuid() == 0;
  if (root) {
    ASSERT_EQ(::chown(path.c_str(), 65534, 65534), 0);
  }
  ASSERT_TRUE(savePlistFile(path, sampleDocument(PlistFormat::Binary)).ok());
  struct stat info;
  ASSERT_EQ(::stat(path.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 07777, 0640u);
  if (root) {
    EXPECT_EQ(info.st_uid, 65534u);
    EXPECT_EQ(info.st_gid, 65534u);
  }

  // A new file gets what the umask allows.
  const mode_t mask = ::umask(027);
  ASSERT_TRUE(savePlistFile(dir.file("new.plist"), sampleDocument(PlistFormat::Xml)).ok());
  ::umask(mask);
  EXPECT_EQ(modeOf(dir.file("new.plist")) & 07777, 0640u);
}

// Saves in a child process whose file size limit is `limit` bytes, so the write fails partway
// as on a full disk; returns the child's exit status (0: save reported success).
int saveWithFileSizeLimit(const std::string& path, const PlistDocument& document, rlim_t limit) {
  const pid_t child = ::fork();
  if (child == 0) {
    ::signal(SIGXFSZ, SIG_IGN);
    const rlimit rl{limit, limit};
    ::setrlimit(RLIMIT_FSIZE, &rl);
    Status status = savePlistFile(path, document);
    ::_exit(status.ok() ? 0 : status.message().find("File too large") != std::string::npos ? 3 : 4);
  }
  int status = 0;
  ::waitpid(child, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(PlistFile, AFailedSaveLeavesTheOriginalAndNoTemporaryFile) {
  TempDir dir;
  const std::string path = dir.file("Bookmarks.plist");
  writeFile(path, "the original bytes");
  std::vector<PlistValue> many;
  for (int i = 0; i < 2000; ++i)
    many.push_back(testing::bookmark("title " + std::to_string(i)));
  const PlistDocument big{testing::folder("", std::move(many)), PlistFormat::Binary};

  EXPECT_EQ(saveWithFileSizeLimit(path, big, 4096), 3) << "the write must fail and say why";
  EXPECT_EQ(readFile(path), "the original bytes");
  EXPECT_EQ(directoryEntries(dir.path()), std::vector<std::string>{"Bookmarks.plist"});

  // What XML cannot hold fails before anything is written.
  const PlistDocument control{PlistValue::dict({{"bell", PlistValue::string("\a")}}),
                              PlistFormat::Xml};
  Status status = savePlistFile(path, control);
  EXPECT_FALSE(status.ok());
  EXPECT_EQ(status.message(),
            "cannot write XML: a string holds the character U+0007, which XML cannot represent");
  EXPECT_EQ(readFile(path), "the original bytes");
  EXPECT_EQ(directoryEntries(dir.path()), std::vector<std::string>{"Bookmarks.plist"});

  // Nor is anything but a regular file replaced.
  ASSERT_EQ(::mkdir(dir.file("folder").c_str(), 0700), 0);
  EXPECT_EQ(savePlistFile(dir.file("folder"), big).message(), "is a directory, not a file");
}

}  // namespace
}  // namespace tidymark
