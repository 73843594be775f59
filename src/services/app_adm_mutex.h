// CAppAdmMutex owns one mutex handle of the sync service; CAppAdmMutexLock is a
// scoped lock over a mutex that it creates, unnamed, on first use. A
// CAppAdmMutex may be locked from several threads; each lock is released by
// the thread that took it.
#ifndef ZVT_SERVICES_APP_ADM_MUTEX_H_
#define ZVT_SERVICES_APP_ADM_MUTEX_H_

#include <memory>
#include <string>

#include "services/mutex.h"
#include "services/win_types.h"

namespace zvt {

class SyncApi;

class ZVT_CAPABILITY("mutex") CAppAdmMutex {
 public:
  // An empty name gives a mutex private to the process. The mutex is not
  // initially owned. If it cannot be created, isValid() is false, lock()
  // returns false and unlock() does nothing.
  explicit CAppAdmMutex(const std::u16string& name);
  ~CAppAdmMutex();
  CAppAdmMutex(const CAppAdmMutex&) = delete;
  CAppAdmMutex& operator=(const CAppAdmMutex&) = delete;

  bool isValid() const { return handle_ != nullptr; }
  LONG createError() const { return create_error_; }

  // Waits without time limit. Returns true when the mutex is held, also when
  // its previous owner died holding it.
  bool lock();
  void unlock();

 private:
  SyncApi* sync_;
  bool shared_;  // named: shared with other processes
  HANDLE handle_ = nullptr;
  LONG create_error_ = kErrorSuccess;
};

class CAppAdmMutexLock {
 public:
  // REQUIRES: `holder` outlives this lock. Creates an unnamed mutex into
  // `holder` when it is empty and keeps it there.
  explicit CAppAdmMutexLock(std::unique_ptr<CAppAdmMutex>& holder);
  ~CAppAdmMutexLock();
  CAppAdmMutexLock(const CAppAdmMutexLock&) = delete;
  CAppAdmMutexLock& operator=(const CAppAdmMutexLock&) = delete;

 private:
  CAppAdmMutex* mutex_;
  bool locked_;
};

}  // namespace zvt

#endif  // ZVT_SERVICES_APP_ADM_MUTEX_H_
