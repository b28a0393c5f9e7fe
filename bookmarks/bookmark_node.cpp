#include "bookmarks/bookmark_node.h"

namespace tidymark {

NodeFacts describeNode(const PlistValue& node) {
  const PlistDict* entries = node.asDict();
  if (!entries) return {};
  const PlistValue* kind = nullptr;
  const PlistValue* title = nullptr;
  const PlistValue* uriDictionary = nullptr;
  for (const DictEntry& entry : *entries) {
    const std::string_view key = entry.key;
    if (key == kBookmarkTypeKey) {
      if (!kind) kind = &entry.value;
    } else if (key == kTitleKey) {
      if (!title) title = &entry.value;
    } else if (key == kUriDictionaryKey) {
      if (!uriDictionary) uriDictionary = &entry.value;
    }
  }
  const PlistString* kindText = stringValue(kind);
  if (kindText && *kindText == kBookmarkKind) {
    return {false, stringValue(valueForKey(uriDictionary, kUriTitleKey))};
  }
  return {kindText && *kindText == kFolderKind, stringValue(title)};
}

const PlistString* getKind(const PlistValue& node) {
  return stringValue(node.find(kBookmarkTypeKey));
}

}  // namespace tidymark
