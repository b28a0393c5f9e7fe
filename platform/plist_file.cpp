#include "platform/plist_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <utility>

#include "platform/binary_plist.h"
#include "platform/byte_sink.h"
#include "platform/file_descriptor.h"
#include "platform/file_replace.h"
#include "platform/xml_plist.h"

namespace tidymark {

namespace {

std::string systemError(int error) {
  return std::strerror(error);
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
  static constexpr const char* kNames[] = {"a dictionary", "an array",      "a string",
                                           "an integer",   "a real number", "a boolean",
                                           "a date",       "data",          "a UID"};
  return kNames[static_cast<int>(kind)];
}

Status parseInto(std::string_view bytes, PlistDocument* document, PlistOriginal* original,
                 PlistLoad load) {
  if (bytes.empty()) return Status::failure("not a property list: the file is empty");
  if (bytes.starts_with(kBinaryPlistMagic)) {
    document->format = PlistFormat::Binary;
    if (load == PlistLoad::Tree) return readBinaryPlist(bytes, &document->root, original);
    std::unique_ptr<const PlistNodes> nodes;
    Status status = checkBinaryPlist(bytes, &nodes, original);
    document->nodes = std::move(nodes);
    return status;
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
  return parseInto(bytes, document, nullptr, PlistLoad::Tree);
}

Status readPlistKeepingOriginal(std::string bytes, PlistDocument* document, PlistLoad load) {
  auto original = std::make_shared<PlistOriginal>(std::move(bytes));
  PlistDocument loaded;
  if (Status status = parseInto(original->bytes(), &loaded, original.get(), load); !status.ok()) {
    return status;
  }
  original->findLayout();
  loaded.original = std::move(original);
  *document = std::move(loaded);
  return Status::success();
}

Status readWholeTree(PlistDocument* document) {
  if (!document->original) return Status::success();
  const std::shared_ptr<const PlistOriginal> original = std::move(document->original);
  const FileStamp source = document->source;  // still the file the tree comes from
  *document = PlistDocument{};
  document->source = source;
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
  if (document.edit) return document.edit->write(sink);
  if (document.original) {
    return sink.write(document.original->bytes()) ? Status::success()
                                                  : Status::failure(sink.error());
  }
  // Written whole, a tree that was not built would lose everything.
  if (document.nodes) return Status::failure("cannot write a tree that was not built");
  return serializePlist(document, sink);
}

Status loadPlistFile(const std::string& path, PlistDocument* document, PlistLoad load) {
  int fd = -1;
  std::size_t size = 0;
  if (Status status = openRegularFile(path, &fd, &size); !status.ok()) return status;
  FileDescriptor file(fd);
  // Taken before reading, so that a save by another program while this one reads shows.
  FileStamp source;
  if (Status status = stampOfOpenFile(file.get(), &source); !status.ok()) return status;
  PlistDocument loaded;
  std::string bytes;
  if (Status status = readWhole(file.get(), size, &bytes); !status.ok()) return status;
  if (Status status = readPlistKeepingOriginal(std::move(bytes), &loaded, load); !status.ok()) {
    return status;
  }
  const PlistKind top =
      loaded.nodes ? loaded.nodes->kind(loaded.nodes->root()) : loaded.root.kind();
  if (top != PlistKind::Dictionary) {
    return Status::failure(std::string("the property list holds ") + kindName(top) +
                           ", not a dictionary, at its top");
  }
  loaded.source = source;
  *document = std::move(loaded);
  return Status::success();
}

Status checkReadableFile(const std::string& path) {
  int fd = -1;
  std::size_t size = 0;
  if (Status status = openRegularFile(path, &fd, &size); !status.ok()) return status;
  ::close(fd);
  return Status::success();
}

Status savePlistFile(const std::string& path, const PlistDocument& document,
                     const std::string& backup) {
  return replaceFile(
      path, document.source, [&](ByteSink& sink) { return writePlistContent(document, sink); },
      backup);
}

}  // namespace tidymark
