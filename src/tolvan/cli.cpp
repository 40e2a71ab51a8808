// The command line of the `tolvan` program.

#include <CLI/CLI.hpp>

#include <ostream>
#include <string>

#include "tolvan/service.h"

namespace tolvan::service {

const std::array<OverrideOption, 22> CLI_TO_KEY{{
    {"pid_file", "PidFile", "PATH"},
    {"auth_dir", "AuthDir", "DIR"},
    {"alias_dir", "AliasDir", "DIR"},
    {"shared_dir", "SharedDir", "DIR"},
    {"external_dir", "ExternalDir", "DIR"},
    {"listen_address", "ListenAddress", "ADDR"},
    {"listen_port", "ListenPort", "PORT"},
    {"ssl_enabled", "SslEnabled", "true|false|1|0"},
    {"ssl_cert", "SslCert", "PATH"},
    {"ssl_key", "SslKey", "PATH"},
    {"log_level", "LogLevel", "LEVEL"},
    {"log_dir", "LogDir", "DIR"},
    {"audit_log", "AuditLog", "PATH"},
    {"app_log", "AppLog", "SPEC"},
    {"logs_api_key", "LogsApiKey", "KEY"},
    {"health_api_key", "HealthApiKey", "KEY"},
    {"auth_reload", "AuthReload", "SECONDS"},
    {"alias_reload", "AliasReload", "SECONDS"},
    {"container", "Container", "0|1"},
    {"max_timeout", "MaxTimeout", "SECONDS"},
    {"refresh_image", "RefreshImage", "always|on-start|no"},
    {"prefetch_image", "PrefetchImage", "on-start|on-config-change|no"},
}};

namespace {

std::string option_flag(std::string_view dest) {
  std::string flag = "--" + std::string(dest);
  for (char& c : flag) {
    if (c == '_') c = '-';
  }
  return flag;
}

std::string help_for(const OverrideOption& o) {
  if (o.key == "AppLog") return "Override AppLog from configuration (path [level] [format])";
  if (o.key == "Container") return "Override Container auto-detection from configuration";
  return "Override " + std::string(o.key) + " from configuration";
}

}  // namespace

std::variant<CommandLine, int> parse_command_line(int argc, const char* const* argv,
                                                  std::ostream& out, std::ostream& err) {
  CLI::App app{"Tolvan - Secure Execution Gateway", "tolvan"};
  app.set_version_flag("--version", [] { return "Tolvan " + version_info().version; },
                       "Show the program's version and exit");

  std::string config_path;
  bool daemon = false;
  // Values are kept exactly as typed: checking and converting them is the store's task.
  CLI::Option* config_opt =
      app.add_option("--config", config_path,
                     "Configuration file path (default: " + std::string(DEFAULT_CONFIG) + ")")
          ->type_name("CONFIG")
          ->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
  app.add_flag("--daemon", daemon, "Detach from the terminal and run as a background daemon");

  std::array<std::string, CLI_TO_KEY.size()> values;
  std::array<CLI::Option*, CLI_TO_KEY.size()> options{};
  for (std::size_t i = 0; i < CLI_TO_KEY.size(); ++i) {
    options[i] = app.add_option(option_flag(CLI_TO_KEY[i].dest), values[i], help_for(CLI_TO_KEY[i]))
                     ->type_name(std::string(CLI_TO_KEY[i].metavar))
                     ->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
  }

  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp&) {
    out << app.help();
    return 0;
  } catch (const CLI::CallForAllHelp&) {
    out << app.help();
    return 0;
  } catch (const CLI::CallForVersion& e) {
    out << e.what() << '\n';
    return 0;
  } catch (const CLI::ParseError& e) {
    err << "Usage: tolvan [OPTIONS]\n"
        << "tolvan: error: " << e.what() << '\n'
        << "Run with --help for the list of options.\n";
    return 2;
  }

  CommandLine cl;
  cl.daemon = daemon;
  if (config_opt->count() > 0) cl.config = config_path;
  for (std::size_t i = 0; i < CLI_TO_KEY.size(); ++i) {
    if (options[i]->count() > 0) cl.overrides.emplace_back(CLI_TO_KEY[i].key, values[i]);
  }
  return cl;
}

}  // namespace tolvan::service
