#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/binary_plist_format.h"

namespace tidymark {

// The objects of a binary property list read where they lie, without building a tree: for a file
// that readBinaryPlist has accepted, and only for objects reachable from the top one, which it
// has checked (offsets, lengths, references, text). Asked of anything else (a file not yet
// checked, say), it reads nothing outside `bytes`, but the answers mean nothing.
class BinaryPlistView {
 public:
  enum class Kind : std::uint8_t { Dictionary, Array, String, Other };

  explicit BinaryPlistView(std::string_view bytes);

  std::uint64_t top() const { return top_; }
  std::uint64_t objects() const { return objects_; }
  Kind kind(std::uint64_t object) const;

  // An array's elements, or a dictionary's keys and then its values, as references.
  struct Container {
    std::uint64_t refs = 0;   // where the references begin
    std::uint64_t count = 0;  // elements, or entries
  };
  Container open(std::uint64_t object) const;
  std::uint64_t element(const Container& array, std::uint64_t i) const { return at(array.refs, i); }
  std::uint64_t key(const Container& dict, std::uint64_t i) const { return at(dict.refs, i); }
  std::uint64_t value(const Container& dict, std::uint64_t i) const {
    return at(dict.refs, dict.count + i);
  }

  // Whether the object is a string, and its text in UTF-8: the file's own bytes for an ASCII
  // string, otherwise decoded into `scratch`, which *text then points into.
  bool text(std::uint64_t string, std::string& scratch, std::string_view* text) const;

 private:
  std::uint64_t offsetOf(std::uint64_t object) const;
  std::uint64_t at(std::uint64_t refs, std::uint64_t i) const {
    return binary_format::loadBigEndian(data_ + refs + i * refSize_, refSize_);
  }

  const std::uint8_t* data_;
  std::uint64_t size_ = 0, table_ = 0, objects_ = 0, top_ = 0;
  unsigned offsetSize_ = 1, refSize_ = 1;
};

}  // namespace tidymark
