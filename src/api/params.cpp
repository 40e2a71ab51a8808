// Request parameters: query strings, form bodies and JSON bodies into one mapping.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "api/internal/handlers.h"
#include "value/value.h"

namespace tolvan::api::detail {

namespace {

int hex_digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}


// What a JSON body holds: its top-level members in order, each value as parameter text, or
// nullopt for a value that cannot be a parameter (null, array, object). Nested containers are
// only counted, never built, so any depth is cheap.
class BodyReader : public nlohmann::json_sax<nlohmann::json> {
 public:
  using Members = std::vector<std::pair<std::string, std::optional<std::string>>>;

  bool null() override { return scalar(std::nullopt); }
  bool boolean(bool b) override { return scalar(std::string(b ? "true" : "false")); }
  bool number_integer(number_integer_t i) override { return scalar(std::to_string(i)); }
  bool number_unsigned(number_unsigned_t u) override { return scalar(std::to_string(u)); }
  // The number exactly as the client wrote it.
  bool number_float(number_float_t, const string_t& raw) override { return scalar(raw); }
  bool string(string_t& s) override { return scalar(std::move(s)); }
  bool binary(binary_t&) override { return false; }
  bool start_object(std::size_t) override { return open(true); }
  bool end_object() override { return close(); }
  bool start_array(std::size_t) override { return open(false); }
  bool end_array() override { return close(); }
  bool key(string_t& k) override {
    if (depth_ == 1) key_ = std::move(k);
    return true;
  }
  bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception&) override {
    return false;
  }

  bool is_object() const { return top_is_object_; }
  Members& members() { return members_; }

 private:
  bool scalar(std::optional<std::string> text) {
    if (depth_ == 0) return true;  // a top-level scalar: not an object
    if (depth_ == 1) members_.emplace_back(std::move(key_), std::move(text));
    return true;
  }
  bool open(bool object) {
    if (depth_ == 0) top_is_object_ = object;
    if (depth_ == 1) members_.emplace_back(std::move(key_), std::nullopt);
    ++depth_;
    return true;
  }
  bool close() {
    --depth_;
    return true;
  }

  std::size_t depth_ = 0;
  bool top_is_object_ = false;
  std::string key_;
  Members members_;
};

// Adds one parameter; false (with `error` set) when the name is already there.
bool add_parameter(ParsedParameters& out, std::string name, std::string value) {
  if (out.parameters.contains(std::string_view(name))) {
    out.status = 400;
    out.error = "Duplicate parameter: " + name;
    return false;
  }
  out.parameters.set(Value(std::move(name)), Value(std::move(value)));
  return true;
}

bool add_form(ParsedParameters& out, std::string_view text) {
  while (!text.empty()) {
    const std::size_t amp = text.find('&');
    const std::string_view pair = text.substr(0, amp);
    text = amp == std::string_view::npos ? std::string_view() : text.substr(amp + 1);
    if (pair.empty()) continue;
    const std::size_t eq = pair.find('=');
    const std::string_view raw_name = pair.substr(0, eq);
    const std::string_view raw_value =
        eq == std::string_view::npos ? std::string_view() : pair.substr(eq + 1);
    if (!add_parameter(out, utf8_replace_invalid(percent_decode(raw_name, true)),
                       utf8_replace_invalid(percent_decode(raw_value, true)))) {
      return false;
    }
  }
  return true;
}

bool add_json(ParsedParameters& out, std::string_view body) {
  BodyReader reader;
  const bool parsed = nlohmann::json::sax_parse(body.begin(), body.end(), &reader,
                                                nlohmann::json::input_format_t::json, true);
  if (!parsed || !reader.is_object()) {
    out.status = 400;
    out.error = "Request body must be a JSON object";
    return false;
  }
  for (auto& [name, value] : reader.members()) {
    if (!value) {
      out.status = 400;
      out.error = "Parameter '" + name + "' must be a string, number or boolean";
      return false;
    }
    if (!add_parameter(out, std::move(name), std::move(*value))) return false;
  }
  return true;
}

// The media type of a Content-Type value, lower-cased, without parameters or blanks.
std::string media_type(std::string_view content_type) {
  return to_lower(strip(content_type.substr(0, content_type.find(';'))));
}

}  // namespace

std::string percent_decode(std::string_view text, bool plus_as_space) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '+' && plus_as_space) {
      out += ' ';
      continue;
    }
    if (c == '%' && i + 2 < text.size() && hex_digit(text[i + 1]) >= 0 &&
        hex_digit(text[i + 2]) >= 0) {
      out += static_cast<char>(hex_digit(text[i + 1]) * 16 + hex_digit(text[i + 2]));
      i += 2;
      continue;
    }
    out += c;
  }
  return out;
}


ParsedParameters parse_parameters(std::string_view query, std::string_view content_type,
                                  std::string_view body) {
  ParsedParameters out;
  if (!add_form(out, query)) return out;
  // An empty body carries no parameters, whatever it claims to be.
  if (body.empty()) return out;
  const std::string type = media_type(content_type);
  if (type == "application/json") {
    add_json(out, body);
  } else if (type == "application/x-www-form-urlencoded") {
    add_form(out, body);
  } else {
    out.status = 415;
    out.error = "Unsupported content type";
  }
  return out;
}

}  // namespace tolvan::api::detail
