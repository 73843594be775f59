// The messages of the wire protocol as payload bytes: each message's
// fields in order, numbers big-endian, strings with a 16-bit length.
#include <cstring>

#include "pgm/big_endian.h"
#include "pgm/wire.h"

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

// Copies `n` bytes; the few bytes of a field's text take two overlapping
// word copies instead of a call.
inline void CopyFew(char* to, const char* from, size_t n) {
  if (n >= 8 && n <= 16) {
    std::memcpy(to, from, 8);
    std::memcpy(to + n - 8, from + n - 8, 8);
  } else if (n >= 4 && n < 8) {
    std::memcpy(to, from, 4);
    std::memcpy(to + n - 4, from + n - 4, 4);
  } else {
    std::memcpy(to, from, n);
  }
}

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
    // Most counts (a field's text, a run of blanks) fit in one byte.
    if (pos_ < in_.size() && static_cast<uint8_t>(in_[pos_]) < 0x80) {
      *v = static_cast<uint8_t>(in_[pos_++]);
      return true;
    }
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
    // Blanks throughout at once, then the literal bytes copied into place.
    // The position is kept in a local while bytes are stored, which the
    // compiler could not otherwise keep from being read again after each.
    s->assign(size, '\x40');
    char* const out = s->data();
    const char* const in = in_.data();
    const size_t in_size = in_.size();
    size_t pos = pos_;
    auto count = [&](uint32_t* v) {
      if (pos < in_size && static_cast<uint8_t>(in[pos]) < 0x80) {
        *v = static_cast<uint8_t>(in[pos++]);
        return true;
      }
      pos_ = pos;
      const bool read = Count(v);
      pos = pos_;
      return read;
    };
    uint32_t at = 0;
    while (at < size) {
      uint32_t literal, blanks;
      if (!count(&literal)) return false;
      if (literal > size - at || literal > in_size - pos) {
        pos_ = pos;
        return Fail("bad packed output");
      }
      CopyFew(out + at, in + pos, literal);
      pos += literal;
      at += literal;
      if (!count(&blanks)) return false;
      if (blanks > size - at || (literal == 0 && blanks == 0)) {
        pos_ = pos;
        return Fail("bad packed output");
      }
      at += blanks;
    }
    pos_ = pos;
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

}  // namespace

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

std::string Encode(const Signon& m, uint16_t version) {
  Writer w;
  w.Str(m.user);
  w.Str(m.password);
  if (version >= kTokensVersion) w.Str(m.token);
  return w.Take();
}

std::string Encode(const SignonReply& m, uint16_t version) {
  Writer w;
  w.U8(m.ok ? 1 : 0);
  if (m.ok) {
    w.Str(m.user);
    if (version >= kTokensVersion) w.Str(m.token);
  } else {
    w.Messages(m.messages);
  }
  return w.Take();
}

std::string Encode(const Call& m) { return Encode(m, m.id); }

std::string Encode(const Call& m, uint32_t id) {
  Writer w;
  w.U32(id);
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

std::string PackBlanks(std::string_view s) {
  Writer w;
  w.PackedBlanks(s);
  return w.Take();
}

bool UnpackBlanks(std::string_view packed, uint32_t size, std::string* out) {
  std::string error;
  Reader r(packed, &error);
  return r.PackedBlanks(size, out) && r.End();
}

bool UnpackTails(CallReply* reply) {
  if (reply->packed_tails.empty()) return true;
  if (reply->packed_tails.size() != reply->outputs.size()) return false;
  std::vector<std::string> tails(reply->outputs.size());
  for (size_t i = 0; i < tails.size(); ++i) {
    const PackedBytes& tail = reply->packed_tails[i];
    if (!UnpackBlanks(tail.view(), tail.size, &tails[i])) return false;
  }
  for (size_t i = 0; i < tails.size(); ++i) reply->outputs[i] += tails[i];
  reply->packed_tails.clear();
  return true;
}

namespace {

void PutCallReply(Writer* w, const CallReply& m, uint16_t version) {
  // A sender that cannot pack sends its tails unpacked.
  if (!m.packed_tails.empty() && version < kPackedOutputsVersion) {
    CallReply whole = m;
    if (!UnpackTails(&whole)) whole.packed_tails.clear();
    return PutCallReply(w, whole, version);
  }
  w->U32(m.id);
  w->U8(m.ok ? 1 : 0);
  if (m.ok) {
    w->U16(static_cast<uint16_t>(m.outputs.size()));
    const bool tails = m.packed_tails.size() == m.outputs.size();
    for (size_t i = 0; i < m.outputs.size(); ++i) {
      const std::string& o = m.outputs[i];
      const uint32_t tail = tails ? m.packed_tails[i].size : 0;
      w->U32(static_cast<uint32_t>(o.size()) + tail);
      if (version >= kPackedOutputsVersion) {
        w->PackedBlanks(o);
        if (tail != 0) w->Bytes(m.packed_tails[i].view());
      } else {
        w->Bytes(o);
      }
    }
  } else {
    w->Messages(m.messages);
  }
}

}  // namespace

std::string Encode(const CallReply& m, uint16_t version) {
  Writer w;
  PutCallReply(&w, m, version);
  return w.Take();
}

std::string EncodeCallReplyFrame(const CallReply& m, uint16_t version) {
  constexpr size_t kHeader = 5;  // length and type
  Writer w;
  w.Bytes(std::string_view("\0\0\0\0\0", kHeader));
  PutCallReply(&w, m, version);
  std::string frame = w.Take();
  big_endian::Store32(frame.data(), static_cast<uint32_t>(frame.size() - 4));
  frame[4] = static_cast<char>(FrameType::kCallReply);
  return frame;
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

bool Decode(std::string_view payload, Signon* m, std::string* error, uint16_t version) {
  Reader r(payload, error);
  return r.Str(&m->user) && r.Str(&m->password) && (version < kTokensVersion || r.Str(&m->token)) &&
         r.End();
}

bool Decode(std::string_view payload, SignonReply* m, std::string* error, uint16_t version) {
  Reader r(payload, error);
  uint8_t ok;
  if (!r.U8(&ok)) return false;
  if (ok > 1) return r.Fail("bad sign-on status");
  m->ok = ok == 1;
  if (m->ok) return r.Str(&m->user) && (version < kTokensVersion || r.Str(&m->token)) && r.End();
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

}  // namespace zvt::wire
