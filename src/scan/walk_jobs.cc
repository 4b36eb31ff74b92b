#include "scan/walk_jobs.h"

#include <string>
#include <utility>

#include "scan/scan.h"

namespace wavtally {
namespace {

FsError OutOfMemory() { return FsError{"out of memory", true}; }

// What a read found beyond the eight values.
struct ReadDetail {
  bool opened = false;
  WaveProblem problem = WaveProblem::kNone;
  FileContent content = FileContent::kOther;
  bool cut_short = false;
};

// Copies what the reader delivered into the eight reported values, and what
// else it found into *detail when that is not null.
bool ReadSummary(TqAudioFileReader* created, FormatSummary& out, ReadDetail* detail = nullptr) {
  const std::unique_ptr<TqAudioFileReader> reader(created);
  const bool ok =
      reader && reader->Open(TqAudioFileReader::kReadFormat | TqAudioFileReader::kReadSampleCount);
  if (detail != nullptr && reader) {
    detail->opened = true;
    detail->problem = reader->GetProblem();
    detail->content = reader->GetContent();
    detail->cut_short = reader->IsDataCutShort();
  }
  if (!ok) return false;
  const TqAudioFormat& format = reader->GetFormat();
  FormatSummary summary;
  summary.formatTag = format.formatTag;
  summary.numChannels = format.numChannels;
  summary.sampleRate = format.sampleRate;
  summary.avgBytesPerSec = format.avgBytesPerSec;
  summary.blockAlign = format.blockAlign;
  summary.bitDepth = format.bitsPerSample;
  summary.channelMask = format.channelConfig >> 12;
  summary.numSamples = reader->GetNumSamples();
  out = summary;
  return true;
}

// Returns the reason that names what a file that is not WAVE holds.
Unreadable NotWave(FileContent content) {
  switch (content) {
    case FileContent::kEmpty:
      return Unreadable::kEmpty;
    case FileContent::kText:
      return Unreadable::kText;
    case FileContent::kAiff:
      return Unreadable::kAiff;
    case FileContent::kAifc:
      return Unreadable::kAifc;
    case FileContent::kFlac:
      return Unreadable::kFlac;
    case FileContent::kOgg:
      return Unreadable::kOgg;
    case FileContent::kMp3:
      return Unreadable::kMp3;
    case FileContent::kCaf:
      return Unreadable::kCaf;
    case FileContent::kWave64:
      return Unreadable::kWave64;
    case FileContent::kOtherRiff:
      return Unreadable::kOtherRiff;
    case FileContent::kOther:
      break;
  }
  return Unreadable::kNotWave;
}

}  // namespace

bool ProbeWavFormat(FileSystem& fs, const CStdStr& pathText, FormatSummary& out, FsError* error) {
  return ReadSummary(TqAudioFileReader::Create(fs, pathText.c_str(), nullptr, error), out);
}

void WalkJob::Run() {
  const int64_t start = gate_.Now();
  Do();
  elapsed = gate_.Now() - start;
  // A head read ahead with others took its time before the job ran.
  if (Head() != nullptr) elapsed += HeadNanoseconds();
}

void WalkJob::ByPath(std::shared_ptr<const Folder> top, std::wstring_view relative) {
  top_ = std::move(top);
  relative_ = relative;
}

void ProbeJob::Abandon() {
  ok = false;
  error = OutOfMemory();
  folder_.reset();
}

void ProbeJob::Do() {
  const std::shared_ptr<const Folder> folder = std::move(folder_);
  if (RunsByPath()) {
    // Run again for a limit: the file by its path below the start, in one
    // call and without a handle for its folder, which may be all there is.
    Read(TqAudioFileReader::Create(fs_.OpenFileBelow(Top(), Relative(), &error), nullptr));
    return;
  }
  if (!folder) {
    ok = false;
    error = FsError{"no folder to open it in", false};
    return;
  }
  if (Head() != nullptr) {
    ReadFrom(*Head(), *folder);
    return;
  }
  // Once done, the probe holds no handle, whether it is to be retried or
  // not: the walk may close the folder to stay within its handles.
  error.Clear();
  Read(TqAudioFileReader::Create(fs_.OpenFileAt(*folder, name_, &error), nullptr));
}

HeadRequest ProbeJob::FileToRead() const {
  if (RunsByPath() || !folder_) return {nullptr, {}, nullptr};
  return {folder_.get(), name_, nullptr};
}

void ProbeJob::ReadFrom(const FileHead& head, const Folder& folder) {
  error = head.error;
  if (!head.opened) {
    Read(nullptr);
    return;
  }
  // What lies past the head is read from the file, opened in its folder as
  // any file is; a limit met there makes the probe one to run again.
  Read(TqAudioFileReader::Create(
      std::make_unique<HeadByteSource>(std::span(head.bytes.data(), head.got), head.size,
                                       [&] { return fs_.OpenFileAt(folder, name_, &error); }),
      nullptr));
}

void ProbeJob::Read(TqAudioFileReader* created) {
  ReadDetail detail;
  ok = ReadSummary(created, summary, &detail);
  opened = detail.opened;
  problem = detail.problem;
  content = detail.content;
  cut_short = detail.cut_short;
}

Unreadable ProbeJob::Why() const {
  // A macOS companion file ("._name") holds the resource fork and Finder
  // details of name, never audio, whatever its extension.
  if (name_.starts_with(L"._")) return Unreadable::kAppleDouble;
  if (!opened) return error.not_file ? Unreadable::kNotFile : Unreadable::kCannotOpen;
  switch (problem) {
    case WaveProblem::kNoFormat:
      return Unreadable::kNoFormat;
    case WaveProblem::kShortFormat:
      return Unreadable::kShortFormat;
    case WaveProblem::kNoData:
      return Unreadable::kNoData;
    case WaveProblem::kReadFailed:
      return Unreadable::kReadFailed;
    case WaveProblem::kNotWave:
      return NotWave(content);
    case WaveProblem::kNone:
    case WaveProblem::kBadMode:
      break;
  }
  return Unreadable::kNotWave;
}

bool LookJob::HitLimit() const {
  return (look.kind == FolderLook::Kind::kFailed && look.error.limit) ||
         (listing && listing->ErrorIsLimit());
}

void LookJob::Abandon() {
  look = FolderLook();
  look.kind = FolderLook::Kind::kFailed;
  look.error = OutOfMemory();
  listing.reset();
  parent_.reset();
}

void LookJob::ReleaseHandles() {
  look = FolderLook();
  listing.reset();
  released = true;
  Rearm();
}

void LookJob::Reuse(std::shared_ptr<const Folder> parent) {
  parent_ = std::move(parent);
  released = false;
}

const std::string& LookJob::Reason() const {
  static const std::string kNotAFolder = "not a directory";
  if (look.error.Failed()) return look.error.text;
  if (listing && !listing->Error().empty()) return listing->Error();
  return kNotAFolder;
}

void LookJob::Do() {
  listing.reset();
  // Once done, the look holds no handle of its parent: the walk may close
  // the parent to stay within its handles.
  const std::shared_ptr<const Folder> parent = std::move(parent_);
  if (RunsByPath()) {
    look = fs_.OpenFolderBelow(Top(), Relative());
  } else if (!path_.empty()) {
    look = fs_.OpenFolder(path_);
  } else if (parent) {
    look = fs_.OpenFolderAt(*parent, name);
  } else {
    look = FolderLook();
    look.kind = FolderLook::Kind::kFailed;
    look.error = FsError{"no folder to look in", false};
  }
  if (look.kind == FolderLook::Kind::kFolder) listing = FolderListing::Read(fs_, *look.folder);
}

}  // namespace wavtally
