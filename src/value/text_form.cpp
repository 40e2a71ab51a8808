// Text form, literal form and float formatting.

#define PCRE2_CODE_UNIT_WIDTH 8
#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <system_error>

#include <pcre2.h>

#include "value/internal/utf8.h"
#include "value/value.h"

namespace tolvan {

namespace {

// Length of the valid UTF-8 sequence at `s[i]`, or 0 when it is invalid; then `bad` is the
// length of the maximal subpart to replace (at least 1).
std::size_t utf8_valid_sequence(std::string_view s, std::size_t i, std::size_t& bad) {
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

std::size_t utf8_first_invalid(std::string_view bytes) {
  for (std::size_t i = 0; i < bytes.size();) {
    std::size_t bad;
    const std::size_t n = utf8_valid_sequence(bytes, i, bad);
    if (n == 0) return i;
    i += n;
  }
  return std::string_view::npos;
}

std::string utf8_replace_invalid(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size());
  for (std::size_t i = 0; i < bytes.size();) {
    std::size_t bad;
    const std::size_t n = utf8_valid_sequence(bytes, i, bad);
    if (n == 0) {
      out += "\xEF\xBF\xBD";
      i += bad;
      continue;
    }
    out.append(bytes, i, n);
    i += n;
  }
  return out;
}

bool is_plain_file_name(std::string_view s) {
  return !s.empty() && s != "." && s != ".." && s.find('/') == std::string_view::npos &&
         s.find('\0') == std::string_view::npos;
}


namespace {

// Whether a non-ASCII code point is shown as is in a quoted literal. Like Python's
// str.isprintable: everything but the other (C*) and separator (Z*) categories. The Unicode
// tables are PCRE2's.
bool printable_non_ascii(std::uint32_t cp) {
  static pcre2_code* const code = [] {
    int err = 0;
    PCRE2_SIZE offset = 0;
    static constexpr char kPattern[] = "[\\p{C}\\p{Z}]";
    return pcre2_compile(reinterpret_cast<PCRE2_SPTR>(kPattern), PCRE2_ZERO_TERMINATED,
                         PCRE2_UTF | PCRE2_UCP | PCRE2_ANCHORED, &err, &offset, nullptr);
  }();
  if (code == nullptr) return true;
  std::string one;
  detail::append_utf8(one, cp);
  pcre2_match_data* md = pcre2_match_data_create(1, nullptr);
  if (md == nullptr) return true;
  const int rc = pcre2_match(code, reinterpret_cast<PCRE2_SPTR>(one.data()), one.size(), 0,
                             PCRE2_NO_UTF_CHECK, md, nullptr);
  pcre2_match_data_free(md);
  return rc < 0;
}

void append_hex(std::string& out, std::uint32_t v, int digits) {
  static constexpr char kHex[] = "0123456789abcdef";
  for (int shift = (digits - 1) * 4; shift >= 0; shift -= 4)
    out += kHex[(v >> shift) & 0xF];
}

void append_literal(std::string& out, const Value& v);

}  // namespace

std::string format_float(double d) {
  if (std::isnan(d)) return "nan";
  if (std::isinf(d)) return d < 0 ? "-inf" : "inf";
  char buf[64];
  // Shortest round-trip digits, in scientific form: [-]D[.DDD]e[+-]XX
  auto res = std::to_chars(buf, buf + sizeof buf, d, std::chars_format::scientific);
  std::string_view sci(buf, static_cast<std::size_t>(res.ptr - buf));
  std::string out;
  if (!sci.empty() && sci.front() == '-') {
    out += '-';
    sci.remove_prefix(1);
  }
  const std::size_t e_pos = sci.find('e');
  std::string digits;
  for (char c : sci.substr(0, e_pos)) {
    if (c != '.') digits += c;
  }
  int exp = 0;
  std::string_view exp_text = sci.substr(e_pos + 1);
  if (!exp_text.empty() && exp_text.front() == '+') exp_text.remove_prefix(1);
  std::from_chars(exp_text.data(), exp_text.data() + exp_text.size(), exp);

  const int n = static_cast<int>(digits.size());
  if (exp >= -4 && exp < 16) {
    if (exp < 0) {
      out += "0.";
      out.append(static_cast<std::size_t>(-exp - 1), '0');
      out += digits;
    } else if (n <= exp + 1) {
      out += digits;
      out.append(static_cast<std::size_t>(exp + 1 - n), '0');
      out += ".0";
    } else {
      out += digits.substr(0, static_cast<std::size_t>(exp + 1));
      out += '.';
      out += digits.substr(static_cast<std::size_t>(exp + 1));
    }
    return out;
  }
  out += digits[0];
  if (n > 1) {
    out += '.';
    out += digits.substr(1);
  }
  out += 'e';
  out += exp < 0 ? '-' : '+';
  const int a = std::abs(exp);
  if (a < 10) out += '0';
  out += std::to_string(a);
  return out;
}

std::string quote_literal(std::string_view s) {
  const bool has_single = s.find('\'') != std::string_view::npos;
  const bool has_double = s.find('"') != std::string_view::npos;
  const char quote = (has_single && !has_double) ? '"' : '\'';
  std::string out;
  out.reserve(s.size() + 2);
  out += quote;
  for (std::size_t i = 0; i < s.size();) {
    std::size_t len = 1;
    const std::int32_t cp = detail::decode_utf8(s, i, len);
    if (cp < 0) {
      // Not UTF-8: shown as the byte's escape.
      out += "\\x";
      append_hex(out, static_cast<unsigned char>(s[i]), 2);
    } else if (cp == '\\' || cp == quote) {
      out += '\\';
      out += static_cast<char>(cp);
    } else if (cp == '\n') {
      out += "\\n";
    } else if (cp == '\r') {
      out += "\\r";
    } else if (cp == '\t') {
      out += "\\t";
    } else if (cp < 0x20 || cp == 0x7F) {
      out += "\\x";
      append_hex(out, static_cast<std::uint32_t>(cp), 2);
    } else if (cp < 0x80 || printable_non_ascii(static_cast<std::uint32_t>(cp))) {
      out.append(s.substr(i, len));
    } else if (cp < 0x100) {
      out += "\\x";
      append_hex(out, static_cast<std::uint32_t>(cp), 2);
    } else if (cp < 0x10000) {
      out += "\\u";
      append_hex(out, static_cast<std::uint32_t>(cp), 4);
    } else {
      out += "\\U";
      append_hex(out, static_cast<std::uint32_t>(cp), 8);
    }
    i += len;
  }
  out += quote;
  return out;
}

namespace {

void append_literal(std::string& out, const Value& v) {
  switch (v.kind()) {
    case Value::Kind::String:
      out += quote_literal(v.as_string());
      return;
    case Value::Kind::Sequence: {
      out += '[';
      bool first = true;
      for (const Value& item : v.as_sequence()) {
        if (!first) out += ", ";
        first = false;
        append_literal(out, item);
      }
      out += ']';
      return;
    }
    case Value::Kind::Mapping: {
      out += '{';
      bool first = true;
      for (const auto& [key, item] : v.as_mapping()) {
        if (!first) out += ", ";
        first = false;
        append_literal(out, key);
        out += ": ";
        append_literal(out, item);
      }
      out += '}';
      return;
    }
    default:
      out += to_text(v);
      return;
  }
}

}  // namespace

std::string to_text(const Value& v) {
  switch (v.kind()) {
    case Value::Kind::Null:
      return "None";
    case Value::Kind::Bool:
      return v.as_bool() ? "True" : "False";
    case Value::Kind::Int:
      return std::to_string(v.as_int());
    case Value::Kind::Float:
      return format_float(v.as_float());
    case Value::Kind::String:
      return v.as_string();
    case Value::Kind::Sequence:
    case Value::Kind::Mapping:
      return to_literal(v);
  }
  return {};
}

std::string to_literal(const Value& v) {
  std::string out;
  append_literal(out, v);
  return out;
}

std::string sorted_literal(std::vector<std::string> words) {
  std::sort(words.begin(), words.end());
  std::string out = "[";
  for (std::size_t i = 0; i < words.size(); ++i) {
    if (i > 0) out += ", ";
    out += quote_literal(words[i]);
  }
  out += ']';
  return out;
}

std::string to_lower(std::string_view s) {
  std::string out(s);
  for (char& c : out) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return out;
}

std::string_view strip(std::string_view s) {
  constexpr std::string_view kSpace = " \t\n\r\f\v";
  const std::size_t first = s.find_first_not_of(kSpace);
  if (first == std::string_view::npos) return {};
  const std::size_t last = s.find_last_not_of(kSpace);
  return s.substr(first, last - first + 1);
}

}  // namespace tolvan
