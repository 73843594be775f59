// CAppAdmMutex and CAppAdmMutexLock over the bound sync service.
#include "services/app_adm_mutex.h"

#include "services/services.h"

namespace zvt {

CAppAdmMutex::CAppAdmMutex(const std::u16string& name)
    : sync_(CurrentServices().sync), shared_(!name.empty()) {
  handle_ = sync_->CreateMutexW(name.empty() ? nullptr : name.c_str(), 0, &create_error_);
}

CAppAdmMutex::~CAppAdmMutex() {
  if (handle_ != nullptr) sync_->CloseHandle(handle_);
}

bool CAppAdmMutex::lock() {
  if (handle_ == nullptr) return false;
  DWORD result = sync_->WaitForSingleObject(handle_, kInfinite);
  return result == kWaitObject0 || result == kWaitAbandoned;
}

void CAppAdmMutex::unlock() {
  if (handle_ == nullptr) return;
  // What was written under a mutex other processes share is kept before
  // another process can take it and read the store.
  if (RegistryApi* registry = CurrentServices().registry; shared_ && registry != nullptr)
    (void)registry->RegFlushKey(kHKeyCurrentUser);
  sync_->ReleaseMutex(handle_);
}

CAppAdmMutexLock::CAppAdmMutexLock(std::unique_ptr<CAppAdmMutex>& holder) {
  if (!holder) holder = std::make_unique<CAppAdmMutex>(std::u16string());
  mutex_ = holder.get();
  locked_ = mutex_->lock();
}

CAppAdmMutexLock::~CAppAdmMutexLock() {
  if (locked_) mutex_->unlock();
}

}  // namespace zvt
