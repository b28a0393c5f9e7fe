#include "tests/test_support.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <stdexcept>

#include <gtest/gtest.h>

extern char** environ;

namespace tidymark::testing {

TempDir::TempDir() {
  const char* base = std::getenv("TMPDIR");
  std::string pattern = std::string(base && *base ? base : "/tmp") + "/tidymark-test-XXXXXX";
  if (!mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
  path_ = pattern;
}

TempDir::~TempDir() {
  std::error_code ignored;
  // Tests may leave read-only directories behind; make them writable so they can go.
  for (auto it = std::filesystem::recursive_directory_iterator(path_, ignored);
       it != std::filesystem::recursive_directory_iterator(); it.increment(ignored)) {
    if (it->is_directory(ignored) && !it->is_symlink(ignored)) {
      std::filesystem::permissions(it->path(), std::filesystem::perms::owner_all,
                                   std::filesystem::perm_options::add, ignored);
    }
  }
  std::filesystem::permissions(path_, std::filesystem::perms::owner_all,
                               std::filesystem::perm_options::add, ignored);
  std::filesystem::remove_all(path_, ignored);
}

namespace {

std::vector<std::string> buildEnvironment(const ProgramOptions& options) {
  std::map<std::string, std::string> vars;
  for (char** e = environ; *e; ++e) {
    std::string entry = *e;
    vars[entry.substr(0, entry.find('='))] = entry;
  }
  for (const std::string& name : options.unset)
    vars.erase(name);
  for (const std::string& entry : options.env)
    vars[entry.substr(0, entry.find('='))] = entry;
  std::vector<std::string> result;
  for (auto& [name, entry] : vars)
    result.push_back(entry);
  return result;
}

std::vector<char*> pointers(std::vector<std::string>& strings) {
  std::vector<char*> result;
  for (std::string& s : strings)
    result.push_back(s.data());
  result.push_back(nullptr);
  return result;
}

}  // namespace

ProgramResult runProgram(const std::vector<std::string>& argv, const ProgramOptions& options) {
  int outPipe[2], errPipe[2];
  if (pipe2(outPipe, O_CLOEXEC) || pipe2(errPipe, O_CLOEXEC)) throw std::runtime_error("pipe");
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  int closedPipe[2] = {-1, -1};
  if (options.output == Output::Full) {
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/full", O_WRONLY, 0);
  } else if (options.output == Output::Closed) {
    if (pipe2(closedPipe, O_CLOEXEC)) throw std::runtime_error("pipe");
    close(closedPipe[0]);
    posix_spawn_file_actions_adddup2(&actions, closedPipe[1], 1);
  } else {
    posix_spawn_file_actions_adddup2(&actions, outPipe[1], 1);
  }
  posix_spawn_file_actions_adddup2(&actions, errPipe[1], 2);
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  sigset_t defaults;
  sigemptyset(&defaults);
  for (int signal : {SIGPIPE, SIGINT, SIGTERM, SIGHUP})
    sigaddset(&defaults, signal);
  posix_spawnattr_setsigdefault(&attributes, &defaults);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF);
  if (!options.workingDirectory.empty()) {
    posix_spawn_file_actions_addchdir_np(&actions, options.workingDirectory.c_str());
  }
  std::vector<std::string> args = argv;
  std::vector<std::string> env = buildEnvironment(options);
  std::vector<char*> argPointers = pointers(args);
  std::vector<char*> envPointers = pointers(env);
  pid_t pid;
  const int rc = posix_spawnp(&pid, args[0].c_str(), &actions, &attributes, argPointers.data(),
                              envPointers.data());
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attributes);
  if (closedPipe[1] >= 0) close(closedPipe[1]);
  close(outPipe[1]);
  close(errPipe[1]);
  if (rc != 0) throw std::runtime_error("cannot start " + args[0] + ": " + std::strerror(rc));

  // Drain both outputs together, so neither pipe fills up and blocks the program.
  ProgramResult result;
  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::duration<double>(options.timeoutSeconds);
  pollfd fds[2] = {{outPipe[0], POLLIN, 0}, {errPipe[0], POLLIN, 0}};
  while (fds[0].fd >= 0 || fds[1].fd >= 0) {
    int wait = -1;
    if (options.timeoutSeconds > 0 && !result.timedOut) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          deadline - std::chrono::steady_clock::now());
      result.timedOut = left.count() <= 0;
      if (result.timedOut) kill(pid, SIGKILL);
      wait = result.timedOut ? -1 : static_cast<int>(std::min<long long>(left.count() + 1, 60000));
    }
    if (poll(fds, 2, wait) < 0 && errno != EINTR) break;
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
      char buffer[65536];
      const ssize_t n = read(fds[i].fd, buffer, sizeof buffer);
      if (n > 0) {
        (i == 0 ? result.out : result.err).append(buffer, static_cast<std::size_t>(n));
      } else if (n == 0 || errno != EINTR) {
        close(fds[i].fd);
        fds[i].fd = -1;
      }
    }
  }
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return result;
}

std::string readFile(const std::string& path) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) throw std::runtime_error("cannot read " + path);
  std::string contents;
  std::size_t used = 0;
  for (;;) {
    if (contents.size() - used < (std::size_t{1} << 20))
      contents.resize(used + (std::size_t{4} << 20));
    const ssize_t n = read(fd, contents.data() + used, contents.size() - used);
    if (n > 0) {
      used += static_cast<std::size_t>(n);
    } else if (n == 0 || errno != EINTR) {
      const bool directory = n < 0 && errno == EISDIR;  // read as empty, as streams do
      close(fd);
      if (n < 0 && !directory) throw std::runtime_error("cannot read " + path);
      break;
    }
  }
  contents.resize(used);
  return contents;
}

void writeFile(const std::string& path, const std::string& contents) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << contents;
  if (!out.flush()) throw std::runtime_error("cannot write " + path);
}

bool fileExists(const std::string& path) {
  struct stat info;
  return lstat(path.c_str(), &info) == 0;
}

std::vector<std::string> directoryEntries(const std::string& path) {
  std::vector<std::string> names;
  DIR* dir = opendir(path.c_str());
  if (!dir) throw std::runtime_error("cannot list " + path);
  while (dirent* entry = readdir(dir)) {
    const std::string name = entry->d_name;
    if (name != "." && name != "..") names.push_back(name);
  }
  closedir(dir);
  std::sort(names.begin(), names.end());
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
  for (const std::string& object : layout.objects) {
    offsets.push_back(out.size());
    out += object;
  }
  if (layout.lastOffset && !offsets.empty()) offsets.back() = *layout.lastOffset;
  const std::uint64_t table = out.size();
  for (std::uint64_t offset : offsets)
    out += bigEndian(offset, layout.offsetSize);
  out += std::string(6, '\0') + static_cast<char>(layout.offsetSize) +
         static_cast<char>(layout.refSize);
  out += bigEndian(layout.numObjects.value_or(layout.objects.size()), 8) +
         bigEndian(layout.topObject.value_or(0), 8) +
         bigEndian(layout.tableOffset.value_or(table), 8);
  return out;
}

std::string runPython(const std::string& code, const std::vector<std::string>& args) {
  std::vector<std::string> argv = {"python3", "-c", code};
  argv.insert(argv.end(), args.begin(), args.end());
  ProgramResult result = runProgram(argv);
  EXPECT_EQ(result.status, 0) << "python3 failed:\n" << result.err;
  return result.out;
}

}  // namespace tidymark::testing

namespace tidymark::testing {

namespace {

PlistValue node(const std::string& kind, const std::string& title,
                std::vector<PlistValue> children) {
  PlistDict entries;
  entries.push_back({"WebBookmarkType", PlistValue::string(kind)});
  entries.push_back({"Title", PlistValue::string(title)});
  entries.push_back({"WebBookmarkUUID", PlistValue::string("uuid-" + title)});
  entries.push_back({"Children", PlistValue::array(std::move(children))});
  return PlistValue::dict(std::move(entries));
}

}  // namespace

PlistValue bookmark(const std::string& title, const std::string& url) {
  PlistDict uri;
  uri.push_back({"title", PlistValue::string(title)});
  PlistDict entries;
  entries.push_back({"WebBookmarkType", PlistValue::string("WebBookmarkTypeLeaf")});
  entries.push_back({"WebBookmarkUUID", PlistValue::string("uuid-" + title)});
  entries.push_back({"URLString", PlistValue::string(url)});
  entries.push_back({"URIDictionary", PlistValue::dict(std::move(uri))});
  return PlistValue::dict(std::move(entries));
}

PlistValue folder(const std::string& title, std::vector<PlistValue> children) {
  return node("WebBookmarkTypeList", title, std::move(children));
}

PlistValue otherNode(const std::string& kind, const std::string& title,
                     std::vector<PlistValue> children) {
  return node(kind, title, std::move(children));
}

std::vector<std::string> childTitles(const PlistValue& parent) {
  std::vector<std::string> titles;
  const PlistArray* children = arrayValue(parent.find("Children"));
  if (!children) return titles;
  for (const PlistValue& child : *children) {
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
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string out;
  for (unsigned char c : bytes) {
    out += kDigits[c >> 4];
    out += kDigits[c & 15];
  }
  return out;
}

}  // namespace

std::string canonOf(const PlistValue& value) {
  switch (value.kind()) {
    case PlistKind::Dictionary: {
      std::string out = "{";
      for (const DictEntry& entry : *value.asDict()) {
        out += (out.size() > 1 ? ",s" : "s") + hex(entry.key) + ":" + canonOf(entry.value);
      }
      return out + "}";
    }
    case PlistKind::Array: {
      std::string out = "[";
      for (const PlistValue& element : *value.asArray()) {
        out += (out.size() > 1 ? "," : "") + canonOf(element);
      }
      return out + "]";
    }
    case PlistKind::String:
      return "s" + hex(*value.asString());
    case PlistKind::Integer: {
      const PlistInteger integer = *value.asInteger();
      return "i" + (integer.fitsSigned() ? std::to_string(integer.asSigned())
                                         : std::to_string(integer.asUnsigned()));
    }
    case PlistKind::Real: {
      const auto bits = std::bit_cast<std::uint64_t>(*value.asReal());
      std::string bytes;
      for (int shift = 56; shift >= 0; shift -= 8)
        bytes += static_cast<char>(bits >> shift);
      return "r" + hex(bytes);
    }
    case PlistKind::Boolean:
      return *value.asBoolean() ? "T" : "F";
    case PlistKind::Date:
      return "d" + std::to_string(std::llround(value.asDate()->secondsSince2001 * 1e6));
    case PlistKind::Data: {
      const PlistData& data = *value.asData();
      return "b" + hex(std::string_view(reinterpret_cast<const char*>(data.data()), data.size()));
    }
    case PlistKind::Uid:
      return "u" + std::to_string(value.asUid()->value);
  }
  return "?";
}

std::string pythonCanonOf(const std::string& path) {
  std::string printed = runPython(
      std::string(kPythonCanon) + "print(canon(plistlib.load(open(sys.argv[1], 'rb'))))", {path});
  if (!printed.empty()) printed.pop_back();
  return printed;
}

std::string pythonWrite(const std::string& value, const std::string& format,
                        const std::string& path) {
  std::string printed = runPython(std::string(kPythonCanon) + "value = " + value +
                                      "\nopen(sys.argv[1], 'wb').write(plistlib.dumps(value, "
                                      "fmt=plistlib." +
                                      format + ", sort_keys=False))\nprint(canon(value))",
                                  {path});
  if (!printed.empty()) printed.pop_back();
  return printed;
}

}  // namespace tidymark::testing
