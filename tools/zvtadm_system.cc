// zvtadm system: the client's configured systems; zvtadm log: its message log.
#include <cstdio>
#include <iostream>

#include "client/message_log.h"
#include "client/system_config.h"
#include "pgm/tls.h"
#include "platform/name_fold.h"
#include "platform/protected_data.h"
#include "platform/utf.h"
#include "tools/zvtadm_command.h"

namespace zvt::tools {
namespace {

using platform::U16;
using platform::Utf16ToUtf8;

int ExitFor(uint32_t rc) { return rc == kClientNotConfigured ? kExitNotFound : kExitFailed; }

nlohmann::json ConfigJson(const client::SystemConfig& c) {
  nlohmann::json j = {{"name", Utf16ToUtf8(c.name)},
                      {"host", c.host_address},
                      {"port", c.port},
                      {"user", c.user_profile},
                      {"interaction_mode", c.interaction_mode},
                      {"supply_timestamps", c.supply_timestamps},
                      {"connect_timeout_ms", c.connect_timeout_ms},
                      {"read_timeout_ms", c.read_timeout_ms}};
  if (c.conversation_timeout_ms != 0) j["conversation_timeout_ms"] = c.conversation_timeout_ms;
  if (!c.password_file.empty()) j["password_file"] = c.password_file;
  if (!c.password_environment.empty()) j["password_env"] = c.password_environment;
  if (!c.protected_password.empty()) j["password_protected"] = true;
  j["tls"] = c.tls_mode;
  if (!c.tls_ca_file.empty()) j["tls_ca"] = c.tls_ca_file;
  return j;
}

}  // namespace

void AddSystemCommands(CLI::App* app, CommandContext* context, int* exit_code) {
  CLI::App* system = app->add_subcommand("system", "the host systems the client is configured for");
  system->require_subcommand(1);
  auto c = std::make_shared<client::SystemConfig>();
  auto name = std::make_shared<std::string>();
  auto store = [context] {
    return client::SystemConfigStore(context->registry(), context->registry());
  };

  auto* add = system->add_subcommand("add", "configure a system");
  auto replace = std::make_shared<bool>(false);
  add->add_option("NAME", *name, "system name")->required();
  add->add_option("--host", c->host_address,
                  "host name or address of zvthostd, or several separated by commas (tried "
                  "in order; each may carry its own :PORT)")
      ->required();
  add->add_option("--port", c->port, "its port")->required();
  add->add_option("--user", c->user_profile, "user profile to sign on with")->required();
  auto* file = add->add_option(
      "--password-file", c->password_file,
      platform::CanProtectForUser()
          ? "file holding the password: read now and kept in the registry protected for you "
            "(the file may go afterwards)"
          : "file holding the password, readable only by you");
  auto* env = add->add_option("--password-env", c->password_environment,
                              "environment variable holding the password");
  file->excludes(env);
  add->add_option("--interaction-mode", c->interaction_mode, "2: never show anything to the user");
  // New systems fetch the change timestamps at sign-on, so that the library
  // can tell whether its cache is current.
  c->supply_timestamps = true;
  add->add_flag("--supply-timestamps,!--no-supply-timestamps", c->supply_timestamps,
                "fetch the change timestamps at sign-on (the default)");
  add->add_flag("--replace", *replace, "replace a system of the same name");
  add->add_option("--connect-timeout-ms", c->connect_timeout_ms, "connect time-out");
  add->add_option("--read-timeout-ms", c->read_timeout_ms, "time-out for each answer");
  add->add_option("--conversation-timeout-ms", c->conversation_timeout_ms,
                  "how long one reload's host calls may take in all (default: four read "
                  "time-outs)");
  add->add_option("--tls", c->tls_mode,
                  "required (the default): TLS with the host's certificate checked; off: "
                  "plaintext, for a host on this machine only")
      ->check(CLI::IsMember(kTlsModes));
  add->add_option("--tls-ca", c->tls_ca_file,
                  "CA certificates (PEM) the host's certificate must chain to (default: the "
                  "system's trust store)");
  add->callback([=] {
    c->name = U16(*name);
    std::string error;
    // Values that no system may have are the command line's fault.
    if (c->password_file.empty() && c->password_environment.empty()) {
      *exit_code = context->Fail(kExitUsage,
                                 "give the password with --password-file or "
                                 "--password-env");
      return;
    }
    if (const std::string problem = client::SystemConfigStore::Check(*c); !problem.empty()) {
      *exit_code = context->Fail(kExitUsage, problem);
      return;
    }
    client::SystemConfigStore s = store();
    // Names are looked up ignoring letter case: "prod" would replace "PROD".
    std::vector<std::u16string> names;
    if (s.List(&names, &error) != kClientOk) {
      *exit_code = context->Fail(kExitFailed, error);
      return;
    }
    for (const std::u16string& existing : names) {
      if (!*replace && platform::NamesEqual(existing, c->name)) {
        *exit_code =
            context->Fail(kExitFailed, "the system " + Utf16ToUtf8(existing) +
                                           " is configured already; give --replace to replace it");
        return;
      }
    }
    // The CA file is kept by its absolute path and must hold a certificate.
    if (!c->tls_ca_file.empty()) {
      c->tls_ca_file = AbsolutePath(c->tls_ca_file);
      if (!tls::LoadClientContext(c->tls_ca_file, &error)) {
        *exit_code = context->Fail(kExitFailed, error);
        return;
      }
    }
    // The password file is kept by its absolute path and must be readable
    // now, by this user only. Where the system protects secrets for their
    // user, the password itself is kept that way instead, and the file is
    // no longer needed.
    if (!c->password_file.empty()) {
      c->password_file = AbsolutePath(c->password_file);
      std::string password;
      if (client::SystemConfigStore::ReadPassword(*c, &password, &error) != kClientOk) {
        *exit_code = context->Fail(kExitFailed, error);
        return;
      }
      if (platform::CanProtectForUser()) {
        if (!platform::ProtectForUser(password, &c->protected_password, &error)) {
          *exit_code = context->Fail(kExitFailed, error);
          return;
        }
        c->password_file.clear();
      }
    }
    uint32_t rc = s.Write(*c, &error);
    *exit_code = rc == kClientOk ? kExitOk : context->Fail(kExitFailed, error);
  });

  auto* list = system->add_subcommand("list", "list the configured systems and check each");
  list->callback([=] {
    context->read_only = true;
    std::vector<std::u16string> names;
    std::string error;
    client::SystemConfigStore s = store();
    if (s.List(&names, &error) != kClientOk) {
      *exit_code = context->Fail(kExitFailed, context->WithConfigurationStoreProblem(error));
      return;
    }
    nlohmann::json out = nlohmann::json::array();
    std::vector<std::string> lines;
    for (const auto& n : names) {
      client::SystemConfig config;
      std::string problem, password;
      uint32_t rc = s.Read(n, &config, &problem);
      if (rc == kClientOk) client::SystemConfigStore::ReadPassword(config, &password, &problem);
      nlohmann::json j =
          rc == kClientOk ? ConfigJson(config) : nlohmann::json{{"name", Utf16ToUtf8(n)}};
      j["problem"] = problem.empty() ? nlohmann::json() : nlohmann::json(problem);
      out.push_back(j);
      lines.push_back(rc == kClientOk
                          ? Utf16ToUtf8(n) + "  " + config.user_profile + "@" +
                                config.host_address + ":" + std::to_string(config.port) +
                                (problem.empty() ? "" : "  ! " + problem)
                          : Utf16ToUtf8(n) + "  ! " + problem);
    }
    context->Emit(out, [&] {
      for (const auto& l : lines) std::cout << l << "\n";
    });
    // A system with a problem fails the listing, after it was shown.
    size_t problems = 0;
    for (const auto& j : out) problems += j["problem"].is_null() ? 0 : 1;
    // (With --json the listing itself says which.)
    *exit_code = problems == 0   ? kExitOk
                 : context->json ? kExitFailed
                                 : context->Fail(kExitFailed, std::to_string(problems) + " of " +
                                                                  std::to_string(out.size()) +
                                                                  " systems have a problem");
  });

  auto* remove = system->add_subcommand("remove", "forget a configured system");
  remove->add_option("SYSTEM", *name, "configured system")->required();
  remove->callback([=] {
    std::string error;
    uint32_t rc = store().Remove(U16(*name), &error);
    *exit_code = rc == kClientOk ? kExitOk : context->Fail(ExitFor(rc), error, rc);
  });

  // The message log.
  auto* log = app->add_subcommand("log", "show the client's message log");
  static auto Visible = [](const std::string& text) {
    std::string out;
    for (unsigned char c : text) {
      if (c < 0x20 || c == 0x7F) {
        char hex[8];
        std::snprintf(hex, sizeof hex, "\\x%02X", c);
        out += hex;
      } else {
        out += static_cast<char>(c);
      }
    }
    return out;
  };
  auto tail = std::make_shared<size_t>(0);
  log->add_option("--tail", *tail, "only the last N entries");
  log->callback([=] {
    client::MessageLog messages;
    std::vector<client::LogEntry> entries;
    std::string error;
    if (!messages.Read(&entries, &error)) {
      *exit_code = context->Fail(kExitFailed, error);
      return;
    }
    size_t first = *tail > 0 && entries.size() > *tail ? entries.size() - *tail : 0;
    nlohmann::json out = nlohmann::json::array();
    for (size_t i = first; i < entries.size(); ++i) {
      const auto& e = entries[i];
      out.push_back({{"time", e.time},
                     {"class", e.message_class},
                     {"source", e.source},
                     {"component", e.component},
                     {"text", e.text}});
    }
    context->Emit(out, [&] {
      for (size_t i = first; i < entries.size(); ++i) {
        const auto& e = entries[i];
        // One line per entry, whatever a host put in its texts: control
        // bytes (line breaks, terminal escapes) are shown as \xNN.
        std::cout << e.time << "  [" << e.message_class << "] " << Visible(e.source)
                  << (e.component.empty() ? "" : " / " + Visible(e.component)) << ": "
                  << Visible(e.text) << "\n";
      }
    });
    *exit_code = kExitOk;
  });
}

}  // namespace zvt::tools
