// Listening TCP sockets: a name or an address resolved, each address bound
// on one port.

#include "hostd/listen_sockets.h"

#include <arpa/inet.h>
#include <errno.h>
#include <netdb.h>
#include <netinet/in.h>
#include <unistd.h>

#include <cstring>
#include <memory>

namespace zvt::hostd {

// "HOST:PORT" or "[IPV6]:PORT".
std::string AddressText(const sockaddr* a) {
  char host[INET6_ADDRSTRLEN] = "?";
  uint16_t port = 0;
  if (a->sa_family == AF_INET6) {
    auto* in6 = reinterpret_cast<const sockaddr_in6*>(a);
    inet_ntop(AF_INET6, &in6->sin6_addr, host, sizeof host);
    return "[" + std::string(host) + "]:" + std::to_string(ntohs(in6->sin6_port));
  }
  if (a->sa_family == AF_INET) {
    auto* in = reinterpret_cast<const sockaddr_in*>(a);
    inet_ntop(AF_INET, &in->sin_addr, host, sizeof host);
    port = ntohs(in->sin_port);
  }
  return std::string(host) + ":" + std::to_string(port);
}

bool ListenOn(const ListenAddress& endpoint, std::vector<int>* fds,
              std::vector<std::string>* addresses, uint16_t* port_out, std::string* error) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
  addrinfo* found = nullptr;
  const char* host = endpoint.host.empty() ? nullptr : endpoint.host.c_str();
  uint16_t port = endpoint.port;
  if (int rc = getaddrinfo(host, std::to_string(port).c_str(), &hints, &found); rc != 0) {
    *error = "cannot resolve " + endpoint.host + ": " + gai_strerror(rc);
    return false;
  }
  std::unique_ptr<addrinfo, decltype(&freeaddrinfo)> results(found, freeaddrinfo);
  for (addrinfo* ai = found; ai != nullptr; ai = ai->ai_next) {
    // Every address of a name on one port: the first one bound picks it
    // when the port is 0.
    if (ai->ai_family == AF_INET6)
      reinterpret_cast<sockaddr_in6*>(ai->ai_addr)->sin6_port = htons(port);
    else if (ai->ai_family == AF_INET)
      reinterpret_cast<sockaddr_in*>(ai->ai_addr)->sin_port = htons(port);
    int fd = socket(ai->ai_family, ai->ai_socktype | SOCK_CLOEXEC, ai->ai_protocol);
    int one = 1;
    if (fd >= 0) setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (fd >= 0 && ai->ai_family == AF_INET6)
      setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &one, sizeof one);
    if (fd < 0 || bind(fd, ai->ai_addr, ai->ai_addrlen) != 0 || listen(fd, SOMAXCONN) != 0) {
      *error = "cannot listen on " + AddressText(ai->ai_addr) + ": " + std::strerror(errno);
      if (fd >= 0) close(fd);
      return false;
    }
    sockaddr_storage bound{};
    socklen_t len = sizeof bound;
    getsockname(fd, reinterpret_cast<sockaddr*>(&bound), &len);
    port = ntohs(bound.ss_family == AF_INET6 ? reinterpret_cast<sockaddr_in6*>(&bound)->sin6_port
                                             : reinterpret_cast<sockaddr_in*>(&bound)->sin_port);
    fds->push_back(fd);
    addresses->push_back(AddressText(reinterpret_cast<sockaddr*>(&bound)));
  }
  *port_out = port;
  return true;
}

}  // namespace zvt::hostd
