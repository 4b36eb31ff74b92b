#pragma once

// TqAudioFileReader: the format of one WAV file, read from its RIFF/WAVE
// header without touching the sample data: the six values of its "fmt "
// chunk, its channel mask and its sample count, or why the file was refused.
// The rules it tolerates from real writers are written where they are
// applied (wav_reader.cc) and listed in the man page.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "base/byte_source.h"
#include "base/file_content.h"

namespace wavtally {

class FileSystem;
struct FsError;

/// Turns bytes as stored into plain bytes for readers of enciphered files.
class IDataDecipher {
 public:
  virtual ~IDataDecipher() = default;
  /// Deciphers in place the size bytes that were stored at offset.
  virtual void Decipher(uint64_t offset, uint8_t* data, size_t size) = 0;
};

/// The format block of a WAV file: the six values of its "fmt " header as
/// stored, and a channel configuration word whose bits 12 to 31 hold the
/// channel mask (low 20 bits) and bits 0 to 11 the channel count (capped at
/// 0xFFF).
struct TqAudioFormat {
  uint16_t formatTag = 0;
  uint16_t numChannels = 0;
  uint32_t sampleRate = 0;
  uint32_t avgBytesPerSec = 0;
  uint16_t blockAlign = 0;
  uint16_t bitsPerSample = 0;
  uint32_t channelConfig = 0;
};

/// Why a file was refused as a WAVE file.
enum class WaveProblem : uint8_t {
  kNone,         ///< read
  kNotWave,      ///< no RIFF, RIFX, RF64 or BW64 header of form WAVE
  kNoFormat,     ///< no "fmt " chunk
  kShortFormat,  ///< a "fmt " chunk of fewer than 16 bytes, or cut off
  kNoData,       ///< no "data" chunk, where the sample count was asked for
  kReadFailed,   ///< a read gave fewer bytes than the file's size promised
  kBadMode,      ///< the mode asked for nothing, or for something unknown
};

/// What a RIFF/WAVE header says, read without touching the sample data.
struct WaveHeader {
  TqAudioFormat format;
  uint32_t numSamples = 0;
  /// True when the "data" chunk declares more bytes than the file holds (a
  /// copy cut short): the count is of the samples that are there.
  bool dataCutShort = false;
};

/// Reads the header of the WAVE file in source. mode is a set of
/// TqAudioFileReader::OpenMode bits. Returns false when source is not a WAVE
/// file, lacks a chunk the mode needs, gives fewer bytes than its size
/// promises, or mode holds an unknown bit or none; *out is written only on
/// success. The format is filled only when mode asks
/// for it, the sample count likewise. Reads whole blocks of at most 4096
/// bytes, each at the offset of the first header byte it needs, and never the
/// sample data.
/// *problem, when not null, is set to why a file was refused (kNone when it
/// was read); *content, when not null, to what a file refused as kNotWave
/// holds instead, told from the bytes already read (kOther otherwise).
bool ReadWaveHeader(ByteSource& source, int mode, WaveHeader* out, WaveProblem* problem = nullptr,
                    FileContent* content = nullptr);

/// Reads the format of one WAV file through the file system.
class TqAudioFileReader {
 public:
  /// What Open reads; mode 3 reads both.
  enum OpenMode {
    kReadFormat = 1,       ///< the "fmt " chunk: GetFormat
    kReadSampleCount = 2,  ///< the "data" (and "fact") chunk: GetNumSamples
  };

  /// Returns a new reader for the regular file at path in fs, or null when
  /// path names no regular file or it cannot be opened; *error then says why
  /// (see FileSystem::OpenFileAt). decipher may be null; the reader does not
  /// own it.
  static TqAudioFileReader* Create(FileSystem& fs, const wchar_t* path, IDataDecipher* decipher,
                                   FsError* error);
  /// Returns a new reader for the open file source, or null when source is
  /// null. decipher may be null; the reader does not own it.
  static TqAudioFileReader* Create(std::unique_ptr<ByteSource> source, IDataDecipher* decipher);
  virtual ~TqAudioFileReader();
  TqAudioFileReader(const TqAudioFileReader&) = delete;
  TqAudioFileReader& operator=(const TqAudioFileReader&) = delete;

  /// Reads what mode asks for; returns false when the file is not a readable
  /// WAVE file or mode holds no known bit or an unknown one. Every byte read
  /// passes through the decipher first, when there is one.
  bool Open(int mode);
  /// Returns the format block read by Open; zeros before a successful Open.
  const TqAudioFormat& GetFormat() const { return header_.format; }
  /// Returns the number of sample frames, saturated at 4294967295.
  uint32_t GetNumSamples() const { return header_.numSamples; }
  /// Returns why the last Open failed, or kNone.
  WaveProblem GetProblem() const { return problem_; }
  /// Returns what the file holds, when the last Open found no WAVE file.
  FileContent GetContent() const { return content_; }
  /// Returns true when the file read holds less data than its header says.
  bool IsDataCutShort() const { return header_.dataCutShort; }

 private:
  TqAudioFileReader(std::unique_ptr<ByteSource> source, IDataDecipher* decipher);
  std::unique_ptr<ByteSource> source_;
  IDataDecipher* decipher_;
  WaveHeader header_;
  WaveProblem problem_ = WaveProblem::kNone;
  FileContent content_ = FileContent::kOther;
};

}  // namespace wavtally
