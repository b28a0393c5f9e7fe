#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/binary_plist_view.h"
#include "platform/plist_value.h"

namespace tidymark {

// The keys and kinds of the browser's bookmarks file that the tool reads.
inline constexpr std::string_view kBookmarkTypeKey = "WebBookmarkType";
inline constexpr std::string_view kBookmarkKind = "WebBookmarkTypeLeaf";
inline constexpr std::string_view kFolderKind = "WebBookmarkTypeList";
inline constexpr std::string_view kChildrenKey = "Children";
inline constexpr std::string_view kTitleKey = "Title";
inline constexpr std::string_view kUriDictionaryKey = "URIDictionary";
inline constexpr std::string_view kUriTitleKey = "title";

// What the sort needs to know of a node, read in one pass over its keys.
struct NodeFacts {
  bool folder = false;                 // its kind is exactly the folder kind
  const PlistString* title = nullptr;  // absent, or not a string: nullptr
};

// A bookmark is titled by the "title" inside its "URIDictionary", any other node by its own
// "Title"; a node is a folder when its "WebBookmarkType" is the folder kind (case matters).
// Where a key appears twice, the first counts, as with PlistValue::find.
NodeFacts describeNode(const PlistValue& node);

inline const PlistString* getTitle(const PlistValue& node) {
  return describeNode(node).title;
}
inline bool isFolder(const PlistValue& node) {
  return describeNode(node).folder;
}

// The node's kind ("WebBookmarkType"), or nullptr when it has none.
const PlistString* getKind(const PlistValue& node);

// The same facts of the nodes of a binary file, read where they lie (see BinaryPlistView). Keys
// and kinds are shared objects in such a file, so what each object says is worked out once.
class BinaryBookmarks {
 public:
  explicit BinaryBookmarks(const BinaryPlistView& view) : view_(view) {}

  struct Facts {
    bool folder = false;
    std::uint64_t children = 0;  // a folder's "Children" value, when it has one
    bool hasChildren = false;
  };
  // `title` receives the title's text, valid until the next call.
  Facts describe(std::uint64_t node, std::string_view* title);
  // How many nodes and dictionary entries the calls so far have looked at.
  std::uint64_t looked() const { return looked_; }

 private:
  // The keys the sort reads of a node (kType up to kUriTitle), the one of its "URIDictionary",
  // and the two kinds.
  enum Known : std::uint8_t {
    kUnknown,
    kNone,
    kType,
    kTitle,
    kUriDictionary,
    kChildren,
    kUriTitle,
    kLeaf,
    kList
  };
  // What a string object names: one of the keys or kinds the sort reads, or none of them.
  Known known(std::uint64_t string);
  // The value of the first entry of `dict` under `key`, or none.
  bool find(std::uint64_t dict, Known key, std::uint64_t* value);

  const BinaryPlistView& view_;
  std::vector<Known> known_;
  std::string scratch_;
  std::uint64_t looked_ = 0;
};

}  // namespace tidymark
