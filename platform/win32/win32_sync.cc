// The Win32 synchronisation calls behind the seam's sync interface.
#include "platform/win32/win32_sync.h"

#include <windows.h>

namespace zvt::platform {
namespace {

class Win32CriticalSection : public CriticalSection {
 public:
  Win32CriticalSection() { InitializeCriticalSection(&section_); }
  ~Win32CriticalSection() override { DeleteCriticalSection(&section_); }
  void Enter() override { EnterCriticalSection(&section_); }
  void Leave() override { LeaveCriticalSection(&section_); }

 private:
  CRITICAL_SECTION section_;
};

::HANDLE Native(HANDLE h) { return reinterpret_cast<::HANDLE>(h); }

}  // namespace

CriticalSection* Win32Sync::NewCriticalSection() { return new Win32CriticalSection(); }

HANDLE Win32Sync::CreateMutexW(const char16_t* name, BOOL initial_owner, LONG* error) {
  const bool named = name != nullptr && name[0] != u'\0';
  ::HANDLE h =
      ::CreateMutexW(nullptr, initial_owner, named ? reinterpret_cast<LPCWSTR>(name) : nullptr);
  if (error != nullptr) *error = h == nullptr ? static_cast<LONG>(GetLastError()) : kErrorSuccess;
  return reinterpret_cast<HANDLE>(h);
}

DWORD Win32Sync::WaitForSingleObject(HANDLE handle, DWORD timeout_ms) {
  return ::WaitForSingleObject(Native(handle), timeout_ms);
}

BOOL Win32Sync::ReleaseMutex(HANDLE handle) { return ::ReleaseMutex(Native(handle)); }

BOOL Win32Sync::CloseHandle(HANDLE handle) { return ::CloseHandle(Native(handle)); }

}  // namespace zvt::platform
