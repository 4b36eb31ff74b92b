#pragma once

// A file system in memory for tests of the walk: folders, files and second
// ways to a folder, with failures, changes, latency and a limit on open
// handles injected per path and per call. Safe to use from several threads
// at once. Open folders keep what they name, as open folders on a disk do:
// a folder removed meanwhile lists as empty.

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <new>
#include <set>
#include <span>
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
    // Second ways to folders can make rings of owners, and a deep tree would
    // be torn down one level of recursion a folder: cut every folder's
    // children first.
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
  /// Adds depth nested folders named name below the folder at path, the
  /// deepest holding a file named leaf with bytes; returns nothing. Costs
  /// time in proportion to depth, not to the length of the deepest path.
  void Chain(const std::string& path, size_t depth, const std::string& name,
             const std::string& leaf, std::vector<uint8_t> bytes = {}) {
    std::lock_guard<std::mutex> lock(mutex_);
    Put(path, std::make_shared<Node>(Node{true, {}, {}, next_id_++}));
    std::shared_ptr<Node> folder = Find(path);
    for (size_t i = 0; i < depth; ++i) {
      auto next = std::make_shared<Node>(Node{true, {}, {}, next_id_++});
      folder->children[name] = next;
      folder = next;
    }
    folder->children[leaf] = std::make_shared<Node>(Node{false, std::move(bytes), {}, next_id_++});
  }
  /// Makes path a second way to the existing folder or file at target, as a
  /// followed link would be; returns nothing.
  void Alias(const std::string& path, const std::string& target) {
    std::lock_guard<std::mutex> lock(mutex_);
    Put(path, Find(target));
    // A listing names a link as a link, not as what it leads to.
    const size_t slash = path.rfind('/');
    links_.emplace(Find(path.substr(0, slash)).get(), path.substr(slash + 1));
  }
  /// Removes path and everything below it, as rm -r would; returns nothing.
  void Remove(const std::string& path) {
    std::lock_guard<std::mutex> lock(mutex_);
    const size_t slash = path.rfind('/');
    const std::shared_ptr<Node> parent = Find(path.substr(0, slash));
    if (!parent) return;
    const auto it = parent->children.find(path.substr(slash + 1));
    if (it == parent->children.end()) return;
    std::vector<std::shared_ptr<Node>> removed = {it->second};
    parent->children.erase(it);
    for (size_t i = 0; i < removed.size(); ++i) {
      for (auto& [name, child] : removed[i]->children) removed.push_back(child);
      removed[i]->children.clear();
    }
  }
  /// Makes every call of kind on path fail with error, as a limit of the
  /// process when limit is set; returns nothing.
  void Fail(Call call, const std::string& path, const std::string& error, bool limit = false) {
    std::lock_guard<std::mutex> lock(mutex_);
    failures_[{call, path}] = FsError{error, limit};
    tracking_ = true;
  }
  /// Makes the folder at path one that is there but cannot be opened, as a
  /// folder without search permission is; returns nothing.
  void Lock(const std::string& path) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (const std::shared_ptr<Node> node = Find(path)) node->locked = true;
  }
  /// Makes the calls numbered first to first + count - 1, counting every
  /// call of any kind from 0, fail with error, or throw std::bad_alloc when
  /// error has no text; returns nothing.
  void FailCalls(int first, int count, FsError error) {
    std::lock_guard<std::mutex> lock(mutex_);
    fault_first_ = first;
    fault_count_ = count;
    fault_ = std::move(error);
  }
  /// Returns how many calls of any kind were made.
  int AllCalls() const { return all_calls_.load(); }
  /// Returns how many folders and files are open now.
  int OpenHandles() const { return open_handles_.load(); }
  /// Lets at most handles folders and files be open at once, 0 for no
  /// limit; an open beyond fails as too many open files would. Counts the
  /// most open at once and the refusals anew. Returns nothing.
  void LimitHandles(int handles) {
    handle_limit_ = handles;
    most_handles_ = open_handles_.load();
    refusals_ = 0;
  }
  /// Returns how many opens the limit refused since it was set.
  int Refusals() const { return refusals_.load(); }
  /// Returns the most handles that were open at once.
  int MostHandles() const { return most_handles_.load(); }
  /// Says that spare handles are free for the walk; returns nothing.
  void SetSpareHandles(size_t spare) { spare_ = spare; }
  /// Sets the hook run before every call; returns nothing.
  void SetHook(Hook hook) {
    hook_ = std::move(hook);
    tracking_ = true;
  }
  /// Makes every call take nanoseconds on Clock(); returns nothing.
  void SetLatency(int64_t nanoseconds) { latency_ = nanoseconds; }
  /// Returns a clock that only the calls' latency moves.
  std::function<int64_t()> Clock() {
    return [this] { return now_.load(); };
  }
  /// Returns how many calls of kind were made.
  int Calls(Call call) const { return calls_[static_cast<int>(call)].load(); }

  size_t SpareHandles() override { return spare_; }

  // Heads are read as the default does, but, as a ring would, through one
  // handle taken at the first batch and held until batches are stopped.
  size_t BatchHandles() override { return 1; }
  void UseBatches(bool use) override {
    std::lock_guard<std::mutex> lock(mutex_);
    batches_ = use;
    if (!use) ring_.reset();
  }
  void ReadHeads(std::span<const HeadRequest> requests) override {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (!batches_) return;
      if (!ring_) {
        FsError error;
        if (!TakeHandle(&error)) return;
        ring_ = std::make_unique<Handle>(this);
      }
    }
    FileSystem::ReadHeads(requests);
  }

  FolderLook OpenFolder(const CStdStr& path_text) override {
    const std::string path = EncodeUtf8(path_text);
    FolderLook failed;
    if (!Begin(Call::kStat, path, &failed.error)) {
      failed.kind = FolderLook::Kind::kFailed;
      return failed;
    }
    std::shared_ptr<Node> node;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      node = Find(path);
    }
    return Opened(node, path);
  }

  FolderLook OpenFolderAt(const Folder& parent, std::wstring_view name) override {
    const auto& folder = static_cast<const MemoryFolder&>(parent);
    const std::string path = tracking_ ? Child(folder.path, name) : std::string();
    std::shared_ptr<Node> node;
    {
      FolderLook failed;
      if (!Begin(Call::kStat, path, &failed.error)) {
        failed.kind = FolderLook::Kind::kFailed;
        return failed;
      }
      std::lock_guard<std::mutex> lock(mutex_);
      const auto child = folder.node->children.find(EncodeUtf8(name));
      if (child != folder.node->children.end()) node = child->second;
    }
    return Opened(node, path);
  }

  // One call, as a system call takes a relative path.
  FolderLook OpenFolderBelow(const Folder& top, std::wstring_view relative) override {
    const auto& folder = static_cast<const MemoryFolder&>(top);
    const std::string path = tracking_ ? Child(folder.path, relative) : std::string();
    FolderLook failed;
    if (!Begin(Call::kStat, path, &failed.error)) {
      failed.kind = FolderLook::Kind::kFailed;
      return failed;
    }
    std::shared_ptr<Node> node;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      node = Find(EncodeUtf8(relative), folder.node);
    }
    return Opened(node, path);
  }

  bool ReadNames(const Folder& folder_handle, NameList* names, FsError* error) override {
    const auto& folder = static_cast<const MemoryFolder&>(folder_handle);
    if (!Begin(Call::kList, folder.path, error)) return false;
    std::lock_guard<std::mutex> lock(mutex_);
    for (const auto& [name, child] : folder.node->children) {
      names->AddUtf8(name, child->folder && links_.count({folder.node.get(), name}) == 0);
    }
    return true;
  }

  std::unique_ptr<ByteSource> OpenFileAt(const Folder& parent, std::wstring_view name,
                                         FsError* error) override {
    return OpenFileBelow(parent, name, error);
  }

  // One call, as a system call takes a relative path.
  std::unique_ptr<ByteSource> OpenFileBelow(const Folder& parent, std::wstring_view relative,
                                            FsError* error) override {
    const auto& folder = static_cast<const MemoryFolder&>(parent);
    const std::string path = tracking_ ? Child(folder.path, relative) : std::string();
    if (!Begin(Call::kOpen, path, error)) return nullptr;
    std::shared_ptr<Node> node;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      node = Find(EncodeUtf8(relative), folder.node);
    }
    if (!node) error->text = "no such file or directory";
    if (node && node->folder) error->not_file = true;
    if (!node || node->folder) return nullptr;
    if (!TakeHandle(error)) return nullptr;
    return std::make_unique<Source>(this, node);
  }

 private:
  struct Node {
    bool folder;
    std::vector<uint8_t> bytes;
    std::map<std::string, std::shared_ptr<Node>> children;
    uint64_t id;
    bool locked = false;
  };

  // Holds one of the file system's handles until destroyed.
  class Handle {
   public:
    explicit Handle(MemoryFileSystem* fs) : fs_(fs) {}
    ~Handle() { --fs_->open_handles_; }
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;

   private:
    MemoryFileSystem* fs_;
  };

  struct MemoryFolder final : Folder {
    MemoryFolder(MemoryFileSystem* fs, std::shared_ptr<Node> node, std::string path)
        : handle(fs), node(std::move(node)), path(std::move(path)) {}
    Handle handle;
    std::shared_ptr<Node> node;
    std::string path;  // empty unless failures or a hook need it
  };

  // Keeps the file's bytes alive for as long as it is open, even when the
  // file is removed meanwhile, as an open file on disk is.
  class Source : public ByteSource {
   public:
    Source(MemoryFileSystem* fs, std::shared_ptr<const Node> node)
        : handle_(fs), node_(std::move(node)), bytes_(node_->bytes) {}
    uint64_t Size() const override { return bytes_.Size(); }
    size_t ReadAt(uint64_t offset, void* data, size_t size) override {
      return bytes_.ReadAt(offset, data, size);
    }

   private:
    Handle handle_;
    std::shared_ptr<const Node> node_;
    MemoryByteSource bytes_;
  };

  static std::string Child(const std::string& folder, std::wstring_view name) {
    std::string path = folder;
    if (path.empty() || path.back() != '/') path.push_back('/');
    return path + EncodeUtf8(name);
  }

  // Returns what a look found at node, opening it when it is a folder.
  FolderLook Opened(std::shared_ptr<Node> node, const std::string& path) {
    FolderLook look;
    if (!node) {
      look.kind = FolderLook::Kind::kFailed;
      look.error.text = "no such file or directory";
      return look;
    }
    if (!node->folder) return look;
    if (node->locked) {
      look.kind = FolderLook::Kind::kUnlistable;
      look.has_id = true;
      look.id = FolderId{1, node->id};
      look.error.text = "permission denied";
      return look;
    }
    if (!TakeHandle(&look.error)) {
      look.kind = FolderLook::Kind::kFailed;
      return look;
    }
    look.kind = FolderLook::Kind::kFolder;
    look.has_id = true;
    look.id = FolderId{1, node->id};
    look.folder = std::make_unique<MemoryFolder>(this, node, path);
    return look;
  }

  // Counts one more open handle; returns false, with the error of a full
  // descriptor table, when the limit would be passed.
  bool TakeHandle(FsError* error) {
    const int open = ++open_handles_;
    if (handle_limit_ > 0 && open > handle_limit_) {
      --open_handles_;
      ++refusals_;
      *error = FsError{"too many open files", true};
      return false;
    }
    int most = most_handles_.load();
    while (open > most && !most_handles_.compare_exchange_weak(most, open)) {
    }
    return true;
  }

  // Counts the call, runs the hook, moves the clock and applies a failure;
  // returns false and sets *error when the call must fail.
  bool Begin(Call call, const std::string& path, FsError* error) {
    error->Clear();
    ++calls_[static_cast<int>(call)];
    const int index = all_calls_++;
    if (hook_) hook_(call, path);
    now_ += latency_.load();
    if (fault_count_.load() > 0) {
      std::unique_lock<std::mutex> lock(mutex_);
      if (index >= fault_first_ && index < fault_first_ + fault_count_) {
        if (!fault_.Failed()) {
          lock.unlock();
          throw std::bad_alloc();
        }
        *error = fault_;
        return false;
      }
    }
    if (!tracking_) return true;
    std::lock_guard<std::mutex> lock(mutex_);
    const auto failure = failures_.find({call, path});
    if (failure == failures_.end() || !failure->second.Failed()) return true;
    *error = failure->second;
    return false;
  }

  // Returns the node at path below from (the root when null), or null; the
  // mutex is held.
  std::shared_ptr<Node> Find(const std::string& path, std::shared_ptr<Node> from = nullptr) const {
    std::shared_ptr<Node> node = from ? std::move(from) : root_;
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
  std::map<std::pair<Call, std::string>, FsError> failures_;
  std::set<std::pair<const Node*, std::string>> links_;  // parent and name of each link
  Hook hook_;
  std::atomic<bool> tracking_{false};
  std::atomic<int64_t> latency_{0};
  std::atomic<int64_t> now_{0};
  std::atomic<int> calls_[3] = {};
  std::atomic<int> all_calls_{0};
  int fault_first_ = 0;
  std::atomic<int> fault_count_{0};  // the fields of the fault under mutex_
  FsError fault_;
  std::atomic<int> open_handles_{0};
  std::atomic<int> most_handles_{0};
  std::atomic<int> refusals_{0};
  int handle_limit_ = 0;
  size_t spare_ = kManyHandles;
  bool batches_ = true;
  std::unique_ptr<Handle> ring_;  // under mutex_
};

}  // namespace wavtally::test
