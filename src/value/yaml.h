#pragma once

// YAML into the value tree, with YAML 1.1 scalar resolution (plain yes/no/on/off are booleans,
// 0x1f, 017, 0b11 and 1:30 are integers, 1e3 stays a string, quoted scalars are strings).
// Duplicate keys: the last value wins, in the first key's position. Anchors and aliases are
// resolved by copying. Input size and nesting depth are capped.
//
// Failure: YamlError whose message carries the line and column (1-based) of the problem.
// Thread-safety: pure functions.

#include <cstddef>
#include <filesystem>
#include <stdexcept>
#include <string_view>

#include "value/value.h"

namespace tolvan {

class YamlError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

/// Raised by load_yaml_file when the file cannot be read at all (missing, unreadable, a
/// directory, text that is not UTF-8), as opposed to a document that is not valid YAML.
class YamlReadError : public YamlError {
 public:
  using YamlError::YamlError;
};

inline constexpr std::size_t kMaxYamlBytes = 4 * 1024 * 1024;
inline constexpr int kMaxYamlDepth = 64;

/// Parses one YAML document (an empty document is null). Multiple documents are an error.
Value load_yaml(std::string_view text);

/// Reads and parses a file. An unreadable file raises YamlError with the system's reason.
Value load_yaml_file(const std::filesystem::path& path);

}  // namespace tolvan
