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
