#include "base/file_system.h"

namespace wavtally {

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

}  // namespace wavtally
