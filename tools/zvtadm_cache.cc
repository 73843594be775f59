// zvtadm cache show|clear: what the persistent cache holds for each system
// and user (change timestamps, denied functions, the saved hierarchy), and
// removing it under the cache's own mutex.
#include <ctime>
#include <iostream>

#include "cache/registry_layout.h"
#include "platform/utf.h"
#include "services/app_adm_mutex.h"
#include "services/scoped_key.h"
#include "tools/zvtadm_command.h"

namespace zvt::tools {
namespace {

using platform::U16;
using platform::Utf16ToUtf8;

// The first failure met while reading, other than the end of a list: a
// listing cut short by it is never shown as the whole.
void NoteFailure(LONG rc, LONG* failure) {
  if (rc != kErrorSuccess && rc != kErrorNoMoreItems && *failure == kErrorSuccess) *failure = rc;
}

std::vector<std::u16string> Subkeys(ToolRegistry* r, HKEY key, LONG* failure) {
  std::vector<std::u16string> names;
  for (DWORD i = 0;; ++i) {
    char16_t name[256];
    DWORD chars = 256;
    LONG rc = r->RegEnumKeyExW(key, i, name, &chars, nullptr, nullptr, nullptr, nullptr);
    if (rc != kErrorSuccess) {
      NoteFailure(rc, failure);
      break;
    }
    names.emplace_back(name, chars);
  }
  return names;
}

struct Value {
  std::u16string name;
  DWORD type = 0;
  std::vector<BYTE> data;
};

std::vector<Value> Values(ToolRegistry* r, HKEY key, LONG* failure) {
  std::vector<Value> values;
  for (DWORD i = 0;; ++i) {
    char16_t name[256];
    DWORD chars = 256, type = 0, size = 0;
    LONG rc = r->RegEnumValueW(key, i, name, &chars, nullptr, &type, nullptr, &size);
    if (rc != kErrorSuccess) {
      NoteFailure(rc, failure);
      break;
    }
    Value v{std::u16string(name, chars), type, std::vector<BYTE>(size)};
    DWORD got = size;
    rc = r->RegQueryValueExW(key, v.name.c_str(), nullptr, &v.type, v.data.data(), &got);
    NoteFailure(rc, failure);
    if (rc == kErrorSuccess) v.data.resize(got);
    values.push_back(std::move(v));
  }
  return values;
}

// Opens `name` below `key` to read it; a key that is there but cannot be
// opened is a failure.
bool OpenToRead(ToolRegistry* r, HKEY key, const char16_t* name, ScopedKey* out, LONG* failure) {
  LONG rc = r->OpenRegKeyEx(key, name, 0, kKeyRead, out->Receive());
  if (rc != kErrorFileNotFound) NoteFailure(rc, failure);
  return rc == kErrorSuccess;
}

bool IsDenied(const Value& v) {
  return IsDeniedFunctionValue(v.name, v.type, v.data.data(), static_cast<DWORD>(v.data.size()));
}

nlohmann::json UserJson(ToolRegistry* r, HKEY key, LONG* failure) {
  nlohmann::json user = {{"denied", nlohmann::json::array()}};
  for (const Value& v : Values(r, key, failure)) {
    if (v.name == kUserTsValue) {
      user["usage_changed"] = DecodeTimestamp(v.data);
    } else if (IsDenied(v)) {
      user["denied"].push_back(Utf16ToUtf8(v.name));
    }
  }
  return user;
}

nlohmann::json SystemJson(ToolRegistry* r, HKEY key, const std::string& only_user, LONG* failure) {
  nlohmann::json system = {{"users", nlohmann::json::object()},
                           {"hierarchy", nlohmann::json::object()}};
  for (const Value& v : Values(r, key, failure)) {
    if (v.name == kRepTsValue) system["registry_changed"] = DecodeTimestamp(v.data);
    if (v.name == kHierTsValue) system["hierarchy_changed"] = DecodeTimestamp(v.data);
  }
  for (const std::u16string& name : Subkeys(r, key, failure)) {
    ScopedKey sub(r);
    if (!OpenToRead(r, key, name.c_str(), &sub, failure)) continue;
    if (IsHierarchyKeyName(name)) {
      for (const Value& v : Values(r, sub.get(), failure)) {
        std::u16string text(v.data.size() / 2, u'\0');
        for (size_t i = 0; i < text.size(); ++i) text[i] = v.data[2 * i] | (v.data[2 * i + 1] << 8);
        system["hierarchy"][Utf16ToUtf8(v.name)] = Utf16ToUtf8(text.substr(0, text.find(u'\0')));
      }
    } else if (only_user.empty() || Upper(Utf16ToUtf8(name)) == only_user) {
      system["users"][Utf16ToUtf8(name)] = UserJson(r, sub.get(), failure);
    }
  }
  return system;
}

void PrintSystem(const std::string& name, const nlohmann::json& s) {
  std::cout << name << "\n";
  if (s.contains("registry_changed"))
    std::cout << "  function registry changed  " << TimeText(s["registry_changed"]) << "\n";
  if (s.contains("hierarchy_changed"))
    std::cout << "  hierarchy changed          " << TimeText(s["hierarchy_changed"]) << "\n";
  std::cout << "  saved hierarchy            " << s["hierarchy"].size() << " parents\n";
  for (const auto& [user, u] : s["users"].items()) {
    std::cout << "  " << user;
    if (u.contains("usage_changed"))
      std::cout << "  usage changed " << TimeText(u["usage_changed"]);
    std::cout << "\n    denied: ";
    if (u["denied"].empty()) std::cout << "nothing";
    for (size_t i = 0; i < u["denied"].size(); ++i)
      std::cout << (i ? ", " : "") << u["denied"][i].get<std::string>();
    std::cout << "\n";
  }
}

void DeleteTree(ToolRegistry* r, HKEY parent, const std::u16string& name) {
  {
    ScopedKey key(r);
    if (r->OpenRegKeyEx(parent, name.c_str(), 0, kKeyAllAccess, key.Receive()) != kErrorSuccess)
      return;
    LONG ignored = kErrorSuccess;
    for (const std::u16string& sub : Subkeys(r, key.get(), &ignored)) DeleteTree(r, key.get(), sub);
  }
  (void)r->DeleteRegKey(parent, name.c_str());
}

}  // namespace

// A stored change timestamp as the host sent it: big-endian microseconds
// since 1970, shown in RFC 3339 form (UTC, "+00:00") when it reads as a date
// of this century. Stored values in the in-memory form (bytes 0 and 1
// exchanged) are read too.
nlohmann::json DecodeTimestamp(const std::vector<BYTE>& stored) {
  std::string hex;
  char b[3];
  for (BYTE c : stored) {
    std::snprintf(b, sizeof b, "%02x", c);
    hex += b;
  }
  nlohmann::json out = {{"stored", hex}};
  if (stored.size() != 8) return out;
  for (bool exchanged : {false, true}) {
    std::vector<BYTE> host = stored;
    if (exchanged) std::swap(host[0], host[1]);
    uint64_t micros = 0;
    for (BYTE c : host) micros = (micros << 8) | c;
    std::time_t seconds = static_cast<std::time_t>(micros / 1000000);
    std::tm tm{};
    if (gmtime_r(&seconds, &tm) == nullptr || tm.tm_year < 100 || tm.tm_year > 200) continue;
    char text[64];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &tm);
    char frac[16];
    std::snprintf(frac, sizeof frac, ".%06llu+00:00",
                  static_cast<unsigned long long>(micros % 1000000));
    out["time"] = std::string(text) + frac;
    break;
  }
  return out;
}

std::string TimeText(const nlohmann::json& ts) {
  return ts.contains("time") ? ts["time"].get<std::string>() : ts["stored"].get<std::string>();
}

LONG CachedDeniedFunctions(ToolRegistry* r, const std::string& system, const std::string& user,
                           std::set<std::u16string>* denied) {
  ScopedKey key(r);
  std::u16string path = SystemKeyPath(U16(system)) + u"\\" + U16(user);
  if (LONG rc = r->OpenRegKeyEx(kHKeyCurrentUser, path.c_str(), 0, kKeyRead, key.Receive());
      rc != kErrorSuccess)
    return rc;
  LONG failure = kErrorSuccess;
  for (const Value& v : Values(r, key.get(), &failure))
    if (IsDenied(v)) denied->insert(v.name);
  return failure;
}

std::string CacheStoreError(ToolRegistry* r, LONG rc) {
  if (rc != kErrorRegistryCorrupt) return "error " + std::to_string(rc);
  std::string damage = r->DescribeDamage();
  return "the file is damaged (error 1015)" + (damage.empty() ? "" : ": " + damage);
}

void AddCacheCommands(CLI::App* app, CommandContext* context, int* exit_code) {
  CLI::App* cache = app->add_subcommand("cache", "the library's persistent cache of this OS user");
  cache->require_subcommand(1);
  auto system = std::make_shared<std::string>();
  auto user = std::make_shared<std::string>();

  CLI::App* show = cache->add_subcommand("show", "timestamps, denied functions and hierarchy");
  show->add_option("SYSTEM", *system, "only this system");
  show->add_option("USER", *user, "only this user");
  show->callback([=] {
    context->read_only = true;
    ToolRegistry* r = context->registry();
    ScopedKey top(r);
    nlohmann::json out = nlohmann::json::object();
    bool switched_off = false;
    LONG failure = kErrorSuccess;
    if (OpenToRead(r, kHKeyCurrentUser, kHostValsKey, &top, &failure)) {
      switched_off = CacheSwitchedOff(r, top.get());
      for (const std::u16string& name : Subkeys(r, top.get(), &failure)) {
        if (!system->empty() && Upper(Utf16ToUtf8(name)) != Upper(*system)) continue;
        ScopedKey key(r);
        if (!OpenToRead(r, top.get(), name.c_str(), &key, &failure)) continue;
        out[Utf16ToUtf8(name)] = SystemJson(r, key.get(), Upper(*user), &failure);
      }
    }
    if (failure != kErrorSuccess) {
      // Part of the cache could not be read: showing the rest as all of it
      // would hide denied functions or a saved hierarchy.
      *exit_code = context->Fail(
          kExitFailed, "the persistent cache in " + r->CacheStoreName() +
                           " cannot be read whole: " + CacheStoreError(r, failure) +
                           "; `zvtadm cache check` says more, `zvtadm cache clear` starts anew");
      return;
    }
    if (!system->empty() && (out.empty() || (!user->empty() && out.begin()->at("users").empty()))) {
      *exit_code =
          context->Fail(kExitNotFound, "the persistent cache holds nothing for " +
                                           (user->empty() ? "" : Upper(*user) + " on ") + *system);
      return;
    }
    context->Emit({{"switched_off", switched_off}, {"systems", out}}, [&] {
      if (switched_off)
        std::cout << "the cache is switched off (\"Activate\" is \"2\"): processes that start "
                     "now answer that nothing is denied; see zvtadm cache check\n";
      if (out.empty()) std::cout << "the persistent cache is empty\n";
      for (const auto& [name, s] : out.items()) PrintSystem(name, s);
    });
  });

  AddCacheCheckCommand(cache, context, exit_code);

  CLI::App* clear = cache->add_subcommand("clear", "remove what the cache holds");
  clear->add_option("SYSTEM", *system, "only this system");
  clear->add_option("USER", *user, "only this user of the system");
  clear->callback([=] {
    ToolRegistry* r = context->registry();
    // Running libraries refresh under this mutex; clearing waits its turn.
    CAppAdmMutex mutex(kRegCacheMutexName);
    bool locked;
    {
      MutexWaitNotice notice(context);
      locked = mutex.lock();
    }
    std::u16string path = kHostValsKey;
    std::u16string target;
    if (!system->empty()) {
      target = U16(*system);
      if (!user->empty()) {
        path += u"\\" + U16(*system);
        target = U16(Upper(*user));
      }
    }
    ScopedKey parent(r);
    bool found = r->OpenRegKeyEx(kHKeyCurrentUser, path.c_str(), 0, kKeyAllAccess,
                                 parent.Receive()) == kErrorSuccess;
    int removed = 0;
    if (found) {
      // A damaged cache file met here is moved aside (and that said in the
      // message log): what it held is gone from the cache either way.
      LONG failure = kErrorSuccess;
      std::vector<std::u16string> names =
          target.empty() ? Subkeys(r, parent.get(), &failure) : std::vector<std::u16string>{target};
      for (const std::u16string& name : names) {
        ScopedKey probe(r);
        if (r->OpenRegKeyEx(parent.get(), name.c_str(), 0, kKeyRead, probe.Receive()) !=
            kErrorSuccess)
          continue;
        probe.Reset();
        DeleteTree(r, parent.get(), name);
        ++removed;
      }
    }
    if (locked) mutex.unlock();
    if (!target.empty() && removed == 0 && r->hives_moved_aside() == 0) {
      *exit_code = context->Fail(kExitNotFound, "the persistent cache holds nothing for " +
                                                    Utf16ToUtf8(target) +
                                                    (user->empty() ? "" : " on " + *system));
      return;
    }
    const int moved = r->hives_moved_aside();
    context->Emit({{"removed", removed}, {"damaged_file_moved_aside", moved > 0}}, [&] {
      if (moved > 0)
        std::cout << "the cache file was damaged: it was moved aside (see zvtadm log) and the "
                     "cache starts anew\n";
      std::cout << "removed " << removed << (target.empty() || !user->empty() ? "" : " system")
                << (removed == 1 ? " entry" : " entries") << "\n";
    });
  });
}

}  // namespace zvt::tools
