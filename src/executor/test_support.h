#pragma once

// Shared set-up of the executor tests: a configuration file and alias definitions in a fresh
// directory, the correlation ID that names run directories, captured log records, and a zip
// reader (minizip's) to check archives by reading them back.

#include <sys/stat.h>
#include <unzip.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "config/config.h"
#include "executor/executor.h"
#include "logger/logger.h"
#include "validator/validator.h"
#include "value/log.h"
#include "value/testing/temp_dir.h"
#include "value/yaml.h"

namespace tolvan {
// Failure messages show values in their literal form.
inline void PrintTo(const Value& v, std::ostream* os) {
  *os << to_literal(v);
}
}  // namespace tolvan

namespace tolvan::executor::testing_support {

inline constexpr const char* kCid = "cid-test";

class ExecutorTest : public ::testing::Test {
 protected:
  void SetUp() override {
    configure("");
    logger::set_correlation_id(std::string(kCid));
    records_ = std::make_shared<log::MemoryHandler>();
    log::get_logger("tolvan").set_handlers({records_});
    log::get_logger("tolvan").set_level(log::DEBUG);
  }
  void TearDown() override { log::get_logger("tolvan").set_handlers({}); }

  std::filesystem::path shared_dir() const { return tmp_ / "shared"; }
  std::filesystem::path log_dir() const { return tmp_ / "logs"; }
  std::filesystem::path run_dir() const { return shared_dir() / kCid; }

  /// Loads a configuration with SharedDir and LogDir in the temporary directory, plus `extra`
  /// lines. `shared` replaces the SharedDir line's value when not empty.
  void configure(const std::string& extra, const std::string& shared = "") {
    const auto path =
        tmp_.write("tolvan.conf", "SharedDir " + (shared.empty() ? shared_dir().string() : shared) +
                                      "\nLogDir " + log_dir().string() + "\n" + extra);
    config::config.load(path.string());
  }

  /// Applies the alias definitions of a YAML list; each must pass alias validation.
  void use_aliases(const std::string& yaml) {
    config::AliasSet set;
    const Value defs = load_yaml(yaml);
    for (const Value& def : defs.as_sequence()) {
      Value copy = def;
      const auto messages = validator::validate_alias_definition(copy);
      EXPECT_TRUE(messages.empty()) << ::testing::PrintToString(messages);
      set.set(copy.at("name"), copy);
    }
    config::config.apply_aliases(std::move(set));
  }

  /// Applies one definition as given, without validation.
  static void use_raw_alias(const std::string& name, Value def) {
    config::AliasSet set;
    set.set(name, std::move(def));
    config::config.apply_aliases(std::move(set));
  }

  static Value run(const std::string& alias, const Value& params = nullptr) {
    return executor.execute_alias(alias, params);
  }

  std::vector<std::string> messages_at(int level) const {
    std::vector<std::string> out;
    for (const auto& r : records_->records()) {
      if (r.levelno == level) out.push_back(r.message);
    }
    return out;
  }

  tolvan::testing::TempDir tmp_;
  std::shared_ptr<log::MemoryHandler> records_;
};

/// The keys of a result mapping, in order.
inline std::vector<std::string> keys(const Value& result) {
  std::vector<std::string> out;
  for (const auto& [k, v] : result.as_mapping())
    out.push_back(k.as_string());
  return out;
}

inline std::string read_file(const std::filesystem::path& p) {
  std::ifstream in(p, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

struct ZipEntry {
  std::string name;
  std::string data;
  unsigned mode = 0;  // permission bits from the external attributes
  tm_unz time{};      // as stored (local time, 2-second resolution)
  unsigned long method = 0;
};

/// Every entry of an archive, read back with minizip (which checks each CRC). Fails the
/// current test when the archive cannot be read.
inline std::vector<ZipEntry> read_zip(const std::string& archive, std::uint64_t* count = nullptr) {
  tolvan::testing::TempDir dir;
  const auto path = dir.write("a.zip", archive);
  std::vector<ZipEntry> entries;
  unzFile zf = unzOpen64(path.c_str());
  if (zf == nullptr) {
    ADD_FAILURE() << "not a readable zip archive";
    return entries;
  }
  unz_global_info64 info{};
  EXPECT_EQ(unzGetGlobalInfo64(zf, &info), UNZ_OK);
  if (count != nullptr) *count = info.number_entry;
  for (int rc = unzGoToFirstFile(zf); rc == UNZ_OK; rc = unzGoToNextFile(zf)) {
    unz_file_info64 fi{};
    char name[4096];
    EXPECT_EQ(unzGetCurrentFileInfo64(zf, &fi, name, sizeof name, nullptr, 0, nullptr, 0), UNZ_OK);
    ZipEntry e;
    e.name = name;
    e.mode = static_cast<unsigned>((fi.external_fa >> 16) & 07777);
    e.time = fi.tmu_date;
    e.method = fi.compression_method;
    EXPECT_EQ(unzOpenCurrentFile(zf), UNZ_OK);
    char buf[8192];
    for (int n; (n = unzReadCurrentFile(zf, buf, sizeof buf)) > 0;)
      e.data.append(buf, n);
    EXPECT_EQ(unzCloseCurrentFile(zf), UNZ_OK) << "CRC of " << e.name;
    entries.push_back(std::move(e));
  }
  unzClose(zf);
  return entries;
}

}  // namespace tolvan::executor::testing_support
