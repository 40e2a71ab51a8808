#include "executor/internal/reaper.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <exception>
#include <mutex>
#include <thread>
#include <utility>

#include "executor/internal/runner.h"

namespace tolvan::executor::detail {

namespace {

// The list is bounded so an engine that never comes back cannot grow it without end.
constexpr std::size_t kMaxPending = 10000;
// Retries start soon after the failure and back off to this interval while the engine is away.
constexpr std::chrono::milliseconds kFirstRetry(500);
constexpr std::chrono::milliseconds kLongestRetry(10000);
// An engine that answers but refuses the removal gets this many more attempts; one that cannot
// be reached is retried for as long as the service runs.
constexpr int kMaxRefusals = 5;

struct Pending {
  std::shared_ptr<docker::Client> client;
  std::string id;
  int refusals = 0;
};

std::string short_text(const std::string& id) {
  return id.substr(0, 12);
}

enum class Outcome { Removed, Retry, GiveUp };

// One forced removal. `pending.refusals` counts the engine's refusals.
Outcome attempt(Pending& pending, std::string& error) noexcept {
  try {
    pending.client->remove(pending.id, /*force=*/true);
    return Outcome::Removed;
  } catch (const docker::NotFound&) {
    return Outcome::Removed;  // already gone
  } catch (const docker::ApiError& e) {
    error = e.what();
    return ++pending.refusals > kMaxRefusals ? Outcome::GiveUp : Outcome::Retry;
  } catch (const docker::Error& e) {
    error = e.what();  // unreachable, or the call broke or timed out
    return Outcome::Retry;
  } catch (const std::exception& e) {
    error = e.what();
    return Outcome::GiveUp;
  } catch (...) {
    error = "unknown error";
    return Outcome::GiveUp;
  }
}

class Reaper {
 public:
  // False when the list is full.
  bool add(Pending pending) {
    std::lock_guard lock(mutex_);
    if (pending_.size() >= kMaxPending) return false;
    pending_.push_back(std::move(pending));
    if (!started_) {
      // The reaper lives as long as the process; the thread is never joined.
      std::thread([this] { run(); }).detach();
      started_ = true;
    }
    wake_.notify_one();
    return true;
  }

 private:
  void run() {
    std::chrono::milliseconds delay = kFirstRetry;
    std::unique_lock lock(mutex_);
    for (;;) {
      wake_.wait(lock, [this] { return !pending_.empty(); });
      wake_.wait_for(lock, delay);
      std::deque<Pending> batch;
      batch.swap(pending_);
      lock.unlock();

      bool engine_answered = false;
      std::deque<Pending> again;
      for (Pending& p : batch) {
        std::string error;
        switch (attempt(p, error)) {
          case Outcome::Removed:
            engine_answered = true;
            app_log().info("Removed container " + short_text(p.id) +
                           ", left behind while the engine could not remove it");
            break;
          case Outcome::Retry:
            engine_answered = engine_answered || p.refusals > 0;
            again.push_back(std::move(p));
            break;
          case Outcome::GiveUp:
            app_log().error("Giving up removing container " + short_text(p.id) + ": " + error);
            break;
        }
      }

      lock.lock();
      for (Pending& p : again)
        pending_.push_back(std::move(p));
      delay = engine_answered ? kFirstRetry : std::min(delay * 2, kLongestRetry);
    }
  }

  std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<Pending> pending_;
  bool started_ = false;
};

Reaper& reaper() {
  static Reaper* const instance = new Reaper();  // never destroyed: its thread may outlive main
  return *instance;
}

}  // namespace

void remove_container(const std::shared_ptr<docker::Client>& client,
                      const std::string& id) noexcept {
  Pending pending{client, id};
  std::string error;
  if (attempt(pending, error) != Outcome::Retry) {
    if (!error.empty()) app_log().error("Cannot remove container " + short_text(id) + ": " + error);
    return;
  }
  try {
    if (reaper().add(std::move(pending))) {
      app_log().warning("Cannot remove container " + short_text(id) + " now (" + error +
                        "); retrying in the background");
      return;
    }
  } catch (...) {
  }
  app_log().error("Cannot remove container " + short_text(id) + ": " + error);
}

}  // namespace tolvan::executor::detail
