// The tampering relay: one pair of pumps per client connection.
#include "tests/tampering_relay.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "pgm/wire.h"
#include "services/mutex.h"
#include "testing/frame_io.h"

namespace zvt::testing {
namespace {

constexpr int kPumpWaitMs = 30000;

}  // namespace

TamperingRelay::TamperingRelay(uint16_t upstream_port) : upstream_port_(upstream_port) {}

TamperingRelay::~TamperingRelay() {
  stopping_ = true;
  if (listener_ >= 0) shutdown(listener_, SHUT_RDWR);
  if (acceptor_.joinable()) acceptor_.join();
  if (listener_ >= 0) close(listener_);
  std::vector<std::thread> workers;
  {
    MutexLock lock(&mu_);
    for (int s : sockets_) shutdown(s, SHUT_RDWR);
    workers.swap(workers_);
  }
  for (std::thread& t : workers) t.join();
  for (int s : sockets_) close(s);
}

bool TamperingRelay::Start() {
  listener_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (listener_ < 0) return false;
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof addr;
  if (bind(listener_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
      listen(listener_, 64) != 0 ||
      getsockname(listener_, reinterpret_cast<sockaddr*>(&addr), &len) != 0)
    return false;
  port_ = ntohs(addr.sin_port);
  acceptor_ = std::thread([this] { AcceptLoop(); });
  return true;
}

void TamperingRelay::Tamper(const std::string& program, Rewrite rewrite) {
  MutexLock lock(&mu_);
  rewrites_[program] = std::move(rewrite);
}

void TamperingRelay::PassAll() {
  MutexLock lock(&mu_);
  rewrites_.clear();
  call_rewrites_.clear();
}

void TamperingRelay::TamperCalls(const std::string& program, CallRewrite rewrite) {
  MutexLock lock(&mu_);
  call_rewrites_[program] = std::move(rewrite);
}

TamperingRelay::Rewrite TamperingRelay::RewriteFor(const std::string& program) {
  MutexLock lock(&mu_);
  auto it = rewrites_.find(program);
  return it == rewrites_.end() ? Rewrite() : it->second;
}

void TamperingRelay::AcceptLoop() {
  while (!stopping_) {
    pollfd p{listener_, POLLIN, 0};
    if (poll(&p, 1, 100) <= 0) continue;
    int client = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
    if (client < 0) continue;
    MutexLock lock(&mu_);
    sockets_.push_back(client);
    workers_.emplace_back([this, client] { Serve(client); });
  }
}

void TamperingRelay::Serve(int client) {
  sockets::ConnectFailure failure;
  int server = sockets::Connect("127.0.0.1", upstream_port_, 2000, &failure);
  if (server < 0) return;
  {
    MutexLock lock(&mu_);
    sockets_.push_back(server);
  }
  // Calls in flight, by id, so that a reply can be told by its program.
  Mutex calls_mu;
  std::map<uint32_t, std::string> programs;
  std::thread upward([&] {
    std::string error;
    for (wire::Frame frame;
         testing::ReadFrame(client, wire::kDefaultMaxFrame, kPumpWaitMs, &frame, &error);) {
      if (frame.type == wire::FrameType::kCall) {
        wire::Call call;
        if (wire::Decode(frame.payload, &call, wire::kDefaultMaxFrame, &error)) {
          {
            MutexLock lock(&calls_mu);
            programs[call.id] = call.program;
          }
          CallRewrite rewrite;
          {
            MutexLock lock(&mu_);
            auto it = call_rewrites_.find(call.program);
            if (it != call_rewrites_.end()) rewrite = it->second;
          }
          if (rewrite) {
            std::vector<std::string> inputs;
            for (const wire::CallParameter& p : call.parameters) inputs.push_back(p.data);
            rewrite(&inputs);
            for (size_t i = 0; i < inputs.size(); ++i) call.parameters[i].data = inputs[i];
            frame.payload = wire::Encode(call);
          }
        }
      }
      if (!testing::WriteAll(server, wire::EncodeFrame(frame.type, frame.payload), kPumpWaitMs,
                             &error))
        break;
    }
    shutdown(server, SHUT_RDWR);
  });
  std::string error;
  for (wire::Frame frame;
       testing::ReadFrame(server, wire::kDefaultMaxFrame, kPumpWaitMs, &frame, &error);) {
    if (frame.type == wire::FrameType::kCallReply) {
      wire::CallReply reply;
      if (wire::Decode(frame.payload, &reply, &error) && reply.ok && !reply.outputs.empty()) {
        std::string program;
        {
          MutexLock lock(&calls_mu);
          program = programs[reply.id];
        }
        if (Rewrite rewrite = RewriteFor(program)) {
          rewrite(&reply.outputs[0]);
          frame.payload = wire::Encode(reply);
          ++rewritten_;
        }
      }
    }
    if (!testing::WriteAll(client, wire::EncodeFrame(frame.type, frame.payload), kPumpWaitMs,
                           &error))
      break;
  }
  shutdown(client, SHUT_RDWR);
  upward.join();
}

}  // namespace zvt::testing
