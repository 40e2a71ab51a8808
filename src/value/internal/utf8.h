#pragma once

// UTF-8 decoding shared by the literal form and the JSON writer.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace tolvan::detail {

/// Decodes the code point at `s[i]`. Returns it and sets `len` to its byte length; for an
/// invalid or truncated sequence (overlong forms, surrogates, values above U+10FFFF) returns
/// -1 with `len` 1, so the caller can treat the byte on its own.
inline std::int32_t decode_utf8(std::string_view s, std::size_t i, std::size_t& len) {
  const auto b0 = static_cast<unsigned char>(s[i]);
  len = 1;
  if (b0 < 0x80) return b0;
  int need;
  std::int32_t cp;
  std::int32_t min;
  if (b0 >= 0xC2 && b0 <= 0xDF) {
    need = 1, cp = b0 & 0x1F, min = 0x80;
  } else if (b0 >= 0xE0 && b0 <= 0xEF) {
    need = 2, cp = b0 & 0x0F, min = 0x800;
  } else if (b0 >= 0xF0 && b0 <= 0xF4) {
    need = 3, cp = b0 & 0x07, min = 0x10000;
  } else {
    return -1;
  }
  if (i + static_cast<std::size_t>(need) >= s.size()) return -1;
  for (int k = 1; k <= need; ++k) {
    const auto b = static_cast<unsigned char>(s[i + k]);
    if ((b & 0xC0) != 0x80) return -1;
    cp = (cp << 6) | (b & 0x3F);
  }
  if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return -1;
  len = static_cast<std::size_t>(need) + 1;
  return cp;
}

/// Appends the UTF-8 encoding of a code point.
inline void append_utf8(std::string& out, std::uint32_t cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

}  // namespace tolvan::detail
