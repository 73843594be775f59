// The worker threads and their queue.
#include "hostd/worker_pool.h"

#include <cstdint>

#include "services/mutex.h"

namespace zvt::hostd {

void WorkerPool::Start(int threads, StoreOpener open_store) {
  for (int i = 0; i < threads; ++i) threads_.emplace_back(&WorkerPool::Run, this, open_store);
}

void WorkerPool::Post(Task task) { Post("", SIZE_MAX, std::move(task)); }

bool WorkerPool::Post(const std::string& lane, size_t max_waiting, Task task) {
  {
    MutexLock lock(&mu_);
    std::deque<Task>& waiting = lanes_[lane];
    if (waiting.size() >= max_waiting) {
      if (waiting.empty()) lanes_.erase(lane);
      return false;
    }
    if (waiting.empty()) turns_.push_back(lane);
    waiting.push_back(std::move(task));
    ++waiting_;
  }
  cv_.Signal();
  return true;
}

size_t WorkerPool::waiting() {
  MutexLock lock(&mu_);
  return waiting_;
}

void WorkerPool::Stop() {
  {
    MutexLock lock(&mu_);
    stop_ = true;
  }
  cv_.SignalAll();
  for (std::thread& t : threads_)
    if (t.joinable()) t.join();
  threads_.clear();
}

void WorkerPool::Run(StoreOpener open_store) {
  std::string error;
  std::unique_ptr<HostStore> store = open_store(&error);
  for (;;) {
    Task task;
    {
      MutexLock lock(&mu_);
      while (!stop_ && turns_.empty()) cv_.Wait(&mu_);
      if (stop_) return;
      // The lane whose turn it is gives one task and, when it has more,
      // goes to the back of the line.
      std::string lane = std::move(turns_.front());
      turns_.pop_front();
      auto it = lanes_.find(lane);
      task = std::move(it->second.front());
      it->second.pop_front();
      --waiting_;
      if (it->second.empty()) {
        lanes_.erase(it);
      } else {
        turns_.push_back(std::move(lane));
      }
    }
    task(store.get(), error);
  }
}

}  // namespace zvt::hostd
