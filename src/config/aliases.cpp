#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <exception>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <system_error>

#include "config/config.h"
#include "fetcher/fetcher.h"
#include "validator/validator.h"
#include "value/yaml.h"
#include "workspace/workspace.h"

namespace tolvan::config {

namespace fs = std::filesystem;

namespace {

bool is_alias_file_name(const std::string& name) {
  return name.ends_with(".yaml") || name.ends_with(".yml");
}

std::shared_ptr<const Outcome> outcome_now(bool success) {
  return std::make_shared<const Outcome>(Outcome{success, std::chrono::system_clock::now()});
}

std::optional<Outcome> read_outcome(const std::atomic<std::shared_ptr<const Outcome>>& slot) {
  const std::shared_ptr<const Outcome> outcome = slot.load();
  if (!outcome) return std::nullopt;
  return *outcome;
}

bool path_exists(const std::string& path) {
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0;
}

}  // namespace

namespace detail {

bool running_in_container(const Value& container_setting, const std::string& dockerenv_path,
                          const std::string& containerenv_path, const char* env_name) {
  if (container_setting.is_null()) {
    return path_exists(dockerenv_path) || path_exists(containerenv_path) ||
           std::getenv(env_name) != nullptr;
  }
  const std::string word = to_lower(to_text(container_setting));
  return word == "1" || word == "true";
}

}  // namespace detail

bool running_in_container(const Value& container_setting) {
  return detail::running_in_container(container_setting, "/.dockerenv", "/run/.containerenv",
                                      "container");
}

void Config::check_definition(const std::string& file, std::size_t index, Value definition,
                              AliasSet& aliases, std::map<std::string, std::string>& first_file,
                              std::vector<std::string>& errors) const {
  Value max_timeout = get("MaxTimeout");
  if (max_timeout.is_int() && max_timeout.as_int() == 0) max_timeout = Value();  // 0: no cap

  std::vector<std::string> messages;
  try {
    messages = validator::validate_alias_definition(definition, max_timeout);
  } catch (const std::exception& e) {
    messages.push_back(e.what());
  }

  const Value* name_value = definition.find("name");
  const bool usable_name =
      name_value != nullptr && name_value->is_string() && !name_value->as_string().empty();
  if (name_value != nullptr && !name_value->is_null() && !name_value->is_string()) {
    messages.push_back("'name' must be a string, got " + to_literal(*name_value));
  }
  const std::string prefix = usable_name
                                 ? file + ": alias '" + name_value->as_string() + "': "
                                 : file + ": item " + std::to_string(index) + ": ";
  for (const std::string& m : messages) errors.push_back(prefix + m);

  bool accepted = messages.empty() && usable_name;
  if (usable_name) {
    const std::string& name = name_value->as_string();
    if (auto it = first_file.find(name); it != first_file.end()) {
      errors.push_back(file + ": duplicate alias name '" + name + "' (first defined in " +
                       it->second + ")");
      accepted = false;
    } else {
      first_file.emplace(name, file);
    }
  }
  if (usable_name && workspace::needs_external_dir(definition) &&
      running_in_container(get("Container")) && !get("ExternalDir").truthy()) {
    errors.push_back(prefix +
                     "mounts a SharedDir-relative volume, which needs ExternalDir when running "
                     "in a container");
    accepted = false;
  }
  if (accepted) aliases.set(Value(name_value->as_string()), std::move(definition));
}

void Config::load_alias_file(const std::string& dir, const std::string& file, AliasSet& aliases,
                             std::map<std::string, std::string>& first_file,
                             std::vector<std::string>& errors) const {
  std::ifstream in(fs::path(dir) / file, std::ios::binary);
  if (!in) {
    errors.push_back(file + ": cannot read: " + std::generic_category().message(errno));
    return;
  }
  std::stringstream text;
  text << in.rdbuf();
  if (in.bad()) {
    errors.push_back(file + ": cannot read: " + std::generic_category().message(errno));
    return;
  }
  Value document;
  try {
    document = load_yaml(text.str());
  } catch (const YamlError& e) {
    errors.push_back(file + ": invalid YAML: " + e.what());
    return;
  }
  if (document.is_mapping()) {
    check_definition(file, 0, std::move(document), aliases, first_file, errors);
    return;
  }
  if (!document.is_sequence()) {
    errors.push_back(file + ": expected an alias mapping or a list of alias mappings");
    return;
  }
  Sequence& items = document.as_sequence();
  for (std::size_t i = 0; i < items.size(); ++i) {
    if (!items[i].is_mapping()) {
      errors.push_back(file + ": item " + std::to_string(i) + " is not a mapping");
      continue;
    }
    check_definition(file, i, std::move(items[i]), aliases, first_file, errors);
  }
}

std::pair<AliasSet, std::vector<std::string>> Config::load_aliases() const {
  AliasSet aliases;
  std::vector<std::string> errors;
  const std::string dir = to_text(get("AliasDir"));
  std::error_code ec;
  if (get("AliasDir").is_null() || !fs::is_directory(dir, ec)) {
    errors.push_back("AliasDir does not exist: " + dir);
    return {std::move(aliases), std::move(errors)};
  }

  std::vector<std::string> files;
  fs::directory_iterator it(dir, ec);
  if (ec) {
    errors.push_back(dir + ": cannot read: " + ec.message());
    return {std::move(aliases), std::move(errors)};
  }
  for (const fs::directory_entry& entry : it) {
    std::string name = entry.path().filename().string();
    std::error_code type_ec;
    if (is_alias_file_name(name) && entry.is_regular_file(type_ec)) files.push_back(std::move(name));
  }
  std::sort(files.begin(), files.end());

  std::map<std::string, std::string> first_file;
  for (const std::string& file : files) load_alias_file(dir, file, aliases, first_file, errors);
  return {std::move(aliases), std::move(errors)};
}

void Config::apply_aliases(AliasSet aliases) {
  aliases_.store(std::make_shared<const AliasSet>(std::move(aliases)));
}

std::shared_ptr<const AliasSet> Config::aliases() const { return aliases_.load(); }

std::shared_ptr<const Value> Config::get_alias(std::string_view name) const {
  std::shared_ptr<const AliasSet> snapshot = aliases_.load();
  const Value* definition = snapshot->find(name);
  if (definition == nullptr) return nullptr;
  // Shares ownership of the whole snapshot, so the definition outlives a reload.
  return std::shared_ptr<const Value>(std::move(snapshot), definition);
}

std::vector<Value> Config::get_all_aliases() const {
  const std::shared_ptr<const AliasSet> snapshot = aliases_.load();
  std::vector<Value> all;
  all.reserve(snapshot->size());
  for (const auto& [name, definition] : *snapshot) all.push_back(definition);
  return all;
}

std::vector<std::string> Config::reload_aliases() {
  std::lock_guard<std::mutex> lock(reload_mutex_);
  auto [fresh, errors] = load_aliases();
  if (!errors.empty()) return errors;
  const std::shared_ptr<const AliasSet> previous = aliases_.load();
  std::vector<std::string> blocking =
      fetcher::reload_pull(*previous, fresh, get("PrefetchImage"));
  if (!blocking.empty()) return blocking;
  apply_aliases(std::move(fresh));
  return {};
}

void Config::record_startup_success() { startup_.store(outcome_now(true)); }
void Config::record_auth_reload(bool success) { auth_reload_.store(outcome_now(success)); }
void Config::record_alias_reload(bool success) { alias_reload_.store(outcome_now(success)); }
std::optional<Outcome> Config::startup_outcome() const { return read_outcome(startup_); }
std::optional<Outcome> Config::last_auth_reload() const { return read_outcome(auth_reload_); }
std::optional<Outcome> Config::last_alias_reload() const { return read_outcome(alias_reload_); }

}  // namespace tolvan::config
