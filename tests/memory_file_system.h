#pragma once

// A file system in memory for tests of the walk: folders, files and second
// ways to a folder, with failures, changes and latency injected per path and
// per call. Safe to use from several threads at once.

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "base/file_system.h"
#include "base/text.h"
#include "base/wav_reader.h"

namespace wavtally::test {

class MemoryFileSystem : public FileSystem {
 public:
  enum class Call { kList, kStat, kOpen };
  /// Runs before every call with its kind and path; may change the tree.
  using Hook = std::function<void(Call, const std::string&)>;

  MemoryFileSystem() : root_(std::make_shared<Node>(Node{true, {}, {}, next_id_++})) {}
  ~MemoryFileSystem() override {
    // Second ways to folders can make rings of owners; cut every folder's
    // children so the rings go too.
    std::vector<std::shared_ptr<Node>> all = {root_};
    std::set<const Node*> seen = {root_.get()};
    for (size_t i = 0; i < all.size(); ++i) {
      for (const auto& [name, child] : all[i]->children) {
        if (seen.insert(child.get()).second) all.push_back(child);
      }
    }
    for (const std::shared_ptr<Node>& node : all) node->children.clear();
  }
  MemoryFileSystem(const MemoryFileSystem&) = delete;
  MemoryFileSystem& operator=(const MemoryFileSystem&) = delete;

  /// Adds a file at path (absolute, '/'-separated) with bytes, making its
  /// folders; returns nothing.
  void File(const std::string& path, std::vector<uint8_t> bytes = {}) {
    std::lock_guard<std::mutex> lock(mutex_);
    Put(path, std::make_shared<Node>(Node{false, std::move(bytes), {}, next_id_++}));
  }
  /// Adds an empty folder at path, making its parents; returns nothing.
  void Dir(const std::string& path) {
    std::lock_guard<std::mutex> lock(mutex_);
    Put(path, std::make_shared<Node>(Node{true, {}, {}, next_id_++}));
  }
  /// Makes path a second way to the existing folder or file at target, as a
  /// followed link would be; returns nothing.
  void Alias(const std::string& path, const std::string& target) {
    std::lock_guard<std::mutex> lock(mutex_);
    Put(path, Find(target));
  }
  /// Removes path and everything below it; returns nothing.
  void Remove(const std::string& path) {
    std::lock_guard<std::mutex> lock(mutex_);
    const size_t slash = path.rfind('/');
    if (const std::shared_ptr<Node> parent = Find(path.substr(0, slash))) {
      parent->children.erase(path.substr(slash + 1));
    }
  }
  /// Makes every call of kind on path fail with error; returns nothing.
  void Fail(Call call, const std::string& path, const std::string& error) {
    std::lock_guard<std::mutex> lock(mutex_);
    failures_[{call, path}] = error;
  }
  /// Sets the hook run before every call; returns nothing.
  void SetHook(Hook hook) { hook_ = std::move(hook); }
  /// Makes every call take nanoseconds on Clock(); returns nothing.
  void SetLatency(int64_t nanoseconds) { latency_ = nanoseconds; }
  /// Returns a clock that only the calls' latency moves.
  std::function<int64_t()> Clock() {
    return [this] { return now_.load(); };
  }
  /// Returns how many calls of kind were made.
  int Calls(Call call) const { return calls_[static_cast<int>(call)].load(); }

  bool ReadFolderNames(const CStdStr& folder, std::vector<CStdStr>* names,
                       std::string* error) override {
    names->clear();
    const std::string path = Begin(Call::kList, folder, error);
    if (!error->empty()) return false;
    std::lock_guard<std::mutex> lock(mutex_);
    const std::shared_ptr<Node> node = Find(path);
    if (!node || !node->folder) {
      *error = node ? "not a directory" : "no such file or directory";
      return false;
    }
    for (const auto& [name, child] : node->children) names->push_back(DecodeUtf8(name));
    return true;
  }

  bool StatFolder(const CStdStr& path_text, FolderId* id, std::string* error) override {
    const std::string path = Begin(Call::kStat, path_text, error);
    if (!error->empty()) return false;
    std::lock_guard<std::mutex> lock(mutex_);
    const std::shared_ptr<Node> node = Find(path);
    if (!node) {
      *error = "no such file or directory";
      return false;
    }
    if (!node->folder) return false;
    *id = FolderId{1, node->id};
    return true;
  }

  std::unique_ptr<ByteSource> OpenFile(const CStdStr& path_text, std::string* error) override {
    const std::string path = Begin(Call::kOpen, path_text, error);
    if (!error->empty()) return nullptr;
    std::lock_guard<std::mutex> lock(mutex_);
    const std::shared_ptr<Node> node = Find(path);
    if (!node) *error = "no such file or directory";
    if (!node || node->folder) return nullptr;
    return std::make_unique<Source>(node);
  }

 private:
  struct Node {
    bool folder;
    std::vector<uint8_t> bytes;
    std::map<std::string, std::shared_ptr<Node>> children;
    uint64_t id;
  };

  // Keeps the file's bytes alive for as long as it is open, even when the
  // file is removed meanwhile, as an open file on disk is.
  class Source : public ByteSource {
   public:
    explicit Source(std::shared_ptr<const Node> node)
        : node_(std::move(node)), bytes_(node_->bytes) {}
    uint64_t Size() const override { return bytes_.Size(); }
    size_t ReadAt(uint64_t offset, void* data, size_t size) override {
      return bytes_.ReadAt(offset, data, size);
    }

   private:
    std::shared_ptr<const Node> node_;
    MemoryByteSource bytes_;
  };

  // Counts the call, runs the hook, moves the clock and applies a failure;
  // returns the path as UTF-8 and sets *error when the call must fail.
  std::string Begin(Call call, const CStdStr& path_text, std::string* error) {
    error->clear();
    const std::string path = EncodeUtf8(path_text);
    ++calls_[static_cast<int>(call)];
    if (hook_) hook_(call, path);
    now_ += latency_.load();
    std::lock_guard<std::mutex> lock(mutex_);
    const auto failure = failures_.find({call, path});
    if (failure != failures_.end()) *error = failure->second;
    return path;
  }

  // Returns the node at path, or null; the mutex is held.
  std::shared_ptr<Node> Find(const std::string& path) const {
    std::shared_ptr<Node> node = root_;
    size_t start = 0;
    while (node && start < path.size()) {
      if (path[start] == '/') {
        ++start;
        continue;
      }
      size_t end = path.find('/', start);
      if (end == std::string::npos) end = path.size();
      if (!node->folder) return nullptr;
      const auto child = node->children.find(path.substr(start, end - start));
      node = child == node->children.end() ? nullptr : child->second;
      start = end;
    }
    return node;
  }

  // Puts node at path, making the folders on the way; the mutex is held.
  void Put(const std::string& path, std::shared_ptr<Node> node) {
    std::shared_ptr<Node> folder = root_;
    size_t start = 1;
    for (size_t slash; (slash = path.find('/', start)) != std::string::npos; start = slash + 1) {
      std::shared_ptr<Node>& next = folder->children[path.substr(start, slash - start)];
      if (!next) next = std::make_shared<Node>(Node{true, {}, {}, next_id_++});
      folder = next;
    }
    folder->children[path.substr(start)] = std::move(node);
  }

  mutable std::mutex mutex_;
  uint64_t next_id_ = 1;
  std::shared_ptr<Node> root_;
  std::map<std::pair<Call, std::string>, std::string> failures_;
  Hook hook_;
  std::atomic<int64_t> latency_{0};
  std::atomic<int64_t> now_{0};
  std::atomic<int> calls_[3] = {};
};

}  // namespace wavtally::test
