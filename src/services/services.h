// The binding of the seam: which implementation of each outside service the
// library talks to. The default binding (the platform stand-ins) is created on
// first use and never destroyed; tests bind fakes for a scope.
#ifndef ZVT_SERVICES_SERVICES_H_
#define ZVT_SERVICES_SERVICES_H_

#include "services/client.h"
#include "services/clock.h"
#include "services/display.h"
#include "services/modules.h"
#include "services/program_calls.h"
#include "services/registry.h"
#include "services/sync.h"
#include "services/text.h"

namespace zvt {

class RegistryCacheOverride;
class HostLoadOverride;

struct Services {
  RegistryApi* registry = nullptr;
  RegistryServiceApi* registry_service = nullptr;
  SyncApi* sync = nullptr;
  TextApi* text = nullptr;
  ModuleApi* modules = nullptr;
  ClockApi* clock = nullptr;
  ClientApi* client = nullptr;
  ProgramCallApi* program_calls = nullptr;
  DisplayApi* display = nullptr;
  // Test doubles that stand in for the registry cache's entry points and for
  // the reload from the host (cache/registry_cache.h); null in every real
  // binding, where the library's own code runs.
  RegistryCacheOverride* registry_cache = nullptr;
  HostLoadOverride* host_load = nullptr;
};

// The stand-ins of this platform. Defined by the platform's binding file.
const Services& DefaultServices();

// The binding in force: the default one unless a ScopedServiceBinding is alive.
const Services& CurrentServices();

// Binds the non-null members of `overrides` for the lifetime of this object;
// the others stay as they were. Scopes nest. Bind before starting threads that
// use the services; the binding itself is not meant to change under them.
class ScopedServiceBinding {
 public:
  explicit ScopedServiceBinding(const Services& overrides);
  ~ScopedServiceBinding();
  ScopedServiceBinding(const ScopedServiceBinding&) = delete;
  ScopedServiceBinding& operator=(const ScopedServiceBinding&) = delete;

 private:
  Services bound_;
  const Services* previous_;
};

}  // namespace zvt

#endif  // ZVT_SERVICES_SERVICES_H_
