// The log-file helpers on POSIX and on Windows.
#include "platform/log_file.h"

#include <fcntl.h>
#include <time.h>
#ifdef _WIN32
#include <io.h>
#include <process.h>
#include <sys/stat.h>
#include <windows.h>
#else
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include <chrono>
#include <cstdio>
#include <cstdlib>

#include "platform/paths.h"
#include "platform/utf.h"

namespace zvt::platform {

uint64_t LogFileLimit() {
  const char* env = std::getenv("ZVT_LOG_MAX_BYTES");
  if (env != nullptr && *env != '\0') {
    char* end = nullptr;
    unsigned long long n = std::strtoull(env, &end, 10);
    if (end != nullptr && *end == '\0' && n >= 1024) return n;
  }
  return kDefaultLogFileLimit;
}

#ifdef _WIN32
bool AppendToLogFile(const std::string& path, const std::string& record) {
  std::string message;
  if (!EnsurePrivateDirectory(DirectoryOf(path), &message)) return false;
  const std::u16string wide = U16(path);
  const auto* name = reinterpret_cast<const wchar_t*>(wide.c_str());
  struct _stat64 st {};
  if (_wstat64(name, &st) == 0 &&
      static_cast<uint64_t>(st.st_size) + record.size() > LogFileLimit()) {
    const std::u16string old = U16(path + ".1");
    MoveFileExW(name, reinterpret_cast<const wchar_t*>(old.c_str()), MOVEFILE_REPLACE_EXISTING);
  }
  int fd = _wopen(name, _O_WRONLY | _O_APPEND | _O_CREAT | _O_BINARY | _O_NOINHERIT,
                  _S_IREAD | _S_IWRITE);
  if (fd < 0) return false;
  bool ok = _write(fd, record.data(), static_cast<unsigned>(record.size())) ==
            static_cast<int>(record.size());
  _close(fd);
  return ok;
}
#else
bool AppendToLogFile(const std::string& path, const std::string& record) {
  std::string message;
  if (!EnsurePrivateDirectory(DirectoryOf(path), &message)) return false;
  const uint64_t limit = LogFileLimit();
  // Writers of several processes agree through a lock on the file: the one
  // that finds it full renames it to ".1" (dropping the older ".1") while
  // the others wait, and they write to the new file once it is in place.
  for (int attempt = 0; attempt < 8; ++attempt) {
    int fd = open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0) return false;
    if (flock(fd, LOCK_EX) != 0) {
      close(fd);
      return false;
    }
    struct stat open_file {};
    struct stat named {};
    if (fstat(fd, &open_file) != 0 || stat(path.c_str(), &named) != 0 ||
        open_file.st_ino != named.st_ino || open_file.st_dev != named.st_dev) {
      close(fd);  // rotated while we waited: write to the file that took its place
      continue;
    }
    if (open_file.st_size > 0 && static_cast<uint64_t>(open_file.st_size) + record.size() > limit) {
      bool rotated = rename(path.c_str(), (path + ".1").c_str()) == 0;
      close(fd);
      if (!rotated) return false;
      continue;
    }
    bool ok = write(fd, record.data(), record.size()) == static_cast<ssize_t>(record.size());
    close(fd);  // and the lock with it
    return ok;
  }
  return false;
}
#endif

std::string LocalTimestamp() {
  const auto now = std::chrono::system_clock::now();
  const time_t seconds = std::chrono::system_clock::to_time_t(now);
  const long millis = static_cast<long>(
      std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000);
  struct tm local {};
#ifdef _WIN32
  localtime_s(&local, &seconds);
  struct tm copy = local;
  long offset = static_cast<long>(_mkgmtime(&copy) - seconds);
#else
  localtime_r(&seconds, &local);
  long offset = local.tm_gmtoff;
#endif
  char stamp[64];
  size_t n = strftime(stamp, sizeof stamp, "%Y-%m-%dT%H:%M:%S", &local);
  long minutes = (offset < 0 ? -offset : offset) / 60;
  std::snprintf(stamp + n, sizeof stamp - n, ".%03ld%c%02ld:%02ld", millis, offset < 0 ? '-' : '+',
                minutes / 60, minutes % 60);
  return stamp;
}

long ProcessId() {
#ifdef _WIN32
  return _getpid();
#else
  return static_cast<long>(getpid());
#endif
}

}  // namespace zvt::platform
