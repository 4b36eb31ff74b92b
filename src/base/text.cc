#include "base/text.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>

namespace wavtally {
namespace {

// Stray bytes 0x80..0xFF map to the lone low surrogates U+DC80..U+DCFF,
// which valid UTF-8 can never produce.
constexpr char32_t kStrayByteBase = 0xDC00;
constexpr bool kUtf16 = sizeof(wchar_t) == 2;
constexpr char32_t kReplacement = 0xFFFD;

bool IsContinuation(unsigned char c) { return (c & 0xC0) == 0x80; }

// Returns the length of the valid UTF-8 sequence at the start of s and stores
// its code point, or returns 0 when s does not start with one. Overlong forms,
// surrogates and values past U+10FFFF are invalid, which keeps the mapping of
// stray bytes to U+DC80..U+DCFF unambiguous.
size_t DecodeOne(std::string_view s, char32_t* cp) {
  const auto b0 = static_cast<unsigned char>(s[0]);
  size_t len;
  char32_t min;
  if (b0 < 0x80) {
    *cp = b0;
    return 1;
  } else if ((b0 & 0xE0) == 0xC0) {
    len = 2, min = 0x80, *cp = b0 & 0x1F;
  } else if ((b0 & 0xF0) == 0xE0) {
    len = 3, min = 0x800, *cp = b0 & 0x0F;
  } else if ((b0 & 0xF8) == 0xF0) {
    len = 4, min = 0x10000, *cp = b0 & 0x07;
  } else {
    return 0;
  }
  if (s.size() < len) return 0;
  for (size_t i = 1; i < len; ++i) {
    const auto b = static_cast<unsigned char>(s[i]);
    if (!IsContinuation(b)) return 0;
    *cp = (*cp << 6) | (b & 0x3F);
  }
  if (*cp < min || *cp > 0x10FFFF || (*cp >= 0xD800 && *cp <= 0xDFFF)) return 0;
  return len;
}

// Writes cp as one code unit, or as a surrogate pair where wchar_t is
// UTF-16; returns the position after it.
wchar_t* PutCodePoint(char32_t cp, wchar_t* out) {
  if (kUtf16 && cp >= 0x10000) {
    cp -= 0x10000;
    *out++ = static_cast<wchar_t>(0xD800 + (cp >> 10));
    *out++ = static_cast<wchar_t>(0xDC00 + (cp & 0x3FF));
  } else {
    *out++ = static_cast<wchar_t>(cp);
  }
  return out;
}

size_t PutUtf8(char32_t cp, char* out) {
  if (cp < 0x80) {
    out[0] = static_cast<char>(cp);
    return 1;
  } else if (cp < 0x800) {
    out[0] = static_cast<char>(0xC0 | (cp >> 6));
    out[1] = static_cast<char>(0x80 | (cp & 0x3F));
    return 2;
  } else if (cp < 0x10000) {
    out[0] = static_cast<char>(0xE0 | (cp >> 12));
    out[1] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out[2] = static_cast<char>(0x80 | (cp & 0x3F));
    return 3;
  }
  out[0] = static_cast<char>(0xF0 | (cp >> 18));
  out[1] = static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
  out[2] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
  out[3] = static_cast<char>(0x80 | (cp & 0x3F));
  return 4;
}

}  // namespace

size_t DecodeUtf8Into(std::string_view bytes, wchar_t* out) {
  wchar_t* const start = out;
  while (!bytes.empty()) {
    // Names are mostly ASCII; a run of it widens in one step.
    size_t ascii = 0;
    while (ascii < bytes.size() && static_cast<unsigned char>(bytes[ascii]) < 0x80) ++ascii;
    if (ascii != 0) {
      out = std::copy(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(ascii), out);
      bytes.remove_prefix(ascii);
      continue;
    }
    char32_t cp;
    size_t len = DecodeOne(bytes, &cp);
    if (len == 0) {
      cp = kStrayByteBase + static_cast<unsigned char>(bytes[0]);
      len = 1;
    }
    out = PutCodePoint(cp, out);
    bytes.remove_prefix(len);
  }
  return static_cast<size_t>(out - start);
}

CStdStr DecodeUtf8(std::string_view bytes) {
  CStdStr out(bytes.size(), L'\0');
  out.resize(DecodeUtf8Into(bytes, out.data()));
  return out;
}

size_t EncodeUtf8Char(std::wstring_view text, size_t* i, char* out) {
  auto cp = static_cast<char32_t>(text[(*i)++]);
  if constexpr (kUtf16) {
    cp &= 0xFFFF;
    if (cp >= 0xD800 && cp < 0xDC00 && *i < text.size()) {
      const auto low = static_cast<char32_t>(text[*i]) & 0xFFFF;
      if (low >= 0xDC00 && low < 0xE000) {
        ++*i;
        return PutUtf8(0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00), out);
      }
    }
    // UTF-16 text comes from the system as such (Windows names), never from
    // stray bytes, and a name may hold a surrogate without its partner. Raw
    // bytes or an encoded surrogate would make the report invalid UTF-8;
    // the replacement character keeps it valid, as the console would.
    if (cp >= 0xD800 && cp < 0xE000) return PutUtf8(kReplacement, out);
  }
  if (cp >= kStrayByteBase + 0x80 && cp <= kStrayByteBase + 0xFF) {
    out[0] = static_cast<char>(cp - kStrayByteBase);
    return 1;
  }
  return PutUtf8(cp, out);
}

void AppendUtf8(std::wstring_view text, std::string& out) {
  for (size_t i = 0; i < text.size();) {
    // Paths are mostly ASCII; a run of it narrows with no check of capacity
    // per character. Room for the rest of the text is made up front and
    // what the run did not use is given back.
    if (static_cast<char32_t>(text[i]) < 0x80) {
      const size_t at = out.size();
      out.resize(at + (text.size() - i));
      char* dst = out.data() + at;
      size_t end = i;
      for (; end < text.size() && static_cast<char32_t>(text[end]) < 0x80; ++end) {
        *dst++ = static_cast<char>(text[end]);
      }
      out.resize(at + (end - i));
      i = end;
      continue;
    }
    char bytes[4];
    out.append(bytes, EncodeUtf8Char(text, &i, bytes));
  }
}

std::string EncodeUtf8(std::wstring_view text) {
  std::string out;
  out.reserve(text.size());
  AppendUtf8(text, out);
  return out;
}

}  // namespace wavtally
