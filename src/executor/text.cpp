#include "executor/internal/text.h"

#include <cstddef>
#include <cstdio>

namespace tolvan::executor::detail {

namespace {

// Length of the valid UTF-8 sequence at `s[i]`, or 0 when it is invalid; then `bad` is the
// length of the maximal subpart to replace (at least 1).
std::size_t valid_sequence(std::string_view s, std::size_t i, std::size_t& bad) {
  const auto b0 = static_cast<unsigned char>(s[i]);
  bad = 1;
  if (b0 < 0x80) return 1;
  std::size_t need;
  unsigned char lo = 0x80, hi = 0xBF;  // allowed range of the second byte
  if (b0 >= 0xC2 && b0 <= 0xDF) {
    need = 1;
  } else if (b0 >= 0xE0 && b0 <= 0xEF) {
    need = 2;
    if (b0 == 0xE0) lo = 0xA0;  // overlong
    if (b0 == 0xED) hi = 0x9F;  // surrogates
  } else if (b0 >= 0xF0 && b0 <= 0xF4) {
    need = 3;
    if (b0 == 0xF0) lo = 0x90;  // overlong
    if (b0 == 0xF4) hi = 0x8F;  // above U+10FFFF
  } else {
    return 0;
  }
  for (std::size_t k = 1; k <= need; ++k) {
    if (i + k >= s.size()) return 0;
    const auto b = static_cast<unsigned char>(s[i + k]);
    const bool ok = k == 1 ? (b >= lo && b <= hi) : (b & 0xC0) == 0x80;
    if (!ok) return 0;
    bad = k + 1;
  }
  return need + 1;
}

}  // namespace

std::string decode_utf8_strict(std::string bytes, std::string_view what) {
  for (std::size_t i = 0; i < bytes.size();) {
    std::size_t bad;
    const std::size_t n = valid_sequence(bytes, i, bad);
    if (n == 0) {
      char hex[8];
      std::snprintf(hex, sizeof hex, "0x%02x", static_cast<unsigned char>(bytes[i]));
      throw DecodeError(std::string(what) + " is not valid UTF-8: invalid byte " + hex +
                        " at offset " + std::to_string(i));
    }
    i += n;
  }
  return bytes;
}

std::string universal_newlines(std::string text) {
  std::size_t w = 0;
  for (std::size_t r = 0; r < text.size(); ++r) {
    if (text[r] != '\r') {
      text[w++] = text[r];
      continue;
    }
    text[w++] = '\n';
    if (r + 1 < text.size() && text[r + 1] == '\n') ++r;
  }
  text.resize(w);
  return text;
}

}  // namespace tolvan::executor::detail
