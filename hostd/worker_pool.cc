// The worker threads and their queue.
#include "hostd/worker_pool.h"

namespace zvt::hostd {

void WorkerPool::Start(int threads, StoreOpener open_store) {
  for (int i = 0; i < threads; ++i) threads_.emplace_back(&WorkerPool::Run, this, open_store);
}

void WorkerPool::Post(Task task) {
  {
    std::lock_guard<std::mutex> lock(mu_);
    tasks_.push_back(std::move(task));
  }
  cv_.notify_one();
}

void WorkerPool::Stop() {
  {
    std::lock_guard<std::mutex> lock(mu_);
    stop_ = true;
  }
  cv_.notify_all();
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
      std::unique_lock<std::mutex> lock(mu_);
      cv_.wait(lock, [this] { return stop_ || !tasks_.empty(); });
      if (stop_) return;
      task = std::move(tasks_.front());
      tasks_.pop_front();
    }
    task(store.get(), error);
  }
}

}  // namespace zvt::hostd
