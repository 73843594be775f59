// The registry zvtadm works on: on Windows the system's own registry, on
// other systems the client's registry stores, with what each can say of the
// place the library's cache is kept and of damage it met.
#ifndef ZVT_TOOLS_ZVTADM_REGISTRY_H_
#define ZVT_TOOLS_ZVTADM_REGISTRY_H_

#include <string>

#ifdef _WIN32
#include "platform/utf.h"
#include "platform/win32/win32_registry.h"
#else
#include "platform/posix_registry.h"
#endif

namespace zvt::tools {

#ifdef _WIN32
class ToolRegistry : public platform::Win32Registry {
 public:
  // The system's registry reports no damage of its own: a key it cannot
  // read fails with its code.
  std::string DescribeDamage() { return std::string(); }
  int hives_moved_aside() const { return 0; }
  std::string CacheStoreName() const {
    return "HKEY_CURRENT_USER\\" + platform::Utf16ToUtf8(client_root()) +
           "\\Application_Administration\\HostVals";
  }
};
#else
class ToolRegistry : public platform::PosixRegistry {
 public:
  using PosixRegistry::PosixRegistry;
  std::string CacheStoreName() const { return paths().cache_store; }
};
#endif

}  // namespace zvt::tools

#endif  // ZVT_TOOLS_ZVTADM_REGISTRY_H_
