// A client process of the library for multi-process tests: admin_query,
// started with this process's environment and asked through pipes.
#ifndef ZVT_TESTS_ADMIN_CLIENT_H_
#define ZVT_TESTS_ADMIN_CLIENT_H_

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

extern char** environ;

namespace zvt::testing {

inline std::string BinDir() {
  const char* bin = std::getenv("ZVT_TEST_BIN");
  return bin != nullptr ? bin : ".";
}

// One admin_query process.
class Client {
 public:
  explicit Client(const std::string& system) {
    int to_child[2], from_child[2];
    // Close-on-exec, so that no other client inherits this one's pipes.
    if (pipe2(to_child, O_CLOEXEC) != 0 || pipe2(from_child, O_CLOEXEC) != 0) return;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, to_child[0], 0);
    posix_spawn_file_actions_adddup2(&actions, from_child[1], 1);
    posix_spawn_file_actions_addclose(&actions, to_child[1]);
    posix_spawn_file_actions_addclose(&actions, from_child[0]);
    std::string program = BinDir() + "/admin_query";
    std::string library = BinDir() + "/../lib/libzvtappad.so";
    char* args[] = {program.data(), library.data(), const_cast<char*>(system.c_str()), nullptr};
    if (posix_spawn(&pid_, program.c_str(), &actions, nullptr, args, environ) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
    close(to_child[0]);
    close(from_child[1]);
    in_ = to_child[1];
    out_ = fdopen(from_child[0], "r");
  }
  // Ends the process at once, whatever it is doing.
  void Kill() {
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
      pid_ = -1;
    }
  }
  // Sends a query without waiting for its answer.
  bool Send(const std::string& command) {
    std::string line = command + "\n";
    return in_ >= 0 && write(in_, line.data(), line.size()) == static_cast<ssize_t>(line.size());
  }
  // The answer to a query sent before: the value, -1 for a failed call.
  int Receive() {
    unsigned rc = 0, value = 0;
    if (out_ == nullptr || std::fscanf(out_, "%u %u", &rc, &value) != 2) return -2;
    return rc == 0 ? static_cast<int>(value) : -1;
  }

  // The next whole line of answer.
  std::string ReceiveLine() {
    char buffer[4096];
    if (out_ == nullptr || std::fgets(buffer, sizeof buffer, out_) == nullptr) return "";
    return buffer;
  }

  ~Client() {
    if (in_ >= 0) close(in_);
    if (out_ != nullptr) fclose(out_);
    if (pid_ > 0) waitpid(pid_, nullptr, 0);
  }
  Client(const Client&) = delete;
  Client& operator=(const Client&) = delete;

  // The admin value of `function`, or -1 when the call failed.
  int Value(const std::string& function) { return Ask("v " + function); }
  int State() { return Ask("s"); }

 private:
  int Ask(const std::string& command) { return Send(command) ? Receive() : -2; }

  pid_t pid_ = -1;
  int in_ = -1;
  FILE* out_ = nullptr;
};

}  // namespace zvt::testing

#endif  // ZVT_TESTS_ADMIN_CLIENT_H_
