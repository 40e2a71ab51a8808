#pragma once

// The value tree every library exchanges: parsed YAML and JSON, alias definitions, request
// parameters and execution results. A mapping keeps insertion order and its keys are scalar
// values (YAML `404:` and `"404":` are different keys).
//
// Also here: the text form (how a value becomes text) and the literal form (how messages show
// a value), exactly as operators and clients read them.
//
// Failure: accessors that name a type (`as_string()`, `at()`) throw ValueError with the
// offending path or type; `find()` and the `is_*()` predicates never throw.
// Thread-safety: a Value is a plain value type; concurrent reads of one Value are safe.

#include <cstdint>
#include <initializer_list>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

namespace tolvan {

class Value;

/// Raised by the throwing accessors of Value.
class ValueError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

using Sequence = std::vector<Value>;

/// Insertion-ordered mapping with scalar keys. Setting an existing key replaces its value in
/// place (the key keeps its first position). Lookup is linear: mappings here are small.
class Mapping {
 public:
  using Entry = std::pair<Value, Value>;
  using const_iterator = std::vector<Entry>::const_iterator;
  using iterator = std::vector<Entry>::iterator;

  Mapping() = default;
  Mapping(std::initializer_list<Entry> entries);

  /// The value stored under a string key / any key; nullptr when absent. A string key only
  /// matches string keys.
  const Value* find(std::string_view key) const;
  Value* find(std::string_view key);
  const Value* find(const Value& key) const;
  Value* find(const Value& key);
  // A string literal would be ambiguous between the string_view and Value overloads.
  const Value* find(const char* key) const { return find(std::string_view(key)); }
  Value* find(const char* key) { return find(std::string_view(key)); }
  bool contains(std::string_view key) const { return find(key) != nullptr; }
  bool contains(const Value& key) const { return find(key) != nullptr; }
  bool contains(const char* key) const { return find(std::string_view(key)) != nullptr; }

  /// Inserts or replaces; returns the stored value.
  Value& set(Value key, Value value);
  /// Removes the key; returns whether it was present.
  bool erase(const Value& key);

  // Defined after Value, which must be complete first.
  std::size_t size() const;
  bool empty() const;
  const_iterator begin() const;
  const_iterator end() const;
  iterator begin();
  iterator end();

  /// Deep equality; key order does not matter.
  friend bool operator==(const Mapping& a, const Mapping& b);

 private:
  std::vector<Entry> entries_;
};

class Value {
 public:
  // The enumerators share names with the Sequence and Mapping types on purpose.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wshadow"
  enum class Kind { Null, Bool, Int, Float, String, Sequence, Mapping };
#pragma GCC diagnostic pop

  Value() = default;
  Value(std::nullptr_t) {}
  Value(bool b) : data_(b) {}
  Value(int i) : data_(static_cast<std::int64_t>(i)) {}
  Value(long i) : data_(static_cast<std::int64_t>(i)) {}
  Value(long long i) : data_(static_cast<std::int64_t>(i)) {}
  Value(unsigned i) : data_(static_cast<std::int64_t>(i)) {}
  /// Sizes and counts; a value above the 64-bit signed range is stored as a float.
  Value(unsigned long i) : data_(from_unsigned(i)) {}
  Value(unsigned long long i) : data_(from_unsigned(i)) {}
  Value(double d) : data_(d) {}
  Value(const char* s) : data_(std::string(s)) {}
  Value(std::string s) : data_(std::move(s)) {}
  Value(std::string_view s) : data_(std::string(s)) {}
  Value(Sequence s) : data_(std::move(s)) {}
  Value(Mapping m) : data_(std::move(m)) {}

  Kind kind() const { return static_cast<Kind>(data_.index()); }
  bool is_null() const { return kind() == Kind::Null; }
  bool is_bool() const { return kind() == Kind::Bool; }
  bool is_int() const { return kind() == Kind::Int; }
  bool is_float() const { return kind() == Kind::Float; }
  bool is_number() const { return is_int() || is_float(); }
  bool is_string() const { return kind() == Kind::String; }
  bool is_sequence() const { return kind() == Kind::Sequence; }
  bool is_mapping() const { return kind() == Kind::Mapping; }
  bool is_scalar() const { return !is_sequence() && !is_mapping(); }

  /// Type words as messages show them: "NoneType", "bool", "int", "float", "str", "list", "dict".
  std::string_view type_name() const;

  // Typed access; throws ValueError naming the expected and actual type.
  bool as_bool() const;
  std::int64_t as_int() const;
  double as_float() const;  // an integer converts
  const std::string& as_string() const;
  const Sequence& as_sequence() const;
  Sequence& as_sequence();
  const Mapping& as_mapping() const;
  Mapping& as_mapping();

  /// Mapping lookup that never throws: nullptr when this is not a mapping or the key is absent.
  const Value* find(std::string_view key) const;
  const Value* find(const Value& key) const;
  const Value* find(const char* key) const { return find(std::string_view(key)); }
  /// The value under `key`, or `fallback` when absent or when this is not a mapping.
  Value get_or(std::string_view key, Value fallback) const;
  /// Mapping lookup that throws ValueError ("key 'name' not found") when absent.
  const Value& at(std::string_view key) const;
  /// Sequence element; throws ValueError when out of range or not a sequence.
  const Value& at(std::size_t index) const;

  /// Truthiness: null, false, 0, 0.0, "" and empty collections are false-like.
  bool truthy() const;

  /// Deep equality. Integers and floats compare by numeric value (1 == 1.0); booleans equal
  /// only booleans; mapping key order does not matter.
  friend bool operator==(const Value& a, const Value& b);

 private:
  using Data =
      std::variant<std::monostate, bool, std::int64_t, double, std::string, Sequence, Mapping>;
  static Data from_unsigned(unsigned long long u) {
    if (u > static_cast<unsigned long long>(INT64_MAX)) return static_cast<double>(u);
    return static_cast<std::int64_t>(u);
  }

  Data data_;
};

inline std::size_t Mapping::size() const { return entries_.size(); }
inline bool Mapping::empty() const { return entries_.empty(); }
inline Mapping::const_iterator Mapping::begin() const { return entries_.begin(); }
inline Mapping::const_iterator Mapping::end() const { return entries_.end(); }
inline Mapping::iterator Mapping::begin() { return entries_.begin(); }
inline Mapping::iterator Mapping::end() { return entries_.end(); }

/// Text form: a string as is; integers in decimal; floats as `format_float`; booleans
/// "True"/"False"; null "None"; sequences and mappings as their literal form.
std::string to_text(const Value& v);

/// Literal form for messages: 'deploy', "it's", '\\d+', 12, True, None, ['a', 1],
/// {'k': 'v'}.
std::string to_literal(const Value& v);

/// A string in quoted literal form (single quotes unless it holds a single quote and no double
/// quote; backslashes and non-printable characters escaped).
std::string quote_literal(std::string_view s);

/// The literal form of a set of words: sorted, as a sequence (['a', 'b']).
std::string sorted_literal(std::vector<std::string> words);

/// Shortest round-trip form of a double: fixed notation for decimal exponents -4..15 (always
/// with a fraction: 1000.0, 0.0001), otherwise scientific with at least two exponent digits
/// (1e+16, 1e-05); inf, -inf, nan.
std::string format_float(double d);

/// ASCII lower case of a text.
std::string to_lower(std::string_view s);

/// Whitespace stripped from both ends (space, \t, \n, \r, \f, \v).
std::string_view strip(std::string_view s);

/// `bytes` as UTF-8 with every invalid sequence replaced by U+FFFD: one replacement for each
/// maximal invalid subpart (a truncated sequence is one, a stray byte is one), as the common
/// decoders do.
std::string utf8_replace_invalid(std::string_view bytes);

/// Offset of the first byte that does not start a valid UTF-8 sequence, or npos when all of
/// `bytes` is valid UTF-8.
std::size_t utf8_first_invalid(std::string_view bytes);

/// Whether `s` can name one entry inside a directory and nothing else: not empty, not "." or
/// "..", no "/" and no NUL. Names built from outside input (correlation IDs) must pass this
/// before they are joined to a directory.
bool is_plain_file_name(std::string_view s);

}  // namespace tolvan
