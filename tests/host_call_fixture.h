// A host server on an ephemeral loopback port with a private store, and
// calls of the three host programs over the library's parameter lists, for
// end-to-end tests of the program call path.
#ifndef ZVT_TESTS_HOST_CALL_FIXTURE_H_
#define ZVT_TESTS_HOST_CALL_FIXTURE_H_

#include <gtest/gtest.h>

#include <array>
#include <memory>
#include <string>
#include <vector>

#include "host/list_formats.h"
#ifdef _WIN32
#include "tests/remote_host.h"  // a host server of the Linux build
#else
#include "hostd/host_server.h"
#include "hostd/host_store.h"
#endif
#include "pgm/remote_program_calls.h"
#include "pgm/wire.h"
#include "services/client.h"
#include "services/services.h"
#include "testing/server_faults.h"
#include "testing/temp_dir.h"

namespace zvt::testing {

// Finds systems by the handles of a client's system objects: the handle's
// system name, looked up in a table of names.
class HandleLocator : public pgm::SystemLocator {
 public:
  HandleLocator(ClientApi* client, pgm::SystemLocator* names) : client_(client), names_(names) {}
  bool LocateByHandle(uint64_t handle, pgm::SignOnTarget* endpoint, std::string* error) override;
  bool LocateByName(std::u16string_view application, std::u16string_view system,
                    pgm::SignOnTarget* endpoint, std::string* error) override {
    return names_->LocateByName(application, system, endpoint, error);
  }

 private:
  ClientApi* client_;
  pgm::SystemLocator* names_;
};

struct ListedFunction {
  std::u16string id, category, type, name, description, root, parent;
};
struct ListedUsage {
  std::u16string id, usage;
};

// The call the library makes for JOE's change timestamps ("KLIB/KRCHGTS",
// format "TSTA0100"), numbered `id`, for tests that speak the wire themselves.
wire::Call JoeTimestampsCall(uint32_t id = 0);

class HostCallTest : public ::testing::Test {
 protected:
  HostCallTest();
  ~HostCallTest() override;

  // Starts a server with `options` (store and port filled in), serving TLS
  // with a self-signed certificate unless `tls_` was cleared before.
  void StartServer(hostd::ServerOptions options = {});
  // The certificate the server presents, which clients trust.
  std::string TlsCaFile() { return dir_.File("host-cert.pem"); }
#ifndef _WIN32
  // Gives a server's options this fixture's certificate when `tls_` is set.
  void ServeTls(hostd::ServerOptions* options);
#endif
  // Sets an endpoint's TLS as the server serves it.
  void ConfigureTls(pgm::SignOnTarget* e);
  // The same as options of `zvtadm system add`.
  std::string TlsOptions();
  hostd::HostStore* store() { return store_.get(); }
  ProgramCallApi* calls() { return calls_.get(); }
  hostd::HostServer* server() { return server_.get(); }
  // Adds a profile with a cheap password hash; its password is "pw-NAME".
  void AddProfile(const std::string& name);
  void AddFunctions(int count, const std::string& prefix);

  // Binds this fixture's program call library as the library's, and names
  // the server `system`, signed on to as `user` (password "pw-USER").
  void BindLibrary(const std::u16string& system, const std::string& user);

  // Signs on as `user` (password "pw-USER" unless given) to system "HOST".
  std::unique_ptr<RemoteAgent> Agent(const std::string& user, ErrorOut* error,
                                     const std::string& password = "", int read_timeout_ms = 5000);

  // The whole function list, calling again while the host hands out a
  // continuation handle. `parts` gets the entry count of each call.
  uint32_t ListFunctions(const std::string& user, const std::u16string& category,
                         std::vector<ListedFunction>* out, std::vector<uint32_t>* parts,
                         ErrorOut* error);
  // The usage list; `capacities` gets the entry capacity asked for on each call.
  uint32_t ListUsage(const std::string& user, const std::u16string& profile,
                     const std::u16string& category, std::vector<ListedUsage>* out,
                     std::vector<uint32_t>* capacities, ErrorOut* error);
  uint32_t Timestamps(const std::string& user, const std::u16string& profile,
                      std::array<uint8_t, 24>* stamps, ErrorOut* error);

  TempDir dir_;
  std::unique_ptr<hostd::HostStore> store_;
  // What the next StartServer() puts into the server; not to be changed
  // while one runs.
  ServerFaults faults_;
  std::unique_ptr<hostd::HostServer> server_;
  pgm::StaticSystemLocator locator_;
  std::unique_ptr<pgm::RemoteProgramCalls> calls_;
  int read_timeout_ms_ = 5000;
#ifdef _WIN32
  bool tls_ = false;  // the host servers the Windows suite is given serve plaintext
#else
  bool tls_ = true;
#endif
  std::unique_ptr<ScopedServiceBinding> binding_;
};

}  // namespace zvt::testing

#endif  // ZVT_TESTS_HOST_CALL_FIXTURE_H_
