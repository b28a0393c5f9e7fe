#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/binary_plist.h"
#include "platform/byte_sink.h"
#include "platform/file_system.h"
#include "platform/plist_edit.h"
#include "platform/plist_value.h"
#include "platform/status.h"

namespace tidymark {

enum class PlistFormat { Binary, Xml };

// A property list and the format it was read in, so that it is written back the same way.
struct PlistDocument {
  PlistValue root;
  PlistFormat format = PlistFormat::Binary;
  FileStamp source = {};  // the file it was loaded from, as it was then; none when made in memory
  // The file the tree was read from, when it was (see readPlistKeepingOriginal), and the edit
  // that writes it with the elements moved that have moved since in the tree (see
  // PlistOriginal::edit; none: nothing has moved). The tree is saved that way. Whoever changes
  // the tree in any other way resets `original`.
  std::shared_ptr<const PlistOriginal> original = nullptr;
  std::optional<PlistEdit> edit = std::nullopt;
  // Of a binary file's tree only the top value was built (see BinaryTree): the rest is read from
  // the original where it lies; the tree cannot be written whole.
  bool partial = false;
};

// Work that a load may run on the document it has read, before it returns; a load that does not
// leaves it to the caller. For a binary file read with only its top built, the work may run while
// the file is still being checked on another thread: it then gets a document that holds only the
// original and its format, must read the bytes only as BinaryPlistView does, which is safe on any
// bytes, and must count on nothing it finds until the load has succeeded.
using LoadedWork = std::function<void(PlistDocument&)>;

// Reads a property list held in memory; the format is told by content (the binary magic,
// otherwise XML). The root may be of any kind.
Status parsePlist(std::string_view bytes, PlistDocument* document);

// The same, keeping `bytes` in the document as its original, with where its arrays lie; of a
// binary file's tree, `tree` says how much is built (an XML file's is built whole).
Status readPlistKeepingOriginal(std::string bytes, PlistDocument* document,
                                BinaryTree tree = BinaryTree::Whole, const LoadedWork& work = {});

// Replaces a document's tree by the whole tree of its original, which the document then no longer
// keeps: for a partial tree that must be written whole.
Status readWholeTree(PlistDocument* document);

// Writes `document` whole in its format to `sink`, or appending to `out`.
Status serializePlist(const PlistDocument& document, ByteSink& sink);
Status serializePlist(const PlistDocument& document, std::string* out);

// Writes what saving `document` writes: its original with the moved elements moved (its edit), or
// as it is when nothing moved, or the whole tree when it has no original. A tree read only in
// part (see PlistDocument::partial) is never written whole: that fails.
Status writePlistContent(const PlistDocument& document, ByteSink& sink);

// Loads the property list at `path`: a regular file, or a symbolic link to one. Anything else
// (a directory, FIFO, socket or device) is refused without blocking. The root must be a
// dictionary. The file's bytes are kept as the document's original, and `tree` is handed on to
// readPlistKeepingOriginal.
Status loadPlistFile(const std::string& path, PlistDocument* document,
                     BinaryTree tree = BinaryTree::Whole, const LoadedWork& work = {});

// Whether loadPlistFile could open `path`: a regular file (or a link to one) this process can
// read. Fails with the message the load would give, without reading anything.
Status checkReadableFile(const std::string& path);

// Replaces the file at `path` with `document` (see writePlistContent), crash-safely (see
// replaceFile): the content is written as it is made. A document loaded from a file is written only
// if the path still leads to that file, unchanged since it was loaded.
Status savePlistFile(const std::string& path, const PlistDocument& document);

// Where the tool's property lists come from and go to. The sort talks to this interface only,
// so its tests can run on a fake.
class PlistStore {
 public:
  virtual ~PlistStore() = default;
  // `work` as with loadPlistFile.
  virtual Status load(const std::string& path, PlistDocument* document,
                      const LoadedWork& work = {}) = 0;
  virtual Status save(const std::string& path, const PlistDocument& document) = 0;
};

// The real store: loadPlistFile (building as much of a binary file's tree as `tree` says) and
// savePlistFile.
class FilePlistStore final : public PlistStore {
 public:
  explicit FilePlistStore(BinaryTree tree = BinaryTree::Whole) : tree_(tree) {}
  Status load(const std::string& path, PlistDocument* document,
              const LoadedWork& work = {}) override {
    return loadPlistFile(path, document, tree_, work);
  }
  Status save(const std::string& path, const PlistDocument& document) override {
    return savePlistFile(path, document);
  }

 private:
  BinaryTree tree_;
};

}  // namespace tidymark
