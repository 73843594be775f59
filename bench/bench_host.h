// The environment the reload and current-cache benchmarks share: a host
// server with a registry of N functions and a user BENCH, a per-user store,
// and the library's services bound to them with one signed-on system SYS1.
#ifndef ZVT_BENCH_BENCH_HOST_H_
#define ZVT_BENCH_BENCH_HOST_H_

#include <chrono>
#include <memory>
#include <string>

#include "bench/bench_tls.h"
#include "cache/registry_cache.h"
#include "hierarchy/client_functions.h"
#include "hostd/host_server.h"
#include "hostd/host_store.h"
#include "pgm/remote_program_calls.h"
#include "platform/posix_registry.h"
#include "platform/posix_sync.h"
#include "services/program_calls.h"
#include "services/services.h"
#include "testing/fake_client.h"
#include "testing/temp_dir.h"

namespace zvt::bench {

// Every system handle names the one host.
class OneHost : public pgm::SystemLocator {
 public:
  explicit OneHost(pgm::SignOnTarget e) : endpoint_(std::move(e)) {}
  bool LocateByHandle(uint64_t, pgm::SignOnTarget* e, std::string*) override {
    *e = endpoint_;
    return true;
  }
  bool LocateByName(std::u16string_view, std::u16string_view, pgm::SignOnTarget* e,
                    std::string*) override {
    *e = endpoint_;
    return true;
  }

 private:
  pgm::SignOnTarget endpoint_;
};

// The remote program call library with a clock around every program call:
// the time the caller spent waiting for the host, transfer included.
class TimedProgramCalls : public ProgramCallApi {
 public:
  explicit TimedProgramCalls(ProgramCallApi* inner) : inner_(inner) {}
  std::chrono::nanoseconds waited() const { return waited_; }

  uint32_t callProgram(RemoteAgent* agent, const char16_t* program, DataObject* parameters,
                       ErrorOut* error) override {
    const auto start = std::chrono::steady_clock::now();
    const uint32_t rc = inner_->callProgram(agent, program, parameters, error);
    waited_ += std::chrono::steady_clock::now() - start;
    return rc;
  }
  std::unique_ptr<DataObject> createDataObject(const DataDescription& d) override {
    return inner_->createDataObject(d);
  }
  std::unique_ptr<ArrayDataObject> createArrayDataObject(const DataDescription& entry,
                                                         uint16_t capacity) override {
    return inner_->createArrayDataObject(entry, capacity);
  }
  uint32_t setBinary(DataObject* o, uint32_t i, const void* b, uint32_t size, uint32_t type,
                     ErrorOut* e) override {
    return inner_->setBinary(o, i, b, size, type, e);
  }
  uint32_t setText(DataObject* o, uint32_t i, const char16_t* t, ErrorOut* e) override {
    return inner_->setText(o, i, t, e);
  }
  uint32_t setObject(DataObject* o, uint32_t i, std::unique_ptr<DataObject>* c,
                     ErrorOut* e) override {
    return inner_->setObject(o, i, c, e);
  }
  uint32_t length(const DataObject* o) override { return inner_->length(o); }
  DataObject* childObject(DataObject* o, uint32_t i) override { return inner_->childObject(o, i); }
  std::unique_ptr<RemoteAgent> createRemoteAgent(uint64_t h, ErrorOut* e, uint32_t f) override {
    return inner_->createRemoteAgent(h, e, f);
  }
  std::unique_ptr<RemoteAgent> createRemoteAgent(const char16_t* a, const char16_t* s, ErrorOut* e,
                                                 uint32_t f) override {
    return inner_->createRemoteAgent(a, s, e, f);
  }
  uint32_t getBinary(DataObject* o, uint32_t i, void* d, uint32_t size, uint32_t* read,
                     uint32_t* type) override {
    return inner_->getBinary(o, i, d, size, read, type);
  }
  uint32_t selectEntry(ArrayDataObject* a, uint16_t entry) override {
    return inner_->selectEntry(a, entry);
  }
  uint32_t getText(DataObject* o, uint32_t i, char16_t* d, uint32_t bytes) override {
    return inner_->getText(o, i, d, bytes);
  }
  std::unique_ptr<ErrorObject> createError(uint32_t n, const char16_t* s, uint32_t l) override {
    return inner_->createError(n, s, l);
  }

 private:
  ProgramCallApi* inner_;
  std::chrono::nanoseconds waited_{0};
};

// The host's registry as JSON: root R, then per group G<k> 63 items I<k>_<j>;
// `denied_percent` of the items, spread evenly, are denied to BENCH.
inline std::string Registry(int functions, int denied_percent = 10) {
  std::string json = "{\"functions\":[{\"id\":\"R\",\"type\":\"1\",\"category\":\"2\"}";
  std::string usage;
  std::string group;
  for (int i = 1; i < functions; ++i) {
    if (i % 64 == 1) {
      group = "G" + std::to_string(i / 64);
      json += ",{\"id\":\"" + group + "\",\"type\":\"2\",\"root\":\"R\",\"category\":\"2\"}";
      continue;
    }
    std::string id = "I" + std::to_string(i);
    json += ",{\"id\":\"" + id + "\",\"type\":\"3\",\"root\":\"R\",\"parent\":\"" + group +
            "\",\"category\":\"2\"}";
    if ((i * denied_percent) / 100 != ((i - 1) * denied_percent) / 100)
      usage += std::string(usage.empty() ? "" : ",") + "{\"profile\":\"BENCH\",\"function\":\"" +
               id + "\",\"usage\":\"1\"}";
  }
  return json + "],\"profiles\":[{\"name\":\"BENCH\",\"password\":\"pw\",\"fast_hash\":true}]," +
         "\"usage\":[" + usage + "]}";
}

// The host, the store and the bound services. `ok()` is false (with
// `error()` saying why) when the host could not be set up.
class HostedUser {
 public:
  explicit HostedUser(int functions, int denied_percent = 10) {
    {
      auto store = hostd::HostStore::Open(dir_.File("host.db"), &error_);
      if (!store ||
          !store->ImportJson(Registry(functions, denied_percent), /*replace=*/true, &error_))
        return;
    }
    hostd::ServerOptions options;
    options.allow_fast_hashes = true;  // the test profiles' hashes are fast
    options.store_path = dir_.File("host.db");
    if (!ServeTls(dir_, &options)) {
      error_ = "no certificate";
      return;
    }
    server_ = std::make_unique<hostd::HostServer>(options);
    if (!server_->Start(&error_)) return;
    pgm::SignOnTarget endpoint;
    endpoint.tls_ca_file = options.tls_certificate;
    endpoint.port = server_->port();
    endpoint.user = "BENCH";
    endpoint.password = "pw";
    host_ = std::make_unique<OneHost>(endpoint);
    calls_ = std::make_unique<pgm::RemoteProgramCalls>(host_.get(),
                                                       pgm::ErrorLog(dir_.File("error.log")));
    timed_calls_ = std::make_unique<TimedProgramCalls>(calls_.get());
    paths_.user_store = dir_.File("home/registry.db");
    paths_.classes_store = dir_.File("classes.db");
    registry_ = std::make_unique<platform::PosixRegistry>(paths_);
    sync_ = std::make_unique<platform::PosixSync>(dir_.File("run"));
    testing::FakeSystem system;
    system.name = u"SYS1";
    system.user = u"BENCH";
    system.signed_on = true;
    system.has_timestamps = false;  // the library asks the host for them
    handle_ = client_.Add(system);
    Bind(registry_.get());
    ok_ = true;
  }

  // The process-wide cache state and list mutex belong to these services;
  // they go before the services do.
  ~HostedUser() {
    ResetRegistryCacheForTesting();
    ResetClientFunctionListsForTesting();
  }
  HostedUser(const HostedUser&) = delete;
  HostedUser& operator=(const HostedUser&) = delete;

  // Binds the services to `registry` (the shared one or a fresh connection
  // to the same store).
  void Bind(platform::PosixRegistry* registry) {
    binding_.reset();
    Services bound;
    bound.registry = registry;
    bound.registry_service = registry;
    bound.sync = sync_.get();
    bound.client = &client_;
    bound.program_calls = timed_calls_.get();
    binding_ = std::make_unique<ScopedServiceBinding>(bound);
  }

  bool ok() const { return ok_; }
  const std::string& error() const { return error_; }
  hostd::HostServer& server() { return *server_; }
  platform::PosixRegistry& registry() { return *registry_; }
  const platform::RegistryPaths& paths() const { return paths_; }
  const testing::TempDir& dir() const { return dir_; }
  testing::FakeSystem& system() { return client_.system(handle_); }
  SystemHandle* handle() { return &handle_; }
  // The time spent waiting for program calls so far.
  std::chrono::nanoseconds waited_for_host() const { return timed_calls_->waited(); }

 private:
  testing::TempDir dir_;
  std::string error_;
  bool ok_ = false;
  std::unique_ptr<hostd::HostServer> server_;
  std::unique_ptr<OneHost> host_;
  std::unique_ptr<pgm::RemoteProgramCalls> calls_;
  std::unique_ptr<TimedProgramCalls> timed_calls_;
  platform::RegistryPaths paths_;
  std::unique_ptr<platform::PosixRegistry> registry_;
  std::unique_ptr<platform::PosixSync> sync_;
  testing::FakeClient client_;
  SystemHandle handle_ = 0;
  std::unique_ptr<ScopedServiceBinding> binding_;
};

}  // namespace zvt::bench

#endif  // ZVT_BENCH_BENCH_HOST_H_
