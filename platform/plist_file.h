#pragma once

#include <string>
#include <string_view>

#include "platform/byte_sink.h"
#include "platform/file_system.h"
#include "platform/plist_value.h"
#include "platform/status.h"

namespace tidymark {

enum class PlistFormat { Binary, Xml };

// A property list and the format it was read in, so that it is written back the same way.
struct PlistDocument {
  PlistValue root;
  PlistFormat format = PlistFormat::Binary;
  FileStamp source = {};  // the file it was loaded from, as it was then; none when made in memory
};

// Reads a property list held in memory; the format is told by content (the binary magic,
// otherwise XML). The root may be of any kind.
Status parsePlist(std::string_view bytes, PlistDocument* document);

// Writes `document` in its format to `sink`, or appending to `out`.
Status serializePlist(const PlistDocument& document, ByteSink& sink);
Status serializePlist(const PlistDocument& document, std::string* out);

// Loads the property list at `path`: a regular file, or a symbolic link to one. Anything else
// (a directory, FIFO, socket or device) is refused without blocking. The root must be a
// dictionary. The heap is prepared for the tree first (see prepareHeapForTree), and a large XML
// file is read piece by piece rather than whole.
Status loadPlistFile(const std::string& path, PlistDocument* document);

// Whether loadPlistFile could open `path`: a regular file (or a link to one) this process can
// read. Fails with the message the load would give, without reading anything.
Status checkReadableFile(const std::string& path);

// Replaces the file at `path` with `document`, crash-safely (see replaceFile): the content is
// written as it is made. A document loaded from a file is written only if the path still leads
// to that file, unchanged since it was loaded.
Status savePlistFile(const std::string& path, const PlistDocument& document);

// Where the tool's property lists come from and go to. The sort talks to this interface only,
// so its tests can run on a fake.
class PlistStore {
 public:
  virtual ~PlistStore() = default;
  virtual Status load(const std::string& path, PlistDocument* document) = 0;
  virtual Status save(const std::string& path, const PlistDocument& document) = 0;
};

// The real store: loadPlistFile and savePlistFile.
class FilePlistStore final : public PlistStore {
 public:
  Status load(const std::string& path, PlistDocument* document) override {
    return loadPlistFile(path, document);
  }
  Status save(const std::string& path, const PlistDocument& document) override {
    return savePlistFile(path, document);
  }
};

}  // namespace tidymark
