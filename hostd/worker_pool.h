// Threads that run tasks in the order they were posted, each thread with a
// host store connection of its own, opened when it starts. The server keeps
// two: one for program calls, and one for sign-ons, whose password hashing
// is slow by design, so that a burst of sign-ons never holds up the calls of
// clients signed on already. Thread-safe.
#ifndef ZVT_HOSTD_WORKER_POOL_H_
#define ZVT_HOSTD_WORKER_POOL_H_

#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "hostd/host_store.h"
#include "services/mutex.h"

namespace zvt::hostd {

class WorkerPool {
 public:
  // Runs with the thread's store, or null with why it could not be opened.
  using Task = std::function<void(HostStore* store, const std::string& store_error)>;
  using StoreOpener = std::function<std::unique_ptr<HostStore>(std::string* error)>;

  WorkerPool() = default;
  ~WorkerPool() { Stop(); }
  WorkerPool(const WorkerPool&) = delete;
  WorkerPool& operator=(const WorkerPool&) = delete;

  void Start(int threads, StoreOpener open_store);
  void Post(Task task);
  // Tasks not yet begun are dropped; waits for the threads to end.
  void Stop();

 private:
  void Run(StoreOpener open_store);

  Mutex mu_;
  CondVar cv_;
  std::deque<Task> tasks_ ZVT_GUARDED_BY(mu_);
  bool stop_ ZVT_GUARDED_BY(mu_) = false;
  std::vector<std::thread> threads_;
};

}  // namespace zvt::hostd

#endif  // ZVT_HOSTD_WORKER_POOL_H_
