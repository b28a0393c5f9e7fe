#include "bookmarks/outline.h"

#include <utility>
#include <vector>

#include "bookmarks/bookmark_node.h"

namespace tidymark {

namespace {

void appendEntry(const PlistValue& entry, std::size_t depth, std::string& out) {
  out.append(2 * depth, ' ');
  const NodeFacts facts = describeNode(entry);
  out += facts.title ? facts.title->view() : std::string_view("(untitled)");
  if (facts.folder) {
    out += '/';
  } else if (const PlistString* kind = getKind(entry); !kind || *kind != kBookmarkKind) {
    out += " [";
    out += kind ? kind->view() : std::string_view("no kind");
    out += ']';
  }
  out += '\n';
}

}  // namespace

void appendOutline(const PlistValue& root, std::string& out) {
  // Depth-first with an explicit stack, so any nesting prints.
  std::vector<std::pair<const PlistValue*, std::size_t>> pending;
  auto pushChildren = [&](const PlistValue& node, std::size_t depth) {
    if (const PlistArray* children = arrayValue(node.find(kChildrenKey))) {
      for (auto child = children->rbegin(); child != children->rend(); ++child) {
        pending.emplace_back(&*child, depth);
      }
    }
  };
  pushChildren(root, 0);
  while (!pending.empty()) {
    auto [node, depth] = pending.back();
    pending.pop_back();
    appendEntry(*node, depth, out);
    pushChildren(*node, depth + 1);
  }
}

}  // namespace tidymark
