// Fuzzes the readers of registry data the library did not write itself:
// the client-defined function declarations and the saved "Hierarchy" values.
// Each input is the body of a .reg file (any value types and data) imported
// into a private store below the declaration roots and a system's cache key;
// then both function lists are read and the hierarchy is built from the
// saved values, as a reload that reuses them does.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "cache/registry_cache.h"
#include "hierarchy/client_functions.h"
#include "platform/posix_registry.h"
#include "platform/posix_sync.h"
#include "services/services.h"
#include "services/testing/fake_client.h"
#include "tools/reg_file.h"

namespace {

using namespace zvt;

struct Setting {
  Setting() {
    char pattern[] = "/tmp/zvt-fuzz-XXXXXX";
    dir = mkdtemp(pattern);
    platform::RegistryPaths paths;
    paths.user_store = dir + "/registry.db";
    paths.classes_store = dir + "/classes.db";
    registry = new platform::PosixRegistry(paths);
    sync = new platform::PosixSync(dir + "/run");
    Services s;
    s.registry = registry;
    s.registry_service = registry;
    s.sync = sync;
    s.client = &client;
    binding = new ScopedServiceBinding(s);
  }
  std::string dir;
  platform::PosixRegistry* registry;
  platform::PosixSync* sync;
  testing::FakeClient client;
  ScopedServiceBinding* binding;
};

const char kReset[] =
    "Windows Registry Editor Version 5.00\n\n"
    "[-HKEY_CLASSES_ROOT\\VYN.Tarvo.Network]\n\n"
    "[-HKEY_CURRENT_USER\\Software\\VYN\\Tarvo.Network\\Application_Administration]\n\n";

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static Setting* setting = new Setting();
  tools::RegFile reset, input;
  std::string error;
  tools::ImportCounts counts;
  if (tools::ParseRegFile(kReset, &reset, &error))
    (void)tools::ApplyRegFile(setting->registry, reset, &counts, &error);
  std::string text = "Windows Registry Editor Version 5.00\n\n" +
                     std::string(reinterpret_cast<const char*>(data), size);
  if (!tools::ParseRegFile(text, &input, &error)) return 0;
  if (!tools::ApplyRegFile(setting->registry, input, &counts, &error)) return 0;

  ResetClientFunctionListsForTesting();
  ResetRegistryCacheForTesting();
  HierarchyMap map;
  // The saved values of system "S" are read; nothing asks the host.
  (void)CRegistryCache::buildHierMap(&map, u"S", u"U", 1, nullptr);
  closeRegKeys();
  return 0;
}
