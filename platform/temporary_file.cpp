#include "platform/temporary_file.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <string_view>

#include "platform/file_system.h"

namespace tidymark {

namespace {

constexpr std::string_view kSuffix = ".tidymark-";
constexpr std::size_t kRandomPart = 6;     // the XXXXXX of mkostemp
constexpr std::size_t kLongestName = 200;  // leaves room in a file name for the rest

// The start of the names of `name`'s temporary files.
std::string temporaryPrefix(const std::string& name) {
  return "." + name.substr(0, kLongestName) + std::string(kSuffix);
}

// The temporary file a signal must remove, kept where a signal handler can reach it: a fixed
// buffer, and a flag set only while the buffer holds a file that exists.
char signalPath[4096 + 256];
volatile sig_atomic_t signalPathSet = 0;

void armSignalCleanup(const std::string& path) {
  if (path.size() >= sizeof signalPath) return;  // left for the next run to remove
  signalPathSet = 0;
  std::atomic_signal_fence(std::memory_order_seq_cst);
  std::memcpy(signalPath, path.c_str(), path.size() + 1);
  std::atomic_signal_fence(std::memory_order_seq_cst);
  signalPathSet = 1;
}

void disarmSignalCleanup() {
  signalPathSet = 0;
  std::atomic_signal_fence(std::memory_order_seq_cst);
}

// The signals that end a process unless it catches them, and that may be caught: all but the
// few a fault raises (whose handlers debuggers and sanitizers keep), and SIGXFSZ, which is
// ignored instead. The real-time signals are added where there are some.
constexpr int kEndingSignals[] = {
    SIGHUP,    SIGINT,  SIGQUIT, SIGABRT,   SIGUSR1, SIGUSR2, SIGPIPE,
    SIGALRM,   SIGTERM, SIGXCPU, SIGVTALRM, SIGPROF, SIGSYS,
#ifdef SIGSTKFLT
    SIGSTKFLT,
#endif
#ifdef SIGPOLL
    SIGPOLL,
#endif
#ifdef SIGPWR
    SIGPWR,
#endif
};

sigset_t endingSignals() {
  sigset_t set;
  sigemptyset(&set);
  for (int signal : kEndingSignals)
    sigaddset(&set, signal);
#ifdef SIGRTMIN
  for (int signal = SIGRTMIN; signal <= SIGRTMAX; ++signal)
    sigaddset(&set, signal);
#endif
  return set;
}

extern "C" void removeTemporaryAndEnd(int signal) {
  if (signalPathSet) ::unlink(signalPath);
  // The action is back to the default (SA_RESETHAND); the signal, blocked while this runs, is
  // delivered again on return and ends the process as it asks.
  ::raise(signal);
}

bool sameFile(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

std::string systemError(const std::string& what, int error) {
  return what + ": " + std::strerror(error);
}

}  // namespace

TemporaryFile::~TemporaryFile() {
  static_cast<void>(remove());
  release();
}

void TemporaryFile::release() {
  if (fd_ >= 0) ::close(fd_);
  // Nothing was written through this descriptor, so its close has nothing to report.
  if (lock_ >= 0) ::close(lock_);
  fd_ = lock_ = -1;
}

void TemporaryFile::own() {
  linked_ = true;
  armSignalCleanup(path_);
}

void TemporaryFile::disown() {
  linked_ = false;
  disarmSignalCleanup();
}

Status TemporaryFile::create(const std::string& directory, const std::string& name) {
  const std::string where = directory.empty() ? "." : directory;
  // A run cleaning up leftovers may take the lock of a file just made, before its maker does,
  // and remove it; the maker then finds its name gone and makes another.
  for (int attempt = 0; attempt < 3; ++attempt) {
    path_ = directory + temporaryPrefix(name) + std::string(kRandomPart, 'X');
    {
      // Made, marked and known to the signal handler before a signal can end the run.
      const SignalsHeld held;
      fd_ = ::mkostemp(path_.data(), O_CLOEXEC);
      if (fd_ < 0) {
        return Status::failure(systemError("cannot create a temporary file in " + where, errno));
      }
      own();
      // Unmarked where the file system keeps no marks: what a killed run leaves there stays.
      markAsTemporary(fd_);
    }
    lock_ = ::fcntl(fd_, F_DUPFD_CLOEXEC, 0);
    int result;
    do {
      result = lock_ < 0 ? -1 : ::flock(lock_, LOCK_EX);
    } while (result != 0 && errno == EINTR);
    struct stat mine, named;
    Status failure = Status::success();
    if (result != 0) {
      failure = Status::failure(systemError("cannot lock the temporary file", errno));
    } else if (::fstat(fd_, &mine) != 0) {
      failure = Status::failure(systemError("cannot look at the temporary file", errno));
    } else if (::lstat(path_.c_str(), &named) == 0) {
      if (sameFile(mine, named)) return Status::success();
      disown();  // another run removed it as a leftover, and its name has been taken since
    } else if (errno == ENOENT) {
      disown();  // another run removed it as a leftover
    } else {
      failure = Status::failure(systemError("cannot look at the temporary file", errno));
    }
    if (!failure.ok()) {
      static_cast<void>(remove());
      release();
      return failure;
    }
    release();
  }
  return Status::failure("cannot keep a temporary file in " + where +
                         ": other runs keep removing it");
}

Status TemporaryFile::closeForWriting() {
  const int fd = fd_;
  fd_ = -1;
  if (::close(fd) != 0) return Status::failure(systemError("cannot write", errno));
  return Status::success();
}

Status TemporaryFile::unmark() {
  return unmarkAsTemporary(lock_);
}

Status TemporaryFile::stamp(FileStamp* stamp) const {
  struct stat info;
  if (::fstat(lock_, &info) != 0) {
    return Status::failure(systemError("cannot look at the new file", errno));
  }
  *stamp = stampOf(info);
  return Status::success();
}

bool TemporaryFile::atItsPath() const {
  struct stat mine, named;
  return ::fstat(lock_, &mine) == 0 && ::lstat(path_.c_str(), &named) == 0 && sameFile(mine, named);
}

Status TemporaryFile::renameTo(const std::string& target) {
  if (::rename(path_.c_str(), target.c_str()) != 0) {
    return Status::failure(systemError("cannot replace the file", errno));
  }
  disown();
  release();
  return Status::success();
}

Exchange TemporaryFile::exchangeWith(const std::string& target) {
  const Exchange result = exchangeFiles(path_, target);
  if (result == Exchange::Done) disown();
  return result;
}

Status TemporaryFile::exchangeBack(const std::string& target) {
  if (exchangeFiles(path_, target) != Exchange::Done) {
    return Status::failure(systemError("cannot exchange the files back", errno));
  }
  if (atItsPath()) own();
  return Status::success();
}

Status TemporaryFile::remove() {
  if (!linked_) return Status::success();
  disown();
  if (::unlink(path_.c_str()) != 0 && errno != ENOENT) {
    return Status::failure(
        systemError("the temporary file " + path_ + " could not be removed", errno));
  }
  return Status::success();
}

SignalsHeld::SignalsHeld() {
  const sigset_t set = endingSignals();
  ::pthread_sigmask(SIG_BLOCK, &set, &previous_);
}

SignalsHeld::~SignalsHeld() {
  ::pthread_sigmask(SIG_SETMASK, &previous_, nullptr);
}

void removeLeftoverTemporaryFiles(const std::string& directory, const std::string& name) {
  DIR* dir = ::opendir(directory.empty() ? "." : directory.c_str());
  if (!dir) return;
  const std::string prefix = temporaryPrefix(name);
  // A temporary file belongs to this user, or to the file's owner, whose owner it was given.
  struct stat target;
  const uid_t owner =
      ::stat((directory + name).c_str(), &target) == 0 ? target.st_uid : ::geteuid();
  while (const dirent* entry = ::readdir(dir)) {
    const std::string_view entryName = entry->d_name;
    if (!entryName.starts_with(prefix) || entryName.size() != prefix.size() + kRandomPart) {
      continue;
    }
    const std::string path = directory + std::string(entryName);
    const int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) continue;
    struct stat held, named;
    // Only a regular file of this user's or the file's owner's that carries the mark, still
    // under that name, and no live run's: a live run holds the lock.
    if (::flock(fd, LOCK_EX | LOCK_NB) == 0 && ::fstat(fd, &held) == 0 && S_ISREG(held.st_mode) &&
        (held.st_uid == ::geteuid() || held.st_uid == owner) && isMarkedAsTemporary(fd) &&
        ::lstat(path.c_str(), &named) == 0 && sameFile(held, named)) {
      ::unlink(path.c_str());
    }
    ::close(fd);
  }
  ::closedir(dir);
}

void installTemporaryFileCleanup() {
  struct sigaction action {};
  action.sa_handler = removeTemporaryAndEnd;
  action.sa_flags = SA_RESETHAND;
  action.sa_mask = endingSignals();
  for (int signal = 1; signal < NSIG; ++signal) {
    struct sigaction previous {};
    if (sigismember(&action.sa_mask, signal) == 1 && ::sigaction(signal, nullptr, &previous) == 0 &&
        previous.sa_handler != SIG_IGN) {
      ::sigaction(signal, &action, nullptr);
    }
  }
  ::signal(SIGXFSZ, SIG_IGN);
}

}  // namespace tidymark
