// Preloaded into the built tidymark (LD_PRELOAD) to fail one of its system calls, or to act as
// another program would at a chosen moment of a run:
//   TIDYMARK_FAIL=CALL:N    the Nth call of CALL (write, fsync, close, fchmod, fchown, fsetxattr,
//                           rename, renameat2, link, lstat, open or read) fails with EIO
//   TIDYMARK_ACT=ACTION[@MOMENT]
//                           to the file TIDYMARK_TARGET: "replace" (another file is renamed over
//                           it), "rewrite" (its first bytes are overwritten in place), "move"
//                           (renamed to TARGET.moved), "chmod" (to 0600); or a number: the process
//                           gets that signal. MOMENT: "fsync" (the default; before the first
//                           fsync), "renameat2" (before the first renameat2, the exchange) or
//                           "renameat2-done" (right after it)
//   TIDYMARK_NO_EXCHANGE=1  renameat2 cannot exchange (EINVAL), as on a file system without it
//   TIDYMARK_FAULT_LOG=PATH created when a call fails or the action happens, so a test knows the
//                           run got that far
// Calls on files of /proc are not counted: how many there are depends on what else runs.
#include <fcntl.h>
#include <linux/magic.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

// The calls below go to the kernel straight, past the wrappers.
void put(const std::string& path, int flags, const std::string& text) {
  const long fd = syscall(SYS_openat, AT_FDCWD, path.c_str(), O_WRONLY | O_CLOEXEC | flags, 0644);
  syscall(SYS_write, fd, text.data(), text.size()), syscall(SYS_close, fd);
}

void move(const std::string& from, const std::string& to) {
  syscall(SYS_renameat, AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str());
}

const std::string_view action = std::getenv("TIDYMARK_ACT") ?: "";
const std::string_view log = std::getenv("TIDYMARK_FAULT_LOG") ?: "";

void noteReached() {
  if (!log.empty()) put(std::string(log), O_CREAT | O_APPEND, "");
}

// Does the action once, when `moment` is the one it was set for.
void act(std::string_view moment) {
  static const std::string target = std::getenv("TIDYMARK_TARGET") ?: "";
  static bool acted = false;
  const std::size_t at = action.find('@');
  const std::string_view what = action.substr(0, at);
  if (what.empty() || acted || moment != (at == action.npos ? "fsync" : action.substr(at + 1))) {
    return;
  }
  acted = true;
  noteReached();
  if (what == "replace") put(target + ".other", O_CREAT | O_TRUNC, "saved by another program\n");
  if (what == "replace") move(target + ".other", target);
  if (what == "rewrite") put(target, 0, "REWRITE!");
  if (what == "move") move(target, target + ".moved");
  if (what == "chmod") chmod(target.c_str(), 0600);
  if (std::isdigit(what[0])) raise(std::atoi(what.data()));  // a signal's number
}

// Called first by every wrapped call: true when this call must fail.
bool fails(const std::string& call, bool counted) {
  // Views, not strings: calls come also after static objects are destroyed at exit.
  static const std::string_view fail = std::getenv("TIDYMARK_FAIL") ?: "";
  static long calls = 0;
  if (counted && fail.starts_with(call + ":") &&
      ++calls == std::atol(fail.data() + call.size() + 1)) {
    noteReached();
    return errno = EIO, true;
  }
  act(call);
  return false;
}

bool onProc(int fd) {
  struct statfs info;
  return fstatfs(fd, &info) == 0 && info.f_type == PROC_SUPER_MAGIC;
}

}  // namespace

#define WRAP(Result, name, counted, params, ...)              \
  extern "C" Result name params {                             \
    return fails(#name, counted) ? -1 : syscall(__VA_ARGS__); \
  }
WRAP(ssize_t, write, !onProc(fd), (int fd, const void* data, size_t n), SYS_write, fd, data, n)
WRAP(ssize_t, read, !onProc(fd), (int fd, void* data, size_t n), SYS_read, fd, data, n)
WRAP(int, close, !onProc(fd), (int fd), SYS_close, fd)
WRAP(int, fsync, true, (int fd), SYS_fsync, fd)
WRAP(int, fchmod, true, (int fd, mode_t mode), SYS_fchmod, fd, mode)
WRAP(int, fchown, true, (int fd, uid_t owner, gid_t group), SYS_fchown, fd, owner, group)
WRAP(int, fsetxattr, true, (int fd, const char* n, const void* v, size_t s, int f), SYS_fsetxattr,
     fd, n, v, s, f)
WRAP(int, rename, true, (const char* a, const char* b), SYS_renameat, AT_FDCWD, a, AT_FDCWD, b)
WRAP(int, link, true, (const char* a, const char* b), SYS_linkat, AT_FDCWD, a, AT_FDCWD, b, 0)
WRAP(int, lstat, true, (const char* path, struct stat* info), SYS_newfstatat, AT_FDCWD, path, info,
     AT_SYMLINK_NOFOLLOW)
WRAP(int, lstat64, true, (const char* path, struct stat64* info), SYS_newfstatat, AT_FDCWD, path,
     info, AT_SYMLINK_NOFOLLOW)

extern "C" int renameat2(int fromDir, const char* from, int toDir, const char* to, unsigned flags) {
  static const bool canExchange = !std::getenv("TIDYMARK_NO_EXCHANGE");
  if (fails("renameat2", true)) return -1;
  const int result =
      !canExchange && (flags & RENAME_EXCHANGE)
          ? (errno = EINVAL, -1)
          : static_cast<int>(syscall(SYS_renameat2, fromDir, from, toDir, to, flags));
  const int error = errno;
  act("renameat2-done");
  errno = error;
  return result;
}

extern "C" int open(const char* path, int flags, ...) {
  va_list args;
  va_start(args, flags);
  const mode_t mode = flags & (O_CREAT | O_TMPFILE) ? va_arg(args, int) : 0;
  va_end(args);
  if (fails("open", std::string_view(path).substr(0, 6) != "/proc/")) return -1;
  return syscall(SYS_openat, AT_FDCWD, path, flags, mode);
}
