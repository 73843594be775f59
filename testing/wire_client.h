// A client of the host server that speaks the wire frame by frame (or sends
// and reads raw bytes, for other listeners), from a source address of the
// test's choosing (any of 127.0.0.0/8 stands for another machine), for tests
// that play attackers and broken clients.
#ifndef ZVT_TESTING_WIRE_CLIENT_H_
#define ZVT_TESTING_WIRE_CLIENT_H_

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <memory>
#include <string>

#include "pgm/sockets.h"
#include "pgm/wire.h"

namespace zvt::testing {

class WireClient {
 public:
  // Connects to the port on 127.0.0.1 from `source` (an IPv4 address).
  explicit WireClient(uint16_t port, const char* source = "127.0.0.1")
      : fd_(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
    sockaddr_in from{};
    from.sin_family = AF_INET;
    inet_pton(AF_INET, source, &from.sin_addr);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    connected_ = bind(fd_, reinterpret_cast<sockaddr*>(&from), sizeof from) == 0 &&
                 connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
  }

  bool connected() const { return connected_; }
  // Makes the close a reset rather than an orderly end.
  void ResetOnClose() {
    struct linger hard = {1, 0};
    setsockopt(fd_, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
  }
  bool Send(const std::string& bytes) {
    return write(fd_, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size());
  }
  bool Send(wire::FrameType type, const std::string& payload) {
    return Send(wire::EncodeFrame(type, payload));
  }
  // The next frame, or false when the connection ends first.
  bool Receive(wire::Frame* frame, int timeout_ms = 60000) {
    std::string error;
    return reader_.Read(16u << 20, timeout_ms, frame, &error);
  }
  // Up to `n` bytes as they come, for a peer that speaks something else
  // than frames (empty: the connection ended). Not mixed with Receive.
  std::string ReadRaw(size_t n) {
    std::string out(n, '\0');
    const ssize_t got = read(fd_, out.data(), n);
    out.resize(got > 0 ? static_cast<size_t>(got) : 0);
    return out;
  }
  // The code of the ProtocolError that ends the connection (0: none).
  uint16_t ProtocolErrorCode(int timeout_ms = 60000) {
    wire::Frame frame;
    wire::ProtocolError e;
    std::string error;
    if (!Receive(&frame, timeout_ms) || frame.type != wire::FrameType::kProtocolError ||
        !wire::Decode(frame.payload, &e, &error))
      return 0;
    return e.code;
  }
  // Hello and Signon; false when the host answered either with anything
  // but its reply (a ProtocolError: refused before sign-on), else the
  // sign-on's answer in `*reply`.
  bool SignOn(const std::string& user, const std::string& password, const std::string& token,
              wire::SignonReply* reply) {
    wire::Frame frame;
    std::string error;
    return Send(wire::FrameType::kHello, wire::Encode(wire::Hello{})) && Receive(&frame) &&
           frame.type == wire::FrameType::kHelloReply &&
           Send(wire::FrameType::kSignon, wire::Encode(wire::Signon{user, password, token})) &&
           Receive(&frame) && frame.type == wire::FrameType::kSignonReply &&
           wire::Decode(frame.payload, reply, &error);
  }
  bool SignOn(const std::string& user, const std::string& password) {
    wire::SignonReply reply;
    return SignOn(user, password, "", &reply) && reply.ok;
  }

 private:
  int fd_;
  bool connected_ = false;
  std::unique_ptr<sockets::Stream> stream_ = sockets::PlainStream(fd_);  // closes fd_
  wire::FrameSocket reader_{stream_.get()};
};

}  // namespace zvt::testing

#endif  // ZVT_TESTING_WIRE_CLIENT_H_
