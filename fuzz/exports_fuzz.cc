// Fuzzes the narrow-string exports as a client program calls them: system
// names and function IDs of any bytes (any length, no terminator inside),
// converted in the calling thread's code set (UTF-8 or plain ASCII, chosen
// by the input), through the process cache to a registry cache that answers
// from a fixed set of denied functions. Every answer must be 0 or 1, or
// nothing written.
#include <locale.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "api/exports.h"
#include "cache/registry_cache.h"
#include "cache/registry_layout.h"
#include "include/zvtappad/zvtappad.h"
#include "platform/posix_sync.h"
#include "services/services.h"
#include "testing/fake_client.h"

extern "C" const zvtappad_OrdinalEntry zvt_ordinal_table[];

namespace {

using namespace zvt;

// The registry cache of a host where users U1 to U3 are denied a few
// functions and U4 none, with current timestamps.
class FixedCache : public RegistryCacheOverride {
 public:
  uint32_t getUserValues(const SystemHandle*, const std::u16string&, std::u16string& user_id,
                         std::unique_ptr<DeniedSet>* denied) override {
    if (user_id == u"U4") {
      denied->reset();
      return 0;
    }
    auto set = std::make_unique<DeniedSet>();
    set->insert(u"QVYN_XD1_ZENTA");
    set->insert(u"A");
    set->insert(user_id);
    *denied = std::move(set);
    return 0;
  }
  uint32_t getCacheTS(const std::u16string&, const std::u16string&, Timestamp* rep, Timestamp* hier,
                      std::unique_ptr<Timestamp>* user, bool) override {
    if (rep != nullptr) *rep = ExchangeFirstBytes(Timestamp{2});
    if (hier != nullptr) *hier = ExchangeFirstBytes(Timestamp{3});
    if (user != nullptr && *user) **user = ExchangeFirstBytes(Timestamp{1});
    return 0;
  }
};

struct Setting {
  Setting() {
    char pattern[] = "/tmp/zvt-fuzz-XXXXXX";
    sync = std::make_unique<platform::PosixSync>(std::string(mkdtemp(pattern)) + "/run");
    for (int i = 1; i <= 4; ++i) {
      testing::FakeSystem s;
      s.name = u"S" + std::u16string(1, u'0' + i);
      s.user = u"U" + std::u16string(1, u'0' + i);
      s.signed_on = true;
      handles.push_back(client.Add(s));
    }
    Services bound;
    bound.registry_cache = &cache;
    bound.sync = sync.get();
    bound.client = &client;
    binding = std::make_unique<ScopedServiceBinding>(bound);
    utf8 = newlocale(LC_ALL_MASK, "C.UTF-8", nullptr);
    ascii = newlocale(LC_ALL_MASK, "C", nullptr);
    for (const zvtappad_OrdinalEntry* e = zvt_ordinal_table; e->entry != nullptr; ++e)
      if (e->ordinal == 16) bypass = reinterpret_cast<zvtUN_GetAdminValueBypass_t>(e->entry);
  }
  std::unique_ptr<platform::PosixSync> sync;
  testing::FakeClient client;
  std::vector<SystemHandle> handles;
  FixedCache cache;
  std::unique_ptr<ScopedServiceBinding> binding;
  locale_t utf8, ascii;
  zvtUN_GetAdminValueBypass_t bypass = nullptr;
};

// An answer is 0 or 1; a call that could not ask (no such system) leaves
// the caller's variable as it was.
constexpr uint32_t kUnset = 7;
void Check(uint32_t rc, uint32_t value) {
  if (rc == 0 && value > 1 && value != kUnset) std::abort();
}

}  // namespace

// Input: one control byte, then the system name and the function ID
// separated by the first NUL byte.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static Setting* setting = new Setting();
  if (size == 0) return 0;
  const uint8_t control = data[0];
  std::string rest(reinterpret_cast<const char*>(data + 1), size - 1);
  size_t nul = rest.find('\0');
  std::string system = rest.substr(0, nul);
  std::string function = nul == std::string::npos ? std::string() : rest.substr(nul + 1);
  function = function.substr(0, function.find('\0'));
  const char* system_arg = (control & 1) ? nullptr : system.c_str();
  const char* function_arg = (control & 2) ? nullptr : function.c_str();
  const uint64_t handle = setting->handles[(control >> 2) % setting->handles.size()];
  const uint64_t* handle_arg = (control & 0x40) ? nullptr : &handle;

  locale_t previous = uselocale((control & 0x80) ? setting->ascii : setting->utf8);
  uint32_t value = kUnset, state = kUnset;
  Check(zvtUN_GetAdminValue(system_arg, function_arg, &value), value);
  (void)zvtUN_GetAdminCacheState(system_arg, &state);
  value = kUnset;
  Check(zvtUN_GetAdminValueEx(handle_arg, function_arg, &value), value);
  (void)zvtUN_GetAdminCacheStateEx(handle_arg, &state);
  if (setting->bypass != nullptr) {
    value = kUnset;
    Check(setting->bypass(handle_arg, function_arg, &value), value);
  }
  // Null outputs are refused, never written through.
  (void)zvtUN_GetAdminValue(system_arg, function_arg, nullptr);
  (void)zvtUN_GetAdminCacheStateEx(handle_arg, nullptr);
  uselocale(previous);
  return 0;
}
