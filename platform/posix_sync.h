// Critical sections and Win32-style mutexes. A named mutex is shared by every
// process of the OS user through a lock file in the user's runtime directory;
// one descriptor per name per process carries the file lock, and an
// in-process owner record gives recursion and thread exclusion. The kernel
// drops the file lock when the owning process dies, and a marker in the file
// tells the next owner that the mutex was abandoned. Thread-safe.
#ifndef ZVT_PLATFORM_POSIX_SYNC_H_
#define ZVT_PLATFORM_POSIX_SYNC_H_

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <unordered_map>

#include "services/mutex.h"
#include "services/sync.h"

namespace zvt::platform {

class PosixSync : public SyncApi {
 public:
  // `runtime_dir` holds the lock files; it is created private to the user.
  explicit PosixSync(std::string runtime_dir);
  ~PosixSync() override;

  CriticalSection* NewCriticalSection() override;
  HANDLE CreateMutexW(const char16_t* name, BOOL initial_owner, LONG* error) override;
  DWORD WaitForSingleObject(HANDLE handle, DWORD timeout_ms) override;
  BOOL ReleaseMutex(HANDLE handle) override;
  BOOL CloseHandle(HANDLE handle) override;

  // The lock file used for `name` (for tests and diagnostics).
  std::string LockFilePath(const std::u16string& name) const;

  struct MutexObject;

 private:
  std::shared_ptr<MutexObject> Find(HANDLE handle);
  // The same, for the calling thread's most recent handles of unnamed
  // mutexes without the handle table's lock; `*keep` holds the object for
  // the call when it came from the table.
  MutexObject* Lookup(HANDLE handle, std::shared_ptr<MutexObject>* keep);

  // Opens the lock file of `name` in the runtime directory; -1 with errno
  // set when it cannot.
  int OpenLockFile(const std::u16string& name);

  const std::uint64_t id_;                // unique among the PosixSync objects of the process
  std::atomic<std::uint64_t> closes_{0};  // handles closed so far
  std::string runtime_dir_;
  // The runtime directory, held open once found private (only its owner can
  // change that), so that lock files are made in that directory even if
  // another appears at its path; dropped when the directory is removed.
  Mutex dir_mu_;
  int dir_fd_ ZVT_GUARDED_BY(dir_mu_) = -1;
  Mutex mu_;
  std::unordered_map<std::uintptr_t, std::shared_ptr<MutexObject>> handles_ ZVT_GUARDED_BY(mu_);
  std::map<std::u16string, std::weak_ptr<MutexObject>> named_ ZVT_GUARDED_BY(mu_);
  std::uintptr_t next_handle_ ZVT_GUARDED_BY(mu_) = 0x2000;
};

}  // namespace zvt::platform

#endif  // ZVT_PLATFORM_POSIX_SYNC_H_
