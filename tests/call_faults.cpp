// A library the tests preload into the built tidymark (LD_PRELOAD) to make one of its system
// calls fail, or to act as another program would at a chosen moment of a run:
//
//   TIDYMARK_FAIL=CALL:N         the Nth call of CALL fails with EIO (CALL: write, fsync, close,
//                                fchmod, fchown, fsetxattr, rename, open or read)
//   TIDYMARK_BEFORE=CALL:ACTION  before the first call of CALL, ACTION happens to the file
//                                TIDYMARK_TARGET: "replace" (another file is renamed over it),
//                                "rewrite" (its first bytes are overwritten in place), "move"
//                                (renamed to TARGET.moved), "chmod" (made mode 0600), or the
//                                process gets SIGINT, SIGTERM or SIGHUP
//   TIDYMARK_FAULT_LOG=PATH      a line is added to PATH whenever one of these happens, so that
//                                a test knows the run got that far
//
// Calls on files of /proc are not counted: how many there are depends on what else runs.

#include <dlfcn.h>
#include <fcntl.h>
#include <linux/magic.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

template <typename Function>
Function real(const char* name) {
  return reinterpret_cast<Function>(::dlsym(RTLD_NEXT, name));
}

using OpenCall = int (*)(const char*, int, ...);
using WriteCall = ssize_t (*)(int, const void*, size_t);
using CloseCall = int (*)(int);
using RenameCall = int (*)(const char*, const char*);

struct Config {
  char failCall[32] = "";
  long failAt = 0;
  long calls = 0;
  char beforeCall[32] = "";
  char action[32] = "";
  bool acted = false;
};

Config config;

void splitInto(const char* text, char* call, std::size_t size, const char** rest) {
  const char* colon = std::strchr(text, ':');
  const std::size_t length = colon ? static_cast<std::size_t>(colon - text) : 0;
  if (!colon || length >= size) return;
  std::memcpy(call, text, length);
  call[length] = '\0';
  *rest = colon + 1;
}

__attribute__((constructor)) void readConfig() {
  const char* rest = nullptr;
  if (const char* fail = std::getenv("TIDYMARK_FAIL")) {
    splitInto(fail, config.failCall, sizeof config.failCall, &rest);
    if (rest) config.failAt = std::strtol(rest, nullptr, 10);
  }
  rest = nullptr;
  if (const char* before = std::getenv("TIDYMARK_BEFORE")) {
    splitInto(before, config.beforeCall, sizeof config.beforeCall, &rest);
    if (rest) std::snprintf(config.action, sizeof config.action, "%s", rest);
  }
}

void log(const char* what, const char* call) {
  const char* path = std::getenv("TIDYMARK_FAULT_LOG");
  if (!path) return;
  char line[128];
  const int length = std::snprintf(line, sizeof line, "%s %s %ld\n", what, call, config.calls);
  const int fd = real<OpenCall>("open")(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (fd < 0) return;
  static_cast<void>(real<WriteCall>("write")(fd, line, static_cast<size_t>(length)));
  real<CloseCall>("close")(fd);
}

void writeFile(const char* path, int flags, const char* content) {
  const int fd = real<OpenCall>("open")(path, O_WRONLY | O_CLOEXEC | flags, 0644);
  if (fd < 0) return;
  static_cast<void>(real<WriteCall>("write")(fd, content, std::strlen(content)));
  real<CloseCall>("close")(fd);
}

// What another program does to the file, or a signal from outside.
void act(const char* target) {
  char other[4096];
  if (std::strcmp(config.action, "replace") == 0) {
    std::snprintf(other, sizeof other, "%s.other", target);
    writeFile(other, O_CREAT | O_TRUNC, "saved by another program\n");
    real<RenameCall>("rename")(other, target);
  } else if (std::strcmp(config.action, "rewrite") == 0) {
    writeFile(target, 0, "REWRITE!");
  } else if (std::strcmp(config.action, "move") == 0) {
    std::snprintf(other, sizeof other, "%s.moved", target);
    real<RenameCall>("rename")(target, other);
  } else if (std::strcmp(config.action, "chmod") == 0) {
    ::chmod(target, 0600);
  } else if (std::strcmp(config.action, "SIGINT") == 0) {
    ::raise(SIGINT);
  } else if (std::strcmp(config.action, "SIGTERM") == 0) {
    ::raise(SIGTERM);
  } else if (std::strcmp(config.action, "SIGHUP") == 0) {
    ::raise(SIGHUP);
  }
}

bool onProc(int fd) {
  struct statfs info;
  return fd >= 0 && ::fstatfs(fd, &info) == 0 && info.f_type == PROC_SUPER_MAGIC;
}

// Called first by every wrapped call: true when this call must fail.
bool intercept(const char* call, bool counted) {
  if (!config.acted && std::strcmp(call, config.beforeCall) == 0) {
    config.acted = true;
    const char* target = std::getenv("TIDYMARK_TARGET");
    log("before", call);
    if (target) act(target);
  }
  if (!counted || std::strcmp(call, config.failCall) != 0) return false;
  if (++config.calls != config.failAt) return false;
  log("failed", call);
  errno = EIO;
  return true;
}

}  // namespace

extern "C" {

ssize_t write(int fd, const void* buffer, size_t size) {
  if (intercept("write", !onProc(fd))) return -1;
  return real<WriteCall>("write")(fd, buffer, size);
}

ssize_t read(int fd, void* buffer, size_t size) {
  if (intercept("read", !onProc(fd))) return -1;
  return real<ssize_t (*)(int, void*, size_t)>("read")(fd, buffer, size);
}

int close(int fd) {
  if (intercept("close", !onProc(fd))) return -1;
  return real<CloseCall>("close")(fd);
}

int fsync(int fd) {
  if (intercept("fsync", true)) return -1;
  return real<int (*)(int)>("fsync")(fd);
}

int fchmod(int fd, mode_t mode) {
  if (intercept("fchmod", true)) return -1;
  return real<int (*)(int, mode_t)>("fchmod")(fd, mode);
}

int fchown(int fd, uid_t owner, gid_t group) {
  if (intercept("fchown", true)) return -1;
  return real<int (*)(int, uid_t, gid_t)>("fchown")(fd, owner, group);
}

int fsetxattr(int fd, const char* name, const void* value, size_t size, int flags) {
  if (intercept("fsetxattr", true)) return -1;
  return real<int (*)(int, const char*, const void*, size_t, int)>("fsetxattr")(fd, name, value,
                                                                                size, flags);
}

int rename(const char* from, const char* to) {
  if (intercept("rename", true)) return -1;
  return real<RenameCall>("rename")(from, to);
}

int open(const char* path, int flags, ...) {
  mode_t mode = 0;
  if (flags & (O_CREAT | O_TMPFILE)) {
    va_list args;
    va_start(args, flags);
    mode = static_cast<mode_t>(va_arg(args, int));
    va_end(args);
  }
  if (intercept("open", std::strncmp(path, "/proc/", 6) != 0)) return -1;
  return real<OpenCall>("open")(path, flags, mode);
}

}  // extern "C"
