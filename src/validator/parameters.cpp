// Request parameters: defaults, validation against the declared validators, and the lexical
// placeholder scan that alias validation uses to find undeclared parameters.

#include <array>
#include <string>
#include <string_view>

#include "validator/validator.h"
#include "value/regex.h"

namespace tolvan::validator {
namespace {

// The template language's built-in functions. A name from this list directly followed by "("
// is a call, not a parameter.
constexpr std::array<std::string_view, 8> BUILTIN_FUNCTIONS{
    "base64", "shell_quote", "json_escape", "url_encode", "trim", "escape", "wrap", "replace"};

bool is_builtin(std::string_view name) {
  for (std::string_view builtin : BUILTIN_FUNCTIONS) {
    if (builtin == name) return true;
  }
  return false;
}

bool is_identifier_start(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_';
}
bool is_identifier_char(char c) {
  return is_identifier_start(c) || (c >= '0' && c <= '9');
}

std::size_t identifier_end(std::string_view s, std::size_t start) {
  std::size_t i = start + 1;
  while (i < s.size() && is_identifier_char(s[i]))
    ++i;
  return i;
}

bool is_identifier(std::string_view s) {
  return !s.empty() && is_identifier_start(s[0]) && identifier_end(s, 0) == s.size();
}

// Adds the names one placeholder block mentions.
void scan_block(std::string_view content, std::set<std::string>& refs) {
  content = strip(content);
  if (is_identifier(content)) {
    refs.emplace(content);
    return;
  }
  std::size_t i = 0;
  while (i < content.size()) {
    if (!is_identifier_start(content[i])) {
      ++i;
      continue;
    }
    const std::size_t end = identifier_end(content, i);
    const std::string_view name = content.substr(i, end - i);
    const std::string_view rest = strip(content.substr(end));
    if (!(is_builtin(name) && !rest.empty() && rest.front() == '(')) refs.emplace(name);
    i = end;
  }
}

const Mapping& empty_mapping() {
  static const Mapping kEmpty;
  return kEmpty;
}

// A sequence field's elements; fields that are absent or of another shape give none.
const Sequence& sequence_or_empty(const Value* v) {
  static const Sequence kEmpty;
  return (v != nullptr && v->is_sequence()) ? v->as_sequence() : kEmpty;
}

const Mapping& mapping_or_empty(const Value* v) {
  return (v != nullptr && v->is_mapping()) ? v->as_mapping() : empty_mapping();
}

bool truthy(const Value* v) {
  return v != nullptr && v->truthy();
}

// An output source worth scanning: truthy and not a special value such as %stdOut.
void add_source(const Value& entry, std::string label,
                std::vector<std::pair<std::string, std::string>>& fields) {
  const Value* source = entry.find("source");
  if (!truthy(source)) return;
  std::string text = to_text(*source);
  if (text.starts_with('%')) return;
  fields.emplace_back(std::move(label), std::move(text));
}

}  // namespace

namespace detail {

bool is_required(const Value& validator_pattern) {
  if (!validator_pattern.truthy()) return false;
  if (!validator_pattern.is_string()) return true;
  try {
    return !Regex::cached(validator_pattern.as_string())->full_match("");
  } catch (const std::exception&) {
    return true;
  }
}

std::string stringify(const Value& value) {
  if (value.is_bool()) return value.as_bool() ? "true" : "false";
  return to_text(value);
}

std::vector<std::pair<std::string, std::string>> placeholder_fields(const Value& alias_config) {
  std::vector<std::pair<std::string, std::string>> fields;
  const Value* type = alias_config.find("type");
  const bool is_process = type != nullptr && type->is_string() && type->as_string() == "process";
  const bool is_container =
      type != nullptr && type->is_string() && type->as_string() == "container";

  if (is_process) {
    const Value* command = alias_config.find("command");
    if (truthy(command)) fields.emplace_back("command", to_text(*command));
    const Sequence& files = sequence_or_empty(alias_config.find("files"));
    for (std::size_t i = 0; i < files.size(); ++i) {
      const Value* content = files[i].find("content");
      if (!truthy(content)) continue;
      fields.emplace_back("files[" + std::to_string(i) + "].content", to_text(*content));
    }
  }
  for (const auto& [name, value] : mapping_or_empty(alias_config.find("environment"))) {
    if (value.is_mapping()) continue;
    fields.emplace_back("environment." + to_text(name), to_text(value));
  }
  if (is_container) {
    const Sequence& volumes = sequence_or_empty(alias_config.find("volumes"));
    for (std::size_t i = 0; i < volumes.size(); ++i) {
      const Value* content = volumes[i].find("content");
      if (!truthy(content)) continue;
      fields.emplace_back("volumes[" + std::to_string(i) + "].content", to_text(*content));
    }
  }
  const Mapping& output = mapping_or_empty(alias_config.find("output"));
  if (const Value* single = output.find("single_value");
      single != nullptr && single->is_mapping()) {
    add_source(*single, "output.single_value.source", fields);
  }
  const Sequence& multiple = sequence_or_empty(output.find("multiple_values"));
  for (std::size_t i = 0; i < multiple.size(); ++i) {
    if (!multiple[i].is_mapping()) continue;
    add_source(multiple[i], "output.multiple_values[" + std::to_string(i) + "].source", fields);
  }
  return fields;
}

}  // namespace detail

Value apply_defaults(const Value& parameters, const Value& alias_config) {
  if (!parameters.is_null() && !parameters.is_mapping()) return parameters;
  Mapping result = parameters.is_mapping() ? parameters.as_mapping() : Mapping{};
  for (const auto& [name, definition] : mapping_or_empty(alias_config.find("parameters"))) {
    const Value* default_value = definition.find("default");
    if (default_value == nullptr) continue;
    Value* current = result.find(name);
    if (current == nullptr) {
      result.set(name, detail::stringify(*default_value));
    } else if (current->is_string() && current->as_string().empty()) {
      *current = detail::stringify(*default_value);
    }
  }
  return result;
}

Messages validate_parameters(const Value& parameters, const Value& alias_config) {
  if (!parameters.is_null() && !parameters.is_mapping()) {
    return {"parameters must be a mapping, got " + to_literal(parameters)};
  }
  const Mapping& request = parameters.is_mapping() ? parameters.as_mapping() : empty_mapping();
  const Mapping& defined = mapping_or_empty(alias_config.find("parameters"));
  Messages messages;

  for (const auto& [name, definition] : defined) {
    const Value* pattern = definition.find("validator");
    if (pattern == nullptr || request.contains(name)) continue;
    if (detail::is_required(*pattern)) {
      messages.push_back("Missing required parameter: " + to_text(name));
    }
  }
  for (const auto& entry : request) {
    if (!defined.contains(entry.first)) {
      messages.push_back("Unexpected parameter: " + to_text(entry.first));
    }
  }
  for (const auto& [name, value] : request) {
    const Value* definition = defined.find(name);
    if (definition == nullptr) continue;
    const Value* pattern = definition->find("validator");
    if (pattern == nullptr || !pattern->is_string() || pattern->as_string().empty()) continue;
    std::shared_ptr<const Regex> re;
    try {
      re = Regex::cached(pattern->as_string());
    } catch (const std::exception&) {
      continue;  // reported when the alias was loaded
    }
    // Strings are matched in place: the common case allocates nothing.
    const bool matches =
        value.is_string() ? re->full_match(value.as_string()) : re->full_match(to_text(value));
    if (!matches) {
      messages.push_back("Parameter '" + to_text(name) + "' failed validation against " +
                         to_literal(*pattern));
    }
  }
  return messages;
}

std::set<std::string> extract_param_refs(const Value& text) {
  std::set<std::string> refs;
  if (!text.truthy()) return refs;
  const std::string owned = text.is_string() ? std::string() : to_text(text);
  const std::string_view s = text.is_string() ? std::string_view(text.as_string()) : owned;
  // Every non-overlapping "{...}" block with at least one character and no "}" inside.
  std::size_t pos = 0;
  while (true) {
    const std::size_t open = s.find('{', pos);
    if (open == std::string_view::npos) break;
    const std::size_t close = s.find('}', open + 1);
    if (close == std::string_view::npos) break;
    if (close == open + 1) {  // "{}" holds nothing; a later "{" may still open a block
      pos = open + 1;
      continue;
    }
    scan_block(s.substr(open + 1, close - open - 1), refs);
    pos = close + 1;
  }
  return refs;
}

std::string sanitize_input(const Value& input_string) {
  if (!input_string.is_string()) return to_text(input_string);
  std::string out = input_string.as_string();
  for (std::string_view seq : {";", "&&", "||", "`", "$(", "${", "<", ">"}) {
    std::string next;
    next.reserve(out.size());
    std::size_t pos = 0;
    while (true) {
      const std::size_t hit = out.find(seq, pos);
      if (hit == std::string::npos) break;
      next.append(out, pos, hit - pos);
      pos = hit + seq.size();
    }
    next.append(out, pos, std::string::npos);
    out = std::move(next);
  }
  return out;
}

}  // namespace tolvan::validator
