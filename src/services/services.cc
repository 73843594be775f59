// The current binding of the seam. Thread-safe for readers; rebinding is for
// tests and happens while no other thread uses the services.
#include "services/services.h"

#include <atomic>

namespace zvt {
namespace {

std::atomic<const Services*> g_bound{nullptr};

}  // namespace

const Services& CurrentServices() {
  const Services* bound = g_bound.load(std::memory_order_acquire);
  return bound != nullptr ? *bound : DefaultServices();
}

ScopedServiceBinding::ScopedServiceBinding(const Services& overrides)
    : bound_(CurrentServices()), previous_(g_bound.load(std::memory_order_acquire)) {
  auto take = [](auto*& slot, auto* replacement) {
    if (replacement != nullptr) slot = replacement;
  };
  take(bound_.registry, overrides.registry);
  take(bound_.registry_service, overrides.registry_service);
  take(bound_.sync, overrides.sync);
  take(bound_.text, overrides.text);
  take(bound_.modules, overrides.modules);
  take(bound_.clock, overrides.clock);
  take(bound_.client, overrides.client);
  take(bound_.program_calls, overrides.program_calls);
  take(bound_.display, overrides.display);
  take(bound_.registry_cache, overrides.registry_cache);
  take(bound_.host_load, overrides.host_load);
  g_bound.store(&bound_, std::memory_order_release);
}

ScopedServiceBinding::~ScopedServiceBinding() {
  g_bound.store(previous_, std::memory_order_release);
}

}  // namespace zvt
