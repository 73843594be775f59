// The certificate a benchmark's host serves TLS with, as every host does:
// self-signed, made once in the benchmark's directory and trusted by its
// clients.
#ifndef ZVT_BENCH_BENCH_TLS_H_
#define ZVT_BENCH_BENCH_TLS_H_

#include <fstream>
#include <string>

#include "hostd/host_server.h"
#include "hostd/self_signed.h"
#include "testing/temp_dir.h"

namespace zvt::bench {

// Makes "host-cert.pem" (which the clients trust) and "host-key.pem" in
// `dir` unless they are there. Returns the certificate's path, or "".
inline std::string BenchCertificate(const testing::TempDir& dir) {
  std::string cert = dir.File("host-cert.pem"), key = dir.File("host-key.pem"), error;
  if (std::ifstream(cert)) return cert;
  return hostd::WriteSelfSigned({}, cert, key, false, &error) ? cert : "";
}

// Sets a server's options to serve TLS with that certificate.
inline bool ServeTls(const testing::TempDir& dir, hostd::ServerOptions* options) {
  options->tls_certificate = BenchCertificate(dir);
  options->tls_key = dir.File("host-key.pem");
  return !options->tls_certificate.empty();
}

}  // namespace zvt::bench

#endif  // ZVT_BENCH_BENCH_TLS_H_
