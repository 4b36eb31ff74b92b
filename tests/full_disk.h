#pragma once

// A report on a disk that fills up, the one way tests make a report fail.

#include <algorithm>
#include <cstddef>
#include <string>
#include <string_view>

#include "base/line_writer.h"
#include "base/text.h"

namespace wavtally::test {

/// Takes what it is sent until the disk is full, then fails with "no space
/// left on device", keeping what it took in text.
class FullDisk : public LineWriter {
 public:
  enum class Room {
    kLines,  ///< whole lines; a send that would pass them fails whole
    kBytes,  ///< bytes, then part of the send, as write(2) does
  };
  FullDisk(Room room, size_t size) : room_(room), size_(size) {}
  std::string text;
  size_t lines = 0;  // whole lines taken

 protected:
  EmitResult Emit(std::wstring_view sent, std::string* error) override {
    const std::string bytes = EncodeUtf8(sent);
    const auto count = static_cast<size_t>(std::count(bytes.begin(), bytes.end(), '\n'));
    if (room_ == Room::kLines) {
      if (lines + count > size_) {
        *error = "no space left on device";
        return EmitResult::kFailed;
      }
      text += bytes;
      lines += count;
      return EmitResult::kOk;
    }
    const size_t fits = std::min(size_ - text.size(), bytes.size());
    text += bytes.substr(0, fits);
    lines = static_cast<size_t>(std::count(text.begin(), text.end(), '\n'));
    if (fits == bytes.size()) return EmitResult::kOk;
    *error = "no space left on device" + CutLineNote(bytes, fits);
    return EmitResult::kFailed;
  }

 private:
  const Room room_;
  const size_t size_;
};

}  // namespace wavtally::test
