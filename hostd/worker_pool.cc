// The worker threads and their queue.
#include "hostd/worker_pool.h"

#include "services/mutex.h"

namespace zvt::hostd {

void WorkerPool::Start(int threads, StoreOpener open_store) {
  for (int i = 0; i < threads; ++i) threads_.emplace_back(&WorkerPool::Run, this, open_store);
}

void WorkerPool::Post(Task task) {
  {
    MutexLock lock(&mu_);
    tasks_.push_back(std::move(task));
  }
  cv_.Signal();
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
      while (!stop_ && tasks_.empty()) cv_.Wait(&mu_);
      if (stop_) return;
      task = std::move(tasks_.front());
      tasks_.pop_front();
    }
    task(store.get(), error);
  }
}

}  // namespace zvt::hostd
