#include "bookmarks/outline.h"

#include <algorithm>
#include <string>
#include <utility>

#include "bookmarks/bookmark_node.h"
#include "platform/utf8.h"

namespace tidymark {

namespace {

constexpr std::string_view kUntitled = "(untitled)";

// Collects lines and hands them to a sink in pieces of about 64 KB. Once the sink has refused a
// piece, nothing more is handed to it, and every later call reports the failure.
class LineWriter {
 public:
  explicit LineWriter(ByteSink& out) : out_(out) {}
  // Where the next line is built; end it with endLine().
  std::string& text() { return buffer_; }
  bool endLine() {
    buffer_ += '\n';
    return buffer_.size() < kPiece ? ok_ : flush();
  }
  bool flush() {
    ok_ = ok_ && (buffer_.empty() || out_.write(buffer_));
    buffer_.clear();
    return ok_;
  }

 private:
  static constexpr std::size_t kPiece = std::size_t{64} << 10;
  ByteSink& out_;
  std::string buffer_;
  bool ok_ = true;
};

bool writeEntry(const PlistValue& entry, std::size_t depth, LineWriter& lines) {
  std::string& line = lines.text();
  line.append(2 * std::min(depth, kMaxOutlineIndent), ' ');
  const NodeFacts facts = describeNode(entry);
  if (facts.title) {
    appendPrintable(facts.title->view(), line);
  } else {
    line += kUntitled;
  }
  if (facts.folder) {
    line += '/';
  } else if (const PlistString* kind = getKind(entry); !kind || *kind != kBookmarkKind) {
    line += " [";
    if (kind) {
      appendPrintable(kind->view(), line);
    } else {
      line += "no kind";
    }
    line += ']';
  }
  return lines.endLine();
}

}  // namespace

bool writeOutline(const PlistValue& root, ByteSink& out) {
  LineWriter lines(out);
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
    if (!writeEntry(*node, depth, lines)) return false;
    pushChildren(*node, depth + 1);
  }
  return lines.flush();
}

bool writeSortChanges(const std::vector<FolderChange>& changes, ByteSink& out) {
  LineWriter lines(out);
  for (const FolderChange& change : changes) {
    std::string& line = lines.text();
    if (change.depth == 0) line += "(top level)";
    if (change.depth > change.titlePath.size()) line += "... / ";  // the outer titles
    for (std::size_t i = 0; i < change.titlePath.size(); ++i) {
      if (i > 0) line += " / ";
      const std::string& title = change.titlePath[i];
      if (title.empty()) {
        line += kUntitled;
      } else {
        appendPrintable(title, line);
      }
    }
    line += ": " + std::to_string(change.moved()) + " of " + std::to_string(change.order.size()) +
            " entries would move";
    lines.endLine();
  }
  std::string& summary = lines.text();
  if (changes.empty()) {
    summary += "nothing would change";
  } else {
    summary += std::to_string(changes.size()) +
               (changes.size() == 1 ? " folder would change" : " folders would change");
  }
  summary += "; nothing was written";
  lines.endLine();
  return lines.flush();
}

}  // namespace tidymark
