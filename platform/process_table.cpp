#include "platform/process_table.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstring>
#include <string_view>

namespace tidymark {

namespace {

// What the tool needs to know about one process.
struct ProcessInfo {
  std::string name;
  char state = '?';
  uid_t realUid = 0;
};

// Reads a small /proc file relative to `dir` into `buffer`; empty when unreadable or empty.
std::optional<std::string_view> readSmallFile(int dir, const char* path, char* buffer,
                                              size_t size) {
  int fd = openat(dir, path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return std::nullopt;
  size_t used = 0;
  while (used < size) {
    ssize_t n = read(fd, buffer + used, size - used);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    used += static_cast<size_t>(n);
  }
  close(fd);
  if (used == 0) return std::nullopt;
  return std::string_view(buffer, used);
}

std::optional<uid_t> parseRealUid(std::string_view status) {
  size_t at = status.find("\nUid:");
  if (at == std::string_view::npos) return std::nullopt;
  std::string_view rest = status.substr(at + 5);
  size_t start = rest.find_first_not_of(" \t");
  if (start == std::string_view::npos) return std::nullopt;
  rest.remove_prefix(start);
  uid_t uid = 0;
  auto [end, error] = std::from_chars(rest.data(), rest.data() + rest.size(), uid);
  if (error != std::errc() || end == rest.data()) return std::nullopt;
  return uid;
}

// `pid` is a directory name under /proc, opened as `procDir`. Empty when the process is gone
// or its files do not read as expected.
std::optional<ProcessInfo> readProcess(int procDir, std::string_view pid) {
  char buffer[4096];
  ProcessInfo info;

  auto status =
      readSmallFile(procDir, (std::string(pid) + "/status").c_str(), buffer, sizeof buffer);
  if (!status) return std::nullopt;
  auto uid = parseRealUid(*status);
  if (!uid) return std::nullopt;
  info.realUid = *uid;

  // "<pid> (<comm>) <state> ...": the name may itself contain ')' and spaces.
  auto stat = readSmallFile(procDir, (std::string(pid) + "/stat").c_str(), buffer, sizeof buffer);
  if (!stat) return std::nullopt;
  size_t open = stat->find('(');
  size_t close = stat->rfind(')');
  if (open == std::string_view::npos || close == std::string_view::npos || close < open ||
      close + 2 >= stat->size()) {
    return std::nullopt;
  }
  info.name = std::string(stat->substr(open + 1, close - open - 1));
  info.state = (*stat)[close + 2];
  return info;
}

bool isRunning(const ProcessInfo& info) {
  return info.state != 'Z' && info.state != 'X' && info.state != 'x';
}

bool isOurs(const ProcessInfo& info) {
  return info.realUid == getuid();
}

bool isNumber(const char* text) {
  if (*text == '\0') return false;
  for (; *text; ++text) {
    if (*text < '0' || *text > '9') return false;
  }
  return true;
}

// Whether `pid` is now this user's running process named `name`.
bool stillMatches(int pid, const std::string& name) {
  int procDir = open("/proc", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (procDir < 0) return false;
  auto info = readProcess(procDir, std::to_string(pid));
  close(procDir);
  return info && isOurs(*info) && isRunning(*info) && info->name == name;
}

int openPidfd(int pid) {
#ifdef SYS_pidfd_open
  return static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
#else
  errno = ENOSYS;
  return -1;
#endif
}

int sendSignal(int pidfd, int signal) {
#ifdef SYS_pidfd_send_signal
  return static_cast<int>(syscall(SYS_pidfd_send_signal, pidfd, signal, nullptr, 0));
#else
  errno = ENOSYS;
  return -1;
#endif
}

}  // namespace

std::vector<LaunchedApplication> SystemProcessTable::launchedApplications() {
  std::vector<LaunchedApplication> result;
  DIR* proc = opendir("/proc");
  if (!proc) return result;
  int procDir = dirfd(proc);
  while (dirent* entry = readdir(proc)) {
    if (!isNumber(entry->d_name)) continue;
    auto info = readProcess(procDir, entry->d_name);
    if (!info || !isOurs(*info) || !isRunning(*info)) continue;
    LaunchedApplication app;
    std::from_chars(entry->d_name, entry->d_name + std::strlen(entry->d_name), app.pid);
    if (!info->name.empty()) app.name = std::move(info->name);
    result.push_back(std::move(app));
  }
  closedir(proc);
  return result;
}

bool SystemProcessTable::requestQuit(const LaunchedApplication& app) {
  // pid 0 and negative pids address groups of processes; never those.
  if (app.pid <= 0 || !app.name || app.name->empty()) return false;
  // The pidfd pins the process: if the pid is reused after the check below, the signal goes
  // to the original (by then exited) process, which is harmless.
  int pidfd = openPidfd(app.pid);
  if (pidfd < 0 && errno != ENOSYS) return false;
  bool sent = false;
  if (stillMatches(app.pid, *app.name)) {
    sent = pidfd >= 0 ? sendSignal(pidfd, SIGTERM) == 0 : kill(app.pid, SIGTERM) == 0;
  }
  if (pidfd >= 0) close(pidfd);
  return sent;
}

}  // namespace tidymark
