// System objects, sign-on and the program-call connection, configured
// systems. The install directories, the message-log handles and the sign-on
// hold-off have files of their own.
#include "client/client_services.h"

#include <algorithm>
#include <atomic>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <random>

#include "host/program_names.h"
#include "pgm/big_endian.h"
#include "pgm/ccsid37.h"
#include "pgm/sockets.h"
#include "platform/name_fold.h"
#include "platform/paths.h"
#include "platform/utf.h"
#include "services/fast_tls.h"
#include "services/mutex.h"

namespace zvt::client {
namespace {

std::atomic<uint64_t> next_services_id{1};

using platform::U16;
using platform::Utf16ToUtf8;

uint32_t CodeFor(const pgm::Failure& f) {
  switch (f.cause) {
    case pgm::Failure::Cause::kRefused:
      if (!f.messages.empty() && f.messages[0].id == "CPF2204") return kClientUnknownProfile;
      if (!f.messages.empty() && f.messages[0].id == wire::kMessageLockedOut)
        return kClientProfileLockedOut;
      if (!f.messages.empty() && f.messages[0].id == wire::kMessageHostBusy) return kClientHostBusy;
      if (!f.messages.empty() && f.messages[0].id == wire::kMessageHostUnavailable)
        return kClientHostUnavailable;
      return kClientPasswordRefused;
    case pgm::Failure::Cause::kUnreachable:
      return kClientHostUnreachable;
    case pgm::Failure::Cause::kTimedOut:
      return kClientTimedOut;
    case pgm::Failure::Cause::kTls:
      return kClientTlsFailed;
    default:
      return kClientCommunication;
  }
}

// Where the sign-on token for the host, port and profile is kept: a file
// of its own in a private directory of the user's state directory (empty,
// and no token is kept, when that directory cannot be made private).
std::string TokenFileFor(const pgm::SignOnTarget& e) {
  const std::string directory = platform::StateDirectoryPath() + "/signon-tokens";
  std::string ignored;
  if (!platform::EnsurePrivateDirectory(directory, &ignored)) return "";
  // The name shows what it is for; bytes a file name cannot hold are %XX.
  std::string name;
  for (unsigned char c : e.host + "_" + std::to_string(e.port) + "_" + e.user) {
    if (std::isalnum(c) || c == '.' || c == '-' || c == '_') {
      name += static_cast<char>(c);
    } else {
      char hex[4];
      std::snprintf(hex, sizeof hex, "%%%02X", c);
      name += hex;
    }
  }
  return directory + "/" + name;
}

}  // namespace

struct ClientServices::SystemObject {
  SystemObject(std::u16string system_name, SystemConfig system_config)
      : name(std::move(system_name)), config(std::move(system_config)) {}

  const std::u16string name;
  Mutex mu;
  bool signed_on ZVT_GUARDED_BY(mu) = false;
  uint32_t validate_mode ZVT_GUARDED_BY(mu) = 0;
  SystemConfig config ZVT_GUARDED_BY(mu);  // as read at the last sign-on
  std::u16string user_id ZVT_GUARDED_BY(mu);
  uint32_t version ZVT_GUARDED_BY(mu) = 0;
  uint32_t release ZVT_GUARDED_BY(mu) = 0;
  bool has_timestamps ZVT_GUARDED_BY(mu) = false;
  uint8_t timestamps[3][8] = {};  // user, registry, hierarchy; in-memory form
  int connects ZVT_GUARDED_BY(mu) = 0;
  // The end of the conversation under way while connected.
  std::chrono::steady_clock::time_point conversation_deadline ZVT_GUARDED_BY(mu){};
  pgm::ConnectionPool pool{4};
};

ClientServices::ClientServices(RegistryApi* registry, RegistryServiceApi* service, MessageLog log,
                               std::string install_directory)
    : config_(registry, service),
      service_(service),
      log_(std::move(log)),
      install_directory_(std::move(install_directory)),
      id_(next_services_id.fetch_add(1)) {
  // Handles start at a random point so that a made-up value is rejected.
  std::random_device seed;
  next_handle_ = ((uint64_t{seed()} << 32) | seed()) & 0x7FFFFFFF00000000ull;
  next_handle_ |= 0x1000;
}

ClientServices::~ClientServices() = default;

void ClientServices::Report(const std::string& text) {
  if (log_.Append(3, "zvtbase", "", text)) return;
  // The message log shares the state directory with the configuration, so
  // a full disk or a read-only directory keeps both from being written:
  // the first such failure of the process goes to standard error instead.
  static std::atomic<bool> told{false};
  if (!told.exchange(true))
    std::fprintf(stderr, "zvtclient: %s (the message log %s cannot be written either)\n",
                 text.c_str(), log_.path().c_str());
}

ClientServices::SystemObject* ClientServices::Find(SystemHandle handle) {
  // System objects live as long as the services, so the calling thread's
  // last one found is found again without the table's lock, which every
  // thread asking would otherwise write.
  struct LastFound {
    uint64_t services = 0;
    SystemHandle handle = 0;
    SystemObject* object = nullptr;
  };
  ZVT_FAST_TLS thread_local LastFound last;
  if (last.services == id_ && last.handle == handle && last.object != nullptr) return last.object;
  MutexLock lock(&mu_);
  auto it = systems_.find(handle);
  if (it == systems_.end()) return nullptr;
  last = LastFound{id_, handle, it->second.get()};
  return it->second.get();
}

uint32_t ClientServices::CopyOut(const std::u16string& text, char16_t* buffer,
                                 uint32_t size_bytes) {
  if (buffer == nullptr) return kClientBadParameter;
  if ((text.size() + 1) * sizeof(char16_t) > size_bytes) return kClientBufferTooSmall;
  std::memcpy(buffer, text.c_str(), (text.size() + 1) * sizeof(char16_t));
  return kClientOk;
}

uint32_t ClientServices::GetSystemHandle(const char16_t* system_name,
                                         const char16_t* application_name, SystemHandle* handle) {
  if (system_name == nullptr || application_name == nullptr || handle == nullptr)
    return kClientBadParameter;
  // A name asked for before answers from memory while the configuration is
  // unchanged since it was last read, by this process or another; the
  // counter is read before the configuration, so a change made meanwhile
  // is read at the next call. The calling thread's last answer is kept
  // apart, so that asking again takes no lock.
  uint64_t counter = 0;
  const bool counted = service_->ChangeCounter(kHKeyCurrentUser, &counter);
  ZVT_FAST_TLS thread_local LastLookup last;
  if (counted && last.Matches(id_, counter, system_name, application_name)) {
    *handle = last.handle;
    return kClientOk;
  }
  auto key = std::make_pair(platform::FoldName(system_name), platform::FoldName(application_name));
  if (counted) {
    MutexLock lock(&mu_);
    auto it = by_name_.find(key);
    if (it != by_name_.end() && it->second.confirmed && it->second.counter == counter) {
      last.Keep(id_, counter, system_name, application_name, it->second.handle);
      *handle = it->second.handle;
      return kClientOk;
    }
  }
  SystemConfig config;
  std::string error;
  uint32_t rc = config_.Read(system_name, &config, &error);
  if (rc != kClientOk) {
    Report(error);
    return rc;
  }
  MutexLock lock(&mu_);
  auto it = by_name_.find(key);
  if (it == by_name_.end()) {
    auto object = std::make_unique<SystemObject>(config.name, config);
    SystemHandle h = next_handle_++;
    systems_[h] = std::move(object);
    it = by_name_.emplace(key, NameEntry{h, false, 0}).first;
  }
  it->second.confirmed = counted;
  it->second.counter = counter;
  if (counted) last.Keep(id_, counter, system_name, application_name, it->second.handle);
  *handle = it->second.handle;
  return kClientOk;
}

uint32_t ClientServices::QuerySignedOn(SystemHandle handle, uint32_t* signed_on) {
  SystemObject* s = Find(handle);
  if (s == nullptr) return kClientBadHandle;
  if (signed_on == nullptr) return kClientBadParameter;
  MutexLock lock(&s->mu);
  *signed_on = s->signed_on ? 1 : 0;
  return kClientOk;
}

uint32_t ClientServices::zvtCO_SetValidateMode(SystemHandle handle, uint32_t mode) {
  SystemObject* s = Find(handle);
  if (s == nullptr) return kClientBadHandle;
  MutexLock lock(&s->mu);
  s->validate_mode = mode;
  return kClientOk;
}

bool ClientServices::EndpointFor(const SystemConfig& config, pgm::SignOnTarget* endpoint,
                                 std::string* error) {
  std::string password;
  if (SystemConfigStore::ReadPassword(config, &password, error) != kClientOk) return false;
  endpoint->host = config.host_address;
  endpoint->port = static_cast<uint16_t>(config.port);
  endpoint->user = config.user_profile;
  endpoint->password = std::move(password);
  endpoint->connect_timeout_ms = static_cast<int>(config.connect_timeout_ms);
  endpoint->read_timeout_ms = static_cast<int>(config.read_timeout_ms);
  endpoint->tls = config.tls_mode != "off";
  endpoint->tls_ca_file = config.tls_ca_file;
  endpoint->token_file = TokenFileFor(*endpoint);
  return true;
}

uint32_t ClientServices::SignOn(SystemObject* s) {
  s->mu.AssertHeld();  // every caller holds it
  std::string error;
  SystemConfig config;
  uint32_t rc = config_.Read(s->name, &config, &error);
  pgm::SignOnTarget endpoint;
  if (rc == kClientOk && !EndpointFor(config, &endpoint, &error)) rc = kClientNoPassword;
  if (rc != kClientOk) {
    Report(error);
    return rc;
  }
  int64_t seconds_left = 0;
  uint32_t last_code = 0;
  if (HoldingOff(endpoint, &seconds_left, &last_code)) {
    Report("sign-on to system " + Utf16ToUtf8(s->name) + " not tried: the host " +
           (last_code == kClientProfileLockedOut ? "locked out profile " + endpoint.user
            : last_code == kClientHostBusy
                ? "was busy with sign-ons from this network for profile " + endpoint.user
                : "refused its password for profile " + endpoint.user) +
           "; the same password is tried again in " + std::to_string(seconds_left) + " s");
    return last_code;
  }
  pgm::Failure failure;
  endpoint.pool = &s->pool;  // keeps the loaded TLS trust for the next sign-on
  std::unique_ptr<pgm::HostConnection> connection = pgm::HostConnection::Open(endpoint, &failure);
  if (!connection) {
    std::string text = "sign-on to system " + Utf16ToUtf8(s->name) + " failed: " + failure.text;
    for (const auto& m : failure.messages) text += "; " + m.id + " " + m.text;
    Report(text);
    uint32_t code = CodeFor(failure);
    // A busy host is waited for as a refusal is; a host that cannot check
    // passwords now says nothing about this one, and is asked again at once.
    if (code == kClientPasswordRefused || code == kClientProfileLockedOut ||
        code == kClientHostBusy)
      CountRefusal(endpoint, code, code == kClientProfileLockedOut ? 5000 : 0);
    return code;
  }
  CountRefusal(endpoint, kClientOk, 0);
  if (!connection->token_problem().empty())
    Report("system " + Utf16ToUtf8(s->name) +
           ": the sign-on token is not kept: " + connection->token_problem());
  s->config = config;
  s->version = connection->host_version();
  s->release = connection->host_release();
  s->user_id = U16(connection->user());
  s->has_timestamps = false;
  if (config.supply_timestamps) {
    // The profile's change timestamps, as "KLIB/KRCHGTS" reports them.
    wire::Call call;
    call.program = kChangeTimestampsName;
    call.parameters = {{wire::kOutput, 32, ""},
                       {wire::kInput, 4, big_endian::Bytes32(32)},
                       {wire::kInput, 8, pgm::EbcdicField(kChangeTimestampsFormat, 8)},
                       {wire::kInput, 10, pgm::EbcdicField(connection->user(), 10)},
                       {wire::kInOut, 4, big_endian::Bytes32(0)}};
    wire::CallReply reply;
    if (connection->Call(call, &reply, &failure) && reply.ok && !reply.outputs.empty() &&
        reply.outputs[0].size() >= 32) {
      for (int i = 0; i < 3; ++i) std::memcpy(s->timestamps[i], &reply.outputs[0][8 + 8 * i], 8);
      // The in-memory form has bytes 0 and 1 exchanged against the host's.
      for (auto& t : s->timestamps) std::swap(t[0], t[1]);
      s->has_timestamps = true;
    } else {
      Report("system " + Utf16ToUtf8(s->name) + ": the change timestamps are not available");
    }
  }
  s->signed_on = true;
  s->pool.Release(endpoint, std::move(connection));
  return kClientOk;
}

uint32_t ClientServices::zvtCO_Signon(SystemHandle handle, uint32_t /*flags*/) {
  SystemObject* s = Find(handle);
  if (s == nullptr) return kClientBadHandle;
  MutexLock lock(&s->mu);
  return SignOn(s);
}

uint32_t ClientServices::zvtCO_GetHostVRM(SystemHandle handle, uint32_t* version,
                                          uint32_t* release) {
  SystemObject* s = Find(handle);
  if (s == nullptr) return kClientBadHandle;
  if (version == nullptr || release == nullptr) return kClientBadParameter;
  MutexLock lock(&s->mu);
  if (!s->signed_on) return kClientNotSignedOn;
  *version = s->version;
  *release = s->release;
  return kClientOk;
}

uint32_t ClientServices::zvtCO_GetUserIDEx(SystemHandle handle, char16_t* buffer, uint32_t size) {
  SystemObject* s = Find(handle);
  if (s == nullptr) return kClientBadHandle;
  MutexLock lock(&s->mu);
  if (!s->signed_on) return kClientNotSignedOn;
  return CopyOut(s->user_id, buffer, size);
}

uint32_t ClientServices::zvtCO_GetSystemName(SystemHandle handle, char16_t* buffer, uint32_t size) {
  SystemObject* s = Find(handle);
  if (s == nullptr) return kClientBadHandle;
  return CopyOut(s->name, buffer, size);
}

uint32_t ClientServices::QueryChangeTimestamps(SystemHandle handle, uint8_t* user_timestamp,
                                               uint8_t* rep_timestamp, uint8_t* hier_timestamp) {
  SystemObject* s = Find(handle);
  if (s == nullptr) return kClientBadHandle;
  if (user_timestamp == nullptr || rep_timestamp == nullptr || hier_timestamp == nullptr)
    return kClientBadParameter;
  MutexLock lock(&s->mu);
  if (!s->signed_on) return kClientNotSignedOn;
  if (!s->has_timestamps) return kClientNoTimestamps;
  std::memcpy(user_timestamp, s->timestamps[0], 8);
  std::memcpy(rep_timestamp, s->timestamps[1], 8);
  std::memcpy(hier_timestamp, s->timestamps[2], 8);
  return kClientOk;
}

uint32_t ClientServices::zvtCO_Connect(SystemHandle handle, uint32_t service, uint32_t) {
  SystemObject* s = Find(handle);
  if (s == nullptr) return kClientBadHandle;
  if (service != kServiceRemoteCommand) return kClientBadService;
  MutexLock lock(&s->mu);
  if (!s->signed_on) {
    uint32_t rc = SignOn(s);
    if (rc != kClientOk) return rc;
  }
  // Make sure a connection is ready for the first agent.
  pgm::SignOnTarget endpoint;
  std::string error;
  if (!EndpointFor(s->config, &endpoint, &error)) {
    Report(error);
    return kClientNoPassword;
  }
  bool reused = false;
  pgm::Failure failure;
  std::unique_ptr<pgm::HostConnection> c = s->pool.Acquire(endpoint, &reused, &failure);
  if (!c) {
    Report("system " + Utf16ToUtf8(s->name) + ": connecting service 7 failed: " + failure.text);
    return CodeFor(failure);
  }
  s->pool.Release(endpoint, std::move(c));
  // The calls of one conversation (a reload, between this connect and its
  // disconnect) share one deadline, so that a host that keeps a list going
  // cannot hold the caller, and the cache's mutex, without end.
  if (s->connects++ == 0) {
    const uint64_t limit_ms = s->config.conversation_timeout_ms != 0
                                  ? s->config.conversation_timeout_ms
                                  : uint64_t{s->config.read_timeout_ms} * kConversationReadTimeouts;
    s->conversation_deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(limit_ms);
  }
  return kClientOk;
}

uint32_t ClientServices::zvtCO_Disconnect(SystemHandle handle, uint32_t service, uint32_t) {
  SystemObject* s = Find(handle);
  if (s == nullptr) return kClientBadHandle;
  if (service != kServiceRemoteCommand) return kClientBadService;
  MutexLock lock(&s->mu);
  if (s->connects == 0) return kClientNotSignedOn;
  // The connections stay for the next connect; they are dropped when the
  // host closes them or this object goes away.
  if (--s->connects == 0) s->conversation_deadline = {};
  return kClientOk;
}

uint32_t ClientServices::QueryInteractionMode(SystemHandle handle, uint32_t* mode) {
  SystemObject* s = Find(handle);
  if (s == nullptr) return kClientBadHandle;
  if (mode == nullptr) return kClientBadParameter;
  MutexLock lock(&s->mu);
  *mode = s->config.interaction_mode;
  return kClientOk;
}

bool ClientServices::LocateByHandle(uint64_t handle, pgm::SignOnTarget* endpoint,
                                    std::string* error) {
  SystemObject* s = Find(handle);
  if (s == nullptr) {
    *error = "no system object has handle " + std::to_string(handle);
    return false;
  }
  MutexLock lock(&s->mu);
  // A signed-on system object serves remote program calls; a connection
  // made for them (zvtCO_Connect) only keeps one ready.
  if (s->connects == 0 && !s->signed_on) {
    *error = "system " + Utf16ToUtf8(s->name) + " is not signed on for remote program calls";
    return false;
  }
  if (!EndpointFor(s->config, endpoint, error)) return false;
  endpoint->pool = &s->pool;
  endpoint->deadline = s->conversation_deadline;
  return true;
}

bool ClientServices::LocateByName(std::u16string_view, std::u16string_view system,
                                  pgm::SignOnTarget* endpoint, std::string* error) {
  SystemConfig config;
  if (config_.Read(system, &config, error) != kClientOk) return false;
  return EndpointFor(config, endpoint, error);
}

uint32_t ClientServices::EnumConfiguredSystems(char16_t* buffer, uint32_t* size, uint32_t index) {
  if (buffer == nullptr || size == nullptr) return kClientBadParameter;
  std::u16string name;
  uint32_t rc = config_.NameAt(index, &name);
  if (rc != kClientOk) return rc;
  uint32_t needed = static_cast<uint32_t>((name.size() + 1) * sizeof(char16_t));
  rc = CopyOut(name, buffer, *size);
  if (rc == kClientBufferTooSmall) *size = needed;
  return rc;
}

uint32_t ClientServices::IsSameSystem(const char16_t* system1, const char16_t* system2) {
  if (system1 == nullptr || system2 == nullptr) return 0;
  if (platform::FoldName(system1) == platform::FoldName(system2)) return 1;
  SystemConfig a, b;
  std::string error;
  if (config_.Read(system1, &a, &error) != kClientOk ||
      config_.Read(system2, &b, &error) != kClientOk)
    return 0;
  // The same system when the two share a host: the same name and port, or
  // an address and port.
  auto hosts_of = [](const SystemConfig& c, std::vector<sockets::HostPort>* hosts) {
    std::string ignored;
    return sockets::ParseHostList(c.host_address, static_cast<uint16_t>(c.port), hosts, &ignored);
  };
  auto addresses_of = [](const std::vector<sockets::HostPort>& hosts) {
    std::vector<std::string> all;
    for (const sockets::HostPort& h : hosts) {
      std::vector<std::string> some = sockets::Addresses(h.host, h.port);
      all.insert(all.end(), some.begin(), some.end());
    }
    return all;
  };
  std::vector<sockets::HostPort> hosts_a, hosts_b;
  if (!hosts_of(a, &hosts_a) || !hosts_of(b, &hosts_b)) return 0;
  for (const sockets::HostPort& x : hosts_a)
    for (const sockets::HostPort& y : hosts_b)
      if (x.port == y.port && platform::FoldName(U16(x.host)) == platform::FoldName(U16(y.host)))
        return 1;
  const std::vector<std::string> x = addresses_of(hosts_a), y = addresses_of(hosts_b);
  for (const std::string& p : x)
    if (std::find(y.begin(), y.end(), p) != y.end()) return 1;
  return 0;
}

uint32_t ClientServices::AdjustMessageBoxStyle(uint32_t style) { return style; }

}  // namespace zvt::client
