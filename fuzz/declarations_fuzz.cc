// Fuzzes the readers of registry data the library did not write itself:
// the client-defined function declarations and the saved "Hierarchy" values.
// Each input is the body of a .reg file (any value types and data) imported
// into a private store below the declaration roots and a system's cache key;
// then both function lists are read and the hierarchy is built from the
// saved values, as a reload that reuses them does.
#include <cstddef>
#include <cstdint>

#include "cache/registry_cache.h"
#include "fuzz/private_store.h"
#include "hierarchy/client_functions.h"

namespace {

using namespace zvt;

const char kReset[] =
    "Windows Registry Editor Version 5.00\n\n"
    "[-HKEY_CLASSES_ROOT\\VYN.Tarvo.Network]\n\n"
    "[-HKEY_CURRENT_USER\\Software\\VYN\\Tarvo.Network\\Application_Administration]\n\n";

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static fuzz::PrivateStore* store = new fuzz::PrivateStore();
  if (!store->Import(kReset, data, size)) return 0;

  ResetClientFunctionListsForTesting();
  ResetRegistryCacheForTesting();
  HierarchyMap map;
  // The saved values of system "S" are read; nothing asks the host.
  (void)CRegistryCache::buildHierMap(&map, u"S", u"U", 1, nullptr);
  closeRegKeys();
  return 0;
}
