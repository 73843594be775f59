// Test fakes that make a chosen call of the registry or the sync service fail:
// "the next RegQueryValueExW answers ERROR_MORE_DATA", "the third
// CreateRegKeyEx fails", "no mutex can be created". Everything else goes to
// the wrapped implementation. Not thread-safe; arm faults before use.
#ifndef ZVT_TESTING_FAULT_INJECTION_H_
#define ZVT_TESTING_FAULT_INJECTION_H_

#include <array>
#include <cstddef>

#include "services/registry_wrapper.h"
#include "services/sync.h"

namespace zvt::testing {

enum class RegCall : size_t {
  kQueryValue,
  kSetValue,
  kEnumKey,
  kEnumValue,
  kDeleteValue,
  kOpenKey,
  kCreateKey,
  kDeleteKey,
  kCount
};

class FaultyRegistry : public RegistryWrapper {
 public:
  using RegistryWrapper::RegistryWrapper;

  // Makes the `nth` next call of `call` (1 = the very next) return `code`
  // without reaching the wrapped registry. `persistent` keeps failing after.
  void FailCall(RegCall call, int nth, LONG code, bool persistent = false) {
    Slot& s = slots_[static_cast<size_t>(call)];
    s.countdown = nth;
    s.code = code;
    s.persistent = persistent;
  }
  void Heal(RegCall call) { slots_[static_cast<size_t>(call)] = Slot{}; }
  int Calls(RegCall call) const { return slots_[static_cast<size_t>(call)].calls; }

  LONG RegQueryValueExW(HKEY key, const char16_t* name, DWORD* reserved, DWORD* type, BYTE* data,
                        DWORD* data_size) override {
    LONG code;
    if (Fault(RegCall::kQueryValue, &code)) return code;
    return RegistryWrapper::RegQueryValueExW(key, name, reserved, type, data, data_size);
  }
  LONG RegSetValueExW(HKEY key, const char16_t* name, DWORD reserved, DWORD type, const BYTE* data,
                      DWORD data_size) override {
    LONG code;
    if (Fault(RegCall::kSetValue, &code)) return code;
    return RegistryWrapper::RegSetValueExW(key, name, reserved, type, data, data_size);
  }
  LONG RegEnumKeyExW(HKEY key, DWORD index, char16_t* name, DWORD* name_chars, DWORD* reserved,
                     char16_t* class_name, DWORD* class_chars, FILETIME* last_write) override {
    LONG code;
    if (Fault(RegCall::kEnumKey, &code)) return code;
    return RegistryWrapper::RegEnumKeyExW(key, index, name, name_chars, reserved, class_name,
                                          class_chars, last_write);
  }
  LONG RegEnumValueW(HKEY key, DWORD index, char16_t* name, DWORD* name_chars, DWORD* reserved,
                     DWORD* type, BYTE* data, DWORD* data_size) override {
    LONG code;
    if (Fault(RegCall::kEnumValue, &code)) return code;
    return RegistryWrapper::RegEnumValueW(key, index, name, name_chars, reserved, type, data,
                                          data_size);
  }
  LONG RegDeleteValueW(HKEY key, const char16_t* name) override {
    LONG code;
    if (Fault(RegCall::kDeleteValue, &code)) return code;
    return RegistryWrapper::RegDeleteValueW(key, name);
  }
  LONG OpenRegKeyEx(HKEY parent, const char16_t* sub_key, DWORD options, REGSAM access,
                    HKEY* result) override {
    LONG code;
    if (Fault(RegCall::kOpenKey, &code)) return code;
    return RegistryWrapper::OpenRegKeyEx(parent, sub_key, options, access, result);
  }
  LONG CreateRegKeyEx(HKEY parent, const char16_t* sub_key, DWORD reserved, char16_t* class_name,
                      DWORD options, REGSAM access, void* security, HKEY* result,
                      DWORD* disposition) override {
    LONG code;
    if (Fault(RegCall::kCreateKey, &code)) return code;
    return RegistryWrapper::CreateRegKeyEx(parent, sub_key, reserved, class_name, options, access,
                                           security, result, disposition);
  }
  LONG DeleteRegKey(HKEY parent, const char16_t* sub_key) override {
    LONG code;
    if (Fault(RegCall::kDeleteKey, &code)) return code;
    return RegistryWrapper::DeleteRegKey(parent, sub_key);
  }

 private:
  struct Slot {
    int countdown = 0;
    LONG code = kErrorSuccess;
    bool persistent = false;
    int calls = 0;
  };

  bool Fault(RegCall call, LONG* code) {
    Slot& s = slots_[static_cast<size_t>(call)];
    ++s.calls;
    if (s.countdown == 0) return false;
    if (s.countdown > 1) {
      --s.countdown;
      return false;
    }
    if (!s.persistent) s.countdown = 0;
    *code = s.code;
    return true;
  }

  std::array<Slot, static_cast<size_t>(RegCall::kCount)> slots_{};
};

// A sync service whose mutex creation fails, or whose waits report a chosen
// result, while critical sections and the other calls go to the real one.
class FaultySync : public SyncApi {
 public:
  explicit FaultySync(SyncApi* real) : real_(real) {}

  void FailCreate(LONG code) { create_error_ = code; }
  // Every wait that acquires reports `result` instead (e.g. kWaitAbandoned).
  void ReportWaitAs(DWORD result) { wait_result_ = result; }

  CriticalSection* NewCriticalSection() override { return real_->NewCriticalSection(); }
  HANDLE CreateMutexW(const char16_t* name, BOOL initial_owner, LONG* error) override {
    if (create_error_ != kErrorSuccess) {
      if (error != nullptr) *error = create_error_;
      return nullptr;
    }
    return real_->CreateMutexW(name, initial_owner, error);
  }
  DWORD WaitForSingleObject(HANDLE handle, DWORD timeout_ms) override {
    DWORD result = real_->WaitForSingleObject(handle, timeout_ms);
    if (wait_result_ != kWaitObject0 && (result == kWaitObject0 || result == kWaitAbandoned))
      return wait_result_;
    return result;
  }
  BOOL ReleaseMutex(HANDLE handle) override { return real_->ReleaseMutex(handle); }
  BOOL CloseHandle(HANDLE handle) override { return real_->CloseHandle(handle); }

 private:
  SyncApi* real_;
  LONG create_error_ = kErrorSuccess;
  DWORD wait_result_ = kWaitObject0;
};

}  // namespace zvt::testing

#endif  // ZVT_TESTING_FAULT_INJECTION_H_
