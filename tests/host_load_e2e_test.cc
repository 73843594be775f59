// The main job end to end: client processes that load the library and ask
// through its exports, a host server with a registry of nested groups and
// items, and the persistent cache they share. Each client is a process of
// its own (admin_query), started with the test's private stores.

#include <array>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>

#include "tests/admin_client.h"
#include "tests/client_process_fixture.h"

namespace zvt {
namespace {

using testing::Client;

class HostLoadEndToEndTest : public testing::ClientProcessTest {
 protected:
  void SetUp() override { SetUpHost({"A", "B", "C"}); }
  std::map<std::string, int> Values(Client* client) {
    std::map<std::string, int> values;
    for (const char* f : {"PROD", "G1", "G2", "A", "B", "C", "D", "UNKNOWN"})
      values[f] = client->Value(f);
    return values;
  }
  // The library's load calls so far: usage lists and function lists.
  std::array<uint64_t, 2> Loads() {
    return {server()->calls_of("KLIB/KRUSRFN"), server()->calls_of("KLIB/KRFNLST")};
  }
};

TEST_F(HostLoadEndToEndTest, ProcessesShareTheStoreAndFollowTheHostsChanges) {
  const std::map<std::string, int> before = {{"PROD", 0}, {"G1", 1}, {"G2", 1}, {"A", 1},
                                             {"B", 1},    {"C", 1},  {"D", 0},  {"UNKNOWN", 0}};
  Client first("HOSTA");
  EXPECT_EQ(before, Values(&first));
  EXPECT_EQ(0, first.State());
  EXPECT_EQ((std::array<uint64_t, 2>{1, 1}), Loads());

  // A second process answers from the store: no list is asked for again,
  // and the only program call is its system object's timestamp query at
  // sign-on.
  {
    uint64_t answered = server()->calls_answered();
    Client second("HOSTA");
    EXPECT_EQ(before, Values(&second));
    EXPECT_EQ((std::array<uint64_t, 2>{1, 1}), Loads());
    EXPECT_EQ(answered + 1, server()->calls_answered());
  }

  // Allowing C moves only JOE's usage timestamp on the host.
  std::array<uint8_t, 24> stamps{}, moved{};
  ErrorOut error;
  ASSERT_EQ(0u, Timestamps("JOE", u"JOE", &stamps, &error));
  Usage("C", "2");
  ASSERT_EQ(0u, Timestamps("JOE", u"JOE", &moved, &error));
  EXPECT_NE(0, std::memcmp(stamps.data(), moved.data(), 8));
  EXPECT_EQ(0, std::memcmp(stamps.data() + 8, moved.data() + 8, 16));

  // A new process sees the change, reloading the usage but not the
  // hierarchy; the first keeps the answers it has.
  Client third("HOSTA");
  std::map<std::string, int> after = before;
  after["C"] = 0;
  after["G1"] = 0;
  EXPECT_EQ(after, Values(&third));
  EXPECT_EQ((std::array<uint64_t, 2>{2, 1}), Loads());
  EXPECT_EQ(before, Values(&first));
  EXPECT_EQ(2, first.State());  // the first process's knowledge is stale
}

}  // namespace
}  // namespace zvt

namespace zvt {
namespace {

// The library and the client services each hold a connection to the
// configuration in the client's process; zvtadm commands come and go
// meanwhile, each writing and closing its own. The running client keeps
// reading the configuration soundly: none of its connections loses its
// locks to another, so no exiting command takes it for gone.
TEST_F(HostLoadEndToEndTest, ConfigurationWritersComingAndGoingLeaveARunningClientSound) {
  Client client("HOSTA");
  ASSERT_EQ(1, client.Value("A"));
  for (int i = 0; i < 8; ++i) {
    std::string command =
        testing::BinDir() + "/zvtadm system add OTHER" + std::to_string(i) +
        " --host 127.0.0.1 --port 1 --user x --password-env ZVT_TEST_PASSWORD --tls off";
    ASSERT_EQ(0, std::system(command.c_str()));
  }
  EXPECT_EQ(1, client.Value("A"));
  EXPECT_EQ(0, client.Value("D"));
  EXPECT_EQ(0, client.State());
}

}  // namespace
}  // namespace zvt
