// The process table of Linux, read from /proc; a process is asked to quit through a pidfd.

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

// The text after "<field>:" and its tabs on a line of /proc/<pid>/status.
std::optional<std::string_view> statusField(std::string_view status, std::string_view field) {
  for (std::size_t line = 0; line < status.size();) {
    std::size_t end = status.find('\n', line);
    if (end == std::string_view::npos) end = status.size();
    const std::string_view text = status.substr(line, end - line);
    if (text.size() > field.size() && text.starts_with(field) && text[field.size()] == ':') {
      std::string_view value = text.substr(field.size() + 1);
      while (!value.empty() && value.front() == '\t')
        value.remove_prefix(1);
      return value;
    }
    line = end + 1;
  }
  return std::nullopt;
}

// The name of the process whose /proc directory is `processDir` (relative to `dir`), provided
// it is running (not a zombie or dead) and its real user is `user`; nothing otherwise, or when
// the process is gone. One read of its status file gives all three.
std::optional<std::string> runningProcessName(int dir, const std::string& processDir, uid_t user) {
  char buffer[4096];
  const auto status = readSmallFile(dir, (processDir + "/status").c_str(), buffer, sizeof buffer);
  if (!status) return std::nullopt;
  const auto uid = statusField(*status, "Uid");
  uid_t real = 0;
  if (!uid || std::from_chars(uid->data(), uid->data() + uid->size(), real).ec != std::errc() ||
      real != user) {
    return std::nullopt;
  }
  const auto state = statusField(*status, "State");
  if (!state || state->empty() || (*state)[0] == 'Z' || (*state)[0] == 'X') return std::nullopt;
  // The name as the process table gives it (the kernel escapes a backslash or a newline).
  const auto name = statusField(*status, "Name");
  if (!name) return std::nullopt;
  return std::string(*name);
}

// Whether the process whose /proc directory is `processDir` surely is not named `name`: its
// comm file, much cheaper to read than its status file, gives another name. The status file
// escapes a backslash or a newline in the name, the comm file does not: a name holding either
// is left for the status file to tell, and so is one that cannot be read.
bool surelyNotNamed(int dir, const std::string& processDir, std::string_view name) {
  char buffer[64];
  auto comm = readSmallFile(dir, (processDir + "/comm").c_str(), buffer, sizeof buffer);
  if (!comm || !comm->ends_with('\n')) return false;
  comm->remove_suffix(1);
  return comm->find_first_of("\\\n") == std::string_view::npos && *comm != name;
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

// This user's running processes, or only those named `name` when there is one.
Status listProcesses(std::optional<std::string_view> name, std::vector<LaunchedApplication>* apps) {
  apps->clear();
  DIR* proc = opendir("/proc");
  if (!proc) return Status::failure(std::string("cannot read /proc: ") + std::strerror(errno));
  int procDir = dirfd(proc);
  uid_t user = getuid();
  // At least this process runs: a /proc that lists none is not the process table (it is not
  // mounted, or something else is mounted there).
  bool anyProcess = false;
  int error = 0;
  for (;;) {
    errno = 0;
    const dirent* entry = readdir(proc);
    if (!entry) {
      error = errno;
      break;
    }
    if (!isNumber(entry->d_name)) continue;
    anyProcess = true;
    const std::string processDir = entry->d_name;
    if (name && surelyNotNamed(procDir, processDir, *name)) continue;
    auto named = runningProcessName(procDir, processDir, user);
    if (!named || (name && *named != *name)) continue;
    LaunchedApplication app;
    std::from_chars(processDir.data(), processDir.data() + processDir.size(), app.pid);
    if (!named->empty()) app.name = std::move(*named);
    apps->push_back(std::move(app));
  }
  closedir(proc);
  if (error != 0) return Status::failure(std::string("cannot read /proc: ") + std::strerror(error));
  if (!anyProcess) return Status::failure("/proc lists no processes");
  return Status::success();
}

}  // namespace

Status SystemProcessTable::launchedApplications(std::vector<LaunchedApplication>* apps) {
  return listProcesses(std::nullopt, apps);
}

Status SystemProcessTable::launchedApplicationsNamed(std::string_view name,
                                                     std::vector<LaunchedApplication>* apps) {
  return listProcesses(name, apps);
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
