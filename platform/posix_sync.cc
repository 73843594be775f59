// Mutex objects behind PosixSync handles, and the lock-file protocol of named
// mutexes: byte 0 of the file is '1' while an owner holds the mutex and '0'
// after a release, so finding '1' on acquiring means the owner died.
#include "platform/posix_sync.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <atomic>
#include <charconv>
#include <chrono>
#include <cstdio>
#include <thread>

#include "platform/paths.h"
#include "platform/utf.h"
#include "services/fast_tls.h"
#include "services/mutex.h"

namespace zvt::platform {
namespace {

constexpr size_t kMaxMutexNameChars = 260;  // Win32 object names: MAX_PATH
constexpr LONG kErrorFilenameExcedRange = 206;
constexpr auto kLockPollInterval = std::chrono::milliseconds(2);

// A re-entrant lock that spins a while before it sleeps, as a Windows
// critical section with a spin count does: sections held for a few hundred
// nanoseconds are mostly free again before a sleeping waiter could be woken.
// Waiters spin on a read of the lock word with a growing pause between
// looks, so that the owner, leaving and entering again at once, mostly finds
// the word in its own cache; and a thread that leaves wakes a sleeper once
// per sleep, not on every leave, so that the owner of a busy lock makes no
// system call for the waiters. A woken waiter spins again before it sleeps
// again.
class alignas(64) PosixCriticalSection : public CriticalSection {
 public:
  void Enter() override {
    const void* me = Self();
    if (owner_.load(std::memory_order_relaxed) == me) {
      ++depth_;
      return;
    }
    for (;;) {
      int pause = kFirstPause;
      for (int spent = 0; spent < kSpinBudget; spent += pause) {
        if (TryTake()) return Own(me);
        for (int i = 0; i < pause; ++i) CpuRelax();
        pause = pause < kMaxPause ? pause * 2 : kMaxPause;
      }
      MutexLock lock(&sleep_mu_);
      sleepers_.fetch_add(1);
      if (TryTake()) {
        sleepers_.fetch_sub(1);
        return Own(me);
      }
      // A wake can be missed when the owner leaves just as this waiter
      // looks (the leave does not fence its store against its read of
      // sleepers_, which would cost every leave a locked instruction): the
      // wait is bounded, and the waiter then looks again.
      const auto bound = std::chrono::steady_clock::now() + kMissedWakeBound;
      while (wakes_ == 0 && wake_.WaitUntil(&sleep_mu_, bound)) {
      }
      if (wakes_ > 0)
        --wakes_;
      else
        sleepers_.fetch_sub(1);
    }
  }
  void Leave() override {
    if (--depth_ > 0) return;
    owner_.store(nullptr, std::memory_order_relaxed);
    locked_.store(false, std::memory_order_release);
    if (sleepers_.load(std::memory_order_relaxed) == 0) return;
    MutexLock lock(&sleep_mu_);
    if (sleepers_.load() == 0) return;
    sleepers_.fetch_sub(1);
    ++wakes_;
    wake_.Signal();
  }

 private:
  // Pause instructions a waiter spends looking before it sleeps: 0.2 to 3 ms
  // by the processor. Less makes waiters sleep, and so be woken, far more
  // often under a busy lock (two threads asking at once got a third less).
  static constexpr int kSpinBudget = 1 << 16;
  // A waiter looks again after 64 pauses, doubling to 1024 (1.5 to 24 us at
  // 23 ns a pause): looking far more often steals the lock word from an
  // owner that leaves and enters again, and hands the lock, with the lines
  // its holder touches, from core to core more often. With the lock word on
  // a line of its own, 16 to 256 and 256 to 2048 did as well.
  static constexpr int kFirstPause = 64, kMaxPause = 1024;
  static constexpr std::chrono::milliseconds kMissedWakeBound{1};
  static const void* Self() {
    ZVT_FAST_TLS thread_local char identity;
    return &identity;
  }
  static void CpuRelax() {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#elif defined(__aarch64__)
    asm volatile("yield");
#endif
  }
  bool TryTake() { return !locked_.load(std::memory_order_relaxed) && !locked_.exchange(true); }
  void Own(const void* me) {
    owner_.store(me, std::memory_order_relaxed);
    depth_ = 1;
  }

  // The lock word has a cache line of its own: waiters read it while the
  // owner works, and every write to whatever shared its line (the owner
  // fields, or another object the allocator put beside it) took the line
  // from them and back. Sharing it, two threads asking at once got 0.55x or
  // 0.87x of one thread's calls/s, by where the object happened to land.
  alignas(64) std::atomic<bool> locked_{false};
  alignas(64) std::atomic<const void*> owner_{nullptr};
  int depth_ = 0;  // the owner's alone
  // Waiters that gave up spinning. A leaving thread that finds one takes it
  // off the count and hands out one wake, so a sleeper is woken once.
  std::atomic<int> sleepers_{0};
  Mutex sleep_mu_;
  CondVar wake_;
  int wakes_ ZVT_GUARDED_BY(sleep_mu_) = 0;
};

constexpr char kLockFilePrefix[] = "mutex-";

// Lock file names: the UTF-8 name with "/", "%" and control bytes escaped as
// %XX; very long names are replaced by a hash so they fit a file name.
std::string EscapeName(const std::u16string& name) {
  std::string utf8 = Utf16ToUtf8(name);
  std::string out;
  for (unsigned char c : utf8) {
    if (c == '/' || c == '%' || c < 0x20 || c == 0x7F) {
      char buf[4];
      std::snprintf(buf, sizeof buf, "%%%02X", c);
      out += buf;
    } else {
      out.push_back(static_cast<char>(c));
    }
  }
  if (out.size() > 200) {
    std::uint64_t h = 1469598103934665603ull;  // FNV-1a
    for (unsigned char c : utf8) h = (h ^ c) * 1099511628211ull;
    char buf[24];
    std::snprintf(buf, sizeof buf, "%016llx", static_cast<unsigned long long>(h));
    out = std::string("h-") + buf;
  }
  return out;
}

}  // namespace

struct PosixSync::MutexObject {
  Mutex m;
  CondVar cv;
  std::thread::id owner ZVT_GUARDED_BY(m);  // default id: no owner
  int depth ZVT_GUARDED_BY(m) = 0;
  int waiters ZVT_GUARDED_BY(m) = 0;  // threads of this process waiting on cv
  int fd = -1;                        // named mutexes only
  std::u16string name;

  ~MutexObject() {
    if (fd >= 0) ::close(fd);  // also drops the file lock
  }

  // Takes the file lock of a named mutex. Returns kWaitObject0,
  // kWaitAbandoned, kWaitTimeout or kWaitFailed.
  DWORD LockFile(std::chrono::steady_clock::time_point deadline, bool infinite) {
    for (;;) {
      int rc = ::flock(fd, infinite ? LOCK_EX : (LOCK_EX | LOCK_NB));
      if (rc == 0) break;
      if (errno == EINTR) continue;
      if (infinite || errno != EWOULDBLOCK) return kWaitFailed;
      if (std::chrono::steady_clock::now() >= deadline) return kWaitTimeout;
      std::this_thread::sleep_for(kLockPollInterval);
    }
    char marker = '0';
    bool abandoned = ::pread(fd, &marker, 1, 0) == 1 && marker == '1';
    char held[32] = "1 ";
    char* end = std::to_chars(held + 2, held + sizeof held - 1, static_cast<long>(::getpid())).ptr;
    *end++ = '\n';
    const auto n = static_cast<ssize_t>(end - held);
    if (::pwrite(fd, held, static_cast<size_t>(n), 0) != n) {
      ::flock(fd, LOCK_UN);
      return kWaitFailed;
    }
    return abandoned ? kWaitAbandoned : kWaitObject0;
  }

  void UnlockFile() {
    static const char kFree[] = "0         \n";
    (void)!::pwrite(fd, kFree, sizeof kFree - 1, 0);
    ::flock(fd, LOCK_UN);
  }
};

namespace {

std::atomic<std::uint64_t> g_next_sync_id{1};

// A thread's most recent handles of unnamed mutexes, so that waiting on and
// releasing one (the process cache's, on every cached answer) reads no
// memory that other threads write. An entry is good while no handle of its
// PosixSync was closed since it was made; it keeps its object alive.
struct CachedHandle {
  std::uint64_t sync_id = 0;
  std::uintptr_t handle = 0;
  std::uint64_t closes = 0;
  std::shared_ptr<PosixSync::MutexObject> object;
};
constexpr int kCachedHandles = 4;
ZVT_FAST_TLS thread_local CachedHandle t_handles[kCachedHandles];
ZVT_FAST_TLS thread_local int t_next_handle = 0;

}  // namespace

PosixSync::PosixSync(std::string runtime_dir)
    : id_(g_next_sync_id.fetch_add(1)), runtime_dir_(std::move(runtime_dir)) {}

PosixSync::~PosixSync() {
  MutexLock lock(&dir_mu_);
  if (dir_fd_ >= 0) ::close(dir_fd_);
}

int PosixSync::OpenLockFile(const std::u16string& name) {
  const std::string file = kLockFilePrefix + EscapeName(name);
  MutexLock lock(&dir_mu_);
  for (int attempt = 0; attempt < 2; ++attempt) {
    if (dir_fd_ < 0) {
      std::string message;
      dir_fd_ = OpenPrivateDirectory(runtime_dir_, &message);
      if (dir_fd_ < 0) {
        errno = EACCES;
        return -1;
      }
    }
    const int fd = ::openat(dir_fd_, file.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd >= 0 || errno != ENOENT) return fd;
    // The directory was removed: it is made and checked again.
    ::close(dir_fd_);
    dir_fd_ = -1;
  }
  errno = ENOENT;
  return -1;
}

CriticalSection* PosixSync::NewCriticalSection() { return new PosixCriticalSection(); }

std::string PosixSync::LockFilePath(const std::u16string& name) const {
  return runtime_dir_ + "/" + kLockFilePrefix + EscapeName(name);
}

HANDLE PosixSync::CreateMutexW(const char16_t* name, BOOL initial_owner, LONG* error) {
  std::u16string key = name != nullptr ? std::u16string(name) : std::u16string();
  if (key.size() > kMaxMutexNameChars) {
    if (error != nullptr) *error = kErrorFilenameExcedRange;
    return nullptr;
  }
  std::shared_ptr<MutexObject> object;
  {
    MutexLock lock(&mu_);
    if (!key.empty()) {
      auto it = named_.find(key);
      if (it != named_.end()) object = it->second.lock();
    }
  }
  if (!object) {
    object = std::make_shared<MutexObject>();
    object->name = key;
    if (!key.empty()) {
      object->fd = OpenLockFile(key);
      if (object->fd < 0) {
        if (error != nullptr) *error = errno == EACCES ? kErrorAccessDenied : kErrorInvalidHandle;
        return nullptr;
      }
      MutexLock lock(&mu_);
      auto it = named_.find(key);
      std::shared_ptr<MutexObject> raced = it != named_.end() ? it->second.lock() : nullptr;
      if (raced) {
        object = raced;  // another thread opened the name meanwhile; ours closes
      } else {
        named_[key] = object;
      }
    }
  }
  HANDLE handle;
  {
    MutexLock lock(&mu_);
    std::uintptr_t value = next_handle_;
    next_handle_ += 4;
    handles_.emplace(value, object);
    handle = reinterpret_cast<HANDLE>(value);
  }
  if (initial_owner) {
    DWORD result = WaitForSingleObject(handle, kInfinite);
    if (result != kWaitObject0 && result != kWaitAbandoned) {
      CloseHandle(handle);
      if (error != nullptr) *error = kErrorAccessDenied;
      return nullptr;
    }
  }
  if (error != nullptr) *error = kErrorSuccess;
  return handle;
}

std::shared_ptr<PosixSync::MutexObject> PosixSync::Find(HANDLE handle) {
  MutexLock lock(&mu_);
  auto it = handles_.find(reinterpret_cast<std::uintptr_t>(handle));
  return it == handles_.end() ? nullptr : it->second;
}

PosixSync::MutexObject* PosixSync::Lookup(HANDLE handle, std::shared_ptr<MutexObject>* keep) {
  const auto value = reinterpret_cast<std::uintptr_t>(handle);
  const std::uint64_t closes = closes_.load(std::memory_order_acquire);
  for (const CachedHandle& c : t_handles)
    if (c.sync_id == id_ && c.handle == value && c.closes == closes && c.object)
      return c.object.get();
  *keep = Find(handle);
  if (*keep && (*keep)->name.empty()) {
    CachedHandle& slot = t_handles[t_next_handle];
    t_next_handle = (t_next_handle + 1) % kCachedHandles;
    slot = CachedHandle{id_, value, closes, *keep};
  }
  return keep->get();
}

DWORD PosixSync::WaitForSingleObject(HANDLE handle, DWORD timeout_ms) {
  std::shared_ptr<MutexObject> kept;
  MutexObject* object = Lookup(handle, &kept);
  if (object == nullptr) return kWaitFailed;
  const bool infinite = timeout_ms == kInfinite;
  const auto deadline =
      infinite ? std::chrono::steady_clock::time_point::max()
               : std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  const std::thread::id me = std::this_thread::get_id();
  {
    MutexLock lock(&object->m);
    if (object->owner == me) {
      ++object->depth;
      return kWaitObject0;
    }
    while (object->owner != std::thread::id()) {
      ++object->waiters;
      const bool woken = infinite ? (object->cv.Wait(&object->m), true)
                                  : object->cv.WaitUntil(&object->m, deadline);
      --object->waiters;
      if (!woken && object->owner != std::thread::id()) return kWaitTimeout;
    }
    object->owner = me;
    object->depth = 1;
    if (object->fd < 0) return kWaitObject0;
  }
  // Other threads of this process now wait on the owner record, so the file
  // lock is taken without holding the object's mutex.
  DWORD result = object->LockFile(deadline, infinite);
  if (result != kWaitObject0 && result != kWaitAbandoned) {
    MutexLock lock(&object->m);
    object->owner = std::thread::id();
    object->depth = 0;
    if (object->waiters > 0) object->cv.Signal();
  }
  return result;
}

BOOL PosixSync::ReleaseMutex(HANDLE handle) {
  std::shared_ptr<MutexObject> kept;
  MutexObject* object = Lookup(handle, &kept);
  if (object == nullptr) return 0;
  MutexLock lock(&object->m);
  if (object->owner != std::this_thread::get_id()) return 0;
  if (--object->depth > 0) return 1;
  if (object->fd >= 0) object->UnlockFile();
  object->owner = std::thread::id();
  // (A release with nobody waiting, the common case, makes no call.)
  if (object->waiters > 0) object->cv.Signal();
  return 1;
}

BOOL PosixSync::CloseHandle(HANDLE handle) {
  std::shared_ptr<MutexObject> object;
  {
    MutexLock lock(&mu_);
    auto it = handles_.find(reinterpret_cast<std::uintptr_t>(handle));
    if (it == handles_.end()) return 0;
    object = std::move(it->second);
    handles_.erase(it);
    closes_.fetch_add(1, std::memory_order_release);
    // The last handle of a name ends the object (and its lock file descriptor).
    if (!object->name.empty() && object.use_count() == 1) named_.erase(object->name);
  }
  return 1;
}

}  // namespace zvt::platform
