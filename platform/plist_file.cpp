#include "platform/plist_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <utility>

#include "platform/binary_plist.h"
#include "platform/byte_sink.h"
#include "platform/memory.h"
#include "platform/xml_plist.h"

namespace tidymark {

namespace {

std::string systemError(int error) {
  return std::strerror(error);
}

// Closes a file descriptor when it goes out of scope.
class FileDescriptor {
 public:
  explicit FileDescriptor(int fd) : fd_(fd) {}
  ~FileDescriptor() {
    if (fd_ >= 0) ::close(fd_);
  }
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;

  int get() const { return fd_; }
  int release() { return std::exchange(fd_, -1); }
  // Closes now and reports the result: on some file systems close is where a write fails.
  int close() {
    const int result = ::close(fd_);
    fd_ = -1;
    return result;
  }

 private:
  int fd_;
};

const char* kindOfNonFile(mode_t mode) {
  if (S_ISDIR(mode)) return "is a directory, not a file";
  if (S_ISFIFO(mode)) return "is a named pipe, not a file";
  if (S_ISSOCK(mode)) return "is a socket, not a file";
  if (S_ISCHR(mode) || S_ISBLK(mode)) return "is a device, not a file";
  return "is not a regular file";
}

// Opens `path` for reading, provided it is a regular file (or a link to one); the caller
// closes *fd.
Status openRegularFile(const std::string& path, int* fd, std::size_t* size) {
  // Look before opening: opening a FIFO or a device can block or have effects of its own.
  struct stat info;
  if (::stat(path.c_str(), &info) != 0) {
    return Status::failure("cannot open: " + systemError(errno));
  }
  if (!S_ISREG(info.st_mode)) return Status::failure(kindOfNonFile(info.st_mode));
  FileDescriptor file(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
  if (file.get() < 0) return Status::failure("cannot open: " + systemError(errno));
  // The path may have been swapped for something else since the look.
  if (::fstat(file.get(), &info) != 0 || !S_ISREG(info.st_mode)) {
    return Status::failure(kindOfNonFile(info.st_mode));
  }
  *size = static_cast<std::size_t>(info.st_size);
  *fd = file.release();
  return Status::success();
}

// Reads up to `size` bytes at the file's position into `buffer`; fewer only at its end.
Status readSome(int fd, char* buffer, std::size_t size, std::size_t* got) {
  *got = 0;
  while (*got < size) {
    const ssize_t n = ::read(fd, buffer + *got, size - *got);
    if (n == 0) break;
    if (n < 0) {
      if (errno == EINTR) continue;
      return Status::failure("cannot read: " + systemError(errno));
    }
    *got += static_cast<std::size_t>(n);
  }
  return Status::success();
}

Status readWhole(int fd, std::size_t size, std::string* contents) {
  // One spare byte, so a file that did not grow is read to its end without resizing.
  contents->resize(size + 1);
  std::size_t used = 0;
  for (;;) {
    std::size_t got = 0;
    if (Status status = readSome(fd, contents->data() + used, contents->size() - used, &got);
        !status.ok()) {
      return status;
    }
    used += got;
    if (used < contents->size()) break;
    contents->resize(2 * used);
  }
  contents->resize(used);
  return Status::success();
}

const char* kindName(PlistKind kind) {
  switch (kind) {
    case PlistKind::Dictionary:
      return "a dictionary";
    case PlistKind::Array:
      return "an array";
    case PlistKind::String:
      return "a string";
    case PlistKind::Integer:
      return "an integer";
    case PlistKind::Real:
      return "a real number";
    case PlistKind::Boolean:
      return "a boolean";
    case PlistKind::Date:
      return "a date";
    case PlistKind::Data:
      return "data";
    case PlistKind::Uid:
      return "a UID";
  }
  return "a value";
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

// Gives the new file the original's owner, group and permission bits; a new file gets the
// permissions the umask allows. Owner and group are kept where the process may set them.
void copyAttributes(int fd, const struct stat* original) {
  if (!original) {
    const mode_t mask = ::umask(0);
    ::umask(mask);
    ::fchmod(fd, 0666 & ~mask);
    return;
  }
  if (original->st_uid != ::geteuid() || original->st_gid != ::getegid()) {
    if (::fchown(fd, original->st_uid, original->st_gid) != 0) {
      [[maybe_unused]] int ignored = ::fchown(fd, static_cast<uid_t>(-1), original->st_gid);
    }
  }
  // After fchown, which may clear the set-user-ID and set-group-ID bits.
  ::fchmod(fd, original->st_mode & 07777);
}

// Hands a writer's bytes on to a file.
class FileSink final : public ByteSink {
 public:
  explicit FileSink(int fd) : fd_(fd) {}
  bool write(std::string_view bytes) override {
    Status status = writeAll(fd_, bytes);
    if (!status.ok()) error_ = status.message();
    return status.ok();
  }
  std::string error() const override { return error_; }

 private:
  int fd_;
  std::string error_;
};

// Writes `document` to the temporary file behind `file` and flushes it to disk.
Status fillTemporary(FileDescriptor& file, const PlistDocument& document,
                     const struct stat* original) {
  FileSink sink(file.get());
  if (Status status = writePlistContent(document, sink); !status.ok()) return status;
  copyAttributes(file.get(), original);
  if (::fsync(file.get()) != 0) return Status::failure("cannot write: " + systemError(errno));
  if (file.close() != 0) return Status::failure("cannot write: " + systemError(errno));
  return Status::success();
}

Status syncDirectory(const std::string& directory) {
  FileDescriptor dir(
      ::open(directory.empty() ? "." : directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (dir.get() < 0 || (::fsync(dir.get()) != 0 && errno != EINVAL)) {
    return Status::failure("the file was replaced, but its directory could not be synced: " +
                           systemError(errno));
  }
  return Status::success();
}

Status replaceFile(const std::string& path, const PlistDocument& document) {
  std::string target;
  if (Status status = resolveLinks(path, &target); !status.ok()) return status;

  struct stat original;
  const bool exists = ::stat(target.c_str(), &original) == 0;
  if (!exists && errno != ENOENT) return Status::failure("cannot open: " + systemError(errno));
  if (exists && !S_ISREG(original.st_mode)) return Status::failure(kindOfNonFile(original.st_mode));
  // Renaming would replace even a read-only file; a file its owner protected stays as it is.
  if (exists && ::faccessat(AT_FDCWD, target.c_str(), W_OK, AT_EACCESS) != 0) {
    return Status::failure("cannot write: " + systemError(errno));
  }

  const std::string directory = directoryOf(target);
  std::string name = target.substr(directory.size());
  if (name.size() > 200) name.resize(200);  // leave room in the name for the suffix
  std::string temporary = directory + "." + name + ".tidymark-XXXXXX";
  FileDescriptor file(::mkostemp(temporary.data(), O_CLOEXEC));
  if (file.get() < 0) {
    return Status::failure("cannot create a temporary file in " +
                           (directory.empty() ? std::string(".") : directory) + ": " +
                           systemError(errno));
  }
  Status status = fillTemporary(file, document, exists ? &original : nullptr);
  if (status.ok() && ::rename(temporary.c_str(), target.c_str()) != 0) {
    status = Status::failure("cannot replace the file: " + systemError(errno));
  }
  if (!status.ok()) {
    ::unlink(temporary.c_str());
    return status;
  }
  return syncDirectory(directory);
}

}  // namespace

namespace {

Status parseInto(std::string_view bytes, PlistDocument* document, PlistOriginal* original,
                 KeptKeys kept) {
  if (bytes.empty()) return Status::failure("not a property list: the file is empty");
  if (bytes.starts_with(kBinaryPlistMagic)) {
    document->format = PlistFormat::Binary;
    document->partial = !kept.empty();
    return readBinaryPlist(bytes, &document->root, original, kept);
  }
  if (bytes.starts_with("bplist")) {
    return Status::failure("unsupported binary property list version \"" +
                           std::string(bytes.substr(0, 8)) + "\"");
  }
  document->format = PlistFormat::Xml;
  Status status = readXmlPlist(bytes, &document->root, original);
  if (!status.ok()) return Status::failure("not a property list: " + status.message());
  return status;
}

}  // namespace

Status parsePlist(std::string_view bytes, PlistDocument* document) {
  return parseInto(bytes, document, nullptr, {});
}

Status readPlistKeepingOriginal(std::string bytes, PlistDocument* document, KeptKeys kept) {
  auto original = std::make_shared<PlistOriginal>(std::move(bytes));
  PlistDocument loaded;
  if (Status status = parseInto(original->bytes(), &loaded, original.get(), kept);
      !status.ok()) {
    return status;
  }
  loaded.original = std::move(original);
  *document = std::move(loaded);
  return Status::success();
}

Status readWholeTree(PlistDocument* document) {
  if (!document->original) return Status::success();
  const std::shared_ptr<const PlistOriginal> original = std::move(document->original);
  *document = PlistDocument{};
  return parsePlist(original->bytes(), document);
}

Status serializePlist(const PlistDocument& document, ByteSink& sink) {
  return document.format == PlistFormat::Binary ? writeBinaryPlist(document.root, sink)
                                                : writeXmlPlist(document.root, sink);
}

Status serializePlist(const PlistDocument& document, std::string* out) {
  return document.format == PlistFormat::Binary ? writeBinaryPlist(document.root, out)
                                                : writeXmlPlist(document.root, out);
}

Status writePlistContent(const PlistDocument& document, ByteSink& sink) {
  if (document.original) {
    if (const std::optional<PlistEdit> edit = document.original->edit(document.moved)) {
      return edit->write(sink);
    }
  }
  return serializePlist(document, sink);
}

Status loadPlistFile(const std::string& path, PlistDocument* document, KeptKeys kept) {
  int fd = -1;
  std::size_t size = 0;
  if (Status status = openRegularFile(path, &fd, &size); !status.ok()) return status;
  FileDescriptor file(fd);
  // The heap is prepared before anything is read, for the file's bytes and a tree of about their
  // size: an XML file's whole tree, or the part of a binary file's that the sort reads.
  prepareHeapForTree(2 * size);
  PlistDocument loaded;
  std::string bytes;
  if (Status status = readWhole(file.get(), size, &bytes); !status.ok()) return status;
  if (Status status = readPlistKeepingOriginal(std::move(bytes), &loaded, kept); !status.ok()) {
    return status;
  }
  if (loaded.root.kind() != PlistKind::Dictionary) {
    return Status::failure(std::string("the property list holds ") + kindName(loaded.root.kind()) +
                           ", not a dictionary, at its top");
  }
  *document = std::move(loaded);
  return Status::success();
}

Status savePlistFile(const std::string& path, const PlistDocument& document) {
  return replaceFile(path, document);
}

}  // namespace tidymark
