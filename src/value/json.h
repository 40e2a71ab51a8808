#pragma once

// JSON into and out of the value tree.
//
// Reading keeps object member order; integers that fit in 64 bits stay integers.
// Writing never throws: invalid UTF-8 in a string is written as U+FFFD.
// Failure: parse_json raises JsonError with the reader's description.
// Thread-safety: pure functions.

#include <stdexcept>
#include <string>
#include <string_view>

#include "value/value.h"

namespace tolvan {

class JsonError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

struct JsonStyle {
  /// `", "` and `": "` separators instead of `,` and `:`.
  bool spaced = false;
  /// Every character above U+007F as a \u escape (surrogate pairs above U+FFFF).
  bool ascii_only = false;
};

/// The AppLog's form: spaced separators, ASCII only.
inline constexpr JsonStyle kLogJsonStyle{.spaced = true, .ascii_only = true};

Value parse_json(std::string_view text);

/// One-line JSON text. Mapping keys that are not strings are written as their text form.
/// Non-finite floats are written as NaN, Infinity, -Infinity.
std::string to_json(const Value& v, JsonStyle style = {});

/// Appends a JSON string literal (with quotes) for `s` to `out`.
void append_json_string(std::string& out, std::string_view s, bool ascii_only = false);

}  // namespace tolvan
