#include "tests/test_support.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>

#include <gtest/gtest.h>

#include "tests/fake_app.h"

namespace tidymark::testing {

namespace fs = std::filesystem;

#ifdef TIDYMARK_SANITIZED
constexpr bool kSanitized = true;  // their runtime reserves terabytes of address space
#else
constexpr bool kSanitized = false;
#endif

std::string captured(int fd) {
  return readFile("/proc/self/fd/" + std::to_string(fd));
}

TempDir::TempDir() : path_(fs::temp_directory_path() / "tidymark-test-XXXXXX") {
  if (!mkdtemp(path_.data())) throw std::runtime_error("mkdtemp failed");
}

TempDir::~TempDir() {  // tests may leave read-only directories behind
  runProgram({"sh", "-c", "chmod -R u+rwx \"$0\"; rm -rf \"$0\"", path_});
}

// The program's standard output and error go to files in memory, read when it has exited.
RunningProgram startProgram(const std::vector<std::string>& argv, const ProgramOptions& options) {
  // env sets the directory, the environment and the signals' actions, prlimit the ceilings; each
  // runs the next program in its own process.
  const std::string directory = options.workingDirectory.empty() ? "." : options.workingDirectory;
  std::vector<std::string> args = {"env", "--default-signal=PIPE,INT,TERM,HUP", "-C", directory};
  for (const std::string& name : options.unset)
    args.insert(args.end(), {"-u", name});
  args.push_back("--");
  args.insert(args.end(), options.env.begin(), options.env.end());
  auto limit = [](std::uint64_t n) { return n ? std::to_string(n) : std::string("unlimited"); };
  if (options.memoryLimit || options.fileSizeLimit)
    args.insert(args.end(), {"prlimit", "--as=" + limit(kSanitized ? 0 : options.memoryLimit),
                             "--fsize=" + limit(options.fileSizeLimit), "--"});
  args.insert(args.end(), argv.begin(), argv.end());
  std::vector<char*> pointers;
  for (std::string& arg : args)
    pointers.push_back(arg.data());
  pointers.push_back(nullptr);
  RunningProgram program = {-1, memfd_create("out", MFD_CLOEXEC), memfd_create("err", MFD_CLOEXEC)};
  int closed[2];  // a pipe whose reader has gone
  if (pipe2(closed, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
  close(closed[0]);
  if ((program.pid = fork()) == 0) {
    const int out = options.output == Output::Full     ? open("/dev/full", O_WRONLY)
                    : options.output == Output::Closed ? closed[1]
                                                       : program.out;
    dup2(open("/dev/null", O_RDONLY), 0), dup2(out, 1), dup2(program.err, 2);
    execvp("env", pointers.data());
    _exit(127);
  }
  close(closed[1]);
  if (program.pid < 0) throw std::runtime_error("fork");
  return program;
}

ProgramResult finishProgram(RunningProgram& program, double timeoutSeconds) {
  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::duration<double>(timeoutSeconds);
  int status = 0;
  while (waitpid(program.pid, &status, timeoutSeconds > 0 ? WNOHANG : 0) == 0) {
    if (std::chrono::steady_clock::now() > deadline) kill(program.pid, SIGKILL);
    usleep(1000);
  }
  ProgramResult result = {WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status),
                          captured(program.out), captured(program.err)};
  close(program.out), close(program.err);
  program = {};
  return result;
}

ProgramResult runProgram(const std::vector<std::string>& argv, const ProgramOptions& options) {
  RunningProgram program = startProgram(argv, options);
  return finishProgram(program, options.timeoutSeconds);
}

FakeApp::FakeApp(const std::string& name, const std::string& mode, int uid,
                 std::vector<std::string> extra) {
  std::vector<std::string> argv = {TIDYMARK_FAKE_APP, name, mode};
  const std::string id = std::to_string(uid);
  if (uid >= 0)
    argv.insert(argv.begin(), {"setpriv", "--reuid=" + id, "--regid=" + id, "--clear-groups"});
  argv.insert(argv.end(), extra.begin(), extra.end());
  pid_ = (program_ = startProgram(argv, {})).pid;
  for (int i = 0; i < 1000 && alive() && captured(program_.out).size() < 6; ++i)
    usleep(10000);
  ready_ = captured(program_.out) == "ready\n";
}

FakeApp::~FakeApp() {
  if (program_.pid > 0) kill(program_.pid, SIGKILL), finishProgram(program_);
}

bool FakeApp::alive() {
  siginfo_t info{};
  return program_.pid > 0 && waitid(P_PID, program_.pid, &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
         info.si_pid == 0;
}

void FakeApp::reap() {
  if (program_.pid > 0) finishProgram(program_, 10);
}

void FakeAppTest::SetUp() {
  lock_ = open("/tmp/tidymark-fake-app.lock", O_RDONLY | O_CREAT | O_CLOEXEC, 0644);
  ASSERT_EQ(flock(lock_, LOCK_EX), 0);
}

void FakeAppTest::TearDown() {
  close(lock_);
}

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("cannot read " + path);
  std::ostringstream contents;
  contents << in.rdbuf();
  return contents.str();
}

void writeFile(const std::string& path, const std::string& contents) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  if (!(out << contents).flush()) throw std::runtime_error("cannot write " + path);
}

bool fileExists(const std::string& path) {
  std::error_code e;
  return fs::exists(fs::symlink_status(path, e));
}

std::vector<std::string> directoryEntries(const std::string& path) {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(path))
    names.push_back(entry.path().filename());
  std::ranges::sort(names);
  return names;
}

std::string bigEndian(std::uint64_t value, int width) {
  std::string out;
  for (int i = width - 1; i >= 0; --i)
    out.push_back(i < 8 ? static_cast<char>(value >> (8 * i)) : 0);
  return out;
}

std::string assembleBinaryPlist(const BinaryLayout& layout) {
  std::string out = "bplist00";
  std::vector<std::uint64_t> offsets(layout.objects.size());
  for (std::size_t k = 0; k < offsets.size(); ++k) {
    const std::size_t i = layout.lastFirst ? offsets.size() - 1 - k : k;
    offsets[i] = out.size();
    out += layout.objects[i];
  }
  if (layout.lastOffset && !offsets.empty()) offsets.back() = *layout.lastOffset;
  const std::uint64_t table = out.size();
  for (std::uint64_t offset : offsets)
    out += bigEndian(offset, layout.offsetSize);
  out += std::string(6, '\0') + static_cast<char>(layout.offsetSize) +
         static_cast<char>(layout.refSize);
  return out + bigEndian(layout.numObjects.value_or(layout.objects.size()), 8) +
         bigEndian(layout.topObject.value_or(0), 8) +
         bigEndian(layout.tableOffset.value_or(table), 8);
}

std::string runPython(const std::string& code, const std::vector<std::string>& args) {
  std::vector<std::string> argv = {"python3", "-c", code};
  argv.insert(argv.end(), args.begin(), args.end());
  ProgramResult result = runProgram(argv);
  EXPECT_EQ(result.status, 0) << "python3 failed:\n" << result.err;
  return result.out;
}

// Entries are moved in, never copied: a test may nest folders 200,000 deep.
PlistValue otherNode(const std::string& kind, const std::string& title,
                     std::vector<PlistValue> children) {
  PlistDict entries(4);
  entries[0] = {"WebBookmarkType", PlistValue::string(kind)};
  entries[1] = {"Title", PlistValue::string(title)};
  entries[2] = {"WebBookmarkUUID", PlistValue::string("uuid-" + title)};
  entries[3] = {"Children", PlistValue::array(std::move(children))};
  return PlistValue::dict(std::move(entries));
}

PlistValue folder(const std::string& title, std::vector<PlistValue> children) {
  return otherNode("WebBookmarkTypeList", title, std::move(children));
}

PlistValue bookmark(const std::string& title, const std::string& url) {
  return PlistValue::dict(
      {{"WebBookmarkType", PlistValue::string("WebBookmarkTypeLeaf")},
       {"WebBookmarkUUID", PlistValue::string("uuid-" + title)},
       {"URLString", PlistValue::string(url)},
       {"URIDictionary", PlistValue::dict({{"title", PlistValue::string(title)}})}});
}

}  // namespace tidymark::testing
