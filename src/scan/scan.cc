#include "scan/scan.h"

#include <memory>
#include <string>
#include <vector>

#include "base/path_find.h"
#include "base/wav_reader.h"

namespace wavtally {
namespace {

const CStdStr kWavPattern = L"*.wav";
const CStdStr kMidiPattern = L"*.mid";
const CStdStr kAnyPattern = L"*";

// The folders being scanned on the current branch, root first. A link that
// leads to one of them would make the walk run for ever, so it is not
// followed; a link to a folder elsewhere is.
using Branch = std::vector<FolderId>;

class FolderScan {
 public:
  FolderScan(const Path& root, FormatSummary& record, ScanOutput& out)
      : root_(root), record_(record), out_(out) {}

  void Scan(const Path& folder, Branch& branch) {
    if (out_.report.Failed()) return;
    // One reading serves all three passes: listing a folder is the costly
    // part of a pass, and on a network share by far.
    const std::shared_ptr<const FolderListing> listing = FolderListing::Read(folder);
    if (!listing->Error().empty()) ReportUnlistable(folder, listing->Error());
    ForEachEntry(listing, kWavPattern, [&](Path& entry) {
      const bool ok = ProbeWavFormat(entry.GetFullPath(), record_);
      entry.MakePathRelative(root_);
      if (ok) {
        PrintFormatLine(out_.report, entry, record_);
      } else {
        PrintUnavailableLine(out_.report, entry);
      }
    });
    ForEachEntry(listing, kMidiPattern, [&](Path& entry) {
      entry.MakePathRelative(root_);
      PrintUnavailableLine(out_.report, entry);
    });
    ForEachEntry(listing, kAnyPattern, [&](Path& entry) {
      // A name with an extension is never descended into, even a folder's.
      if (!entry.GetFileExtension().empty()) return;
      // One stat tells whether the entry is a folder and which one it is.
      FolderId id;
      std::string error;
      if (!entry.GetFolderId(&id, &error)) {
        // An entry that cannot even be looked at may be a folder, and all
        // its files would be missing from the report without a word.
        if (!error.empty()) ReportUnlistable(entry, error);
        return;
      }
      if (OnBranch(branch, id)) return;
      branch.push_back(id);
      Scan(entry, branch);
      branch.pop_back();
    });
  }

 private:
  template <typename Handle>
  void ForEachEntry(const std::shared_ptr<const FolderListing>& listing, const CStdStr& pattern,
                    Handle handle) {
    if (out_.report.Failed()) return;
    PathFind find(listing, pattern);
    while (find.HasNext() && !out_.report.Failed()) {
      Path entry = find.Next();
      handle(entry);
    }
  }

  void ReportUnlistable(const Path& folder, const std::string& reason) {
    out_.errors.Write(std::string_view("wavtally: cannot list folder '"));
    WriteEscapedPath(out_.errors, folder.GetFullPath());
    out_.errors.Write(std::string_view("': "));
    out_.errors.Write(reason);
    out_.errors.EndLine();
  }

  static bool OnBranch(const Branch& branch, const FolderId& id) {
    for (const FolderId& f : branch) {
      if (f == id) return true;
    }
    return false;
  }

  const Path& root_;
  FormatSummary& record_;
  ScanOutput& out_;
};

}  // namespace

bool ProbeWavFormat(const CStdStr& pathText, FormatSummary& out) {
  const std::unique_ptr<TqAudioFileReader> reader(
      TqAudioFileReader::Create(pathText.c_str(), nullptr));
  if (!reader ||
      !reader->Open(TqAudioFileReader::kReadFormat | TqAudioFileReader::kReadSampleCount)) {
    return false;
  }
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

void ScanFolder(const Path& root, const Path& folder, FormatSummary& record, ScanOutput& out) {
  Branch branch;
  FolderId id;
  if (folder.GetFolderId(&id)) branch.push_back(id);
  FolderScan(root, record, out).Scan(folder, branch);
}

}  // namespace wavtally
