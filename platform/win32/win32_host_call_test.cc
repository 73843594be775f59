// A Windows process as a client of a zvthostd on another system (here: the
// Linux host under Wine, over loopback): the handshake, a sign-on refused for
// a wrong password, a signed-on program call and its answer, over TLS through
// SChannel when given the CA file the host's certificate chains to, else in
// plaintext, which the client allows with a host on this machine only.
// Usage: win32_host_call_test PORT PROFILE PASSWORD [CA_FILE]
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#include "pgm/connection.h"

int main(int argc, char** argv) {
  if (argc != 4 && argc != 5) {
    std::fprintf(stderr, "usage: %s PORT PROFILE PASSWORD [CA_FILE]\n", argv[0]);
    return 2;
  }
  using namespace zvt::pgm;
  SignOnTarget endpoint;
  endpoint.port = static_cast<uint16_t>(std::atoi(argv[1]));
  endpoint.user = argv[2];
  endpoint.password = std::string(argv[3]) + "-wrong";
  endpoint.read_timeout_ms = 10000;
  endpoint.tls = argc == 5;
  if (endpoint.tls) endpoint.tls_ca_file = argv[4];
  int passed = 0, failures = 0;
  auto check = [&](bool ok, const char* what, const std::string& detail) {
    std::printf("%s: %s (%s)\n", ok ? "ok" : "FAILED", what, detail.c_str());
    ++(ok ? passed : failures);
  };

  Failure failure;
  SignOnTarget remote = endpoint;
  remote.host = "192.0.2.1";  // a documentation address: nothing is sent there
  remote.tls = false;
  check(HostConnection::Open(remote, &failure) == nullptr && failure.cause == Failure::Cause::kTls,
        "plaintext to another machine is refused", failure.text);
  if (endpoint.tls) {
    // The same host under a name its certificate does not carry (it is
    // made for the address alone).
    SignOnTarget misnamed = endpoint;
    misnamed.host = "localhost";
    failure = Failure();
    check(HostConnection::Open(misnamed, &failure) == nullptr &&
              failure.cause == Failure::Cause::kTls &&
              failure.text.find("mismatch") != std::string::npos,
          "a certificate for another name is refused", failure.text);
  }

  failure = Failure();
  check(HostConnection::Open(endpoint, &failure) == nullptr &&
            failure.cause == Failure::Cause::kRefused,
        "a wrong password is refused", failure.text);

  endpoint.password = argv[3];
  failure = Failure();
  std::unique_ptr<HostConnection> connection = HostConnection::Open(endpoint, &failure);
  check(connection != nullptr, "signed on", failure.text);
  if (connection != nullptr) {
    zvt::wire::Call call;
    call.program = "NOLIB/NOPGM";
    zvt::wire::CallReply reply;
    bool answered = connection->Call(call, &reply, &failure);
    check(answered && !reply.ok && !reply.messages.empty() && reply.messages[0].id == "CPF9811",
          "a call to a missing program is answered with CPF9811",
          reply.messages.empty() ? failure.text : reply.messages[0].text);
  }
  std::printf("%d passed, %d failed\n", passed, failures);
  return failures == 0 ? 0 : 1;
}
