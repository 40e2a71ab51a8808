#pragma once

// The threads that run executions, off the I/O threads. At most `max_tasks` tasks are in
// flight (queued or running) at once; a task beyond that is refused at once, never queued, so
// a caller can answer "busy" without waiting. Threads are started on demand, up to
// `max_tasks`, and stay for later tasks.
//
// Failure: `try_submit` returns false when the pool is full or no thread could be started.
// A `work` or `then` that throws is ended quietly (tasks are expected to catch their own failures).
// Thread-safety: `try_submit` may be called from any thread. The destructor waits for every
// task in flight and joins the threads.

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace tolvan::api::detail {

class WorkerPool {
 public:
  explicit WorkerPool(std::size_t max_tasks);
  ~WorkerPool();
  WorkerPool(const WorkerPool&) = delete;
  WorkerPool& operator=(const WorkerPool&) = delete;

  /// Queues `work` for a worker; false, without running it, when `max_tasks` are in flight.
  /// `then` runs on the same worker after `work`, once the task no longer counts as in
  /// flight, so a caller told about the end in `then` can submit again at once.
  bool try_submit(std::function<void()> work, std::function<void()> then = {});

 private:
  void worker_loop();

  const std::size_t max_tasks_;
  std::mutex mutex_;
  std::condition_variable wake_;
  struct Task {
    std::function<void()> work;
    std::function<void()> then;
  };

  std::deque<Task> queue_;
  std::vector<std::thread> threads_;
  std::size_t idle_ = 0;       // threads waiting for a task
  std::size_t in_flight_ = 0;  // tasks queued or running
  bool stopping_ = false;
};

}  // namespace tolvan::api::detail
