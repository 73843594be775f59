// Frames of the wire protocol: their header, a reader that cuts a byte
// stream into frames, and blocking frame I/O over a stream.
#include "pgm/wire.h"

#include <algorithm>
#include <chrono>
#include <cstring>

#include "pgm/big_endian.h"

namespace zvt::wire {
namespace {

bool KnownType(uint8_t t) {
  switch (static_cast<FrameType>(t)) {
    case FrameType::kHello:
    case FrameType::kHelloReply:
    case FrameType::kSignon:
    case FrameType::kSignonReply:
    case FrameType::kCall:
    case FrameType::kCallReply:
    case FrameType::kProtocolError:
      return true;
  }
  return false;
}

using Clock = std::chrono::steady_clock;

}  // namespace

bool CheckFrameHeader(const uint8_t* p, uint32_t max_frame, uint32_t* length, std::string* error) {
  *length = big_endian::Load32(p);
  if (*length == 0) {
    *error = "empty frame";
    return false;
  }
  if (*length > max_frame) {
    *error = "frame of " + std::to_string(*length) + " bytes is over the limit of " +
             std::to_string(max_frame);
    return false;
  }
  if (!KnownType(p[4])) {
    *error = "unknown frame type " + std::to_string(p[4]);
    return false;
  }
  return true;
}

std::string EncodeFrame(FrameType type, std::string_view payload) {
  std::string frame(5, '\0');
  big_endian::Store32(frame.data(), static_cast<uint32_t>(payload.size() + 1));
  frame[4] = static_cast<char>(type);
  frame.append(payload);
  return frame;
}

size_t FrameReader::Wanted() const {
  if (buffer_.size() < 4) return 4 - buffer_.size();
  uint32_t length = big_endian::Load32(buffer_.data());
  size_t total = size_t{length} + 4;
  return buffer_.size() >= total ? 0 : total - buffer_.size();
}

uint32_t FrameReader::DeclaredLength() const {
  return buffer_.size() < 4 ? 0 : big_endian::Load32(buffer_.data());
}

void FrameReader::Shrink() {
  if (buffer_.capacity() > 64 * 1024 && buffer_.size() < 4096) buffer_.shrink_to_fit();
}

FrameReader::Result FrameReader::Next(Frame* frame, std::string* error) {
  if (buffer_.size() < 5) {
    if (buffer_.size() >= 4 && Wanted() == 0) {
      *error = "empty frame";
      return Result::kError;
    }
    return Result::kNeedMore;
  }
  const auto* p = reinterpret_cast<const uint8_t*>(buffer_.data());
  uint32_t length;
  if (!CheckFrameHeader(p, max_frame_, &length, error)) return Result::kError;
  if (buffer_.size() < size_t{length} + 4) return Result::kNeedMore;
  frame->type = static_cast<FrameType>(p[4]);
  frame->payload.assign(buffer_, 5, length - 1);
  buffer_.erase(0, size_t{length} + 4);
  return Result::kFrame;
}

namespace {

// Sends all of `bytes` through `send` (a count, kWouldBlock having set the
// readiness to wait for, or kFailed), waiting on socket `s` between tries.
template <typename SendFn>
bool SendAll(sockets::Handle s, std::string_view bytes, int timeout_ms, std::string* error,
             SendFn send) {
  auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
  size_t sent = 0;
  while (sent < bytes.size()) {
    sockets::Ready wait = sockets::Ready::kWrite;
    long w = send(bytes.substr(sent), &wait);
    if (w > 0) {
      sent += static_cast<size_t>(w);
    } else if (w == sockets::kFailed ||
               !sockets::WaitUntil(s, wait, timeout_ms > 0, deadline, error)) {
      return false;
    }
  }
  return true;
}

}  // namespace

bool WriteAll(sockets::Stream* stream, std::string_view bytes, int timeout_ms, std::string* error) {
  return SendAll(stream->handle(), bytes, timeout_ms, error,
                 [&](std::string_view rest, sockets::Ready* wait) {
                   return stream->Send(rest.data(), rest.size(), wait, error);
                 });
}

bool FrameSocket::Read(uint32_t max_frame, int timeout_ms, Frame* frame, std::string* error,
                       bool after_request) {
  auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
  auto fail = [this](Fault fault) {
    fault_ = fault;
    return false;
  };
  fault_ = Fault::kNone;
  // Right after a request nothing has come yet: the first receive waits for
  // the reply itself (with the whole time-out, as it starts now), instead
  // of a wait and then a receive.
  bool wait_in_receive = after_request && start_ == buffer_.size() && !stream_->MayHoldBytes();
  for (;;) {
    size_t have = buffer_.size() - start_;
    size_t want = 5;
    if (have >= 5) {
      const auto* p = reinterpret_cast<const uint8_t*>(buffer_.data() + start_);
      uint32_t length;
      if (!CheckFrameHeader(p, max_frame, &length, error))
        return fail(big_endian::Load32(p) > max_frame ? Fault::kTooLarge : Fault::kMalformed);
      want = size_t{length} + 4;
      if (have >= want) {
        frame->type = static_cast<FrameType>(p[4]);
        frame->payload.assign(buffer_, start_ + 5, length - 1);
        start_ += want;
        if (start_ == buffer_.size()) {
          buffer_.clear();
          start_ = 0;
        }
        return true;
      }
    }
    if (start_ > 0) {
      buffer_.erase(0, start_);
      start_ = 0;
    }
    // Room for more of this frame, and a little for the next one; a frame
    // declared large gets its room as its bytes arrive.
    constexpr size_t kMaxRoom = 64 * 1024;
    size_t room = std::clamp<size_t>(want - have, 4096, kMaxRoom);
    size_t old = buffer_.size();
    buffer_.resize(old + room);
    sockets::Ready wait;
    long r = wait_in_receive
                 ? stream_->ReceiveWaiting(&buffer_[old], room, timeout_ms, &wait, error)
                 : stream_->Receive(&buffer_[old], room, &wait, error);
    wait_in_receive = false;
    buffer_.resize(old + (r > 0 ? static_cast<size_t>(r) : 0));
    if (r > 0) continue;
    if (r == sockets::kClosed) {
      *error = old == 0 ? "connection closed by the peer"
                        : "connection closed by the peer inside a frame";
      return fail(Fault::kClosed);
    }
    if (r == sockets::kFailed) return fail(Fault::kFailed);
    if (!sockets::WaitUntil(stream_->handle(), wait, timeout_ms > 0, deadline, error))
      return fail(*error == "timed out" ? Fault::kTimedOut : Fault::kFailed);
  }
}

}  // namespace zvt::wire
