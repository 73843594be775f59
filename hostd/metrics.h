// What the host server counts for its operators, in the Prometheus text
// format: program calls by program and outcome, call and sign-on latency,
// refusals by reason, TLS handshake failures by reason, store operations by
// backend, and, read when scraped, connections by state, queue depths,
// penalties and lockouts in force, the certificate's expiry and the
// process's own figures. Every label takes values from a fixed set (never a
// profile or an address), so the exposition stays the same size however
// many clients come.
#ifndef ZVT_HOSTD_METRICS_H_
#define ZVT_HOSTD_METRICS_H_

#include <prometheus/counter.h>
#include <prometheus/gauge.h>
#include <prometheus/registry.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "hostd/tally.h"
#include "services/mutex.h"

namespace zvt::hostd {

class ServerMetrics {
 public:
  enum class CallOutcome { kOk, kRefused, kFailed, kCount };
  enum class SignonResult { kOk, kRefused, kUnavailable, kCount };
  enum class TlsFailure { kNotTls, kTimeout, kClosed, kVersion, kCipher, kOther, kCount };
  // The programs counted by name, in the server's order, then any other name.
  static constexpr size_t kProgramSlots = 4;

  // `backend` names the store's kind ("sqlite", "postgresql").
  ServerMetrics(const std::string& backend, const std::string& version);
  ServerMetrics(const ServerMetrics&) = delete;
  ServerMetrics& operator=(const ServerMetrics&) = delete;

  void ProgramCall(size_t slot, CallOutcome outcome, double seconds);
  void Signon(SignonResult result, double seconds);
  // `reason` is one of the server's refusal phrases ("too many clients",
  // "busy", ...); a phrase not known here counts as "other".
  void Refusal(const std::string& reason);
  void TlsHandshakeFailed(TlsFailure reason);
  void StoreOperation(double seconds, bool ok);

  // What is read from the server when scraped.
  struct State {
    int64_t awaiting_signon = 0;
    int64_t signed_on = 0;
    int64_t programs_waiting = 0;
    int64_t signons_waiting = 0;
    int64_t penalties_in_force = 0;
    int64_t lockouts_in_force = 0;
    int64_t partial_frame_bytes = 0;
    int64_t certificate_expiry = 0;  // Unix time; 0: no certificate
    bool ready = false;
  };
  // The exposition, with `state` and the process's figures as they are now.
  std::string Render(const State& state);

  // The refusal phrases counted by name.
  static const std::vector<std::string>& RefusalReasons();
  // The refusals counted, for the status summary.
  uint64_t refusals() const;

 private:
  // The families counted as the server works, as they are now.
  std::vector<prometheus::MetricFamily> Counted() const;

  // Counted by the server's threads as it works, without a lock.
  Tally calls_[kProgramSlots][static_cast<size_t>(CallOutcome::kCount)];
  std::vector<std::unique_ptr<LatencyTally>> call_seconds_;  // by program slot
  Tally signons_[static_cast<size_t>(SignonResult::kCount)];
  LatencyTally signon_seconds_;
  std::unique_ptr<Tally[]> refusals_;  // by RefusalReasons(), then "other"
  Tally tls_failures_[static_cast<size_t>(TlsFailure::kCount)];
  LatencyTally store_seconds_;
  Tally store_errors_;
  const std::string backend_;
  // Set when scraped.
  std::shared_ptr<prometheus::Registry> registry_;
  prometheus::Gauge* connections_awaiting_;
  prometheus::Gauge* connections_signed_on_;
  prometheus::Gauge* programs_waiting_;
  prometheus::Gauge* signons_waiting_;
  prometheus::Gauge* penalties_;
  prometheus::Gauge* lockouts_;
  prometheus::Gauge* partial_bytes_;
  prometheus::Gauge* certificate_expiry_;
  prometheus::Gauge* ready_;
  prometheus::Counter* cpu_seconds_;
  prometheus::Gauge* resident_bytes_;
  prometheus::Gauge* virtual_bytes_;
  prometheus::Gauge* open_fds_;
  prometheus::Gauge* max_fds_;
  prometheus::Gauge* start_time_;
  Mutex render_mu_;  // one scrape at a time sets the gauges and reads them
};

}  // namespace zvt::hostd

#endif  // ZVT_HOSTD_METRICS_H_
