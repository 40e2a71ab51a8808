// The configuration file reader. The input is the file's content; after a NUL byte, the rest is
// command-line overrides, one "Key value" per line. Config::load may raise ConfigError (with
// at least one message); a successful load must leave every key readable.

#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <string_view>

#include "config/config.h"
#include "value/value.h"

namespace {

void fail(const char* what, std::string_view detail) {
  std::fprintf(stderr, "config_fuzz: %s: %.*s\n", what, static_cast<int>(detail.size()),
               detail.data());
  std::abort();
}

// One in-memory file per process, rewritten for every input and read through its /proc path.
int config_fd() {
  static const int fd = [] {
    const int f = ::memfd_create("tolvan.conf", MFD_CLOEXEC);
    if (f < 0) fail("memfd_create", "");
    return f;
  }();
  return fd;
}

const std::string& config_path() {
  static const std::string path = "/proc/self/fd/" + std::to_string(config_fd());
  return path;
}

void write_file(std::string_view content) {
  if (::ftruncate(config_fd(), 0) != 0) fail("ftruncate", config_path());
  for (std::size_t done = 0; done < content.size();) {
    const ssize_t n = ::pwrite(config_fd(), content.data() + done, content.size() - done,
                               static_cast<off_t>(done));
    if (n <= 0) fail("write", config_path());
    done += static_cast<std::size_t>(n);
  }
}

std::map<std::string, std::string> overrides_from(std::string_view text) {
  std::map<std::string, std::string> overrides;
  while (!text.empty()) {
    const std::size_t eol = text.find('\n');
    const std::string_view line = text.substr(0, eol);
    text = eol == std::string_view::npos ? std::string_view() : text.substr(eol + 1);
    const std::size_t blank = line.find(' ');
    overrides[std::string(line.substr(0, blank))] =
        blank == std::string_view::npos ? std::string() : std::string(line.substr(blank + 1));
  }
  return overrides;
}

constexpr const char* kKeys[] = {
    "AliasDir",      "AuthDir",    "SharedDir",         "ExternalDir",     "LogDir",
    "AppLog",        "AuditLog",   "LogLevel",          "PidFile",         "ListenAddress",
    "ListenPort",    "SslEnabled", "SslCert",           "SslKey",          "HealthApiKey",
    "LogsApiKey",    "AuthReload", "AliasReload",       "MaxTimeout",      "RefreshImage",
    "PrefetchImage", "Container",  "MaxConcurrentRuns", "ContainerNetwork"};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  const std::size_t nul = input.find('\0');
  write_file(input.substr(0, nul));
  const auto overrides = nul == std::string_view::npos ? std::map<std::string, std::string>{}
                                                       : overrides_from(input.substr(nul + 1));

  tolvan::config::Config cfg;
  try {
    cfg.load(config_path(), overrides);
  } catch (const tolvan::config::ConfigError& e) {
    if (e.errors().empty()) fail("ConfigError without a message", input);
    return 0;
  }
  for (const char* key : kKeys)
    (void)tolvan::to_text(cfg.get(key));
  const tolvan::Value port = cfg.get("ListenPort");
  if (!port.is_int() || port.as_int() < 1 || port.as_int() > 65535) {
    fail("ListenPort accepted out of range", tolvan::to_literal(port));
  }
  const tolvan::Value runs = cfg.get("MaxConcurrentRuns");
  if (!runs.is_int() || runs.as_int() < 1) fail("MaxConcurrentRuns accepted below 1", input);
  (void)tolvan::config::parse_app_log(tolvan::to_text(cfg.get("AppLog")));
  return 0;
}
