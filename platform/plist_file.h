#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/binary_plist.h"
#include "platform/byte_sink.h"
#include "platform/file_system.h"
#include "platform/plist_edit.h"
#include "platform/plist_nodes.h"
#include "platform/plist_value.h"
#include "platform/status.h"

namespace tidymark {

enum class PlistFormat { Binary, Xml };

// What a load gives of a file: its whole tree, or, for a binary file, its values read where they
// lie once the whole file has been checked (PlistDocument::nodes), which costs far less memory
// than a tree. An XML file's tree is always built.
enum class PlistLoad { Tree, Nodes };

// A property list and the format it was read in, so that it is written back the same way.
struct PlistDocument {
  PlistValue root;  // empty when the tree was not built
  PlistFormat format = PlistFormat::Binary;
  FileStamp source = {};  // the file it was loaded from, as it was then; none when made in memory
  // The file the tree was read from, when it was (see readPlistKeepingOriginal), and the edit
  // that writes it with the elements moved that have moved since in the tree (see
  // PlistOriginal::edit; none: nothing has moved). The tree is saved that way. Whoever changes
  // the tree in any other way resets `original`.
  std::shared_ptr<const PlistOriginal> original = nullptr;
  std::optional<PlistEdit> edit = std::nullopt;
  // A binary file's values read where they lie in the original, when its tree was not built:
  // the document cannot then be written whole.
  std::shared_ptr<const PlistNodes> nodes = nullptr;
};

// Reads a property list held in memory; the format is told by content (the binary magic,
// otherwise XML). The root may be of any kind.
Status parsePlist(std::string_view bytes, PlistDocument* document);

// The same, keeping `bytes` in the document as its original, with where its arrays lie; `load`
// says whether a binary file's tree is built.
Status readPlistKeepingOriginal(std::string bytes, PlistDocument* document,
                                PlistLoad load = PlistLoad::Tree);

// Replaces a document by the whole tree of its original, which the document then no longer
// keeps: for a document that must be written whole.
Status readWholeTree(PlistDocument* document);

// Writes `document` whole in its format to `sink`, or appending to `out`.
Status serializePlist(const PlistDocument& document, ByteSink& sink);
Status serializePlist(const PlistDocument& document, std::string* out);

// Writes what saving `document` writes: its original with the moved elements moved (its edit), or
// as it is when nothing moved, or the whole tree when it has no original. A document whose tree was
// not built (see PlistDocument::nodes) is never written whole: that fails.
Status writePlistContent(const PlistDocument& document, ByteSink& sink);

// Loads the property list at `path`: a regular file, or a symbolic link to one. Anything else
// (a directory, FIFO, socket or device) is refused without blocking. The root must be a
// dictionary. The file's bytes are kept as the document's original, and `load` is handed on to
// readPlistKeepingOriginal.
Status loadPlistFile(const std::string& path, PlistDocument* document,
                     PlistLoad load = PlistLoad::Tree);

// Whether loadPlistFile could open `path`: a regular file (or a link to one) this process can
// read. Fails with the message the load would give, without reading anything.
Status checkReadableFile(const std::string& path);

// Replaces the file at `path` with `document` (see writePlistContent), crash-safely (see
// replaceFile): the content is written as it is made. A document loaded from a file is written only
// if the path still leads to that file, unchanged since it was loaded. With a `backup` path, the
// file replaced is kept there.
Status savePlistFile(const std::string& path, const PlistDocument& document,
                     const std::string& backup = {});

// Where the tool's property lists come from and go to. The sort talks to this interface only,
// so its tests can run on a fake.
class PlistStore {
 public:
  virtual ~PlistStore() = default;
  // Loads as loadPlistFile does with PlistLoad::Nodes.
  virtual Status load(const std::string& path, PlistDocument* document) = 0;
  // `backup` as with savePlistFile.
  virtual Status save(const std::string& path, const PlistDocument& document,
                      const std::string& backup = {}) = 0;
};

// The real store: loadPlistFile and savePlistFile.
class FilePlistStore final : public PlistStore {
 public:
  Status load(const std::string& path, PlistDocument* document) override {
    return loadPlistFile(path, document, PlistLoad::Nodes);
  }
  Status save(const std::string& path, const PlistDocument& document,
              const std::string& backup = {}) override {
    return savePlistFile(path, document, backup);
  }
};

}  // namespace tidymark
