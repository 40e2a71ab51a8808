#pragma once

// Turning captured bytes into the text an execution result carries: UTF-8 decoding, strict or
// with replacement characters, and universal line endings.
// Thread-safety: pure functions.

#include <stdexcept>
#include <string>
#include <string_view>

namespace tolvan::executor::detail {

/// Raised by strict decoding; the message names the stream and the offending byte.
class DecodeError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

/// `bytes` when they are valid UTF-8; otherwise throws DecodeError naming `what`, the first
/// invalid byte and its offset.
std::string decode_utf8_strict(std::string bytes, std::string_view what);


/// CR LF and lone CR both become LF.
std::string universal_newlines(std::string text);

}  // namespace tolvan::executor::detail
