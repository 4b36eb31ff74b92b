// The Windows-only behaviour of the base services, which the Linux unit tests
// cannot reach: wchar_t is UTF-16 and the separator is "\". Built by the
// MinGW toolchain only and run under Wine by tests/windows/run-tests; prints
// each failed check and returns 1 if any failed.

#include <windows.h>

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>

#include "base/file_system.h"
#include "base/name_list.h"
#include "base/path.h"
#include "base/path_find.h"
#include "base/platform.h"
#include "base/terminal.h"
#include "base/text.h"
#include "base/windows/windows_error.h"
#include "report/progress.h"

namespace wavtally {
namespace {

int failures = 0;

void Check(bool ok, const char* what, int line) {
  if (ok) return;
  std::printf("line %d: %s\n", line, what);
  ++failures;
}

#define CHECK(expr) Check((expr), #expr, __LINE__)

CStdStr Text(const CStdStr& path) { return Path(path).GetFullPath(); }

CStdStr Relative(const CStdStr& path, const CStdStr& base) {
  return Path(path).MakePathRelative(Path(base)).GetFullPath();
}

void PathsTakeWhatAWindowsUserTypes() {
  CHECK(Path::GetNameSeparator() == L"\\");
  CHECK(Text(L"C:\\Music\\") == L"C:\\Music");
  CHECK(Text(L"C:/Music//Takes/") == L"C:\\Music\\Takes");
  CHECK(Text(L"C:\\") == L"C:\\");
  CHECK(Text(L"C:/") == L"C:\\");
  CHECK(Text(L"C:\\\\") == L"C:\\");
  CHECK(Text(L"C:") == L"C:");
  CHECK(Text(L"\\\\server\\share\\lib\\") == L"\\\\server\\share\\lib");
  CHECK(Text(L"//server/share/") == L"\\\\server\\share");
  CHECK(Text(L"\\\\?\\C:\\") == L"\\\\?\\C:\\");
  CHECK(Text(L"\\") == L"\\");
  CHECK(Text(L"a//b\\\\c/") == L"a\\b\\c");
  CHECK(Path::Join({L"C:\\", L"x.wav"}).GetFullPath() == L"C:\\x.wav");
  CHECK(Path::Join({L"\\\\server\\share", L"x.wav"}).GetFullPath() == L"\\\\server\\share\\x.wav");
  CHECK(Relative(L"C:\\a\\b.wav", L"C:\\") == L"a\\b.wav");
  CHECK(Relative(L"C:\\a\\b.wav", L"C:/a/") == L"b.wav");
  CHECK(Relative(L"\\\\server\\share\\b.wav", L"\\\\server\\share") == L"b.wav");
  CHECK(Relative(L"C:\\ab\\b.wav", L"C:\\a") == L"C:\\ab\\b.wav");
  // "C:" is the drive's current folder, not its root.
  CHECK(Path::Join({L"C:", L"x.wav"}).GetFullPath() == L"C:x.wav");
  CHECK(Relative(L"C:a\\x.wav", L"C:") == L"a\\x.wav");
}

void FoldersAndErrorsComeFromTheSystem() {
  FolderId windows;
  FolderId again;
  CHECK(Path(L"C:\\").DirectoryExists(DiskFileSystem()));
  CHECK(Path(L"C:/windows/").GetFolderId(DiskFileSystem(), &windows));
  CHECK(Path(L"c:\\WINDOWS\\system32\\..").GetFolderId(DiskFileSystem(), &again));
  CHECK(windows == again);
  CHECK(!Path(L"C:\\windows\\notepad.exe").IsDirectory(DiskFileSystem()));
  CHECK(!Path(CStdStr(L"C:\\\0windows", 11)).IsDirectory(DiskFileSystem()));
  CHECK(platform::ErrorText(5) == "access denied");
  CHECK(platform::ErrorText(3) == "path not found");
  const std::string other = platform::ErrorText(0x7FFF0000);
  CHECK(!other.empty() && other.back() != '.' && other.back() != '\n');
  // Limits of the process, worth a retry with fewer handles; the rest are
  // the entry's own.
  CHECK(platform::WindowsError(ERROR_TOO_MANY_OPEN_FILES).limit);
  CHECK(platform::WindowsError(ERROR_NOT_ENOUGH_MEMORY).limit);
  CHECK(platform::WindowsError(ERROR_OUTOFMEMORY).limit);
  CHECK(platform::WindowsError(ERROR_NO_SYSTEM_RESOURCES).limit);
  CHECK(!platform::WindowsError(ERROR_ACCESS_DENIED).limit);
  CHECK(!platform::WindowsError(ERROR_FILE_NOT_FOUND).limit);
}

// A read past 4 GiB reaches its offset: the high half of the offset goes to
// the system too. The file is sparse, so it costs no disk.
void ReadsPastFourGibibytesReachTheirOffset() {
  wchar_t folder[MAX_PATH];
  CHECK(GetTempPathW(MAX_PATH, folder) != 0);
  const std::wstring path = std::wstring(folder) + L"wavtally-4g.bin";
  const uint64_t beyond = (uint64_t{1} << 32) + 3;
  HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  CHECK(file != INVALID_HANDLE_VALUE);
  if (file == INVALID_HANDLE_VALUE) return;
  DWORD wrote = 0;
  OVERLAPPED near_place = {};
  near_place.Offset = 3;
  CHECK(WriteFile(file, "near", 4, &wrote, &near_place));
  OVERLAPPED far_place = {};
  far_place.Offset = static_cast<DWORD>(beyond);
  far_place.OffsetHigh = static_cast<DWORD>(beyond >> 32);
  CHECK(WriteFile(file, "far!", 4, &wrote, &far_place));
  CloseHandle(file);
  FsError error;
  const std::unique_ptr<ByteSource> source = DiskFileSystem().OpenFile(path, &error);
  CHECK(source != nullptr);
  if (source) {
    char text[5] = {};
    CHECK(source->Size() == beyond + 4);
    CHECK(source->ReadAt(beyond, text, 4) == 4 && std::string(text) == "far!");
    CHECK(source->ReadAt(3, text, 4) == 4 && std::string(text) == "near");
  }
  DeleteFileW(path.c_str());
}

void LoneSurrogatesBecomeReplacementCharacters() {
  CHECK(EncodeUtf8(L"\xD83C\xDFB5") == "\xF0\x9F\x8E\xB5");
  CHECK(EncodeUtf8(std::wstring(L"a\xD800"
                                L"b")) ==
        "a\xEF\xBF\xBD"
        "b");
  // Not a raw 0x80 byte, as a stray byte would be on POSIX.
  CHECK(EncodeUtf8(std::wstring(1, wchar_t(0xDC80))) == "\xEF\xBF\xBD");
  CHECK(EncodeUtf8(std::wstring(L"\xDFB5\xD83C")) == "\xEF\xBF\xBD\xEF\xBF\xBD");
  // Names alike once encoded still sort in one fixed order.
  CHECK(NameLess(std::wstring(L"x\xD800"), std::wstring(L"x\xD801")));
  CHECK(!NameLess(std::wstring(L"x\xD801"), std::wstring(L"x\xD800")));
  // A list decodes a 4-byte sequence to a surrogate pair, which sorts by its
  // bytes: after the replacement character that a lone half becomes.
  const std::wstring lone = std::wstring(1, wchar_t(0xD83C)) + L"z";
  NameList list;
  list.AddUtf8("\xF0\x9F\x8E\xB5");
  list.Add(lone);
  list.Sort();
  CHECK(list.size() == 2 && list[0] == lone && list[1] == L"\xD83C\xDFB5");
}

// Here wchar_t is UTF-16: a character beyond the BMP is two of them, one
// character on screen, and two columns for an emoji.
void ProgressCountsAndCutsWholeCharacters() {
  CHECK(TerminalColumns(L"\xD83C\xDFB5"
                        L"a") == 3);
  const CStdStr folder = L"\xD83C\xDFB5\xD83C\xDFB5\xD83C\xDFB5\xD83C\xDFB5\xD83C\xDFB5";
  for (size_t width = 40; width < 70; ++width) {
    const CStdStr line = RenderProgressLine({}, 0, folder, width);
    CHECK(TerminalColumns(line) < width);
    CHECK(line.empty() || line.back() != L'\xD83C');
    CHECK(line.find(L"\x2026\xDFB5") == CStdStr::npos);
  }
}

// Run with both streams in a file, as run-tests does.
void ProgressIsOffWhenRedirected() { CHECK(OpenProgressTerminal() == nullptr); }

// Run by run-tests with standard error on a console: whether the progress
// terminal opens there, on standard output, and a line drawn and erased.
int DrawOnTheConsole() {
  const std::unique_ptr<Terminal> terminal = OpenProgressTerminal();
  std::printf("terminal %s, width %zu\n", terminal ? "open" : "none",
              terminal ? terminal->Width() : 0);
  std::fflush(stdout);
  if (!terminal) return 1;
  const bool ok =
      terminal->Draw(L"first frame") && terminal->Draw(L"caf\x00E9") && terminal->Erase();
  return ok ? 0 : 1;
}

}  // namespace
}  // namespace wavtally

int main(int argc, char** argv) {
  if (argc > 1 && std::string(argv[1]) == "console") return wavtally::DrawOnTheConsole();
  wavtally::PathsTakeWhatAWindowsUserTypes();
  wavtally::FoldersAndErrorsComeFromTheSystem();
  wavtally::ReadsPastFourGibibytesReachTheirOffset();
  wavtally::LoneSurrogatesBecomeReplacementCharacters();
  wavtally::ProgressCountsAndCutsWholeCharacters();
  wavtally::ProgressIsOffWhenRedirected();
  std::printf("%d failed\n", wavtally::failures);
  return wavtally::failures == 0 ? 0 : 1;
}
