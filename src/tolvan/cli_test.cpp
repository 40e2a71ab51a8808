#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "tolvan/service.h"
#include "value/testing/temp_dir.h"

namespace tolvan::service {
namespace {

struct Parsed {
  std::variant<CommandLine, int> result;
  std::string out;
  std::string err;
};

Parsed parse(std::vector<const char*> args) {
  args.insert(args.begin(), "tolvan");
  std::ostringstream out, err;
  auto result = parse_command_line(static_cast<int>(args.size()), args.data(), out, err);
  return {std::move(result), out.str(), err.str()};
}

TEST(ParseCommandLine, HelpListsEveryOptionWithItsMetavarAndHelpOnStandardOutput) {
  const Parsed p = parse({"--help"});
  ASSERT_EQ(std::get<int>(p.result), 0);
  EXPECT_EQ(p.err, "");
  EXPECT_NE(p.out.find("Tolvan - Secure Execution Gateway"), std::string::npos);
  EXPECT_NE(p.out.find("Configuration file path (default: /etc/tolvan/tolvan.conf)"),
            std::string::npos);
  EXPECT_NE(p.out.find("Detach from the terminal and run as a background daemon"),
            std::string::npos);
  std::size_t last = 0;
  for (const OverrideOption& o : CLI_TO_KEY) {
    std::string flag = "--" + std::string(o.dest);
    for (char& c : flag) c = c == '_' ? '-' : c;
    const std::size_t at = p.out.find(flag + " " + std::string(o.metavar));
    ASSERT_NE(at, std::string::npos) << flag;
    EXPECT_GT(at, last) << flag << " out of order";
    last = at;
    EXPECT_NE(p.out.find("Override " + std::string(o.key) + " ", at), std::string::npos) << flag;
  }
  EXPECT_NE(p.out.find("(path [level] [format])"), std::string::npos);
  EXPECT_NE(p.out.find("Override Container auto-detection from configuration"),
            std::string::npos);
  EXPECT_EQ(std::get<int>(parse({"-h"}).result), 0);
}

TEST(ParseCommandLine, VersionPrintsProgramNameAndVersion) {
  const Parsed p = parse({"--version"});
  ASSERT_EQ(std::get<int>(p.result), 0);
  EXPECT_EQ(p.out, "Tolvan " + version_info().version + "\n");
}

TEST(ParseCommandLine, UsageErrorsExitWithStatusTwoOnStandardError) {
  const std::vector<std::vector<const char*>> rows = {
      {"--no-such-option"},
      {"--listen-port"},  // value missing
      {"--config"},
      {"stray-positional"},
  };
  for (const auto& row : rows) {
    const Parsed p = parse(row);
    ASSERT_TRUE(std::holds_alternative<int>(p.result)) << row[0];
    EXPECT_EQ(std::get<int>(p.result), 2) << row[0];
    EXPECT_EQ(p.out, "") << row[0];
    EXPECT_NE(p.err.find("Usage: tolvan"), std::string::npos) << row[0];
  }
}

TEST(ParseCommandLine, OverridesKeepTypedTextInTableOrder) {
  const Parsed p = parse({"--ssl-enabled", "false", "--listen-port", "8443", "--daemon",
                          "--config", "rel/tolvan.conf", "--container", ""});
  const auto& cl = std::get<CommandLine>(p.result);
  EXPECT_TRUE(cl.daemon);
  EXPECT_EQ(cl.config, "rel/tolvan.conf");
  const std::vector<std::pair<std::string, std::string>> expected = {
      {"ListenPort", "8443"}, {"SslEnabled", "false"}, {"Container", ""}};
  EXPECT_EQ(cl.overrides, expected);

  // Texts the store will refuse are still passed on unchanged: the parser checks no choices.
  const Parsed odd = parse({"--refresh-image=sometimes", "--listen-port", "port"});
  const std::vector<std::pair<std::string, std::string>> odd_expected = {
      {"ListenPort", "port"}, {"RefreshImage", "sometimes"}};
  EXPECT_EQ(std::get<CommandLine>(odd.result).overrides, odd_expected);
}

TEST(ParseCommandLine, NothingGivenMeansNoOverridesAndDefaultConfig) {
  const Parsed p = parse({});
  const auto& cl = std::get<CommandLine>(p.result);
  EXPECT_FALSE(cl.daemon);
  EXPECT_FALSE(cl.config.has_value());
  EXPECT_TRUE(cl.overrides.empty());
}

TEST(ParseCommandLine, RepeatedOptionTakesTheLastValue) {
  const Parsed p = parse({"--log-level", "info", "--log-level", "debug"});
  const auto& cl = std::get<CommandLine>(p.result);
  ASSERT_EQ(cl.overrides.size(), 1u);
  EXPECT_EQ(cl.overrides[0].second, "debug");
}

TEST(ResolveVersion, PrefersThePackageShippingTheExecutableThenKnownNamesThenTheBuild) {
  tolvan::testing::TempDir tmp;
  const std::string dir = std::filesystem::canonical(tmp.path()).string();
  std::filesystem::create_directories(dir + "/info");
  const std::string exe = dir + "/tolvan-bin";
  std::ofstream(exe) << "x";
  std::ofstream(dir + "/status") << "Package: tolvan-gateway\nStatus: install ok installed\n"
                                    "Version: 2.0-1\n\n"
                                    "Package: tolvan\nStatus: install ok installed\n"
                                    "Version: 1.5-3\n\n"
                                    "Package: tolvan-dbg\nStatus: deinstall ok config-files\n"
                                    "Version: 9.9\n";
  std::ofstream(dir + "/info/tolvan-gateway:amd64.list") << "/usr\n" << exe << "\n";
  VersionSources sources{.dpkg_status = dir + "/status",
                         .dpkg_info_dir = dir + "/info",
                         .executable = exe,
                         .build_version = "0.1.0"};

  VersionInfo v = resolve_version(sources);
  EXPECT_EQ(v.version, "2.0-1");
  EXPECT_EQ(v.found_pkg, "tolvan-gateway");

  sources.executable = dir + "/status";  // not shipped by any package
  v = resolve_version(sources);
  EXPECT_EQ(v.version, "1.5-3");
  EXPECT_EQ(v.found_pkg, "tolvan");

  sources.dpkg_status = dir + "/missing";
  v = resolve_version(sources);
  EXPECT_EQ(v.version, "0.1.0");
  EXPECT_FALSE(v.found_pkg.has_value());

  sources.build_version.clear();
  EXPECT_EQ(resolve_version(sources).version, "unknown");
}

}  // namespace
}  // namespace tolvan::service
