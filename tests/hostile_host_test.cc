// A host that frames its replies correctly but fills them with nonsense:
// a relay in front of a real zvthostd rewrites the receivers, and the
// library must fail the call rather than store a wrong answer as current.

#include <sys/resource.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "host/admin_host_apis.h"
#include "pgm/big_endian.h"
#include "tests/admin_client.h"
#include "tests/client_process_fixture.h"
#include "tests/tampering_relay.h"

namespace zvt {
namespace {

using testing::Client;
using testing::TamperingRelay;

// The list receiver header: bytes returned, bytes available, continuation
// handle, offset to first entry, number of entries, entry length.
constexpr size_t kReturned = 0, kHandle = 8, kOffset = 28, kCount = 32, kLength = 36;
constexpr size_t kHeader = 40;

void Put32(std::string* r, size_t at, uint32_t v) {
  if (r->size() >= at + 4) std::memcpy(&(*r)[at], big_endian::Bytes32(v).data(), 4);
}
uint32_t Get32(const std::string& r, size_t at) {
  return r.size() >= at + 4 ? big_endian::Load32(r.substr(at, 4)) : 0;
}

struct Malformed {
  const char* what;
  TamperingRelay::Rewrite rewrite;
};

// Each way of describing entries that are not there.
std::vector<Malformed> MalformedLists() {
  return {
      {"offset to the first entry beyond the data, blank handle",
       [](std::string* r) { Put32(r, kOffset, Get32(*r, kReturned) + 100); }},
      {"an empty receiver", [](std::string* r) { r->clear(); }},
      {"a 20-byte receiver", [](std::string* r) { r->resize(20); }},
      {"entry length 0", [](std::string* r) { Put32(r, kLength, 0); }},
      {"entry length shorter than an entry",
       [](std::string* r) { Put32(r, kLength, Get32(*r, kLength) - 1); }},
      {"a count of 60,000 with 3 entries sent",
       [](std::string* r) {
         r->resize(kHeader + 3 * Get32(*r, kLength));
         Put32(r, kReturned, static_cast<uint32_t>(r->size()));
         Put32(r, kCount, 60000);
       }},
      {"a count of 5,000 with 4 entries sent",
       [](std::string* r) {
         r->resize(kHeader + 4 * Get32(*r, kLength));
         Put32(r, kReturned, static_cast<uint32_t>(r->size()));
         Put32(r, kCount, 5000);
       }},
      // Fewer entries announced than carried: the list would end early.
      {"a count of 0 with the entries after it", [](std::string* r) { Put32(r, kCount, 0); }},
      {"a count one short, the last entry left out",
       [](std::string* r) { Put32(r, kCount, Get32(*r, kCount) - 1); }},
      {"a count of 1 with 3 entries sent",
       [](std::string* r) {
         r->resize(kHeader + 3 * Get32(*r, kLength));
         Put32(r, kReturned, static_cast<uint32_t>(r->size()));
         Put32(r, kCount, 1);
       }},
      {"bytes returned beyond the receiver",
       [](std::string* r) { Put32(r, kReturned, 0xFFFFFFF0u); }},
      {"bytes available fewer than bytes returned", [](std::string* r) { Put32(r, 4, 12); }},
      {"offset to the first entry inside the header",
       [](std::string* r) { Put32(r, kOffset, 12); }},
      {"a 1 GiB offset and a handle that promises more",
       [](std::string* r) {
         Put32(r, kOffset, 1u << 30);
         if (r->size() >= kHandle + 20) std::memset(&(*r)[kHandle], 'Z', 20);
       }},
  };
}

class HostileHostTest : public testing::ClientProcessTest {
 protected:
  void SetUp() override {
    tls_ = false;  // the relay reads and rewrites the frames
    SetUpHost({"A", "B", "C"});
    relay_ = std::make_unique<TamperingRelay>(server()->port());
    ASSERT_TRUE(relay_->Start());
    std::string command =
        testing::BinDir() + "/zvtadm system add EVIL --host 127.0.0.1 --port " +
        std::to_string(relay_->port()) +
        " --user joe --password-env ZVT_TEST_PASSWORD --supply-timestamps --tls off";
    ASSERT_EQ(0, std::system(command.c_str()));
  }
  // Forgets what the clients stored, so that the next one loads again.
  void ClearCache() {
    std::string command = testing::BinDir() + "/zvtadm cache clear EVIL >/dev/null 2>&1";
    (void)std::system(command.c_str());  // nonzero when there is nothing to clear
  }

  std::unique_ptr<TamperingRelay> relay_;
};

const char* const kDenied[] = {"A", "B", "C", "G2", "G1"};
const char* const kAllowed[] = {"D", "PROD"};

// A malformed usage list or timestamp receiver fails every query, stores
// nothing as current, and the next query against a sound host is right.
TEST_F(HostileHostTest, AMalformedUsageListOrTimestampReceiverFailsTheQuery) {
  std::vector<std::pair<std::string, Malformed>> cases;
  for (Malformed& m : MalformedLists()) cases.emplace_back("KLIB/KRUSRFN", std::move(m));
  cases.emplace_back("KLIB/KRCHGTS", Malformed{"a timestamp receiver of 20 bytes",
                                               [](std::string* r) { r->resize(20); }});
  cases.emplace_back("KLIB/KRCHGTS",
                     Malformed{"an empty timestamp receiver", [](std::string* r) { r->clear(); }});
  for (auto& [program, m] : cases) {
    SCOPED_TRACE(program + ": " + m.what);
    ClearCache();
    relay_->Tamper(program, m.rewrite);
    uint64_t before = relay_->rewritten();
    {
      Client client("EVIL");
      for (const char* f : kDenied) EXPECT_EQ(-1, client.Value(f)) << f;
      EXPECT_NE(0, client.State());
    }
    EXPECT_GT(relay_->rewritten(), before);
    // Another process finds nothing current either.
    relay_->PassAll();
    Client next("EVIL");
    for (const char* f : kDenied) EXPECT_EQ(1, next.Value(f)) << f;
    for (const char* f : kAllowed) EXPECT_EQ(0, next.Value(f)) << f;
    EXPECT_EQ(0, next.State());
  }
}

// A malformed function list fails the list call; the refresh then goes on
// with the hierarchy it has, as the library does whenever the list cannot
// be had: the functions denied by name stay denied.
TEST_F(HostileHostTest, AMalformedFunctionListNeverUndeniesAFunctionDeniedByName) {
  for (Malformed& m : MalformedLists()) {
    SCOPED_TRACE(m.what);
    ClearCache();
    relay_->Tamper("KLIB/KRFNLST", m.rewrite);
    {
      Client client("EVIL");
      for (const char* f : {"A", "B", "C"}) EXPECT_EQ(1, client.Value(f)) << f;
      EXPECT_EQ(0, client.Value("D"));
    }
    relay_->PassAll();
  }
}

// A host that keeps a list going (each part its first again, each with a
// handle that promises more) holds the query, and the cache's mutex, only
// until the conversation's deadline: far fewer parts than the bound on a
// list's entries would let through, then the query fails.
TEST_F(HostileHostTest, AListThatNeverEndsFailsAtTheConversationsDeadline) {
  std::string command =
      testing::BinDir() + "/zvtadm system add ENDLESS --host 127.0.0.1 --port " +
      std::to_string(relay_->port()) +
      " --user joe --password-env ZVT_TEST_PASSWORD --tls off --conversation-timeout-ms 1000";
  ASSERT_EQ(0, std::system(command.c_str()));
  relay_->TamperCalls("KLIB/KRUSRFN",
                      [](std::vector<std::string>* inputs) { (*inputs)[0].assign(20, '\x40'); });
  relay_->Tamper("KLIB/KRUSRFN", [](std::string* r) {
    if (r->size() >= kHandle + 20) std::memset(&(*r)[kHandle], 'Z', 20);
  });
  uint64_t before = relay_->rewritten();
  {
    Client client("ENDLESS");
    EXPECT_EQ(-1, client.Value("A"));
  }
  const uint64_t parts = relay_->rewritten() - before;
  std::printf("the endless list was cut after %llu parts\n",
              static_cast<unsigned long long>(parts));
  EXPECT_GT(parts, 1u);
  EXPECT_LT(parts, kMaxListEntries / 7 / 2);  // 7 entries a part
  relay_->PassAll();
  Client next("ENDLESS");
  EXPECT_EQ(1, next.Value("A"));
}

// The 1 GiB offset under an address-space limit of 1.5 GB: the client
// neither dies nor answers; it fails the query.
TEST_F(HostileHostTest, AHugeOffsetUnderAnAddressSpaceLimitFailsWithoutACrash) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "the sanitizers reserve more address space than the limit";
#endif
  for (const char* program : {"KLIB/KRUSRFN", "KLIB/KRFNLST"}) {
    SCOPED_TRACE(program);
    ClearCache();
    relay_->Tamper(program, MalformedLists().back().rewrite);
    setenv("ZVT_TEST_ADDRESS_LIMIT", "1500000000", 1);
    Client client("EVIL");
    unsetenv("ZVT_TEST_ADDRESS_LIMIT");
    if (std::string(program) == "KLIB/KRUSRFN") {
      EXPECT_EQ(-1, client.Value("A"));
    } else {
      EXPECT_EQ(1, client.Value("A"));
    }
    EXPECT_EQ(0, client.Value("D") > 0);
    relay_->PassAll();
  }
}

}  // namespace
}  // namespace zvt
