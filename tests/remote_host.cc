// Requests to the control process that runs the Linux build's host servers.
#include "tests/remote_host.h"

#include <cstdlib>
#include <vector>

#include "pgm/sockets.h"
#include "services/mutex.h"
#include "tests/host_control_protocol.h"

namespace zvt::hostd {
namespace {

namespace control = testing::host_control;

constexpr int kReplyTimeoutMs = 30000;

// The one connection of this process to the control process.
class Control {
 public:
  static Control& Instance() {
    static Control control;
    return control;
  }

  // Sends one request and reads its reply: true with the results for "ok",
  // false with `*error` set otherwise.
  bool Request(const std::string& word, const std::vector<std::string>& args,
               std::vector<std::string>* results, std::string* error) {
    MutexLock lock(&mu_);
    if (socket_ == sockets::kNoSocket && !Connect(error)) return false;
    std::string line = control::Line(word, args), reply;
    if (!SendAll(line, error) || !ReadLine(&reply, error)) {
      sockets::Close(socket_);
      socket_ = sockets::kNoSocket;
      return false;
    }
    std::string answer;
    std::vector<std::string> words;
    if (!control::Parse(reply, &answer, &words)) {
      *error = "malformed reply from the host control process: " + reply;
      return false;
    }
    if (answer != "ok") {
      *error = words.empty() ? "the host control process refused " + word : words[0];
      return false;
    }
    if (results != nullptr) *results = std::move(words);
    return true;
  }

 private:
  bool Connect(std::string* error) {
    const char* port = std::getenv("ZVT_HOST_CONTROL");
    if (port == nullptr) {
      *error = "ZVT_HOST_CONTROL does not name the port of zvt_host_control";
      return false;
    }
    sockets::ConnectFailure failure;
    socket_ = sockets::Connect("127.0.0.1", static_cast<uint16_t>(std::atoi(port)), 5000, &failure);
    if (socket_ == sockets::kNoSocket) *error = "host control process: " + failure.text;
    return socket_ != sockets::kNoSocket;
  }
  bool SendAll(const std::string& data, std::string* error) {
    for (size_t sent = 0; sent < data.size();) {
      long n = sockets::Send(socket_, data.data() + sent, data.size() - sent, error);
      if (n == sockets::kWouldBlock) {
        if (sockets::WaitFor(socket_, sockets::Ready::kWrite, kReplyTimeoutMs, error) != 1)
          return false;
        continue;
      }
      if (n <= 0) return false;
      sent += static_cast<size_t>(n);
    }
    return true;
  }
  bool ReadLine(std::string* line, std::string* error) {
    size_t end;
    while ((end = buffer_.find('\n')) == std::string::npos) {
      if (sockets::WaitFor(socket_, sockets::Ready::kRead, kReplyTimeoutMs, error) != 1) {
        if (error->empty()) *error = "the host control process did not answer";
        return false;
      }
      char chunk[4096];
      long n = sockets::Receive(socket_, chunk, sizeof chunk, error);
      if (n == sockets::kWouldBlock) continue;
      if (n <= 0) {
        if (n == sockets::kClosed) *error = "the host control process closed the connection";
        return false;
      }
      buffer_.append(chunk, static_cast<size_t>(n));
    }
    *line = buffer_.substr(0, end);
    buffer_.erase(0, end + 1);
    return true;
  }

  Mutex mu_;
  sockets::Handle socket_ = sockets::kNoSocket;
  std::string buffer_;
};

bool Request(const std::string& word, const std::vector<std::string>& args,
             std::vector<std::string>* results, std::string* error) {
  return Control::Instance().Request(word, args, results, error);
}

Stamp ToStamp(const std::string& raw) {
  Stamp s{};
  for (size_t i = 0; i < s.size() && i < raw.size(); ++i) s[i] = static_cast<uint8_t>(raw[i]);
  return s;
}

uint64_t Count(const std::vector<std::string>& args) {
  std::vector<std::string> results;
  std::string error;
  if (!Request("calls", args, &results, &error) || results.empty()) return 0;
  return std::strtoull(results[0].c_str(), nullptr, 10);
}

}  // namespace

std::unique_ptr<HostStore> HostStore::Open(const std::string&, std::string* error) {
  if (!Request("reset", {}, nullptr, error)) return nullptr;
  return std::make_unique<HostStore>();
}

bool HostStore::AddProfile(const std::string& name, const std::string& password, HashStrength,
                           std::string* error) {
  return Request("profile", {name, password}, nullptr, error);
}

// Only granting is needed by the tests.
bool HostStore::SetAllProfiles(const std::string& name, bool all, std::string* error) {
  if (!all) return *error = "only granting the all-profiles authority is supported", false;
  return Request("all_profiles", {name}, nullptr, error);
}

bool HostStore::AddFunction(const FunctionRow& f, std::string* error) {
  return Request("function",
                 {f.id, f.category, f.type, f.root, f.parent, f.name, f.name2, f.description,
                  f.description2, f.indicator1, f.indicator2, f.indicator3, f.default_usage},
                 nullptr, error);
}

bool HostStore::SetUsage(const std::string& profile, const std::string& function,
                         const std::string& usage, std::string* error) {
  return Request("usage", {profile, function, usage}, nullptr, error);
}

bool HostStore::GetTimestamps(const std::string& profile, Timestamps* stamps, bool* known,
                              std::string* error) {
  std::vector<std::string> r;
  if (!Request("timestamps", {profile}, &r, error)) return false;
  if (r.size() != 4) {
    *error = "timestamps: unexpected reply";
    return false;
  }
  *known = r[0] == "1";
  stamps->user = ToStamp(r[1]);
  stamps->rep = ToStamp(r[2]);
  stamps->hier = ToStamp(r[3]);
  return true;
}

bool HostServer::Start(std::string* error) {
  std::vector<std::string> r;
  if (!Request("start",
               {std::to_string(faults_.reset_after_calls),
                std::to_string(faults_.stall_after_calls), std::to_string(faults_.call_delay_ms),
                std::to_string(options_.version), std::to_string(options_.release)},
               &r, error))
    return false;
  port_ = r.empty() ? 0 : static_cast<uint16_t>(std::atoi(r[0].c_str()));
  running_ = port_ != 0;
  return running_;
}

void HostServer::Stop() {
  if (!running_) return;
  running_ = false;
  std::string ignored;
  Request("stop", {}, nullptr, &ignored);
}

uint64_t HostServer::calls_answered() const { return Count({}); }

uint64_t HostServer::calls_of(const std::string& program) const { return Count({program}); }

}  // namespace zvt::hostd
