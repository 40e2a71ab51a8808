// Process runs: the rendered command through /bin/sh on this host.

#include <algorithm>
#include <chrono>
#include <exception>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "executor/executor.h"
#include "executor/internal/runner.h"
#include "executor/internal/spawn.h"
#include "executor/internal/text.h"
#include "template/template.h"

namespace tolvan::executor {

namespace detail {

void create_process_file(const Value& file_def, const Mapping& params, const RunDirFs& run_dir) {
  const std::string location = tmpl::render(field(file_def, "location"), params);
  const std::string rel = inside_run_dir(run_dir.path(), location, "input file location");
  const std::string content = tmpl::render(field(file_def, "content"), params, run_dir.path());
  run_dir.write_file(rel, content);
}

}  // namespace detail

namespace {

using Clock = std::chrono::steady_clock;

// How long the pipes are still read after the process group has been killed. Only a
// descendant that left the group can keep them open that long.
constexpr std::chrono::milliseconds kDrainGrace(1000);

Clock::time_point deadline_after(double seconds) {
  constexpr double kMaxSeconds = 100.0 * 365 * 24 * 3600;
  const double s = std::clamp(seconds, 0.0, kMaxSeconds);
  return Clock::now() +
         std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(s));
}

// The "NAME=value" array for execve; empty `storage` when `env` is null (inherit).
std::vector<const char*> make_envp(const Value& env, std::vector<std::string>& storage) {
  std::vector<const char*> envp;
  if (env.is_null()) return envp;
  for (const auto& [key, value] : env.as_mapping()) {
    const std::string name = to_text(key);
    const std::string text = to_text(value);
    if (name.empty() || name.find('=') != std::string::npos ||
        name.find('\0') != std::string::npos) {
      throw std::invalid_argument("invalid environment variable name " + quote_literal(name));
    }
    if (text.find('\0') != std::string::npos) {
      throw std::invalid_argument("environment variable " + quote_literal(name) +
                                  " contains a NUL character");
    }
    storage.push_back(name + "=" + text);
  }
  for (const std::string& s : storage)
    envp.push_back(s.c_str());
  envp.push_back(nullptr);
  return envp;
}

}  // namespace

Value Executor::execute_process(const Value& alias_cfg, const Mapping& params) {
  using namespace detail;
  // Preparation: failures here propagate to the caller and nothing needs closing.
  const std::string shared_dir = prepare_shared_dir();
  const std::optional<std::string> run_dir = create_run_dir(shared_dir, alias_cfg);
  const Sequence stream_entries =
      preserve::expand_preserve_streams(field(alias_cfg, "preserveStreams"));

  std::optional<std::string> captured_stdout;
  std::optional<std::string> captured_stderr;
  Value pid;
  Value result;
  try {
    std::optional<RunDirFs> fs;
    if (run_dir) fs.emplace(*run_dir);

    const std::string command = tmpl::render(field(alias_cfg, "command"), params, run_dir);
    const Value env = build_env(alias_cfg, params, run_dir);
    const Value& files = field(alias_cfg, "files");
    if (files.is_sequence()) {
      for (const Value& entry : files.as_sequence()) {
        if (!fs) throw std::logic_error("input files need a run directory");
        create_process_file(entry, params, *fs);
      }
    }
    precreate_output_dirs(alias_cfg, params, fs ? &*fs : nullptr);
    const Value timeout = resolve_timeout(alias_cfg);

    std::optional<Credentials> credentials;
    const Value& user = field(alias_cfg, "user");
    if (user.truthy()) credentials = lookup_user(to_text(user));

    if (app_log().enabled_for(log::DEBUG)) {
      app_log().debug("Executing process: " + quote_literal(command));
    }
    std::vector<std::string> env_storage;
    const std::vector<const char*> envp = make_envp(env, env_storage);

    ShellProcess process(command, envp.empty() ? nullptr : envp.data(),
                         credentials ? &*credentials : nullptr);
    pid = process.pid();
    if (!process.communicate(deadline_after(timeout.as_float()))) {
      process.kill_and_drain(kDrainGrace);
      captured_stdout = universal_newlines(decode_utf8_strict(std::move(process.out()), "stdout"));
      captured_stderr = universal_newlines(decode_utf8_strict(std::move(process.err()), "stderr"));
      result = Mapping{{"success", false},
                       {"timed_out", true},
                       {"returncode", nullptr},
                       {"pid", pid},
                       {"error", "Command timed out after " + to_text(timeout) + " seconds"}};
    } else {
      std::string out = universal_newlines(decode_utf8_strict(std::move(process.out()), "stdout"));
      std::string err = universal_newlines(decode_utf8_strict(std::move(process.err()), "stderr"));
      captured_stdout = out;
      captured_stderr = err;
      Mapping file_outputs = collect_output_files(alias_cfg, params, fs ? &*fs : nullptr);
      result = Mapping{{"success", true},
                       {"returncode", process.returncode()},
                       {"pid", pid},
                       {"stdout", std::move(out)},
                       {"stderr", std::move(err)},
                       {"file_outputs", std::move(file_outputs)}};
    }
  } catch (const std::exception& e) {
    app_log().error(std::string("Process execution error: ") + e.what());
    result = Mapping{{"success", false}, {"error", e.what()}, {"pid", pid}};
  }
  close_run(stream_entries, captured_stdout, captured_stderr, run_dir, nullptr);
  return result;
}

}  // namespace tolvan::executor
