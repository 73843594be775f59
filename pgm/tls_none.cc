// A build without TLS: every context fails to load, so a client connects
// only in plaintext, which it allows with a host on this machine alone.
#include "pgm/tls.h"

namespace zvt::tls {

class ClientContext {};
class ServerContext {};

namespace {
constexpr char kUnavailable[] = "TLS is not available in this build of the client";
}  // namespace

bool Available() { return false; }

std::shared_ptr<ClientContext> LoadClientContext(const std::string&, std::string* error) {
  *error = kUnavailable;
  return nullptr;
}

std::unique_ptr<sockets::Stream> Connect(ClientContext*, sockets::Handle s, const std::string&, int,
                                         std::string* error) {
  sockets::Close(s);
  *error = kUnavailable;
  return nullptr;
}

std::shared_ptr<ServerContext> LoadServerContext(const std::string&, const std::string&,
                                                 std::string* error) {
  *error = kUnavailable;
  return nullptr;
}

std::unique_ptr<sockets::Stream> Accept(std::shared_ptr<ServerContext>, sockets::Handle s) {
  sockets::Close(s);
  return nullptr;
}

}  // namespace zvt::tls
