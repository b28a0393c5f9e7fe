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
  if (linked_) static_cast<void>(remove());
  release();
}

void TemporaryFile::release() {
  if (fd_ >= 0) ::close(fd_);
  // Nothing was written through this descriptor, so its close has nothing to report.
  if (lock_ >= 0) ::close(lock_);
  fd_ = lock_ = -1;
}

Status TemporaryFile::create(const std::string& directory, const std::string& name) {
  // A run cleaning up leftovers may take the lock of a file just made, before its maker does,
  // and remove it; the maker then finds its name gone and makes another.
  for (int attempt = 0; attempt < 3; ++attempt) {
    path_ = directory + temporaryPrefix(name) + std::string(kRandomPart, 'X');
    fd_ = ::mkostemp(path_.data(), O_CLOEXEC);
    if (fd_ < 0) {
      return Status::failure(systemError(
          "cannot create a temporary file in " + (directory.empty() ? "." : directory), errno));
    }
    linked_ = true;
    armSignalCleanup(path_);
    lock_ = ::fcntl(fd_, F_DUPFD_CLOEXEC, 0);
    int result;
    do {
      result = lock_ < 0 ? -1 : ::flock(lock_, LOCK_EX);
    } while (result != 0 && errno == EINTR);
    if (result != 0) {
      const Status failure = Status::failure(systemError("cannot lock the temporary file", errno));
      static_cast<void>(remove());
      release();
      return failure;
    }
    struct stat mine, named;
    if (::fstat(fd_, &mine) != 0) {
      const Status failure =
          Status::failure(systemError("cannot look at the temporary file", errno));
      static_cast<void>(remove());
      release();
      return failure;
    }
    if (::lstat(path_.c_str(), &named) == 0 && sameFile(mine, named)) return Status::success();
    linked_ = false;  // another run removed it as a leftover
    disarmSignalCleanup();
    release();
  }
  return Status::failure("cannot keep a temporary file in " +
                         (directory.empty() ? std::string(".") : directory) +
                         ": other runs keep removing it");
}

Status TemporaryFile::closeForWriting() {
  const int fd = fd_;
  fd_ = -1;
  if (::close(fd) != 0) return Status::failure(systemError("cannot write", errno));
  return Status::success();
}

Status TemporaryFile::renameTo(const std::string& target) {
  if (::rename(path_.c_str(), target.c_str()) != 0) {
    return Status::failure(systemError("cannot replace the file", errno));
  }
  linked_ = false;
  disarmSignalCleanup();
  release();
  return Status::success();
}

Status TemporaryFile::remove() {
  disarmSignalCleanup();
  linked_ = false;
  if (::unlink(path_.c_str()) != 0 && errno != ENOENT) {
    return Status::failure(
        systemError("the temporary file " + path_ + " could not be removed", errno));
  }
  return Status::success();
}

void removeLeftoverTemporaryFiles(const std::string& directory, const std::string& name) {
  DIR* dir = ::opendir(directory.empty() ? "." : directory.c_str());
  if (!dir) return;
  const std::string prefix = temporaryPrefix(name);
  while (const dirent* entry = ::readdir(dir)) {
    const std::string_view entryName = entry->d_name;
    if (!entryName.starts_with(prefix) || entryName.size() != prefix.size() + kRandomPart) {
      continue;
    }
    const std::string path = directory + std::string(entryName);
    const int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) continue;
    struct stat held, named;
    // Only a regular file still under that name, and no live run's: a live run holds the lock.
    if (::flock(fd, LOCK_EX | LOCK_NB) == 0 && ::fstat(fd, &held) == 0 && S_ISREG(held.st_mode) &&
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
  sigemptyset(&action.sa_mask);
  constexpr int kSignals[] = {SIGINT, SIGTERM, SIGHUP};
  for (int signal : kSignals)
    sigaddset(&action.sa_mask, signal);
  for (int signal : kSignals) {
    struct sigaction previous {};
    if (::sigaction(signal, nullptr, &previous) == 0 && previous.sa_handler != SIG_IGN) {
      ::sigaction(signal, &action, nullptr);
    }
  }
}

}  // namespace tidymark
