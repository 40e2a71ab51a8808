// Alias files: YAML text into the value tree, then everything that runs on an alias definition
// at load time and per request. load_yaml may raise YamlError; every check after it must cope
// with any shape of definition without throwing.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <string>
#include <string_view>

#include "validator/validator.h"
#include "value/json.h"
#include "value/value.h"
#include "value/yaml.h"
#include "workspace/workspace.h"

namespace {

namespace v = tolvan::validator;

void fail(const char* what, std::string_view detail) {
  std::fprintf(stderr, "alias_yaml_fuzz: %s: %.*s\n", what, static_cast<int>(detail.size()),
               detail.data());
  std::abort();
}

// Request parameters made from the definition itself: every declared name with its default's
// text, plus one undeclared name, so validate_parameters and apply_defaults see real input.
tolvan::Value request_for(const tolvan::Value& definition) {
  tolvan::Mapping params;
  if (const tolvan::Value* declared = definition.find("parameters");
      declared != nullptr && declared->is_mapping()) {
    for (const auto& [name, pdef] : declared->as_mapping()) {
      const tolvan::Value* def = pdef.is_mapping() ? pdef.find("default") : nullptr;
      params.set(tolvan::Value(tolvan::to_text(name)),
                 tolvan::Value(def != nullptr ? tolvan::to_text(*def) : std::string()));
    }
  }
  params.set(tolvan::Value("undeclared"), tolvan::Value("x"));
  return params;
}

void check_definition(tolvan::Value definition, const tolvan::Value& max_timeout) {
  const v::Messages messages = v::validate_alias_definition(definition, max_timeout);
  if (definition.is_mapping() &&
      !definition.as_mapping().contains(std::string_view("_exit_code_map"))) {
    fail("validation did not set _exit_code_map", tolvan::to_literal(definition));
  }
  // Exit code mapping must yield a status for any code, valid definition or not.
  if (const tolvan::Value* map = definition.find("_exit_code_map"); map != nullptr) {
    for (std::int64_t code : {0, 1, 2, 127, 255, -9}) {
      const v::ExitStatus status = v::resolve_exit_status(*map, code);
      if (status.status < 200 || status.status > 599)
        fail("status out of range", tolvan::to_literal(*map));
    }
  }
  const tolvan::Value request = request_for(definition);
  const tolvan::Value defaulted = v::apply_defaults(request, definition);
  (void)v::validate_parameters(defaulted, definition);
  (void)v::validate_parameters(request, definition);
  if (const tolvan::Value* command = definition.find("command"); command != nullptr) {
    (void)v::extract_param_refs(*command);
  }
  (void)tolvan::workspace::needs_run_dir(definition);
  (void)tolvan::workspace::needs_external_dir(definition);
  (void)tolvan::workspace::needs_auto_dir(definition);
  if (messages.empty()) {
    // An accepted definition is printed in logs and listings.
    (void)tolvan::to_json(definition);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  tolvan::Value doc;
  try {
    doc = tolvan::load_yaml(text);
  } catch (const tolvan::YamlError&) {
    return 0;
  }
  (void)tolvan::to_literal(doc);
  (void)tolvan::to_json(doc);

  // The cap as the store passes it: none, or MaxTimeout seconds.
  const tolvan::Value max_timeout = size % 2 == 0 ? tolvan::Value() : tolvan::Value(30);
  if (doc.is_sequence()) {
    for (const tolvan::Value& item : doc.as_sequence())
      check_definition(item, max_timeout);
  } else {
    check_definition(doc, max_timeout);
  }
  return 0;
}
