// The default binding on Windows: the platform itself for the registry,
// mutexes, text, modules and the clock, and the client and program-call
// stand-ins; created on first use and never destroyed (they must outlive
// every static object that might still call them during process exit).
#include "bind/client_binding.h"
#include "platform/win32/win32_clock.h"
#include "platform/win32/win32_modules.h"
#include "platform/win32/win32_registry.h"
#include "platform/win32/win32_sync.h"
#include "platform/win32/win32_text.h"
#include "services/services.h"

namespace zvt {

const Services& DefaultServices() {
  static const Services* const services = [] {
    auto* registry = new platform::Win32Registry();
    auto* bound = new Services;
    bound->registry = registry;
    bound->registry_service = registry;
    bound->sync = new platform::Win32Sync;
    bound->text = new platform::Win32Text;
    bound->modules = new platform::Win32Modules;
    bound->clock = new platform::Win32Clock;
    BindClientStandIns(bound);
    return bound;
  }();
  return *services;
}

}  // namespace zvt
