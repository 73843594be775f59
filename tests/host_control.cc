// zvt_host_control: runs host servers of this build for the tests of the
// Windows build, which drive it over the line protocol of
// host_control_protocol.h. It listens on loopback, prints its port, and
// serves one connection after another until it is stopped.
// Usage: zvt_host_control DIRECTORY   (the stores are kept there)
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "hostd/host_server.h"
#include "hostd/host_store.h"
#include "testing/server_faults.h"
#include "tests/host_control_protocol.h"

namespace {

namespace control = zvt::testing::host_control;
using zvt::hostd::HostServer;
using zvt::hostd::HostStore;

class Controller {
 public:
  explicit Controller(std::string directory) : store_path_(directory + "/host.db") {}

  // The reply line (with its "\n") to one request line.
  std::string Handle(const std::string& line) {
    std::string word, error;
    std::vector<std::string> a;
    if (!control::Parse(line, &word, &a)) return Error("malformed request: " + line);
    if (word == "reset" && a.empty()) return Reset();
    if (!store_) return Error("no store: reset first");
    if (word == "profile" && a.size() == 2)
      return Done(store_->AddProfile(a[0], a[1], zvt::hostd::HashStrength::kFast, &error), error);
    if (word == "all_profiles" && a.size() == 1)
      return Done(store_->SetAllProfiles(a[0], true, &error), error);
    if (word == "function" && a.size() == 13) {
      zvt::hostd::FunctionRow f{a[0], a[1], a[2], a[3],  a[4],  a[5], a[6],
                                a[7], a[8], a[9], a[10], a[11], a[12]};
      return Done(store_->AddFunction(f, &error), error);
    }
    if (word == "usage" && a.size() == 3)
      return Done(store_->SetUsage(a[0], a[1], a[2], &error), error);
    if (word == "timestamps" && a.size() == 1) {
      zvt::hostd::Timestamps t;
      bool known = false;
      if (!store_->GetTimestamps(a[0], &t, &known, &error)) return Error(error);
      auto raw = [](const zvt::hostd::Stamp& s) { return std::string(s.begin(), s.end()); };
      return control::Line("ok", {known ? "1" : "0", raw(t.user), raw(t.rep), raw(t.hier)});
    }
    if (word == "start" && a.size() == 5) return Start(a);
    if (word == "stop" && a.empty()) {
      if (server_) server_->Stop();
      return control::Line("ok");
    }
    if (word == "calls" && a.size() <= 1) {
      uint64_t n = !server_ ? 0 : a.empty() ? server_->calls_answered() : server_->calls_of(a[0]);
      return control::Line("ok", {std::to_string(n)});
    }
    return Error("unknown request: " + word);
  }

 private:
  static std::string Error(const std::string& message) { return control::Line("error", {message}); }
  static std::string Done(bool ok, const std::string& error) {
    return ok ? control::Line("ok") : Error(error);
  }
  std::string Reset() {
    if (server_) server_->Stop();
    server_.reset();
    store_.reset();
    std::error_code ignored;
    for (const char* suffix : {"", "-wal", "-shm"})
      std::filesystem::remove(store_path_ + suffix, ignored);
    std::string error;
    store_ = HostStore::Open(store_path_, &error);
    return store_ ? control::Line("ok") : Error(error);
  }
  std::string Start(const std::vector<std::string>& a) {
    zvt::hostd::ServerOptions options;
    options.allow_fast_hashes = true;  // the test profiles' hashes are fast
    options.store_path = store_path_;
    long n[5];
    for (int i = 0; i < 5; ++i) {
      char* end = nullptr;
      n[i] = std::strtol(a[i].c_str(), &end, 10);
      if (a[i].empty() || *end != '\0') return Error("start: the options must be numbers");
    }
    if (server_) server_->Stop();
    server_.reset();
    faults_.reset_after_calls = static_cast<int>(n[0]);
    faults_.stall_after_calls = static_cast<int>(n[1]);
    faults_.call_delay_ms = static_cast<int>(n[2]);
    options.version = static_cast<uint32_t>(n[3]);
    options.release = static_cast<uint32_t>(n[4]);
    server_ = std::make_unique<HostServer>(options, &faults_);
    std::string error;
    if (!server_->Start(&error)) return Error(error);
    return control::Line("ok", {std::to_string(server_->port())});
  }

  std::string store_path_;
  std::unique_ptr<HostStore> store_;
  zvt::testing::ServerFaults faults_;  // what the next server started puts into it
  std::unique_ptr<HostServer> server_;
};

// No request of the protocol comes near this; a longer line ends the connection.
constexpr size_t kMaxLine = 1 << 20;

// Answers the requests of one connection until it closes.
void Serve(int connection, Controller* controller) {
  std::string buffer;
  char chunk[4096];
  for (;;) {
    size_t end;
    while ((end = buffer.find('\n')) == std::string::npos) {
      if (buffer.size() > kMaxLine) return;
      ssize_t n = recv(connection, chunk, sizeof chunk, 0);
      if (n <= 0) return;
      buffer.append(chunk, static_cast<size_t>(n));
    }
    std::string reply = controller->Handle(buffer.substr(0, end));
    buffer.erase(0, end + 1);
    for (size_t sent = 0; sent < reply.size();) {
      ssize_t n = send(connection, reply.data() + sent, reply.size() - sent, MSG_NOSIGNAL);
      if (n <= 0) return;
      sent += static_cast<size_t>(n);
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s DIRECTORY\n", argv[0]);
    return 2;
  }
  int listener = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  if (listener < 0 || bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      listen(listener, 4) != 0 ||
      getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    std::perror("zvt_host_control: cannot listen on loopback");
    return 1;
  }
  std::printf("%u\n", ntohs(address.sin_port));
  std::fflush(stdout);
  Controller controller(argv[1]);
  for (;;) {
    int connection = accept(listener, nullptr, nullptr);
    if (connection < 0) {
      if (errno == EINTR || errno == ECONNABORTED) continue;
      std::perror("zvt_host_control: accept");
      return 1;
    }
    Serve(connection, &controller);
    close(connection);
  }
}
