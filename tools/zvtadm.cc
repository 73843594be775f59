// zvtadm: the administrator's tool for what the client library keeps.
// Each command group lives in its own file and registers its subcommands here.
#include <algorithm>
#include <atomic>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <iostream>
#include <thread>

#include "services/client.h"
#include "services/mutex.h"
#include "services/win_types.h"
#include "tools/zvtadm_command.h"

namespace zvt::tools {

void CommandContext::Emit(const nlohmann::json& data, const std::function<void()>& text) const {
  if (json) {
    // Texts from elsewhere (a host's messages) may not be UTF-8: shown with
    // U+FFFD for what is not, rather than failing the command.
    std::cout << data.dump(2, ' ', false, nlohmann::json::error_handler_t::replace) << "\n";
  } else {
    text();
  }
}

std::string Upper(std::string s) {
  for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return s;
}

int CommandContext::Fail(int code, const std::string& message, uint32_t return_code) const {
  if (json) {
    nlohmann::json out = {{"error", message}, {"code", code}};
    if (return_code != 0) out["return_code"] = return_code;
    std::cout << out.dump(2, ' ', false, nlohmann::json::error_handler_t::replace) << "\n";
  } else {
    std::cerr << "zvtadm: " << message << "\n";
  }
  return code;
}

struct Progress::Shown {
  std::string what;
  Mutex mu;
  CondVar cv;
  bool done ZVT_GUARDED_BY(mu) = false;
  uint64_t step ZVT_GUARDED_BY(mu) = 0;
  uint64_t total ZVT_GUARDED_BY(mu) = 0;
  std::string phase ZVT_GUARDED_BY(mu);
  std::string unit ZVT_GUARDED_BY(mu);
  uint64_t count ZVT_GUARDED_BY(mu) = 0;
  std::chrono::steady_clock::time_point phase_start ZVT_GUARDED_BY(mu);
  std::thread thread;
};

Progress::Progress(const CommandContext* context, std::string what) {
  if (context->json || !OutputIsTerminal() || !ErrorIsTerminal()) return;
  shown_ = std::make_unique<Shown>();
  shown_->what = std::move(what);
  Shown* s = shown_.get();
  s->thread = std::thread([s] {
    auto start = std::chrono::steady_clock::now();
    MutexLock lock(&s->mu);
    bool drawn = false;
    // Quick work shows nothing; after half a second the line appears.
    for (;;) {
      const auto until =
          std::chrono::steady_clock::now() + std::chrono::milliseconds(drawn ? 200 : 500);
      while (!s->done && s->cv.WaitUntil(&s->mu, until)) {
      }
      if (s->done) break;
      double seconds =
          std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
      std::fprintf(stderr, "\r\033[K%s ... %.1f s", s->what.c_str(), seconds);
      if (!s->phase.empty()) {
        std::fprintf(stderr, ": %s", s->phase.c_str());
        const double in_phase =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - s->phase_start)
                .count();
        if (s->count > 0)
          std::fprintf(stderr, ", %llu %s at %.0f/s", static_cast<unsigned long long>(s->count),
                       s->unit.c_str(), in_phase > 0 ? s->count / in_phase : 0.0);
      } else if (s->total > 0) {
        std::fprintf(stderr, " (%llu of %llu", static_cast<unsigned long long>(s->step),
                     static_cast<unsigned long long>(s->total));
        // The rate so far, and the time left at that rate.
        if (s->step > 0 && seconds > 0) {
          double rate = s->step / seconds;
          std::fprintf(stderr, ", %.0f/s, about %.0f s left", rate,
                       (s->total - std::min(s->step, s->total)) / rate);
        }
        std::fprintf(stderr, ")");
      }
      std::fflush(stderr);
      drawn = true;
    }
    if (drawn) std::fprintf(stderr, "\r\033[K");
  });
}

Progress::~Progress() { Done(); }

void Progress::Step(uint64_t done, uint64_t total) {
  if (!shown_) return;
  MutexLock lock(&shown_->mu);
  shown_->step = done;
  shown_->total = total;
}

void Progress::Phase(const std::string& text, uint64_t count, const std::string& unit) {
  if (!shown_) return;
  MutexLock lock(&shown_->mu);
  if (text != shown_->phase) shown_->phase_start = std::chrono::steady_clock::now();
  shown_->phase = text;
  shown_->count = count;
  shown_->unit = unit;
}

void Progress::Done() {
  if (!shown_) return;
  {
    MutexLock lock(&shown_->mu);
    shown_->done = true;
  }
  shown_->cv.SignalAll();
  shown_->thread.join();
  shown_.reset();
}

struct MutexWaitNotice::Waiting {
  Mutex mu;
  CondVar cv;
  bool over ZVT_GUARDED_BY(mu) = false;
  std::thread thread;
};

MutexWaitNotice::MutexWaitNotice(const CommandContext* context) {
  if (context->json || !ErrorIsTerminal()) return;
  waiting_ = std::make_unique<Waiting>();
  Waiting* w = waiting_.get();
  w->thread = std::thread([w] {
    {
      MutexLock lock(&w->mu);
      const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(1);
      while (!w->over && w->cv.WaitUntil(&w->mu, until)) {
      }
      if (w->over) return;
    }
    std::string holders = CacheMutexHolders();
    std::fprintf(stderr, "zvtadm: waiting for the cache's mutex%s ...\n",
                 holders.empty() ? "" : (", held by process " + holders).c_str());
  });
}

MutexWaitNotice::~MutexWaitNotice() {
  if (!waiting_) return;
  {
    MutexLock lock(&waiting_->mu);
    waiting_->over = true;
  }
  waiting_->cv.SignalAll();
  waiting_->thread.join();
}

std::string DescribeCode(uint32_t rc) {
  switch (rc) {
    case 0:
      return "done";
    case 1:
      return "the library could not obtain the user's values; see `zvtadm log` and "
             "$ZVT_HOME/error.log";
    case kErrorFileNotFound:
      return "a registry key or value was not found";
    case kErrorAccessDenied:
      return "the registry store refused access";
    case kErrorInvalidHandle:
      return "a registry key handle was not valid";
    case kErrorRegistryCorrupt:
      return "the registry store is damaged";
    case kErrorRegistryIoFailed:
      return "the registry store could not be read or written";
    case kErrorKeyDeleted:
      return "a registry key was deleted while in use";
    case kClientBadHandle:
      return "the system handle is not one of this process";
    case kClientNotConfigured:
      return "the system is not configured";
    case kClientBadConfiguration:
      return "the system's configuration is incomplete or wrong (see `zvtadm system list`)";
    case kClientNotSignedOn:
      return "not signed on to the system";
    case kClientPasswordRefused:
      return "the host refused the password";
    case kClientUnknownProfile:
      return "the host does not know the user profile";
    case kClientHostUnreachable:
      return "nothing answered at the host's address";
    case kClientTimedOut:
      return "the host did not answer in time";
    case kClientCommunication:
      return "the connection to the host failed";
    case kClientNoPassword:
      return "the password source cannot be read";
    case kClientProfileLockedOut:
      return "the host refuses the profile's sign-ons for a while after repeated failures";
    case kClientTlsFailed:
      return "no TLS session with the host (its certificate, the CA file, or a host without TLS)";
    case kClientHostBusy:
      return "the host is busy with sign-ons from this network; try again later";
    case kClientHostUnavailable:
      return "the host cannot check sign-ons now (its registry cannot be reached)";
    case kClientBufferTooSmall:
      return "an answer did not fit its buffer";
    case kClientBadParameter:
      return "a parameter was not valid";
    case kClientNoTimestamps:
      return "the system object supplies no change timestamps";
  }
  return "failed";
}

}  // namespace zvt::tools

int main(int argc, char** argv) {
  using namespace zvt::tools;
  // Named here, so that usage lines name the program rather than the path it was started by.
  CLI::App app{"zvtadm: inspect and manage what the zvtappad client library keeps", "zvtadm"};
  app.require_subcommand(1);
  // Options of zvtadm itself (--json) may also follow the command words.
  app.fallthrough();
  CommandContext context;
  int exit_code = kExitOk;
  app.add_flag("--json", context.json, "print results as JSON");
  app.set_version_flag("-V,--version", std::string("zvtadm ") + ZVT_VERSION);

  const CommandGroup groups[] = {AddLibraryCommands, AddCacheCommands, AddSystemCommands,
#ifndef _WIN32
                                 // The host store's commands run on the host's side.
                                 AddHostCommands,
#endif
                                 AddRegCommands};
  for (CommandGroup add : groups) add(&app, &context, &exit_code);

  if (argc >= 2 && std::string(argv[1]) == "__complete")
    return Complete(&app, &context, argc - 2, argv + 2);
  // A command line that cannot be parsed is answered in JSON too when
  // --json is among its words.
  for (int i = 1; i < argc; ++i)
    if (std::string(argv[i]) == "--json") context.json = true;
  std::string word, nearest, where;
  if (FindUnknownCommand(&app, argc, argv, &word, &nearest, &where)) {
    const std::string what = where + ": '" + word + "' is not a command" +
                             (nearest.empty() ? "" : "; did you mean '" + nearest + "'?");
    if (context.json) return context.Fail(kExitUsage, what);
    std::cerr << what << "\nRun with --help for more information.\n";
    return kExitUsage;
  }
  try {
    app.parse(argc, argv);
  } catch (const CLI::Success& e) {  // --help, --help-all, --version
    return app.exit(e);
  } catch (const CLI::ParseError& e) {
    if (context.json) return context.Fail(kExitUsage, e.what());
    app.exit(e);
    return kExitUsage;
  }
  std::cout.flush();
  // A damaged configuration fails any command that met it, whatever it printed.
  if (context.ReportDamage() && exit_code == kExitOk) exit_code = kExitFailed;
  return exit_code;
}
