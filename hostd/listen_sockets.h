// Listening TCP sockets for an address that may be a name: every address
// the name resolves to, on one port.
#ifndef ZVT_HOSTD_LISTEN_SOCKETS_H_
#define ZVT_HOSTD_LISTEN_SOCKETS_H_

#include <sys/socket.h>

#include <cstdint>
#include <string>
#include <vector>

namespace zvt::hostd {

// An address to listen on: a host name or an IPv4 or IPv6 address (empty:
// every address), and a port.
struct ListenAddress {
  std::string host;
  uint16_t port = 0;
};

// "HOST:PORT" or "[IPV6]:PORT".
std::string AddressText(const sockaddr* a);

// Sockets listening on every address of `endpoint`, on its port (0: the one
// the first socket is given), appended to `fds` with their addresses as
// AddressText writes them; `*port` is the port. On failure the sockets
// already made by this call stay in `fds` for the caller to close.
bool ListenOn(const ListenAddress& endpoint, std::vector<int>* fds,
              std::vector<std::string>* addresses, uint16_t* port, std::string* error);

}  // namespace zvt::hostd

#endif  // ZVT_HOSTD_LISTEN_SOCKETS_H_
