// The operators' view of a host server: background readiness checks, the
// status summary and the admin listener's endpoints.

#include "hostd/operator_view.h"

#include <ctime>
#include <nlohmann/json.hpp>

namespace zvt::hostd {

namespace {

constexpr auto kRateWindow = std::chrono::seconds(10);

AdminResponse Json(unsigned status, const nlohmann::json& body) {
  return {status, "application/json", body.dump(2) + "\n", {}};
}

nlohmann::json ReadinessJson(const Readiness& r) {
  nlohmann::json checks;
  checks["listening"] = {{"ok", r.listening}};
  checks["store"] = {{"ok", r.store}};
  if (!r.store) checks["store"]["error"] = r.store_error;
  checks["certificate"] = {{"ok", r.certificate}};
  if (!r.certificate) checks["certificate"]["error"] = r.certificate_error;
  return {{"ready", r.ready()}, {"checks", checks}};
}

}  // namespace

OperatorView::OperatorView(HostServer* server)
    : server_(server), started_(std::chrono::steady_clock::now()) {}

OperatorView::~OperatorView() { Stop(); }

void OperatorView::Start(std::chrono::milliseconds every) {
  CheckNow();
  thread_ = std::thread(&OperatorView::Run, this, every);
}

void OperatorView::Stop() {
  {
    MutexLock lock(&mu_);
    stopping_ = true;
  }
  wake_.SignalAll();
  if (thread_.joinable()) thread_.join();
}

void OperatorView::Run(std::chrono::milliseconds every) {
  MutexLock lock(&mu_);
  while (!stopping_) {
    if (wake_.WaitUntil(&mu_, std::chrono::steady_clock::now() + every)) continue;
    mu_.Unlock();
    CheckNow();
    mu_.Lock();
  }
}

Readiness OperatorView::Check() {
  Readiness r;
  r.listening = server_->serving();
  {
    MutexLock lock(&check_mu_);
    std::string error;
    if (!store_) store_ = server_->OpenStore(&error);
    int version = 0;
    if (store_ && store_->SchemaVersion(&version, &error)) {
      r.store = version == HostStore::kSchemaVersion;
      if (!r.store)
        r.store_error = "the store's schema is version " + std::to_string(version) +
                        ", this build's " + std::to_string(HostStore::kSchemaVersion);
    } else {
      r.store_error = error.empty() ? "the store cannot be reached" : error;
      store_.reset();  // a new connection at the next check
    }
  }
  const int64_t expiry = server_->certificate_expiry();
  if (expiry != 0 && expiry <= static_cast<int64_t>(std::time(nullptr))) {
    r.certificate = false;
    r.certificate_error = "the certificate has expired";
  }
  return r;
}

Readiness OperatorView::CheckNow() {
  const Readiness r = Check();
  const auto now = std::chrono::steady_clock::now();
  MutexLock lock(&mu_);
  last_ = r;
  samples_.emplace_back(now, server_->calls_answered());
  while (samples_.size() > 2 && now - samples_[1].first >= kRateWindow) samples_.pop_front();
  return r;
}

ServerStatus OperatorView::Status() {
  ServerStatus s;
  const auto now = std::chrono::steady_clock::now();
  s.uptime_seconds = std::chrono::duration_cast<std::chrono::seconds>(now - started_).count();
  s.connections = server_->connections();
  s.signed_on = server_->signed_on_connections();
  s.calls = server_->calls_answered();
  s.certificate_expiry = server_->certificate_expiry();
  if (ServerMetrics* m = server_->metrics()) s.refusals = m->refusals();
  MutexLock lock(&mu_);
  s.readiness = last_;
  if (!samples_.empty()) {
    const double seconds = std::chrono::duration<double>(now - samples_.front().first).count();
    if (seconds > 0.5)
      s.calls_per_second = static_cast<double>(s.calls - samples_.front().second) / seconds;
  }
  return s;
}

std::string OperatorView::Summary() {
  const ServerStatus s = Status();
  char rate[32];
  std::snprintf(rate, sizeof rate, "%.1f", s.calls_per_second);
  std::string text = s.readiness.ready() ? "ready" : "not ready";
  if (!s.readiness.store) text += " (store: " + s.readiness.store_error + ")";
  if (!s.readiness.certificate) text += " (" + s.readiness.certificate_error + ")";
  text += "; " + std::to_string(s.connections) + " connections (" + std::to_string(s.signed_on) +
          " signed on); " + rate + " calls/s; " + std::to_string(s.calls) + " calls";
  if (server_->metrics() != nullptr) text += "; " + std::to_string(s.refusals) + " refusals";
  return text;
}

AdminResponse OperatorView::Answer(const AdminRequest& request) {
  if (request.method != "GET" && request.method != "HEAD")
    return {405, "text/plain; charset=utf-8", "only GET and HEAD are served here\n", {}};
  if (request.path == "/healthz") return Json(200, {{"status", "serving"}});
  if (request.path == "/readyz") {
    Readiness r;
    {
      MutexLock lock(&mu_);
      r = last_;
    }
    return Json(r.ready() ? 200 : 503, ReadinessJson(r));
  }
  if (request.path == "/status") {
    const ServerStatus s = Status();
    nlohmann::json j = ReadinessJson(s.readiness);
    j["uptime_seconds"] = s.uptime_seconds;
    j["connections"] = s.connections;
    j["signed_on"] = s.signed_on;
    j["calls"] = s.calls;
    j["calls_per_second"] = s.calls_per_second;
    j["refusals"] = s.refusals;
    j["certificate_expiry"] = s.certificate_expiry;
    return Json(200, j);
  }
  if (request.path == "/metrics") {
    ServerMetrics* metrics = server_->metrics();
    if (metrics == nullptr) return {404, "text/plain; charset=utf-8", "metrics are off\n", {}};
    ServerMetrics::State state = server_->MetricsState();
    {
      MutexLock lock(&mu_);
      state.ready = last_.ready();
    }
    return {200, "text/plain; version=0.0.4; charset=utf-8", metrics->Render(state), {}};
  }
  return {
      404, "text/plain; charset=utf-8", "not found: /metrics, /healthz, /readyz, /status\n", {}};
}

}  // namespace zvt::hostd
