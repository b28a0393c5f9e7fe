// tidymark-outline FILE: prints a bookmarks file as an indented outline.

#include <cstdio>
#include <string>

#include "bookmarks/outline.h"
#include "platform/plist_file.h"

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fputs("usage: tidymark-outline FILE\n", stderr);
    return 2;
  }
  const std::string path = argv[1];
  tidymark::PlistDocument document;
  if (tidymark::Status status = tidymark::loadPlistFile(path, &document); !status.ok()) {
    std::fprintf(stderr, "tidymark-outline: %s: %s\n", path.c_str(), status.message().c_str());
    return 1;
  }
  std::string outline;
  tidymark::appendOutline(document.root, outline);
  std::fwrite(outline.data(), 1, outline.size(), stdout);
  return std::fflush(stdout) == 0 ? 0 : 1;
}
