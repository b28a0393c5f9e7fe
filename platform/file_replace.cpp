#include "platform/file_replace.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstring>
#include <string_view>

#include "platform/file_descriptor.h"
#include "platform/file_system.h"
#include "platform/temporary_file.h"

namespace tidymark {

namespace {

std::string systemError(int error) {
  return std::strerror(error);
}

// The directory part of `path`, with its trailing slash ("" for a bare name).
std::string directoryOf(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

// Follows symbolic links from `path` to the file they lead to, which need not exist yet.
Status resolveLinks(const std::string& path, std::string* target) {
  std::string current = path;
  for (int hops = 0; hops < 40; ++hops) {
    struct stat info;
    if (::lstat(current.c_str(), &info) != 0 || !S_ISLNK(info.st_mode)) {
      *target = current;
      return Status::success();
    }
    char link[PATH_MAX];
    const ssize_t length = ::readlink(current.c_str(), link, sizeof link);
    if (length < 0 || length == static_cast<ssize_t>(sizeof link)) {
      return Status::failure("cannot follow the symbolic link " + current + ": " +
                             systemError(length < 0 ? errno : ENAMETOOLONG));
    }
    const std::string destination(link, static_cast<std::size_t>(length));
    current = destination.front() == '/' ? destination : directoryOf(current) + destination;
  }
  return Status::failure("cannot follow the symbolic link: " + systemError(ELOOP));
}

Status writeAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t n = ::write(fd, bytes.data(), bytes.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return Status::failure("cannot write: " + systemError(errno));
    }
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
  return Status::success();
}

// Hands a writer's bytes on to a file, and has the system start writing each few megabytes to
// the disk while the next are made, so that the final flush finds little left to do.
class FileSink final : public ByteSink {
 public:
  explicit FileSink(int fd) : fd_(fd) {}
  bool write(std::string_view bytes) override {
    Status status = writeAll(fd_, bytes);
    if (!status.ok()) {
      error_ = status.message();
      return false;
    }
    written_ += bytes.size();
    if (written_ - started_ >= kWritingStep) {
      startWriting(fd_, started_, written_ - started_);
      started_ = written_;
    }
    return true;
  }
  std::string error() const override { return error_; }

 private:
  static constexpr std::uint64_t kWritingStep = std::uint64_t{4} << 20;
  int fd_;
  std::uint64_t written_ = 0, started_ = 0;
  std::string error_;
};

Status changedMeanwhile() {
  return Status::failure(
      "the file changed while it was being sorted; left as it is now, nothing was written");
}

Status movedMeanwhile() {
  return Status::failure(
      "the file was moved or deleted while it was being sorted; nothing was written");
}

// Whether `target` still leads to the file `expected` describes, unchanged.
Status checkUnchanged(const std::string& target, const FileStamp& expected) {
  struct stat now;
  if (::stat(target.c_str(), &now) != 0) {
    if (errno == ENOENT) return movedMeanwhile();
    return Status::failure("cannot look at the file: " + systemError(errno));
  }
  return stampOf(now) == expected ? Status::success() : changedMeanwhile();
}

// Gives the new file `fd` the owner, group, permission bits and extended attributes of the
// original, open as `originalFd`. Each must succeed: a file that silently lost its owner or
// became readable by others is worse than one left unsorted.
Status copyAttributes(int fd, int originalFd, const struct stat& original) {
  struct stat mine;
  if (::fstat(fd, &mine) != 0) {
    return Status::failure("cannot look at the temporary file: " + systemError(errno));
  }
  if ((mine.st_uid != original.st_uid || mine.st_gid != original.st_gid) &&
      ::fchown(fd, original.st_uid, original.st_gid) != 0) {
    return Status::failure("cannot give the new file the original's owner and group: " +
                           systemError(errno));
  }
  // After fchown, which may clear the set-user-ID and set-group-ID bits.
  if (::fchmod(fd, original.st_mode & 07777) != 0) {
    return Status::failure("cannot give the new file the original's permissions: " +
                           systemError(errno));
  }
  return copyExtendedAttributes(originalFd, fd);
}

// A new file gets the permissions the umask allows, as if made by open.
Status setNewFilePermissions(int fd) {
  const mode_t mask = ::umask(0);
  ::umask(mask);
  if (::fchmod(fd, 0666 & ~mask) != 0) {
    return Status::failure("cannot set the new file's permissions: " + systemError(errno));
  }
  return Status::success();
}

// Writes the content to `temporary`, gives it its attributes and flushes it to disk.
Status fillTemporary(TemporaryFile& temporary, const ContentWriter& write, int originalFd,
                     const struct stat* original) {
  FileSink sink(temporary.fd());
  if (Status status = write(sink); !status.ok()) return status;
  if (Status status = original ? copyAttributes(temporary.fd(), originalFd, *original)
                               : setNewFilePermissions(temporary.fd());
      !status.ok()) {
    return status;
  }
  if (flushToDisk(temporary.fd()) != 0) {
    return Status::failure("cannot write: " + systemError(errno));
  }
  return temporary.closeForWriting();
}

Status syncDirectory(const std::string& directory) {
  FileDescriptor dir(
      ::open(directory.empty() ? "." : directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (dir.get() < 0 || (flushToDisk(dir.get()) != 0 && errno != EINVAL)) {
    return Status::failure("the file was replaced, but its directory could not be synced: " +
                           systemError(errno));
  }
  return Status::success();
}

}  // namespace

const char* kindOfNonFile(mode_t mode) {
  if (S_ISDIR(mode)) return "is a directory, not a file";
  if (S_ISFIFO(mode)) return "is a named pipe, not a file";
  if (S_ISSOCK(mode)) return "is a socket, not a file";
  if (S_ISCHR(mode) || S_ISBLK(mode)) return "is a device, not a file";
  return "is not a regular file";
}

Status stampOfOpenFile(int fd, FileStamp* stamp) {
  struct stat info;
  if (::fstat(fd, &info) != 0) return Status::failure("cannot open: " + systemError(errno));
  *stamp = stampOf(info);
  return Status::success();
}

Status replaceFile(const std::string& path, const FileStamp& expected, const ContentWriter& write) {
  std::string target;
  if (Status status = resolveLinks(path, &target); !status.ok()) return status;

  struct stat original;
  const bool exists = ::stat(target.c_str(), &original) == 0;
  if (!exists && errno != ENOENT) return Status::failure("cannot open: " + systemError(errno));
  if (!exists && expected.known) return movedMeanwhile();
  if (exists && !S_ISREG(original.st_mode)) return Status::failure(kindOfNonFile(original.st_mode));
  // What the path must still lead to right before the rename: the file the content was made
  // from, or else the one whose attributes the new file gets.
  const FileStamp reference = expected.known ? expected : exists ? stampOf(original) : FileStamp{};
  if (exists && stampOf(original) != reference) return changedMeanwhile();
  // Renaming would replace even a read-only file, whoever runs this: a file its owner
  // protected stays as it is.
  if (exists && (original.st_mode & S_IWUSR) == 0) {
    return Status::failure("cannot write: " + systemError(EACCES));
  }
  if (exists && ::faccessat(AT_FDCWD, target.c_str(), W_OK, AT_EACCESS) != 0) {
    return Status::failure("cannot write: " + systemError(errno));
  }
  // Open for its extended attributes, and to take the owner and permissions from the very file
  // that is checked.
  FileDescriptor originalFile(
      exists ? ::open(target.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC) : -1);
  if (exists && originalFile.get() < 0) {
    return Status::failure("cannot open: " + systemError(errno));
  }
  if (exists && ::fstat(originalFile.get(), &original) != 0) {
    return Status::failure("cannot open: " + systemError(errno));
  }
  if (exists && stampOf(original) != reference) return changedMeanwhile();

  const std::string directory = directoryOf(target);
  const std::string name = target.substr(directory.size());
  removeLeftoverTemporaryFiles(directory, name);
  TemporaryFile temporary;
  if (Status status = temporary.create(directory, name); !status.ok()) return status;
  Status status = fillTemporary(temporary, write, originalFile.get(), exists ? &original : nullptr);
  if (status.ok() && exists) status = checkUnchanged(target, reference);
  if (status.ok()) status = temporary.renameTo(target);
  if (!status.ok()) {
    if (Status removal = temporary.remove(); !removal.ok()) {
      return Status::failure(status.message() + "; " + removal.message());
    }
    return status;
  }
  return syncDirectory(directory);
}

}  // namespace tidymark
