// Fuzzes the frame splitter and every payload decoder of the wire protocol
// with bytes as they could arrive from a hostile peer.
#include <cstddef>
#include <cstdint>
#include <string>

#include "pgm/wire.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace zvt::wire;
  FrameReader reader(1 << 16);
  reader.Feed(std::string_view(reinterpret_cast<const char*>(data), size));
  Frame frame;
  std::string error;
  while (reader.Next(&frame, &error) == FrameReader::Result::kFrame) {
    Hello hello;
    HelloReply hello_reply;
    Signon signon;
    SignonReply signon_reply;
    Call call;
    CallReply call_reply;
    ProtocolError protocol_error;
    // Every decoder sees every payload, whatever its frame type.
    Decode(frame.payload, &hello, &error);
    Decode(frame.payload, &hello_reply, &error);
    Decode(frame.payload, &signon, &error);
    Decode(frame.payload, &signon_reply, &error);
    if (Decode(frame.payload, &call, 1 << 16, &error)) {
      // What decodes must encode back to the same bytes.
      if (Encode(call) != frame.payload) __builtin_trap();
    }
    for (uint16_t version : {kOldestProtocolVersion, kProtocolVersion}) {
      if (Decode(frame.payload, &call_reply, &error, version, 1 << 16)) {
        // What decodes must encode and decode back to the same reply.
        CallReply again;
        if (!Decode(Encode(call_reply, version), &again, &error, version, 1 << 16) ||
            again.outputs != call_reply.outputs ||
            again.messages.size() != call_reply.messages.size())
          __builtin_trap();
      }
    }
    Decode(frame.payload, &protocol_error, &error);
  }
  return 0;
}
