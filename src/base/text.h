#pragma once

// CStdStr: the wide text every path, pattern and name crosses the base
// services as, and the one conversion to and from UTF-8 bytes, which keeps
// names that are not valid UTF-8 exactly as they were.

#include <cstddef>
#include <string>
#include <string_view>

namespace wavtally {

/// Wide text: every path, pattern, extension and separator crosses the base
/// services as this type.
using CStdStr = std::wstring;

/// Decodes UTF-8 bytes without loss: each byte that is not part of a valid
/// sequence becomes the code point U+DC00 + byte (U+DC80..U+DCFF), so EncodeUtf8 gives it back.
CStdStr DecodeUtf8(std::string_view bytes);

/// Decodes bytes by DecodeUtf8's rule into out, which has room for
/// bytes.size() code units (never more are needed); returns how many it wrote.
size_t DecodeUtf8Into(std::string_view bytes, wchar_t* out);

/// Appends text to out as UTF-8. Where wchar_t is 32 bits (POSIX), code
/// points U+DC80..U+DCFF that DecodeUtf8 made from stray bytes are written as
/// those bytes again; where it is UTF-16 (Windows), a surrogate without its
/// partner is written as U+FFFD.
void AppendUtf8(std::wstring_view text, std::string& out);

/// Returns text as UTF-8, with the same rule for stray bytes as AppendUtf8.
std::string EncodeUtf8(std::wstring_view text);

/// Writes the UTF-8 bytes of the character at text[*i] to out, which has room
/// for 4, by AppendUtf8's rule, and moves *i past it (past both halves of a
/// surrogate pair); returns how many bytes it wrote.
size_t EncodeUtf8Char(std::wstring_view text, size_t* i, char* out);

/// Returns c with an ASCII capital letter lowered and anything else as it is:
/// the only folding names and patterns get, the same in every locale.
constexpr int FoldAscii(int c) { return (c >= 'A' && c <= 'Z') ? c - 'A' + 'a' : c; }

}  // namespace wavtally
