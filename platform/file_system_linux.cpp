#include <fcntl.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "platform/file_system.h"

namespace tidymark {

namespace {

constexpr std::int64_t kNsPerSecond = 1000000000;

std::int64_t nanoseconds(const struct timespec& time) {
  return static_cast<std::int64_t>(time.tv_sec) * kNsPerSecond + time.tv_nsec;
}

// The extended attribute that marks a temporary file as this tool's.
constexpr const char* kTemporaryMark = "user.tidymark.temporary";

bool unsupported(int error) {
  return error == ENOTSUP || error == EOPNOTSUPP || error == ENOSYS;
}

// Reads something whose size is unknown: `call(buffer, size)` returns the length or -1, and a
// size of 0 asks for the length. Retries while it grows between the two calls.
template <typename Call>
ssize_t readSized(Call call, std::vector<char>* buffer) {
  for (int attempt = 0; attempt < 8; ++attempt) {
    const ssize_t length = call(nullptr, 0);
    if (length <= 0) {
      buffer->clear();
      return length;
    }
    buffer->resize(static_cast<std::size_t>(length));
    const ssize_t got = call(buffer->data(), buffer->size());
    if (got >= 0 || errno != ERANGE) {
      if (got >= 0) buffer->resize(static_cast<std::size_t>(got));
      return got;
    }
  }
  errno = ERANGE;
  return -1;
}

Status attributeFailure(std::string_view name, int error) {
  return Status::failure("cannot copy the extended attribute " + std::string(name) +
                         " to the new file: " + std::strerror(error));
}

}  // namespace

FileStamp stampOf(const struct stat& info) {
  return {static_cast<std::uint64_t>(info.st_dev),
          static_cast<std::uint64_t>(info.st_ino),
          static_cast<std::int64_t>(info.st_size),
          nanoseconds(info.st_mtim),
          nanoseconds(info.st_ctim),
          static_cast<std::uint64_t>(info.st_nlink),
          true};
}

Status copyExtendedAttributes(int from, int to) {
  std::vector<char> names;
  if (readSized([&](char* buffer, std::size_t size) { return ::flistxattr(from, buffer, size); },
                &names) < 0) {
    if (unsupported(errno)) return Status::success();
    return Status::failure("cannot list the file's extended attributes: " +
                           std::string(std::strerror(errno)));
  }
  std::vector<char> value;
  std::vector<char> present;
  for (std::size_t at = 0; at < names.size();) {
    const char* name = names.data() + at;
    const std::size_t length = ::strnlen(name, names.size() - at);
    at += length + 1;
    if (length == 0) continue;
    if (readSized([&](char* b, std::size_t s) { return ::fgetxattr(from, name, b, s); }, &value) <
        0) {
      if (errno == ENODATA) continue;  // removed since it was listed
      return attributeFailure(name, errno);
    }
    if (readSized([&](char* b, std::size_t s) { return ::fgetxattr(to, name, b, s); }, &present) >=
            0 &&
        present == value) {
      continue;
    }
    if (::fsetxattr(to, name, value.data(), value.size(), 0) != 0) {
      return attributeFailure(name, errno);
    }
  }
  return Status::success();
}

// Linux's fsync flushes the drive's cache too.
int flushToDisk(int fd) {
  return ::fsync(fd);
}

void startWriting(int fd, std::uint64_t offset, std::uint64_t length) {
  ::sync_file_range(fd, static_cast<off_t>(offset), static_cast<off_t>(length),
                    SYNC_FILE_RANGE_WRITE);
}

Exchange exchangeFiles(const std::string& a, const std::string& b) {
  if (::renameat2(AT_FDCWD, a.c_str(), AT_FDCWD, b.c_str(), RENAME_EXCHANGE) == 0) {
    return Exchange::Done;
  }
  // EINVAL is what a file system without the exchange (NFS, SMB, exFAT, ...) says.
  return errno == EINVAL || unsupported(errno) ? Exchange::Unsupported : Exchange::Failed;
}

bool markAsTemporary(int fd) {
  return ::fsetxattr(fd, kTemporaryMark, "1", 1, 0) == 0;
}

bool isMarkedAsTemporary(int fd) {
  char value[2];
  return ::fgetxattr(fd, kTemporaryMark, value, sizeof value) == 1 && value[0] == '1';
}

Status unmarkAsTemporary(int fd) {
  if (::fremovexattr(fd, kTemporaryMark) == 0 || errno == ENODATA || unsupported(errno)) {
    return Status::success();
  }
  return Status::failure("cannot take the temporary mark off the new file: " +
                         std::string(std::strerror(errno)));
}

}  // namespace tidymark
