#include "base/file_system.h"

#include "base/platform.h"

namespace wavtally {
namespace {

class FileByteSource : public ByteSource {
 public:
  explicit FileByteSource(std::unique_ptr<platform::RegularFile> file) : file_(std::move(file)) {}
  uint64_t Size() const override { return file_->Size(); }
  size_t ReadAt(uint64_t offset, void* data, size_t size) override {
    return file_->ReadAt(offset, data, size);
  }

 private:
  std::unique_ptr<platform::RegularFile> file_;
};

class PlatformFileSystem : public FileSystem {
 public:
  bool ReadFolderNames(const CStdStr& folder, std::vector<CStdStr>* names,
                       std::string* error) override {
    return platform::ReadFolderNames(folder, names, error);
  }
  bool StatFolder(const CStdStr& path, FolderId* id, std::string* error) override {
    return platform::StatFolder(path, id, error);
  }
  std::unique_ptr<ByteSource> OpenFile(const CStdStr& path, std::string* error) override {
    std::unique_ptr<platform::RegularFile> file = platform::RegularFile::Open(path, error);
    if (!file) return nullptr;
    return std::make_unique<FileByteSource>(std::move(file));
  }
};

}  // namespace

FileSystem& DiskFileSystem() {
  // Never destroyed: worker threads may still hold it while the process ends.
  static PlatformFileSystem* const fs = new PlatformFileSystem();
  return *fs;
}

}  // namespace wavtally
