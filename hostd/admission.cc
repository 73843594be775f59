// Admission of connections by source network, penalties, and lockout of
// profiles.
#include "hostd/admission.h"

#include <arpa/inet.h>
#include <sodium.h>

#include <algorithm>
#include <cstring>

#include "hostd/server_log.h"
#include "pgm/sockets.h"
#include "services/mutex.h"

namespace zvt::hostd {

namespace {

int64_t MillisecondsUntil(std::chrono::steady_clock::time_point until) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(until -
                                                               std::chrono::steady_clock::now())
             .count() +
         1;
}

// The `delay` of the `n`th time in a row (from 1): doubled each time, at most `most`.
int64_t Doubled(int64_t delay, int n, int64_t most) {
  return std::min<int64_t>(delay << std::min(std::max(n - 1, 0), 20), most);
}

void KeepPrefix(unsigned char* bytes, size_t size, int prefix) {
  for (size_t i = 0; i < size; ++i) {
    const int keep = std::clamp(prefix - static_cast<int>(i * 8), 0, 8);
    bytes[i] &= static_cast<unsigned char>(0xFF00 >> keep);
  }
}

}  // namespace

template <typename V>
V* Admission::Recent<V>::Find(const std::string& key) {
  auto it = index_.find(key);
  if (it == index_.end()) return nullptr;
  order_.splice(order_.begin(), order_, it->second);
  return &it->second->second;
}

template <typename V>
V& Admission::Recent<V>::Touch(const std::string& key) {
  if (V* v = Find(key)) return *v;
  if (order_.size() >= capacity_ && !order_.empty()) {
    index_.erase(order_.back().first);
    order_.pop_back();
  }
  order_.emplace_front(key, V{});
  index_[key] = order_.begin();
  return order_.front().second;
}

template <typename V>
void Admission::Recent<V>::Erase(const std::string& key) {
  auto it = index_.find(key);
  if (it == index_.end()) return;
  order_.erase(it->second);
  index_.erase(it);
}

Admission::Admission(AdmissionLimits limits)
    : limits_(limits),
      networks_(std::max<size_t>(limits.max_networks, 1)),
      profiles_(std::max<size_t>(limits.max_profiles, 1)) {
  if (sodium_init() < 0) std::abort();  // nothing here works without it
  randombytes_buf(key_.data(), key_.size());
}

std::string Admission::NetworkOf(const std::string& address) const {
  std::string text = address;
  if (text.size() >= 2 && text.front() == '[' && text.back() == ']')
    text = text.substr(1, text.size() - 2);
  unsigned char bytes[16];
  char out[INET6_ADDRSTRLEN];
  if (inet_pton(AF_INET, text.c_str(), bytes) == 1) {
    KeepPrefix(bytes, 4, limits_.ipv4_prefix);
    inet_ntop(AF_INET, bytes, out, sizeof out);
    return std::string(out) + "/" + std::to_string(std::clamp(limits_.ipv4_prefix, 0, 32));
  }
  if (inet_pton(AF_INET6, text.c_str(), bytes) == 1) {
    static const unsigned char kMapped[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF};
    if (std::memcmp(bytes, kMapped, sizeof kMapped) == 0) {
      inet_ntop(AF_INET, bytes + 12, out, sizeof out);
      return NetworkOf(out);
    }
    KeepPrefix(bytes, 16, limits_.ipv6_prefix);
    inet_ntop(AF_INET6, bytes, out, sizeof out);
    return std::string(out) + "/" + std::to_string(std::clamp(limits_.ipv6_prefix, 0, 128));
  }
  return address;
}

bool Admission::Limited(const std::string& network) const {
  if (limits_.limit_loopback) return true;
  const std::string address = network.substr(0, network.find('/'));
  return !sockets::IsLoopbackName(address) && address != "::1";
}

bool Admission::AdmitUnauthenticated(const std::string& network, int64_t* wait_ms) {
  *wait_ms = 0;
  if (!Limited(network)) return true;
  MutexLock lock(&mu_);
  Network& n = networks_.Touch(network);
  if (Clock::now() < n.penalised_until) {
    *wait_ms = MillisecondsUntil(n.penalised_until);
    return false;
  }
  if (n.waiting >= limits_.max_unauthenticated_per_network) return false;
  ++n.waiting;
  return true;
}

void Admission::ReleaseUnauthenticated(const std::string& network) {
  if (!Limited(network)) return;
  MutexLock lock(&mu_);
  if (Network* n = networks_.Find(network); n != nullptr && n->waiting > 0) --n->waiting;
}

void Admission::Penalise(const std::string& network, Offence offence) {
  if (!Limited(network)) return;
  MutexLock lock(&mu_);
  Network& n = networks_.Touch(network);
  const Clock::time_point now = Clock::now();
  // Offences are remembered while the last penalty and as long again after
  // it; a network quiet for longer starts afresh.
  if (now > n.penalised_until + std::chrono::milliseconds(limits_.max_penalty_ms)) n.offences = 0;
  ++n.offences;
  const int64_t ms = Doubled(limits_.penalty_ms, n.offences, limits_.max_penalty_ms);
  n.penalised_until = std::max(n.penalised_until, now + std::chrono::milliseconds(ms));
  offences_[static_cast<size_t>(offence)]++;
}

bool Admission::LockedOut(const std::string& profile, int64_t* wait_ms) {
  MutexLock lock(&mu_);
  Profile* p = profiles_.Find(profile);
  if (p == nullptr || Clock::now() >= p->locked_until) return false;
  *wait_ms = MillisecondsUntil(p->locked_until);
  return true;
}

Admission::Fingerprint Admission::FingerprintOf(const std::string& profile,
                                                const std::string& password) const {
  Fingerprint f{};
  crypto_generichash_state state;
  crypto_generichash_init(&state, key_.data(), key_.size(), f.size());
  crypto_generichash_update(&state, reinterpret_cast<const unsigned char*>(profile.data()),
                            profile.size() + 1);  // the terminator keeps the parts apart
  crypto_generichash_update(&state, reinterpret_cast<const unsigned char*>(password.data()),
                            password.size());
  crypto_generichash_final(&state, f.data(), f.size());
  return f;
}

void Admission::CountSignon(const std::string& profile, const std::string& network,
                            const std::string& peer, const std::string& password, bool ok) {
  if (ok) {
    MutexLock lock(&mu_);
    profiles_.Erase(profile);
    return;
  }
  Penalise(network, Offence::kFailedSignon);
  const Fingerprint wrong = FingerprintOf(profile, password);
  MutexLock lock(&mu_);
  Profile& p = profiles_.Touch(profile);
  const auto kept = p.wrong.begin() + static_cast<std::ptrdiff_t>(p.wrong_count);
  if (std::find(p.wrong.begin(), kept, wrong) != kept) return;  // tried before: counted then
  std::copy_backward(p.wrong.begin(), p.wrong.end() - 1, p.wrong.end());
  p.wrong[0] = wrong;
  p.wrong_count = std::min(p.wrong_count + 1, p.wrong.size());
  ++p.failures;
  const int over = p.failures - limits_.signon_failures_allowed;
  if (over < 0) return;
  const int64_t ms = int64_t{limits_.signon_lockout_ms} << std::min(over, 6);
  p.locked_until = Clock::now() + std::chrono::milliseconds(ms);
  Log(LogLevel::kNotice, "profile " + QuotedName(profile) + " locked out for " +
                             std::to_string(ms) + " ms after " + std::to_string(p.failures) +
                             " different wrong passwords in a row, the last from " + peer);
}

uint64_t Admission::offences(Offence offence) const {
  return offences_[static_cast<size_t>(offence)].load();
}

size_t Admission::penalties_in_force() {
  MutexLock lock(&mu_);
  const Clock::time_point now = Clock::now();
  return networks_.CountIf([now](const Network& n) { return now < n.penalised_until; });
}

size_t Admission::lockouts_in_force() {
  MutexLock lock(&mu_);
  const Clock::time_point now = Clock::now();
  return profiles_.CountIf([now](const Profile& p) { return now < p.locked_until; });
}

}  // namespace zvt::hostd
