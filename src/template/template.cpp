// Template rendering: one left-to-right pass over the template, hand-written scanners for
// placeholders, calls and arguments, and PCRE2 (through the shared pattern cache) only for the
// patterns a `replace` call names.

#include "template/template.h"

#include <locale.h>
#include <stdlib.h>

#include <array>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <limits>
#include <utility>

#include "value/codec.h"
#include "value/regex.h"

namespace tolvan::tmpl {

namespace {

constexpr std::string_view kRunDirMarker = "%sharedDir";

enum class Builtin { Base64, ShellQuote, JsonEscape, UrlEncode, Trim, Escape, Wrap, Replace };

struct BuiltinName {
  std::string_view name;
  Builtin fn;
};

constexpr BuiltinName kBuiltins[] = {
    {"base64", Builtin::Base64},
    {"shell_quote", Builtin::ShellQuote},
    {"json_escape", Builtin::JsonEscape},
    {"url_encode", Builtin::UrlEncode},
    {"trim", Builtin::Trim},
    {"escape", Builtin::Escape},
    {"wrap", Builtin::Wrap},
    {"replace", Builtin::Replace},
};

std::optional<Builtin> find_builtin(std::string_view name) {
  for (const BuiltinName& b : kBuiltins) {
    if (b.name == name) return b.fn;
  }
  return std::nullopt;
}

// ---- character classes (ASCII only, as the placeholder syntax is) ----

bool is_space(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v';
}
bool is_digit(char c) {
  return c >= '0' && c <= '9';
}
bool is_letter(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}
bool is_name_start(char c) {
  return is_letter(c) || c == '_';
}
bool is_name_char(char c) {
  return is_name_start(c) || is_digit(c);
}

bool is_identifier(std::string_view s) {
  if (s.empty() || !is_name_start(s[0])) return false;
  for (char c : s) {
    if (!is_name_char(c)) return false;
  }
  return true;
}

bool iequals(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    char c = a[i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c != b[i]) return false;
  }
  return true;
}

// Byte length of the UTF-8 character at s[i]. A byte that does not start a well-formed
// sequence counts as a character of its own, so any input splits the same way every time.
std::size_t char_len(std::string_view s, std::size_t i) {
  const auto b = static_cast<unsigned char>(s[i]);
  std::size_t more = 0;
  if (b >= 0xC2 && b <= 0xDF) {
    more = 1;
  } else if (b >= 0xE0 && b <= 0xEF) {
    more = 2;
  } else if (b >= 0xF0 && b <= 0xF4) {
    more = 3;
  }
  if (more == 0 || i + more >= s.size()) return 1;
  for (std::size_t k = 1; k <= more; ++k) {
    if ((static_cast<unsigned char>(s[i + k]) & 0xC0) != 0x80) return 1;
  }
  return more + 1;
}

// The characters of a text, for trim, escape and wrap. Characters, not bytes: a multi-byte
// character in the set must never match part of another character in the value.
class CharSet {
 public:
  explicit CharSet(std::string_view chars) {
    for (std::size_t i = 0; i < chars.size();) {
      const std::size_t n = char_len(chars, i);
      if (n == 1) {
        single_[static_cast<unsigned char>(chars[i])] = true;
      } else {
        multi_.push_back(chars.substr(i, n));
      }
      i += n;
    }
  }

  bool contains(std::string_view ch) const {
    if (ch.size() == 1) return single_[static_cast<unsigned char>(ch[0])];
    for (std::string_view m : multi_) {
      if (m == ch) return true;
    }
    return false;
  }

 private:
  std::array<bool, 256> single_{};
  std::vector<std::string_view> multi_;
};

// ---- calls and arguments ----

struct Call {
  Builtin fn;
  std::string_view args;  // everything between the first "(" and the final ")"
};

// Recognises `name ( args )` where name is a built-in and the text ends with the ")" that
// closes it; args must not be empty. Anything else is not a call.
std::optional<Call> match_builtin_call(std::string_view expr) {
  if (expr.empty() || !is_name_start(expr[0])) return std::nullopt;
  std::size_t i = 1;
  while (i < expr.size() && is_name_char(expr[i]))
    ++i;
  const std::string_view name = expr.substr(0, i);
  while (i < expr.size() && is_space(expr[i]))
    ++i;
  if (i >= expr.size() || expr[i] != '(' || expr.back() != ')') return std::nullopt;
  if (expr.size() < i + 3) return std::nullopt;  // "name()": nothing between the parentheses
  const std::optional<Builtin> fn = find_builtin(name);
  if (!fn) return std::nullopt;
  return Call{*fn, expr.substr(i + 1, expr.size() - i - 2)};
}

// Calls `emit` with each stripped, non-empty argument of a raw argument list. Commas split
// only outside quotes, outside parentheses and outside /regex/ literals; every piece is a
// substring of `s`, since only the splitting commas are left out.
template <class Emit>
void for_each_arg(std::string_view s, Emit&& emit) {
  std::size_t start = 0;
  int depth = 0;
  char quote = 0;
  auto finish = [&](std::size_t end) {
    const std::string_view piece = strip(s.substr(start, end - start));
    if (!piece.empty()) emit(piece);
  };
  for (std::size_t i = 0; i < s.size(); ++i) {
    const char c = s[i];
    if (quote != 0) {
      if (c == '\\' && i + 1 < s.size()) {
        ++i;  // an escaped character never closes the quote
      } else if (c == quote) {
        quote = 0;
      }
    } else if (c == '"' || c == '\'') {
      quote = c;
    } else if (c == '/' && depth == 0) {
      // A regex literal runs to the next unescaped "/" (or the end of the text).
      std::size_t j = i + 1;
      while (j < s.size() && s[j] != '/') {
        if (s[j] == '\\') ++j;
        ++j;
      }
      i = j;
    } else if (c == '(') {
      ++depth;
    } else if (c == ')') {
      --depth;
    } else if (c == ',' && depth == 0) {
      finish(i);
      start = i + 1;
    }
  }
  finish(s.size());
}

// Text between the quotes of a string literal: \<quote> becomes the quote, then \\ becomes \,
// each as its own left-to-right pass. Other backslashes stay.
std::string unquote(std::string_view inner, char quote) {
  std::string once;
  once.reserve(inner.size());
  for (std::size_t i = 0; i < inner.size(); ++i) {
    if (inner[i] == '\\' && i + 1 < inner.size() && inner[i + 1] == quote) {
      once += quote;
      ++i;
    } else {
      once += inner[i];
    }
  }
  std::string out;
  out.reserve(once.size());
  for (std::size_t i = 0; i < once.size(); ++i) {
    out += once[i];
    if (once[i] == '\\' && i + 1 < once.size() && once[i + 1] == '\\') ++i;
  }
  return out;
}

// digit ( "_"? digit )* from s[i]; the digits go to `out`. Returns the end, or `i` when no
// digit starts there. An underscore not followed by a digit ends the run.
std::size_t scan_digits(std::string_view s, std::size_t i, std::string& out) {
  if (i >= s.size() || !is_digit(s[i])) return i;
  out += s[i++];
  while (i < s.size()) {
    if (is_digit(s[i])) {
      out += s[i++];
    } else if (s[i] == '_' && i + 1 < s.size() && is_digit(s[i + 1])) {
      out += s[i + 1];
      i += 2;
    } else {
      break;
    }
  }
  return i;
}

// [+-] digits, underscores between digits. An integer beyond 64 bits keeps its exact value as
// the text of its canonical decimal form (no "+", no leading zeros, no underscores), which is
// also how it would print.
std::optional<Value> parse_int(std::string_view s) {
  std::size_t i = 0;
  bool negative = false;
  if (!s.empty() && (s[0] == '+' || s[0] == '-')) {
    negative = s[0] == '-';
    ++i;
  }
  if (i >= s.size() || !is_digit(s[i])) return std::nullopt;
  std::string digits;
  if (scan_digits(s, i, digits) != s.size()) return std::nullopt;
  const std::size_t first = digits.find_first_not_of('0');
  if (first == std::string::npos) return Value(0);
  std::string text = negative ? "-" : "";
  text.append(digits, first);
  std::int64_t n = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), n);
  if (ec == std::errc() && end == text.data() + text.size()) return Value(n);
  return Value(std::move(text));
}

locale_t c_locale() {
  static const locale_t loc = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(nullptr));
  return loc;
}

// [+-] then digits with an optional fraction and exponent (".5", "5.", "1e3", "2.5E-4"),
// underscores between digits, or inf / infinity / nan in any case. Too large a value is inf,
// too small a one 0.0.
std::optional<double> parse_float(std::string_view s) {
  std::size_t i = 0;
  std::string clean;
  bool negative = false;
  if (!s.empty() && (s[0] == '+' || s[0] == '-')) {
    negative = s[0] == '-';
    clean += s[0];
    ++i;
  }
  if (i >= s.size()) return std::nullopt;
  const std::string_view rest = s.substr(i);
  if (!is_digit(rest[0]) && rest[0] != '.') {
    if (iequals(rest, "inf") || iequals(rest, "infinity")) {
      const double inf = std::numeric_limits<double>::infinity();
      return negative ? -inf : inf;
    }
    if (iequals(rest, "nan")) return std::numeric_limits<double>::quiet_NaN();
    return std::nullopt;
  }
  std::size_t end = scan_digits(s, i, clean);
  bool has_digits = end > i;
  i = end;
  if (i < s.size() && s[i] == '.') {
    clean += '.';
    end = scan_digits(s, ++i, clean);
    has_digits = has_digits || end > i;
    i = end;
  }
  if (!has_digits) return std::nullopt;
  if (i < s.size() && (s[i] == 'e' || s[i] == 'E')) {
    clean += 'e';
    ++i;
    if (i < s.size() && (s[i] == '+' || s[i] == '-')) clean += s[i++];
    end = scan_digits(s, i, clean);
    if (end == i) return std::nullopt;
    i = end;
  }
  if (i != s.size()) return std::nullopt;
  // strtod_l with the C locale: the decimal point is "." whatever the process locale says.
  return strtod_l(clean.c_str(), nullptr, c_locale());
}

const Value kEmptyText{std::string()};

// An evaluated argument: a parameter's value is borrowed from the mapping, anything computed
// is owned. Starts as the empty text.
class Operand {
 public:
  void borrow(const Value* v) { ref_ = v; }
  void own(Value v) {
    owned_ = std::move(v);
    ref_ = &owned_;
  }
  const Value& get() const { return *ref_; }

  Operand() = default;
  Operand(const Operand&) = delete;
  Operand& operator=(const Operand&) = delete;

 private:
  Value owned_;
  const Value* ref_ = &kEmptyText;
};

// No built-in reads more than four arguments; further ones are evaluated (their errors count)
// and dropped.
constexpr std::size_t kMaxReadArgs = 4;

// The arguments as a built-in sees them.
class Args {
 public:
  Args(std::size_t count, std::array<const Value*, kMaxReadArgs> values)
      : count_(count), values_(values) {}

  std::size_t size() const { return count_; }

  /// Argument k as evaluated, or nullptr when there is none.
  const Value* value(std::size_t k) const { return k < kMaxReadArgs ? values_[k] : nullptr; }

  /// Text form of argument k; empty when there is none. Valid while this Args lives.
  std::string_view text(std::size_t k) {
    const Value* v = value(k);
    if (v == nullptr) return {};
    if (v->is_string()) return v->as_string();
    scratch_[k] = to_text(*v);
    return scratch_[k];
  }

 private:
  std::size_t count_;
  std::array<const Value*, kMaxReadArgs> values_;
  std::array<std::string, kMaxReadArgs> scratch_;
};

// ---- built-ins ----

bool is_shell_safe(char c) {
  return is_letter(c) || is_digit(c) ||
         std::string_view("@%+=:,./-_").find(c) != std::string_view::npos;
}

void shell_quote(std::string& out, std::string_view s) {
  if (s.empty()) {
    out += "''";
    return;
  }
  bool safe = true;
  for (char c : s)
    safe = safe && is_shell_safe(c);
  if (safe) {
    out += s;
    return;
  }
  out += '\'';
  for (char c : s) {
    if (c == '\'') {
      out += "'\"'\"'";
    } else {
      out += c;
    }
  }
  out += '\'';
}

void json_escape(std::string& out, std::string_view s) {
  // One pass gives the same result as replacing \, ", \n, \r, \t, \b, \f one after another:
  // no replacement introduces a character a later one would touch.
  for (char c : s) {
    switch (c) {
      case '\\':
        out += "\\\\";
        break;
      case '"':
        out += "\\\"";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      case '\b':
        out += "\\b";
        break;
      case '\f':
        out += "\\f";
        break;
      default:
        out += c;
        break;
    }
  }
}

void trim_chars(std::string& out, std::string_view s, std::string_view chars) {
  const CharSet set(chars);
  std::size_t i = 0;
  while (i < s.size()) {
    const std::size_t n = char_len(s, i);
    if (!set.contains(s.substr(i, n))) break;
    i += n;
  }
  const std::size_t begin = i;
  std::size_t end = i;  // end of the last character not in the set
  while (i < s.size()) {
    const std::size_t n = char_len(s, i);
    if (!set.contains(s.substr(i, n))) end = i + n;
    i += n;
  }
  out += s.substr(begin, end - begin);
}

// Every character of `s` found in `chars` becomes before + character + after.
void surround_chars(std::string& out, std::string_view s, std::string_view chars,
                    std::string_view before, std::string_view after) {
  const CharSet set(chars);
  for (std::size_t i = 0; i < s.size();) {
    const std::size_t n = char_len(s, i);
    const std::string_view ch = s.substr(i, n);
    if (set.contains(ch)) {
      out += before;
      out += ch;
      out += after;
    } else {
      out += ch;
    }
    i += n;
  }
}

void replace_text(std::string& out, std::string_view s, std::string_view search,
                  std::string_view replacement) {
  if (search.empty()) {
    // Before every character and at the end.
    for (std::size_t i = 0; i < s.size();) {
      const std::size_t n = char_len(s, i);
      out += replacement;
      out += s.substr(i, n);
      i += n;
    }
    out += replacement;
    return;
  }
  std::size_t from = 0;
  for (std::size_t pos = s.find(search); pos != std::string_view::npos;
       pos = s.find(search, from)) {
    out += s.substr(from, pos - from);
    out += replacement;
    from = pos + search.size();
  }
  out += s.substr(from);
}

bool is_regex_shaped(const Value* v) {
  if (v == nullptr || !v->is_string()) return false;
  const std::string& s = v->as_string();
  return s.size() >= 3 && s.front() == '/' && s.back() == '/';
}

void replace(std::string& out, Args& args) {
  const std::string_view value = args.text(0);
  const std::string_view replacement = args.text(2);
  const Value* search = args.value(1);
  if (is_regex_shaped(search)) {
    const std::string& s = search->as_string();
    const std::string_view pattern = std::string_view(s).substr(1, s.size() - 2);
    out += Regex::cached(pattern)->substitute(value, replacement);
    return;
  }
  replace_text(out, value, args.text(1), replacement);
}

void run_builtin(Builtin fn, Args& args, std::string& out) {
  switch (fn) {
    case Builtin::Base64:
      out += base64_encode(args.text(0));
      return;
    case Builtin::ShellQuote:
      shell_quote(out, args.text(0));
      return;
    case Builtin::JsonEscape:
      json_escape(out, args.text(0));
      return;
    case Builtin::UrlEncode:
      out += percent_encode(args.text(0));
      return;
    case Builtin::Trim:
      if (args.size() < 2) {
        out += strip(args.text(0));
      } else {
        trim_chars(out, args.text(0), args.text(1));
      }
      return;
    case Builtin::Escape: {
      const std::string_view escape_text = args.size() >= 3 ? args.text(2) : "\\";
      surround_chars(out, args.text(0), args.text(1), escape_text, {});
      return;
    }
    case Builtin::Wrap:
      surround_chars(out, args.text(0), args.text(1), args.text(2), args.text(3));
      return;
    case Builtin::Replace:
      replace(out, args);
      return;
  }
}

void eval_operand(std::string_view raw, const Mapping& params, Operand& result);

// Evaluates the arguments left to right and appends the built-in's result to `out`.
void call_builtin(const Call& call, const Mapping& params, std::string& out) {
  std::array<Operand, kMaxReadArgs> operands;
  std::size_t count = 0;
  for_each_arg(call.args, [&](std::string_view piece) {
    if (count < kMaxReadArgs) {
      eval_operand(piece, params, operands[count]);
    } else {
      Operand ignored;
      eval_operand(piece, params, ignored);
    }
    ++count;
  });
  std::array<const Value*, kMaxReadArgs> values{};
  for (std::size_t k = 0; k < count && k < kMaxReadArgs; ++k)
    values[k] = &operands[k].get();
  Args args(count, values);
  run_builtin(call.fn, args, out);
}

// The argument rules, first that applies: quoted string, regex literal, integer, float,
// nested built-in call, parameter name; anything else is the empty text.
void eval_operand(std::string_view raw, const Mapping& params, Operand& result) {
  const std::string_view arg = strip(raw);
  if (arg.empty()) return;
  const char first = arg.front();
  if (arg.size() >= 2 && (first == '"' || first == '\'') && arg.back() == first) {
    result.own(Value(unquote(arg.substr(1, arg.size() - 2), first)));
    return;
  }
  if (arg.size() > 2 && first == '/' && arg.back() == '/') {
    result.own(Value(std::string(arg)));
    return;
  }
  if (std::optional<Value> n = parse_int(arg)) {
    result.own(std::move(*n));
    return;
  }
  if (std::optional<double> d = parse_float(arg)) {
    result.own(Value(*d));
    return;
  }
  if (std::optional<Call> call = match_builtin_call(arg)) {
    std::string text;
    call_builtin(*call, params, text);
    result.own(Value(std::move(text)));
    return;
  }
  if (is_identifier(arg)) {
    if (const Value* v = params.find(arg)) result.borrow(v);
  }
}

void append_text(std::string& out, const Value& v) {
  if (v.is_string()) {
    out += v.as_string();
  } else {
    out += to_text(v);
  }
}

// Appends the text form of one placeholder's (stripped) content.
void append_placeholder(std::string& out, std::string_view expr, const Mapping& params) {
  if (std::optional<Call> call = match_builtin_call(expr)) {
    call_builtin(*call, params, out);
    return;
  }
  if (!is_identifier(expr)) return;
  if (const Value* v = params.find(expr)) append_text(out, *v);
}

// Replaces each "{content}" (content non-empty, without braces) in one pass; replacement text
// is never scanned again, and every other brace is copied as it is.
void expand_placeholders(std::string& out, std::string_view text, const Mapping& params) {
  std::size_t pos = 0;
  while (pos < text.size()) {
    const std::size_t open = text.find('{', pos);
    if (open == std::string_view::npos) break;
    const std::size_t close = text.find_first_of("{}", open + 1);
    if (close == std::string_view::npos) break;
    if (text[close] == '{') {
      // No placeholder starts at `open`; the next one may start at `close`.
      out += text.substr(pos, close - pos);
      pos = close;
      continue;
    }
    if (close == open + 1) {
      out += text.substr(pos, close + 1 - pos);  // "{}" stays
      pos = close + 1;
      continue;
    }
    out += text.substr(pos, open - pos);
    append_placeholder(out, strip(text.substr(open + 1, close - open - 1)), params);
    pos = close + 1;
  }
  out += text.substr(pos);
}

void replace_marker(std::string& text, std::string_view run_dir) {
  std::size_t pos = text.find(kRunDirMarker);
  if (pos == std::string::npos) return;
  std::string out;
  out.reserve(text.size() + run_dir.size());
  std::size_t from = 0;
  for (; pos != std::string::npos; pos = text.find(kRunDirMarker, from)) {
    out.append(text, from, pos - from);
    out += run_dir;
    from = pos + kRunDirMarker.size();
  }
  out.append(text, from);
  text = std::move(out);
}

}  // namespace

const std::set<std::string, std::less<>> BUILTIN_FUNCTIONS = [] {
  std::set<std::string, std::less<>> names;
  for (const BuiltinName& b : kBuiltins)
    names.emplace(b.name);
  return names;
}();

std::string render(const Value& tmpl, const Mapping& params,
                   const std::optional<std::string>& run_dir) {
  if (tmpl.is_null()) return {};
  // A false-like template ("", False, 0, 0.0, an empty collection) comes back unchanged, as
  // its text form.
  if (!tmpl.truthy()) return to_text(tmpl);
  std::string converted;
  if (!tmpl.is_string()) converted = to_text(tmpl);
  const std::string_view text = tmpl.is_string() ? std::string_view(tmpl.as_string()) : converted;

  std::string out;
  out.reserve(text.size() + text.size() / 2);
  expand_placeholders(out, text, params);
  if (run_dir) replace_marker(out, *run_dir);
  return out;
}

namespace detail {

Value eval(std::string_view expr, const Mapping& params) {
  if (std::optional<Call> call = match_builtin_call(expr)) {
    std::string text;
    call_builtin(*call, params, text);
    return Value(std::move(text));
  }
  if (is_identifier(expr)) {
    if (const Value* v = params.find(expr)) return *v;
  }
  return kEmptyText;
}

std::vector<std::string_view> split_args(std::string_view s) {
  std::vector<std::string_view> pieces;
  for_each_arg(s, [&](std::string_view piece) { pieces.push_back(piece); });
  return pieces;
}

Value eval_arg(std::string_view arg, const Mapping& params) {
  Operand result;
  eval_operand(arg, params, result);
  return result.get();
}

std::string apply(std::string_view func, std::span<const Value> args) {
  const std::optional<Builtin> fn = find_builtin(func);
  if (!fn) return {};
  std::array<const Value*, kMaxReadArgs> values{};
  for (std::size_t k = 0; k < args.size() && k < kMaxReadArgs; ++k)
    values[k] = &args[k];
  Args view(args.size(), values);
  std::string out;
  run_builtin(*fn, view, out);
  return out;
}

}  // namespace detail

}  // namespace tolvan::tmpl
