// The part of the default binding that is the same on every platform: the
// client services, the remote program calls that find their systems through
// them, and the display that logs to the client's message log.
#ifndef ZVT_BIND_CLIENT_BINDING_H_
#define ZVT_BIND_CLIENT_BINDING_H_

#include "client/client_display.h"
#include "client/client_services.h"
#include "pgm/remote_program_calls.h"
#include "services/services.h"

namespace zvt {

// Fills the client, program-call and display services of `bound`; the
// objects live as long as the process.
inline void BindClientStandIns(Services* bound) {
  // The client services keep their own stores: they are shared with the
  // embedding program, which may bind them before the library is loaded.
  auto* client = &client::ClientServices::Default();
  bound->client = client;
  // Remote agents find their systems through the client's system objects
  // and configuration.
  bound->program_calls = new pgm::RemoteProgramCalls(client, pgm::ErrorLog());
  client::ClientDisplay::Instance().SetLog(client->message_log());
  bound->display = &client::ClientDisplay::Instance();
}

}  // namespace zvt

#endif  // ZVT_BIND_CLIENT_BINDING_H_
