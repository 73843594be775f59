// The client's connection and system services: system objects by handle,
// sign-on to the host server, the change timestamps the host reports at
// sign-on, the program-call connection (service 7) that remote agents by
// handle use, the configured systems, the install directory and the message
// log. Thread-safe; system objects live as long as this object.
#ifndef ZVT_CLIENT_CLIENT_SERVICES_H_
#define ZVT_CLIENT_CLIENT_SERVICES_H_

#include <algorithm>
#include <chrono>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <utility>

#include "client/message_log.h"
#include "client/system_config.h"
#include "pgm/connection.h"
#include "pgm/remote_program_calls.h"
#include "services/client.h"
#ifndef _WIN32
#include "platform/posix_registry.h"
#endif
#include "services/mutex.h"
#include "services/registry.h"

namespace zvt::client {

class ClientServices : public ClientApi, public pgm::SystemLocator {
 public:
  // `install_directory` empty: $ZVT_INSTALL_DIR, else the directory of the
  // installed libraries.
  ClientServices(RegistryApi* registry, RegistryServiceApi* service, MessageLog log,
                 std::string install_directory = std::string());
  ~ClientServices() override;

  // The process's system objects, over the default registry stores: the
  // one instance that the library and its embedding program share.
  static ClientServices& Default();
#ifndef _WIN32
  // The registry over the default stores that Default() reads its settings
  // from, for the library to use too: one connection per store per process.
  static platform::PosixRegistry& DefaultRegistry();
#endif

  uint32_t QuerySignedOn(SystemHandle handle, uint32_t* signed_on) override;
  uint32_t zvtCO_SetValidateMode(SystemHandle handle, uint32_t mode) override;
  uint32_t zvtCO_Signon(SystemHandle handle, uint32_t flags) override;
  uint32_t zvtCO_GetHostVRM(SystemHandle handle, uint32_t* version, uint32_t* release) override;
  uint32_t zvtCO_GetUserIDEx(SystemHandle handle, char16_t* buffer, uint32_t size) override;
  uint32_t zvtCO_GetSystemName(SystemHandle handle, char16_t* buffer, uint32_t size) override;
  uint32_t QueryChangeTimestamps(SystemHandle handle, uint8_t* user_timestamp,
                                 uint8_t* rep_timestamp, uint8_t* hier_timestamp) override;
  uint32_t zvtCO_Connect(SystemHandle handle, uint32_t service, uint32_t flags) override;
  uint32_t zvtCO_Disconnect(SystemHandle handle, uint32_t service, uint32_t flags) override;
  uint32_t QueryInteractionMode(SystemHandle handle, uint32_t* mode) override;
  uint32_t EnumConfiguredSystems(char16_t* buffer, uint32_t* size, uint32_t index) override;
  uint32_t IsSameSystem(const char16_t* system1, const char16_t* system2) override;
  uint32_t AdjustMessageBoxStyle(uint32_t style) override;
  uint32_t GetInstallPath(uint32_t reserved, char16_t* buffer, uint32_t chars, uint32_t* length,
                          uint32_t reserved2) override;
  uint32_t FindFirstInstallDir(uint32_t reserved, char16_t* buffer, uint32_t chars,
                               uint32_t* length, uint64_t* cursor, uint32_t reserved2) override;
  uint32_t FindNextInstallDir(char16_t* buffer, uint32_t chars, uint32_t* length, uint64_t* cursor,
                              uint32_t reserved) override;
  uint32_t CreateMessageHandle(const char16_t* text1, const char16_t* text2,
                               MessageLogHandle* log) override;
  uint32_t SetMessageClass(MessageLogHandle log, uint32_t message_class) override;
  uint32_t LogMessageText(MessageLogHandle log, const char16_t* text, uint32_t size) override;
  uint32_t DeleteMessageHandle(MessageLogHandle log) override;
  uint32_t GetSystemHandle(const char16_t* system_name, const char16_t* application_name,
                           SystemHandle* handle) override;

  // Remote agents: by handle through the system's program-call connection,
  // by name through the configuration.
  bool LocateByHandle(uint64_t handle, pgm::SignOnTarget* endpoint, std::string* error) override;
  bool LocateByName(std::u16string_view application, std::u16string_view system,
                    pgm::SignOnTarget* endpoint, std::string* error) override;

  SystemConfigStore* config() { return &config_; }
  const MessageLog& message_log() const { return log_; }

 private:
  struct SystemObject;
  // The system object of `handle`, or null.
  SystemObject* Find(SystemHandle handle);
  uint32_t SignOn(SystemObject* system);  // holding system->mu
  // Writes `text` with its terminator into a buffer of `size` bytes.
  static uint32_t CopyOut(const std::u16string& text, char16_t* buffer, uint32_t size_bytes);
  bool EndpointFor(const SystemConfig& config, pgm::SignOnTarget* endpoint, std::string* error);
  // After the host refused a password, the same password is not tried on the
  // same host and profile again for a while (1 s, doubling with each further
  // refusal up to 5 min; 5 s at least after a lockout), so that one system
  // configured wrongly does not
  // keep the profile locked out for everyone. True, with the time left and
  // the code of the last refusal, while that is so.
  bool HoldingOff(const pgm::SignOnTarget& endpoint, int64_t* seconds_left, uint32_t* code);
  // `code`: the refusal's (kClientOk: a sign-on that succeeded).
  void CountRefusal(const pgm::SignOnTarget& endpoint, uint32_t code, int64_t host_wait_ms);
  std::vector<std::string> InstallSiblings();
  std::string InstallDirectory();
  void Report(const std::string& text);

  SystemConfigStore config_;
  RegistryServiceApi* service_;
  MessageLog log_;
  std::string install_directory_;

  struct Refusals {
    int count = 0;
    std::chrono::steady_clock::time_point until;
    uint32_t code = 0;  // of the last refusal
  };
  Mutex refusals_mu_;
  // By host, port, profile and password.
  std::map<std::string, Refusals> refusals_ ZVT_GUARDED_BY(refusals_mu_);

  Mutex mu_;
  std::map<SystemHandle, std::unique_ptr<SystemObject>> systems_ ZVT_GUARDED_BY(mu_);
  // A system object by folded system and application name, and whether its
  // configuration was found at the configuration's change counter `counter`.
  struct NameEntry {
    SystemHandle handle = 0;
    bool confirmed = false;
    uint64_t counter = 0;
  };
  std::map<std::pair<std::u16string, std::u16string>, NameEntry> by_name_ ZVT_GUARDED_BY(mu_);
  // One thread's last confirmed name lookup: the services, the
  // configuration's change counter, the names as the caller spelled them
  // (short ones only) and the handle found, so that asking by the same name
  // again is answered without folding and searching. Trivially
  // destructible, for a thread_local of a loaded library.
  struct LastLookup {
    static constexpr size_t kMaxName = 64;
    uint64_t services = 0, counter = 0;
    SystemHandle handle = 0;
    uint32_t system_length = 0, application_length = 0;
    char16_t system[kMaxName], application[kMaxName];

    static bool Same(const char16_t* kept, uint32_t length, const char16_t* name) {
      uint32_t i = 0;
      for (; i < length; ++i)
        if (name[i] != kept[i]) return false;
      return name[i] == u'\0';
    }
    bool Matches(uint64_t id, uint64_t count, const char16_t* s, const char16_t* a) const {
      return services == id && counter == count && handle != 0 && Same(system, system_length, s) &&
             Same(application, application_length, a);
    }
    void Keep(uint64_t id, uint64_t count, const char16_t* s, const char16_t* a, SystemHandle h) {
      std::u16string_view sv(s), av(a);
      handle = 0;
      if (sv.size() >= kMaxName || av.size() >= kMaxName) return;
      std::copy(sv.begin(), sv.end(), system);
      std::copy(av.begin(), av.end(), application);
      system_length = static_cast<uint32_t>(sv.size());
      application_length = static_cast<uint32_t>(av.size());
      services = id;
      counter = count;
      handle = h;
    }
  };
  struct LogHandle {
    std::string text1, text2;
    uint32_t message_class = 0;
  };
  std::map<MessageLogHandle, LogHandle> logs_ ZVT_GUARDED_BY(mu_);
  uint64_t next_handle_ ZVT_GUARDED_BY(mu_);
  const uint64_t id_;  // unique among the ClientServices objects of the process
};

}  // namespace zvt::client

#endif  // ZVT_CLIENT_CLIENT_SERVICES_H_
