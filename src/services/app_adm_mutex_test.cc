// CAppAdmMutex and CAppAdmMutexLock over real and faulty sync services.
#include "services/app_adm_mutex.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "services/services.h"
#include "testing/fault_injection.h"
#include "testing/test_platform.h"

namespace zvt {
namespace {

class AppAdmMutexTest : public ::testing::Test {
 protected:
  zvt::testing::TempDir dir_;
  zvt::testing::TestSync real_{dir_};
  zvt::testing::FaultySync faulty_{&real_};
  ScopedServiceBinding binding_{{.sync = &faulty_}};
};

TEST_F(AppAdmMutexTest, AMutexThatCannotBeCreatedLetsCallersRunUnguarded) {
  faulty_.FailCreate(kErrorAccessDenied);
  CAppAdmMutex mutex(u"QVYN_XD1_ZENTA_APPADMIN_REGCACHE_MUTEX");
  EXPECT_FALSE(mutex.isValid());
  EXPECT_EQ(kErrorAccessDenied, mutex.createError());
  EXPECT_FALSE(mutex.lock());
  mutex.unlock();  // harmless
}

TEST_F(AppAdmMutexTest, AnAbandonedMutexCountsAsAcquired) {
  faulty_.ReportWaitAs(kWaitAbandoned);
  CAppAdmMutex mutex(u"Abandoned");
  ASSERT_TRUE(mutex.isValid());
  EXPECT_TRUE(mutex.lock());
  mutex.unlock();
}

TEST_F(AppAdmMutexTest, ScopedLockCreatesItsMutexOnceAndExcludesOtherThreads) {
  std::unique_ptr<CAppAdmMutex> holder;
  std::atomic<bool> other_inside{false};
  std::thread other;
  {
    CAppAdmMutexLock lock(holder);
    ASSERT_NE(nullptr, holder);
    CAppAdmMutex* first = holder.get();
    {
      CAppAdmMutexLock nested(holder);  // recursive for the owning thread
      EXPECT_EQ(first, holder.get());
    }
    other = std::thread([&] {
      CAppAdmMutexLock theirs(holder);
      other_inside = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    EXPECT_FALSE(other_inside) << "entered while this thread held the lock";
  }
  other.join();
  EXPECT_TRUE(other_inside);
}

}  // namespace
}  // namespace zvt
