#include "cache/registry_layout.h"

#include <gtest/gtest.h>

#include "services/scoped_key.h"
#include "testing/test_platform.h"

namespace zvt {
namespace {

class RegistryLayoutTest : public ::testing::Test {
 protected:
  RegistryLayoutTest() : registry_(dir_), key_(&registry_) {
    DWORD disposition;
    EXPECT_EQ(registry_.CreateRegKeyEx(kHKeyCurrentUser, kHostValsKey, 0, nullptr, 0, kKeyAllAccess,
                                       nullptr, key_.Receive(), &disposition),
              kErrorSuccess);
  }
  void Set(const char16_t* name, DWORD type, const void* data, DWORD size) {
    ASSERT_EQ(
        registry_.RegSetValueExW(key_.get(), name, 0, type, static_cast<const BYTE*>(data), size),
        kErrorSuccess);
  }
  testing::TempDir dir_;
  testing::TestRegistry registry_;
  ScopedKey key_;
};

TEST_F(RegistryLayoutTest, OnlyEightBinaryBytesAreAStoredTimestamp) {
  Timestamp t = {1, 2, 3, 4, 5, 6, 7, 8}, read{};
  ASSERT_EQ(WriteStoredTimestamp(&registry_, key_.get(), kRepTsValue, t), kErrorSuccess);
  ASSERT_TRUE(ReadStoredTimestamp(&registry_, key_.get(), kRepTsValue, &read));
  EXPECT_EQ(read, t);
  EXPECT_EQ(ExchangeFirstBytes(t), (Timestamp{2, 1, 3, 4, 5, 6, 7, 8}));
  const BYTE nine[9] = {1, 2, 3, 4, 5, 6, 7, 8, 9};
  for (DWORD size : {7u, 9u}) {
    Set(kRepTsValue, kRegBinary, nine, size);
    read.fill(0xEE);
    EXPECT_FALSE(ReadStoredTimestamp(&registry_, key_.get(), kRepTsValue, &read)) << size;
    EXPECT_EQ(read[0], 0xEE);
  }
  DWORD dword = 5;
  Set(kRepTsValue, kRegDword, &dword, 4);
  EXPECT_FALSE(ReadStoredTimestamp(&registry_, key_.get(), kRepTsValue, &read));
  Set(kRepTsValue, kRegSz, nine, 8);
  EXPECT_FALSE(ReadStoredTimestamp(&registry_, key_.get(), kRepTsValue, &read));
  EXPECT_FALSE(ReadStoredTimestamp(&registry_, key_.get(), kUserTsValue, &read));  // missing
}

TEST_F(RegistryLayoutTest, OnlyTheExactSwitchTurnsTheCacheOff) {
  EXPECT_FALSE(CacheSwitchedOff(&registry_, key_.get()));
  Set(kActivateValue, kRegSz, u"2", 4);  // with its terminator
  EXPECT_FALSE(CacheSwitchedOff(&registry_, key_.get()));
  Set(kActivateValue, kRegSz, u"1", 2);
  EXPECT_FALSE(CacheSwitchedOff(&registry_, key_.get()));
  Set(kActivateValue, kRegBinary, u"2", 2);
  EXPECT_FALSE(CacheSwitchedOff(&registry_, key_.get()));
  Set(kActivateValue, kRegSz, u"22", 4);
  EXPECT_FALSE(CacheSwitchedOff(&registry_, key_.get()));
  // Without its terminator. The character after the data is not a NUL:
  // Windows stores one that follows the data as if it had been counted.
  Set(kActivateValue, kRegSz, u"2X", 2);
  EXPECT_TRUE(CacheSwitchedOff(&registry_, key_.get()));
}

TEST(RegistryLayoutRules, DeniedFunctionValuesAndTheHierarchyKey) {
  const BYTE one = 1, zero = 0, two[2] = {1, 1};
  EXPECT_TRUE(IsDeniedFunctionValue(u"QVYN_XD1_ZENTA", kRegBinary, &one, 1));
  EXPECT_TRUE(IsDeniedFunctionValue(std::u16string(31, u'F'), kRegBinary, &one, 1));
  EXPECT_FALSE(IsDeniedFunctionValue(std::u16string(32, u'F'), kRegBinary, &one, 1));
  EXPECT_FALSE(IsDeniedFunctionValue(u"", kRegBinary, &one, 1));
  EXPECT_FALSE(IsDeniedFunctionValue(u"#F", kRegBinary, &one, 1));
  EXPECT_FALSE(IsDeniedFunctionValue(u"##UserTS", kRegBinary, &one, 1));
  EXPECT_FALSE(IsDeniedFunctionValue(u"F", kRegBinary, &zero, 1));
  EXPECT_FALSE(IsDeniedFunctionValue(u"F", kRegBinary, two, 2));
  EXPECT_FALSE(IsDeniedFunctionValue(u"F", kRegDword, &one, 1));
  EXPECT_TRUE(IsHierarchyKeyName(u"Hierarchy"));
  EXPECT_TRUE(IsHierarchyKeyName(u"HIERARCHY"));
  EXPECT_TRUE(IsHierarchyKeyName(u"hierarchy"));
  EXPECT_FALSE(IsHierarchyKeyName(u"Hierarchy2"));
  EXPECT_FALSE(IsHierarchyKeyName(u"JOE"));
}

}  // namespace
}  // namespace zvt
