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

BinaryBookmarks::Known BinaryBookmarks::known(std::uint64_t string) {
  if (string >= view_.objects()) return kNone;  // no object: the file is not checked yet
  if (string >= known_.size()) known_.resize(view_.objects(), kUnknown);
  if (known_[string] != kUnknown) return known_[string];
  static constexpr std::pair<std::string_view, Known> kNames[] = {
      {kBookmarkTypeKey, kType}, {kTitleKey, kTitle},       {kUriDictionaryKey, kUriDictionary},
      {kChildrenKey, kChildren}, {kUriTitleKey, kUriTitle}, {kBookmarkKind, kLeaf},
      {kFolderKind, kList}};
  Known found = kNone;
  std::string_view text;
  if (view_.text(string, scratch_, &text)) {
    for (const auto& [name, value] : kNames) {
      if (text == name) found = value;
    }
  }
  return known_[string] = found;
}

bool BinaryBookmarks::find(std::uint64_t dict, Known key, std::uint64_t* value) {
  if (view_.kind(dict) != BinaryPlistView::Kind::Dictionary) return false;
  const BinaryPlistView::Container entries = view_.open(dict);
  looked_ += entries.count;
  for (std::uint64_t i = 0; i < entries.count; ++i) {
    if (known(view_.key(entries, i)) == key) {
      *value = view_.value(entries, i);
      return true;
    }
  }
  return false;
}

BinaryBookmarks::Facts BinaryBookmarks::describe(std::uint64_t node, std::string_view* title) {
  Facts facts;
  *title = {};
  ++looked_;
  if (view_.kind(node) != BinaryPlistView::Kind::Dictionary) return facts;
  // One pass over the keys, as describeNode makes: the first entry under each key counts.
  std::uint64_t values[kUriTitle] = {};
  bool found[kUriTitle] = {};
  const BinaryPlistView::Container entries = view_.open(node);
  looked_ += entries.count;
  for (std::uint64_t i = 0; i < entries.count; ++i) {
    const Known key = known(view_.key(entries, i));
    if (key >= kType && key < kUriTitle && !found[key]) {
      found[key] = true;
      values[key] = view_.value(entries, i);
    }
  }
  const Known kind = found[kType] ? known(values[kType]) : kNone;
  std::uint64_t text = values[kTitle];
  bool titled = found[kTitle];
  if (kind == kLeaf) {
    titled = found[kUriDictionary] && find(values[kUriDictionary], kUriTitle, &text);
  } else if (kind == kList) {
    facts.folder = true;
    facts.hasChildren = found[kChildren];
    facts.children = values[kChildren];
  }
  if (titled) view_.text(text, scratch_, title);  // a title that is no string counts as empty
  return facts;
}

}  // namespace tidymark
