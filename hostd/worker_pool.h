// Threads that run tasks, each thread with a host store connection of its
// own, opened when it starts. Tasks are posted to lanes (the sign-ons of one
// source network, say) and taken round-robin across the lanes that have
// some, each lane's in the order they were posted, so that a lane with a
// thousand tasks waiting delays another lane's next task by at most one of
// its own. The server keeps two pools: one for program calls, and one for
// sign-ons, whose password hashing is slow by design, so that a burst of
// sign-ons never holds up the calls of clients signed on already.
// Thread-safe.
#ifndef ZVT_HOSTD_WORKER_POOL_H_
#define ZVT_HOSTD_WORKER_POOL_H_

#include <deque>
#include <functional>
#include <map>
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
  // Posts to the lane "" (no bound).
  void Post(Task task);
  // False, posting nothing, when `lane` has `max_waiting` tasks waiting already.
  bool Post(const std::string& lane, size_t max_waiting, Task task);
  // Tasks posted and not yet begun.
  size_t waiting();
  // Tasks not yet begun are dropped; waits for the threads to end.
  void Stop();

 private:
  void Run(StoreOpener open_store);

  Mutex mu_;
  CondVar cv_;
  std::map<std::string, std::deque<Task>> lanes_ ZVT_GUARDED_BY(mu_);  // only lanes with tasks
  std::deque<std::string> turns_ ZVT_GUARDED_BY(mu_);  // those lanes, next to serve first
  size_t waiting_ ZVT_GUARDED_BY(mu_) = 0;
  bool stop_ ZVT_GUARDED_BY(mu_) = false;
  std::vector<std::thread> threads_;
};

}  // namespace zvt::hostd

#endif  // ZVT_HOSTD_WORKER_POOL_H_
