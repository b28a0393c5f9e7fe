#pragma once

#include <string_view>

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
// Every key the sort reads: a tree of only these entries sorts as the whole one does.
inline constexpr std::string_view kSortKeys[] = {kBookmarkTypeKey, kChildrenKey, kTitleKey,
                                                 kUriDictionaryKey, kUriTitleKey};

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

}  // namespace tidymark
