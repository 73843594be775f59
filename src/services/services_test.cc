// Binding fakes over the default services, one interface at a time.
#include "services/services.h"

#include <gtest/gtest.h>

namespace zvt {
namespace {

class FixedClock : public ClockApi {
 public:
  explicit FixedClock(int day) : day_(day) {}
  LocalDay Today() override { return LocalDay{126, day_}; }

 private:
  int day_;
};

TEST(ServicesTest, ScopedBindingsNestAndRestore) {
  const Services& defaults = DefaultServices();
  ASSERT_NE(nullptr, defaults.registry);
  ASSERT_NE(nullptr, defaults.sync);
  FixedClock first(10), second(20);
  {
    ScopedServiceBinding outer({.clock = &first});
    EXPECT_EQ(10, CurrentServices().clock->Today().day_of_year);
    EXPECT_EQ(defaults.registry, CurrentServices().registry);
    {
      ScopedServiceBinding inner({.clock = &second});
      EXPECT_EQ(20, CurrentServices().clock->Today().day_of_year);
    }
    EXPECT_EQ(10, CurrentServices().clock->Today().day_of_year);
  }
  EXPECT_EQ(defaults.clock, CurrentServices().clock);
}

}  // namespace
}  // namespace zvt
