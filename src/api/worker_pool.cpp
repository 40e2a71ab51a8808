#include "api/internal/worker_pool.h"

#include <system_error>
#include <utility>

namespace tolvan::api::detail {

WorkerPool::WorkerPool(std::size_t max_tasks) : max_tasks_(max_tasks == 0 ? 1 : max_tasks) {}

WorkerPool::~WorkerPool() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_all();
  for (std::thread& t : threads_)
    t.join();
}

bool WorkerPool::try_submit(std::function<void()> work, std::function<void()> then) {
  std::lock_guard lock(mutex_);
  if (stopping_ || in_flight_ >= max_tasks_) return false;
  queue_.push_back(Task{std::move(work), std::move(then)});
  // Every queued task needs a thread of its own right away; in-flight never exceeds the
  // thread limit, so one can always be found or started.
  if (queue_.size() > idle_ && threads_.size() < max_tasks_) {
    try {
      threads_.emplace_back([this] { worker_loop(); });
    } catch (const std::system_error&) {
      queue_.pop_back();
      return false;
    }
  }
  ++in_flight_;
  wake_.notify_one();
  return true;
}

void WorkerPool::worker_loop() {
  std::unique_lock lock(mutex_);
  for (;;) {
    ++idle_;
    wake_.wait(lock, [this] { return stopping_ || !queue_.empty(); });
    --idle_;
    if (queue_.empty()) return;  // stopping, nothing left to do
    Task task = std::move(queue_.front());
    queue_.pop_front();
    lock.unlock();
    try {
      task.work();
    } catch (...) {
    }
    task.work = nullptr;  // release what it holds before the task stops counting
    lock.lock();
    --in_flight_;
    if (!task.then) continue;
    lock.unlock();
    try {
      task.then();
    } catch (...) {
    }
    task.then = nullptr;
    lock.lock();
  }
}

}  // namespace tolvan::api::detail
