#include <gtest/gtest.h>

#include <cstring>

#include "host/admin_host_apis.h"
#include "platform/utf.h"
#include "services/services.h"
#include "tests/host_call_fixture.h"

namespace zvt {
namespace {

using AdminTimestampsTest = testing::HostCallTest;

TEST_F(AdminTimestampsTest, ReturnsTheHostsBytesAndNamesTheFailingStep) {
  AddProfile("JOE");
  AddProfile("1ABC");
  AddFunctions(2, "F");
  StartServer();
  BindLibrary(u"SYS", "JOE");
  uint8_t u[8] = {}, r[8] = {}, h[8] = {};
  ErrorOut error;
  ASSERT_EQ(CAdminHostAPIs::getAdminTimestamps(u"SYS", u"JOE", u, r, h, &error), 0u)
      << (error ? platform::Utf16ToUtf8(error->texts().back()) : "");
  EXPECT_FALSE(error);
  hostd::Timestamps host;
  bool known;
  std::string e;
  ASSERT_TRUE(store()->GetTimestamps("JOE", &host, &known, &e));
  EXPECT_EQ(std::memcmp(u, host.user.data(), 8), 0);
  EXPECT_EQ(std::memcmp(r, host.rep.data(), 8), 0);
  EXPECT_EQ(std::memcmp(h, host.hier.data(), 8), 0);
  // A profile beginning with a digit is sent as it is.
  ASSERT_EQ(CAdminHostAPIs::getAdminTimestamps(u"SYS", u"1ABC", u, r, h, &error), 0u);

  // The program call fails: buffers untouched, the message last.
  uint8_t keep[8];
  std::memset(keep, 0xAB, 8);
  std::memcpy(u, keep, 8);
  EXPECT_EQ(CAdminHostAPIs::getAdminTimestamps(u"SYS", u"NOBODY", u, r, h, &error), 1u);
  ASSERT_TRUE(error);
  EXPECT_EQ(error->texts().back(), u"getAdminTimestamps:  Error returned from KRCHGTS API.");
  EXPECT_EQ(error->hostMessages().at(0).id, u"CPF2204");
  EXPECT_EQ(std::memcmp(u, keep, 8), 0);
  // No agent for an unknown system, or for a handle without a system object.
  EXPECT_EQ(CAdminHostAPIs::getAdminTimestamps(u"ELSEWHERE", u"JOE", u, r, h, &error), 1u);
  EXPECT_EQ(error->texts().back(), u"getAdminTimestamps:  Unable to construct RemoteAgent.");
  SystemHandle handle = 42;
  EXPECT_EQ(CAdminHostAPIs::getAdminTimestamps(u"SYS", u"JOE", u, r, h, &error, &handle), 1u);
  EXPECT_EQ(error->texts().back(), u"getAdminTimestamps:  Unable to construct RemoteAgent.");
  // A profile name that does not fit its field.
  EXPECT_EQ(CAdminHostAPIs::getAdminTimestamps(u"SYS", u"ELEVENCHARS", u, r, h, &error), 1u);
  EXPECT_EQ(error->texts().back(), u"getAdminTimestamps:  Unable to set User Profile name in DO.");
}

}  // namespace
}  // namespace zvt
