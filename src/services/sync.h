// Synchronisation objects: critical sections for the process lock, and named
// and unnamed mutexes with Win32 semantics (recursive for the owning thread,
// an abandoned mutex is acquired with kWaitAbandoned).
#ifndef ZVT_SERVICES_SYNC_H_
#define ZVT_SERVICES_SYNC_H_

#include "services/win_types.h"

namespace zvt {

// A re-entrant lock private to the process.
class CriticalSection {
 public:
  virtual ~CriticalSection() = default;
  virtual void Enter() = 0;
  virtual void Leave() = 0;
};

class SyncApi {
 public:
  virtual ~SyncApi() = default;

  // Returns a new critical section owned by the caller; never null.
  virtual CriticalSection* NewCriticalSection() = 0;

  // A null or empty name gives a mutex private to the process. On failure
  // returns null and `*error` (if given) holds the reason.
  [[nodiscard]] virtual HANDLE CreateMutexW(const char16_t* name, BOOL initial_owner,
                                            LONG* error) = 0;
  // Returns kWaitObject0, kWaitAbandoned, kWaitTimeout or kWaitFailed.
  [[nodiscard]] virtual DWORD WaitForSingleObject(HANDLE handle, DWORD timeout_ms) = 0;
  // Returns 0 when the calling thread does not own the mutex.
  virtual BOOL ReleaseMutex(HANDLE handle) = 0;
  virtual BOOL CloseHandle(HANDLE handle) = 0;
};

}  // namespace zvt

#endif  // ZVT_SERVICES_SYNC_H_
