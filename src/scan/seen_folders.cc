#include "scan/seen_folders.h"

#include <functional>

namespace wavtally {

size_t SeenFolders::IdHash::operator()(const FolderId& id) const {
  return std::hash<uint64_t>()((id.device * 0x9E3779B97F4A7C15ULL ^ id.index) * 31 ^ id.index_high);
}

SeenFolders::Node SeenFolders::Add(Node parent, std::wstring_view name, const FolderId* id) {
  entries_.push_back(Entry{parent, static_cast<uint32_t>(name.size()), names_.size()});
  names_.append(name);
  const auto node = static_cast<Node>(entries_.size() - 1);
  if (id != nullptr) by_id_.emplace(*id, node);
  return node;
}

SeenFolders::Node SeenFolders::Find(const FolderId& id) const {
  const auto it = by_id_.find(id);
  return it == by_id_.end() ? kNone : it->second;
}

CStdStr SeenFolders::PathOf(Node node) const {
  std::vector<Node> chain;
  for (Node at = node; at != kNone; at = entries_[at].parent) chain.push_back(at);
  CStdStr path;
  for (auto it = chain.rbegin(); it != chain.rend(); ++it) {
    const Entry& entry = entries_[*it];
    const std::wstring_view name =
        std::wstring_view(names_).substr(entry.name_start, entry.name_size);
    if (path.empty()) {
      path.assign(name);
    } else {
      Path::AppendName(path, name);
    }
  }
  return path;
}

}  // namespace wavtally
