#pragma once

// The two kinds of work a walk hands to its executor: reading one WAV file's
// format, and looking at one entry that may be a folder (listing it when it
// is one). Either may run on any thread, and either may be run again after a
// limit of the process stopped it, then reaching its folder by path below
// the folder the walk started in, since the walk may have closed the folder
// meanwhile to stay within its handles.

#include <cstdint>
#include <memory>
#include <string_view>

#include "base/file_system.h"
#include "base/path_find.h"
#include "base/wav_reader.h"
#include "report/report_writer.h"
#include "report/run_tally.h"
#include "scan/handle_keeper.h"
#include "scan/pipeline.h"

namespace wavtally {

/// A job of the walk: timed, so the gate can tell a slow file system, and
/// able to say that it ran into a limit of the process and is worth a retry.
class WalkJob : public Job {
 public:
  explicit WalkJob(const LatencyGate& gate) : gate_(gate) {}
  void Run() final;
  /// Returns true when the job failed for a limit of the process.
  virtual bool HitLimit() const = 0;
  /// Makes every later run reach the job's entry at relative below top, the
  /// folder the walk started in; returns nothing. For a retry, when the walk
  /// may have closed the entry's folder.
  void ByPath(std::shared_ptr<const Folder> top, std::wstring_view relative);

  /// How long the last run took, in nanoseconds.
  int64_t elapsed = 0;

 protected:
  virtual void Do() = 0;
  /// Returns true once ByPath gave a folder to open below.
  bool RunsByPath() const { return top_ != nullptr; }
  const Folder& Top() const { return *top_; }
  const CStdStr& Relative() const { return relative_; }

 private:
  const LatencyGate& gate_;
  std::shared_ptr<const Folder> top_;
  CStdStr relative_;
};

/// Reads one WAV file's format.
class ProbeJob final : public WalkJob {
 public:
  /// Reads the file name in folder.
  ProbeJob(FileSystem& fs, const LatencyGate& gate, std::shared_ptr<const Folder> folder,
           std::wstring_view name)
      : WalkJob(gate), fs_(fs), folder_(std::move(folder)), name_(name) {}
  bool HitLimit() const override { return !ok && error.limit; }
  void Abandon() override;
  HeadRequest FileToRead() const override;

  /// Returns why the file was not read, for a file that was not.
  Unreadable Why() const;

  bool ok = false;
  FormatSummary summary;
  FsError error;
  bool opened = false;     // a file was there to read
  bool cut_short = false;  // it holds less data than its header declares
  WaveProblem problem = WaveProblem::kNone;
  FileContent content = FileContent::kOther;  // what a file that is not WAVE holds

 private:
  void Do() override;
  // Reads the file that created opened, if any; returns nothing.
  void Read(TqAudioFileReader* created);
  // Reads the file in folder from head, read ahead for it, and from the file
  // itself for what lies beyond; returns nothing.
  void ReadFrom(const FileHead& head, const Folder& folder);

  FileSystem& fs_;
  std::shared_ptr<const Folder> folder_;  // until the first run
  const CStdStr name_;
};

/// Looks at one entry that may be a folder (or at a folder by its path) and,
/// when it is one, lists it, so that the walk finds the listing ready when
/// it gets there.
class LookJob final : public WalkJob, public HandleHolder {
 public:
  /// Looks at name in parent.
  LookJob(FileSystem& fs, const LatencyGate& gate, std::shared_ptr<const Folder> parent,
          std::wstring_view name)
      : WalkJob(gate), name(name), fs_(fs), parent_(std::move(parent)) {}
  /// Looks at the folder at path, as typed.
  LookJob(FileSystem& fs, const LatencyGate& gate, const CStdStr& path)
      : WalkJob(gate), name(path), fs_(fs), path_(path) {}
  bool HitLimit() const override;
  void Abandon() override;
  /// Drops what a finished look holds, so that it must run again in a
  /// parent that Reuse gives; returns nothing.
  void ReleaseHandles() override;
  /// Readies a released look to run again in parent; returns nothing.
  void Reuse(std::shared_ptr<const Folder> parent);
  /// Returns why the folder could not be looked at or listed.
  const std::string& Reason() const;

  const CStdStr name;
  FolderLook look;
  std::shared_ptr<const FolderListing> listing;
  bool released = false;  // must be handed to an executor again

 private:
  void Do() override;

  FileSystem& fs_;
  std::shared_ptr<const Folder> parent_;  // until the first run
  CStdStr path_;                          // or the path to look at as typed
};

}  // namespace wavtally
