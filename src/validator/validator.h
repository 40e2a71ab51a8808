#pragma once

// Validation: the alias definition format and its checks at load time, request parameter
// defaults and validation, and the exit code map that turns an exit code into an HTTP status.
//
// Failure: the checks (`validate_alias_definition`, `validate_parameters`) collect every problem
// as a message and never throw, whatever the shape of their input. `parse_exit_code_map`
// appends its problems to the caller's list; shadowed exit code map entries are logged as
// warnings on the "tolvan" logger and leave the definition valid. `resolve_exit_status` never
// fails: every exit code yields a status.
// Thread-safety: every function is a pure function of its arguments, except that
// `validate_alias_definition` writes `_exit_code_map` into the given definition (validate one
// definition on one thread at a time). Regular expressions come from the process-wide cache,
// so a validator pattern is compiled once however many requests use it.

#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "value/value.h"

namespace tolvan::validator {

/// Problems found by a check, in check order; empty means valid.
using Messages = std::vector<std::string>;

/// Accepted `mode` values of an alias definition (compared exactly).
inline const std::set<std::string> MODE_VALUES{"inline"};

// ---------------------------------------------------------------------------------------------
// Alias definitions

/// Checks one alias definition and returns every problem, in a fixed order; empty when valid.
/// Sets (adds or replaces) the definition's `_exit_code_map` key to the parsed exit code map
/// (see `parse_exit_code_map`), null when there is no `exitCodeMap`, also when the definition has
/// errors. `max_timeout` is the MaxTimeout cap in seconds: null means no cap, any number (0
/// included) is a cap; a value that is not a number is not a cap. A definition that is not a
/// mapping yields one message and is left untouched. Shadowed exit code map entries are logged
/// as warnings.
Messages validate_alias_definition(Value& alias_config, const Value& max_timeout = nullptr);

// ---------------------------------------------------------------------------------------------
// Request parameters

/// A new parameter mapping: a copy of `parameters` where every parameter whose definition has a
/// `default` and whose request value is missing or the empty text gets the default's string
/// form. Missing names are added at the end; a null request value is kept. Null `parameters`
/// counts as an empty mapping; any other non-mapping is returned unchanged (validation then
/// reports it).
Value apply_defaults(const Value& parameters, const Value& alias_config);

/// The problems of a request's parameters: missing mandatory ones (definition order), then
/// undeclared ones (request order), then values that do not fully match their validator
/// (request order). Invalid validator patterns are skipped here (alias validation reports them).
/// Null `parameters` counts as empty; any other non-mapping is one message.
Messages validate_parameters(const Value& parameters, const Value& alias_config);

/// The parameter names that the placeholders of a template mention, by a purely lexical scan of
/// every `{...}` block (calls of built-in functions excluded). Null and false-like values give
/// the empty set; other non-text values are scanned in their text form.
std::set<std::string> extract_param_refs(const Value& text);

/// The legacy input filter: `input_string` (its text form when not text) with every ";", "&&",
/// "||", "`", "$(", "${", "<" and ">" removed, one single pass per sequence, in that order.
std::string sanitize_input(const Value& input_string);

// ---------------------------------------------------------------------------------------------
// Exit code map
//
// Parsed form, stored in a definition under `_exit_code_map` and read by `resolve_exit_status`:
//   null                          no map (absent, or a shorthand that is not a valid status)
//   ["shorthand", <status>]       a two-element sequence: the text "shorthand" and an integer
//   ["map", [<entry>, ...]]       a two-element sequence: the text "map" and the valid entries
//                                 in declared order
// Each entry is a mapping with exactly these keys, in this order:
//   kind     text: "zero", "wildcard", "exact", "range", "from" or "to"
//   lo, hi   integers: the lowest and highest exit code covered
//   status   integer HTTP status (200-299, 400-499 or 500-599)
//   text     text or null: the reason phrase
//   raw_key  text: the key's text form as written ("1-5", "*", "404")

/// Parses an `exitCodeMap` field (null when absent). Problems are appended to `errors`;
/// entries that earlier entries shadow are logged as warnings naming `alias_name` (null shows
/// as None). Returns the parsed form above.
Value parse_exit_code_map(const Value& value, const Value& alias_name, Messages& errors);

/// An HTTP status and its reason phrase (nullopt: the HTTP layer's standard phrase).
struct ExitStatus {
  int status = 200;
  std::optional<std::string> text;

  friend bool operator==(const ExitStatus&, const ExitStatus&) = default;
};

/// The status for a completed execution's exit code, given a parsed exit code map (an alias's
/// `_exit_code_map`). Exit code 0 gives 200 without text unless the map has a "0" entry; any
/// other code goes to the shorthand, or the first covering entry, or else 422. Entries without
/// text get `exit_status_default_text`. A value that is not a parsed form counts as no map.
ExitStatus resolve_exit_status(const Value& exit_code_map, std::int64_t returncode);

/// "Command exited with code {returncode}".
std::string exit_status_default_text(std::int64_t returncode);

// ---------------------------------------------------------------------------------------------
// Building blocks shared with the layers above (the HTTP layer lists aliases with `is_required`).

namespace detail {

/// True when a parameter with this validator must be given: the pattern is present and not
/// empty and does not match the empty text. An invalid pattern (or one that is not text)
/// counts as required.
bool is_required(const Value& validator_pattern);

/// The string form of a default: true -> "true", false -> "false", anything else its text form.
std::string stringify(const Value& value);

/// The (field label, template text) pairs of every field of a definition that may hold
/// placeholders, in check order: process command and input file contents, environment values,
/// container volume contents, output sources that do not begin with "%". Fields of an
/// unexpected shape are skipped.
std::vector<std::pair<std::string, std::string>> placeholder_fields(const Value& alias_config);

/// True for an integer (not a boolean) from 200-299, 400-499 or 500-599.
bool is_valid_exit_status(const Value& value);

/// One value of the exit code map: an integer status, or a {status, text} mapping. Returns
/// (status, text) or nullopt after appending the problem to `errors` (an unexpected-keys message
/// is appended even when the value is accepted).
std::optional<ExitStatus> parse_exit_code_map_value(const Value& value, const std::string& label,
                                                    Messages& errors);

/// Logs a warning for every parsed entry that an earlier entry fully or partly shadows, except
/// a later entry that strictly extends an earlier one (a fallback). `entries` as in the parsed
/// form.
void warn_exit_code_map_overlaps(const Value& alias_name, const Sequence& entries);

/// The no-state object behind `validator`.
struct ValidatorCompat {
  Messages validate_parameters(const Value& parameters, const Value& alias_config) const {
    return validator::validate_parameters(parameters, alias_config);
  }
  Messages validate_alias_definition(Value& alias_config,
                                     const Value& max_timeout = nullptr) const {
    return validator::validate_alias_definition(alias_config, max_timeout);
  }
  Value apply_defaults(const Value& parameters, const Value& alias_config) const {
    return validator::apply_defaults(parameters, alias_config);
  }
  std::string sanitize_input(const Value& input_string) const {
    return validator::sanitize_input(input_string);
  }
};

}  // namespace detail

/// Lets callers write `validator.validate_parameters(...)`; each operation is exactly the free
/// function of the same name.
inline constexpr detail::ValidatorCompat validator{};

}  // namespace tolvan::validator
