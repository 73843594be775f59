// A relay that stands between clients and a real host server on loopback and
// speaks the wire protocol to both: it passes every frame on, except that it
// lets a test rewrite the receiver of chosen host programs' replies. It is
// the hostile or buggy host of the tests, with a real server behind it.
// Thread-safe: the rewrite may be changed while connections are open.
#ifndef ZVT_TESTS_TAMPERING_RELAY_H_
#define ZVT_TESTS_TAMPERING_RELAY_H_

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "services/mutex.h"

namespace zvt::testing {

class TamperingRelay {
 public:
  // Rewrites the first output of a reply (the receiver variable of each of
  // the three host programs) in place.
  using Rewrite = std::function<void(std::string* receiver)>;
  // Rewrites the parameters of a call on its way to the host.
  using CallRewrite = std::function<void(std::vector<std::string>* inputs)>;

  explicit TamperingRelay(uint16_t upstream_port);
  ~TamperingRelay();
  TamperingRelay(const TamperingRelay&) = delete;
  TamperingRelay& operator=(const TamperingRelay&) = delete;

  // Listens on an ephemeral loopback port; false on failure.
  bool Start();
  uint16_t port() const { return port_; }

  // Replies of `program` (as "KLIB/KRUSRFN") are rewritten by `rewrite`;
  // an empty function passes them on unchanged.
  void Tamper(const std::string& program, Rewrite rewrite);
  // Calls of `program` have the data of their parameters rewritten (all of
  // them, in order; outputs carry none) before the host sees them.
  void TamperCalls(const std::string& program, CallRewrite rewrite);
  // Passes every call and reply on unchanged from now on.
  void PassAll();
  // Replies rewritten so far.
  uint64_t rewritten() const { return rewritten_.load(); }

 private:
  void AcceptLoop();
  void Serve(int client);
  Rewrite RewriteFor(const std::string& program);

  uint16_t upstream_port_;
  uint16_t port_ = 0;
  int listener_ = -1;
  std::atomic<bool> stopping_{false};
  std::atomic<uint64_t> rewritten_{0};
  std::thread acceptor_;
  Mutex mu_;
  std::map<std::string, Rewrite> rewrites_ ZVT_GUARDED_BY(mu_);
  std::map<std::string, CallRewrite> call_rewrites_ ZVT_GUARDED_BY(mu_);
  std::vector<int> sockets_ ZVT_GUARDED_BY(mu_);
  std::vector<std::thread> workers_ ZVT_GUARDED_BY(mu_);
};

}  // namespace zvt::testing

#endif  // ZVT_TESTS_TAMPERING_RELAY_H_
