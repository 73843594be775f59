// Stand-ins shared by several processes: a named mutex whose owner is killed,
// concurrent writers to one store, and a writer killed in the middle of its
// writes, one by one or grouped. Children are forked and build their own
// stand-ins.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <random>
#include <string>
#include <thread>

#include "platform/posix_registry.h"
#include "platform/posix_sync.h"
#include "platform/utf.h"
#include "services/scoped_key.h"
#include "testing/temp_dir.h"

namespace zvt {
namespace {

using platform::PosixRegistry;
using platform::PosixSync;
using platform::RegistryPaths;

class MultiProcessTest : public ::testing::Test {
 protected:
  RegistryPaths Paths() const {
    RegistryPaths paths;
    paths.user_store = dir_.File("home/registry.db");
    paths.classes_store = dir_.File("machine/classes.db");
    return paths;
  }

  // Writes `count` values named "<prefix><i>" under "Shared", each its own
  // write; reports each committed index on `report_fd` when given.
  static int WriteValues(const RegistryPaths& paths, const std::string& prefix, int count,
                         int report_fd) {
    PosixRegistry reg(paths);
    HKEY key = nullptr;
    if (reg.CreateRegKeyEx(kHKeyCurrentUser, u"Shared", 0, nullptr, 0, kKeyAllAccess, nullptr, &key,
                           nullptr) != kErrorSuccess)
      return 1;
    ScopedKey owned(&reg, key);
    for (int i = 0; i < count; ++i) {
      std::u16string name = platform::U16(prefix + std::to_string(i));
      DWORD data = static_cast<DWORD>(i);
      if (reg.RegSetValueExW(key, name.c_str(), 0, kRegDword, reinterpret_cast<BYTE*>(&data),
                             sizeof data) != kErrorSuccess)
        return 2;
      if (report_fd >= 0 && write(report_fd, &i, sizeof i) != sizeof i) return 3;
    }
    return 0;
  }

  // Writes rounds of the cache's kind: `kValuesPerRound` values under
  // HostVals\SYS\R<round>, then a stamp written last, then the key closed;
  // reports each round on `report_fd` once its key is closed.
  static constexpr int kValuesPerRound = 400;
  static int WriteRounds(const RegistryPaths& paths, int report_fd) {
    PosixRegistry reg(paths);
    for (int round = 0;; ++round) {
      std::u16string path =
          platform::U16(std::string(kHostVals) + "\\SYS\\R" + std::to_string(round));
      HKEY key = nullptr;
      if (reg.CreateRegKeyEx(kHKeyCurrentUser, path.c_str(), 0, nullptr, 0, kKeyAllAccess, nullptr,
                             &key, nullptr) != kErrorSuccess)
        return 1;
      const BYTE denied = 1;
      for (int i = 0; i < kValuesPerRound; ++i) {
        std::u16string name = platform::U16("F" + std::to_string(i));
        if (reg.RegSetValueExW(key, name.c_str(), 0, kRegBinary, &denied, 1) != kErrorSuccess)
          return 2;
      }
      if (reg.RegSetValueExW(key, u"##Stamp", 0, kRegBinary, &denied, 1) != kErrorSuccess) return 2;
      if (reg.RegCloseKey(key) != kErrorSuccess) return 3;
      if (write(report_fd, &round, sizeof round) != sizeof round) return 4;
    }
  }
  static constexpr char kHostVals[] =
      "Application_Administration\\HostVals";  // below the client's root

  static int Wait(pid_t pid) {
    int status = 0;
    if (waitpid(pid, &status, 0) != pid) return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }

  bool HasValue(PosixRegistry* reg, HKEY key, const std::string& name, DWORD expected) {
    std::u16string wide = platform::U16(name);
    DWORD data = 0;
    DWORD size = sizeof data;
    return reg->RegQueryValueExW(key, wide.c_str(), nullptr, nullptr,
                                 reinterpret_cast<BYTE*>(&data), &size) == kErrorSuccess &&
           data == expected;
  }

  zvt::testing::TempDir dir_;
};

TEST_F(MultiProcessTest, AMutexOfAKilledOwnerIsAcquiredAtOnce) {
  int ready[2];
  ASSERT_EQ(0, pipe(ready));
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    PosixSync sync(dir_.File("run"));
    HANDLE m = sync.CreateMutexW(u"QVYN_XD1_ZENTA_APPADMIN_REGCACHE_MUTEX", 0, nullptr);
    if (m == nullptr || sync.WaitForSingleObject(m, kInfinite) != kWaitObject0) _exit(1);
    char byte = 'x';
    if (write(ready[1], &byte, 1) != 1) _exit(2);
    pause();  // holds the mutex until killed
    _exit(0);
  }
  close(ready[1]);
  char byte;
  ASSERT_EQ(1, read(ready[0], &byte, 1));
  close(ready[0]);

  PosixSync sync(dir_.File("run"));
  HANDLE m = sync.CreateMutexW(u"QVYN_XD1_ZENTA_APPADMIN_REGCACHE_MUTEX", 0, nullptr);
  ASSERT_NE(nullptr, m);
  EXPECT_EQ(kWaitTimeout, sync.WaitForSingleObject(m, 50)) << "held by the child";

  ASSERT_EQ(0, kill(child, SIGKILL));
  EXPECT_EQ(128 + SIGKILL, Wait(child));
  // Acquired at once: even a wait that may not wait at all gets it.
  EXPECT_EQ(kWaitAbandoned, sync.WaitForSingleObject(m, 0));
  sync.ReleaseMutex(m);
  sync.CloseHandle(m);
}

TEST_F(MultiProcessTest, ConcurrentWritersLoseNoValue) {
  constexpr int kPerWriter = 300;
  constexpr int kWriters = 3;
  pid_t children[kWriters];
  for (int w = 0; w < kWriters; ++w) {
    children[w] = fork();
    ASSERT_GE(children[w], 0);
    if (children[w] == 0)
      _exit(WriteValues(Paths(), "w" + std::to_string(w) + "-", kPerWriter, -1));
  }
  for (pid_t child : children) EXPECT_EQ(0, Wait(child));

  PosixRegistry reg(Paths());
  ScopedKey key(&reg);
  ASSERT_EQ(kErrorSuccess,
            reg.OpenRegKeyEx(kHKeyCurrentUser, u"Shared", 0, kKeyRead, key.Receive()));
  int found = 0;
  for (int w = 0; w < kWriters; ++w)
    for (int i = 0; i < kPerWriter; ++i)
      found += HasValue(&reg, key.get(), "w" + std::to_string(w) + "-" + std::to_string(i), i);
  EXPECT_EQ(kWriters * kPerWriter, found);
}

TEST_F(MultiProcessTest, AWriterKilledMidWriteLeavesEveryCommittedValue) {
  std::mt19937 random(std::random_device{}());
  for (int trial = 0; trial < 5; ++trial) {
    int pipe_fds[2];
    ASSERT_EQ(0, pipe(pipe_fds));
    std::string prefix = "t" + std::to_string(trial) + "-";
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      close(pipe_fds[0]);
      _exit(WriteValues(Paths(), prefix, 1000000, pipe_fds[1]));
    }
    close(pipe_fds[1]);
    // Kill it at a random instant after its first commit (a slow start, as
    // under a sanitizer, must not make the trial meaningless).
    int last = -1, index;
    if (read(pipe_fds[0], &index, sizeof index) == sizeof index) last = index;
    std::this_thread::sleep_for(std::chrono::milliseconds(random() % 80));
    kill(child, SIGKILL);
    while (read(pipe_fds[0], &index, sizeof index) == sizeof index) last = index;
    close(pipe_fds[0]);
    Wait(child);
    ASSERT_GE(last, 0) << "the writer committed nothing before it was killed";

    PosixRegistry reg(Paths());
    std::string report;
    ASSERT_TRUE(reg.StoreFor(kHKeyCurrentUser, nullptr)->CheckIntegrity(&report)) << report;
    ScopedKey key(&reg);
    ASSERT_EQ(kErrorSuccess,
              reg.OpenRegKeyEx(kHKeyCurrentUser, u"Shared", 0, kKeyRead, key.Receive()));
    for (int i = 0; i <= last; ++i)
      ASSERT_TRUE(HasValue(&reg, key.get(), prefix + std::to_string(i), i)) << prefix << i;
  }
}

// Values written through an open cache key are committed together when the
// key is closed. A writer killed anywhere in that leaves each round either
// whole or absent: never a stamp (written last) without all its values.
TEST_F(MultiProcessTest, AWriterKilledInsideAGroupedWriteLeavesNoStampWithoutItsValues) {
  std::mt19937 random(std::random_device{}());
  for (int trial = 0; trial < 5; ++trial) {
    int pipe_fds[2];
    ASSERT_EQ(0, pipe(pipe_fds));
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      close(pipe_fds[0]);
      _exit(WriteRounds(Paths(), pipe_fds[1]));
    }
    close(pipe_fds[1]);
    int last = -1, round;
    if (read(pipe_fds[0], &round, sizeof round) == sizeof round) last = round;
    std::this_thread::sleep_for(std::chrono::milliseconds(random() % 80));
    kill(child, SIGKILL);
    while (read(pipe_fds[0], &round, sizeof round) == sizeof round) last = round;
    close(pipe_fds[0]);
    EXPECT_EQ(128 + SIGKILL, Wait(child));
    ASSERT_GE(last, 0) << "the writer closed no key before it was killed";

    PosixRegistry reg(Paths());
    std::string report;
    ASSERT_TRUE(reg.CacheStore(nullptr)->CheckIntegrity(&report)) << report;
    for (int r = 0; r <= last + 2; ++r) {
      std::u16string path = platform::U16(std::string(kHostVals) + "\\SYS\\R" + std::to_string(r));
      ScopedKey key(&reg);
      LONG rc = reg.OpenRegKeyEx(kHKeyCurrentUser, path.c_str(), 0, kKeyRead, key.Receive());
      if (r > last && rc == kErrorFileNotFound) continue;
      ASSERT_EQ(kErrorSuccess, rc) << "round " << r;
      const bool stamped = HasValue(&reg, key.get(), "##Stamp", 1);
      int values = 0;
      for (int i = 0; i < kValuesPerRound; ++i)
        values += HasValue(&reg, key.get(), "F" + std::to_string(i), 1);
      if (r <= last) {
        EXPECT_TRUE(stamped) << "round " << r << " was closed but is not kept";
      }
      if (stamped) {
        EXPECT_EQ(kValuesPerRound, values) << "round " << r << " has its stamp without its values";
      }
    }
    // The next trial starts from an empty hive.
    ScopedKey sys(&reg);
    ASSERT_EQ(kErrorSuccess,
              reg.OpenRegKeyEx(kHKeyCurrentUser, platform::U16(std::string(kHostVals)).c_str(), 0,
                               kKeyAllAccess, sys.Receive()));
    for (int r = 0; r <= last + 2; ++r) {
      std::u16string name = u"SYS\\R" + platform::U16(std::to_string(r));
      (void)reg.DeleteRegKey(sys.get(), name.c_str());
    }
  }
}

}  // namespace
}  // namespace zvt
