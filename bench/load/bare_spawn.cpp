// The floor for one process run: N threads each repeatedly start `/bin/sh -c <command>` with
// posix_spawn (glibc creates the child with clone(CLONE_VM | CLONE_VFORK)), read its standard
// output and standard error to their end and reap it. No HTTP, no run directory, no logging:
// whatever the gateway adds on top of this is its own overhead.
//
//   bare_spawn [--threads N] [--seconds S] [--max-spawns M] [--command TEXT] [--serial]
//
// --serial lets one thread at a time create a child (a process-wide lock held across
// posix_spawn, up to the child's exec), as runtimes that serialise fork do; the rest of each run
// stays concurrent.
//
// Prints one line: threads, spawns, spawns/s, median and p99 latency of one spawn-read-reap in
// milliseconds, and the number of runs whose output was not the expected one (--expect).
// Stops after S seconds or M spawns in total, whichever comes first.

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

struct Options {
  int threads = 1;
  double seconds = 10.0;
  long max_spawns = 10'000'000;
  std::string command = "echo hello";
  std::string expect = "hello\n";
  bool serial = false;
};

std::mutex spawn_lock;

struct Result {
  std::vector<double> latencies_ms;
  long wrong = 0;
  long failed = 0;
};

// One run: spawn, drain both pipes, reap. Returns false when the spawn itself failed.
bool run_once(const Options& opt, std::string& out) {
  int out_pipe[2];
  int err_pipe[2];
  if (pipe2(out_pipe, O_CLOEXEC) != 0) return false;
  if (pipe2(err_pipe, O_CLOEXEC) != 0) {
    close(out_pipe[0]);
    close(out_pipe[1]);
    return false;
  }
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  posix_spawn_file_actions_adddup2(&fa, out_pipe[1], 1);
  posix_spawn_file_actions_adddup2(&fa, err_pipe[1], 2);
  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  sigset_t none;
  sigemptyset(&none);
  posix_spawnattr_setsigmask(&attr, &none);
  posix_spawnattr_setpgroup(&attr, 0);
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETPGROUP);

  const char* argv[] = {"/bin/sh", "-c", opt.command.c_str(), nullptr};
  pid_t pid = 0;
  int rc;
  if (opt.serial) {
    std::lock_guard lock(spawn_lock);
    rc = posix_spawn(&pid, "/bin/sh", &fa, &attr, const_cast<char* const*>(argv), environ);
  } else {
    rc = posix_spawn(&pid, "/bin/sh", &fa, &attr, const_cast<char* const*>(argv), environ);
  }
  posix_spawn_file_actions_destroy(&fa);
  posix_spawnattr_destroy(&attr);
  close(out_pipe[1]);
  close(err_pipe[1]);
  if (rc != 0) {
    close(out_pipe[0]);
    close(err_pipe[0]);
    return false;
  }

  out.clear();
  std::string err;
  pollfd fds[2] = {{out_pipe[0], POLLIN, 0}, {err_pipe[0], POLLIN, 0}};
  int open_fds = 2;
  char buf[4096];
  while (open_fds > 0) {
    if (poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    for (auto& p : fds) {
      if (p.fd < 0 || p.revents == 0) continue;
      ssize_t n = read(p.fd, buf, sizeof buf);
      if (n > 0) {
        (p.fd == out_pipe[0] ? out : err).append(buf, static_cast<size_t>(n));
      } else if (n == 0 || errno != EINTR) {
        close(p.fd);
        p.fd = -1;
        --open_fds;
      }
    }
  }
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

double percentile(std::vector<double>& v, double q) {
  if (v.empty()) return 0.0;
  auto k = static_cast<size_t>(q * static_cast<double>(v.size() - 1) + 0.5);
  std::nth_element(v.begin(), v.begin() + static_cast<std::ptrdiff_t>(k), v.end());
  return v[k];
}

void usage() {
  std::fprintf(stderr,
               "usage: bare_spawn [--threads N] [--seconds S] [--max-spawns M] "
               "[--command TEXT] [--expect TEXT] [--serial]\n");
  std::exit(2);
}

}  // namespace

int main(int argc, char** argv) {
  Options opt;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    if (a == "--serial") {
      opt.serial = true;
      continue;
    }
    if (i + 1 >= argc) usage();
    std::string v = argv[++i];
    if (a == "--threads") {
      opt.threads = std::max(1, std::atoi(v.c_str()));
    } else if (a == "--seconds") {
      opt.seconds = std::atof(v.c_str());
    } else if (a == "--max-spawns") {
      opt.max_spawns = std::atol(v.c_str());
    } else if (a == "--command") {
      opt.command = v;
    } else if (a == "--expect") {
      opt.expect = v;
    } else {
      usage();
    }
  }
  if (opt.seconds <= 0 || opt.seconds > 600) opt.seconds = 10.0;

  std::atomic<long> budget{opt.max_spawns};
  std::vector<Result> results(static_cast<size_t>(opt.threads));
  const auto start = Clock::now();
  const auto stop_at = start + std::chrono::duration_cast<Clock::duration>(
                                   std::chrono::duration<double>(opt.seconds));
  std::vector<std::thread> workers;
  for (int t = 0; t < opt.threads; ++t) {
    workers.emplace_back([&, t] {
      Result& r = results[static_cast<size_t>(t)];
      std::string out;
      while (Clock::now() < stop_at && budget.fetch_sub(1) > 0) {
        auto t0 = Clock::now();
        bool ok = run_once(opt, out);
        auto t1 = Clock::now();
        if (!ok) {
          ++r.failed;
          continue;
        }
        if (out != opt.expect) ++r.wrong;
        r.latencies_ms.push_back(std::chrono::duration<double, std::milli>(t1 - t0).count());
      }
    });
  }
  for (auto& w : workers)
    w.join();
  const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();

  std::vector<double> all;
  long wrong = 0;
  long failed = 0;
  for (auto& r : results) {
    all.insert(all.end(), r.latencies_ms.begin(), r.latencies_ms.end());
    wrong += r.wrong;
    failed += r.failed;
  }
  const double rate = static_cast<double>(all.size()) / elapsed;
  const double p50 = percentile(all, 0.50);
  const double p99 = percentile(all, 0.99);
  std::printf("threads=%d spawns=%zu rate=%.1f/s median_ms=%.3f p99_ms=%.3f wrong=%ld failed=%ld\n",
              opt.threads, all.size(), rate, p50, p99, wrong, failed);
  return (wrong == 0 && failed == 0) ? 0 : 1;
}
