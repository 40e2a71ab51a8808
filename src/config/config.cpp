#include "config/config.h"

#include <arpa/inet.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdint>
#include <fstream>
#include <functional>
#include <set>
#include <sstream>
#include <string>
#include <system_error>
#include <variant>

#include "fetcher/fetcher.h"
#include "value/log.h"

namespace tolvan::config {

namespace {

std::string join_lines(const std::vector<std::string>& errors) {
  std::string joined;
  for (const std::string& e : errors) {
    if (!joined.empty()) joined += '\n';
    joined += e;
  }
  return joined;
}

bool is_blank(char c) { return c == ' ' || c == '\t'; }

std::string_view strip_blanks(std::string_view s) {
  while (!s.empty() && is_blank(s.front())) s.remove_prefix(1);
  while (!s.empty() && is_blank(s.back())) s.remove_suffix(1);
  return s;
}

std::vector<std::string> split_blanks(std::string_view s) {
  std::vector<std::string> words;
  std::size_t i = 0;
  while (i < s.size()) {
    while (i < s.size() && is_blank(s[i])) ++i;
    const std::size_t start = i;
    while (i < s.size() && !is_blank(s[i])) ++i;
    if (i > start) words.emplace_back(s.substr(start, i - start));
  }
  return words;
}

// A converted value, or the problem text that follows "{Key} " in a message.
using Converted = std::variant<Value, std::string>;
using Converter = std::function<Converted(const std::string&)>;

std::string got(const std::string& raw) { return ", got '" + raw + "'"; }

std::optional<std::int64_t> parse_integer(const std::string& raw) {
  std::size_t i = 0;
  bool negative = false;
  if (i < raw.size() && (raw[i] == '+' || raw[i] == '-')) negative = raw[i++] == '-';
  if (i == raw.size()) return std::nullopt;
  std::int64_t n = 0;
  for (; i < raw.size(); ++i) {
    if (raw[i] < '0' || raw[i] > '9') return std::nullopt;
    if (n > (INT64_MAX - 9) / 10) return std::nullopt;
    n = n * 10 + (raw[i] - '0');
  }
  return negative ? -n : n;
}

Converted as_text(const std::string& raw) { return Value(raw); }

Converted as_port(const std::string& raw) {
  const auto n = parse_integer(raw);
  if (!n || *n < 1 || *n > 65535) return "must be an integer from 1 to 65535" + got(raw);
  return Value(*n);
}

Converted as_seconds(const std::string& raw) {
  const auto n = parse_integer(raw);
  if (!n || *n < 0) return "must be a whole number of seconds (0 or more)" + got(raw);
  return Value(*n);
}

Converted as_positive(const std::string& raw) {
  const auto n = parse_integer(raw);
  if (!n || *n < 1) return "must be an integer of 1 or more" + got(raw);
  return Value(*n);
}

Converted as_boolean(const std::string& raw) {
  const std::string word = to_lower(raw);
  if (word == "true" || word == "yes" || word == "on" || word == "1") return Value(true);
  if (word == "false" || word == "no" || word == "off" || word == "0") return Value(false);
  return "must be true or false" + got(raw);
}

Converter one_of(std::set<std::string> allowed) {
  return [allowed = std::move(allowed)](const std::string& raw) -> Converted {
    const std::string word = to_lower(raw);
    if (allowed.contains(word)) return Value(word);
    return "must be one of " +
           sorted_literal(std::vector<std::string>(allowed.begin(), allowed.end())) + got(raw);
  };
}

bool is_host_name(std::string_view s) {
  if (s.empty() || s.size() > 253) return false;
  if (s.back() == '.') s.remove_suffix(1);
  std::size_t start = 0;
  while (start <= s.size()) {
    std::size_t end = s.find('.', start);
    if (end == std::string_view::npos) end = s.size();
    const std::string_view label = s.substr(start, end - start);
    if (label.empty() || label.size() > 63 || label.front() == '-' || label.back() == '-') {
      return false;
    }
    for (char c : label) {
      const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                      (c >= '0' && c <= '9') || c == '-';
      if (!ok) return false;
    }
    start = end + 1;
  }
  return true;
}

Converted as_address(const std::string& raw) {
  unsigned char buffer[16];
  if (::inet_pton(AF_INET, raw.c_str(), buffer) == 1) return Value(raw);
  if (::inet_pton(AF_INET6, raw.c_str(), buffer) == 1) return Value(raw);
  if (is_host_name(raw)) return Value(raw);
  return "must be an IPv4 or IPv6 address or a host name" + got(raw);
}

Converted as_app_log(const std::string& raw) {
  const AppLogParts parts = parse_app_log(raw);
  if (parts.unrecognised.empty()) return Value(raw);
  // Several words may be wrong; the caller splits them into one message each.
  std::string problems;
  for (const std::string& w : parts.unrecognised) {
    if (!problems.empty()) problems += '\n';
    problems += ": unrecognised word '" + w + "' (expected a level or json/plain)";
  }
  return problems;
}

struct KeyRule {
  std::string_view key;
  Converter convert;
  Value fallback;         // applied by load; null: unset
  bool optional = false;  // an empty override unsets it
};

const std::vector<KeyRule>& key_rules() {
  static const std::vector<KeyRule> rules = [] {
    std::set<std::string> levels{"trace", "debug", "info", "warn", "warning", "error", "critical"};
    return std::vector<KeyRule>{
        {"AliasDir", as_text, Value("/etc/tolvan/aliases.d")},
        {"AuthDir", as_text, Value("/etc/tolvan/auth.d")},
        {"SharedDir", as_text, Value("/tmp/tolvan")},
        {"ExternalDir", as_text, Value(), true},
        {"LogDir", as_text, Value("/var/log/tolvan")},
        {"AppLog", as_app_log, Value("/var/log/tolvan/app.log")},
        {"AuditLog", as_text, Value("/var/log/tolvan/audit.log")},
        {"LogLevel", one_of(levels), Value("warn")},
        {"PidFile", as_text, Value("/run/tolvan/tolvan.pid")},
        {"ListenAddress", as_address, Value("127.0.0.1")},
        {"ListenPort", as_port, Value(8080)},
        {"SslEnabled", as_boolean, Value(false)},
        {"SslCert", as_text, Value(), true},
        {"SslKey", as_text, Value(), true},
        {"HealthApiKey", as_text, Value(), true},
        {"LogsApiKey", as_text, Value(), true},
        {"AuthReload", as_seconds, Value(0)},
        {"AliasReload", as_seconds, Value(0)},
        {"MaxTimeout", as_seconds, Value(), true},
        {"RefreshImage", one_of(fetcher::REFRESH_IMAGE_VALUES), Value("no")},
        {"PrefetchImage", one_of(fetcher::PREFETCH_IMAGE_VALUES), Value("no")},
        {"Container", as_text, Value(), true},
        {"MaxConcurrentRuns", as_positive, Value(64)},
        {"ContainerNetwork", as_text, Value(), true},
    };
  }();
  return rules;
}

const KeyRule* find_rule(std::string_view key) {
  for (const KeyRule& rule : key_rules()) {
    if (rule.key == key) return &rule;
  }
  return nullptr;
}

// Converts `raw` for `rule` into `settings`, or appends "{where}: {Key} {problem}" messages.
void convert_into(const KeyRule& rule, const std::string& raw, const std::string& where,
                  std::map<std::string, Value, std::less<>>& settings,
                  std::vector<std::string>& errors) {
  Converted converted = rule.convert(raw);
  if (Value* value = std::get_if<Value>(&converted)) {
    settings[std::string(rule.key)] = std::move(*value);
    return;
  }
  std::istringstream problems(std::get<std::string>(converted));
  for (std::string problem; std::getline(problems, problem);) {
    // A problem that starts with ":" reads as "AppLog: ...", the others as "ListenPort must ...".
    const char* sep = problem.starts_with(":") ? "" : " ";
    errors.push_back(where + ": " + std::string(rule.key) + sep + problem);
  }
}

void read_file(const std::string& path, std::map<std::string, Value, std::less<>>& settings,
               std::vector<std::string>& errors) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    errors.push_back(path + ": cannot read: " + std::generic_category().message(errno));
    return;
  }
  std::map<std::string, std::size_t> first_line;
  std::string line;
  for (std::size_t number = 1; std::getline(in, line); ++number) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    const std::string_view text = strip_blanks(line);
    if (text.empty() || text.front() == '#') continue;
    std::size_t key_end = 0;
    while (key_end < text.size() && !is_blank(text[key_end])) ++key_end;
    const std::string key(text.substr(0, key_end));
    std::string value(strip_blanks(text.substr(key_end)));
    const std::string where = path + ":" + std::to_string(number);

    const KeyRule* rule = find_rule(key);
    if (rule == nullptr) {
      errors.push_back(where + ": unknown key '" + key + "'");
      continue;
    }
    if (auto [it, inserted] = first_line.emplace(key, number); !inserted) {
      errors.push_back(where + ": duplicate key '" + key + "' (first set on line " +
                       std::to_string(it->second) + ")");
      continue;
    }
    const bool quoted = value.size() >= 2 && value.front() == '"' && value.back() == '"';
    if (quoted) value = value.substr(1, value.size() - 2);
    if (value.empty()) {
      // `Key ""` unsets an optional key; a bare `Key` is always a mistake.
      if (quoted && rule->optional) {
        settings.erase(key);
        continue;
      }
      errors.push_back(where + ": missing value for '" + key + "'");
      continue;
    }
    convert_into(*rule, value, where, settings, errors);
  }
  if (in.bad()) {
    errors.push_back(path + ": cannot read: " + std::generic_category().message(errno));
  }
}

}  // namespace

ConfigError::ConfigError(std::vector<std::string> errors)
    : std::runtime_error(join_lines(errors)), errors_(std::move(errors)) {}

Config config;

AppLogParts parse_app_log(std::string_view text) {
  AppLogParts parts;
  const std::vector<std::string> words = split_blanks(text);
  if (words.empty()) return parts;
  parts.path = words[0];
  for (std::size_t i = 1; i < words.size(); ++i) {
    const std::string word = to_lower(words[i]);
    if (i > 2) {
      parts.unrecognised.push_back(words[i]);
    } else if (log::level_from_word(word).has_value()) {
      parts.level = word;
    } else if (word == "json" || word == "plain" || word == "text") {
      parts.format = word;
    } else {
      parts.unrecognised.push_back(words[i]);
    }
  }
  return parts;
}

std::string option_name_for_key(std::string_view key) {
  static const std::map<std::string_view, std::string_view> kOptions{
      {"PidFile", "--pid-file"},
      {"AuthDir", "--auth-dir"},
      {"AliasDir", "--alias-dir"},
      {"SharedDir", "--shared-dir"},
      {"ExternalDir", "--external-dir"},
      {"ListenAddress", "--listen-address"},
      {"ListenPort", "--listen-port"},
      {"SslEnabled", "--ssl-enabled"},
      {"SslCert", "--ssl-cert"},
      {"SslKey", "--ssl-key"},
      {"LogLevel", "--log-level"},
      {"LogDir", "--log-dir"},
      {"AuditLog", "--audit-log"},
      {"AppLog", "--app-log"},
      {"LogsApiKey", "--logs-api-key"},
      {"HealthApiKey", "--health-api-key"},
      {"AuthReload", "--auth-reload"},
      {"AliasReload", "--alias-reload"},
      {"Container", "--container"},
      {"MaxTimeout", "--max-timeout"},
      {"RefreshImage", "--refresh-image"},
      {"PrefetchImage", "--prefetch-image"},
  };
  if (auto it = kOptions.find(key); it != kOptions.end()) return std::string(it->second);
  // Keys without an option of their own: the same spelling rule, "MaxConcurrentRuns" ->
  // "--max-concurrent-runs".
  std::string name = "--";
  for (std::size_t i = 0; i < key.size(); ++i) {
    const char c = key[i];
    if (c >= 'A' && c <= 'Z') {
      if (i > 0) name += '-';
      name += static_cast<char>(c - 'A' + 'a');
    } else {
      name += c;
    }
  }
  return name;
}

void Config::load(const std::optional<std::string>& path,
                  const std::map<std::string, std::string>& cli_overrides) {
  Settings settings;
  for (const KeyRule& rule : key_rules()) {
    if (!rule.fallback.is_null()) settings[std::string(rule.key)] = rule.fallback;
  }
  std::vector<std::string> errors;

  const std::string file = path.value_or(std::string(kDefaultConfigPath));
  struct stat st {};
  if (::stat(file.c_str(), &st) != 0) {
    // Only the default file may be missing: then the defaults alone apply.
    if (errno != ENOENT || file != kDefaultConfigPath) {
      errors.push_back(file + ": cannot read: " + std::generic_category().message(errno));
    }
  } else if (S_ISDIR(st.st_mode)) {
    errors.push_back(file + ": is a directory");
  } else {
    read_file(file, settings, errors);
  }

  for (const auto& [key, raw] : cli_overrides) {
    const KeyRule* rule = find_rule(key);
    const std::string where = option_name_for_key(key);
    if (rule == nullptr) {
      errors.push_back(where + ": unknown key '" + key + "'");
      continue;
    }
    if (raw.empty()) {
      if (rule->optional) {
        settings.erase(key);
      } else {
        errors.push_back(where + ": missing value for '" + key + "'");
      }
      continue;
    }
    convert_into(*rule, raw, where, settings, errors);
  }

  if (!errors.empty()) throw ConfigError(std::move(errors));
  settings_.store(std::make_shared<const Settings>(std::move(settings)));
}

Value Config::get(std::string_view key) const {
  const std::shared_ptr<const Settings> settings = settings_.load();
  const auto it = settings->find(key);
  return it == settings->end() ? Value() : it->second;
}

}  // namespace tolvan::config
