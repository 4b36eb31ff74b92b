#include "base/file_system.h"

#include <algorithm>

#include "base/path.h"

namespace wavtally {

// Path's questions to a file system are answered here, by the file system,
// so that a Path stays a value of text.
bool Path::DirectoryExists(FileSystem& fs) const {
  if (text_.empty()) return false;
  const FolderLook look = fs.OpenFolder(text_);
  return look.kind == FolderLook::Kind::kFolder || look.kind == FolderLook::Kind::kUnlistable;
}

bool Path::IsDirectory(FileSystem& fs) const { return DirectoryExists(fs); }

bool Path::GetFolderId(FileSystem& fs, FolderId* id) const {
  if (text_.empty()) return false;
  const FolderLook look = fs.OpenFolder(text_);
  if (look.kind != FolderLook::Kind::kFolder) return false;
  if (id != nullptr) *id = look.id;
  return true;
}

std::unique_ptr<ByteSource> FileSystem::OpenFile(const CStdStr& path, FsError* error) {
  error->Clear();
  CStdStr folder_text, name;
  Path::SplitLast(path, &folder_text, &name);
  if (name.empty()) return nullptr;
  FolderLook folder = OpenFolder(folder_text.empty() ? CStdStr(L".") : folder_text);
  if (folder.kind != FolderLook::Kind::kFolder) {
    // A folder on the way that is no folder hides the file as surely as a
    // missing one.
    *error = folder.error;
    return nullptr;
  }
  return OpenFileAt(*folder.folder, name, error);
}

std::unique_ptr<ByteSource> FileSystem::OpenFileBelow(const Folder& top, std::wstring_view relative,
                                                      FsError* error) {
  error->Clear();
  const size_t sep = relative.rfind(Path::GetNameSeparator());
  if (sep == std::wstring_view::npos) return OpenFileAt(top, relative, error);
  FolderLook folder = OpenFolderBelow(top, relative.substr(0, sep));
  if (folder.kind != FolderLook::Kind::kFolder) {
    *error = folder.error.Failed() ? folder.error : FsError{"not a directory", false};
    return nullptr;
  }
  return OpenFileAt(*folder.folder, relative.substr(sep + 1), error);
}

void FileSystem::ReadHeads(std::span<const HeadRequest> requests) {
  for (const HeadRequest& request : requests) {
    FileHead& head = *request.head;
    const std::unique_ptr<ByteSource> file = OpenFileAt(*request.folder, request.name, &head.error);
    head.read = true;
    head.opened = file != nullptr;
    head.size = file ? file->Size() : 0;
    head.got =
        file ? file->ReadAt(0, head.bytes.data(),
                            static_cast<size_t>(std::min<uint64_t>(head.size, FileHead::kBytes)))
             : 0;
  }
}

}  // namespace wavtally
