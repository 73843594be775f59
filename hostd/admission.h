// Who may go on signing on. Sources are counted by network (an IPv4
// address, an IPv6 /64 by default), so that one machine cannot pose as many:
// the connections a network has awaiting sign-on are capped, and failed
// sign-ons, sign-ons never finished and refused frames earn it a penalty
// that grows with each offence, during which its new connections are refused
// before anything costly is done. Profiles are locked out after repeated
// failed sign-ons; the same wrong password tried again (a client with a stale
// one) counts once. Both tables are bounded: when full, the entry touched
// longest ago goes. One place, asked by the event loops when they accept and
// by the sign-on workers when they check a password. Thread-safe.
#ifndef ZVT_HOSTD_ADMISSION_H_
#define ZVT_HOSTD_ADMISSION_H_

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <list>
#include <string>
#include <unordered_map>

#include "services/mutex.h"

namespace zvt::hostd {

struct AdmissionLimits {
  // Connections from one source network that may await sign-on at once;
  // loopback sources are neither counted nor penalised unless `limit_loopback`.
  int max_unauthenticated_per_network = 32;
  bool limit_loopback = false;
  // How much of an address makes its source network.
  int ipv4_prefix = 32;
  int ipv6_prefix = 64;
  // A network's first penalty, doubled with each further offence while the
  // last one is remembered, up to the longest.
  int penalty_ms = 1000;
  int max_penalty_ms = 60000;
  // Failed sign-ons of one profile in a row before it is locked out, and
  // the first lockout, which doubles with every further failure (up to 64 times).
  int signon_failures_allowed = 3;
  int signon_lockout_ms = 1000;
  // The most source networks and profiles remembered.
  size_t max_networks = 65536;
  size_t max_profiles = 4096;
};

class Admission {
 public:
  explicit Admission(AdmissionLimits limits);

  // The source network of an address as the server prints it ("1.2.3.4",
  // "[2001:db8::1]"), as a key: "1.2.3.4/32", "2001:db8::/64". An IPv4
  // address mapped into IPv6 counts as IPv4. Text that is no address is its
  // own network.
  std::string NetworkOf(const std::string& address) const;

  // False for a loopback network unless loopback is limited: it is neither
  // counted nor penalised.
  bool Limited(const std::string& network) const;

  // Counts a new connection from `network` awaiting sign-on; false (and not
  // counted) when the network is penalised, with the time left in `*wait_ms`,
  // or has its fill of such connections already (`*wait_ms` 0).
  bool AdmitUnauthenticated(const std::string& network, int64_t* wait_ms);
  // The connection signed on or went away.
  void ReleaseUnauthenticated(const std::string& network);

  enum class Offence { kFailedSignon, kUnfinishedSignon, kRefusedFrame };
  // `network` earns a penalty (nothing for a loopback network unless limited).
  void Penalise(const std::string& network, Offence offence);

  // True, with the time left, while `profile` is locked out.
  bool LockedOut(const std::string& profile, int64_t* wait_ms);
  // A sign-on of `profile` from `peer` in `network` succeeded, or failed
  // with `password`. A failure penalises the network; it moves the profile
  // towards a lockout unless the profile failed with the same password lately.
  void CountSignon(const std::string& profile, const std::string& network, const std::string& peer,
                   const std::string& password, bool ok);

  // Offences counted since the start (loopback ones not).
  uint64_t offences(Offence offence) const;
  // Penalties and lockouts in force now.
  size_t penalties_in_force();
  size_t lockouts_in_force();

 private:
  using Clock = std::chrono::steady_clock;
  using Fingerprint = std::array<unsigned char, 16>;
  static constexpr size_t kWrongPasswordsKept = 8;

  struct Network {
    int waiting = 0;  // connections awaiting sign-on
    int offences = 0;
    Clock::time_point penalised_until{};
  };
  struct Profile {
    int failures = 0;
    Clock::time_point locked_until{};
    // The last wrong passwords, as keyed hashes, newest first.
    std::array<Fingerprint, kWrongPasswordsKept> wrong{};
    size_t wrong_count = 0;
  };
  // A map that keeps its entries in the order they were last touched, and
  // drops the one touched longest ago to make room.
  template <typename V>
  class Recent {
   public:
    explicit Recent(size_t capacity) : capacity_(capacity) {}
    V* Find(const std::string& key);   // touches it
    V& Touch(const std::string& key);  // makes it when missing
    void Erase(const std::string& key);
    template <typename F>
    size_t CountIf(F f) const {
      size_t n = 0;
      for (const auto& e : order_) n += f(e.second) ? 1 : 0;
      return n;
    }

   private:
    using Order = std::list<std::pair<std::string, V>>;
    size_t capacity_;
    Order order_;  // most recent first
    std::unordered_map<std::string, typename Order::iterator> index_;
  };

  Fingerprint FingerprintOf(const std::string& profile, const std::string& password) const;

  const AdmissionLimits limits_;
  std::array<unsigned char, 32> key_;  // for the wrong passwords' hashes; never leaves memory
  std::atomic<uint64_t> offences_[3] = {};
  Mutex mu_;
  Recent<Network> networks_ ZVT_GUARDED_BY(mu_);
  Recent<Profile> profiles_ ZVT_GUARDED_BY(mu_);
};

}  // namespace zvt::hostd

#endif  // ZVT_HOSTD_ADMISSION_H_
