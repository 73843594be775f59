// zvthostd under a flood, as a process of its own: a thousand connections
// that never sign on and forty signed-on ones that announce 16 MiB frames
// and send a few bytes of them. A real client is still signed on and
// answered, the server's memory grows by less than 64 MiB,
// and with its descriptors used up it idles rather than spins.
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <thread>

#include "pgm/big_endian.h"
#include "pgm/connection.h"
#include "pgm/tls.h"
#include "pgm/wire.h"
#include "tests/host_call_fixture.h"

namespace zvt::testing {
namespace {

using Clock = std::chrono::steady_clock;

// A field of /proc/PID/status, in kB.
long StatusKb(pid_t pid, const std::string& field) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(in, line))
    if (line.rfind(field + ":", 0) == 0) return std::stol(line.substr(field.size() + 1));
  return -1;
}

// The process's user and system time so far, in clock ticks.
long CpuTicks(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::istringstream fields(text.substr(text.rfind(')') + 2));
  std::string skip;
  for (int i = 3; i < 14; ++i) fields >> skip;
  long user = 0, system = 0;
  fields >> user >> system;
  return user + system;
}

class HostLimitsTest : public HostCallTest {
 protected:
  // Starts zvthostd with at most `descriptors` open files.
  void StartProcess(rlim_t descriptors) {
    const char* bin = std::getenv("ZVT_TEST_BIN");
    ASSERT_NE(bin, nullptr);
    hostd::ServerOptions tls;
    tls.allow_fast_hashes = true;  // the test profiles' hashes are fast
    ServeTls(&tls);
    const std::string port_file = dir_.File("port"), store = dir_.File("host.db");
    std::ofstream(dir_.File("limits.json")) << R"({"handshake_timeout_ms": 60000})";
    const std::string config = dir_.File("limits.json");
    host_ = fork();
    if (host_ == 0) {
      struct rlimit files = {descriptors, descriptors};
      setrlimit(RLIMIT_NOFILE, &files);
      std::string exe = std::string(bin) + "/zvthostd";
      execl(exe.c_str(), exe.c_str(), "--allow-fast-hashes", "--listen", "127.0.0.1:0", "--store",
            store.c_str(), "--config", config.c_str(), "--port-file", port_file.c_str(),
            "--log-level", "err", "--tls-cert", tls.tls_certificate.c_str(), "--tls-key",
            tls.tls_key.c_str(), nullptr);
      _exit(127);
    }
    for (int i = 0; i < 2400 && port_ == 0; ++i) {
      std::ifstream in(port_file);
      if (!(in >> port_)) std::this_thread::sleep_for(std::chrono::milliseconds(25));
    }
    ASSERT_GT(port_, 0);
  }
  void TearDown() override {
    for (auto& s : streams_) s.reset();
    for (int fd : raw_) close(fd);
    if (host_ > 0) {
      kill(host_, SIGTERM);
      waitpid(host_, nullptr, 0);
    }
  }

  pgm::SignOnTarget Joe() {
    pgm::SignOnTarget e;
    e.port = static_cast<uint16_t>(port_);
    e.user = "JOE";
    e.password = "pw-JOE";
    e.connect_timeout_ms = 2000;
    e.read_timeout_ms = 2000;
    ConfigureTls(&e);
    return e;
  }
  // JOE signs on and reads his change timestamps; the time it took, or -1.
  double AskTimestamps() {
    auto start = Clock::now();
    pgm::Failure failure;
    auto c = pgm::HostConnection::Open(Joe(), &failure);
    if (!c) {
      ADD_FAILURE() << failure.text;
      return -1;
    }
    wire::Call call = JoeTimestampsCall();
    wire::CallReply reply;
    if (!c->Call(call, &reply, &failure) || !reply.ok) {
      ADD_FAILURE() << failure.text << (reply.messages.empty() ? "" : reply.messages[0].text);
      return -1;
    }
    return std::chrono::duration<double>(Clock::now() - start).count();
  }
  // A TCP connection that says nothing.
  bool Idle() {
    sockets::ConnectFailure why;
    int fd = sockets::Connect("127.0.0.1", static_cast<uint16_t>(port_), 2000, &why);
    if (fd >= 0) raw_.push_back(fd);
    return fd >= 0;
  }
  // A TLS session that has not said Hello; with `announce`, one that signed
  // on and then sent the header of a 16 MiB frame and a kilobyte of it.
  bool Session(bool announce) {
    sockets::ConnectFailure why;
    int fd = sockets::Connect("127.0.0.1", static_cast<uint16_t>(port_), 2000, &why);
    if (fd < 0) return false;
    std::string error;
    auto trust = tls::LoadClientContext(TlsCaFile(), &error);
    auto stream = tls::Connect(trust.get(), fd, "127.0.0.1", 5000, &error);
    if (!stream) return false;
    if (announce) {
      wire::FrameSocket reader(stream.get());
      wire::Frame frame;
      std::string big = big_endian::Bytes32(16u << 20) + "\x05" + std::string(1024, 'x');
      if (!wire::WriteAll(stream.get(),
                          wire::EncodeFrame(wire::FrameType::kHello, wire::Encode(wire::Hello{})),
                          2000, &error) ||
          !reader.Read(1 << 20, 2000, &frame, &error) ||
          !wire::WriteAll(stream.get(),
                          wire::EncodeFrame(wire::FrameType::kSignon,
                                            wire::Encode(wire::Signon{"JOE", "pw-JOE", ""})),
                          2000, &error) ||
          !reader.Read(1 << 20, 2000, &frame, &error) ||
          frame.type != wire::FrameType::kSignonReply ||
          !wire::WriteAll(stream.get(), big, 2000, &error))
        return false;
    }
    streams_.push_back(std::move(stream));
    return true;
  }

  pid_t host_ = -1;
  int port_ = 0;
  std::vector<int> raw_;
  std::vector<std::unique_ptr<sockets::Stream>> streams_;
};

TEST_F(HostLimitsTest, AFloodNeitherStarvesARealClientNorGrowsOrSpinsTheServer) {
  AddProfile("JOE");
  AddFunctions(20, "F");
  constexpr rlim_t kDescriptors = 1200;
  StartProcess(kDescriptors);
  ASSERT_GT(AskTimestamps(), 0);  // the workers have their stores open
  const long idle_kb = StatusKb(host_, "VmRSS");
  ASSERT_GT(idle_kb, 0);

  for (int i = 0; i < 500; ++i) ASSERT_TRUE(Idle()) << i;
  for (int i = 0; i < 500; ++i) ASSERT_TRUE(Session(false)) << i;
  for (int i = 0; i < 40; ++i) ASSERT_TRUE(Session(true)) << i;
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  // Signed on and answered within the client's own time-outs (how long it
  // took is printed, not judged: a loaded machine must not fail the test).
  const double seconds = AskTimestamps();
  EXPECT_GT(seconds, 0);
  const long flooded_kb = StatusKb(host_, "VmRSS");
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
  // (The sanitizers keep freed memory aside and shadow all of it.)
  EXPECT_LT(flooded_kb - idle_kb, 64 * 1024)
      << "idle " << idle_kb << " kB, flooded " << flooded_kb << " kB";
#endif

  // Every descriptor in use, more clients knocking: accepting pauses.
  int knocking = 0;
  for (int i = 0; i < 300; ++i) knocking += Idle();
  EXPECT_GT(knocking, 0);
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  const long before = CpuTicks(host_);
  std::this_thread::sleep_for(std::chrono::seconds(2));
  const double share = static_cast<double>(CpuTicks(host_) - before) / sysconf(_SC_CLK_TCK) / 2.0;
  EXPECT_LT(share, 0.05) << "of a core while idle at the descriptor limit";
  std::printf(
      "answered in %.1f ms; RSS %ld kB idle, %ld kB flooded; %.2f%% of a core at the "
      "descriptor limit\n",
      seconds * 1000, idle_kb, flooded_kb, share * 100);
  kill(host_, 0);
  int status = 0;
  EXPECT_EQ(0, waitpid(host_, &status, WNOHANG)) << "zvthostd ended";
}

}  // namespace
}  // namespace zvt::testing
