#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "platform/plist_value.h"

namespace tidymark {

// A property list that has been read and checked whole, as a walk reads it: whether its tree was
// built in memory or its values are read where they lie in a binary file. The walk names values
// by opaque handles and never learns how they are stored. An element or an entry is asked for
// only below the size of its container.
class PlistNodes {
 public:
  // A value of the property list, meaningful only to the PlistNodes that gave it.
  using Node = std::uint64_t;

  virtual ~PlistNodes() = default;

  virtual Node root() const = 0;
  virtual PlistKind kind(Node node) const = 0;
  // How many elements an array has, or entries a dictionary; 0 for any other value.
  virtual std::size_t size(Node node) const = 0;
  virtual Node element(Node array, std::size_t i) const = 0;
  // A dictionary's i-th entry in file order: its key (valid until the next call of key) and its
  // value.
  virtual std::string_view key(Node dict, std::size_t i) const = 0;
  virtual Node value(Node dict, std::size_t i) const = 0;
  // Whether the value is a string, and its text in UTF-8, valid until the next call of text.
  virtual bool text(Node node, std::string_view* text) const = 0;
  // The array as an edit of the file names it (see ArrayMove::entriesId).
  virtual const void* arrayId(Node array) const = 0;
};

// The values of a tree in memory; a node names a PlistValue of the tree, which must outlive it.
class TreeNodes final : public PlistNodes {
 public:
  explicit TreeNodes(const PlistValue& root) : root_(&root) {}

  static Node nodeOf(const PlistValue& value) { return reinterpret_cast<std::uintptr_t>(&value); }
  static const PlistValue& valueOf(Node node) { return *reinterpret_cast<const PlistValue*>(node); }

  Node root() const override { return nodeOf(*root_); }
  PlistKind kind(Node node) const override { return valueOf(node).kind(); }
  std::size_t size(Node node) const override;
  Node element(Node array, std::size_t i) const override {
    return nodeOf((*valueOf(array).asArray())[i]);
  }
  std::string_view key(Node dict, std::size_t i) const override {
    return (*valueOf(dict).asDict())[i].key.view();
  }
  Node value(Node dict, std::size_t i) const override {
    return nodeOf((*valueOf(dict).asDict())[i].value);
  }
  bool text(Node node, std::string_view* text) const override;
  const void* arrayId(Node array) const override { return valueOf(array).asArray()->data(); }

 private:
  const PlistValue* root_;
};

}  // namespace tidymark
