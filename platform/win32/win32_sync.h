// Critical sections and mutexes on Windows: the Win32 objects themselves.
// Named mutexes are shared by the processes of a session by name, and a
// mutex whose owner died is handed to the next waiter as abandoned.
#ifndef ZVT_PLATFORM_WIN32_WIN32_SYNC_H_
#define ZVT_PLATFORM_WIN32_WIN32_SYNC_H_

#include "services/sync.h"

namespace zvt::platform {

class Win32Sync : public SyncApi {
 public:
  CriticalSection* NewCriticalSection() override;
  HANDLE CreateMutexW(const char16_t* name, BOOL initial_owner, LONG* error) override;
  DWORD WaitForSingleObject(HANDLE handle, DWORD timeout_ms) override;
  BOOL ReleaseMutex(HANDLE handle) override;
  BOOL CloseHandle(HANDLE handle) override;
};

}  // namespace zvt::platform

#endif  // ZVT_PLATFORM_WIN32_WIN32_SYNC_H_
