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

// The line of one entry, whose facts are `facts`.
bool writeEntry(const PlistNodes& nodes, const NodeFacts& facts, std::size_t depth,
                LineWriter& lines) {
  std::string& line = lines.text();
  line.append(2 * std::min(depth, kMaxOutlineIndent), ' ');
  std::string_view text;
  if (facts.title && nodes.text(*facts.title, &text)) {
    appendPrintable(text, line);
  } else {
    line += kUntitled;
  }
  if (facts.folder) {
    line += '/';
  } else if (!facts.bookmark) {
    line += " [";
    if (facts.kind && nodes.text(*facts.kind, &text)) {
      appendPrintable(text, line);
    } else {
      line += "no kind";
    }
    line += ']';
  }
  return lines.endLine();
}

}  // namespace

bool writeOutline(const PlistNodes& nodes, ByteSink& out) {
  LineWriter lines(out);
  // Depth-first with an explicit stack, so any nesting prints.
  std::vector<std::pair<PlistNodes::Node, std::size_t>> pending;
  const auto pushChildren = [&](const NodeFacts& facts, std::size_t depth) {
    if (!facts.children) return;
    for (std::size_t i = nodes.size(*facts.children); i-- > 0;)
      pending.emplace_back(nodes.element(*facts.children, i), depth);
  };
  pushChildren(describeNode(nodes, nodes.root()), 0);
  while (!pending.empty()) {
    const auto [node, depth] = pending.back();
    pending.pop_back();
    const NodeFacts facts = describeNode(nodes, node);
    if (!writeEntry(nodes, facts, depth, lines)) return false;
    pushChildren(facts, depth + 1);
  }
  return lines.flush();
}

namespace {

// Starts a line with the folder's path of titles and a colon.
void appendFolderPath(const std::vector<std::string>& titlePath, std::size_t depth,
                      std::string& line) {
  if (depth == 0) line += "(top level)";
  if (depth > titlePath.size()) line += "... / ";  // the outer titles
  for (std::size_t i = 0; i < titlePath.size(); ++i) {
    if (i > 0) line += " / ";
    if (titlePath[i].empty()) {
      line += kUntitled;
    } else {
      appendPrintable(titlePath[i], line);
    }
  }
  line += ": ";
}

std::string count(std::size_t n, const char* one, const char* many) {
  return std::to_string(n) + " " + (n == 1 ? one : many);
}

}  // namespace

bool writeSortReport(const SortReport& report, bool done, ByteSink& out) {
  LineWriter lines(out);
  for (const FolderChange& change : report.changed) {
    std::string& line = lines.text();
    appendFolderPath(change.titlePath, change.depth, line);
    line += std::to_string(change.moved()) + " of " +
            count(change.order.size(), "entry", "entries") + (done ? " moved" : " would move");
    lines.endLine();
  }
  for (const KeptFolder& kept : report.kept) {
    std::string& line = lines.text();
    appendFolderPath(kept.titlePath, kept.depth, line);
    line += count(kept.entries, "entry", "entries") + " kept in their own order";
    lines.endLine();
  }
  std::string& summary = lines.text();
  const std::size_t changed = report.changed.size();
  if (done) {
    summary += changed == 0 ? "nothing changed; nothing was written"
                            : count(changed, "folder", "folders") + " changed";
  } else {
    summary += changed == 0 ? "nothing would change"
                            : count(changed, "folder would", "folders would") + " change";
    summary += "; nothing was written";
  }
  lines.endLine();
  return lines.flush();
}

}  // namespace tidymark
