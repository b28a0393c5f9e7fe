#include "bookmarks/bookmark_node.h"

namespace tidymark {

const std::string* getKind(const PlistValue& node) {
  return stringValue(node.find(kBookmarkTypeKey));
}

const std::string* getTitle(const PlistValue& node) {
  const std::string* kind = getKind(node);
  if (kind && *kind == kBookmarkKind) {
    return stringValue(valueForKey(node.find(kUriDictionaryKey), kUriTitleKey));
  }
  return stringValue(node.find(kTitleKey));
}

bool isFolder(const PlistValue& node) {
  const std::string* kind = getKind(node);
  return kind && *kind == kFolderKind;
}

}  // namespace tidymark
