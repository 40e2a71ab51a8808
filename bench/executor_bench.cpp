// Executions per second and latency of execute_alias for a process alias running `echo hello`,
// next to the same command started by a bare fork/exec loop in this program, at 1 and at 8
// concurrent threads. A bare posix_spawn loop (a vfork-style spawn, like the engine's) is shown
// too, so the engine's own overhead can be told from the cost of the spawn method.
//
// Usage: executor_bench [runs-per-thread] [--resident-mb N]
//   --resident-mb N  first allocates and touches N MiB, to show how each path behaves in a
//                    gateway with a large resident set.

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "config/config.h"
#include "executor/executor.h"
#include "validator/validator.h"
#include "value/yaml.h"

namespace {

using Clock = std::chrono::steady_clock;

struct Figures {
  double runs_per_second = 0;
  double median_ms = 0;
  double p99_ms = 0;
};

Figures measure(int threads, int runs_per_thread, const std::function<void()>& op) {
  std::vector<std::vector<double>> per_thread(static_cast<std::size_t>(threads));
  const auto start = Clock::now();
  std::vector<std::thread> workers;
  for (int t = 0; t < threads; ++t) {
    workers.emplace_back([&, t] {
      auto& lat = per_thread[static_cast<std::size_t>(t)];
      lat.reserve(static_cast<std::size_t>(runs_per_thread));
      for (int i = 0; i < runs_per_thread; ++i) {
        const auto t0 = Clock::now();
        op();
        lat.push_back(std::chrono::duration<double, std::milli>(Clock::now() - t0).count());
      }
    });
  }
  for (auto& w : workers)
    w.join();
  const double wall = std::chrono::duration<double>(Clock::now() - start).count();
  std::vector<double> all;
  for (const auto& l : per_thread)
    all.insert(all.end(), l.begin(), l.end());
  std::sort(all.begin(), all.end());
  Figures f;
  f.runs_per_second = static_cast<double>(all.size()) / wall;
  f.median_ms = all[all.size() / 2];
  f.p99_ms = all[std::min(all.size() - 1, all.size() * 99 / 100)];
  return f;
}

// Reads the child's standard output to its end, reaps it, and checks it said hello.
void read_and_reap(int out_fd, pid_t pid) {
  char buf[256];
  std::string out;
  for (ssize_t n; (n = read(out_fd, buf, sizeof buf)) > 0;)
    out.append(buf, static_cast<std::size_t>(n));
  close(out_fd);
  int status = 0;
  waitpid(pid, &status, 0);
  if (out != "hello\n") std::abort();
}

// The bare baseline: fork, exec the shell with standard output on a pipe, read it, reap.
void fork_exec_echo() {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) std::abort();
  const pid_t pid = fork();
  if (pid == 0) {
    dup2(fds[1], STDOUT_FILENO);
    execl("/bin/sh", "sh", "-c", "echo hello", static_cast<char*>(nullptr));
    _exit(127);
  }
  close(fds[1]);
  read_and_reap(fds[0], pid);
}

// The bare vfork-style baseline: posix_spawn with standard output on a pipe.
void posix_spawn_echo() {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) std::abort();
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
  const char* argv[] = {"sh", "-c", "echo hello", nullptr};
  pid_t pid = -1;
  if (posix_spawn(&pid, "/bin/sh", &actions, nullptr, const_cast<char* const*>(argv), environ) !=
      0) {
    std::abort();
  }
  posix_spawn_file_actions_destroy(&actions);
  close(fds[1]);
  read_and_reap(fds[0], pid);
}

void execute_echo() {
  const tolvan::Value r = tolvan::executor::executor.execute_alias("hello");
  const tolvan::Value* out = r.find("stdout");
  if (out == nullptr || !(*out == tolvan::Value("hello\n"))) {
    std::fprintf(stderr, "unexpected result: %s\n", tolvan::to_literal(r).c_str());
    std::abort();
  }
}

void set_up(const std::filesystem::path& dir) {
  std::filesystem::create_directories(dir);
  std::ofstream(dir / "tolvan.conf") << "SharedDir " << (dir / "shared").string() << "\nLogDir "
                                     << (dir / "logs").string() << "\n";
  tolvan::config::config.load((dir / "tolvan.conf").string());
  tolvan::Value alias = tolvan::load_yaml(
      "name: hello\ntype: process\nmode: inline\ncommand: echo hello\n"
      "output: {single_value: {source: '%stdOut', content-type: text/plain}}\n");
  const auto problems = tolvan::validator::validate_alias_definition(alias);
  if (!problems.empty()) std::abort();
  tolvan::config::AliasSet set;
  set.set("hello", alias);
  tolvan::config::config.apply_aliases(std::move(set));
}

}  // namespace

int main(int argc, char** argv) {
  int runs = 400;
  std::size_t resident_mb = 0;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--resident-mb") == 0 && i + 1 < argc) {
      resident_mb = static_cast<std::size_t>(std::atol(argv[++i]));
    } else {
      runs = std::max(1, std::atoi(argv[i]));
    }
  }
  std::vector<char> ballast(resident_mb << 20);
  for (std::size_t i = 0; i < ballast.size(); i += 4096)
    ballast[i] = 1;

  const auto dir = std::filesystem::temp_directory_path() /
                   ("tolvan-executor-bench-" + std::to_string(getpid()));
  set_up(dir);
  for (int i = 0; i < 20; ++i)
    execute_echo(), fork_exec_echo(), posix_spawn_echo();  // warm up

  std::printf("`echo hello` through /bin/sh, %d runs per thread, %zu MiB extra resident\n", runs,
              resident_mb);
  std::printf("%-8s %-14s %10s %11s %9s\n", "threads", "path", "runs/s", "median ms", "p99 ms");
  for (const int threads : {1, 8}) {
    const int per_thread = threads == 1 ? runs : std::max(1, runs / 4);
    const Figures engine = measure(threads, per_thread, execute_echo);
    const Figures bare = measure(threads, per_thread, fork_exec_echo);
    const Figures spawned = measure(threads, per_thread, posix_spawn_echo);
    const auto row = [&](const char* path, const Figures& f) {
      std::printf("%-8d %-14s %10.0f %11.3f %9.3f\n", threads, path, f.runs_per_second, f.median_ms,
                  f.p99_ms);
    };
    const auto ratio = [&](const char* against, const Figures& f) {
      std::printf("%-8d %-14s %10.2f %11.2f %9.2f   (execute_alias / %s)\n", threads, "ratio",
                  engine.runs_per_second / f.runs_per_second, engine.median_ms / f.median_ms,
                  engine.p99_ms / f.p99_ms, against);
    };
    row("execute_alias", engine);
    row("fork/exec", bare);
    row("posix_spawn", spawned);
    ratio("fork/exec", bare);
    ratio("posix_spawn", spawned);
  }
  std::error_code ec;
  std::filesystem::remove_all(dir, ec);
  return 0;
}
