#include "config/config.h"

#include <stdlib.h>

#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "value/testing/temp_dir.h"

namespace tolvan::config {
namespace {

namespace fs = std::filesystem;
using tolvan::testing::TempDir;

std::vector<std::string> load_errors(Config& c, const std::optional<std::string>& path,
                                     const std::map<std::string, std::string>& overrides = {}) {
  try {
    c.load(path, overrides);
  } catch (const ConfigError& e) {
    return e.errors();
  }
  return {};
}

TEST(ConfigLoad, EmptyFileGivesTheDefaults) {
  TempDir tmp;
  const std::string path = tmp.write("tolvan.conf", "# nothing set\n\n").string();
  Config c;
  ASSERT_TRUE(load_errors(c, path).empty());
  const std::pair<const char*, Value> expected[] = {
      {"AliasDir", Value("/etc/tolvan/aliases.d")},
      {"AuthDir", Value("/etc/tolvan/auth.d")},
      {"SharedDir", Value("/tmp/tolvan")},
      {"ExternalDir", Value()},
      {"LogDir", Value("/var/log/tolvan")},
      {"AppLog", Value("/var/log/tolvan/app.log")},
      {"AuditLog", Value("/var/log/tolvan/audit.log")},
      {"LogLevel", Value("warn")},
      {"PidFile", Value("/run/tolvan/tolvan.pid")},
      {"ListenAddress", Value("127.0.0.1")},
      {"ListenPort", Value(8080)},
      {"SslEnabled", Value(false)},
      {"SslCert", Value()},
      {"SslKey", Value()},
      {"HealthApiKey", Value()},
      {"LogsApiKey", Value()},
      {"AuthReload", Value(0)},
      {"AliasReload", Value(0)},
      {"MaxTimeout", Value()},
      {"RefreshImage", Value("no")},
      {"PrefetchImage", Value("no")},
      {"Container", Value()},
      {"MaxConcurrentRuns", Value(64)},
      {"ContainerNetwork", Value()},
      {"NoSuchKey", Value()},
  };
  for (const auto& [key, value] : expected) {
    const Value actual = c.get(key);
    EXPECT_EQ(actual, value) << key;
    EXPECT_EQ(actual.kind(), value.kind()) << key;
  }
}

TEST(ConfigLoad, ValuesAreConvertedAndKeepTheirText) {
  TempDir tmp;
  const std::string path = tmp.write("tolvan.conf",
                                     "  # indented comment\n"
                                     "ListenAddress\t::1\n"
                                     "ListenPort    9000  \r\n"
                                     "SslEnabled On\n"
                                     "LogLevel INFO\n"
                                     "RefreshImage ALWAYS\n"
                                     "Container TRUE\n"
                                     "HealthApiKey k#1 with # inside\n"
                                     "LogsApiKey \"  padded  \"\n"
                                     "MaxTimeout 0\n"
                                     "AppLog /tmp/app.log DEBUG json\n")
                                 .string();
  Config c;
  ASSERT_EQ(load_errors(c, path), std::vector<std::string>{});
  EXPECT_EQ(c.get("ListenAddress"), Value("::1"));
  EXPECT_EQ(c.get("ListenPort"), Value(9000));
  EXPECT_TRUE(c.get("ListenPort").is_int());
  EXPECT_EQ(c.get("SslEnabled"), Value(true));
  EXPECT_EQ(c.get("LogLevel"), Value("info"));
  EXPECT_EQ(c.get("RefreshImage"), Value("always"));
  EXPECT_EQ(c.get("Container"), Value("TRUE"));
  EXPECT_EQ(c.get("HealthApiKey"), Value("k#1 with # inside"));
  EXPECT_EQ(c.get("LogsApiKey"), Value("  padded  "));
  EXPECT_EQ(c.get("MaxTimeout"), Value(0));
  EXPECT_EQ(c.get("AppLog"), Value("/tmp/app.log DEBUG json"));
}

TEST(ConfigLoad, EveryBadLineIsReportedWithItsLocation) {
  TempDir tmp;
  const std::string path = tmp.write("tolvan.conf",
                                     "Listenport 80\n"                 // 1
                                     "ListenPort\n"                    // 2
                                     "ListenPort 0\n"                  // 3
                                     "ListenPort 1\n"                  // 4
                                     "SslEnabled maybe\n"              // 5
                                     "LogLevel loud\n"                 // 6
                                     "AuthReload -1\n"                 // 7
                                     "AliasReload 1.5\n"               // 8
                                     "MaxTimeout soon\n"               // 9
                                     "RefreshImage daily\n"            // 10
                                     "PrefetchImage always\n"          // 11
                                     "MaxConcurrentRuns 0\n"           // 12
                                     "ListenAddress not_a host!\n"     // 13
                                     "AppLog /x.log loud xml\n"        // 14
                                     "PidFile \"\"\n"                  // 15
                                     "ExternalDir \"\"\n")             // 16: unsets, fine
                                 .string();
  Config c;
  const std::string p = path + ":";
  EXPECT_EQ(load_errors(c, path),
            (std::vector<std::string>{
                p + "1: unknown key 'Listenport'",
                p + "2: missing value for 'ListenPort'",
                p + "3: duplicate key 'ListenPort' (first set on line 2)",
                p + "4: duplicate key 'ListenPort' (first set on line 2)",
                p + "5: SslEnabled must be true or false, got 'maybe'",
                p + "6: LogLevel must be one of ['critical', 'debug', 'error', 'info', 'trace', "
                    "'warn', 'warning'], got 'loud'",
                p + "7: AuthReload must be a whole number of seconds (0 or more), got '-1'",
                p + "8: AliasReload must be a whole number of seconds (0 or more), got '1.5'",
                p + "9: MaxTimeout must be a whole number of seconds (0 or more), got 'soon'",
                p + "10: RefreshImage must be one of ['always', 'no', 'on-start'], got 'daily'",
                p + "11: PrefetchImage must be one of ['no', 'on-config-change', 'on-start'], "
                    "got 'always'",
                p + "12: MaxConcurrentRuns must be an integer of 1 or more, got '0'",
                p + "13: ListenAddress must be an IPv4 or IPv6 address or a host name, got "
                    "'not_a host!'",
                p + "14: AppLog: unrecognised word 'loud' (expected a level or json/plain)",
                p + "14: AppLog: unrecognised word 'xml' (expected a level or json/plain)",
                p + "15: missing value for 'PidFile'",
            }));
  // A rejected load leaves the store as it was.
  EXPECT_TRUE(c.get("ListenPort").is_null());
}

TEST(ConfigLoad, PortRange) {
  TempDir tmp;
  for (const char* bad : {"0", "65536", "http", "-5", "99999999999999999999999"}) {
    const std::string path = tmp.write("p.conf", std::string("ListenPort ") + bad + "\n").string();
    Config c;
    EXPECT_EQ(load_errors(c, path),
              std::vector<std::string>{path + ":1: ListenPort must be an integer from 1 to 65535, got '" +
                                       bad + "'"});
  }
  const std::string path = tmp.write("p.conf", "ListenPort 65535\n").string();
  Config c;
  EXPECT_TRUE(load_errors(c, path).empty());
  EXPECT_EQ(c.get("ListenPort"), Value(65535));
}

TEST(ConfigLoad, OverridesBeatTheFileAndAreCheckedTheSameWay) {
  TempDir tmp;
  const std::string path =
      tmp.write("tolvan.conf", "ListenPort 9000\nExternalDir /srv/ext\nLogLevel debug\n").string();
  Config c;
  ASSERT_TRUE(load_errors(c, path,
                          {{"ListenPort", "9100"},
                           {"ExternalDir", ""},
                           {"SslEnabled", "false"},
                           {"Container", "1"}})
                  .empty());
  EXPECT_EQ(c.get("ListenPort"), Value(9100));
  EXPECT_TRUE(c.get("ExternalDir").is_null());
  EXPECT_EQ(c.get("SslEnabled"), Value(false));
  EXPECT_EQ(c.get("LogLevel"), Value("debug"));
  EXPECT_EQ(c.get("Container"), Value("1"));

  const std::string bad = tmp.write("bad.conf", "SslEnabled perhaps\n").string();
  Config d;
  EXPECT_EQ(load_errors(d, bad,
                        {{"ListenPort", "x"},
                         {"PidFile", ""},
                         {"MaxConcurrentRuns", "-1"},
                         {"AppLog", "/a.log json info extra"}}),
            (std::vector<std::string>{
                bad + ":1: SslEnabled must be true or false, got 'perhaps'",
                "--app-log: AppLog: unrecognised word 'extra' (expected a level or json/plain)",
                "--listen-port: ListenPort must be an integer from 1 to 65535, got 'x'",
                "--max-concurrent-runs: MaxConcurrentRuns must be an integer of 1 or more, got '-1'",
                "--pid-file: missing value for 'PidFile'",
            }));
}

TEST(ConfigLoad, UnreadablePaths) {
  TempDir tmp;
  Config c;
  const std::string missing = (tmp / "missing.conf").string();
  EXPECT_EQ(load_errors(c, missing),
            std::vector<std::string>{missing + ": cannot read: No such file or directory"});
  EXPECT_EQ(load_errors(c, tmp.path().string()),
            std::vector<std::string>{tmp.path().string() + ": is a directory"});
}

TEST(ParseAppLog, Words) {
  struct Row {
    const char* text;
    std::string path;
    std::optional<std::string> level, format;
    std::vector<std::string> unrecognised;
  };
  const Row rows[] = {
      {"/var/log/app.log", "/var/log/app.log", std::nullopt, std::nullopt, {}},
      {"/a.log INFO", "/a.log", "info", std::nullopt, {}},
      {"/a.log Json warn", "/a.log", "warn", "json", {}},
      {"/a.log\ttext", "/a.log", std::nullopt, "text", {}},
      {"/a.log plain loud", "/a.log", std::nullopt, "plain", {"loud"}},
      {"/a.log info json more", "/a.log", "info", "json", {"more"}},
      {"/dev/stderr  trace", "/dev/stderr", "trace", std::nullopt, {}},
  };
  for (const Row& row : rows) {
    const AppLogParts parts = parse_app_log(row.text);
    EXPECT_EQ(parts.path, row.path) << row.text;
    EXPECT_EQ(parts.level, row.level) << row.text;
    EXPECT_EQ(parts.format, row.format) << row.text;
    EXPECT_EQ(parts.unrecognised, row.unrecognised) << row.text;
  }
}

TEST(OptionNameForKey, FollowsTheCommandLine) {
  EXPECT_EQ(option_name_for_key("ListenPort"), "--listen-port");
  EXPECT_EQ(option_name_for_key("SslEnabled"), "--ssl-enabled");
  EXPECT_EQ(option_name_for_key("HealthApiKey"), "--health-api-key");
  EXPECT_EQ(option_name_for_key("MaxTimeout"), "--max-timeout");
  EXPECT_EQ(option_name_for_key("MaxConcurrentRuns"), "--max-concurrent-runs");
}

TEST(RunningInContainer, ExplicitSettingAndDetection) {
  TempDir tmp;
  const std::string none = (tmp / "absent").string();
  const char* env = "TOLVAN_TEST_CONTAINER_MARKER";
  ::unsetenv(env);
  for (const Value& yes : {Value("1"), Value("TRUE"), Value(true), Value(1)}) {
    EXPECT_TRUE(detail::running_in_container(yes, none, none, env)) << to_literal(yes);
  }
  for (const Value& no : {Value("0"), Value("false"), Value("yes"), Value(""), Value(false)}) {
    // An explicit "no" wins over every marker.
    const std::string marker = tmp.write("marker", "").string();
    EXPECT_FALSE(detail::running_in_container(no, marker, marker, env)) << to_literal(no);
  }
  EXPECT_FALSE(detail::running_in_container(Value(), none, none, env));
  EXPECT_TRUE(detail::running_in_container(Value(), tmp.write(".dockerenv", "").string(), none, env));
  fs::create_directories(tmp / "run/.containerenv");
  EXPECT_TRUE(detail::running_in_container(Value(), none, (tmp / "run/.containerenv").string(), env));
  ::setenv(env, "", 1);
  EXPECT_TRUE(detail::running_in_container(Value(), none, none, env));
  ::unsetenv(env);
}

// ---------------------------------------------------------------------------------------------
// Alias loading

constexpr const char* kHello =
    "name: hello\n"
    "type: process\n"
    "mode: inline\n"
    "command: echo hi\n"
    "output:\n"
    "  single_value: {source: '%stdOut', content-type: text/plain}\n";

std::string process_alias(const std::string& name, const std::string& extra = "") {
  return "{name: " + name +
         ", type: process, mode: inline, command: echo hi, "
         "output: {single_value: {source: '%stdOut', content-type: text/plain}}" +
         extra + "}";
}

std::string container_alias(const std::string& name, const std::string& volume) {
  return "{name: " + name +
         ", type: container, mode: inline, image: 'busybox:latest', "
         "volumes: [" + volume + "], "
         "output: {single_value: {source: '%stdOut', content-type: text/plain}}}";
}

class AliasTest : public ::testing::Test {
 protected:
  void load(const std::map<std::string, std::string>& overrides = {}) {
    std::map<std::string, std::string> all{{"AliasDir", (tmp_ / "aliases").string()},
                                           {"Container", "0"}};
    for (const auto& [k, v] : overrides) all[k] = v;
    const std::string path = tmp_.write("tolvan.conf", "").string();
    config_.load(path, all);
  }
  std::vector<std::string> names(const std::vector<Value>& aliases) {
    std::vector<std::string> out;
    for (const Value& a : aliases) out.push_back(a.at("name").as_string());
    return out;
  }

  TempDir tmp_;
  Config config_;
};

TEST_F(AliasTest, FilesAreReadInNameOrderAndOtherEntriesIgnored) {
  tmp_.write("aliases/b.yml", "- " + process_alias("b1") + "\n- " + process_alias("b2") + "\n");
  tmp_.write("aliases/a.yaml", kHello);
  tmp_.write("aliases/c.txt", "not: [yaml");
  tmp_.write("aliases/d.YAML", "not: [yaml");
  tmp_.write("aliases/dir.yaml/inner.yaml", kHello);
  load();

  auto [aliases, errors] = config_.load_aliases();
  EXPECT_EQ(errors, std::vector<std::string>{});
  config_.apply_aliases(std::move(aliases));
  EXPECT_EQ(names(config_.get_all_aliases()), (std::vector<std::string>{"hello", "b1", "b2"}));
  const std::shared_ptr<const Value> hello = config_.get_alias("hello");
  ASSERT_NE(hello, nullptr);
  EXPECT_EQ(hello->at("command"), Value("echo hi"));
  EXPECT_TRUE(hello->as_mapping().contains("_exit_code_map"));
  EXPECT_EQ(config_.get_alias("nope"), nullptr);
}

TEST_F(AliasTest, EveryProblemNamesItsFileAndAlias) {
  tmp_.write("aliases/1-bad-yaml.yaml", "name: [unclosed\n");
  tmp_.write("aliases/2-scalar.yaml", "just text\n");
  tmp_.write("aliases/3-list.yaml",
             "- 42\n- " + process_alias("broken", ", timeout: 0") + "\n- {type: process}\n");
  tmp_.write("aliases/4-dup.yaml", "- " + process_alias("hello") + "\n- " + process_alias("hello") + "\n");
  tmp_.write("aliases/0-first.yaml", kHello);
  load();

  auto [aliases, errors] = config_.load_aliases();
  ASSERT_GE(errors.size(), 7u);
  EXPECT_TRUE(errors[0].starts_with("1-bad-yaml.yaml: invalid YAML: ")) << errors[0];
  const std::vector<std::string> rest(errors.begin() + 1, errors.end());
  EXPECT_EQ(rest, (std::vector<std::string>{
                      "2-scalar.yaml: expected an alias mapping or a list of alias mappings",
                      "3-list.yaml: item 0 is not a mapping",
                      "3-list.yaml: alias 'broken': timeout must be a positive integer, got 0",
                      "3-list.yaml: item 2: missing mandatory field 'name'",
                      "3-list.yaml: item 2: missing mandatory field 'mode'",
                      "3-list.yaml: item 2: process alias missing mandatory field 'command'",
                      "3-list.yaml: item 2: missing mandatory field 'output'",
                      "4-dup.yaml: duplicate alias name 'hello' (first defined in 0-first.yaml)",
                      "4-dup.yaml: duplicate alias name 'hello' (first defined in 0-first.yaml)",
                  }));
  // The valid definition is still returned; the caller decides what errors mean.
  EXPECT_EQ(aliases.size(), 1u);
  EXPECT_TRUE(aliases.contains("hello"));
}

TEST_F(AliasTest, MaxTimeoutCapsAliasTimeoutsAndZeroMeansNoCap) {
  tmp_.write("aliases/a.yaml", process_alias("slow", ", timeout: 30"));
  load({{"MaxTimeout", "20"}});
  EXPECT_EQ(config_.load_aliases().second,
            std::vector<std::string>{"a.yaml: alias 'slow': timeout 30 exceeds MaxTimeout 20"});
  load({{"MaxTimeout", "0"}});
  EXPECT_EQ(config_.load_aliases().second, std::vector<std::string>{});
}

TEST_F(AliasTest, RunDirectoryVolumesNeedExternalDirInAContainer) {
  tmp_.write("aliases/c.yaml", "- " + container_alias("rel", "{source: data/in.txt, target: /data, content: x}") + "\n- " +
                                   container_alias("abs", "{source: /etc/hosts, target: /h, mode: ro}") + "\n");
  const std::string message =
      "c.yaml: alias 'rel': mounts a SharedDir-relative volume, which needs ExternalDir when "
      "running in a container";

  load({{"Container", "1"}});
  auto [aliases, errors] = config_.load_aliases();
  EXPECT_EQ(errors, std::vector<std::string>{message});
  EXPECT_FALSE(aliases.contains("rel"));

  load({{"Container", "1"}, {"ExternalDir", "/host/shared"}});
  EXPECT_EQ(config_.load_aliases().second, std::vector<std::string>{});
  load({{"Container", "0"}});
  EXPECT_EQ(config_.load_aliases().second, std::vector<std::string>{});
}

TEST_F(AliasTest, MissingAliasDir) {
  load({{"AliasDir", (tmp_ / "nowhere").string()}});
  auto [aliases, errors] = config_.load_aliases();
  EXPECT_TRUE(aliases.empty());
  EXPECT_EQ(errors,
            std::vector<std::string>{"AliasDir does not exist: " + (tmp_ / "nowhere").string()});
}

TEST_F(AliasTest, ReloadWithOneBrokenFileKeepsThePreviousSetWhole) {
  tmp_.write("aliases/a.yaml", kHello);
  tmp_.write("aliases/b.yaml", process_alias("second"));
  load();
  EXPECT_EQ(config_.reload_aliases(), std::vector<std::string>{});
  const std::shared_ptr<const AliasSet> before = config_.aliases();
  const std::shared_ptr<const Value> held = config_.get_alias("second");
  ASSERT_NE(held, nullptr);

  // a.yaml changes validly, b.yaml breaks: nothing of the new load may be applied.
  tmp_.write("aliases/a.yaml", process_alias("hello", ", timeout: 5"));
  tmp_.write("aliases/b.yaml", "name: [broken\n");
  tmp_.write("aliases/c.yaml", process_alias("third"));
  const std::vector<std::string> errors = config_.reload_aliases();
  ASSERT_EQ(errors.size(), 1u);
  EXPECT_TRUE(errors[0].starts_with("b.yaml: invalid YAML: ")) << errors[0];
  EXPECT_EQ(config_.aliases(), before);
  EXPECT_EQ(names(config_.get_all_aliases()), (std::vector<std::string>{"hello", "second"}));
  EXPECT_EQ(config_.get_alias("hello")->find("timeout"), nullptr);
  EXPECT_EQ(config_.get_alias("third"), nullptr);

  // Fixed: the new set replaces the old whole; a definition held from before stays usable.
  tmp_.write("aliases/b.yaml", process_alias("renamed"));
  EXPECT_EQ(config_.reload_aliases(), std::vector<std::string>{});
  EXPECT_EQ(names(config_.get_all_aliases()),
            (std::vector<std::string>{"hello", "renamed", "third"}));
  EXPECT_EQ(config_.get_alias("hello")->at("timeout"), Value(5));
  EXPECT_EQ(config_.get_alias("second"), nullptr);
  EXPECT_EQ(held->at("name"), Value("second"));
}

TEST_F(AliasTest, ReloadIsRejectedWhenANewAliasImageCannotBePulled) {
  tmp_.write("aliases/a.yaml", kHello);
  load({{"PrefetchImage", "on-config-change"}});
  ASSERT_EQ(config_.reload_aliases(), std::vector<std::string>{});

  // No engine listens on this socket, so the new alias's image cannot be fetched.
  ::setenv("DOCKER_HOST", ("unix://" + (tmp_ / "no-engine.sock").string()).c_str(), 1);
  tmp_.write("aliases/b.yaml",
             container_alias("fresh", "{source: /etc/hosts, target: /h, mode: ro}"));
  const std::vector<std::string> errors = config_.reload_aliases();
  ::unsetenv("DOCKER_HOST");
  ASSERT_EQ(errors.size(), 1u);
  EXPECT_TRUE(errors[0].starts_with("Failed to prefetch image 'busybox:latest' for alias(es) fresh: ") ||
              errors[0].starts_with("Cannot reach Docker to prefetch changed alias images: "))
      << errors[0];
  EXPECT_EQ(names(config_.get_all_aliases()), std::vector<std::string>{"hello"});
}

TEST(ConfigOutcomes, RecordedOutcomesAreKept) {
  Config c;
  EXPECT_FALSE(c.startup_outcome().has_value());
  EXPECT_FALSE(c.last_auth_reload().has_value());
  EXPECT_FALSE(c.last_alias_reload().has_value());
  c.record_startup_success();
  c.record_auth_reload(false);
  c.record_alias_reload(true);
  ASSERT_TRUE(c.startup_outcome().has_value());
  EXPECT_TRUE(c.startup_outcome()->success);
  EXPECT_FALSE(c.last_auth_reload()->success);
  EXPECT_TRUE(c.last_alias_reload()->success);
  c.record_alias_reload(false);
  EXPECT_FALSE(c.last_alias_reload()->success);
}

}  // namespace
}  // namespace tolvan::config
