// Two zvthostd processes over one PostgreSQL database, and a client
// configured with both: a change made on the shared registry is seen by a
// client of either instance at its next query, and when the instance the
// client uses stops, the next query is served by the other.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <initializer_list>
#include <sstream>
#include <thread>

#include "hostd/self_signed.h"
#include "testing/test_store.h"
#include "testing/wait.h"
#include "tests/admin_client.h"

namespace zvt {
namespace {

using hostd::testing::Backend;
using hostd::testing::TestStore;

class MultiHostTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!pg_.unavailable().empty()) {
      if (TestStore::Required()) FAIL() << pg_.unavailable();
      GTEST_SKIP() << pg_.unavailable();
    }
    for (const char* d : {"home", "run"}) ASSERT_EQ(0, mkdir(dir_.File(d).c_str(), 0700));
    setenv("ZVT_HOME", dir_.File("home").c_str(), 1);
    setenv("ZVT_CLASSES_DB", dir_.File("classes.db").c_str(), 1);
    setenv("XDG_RUNTIME_DIR", dir_.File("run").c_str(), 1);
    setenv("ZVT_TEST_PASSWORD", "pw-JOE", 1);
    std::string error;
    ASSERT_TRUE(
        hostd::WriteSelfSigned({}, dir_.File("cert.pem"), dir_.File("key.pem"), false, &error))
        << error;
  }
  void TearDown() override {
    for (pid_t& pid : hosts_) Stop(&pid);
  }

  // Runs a command line; its exit code.
  static int Run(const std::string& command) {
    int status = std::system(command.c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
  std::string Admin() {
    return testing::BinDir() + "/zvtadm host --store '" + pg_.location() + "' ";
  }

  // Starts instance `i` of zvthostd on the shared store; its port.
  int StartInstance(int i) {
    const std::string port_file = dir_.File("port" + std::to_string(i));
    const std::string log = CallLog(i), store = pg_.location();
    const std::string cert = dir_.File("cert.pem"), key = dir_.File("key.pem");
    pid_t pid = fork();
    if (pid == 0) {
      std::string exe = testing::BinDir() + "/zvthostd";
      execl(exe.c_str(), exe.c_str(), "--allow-fast-hashes", "--listen", "127.0.0.1:0", "--store",
            store.c_str(), "--port-file", port_file.c_str(), "--call-log", log.c_str(),
            "--log-level", "err", "--tls-cert", cert.c_str(), "--tls-key", key.c_str(), nullptr);
      _exit(127);
    }
    hosts_[i] = pid;
    int port = 0;
    for (int t = 0; t < 2400 && port == 0; ++t) {
      std::ifstream in(port_file);
      if (!(in >> port)) std::this_thread::sleep_for(std::chrono::milliseconds(25));
    }
    return port;
  }
  static void Stop(pid_t* pid) {
    if (*pid <= 0) return;
    kill(*pid, SIGTERM);
    waitpid(*pid, nullptr, 0);
    *pid = -1;
  }
  std::string CallLog(int i) { return dir_.File("calls" + std::to_string(i) + ".log"); }
  // Calls of `program` instance `i` answered so far.
  int Calls(int i, const std::string& program) {
    std::ifstream in(CallLog(i));
    int n = 0;
    for (std::string line; std::getline(in, line);) n += line.find(program) != std::string::npos;
    return n;
  }
  // What `zvtadm state` says of the cache: "current", "stale", ...
  static std::string State() {
    std::string command = testing::BinDir() + "/zvtadm state HOSTA 2>&1";
    FILE* out = popen(command.c_str(), "r");
    char line[512] = "";
    if (out == nullptr || std::fgets(line, sizeof line, out) == nullptr) line[0] = '\0';
    if (out != nullptr) pclose(out);
    std::string text = line;
    return text.rfind("HOSTA: ", 0) == 0 ? text.substr(7, text.find('\n') - 7) : text;
  }
  // The schema, made as an administrator would, and a small registry: PROD
  // holding `items`, the first of them denied to JOE.
  void MakeRegistry(std::initializer_list<const char*> items) {
    ASSERT_EQ(0, Run(testing::BinDir() + "/zvthostd --migrate --store '" + pg_.location() +
                     "' >/dev/null"));
    const std::string admin = Admin();
    ASSERT_EQ(0, Run(admin + "user add JOE --password-env ZVT_TEST_PASSWORD --fast-hash"));
    ASSERT_EQ(0, Run(admin + "function add PROD --type 1 >/dev/null"));
    for (const char* f : items)
      ASSERT_EQ(0, Run(admin + "function add " + f + " --root PROD --parent PROD >/dev/null"));
    ASSERT_EQ(0, Run(admin + "usage JOE " + *items.begin() + " 1"));
  }
  // The client's system HOSTA for JOE at `hosts` (a host list).
  void ConfigureClient(const std::string& hosts, int port) {
    ASSERT_EQ(0, Run(testing::BinDir() + "/zvtadm system add HOSTA --host '" + hosts + "' --port " +
                     std::to_string(port) +
                     " --user joe --password-env ZVT_TEST_PASSWORD --supply-timestamps --tls-ca " +
                     dir_.File("cert.pem")));
  }
  int Ask(testing::Client& client, const std::string& command) {
    return client.Send(command) ? client.Receive() : -2;
  }

  TestStore pg_{Backend::kPostgres};
  zvt::testing::TempDir dir_;
  pid_t hosts_[2] = {-1, -1};
};

TEST_F(MultiHostTest, AChangeOnOneRegistryReachesEveryInstanceAndAStoppedOneIsPassedOver) {
  ASSERT_NO_FATAL_FAILURE(MakeRegistry({"A", "B"}));
  const std::string admin = Admin();
  const int port_a = StartInstance(0), port_b = StartInstance(1);
  ASSERT_GT(port_a, 0);
  ASSERT_GT(port_b, 0);
  ASSERT_NO_FATAL_FAILURE(ConfigureClient(
      "127.0.0.1:" + std::to_string(port_a) + ", 127.0.0.1:" + std::to_string(port_b), port_a));

  // Each client process signs on anew and so gets the host's timestamps of
  // that moment; within a process the answers stay as first loaded.
  {
    testing::Client client("HOSTA");
    EXPECT_EQ(Ask(client, "v A"), 1);
    EXPECT_EQ(Ask(client, "v B"), 0);
  }
  EXPECT_EQ(State(), "current");
  const int usage_loads = Calls(0, "KRUSRFN");
  EXPECT_EQ(usage_loads, 1);
  EXPECT_EQ(Calls(1, "KLIB"), 0) << "the first instance listed serves while it is up";

  // A change made on the shared registry is seen through A, which holds
  // the timestamps it answered in memory: the database tells it of the
  // change as the change commits, and it answers anew once told.
  ASSERT_EQ(0, Run(admin + "usage JOE B 1"));
  EXPECT_TRUE(
      zvt::testing::WaitUntil([&] { return State() == "stale"; }, std::chrono::milliseconds(20)))
      << "JOE's usage moved";
  {
    testing::Client client("HOSTA");
    EXPECT_EQ(Ask(client, "v B"), 1);
    EXPECT_EQ(Ask(client, "v A"), 1);
  }
  EXPECT_EQ(State(), "current");
  EXPECT_EQ(Calls(0, "KRUSRFN"), usage_loads + 1) << "one usage reload";

  // A stops; the next client is served by B, and sees the next change.
  Stop(&hosts_[0]);
  ASSERT_EQ(0, Run(admin + "usage JOE A 2"));
  {
    testing::Client client("HOSTA");
    EXPECT_EQ(Ask(client, "v A"), 0);
    EXPECT_EQ(Ask(client, "v B"), 1);
  }
  EXPECT_GE(Calls(1, "KRCHGTS"), 1);
  EXPECT_EQ(Calls(1, "KRUSRFN"), 1);
  EXPECT_EQ(Calls(0, "KRUSRFN"), usage_loads + 1);
  EXPECT_EQ(State(), "current");
}

// A database that fails under the instances (here: a table gone) makes
// every query that needs it fail; no answer says "not denied" for a denied
// function, and once the database is whole again the answers are right.
// The instance holds what it read in memory and answers from there while
// nothing moved; a notification on its channel (as any change sends) makes
// it read the timestamps again, which needs each of these tables, so that
// from then on its answers are failures until the table is back.
TEST_F(MultiHostTest, ABrokenDatabaseGivesErrorsNeverNotDenied) {
  ASSERT_NO_FATAL_FAILURE(MakeRegistry({"A"}));
  const int port = StartInstance(0);
  ASSERT_GT(port, 0);
  ASSERT_NO_FATAL_FAILURE(ConfigureClient("127.0.0.1", port));
  // Each damage comes with the instance's connections ended (as by a
  // restart of the database), so that no statement prepared before it
  // outlives it, and with the notification.
  const std::string drop_sessions =
      "; SELECT pg_terminate_backend(pid) FROM pg_stat_activity WHERE application_name = "
      "'zvthostd' AND datname = current_database() AND pid <> pg_backend_pid(); "
      "NOTIFY zvt_stamps";
  // Asks until the answer is `wanted`; none on the way may be "not denied".
  auto answers = [&](int wanted) {
    return zvt::testing::WaitUntil(
        [&] {
          testing::Client client("HOSTA");
          const int answer = Ask(client, "v A");
          EXPECT_NE(answer, 0) << "A is denied";
          return answer == wanted;
        },
        std::chrono::milliseconds(20));
  };
  std::string error;
  for (const char* damage : {"ALTER TABLE stamps RENAME TO stamps_gone",
                             "ALTER TABLE functions RENAME TO functions_gone",
                             "ALTER TABLE profiles RENAME TO profiles_gone"}) {
    SCOPED_TRACE(damage);
    ASSERT_TRUE(pg_.Sql(damage + drop_sessions, &error)) << error;
    EXPECT_TRUE(answers(-1)) << "a failed call, not an answer";
    std::string undo = damage;
    std::string table = undo.substr(12, undo.find(' ', 12) - 12);
    ASSERT_TRUE(
        pg_.Sql("ALTER TABLE " + table + "_gone RENAME TO " + table + drop_sessions, &error))
        << error;
    EXPECT_TRUE(answers(1));
  }
}

}  // namespace
}  // namespace zvt
