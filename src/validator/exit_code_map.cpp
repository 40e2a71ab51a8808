// The exit code map: its grammar, the shadowing warnings, and exit code resolution.

#include <algorithm>
#include <cstdint>
#include <limits>
#include <string>
#include <string_view>

#include "validator/validator.h"
#include "value/log.h"

namespace tolvan::validator {
namespace {

constexpr std::int64_t kMinCode = 1;
constexpr std::int64_t kMaxCode = 255;

// A run of decimal digits as read from a key. Leading zeros are allowed; numbers too large for
// an integer saturate, and `decimal` keeps their exact value for messages.
struct Number {
  std::int64_t value = 0;
  std::string decimal;
};

bool all_digits(std::string_view s) {
  return !s.empty() && std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; });
}

Number read_number(std::string_view digits) {
  const std::size_t first = digits.find_first_not_of('0');
  Number n;
  n.decimal = first == std::string_view::npos ? "0" : std::string(digits.substr(first));
  for (char c : n.decimal) {
    if (n.value > (std::numeric_limits<std::int64_t>::max() - 9) / 10) {
      n.value = std::numeric_limits<std::int64_t>::max();
      break;
    }
    n.value = n.value * 10 + (c - '0');
  }
  return n;
}

bool in_range(std::int64_t n) {
  return n >= kMinCode && n <= kMaxCode;
}

struct Key {
  std::string_view kind;
  std::int64_t lo = 0;
  std::int64_t hi = 0;
};

// Classifies a key's text form; nullopt after appending the problem to `errors`.
std::optional<Key> classify_key(const std::string& text, const Value& raw_key,
                                const std::string& label, Messages& errors) {
  if (text == "0") return Key{"zero", 0, 0};
  if (text == "*") return Key{"wildcard", kMinCode, kMaxCode};
  if (all_digits(text)) {
    const Number n = read_number(text);
    if (!in_range(n.value)) {
      errors.push_back(label + ": exit code " + n.decimal + " out of range 1-255");
      return std::nullopt;
    }
    return Key{"exact", n.value, n.value};
  }
  const std::size_t dash = text.find('-');
  if (dash != std::string::npos) {
    const std::string_view left = std::string_view(text).substr(0, dash);
    const std::string_view right = std::string_view(text).substr(dash + 1);
    if (all_digits(left) && all_digits(right)) {
      const Number a = read_number(left);
      const Number b = read_number(right);
      if (a.value == 0 || b.value == 0) {
        errors.push_back(label + ": range cannot start at 0 (use \"0\" to target exit code 0)");
        return std::nullopt;
      }
      if (!in_range(a.value) || !in_range(b.value)) {
        errors.push_back(label + ": range bounds must be within 1-255");
        return std::nullopt;
      }
      if (a.value > b.value) {
        errors.push_back(label + ": range start " + a.decimal + " is greater than end " +
                         b.decimal);
        return std::nullopt;
      }
      return Key{"range", a.value, b.value};
    }
    if (all_digits(left) && right.empty()) {
      const Number n = read_number(left);
      if (n.value == 0) {
        errors.push_back(label + ": range cannot start at 0 (use \"0\" to target exit code 0)");
        return std::nullopt;
      }
      if (!in_range(n.value)) {
        errors.push_back(label + ": range bound must be within 1-255");
        return std::nullopt;
      }
      return Key{"from", n.value, kMaxCode};
    }
    if (left.empty() && all_digits(right)) {
      const Number n = read_number(right);
      if (!in_range(n.value)) {
        errors.push_back(label + ": range bound must be within 1-255");
        return std::nullopt;
      }
      return Key{"to", kMinCode, n.value};
    }
  }
  errors.push_back("exitCodeMap: invalid key " + to_literal(raw_key));
  return std::nullopt;
}

// Orders the unexpected keys of a value mapping: numbers numerically, texts by code point, and
// keys of different kinds by kind, so mixed keys still come out in one stable order.
bool key_less(const Value& a, const Value& b) {
  const bool a_num = a.is_number();
  const bool b_num = b.is_number();
  if (a_num && b_num) return a.as_float() < b.as_float();
  if (a.is_string() && b.is_string()) return a.as_string() < b.as_string();
  const int ka = a_num ? static_cast<int>(Value::Kind::Int) : static_cast<int>(a.kind());
  const int kb = b_num ? static_cast<int>(Value::Kind::Int) : static_cast<int>(b.kind());
  if (ka != kb) return ka < kb;
  return to_text(a) < to_text(b);
}

std::string overlap_codes(std::int64_t lo, std::int64_t hi) {
  if (lo == hi) return std::to_string(lo);
  return std::to_string(lo) + "-" + std::to_string(hi);
}

// Reads an integer field of a stored entry.
std::optional<std::int64_t> int_field(const Value& entry, std::string_view key) {
  const Value* v = entry.find(key);
  if (v == nullptr || !v->is_int()) return std::nullopt;
  return v->as_int();
}

// The entry's reason phrase, or the default text when it has none (null or empty).
std::string entry_text(const Value& entry, std::int64_t returncode) {
  const Value* text = entry.find("text");
  if (text != nullptr && text->is_string() && !text->as_string().empty()) return text->as_string();
  return exit_status_default_text(returncode);
}

}  // namespace

namespace detail {

bool is_valid_exit_status(const Value& value) {
  if (!value.is_int()) return false;  // booleans are their own kind
  const std::int64_t n = value.as_int();
  return (n >= 200 && n <= 299) || (n >= 400 && n <= 499) || (n >= 500 && n <= 599);
}

std::optional<ExitStatus> parse_exit_code_map_value(const Value& value, const std::string& label,
                                                    Messages& errors) {
  if (value.is_mapping()) {
    Sequence unexpected;
    for (const auto& [key, item] : value.as_mapping()) {
      if (key.is_string() && (key.as_string() == "status" || key.as_string() == "text")) continue;
      unexpected.push_back(key);
    }
    if (!unexpected.empty()) {
      std::sort(unexpected.begin(), unexpected.end(), key_less);
      errors.push_back(label + ": unexpected key(s) " + to_literal(Value(std::move(unexpected))));
    }
    const Value* status = value.find("status");
    const Value* text = value.find("text");
    if (status == nullptr || status->is_null()) {
      errors.push_back(label + ": missing 'status'");
      return std::nullopt;
    }
    if (text != nullptr && !text->is_null() && !text->is_string()) {
      errors.push_back(label + ": 'text' must be a string");
      return std::nullopt;
    }
    if (!is_valid_exit_status(*status)) {
      errors.push_back(label + ": status must be a 3-digit 2xx/4xx/5xx HTTP status, got " +
                       to_literal(*status));
      return std::nullopt;
    }
    ExitStatus parsed{static_cast<int>(status->as_int()), std::nullopt};
    if (text != nullptr && text->is_string()) parsed.text = text->as_string();
    return parsed;
  }
  if (is_valid_exit_status(value))
    return ExitStatus{static_cast<int>(value.as_int()), std::nullopt};
  errors.push_back(label + ": must be an integer status or a {status, text} mapping, got " +
                   to_literal(value));
  return std::nullopt;
}

void warn_exit_code_map_overlaps(const Value& alias_name, const Sequence& entries) {
  struct Seen {
    std::int64_t lo;
    std::int64_t hi;
    std::string raw_key;
  };
  std::vector<Seen> seen;
  log::Logger& logger = log::get_logger("tolvan");
  for (const Value& entry : entries) {
    const std::optional<std::int64_t> lo = int_field(entry, "lo");
    const std::optional<std::int64_t> hi = int_field(entry, "hi");
    if (!lo || !hi) continue;
    const std::string raw_key = to_text(entry.get_or("raw_key", ""));
    for (const Seen& earlier : seen) {
      if (*lo > earlier.hi || earlier.lo > *hi) continue;
      const bool later_inside = earlier.lo <= *lo && *hi <= earlier.hi;
      const bool earlier_inside = *lo <= earlier.lo && earlier.hi <= *hi;
      // A wider entry after a narrower one is a fallback: it still applies outside the overlap.
      if (earlier_inside && !later_inside) continue;
      logger.warning("Alias '" + to_text(alias_name) + "': exitCodeMap entry '" + raw_key +
                     "' is unreachable for exit code(s) " +
                     overlap_codes(std::max(*lo, earlier.lo), std::min(*hi, earlier.hi)) +
                     " \u2014 already matched by earlier entry '" + earlier.raw_key + "'");
    }
    seen.push_back({*lo, *hi, raw_key});
  }
}

}  // namespace detail

Value parse_exit_code_map(const Value& value, const Value& alias_name, Messages& errors) {
  if (value.is_null()) return nullptr;
  if (!value.is_mapping()) {
    const std::optional<ExitStatus> parsed =
        detail::parse_exit_code_map_value(value, "exitCodeMap", errors);
    if (!parsed) return nullptr;
    return Sequence{"shorthand", parsed->status};
  }
  Sequence entries;
  for (const auto& [raw_key, raw_value] : value.as_mapping()) {
    const std::string key_text = to_text(raw_key);
    const std::string label = "exitCodeMap[" + to_literal(raw_key) + "]";
    const std::optional<Key> key = classify_key(key_text, raw_key, label, errors);
    if (!key) continue;  // the value of a rejected key is not examined
    const std::optional<ExitStatus> parsed =
        detail::parse_exit_code_map_value(raw_value, label, errors);
    if (!parsed) continue;
    entries.emplace_back(Mapping{
        {"kind", key->kind},
        {"lo", key->lo},
        {"hi", key->hi},
        {"status", parsed->status},
        {"text", parsed->text ? Value(*parsed->text) : Value()},
        {"raw_key", key_text},
    });
  }
  detail::warn_exit_code_map_overlaps(alias_name, entries);
  return Sequence{"map", std::move(entries)};
}

ExitStatus resolve_exit_status(const Value& exit_code_map, std::int64_t returncode) {
  const Value* form = exit_code_map.is_sequence() && exit_code_map.as_sequence().size() == 2
                          ? &exit_code_map.as_sequence()[0]
                          : nullptr;
  const Value* payload = form != nullptr ? &exit_code_map.as_sequence()[1] : nullptr;
  const bool is_shorthand =
      form != nullptr && form->is_string() && form->as_string() == "shorthand" && payload->is_int();
  const Sequence* entries =
      form != nullptr && form->is_string() && form->as_string() == "map" && payload->is_sequence()
          ? &payload->as_sequence()
          : nullptr;

  if (returncode == 0) {
    if (entries != nullptr) {
      for (const Value& entry : *entries) {
        const Value* kind = entry.find("kind");
        const std::optional<std::int64_t> status = int_field(entry, "status");
        if (kind == nullptr || !kind->is_string() || kind->as_string() != "zero" || !status) {
          continue;
        }
        return {static_cast<int>(*status), entry_text(entry, 0)};
      }
    }
    return {200, std::nullopt};  // a shorthand never applies to exit code 0
  }
  if (is_shorthand) {
    return {static_cast<int>(payload->as_int()), exit_status_default_text(returncode)};
  }
  if (entries != nullptr) {
    for (const Value& entry : *entries) {
      const Value* kind = entry.find("kind");
      if (kind != nullptr && kind->is_string() && kind->as_string() == "zero") continue;
      const std::optional<std::int64_t> lo = int_field(entry, "lo");
      const std::optional<std::int64_t> hi = int_field(entry, "hi");
      const std::optional<std::int64_t> status = int_field(entry, "status");
      if (!lo || !hi || !status || returncode < *lo || returncode > *hi) continue;
      return {static_cast<int>(*status), entry_text(entry, returncode)};
    }
  }
  return {422, exit_status_default_text(returncode)};
}

std::string exit_status_default_text(std::int64_t returncode) {
  return "Command exited with code " + std::to_string(returncode);
}

}  // namespace tolvan::validator
