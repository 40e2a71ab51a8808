#include "watcher/watcher.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>

#include "auth/auth.h"
#include "config/config.h"
#include "value/log.h"
#include "value/testing/temp_dir.h"

namespace tolvan::watcher {
namespace {

namespace fs = std::filesystem;
using tolvan::testing::TempDir;

constexpr const char* kAlias = R"(name: hello
type: process
mode: inline
command: echo hi
output:
  single_value:
    source: "%stdOut"
    content-type: text/plain
)";

std::string alias_named(const std::string& name) {
  std::string text = kAlias;
  text.replace(text.find("hello"), 5, name);
  return text;
}

constexpr const char* kUsers = R"(- username: alice
  api_keys: [alice-key]
  aliases: [hello]
)";

// Waits until `cond` holds; generous, since the watcher wakes only once a second.
template <typename Cond>
bool eventually(Cond cond) {
  for (int i = 0; i < 200; ++i) {
    if (cond()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return cond();
}

int count(const std::vector<std::string>& messages, const std::string& text) {
  return static_cast<int>(std::count(messages.begin(), messages.end(), text));
}

class ConfigWatcherTest : public ::testing::Test {
 protected:
  void SetUp() override {
    tmp.write("aliases.d/hello.yaml", kAlias);
    tmp.write("auth.d/users.yaml", kUsers);
    handler = std::make_shared<log::MemoryHandler>();
    log::get_logger("tolvan").set_handlers({handler});
    log::get_logger("tolvan").set_level(log::INFO);
  }
  void TearDown() override {
    watcher.stop();
    log::get_logger("tolvan").set_handlers({});
  }

  void load(int auth_reload, int alias_reload) {
    const fs::path conf = tmp.write(
        "tolvan.conf", "AliasDir " + (tmp / "aliases.d").string() + "\nAuthDir " +
                           (tmp / "auth.d").string() + "\nAuthReload " +
                           std::to_string(auth_reload) + "\nAliasReload " +
                           std::to_string(alias_reload) + "\n");
    cfg.load(conf.string());
    auto [aliases, errors] = cfg.load_aliases();
    ASSERT_EQ(errors, std::vector<std::string>{});
    cfg.apply_aliases(std::move(aliases));
    ASSERT_EQ(auth.load_auth_config(cfg), std::vector<std::string>{});
  }

  TempDir tmp;
  config::Config cfg;
  auth::Auth auth;
  ConfigWatcher watcher;
  std::shared_ptr<log::MemoryHandler> handler;
};

TEST(TakeFingerprint, SeesEveryKindOfChangeToYamlEntriesAndNothingElse) {
  TempDir tmp;
  tmp.write("d/a.yaml", "x: 1\n");
  const Fingerprint base = take_fingerprint(tmp / "d");
  ASSERT_TRUE(base.readable);
  ASSERT_EQ(base.entries.size(), 1u);

  tmp.write("d/notes.txt", "ignored");
  tmp.write("d/b.YAML", "suffixes are case-sensitive");
  EXPECT_EQ(take_fingerprint(tmp / "d"), base) << "non-YAML entries are not watched";

  tmp.write("d/a.yaml", "x: 12\n");
  const Fingerprint resized = take_fingerprint(tmp / "d");
  EXPECT_NE(resized, base) << "content change";

  tmp.write("d/c.yml", "y: 2\n");
  const Fingerprint added = take_fingerprint(tmp / "d");
  EXPECT_NE(added, resized) << "new .yml file";

  fs::rename(tmp / "d/c.yml", tmp / "d/d.yml");
  const Fingerprint renamed = take_fingerprint(tmp / "d");
  EXPECT_NE(renamed, added) << "rename";

  // Same name, same size, replaced by another file: the inode tells them apart.
  tmp.write("d/e.yaml.new", "x: 12\n");
  fs::rename(tmp / "d/e.yaml.new", tmp / "d/a.yaml");
  EXPECT_NE(take_fingerprint(tmp / "d"), renamed) << "file replaced";

  EXPECT_FALSE(take_fingerprint(tmp / "missing").readable);
}

TEST(ConfigWatcherLifecycle, StopIsHarmlessWithoutStartAndTwice) {
  ConfigWatcher w;
  w.stop();
  w.stop();
  EXPECT_FALSE(w.running());
}

TEST_F(ConfigWatcherTest, IntervalsOfZeroStartNoThread) {
  load(0, 0);
  watcher.start(cfg, auth);
  EXPECT_FALSE(watcher.running());
  watcher.stop();
}

TEST_F(ConfigWatcherTest, NewAliasFileIsLoadedAndRecorded) {
  load(0, 1);
  watcher.start(cfg, auth);
  ASSERT_TRUE(watcher.running());
  tmp.write("aliases.d/second.yaml", alias_named("second"));

  ASSERT_TRUE(eventually([&] { return cfg.get_alias("second") != nullptr; }));
  ASSERT_TRUE(eventually([&] { return cfg.last_alias_reload().has_value(); }));
  EXPECT_TRUE(cfg.last_alias_reload()->success);
  EXPECT_EQ(count(handler->messages(), "Alias configuration reloaded successfully"), 1);
  EXPECT_FALSE(cfg.last_auth_reload().has_value()) << "AuthDir is not watched";

  watcher.stop();
  watcher.stop();
  EXPECT_FALSE(watcher.running());
}

TEST_F(ConfigWatcherTest, BrokenAuthKeepsOldUsersAndIsNotRetriedUntilTheNextChange) {
  load(1, 0);
  watcher.start(cfg, auth);
  // Two users share one API key: the whole directory is refused.
  tmp.write("auth.d/zz.yaml", "- username: bob\n  api_keys: [alice-key]\n  aliases: [hello]\n");

  ASSERT_TRUE(eventually([&] { return cfg.last_auth_reload().has_value(); }));
  EXPECT_FALSE(cfg.last_auth_reload()->success);
  const std::vector<std::string> messages = handler->messages();
  const auto failures = std::count_if(messages.begin(), messages.end(), [](const std::string& m) {
    return m.rfind("Auth reload: ", 0) == 0;
  });
  EXPECT_GE(failures, 1);
  EXPECT_EQ(auth.users().size(), 1u) << "the previous users stay in force";

  // Unchanged directory: a few more ticks pass without another attempt.
  std::this_thread::sleep_for(std::chrono::milliseconds(2500));
  EXPECT_EQ(handler->messages().size(), messages.size());

  tmp.write("auth.d/zz.yaml", "- username: bob\n  api_keys: [bob-key]\n  aliases: [hello]\n");
  ASSERT_TRUE(eventually([&] { return auth.users().size() == 2; }));
  ASSERT_TRUE(eventually([&] { return cfg.last_auth_reload()->success; }));
  EXPECT_EQ(count(handler->messages(), "Auth configuration reloaded successfully"), 1);
}

TEST_F(ConfigWatcherTest, WaitsWhileAnotherReloadHoldsTheReloadLock) {
  load(0, 1);
  watcher.start(cfg, auth);
  {
    std::lock_guard held(reload_mutex());
    tmp.write("aliases.d/second.yaml", alias_named("second"));
    std::this_thread::sleep_for(std::chrono::milliseconds(2500));
    EXPECT_EQ(cfg.get_alias("second"), nullptr) << "reloaded while another reload was running";
  }
  EXPECT_TRUE(eventually([&] { return cfg.get_alias("second") != nullptr; }));
}

TEST_F(ConfigWatcherTest, StopWakesTheThreadPromptlyAndRestartWorks) {
  load(1, 1);
  watcher.start(cfg, auth);
  watcher.start(cfg, auth);  // restarts instead of leaking a second thread
  EXPECT_TRUE(watcher.running());
  watcher.stop();
  EXPECT_FALSE(watcher.running());
  tmp.write("aliases.d/second.yaml", alias_named("second"));
  std::this_thread::sleep_for(std::chrono::milliseconds(1500));
  EXPECT_EQ(cfg.get_alias("second"), nullptr) << "a stopped watcher reloaded";
}

}  // namespace
}  // namespace tolvan::watcher
