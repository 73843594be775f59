// The call log's file and its lines.
#include "hostd/call_log.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>

#include "services/mutex.h"

namespace zvt::hostd {
namespace {

// Names from the network go into the log as one word of printable ASCII.
std::string LogWord(const std::string& text) {
  std::string word = text.empty() ? "-" : text.substr(0, 64);
  for (char& c : word)
    if (c <= ' ' || c > '~') c = '?';
  return word;
}

}  // namespace

CallLog::~CallLog() {
  if (fd_ >= 0) close(fd_);
}

bool CallLog::Reopen(const std::string& path, std::string* error) {
  int fd = -1;
  if (!path.empty()) {
    fd = open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    if (fd < 0) {
      *error = "cannot open the call log " + path + ": " + std::strerror(errno);
      return false;
    }
  }
  MutexLock lock(&mu_);
  if (fd_ >= 0) close(fd_);
  fd_ = fd;
  logging_ = fd >= 0;
  return true;
}

void CallLog::Append(const std::string& user, const std::string& program,
                     const wire::CallReply& reply) {
  if (!logging_.load(std::memory_order_relaxed)) return;
  char when[32];
  std::time_t now = std::time(nullptr);
  std::tm tm{};
  gmtime_r(&now, &tm);
  std::strftime(when, sizeof when, "%Y-%m-%dT%H:%M:%SZ", &tm);
  std::string outcome = reply.ok || reply.messages.empty() ? "ok" : reply.messages[0].id;
  std::string line = std::string(when) + " " + LogWord(user) + " " + LogWord(program) + " " +
                     LogWord(outcome) + "\n";
  MutexLock lock(&mu_);
  if (fd_ >= 0) (void)!write(fd_, line.data(), line.size());
}

}  // namespace zvt::hostd
