// The wire protocol between the remote program call library and the host
// server: length-prefixed frames with a type byte, and the messages carried
// in them. Decoders check every length against what arrived and against the
// configured maximum; a malformed frame is an error, never a crash or an
// allocation larger than the maximum. The frame table is in docs/wire.md.
#ifndef ZVT_PGM_WIRE_H_
#define ZVT_PGM_WIRE_H_

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "pgm/sockets.h"

namespace zvt::wire {

inline constexpr char kMagic[4] = {'Z', 'V', 'T', 'W'};
// The newest version this build speaks, and the oldest it still speaks.
inline constexpr uint16_t kProtocolVersion = 3;
inline constexpr uint16_t kOldestProtocolVersion = 1;
// From this version on, a CallReply carries its outputs packed: the runs of
// EBCDIC blanks that fill most of a list entry's fixed-width fields travel
// as counts.
inline constexpr uint16_t kPackedOutputsVersion = 2;
// From this version on, Signon may carry a sign-on token and SignonReply
// hands one out.
inline constexpr uint16_t kTokensVersion = 3;
inline constexpr uint32_t kDefaultMaxFrame = 16u << 20;
inline constexpr size_t kMaxParameters = 64;
inline constexpr size_t kMaxMessages = 256;

enum class FrameType : uint8_t {
  kHello = 0x01,
  kHelloReply = 0x02,
  kSignon = 0x03,
  kSignonReply = 0x04,
  kCall = 0x05,
  kCallReply = 0x06,
  kProtocolError = 0x7F,
};

struct Frame {
  FrameType type;
  std::string payload;
};

struct Hello {
  uint16_t min_version = kOldestProtocolVersion;
  uint16_t max_version = kProtocolVersion;
};

struct HelloReply {
  uint16_t version = kProtocolVersion;
  uint32_t host_version = 0;
  uint32_t host_release = 0;
  std::string server_name;
};

struct Signon {
  std::string user;
  std::string password;
  std::string token;  // one the host handed out before (version 3; empty: none)
};

// A host message: identifier (as "CPF2204"), severity, text (UTF-8).
struct Message {
  std::string id;
  uint8_t severity = 0;
  std::string text;
};

struct SignonReply {
  bool ok = false;
  std::string user;               // the profile signed on, when ok
  std::string token;              // when ok, a new token to sign on with (version 3; may be empty)
  std::vector<Message> messages;  // why not, otherwise
};

enum Direction : uint8_t { kInput = 1, kOutput = 2, kInOut = 3 };

struct CallParameter {
  uint8_t direction = kInput;
  uint32_t length = 0;  // bytes the caller provides for it
  std::string data;     // input and in/out parameters only; at most `length` bytes
};

struct Call {
  uint32_t id = 0;
  std::string program;  // "LIBRARY/PROGRAM"
  std::vector<CallParameter> parameters;
};

// Bytes already packed as outputs travel (PackBlanks), and how many bytes
// they stand for.
struct PackedBytes {
  uint32_t size = 0;
  // Shared, so that bytes packed once (a list page the host holds) are sent
  // without a copy of their own.
  std::shared_ptr<const std::string> bytes;
  std::string_view view() const { return bytes ? std::string_view(*bytes) : std::string_view(); }
};

struct CallReply {
  uint32_t id = 0;
  bool ok = false;
  std::vector<std::string> outputs;  // one per output or in/out parameter, in order
  std::vector<Message> messages;     // when not ok
  // Empty, or one per output: what output i continues with, packed ahead of
  // time, so that a sender which keeps answers packed need not unpack them
  // to send them. UnpackTails makes each output whole again.
  std::vector<PackedBytes> packed_tails;
};

struct ProtocolError {
  uint16_t code = 0;
  std::string text;
};

// Codes of ProtocolError.
enum : uint16_t {
  kErrorMalformed = 1,
  kErrorTooLarge = 2,
  kErrorUnexpected = 3,
  kErrorVersion = 4,
  kErrorNotSignedOn = 5,
};

// Host messages of a refused sign-on.
inline constexpr char kMessageWrongPassword[] = "CPF22E2";  // also for an unknown profile
inline constexpr char kMessageLockedOut[] = "CPF22E5";
inline constexpr char kMessageHostBusy[] = "ZVT22B1";         // the source's sign-ons queue is full
inline constexpr char kMessageHostUnavailable[] = "ZVT22B2";  // the host cannot reach its registry

// Frame bytes: 4-byte big-endian length of what follows, type byte, payload.
std::string EncodeFrame(FrameType type, std::string_view payload);

std::string Encode(const Hello& m);
std::string Encode(const HelloReply& m);
// `version`: the one the connection agreed on.
std::string Encode(const Signon& m, uint16_t version = kProtocolVersion);
std::string Encode(const SignonReply& m, uint16_t version = kProtocolVersion);
std::string Encode(const Call& m);
// `m` as if its id were `id`.
std::string Encode(const Call& m, uint32_t id);
// `version`: the one the connection agreed on.
std::string Encode(const CallReply& m, uint16_t version = kProtocolVersion);
// EncodeFrame(kCallReply, Encode(m, version)), the payload written once.
std::string EncodeCallReplyFrame(const CallReply& m, uint16_t version = kProtocolVersion);
std::string Encode(const ProtocolError& m);

// `s` as a reply's outputs carry it from version kPackedOutputsVersion on:
// its runs of EBCDIC blanks as counts. Packed pieces put one after another
// are the packing of the pieces' bytes one after another.
std::string PackBlanks(std::string_view s);
// The `size` bytes `packed` stands for; false when it is not a packing of
// exactly that many bytes.
bool UnpackBlanks(std::string_view packed, uint32_t size, std::string* out);
// Appends each of `reply`'s packed tails, unpacked, to its output and drops
// them; false (the reply unchanged) when one is not a valid packing.
bool UnpackTails(CallReply* reply);

// Each fails, with `*error` saying what is wrong, on a payload that is
// truncated, too long, or breaks a limit.
bool Decode(std::string_view payload, Hello* m, std::string* error);
bool Decode(std::string_view payload, HelloReply* m, std::string* error);
bool Decode(std::string_view payload, Signon* m, std::string* error,
            uint16_t version = kProtocolVersion);
bool Decode(std::string_view payload, SignonReply* m, std::string* error,
            uint16_t version = kProtocolVersion);
bool Decode(std::string_view payload, Call* m, uint32_t max_frame, std::string* error);
// The outputs together may not exceed `max_outputs` bytes once unpacked.
bool Decode(std::string_view payload, CallReply* m, std::string* error,
            uint16_t version = kProtocolVersion, uint32_t max_outputs = kDefaultMaxFrame);
bool Decode(std::string_view payload, ProtocolError* m, std::string* error);

// Incremental frame splitting: feed bytes, take whole frames.
class FrameReader {
 public:
  explicit FrameReader(uint32_t max_frame = kDefaultMaxFrame) : max_frame_(max_frame) {}
  // How many more bytes are needed before Next() can make progress.
  size_t Wanted() const;
  void Feed(std::string_view bytes) { buffer_.append(bytes); }
  enum class Result { kFrame, kNeedMore, kError };
  // kError: the frame is over the maximum, empty, or of an unknown type.
  Result Next(Frame* frame, std::string* error);
  // The maximum for the frames taken from now on.
  void set_max_frame(uint32_t max_frame) { max_frame_ = max_frame; }
  // The length the buffered header declares (0 before one is there).
  uint32_t DeclaredLength() const;
  // Gives back the memory of a large frame once it is taken.
  void Shrink();
  // The bytes held of frames not yet taken.
  size_t Buffered() const { return buffer_.size(); }

 private:
  uint32_t max_frame_;
  std::string buffer_;
};

// Sends all of `bytes` over `stream` with a time-out (0: none); false with
// `*error` set on failure, time-out or a closed peer.
bool WriteAll(sockets::Stream* stream, std::string_view bytes, int timeout_ms, std::string* error);

// Checks a frame header (length and type, the 5 bytes at `header`); on
// success `*length` is the length of type byte and payload.
bool CheckFrameHeader(const uint8_t* header, uint32_t max_frame, uint32_t* length,
                      std::string* error);

// Reads frames from a stream through a buffer, so that a frame usually
// costs one receive. The buffer never holds more than one frame's worth
// beyond the maximum. Does not own the stream.
class FrameSocket {
 public:
  // Why the last Read failed.
  enum class Fault { kNone, kClosed, kTimedOut, kTooLarge, kMalformed, kFailed };

  explicit FrameSocket(sockets::Stream* stream) : stream_(stream) {}
  // Reads one frame of at most `max_frame` bytes. The buffer grows with the
  // bytes that arrive (at most 64 KiB ahead of them), never with the length
  // a header declares.
  // `after_request`: the peer is only now being asked, so nothing of the
  // answer can have arrived yet; the socket is waited on before it is read
  // when neither this reader nor the stream holds bytes already.
  bool Read(uint32_t max_frame, int timeout_ms, Frame* frame, std::string* error,
            bool after_request = false);
  Fault fault() const { return fault_; }

 private:
  sockets::Stream* stream_;
  Fault fault_ = Fault::kNone;
  std::string buffer_;
  size_t start_ = 0;
};

}  // namespace zvt::wire

#endif  // ZVT_PGM_WIRE_H_
