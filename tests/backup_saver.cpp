// Sorts a bookmarks file as tidymark does, keeping the file it replaces as a backup, so that the
// tests can put the backup through faults and kills before a command line offers it:
//   tidymark-backup-saver BACKUP PATH
// Exit status 0 when sorted (or already in order), 1 with one line on standard error otherwise.
#include <cstdio>
#include <string>

#include "bookmarks/folder_sort.h"
#include "platform/temporary_file.h"

namespace {

using namespace tidymark;

// The real store, saving with a backup.
class BackupStore final : public PlistStore {
 public:
  explicit BackupStore(std::string backup) : backup_(std::move(backup)) {}
  Status load(const std::string& path, PlistDocument* document, const LoadedWork& work) override {
    return files_.load(path, document, work);
  }
  Status save(const std::string& path, const PlistDocument& document, const std::string&) override {
    return files_.save(path, document, backup_);
  }

 private:
  FilePlistStore files_{BinaryTree::TopOnly};
  std::string backup_;
};

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) return 2;
  installTemporaryFileCleanup();
  BackupStore store(argv[1]);
  PlistDocument document;
  if (Status status = sort(argv[2], store, document); !status.ok()) {
    std::fprintf(stderr, "tidymark: %s: %s\n", argv[2], status.message().c_str());
    return 1;
  }
  return 0;
}
