// The points at which a host server lets the program that embeds it step
// in: before a sign-on's password is checked and before each program call
// is run. The base class steps in nowhere, and is what a server given no
// hooks uses; tests derive from it (testing/server_faults.h) to hold
// sign-ons, slow calls down, or cut connections, as a wrapper of the
// platform would, without the server's options carrying any of it.
#ifndef ZVT_HOSTD_SERVER_HOOKS_H_
#define ZVT_HOSTD_SERVER_HOOKS_H_

#include <cstdint>
#include <string>

namespace zvt::hostd {

class ServerHooks {
 public:
  enum class CallAction {
    kRun,    // run the program and answer
    kReset,  // reset the connection instead
    kStall,  // never answer (until the server stops)
  };

  virtual ~ServerHooks() = default;

  // On the sign-on's worker, with the profile named.
  virtual void BeforePasswordCheck(const std::string& /*profile*/) {}
  // On a worker, before program call `n` (numbered from 0 over all the
  // server's connections) is run.
  virtual CallAction BeforeCall(uint64_t /*n*/) { return CallAction::kRun; }
};

}  // namespace zvt::hostd

#endif  // ZVT_HOSTD_SERVER_HOOKS_H_
