// The default binding on POSIX systems: the platform stand-ins, created on
// first use and never destroyed (they must outlive every static object that
// might still call them during process exit).
#include "client/client_display.h"
#include "client/client_services.h"
#include "pgm/remote_program_calls.h"
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
    auto* registry = new platform::PosixRegistry(platform::PosixRegistry::DefaultPaths());
    auto* bound = new Services;
    bound->registry = registry;
    bound->registry_service = registry;
    bound->sync = new platform::PosixSync(platform::RuntimeDirectoryPath());
    bound->text = new platform::PosixText;
    bound->modules = new platform::PosixModules;
    bound->clock = new platform::PosixClock;
    // The client services keep their own stores: they are shared with the
    // embedding program, which may bind them before the library is loaded.
    auto* client = &client::ClientServices::Default();
    bound->client = client;
    // Remote agents find their systems through the client's system objects
    // and configuration.
    bound->program_calls = new pgm::RemoteProgramCalls(client, pgm::ErrorLog());
    client::ClientDisplay::Instance().SetLog(client->message_log());
    bound->display = &client::ClientDisplay::Instance();
    return bound;
  }();
  return *services;
}

}  // namespace zvt
