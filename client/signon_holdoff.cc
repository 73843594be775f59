// The sign-on hold-off: a password the host refused is not tried again on
// the same host and profile until a wait that grows with each refusal has
// passed, so that a misconfigured client cannot lock its profile out.
#include <algorithm>
#include <chrono>
#include <functional>
#include <string>

#include "client/client_services.h"

namespace zvt::client {

namespace {

std::string RefusalKey(const pgm::SignOnTarget& e) {
  // The password only as a hash, and only in this process's memory.
  return e.host + "\n" + std::to_string(e.port) + "\n" + e.user + "\n" +
         std::to_string(std::hash<std::string>{}(e.password));
}

}  // namespace

bool ClientServices::HoldingOff(const pgm::SignOnTarget& endpoint, int64_t* seconds_left,
                                uint32_t* code) {
  MutexLock lock(&refusals_mu_);
  auto it = refusals_.find(RefusalKey(endpoint));
  if (it == refusals_.end()) return false;
  auto left = it->second.until - std::chrono::steady_clock::now();
  if (left <= std::chrono::steady_clock::duration::zero()) return false;
  *seconds_left = std::chrono::duration_cast<std::chrono::seconds>(left).count() + 1;
  *code = it->second.code;
  return true;
}

void ClientServices::CountRefusal(const pgm::SignOnTarget& endpoint, uint32_t code,
                                  int64_t host_wait_ms) {
  MutexLock lock(&refusals_mu_);
  const std::string key = RefusalKey(endpoint);
  if (code == kClientOk) {
    refusals_.erase(key);
    return;
  }
  Refusals& r = refusals_[key];
  r.count = std::min(r.count + 1, 20);
  r.code = code;
  int64_t wait_ms = std::min<int64_t>(int64_t{1000} << std::min(r.count - 1, 9), 300000);
  r.until =
      std::chrono::steady_clock::now() + std::chrono::milliseconds(std::max(wait_ms, host_wait_ms));
}

}  // namespace zvt::client
