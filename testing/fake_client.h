// A client-services fake for tests of the library: system objects are
// entries of a table the test fills (user, system name, version, timestamps,
// whether signed on), and every call is counted. Not thread-safe for
// changes; calls may come from several threads once set up.
#ifndef ZVT_TESTING_FAKE_CLIENT_H_
#define ZVT_TESTING_FAKE_CLIENT_H_

#include <array>
#include <atomic>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "services/client.h"
#include "services/mutex.h"

namespace zvt::testing {

struct FakeSystem {
  std::u16string name;
  std::u16string user;
  bool signed_on = false;
  uint32_t signon_result = 0;  // what zvtCO_Signon returns
  uint32_t version = 7, release = 5;
  bool vrm_fails = false;
  bool has_timestamps = true;
  std::array<uint8_t, 8> user_ts{1}, rep_ts{2}, hier_ts{3};
  uint32_t interaction_mode = 1;
};

class FakeClient : public ClientApi {
 public:
  // Adds a system object; returns its handle. Names resolve by exact match.
  SystemHandle Add(FakeSystem s) {
    MutexLock lock(&mu_);
    SystemHandle h = 0x100 + systems_.size();
    systems_[h] = std::move(s);
    return h;
  }
  FakeSystem& system(SystemHandle h) { return systems_.at(h); }

  std::atomic<int> signons{0}, handle_lookups{0};
  uint32_t last_style = 0;

  uint32_t QuerySignedOn(SystemHandle h, uint32_t* f) override {
    FakeSystem* s = Find(h);
    if (s == nullptr) return kClientBadHandle;
    *f = s->signed_on ? 1 : 0;
    return 0;
  }
  uint32_t zvtCO_SetValidateMode(SystemHandle h, uint32_t) override {
    return Find(h) != nullptr ? kClientOk : kClientBadHandle;
  }
  uint32_t zvtCO_Signon(SystemHandle h, uint32_t) override {
    FakeSystem* s = Find(h);
    if (s == nullptr) return kClientBadHandle;
    ++signons;
    if (s->signon_result == 0) s->signed_on = true;
    return s->signon_result;
  }
  uint32_t zvtCO_GetHostVRM(SystemHandle h, uint32_t* v, uint32_t* r) override {
    FakeSystem* s = Find(h);
    if (s == nullptr) return kClientBadHandle;
    if (s->vrm_fails) return kClientNotSignedOn;
    *v = s->version;
    *r = s->release;
    return 0;
  }
  uint32_t zvtCO_GetUserIDEx(SystemHandle h, char16_t* b, uint32_t size) override {
    FakeSystem* s = Find(h);
    return s == nullptr ? kClientBadHandle : Copy(s->user, b, size);
  }
  uint32_t zvtCO_GetSystemName(SystemHandle h, char16_t* b, uint32_t size) override {
    FakeSystem* s = Find(h);
    return s == nullptr ? kClientBadHandle : Copy(s->name, b, size);
  }
  uint32_t QueryChangeTimestamps(SystemHandle h, uint8_t* u, uint8_t* r, uint8_t* hi) override {
    FakeSystem* s = Find(h);
    if (s == nullptr) return kClientBadHandle;
    if (!s->has_timestamps) return kClientNoTimestamps;
    std::memcpy(u, s->user_ts.data(), 8);
    std::memcpy(r, s->rep_ts.data(), 8);
    std::memcpy(hi, s->hier_ts.data(), 8);
    return 0;
  }
  uint32_t zvtCO_Connect(SystemHandle h, uint32_t, uint32_t) override {
    return Find(h) != nullptr ? kClientOk : kClientBadHandle;
  }
  uint32_t zvtCO_Disconnect(SystemHandle h, uint32_t, uint32_t) override {
    return Find(h) != nullptr ? kClientOk : kClientBadHandle;
  }
  uint32_t QueryInteractionMode(SystemHandle h, uint32_t* mode) override {
    FakeSystem* s = Find(h);
    if (s == nullptr) return kClientBadHandle;
    *mode = s->interaction_mode;
    return 0;
  }
  uint32_t EnumConfiguredSystems(char16_t* b, uint32_t* size, uint32_t index) override {
    if (index >= configured.size()) return kClientNoMoreSystems;
    return Copy(configured[index], b, *size);
  }
  // Names that differ only in ASCII letter case are the same system.
  uint32_t IsSameSystem(const char16_t* a, const char16_t* b) override {
    std::u16string x(a), y(b);
    if (x.size() != y.size()) return 0;
    for (size_t i = 0; i < x.size(); ++i) {
      char16_t p = x[i] >= u'a' && x[i] <= u'z' ? x[i] - 32 : x[i];
      char16_t q = y[i] >= u'a' && y[i] <= u'z' ? y[i] - 32 : y[i];
      if (p != q) return 0;
    }
    return 1;
  }
  uint32_t AdjustMessageBoxStyle(uint32_t style) override {
    last_style = style;
    return style | 0x1000;
  }
  uint32_t GetInstallPath(uint32_t, char16_t* b, uint32_t chars, uint32_t* len, uint32_t) override {
    if (install_path.empty()) return kClientNoInstallDir;
    if (len != nullptr) *len = static_cast<uint32_t>(install_path.size());
    return Copy(install_path, b, chars * 2);
  }
  uint32_t FindFirstInstallDir(uint32_t, char16_t*, uint32_t, uint32_t*, uint64_t*,
                               uint32_t) override {
    return kClientNoInstallDir;
  }
  uint32_t FindNextInstallDir(char16_t*, uint32_t, uint32_t*, uint64_t*, uint32_t) override {
    return kClientNoInstallDir;
  }
  uint32_t CreateMessageHandle(const char16_t*, const char16_t*, MessageLogHandle* l) override {
    *l = 1;
    return 0;
  }
  uint32_t SetMessageClass(MessageLogHandle, uint32_t) override { return 0; }
  uint32_t LogMessageText(MessageLogHandle, const char16_t*, uint32_t) override { return 0; }
  uint32_t DeleteMessageHandle(MessageLogHandle) override { return 0; }
  uint32_t GetSystemHandle(const char16_t* name, const char16_t*, SystemHandle* h) override {
    ++handle_lookups;
    MutexLock lock(&mu_);
    for (auto& [handle, s] : systems_) {
      if (s.name == name) {
        *h = handle;
        return 0;
      }
    }
    return kClientNotConfigured;
  }

  std::u16string install_path;             // with the trailing "/"; empty: none
  std::vector<std::u16string> configured;  // what EnumConfiguredSystems lists

 private:
  FakeSystem* Find(SystemHandle h) {
    MutexLock lock(&mu_);
    auto it = systems_.find(h);
    return it == systems_.end() ? nullptr : &it->second;
  }
  static uint32_t Copy(const std::u16string& t, char16_t* b, uint32_t size) {
    if ((t.size() + 1) * 2 > size) return kClientBufferTooSmall;
    std::memcpy(b, t.c_str(), (t.size() + 1) * 2);
    return 0;
  }
  Mutex mu_;
  std::map<SystemHandle, FakeSystem> systems_;
};

}  // namespace zvt::testing

#endif  // ZVT_TESTING_FAKE_CLIENT_H_
