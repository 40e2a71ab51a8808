#pragma once

// Test fixture: an AuthDir inside a fresh temporary directory, loaded into a private Auth
// through a configuration store of its own.

#include <filesystem>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include <gtest/gtest.h>

#include "auth/auth.h"
#include "config/config.h"
#include "value/testing/temp_dir.h"

namespace tolvan::auth::testing {

/// A YAML list item holding `pem` as a JWT public key.
inline std::string key_item(std::string_view pem) {
  std::string out = "- public_key: |\n";
  std::istringstream lines{std::string(pem)};
  for (std::string line; std::getline(lines, line);)
    out += "    " + line + "\n";
  return out;
}

class AuthDirTest : public ::testing::Test {
 protected:
  AuthDirTest() { std::filesystem::create_directories(auth_dir()); }

  std::filesystem::path auth_dir() const { return tmp_ / "auth.d"; }
  void write(std::string_view name, std::string_view content) const {
    tmp_.write("auth.d/" + std::string(name), content);
  }
  void remove(std::string_view name) const { std::filesystem::remove(auth_dir() / name); }

  /// Loads `dir` (AuthDir by default) the way the service does, from a configuration file.
  std::vector<std::string> load(const std::filesystem::path& dir) {
    const auto conf = tmp_.write("tolvan.conf", "AuthDir " + dir.string() + "\n");
    config::Config cfg;
    cfg.load(conf.string());
    return auth_.load_auth_config(cfg);
  }
  std::vector<std::string> load() { return load(auth_dir()); }

  tolvan::testing::TempDir tmp_;
  Auth auth_;
};

}  // namespace tolvan::auth::testing
