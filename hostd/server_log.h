// zvthostd's log: when standard error is the journal's stream (as systemd
// sets it up for the service), entries sent to the journal with their
// priority and fields (PROFILE=, PEER=, PROGRAM=, CODE=), so that
// `journalctl -u zvthostd PROFILE=JOE` finds them; otherwise lines on
// standard error, "zvthostd: " first. Thread-safe.
#ifndef ZVT_HOSTD_SERVER_LOG_H_
#define ZVT_HOSTD_SERVER_LOG_H_

#include <string>

namespace zvt::hostd {

enum class LogLevel { kError = 3, kWarning = 4, kNotice = 5, kInfo = 6, kDebug = 7 };

// Lines above `level` are dropped (default kInfo).
void SetLogLevel(LogLevel level);
// "err", "warning", "notice", "info" or "debug"; false for any other name.
bool ParseLogLevel(const std::string& name, LogLevel* level);
// What a line is about, as journal fields (the empty ones are left out).
struct LogFields {
  std::string profile;
  std::string peer;
  std::string program;
  std::string code;
};
void Log(LogLevel level, const std::string& text, const LogFields& fields = LogFields());

// A name a client sent (a profile), for a log line: in double quotes, its
// control bytes and quotes escaped, cut after 64 bytes.
std::string QuotedName(const std::string& name);

// Refusals of clients at notice level, a few lines per `cause` and interval:
// the first five of a cause are logged, further ones within the ten seconds
// from the first are counted and told as one summary line when the interval is over (at the
// next refusal or the next FlushRefusals). `cause` is a fixed text.
void LogRefusal(const char* cause, const std::string& text, const LogFields& fields = LogFields());
// Logs the summaries of intervals that are over; the server calls it now and then.
void FlushRefusals();

}  // namespace zvt::hostd

#endif  // ZVT_HOSTD_SERVER_LOG_H_
