// TLS for the wire protocol: contexts that hold what a client trusts and
// what a server presents, and streams that run a TLS session over a
// connected non-blocking socket. TLS 1.2 is the oldest version either side
// accepts; 1.3 is used whenever both sides have it.
#ifndef ZVT_PGM_TLS_H_
#define ZVT_PGM_TLS_H_

#include <memory>
#include <string>

#include "pgm/sockets.h"

namespace zvt::tls {

// False in a build without TLS; every context then fails to load.
bool Available();

// What a client trusts: the certificates of a CA file in PEM, or the
// system's trust store. Shared by any number of connections and threads.
class ClientContext;
// Empty `ca_file`: the system's trust store.
std::shared_ptr<ClientContext> LoadClientContext(const std::string& ca_file, std::string* error);

// A client session on the connected socket `s` (owned by the stream from
// here on, also when this fails), its handshake completed within
// `timeout_ms`. The server must present a certificate that chains to the
// context's trust and names `host` (a DNS name, or an IP address as
// written). Null with `*error` saying why the session was not made.
std::unique_ptr<sockets::Stream> Connect(ClientContext* context, sockets::Handle s,
                                         const std::string& host, int timeout_ms,
                                         std::string* error);

// What a server presents: a certificate chain and its private key, both PEM.
class ServerContext;
std::shared_ptr<ServerContext> LoadServerContext(const std::string& certificate_file,
                                                 const std::string& key_file, std::string* error);

// A server session on the accepted socket `s` (owned by the stream). The
// handshake runs as the first reads and writes need it; a failed handshake
// is a failed read that says why.
std::unique_ptr<sockets::Stream> Accept(std::shared_ptr<ServerContext> context, sockets::Handle s);

// The first byte of every TLS connection (a handshake record): what a
// server may look for to tell a client that speaks TLS from one that does not.
inline constexpr unsigned char kHandshakeRecord = 0x16;

}  // namespace zvt::tls

#endif  // ZVT_PGM_TLS_H_
