// tidymark-outline FILE: prints a bookmarks file as an indented outline.

#include <cstdio>
#include <string>
#include <string_view>

#include "bookmarks/outline.h"
#include "platform/plist_file.h"
#include "platform/utf8.h"

namespace {

constexpr std::string_view kUsage = R"(usage: tidymark-outline [--] FILE

Prints a bookmarks file as an indented outline, one entry a line: folders end
in "/", bookmarks show their titles, entries of another kind their kind in
brackets.

  -h, --help     show this text
      --version  show the version

Example:
  tidymark-outline ~/Library/Safari/Bookmarks.plist | less
)";

}  // namespace

int main(int argc, char** argv) {
  using namespace tidymark;
  const std::string_view first = argc > 1 ? argv[1] : "";
  if (argc == 2 && (first == "-h" || first == "--help")) {
    std::fwrite(kUsage.data(), 1, kUsage.size(), stdout);
    return std::fflush(stdout) == 0 ? 0 : 1;
  }
  if (argc == 2 && first == "--version") {
    std::puts("tidymark-outline " TIDYMARK_VERSION);
    return std::fflush(stdout) == 0 ? 0 : 1;
  }
  // A file whose name begins with "-" follows "--"; any other option is a mistake.
  const bool ended = argc == 3 && first == "--";
  if (!ended && (argc != 2 || (first.starts_with('-') && first != "-"))) {
    std::fputs("usage: tidymark-outline [--] FILE (see tidymark-outline --help)\n", stderr);
    return 2;
  }
  const std::string path = argv[ended ? 2 : 1];
  PlistDocument document;  // a binary file's tree is not built: its values are read where they lie
  if (Status status = loadPlistFile(path, &document, PlistLoad::Nodes); !status.ok()) {
    std::fprintf(stderr, "tidymark-outline: %s: %s\n", printable(path).c_str(),
                 printable(status.message()).c_str());
    return 1;
  }
  StreamSink out(stdout);
  const bool written =
      document.nodes ? writeOutline(*document.nodes, out) : writeOutline(document.root, out);
  return written && std::fflush(stdout) == 0 ? 0 : 1;
}
