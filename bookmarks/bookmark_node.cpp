#include "bookmarks/bookmark_node.h"

namespace tidymark {

namespace {

using Node = PlistNodes::Node;

// The value of the first entry of `dict` under `key`.
std::optional<Node> find(const PlistNodes& nodes, Node dict, std::string_view key) {
  const std::size_t count = nodes.size(dict);
  for (std::size_t i = 0; i < count; ++i) {
    if (nodes.key(dict, i) == key) return nodes.value(dict, i);
  }
  return std::nullopt;
}

std::optional<Node> ofKind(const PlistNodes& nodes, std::optional<Node> node, PlistKind kind) {
  return node && nodes.kind(*node) == kind ? node : std::nullopt;
}

}  // namespace

NodeFacts describeNode(const PlistNodes& nodes, Node node) {
  NodeFacts facts;
  if (nodes.kind(node) != PlistKind::Dictionary) return facts;
  std::optional<Node> kind, title, uriDictionary, children;
  const std::size_t count = nodes.size(node);
  for (std::size_t i = 0; i < count; ++i) {
    const std::string_view key = nodes.key(node, i);
    std::optional<Node>* slot = key == kBookmarkTypeKey    ? &kind
                                : key == kTitleKey         ? &title
                                : key == kUriDictionaryKey ? &uriDictionary
                                : key == kChildrenKey      ? &children
                                                           : nullptr;
    if (slot && !*slot) *slot = nodes.value(node, i);
  }
  std::string_view kindText;
  if (kind && nodes.text(*kind, &kindText)) {
    facts.kind = kind;
    facts.folder = kindText == kFolderKind;
    facts.bookmark = kindText == kBookmarkKind;
  }
  if (facts.bookmark) {
    uriDictionary = ofKind(nodes, uriDictionary, PlistKind::Dictionary);
    title = uriDictionary ? find(nodes, *uriDictionary, kUriTitleKey) : std::nullopt;
  }
  facts.title = ofKind(nodes, title, PlistKind::String);
  facts.children = ofKind(nodes, children, PlistKind::Array);
  return facts;
}

}  // namespace tidymark
