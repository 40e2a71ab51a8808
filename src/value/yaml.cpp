// YAML into the value tree: libyaml's event parser, our own builder and YAML 1.1 resolver.

#include "value/yaml.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <map>
#include <string>

#include <yaml.h>

#include "value/internal/utf8.h"
#include "value/regex.h"

namespace tolvan {

namespace {

// Nodes that alias expansion may add to one document; stops "billion laughs" documents.
constexpr std::size_t kMaxAliasNodes = 1000000;

constexpr std::string_view kTagPrefix = "tag:yaml.org,2002:";

std::string position(std::size_t line0, std::size_t column0) {
  return "line " + std::to_string(line0 + 1) + ", column " + std::to_string(column0 + 1);
}

std::string position(const yaml_mark_t& mark) {
  return position(mark.line, mark.column);
}

[[noreturn]] void fail(const std::string& problem, const yaml_mark_t& mark) {
  throw YamlError(problem + " at " + position(mark));
}

// ---- YAML 1.1 scalar resolution ----

bool is_null_word(std::string_view s) {
  return s.empty() || s == "~" || s == "null" || s == "Null" || s == "NULL";
}

std::optional<bool> bool_word(std::string_view s) {
  static constexpr std::string_view kTrue[] = {"true", "True", "TRUE", "yes", "Yes",
                                               "YES",  "on",   "On",   "ON"};
  static constexpr std::string_view kFalse[] = {"false", "False", "FALSE", "no", "No",
                                                "NO",    "off",   "Off",   "OFF"};
  for (auto w : kTrue) {
    if (s == w) return true;
  }
  for (auto w : kFalse) {
    if (s == w) return false;
  }
  return std::nullopt;
}

const Regex& int_form() {
  static const Regex re(
      "[-+]?0b[0-1_]+"
      "|[-+]?0[0-7_]+"
      "|[-+]?(?:0|[1-9][0-9_]*)"
      "|[-+]?0x[0-9a-fA-F_]+"
      "|[-+]?[1-9][0-9_]*(?::[0-5]?[0-9])+");
  return re;
}

const Regex& float_form() {
  static const Regex re(
      "[-+]?[0-9][0-9_]*\\.[0-9_]*(?:[eE][-+][0-9]+)?"
      "|\\.[0-9][0-9_]*(?:[eE][-+][0-9]+)?"
      "|[-+]?[0-9][0-9_]*(?::[0-5]?[0-9])+\\.[0-9_]*"
      "|[-+]?\\.(?:inf|Inf|INF)"
      "|\\.(?:nan|NaN|NAN)");
  return re;
}

std::string without_underscores(std::string_view s) {
  std::string out;
  for (char c : s) {
    if (c != '_') out += c;
  }
  return out;
}

int digit_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return 99;
}

// Accumulates digits in `base` into `acc`; false on overflow of 64 bits.
bool accumulate(std::string_view digits, unsigned base, std::uint64_t& acc) {
  for (char c : digits) {
    if (__builtin_mul_overflow(acc, base, &acc) ||
        __builtin_add_overflow(acc, static_cast<std::uint64_t>(digit_value(c)), &acc)) {
      return false;
    }
  }
  return true;
}

// An integer in one of the YAML 1.1 forms (already matched); nullopt when it is a form with
// no digits ("0x_"), which stays a string. Throws on values beyond 64 bits.
std::optional<std::int64_t> construct_int(std::string_view text, const yaml_mark_t& mark) {
  std::string s = without_underscores(text);
  bool negative = false;
  std::string_view v = s;
  if (!v.empty() && (v[0] == '-' || v[0] == '+')) {
    negative = v[0] == '-';
    v.remove_prefix(1);
  }
  std::uint64_t magnitude = 0;
  bool ok = true;
  if (v.substr(0, 2) == "0b" || v.substr(0, 2) == "0x") {
    if (v.size() == 2) return std::nullopt;
    ok = accumulate(v.substr(2), v[1] == 'b' ? 2 : 16, magnitude);
  } else if (v.find(':') != std::string_view::npos) {
    std::size_t start = 0;
    while (ok) {
      const std::size_t colon = v.find(':', start);
      std::uint64_t part = 0;
      ok = accumulate(v.substr(start, colon - start), 10, part) &&
           !__builtin_mul_overflow(magnitude, 60, &magnitude) &&
           !__builtin_add_overflow(magnitude, part, &magnitude);
      if (colon == std::string_view::npos) break;
      start = colon + 1;
    }
  } else if (v.size() > 1 && v[0] == '0') {
    ok = accumulate(v, 8, magnitude);
  } else {
    ok = accumulate(v, 10, magnitude);
  }
  constexpr std::uint64_t kMax = static_cast<std::uint64_t>(INT64_MAX);
  if (!ok || magnitude > kMax + (negative ? 1 : 0)) {
    fail("integer out of range: " + std::string(text), mark);
  }
  if (negative) return static_cast<std::int64_t>(0 - magnitude);
  return static_cast<std::int64_t>(magnitude);
}

double parse_decimal(const std::string& s) {
  double d = 0;
  auto [ptr, ec] = std::from_chars(s.data(), s.data() + s.size(), d);
  if (ec == std::errc::result_out_of_range) return std::strtod(s.c_str(), nullptr);
  return d;
}

double construct_float(std::string_view text) {
  std::string s = without_underscores(text);
  for (char& c : s)
    c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
  double sign = 1;
  std::string_view v = s;
  if (!v.empty() && (v[0] == '-' || v[0] == '+')) {
    if (v[0] == '-') sign = -1;
    v.remove_prefix(1);
  }
  if (v == ".inf") return sign * std::numeric_limits<double>::infinity();
  if (v == ".nan") return std::numeric_limits<double>::quiet_NaN();
  if (v.find(':') != std::string_view::npos) {
    double value = 0;
    std::size_t start = 0;
    for (;;) {
      const std::size_t colon = v.find(':', start);
      const std::string part(v.substr(start, colon - start));
      value = value * 60 + parse_decimal(part);
      if (colon == std::string_view::npos) break;
      start = colon + 1;
    }
    return sign * value;
  }
  return sign * parse_decimal(std::string(v));
}

Value resolve_plain(std::string_view s, const yaml_mark_t& mark) {
  if (is_null_word(s)) return Value();
  if (auto b = bool_word(s)) return Value(*b);
  const char first = s[0];
  if ((first >= '0' && first <= '9') || first == '-' || first == '+' || first == '.') {
    if (int_form().full_match(s)) {
      if (auto i = construct_int(s, mark)) return Value(*i);
      return Value(s);
    }
    if (float_form().full_match(s)) return Value(construct_float(s));
  }
  return Value(s);
}

// A scalar with an explicit tag. The core tags are honoured; a value that does not fit its tag
// and any other tag are errors.
Value resolve_tagged(std::string_view tag, std::string_view s, const yaml_mark_t& mark) {
  if (tag == "!") return Value(s);
  if (tag.substr(0, kTagPrefix.size()) == kTagPrefix) {
    const std::string_view name = tag.substr(kTagPrefix.size());
    if (name == "str") return Value(s);
    if (name == "null" && is_null_word(s)) return Value();
    if (name == "bool") {
      if (auto b = bool_word(s)) return Value(*b);
    }
    if (name == "int" && !s.empty() && int_form().full_match(s)) {
      if (auto i = construct_int(s, mark)) return Value(*i);
    }
    if (name == "float" && !s.empty()) {
      if (float_form().full_match(s)) return Value(construct_float(s));
      if (int_form().full_match(s)) {
        if (auto i = construct_int(s, mark)) return Value(static_cast<double>(*i));
      }
    }
    if (name == "str" || name == "null" || name == "bool" || name == "int" || name == "float") {
      fail("cannot read " + quote_literal(s) + " as !!" + std::string(name), mark);
    }
  }
  fail("cannot construct a value for the tag " + quote_literal(tag), mark);
}

// ---- builder ----

class Event {
 public:
  Event() { std::memset(&event_, 0, sizeof event_); }
  ~Event() { yaml_event_delete(&event_); }
  Event(const Event&) = delete;
  Event& operator=(const Event&) = delete;
  yaml_event_t* get() { return &event_; }
  yaml_event_t* operator->() { return &event_; }

 private:
  yaml_event_t event_;
};

class Builder {
 public:
  explicit Builder(std::string_view text) : text_(text) {
    if (yaml_parser_initialize(&parser_) == 0) throw YamlError("out of memory");
    yaml_parser_set_input_string(&parser_, reinterpret_cast<const unsigned char*>(text.data()),
                                 text.size());
  }
  ~Builder() { yaml_parser_delete(&parser_); }
  Builder(const Builder&) = delete;
  Builder& operator=(const Builder&) = delete;

  Value document() {
    Event ev;
    next(ev);  // stream start
    Event doc;
    next(doc);
    if (doc->type == YAML_STREAM_END_EVENT) return Value();
    Event first;
    next(first);
    Shape shape;
    Value result = node(first, 0, shape);
    Event end;
    next(end);  // document end
    Event after;
    next(after);
    if (after->type != YAML_STREAM_END_EVENT) {
      fail("expected a single document in the stream but found another document",
           after->start_mark);
    }
    return result;
  }

 private:
  struct Shape {
    int height = 0;  // collection levels inside the node
  };
  struct Anchored {
    Value value;
    int height = 0;
    std::size_t nodes = 0;
  };

  void next(Event& ev) {
    if (yaml_parser_parse(&parser_, ev.get()) == 0) throw YamlError(describe_error());
  }

  std::string describe_error() const {
    const char* problem = parser_.problem != nullptr ? parser_.problem : "unknown problem";
    switch (parser_.error) {
      case YAML_MEMORY_ERROR:
        return "out of memory";
      case YAML_READER_ERROR: {
        std::string msg = problem;
        if (parser_.problem_value != -1) {
          char hex[16];
          std::snprintf(hex, sizeof hex, " #%x", static_cast<unsigned>(parser_.problem_value));
          msg += hex;
        }
        return msg + " at " + offset_position(parser_.problem_offset);
      }
      default: {
        std::string msg;
        if (parser_.context != nullptr) {
          msg = std::string(parser_.context) + " at " + position(parser_.context_mark) + ": ";
        }
        return msg + problem + " at " + position(parser_.problem_mark);
      }
    }
  }

  // Line and column of a byte offset, counting characters as libyaml does.
  std::string offset_position(std::size_t offset) const {
    offset = std::min(offset, text_.size());
    std::size_t line = 0;
    std::size_t column = 0;
    for (std::size_t i = 0; i < offset;) {
      if (text_[i] == '\n') {
        ++line;
        column = 0;
        ++i;
        continue;
      }
      std::size_t len = 1;
      detail::decode_utf8(text_, i, len);
      i += len;
      ++column;
    }
    return position(line, column);
  }

  void remember(const yaml_char_t* anchor, const Value& v, const Shape& shape, std::size_t nodes) {
    if (anchor == nullptr) return;
    anchors_[reinterpret_cast<const char*>(anchor)] = Anchored{v, shape.height, nodes};
  }

  static std::string_view tag_of(const yaml_char_t* tag) {
    return tag == nullptr ? std::string_view() : reinterpret_cast<const char*>(tag);
  }

  void check_collection_tag(const yaml_char_t* tag, std::string_view expected,
                            const yaml_mark_t& mark) {
    const std::string_view t = tag_of(tag);
    if (t.empty() || t == "!") return;
    if (t.substr(0, kTagPrefix.size()) == kTagPrefix && t.substr(kTagPrefix.size()) == expected) {
      return;
    }
    fail("cannot construct a value for the tag " + quote_literal(t), mark);
  }

  // Builds the node that starts with `ev` at `depth` enclosing collections.
  Value node(Event& ev, int depth, Shape& shape) {
    std::size_t nodes = 0;
    return node(ev, depth, shape, nodes);
  }

  Value node(Event& ev, int depth, Shape& shape, std::size_t& nodes) {
    switch (ev->type) {
      case YAML_ALIAS_EVENT: {
        const char* name = reinterpret_cast<const char*>(ev->data.alias.anchor);
        auto it = anchors_.find(name);
        if (it == anchors_.end()) {
          fail("found undefined alias " + quote_literal(name), ev->start_mark);
        }
        if (depth + it->second.height > kMaxYamlDepth) depth_error(ev->start_mark);
        alias_nodes_ += it->second.nodes;
        if (alias_nodes_ > kMaxAliasNodes) {
          fail("document expands aliases beyond " + std::to_string(kMaxAliasNodes) + " nodes",
               ev->start_mark);
        }
        shape.height = it->second.height;
        nodes += it->second.nodes;
        return it->second.value;
      }
      case YAML_SCALAR_EVENT: {
        const auto& sc = ev->data.scalar;
        const std::string_view text(reinterpret_cast<const char*>(sc.value), sc.length);
        Value v;
        const std::string_view tag = tag_of(sc.tag);
        if (!tag.empty()) {
          v = resolve_tagged(tag, text, ev->start_mark);
        } else if (sc.style == YAML_PLAIN_SCALAR_STYLE) {
          v = resolve_plain(text, ev->start_mark);
        } else {
          v = Value(text);
        }
        shape.height = 0;
        nodes += 1;
        remember(sc.anchor, v, shape, 1);
        return v;
      }
      case YAML_SEQUENCE_START_EVENT: {
        if (depth + 1 > kMaxYamlDepth) depth_error(ev->start_mark);
        check_collection_tag(ev->data.sequence_start.tag, "seq", ev->start_mark);
        Sequence seq;
        std::size_t own = 1;
        int height = 0;
        for (;;) {
          Event item;
          next(item);
          if (item->type == YAML_SEQUENCE_END_EVENT) break;
          Shape child;
          seq.push_back(node(item, depth + 1, child, own));
          height = std::max(height, child.height);
        }
        shape.height = height + 1;
        nodes += own;
        Value v(std::move(seq));
        remember(ev->data.sequence_start.anchor, v, shape, own);
        return v;
      }
      case YAML_MAPPING_START_EVENT: {
        if (depth + 1 > kMaxYamlDepth) depth_error(ev->start_mark);
        check_collection_tag(ev->data.mapping_start.tag, "map", ev->start_mark);
        Mapping map;
        std::size_t own = 1;
        int height = 0;
        for (;;) {
          Event key_ev;
          next(key_ev);
          if (key_ev->type == YAML_MAPPING_END_EVENT) break;
          Shape key_shape;
          Value key = node(key_ev, depth + 1, key_shape, own);
          if (!key.is_scalar()) fail("mapping keys must be scalars", key_ev->start_mark);
          Event value_ev;
          next(value_ev);
          Shape child;
          Value value = node(value_ev, depth + 1, child, own);
          height = std::max(height, child.height);
          map.set(std::move(key), std::move(value));
        }
        shape.height = height + 1;
        nodes += own;
        Value v(std::move(map));
        remember(ev->data.mapping_start.anchor, v, shape, own);
        return v;
      }
      default:
        fail("unexpected YAML event", ev->start_mark);
    }
  }

  [[noreturn]] static void depth_error(const yaml_mark_t& mark) {
    fail("document nests deeper than " + std::to_string(kMaxYamlDepth) + " levels", mark);
  }

  std::string_view text_;
  yaml_parser_t parser_;
  std::map<std::string, Anchored, std::less<>> anchors_;
  std::size_t alias_nodes_ = 0;
};

}  // namespace

Value load_yaml(std::string_view text) {
  if (text.size() > kMaxYamlBytes) {
    throw YamlError("document larger than " + std::to_string(kMaxYamlBytes) + " bytes");
  }
  Builder builder(text);
  return builder.document();
}

Value load_yaml_file(const std::filesystem::path& path) {
  auto read_error = [&](const std::string& reason) {
    return YamlReadError("cannot read " + path.string() + ": " + reason);
  };
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) throw read_error(std::strerror(errno));
  std::string text;
  char buf[65536];
  for (;;) {
    const ssize_t n = ::read(fd, buf, sizeof buf);
    if (n < 0) {
      if (errno == EINTR) continue;
      const int err = errno;
      ::close(fd);
      throw read_error(std::strerror(err));
    }
    if (n == 0) break;
    text.append(buf, static_cast<std::size_t>(n));
    if (text.size() > kMaxYamlBytes) {
      ::close(fd);
      throw YamlError("document larger than " + std::to_string(kMaxYamlBytes) + " bytes");
    }
  }
  ::close(fd);
  // Text that is not UTF-8 cannot be read as a YAML file at all.
  for (std::size_t i = 0; i < text.size();) {
    std::size_t len = 1;
    if (detail::decode_utf8(text, i, len) < 0) {
      throw read_error("text is not valid UTF-8 (byte " + std::to_string(i) + ")");
    }
    i += len;
  }
  return load_yaml(text);
}

}  // namespace tolvan
