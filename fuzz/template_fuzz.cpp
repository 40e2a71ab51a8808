// The template renderer on arbitrary templates and parameter values. The only error render may
// raise is RegexError (from `replace`); anything else is a finding. Besides not crashing, the
// quoting built-ins must be reversible: shell_quote output must read back, under POSIX shell
// quoting rules, as exactly the value given, and url_encode output must decode to it.

#include <fuzzer/FuzzedDataProvider.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>

#include "template/template.h"
#include "value/regex.h"
#include "value/value.h"

namespace {

void fail(const char* what, std::string_view detail) {
  std::fprintf(stderr, "template_fuzz: %s: %.*s\n", what, static_cast<int>(detail.size()),
               detail.data());
  std::abort();
}

std::string replace_all(std::string text, std::string_view from, std::string_view to) {
  for (std::size_t at = text.find(from); at != std::string::npos;
       at = text.find(from, at + to.size())) {
    text.replace(at, from.size(), to);
  }
  return text;
}

bool is_shell_safe(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
         std::string_view("@%+=:,./-_").find(c) != std::string_view::npos;
}

// What a POSIX shell makes of one word built only from safe characters, '...' strings and
// "'" strings; nullopt when the word holds anything else (which the shell would interpret).
std::optional<std::string> shell_unquote(std::string_view word) {
  std::string out;
  for (std::size_t i = 0; i < word.size();) {
    if (word[i] == '\'') {
      const std::size_t close = word.find('\'', i + 1);
      if (close == std::string_view::npos) return std::nullopt;
      out.append(word.substr(i + 1, close - i - 1));
      i = close + 1;
    } else if (word.substr(i, 3) == "\"'\"") {
      out += '\'';
      i += 3;
    } else if (is_shell_safe(word[i])) {
      out += word[i++];
    } else {
      return std::nullopt;
    }
  }
  return out;
}

std::optional<std::string> percent_decode_strict(std::string_view text) {
  auto hex = [](char c) -> int {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
  };
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '%') {
      if (i + 2 >= text.size() || hex(text[i + 1]) < 0 || hex(text[i + 2]) < 0) return std::nullopt;
      out += static_cast<char>(hex(text[i + 1]) * 16 + hex(text[i + 2]));
      i += 2;
    } else if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
               c == '_' || c == '.' || c == '-' || c == '~') {
      out += c;
    } else {
      return std::nullopt;
    }
  }
  return out;
}

void check_quoting(const tolvan::Mapping& params, const std::string& value) {
  const std::string quoted = tolvan::tmpl::render(tolvan::Value("{shell_quote(a)}"), params);
  if (value.empty() && quoted != "''") fail("shell_quote of empty text", quoted);
  const auto unquoted = shell_unquote(quoted);
  if (!unquoted || *unquoted != value) fail("shell_quote does not read back", quoted);

  const std::string encoded = tolvan::tmpl::render(tolvan::Value("{url_encode(a)}"), params);
  const auto decoded = percent_decode_strict(encoded);
  if (!decoded || *decoded != value) fail("url_encode does not decode back", encoded);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider in(data, size);
  const std::string tmpl = in.ConsumeRandomLengthString(1024);
  std::optional<std::string> run_dir;
  if (in.ConsumeBool()) run_dir = "/srv/shared/" + in.ConsumeRandomLengthString(32);
  tolvan::Mapping params;
  for (const char* name : {"a", "b", "p", "v", "x", "nan"}) {
    params.set(tolvan::Value(name), tolvan::Value(in.ConsumeRandomLengthString(128)));
  }
  const std::string a = params.find("a")->as_string();

  try {
    const std::string out = tolvan::tmpl::render(tolvan::Value(tmpl), params, run_dir);
    // Without a placeholder opening, only the run-directory marker can change.
    if (tmpl.find('{') == std::string::npos) {
      const std::string expected = run_dir ? replace_all(tmpl, "%sharedDir", *run_dir) : tmpl;
      if (out != expected) fail("plain text changed", tmpl);
    }
  } catch (const tolvan::RegexError&) {
    // A bad pattern or substitution template in replace(): documented.
  }
  check_quoting(params, a);
  return 0;
}
