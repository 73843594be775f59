// A private registry store for the fuzzers that feed .reg text to the
// library's readers: both roots in a scratch directory, a named-mutex
// service beside them, and the library's services bound to these and a
// client with no systems unless the fuzzer adds some.
#ifndef ZVT_FUZZ_PRIVATE_STORE_H_
#define ZVT_FUZZ_PRIVATE_STORE_H_

#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/posix_registry.h"
#include "platform/posix_sync.h"
#include "services/services.h"
#include "testing/fake_client.h"
#include "tools/reg_store.h"

namespace zvt::fuzz {

class PrivateStore {
 public:
  PrivateStore() {
    char pattern[] = "/tmp/zvt-fuzz-XXXXXX";
    dir_ = mkdtemp(pattern);
    platform::RegistryPaths paths;
    paths.user_store = dir_ + "/registry.db";
    paths.classes_store = dir_ + "/classes.db";
    registry_ = new platform::PosixRegistry(paths);
    sync_ = new platform::PosixSync(dir_ + "/run");
    Services s;
    s.registry = registry_;
    s.registry_service = registry_;
    s.sync = sync_;
    s.client = &client_;
    binding_ = new ScopedServiceBinding(s);
  }
  // Lives for the whole run: the fuzzer never tears it down.
  PrivateStore(const PrivateStore&) = delete;
  PrivateStore& operator=(const PrivateStore&) = delete;

  platform::PosixRegistry* registry() { return registry_; }
  testing::FakeClient& client() { return client_; }

  // Applies `reset` (a whole .reg file that deletes what the last input
  // left), then the input as the body of a .reg file. False when the input
  // does not parse or cannot be applied.
  bool Import(const char* reset, const uint8_t* data, size_t size) {
    tools::RegFile cleared, input;
    std::string error;
    tools::ImportCounts counts;
    if (tools::ParseRegFile(reset, &cleared, &error))
      (void)tools::ApplyRegFile(registry_, cleared, &counts, &error);
    std::string text = "Windows Registry Editor Version 5.00\n\n" +
                       std::string(reinterpret_cast<const char*>(data), size);
    return tools::ParseRegFile(text, &input, &error) &&
           tools::ApplyRegFile(registry_, input, &counts, &error);
  }

 private:
  std::string dir_;
  platform::PosixRegistry* registry_;
  platform::PosixSync* sync_;
  testing::FakeClient client_;
  ScopedServiceBinding* binding_;
};

}  // namespace zvt::fuzz

#endif  // ZVT_FUZZ_PRIVATE_STORE_H_
