// The host server's metrics: the families, their children made once (so
// that counting is an atomic add, never a lookup), and the exposition.

#include "hostd/metrics.h"

#include <dirent.h>
#include <prometheus/text_serializer.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>

#include "host/program_names.h"

namespace zvt::hostd {

namespace {

using prometheus::BuildCounter;
using prometheus::BuildGauge;

const std::vector<double> kCallBuckets = {0.0001, 0.00025, 0.0005, 0.001, 0.0025, 0.005, 0.01,
                                          0.025,  0.05,    0.1,    0.25,  0.5,    1,     2.5};
const std::vector<double> kSignonBuckets = {0.001, 0.005, 0.01, 0.025, 0.05, 0.1,
                                            0.25,  0.5,   1,    2.5,   5,    10};

const char* const kPrograms[ServerMetrics::kProgramSlots] = {kFunctionListName, kUsageListName,
                                                             kChangeTimestampsName, "other"};
const char* const kOutcomes[] = {"ok", "refused", "failed"};
const char* const kSignonResults[] = {"ok", "refused", "unavailable"};
const char* const kTlsReasons[] = {"not_tls", "timeout", "closed", "version", "cipher", "other"};

// The process's own figures, from /proc.
struct ProcessFigures {
  double cpu_seconds = 0;
  double resident_bytes = 0;
  double virtual_bytes = 0;
  double start_time = 0;
  double open_fds = 0;
  double max_fds = 0;
};

double Number(const std::string& text) { return std::strtod(text.c_str(), nullptr); }

ProcessFigures ReadProcess() {
  ProcessFigures p;
  const double ticks = static_cast<double>(sysconf(_SC_CLK_TCK));
  const double page = static_cast<double>(sysconf(_SC_PAGESIZE));
  std::ifstream stat("/proc/self/stat");
  std::string line;
  if (std::getline(stat, line)) {
    // The command name may hold blanks and parentheses: the fields start
    // after its last ')'.
    const size_t close = line.rfind(')');
    std::istringstream fields(close == std::string::npos ? "" : line.substr(close + 2));
    std::vector<std::string> f;
    for (std::string v; fields >> v;) f.push_back(v);
    // Field 3 (the state) is f[0]: utime is field 14, stime 15, starttime
    // 22, vsize 23, rss 24.
    if (f.size() > 21) {
      p.cpu_seconds = (Number(f[11]) + Number(f[12])) / ticks;
      p.virtual_bytes = Number(f[20]);
      p.resident_bytes = Number(f[21]) * page;
      std::ifstream boot("/proc/stat");
      for (std::string key; boot >> key;) {
        if (key == "btime") {
          double btime = 0;
          boot >> btime;
          p.start_time = btime + Number(f[19]) / ticks;
          break;
        }
        std::getline(boot, line);
      }
    }
  }
  if (DIR* d = opendir("/proc/self/fd")) {
    while (dirent* e = readdir(d))
      if (e->d_name[0] != '.') p.open_fds += 1;
    closedir(d);
    p.open_fds -= 1;  // the directory being read
  }
  rlimit files{};
  if (getrlimit(RLIMIT_NOFILE, &files) == 0) p.max_fds = static_cast<double>(files.rlim_cur);
  return p;
}

// "too many clients" → "too_many_clients".
std::string LabelOf(const std::string& phrase) {
  std::string label;
  for (char ch : phrase) label += (ch == ' ' || ch == '-') ? '_' : ch;
  return label;
}

}  // namespace

const std::vector<std::string>& ServerMetrics::RefusalReasons() {
  static const std::vector<std::string> reasons = {"too many clients",
                                                   "penalised network",
                                                   "too many awaiting sign-on",
                                                   "plaintext client",
                                                   "busy",
                                                   "frame refused",
                                                   "partial frames",
                                                   "locked out",
                                                   "wrong password",
                                                   "weak hash",
                                                   "handshake timeout",
                                                   "idle"};
  return reasons;
}

ServerMetrics::ServerMetrics(const std::string& backend, const std::string& version)
    : signon_seconds_(kSignonBuckets),
      refusals_(new Tally[RefusalReasons().size() + 1]),
      store_seconds_(kCallBuckets),
      backend_(backend),
      registry_(std::make_shared<prometheus::Registry>()) {
  for (size_t p = 0; p < kProgramSlots; ++p)
    call_seconds_.push_back(std::make_unique<LatencyTally>(kCallBuckets));
  auto& connections = BuildGauge()
                          .Name("zvthostd_connections")
                          .Help("Client connections, by state")
                          .Register(*registry_);
  connections_awaiting_ = &connections.Add({{"state", "awaiting_signon"}});
  connections_signed_on_ = &connections.Add({{"state", "signed_on"}});
  auto& queues = BuildGauge()
                     .Name("zvthostd_queue_depth")
                     .Help("Requests waiting for a worker, by pool")
                     .Register(*registry_);
  programs_waiting_ = &queues.Add({{"pool", "programs"}});
  signons_waiting_ = &queues.Add({{"pool", "signons"}});
  penalties_ = &BuildGauge()
                    .Name("zvthostd_penalties_in_force")
                    .Help("Source networks whose connections are refused for a while")
                    .Register(*registry_)
                    .Add({});
  lockouts_ = &BuildGauge()
                   .Name("zvthostd_lockouts_in_force")
                   .Help("Profiles whose password sign-ons are refused for a while")
                   .Register(*registry_)
                   .Add({});
  partial_bytes_ = &BuildGauge()
                        .Name("zvthostd_partial_frame_bytes")
                        .Help("Bytes of frames received in part, held until whole")
                        .Register(*registry_)
                        .Add({});
  certificate_expiry_ = &BuildGauge()
                             .Name("zvthostd_tls_certificate_expiry_timestamp_seconds")
                             .Help("When the served certificate expires, in Unix time (0: no TLS)")
                             .Register(*registry_)
                             .Add({});
  ready_ = &BuildGauge()
                .Name("zvthostd_ready")
                .Help(
                    "1 when the server listens, its store answers with this build's schema and "
                    "its certificate is valid")
                .Register(*registry_)
                .Add({});
  BuildGauge()
      .Name("zvthostd_build_info")
      .Help("The server's version, as a label")
      .Register(*registry_)
      .Add({{"version", version}, {"backend", backend}})
      .Set(1);
  cpu_seconds_ = &BuildCounter()
                      .Name("process_cpu_seconds_total")
                      .Help("User and system CPU time spent, in seconds")
                      .Register(*registry_)
                      .Add({});
  resident_bytes_ = &BuildGauge()
                         .Name("process_resident_memory_bytes")
                         .Help("Resident memory size in bytes")
                         .Register(*registry_)
                         .Add({});
  virtual_bytes_ = &BuildGauge()
                        .Name("process_virtual_memory_bytes")
                        .Help("Virtual memory size in bytes")
                        .Register(*registry_)
                        .Add({});
  open_fds_ = &BuildGauge()
                   .Name("process_open_fds")
                   .Help("Open file descriptors")
                   .Register(*registry_)
                   .Add({});
  max_fds_ = &BuildGauge()
                  .Name("process_max_fds")
                  .Help("The limit of open file descriptors")
                  .Register(*registry_)
                  .Add({});
  start_time_ = &BuildGauge()
                     .Name("process_start_time_seconds")
                     .Help("Start time of the process since the Unix epoch, in seconds")
                     .Register(*registry_)
                     .Add({});
}

void ServerMetrics::ProgramCall(size_t slot, CallOutcome outcome, double seconds) {
  if (slot >= kProgramSlots) slot = kProgramSlots - 1;
  calls_[slot][static_cast<size_t>(outcome)].Add();
  call_seconds_[slot]->Observe(seconds);
}

void ServerMetrics::Signon(SignonResult result, double seconds) {
  signons_[static_cast<size_t>(result)].Add();
  signon_seconds_.Observe(seconds);
}

void ServerMetrics::Refusal(const std::string& reason) {
  const std::vector<std::string>& known = RefusalReasons();
  size_t i = 0;
  while (i < known.size() && known[i] != reason) ++i;
  refusals_[i].Add();  // i == known.size(): "other"
}

void ServerMetrics::TlsHandshakeFailed(TlsFailure reason) {
  tls_failures_[static_cast<size_t>(reason)].Add();
}

void ServerMetrics::StoreOperation(double seconds, bool ok) {
  store_seconds_.Observe(seconds);
  if (!ok) store_errors_.Add();
}

uint64_t ServerMetrics::refusals() const {
  uint64_t total = 0;
  for (size_t i = 0; i <= RefusalReasons().size(); ++i) total += refusals_[i].Value();
  return total;
}

std::vector<prometheus::MetricFamily> ServerMetrics::Counted() const {
  std::vector<std::pair<Labels, const Tally*>> calls;
  std::vector<std::pair<Labels, const LatencyTally*>> call_seconds;
  for (size_t p = 0; p < kProgramSlots; ++p) {
    for (size_t o = 0; o < static_cast<size_t>(CallOutcome::kCount); ++o)
      calls.push_back({{{"outcome", kOutcomes[o]}, {"program", kPrograms[p]}}, &calls_[p][o]});
    call_seconds.push_back({{{"program", kPrograms[p]}}, call_seconds_[p].get()});
  }
  std::vector<std::pair<Labels, const Tally*>> signons, refusals, tls;
  for (size_t r = 0; r < static_cast<size_t>(SignonResult::kCount); ++r)
    signons.push_back({{{"result", kSignonResults[r]}}, &signons_[r]});
  const std::vector<std::string>& reasons = RefusalReasons();
  for (size_t r = 0; r <= reasons.size(); ++r)
    refusals.push_back(
        {{{"reason", r < reasons.size() ? LabelOf(reasons[r]) : "other"}}, &refusals_[r]});
  for (size_t r = 0; r < static_cast<size_t>(TlsFailure::kCount); ++r)
    tls.push_back({{{"reason", kTlsReasons[r]}}, &tls_failures_[r]});
  return {
      CounterFamily("zvthostd_program_calls_total",
                    "Program calls answered, by program and outcome (refused: the host answered "
                    "with a message; failed: the store failed)",
                    calls),
      HistogramFamily("zvthostd_program_call_duration_seconds",
                      "Time from a call's whole frame to its reply, queueing included",
                      call_seconds),
      CounterFamily("zvthostd_signons_total",
                    "Sign-ons checked, by result (unavailable: the store could not check)",
                    signons),
      HistogramFamily("zvthostd_signon_duration_seconds",
                      "Time from a sign-on's frame to its answer, queueing included",
                      {{{}, &signon_seconds_}}),
      CounterFamily("zvthostd_refusals_total",
                    "Connections, sign-ons and frames refused, by reason", refusals),
      CounterFamily("zvthostd_tls_handshake_failures_total",
                    "TLS handshakes that did not complete, by reason", tls),
      HistogramFamily("zvthostd_store_operation_duration_seconds",
                      "Time the store took for a program call's reads or a sign-on token's check",
                      {{{{"backend", backend_}}, &store_seconds_}}),
      CounterFamily("zvthostd_store_errors_total", "Store operations that failed",
                    {{{{"backend", backend_}}, &store_errors_}}),
  };
}

std::string ServerMetrics::Render(const State& state) {
  MutexLock lock(&render_mu_);
  connections_awaiting_->Set(static_cast<double>(state.awaiting_signon));
  connections_signed_on_->Set(static_cast<double>(state.signed_on));
  programs_waiting_->Set(static_cast<double>(state.programs_waiting));
  signons_waiting_->Set(static_cast<double>(state.signons_waiting));
  penalties_->Set(static_cast<double>(state.penalties_in_force));
  lockouts_->Set(static_cast<double>(state.lockouts_in_force));
  partial_bytes_->Set(static_cast<double>(state.partial_frame_bytes));
  certificate_expiry_->Set(static_cast<double>(state.certificate_expiry));
  ready_->Set(state.ready ? 1 : 0);
  const ProcessFigures p = ReadProcess();
  // A counter: it moves by what was spent since the last scrape.
  if (p.cpu_seconds > cpu_seconds_->Value())
    cpu_seconds_->Increment(p.cpu_seconds - cpu_seconds_->Value());
  resident_bytes_->Set(p.resident_bytes);
  virtual_bytes_->Set(p.virtual_bytes);
  open_fds_->Set(p.open_fds);
  max_fds_->Set(p.max_fds);
  start_time_->Set(p.start_time);
  std::vector<prometheus::MetricFamily> families = Counted();
  for (prometheus::MetricFamily& f : registry_->Collect()) families.push_back(std::move(f));
  return prometheus::TextSerializer().Serialize(families);
}

}  // namespace zvt::hostd
