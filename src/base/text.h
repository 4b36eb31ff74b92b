#pragma once

#include <string>
#include <string_view>

namespace wavtally {

/// Wide text: every path, pattern, extension and separator crosses the base
/// services as this type.
using CStdStr = std::wstring;

/// Decodes UTF-8 bytes without loss: each byte that is not part of a valid
/// sequence becomes the code point U+DC00 + byte (U+DC80..U+DCFF), so EncodeUtf8 gives it back.
CStdStr DecodeUtf8(std::string_view bytes);

/// Appends text to out as UTF-8. Where wchar_t is 32 bits (POSIX), code
/// points U+DC80..U+DCFF that DecodeUtf8 made from stray bytes are written as
/// those bytes again; where it is UTF-16 (Windows), a surrogate without its
/// partner is written as U+FFFD.
void AppendUtf8(std::wstring_view text, std::string& out);

/// Returns text as UTF-8, with the same rule for stray bytes as AppendUtf8.
std::string EncodeUtf8(std::wstring_view text);

}  // namespace wavtally
