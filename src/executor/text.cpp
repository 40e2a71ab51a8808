#include "executor/internal/text.h"

#include <cstddef>
#include <cstdio>

#include "value/value.h"

namespace tolvan::executor::detail {

std::string decode_utf8_strict(std::string bytes, std::string_view what) {
  const std::size_t i = utf8_first_invalid(bytes);
  if (i == std::string_view::npos) return bytes;
  char hex[8];
  std::snprintf(hex, sizeof hex, "0x%02x", static_cast<unsigned char>(bytes[i]));
  throw DecodeError(std::string(what) + " is not valid UTF-8: invalid byte " + hex +
                    " at offset " + std::to_string(i));
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
