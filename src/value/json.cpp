// JSON reading (nlohmann's SAX parser into the value tree) and our own writer.

#include "value/json.h"

#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "value/internal/utf8.h"

namespace tolvan {

namespace {

// Request bodies are parsed with this reader: nesting is bounded so that no document can
// exhaust the stack of code that walks the tree.
constexpr std::size_t kMaxJsonDepth = 512;

class Builder : public nlohmann::json_sax<nlohmann::json> {
 public:
  bool null() override { return add(Value()); }
  bool boolean(bool b) override { return add(Value(b)); }
  bool number_integer(number_integer_t i) override { return add(Value(static_cast<long long>(i))); }
  bool number_unsigned(number_unsigned_t u) override {
    if (u > static_cast<number_unsigned_t>(INT64_MAX)) return add(Value(static_cast<double>(u)));
    return add(Value(static_cast<long long>(u)));
  }
  bool number_float(number_float_t d, const string_t&) override { return add(Value(d)); }
  bool string(string_t& s) override { return add(Value(std::move(s))); }
  bool binary(binary_t&) override { return fail_with("binary values are not supported"); }
  bool start_object(std::size_t) override { return open(Value(Mapping{})); }
  bool key(string_t& k) override {
    keys_.back() = std::move(k);
    return true;
  }
  bool end_object() override { return close(); }
  bool start_array(std::size_t) override { return open(Value(Sequence{})); }
  bool end_array() override { return close(); }
  bool parse_error(std::size_t, const std::string&,
                   const nlohmann::detail::exception& ex) override {
    std::string what = ex.what();
    // Drop the library's "[json.exception.parse_error.101] " prefix.
    if (!what.empty() && what[0] == '[') {
      const std::size_t close_bracket = what.find("] ");
      if (close_bracket != std::string::npos) what.erase(0, close_bracket + 2);
    }
    return fail_with(what);
  }

  Value take() { return std::move(result_); }
  const std::string& error() const { return error_; }

 private:
  bool fail_with(std::string message) {
    error_ = std::move(message);
    return false;
  }

  bool add(Value v) {
    if (stack_.empty()) {
      result_ = std::move(v);
      return true;
    }
    Value& top = stack_.back();
    if (top.is_sequence()) {
      top.as_sequence().push_back(std::move(v));
    } else {
      top.as_mapping().set(Value(std::move(keys_.back())), std::move(v));
    }
    return true;
  }

  bool open(Value container) {
    if (stack_.size() >= kMaxJsonDepth) {
      return fail_with("document nests deeper than " + std::to_string(kMaxJsonDepth) + " levels");
    }
    stack_.push_back(std::move(container));
    keys_.emplace_back();
    return true;
  }

  bool close() {
    Value done = std::move(stack_.back());
    stack_.pop_back();
    keys_.pop_back();
    return add(std::move(done));
  }

  Value result_;
  std::vector<Value> stack_;
  std::vector<std::string> keys_;
  std::string error_;
};

void append_hex4(std::string& out, unsigned v) {
  static constexpr char kHex[] = "0123456789abcdef";
  out += "\\u";
  for (int shift = 12; shift >= 0; shift -= 4)
    out += kHex[(v >> shift) & 0xF];
}

void append_json(std::string& out, const Value& v, const JsonStyle& style) {
  switch (v.kind()) {
    case Value::Kind::Null:
      out += "null";
      return;
    case Value::Kind::Bool:
      out += v.as_bool() ? "true" : "false";
      return;
    case Value::Kind::Int:
      out += std::to_string(v.as_int());
      return;
    case Value::Kind::Float: {
      const double d = v.as_float();
      if (std::isnan(d)) {
        out += "NaN";
      } else if (std::isinf(d)) {
        out += d < 0 ? "-Infinity" : "Infinity";
      } else {
        out += format_float(d);
      }
      return;
    }
    case Value::Kind::String:
      append_json_string(out, v.as_string(), style.ascii_only);
      return;
    case Value::Kind::Sequence: {
      out += '[';
      bool first = true;
      for (const Value& item : v.as_sequence()) {
        if (!first) out += style.spaced ? ", " : ",";
        first = false;
        append_json(out, item, style);
      }
      out += ']';
      return;
    }
    case Value::Kind::Mapping: {
      out += '{';
      bool first = true;
      for (const auto& [key, item] : v.as_mapping()) {
        if (!first) out += style.spaced ? ", " : ",";
        first = false;
        append_json_string(out, key.is_string() ? key.as_string() : to_text(key), style.ascii_only);
        out += style.spaced ? ": " : ":";
        append_json(out, item, style);
      }
      out += '}';
      return;
    }
  }
}

}  // namespace

Value parse_json(std::string_view text) {
  Builder builder;
  bool ok = false;
  try {
    ok = nlohmann::json::sax_parse(text.begin(), text.end(), &builder);
  } catch (const std::exception& e) {
    throw JsonError(e.what());
  }
  if (!ok) throw JsonError(builder.error().empty() ? "invalid JSON" : builder.error());
  return builder.take();
}

std::string to_json(const Value& v, JsonStyle style) {
  std::string out;
  append_json(out, v, style);
  return out;
}

void append_json_string(std::string& out, std::string_view s, bool ascii_only) {
  out += '"';
  for (std::size_t i = 0; i < s.size();) {
    const auto c = static_cast<unsigned char>(s[i]);
    if (c < 0x80) {
      switch (c) {
        case '"':
          out += "\\\"";
          break;
        case '\\':
          out += "\\\\";
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
          if (c < 0x20 || (c == 0x7F && ascii_only)) {
            append_hex4(out, c);
          } else {
            out += static_cast<char>(c);
          }
      }
      ++i;
      continue;
    }
    std::size_t len = 1;
    std::int32_t cp = detail::decode_utf8(s, i, len);
    if (cp < 0) cp = 0xFFFD;  // not UTF-8: the replacement character
    if (!ascii_only) {
      if (len > 1) {
        out.append(s.substr(i, len));
      } else {
        detail::append_utf8(out, static_cast<std::uint32_t>(cp));
      }
    } else if (cp < 0x10000) {
      append_hex4(out, static_cast<unsigned>(cp));
    } else {
      const unsigned u = static_cast<unsigned>(cp) - 0x10000;
      append_hex4(out, 0xD800 + (u >> 10));
      append_hex4(out, 0xDC00 + (u & 0x3FF));
    }
    i += len;
  }
  out += '"';
}

}  // namespace tolvan
