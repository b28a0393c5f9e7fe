#include "tests/test_support.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include <gtest/gtest.h>

#include "tests/fake_app.h"

namespace tidymark::testing {

namespace fs = std::filesystem;

TempDir::TempDir() {
  const char* base = std::getenv("TMPDIR");
  path_ = std::string(base && *base ? base : "/tmp") + "/tidymark-test-XXXXXX";
  if (!mkdtemp(path_.data())) throw std::runtime_error("mkdtemp failed");
}

TempDir::~TempDir() {
  std::error_code e;  // tests may leave read-only directories behind
  fs::permissions(path_, fs::perms::owner_all, fs::perm_options::add, e);
  for (auto it = fs::recursive_directory_iterator(path_, e); it != fs::end(it); it.increment(e))
    if (it->is_directory(e) && !it->is_symlink(e))
      fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, e);
  fs::remove_all(path_, e);
}

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
#ifdef TIDYMARK_SANITIZED
  const std::uint64_t memoryLimit = 0;
#else
  const std::uint64_t memoryLimit = options.memoryLimit;
#endif
  if (memoryLimit || options.fileSizeLimit)
    args.insert(args.end(), {"prlimit", "--as=" + limit(memoryLimit),
                             "--fsize=" + limit(options.fileSizeLimit), "--"});
  args.insert(args.end(), argv.begin(), argv.end());
  std::vector<char*> pointers;
  for (std::string& arg : args)
    pointers.push_back(arg.data());
  pointers.push_back(nullptr);
  int out[2], err[2], closed[2] = {-1, -1};
  if (pipe2(out, O_CLOEXEC) || pipe2(err, O_CLOEXEC) ||
      (options.output == Output::Closed && pipe2(closed, O_CLOEXEC)))
    throw std::runtime_error("pipe");
  close(closed[0]);
  const int pid = fork();
  if (pid == 0) {
    const int target = options.output == Output::Full     ? open("/dev/full", O_WRONLY)
                       : options.output == Output::Closed ? closed[1]
                                                          : out[1];
    dup2(open("/dev/null", O_RDONLY), 0), dup2(target, 1), dup2(err[1], 2);
    execvp("env", pointers.data());
    _exit(127);
  }
  for (int fd : {out[1], err[1], closed[1]})
    close(fd);
  return {pid, out[0], err[0]};
}

ProgramResult finishProgram(RunningProgram& program, double timeoutSeconds) {
  using Clock = std::chrono::steady_clock;
  auto deadline =
      Clock::now() + std::chrono::duration<double>(timeoutSeconds > 0 ? timeoutSeconds : 1e6);
  ProgramResult result;
  pollfd fds[2] = {{program.out, POLLIN, 0}, {program.err, POLLIN, 0}};
  while (fds[0].fd >= 0 || fds[1].fd >= 0) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) kill(program.pid, SIGKILL), deadline += std::chrono::hours(24);
    if (poll(fds, 2, static_cast<int>(std::clamp<long long>(left, 0, 60000))) < 0) continue;
    for (int i = 0; i < 2; ++i) {
      char buffer[65536];
      const ssize_t n =
          fds[i].fd < 0 || !fds[i].revents ? -2 : read(fds[i].fd, buffer, sizeof buffer);
      if (n > 0) (i ? result.err : result.out).append(buffer, static_cast<std::size_t>(n));
      if (n == 0 || (n == -1 && errno != EINTR)) close(fds[i].fd), fds[i].fd = -1;
    }
  }
  int status = 0;
  while (waitpid(program.pid, &status, 0) < 0 && errno == EINTR) {
  }
  program = {};
  result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return result;
}

ProgramResult runProgram(const std::vector<std::string>& argv, const ProgramOptions& options) {
  RunningProgram program = startProgram(argv, options);
  return finishProgram(program, options.timeoutSeconds);
}

FakeApp::FakeApp(const std::string& name, const std::string& mode, int uid,
                 std::vector<std::string> extra) {
  std::vector<std::string> argv = {TIDYMARK_FAKE_APP, name, mode};
  if (uid >= 0) {
    const std::string id = std::to_string(uid);
    argv.insert(argv.begin(), {"setpriv", "--reuid=" + id, "--regid=" + id, "--clear-groups"});
  }
  argv.insert(argv.end(), extra.begin(), extra.end());
  program_ = startProgram(argv, {});
  pid_ = program_.pid;
  std::string got;
  char buffer[8];
  pollfd p{program_.out, POLLIN, 0};
  for (ssize_t n = 1; n > 0 && got.size() < 6 && poll(&p, 1, 10000) > 0;)
    if ((n = read(program_.out, buffer, sizeof buffer)) > 0) got.append(buffer, n);
  ready_ = got == "ready\n";
}

FakeApp::~FakeApp() {
  if (program_.pid > 0) kill(program_.pid, SIGKILL), finishProgram(program_);
}

bool FakeApp::alive() {
  siginfo_t info{};
  return program_.pid > 0 && waitid(P_PID, program_.pid, &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
         info.si_pid == 0;
}

int FakeApp::reap() {
  if (program_.pid <= 0) return 0;
  const int status = finishProgram(program_, 10).status;
  return status > 128 ? status - 128 : 0;
}

void FakeAppTest::SetUp() {
  lock_ = open("/tmp/tidymark-fake-app.lock", O_RDONLY | O_CREAT | O_CLOEXEC, 0644);
  ASSERT_GE(lock_, 0);
  ASSERT_EQ(flock(lock_, LOCK_EX), 0);
}

void FakeAppTest::TearDown() {
  if (lock_ >= 0) close(lock_);
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
  std::vector<std::uint64_t> offsets;
  for (const std::string& object : layout.objects)
    offsets.push_back(out.size()), out += object;
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

std::vector<std::string> childTitles(const PlistValue& parent) {
  std::vector<std::string> titles;
  const PlistArray* children = arrayValue(parent.find("Children"));
  for (const PlistValue& child : children ? *children : PlistArray{}) {
    const PlistValue* type = child.find("WebBookmarkType");
    const PlistString* title =
        type && type->asString() && *type->asString() == "WebBookmarkTypeLeaf"
            ? stringValue(valueForKey(child.find("URIDictionary"), "title"))
            : stringValue(child.find("Title"));
    titles.push_back(title ? title->str() : "<none>");
  }
  return titles;
}

namespace {

constexpr const char* kPythonCanon = R"PY(
import datetime, plistlib, struct, sys
def canon(v):
    if isinstance(v, bool): return 'T' if v else 'F'
    if isinstance(v, int): return 'i%d' % v
    if isinstance(v, float): return 'r' + struct.pack('>d', v).hex()
    if isinstance(v, str): return 's' + v.encode('utf-8').hex()
    if isinstance(v, bytes): return 'b' + v.hex()
    if isinstance(v, plistlib.UID): return 'u%d' % v.data
    if isinstance(v, datetime.datetime):
        return 'd%d' % ((v - datetime.datetime(2001, 1, 1)) // datetime.timedelta(microseconds=1))
    if isinstance(v, list): return '[' + ','.join(canon(x) for x in v) + ']'
    return '{' + ','.join(canon(k) + ':' + canon(x) for k, x in v.items()) + '}'
)PY";

std::string hex(std::string_view bytes) {
  std::string out;
  for (unsigned char c : bytes)
    out += {"0123456789abcdef"[c >> 4], "0123456789abcdef"[c & 15]};
  return out;
}

std::string pythonPrint(const std::string& code, const std::string& path) {
  std::string printed = runPython(kPythonCanon + code, {path});
  if (!printed.empty()) printed.pop_back();
  return printed;
}

}  // namespace

std::string canonOf(const PlistValue& value) {
  std::string out;
  switch (value.kind()) {
    case PlistKind::Dictionary:
      for (const DictEntry& entry : *value.asDict())
        out += (out.empty() ? "s" : ",s") + hex(entry.key) + ":" + canonOf(entry.value);
      return "{" + out + "}";
    case PlistKind::Array:
      for (const PlistValue& element : *value.asArray())
        out += (out.empty() ? "" : ",") + canonOf(element);
      return "[" + out + "]";
    case PlistKind::String:
      return "s" + hex(*value.asString());
    case PlistKind::Integer: {
      const PlistInteger integer = *value.asInteger();
      return "i" + (integer.fitsSigned() ? std::to_string(integer.asSigned())
                                         : std::to_string(integer.asUnsigned()));
    }
    case PlistKind::Real:
      return "r" + hex(bigEndian(std::bit_cast<std::uint64_t>(*value.asReal()), 8));
    case PlistKind::Boolean:
      return *value.asBoolean() ? "T" : "F";
    case PlistKind::Date:
      return "d" + std::to_string(std::llround(value.asDate()->secondsSince2001 * 1e6));
    case PlistKind::Data:
      return "b" +
             hex({reinterpret_cast<const char*>(value.asData()->data()), value.asData()->size()});
    case PlistKind::Uid:
      return "u" + std::to_string(value.asUid()->value);
  }
  return "?";
}

std::string pythonCanonOf(const std::string& path) {
  return pythonPrint("print(canon(plistlib.load(open(sys.argv[1], 'rb'))))", path);
}

std::string pythonWrite(const std::string& value, const std::string& format,
                        const std::string& path) {
  return pythonPrint("value = " + value +
                         "\nopen(sys.argv[1], 'wb').write(plistlib.dumps(value, fmt=plistlib." +
                         format + ", sort_keys=False))\nprint(canon(value))",
                     path);
}

}  // namespace tidymark::testing
