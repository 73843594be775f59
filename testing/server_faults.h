// Faults a test puts into a host server of its own process: the server's
// hooks, set from a few numbers, counted over all connections.
#ifndef ZVT_TESTING_SERVER_FAULTS_H_
#define ZVT_TESTING_SERVER_FAULTS_H_

#include <chrono>
#include <functional>
#include <string>
#include <thread>

#include "hostd/server_hooks.h"

namespace zvt::testing {

struct ServerFaults : hostd::ServerHooks {
  // After this many program calls, each further one is answered by
  // resetting the connection, or not at all (-1: never).
  int reset_after_calls = -1;
  int stall_after_calls = -1;
  // Every program call is answered this much later (a slow host).
  int call_delay_ms = 0;
  // Holds sign-ons where the password hashing would be.
  std::function<void(const std::string& profile)> before_password_check;

  void BeforePasswordCheck(const std::string& profile) override {
    if (before_password_check) before_password_check(profile);
  }
  CallAction BeforeCall(uint64_t n) override {
    if (reset_after_calls >= 0 && n >= static_cast<uint64_t>(reset_after_calls))
      return CallAction::kReset;
    if (stall_after_calls >= 0 && n >= static_cast<uint64_t>(stall_after_calls))
      return CallAction::kStall;
    if (call_delay_ms > 0) std::this_thread::sleep_for(std::chrono::milliseconds(call_delay_ms));
    return CallAction::kRun;
  }
};

}  // namespace zvt::testing

#endif  // ZVT_TESTING_SERVER_FAULTS_H_
