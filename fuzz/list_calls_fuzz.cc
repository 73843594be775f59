// Fuzzes the list receivers as the library meets them: the usage list and
// the function list calls run whole, through the program call library and
// the wire protocol, against a host on loopback whose reply to the first
// call carries the fuzzer's bytes as the receiver in a well-formed frame.
// A call either fails, or succeeds with records that came from entries
// inside what the host sent, which announced exactly as many as it sent; it never crashes, hangs or
// allocates past the frame limit.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>

#include "host/admin_host_apis.h"
#include "host/list_formats.h"
#include "pgm/remote_program_calls.h"
#include "pgm/wire.h"
#include "services/services.h"
#include "testing/frame_io.h"

namespace {

using namespace zvt;

// The reply to the next call: the fuzzer's receiver first, then an empty
// last part, so that a receiver that promises more ends.
std::mutex g_reply_mu;
std::string g_receiver;
bool g_first = true;

std::string LastPart() {
  std::string r(40, '\0');
  r[3] = 40;                                   // bytes returned
  r[7] = 40;                                   // bytes available
  for (int i = 8; i < 28; ++i) r[i] = '\x40';  // blank handle
  r[31] = 40;                                  // offset to the first entry
  return r;
}

void Serve(int client) {
  std::string error;
  for (wire::Frame frame;
       zvt::testing::ReadFrame(client, wire::kDefaultMaxFrame, -1, &frame, &error);) {
    std::string reply;
    if (frame.type == wire::FrameType::kHello) {
      wire::HelloReply hello;
      hello.host_version = 7;
      hello.host_release = 5;
      reply = wire::EncodeFrame(wire::FrameType::kHelloReply, wire::Encode(hello));
    } else if (frame.type == wire::FrameType::kSignon) {
      wire::SignonReply signon;
      signon.ok = true;
      signon.user = "JOE";
      reply = wire::EncodeFrame(wire::FrameType::kSignonReply, wire::Encode(signon));
    } else if (frame.type == wire::FrameType::kCall) {
      wire::Call call;
      if (!wire::Decode(frame.payload, &call, wire::kDefaultMaxFrame, &error)) break;
      wire::CallReply out;
      out.id = call.id;
      out.ok = true;
      std::lock_guard<std::mutex> lock(g_reply_mu);
      for (const wire::CallParameter& p : call.parameters) {
        if (p.direction == wire::kInput) continue;
        if (out.outputs.empty()) {
          // The receiver, cut to the length the caller gave it, as a host does.
          std::string r = g_first ? g_receiver : LastPart();
          if (r.size() > p.length) r.resize(p.length);
          out.outputs.push_back(std::move(r));
        } else {
          out.outputs.push_back(p.data);
        }
      }
      g_first = false;
      reply = wire::EncodeFrame(wire::FrameType::kCallReply, wire::Encode(out));
    } else {
      break;
    }
    if (!zvt::testing::WriteAll(client, reply, 5000, &error)) break;
  }
  close(client);
}

struct Host {
  Host() {
    int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    if (bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        listen(listener, 16) != 0 ||
        getsockname(listener, reinterpret_cast<sockaddr*>(&addr), &len) != 0)
      __builtin_trap();
    pgm::SignOnTarget endpoint;
    endpoint.port = ntohs(addr.sin_port);
    endpoint.user = "JOE";
    endpoint.password = "secret";
    endpoint.read_timeout_ms = 5000;
    locator.Add(u"FUZZ", endpoint);
    std::thread([listener] {
      for (;;) {
        int client = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
        if (client >= 0) std::thread(Serve, client).detach();
      }
    }).detach();
    Services s;
    s.program_calls = &calls;
    binding = std::make_unique<ScopedServiceBinding>(s);
  }
  pgm::StaticSystemLocator locator;
  pgm::RemoteProgramCalls calls{&locator, pgm::ErrorLog("/dev/null")};
  std::unique_ptr<ScopedServiceBinding> binding;
};

uint32_t Be32(const std::string& r, size_t at) {
  return (uint32_t{static_cast<uint8_t>(r[at])} << 24) |
         (uint32_t{static_cast<uint8_t>(r[at + 1])} << 16) |
         (uint32_t{static_cast<uint8_t>(r[at + 2])} << 8) | static_cast<uint8_t>(r[at + 3]);
}

// A list that was taken announced exactly the entries its bytes returned
// hold: neither more nor fewer.
bool EntriesMatchBytes(const std::string& r) {
  if (r.size() < 40) return false;
  const uint64_t returned = Be32(r, 0), offset = Be32(r, 28), count = Be32(r, 32),
                 length = Be32(r, 36);
  return offset + count * length == returned;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static Host host;
  if (size < 1) return 0;
  bool counts_match = false;
  {
    std::lock_guard<std::mutex> lock(g_reply_mu);
    g_receiver.assign(reinterpret_cast<const char*>(data + 1), size - 1);
    g_first = true;
    counts_match = EntriesMatchBytes(g_receiver);
  }
  ErrorOut error;
  if ((data[0] & 3) == 1) {
    FunctionInfoList list;
    uint32_t rc = CAdminHostAPIs::getFuncList(u"FUZZ", 0, &list, &error, nullptr);
    // Whatever was listed came from whole entries of what the host sent.
    if (rc == 0 && list.size() * 1495 > size) __builtin_trap();
    if (rc == 0 && !counts_match) __builtin_trap();
    if (rc != 0 && !error) __builtin_trap();
  } else if ((data[0] & 3) == 3) {
    FunctionPlacements list;
    uint32_t rc = CAdminHostAPIs::getFuncPlacements(u"FUZZ", 0, &list, &error, nullptr);
    if (rc == 0 && list.size() * 1495 > size) __builtin_trap();
    if (rc == 0 && !counts_match) __builtin_trap();
    if (rc != 0 && !error) __builtin_trap();
    // Every text lies within what the list kept.
    for (size_t i = 0; i < list.size(); ++i)
      if (list.text(list[i].id).size() > 30 || list.text(list[i].parent).size() > 30)
        __builtin_trap();
  } else {
    UsageRecordList list;
    std::u16string profile = u"JOE";
    uint32_t rc = CAdminHostAPIs::getUsersFuncInfo(u"FUZZ", profile, 0, 0, &list, &error, nullptr);
    if (rc == 0 && list.size() * 32 > size) __builtin_trap();
    if (rc == 0 && !counts_match) __builtin_trap();
    if (rc != 0 && !error) __builtin_trap();
  }
  return 0;
}
