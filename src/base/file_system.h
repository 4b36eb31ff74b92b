#pragma once

// The file system as the walk sees it: open a folder, list it, and open the
// entries in it relative to the open folder, so that a call costs one lookup
// at any depth. The walk and the reader reach the disk only through this, so
// tests can put a file system in memory in its place and make any entry
// fail, change or be slow at will. Only main picks the disk.

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>

#include "base/byte_source.h"
#include "base/name_list.h"
#include "base/text.h"

namespace wavtally {

/// Identifies a folder on its file system (device and inode on POSIX), so a
/// walk can tell when a link leads back to a folder it is already inside.
struct FolderId {
  uint64_t device = 0;
  uint64_t index = 0;
  /// The upper half of a 128-bit file id (ReFS); 0 elsewhere.
  uint64_t index_high = 0;
  bool operator==(const FolderId&) const = default;
};

/// Why a file-system call failed.
struct FsError {
  /// Short and lower case; empty when the failure needs no word (a file that
  /// is there but may not be read, or is no regular file).
  std::string text;
  /// True when the call ran into a limit of this process (open descriptors,
  /// memory) rather than a property of the entry: the same call may succeed
  /// once fewer calls are in flight.
  bool limit = false;
  /// True when a file open found no regular file there (a folder, a FIFO, a
  /// device): nothing to say, but worth a count.
  bool not_file = false;

  /// Returns true when there is anything to say.
  bool Failed() const { return !text.empty(); }
  /// Forgets any failure; returns nothing.
  void Clear() {
    text.clear();
    limit = false;
    not_file = false;
  }
};

/// A folder held open: entries are named relative to it. Closed when
/// destroyed. Each file system makes and reads only its own.
class Folder {
 public:
  virtual ~Folder() = default;
};

/// What a look at a possible folder found.
struct FolderLook {
  enum class Kind {
    kFolder,      ///< a folder, open in `folder`, with its identity
    kUnlistable,  ///< a folder that cannot be opened; error says why
    kNone,        ///< no folder (a file, a link that leads nowhere): nothing to say
    kFailed,      ///< could not be looked at; error says why
  };
  Kind kind = Kind::kNone;
  std::unique_ptr<Folder> folder;
  /// Whether id names the folder: always for kFolder, for kUnlistable only
  /// where the system could tell without opening it.
  bool has_id = false;
  FolderId id;
  FsError error;
};

/// The first bytes of a regular file, read before its header is parsed, so
/// that a file system can read the heads of many files together.
struct FileHead {
  static constexpr size_t kBytes = 4096;
  /// True once filled in; false for a file to be opened and read as usual
  /// (the file system could not read it ahead, or chose not to).
  bool read = false;
  /// Whether a regular file was opened; when not, error says why, as
  /// OpenFileAt would.
  bool opened = false;
  FsError error;
  uint64_t size = 0;  ///< the file's size in bytes
  size_t got = 0;     ///< the bytes read from offset 0 into bytes
  std::array<uint8_t, kBytes> bytes;
};

/// One file whose head is wanted: name in folder, into head.
struct HeadRequest {
  const Folder* folder;
  std::wstring_view name;
  FileHead* head;
};

class FileSystem {
 public:
  static constexpr size_t kManyHandles = size_t{1} << 20;

  virtual ~FileSystem() = default;

  /// Opens the folder at path as typed (relative to the current folder),
  /// links followed; returns what was found there.
  virtual FolderLook OpenFolder(const CStdStr& path) = 0;

  /// Opens the entry name of parent as a folder, links followed; returns what
  /// was found there.
  virtual FolderLook OpenFolderAt(const Folder& parent, std::wstring_view name) = 0;

  /// Opens the folder at relative below top, links followed: names as the
  /// listings gave them, joined by the separator and taken as they are (no
  /// "." or ".." among them); returns what was found there. For a walk that
  /// closed a folder on its way and needs it again.
  virtual FolderLook OpenFolderBelow(const Folder& top, std::wstring_view relative) = 0;

  /// Appends the names in folder, without "." and "..", to *names; returns
  /// false and sets *error when the folder cannot be listed. Called once per
  /// open folder.
  virtual bool ReadNames(const Folder& folder, NameList* names, FsError* error) = 0;

  /// Opens the regular file name in parent, links followed, without blocking
  /// on FIFOs or devices; returns null when it names no regular file or
  /// cannot be opened, with *error saying why (empty text when it was there
  /// but is no regular file or may not be read).
  virtual std::unique_ptr<ByteSource> OpenFileAt(const Folder& parent, std::wstring_view name,
                                                 FsError* error) = 0;

  /// Opens the regular file at relative below top (names as the listings
  /// gave them, joined by the separator) with as few handles as the system
  /// allows: for a walk that is short of handles and has closed the file's
  /// folder. Returns null as OpenFileAt does.
  virtual std::unique_ptr<ByteSource> OpenFileBelow(const Folder& top, std::wstring_view relative,
                                                    FsError* error);

  /// Reads the head of each requested file, as OpenFileAt and a read at
  /// offset 0 would; returns nothing. Heads come in unread; one left so has
  /// its file opened as usual. Holds at most one handle a request, and
  /// none once it returns.
  virtual void ReadHeads(std::span<const HeadRequest> requests);
  /// Returns how many handles ReadHeads holds from its first call until
  /// UseBatches(false) (an io_uring's own descriptor), so that a walk can
  /// count them among its own; 0 where it holds none between calls.
  virtual size_t BatchHandles() { return 0; }
  /// Lets ReadHeads read many heads in one go, holding what BatchHandles
  /// says, or stops it and gives those handles back (heads are then left
  /// unread); returns nothing.
  virtual void UseBatches(bool /*use*/) {}
  /// Returns how many more handles (open folders and files) the process may
  /// hold at once before the system refuses, or a large number where there
  /// is no such limit.
  virtual size_t SpareHandles() { return kManyHandles; }

  /// Opens the regular file at path by opening its folder first; returns
  /// null as OpenFileAt does.
  std::unique_ptr<ByteSource> OpenFile(const CStdStr& path, FsError* error);
};

/// Returns the machine's own file system; it lives as long as the program.
/// For main: everything else is handed the file system it reads.
FileSystem& DiskFileSystem();

}  // namespace wavtally
