// What libzvtclient shares with the other modules of a process beyond its C
// interface: the one client display every module shows its boxes on. The
// process's other shared objects (client services, registry, display) reach
// the library through zvt::DefaultServices(), which libzvtclient defines too.
#ifndef ZVT_CLIENT_PROCESS_CLIENT_H_
#define ZVT_CLIENT_PROCESS_CLIENT_H_

#include "services/display.h"

namespace zvt::client {

// The process's client display: the handler set by zvtclient_SetDisplayHandler,
// else the terminal, else the message log.
DisplayApi& ProcessDisplay();

}  // namespace zvt::client

#endif  // ZVT_CLIENT_PROCESS_CLIENT_H_
