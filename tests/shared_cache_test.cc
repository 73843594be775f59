// The registry cache shared by several processes of one user: a refresh
// holding the cache mutex through a slow host conversation makes a library
// load in another process wait, which then answers from the store; and the
// cache state seen by one process follows what another stored. Each child
// is forked and builds its own store connection, mutexes and program calls.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <utility>

#include "cache/process_cache.h"
#include "cache/registry_cache.h"
#include "cache/registry_layout.h"
#include "platform/posix_registry.h"
#include "platform/posix_sync.h"
#include "services/services.h"
#include "testing/fake_client.h"
#include "testing/test_platform.h"
#include "testing/wait.h"
#include "tests/host_call_fixture.h"

namespace zvt {
namespace {

int64_t NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

// Denies "F1" to every user it loads.
class DenyF1 : public HostLoadOverride {
 public:
  uint32_t getTarvoAIValues(const std::u16string& system, const std::u16string& user,
                            std::unique_ptr<DeniedSet>* out, uint32_t,
                            const SystemHandle*) override {
    ++loads;
    if (uint32_t rc = CRegistryCache::openUserRegKey(system, user); rc != 0) return rc;
    const BYTE one = 1;
    (void)CurrentServices().registry->RegSetValueExW(CRegistryCache::userKey(), u"F1", 0,
                                                     kRegBinary, &one, 1);
    *out = std::make_unique<DeniedSet>(DeniedSet{u"F1"});
    return 0;
  }
  int loads = 0;
};

class SharedCacheTest : public testing::HostCallTest {
 protected:
  // The services of one process.
  struct ProcessServices {
    explicit ProcessServices(SharedCacheTest* t)
        : store(testing::TestRegistry::Paths(t->dir_)),
          sync(t->dir_.File("run")),
          calls(&t->handles_, pgm::ErrorLog(t->dir_.File("error.log"))),
          binding(Bind(t)) {
      ResetRegistryCacheForTesting();
    }
    ~ProcessServices() { ResetRegistryCacheForTesting(); }
    Services Bind(SharedCacheTest* t) {
      Services s;
      s.registry = &store;
      s.registry_service = &store;
      s.sync = &sync;
      s.client = &t->client_;
      s.program_calls = &calls;
      s.host_load = &load;  // constructed just after the binding, before any use
      return s;
    }
    platform::PosixRegistry store;
    platform::PosixSync sync;
    pgm::RemoteProgramCalls calls;
    ScopedServiceBinding binding;
    DenyF1 load;
  };

  template <typename Body>
  static pid_t Spawn(Body body) {
    pid_t pid = fork();
    if (pid == 0) _exit(body());
    return pid;
  }
  static int Wait(pid_t pid) {
    int status = 0;
    if (waitpid(pid, &status, 0) != pid) return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }
  // The cache state that a newly loaded library reports in a child.
  int StateInNewProcess(SystemHandle h) {
    return Wait(Spawn([this, h] {
      ProcessServices services(this);
      CAIProcessCache cache;
      uint32_t state = 9;
      return cache.getCacheState(&h, &state) == 0 ? static_cast<int>(state) : 100;
    }));
  }
  // A value refresh in this process: 0 when "F1" came back.
  int Refresh(SystemHandle h) {
    ProcessServices services(this);
    std::unique_ptr<DeniedSet> denied;
    std::u16string user = client_.system(h).user;
    uint32_t rc = CRegistryCache::getUserValues(&h, client_.system(h).name, user, &denied);
    return rc != 0 ? 1 : denied && denied->count(u"F1") ? 0 : 2;
  }
  int RefreshInNewProcess(SystemHandle h) {
    return Wait(Spawn([this, h] { return Refresh(h); }));
  }

  // Runs the host server in a process of its own, so that no thread of
  // this process holds a lock when the children are forked. Returns its port.
  uint16_t StartServerProcess(hostd::ServerOptions options) {
    int port_pipe[2];
    if (pipe(port_pipe) != 0 || pipe(command_) != 0 || pipe(answer_) != 0) return 0;
    options.store_path = dir_.File("host.db");
    options.allow_fast_hashes = true;  // the test profiles' hashes are fast
    ServeTls(&options);
    server_pid_ = Spawn([&] {
      hostd::HostServer server(options, &faults_);
      std::string error;
      uint16_t port = server.Start(&error) ? server.port() : 0;
      if (write(port_pipe[1], &port, sizeof port) != sizeof port) return 1;
      for (char c; read(command_[0], &c, 1) == 1 && c == 'c';) {
        uint64_t counts[2] = {server.calls_answered(), server.calls_of("KLIB/KRCHGTS")};
        if (write(answer_[1], counts, sizeof counts) != sizeof counts) return 1;
      }
      return 0;
    });
    uint16_t port = 0;
    if (read(port_pipe[0], &port, sizeof port) != sizeof port) port = 0;
    close(port_pipe[0]);
    close(port_pipe[1]);
    return port;
  }
  // All program calls answered, and those of the timestamp program.
  std::pair<uint64_t, uint64_t> ServerCounts() {
    uint64_t counts[2] = {};
    if (write(command_[1], "c", 1) != 1 || read(answer_[0], counts, sizeof counts) != sizeof counts)
      return {~0ull, ~0ull};
    return {counts[0], counts[1]};
  }
  void TearDown() override {
    if (server_pid_ > 0) {
      (void)write(command_[1], "q", 1);
      Wait(server_pid_);
      for (int fd : {command_[0], command_[1], answer_[0], answer_[1]}) close(fd);
    }
  }

  testing::FakeClient client_;
  testing::HandleLocator handles_{&client_, &locator_};
  pid_t server_pid_ = -1;
  int command_[2] = {-1, -1}, answer_[2] = {-1, -1};
};

TEST_F(SharedCacheTest, ALoadingLibraryWaitsForARefreshAndThenAnswersFromTheStore) {
  AddProfile("JOE");
  AddFunctions(2, "F");  // gives the registry its change timestamps
  faults_.call_delay_ms = 600;
  const uint16_t port = StartServerProcess({});
  ASSERT_NE(port, 0);
  pgm::SignOnTarget e;
  e.port = port;
  e.user = "JOE";
  e.password = "pw-JOE";
  e.read_timeout_ms = 5000;
  ConfigureTls(&e);
  locator_.Add(u"SYS1", e);
  client_.configured = {u"SYS1"};

  // A's system object has no timestamps, so its refresh asks the slow host.
  testing::FakeSystem a;
  a.name = u"SYS1";
  a.user = u"joe";
  a.signed_on = true;
  a.has_timestamps = false;
  SystemHandle ha = client_.Add(a);
  // B's reports the host's, in the in-memory form.
  hostd::Timestamps host;
  bool known = false;
  std::string error;
  ASSERT_TRUE(store()->GetTimestamps("JOE", &host, &known, &error)) << error;
  ASSERT_NE(host.hier, hostd::Stamp{});
  testing::FakeSystem b = a;
  b.has_timestamps = true;
  std::memcpy(b.user_ts.data(), host.user.data(), 8);
  std::memcpy(b.rep_ts.data(), host.rep.data(), 8);
  std::memcpy(b.hier_ts.data(), host.hier.data(), 8);
  b.user_ts = ExchangeFirstBytes(b.user_ts);
  b.rep_ts = ExchangeFirstBytes(b.rep_ts);
  b.hier_ts = ExchangeFirstBytes(b.hier_ts);
  SystemHandle hb = client_.Add(b);

  pid_t pa = Spawn([this, ha] { return Refresh(ha); });
  // Wait until A holds the registry-cache mutex.
  platform::PosixSync sync(dir_.File("run"));
  LONG create_error = 0;
  HANDLE m = sync.CreateMutexW(kRegCacheMutexName, 0, &create_error);
  ASSERT_NE(m, nullptr);
  const bool held = testing::WaitUntil([&] {
    if (sync.WaitForSingleObject(m, 0) == kWaitTimeout) return true;
    sync.ReleaseMutex(m);
    return false;
  });
  sync.CloseHandle(m);
  ASSERT_TRUE(held);

  int times[2];
  ASSERT_EQ(pipe(times), 0);
  int64_t forked = NowMs();
  pid_t pb = Spawn([this, hb, &times] {
    ProcessServices services(this);
    CAIProcessCache cache;  // loading the library takes the mutex
    int64_t loaded = NowMs();
    uint32_t v = 9;
    uint32_t rc = cache.getAIvalue(&hb, u"F1", &v);
    if (write(times[1], &loaded, sizeof loaded) != sizeof loaded) return 3;
    return rc == 0 && v == 1 && services.load.loads == 0 ? 0 : 1;
  });
  ASSERT_EQ(Wait(pa), 0);
  const auto after_a = ServerCounts();
  EXPECT_EQ(after_a.second, 1u);
  ASSERT_EQ(Wait(pb), 0);
  int64_t loaded = 0;
  ASSERT_EQ(read(times[0], &loaded, sizeof loaded), static_cast<ssize_t>(sizeof loaded));
  close(times[0]);
  close(times[1]);
  EXPECT_GE(loaded - forked, 400) << "B finished loading while A held the mutex";
  EXPECT_EQ(ServerCounts().first, after_a.first);  // B made no host call
}

TEST_F(SharedCacheTest, TheCacheStateFollowsWhatAnotherProcessStored) {
  client_.configured = {u"SYS1"};
  testing::FakeSystem s;
  s.name = u"SYS1";
  s.user = u"joe";
  s.signed_on = true;
  SystemHandle h = client_.Add(s);
  EXPECT_EQ(StateInNewProcess(h), 2);  // nothing stored yet
  ASSERT_EQ(RefreshInNewProcess(h), 0);
  EXPECT_EQ(StateInNewProcess(h), 0);

  client_.system(h).user_ts = {5};
  EXPECT_EQ(StateInNewProcess(h), 2);
  client_.system(h).user_ts = {1};
  client_.system(h).rep_ts = {5};
  EXPECT_EQ(StateInNewProcess(h), 2);
  ASSERT_EQ(RefreshInNewProcess(h), 0);
  EXPECT_EQ(StateInNewProcess(h), 0);

  client_.system(h).signed_on = false;
  EXPECT_EQ(StateInNewProcess(h), 1);
  client_.system(h).signed_on = true;
  client_.system(h).hier_ts = {};
  EXPECT_EQ(StateInNewProcess(h), 0);  // nothing to compare
}

}  // namespace
}  // namespace zvt
