// The client's configured systems, kept in the registry below the client's
// root in HKEY_CURRENT_USER:
//
//   Systems\<NAME>            one key per system, named as the user named it
//     "HostAddress"           REG_SZ     host name or address of the host server, or
//                                        several separated by commas, tried in order
//                                        (each may carry its own ":port")
//     "Port"                  REG_DWORD  its TCP port
//     "UserProfile"           REG_SZ     the profile to sign on with
//     "PasswordFile"          REG_SZ     a file readable only by its owner, or
//     "PasswordEnvironment"   REG_SZ     an environment variable holding the password, or
//     "ProtectedPassword"     REG_BINARY the password protected for the user who
//                                        configured the system (Windows only)
//     "InteractionMode"       REG_DWORD  2: nothing may be shown to the user (default 1)
//     "SupplyTimestamps"      REG_DWORD  1: the system object fetches the change
//                                        timestamps at sign-on (default 0)
//     "ConnectTimeoutMs"      REG_DWORD  optional (default 5000)
//     "ReadTimeoutMs"         REG_DWORD  optional (default 30000)
//     "ConversationTimeoutMs" REG_DWORD  optional: how long the calls made between a
//                                        connect and its disconnect (one reload of the
//                                        cache) may take in all (default 0: four times
//                                        ReadTimeoutMs)
//     "TlsMode"               REG_SZ     "required" (the default): TLS, with the host's
//                                        certificate and name checked; "off": plaintext,
//                                        accepted for a loopback host address only
//     "TlsCaFile"             REG_SZ     optional: the CA certificates (PEM) the host's
//                                        certificate must chain to; else the system's
//
// The password itself is never kept in the registry in clear.
#ifndef ZVT_CLIENT_SYSTEM_CONFIG_H_
#define ZVT_CLIENT_SYSTEM_CONFIG_H_

#include <cstdint>
#include <string>
#include <vector>

#include "services/client.h"
#include "services/registry.h"

namespace zvt::client {

inline constexpr char16_t kSystemsKey[] = u"Systems";
// A conversation may take this many read time-outs unless configured.
inline constexpr uint32_t kConversationReadTimeouts = 4;

struct SystemConfig {
  std::u16string name;
  std::string host_address;
  uint32_t port = 0;
  std::string user_profile;
  std::string password_file;
  std::string password_environment;
  std::vector<uint8_t> protected_password;
  uint32_t interaction_mode = 1;
  bool supply_timestamps = false;
  uint32_t connect_timeout_ms = 5000;
  uint32_t read_timeout_ms = 30000;
  uint32_t conversation_timeout_ms = 0;  // 0: kConversationReadTimeouts read time-outs
  std::string tls_mode = "required";
  std::string tls_ca_file;
};

class SystemConfigStore {
 public:
  SystemConfigStore(RegistryApi* registry, RegistryServiceApi* service)
      : registry_(registry), service_(service) {}

  // Reads and checks one system (the name's letter case is ignored). Returns
  // kClientNotConfigured or kClientBadConfiguration with `*error` naming the
  // system and what is wrong. `registry_error`, when given, receives the
  // registry's code for opening the system's key: kErrorFileNotFound when it
  // is not configured, another code when the store could not be read.
  uint32_t Read(std::u16string_view name, SystemConfig* config, std::string* error,
                LONG* registry_error = nullptr);
  // The names of the configured systems in enumeration order.
  uint32_t List(std::vector<std::u16string>* names, std::string* error);
  // The index-th name, or kClientNoMoreSystems.
  uint32_t NameAt(uint32_t index, std::u16string* name);
  // Writes a checked configuration, replacing what the system had.
  uint32_t Write(const SystemConfig& config, std::string* error);
  uint32_t Remove(std::u16string_view name, std::string* error);

  // The password from the configured source.
  static uint32_t ReadPassword(const SystemConfig& config, std::string* password,
                               std::string* error);
  // What is wrong with a configuration, or "" when nothing is.
  static std::string Check(const SystemConfig& config);

 private:
  RegistryApi* registry_;
  RegistryServiceApi* service_;
};

}  // namespace zvt::client

#endif  // ZVT_CLIENT_SYSTEM_CONFIG_H_
