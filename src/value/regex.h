#pragma once

// Regular expressions on PCRE2 (8-bit, UTF, Unicode classes), compiled once and shared.
//
// Dialect: the common Perl-style syntax. Substitution templates understand \1..\99, \g<name>,
// \g<1>, and the escapes \n \t \r \f \v \a \b \0 \\ (any other escaped letter or digit is an
// error; an escaped punctuation character stands for itself).
// Failure: RegexError carrying PCRE2's text, e.g. "missing closing parenthesis at offset 1",
// or "unknown group name 'x'", "invalid group reference 3", "bad escape \q".
// A text that is not valid UTF-8 never matches (substitute returns it unchanged); a match that
// exceeds PCRE2's resource limits counts as no match in full_match and search, and raises
// RegexError in substitute.
// Thread-safety: a compiled Regex is immutable and shared between threads; every match uses
// its own match data.

#include <cstddef>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace tolvan {

class RegexError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

/// One match: byte offsets of the whole match (group 0) and each group; an unset group is
/// (npos, npos).
struct RegexMatch {
  std::vector<std::pair<std::size_t, std::size_t>> groups;
  std::size_t start() const { return groups[0].first; }
  std::size_t end() const { return groups[0].second; }
};

class Regex {
 public:
  /// Compiles `pattern`; throws RegexError on an invalid pattern.
  explicit Regex(std::string_view pattern);
  ~Regex();
  Regex(const Regex&) = delete;
  Regex& operator=(const Regex&) = delete;

  /// A compiled pattern from the process-wide cache (compiled on first use).
  static std::shared_ptr<const Regex> cached(std::string_view pattern);

  const std::string& pattern() const { return pattern_; }
  std::size_t group_count() const;
  /// Number of a named group, or -1.
  int group_number(std::string_view name) const;

  /// The whole text matches.
  bool full_match(std::string_view text) const;
  /// First match at or after `from`.
  std::optional<RegexMatch> search(std::string_view text, std::size_t from = 0) const;
  /// Every non-overlapping match, left to right, replaced by the expanded `replacement`
  /// template; `count` 0 means all. Throws RegexError for a bad template.
  std::string substitute(std::string_view text, std::string_view replacement,
                         std::size_t count = 0) const;

 private:
  std::string pattern_;
  void* code_ = nullptr;  // the compiled forms (regex.cpp)
};

}  // namespace tolvan
