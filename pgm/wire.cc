// Frame and message encoding of the wire protocol, and frame I/O on sockets.
#include "pgm/wire.h"

#include <algorithm>
#include <chrono>
#include <cstring>

#include "pgm/big_endian.h"

namespace zvt::wire {
namespace {

class Writer {
 public:
  void U8(uint8_t v) { out_.push_back(static_cast<char>(v)); }
  void U16(uint16_t v) {
    U8(static_cast<uint8_t>(v >> 8));
    U8(static_cast<uint8_t>(v));
  }
  void U32(uint32_t v) {
    U16(static_cast<uint16_t>(v >> 16));
    U16(static_cast<uint16_t>(v));
  }
  // Strings longer than 65535 bytes are cut; no field of the protocol needs more.
  void Str(std::string_view s) {
    size_t n = s.size() > 0xFFFF ? 0xFFFF : s.size();
    U16(static_cast<uint16_t>(n));
    out_.append(s.substr(0, n));
  }
  void Bytes(std::string_view s) { out_.append(s); }
  void Messages(const std::vector<Message>& messages) {
    size_t n = messages.size() > kMaxMessages ? kMaxMessages : messages.size();
    U16(static_cast<uint16_t>(n));
    for (size_t i = 0; i < n; ++i) {
      Str(messages[i].id);
      U8(messages[i].severity);
      Str(messages[i].text);
    }
  }
  // An unsigned number in 7-bit groups, low group first, the high bit of a
  // byte saying another follows.
  void Count(uint32_t v) {
    while (v >= 0x80) {
      U8(static_cast<uint8_t>(v | 0x80));
      v >>= 7;
    }
    U8(static_cast<uint8_t>(v));
  }
  // `s` with its runs of EBCDIC blanks as counts: pairs of (count, bytes)
  // and (count of blanks) until `s` is used up.
  void PackedBlanks(std::string_view s) {
    constexpr size_t kShortestRun = 4;  // shorter runs cost less as they are
    size_t at = 0;
    while (at < s.size()) {
      size_t run = at, blanks = 0;
      for (;;) {
        const void* found = std::memchr(s.data() + run, kBlank, s.size() - run);
        if (found == nullptr) {
          run = s.size();
          blanks = 0;
          break;
        }
        run = static_cast<size_t>(static_cast<const char*>(found) - s.data());
        size_t end = BlankRunEnd(s, run);
        blanks = end - run;
        if (blanks >= kShortestRun || end == s.size()) break;
        run = end;
      }
      Count(static_cast<uint32_t>(run - at));
      Bytes(s.substr(at, run - at));
      Count(static_cast<uint32_t>(blanks));
      at = run + blanks;
    }
  }
  std::string Take() { return std::move(out_); }

 private:
  static constexpr char kBlank = '\x40';
  // The end of the run of blanks at `at`, eight bytes at a time.
  static size_t BlankRunEnd(std::string_view s, size_t at) {
    constexpr uint64_t kBlanks = 0x4040404040404040ull;
    while (s.size() - at >= 8) {
      uint64_t word;
      std::memcpy(&word, s.data() + at, 8);
      if (word != kBlanks) break;
      at += 8;
    }
    while (at < s.size() && s[at] == kBlank) ++at;
    return at;
  }
  std::string out_;
};

class Reader {
 public:
  Reader(std::string_view in, std::string* error) : in_(in), error_(error) {}
  bool U8(uint8_t* v) {
    if (!Need(1)) return false;
    *v = static_cast<uint8_t>(in_[pos_++]);
    return true;
  }
  bool U16(uint16_t* v) {
    uint8_t a, b;
    if (!U8(&a) || !U8(&b)) return false;
    *v = static_cast<uint16_t>((a << 8) | b);
    return true;
  }
  bool U32(uint32_t* v) {
    uint16_t a, b;
    if (!U16(&a) || !U16(&b)) return false;
    *v = (uint32_t{a} << 16) | b;
    return true;
  }
  bool Str(std::string* s) {
    uint16_t n;
    return U16(&n) && Bytes(n, s);
  }
  bool Bytes(size_t n, std::string* s) {
    if (!Need(n)) return false;
    s->assign(in_.substr(pos_, n));
    pos_ += n;
    return true;
  }
  bool Count(uint32_t* v) {
    uint64_t value = 0;
    for (int shift = 0; shift < 35; shift += 7) {
      uint8_t b;
      if (!U8(&b)) return false;
      value |= uint64_t{b & 0x7Fu} << shift;
      if ((b & 0x80) == 0) {
        if (value > UINT32_MAX) break;
        *v = static_cast<uint32_t>(value);
        return true;
      }
    }
    return Fail("bad count");
  }
  // Unpacks what Writer::PackedBlanks wrote, `size` bytes in all; a blank
  // run is at most as long as what is left of `size`, which the caller has
  // bounded by what the call's outputs hold, so the room is taken at once.
  bool PackedBlanks(uint32_t size, std::string* s) {
    s->clear();
    s->reserve(size);
    while (s->size() < size) {
      uint32_t literal, blanks;
      if (!Count(&literal)) return false;
      if (literal > size - s->size() || !Need(literal)) return Fail("bad packed output");
      s->append(in_.substr(pos_, literal));
      pos_ += literal;
      if (!Count(&blanks)) return false;
      if (blanks > size - s->size() || (literal == 0 && blanks == 0))
        return Fail("bad packed output");
      s->append(blanks, '\x40');
    }
    return true;
  }
  bool Messages(std::vector<Message>* messages) {
    uint16_t n;
    if (!U16(&n)) return false;
    if (n > kMaxMessages) return Fail("too many messages");
    messages->resize(n);
    for (Message& m : *messages)
      if (!Str(&m.id) || !U8(&m.severity) || !Str(&m.text)) return false;
    return true;
  }
  // The payload must be used up exactly.
  bool End() {
    if (pos_ != in_.size()) return Fail("trailing bytes after the message");
    return true;
  }
  bool Fail(const std::string& what) {
    if (error_->empty()) *error_ = what;
    return false;
  }

 private:
  bool Need(size_t n) {
    if (in_.size() - pos_ < n) return Fail("truncated message");
    return true;
  }
  std::string_view in_;
  size_t pos_ = 0;
  std::string* error_;
};

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

// Checks a frame header (length and type, 5 bytes at `p`); on success
// `*length` is the length of type byte and payload.
bool CheckHeader(const uint8_t* p, uint32_t max_frame, uint32_t* length, std::string* error) {
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

using Clock = std::chrono::steady_clock;

// Waits until `fd` is ready or the deadline passes.
bool WaitFor(sockets::Handle fd, sockets::Ready what, bool has_deadline, Clock::time_point deadline,
             std::string* error) {
  int wait_ms = -1;
  if (has_deadline) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    if (left.count() <= 0) {
      *error = "timed out";
      return false;
    }
    wait_ms = static_cast<int>(left.count());
  }
  int rc = sockets::WaitFor(fd, what, wait_ms, error);
  if (rc == 0) *error = "timed out";
  return rc > 0;
}

bool ReadExactly(sockets::Handle fd, char* out, size_t n, bool has_deadline,
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
               !WaitFor(fd, sockets::Ready::kRead, has_deadline, deadline, error)) {
      return false;
    }
  }
  return true;
}

}  // namespace

std::string EncodeFrame(FrameType type, std::string_view payload) {
  Writer w;
  w.U32(static_cast<uint32_t>(payload.size() + 1));
  w.U8(static_cast<uint8_t>(type));
  w.Bytes(payload);
  return w.Take();
}

std::string Encode(const Hello& m) {
  Writer w;
  w.Bytes(std::string_view(kMagic, 4));
  w.U16(m.min_version);
  w.U16(m.max_version);
  return w.Take();
}

std::string Encode(const HelloReply& m) {
  Writer w;
  w.U16(m.version);
  w.U32(m.host_version);
  w.U32(m.host_release);
  w.Str(m.server_name);
  return w.Take();
}

std::string Encode(const Signon& m) {
  Writer w;
  w.Str(m.user);
  w.Str(m.password);
  return w.Take();
}

std::string Encode(const SignonReply& m) {
  Writer w;
  w.U8(m.ok ? 1 : 0);
  if (m.ok) {
    w.Str(m.user);
  } else {
    w.Messages(m.messages);
  }
  return w.Take();
}

std::string Encode(const Call& m) {
  Writer w;
  w.U32(m.id);
  w.Str(m.program);
  w.U16(static_cast<uint16_t>(m.parameters.size()));
  for (const CallParameter& p : m.parameters) {
    w.U8(p.direction);
    w.U32(p.length);
    if (p.direction != kOutput) {
      w.U32(static_cast<uint32_t>(p.data.size()));
      w.Bytes(p.data);
    }
  }
  return w.Take();
}

std::string Encode(const CallReply& m, uint16_t version) {
  Writer w;
  w.U32(m.id);
  w.U8(m.ok ? 1 : 0);
  if (m.ok) {
    w.U16(static_cast<uint16_t>(m.outputs.size()));
    for (const std::string& o : m.outputs) {
      w.U32(static_cast<uint32_t>(o.size()));
      if (version >= kPackedOutputsVersion) {
        w.PackedBlanks(o);
      } else {
        w.Bytes(o);
      }
    }
  } else {
    w.Messages(m.messages);
  }
  return w.Take();
}

std::string Encode(const ProtocolError& m) {
  Writer w;
  w.U16(m.code);
  w.Str(m.text);
  return w.Take();
}

bool Decode(std::string_view payload, Hello* m, std::string* error) {
  Reader r(payload, error);
  std::string magic;
  if (!r.Bytes(4, &magic)) return false;
  if (magic != std::string_view(kMagic, 4)) return r.Fail("not a zvt client (bad magic)");
  return r.U16(&m->min_version) && r.U16(&m->max_version) && r.End();
}

bool Decode(std::string_view payload, HelloReply* m, std::string* error) {
  Reader r(payload, error);
  return r.U16(&m->version) && r.U32(&m->host_version) && r.U32(&m->host_release) &&
         r.Str(&m->server_name) && r.End();
}

bool Decode(std::string_view payload, Signon* m, std::string* error) {
  Reader r(payload, error);
  return r.Str(&m->user) && r.Str(&m->password) && r.End();
}

bool Decode(std::string_view payload, SignonReply* m, std::string* error) {
  Reader r(payload, error);
  uint8_t ok;
  if (!r.U8(&ok)) return false;
  if (ok > 1) return r.Fail("bad sign-on status");
  m->ok = ok == 1;
  if (m->ok) return r.Str(&m->user) && r.End();
  return r.Messages(&m->messages) && r.End();
}

bool Decode(std::string_view payload, Call* m, uint32_t max_frame, std::string* error) {
  Reader r(payload, error);
  uint16_t n;
  if (!r.U32(&m->id) || !r.Str(&m->program) || !r.U16(&n)) return false;
  if (n > kMaxParameters) return r.Fail("too many parameters");
  m->parameters.resize(n);
  for (CallParameter& p : m->parameters) {
    if (!r.U8(&p.direction) || !r.U32(&p.length)) return false;
    if (p.direction < kInput || p.direction > kInOut) return r.Fail("bad parameter direction");
    if (p.length > max_frame) return r.Fail("parameter longer than the frame limit");
    if (p.direction != kOutput) {
      uint32_t size;
      if (!r.U32(&size)) return false;
      if (size > p.length) return r.Fail("parameter data longer than its length");
      if (!r.Bytes(size, &p.data)) return false;
    }
  }
  return r.End();
}

bool Decode(std::string_view payload, CallReply* m, std::string* error, uint16_t version,
            uint32_t max_outputs) {
  Reader r(payload, error);
  uint8_t ok;
  if (!r.U32(&m->id) || !r.U8(&ok)) return false;
  if (ok > 1) return r.Fail("bad call status");
  m->ok = ok == 1;
  if (!m->ok) return r.Messages(&m->messages) && r.End();
  uint16_t n;
  if (!r.U16(&n)) return false;
  if (n > kMaxParameters) return r.Fail("too many outputs");
  m->outputs.resize(n);
  uint64_t total = 0;
  for (std::string& o : m->outputs) {
    uint32_t size;
    if (!r.U32(&size)) return false;
    total += size;
    if (total > max_outputs) return r.Fail("outputs larger than the frame limit");
    if (version >= kPackedOutputsVersion ? !r.PackedBlanks(size, &o) : !r.Bytes(size, &o))
      return false;
  }
  return r.End();
}

bool Decode(std::string_view payload, ProtocolError* m, std::string* error) {
  Reader r(payload, error);
  return r.U16(&m->code) && r.Str(&m->text) && r.End();
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
  if (!CheckHeader(p, max_frame_, &length, error)) return Result::kError;
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
    } else if (w == sockets::kFailed || !WaitFor(s, wait, timeout_ms > 0, deadline, error)) {
      return false;
    }
  }
  return true;
}

}  // namespace

bool WriteAll(sockets::Handle fd, std::string_view bytes, int timeout_ms, std::string* error) {
  return SendAll(fd, bytes, timeout_ms, error, [&](std::string_view rest, sockets::Ready*) {
    return sockets::Send(fd, rest.data(), rest.size(), error);
  });
}

bool WriteAll(sockets::Stream* stream, std::string_view bytes, int timeout_ms, std::string* error) {
  return SendAll(stream->handle(), bytes, timeout_ms, error,
                 [&](std::string_view rest, sockets::Ready* wait) {
                   return stream->Send(rest.data(), rest.size(), wait, error);
                 });
}

bool ReadFrame(sockets::Handle fd, uint32_t max_frame, int timeout_ms, Frame* frame,
               std::string* error) {
  auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
  char head[5];
  if (!ReadExactly(fd, head, 5, timeout_ms > 0, deadline, error)) return false;
  const auto* p = reinterpret_cast<const uint8_t*>(head);
  uint32_t length;
  if (!CheckHeader(p, max_frame, &length, error)) return false;
  frame->type = static_cast<FrameType>(p[4]);
  frame->payload.resize(length - 1);
  return ReadExactly(fd, frame->payload.data(), length - 1, timeout_ms > 0, deadline, error);
}

bool FrameSocket::Read(uint32_t max_frame, int timeout_ms, Frame* frame, std::string* error) {
  auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
  auto fail = [this](Fault fault) {
    fault_ = fault;
    return false;
  };
  fault_ = Fault::kNone;
  for (;;) {
    size_t have = buffer_.size() - start_;
    size_t want = 5;
    if (have >= 5) {
      const auto* p = reinterpret_cast<const uint8_t*>(buffer_.data() + start_);
      uint32_t length;
      if (!CheckHeader(p, max_frame, &length, error))
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
    long r = stream_->Receive(&buffer_[old], room, &wait, error);
    buffer_.resize(old + (r > 0 ? static_cast<size_t>(r) : 0));
    if (r > 0) continue;
    if (r == sockets::kClosed) {
      *error = old == 0 ? "connection closed by the peer"
                        : "connection closed by the peer inside a frame";
      return fail(Fault::kClosed);
    }
    if (r == sockets::kFailed) return fail(Fault::kFailed);
    if (!WaitFor(stream_->handle(), wait, timeout_ms > 0, deadline, error))
      return fail(*error == "timed out" ? Fault::kTimedOut : Fault::kFailed);
  }
}

}  // namespace zvt::wire
