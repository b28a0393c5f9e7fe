// tidymark-outline FILE: prints a bookmarks file as an indented outline.

#include <cstdio>
#include <string>

#include "bookmarks/outline.h"
#include "platform/plist_file.h"
#include "platform/utf8.h"

int main(int argc, char** argv) {
  using namespace tidymark;
  if (argc != 2) {
    std::fputs("usage: tidymark-outline FILE\n", stderr);
    return 2;
  }
  const std::string path = argv[1];
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
