// Blocking frame I/O on a bare socket.
#include "testing/frame_io.h"

#include <chrono>

namespace zvt::testing {
namespace {

using Clock = std::chrono::steady_clock;

bool ReadExactly(sockets::Handle fd, char* out, size_t n, int timeout_ms,
                 Clock::time_point deadline, std::string* error) {
  size_t got = 0;
  while (got < n) {
    long r = sockets::Receive(fd, out + got, n - got, error);
    if (r > 0) {
      got += static_cast<size_t>(r);
    } else if (r == sockets::kClosed) {
      *error = got == 0 ? "connection closed by the peer"
                        : "connection closed by the peer inside a frame";
      return false;
    } else if (r == sockets::kFailed ||
               !sockets::WaitUntil(fd, sockets::Ready::kRead, timeout_ms > 0, deadline, error)) {
      return false;
    }
  }
  return true;
}

}  // namespace

bool WriteAll(sockets::Handle fd, std::string_view bytes, int timeout_ms, std::string* error) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
  size_t sent = 0;
  while (sent < bytes.size()) {
    long w = sockets::Send(fd, bytes.data() + sent, bytes.size() - sent, error);
    if (w > 0) {
      sent += static_cast<size_t>(w);
    } else if (w == sockets::kFailed ||
               !sockets::WaitUntil(fd, sockets::Ready::kWrite, timeout_ms > 0, deadline, error)) {
      return false;
    }
  }
  return true;
}

bool ReadFrame(sockets::Handle fd, uint32_t max_frame, int timeout_ms, wire::Frame* frame,
               std::string* error) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
  char head[5];
  if (!ReadExactly(fd, head, 5, timeout_ms, deadline, error)) return false;
  const auto* p = reinterpret_cast<const uint8_t*>(head);
  uint32_t length;
  if (!wire::CheckFrameHeader(p, max_frame, &length, error)) return false;
  frame->type = static_cast<wire::FrameType>(p[4]);
  frame->payload.resize(length - 1);
  return ReadExactly(fd, frame->payload.data(), length - 1, timeout_ms, deadline, error);
}

}  // namespace zvt::testing
