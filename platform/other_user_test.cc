// What another OS user can do to this user's store and named mutexes:
// nothing. The files are private by mode, the directories holding them
// are private, and a process of another user neither reads the store nor
// enters or blocks the mutex. The part that switches users runs as root.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

#include "platform/paths.h"
#include "platform/posix_registry.h"
#include "platform/posix_sync.h"
#include "services/scoped_key.h"
#include "testing/temp_dir.h"

namespace zvt::platform {
namespace {

constexpr char16_t kMutexName[] = u"QVYN_XD1_ZENTA_APPADMIN_REGCACHE_MUTEX";
constexpr uid_t kNobody = 65534;

mode_t ModeOf(const std::string& path) {
  struct stat st {};
  return stat(path.c_str(), &st) == 0 ? (st.st_mode & 07777) : 07777;
}

class OtherUserTest : public ::testing::Test {
 protected:
  OtherUserTest() {
    // The scratch root is open to everyone, as a home's parent is; only
    // what the stand-ins create below it may keep others out.
    chmod(dir_.path().c_str(), 0755);
    paths_.user_store = dir_.File("state/zvt/registry.db");
    paths_.classes_store = dir_.File("classes.db");
    runtime_ = dir_.File("run/zvt");
  }

  zvt::testing::TempDir dir_;
  RegistryPaths paths_;
  std::string runtime_;
};

TEST_F(OtherUserTest, TheStoreAndTheMutexAreTheirOwnersAlone) {
  PosixRegistry registry(paths_);
  HKEY key = nullptr;
  ASSERT_EQ(kErrorSuccess, registry.CreateRegKeyEx(kHKeyCurrentUser, u"Private", 0, nullptr, 0,
                                                   kKeyAllAccess, nullptr, &key, nullptr));
  ScopedKey owned(&registry, key);
  const BYTE one = 1;
  ASSERT_EQ(kErrorSuccess, registry.RegSetValueExW(key, u"F", 0, kRegBinary, &one, 1));
  PosixSync sync(runtime_);
  HANDLE mutex = sync.CreateMutexW(kMutexName, 0, nullptr);
  ASSERT_NE(nullptr, mutex);
  ASSERT_EQ(kWaitObject0, sync.WaitForSingleObject(mutex, kInfinite));

  // By mode: no group or other bits on the store, its journal files, the
  // lock file, or the directories they are in.
  const std::string lock_file = sync.LockFilePath(kMutexName);
  for (const std::string& path :
       {paths_.user_store, paths_.user_store + "-wal", paths_.user_store + "-shm", lock_file})
    EXPECT_EQ(0600, ModeOf(path)) << path;
  for (const std::string& path : {DirectoryOf(paths_.user_store), runtime_})
    EXPECT_EQ(0700, ModeOf(path)) << path;

  if (geteuid() != 0) GTEST_SKIP() << "switching to another user needs root";
  // In fact: a process of another user tries every way in while the owner
  // holds the mutex. Each failed attempt sets a bit of the exit code.
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    if (setgid(kNobody) != 0 || setuid(kNobody) != 0) _exit(0x80);
    int failures = 0;
    int fd = open(paths_.user_store.c_str(), O_RDONLY);
    if (fd >= 0) failures |= 0x01;  // read the store file
    sqlite3* db = nullptr;
    if (sqlite3_open_v2(paths_.user_store.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) ==
            SQLITE_OK &&
        sqlite3_exec(db, "SELECT count(*) FROM vals", nullptr, nullptr, nullptr) == SQLITE_OK)
      failures |= 0x02;  // query it
    sqlite3_close(db);
    PosixRegistry theirs(paths_);
    HKEY k = nullptr;
    if (theirs.OpenRegKeyEx(kHKeyCurrentUser, u"Private", 0, kKeyRead, &k) == kErrorSuccess)
      failures |= 0x04;  // open the key through the stand-in
    fd = open(lock_file.c_str(), O_RDWR);
    if (fd >= 0) {
      failures |= 0x08;  // open the lock file
      if (flock(fd, LOCK_EX | LOCK_NB) == 0) failures |= 0x10;
    }
    // The stand-in refuses: no handle, so nothing to wait on.
    PosixSync their_sync(runtime_);
    LONG error = 0;
    HANDLE h = their_sync.CreateMutexW(kMutexName, 0, &error);
    if (h != nullptr) {
      failures |= 0x20;
      if (their_sync.WaitForSingleObject(h, 0) != kWaitTimeout) failures |= 0x40;
    }
    _exit(failures);
  }
  int status = 0;
  ASSERT_EQ(child, waitpid(child, &status, 0));
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(0, WEXITSTATUS(status)) << "bits: 1 read the store file, 2 queried it, 4 opened "
                                       "the key, 8 opened the lock file, 16 locked it, 32 got "
                                       "a mutex handle, 64 entered or waited, 128 no switch";

  // The owner still holds its mutex and its data.
  EXPECT_EQ(kWaitObject0, sync.WaitForSingleObject(mutex, 0));
  sync.ReleaseMutex(mutex);
  sync.ReleaseMutex(mutex);
  sync.CloseHandle(mutex);
  DWORD size = 1;
  BYTE data = 0;
  EXPECT_EQ(kErrorSuccess, registry.RegQueryValueExW(key, u"F", nullptr, nullptr, &data, &size));
  EXPECT_EQ(1, data);
}

}  // namespace
}  // namespace zvt::platform
