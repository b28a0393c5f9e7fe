#pragma once

#include <optional>
#include <string_view>

#include "platform/plist_nodes.h"

namespace tidymark {

// The keys and kinds of the browser's bookmarks file that the tool reads.
inline constexpr std::string_view kBookmarkTypeKey = "WebBookmarkType";
inline constexpr std::string_view kBookmarkKind = "WebBookmarkTypeLeaf";
inline constexpr std::string_view kFolderKind = "WebBookmarkTypeList";
inline constexpr std::string_view kChildrenKey = "Children";
inline constexpr std::string_view kTitleKey = "Title";
inline constexpr std::string_view kUriDictionaryKey = "URIDictionary";
inline constexpr std::string_view kUriTitleKey = "title";

// What the tool reads of a node, in one pass over its keys. A value that is absent or of another
// kind than the one named is absent here.
struct NodeFacts {
  using Node = PlistNodes::Node;
  std::optional<Node> kind;      // its "WebBookmarkType", a string
  bool folder = false;           // the kind is exactly the folder kind
  bool bookmark = false;         // the kind is exactly the bookmark kind
  std::optional<Node> title;     // a string
  std::optional<Node> children;  // its "Children", an array
};

// A bookmark is titled by the "title" inside its "URIDictionary", any other node by its own
// "Title"; a node is a folder when its "WebBookmarkType" is the folder kind (case matters).
// Where a key appears twice, the first counts, as with PlistValue::find.
NodeFacts describeNode(const PlistNodes& nodes, PlistNodes::Node node);

}  // namespace tidymark
