// Alias definition validation: every field of a definition, checked in a fixed order, every
// problem reported. The messages are read by operators, so their texts never change.

#include <memory>
#include <string>
#include <string_view>

#include "fetcher/fetcher.h"
#include "preserve/preserve.h"
#include "validator/validator.h"
#include "value/regex.h"

namespace tolvan::validator {
namespace {

// "Present and not empty": present and not null, empty, false or 0.
bool truthy(const Value* v) {
  return v != nullptr && v->truthy();
}
bool is_set(const Value* v) {
  return v != nullptr && !v->is_null();
}

std::string literal(const Value* v) {
  return v == nullptr ? "None" : to_literal(*v);
}

template <class Set>
bool contains(const Set& set, const std::string& word) {
  return set.find(word) != set.end();
}

template <class Set>
std::string values_literal(const Set& set) {
  return sorted_literal(std::vector<std::string>(set.begin(), set.end()));
}

bool has_separator(std::string_view text) {
  return text.find('/') != std::string_view::npos || text.find('\\') != std::string_view::npos;
}

std::string indexed(std::string_view field, std::size_t i) {
  return std::string(field) + "[" + std::to_string(i) + "]";
}

const Sequence& sequence_or_empty(const Value* v) {
  static const Sequence kEmpty;
  return (v != nullptr && v->is_sequence()) ? v->as_sequence() : kEmpty;
}

const Mapping& mapping_or_empty(const Value* v) {
  static const Mapping kEmpty;
  return (v != nullptr && v->is_mapping()) ? v->as_mapping() : kEmpty;
}

class AliasChecker {
 public:
  AliasChecker(const Value& alias, Messages& messages) : alias_(alias), messages_(messages) {}

  void check_name() {
    const Value* name = field("name");
    if (!truthy(name)) {
      add("missing mandatory field 'name'");
    } else if (!name->is_string()) {
      add("'name' must be a string, got " + literal(name));
    }
  }

  void check_type() {
    const Value* type = field("type");
    if (!truthy(type)) {
      add("missing mandatory field 'type'");
      return;
    }
    if (!is_text(type, "process") && !is_text(type, "container")) {
      add("type must be 'process' or 'container', got " + literal(type));
    }
  }

  void check_mode() {
    const Value* mode = field("mode");
    if (!truthy(mode)) {
      add("missing mandatory field 'mode'");
      return;
    }
    if (!mode->is_string() || !contains(MODE_VALUES, mode->as_string())) {
      add("mode must be one of " + values_literal(MODE_VALUES) + ", got " + literal(mode));
    }
  }

  void check_parameters() {
    const Value* parameters = field("parameters");
    if (truthy(parameters) && !parameters->is_mapping()) {
      add("'parameters' must be a mapping, got " + literal(parameters));
      return;
    }
    for (const auto& [name, definition] : mapping_or_empty(parameters)) {
      check_parameter(to_text(name), definition);
    }
  }

  void check_container() {
    const Value* image = field("image");
    if (!truthy(image)) {
      add("container alias missing mandatory field 'image'");
    } else if (!image->is_string()) {
      add("'image' must be a string, got " + literal(image));
    } else if (!extract_param_refs(*image).empty()) {
      add("'image' cannot reference parameters");
    }
    check_text_field("command");
    check_policy("refreshImage", fetcher::REFRESH_IMAGE_VALUES);
    check_policy("prefetchImage", fetcher::PREFETCH_IMAGE_VALUES);
    check_volumes();
  }

  void check_process() {
    if (!truthy(field("command"))) {
      add("process alias missing mandatory field 'command'");
    } else {
      check_text_field("command");
    }
    if (field("refreshImage") != nullptr) {
      add("'refreshImage' is only valid for container-type aliases");
    }
    if (field("prefetchImage") != nullptr) {
      add("'prefetchImage' is only valid for container-type aliases");
    }
    check_files();
  }

  void check_preserve_streams() {
    const Value* value = field("preserveStreams");
    if (value == nullptr || value->is_null() || value->is_bool()) return;
    if (!value->is_sequence()) {
      add("'preserveStreams' must be a boolean or a list of stream entries, got " + literal(value));
      return;
    }
    std::set<std::string> seen;
    const Sequence& entries = value->as_sequence();
    for (std::size_t i = 0; i < entries.size(); ++i) {
      const std::string where = indexed("preserveStreams", i);
      const Value& entry = entries[i];
      if (!entry.is_mapping()) {
        add(where + " must be a mapping");
        continue;
      }
      const Value* stream = entry.find("stream");
      if (stream != nullptr && stream->is_string() &&
          contains(preserve::STREAM_NAMES, stream->as_string())) {
        if (!seen.insert(stream->as_string()).second) {
          add("preserveStreams: duplicate stream " + literal(stream));
        }
      } else {
        add(where + ": 'stream' must be one of " + values_literal(preserve::STREAM_NAMES) +
            ", got " + literal(stream));
      }
      const Value* filename = entry.find("filename");
      if (is_set(filename)) {
        if (!filename->is_scalar()) {
          add(where + ": 'filename' must be a string, got " + literal(filename));
        } else {
          const std::string text = to_text(*filename);
          if (!extract_param_refs(text).empty()) {
            add(where + ": 'filename' must be a fixed literal string (no parameter placeholders)");
          }
          if (has_separator(text)) add(where + ": 'filename' cannot contain '/' or '\\\\'");
        }
      }
      const Value* flatten = entry.find("flatten");
      if (is_set(flatten) && !flatten->is_bool()) {
        add(where + ": 'flatten' must be a boolean, got " + literal(flatten));
      }
    }
  }

  void check_environment() {
    const Value* environment = field("environment");
    if (truthy(environment) && !environment->is_mapping()) {
      add("'environment' must be a mapping, got " + literal(environment));
      return;
    }
    for (const auto& [name, value] : mapping_or_empty(environment)) {
      const std::string env_name = to_text(name);
      if (!extract_param_refs(env_name).empty()) {
        add("environment variable name '" + env_name +
            "' must be a fixed string (no parameter placeholders)");
      }
      if (value.is_mapping()) {
        add("environment variable '" + env_name +
            "' value must be a plain scalar (e.g. MY_VAR: \"value\"), not a mapping");
      } else if (value.is_sequence()) {
        add("environment variable '" + env_name + "' value must be a plain scalar, got " +
            to_literal(value));
      }
    }
  }

  void check_output() {
    const Value* output = field("output");
    if (!truthy(output)) {
      add("missing mandatory field 'output'");
      return;
    }
    if (!output->is_mapping()) {
      add("'output' must be a mapping, got " + literal(output));
      return;
    }
    const bool has_single = output->as_mapping().contains("single_value");
    const bool has_multiple = output->as_mapping().contains("multiple_values");
    if (has_single && has_multiple) {
      add("output cannot define both 'single_value' and 'multiple_values'");
      return;
    }
    if (!has_single && !has_multiple) {
      add("output must define either 'single_value' or 'multiple_values'");
      return;
    }
    if (has_single) {
      const Value* single = output->find("single_value");
      if (!single->is_mapping()) {
        add("output.single_value must be a mapping");
        return;
      }
      check_required_text(*single, "output.single_value", "source", " missing 'source'");
      check_required_text(*single, "output.single_value", "content-type",
                          " missing 'content-type'");
      return;
    }
    const Value* multiple = output->find("multiple_values");
    if (!multiple->is_sequence()) {
      add("output.multiple_values must be a list");
      return;
    }
    const Sequence& entries = multiple->as_sequence();
    for (std::size_t i = 0; i < entries.size(); ++i) {
      const std::string where = indexed("output.multiple_values", i);
      if (!entries[i].is_mapping()) {
        add(where + " must be a mapping");
        continue;
      }
      check_required_text(entries[i], where, "parameter_name", " missing 'parameter_name'");
      check_required_text(entries[i], where, "source", " missing 'source'");
    }
  }

  void check_timeout(const Value& max_timeout) {
    const Value* timeout = field("timeout");
    if (!is_set(timeout)) return;
    // A boolean counts as the integer 1 or 0.
    const bool is_integer = timeout->is_int() || timeout->is_bool();
    const std::int64_t seconds =
        timeout->is_bool() ? (timeout->as_bool() ? 1 : 0) : (is_integer ? timeout->as_int() : 0);
    if (!is_integer || seconds <= 0) {
      add("timeout must be a positive integer, got " + literal(timeout));
      return;
    }
    if (exceeds(seconds, max_timeout)) {
      add("timeout " + to_text(*timeout) + " exceeds MaxTimeout " + to_text(max_timeout));
    }
  }

  void check_references() {
    std::set<std::string> declared;
    for (const auto& entry : mapping_or_empty(field("parameters"))) {
      if (entry.first.is_string()) declared.insert(entry.first.as_string());
    }
    for (const auto& [label, text] : detail::placeholder_fields(alias_)) {
      std::vector<std::string> undefined;
      for (const std::string& ref : extract_param_refs(text)) {
        if (!declared.contains(ref)) undefined.push_back(ref);
      }
      if (!undefined.empty()) {
        add("'" + label +
            "' references undefined parameters: " + sorted_literal(std::move(undefined)));
      }
    }
  }

 private:
  const Value* field(std::string_view key) const { return alias_.find(key); }
  void add(std::string message) { messages_.push_back(std::move(message)); }

  static bool is_text(const Value* v, std::string_view text) {
    return v != nullptr && v->is_string() && v->as_string() == text;
  }

  static bool exceeds(std::int64_t seconds, const Value& cap) {
    if (cap.is_bool()) return seconds > (cap.as_bool() ? 1 : 0);
    if (cap.is_int()) return seconds > cap.as_int();
    if (cap.is_float()) return static_cast<double>(seconds) > cap.as_float();
    return false;  // null (no cap) or not a number
  }

  // A field that, when given, must be text (a container alias's optional command).
  void check_text_field(std::string_view key) {
    const Value* value = field(key);
    if (truthy(value) && !value->is_string()) {
      std::string message = "'";
      message.append(key).append("' must be a string, got ").append(literal(value));
      add(std::move(message));
    }
  }

  // A mandatory, non-empty text field of an output entry.
  void check_required_text(const Value& entry, const std::string& where, std::string_view key,
                           std::string_view missing) {
    const Value* value = entry.find(key);
    if (!truthy(value)) {
      add(where + std::string(missing));
    } else if (!value->is_string()) {
      add(where + " '" + std::string(key) + "' must be a string, got " + literal(value));
    }
  }

  void check_parameter(const std::string& pname, const Value& definition) {
    const std::string where = "parameter '" + pname + "'";
    if (!definition.is_mapping()) {
      add(where + " must be a mapping");
      return;
    }
    const Value* pattern = definition.find("validator");
    std::shared_ptr<const Regex> re;
    if (truthy(pattern)) {
      if (!pattern->is_string()) {
        add(where + " has invalid regex: validator must be a string, got " + literal(pattern));
      } else {
        try {
          re = Regex::cached(pattern->as_string());
        } catch (const std::exception& e) {
          add(where + " has invalid regex: " + e.what());
        }
      }
    }
    const Value* default_value = definition.find("default");
    if (default_value == nullptr) return;
    if (detail::is_required(pattern != nullptr ? *pattern : Value())) {
      add(where + " has 'default' but is mandatory (validator does not accept empty string)");
      return;
    }
    if (!default_value->is_scalar()) {
      add(where + " 'default' must be a scalar, got " + literal(default_value));
      return;
    }
    if (re == nullptr) return;  // no validator: every default fits
    if (!re->full_match(detail::stringify(*default_value))) {
      add(where + " has 'default' value " + literal(default_value) +
          " that does not match its own validator " + literal(pattern));
    }
  }

  template <class Set>
  void check_policy(std::string_view key, const Set& values) {
    const Value* value = field(key);
    if (!is_set(value)) return;
    // YAML 1.1 reads a plain `no` as the boolean false: that is the policy "no", as the
    // effective-policy lookup reads it too.
    if (value->is_bool() && !value->as_bool()) return;
    if (contains(values, to_lower(to_text(*value)))) return;
    add(std::string(key) + " must be one of " + values_literal(values) + ", got " + literal(value));
  }

  void check_files() {
    const Value* files = field("files");
    if (truthy(files) && !files->is_sequence()) {
      add("'files' must be a list, got " + literal(files));
      return;
    }
    const Sequence& entries = sequence_or_empty(files);
    for (std::size_t i = 0; i < entries.size(); ++i) {
      const std::string where = indexed("files", i);
      const Value& entry = entries[i];
      if (!entry.is_mapping()) {
        add(where + " must be a mapping");
        continue;
      }
      const Value* location = entry.find("location");
      if (!truthy(location)) {
        add(where + " missing mandatory field 'location'");
        continue;
      }
      if (!location->is_scalar()) {
        add(where + " 'location' must be a string, got " + literal(location));
      } else if (to_text(*location).starts_with('/')) {
        add(where + " 'location' must be a relative path, got absolute: " + literal(location));
      }
      const Value* content = entry.find("content");
      if (is_set(content) && !content->is_scalar()) {
        add(where + " 'content' must be a string, got " + literal(content));
      }
    }
  }

  void check_volumes() {
    const Value* volumes = field("volumes");
    if (truthy(volumes) && !volumes->is_sequence()) {
      add("'volumes' must be a list, got " + literal(volumes));
      return;
    }
    const Sequence& entries = sequence_or_empty(volumes);
    for (std::size_t i = 0; i < entries.size(); ++i) {
      if (entries[i].is_mapping()) check_volume(indexed("volumes", i), entries[i]);
    }
  }

  void check_volume(const std::string& where, const Value& entry) {
    const Value* source = entry.find("source");
    const Value* location = entry.find("location");
    const Value* content = entry.find("content");
    const Value* mode = entry.find("mode");
    bool is_absolute = false;
    if (is_set(source) && !source->is_string()) {
      add(where + ": 'source' must be a string, got " + literal(source));
    } else if (is_set(source)) {
      const std::string& path = source->as_string();
      is_absolute = path.starts_with('/');
      const bool source_is_dir = path.ends_with('/');
      const bool location_is_dir =
          location != nullptr && location->is_string() && location->as_string().ends_with('/');
      if (source_is_dir != location_is_dir) {
        add(where + ": 'location' and 'source' must both end with '/' (directory) or neither " +
            "(file)");
      }
      if (is_set(content) && (source_is_dir || is_absolute)) {
        add(where + ": 'content' is not allowed when source is " +
            (source_is_dir ? "a directory" : "an absolute path"));
      }
      if (is_absolute && is_set(mode) && !is_text(mode, "ro")) {
        add(where + ": absolute source requires mode 'ro', got " + literal(mode));
      }
    }
    if (is_set(location) && !location->is_scalar()) {
      add(where + ": 'location' must be a string, got " + literal(location));
    }
    if (is_set(content) && !content->is_scalar()) {
      add(where + ": 'content' must be a string, got " + literal(content));
    }
    if (!is_absolute && is_set(mode) && !mode->is_scalar()) {
      add(where + ": 'mode' must be a string, got " + literal(mode));
    }

    const Value* preserve = entry.find("preserve");
    bool preserve_disabled = true;
    if (is_set(preserve)) {
      const std::string norm = to_lower(to_text(*preserve));
      if (!contains(preserve::PRESERVE_VALUES, norm)) {
        add(where + ": 'preserve' must be one of " + values_literal(preserve::PRESERVE_VALUES) +
            ", got " + literal(preserve));
        preserve_disabled = false;
      } else {
        preserve_disabled = norm == "none" || norm == "false";
        if (is_absolute && !preserve_disabled) {
          add(where + ": 'preserve' is not applicable to an absolute-path source");
        }
      }
    }

    const Value* prefix = entry.find("preservePrefix");
    if (!is_set(prefix)) return;
    if (preserve_disabled) {
      add(where + ": 'preservePrefix' is not allowed when 'preserve' is 'none'/'false' or unset");
    }
    if (!prefix->is_scalar()) {
      add(where + ": 'preservePrefix' must be a string, got " + literal(prefix));
      return;
    }
    const std::string text = to_text(*prefix);
    if (!extract_param_refs(text).empty()) {
      add(where + ": 'preservePrefix' must be a fixed literal string (no parameter placeholders)");
    }
    if (has_separator(text)) add(where + ": 'preservePrefix' cannot contain '/' or '\\\\'");
  }

  const Value& alias_;
  Messages& messages_;
};

}  // namespace

Messages validate_alias_definition(Value& alias_config, const Value& max_timeout) {
  if (!alias_config.is_mapping()) {
    return {"alias definition must be a mapping, got " + to_literal(alias_config)};
  }
  Messages messages;
  AliasChecker checker(alias_config, messages);
  checker.check_name();
  checker.check_type();
  checker.check_mode();
  checker.check_parameters();
  const Value* type = alias_config.find("type");
  if (type != nullptr && type->is_string() && type->as_string() == "container") {
    checker.check_container();
  } else if (type != nullptr && type->is_string() && type->as_string() == "process") {
    checker.check_process();
  }
  checker.check_preserve_streams();

  Value parsed = parse_exit_code_map(alias_config.get_or("exitCodeMap", nullptr),
                                     alias_config.get_or("name", nullptr), messages);
  alias_config.as_mapping().set("_exit_code_map", std::move(parsed));

  checker.check_environment();
  checker.check_output();
  checker.check_timeout(max_timeout);
  checker.check_references();
  return messages;
}

}  // namespace tolvan::validator
