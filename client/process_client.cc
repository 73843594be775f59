// The client's process-wide objects and its C interface. This file is built
// into libzvtclient alone, never into the static parts that programs and
// tests link, so that a process holds exactly one of each object however
// many modules ask for it.
#include "client/process_client.h"

#include "client/client_display.h"
#include "client/client_services.h"
#include "include/zvtappad/zvtclient.h"
#ifdef _WIN32
#include "platform/win32/win32_registry.h"
#endif

namespace zvt::client {

ClientServices& ClientServices::Default() {
  // The client's own settings live in the platform's registry.
  static ClientServices* services = [] {
#ifdef _WIN32
    auto* registry = new platform::Win32Registry();
#else
    platform::PosixRegistry* registry = &DefaultRegistry();
#endif
    return new ClientServices(registry, registry, MessageLog());
  }();
  return *services;
}

#ifndef _WIN32
platform::PosixRegistry& ClientServices::DefaultRegistry() {
  // Never destroyed: it must outlive every static object that might still
  // call it during process exit.
  static auto* registry = new platform::PosixRegistry(platform::PosixRegistry::DefaultPaths());
  return *registry;
}
#endif

ClientDisplay& ClientDisplay::Instance() {
  static ClientDisplay* display = new ClientDisplay;
  return *display;
}

DisplayApi& ProcessDisplay() { return ClientDisplay::Instance(); }

}  // namespace zvt::client

extern "C" ZVTCLIENT_EXPORT void zvtclient_SetDisplayHandler(zvtclient_DisplayHandler handler,
                                                             void* context) {
  zvt::client::ClientDisplay::Instance().SetHandler(handler, context);
}

// The system-object service for C callers: a handle of the process's system
// objects, which the library's `Ex` exports accept.
extern "C" ZVTCLIENT_EXPORT uint32_t zvtsvc_GetSystemHandle(const char16_t* system_name,
                                                            const char16_t* application_name,
                                                            uint64_t* handle) {
  // No exception leaves the client's C interface.
  try {
    return zvt::client::ClientServices::Default().GetSystemHandle(system_name, application_name,
                                                                  handle);
  } catch (...) {
    return zvt::kClientFailed;
  }
}
