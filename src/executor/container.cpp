// Container runs: a throw-away container through the container engine, with the alias's
// volumes bound in.

#include <errno.h>
#include <fcntl.h>

#include <algorithm>
#include <chrono>
#include <exception>
#include <filesystem>
#include <future>
#include <stdexcept>
#include <string>
#include <utility>

#include "config/config.h"
#include "executor/executor.h"
#include "executor/internal/reaper.h"
#include "executor/internal/runner.h"
#include "executor/internal/text.h"
#include "fetcher/fetcher.h"
#include "template/template.h"
#include "value/codec.h"

namespace tolvan::executor {

namespace detail {

namespace {

void add_bind(std::vector<docker::Bind>& binds, std::string host, std::string location,
              std::string mode) {
  const auto same = std::find_if(binds.begin(), binds.end(),
                                 [&](const docker::Bind& b) { return b.host == host; });
  if (same != binds.end()) {
    same->container = std::move(location);
    same->mode = std::move(mode);
    return;
  }
  binds.push_back({std::move(host), std::move(location), std::move(mode)});
}

void write_volume_file(const RunDirFs& run_dir, const std::string& rel,
                       const Value& content_template, const Mapping& params) {
  run_dir.write_file(rel, tmpl::render(content_template, params));
}

// The engine follows links when it binds a path, so a bound path must not contain any.
void check_bindable(const RunDirFs& run_dir, const std::string& rendered) {
  if (run_dir.open(rendered, O_PATH, 0, /*no_symlinks=*/true)) return;
  if (errno == ELOOP) {
    throw FsError("cannot bind volume source " + quote_literal(run_dir.path() + "/" + rendered) +
                  ": it passes through a symbolic link");
  }
  throw FsError(run_dir.describe("cannot bind volume source", rendered, errno));
}

}  // namespace

std::string to_host_path(const std::string& local_path, const std::string& shared_dir,
                         const std::string& external_dir) {
  namespace fs = std::filesystem;
  if (external_dir.empty()) return local_path;
  const fs::path local = normalise(fs::absolute(local_path).string());
  const fs::path shared = normalise(fs::absolute(shared_dir).string());
  return (fs::path(external_dir) / local.lexically_relative(shared)).string();
}

Volumes build_volumes(const Value& alias_cfg, const Mapping& params, const RunDirFs* run_dir,
                      const std::string& shared_dir, const std::string& external_dir) {
  Volumes out;
  const Value& volumes = field(alias_cfg, "volumes");
  if (!volumes.is_sequence()) return out;
  const auto need_run_dir = [&]() -> const RunDirFs& {
    if (run_dir == nullptr) throw std::logic_error("volume files need a run directory");
    return *run_dir;
  };
  for (const Value& entry : volumes.as_sequence()) {
    if (!entry.is_mapping()) continue;
    const Value& location_field = field(entry, "location");
    const std::string location = location_field.is_null() ? "" : to_text(location_field);
    const Value& source = field(entry, "source");
    const Value& content = field(entry, "content");
    const Value& mode_field = field(entry, "mode");
    const std::string mode = mode_field.truthy() ? to_text(mode_field) : "rw";

    std::string local;
    bool is_dir = false;
    if (source.is_null()) {
      const RunDirFs& rd = need_run_dir();
      std::string name = random_uuid();
      name.erase(std::remove(name.begin(), name.end(), '-'), name.end());
      write_volume_file(rd, "auto/" + name, content, params);
      local = rd.path() + "/auto/" + name;
      add_bind(out.binds, to_host_path(local, shared_dir, external_dir), location, "rw");
    } else {
      const std::string declared = to_text(source);
      if (declared.starts_with('/')) {
        add_bind(out.binds, declared, location, "ro");
        continue;
      }
      const RunDirFs& rd = need_run_dir();
      const std::string rendered = tmpl::render(source, params);
      const std::string rel = inside_run_dir(rd.path(), rendered, "volume source");
      local = rd.path() + "/" + rendered;
      is_dir = declared.ends_with('/');
      if (is_dir) {
        rd.make_dirs(rel);
      } else {
        write_volume_file(rd, rel, content, params);
      }
      check_bindable(rd, rendered);
      add_bind(out.binds, to_host_path(local, shared_dir, external_dir), location, mode);
    }

    const Value& preserve = field(entry, "preserve");
    if (preserve::is_preserve_enabled(preserve)) {
      const Value& prefix = field(entry, "preservePrefix");
      out.to_preserve.push_back({local, is_dir, preserve::normalize_preserve(preserve),
                                 prefix.is_null() ? std::string() : to_text(prefix)});
    }
  }
  return out;
}

std::pair<std::optional<std::string>, std::optional<std::string>> safe_container_logs(
    const docker::Client& client, const std::string& container_id) noexcept {
  try {
    std::string out = utf8_replace_invalid(client.logs(container_id, docker::LogStream::Stdout));
    std::string err = utf8_replace_invalid(client.logs(container_id, docker::LogStream::Stderr));
    return {std::move(out), std::move(err)};
  } catch (...) {
    return {std::nullopt, std::nullopt};
  }
}

}  // namespace detail

namespace {

// How long the wait may still take after the kill before forced removal ends the container.
constexpr std::chrono::seconds kKillGrace(10);
// The time each engine call may take once the time limit has passed (kill, logs, removal), so
// an engine that stopped answering cannot hold the request past the limit for long.
constexpr double kCallAfterLimit = 3.0;
// The wait itself gives up this long after the limit: after the kill, the log fetches, the
// grace and the forced removal have had their time.
constexpr double kWaitAfterLimit = static_cast<double>(kKillGrace.count()) + 4 * kCallAfterLimit;

// A client for the same engine whose every call gives up after `seconds`.
std::shared_ptr<docker::Client> impatient(const docker::Client& client, double seconds) {
  docker::Settings settings = client.settings();
  settings.request_timeout_seconds = seconds;
  settings.stall_timeout_seconds = seconds;
  return std::make_shared<docker::Client>(std::move(settings));
}

// Removes the container with force when it goes out of scope; a removal the engine cannot do
// now is retried in the background.
class ContainerRemover {
 public:
  ContainerRemover(std::shared_ptr<docker::Client> client, std::string id)
      : client_(std::move(client)), id_(std::move(id)) {}
  ~ContainerRemover() { remove_now(); }
  ContainerRemover(const ContainerRemover&) = delete;
  ContainerRemover& operator=(const ContainerRemover&) = delete;

  /// The client the removal goes through from now on.
  void use(std::shared_ptr<docker::Client> client) { client_ = std::move(client); }

  void remove_now() noexcept {
    if (done_) return;
    done_ = true;
    detail::remove_container(client_, id_);
  }

 private:
  std::shared_ptr<docker::Client> client_;
  std::string id_;
  bool done_ = false;
};

std::chrono::duration<double> seconds_for(double s) {
  constexpr double kMaxSeconds = 100.0 * 365 * 24 * 3600;
  return std::chrono::duration<double>(std::clamp(s, 0.0, kMaxSeconds));
}

}  // namespace

Value Executor::execute_container(const Value& alias_cfg, const Mapping& params) {
  using namespace detail;
  // Preparation: failures here propagate to the caller and nothing needs closing.
  const std::string shared_dir = prepare_shared_dir();
  const Value external = config::config.get("ExternalDir");
  const std::string external_dir = external.truthy() ? to_text(external) : "";
  const std::optional<std::string> run_dir = create_run_dir(shared_dir, alias_cfg);
  std::vector<preserve::PreserveSpec> to_preserve;
  const Sequence stream_entries =
      preserve::expand_preserve_streams(field(alias_cfg, "preserveStreams"));

  std::optional<std::string> captured_stdout;
  std::optional<std::string> captured_stderr;
  Value container_id;
  Value image_id;
  Value result;

  std::shared_ptr<docker::Client> client;
  try {
    client = get_docker_client();
  } catch (const std::exception& e) {
    app_log().error(std::string("Docker client unavailable: ") + e.what());
    result =
        Mapping{{"success", false}, {"error", std::string("Docker not available: ") + e.what()}};
    close_run(stream_entries, captured_stdout, captured_stderr, run_dir, &to_preserve);
    return result;
  }

  try {
    std::optional<RunDirFs> fs;
    if (run_dir) fs.emplace(*run_dir);
    const RunDirFs* rd = fs ? &*fs : nullptr;

    docker::RunOptions options;
    const Value& image = field(alias_cfg, "image");
    options.image = image.is_null() ? "" : to_text(image);
    const Value& command = field(alias_cfg, "command");
    if (command.truthy()) options.command = tmpl::render(command, params);
    const Value& environment = field(alias_cfg, "environment");
    if (environment.is_mapping()) {
      for (const auto& [name, definition] : environment.as_mapping()) {
        const std::string key = to_text(name);
        std::string value = tmpl::render(Value(env_value(definition)), params, run_dir);
        auto same = std::find_if(options.environment.begin(), options.environment.end(),
                                 [&](const auto& kv) { return kv.first == key; });
        if (same != options.environment.end()) {
          same->second = std::move(value);
        } else {
          options.environment.emplace_back(key, std::move(value));
        }
      }
    }
    Volumes volumes = build_volumes(alias_cfg, params, rd, shared_dir, external_dir);
    options.binds = std::move(volumes.binds);
    to_preserve = std::move(volumes.to_preserve);
    precreate_output_dirs(alias_cfg, params, rd);

    const Value time_limit = resolve_timeout(alias_cfg);
    const double pull_time = fetcher::refresh_before_run(
        client, alias_cfg, config::config.get("RefreshImage"), time_limit);
    const double remaining = std::max(0.0, time_limit.as_float() - pull_time);
    const Value network = config::config.get("ContainerNetwork");
    if (network.truthy()) options.network_mode = to_text(network);

    if (app_log().enabled_for(log::DEBUG)) {
      app_log().debug("Running container: image=" + quote_literal(options.image) +
                      " cmd=" + (options.command ? quote_literal(*options.command) : "None"));
    }
    const docker::Container container = client->run(options);
    ContainerRemover remover(client, container.id);
    container_id = short_id(container.id.empty() ? Value() : Value(container.id));
    const Value* image_ref = container.attrs.find("Image");
    image_id = short_id(image_ref != nullptr ? *image_ref : Value());

    // The wait runs on a worker of its own so this thread can stop waiting at the limit. It
    // gives up some time after the limit, so the worker is joined in bounded time even when
    // the engine stops answering.
    std::future<Value> waiter = std::async(
        std::launch::async, [client, id = container.id, limit = remaining + kWaitAfterLimit] {
          return client->wait(id, limit);
        });
    if (waiter.wait_for(seconds_for(remaining)) != std::future_status::ready) {
      const std::shared_ptr<docker::Client> after_limit = impatient(*client, kCallAfterLimit);
      remover.use(after_limit);
      try {
        after_limit->kill(container.id);
      } catch (...) {
      }
      std::tie(captured_stdout, captured_stderr) = safe_container_logs(*after_limit, container.id);
      // The killed container stops and the wait returns; should the kill have failed, the
      // forced removal ends it; should the engine not answer at all, the wait gives up.
      if (waiter.wait_for(kKillGrace) != std::future_status::ready) remover.remove_now();
      waiter.wait();
      result = Mapping{{"success", false},
                       {"timed_out", true},
                       {"returncode", nullptr},
                       {"container_id", container_id},
                       {"image_id", image_id},
                       {"error", "Container timed out after " + to_text(time_limit) + " seconds"}};
    } else {
      const Value status = waiter.get();
      const Value* code = status.find("StatusCode");
      const Value returncode = code != nullptr ? *code : Value(0);
      std::string out = utf8_replace_invalid(client->logs(container.id, docker::LogStream::Stdout));
      std::string err = utf8_replace_invalid(client->logs(container.id, docker::LogStream::Stderr));
      captured_stdout = out;
      captured_stderr = err;
      Mapping file_outputs = collect_output_files(alias_cfg, params, rd);
      result = Mapping{{"success", true},
                       {"returncode", returncode},
                       {"container_id", container_id},
                       {"image_id", image_id},
                       {"stdout", std::move(out)},
                       {"stderr", std::move(err)},
                       {"file_outputs", std::move(file_outputs)}};
    }
  } catch (const docker::ImageNotFound& e) {
    result = Mapping{{"success", false},
                     {"error", std::string("Container image not found: ") + e.what()},
                     {"container_id", container_id},
                     {"image_id", image_id}};
  } catch (const std::exception& e) {
    app_log().error(std::string("Container execution error: ") + e.what());
    result = Mapping{{"success", false},
                     {"error", e.what()},
                     {"container_id", container_id},
                     {"image_id", image_id}};
  }
  close_run(stream_entries, captured_stdout, captured_stderr, run_dir, &to_preserve);
  return result;
}

}  // namespace tolvan::executor
