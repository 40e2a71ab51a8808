#pragma once

// The template language of alias definitions: plain text in which `{name}` is replaced by a
// request parameter and `{func(arg, ...)}` by the result of one of the built-in functions
// (base64, shell_quote, json_escape, url_encode, trim, escape, wrap, replace). Arguments may
// be parameters, quoted strings, /regex/ literals, numbers or nested calls. "%sharedDir" is
// replaced by the run directory when the caller passes one.
//
// Failure: an unknown parameter, an unknown function or a malformed placeholder renders as
// empty text. The only errors are RegexError from `replace` (invalid pattern, or an invalid
// substitution template such as an unknown group or a bad escape); nothing is rendered then.
// Parameter values are never quoted or escaped by the engine itself.
// Thread-safety: pure functions over their arguments and immutable constants; call them from
// any thread without locking.

#include <functional>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "value/value.h"

namespace tolvan::tmpl {

/// The names a placeholder may call; any other name renders as empty text.
extern const std::set<std::string, std::less<>> BUILTIN_FUNCTIONS;

/// Renders `tmpl` (normally a string; another value is taken in its text form, null gives the
/// empty text) with `params`, then replaces every "%sharedDir" by `run_dir` when given.
/// Throws RegexError when a `replace` call has an invalid pattern or substitution template.
std::string render(const Value& tmpl, const Mapping& params,
                   const std::optional<std::string>& run_dir = std::nullopt);

// The steps of `render`, public for tests.
namespace detail {

/// The value of one placeholder's content (already stripped): a built-in call's result, a
/// parameter's value as stored, or the empty text.
Value eval(std::string_view expr, const Mapping& params);

/// Splits a call's raw argument text at the commas outside quotes, parentheses and /regex/
/// literals. Pieces are stripped and empty ones dropped; quotes, backslashes and slashes stay.
std::vector<std::string_view> split_args(std::string_view s);

/// The value of one raw argument: a quoted string (unescaped), a /regex/ literal (kept whole),
/// an integer, a float, a nested built-in call, a parameter's value, or else the empty text.
/// An integer beyond 64 bits becomes the text of its canonical decimal form.
Value eval_arg(std::string_view arg, const Mapping& params);

/// Applies built-in `func` to evaluated arguments: missing ones count as empty text, surplus
/// ones are ignored; an unknown name gives the empty text.
std::string apply(std::string_view func, std::span<const Value> args);

}  // namespace detail

}  // namespace tolvan::tmpl
