// The client's connection, system-object, configuration, install-directory
// and message-log services. Texts are UTF-16 and zero-terminated; buffer
// sizes are in bytes or characters as each operation says. Every operation
// returns 0 on success unless it says otherwise.
#ifndef ZVT_SERVICES_CLIENT_H_
#define ZVT_SERVICES_CLIENT_H_

#include <cstdint>

namespace zvt {

using SystemHandle = uint64_t;
using MessageLogHandle = uint64_t;

// Return codes of the client services.
enum : uint32_t {
  kClientOk = 0,
  kClientNoMoreSystems = 6001,     // EnumConfiguredSystems past the last system
  kClientBadHandle = 6002,         // not a system handle (or message log handle) of this process
  kClientNotConfigured = 6003,     // no configured system of that name
  kClientBadConfiguration = 6004,  // the system's configuration is incomplete or wrong
  kClientNotSignedOn = 6005,
  kClientPasswordRefused = 6010,   // the host refused the password
  kClientUnknownProfile = 6011,    // the host does not know the user profile
  kClientHostUnreachable = 6012,   // nothing answered at the host address
  kClientTimedOut = 6013,          // the host did not answer in time
  kClientCommunication = 6014,     // the connection failed or the host broke the protocol
  kClientNoPassword = 6015,        // the password source cannot be read
  kClientProfileLockedOut = 6016,  // the host refuses the profile's sign-ons for a while
  kClientTlsFailed = 6017,         // no TLS session: the host's certificate was not accepted,
                                   // the trusted CA file cannot be read, or the host has no TLS
  kClientHostBusy = 6018,          // the host is busy with sign-ons from this network; waited
                                   // for as a refusal is
  kClientHostUnavailable = 6019,   // the host cannot check sign-ons now (its registry is down)
  kClientBufferTooSmall = 6020,    // nothing was written
  kClientBadParameter = 6021,      // a null pointer or a value out of range
  kClientNoTimestamps = 6022,      // the system object does not supply change timestamps
  kClientBadService = 6023,        // only service 7 (remote program calls) exists
  kClientNoInstallDir = 6024,
  kClientLogFailed = 6030,
  kClientFailed = 6031,  // an unexpected failure inside the services (out of memory)
};

inline constexpr uint32_t kServiceRemoteCommand = 7;
inline constexpr uint32_t kInteractionModeSilent = 2;
// The install directory has at most 256 characters, its last separator
// included; callers give room for them and the terminator.
inline constexpr uint32_t kInstallPathChars = 256;
inline constexpr uint32_t kInstallPathBuffer = kInstallPathChars + 1;
// Buffer size, in characters with the terminator, for one sibling directory name.
inline constexpr uint32_t kInstallDirChars = 16;

class ClientApi {
 public:
  virtual ~ClientApi() = default;

  // The connection services.
  virtual uint32_t QuerySignedOn(SystemHandle handle, uint32_t* signed_on) = 0;
  virtual uint32_t zvtCO_SetValidateMode(SystemHandle handle, uint32_t mode) = 0;
  virtual uint32_t zvtCO_Signon(SystemHandle handle, uint32_t flags) = 0;
  virtual uint32_t zvtCO_GetHostVRM(SystemHandle handle, uint32_t* version, uint32_t* release) = 0;
  // `size` is the buffer's size in bytes.
  virtual uint32_t zvtCO_GetUserIDEx(SystemHandle handle, char16_t* buffer, uint32_t size) = 0;
  virtual uint32_t zvtCO_GetSystemName(SystemHandle handle, char16_t* buffer, uint32_t size) = 0;
  // Each out-parameter receives 8 bytes.
  virtual uint32_t QueryChangeTimestamps(SystemHandle handle, uint8_t* user_timestamp,
                                         uint8_t* rep_timestamp, uint8_t* hier_timestamp) = 0;
  virtual uint32_t zvtCO_Connect(SystemHandle handle, uint32_t service, uint32_t flags) = 0;
  virtual uint32_t zvtCO_Disconnect(SystemHandle handle, uint32_t service, uint32_t flags) = 0;
  virtual uint32_t QueryInteractionMode(SystemHandle handle, uint32_t* mode) = 0;

  // The configuration. `*size` is the buffer's size in bytes, set by the
  // caller before each call.
  virtual uint32_t EnumConfiguredSystems(char16_t* buffer, uint32_t* size, uint32_t index) = 0;
  // 1 when both name the same system, else 0.
  virtual uint32_t IsSameSystem(const char16_t* system1, const char16_t* system2) = 0;
  virtual uint32_t AdjustMessageBoxStyle(uint32_t style) = 0;

  // The install directory (ending in "/") and its sibling directories;
  // sizes in characters, lengths without the terminator.
  virtual uint32_t GetInstallPath(uint32_t reserved, char16_t* buffer, uint32_t chars,
                                  uint32_t* length, uint32_t reserved2) = 0;
  virtual uint32_t FindFirstInstallDir(uint32_t reserved, char16_t* buffer, uint32_t chars,
                                       uint32_t* length, uint64_t* cursor, uint32_t reserved2) = 0;
  // Nonzero when no name is left.
  virtual uint32_t FindNextInstallDir(char16_t* buffer, uint32_t chars, uint32_t* length,
                                      uint64_t* cursor, uint32_t reserved) = 0;

  // The message log.
  virtual uint32_t CreateMessageHandle(const char16_t* text1, const char16_t* text2,
                                       MessageLogHandle* log) = 0;
  virtual uint32_t SetMessageClass(MessageLogHandle log, uint32_t message_class) = 0;
  // `size` in bytes, the terminator included.
  virtual uint32_t LogMessageText(MessageLogHandle log, const char16_t* text, uint32_t size) = 0;
  virtual uint32_t DeleteMessageHandle(MessageLogHandle log) = 0;

  // The system-object service.
  virtual uint32_t GetSystemHandle(const char16_t* system_name, const char16_t* application_name,
                                   SystemHandle* handle) = 0;
};

}  // namespace zvt

#endif  // ZVT_SERVICES_CLIENT_H_
