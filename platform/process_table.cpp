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

// Reads a small /proc file (relative to `dir`) into `buffer` with one read, which gives all of
// it when it fits; empty when unreadable or empty.
std::optional<std::string_view> readSmallFile(int dir, const char* path, char* buffer,
                                              size_t size) {
  int fd = openat(dir, path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return std::nullopt;
  ssize_t n;
  do {
    n = read(fd, buffer, size);
  } while (n < 0 && errno == EINTR);
  close(fd);
  if (n <= 0) return std::nullopt;
  return std::string_view(buffer, static_cast<size_t>(n));
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

// The name of the process whose /proc directory is `processDir` (relative to `dir`), provided
// it is running (not a zombie or dead) and its real user is `user`. Empty otherwise, or when
// the process is gone.
std::optional<std::string> runningProcessName(int dir, const std::string& processDir, uid_t user) {
  char buffer[4096];
  auto status = readSmallFile(dir, (processDir + "/status").c_str(), buffer, sizeof buffer);
  if (!status || parseRealUid(*status) != user) return std::nullopt;

  // "<pid> (<name>) <state> ...": the name may itself contain ')' and spaces.
  auto stat = readSmallFile(dir, (processDir + "/stat").c_str(), buffer, sizeof buffer);
  if (!stat) return std::nullopt;
  size_t open = stat->find('(');
  size_t close = stat->rfind(')');
  if (open == std::string_view::npos || close == std::string_view::npos || close < open ||
      close + 2 >= stat->size()) {
    return std::nullopt;
  }
  char state = (*stat)[close + 2];
  if (state == 'Z' || state == 'X' || state == 'x') return std::nullopt;
  return std::string(stat->substr(open + 1, close - open - 1));
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
  return runningProcessName(AT_FDCWD, "/proc/" + std::to_string(pid), getuid()) == name;
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
  uid_t user = getuid();
  while (dirent* entry = readdir(proc)) {
    if (!isNumber(entry->d_name)) continue;
    auto name = runningProcessName(procDir, entry->d_name, user);
    if (!name) continue;
    LaunchedApplication app;
    std::from_chars(entry->d_name, entry->d_name + std::strlen(entry->d_name), app.pid);
    if (!name->empty()) app.name = std::move(*name);
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
