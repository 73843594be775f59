// What every zvtadm command group shares: the exit codes, the global options
// and the way results are printed (text for people, JSON with --json).
#ifndef ZVT_TOOLS_ZVTADM_COMMAND_H_
#define ZVT_TOOLS_ZVTADM_COMMAND_H_

#include <CLI/CLI.hpp>
#include <deque>
#include <functional>
#include <memory>
#include <nlohmann/json.hpp>
#include <set>
#include <string>
#include <vector>

#include "platform/log_file.h"
#include "services/sync.h"
#include "tools/zvtadm_registry.h"

namespace zvt::tools {

// Exit codes of zvtadm.
enum ExitCode : int {
  kExitOk = 0,
  kExitFailed = 1,    // the operation was tried and failed
  kExitUsage = 2,     // bad command line
  kExitNotFound = 3,  // the key, value or system asked for does not exist
};

class CommandContext {
 public:
  bool json = false;
  // When the command began, as the message log writes times: its entries
  // from then on are this command's.
  const std::string started = platform::LocalTimestamp();
  // Set by commands that only read, before they first use registry(): the
  // stores are then not created when they do not exist.
  bool read_only = false;

  // Storage for parsed arguments that lives as long as the command line.
  std::string* NewArgument() { return &arguments_.emplace_back(); }

  // The registry stores of the environment, opened on first use.
  ToolRegistry* registry();

  // Prints `data` as JSON when --json is given, else calls `text`.
  void Emit(const nlohmann::json& data, const std::function<void()>& text) const;
  // `error` with what the configuration store itself says when it could not
  // be opened (damaged, unreadable, a full disk).
  std::string WithConfigurationStoreProblem(const std::string& error);
  // Prints "zvtadm: message" to standard error and returns `code`; with
  // --json, prints {"error", "code"} instead, and "return_code" when the
  // failure is a return code of the library's (`return_code` not 0).
  int Fail(int code, const std::string& message, uint32_t return_code = 0) const;
  // Tells, on standard error, of damage the stores showed while the command
  // ran: which file, what was found, and how to restore a damaged
  // configuration. True when the configuration is damaged.
  bool ReportDamage() const;

 private:
  std::unique_ptr<ToolRegistry> registry_;
  std::deque<std::string> arguments_;
};

// A line on standard error that counts the seconds of long work, and for
// work that counts its steps "n of N", the rate and the time left, or the
// part of it under way; shown only when both standard output and standard
// error are terminals and no JSON is asked for. It goes away when the work
// is done.
class Progress {
 public:
  Progress(const CommandContext* context, std::string what);
  ~Progress();
  Progress(const Progress&) = delete;
  Progress& operator=(const Progress&) = delete;
  // Also "n of total" for work that can count its steps.
  void Step(uint64_t done, uint64_t total);
  // The part of the work under way, shown instead of the steps while it
  // lasts, with `count` things (`unit`) done in it so far and their rate;
  // "" ends it.
  void Phase(const std::string& text, uint64_t count = 0, const std::string& unit = "");
  void Done();

 private:
  struct Shown;
  std::unique_ptr<Shown> shown_;
};

// The functions that a user's key in the persistent cache holds as denied:
// kErrorFileNotFound when the cache has no key for that user on that
// system, another code when the key cannot be read whole.
LONG CachedDeniedFunctions(ToolRegistry* registry, const std::string& system,
                           const std::string& user, std::set<std::u16string>* denied);
// A failure to read the cache store in words (for 1015, what was found).
std::string CacheStoreError(ToolRegistry* registry, LONG rc);

// Prints the words that may follow the command line `argv` (the command
// words after "zvtadm"), one per line, for shell completion.
int Complete(CLI::App* app, CommandContext* context, int argc, char** argv);
// The first word of the command line that names no command where one is
// expected, with the nearest command's name (empty when none is near) and
// the command it was given to; false when every command word is known.
// Options, and the words after a command without subcommands, are not
// looked at.
bool FindUnknownCommand(CLI::App* app, int argc, char** argv, std::string* word,
                        std::string* nearest, std::string* where);

// What differs between the systems zvtadm runs on (zvtadm_posix.cc,
// zvtadm_win32.cc):

// The processes other than this one that have the cache's mutex open, as
// "PID (name), ...": its holder among them while it is held ("" where the
// system does not tell).
std::string CacheMutexHolders();
// The named mutexes of the library's processes.
std::unique_ptr<SyncApi> ToolSync();
// A problem `cache check` found, and what to do about it.
struct Finding {
  std::string what;
  std::string todo;
};
// Checks the files the client's stores are kept in, where they are the
// client's own (not on Windows, whose registry is the system's).
void CheckStoreFiles(CommandContext* context, std::vector<Finding>* found);
// `path` made absolute (as it is when it cannot be resolved).
std::string AbsolutePath(const std::string& path);
// The library's exports that zvtadm asks through, from the library beside
// zvtadm's own modules; false with `*error` when it cannot be loaded.
struct LibraryExports {
  uint32_t (*value)(const char*, const char*, uint32_t*) = nullptr;
  uint32_t (*value_ex)(const uint64_t*, const char*, uint32_t*) = nullptr;
  uint32_t (*state_ex)(const uint64_t*, uint32_t*) = nullptr;
};
bool LoadLibraryExports(LibraryExports* exports, std::string* error);
// Prints the profiles of the host store at `store`, one per line, for
// completion; nothing where no host store can be read.
void PrintHostProfiles(const std::string& store);
// Whether standard output and standard error are terminals.
bool OutputIsTerminal();
bool ErrorIsTerminal();

// Says on a terminal, once the cache's mutex has been waited for a second,
// that this command waits and which process holds it; quiet otherwise.
class MutexWaitNotice {
 public:
  explicit MutexWaitNotice(const CommandContext* context);
  ~MutexWaitNotice();  // the wait is over
  MutexWaitNotice(const MutexWaitNotice&) = delete;
  MutexWaitNotice& operator=(const MutexWaitNotice&) = delete;

 private:
  struct Waiting;
  std::unique_ptr<Waiting> waiting_;
};

// A return code of the library, the client services or the registry in words.
std::string DescribeCode(uint32_t rc);

// A command group adds its subcommands to `app`. Each subcommand's callback
// stores its exit code in `*exit_code`.
using CommandGroup = void (*)(CLI::App* app, CommandContext* context, int* exit_code);

void AddRegCommands(CLI::App* app, CommandContext* context, int* exit_code);
void AddHostCommands(CLI::App* app, CommandContext* context, int* exit_code);
// A stored change timestamp (big-endian microseconds since 1970) as JSON:
// {"stored": hex, "time": RFC 3339 when it reads as a date of this century}.
nlohmann::json DecodeTimestamp(const std::vector<BYTE>& stored);
// Its "time", else its "stored".
std::string TimeText(const nlohmann::json& timestamp);
// `s` with its ASCII letters in upper case (user and system names as the
// cache keeps them).
std::string Upper(std::string s);
// The values of `system add --tls`.
inline const std::vector<std::string> kTlsModes = {"required", "off"};
// `host status`, under the host group.
void AddStatusCommand(CLI::App* host, CommandContext* context, int* exit_code);
void AddSystemCommands(CLI::App* app, CommandContext* context, int* exit_code);
void AddLibraryCommands(CLI::App* app, CommandContext* context, int* exit_code);
void AddCacheCommands(CLI::App* app, CommandContext* context, int* exit_code);
// "cache check", part of the cache group.
void AddCacheCheckCommand(CLI::App* cache, CommandContext* context, int* exit_code);

}  // namespace zvt::tools

#endif  // ZVT_TOOLS_ZVTADM_COMMAND_H_
