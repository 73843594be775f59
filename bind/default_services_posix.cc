// The default binding on POSIX systems: the platform stand-ins, created on
// first use and never destroyed (they must outlive every static object that
// might still call them during process exit).
#include "bind/client_binding.h"
#include "platform/paths.h"
#include "platform/posix_clock.h"
#include "platform/posix_modules.h"
#include "platform/posix_registry.h"
#include "platform/posix_sync.h"
#include "platform/posix_text.h"
#include "services/services.h"

namespace zvt {

const Services& DefaultServices() {
  static const Services* const services = [] {
    // The client services' own registry: one connection per store in the
    // process, and the library's writes and the client's in one order.
    platform::PosixRegistry* registry = &client::ClientServices::DefaultRegistry();
    auto* bound = new Services;
    bound->registry = registry;
    bound->registry_service = registry;
    bound->sync = new platform::PosixSync(platform::RuntimeDirectoryPath());
    bound->text = new platform::PosixText;
    bound->modules = new platform::PosixModules;
    bound->clock = new platform::PosixClock;
    BindClientStandIns(bound);
    // A cache hive that was found damaged and moved aside is told once in
    // the client's message log, with the name of the file it was moved to.
    const client::MessageLog* log = &client::ClientServices::Default().message_log();
    registry->SetDamageReporter(
        [log](const std::string& text) { log->Append(3, "zvtappad", "registry", text); });
    return bound;
  }();
  return *services;
}

}  // namespace zvt
