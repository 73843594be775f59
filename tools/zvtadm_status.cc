// zvtadm host status: how a running zvthostd does, from its admin
// listener's /status (readiness, uptime, connections, calls/s, refusals).

#include <cstdio>
#include <iostream>

#include "hostd/host_json.h"
#include "tools/zvtadm_command.h"
#include "tools/zvtadm_host_client.h"

namespace zvt::tools {

namespace {

struct StatusArgs {
  std::string server;  // "https://host:port"
  std::string ca_file;
};

std::string Duration(int64_t seconds) {
  char text[64];
  std::snprintf(text, sizeof text, "%lldd %02lld:%02lld:%02lld",
                static_cast<long long>(seconds / 86400),
                static_cast<long long>(seconds / 3600 % 24),
                static_cast<long long>(seconds / 60 % 60), static_cast<long long>(seconds % 60));
  return text;
}

// The status in words, or as it came with --json.
void Show(const nlohmann::json& s, const CommandContext* context) {
  const bool ready = s.value("ready", false);
  context->Emit(s, [&] {
    std::string why;
    const nlohmann::json checks = s.value("checks", nlohmann::json::object());
    for (const auto& [name, check] : checks.items())
      if (check.is_object() && !check.value("ok", true))
        why += "; " + name + ": " + check.value("error", std::string("failed"));
    char rate[32];
    std::snprintf(rate, sizeof rate, "%.1f", s.value("calls_per_second", 0.0));
    std::cout << "ready:        " << (ready ? "yes" : "no" + why) << "\n"
              << "uptime:       " << Duration(s.value("uptime_seconds", int64_t{0})) << "\n"
              << "connections:  " << s.value("connections", 0) << " (" << s.value("signed_on", 0)
              << " signed on)\n"
              << "calls:        " << s.value("calls", uint64_t{0}) << " (" << rate << "/s)\n"
              << "refusals:     " << s.value("refusals", uint64_t{0}) << "\n";
    const int64_t expiry = s.value("certificate_expiry", int64_t{0});
    if (expiry != 0) std::cout << "certificate:  valid until " << hostd::UtcText(expiry) << "\n";
  });
}

}  // namespace

void AddStatusCommand(CLI::App* host, CommandContext* context, int* exit_code) {
  auto a = std::make_shared<StatusArgs>();
  auto* status = host->add_subcommand(
      "status", "how a running zvthostd does: readiness, uptime, connections, calls/s, refusals");
  status
      ->add_option("--server", a->server,
                   "the server's admin listener, as https://HOST:PORT (http:// on loopback)")
      ->required();
  status->add_option("--ca", a->ca_file,
                     "the CA file to trust for HTTPS (default: the system's trust store)");
  status->callback([=] {
    std::string server = a->server;
    while (!server.empty() && server.back() == '/') server.pop_back();
    long code = 0;
    std::string body, error;
    // A status is small: more than 1 MiB is no server's.
    if (!HttpRequest("GET", server + "/status", a->ca_file, {}, "", size_t{1} << 20, &code, &body,
                     &error)) {
      *exit_code = context->Fail(kExitFailed, error);
      return;
    }
    nlohmann::json s = nlohmann::json::parse(body, nullptr, /*allow_exceptions=*/false);
    if (code != 200 || !s.is_object() || !s.contains("ready")) {
      *exit_code = context->Fail(kExitFailed, server + "/status answered " + std::to_string(code) +
                                                  ", not a server's status");
      return;
    }
    // A field of another type than a server's status has is an answer
    // from something else, not a crash.
    try {
      Show(s, context);
    } catch (const nlohmann::json::exception& e) {
      *exit_code = context->Fail(kExitFailed, server + "/status: " + e.what());
      return;
    }
    *exit_code = s.value("ready", false) ? kExitOk : kExitFailed;
  });
}

}  // namespace zvt::tools
