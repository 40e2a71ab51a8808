#include "value/value.h"

#include <cmath>
#include <string>

namespace tolvan {

namespace {

[[noreturn]] void throw_type(std::string_view expected, const Value& actual) {
  throw ValueError("expected " + std::string(expected) + ", got " +
                   std::string(actual.type_name()));
}

// Exact comparison of an integer and a double (no rounding of large integers).
bool int_equals_float(std::int64_t i, double d) {
  if (!std::isfinite(d) || d != std::trunc(d)) return false;
  // 2^63 as a double; every integral double in [-2^63, 2^63) converts exactly.
  if (d < -9223372036854775808.0 || d >= 9223372036854775808.0) return false;
  return static_cast<std::int64_t>(d) == i;
}

}  // namespace

// ---- Mapping ----

Mapping::Mapping(std::initializer_list<Entry> entries) {
  for (const auto& e : entries)
    set(e.first, e.second);
}

const Value* Mapping::find(std::string_view key) const {
  for (const auto& e : entries_) {
    if (e.first.is_string() && e.first.as_string() == key) return &e.second;
  }
  return nullptr;
}

Value* Mapping::find(std::string_view key) {
  return const_cast<Value*>(static_cast<const Mapping*>(this)->find(key));
}

const Value* Mapping::find(const Value& key) const {
  if (key.is_string()) return find(std::string_view(key.as_string()));
  for (const auto& e : entries_) {
    if (e.first == key) return &e.second;
  }
  return nullptr;
}

Value* Mapping::find(const Value& key) {
  return const_cast<Value*>(static_cast<const Mapping*>(this)->find(key));
}

Value& Mapping::set(Value key, Value value) {
  if (Value* existing = find(key)) {
    *existing = std::move(value);
    return *existing;
  }
  entries_.emplace_back(std::move(key), std::move(value));
  return entries_.back().second;
}

bool Mapping::erase(const Value& key) {
  for (auto it = entries_.begin(); it != entries_.end(); ++it) {
    if (it->first == key) {
      entries_.erase(it);
      return true;
    }
  }
  return false;
}

bool operator==(const Mapping& a, const Mapping& b) {
  if (a.size() != b.size()) return false;
  for (const auto& [key, value] : a) {
    const Value* other = b.find(key);
    if (other == nullptr || !(*other == value)) return false;
  }
  return true;
}

// ---- Value ----

std::string_view Value::type_name() const {
  switch (kind()) {
    case Kind::Null:
      return "NoneType";
    case Kind::Bool:
      return "bool";
    case Kind::Int:
      return "int";
    case Kind::Float:
      return "float";
    case Kind::String:
      return "str";
    case Kind::Sequence:
      return "list";
    case Kind::Mapping:
      return "dict";
  }
  return "unknown";
}

bool Value::as_bool() const {
  if (!is_bool()) throw_type("bool", *this);
  return std::get<bool>(data_);
}

std::int64_t Value::as_int() const {
  if (!is_int()) throw_type("int", *this);
  return std::get<std::int64_t>(data_);
}

double Value::as_float() const {
  if (is_int()) return static_cast<double>(std::get<std::int64_t>(data_));
  if (!is_float()) throw_type("float", *this);
  return std::get<double>(data_);
}

const std::string& Value::as_string() const {
  if (!is_string()) throw_type("str", *this);
  return std::get<std::string>(data_);
}

const Sequence& Value::as_sequence() const {
  if (!is_sequence()) throw_type("list", *this);
  return std::get<Sequence>(data_);
}

Sequence& Value::as_sequence() {
  if (!is_sequence()) throw_type("list", *this);
  return std::get<Sequence>(data_);
}

const Mapping& Value::as_mapping() const {
  if (!is_mapping()) throw_type("dict", *this);
  return std::get<Mapping>(data_);
}

Mapping& Value::as_mapping() {
  if (!is_mapping()) throw_type("dict", *this);
  return std::get<Mapping>(data_);
}

const Value* Value::find(std::string_view key) const {
  if (!is_mapping()) return nullptr;
  return std::get<Mapping>(data_).find(key);
}

const Value* Value::find(const Value& key) const {
  if (!is_mapping()) return nullptr;
  return std::get<Mapping>(data_).find(key);
}

Value Value::get_or(std::string_view key, Value fallback) const {
  const Value* v = find(key);
  return v != nullptr ? *v : std::move(fallback);
}

const Value& Value::at(std::string_view key) const {
  const Value* v = as_mapping().find(key);
  if (v == nullptr) throw ValueError("key " + quote_literal(key) + " not found");
  return *v;
}

const Value& Value::at(std::size_t index) const {
  const Sequence& seq = as_sequence();
  if (index >= seq.size()) {
    throw ValueError("index " + std::to_string(index) + " out of range (size " +
                     std::to_string(seq.size()) + ")");
  }
  return seq[index];
}

bool Value::truthy() const {
  switch (kind()) {
    case Kind::Null:
      return false;
    case Kind::Bool:
      return std::get<bool>(data_);
    case Kind::Int:
      return std::get<std::int64_t>(data_) != 0;
    case Kind::Float:
      return std::get<double>(data_) != 0.0;  // NaN is true, as in Python
    case Kind::String:
      return !std::get<std::string>(data_).empty();
    case Kind::Sequence:
      return !std::get<Sequence>(data_).empty();
    case Kind::Mapping:
      return !std::get<Mapping>(data_).empty();
  }
  return false;
}

bool operator==(const Value& a, const Value& b) {
  using K = Value::Kind;
  const K ka = a.kind();
  const K kb = b.kind();
  if (ka == K::Int && kb == K::Float) return int_equals_float(a.as_int(), b.as_float());
  if (ka == K::Float && kb == K::Int) return int_equals_float(b.as_int(), a.as_float());
  if (ka != kb) return false;
  switch (ka) {
    case K::Null:
      return true;
    case K::Bool:
      return a.as_bool() == b.as_bool();
    case K::Int:
      return a.as_int() == b.as_int();
    case K::Float:
      return a.as_float() == b.as_float();
    case K::String:
      return a.as_string() == b.as_string();
    case K::Sequence:
      return a.as_sequence() == b.as_sequence();
    case K::Mapping:
      return a.as_mapping() == b.as_mapping();
  }
  return false;
}

}  // namespace tolvan
