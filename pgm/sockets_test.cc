// The socket operations against a real loopback listener: connecting, a
// frame each way through the frame reader and writer, a refused port, a
// read time-out, and the peer closing. Runs on POSIX and on Windows.
#include "pgm/sockets.h"

#include <gtest/gtest.h>

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#endif

#include <chrono>
#include <string>
#include <thread>

#include "pgm/wire.h"
#include "testing/frame_io.h"

namespace zvt::sockets {
namespace {

// A listener on an ephemeral loopback port.
class Listener {
 public:
  Listener() {
    // Connecting once starts the socket library where it needs starting.
    ConnectFailure ignored;
    Close(Connect("127.0.0.1", 1, 100, &ignored));
    fd_ = static_cast<Handle>(socket(AF_INET, SOCK_STREAM, 0));
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address);
    listen(fd_, 4);
    socklen_t length = sizeof address;
    getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length);
    port_ = ntohs(address.sin_port);
  }
  ~Listener() { Close(fd_); }
  uint16_t port() const { return port_; }
  Handle Accept() { return static_cast<Handle>(accept(fd_, nullptr, nullptr)); }
  // A connection to this listener: `*client` its end, `*server` the accepted one.
  void Pair(Handle* client, Handle* server) {
    ConnectFailure failure;
    *client = Connect("127.0.0.1", port_, 2000, &failure);
    ASSERT_NE(kNoSocket, *client) << failure.text;
    *server = Accept();
    ASSERT_NE(kNoSocket, *server);
  }

 private:
  Handle fd_ = kNoSocket;
  uint16_t port_ = 0;
};

TEST(SocketsTest, FramesCrossALoopbackConnectionAndFailuresAreReported) {
  Listener listener;
  Handle client = kNoSocket, server = kNoSocket;
  ASSERT_NO_FATAL_FAILURE(listener.Pair(&client, &server));

  // A frame larger than a socket buffer, so that writing has to wait.
  const std::string big(3 << 20, 'x');
  std::thread writer([&] {
    std::string error;
    EXPECT_TRUE(zvt::testing::WriteAll(client, wire::EncodeFrame(wire::FrameType::kCall, big), 5000,
                                       &error))
        << error;
  });
  wire::Frame frame;
  std::string error;
  ASSERT_TRUE(zvt::testing::ReadFrame(server, 8u << 20, 5000, &frame, &error)) << error;
  writer.join();
  EXPECT_EQ(wire::FrameType::kCall, frame.type);
  EXPECT_EQ(big, frame.payload);

  // Nothing comes: the read time-out ends the wait.
  std::unique_ptr<Stream> stream = PlainStream(client);
  wire::FrameSocket reader(stream.get());
  EXPECT_FALSE(reader.Read(1024, 200, &frame, &error));
  EXPECT_EQ("timed out", error);

  // The peer closes: said at once.
  Close(server);
  EXPECT_FALSE(reader.Read(1024, 5000, &frame, &error));
  EXPECT_EQ("connection closed by the peer", error);
  stream.reset();

  // No one listens on a port that was just closed; a name that does not
  // resolve is told apart.
  ConnectFailure failure;
  uint16_t closed_port = 0;
  {
    Listener gone;
    closed_port = gone.port();
  }
  EXPECT_EQ(kNoSocket, Connect("127.0.0.1", closed_port, 2000, &failure));
  EXPECT_FALSE(failure.timed_out) << "a refused connect is reported as it happens";
  EXPECT_FALSE(failure.unresolved);
  EXPECT_FALSE(failure.text.empty());
  EXPECT_EQ(kNoSocket, Connect("no-such-host.invalid", 1, 2000, &failure));
  EXPECT_TRUE(failure.unresolved);
}

// After a request the reader waits for the reply inside its first receive:
// a reply is read whole, one cut short ends at the time-out (the wait in the
// receive does not start the time again), and the socket still never
// blocks a send or a later receive.
TEST(SocketsTest, AReplyAwaitedInsideTheReceiveKeepsTheTimeOut) {
  Listener listener;
  Handle client = kNoSocket, server = kNoSocket;
  ASSERT_NO_FATAL_FAILURE(listener.Pair(&client, &server));
  std::unique_ptr<Stream> stream = PlainStream(client);
  wire::FrameSocket reader(stream.get());
  const std::string reply = wire::EncodeFrame(wire::FrameType::kCallReply, "answer");
  std::string error;
  wire::Frame frame;

  std::thread answer([&] { EXPECT_TRUE(zvt::testing::WriteAll(server, reply, 2000, &error)); });
  ASSERT_TRUE(reader.Read(1024, 5000, &frame, &error, /*after_request=*/true)) << error;
  answer.join();
  EXPECT_EQ("answer", frame.payload);

  // Half a frame, then nothing: the wait ends at the time-out.
  ASSERT_TRUE(zvt::testing::WriteAll(server, reply.substr(0, 6), 2000, &error));
  EXPECT_FALSE(reader.Read(1024, 200, &frame, &error, /*after_request=*/true));
  EXPECT_EQ("timed out", error);
  EXPECT_EQ(wire::FrameSocket::Fault::kTimedOut, reader.fault());
  // Nothing at all: the same.
  wire::FrameSocket fresh(stream.get());
  EXPECT_FALSE(fresh.Read(1024, 200, &frame, &error, /*after_request=*/true));
  EXPECT_EQ("timed out", error);

  // Sends still never wait: a socket buffer the peer does not empty says so.
  sockets::Ready wait;
  const std::string lots(1 << 20, 'x');
  long sent = 1;
  for (int i = 0; i < 256 && sent > 0; ++i)
    sent = stream->Send(lots.data(), lots.size(), &wait, &error);
  EXPECT_EQ(kWouldBlock, sent);

  // The peer goes (resetting, as it leaves bytes unread): said at once.
  Close(server);
  wire::FrameSocket last(stream.get());
  EXPECT_FALSE(last.Read(1024, 60000, &frame, &error, /*after_request=*/true));
  EXPECT_TRUE(last.fault() == wire::FrameSocket::Fault::kClosed ||
              last.fault() == wire::FrameSocket::Fault::kFailed)
      << error;
}

TEST(SocketsTest, HostListsTakeNamesAddressesAndPortsAndRefuseWhatIsNotOne) {
  std::vector<HostPort> hosts;
  std::string error;
  ASSERT_TRUE(
      ParseHostList(" a.example ,b.example:4711, [::1]:99,::1 ,[fe80::1]", 23, &hosts, &error))
      << error;
  ASSERT_EQ(hosts.size(), 5u);
  EXPECT_EQ(hosts[0].host, "a.example");
  EXPECT_EQ(hosts[0].port, 23);
  EXPECT_EQ(hosts[1].host, "b.example");
  EXPECT_EQ(hosts[1].port, 4711);
  EXPECT_EQ(hosts[2].host, "::1");
  EXPECT_EQ(hosts[2].port, 99);
  EXPECT_EQ(hosts[3].host, "::1");
  EXPECT_EQ(hosts[3].port, 23);
  EXPECT_EQ(hosts[4].host, "fe80::1");
  for (const char* bad :
       {"", " , ", "a,,b", "a:", "a:0", "a:65536", "a:12x", "[::1", "[::1]x", "[::1]:", ":80"}) {
    EXPECT_FALSE(ParseHostList(bad, 23, &hosts, &error)) << bad;
    EXPECT_FALSE(error.empty());
  }
}

}  // namespace
}  // namespace zvt::sockets
