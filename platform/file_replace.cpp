#include "platform/file_replace.h"

#include <fcntl.h>
#include <sys/file.h>
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

// Whether two stamps are of the same file with the same content. The change time is left out:
// renaming a file, as an exchange does, moves it.
bool sameContent(const FileStamp& a, const FileStamp& b) {
  return a.device == b.device && a.inode == b.inode && a.size == b.size &&
         a.modifiedNs == b.modifiedNs;
}

// The stamp of what `path` names itself (a link is not followed).
bool stampAt(const std::string& path, FileStamp* stamp) {
  struct stat info;
  if (::lstat(path.c_str(), &info) != 0) return false;
  *stamp = stampOf(info);
  return true;
}

// The file the content was made from, and the new one, as a replacement sees them.
struct Replacement {
  std::string target;  // the path the new file goes to
  FileStamp original;  // what must be at `target` until the new file takes its place
  int originalFd;      // that file, open since it was checked before the content was written
  FileStamp fresh;     // the new file as it was written
  // The original's permissions and owner: changed, they show in its change time, which the
  // exchange moves.
  mode_t mode;
  uid_t owner;
  gid_t group;
};

// What to do once the new file and the original are exchanged.
enum class Verdict {
  Keep,        // the original was taken away unchanged, and the new file is at the path unchanged
  PutBack,     // something else than the original, unchanged, was taken away
  Superseded,  // another program saved at the path after the exchange: its file stays
};

Verdict judgeExchange(const TemporaryFile& temporary, const Replacement& r, int* error) {
  *error = 0;
  FileStamp atPath, taken;
  if (!stampAt(r.target, &atPath)) {
    *error = errno;
    return errno == ENOENT ? Verdict::Superseded : Verdict::PutBack;
  }
  if (!sameContent(atPath, r.fresh)) return Verdict::Superseded;
  struct stat held;
  if (::fstat(r.originalFd, &held) != 0 || !stampAt(temporary.path(), &taken)) {
    *error = errno;
    return Verdict::PutBack;
  }
  const bool unchanged = sameContent(stampOf(held), r.original) && sameContent(taken, r.original) &&
                         held.st_mode == r.mode && held.st_uid == r.owner && held.st_gid == r.group;
  return unchanged ? Verdict::Keep : Verdict::PutBack;
}

// Undoes the exchange: the file it took away goes back to the path, and the new file goes. When
// another program saved at the path in between, its save is put back at the path instead, and
// the file it replaced goes, as its save would have done.
Status putBack(TemporaryFile& temporary, const Replacement& r) {
  const std::string kept = "; the file that was at the path is now " + temporary.path();
  if (Status status = temporary.exchangeBack(r.target); !status.ok()) {
    return Status::failure(status.message() + kept);
  }
  if (!temporary.atItsPath()) {
    if (exchangeFiles(temporary.path(), r.target) != Exchange::Done) {
      return Status::failure("cannot exchange the files back: " + systemError(errno) + kept);
    }
    ::unlink(temporary.path().c_str());
  }
  if (Status status = temporary.remove(); !status.ok()) return status;
  static_cast<void>(syncDirectory(directoryOf(r.target)));
  return Status::success();
}

// Ends a replacement whose exchange was not kept: what is at the path is left as it is.
Status notKept(TemporaryFile& temporary, const Replacement& r, Verdict verdict, int error) {
  Status undone = Status::success();
  if (verdict == Verdict::PutBack) {
    undone = putBack(temporary, r);
  } else if (::unlink(temporary.path().c_str()) != 0) {
    undone = Status::failure("the file that was at the path could not be removed from " +
                             temporary.path() + ": " + systemError(errno));
  }
  Status reason = error == ENOENT ? Status::failure(
                                        "the file was moved or deleted as it was replaced; the "
                                        "sorted file went with it")
                  : error != 0 ? Status::failure("cannot look at the file: " + systemError(error) +
                                                 "; left as it is now, nothing was written")
                               : changedMeanwhile();
  return undone.ok() ? reason : Status::failure(reason.message() + "; " + undone.message());
}

// Marks the original, taken away by the exchange and found unchanged, as a temporary file of
// this tool's, and locks it as such: a crash from here on leaves it for the next run to remove.
// Not when it has other names, which would show the mark.
bool claimOriginal(int fd) {
  struct stat info;
  return ::fstat(fd, &info) == 0 && info.st_nlink == 1 && ::flock(fd, LOCK_EX | LOCK_NB) == 0 &&
         markAsTemporary(fd);
}

// Replaces the original by exchanging it with the new file, then checks what was taken away (see
// replaceFile), twice, and removes it or keeps it as the backup.
Status settleExchange(TemporaryFile& temporary, const Replacement& r, const std::string& backup) {
  int error = 0;
  Verdict verdict = judgeExchange(temporary, r, &error);
  if (verdict != Verdict::Keep) return notKept(temporary, r, verdict, error);
  const bool claimed = claimOriginal(r.originalFd);
  const std::string directory = directoryOf(r.target);
  Status synced = syncDirectory(directory);
  // Once more right before the original goes: a program that was writing it in place when it
  // was taken away may have written since.
  verdict = judgeExchange(temporary, r, &error);
  // Unmarked again before it is put back or kept: it is the user's file.
  if (claimed && (verdict != Verdict::Keep || !backup.empty())) {
    static_cast<void>(unmarkAsTemporary(r.originalFd));
  }
  if (verdict != Verdict::Keep) return notKept(temporary, r, verdict, error);
  if (backup.empty()) {
    if (::unlink(temporary.path().c_str()) != 0) {
      return Status::failure("the file was replaced, but the old one could not be removed from " +
                             temporary.path() + ": " + systemError(errno));
    }
    return synced;
  }
  if (::rename(temporary.path().c_str(), backup.c_str()) != 0) {
    const Status failure = Status::failure("cannot keep the original as " + backup + ": " +
                                           systemError(errno) + "; nothing was written");
    if (Status undone = putBack(temporary, r); !undone.ok()) {
      return Status::failure(failure.message() + "; " + undone.message());
    }
    return failure;
  }
  if (!synced.ok()) return synced;
  return syncDirectory(directoryOf(backup));
}

// Where the file system cannot exchange: the original, checked right before, is replaced by a
// rename, after a second name for it was made and renamed to the backup.
Status renameOver(TemporaryFile& temporary, const Replacement& r, const std::string& backup) {
  if (!backup.empty()) {
    const std::string old = temporary.path() + ".old";
    if (::link(r.target.c_str(), old.c_str()) != 0) {
      return Status::failure("cannot keep the original as " + backup + ": " + systemError(errno));
    }
    FileStamp linked;
    if (!stampAt(old, &linked) || !sameContent(linked, r.original)) {
      ::unlink(old.c_str());
      return changedMeanwhile();
    }
    if (::rename(old.c_str(), backup.c_str()) != 0) {
      const int error = errno;
      ::unlink(old.c_str());
      return Status::failure("cannot keep the original as " + backup + ": " + systemError(error));
    }
  }
  if (Status status = checkUnchanged(r.target, r.original); !status.ok()) return status;
  if (Status status = temporary.renameTo(r.target); !status.ok()) return status;
  Status synced = syncDirectory(directoryOf(r.target));
  if (!synced.ok() || backup.empty()) return synced;
  return syncDirectory(directoryOf(backup));
}

// Removes the temporary file after `status`, a failure, and says so when that fails too.
Status removing(TemporaryFile& temporary, const Status& status) {
  if (Status removal = temporary.remove(); !removal.ok()) {
    return Status::failure(status.message() + "; " + removal.message());
  }
  return status;
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

Status replaceFile(const std::string& path, const FileStamp& expected, const ContentWriter& write,
                   const std::string& backup) {
  std::string target;
  if (Status status = resolveLinks(path, &target); !status.ok()) return status;

  struct stat original = {};
  const bool exists = ::stat(target.c_str(), &original) == 0;
  if (!exists && errno != ENOENT) return Status::failure("cannot open: " + systemError(errno));
  if (!exists && expected.known) return movedMeanwhile();
  if (exists && !S_ISREG(original.st_mode)) return Status::failure(kindOfNonFile(original.st_mode));
  // What the path must still lead to when it is replaced: the file the content was made from,
  // or else the one whose attributes the new file gets.
  const FileStamp reference = expected.known ? expected : exists ? stampOf(original) : FileStamp{};
  if (exists && stampOf(original) != reference) return changedMeanwhile();
  // Renaming would replace even a read-only file, whoever runs this: a file its owner
  // protected stays as it is.
  if (exists && (original.st_mode & S_IWUSR) == 0) {
    return Status::failure("is read-only; make it writable to sort it");
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
  if (status.ok()) status = temporary.unmark();
  Replacement replacement = {target,           reference,       originalFile.get(), {},
                             original.st_mode, original.st_uid, original.st_gid};
  if (status.ok()) status = temporary.stamp(&replacement.fresh);
  if (status.ok() && exists) status = checkUnchanged(target, reference);
  if (!status.ok()) return removing(temporary, status);
  // From here on the temporary name may lead to the original, which a signal must not remove.
  const SignalsHeld held;
  if (!exists) {
    if (status = temporary.renameTo(target); !status.ok()) return removing(temporary, status);
    return syncDirectory(directory);
  }
  switch (temporary.exchangeWith(target)) {
    case Exchange::Done:
      return settleExchange(temporary, replacement, backup);
    case Exchange::Unsupported:
      status = renameOver(temporary, replacement, backup);
      break;
    case Exchange::Failed:
      status = errno == ENOENT ? movedMeanwhile()
                               : Status::failure("cannot replace the file: " + systemError(errno));
      break;
  }
  return status.ok() ? status : removing(temporary, status);
}

}  // namespace tidymark
