// zvthostd: the host server. Serves the function registry in a host store to
// clients of the remote program call library until SIGINT or SIGTERM; SIGHUP
// re-reads its configuration file and SIGUSR1 logs a status summary. Under
// systemd (Type=notify) it reports when it listens, reloads and stops, how
// it does every few seconds, and feeds the watchdog while its event loops
// turn. --check-config lists every problem of a configuration.
#include <signal.h>
#include <sys/resource.h>
#include <systemd/sd-daemon.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <iostream>
#include <nlohmann/json.hpp>
#include <vector>

#include "hostd/admin_api.h"
#include "hostd/admin_listener.h"
#include "hostd/console_files.h"
#include "hostd/host_json.h"
#include "hostd/host_server.h"
#include "hostd/operator_view.h"
#include "hostd/server_log.h"

namespace {

// "HOST:PORT", "[IPV6]:PORT", ":PORT" or "PORT"; HOST a name or an address.
bool ParseListenAddress(const std::string& text, zvt::hostd::ListenAddress* endpoint) {
  size_t colon = text.rfind(':');
  std::string host = colon == std::string::npos ? "" : text.substr(0, colon);
  uint16_t port = 0;
  if (!zvt::sockets::ParsePort(colon == std::string::npos ? text : text.substr(colon + 1), &port))
    return false;
  if (host.size() >= 2 && host.front() == '[' && host.back() == ']') {
    host = host.substr(1, host.size() - 2);
  } else if (host.find(':') != std::string::npos) {
    return false;  // an IPv6 address needs its brackets
  }
  endpoint->host = host;
  endpoint->port = port;
  return true;
}

// What the configuration file sets: the server's options and the addresses
// to listen on.
struct Settings {
  zvt::hostd::ServerOptions* options;
  std::vector<std::string>* listen;
  std::string* admin_listen;
  std::string* console;
};

// The configuration file's keys: the kind of value each takes (a string, a
// whole number up to `max`, or for "listen" also an array of strings), the
// command-line option that overrides it, and where it goes.
struct Key {
  const char* name;
  const char* option;  // nullptr: the file only
  bool text;
  uint64_t max;
  void (*apply)(const nlohmann::json& value, const Settings& to);
};
constexpr Key kKeys[] = {
    {"listen", "--listen", true, 0,
     [](const nlohmann::json& v, const Settings& to) {
       *to.listen = v.is_array() ? v.get<std::vector<std::string>>()
                                 : std::vector<std::string>{v.get<std::string>()};
     }},
    {"store", "--store", true, 0,
     [](const nlohmann::json& v, const Settings& to) { to.options->store_path = v; }},
    {"store_connections", "--store-connections", false, 1000,
     [](const nlohmann::json& v, const Settings& to) { to.options->store_connections = v; }},
    {"call_log", "--call-log", true, 0,
     [](const nlohmann::json& v, const Settings& to) { to.options->call_log = v; }},
    {"tls_cert", "--tls-cert", true, 0,
     [](const nlohmann::json& v, const Settings& to) { to.options->tls_certificate = v; }},
    {"tls_key", "--tls-key", true, 0,
     [](const nlohmann::json& v, const Settings& to) { to.options->tls_key = v; }},
    {"version", "--host-version", false, 0xFFFFFFFFu,
     [](const nlohmann::json& v, const Settings& to) { to.options->version = v; }},
    {"release", "--host-release", false, 0xFFFFFFFFu,
     [](const nlohmann::json& v, const Settings& to) { to.options->release = v; }},
    {"max_frame", "--max-frame", false, 0xFFFFFFFFu,
     [](const nlohmann::json& v, const Settings& to) { to.options->max_frame = v; }},
    {"idle_timeout_ms", "--idle-timeout-ms", false, 0x7FFFFFFF,
     [](const nlohmann::json& v, const Settings& to) { to.options->idle_timeout_ms = v; }},
    {"max_clients", nullptr, false, 0x7FFFFFFF,
     [](const nlohmann::json& v, const Settings& to) { to.options->max_clients = v; }},
    {"handshake_timeout_ms", nullptr, false, 0x7FFFFFFF,
     [](const nlohmann::json& v, const Settings& to) { to.options->handshake_timeout_ms = v; }},
    {"max_unauthenticated_per_address", nullptr, false, 0x7FFFFFFF,
     [](const nlohmann::json& v, const Settings& to) {
       to.options->max_unauthenticated_per_address = v;
     }},
    {"ipv4_prefix", nullptr, false, 32,
     [](const nlohmann::json& v, const Settings& to) { to.options->ipv4_prefix = v; }},
    {"ipv6_prefix", nullptr, false, 128,
     [](const nlohmann::json& v, const Settings& to) { to.options->ipv6_prefix = v; }},
    {"penalty_ms", nullptr, false, 0x7FFFFFFF,
     [](const nlohmann::json& v, const Settings& to) { to.options->penalty_ms = v; }},
    {"max_penalty_ms", nullptr, false, 0x7FFFFFFF,
     [](const nlohmann::json& v, const Settings& to) { to.options->max_penalty_ms = v; }},
    {"signons_waiting_per_network", nullptr, false, 0x7FFFFFFF,
     [](const nlohmann::json& v, const Settings& to) {
       to.options->signons_waiting_per_network = v;
     }},
    {"max_request_frame", nullptr, false, 0xFFFFFFFFu,
     [](const nlohmann::json& v, const Settings& to) { to.options->max_request_frame = v; }},
    {"admin_listen", "--admin-listen", true, 0,
     [](const nlohmann::json& v, const Settings& to) { *to.admin_listen = v; }},
    {"console", "--console", true, 0,
     [](const nlohmann::json& v, const Settings& to) { *to.console = v; }},
};

// The keys' names, "a, b, c".
std::string KeyNames() {
  std::string names;
  for (const Key& k : kKeys) names += std::string(names.empty() ? "" : ", ") + k.name;
  return names;
}

// Reads the configuration file into `to`, except for the keys whose options
// `app` was given. Every problem is added to `problems`: a file that cannot
// be read or is not a JSON object, unknown or repeated keys, values of the
// wrong type or range.
void ReadConfig(const std::string& path, const CLI::App& app, const Settings& to,
                std::vector<std::string>* problems) {
  std::ifstream in(path);
  if (!in) {
    problems->push_back(path + ": " + std::strerror(errno));
    return;
  }
  nlohmann::json j;
  std::vector<std::string> seen;  // the top-level keys so far
  auto note_key = [&](int depth, nlohmann::json::parse_event_t event, nlohmann::json& parsed) {
    if (event == nlohmann::json::parse_event_t::key && depth == 1) {
      const std::string key = parsed.get<std::string>();
      if (std::find(seen.begin(), seen.end(), key) != seen.end())
        problems->push_back(path + ": \"" + key + "\" is given more than once");
      seen.push_back(key);
    }
    return true;
  };
  try {
    j = nlohmann::json::parse(in, note_key);
  } catch (const nlohmann::json::exception& e) {  // syntax, or a number out of range
    problems->push_back(path + ": not JSON: " + e.what());
    return;
  }
  if (!j.is_object()) {
    problems->push_back(path + ": not a JSON object");
    return;
  }
  for (const auto& [name, value] : j.items()) {
    const Key* key = nullptr;
    for (const Key& k : kKeys)
      if (name == k.name) key = &k;
    if (key == nullptr) {
      problems->push_back(path + ": unknown key \"" + name + "\" (known: " + KeyNames() + ")");
      continue;
    }
    const bool is_listen = std::string(key->name) == "listen";
    bool ok;
    if (is_listen) {
      ok = value.is_string() ||
           (value.is_array() && !value.empty() &&
            std::all_of(value.begin(), value.end(), [](const auto& v) { return v.is_string(); }));
    } else {
      ok = key->text ? value.is_string()
                     : value.is_number_unsigned() && value.get<uint64_t>() <= key->max;
    }
    if (!ok) {
      problems->push_back(path + ": \"" + name + "\" must be " +
                          (is_listen   ? std::string("a string or an array of strings")
                           : key->text ? std::string("a string")
                                       : "a whole number from 0 to " + std::to_string(key->max)));
      continue;
    }
    if (key->option != nullptr && app.count(key->option) > 0) continue;  // the command line wins
    key->apply(value, to);
  }
}

// Values with which the server would serve nobody, whichever way they came.
void CheckUseful(const zvt::hostd::ServerOptions& o, std::vector<std::string>* problems) {
  const std::pair<const char*, uint64_t> must_not_be_zero[] = {
      {"max_frame", o.max_frame},
      {"max_request_frame", o.max_request_frame},
      {"max_clients", static_cast<uint64_t>(o.max_clients)},
      {"idle_timeout_ms", static_cast<uint64_t>(o.idle_timeout_ms)},
      {"handshake_timeout_ms", static_cast<uint64_t>(o.handshake_timeout_ms)},
      {"max_unauthenticated_per_address", static_cast<uint64_t>(o.max_unauthenticated_per_address)},
      {"signons_waiting_per_network", static_cast<uint64_t>(o.signons_waiting_per_network)},
  };
  for (const auto& [name, value] : must_not_be_zero)
    if (value == 0) problems->push_back(std::string("\"") + name + "\" must not be 0");
  if (o.max_request_frame > o.max_frame)
    problems->push_back("\"max_request_frame\" must not be larger than \"max_frame\"");
  if (o.penalty_ms > o.max_penalty_ms)
    problems->push_back("\"penalty_ms\" must not be larger than \"max_penalty_ms\"");
}

// Turns the listen texts into the options' addresses; every one that is
// not HOST:PORT is a problem.
void ApplyListen(const std::vector<std::string>& listen, zvt::hostd::ServerOptions* options,
                 std::vector<std::string>* problems) {
  options->also_listen.clear();
  for (size_t i = 0; i < listen.size(); ++i) {
    zvt::hostd::ListenAddress endpoint;
    if (!ParseListenAddress(listen[i], &endpoint)) {
      problems->push_back("listen wants HOST:PORT or [IPV6]:PORT, not \"" + listen[i] + "\"");
    } else if (i == 0) {
      options->listen_address = endpoint.host;
      options->port = endpoint.port;
    } else {
      options->also_listen.push_back(endpoint);
    }
  }
}

// Whether the certificate and key can be read and belong together, and
// whether an address other than loopback is served without them.
void CheckTransport(const zvt::hostd::ServerOptions& o, const std::string& admin_listen,
                    std::vector<std::string>* problems) {
  const bool tls = !o.tls_certificate.empty() || !o.tls_key.empty();
  if (tls) {
    std::string error;
    if (o.tls_certificate.empty() || o.tls_key.empty())
      problems->push_back("TLS needs both \"tls_cert\" and \"tls_key\"");
    else if (!zvt::tls::LoadServerContext(o.tls_certificate, o.tls_key, &error))
      problems->push_back(error);
    return;
  }
  // Without a certificate the password crosses the wire in clear: only
  // clients on this machine may be served so.
  std::vector<zvt::hostd::ListenAddress> all = {{o.listen_address, o.port}};
  all.insert(all.end(), o.also_listen.begin(), o.also_listen.end());
  for (const zvt::hostd::ListenAddress& e : all) {
    if (!zvt::sockets::IsLoopbackName(e.host))
      problems->push_back("listening on " +
                          (e.host.empty() ? std::string("every address") : e.host) +
                          " needs TLS: give --tls-cert and --tls-key (\"tls_cert\", \"tls_key\"), "
                          "or listen on a loopback address");
  }
  zvt::hostd::ListenAddress admin;
  if (!admin_listen.empty() && ParseListenAddress(admin_listen, &admin) &&
      !zvt::sockets::IsLoopbackName(admin.host))
    problems->push_back(
        "the admin listener on " +
        (admin.host.empty() ? std::string("every address") : admin.host) +
        " needs TLS: give --tls-cert and --tls-key, or listen on a loopback address");
}

// Writes `port` to `path` (if given) through a temporary file, so that a
// reader never sees it half written.
void WritePortFile(const std::string& path, uint16_t port) {
  if (path.empty()) return;
  std::ofstream(path + ".tmp") << port << "\n";
  std::rename((path + ".tmp").c_str(), path.c_str());
}

}  // namespace

int main(int argc, char** argv) {
  using zvt::hostd::Log;
  using zvt::hostd::LogLevel;
  zvt::hostd::ServerOptions options;
  std::vector<std::string> listen = {"127.0.0.1:0"};
  std::string config, port_file, log_level = "info", admin_listen, admin_port_file, console;
  CLI::App app{"zvthostd: host server for the function registry", "zvthostd"};
  app.add_option("--config", config, "JSON file with any of: " + KeyNames());
  app.add_option("--listen", listen,
                 "HOST:PORT or [IPV6]:PORT to listen on, several times for several (a name: "
                 "every address it has; port 0: any free port)")
      ->take_all();
  app.add_option("--admin-listen", admin_listen,
                 "HOST:PORT for operators: /metrics, /healthz, /readyz, /status (HTTPS with the "
                 "server's certificate; plain HTTP only on loopback)");
  app.add_option(
      "--console", console,
      "serve the web console on the admin listener from this directory (default: " ZVT_CONSOLE_DIR
      ", when installed)");
  app.add_option("--admin-port-file", admin_port_file,
                 "write the port the admin listener listens on to this file");
  app.add_option("--log-level", log_level, "err, warning, notice, info (default) or debug");
  app.add_option("--store", options.store_path,
                 "host store: a SQLite file (created when missing) or a postgresql:// URI");
  app.add_option("--store-connections", options.store_connections,
                 "PostgreSQL connections the workers share (default: one per processor)");
  bool migrate = false, check_config = false;
  app.add_flag("--migrate", migrate,
               "create the store's schema, or bring it up to this version's, and exit");
  app.add_flag("--check-config", check_config,
               "check the command line and the configuration file, list every problem, and exit "
               "0 (none) or 2");
  app.set_version_flag("-V,--version", std::string("zvthostd ") + ZVT_VERSION);
  app.add_option("--host-version", options.version,
                 "host version to report (default: the store's)");
  app.add_option("--host-release", options.release, "host release to report");
  app.add_option("--max-frame", options.max_frame, "largest frame accepted, in bytes");
  app.add_option("--idle-timeout-ms", options.idle_timeout_ms, "disconnect silent clients after");
  app.add_option("--tls-cert", options.tls_certificate,
                 "the server's certificate chain, PEM; with --tls-key, every client must use TLS "
                 "(read again on SIGHUP)");
  app.add_option("--tls-key", options.tls_key, "the certificate's private key, PEM");
  app.add_flag("--allow-fast-hashes", options.allow_fast_hashes,
               "let profiles whose password hash is a fast one (zvtadm host user add "
               "--fast-hash, for tests and demonstrations) sign on");
  app.add_option("--port-file", port_file, "write the port listened on to this file");
  app.add_option("--call-log", options.call_log,
                 "append a line per program call (time, profile, program, outcome)");
  try {
    app.parse(argc, argv);
  } catch (const CLI::Success& e) {  // --help, --version
    return app.exit(e);
  } catch (const CLI::ParseError& e) {
    app.exit(e);
    return 2;  // every command-line error
  }
  LogLevel level;
  if (!zvt::hostd::ParseLogLevel(log_level, &level)) {
    Log(LogLevel::kError, "--log-level wants err, warning, notice, info or debug");
    return 2;
  }
  zvt::hostd::SetLogLevel(level);

  // What the command line gave, before the file fills in the rest; read
  // again on SIGHUP.
  const zvt::hostd::ServerOptions given = options;
  const std::vector<std::string> given_listen = listen;
  const std::string given_admin = admin_listen;
  // The whole configuration, every problem in it listed.
  auto configure = [&](zvt::hostd::ServerOptions* o, std::vector<std::string>* l,
                       std::string* admin, bool transport) {
    std::vector<std::string> problems;
    if (!config.empty()) ReadConfig(config, app, {o, l, admin, &console}, &problems);
    if (o->store_path.empty())
      problems.push_back("--store (or \"store\" in the configuration file) is required");
    CheckUseful(*o, &problems);
    ApplyListen(*l, o, &problems);
    zvt::hostd::ListenAddress admin_endpoint;
    if (!admin->empty() && !ParseListenAddress(*admin, &admin_endpoint))
      problems.push_back("admin_listen wants HOST:PORT or [IPV6]:PORT, not \"" + *admin + "\"");
    if (transport) CheckTransport(*o, *admin, &problems);
    o->metrics = !admin->empty();
    return problems;
  };
  std::vector<std::string> problems = configure(&options, &listen, &admin_listen, !migrate);
  if (check_config) {
    for (const std::string& p : problems) Log(LogLevel::kError, p);
    if (problems.empty()) std::cout << "zvthostd: the configuration is good\n";
    return problems.empty() ? 0 : 2;
  }
  if (!problems.empty()) {
    for (const std::string& p : problems) Log(LogLevel::kError, p);
    return 2;
  }
  const std::string store_name = zvt::hostd::HostStore::Describe(options.store_path);
  if (migrate) {
    zvt::hostd::StoreOptions store_options;
    store_options.connections = 1;
    store_options.migrate = true;
    std::string error;
    if (!zvt::hostd::HostStore::Open(options.store_path, store_options, &error)) {
      Log(LogLevel::kError, error);
      return 1;
    }
    std::cout << "zvthostd: the store's schema is version " << zvt::hostd::HostStore::kSchemaVersion
              << ": " << store_name << "\n";
    return 0;
  }

  // A descriptor for each client: the soft limit goes up to the hard one.
  struct rlimit files;
  if (getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur < files.rlim_max) {
    files.rlim_cur = files.rlim_max;
    setrlimit(RLIMIT_NOFILE, &files);
  }

  sigset_t signals;
  sigemptyset(&signals);
  for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGUSR1}) sigaddset(&signals, sig);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);
  signal(SIGPIPE, SIG_IGN);

  zvt::hostd::HostServer server(options);
  // A store whose schema is not this build's ends the server with the
  // status of a configuration error, which a service manager does not
  // restart on: only --migrate (or another zvthostd) mends it. A store that
  // cannot be reached is an ordinary failure, tried again.
  bool wrong_schema = false;
  std::string error;
  if (!server.Start(&error, &wrong_schema)) {
    Log(LogLevel::kError, error);
    return wrong_schema ? 2 : 1;
  }
  zvt::hostd::OperatorView view(&server);
  view.Start();
  zvt::hostd::AdminApi api(&server);
  // The console's files, read once: one named on the command line or in the
  // configuration must be there; the installed one may be absent.
  zvt::hostd::ConsoleFiles console_files;
  if (!admin_listen.empty()) {
    const std::string directory = console.empty() ? ZVT_CONSOLE_DIR : console;
    if (console_files.Load(directory, &error))
      Log(LogLevel::kInfo, "web console served from " + directory);
    else if (!console.empty()) {
      Log(LogLevel::kError, error);
      return 2;
    } else {
      Log(LogLevel::kInfo, "no web console: " + error);
    }
  }
  zvt::hostd::AdminListener admin([&view, &api, &console_files](const zvt::hostd::AdminRequest& r) {
    if (auto answer = api.Answer(r)) return *answer;
    if (auto answer = console_files.Answer(r)) return *answer;
    return view.Answer(r);
  });
  if (!admin_listen.empty()) {
    zvt::hostd::ListenAddress endpoint;
    ParseListenAddress(admin_listen, &endpoint);
    if (!admin.Start(endpoint, options.tls_certificate, options.tls_key, &error)) {
      Log(LogLevel::kError, error);
      return 1;
    }
    for (const std::string& a : admin.addresses())
      Log(LogLevel::kInfo,
          std::string("admin listener on ") + (admin.tls() ? "https://" : "http://") + a);
    WritePortFile(admin_port_file, admin.port());
  }
  WritePortFile(port_file, server.port());
  std::string addresses;
  for (const std::string& a : server.addresses()) addresses += (addresses.empty() ? "" : ", ") + a;
  Log(LogLevel::kInfo, "ready, serving " + store_name + " on " + addresses);
  sd_notifyf(0, "READY=1\nSTATUS=%s", view.Summary().c_str());

  // The service manager hears how the server does every few seconds, and
  // its watchdog is fed while every event loop comes round.
  uint64_t watchdog_us = 0;
  const bool watchdog = sd_watchdog_enabled(0, &watchdog_us) > 0;
  const auto beat = watchdog ? std::min(std::chrono::microseconds(watchdog_us / 2),
                                        std::chrono::microseconds(std::chrono::seconds(5)))
                             : std::chrono::microseconds(std::chrono::seconds(5));
  const auto wedged = watchdog ? std::chrono::duration_cast<std::chrono::milliseconds>(
                                     std::chrono::microseconds(watchdog_us / 2))
                               : std::chrono::milliseconds(0);
  for (;;) {
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(beat);
    timespec wait = {
        static_cast<time_t>(seconds.count()),
        static_cast<long>(
            std::chrono::duration_cast<std::chrono::nanoseconds>(beat - seconds).count())};
    const int sig = sigtimedwait(&signals, nullptr, &wait);
    if (sig < 0) {
      if (errno != EAGAIN && errno != EINTR) break;
      sd_notifyf(0, "STATUS=%s", view.Summary().c_str());
      if (watchdog && server.LoopsTurning(wedged)) sd_notify(0, "WATCHDOG=1");
      continue;
    }
    if (sig == SIGUSR1) {
      Log(LogLevel::kNotice, "status: " + view.Summary());
      continue;
    }
    if (sig != SIGHUP) break;
    // The configuration file again: the limits, the call log and the TLS
    // certificate apply at once; a changed address, store or host version waits for a restart.
    sd_notify(0, "RELOADING=1");
    zvt::hostd::ServerOptions reread = given;
    std::vector<std::string> reread_listen = given_listen;
    std::string reread_admin = given_admin;
    std::vector<std::string> reload_problems =
        configure(&reread, &reread_listen, &reread_admin, true);
    std::string why;
    for (const std::string& p : reload_problems) why += (why.empty() ? "" : "; ") + p;
    if (!reload_problems.empty() || !server.Reconfigure(reread, &why) ||
        !admin.Reload(reread.tls_certificate, reread.tls_key, &why)) {
      Log(LogLevel::kError, "reload refused, the configuration stays as it was: " + why);
    } else {
      if (reread_listen != listen || reread.store_path != options.store_path ||
          reread.version != options.version || reread.release != options.release ||
          reread_admin != admin_listen)
        Log(LogLevel::kWarning,
            "the listen addresses, store and host version change only at a restart");
      if (server.certificate_expiry() != 0)
        Log(LogLevel::kInfo, "certificate " + reread.tls_certificate + " loaded, valid until " +
                                 zvt::hostd::UtcText(server.certificate_expiry()));
      Log(LogLevel::kInfo, "configuration reloaded");
    }
    sd_notifyf(0, "READY=1\nSTATUS=%s", view.Summary().c_str());
  }
  sd_notify(0, "STOPPING=1");
  admin.Stop();
  view.Stop();
  server.Stop();
  Log(LogLevel::kInfo,
      "stopped after " + std::to_string(server.calls_answered()) + " program calls");
  return 0;
}
