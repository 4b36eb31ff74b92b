#pragma once

// The once-a-folder rule's memory: every folder the walk has reported or
// named, by identity, with the path it was first met under. A second way to
// a folder (a link, a bind mount) must not report its files twice, and links
// in a circle must not keep the walk going for ever.

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "base/file_system.h"
#include "base/path.h"
#include "base/text.h"

namespace wavtally {

class SeenFolders {
 public:
  /// The node of a folder in the set; kNone stands above the first folder.
  using Node = uint32_t;
  static constexpr Node kNone = UINT32_MAX;

  /// Records the folder name below parent (kNone for the folder the walk
  /// starts in, whose name is its whole path); returns its node. A folder
  /// without an identity gets a node for its path but no entry by identity.
  Node Add(Node parent, std::wstring_view name, const FolderId* id);
  /// Returns the node of the folder with identity id, or kNone.
  Node Find(const FolderId& id) const;
  /// Returns the path of node as it was first met.
  CStdStr PathOf(Node node) const;

 private:
  struct IdHash {
    size_t operator()(const FolderId& id) const;
  };
  // A folder as its parent and its name, so that a path costs one name a
  // folder however deep the tree.
  struct Entry {
    Node parent;
    uint32_t name_size;
    size_t name_start;
  };

  std::unordered_map<FolderId, Node, IdHash> by_id_;
  std::vector<Entry> entries_;
  CStdStr names_;
};

}  // namespace wavtally
