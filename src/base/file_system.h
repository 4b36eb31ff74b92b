#pragma once

// The file system as the walk sees it: list a folder, look at an entry, open
// a file. The walk and the reader reach the disk only through this, so tests
// can put a file system in memory in its place and make any entry fail,
// change or be slow at will.

#include <memory>
#include <string>
#include <vector>

#include "base/path.h"
#include "base/text.h"
#include "base/wav_reader.h"

namespace wavtally {

class FileSystem {
 public:
  virtual ~FileSystem() = default;

  /// Reads the names in folder, without "." and ".."; returns false and sets
  /// *error (short, lower case) when the folder cannot be listed.
  virtual bool ReadFolderNames(const CStdStr& folder, std::vector<CStdStr>* names,
                               std::string* error) = 0;

  /// Returns true and sets *id when path names a folder, links followed.
  /// Otherwise sets *error to why path could not be looked at, or to an empty
  /// text when it names no folder (a file, a link that leads nowhere).
  virtual bool StatFolder(const CStdStr& path, FolderId* id, std::string* error) = 0;

  /// Opens the regular file at path, links followed, without blocking on
  /// FIFOs or devices; returns null when it names no regular file or cannot
  /// be opened. *error is then set when the file could not be reached at all
  /// (gone, a link loop, a path too long), and empty when it was there but
  /// is no regular file or may not be read.
  virtual std::unique_ptr<ByteSource> OpenFile(const CStdStr& path, std::string* error) = 0;
};

/// Returns the machine's own file system; it lives as long as the program.
FileSystem& DiskFileSystem();

}  // namespace wavtally
