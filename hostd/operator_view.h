// What operators see of a running host server: its readiness (listening,
// the store answering with this build's schema, the certificate valid),
// checked in the background so that no request waits on the store; its
// status summary (connections, calls/s, refusals) for the service manager,
// SIGUSR1 and `zvtadm host status`; and the admin listener's endpoints:
// /metrics, /healthz, /readyz and /status.
#ifndef ZVT_HOSTD_OPERATOR_VIEW_H_
#define ZVT_HOSTD_OPERATOR_VIEW_H_

#include <chrono>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <thread>

#include "hostd/admin_listener.h"
#include "hostd/host_server.h"
#include "services/mutex.h"

namespace zvt::hostd {

struct Readiness {
  bool listening = false;
  bool store = false;
  std::string store_error;
  bool certificate = true;  // no certificate is no failure
  std::string certificate_error;
  bool ready() const { return listening && store && certificate; }
};

struct ServerStatus {
  Readiness readiness;
  int64_t uptime_seconds = 0;
  int64_t connections = 0;
  int64_t signed_on = 0;
  uint64_t calls = 0;
  double calls_per_second = 0;  // over the last ten seconds or so
  uint64_t refusals = 0;        // counted only with metrics on
  int64_t certificate_expiry = 0;
};

class OperatorView {
 public:
  // `server` must be started and outlive the view.
  explicit OperatorView(HostServer* server);
  ~OperatorView();  // stops the checks
  OperatorView(const OperatorView&) = delete;
  OperatorView& operator=(const OperatorView&) = delete;

  // Checks now, then every `every` in the background.
  void Start(std::chrono::milliseconds every = std::chrono::seconds(2));
  void Stop();
  // Checks now and waits for the result (tests, the command line).
  Readiness CheckNow();

  ServerStatus Status();
  // "ready; 12 connections (10 signed on); 340.5 calls/s; 3 refusals".
  std::string Summary();
  // The answer to a request to the admin listener.
  AdminResponse Answer(const AdminRequest& request);

 private:
  Readiness Check();
  void Run(std::chrono::milliseconds every);

  HostServer* const server_;
  const std::chrono::steady_clock::time_point started_;
  Mutex check_mu_;                                              // one check at a time
  std::unique_ptr<HostStore> store_ ZVT_GUARDED_BY(check_mu_);  // the checks' own connection
  Mutex mu_;
  CondVar wake_;
  bool stopping_ ZVT_GUARDED_BY(mu_) = false;
  Readiness last_ ZVT_GUARDED_BY(mu_);
  // Calls answered as sampled at each check, for the rate.
  std::deque<std::pair<std::chrono::steady_clock::time_point, uint64_t>> samples_
      ZVT_GUARDED_BY(mu_);
  std::thread thread_;
};

}  // namespace zvt::hostd

#endif  // ZVT_HOSTD_OPERATOR_VIEW_H_
