// Mutex semantics within a process and across a fork: recursion, exclusion,
// owner checks, abandonment, private unnamed mutexes, an unusable directory.
#include "platform/posix_sync.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "testing/temp_dir.h"

namespace zvt::platform {
namespace {

class SyncTest : public ::testing::Test {
 protected:
  zvt::testing::TempDir dir_;
  PosixSync sync_{dir_.File("run")};
};

TEST_F(SyncTest, NamedMutexIsRecursiveForItsOwnerAndExcludesOtherThreads) {
  HANDLE m = sync_.CreateMutexW(u"Recursive", 0, nullptr);
  ASSERT_NE(nullptr, m);
  EXPECT_EQ(kWaitObject0, sync_.WaitForSingleObject(m, kInfinite));
  EXPECT_EQ(kWaitObject0, sync_.WaitForSingleObject(m, kInfinite));

  // A second handle of the same name in the process is the same mutex.
  HANDLE same = sync_.CreateMutexW(u"Recursive", 0, nullptr);
  DWORD other_result = 0;
  std::thread other([&] { other_result = sync_.WaitForSingleObject(same, 50); });
  other.join();
  EXPECT_EQ(kWaitTimeout, other_result);

  std::thread thief([&] { other_result = sync_.ReleaseMutex(m); });
  thief.join();
  EXPECT_EQ(0u, other_result) << "only the owner may release";

  EXPECT_EQ(1, sync_.ReleaseMutex(m));
  EXPECT_EQ(1, sync_.ReleaseMutex(m));
  EXPECT_EQ(0, sync_.ReleaseMutex(m)) << "released more often than taken";

  std::thread taker([&] {
    other_result = sync_.WaitForSingleObject(same, 1000);
    sync_.ReleaseMutex(same);
  });
  taker.join();
  EXPECT_EQ(kWaitObject0, other_result);
  EXPECT_EQ(1, sync_.CloseHandle(m));
  EXPECT_EQ(1, sync_.CloseHandle(same));
  EXPECT_EQ(0, sync_.CloseHandle(same));
  EXPECT_EQ(kWaitFailed, sync_.WaitForSingleObject(same, 0));
}

TEST_F(SyncTest, MutexOfADeadOwnerIsAbandonedOnce) {
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    PosixSync own(dir_.File("run"));
    HANDLE m = own.CreateMutexW(u"Dies", 1, nullptr);  // initially owned
    _exit(m != nullptr ? 0 : 1);                       // dies holding it
  }
  int status = 0;
  ASSERT_EQ(child, waitpid(child, &status, 0));
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);

  HANDLE m = sync_.CreateMutexW(u"Dies", 0, nullptr);
  ASSERT_NE(nullptr, m);
  EXPECT_EQ(kWaitAbandoned, sync_.WaitForSingleObject(m, 1000));
  EXPECT_EQ(1, sync_.ReleaseMutex(m));
  EXPECT_EQ(kWaitObject0, sync_.WaitForSingleObject(m, 1000));
  EXPECT_EQ(1, sync_.ReleaseMutex(m));
  sync_.CloseHandle(m);
}

TEST_F(SyncTest, NamedMutexExcludesOtherProcesses) {
  HANDLE m = sync_.CreateMutexW(u"Shared \u00e4/name", 0, nullptr);
  ASSERT_EQ(kWaitObject0, sync_.WaitForSingleObject(m, kInfinite));
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    PosixSync own(dir_.File("run"));
    HANDLE mine = own.CreateMutexW(u"Shared \u00e4/name", 0, nullptr);
    _exit(own.WaitForSingleObject(mine, 100) == kWaitTimeout ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(child, waitpid(child, &status, 0));
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  sync_.ReleaseMutex(m);
  sync_.CloseHandle(m);
}

TEST_F(SyncTest, UnnamedMutexesArePrivate) {
  HANDLE a = sync_.CreateMutexW(nullptr, 0, nullptr);
  HANDLE b = sync_.CreateMutexW(u"", 0, nullptr);
  ASSERT_NE(nullptr, a);
  ASSERT_NE(nullptr, b);
  ASSERT_EQ(kWaitObject0, sync_.WaitForSingleObject(a, kInfinite));
  DWORD result = 0;
  std::thread other([&] {
    result = sync_.WaitForSingleObject(b, 0);
    sync_.ReleaseMutex(b);
  });
  other.join();
  EXPECT_EQ(kWaitObject0, result) << "two unnamed mutexes are two mutexes";
  sync_.ReleaseMutex(a);
  sync_.CloseHandle(a);
  sync_.CloseHandle(b);
}

TEST_F(SyncTest, ARuntimeDirectoryOpenToOthersIsRefused) {
  std::string shared = dir_.File("open");
  ASSERT_EQ(0, mkdir(shared.c_str(), 0777));
  ASSERT_EQ(0, chmod(shared.c_str(), 0777));
  PosixSync sync(shared);
  LONG error = 0;
  EXPECT_EQ(nullptr, sync.CreateMutexW(u"x", 0, &error));
  EXPECT_EQ(kErrorAccessDenied, error);
  // Unnamed mutexes need no directory.
  HANDLE unnamed = sync.CreateMutexW(nullptr, 0, &error);
  EXPECT_NE(nullptr, unnamed);
  sync.CloseHandle(unnamed);
}

// The directory is checked once and held; removed later, it is made private
// again and checked again, and one made open to others in its place is
// refused.
TEST_F(SyncTest, ARuntimeDirectoryRemovedAfterUseIsMadeAndCheckedAgain) {
  const std::string run = dir_.File("run");
  auto use = [&](LONG* error) {
    HANDLE h = sync_.CreateMutexW(u"again", 0, error);
    if (h == nullptr) return false;
    const bool locked = sync_.WaitForSingleObject(h, kInfinite) == kWaitObject0;
    sync_.ReleaseMutex(h);
    sync_.CloseHandle(h);
    return locked;
  };
  auto remove_run = [&] {
    ASSERT_EQ(0, unlink(sync_.LockFilePath(u"again").c_str()));
    ASSERT_EQ(0, rmdir(run.c_str()));
  };
  LONG error = 0;
  ASSERT_TRUE(use(&error));
  remove_run();
  EXPECT_TRUE(use(&error));
  struct stat st {};
  ASSERT_EQ(0, stat(run.c_str(), &st));
  EXPECT_EQ(0700u, st.st_mode & 0777u);

  remove_run();
  ASSERT_EQ(0, mkdir(run.c_str(), 0777));
  ASSERT_EQ(0, chmod(run.c_str(), 0777));
  EXPECT_FALSE(use(&error));
  EXPECT_EQ(kErrorAccessDenied, error);
}

TEST_F(SyncTest, CriticalSectionIsReentrant) {
  std::unique_ptr<CriticalSection> cs(sync_.NewCriticalSection());
  cs->Enter();
  cs->Enter();
  std::atomic<bool> entered{false};
  std::thread other([&] {
    cs->Enter();
    entered = true;
    cs->Leave();
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_FALSE(entered);
  cs->Leave();
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_FALSE(entered);
  cs->Leave();
  other.join();
  EXPECT_TRUE(entered);
}

// Threads entering at once, nested, some holding the section long enough
// for the others to give up spinning and sleep: every count is kept, and
// no waiter is left asleep once the section is free.
TEST_F(SyncTest, CriticalSectionKeepsThreadsApartAndWakesSleepers) {
  std::unique_ptr<CriticalSection> cs(sync_.NewCriticalSection());
  constexpr int kThreads = 4, kRounds = 20000;
  int64_t count = 0;  // guarded by cs alone
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kRounds; ++i) {
        cs->Enter();
        cs->Enter();
        ++count;
        cs->Leave();
        // Now and then a long hold: the others sleep, and must be woken.
        if (t == 0 && i % 5000 == 0) std::this_thread::sleep_for(std::chrono::milliseconds(5));
        ++count;
        cs->Leave();
      }
    });
  }
  for (std::thread& t : threads) t.join();
  EXPECT_EQ(count, int64_t{2} * kThreads * kRounds);  // a sleeper never woken hangs the test
}

}  // namespace
}  // namespace zvt::platform
