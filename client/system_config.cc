// Reading, checking and writing the configured systems.
#include "client/system_config.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>

#include "pgm/sockets.h"
#include "platform/name_fold.h"
#include "platform/protected_data.h"
#include "platform/utf.h"
#include "services/client.h"
#include "services/scoped_key.h"
#include "services/value_bytes.h"

namespace zvt::client {
namespace {

using platform::U16;
using platform::Utf16ToUtf8;

std::string Quoted(std::u16string_view name) { return "system \"" + Utf16ToUtf8(name) + "\""; }

// A REG_SZ value as UTF-8; false when absent or of another type.
bool ReadString(RegistryApi* r, HKEY key, const char16_t* name, std::string* out, bool* present) {
  DWORD type = 0, size = 0;
  *present = false;
  LONG rc = r->RegQueryValueExW(key, name, nullptr, &type, nullptr, &size);
  if (rc == kErrorFileNotFound) return true;
  if (rc != kErrorSuccess || type != kRegSz || size % 2 != 0 || size > 8192) return false;
  std::u16string text(size / 2, u'\0');
  rc = r->RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(text.data()), &size);
  if (rc != kErrorSuccess) return false;
  while (!text.empty() && text.back() == u'\0') text.pop_back();
  *out = Utf16ToUtf8(text);
  *present = true;
  return true;
}

bool ReadDword(RegistryApi* r, HKEY key, const char16_t* name, uint32_t* out, bool* present) {
  DWORD type = 0, value = 0, size = sizeof value;
  *present = false;
  LONG rc = r->RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(&value), &size);
  if (rc == kErrorFileNotFound) return true;
  if (rc != kErrorSuccess || type != kRegDword || size != 4) return false;
  *out = value;
  *present = true;
  return true;
}

// A REG_BINARY value of at most 4 KiB; false when of another type or larger.
bool ReadBinary(RegistryApi* r, HKEY key, const char16_t* name, std::vector<uint8_t>* out) {
  DWORD type = 0, size = 0;
  LONG rc = r->RegQueryValueExW(key, name, nullptr, &type, nullptr, &size);
  if (rc == kErrorFileNotFound) return true;
  if (rc != kErrorSuccess || type != kRegBinary || size > 4096) return false;
  out->resize(size);
  rc = r->RegQueryValueExW(key, name, nullptr, &type, out->data(), &size);
  if (rc != kErrorSuccess || type != kRegBinary || size != out->size()) return false;
  return true;
}

LONG WriteString(RegistryApi* r, HKEY key, const char16_t* name, const std::string& value) {
  return SetStringValue(r, key, name, U16(value));
}

LONG DeleteIfPresent(RegistryApi* r, HKEY key, const char16_t* name) {
  LONG rc = r->RegDeleteValueW(key, name);
  return rc == kErrorFileNotFound ? kErrorSuccess : rc;
}

bool ValidName(std::u16string_view name) {
  if (name.empty() || name.size() > 255) return false;
  for (char16_t c : name)
    if (c == u'\\' || c < 0x20) return false;
  return true;
}

}  // namespace

std::string SystemConfigStore::Check(const SystemConfig& c) {
  std::string who = Quoted(c.name);
  if (!ValidName(c.name)) return who + ": a name of 1 to 255 characters without \"\\\" is needed";
  if (c.host_address.empty()) return who + ": \"HostAddress\" is missing";
  if (c.port == 0 || c.port > 65535) return who + ": \"Port\" must be 1 to 65535";
  std::vector<sockets::HostPort> hosts;
  std::string why;
  if (!sockets::ParseHostList(c.host_address, static_cast<uint16_t>(c.port), &hosts, &why))
    return who + ": \"HostAddress\": " + why;
  if (c.user_profile.empty() || c.user_profile.size() > 10)
    return who + ": \"UserProfile\" must have 1 to 10 characters";
  const int sources =
      !c.password_file.empty() + !c.password_environment.empty() + !c.protected_password.empty();
  if (sources != 1)
    return who +
           ": exactly one of \"PasswordFile\", \"PasswordEnvironment\" and "
           "\"ProtectedPassword\" is needed";
  if (c.connect_timeout_ms == 0 || c.read_timeout_ms == 0)
    return who + ": time-outs must be above 0 ms";
  if (c.tls_mode != "required" && c.tls_mode != "off")
    return who + ": \"TlsMode\" must be \"required\" or \"off\"";
  for (const sockets::HostPort& hp : hosts)
    if (c.tls_mode == "off" && !sockets::IsLoopbackName(hp.host))
      return who +
             ": \"TlsMode\" \"off\" is accepted only for a host on this machine (a "
             "loopback address); " +
             hp.host + " is not one, so the password would cross the network in clear";
  return "";
}

uint32_t SystemConfigStore::Read(std::u16string_view name, SystemConfig* config, std::string* error,
                                 LONG* registry_error) {
  if (!ValidName(name)) {
    *error = Quoted(name) + " is not configured";
    return kClientNotConfigured;
  }
  std::u16string path = std::u16string(kSystemsKey) + u"\\" + std::u16string(name);
  ScopedKey key(registry_);
  LONG rc = service_->OpenRegKeyEx(kHKeyCurrentUser, path.c_str(), 0, kKeyRead, key.Receive());
  if (registry_error != nullptr) *registry_error = rc;
  if (rc != kErrorSuccess) {
    *error = Quoted(name) + (rc == kErrorFileNotFound
                                 ? " is not configured"
                                 : " cannot be read (registry error " + std::to_string(rc) + ")");
    return kClientNotConfigured;
  }
  SystemConfig c;
  c.name = std::u16string(name);
  // The name as the system was configured, whatever the caller's letter case.
  std::u16string stored;
  for (uint32_t i = 0; NameAt(i, &stored) == kClientOk; ++i) {
    if (platform::FoldName(stored) == platform::FoldName(name)) {
      c.name = stored;
      break;
    }
  }
  struct StringField {
    const char16_t* value;
    std::string* out;
  } strings[] = {
      {u"HostAddress", &c.host_address},   {u"UserProfile", &c.user_profile},
      {u"PasswordFile", &c.password_file}, {u"PasswordEnvironment", &c.password_environment},
      {u"TlsMode", &c.tls_mode},           {u"TlsCaFile", &c.tls_ca_file}};
  bool present;
  for (const StringField& f : strings) {
    if (!ReadString(registry_, key.get(), f.value, f.out, &present)) {
      *error = Quoted(name) + ": \"" + Utf16ToUtf8(f.value) + "\" is not a REG_SZ text";
      return kClientBadConfiguration;
    }
  }
  uint32_t supply = 0;
  struct DwordField {
    const char16_t* value;
    uint32_t* out;
  } dwords[] = {{u"Port", &c.port},
                {u"InteractionMode", &c.interaction_mode},
                {u"SupplyTimestamps", &supply},
                {u"ConnectTimeoutMs", &c.connect_timeout_ms},
                {u"ReadTimeoutMs", &c.read_timeout_ms},
                {u"ConversationTimeoutMs", &c.conversation_timeout_ms}};
  for (const DwordField& f : dwords) {
    if (!ReadDword(registry_, key.get(), f.value, f.out, &present)) {
      *error = Quoted(name) + ": \"" + Utf16ToUtf8(f.value) + "\" is not a REG_DWORD";
      return kClientBadConfiguration;
    }
  }
  c.supply_timestamps = supply != 0;
  if (!ReadBinary(registry_, key.get(), u"ProtectedPassword", &c.protected_password)) {
    *error = Quoted(name) + ": \"ProtectedPassword\" is not a REG_BINARY of at most 4096 bytes";
    return kClientBadConfiguration;
  }
  std::string wrong = Check(c);
  if (!wrong.empty()) {
    *error = wrong;
    return kClientBadConfiguration;
  }
  *config = std::move(c);
  return kClientOk;
}

uint32_t SystemConfigStore::NameAt(uint32_t index, std::u16string* name) {
  ScopedKey key(registry_);
  LONG open = service_->OpenRegKeyEx(kHKeyCurrentUser, kSystemsKey, 0, kKeyRead, key.Receive());
  // No key is no system; a key that cannot be read is not an empty list.
  if (open == kErrorFileNotFound) return kClientNoMoreSystems;
  if (open != kErrorSuccess) return kClientBadConfiguration;
  char16_t buffer[256];
  DWORD chars = 256;
  LONG rc = registry_->RegEnumKeyExW(key.get(), index, buffer, &chars, nullptr, nullptr, nullptr,
                                     nullptr);
  if (rc == kErrorNoMoreItems) return kClientNoMoreSystems;
  if (rc != kErrorSuccess) return kClientBadConfiguration;
  name->assign(buffer, chars);
  return kClientOk;
}

uint32_t SystemConfigStore::List(std::vector<std::u16string>* names, std::string* error) {
  names->clear();
  std::u16string name;
  uint32_t rc;
  for (uint32_t i = 0; (rc = NameAt(i, &name)) == kClientOk; ++i) names->push_back(name);
  if (rc != kClientNoMoreSystems) {
    *error = "the list of configured systems cannot be read";
    return rc;
  }
  return kClientOk;
}

uint32_t SystemConfigStore::Write(const SystemConfig& c, std::string* error) {
  std::string wrong = Check(c);
  if (!wrong.empty()) {
    *error = wrong;
    return kClientBadConfiguration;
  }
  std::u16string path = std::u16string(kSystemsKey) + u"\\" + c.name;
  ScopedKey key(registry_);
  DWORD disposition = 0;
  LONG rc = service_->CreateRegKeyEx(kHKeyCurrentUser, path.c_str(), 0, nullptr, 0, kKeyAllAccess,
                                     nullptr, key.Receive(), &disposition);
  auto fail = [&](LONG code) {
    *error =
        Quoted(c.name) + ": the registry cannot be written (error " + std::to_string(code) + ")";
    return kClientBadConfiguration;
  };
  if (rc != kErrorSuccess) return fail(rc);
  // The other password sources are removed and the configured one is
  // written last, so that a half-written entry never points at a stale
  // password.
  LONG results[] = {
      WriteString(registry_, key.get(), u"HostAddress", c.host_address),
      SetDwordValue(registry_, key.get(), u"Port", c.port),
      WriteString(registry_, key.get(), u"UserProfile", c.user_profile),
      SetDwordValue(registry_, key.get(), u"InteractionMode", c.interaction_mode),
      SetDwordValue(registry_, key.get(), u"SupplyTimestamps", c.supply_timestamps ? 1 : 0),
      SetDwordValue(registry_, key.get(), u"ConnectTimeoutMs", c.connect_timeout_ms),
      SetDwordValue(registry_, key.get(), u"ReadTimeoutMs", c.read_timeout_ms),
      c.conversation_timeout_ms == 0
          ? DeleteIfPresent(registry_, key.get(), u"ConversationTimeoutMs")
          : SetDwordValue(registry_, key.get(), u"ConversationTimeoutMs",
                          c.conversation_timeout_ms),
      WriteString(registry_, key.get(), u"TlsMode", c.tls_mode),
      c.tls_ca_file.empty() ? DeleteIfPresent(registry_, key.get(), u"TlsCaFile")
                            : WriteString(registry_, key.get(), u"TlsCaFile", c.tls_ca_file),
  };
  for (LONG r : results)
    if (r != kErrorSuccess) return fail(r);
  struct Source {
    const char16_t* value;
    bool used;
  } sources[] = {{u"PasswordFile", !c.password_file.empty()},
                 {u"PasswordEnvironment", !c.password_environment.empty()},
                 {u"ProtectedPassword", !c.protected_password.empty()}};
  for (const Source& source : sources)
    if (!source.used)
      if (LONG del = DeleteIfPresent(registry_, key.get(), source.value); del != kErrorSuccess)
        return fail(del);
  if (!c.password_file.empty())
    rc = WriteString(registry_, key.get(), u"PasswordFile", c.password_file);
  else if (!c.password_environment.empty())
    rc = WriteString(registry_, key.get(), u"PasswordEnvironment", c.password_environment);
  else
    rc = registry_->RegSetValueExW(key.get(), u"ProtectedPassword", 0, kRegBinary,
                                   c.protected_password.data(),
                                   static_cast<DWORD>(c.protected_password.size()));
  return rc == kErrorSuccess ? kClientOk : fail(rc);
}

uint32_t SystemConfigStore::Remove(std::u16string_view name, std::string* error) {
  ScopedKey systems(registry_);
  LONG rc =
      service_->OpenRegKeyEx(kHKeyCurrentUser, kSystemsKey, 0, kKeyAllAccess, systems.Receive());
  std::u16string key_name(name);
  if (rc == kErrorSuccess) rc = service_->DeleteRegKey(systems.get(), key_name.c_str());
  if (rc == kErrorFileNotFound) {
    *error = Quoted(name) + " is not configured";
    return kClientNotConfigured;
  }
  if (rc != kErrorSuccess) {
    *error = Quoted(name) + " cannot be removed (registry error " + std::to_string(rc) + ")";
    return kClientBadConfiguration;
  }
  return kClientOk;
}

uint32_t SystemConfigStore::ReadPassword(const SystemConfig& c, std::string* password,
                                         std::string* error) {
  std::string who = Quoted(c.name);
  if (!c.protected_password.empty()) {
    std::string why;
    if (!platform::UnprotectForUser(c.protected_password, password, &why)) {
      *error = who + ": " + why;
      return kClientNoPassword;
    }
    if (password->empty()) {
      *error = who + ": the protected password is empty";
      return kClientNoPassword;
    }
    return kClientOk;
  }
  if (!c.password_environment.empty()) {
    const char* v = std::getenv(c.password_environment.c_str());
    if (v == nullptr) {
      *error = who + ": the environment variable " + c.password_environment + " is not set";
      return kClientNoPassword;
    }
    *password = v;
    if (password->empty()) {
      *error = who + ": the environment variable " + c.password_environment + " is empty";
      return kClientNoPassword;
    }
    return kClientOk;
  }
  struct stat st;
  if (stat(c.password_file.c_str(), &st) != 0) {
    *error = who + ": the password file " + c.password_file + " does not exist";
    return kClientNoPassword;
  }
#ifdef _WIN32
  // Files in the user's profile are the user's by its access control.
  const bool private_file = (st.st_mode & S_IFMT) == S_IFREG;
#else
  const bool private_file = S_ISREG(st.st_mode) && st.st_uid == getuid() && (st.st_mode & 077) == 0;
#endif
  if (!private_file) {
    *error = who + ": the password file " + c.password_file +
             " must be a file that only its owner can read (chmod 600)";
    return kClientNoPassword;
  }
  std::ifstream in(c.password_file);
  if (!in || !std::getline(in, *password)) {
    *error = who + ": the password file " + c.password_file + " cannot be read";
    return kClientNoPassword;
  }
  if (!password->empty() && password->back() == '\r') password->pop_back();
  if (password->empty()) {
    *error = who + ": the password file " + c.password_file + " holds an empty password";
    return kClientNoPassword;
  }
  return kClientOk;
}

}  // namespace zvt::client
