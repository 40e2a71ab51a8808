#include "preserve/preserve.h"

namespace tolvan::preserve {

std::string normalize_preserve(const Value& value) {
  if (value.is_null()) return "none";
  return to_lower(to_text(value));
}

bool is_preserve_enabled(const Value& value) {
  return !detail::DISABLED_VALUES.contains(normalize_preserve(value));
}

Sequence expand_preserve_streams(const Value& raw) {
  if (raw.is_null()) return {};
  if (raw.is_bool()) {
    if (!raw.as_bool()) return {};
    Sequence entries;
    // std::set iterates in ascending order: stderr, then stdout.
    for (const std::string& name : STREAM_NAMES) entries.emplace_back(Mapping{{"stream", name}});
    return entries;
  }
  if (raw.is_sequence()) return raw.as_sequence();
  // No other shape passes alias validation; nothing to preserve.
  return {};
}

}  // namespace tolvan::preserve
