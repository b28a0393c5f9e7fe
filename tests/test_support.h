#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/plist_value.h"

namespace tidymark::testing {

// A fresh directory under $TMPDIR (or /tmp), removed with everything in it when destroyed.
struct TempDir {
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  std::string file(const std::string& name) const { return path_ + "/" + name; }
  std::string path_;
};

struct ProgramResult {
  int status = -1;  // exit status, or 128 + signal number when killed by a signal
  std::string out, err;
};

// Where a program's standard output goes: captured, the device that is always full, or a pipe
// whose reader has gone.
enum class Output { Captured, Full, Closed };

struct ProgramOptions {
  std::string workingDirectory = {};    // empty: the test's own
  std::vector<std::string> env = {};    // "NAME=value" entries added to (or replacing) the test's
  std::vector<std::string> unset = {};  // names removed from the environment
  double timeoutSeconds = 0;            // above 0: SIGKILL after this long, a guard against hangs
  Output output = Output::Captured;
  // Above 0: ceilings on the address space (none under the sanitizers, which reserve terabytes)
  // and on the size of a file it writes.
  std::uint64_t memoryLimit = 0, fileSizeLimit = 0;
};

// A program started with standard input /dev/null and SIGPIPE, SIGINT, SIGTERM and SIGHUP at
// their default action (argv[0] is looked up in PATH when it has no slash); out and err hold what
// it writes. finishProgram waits for it (killing it after `timeoutSeconds` when above 0), and
// runProgram does both.
struct RunningProgram {
  int pid = -1, out = -1, err = -1;
};
RunningProgram startProgram(const std::vector<std::string>& argv, const ProgramOptions& options);
ProgramResult finishProgram(RunningProgram& program, double timeoutSeconds = 0);
ProgramResult runProgram(const std::vector<std::string>& argv, const ProgramOptions& options = {});

std::string readFile(const std::string& path);
void writeFile(const std::string& path, const std::string& contents);
bool fileExists(const std::string& path);
// The names in a directory, sorted.
std::vector<std::string> directoryEntries(const std::string& path);

// A binary property list laid out by hand from its objects' bytes, for tests of damaged files:
// any trailer field, and the last object's offset, can be set to a wrong value. The objects lie
// in the order of their numbers, or (`lastFirst`) in the reverse order.
struct BinaryLayout {
  std::vector<std::string> objects = {};
  int offsetSize = 1, refSize = 1;
  bool lastFirst = false;
  std::optional<std::uint64_t> numObjects = {}, topObject = {}, tableOffset = {}, lastOffset = {};
};
std::string assembleBinaryPlist(const BinaryLayout& layout);
// `value` as `width` big-endian bytes (zeros in front beyond eight).
std::string bigEndian(std::uint64_t value, int width);

// Runs a Python 3 snippet with sys.argv[1:] = args; the test fails if it does not exit 0.
std::string runPython(const std::string& code, const std::vector<std::string>& args = {});

// Bookmark nodes as the browser writes them; otherNode is of any other kind (such as the
// browser's history proxy).
PlistValue bookmark(const std::string& title, const std::string& url = "https://example.com/");
PlistValue folder(const std::string& title, std::vector<PlistValue> children = {});
PlistValue otherNode(const std::string& kind, const std::string& title,
                     std::vector<PlistValue> children = {});

}  // namespace tidymark::testing
