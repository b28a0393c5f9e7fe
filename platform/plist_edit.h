#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/byte_sink.h"
#include "platform/status.h"

namespace tidymark {

// A range of bytes in a file: [begin, end).
struct ByteSpan {
  std::uint64_t begin = 0;
  std::uint64_t end = 0;
};

// An array whose elements were put in another order: `entriesId` is the address of its first
// element as the reader built it (PlistArray::data(), which stays the array's until its elements
// move), or for an array of a binary file that was not built, arrayObjectId of its object; and
// order[k] is the place in the original of the element now at k.
struct ArrayMove {
  const void* entriesId = nullptr;
  std::vector<std::uint32_t> order;
};

// The identity of a binary file's array object that was not built: odd, so never the address of
// a built array's elements.
inline const void* arrayObjectId(std::uint64_t object) {
  return reinterpret_cast<const void*>(static_cast<std::uintptr_t>(object << 1 | 1));
}

// The original with some arrays' elements moved, ready to be written.
class PlistEdit {
 public:
  // Writes the whole result to `sink`.
  Status write(ByteSink& sink) const;

 private:
  friend class PlistOriginal;
  // One array to write in its new order: where its elements lie (a binary file's references,
  // `refSize` bytes each from `first`, or an XML file's `spans`), and the order.
  struct Reordering {
    const ByteSpan* spans;  // null for a binary file's references
    std::uint64_t first;
    std::uint32_t count;
    std::vector<std::uint32_t> order;

    ByteSpan element(std::uint32_t i, unsigned refSize) const {
      if (spans) return spans[i];
      return {first + std::uint64_t{i} * refSize, first + std::uint64_t{i + 1} * refSize};
    }
  };

  std::string_view original_;
  unsigned refSize_ = 0;
  std::vector<Reordering> reorderings_;  // by where they begin in the original
};

// A file as it was read, and where each of its arrays of two or more elements lies in it, so
// that a tree whose only changes are elements moved within arrays is saved as the original with
// those elements moved.
class PlistOriginal {
 public:
  explicit PlistOriginal(std::string bytes) : bytes_(std::move(bytes)) {}

  const std::string& bytes() const { return bytes_; }

  // A binary file's array: object number `object`, whose `count` references of `refSize` bytes
  // begin at `references`. Arrays read from one shared object are written once, in one order.
  void addReferenceList(const void* id, std::uint64_t object, std::uint64_t references,
                        std::uint32_t count, unsigned refSize);
  // A binary file's offset table: `objects` offsets of `offsetSize` bytes from `table`, where
  // the objects end.
  void setOffsetTable(std::uint64_t table, std::uint64_t objects, unsigned offsetSize);
  // An XML file's array: its elements' spans, each from the '<' of its start tag to the '>' of
  // its end tag, in file order.
  void addElements(const void* id, const ByteSpan* elements, std::uint32_t count);

  // The original with each array of `moves` in its new order. The bytes between elements stay
  // where they are, and an element moves whole, with the moves inside it. An array object that
  // was not built, read from several places, needs a move for each. Nothing when an array is
  // unknown or when arrays read from one binary object would need different orders; the tree
  // must then be written whole.
  std::optional<PlistEdit> edit(const std::vector<ArrayMove>& moves) const;

  // Works out whether a binary file's objects lie apart, each beginning where or after the one
  // numbered before it ends, as writers lay them out: then no list of references lies in another
  // object, and edit need not look. A part of the check, done once the file is read.
  void findLayout();

 private:
  // Whether the reference lists `moved` rewrites (begin, end, object) lie in no other object.
  bool standAlone(std::vector<std::pair<ByteSpan, std::uint64_t>> moved) const;

  struct ArrayRecord {
    const void* id;
    std::uint64_t object;  // binary: its object number; XML: its place among the arrays
    std::uint64_t first;   // binary: where its references begin; XML: its first span in spans_
    std::uint32_t count;
  };

  std::string bytes_;
  unsigned refSize_ = 0;  // 0 for an XML file
  std::uint64_t table_ = 0, objects_ = 0;
  unsigned offsetSize_ = 0;
  bool objectsApart_ = false;
  std::vector<ArrayRecord> arrays_;
  std::vector<ByteSpan> spans_;
};

}  // namespace tidymark
