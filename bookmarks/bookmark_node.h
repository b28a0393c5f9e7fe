#pragma once

#include <string>
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

// A node's title: a bookmark's "title" inside its "URIDictionary", any other node's "Title".
// nullptr when absent or not a string.
const std::string* getTitle(const PlistValue& node);

// True exactly when the node's kind is the folder kind (letter case matters).
bool isFolder(const PlistValue& node);

// The node's kind ("WebBookmarkType"), or nullptr when it has none.
const std::string* getKind(const PlistValue& node);

}  // namespace tidymark
