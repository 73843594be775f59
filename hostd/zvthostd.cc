// zvthostd: the host server. Serves the function registry in a host store to
// clients of the remote program call library until SIGINT or SIGTERM; SIGHUP
// re-reads its configuration file. Under systemd (Type=notify) it reports
// when it listens, reloads and stops.
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

#include "hostd/host_server.h"
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
};

// The keys' names, "a, b, c".
std::string KeyNames() {
  std::string names;
  for (const Key& k : kKeys) names += std::string(names.empty() ? "" : ", ") + k.name;
  return names;
}

// Reads the configuration file into `options` and `listen`, except for the
// keys whose options `app` was given. Refuses a file that is not a JSON
// object, unknown keys and values of the wrong type or range, naming them.
bool ReadConfig(const std::string& path, const CLI::App& app, zvt::hostd::ServerOptions* options,
                std::vector<std::string>* listen, std::string* error) {
  std::ifstream in(path);
  if (!in) {
    *error = path + ": " + std::strerror(errno);
    return false;
  }
  nlohmann::json j;
  try {
    j = nlohmann::json::parse(in);
  } catch (const nlohmann::json::exception& e) {  // syntax, or a number out of range
    *error = path + ": not JSON: " + e.what();
    return false;
  }
  if (!j.is_object()) {
    *error = path + ": not a JSON object";
    return false;
  }
  for (const auto& [name, value] : j.items()) {
    const Key* key = nullptr;
    for (const Key& k : kKeys)
      if (name == k.name) key = &k;
    if (key == nullptr) {
      *error = path + ": unknown key \"" + name + "\" (known: " + KeyNames() + ")";
      return false;
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
      *error = path + ": \"" + name + "\" must be " +
               (is_listen   ? std::string("a string or an array of strings")
                : key->text ? std::string("a string")
                            : "a whole number from 0 to " + std::to_string(key->max));
      return false;
    }
    if (key->option != nullptr && app.count(key->option) > 0) continue;  // the command line wins
    key->apply(value, {options, listen});
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  zvt::hostd::ServerOptions options;
  std::vector<std::string> listen = {"127.0.0.1:0"};
  std::string config, port_file, log_level = "info";
  CLI::App app{"zvthostd: host server for the function registry", "zvthostd"};
  app.add_option("--config", config, "JSON file with any of: " + KeyNames());
  app.add_option("--listen", listen,
                 "HOST:PORT or [IPV6]:PORT to listen on, several times for several (a name: "
                 "every address it has; port 0: any free port)")
      ->take_all();
  app.add_option("--log-level", log_level, "err, warning, notice, info (default) or debug");
  app.add_option("--store", options.store_path,
                 "host store: a SQLite file (created when missing) or a postgresql:// URI");
  app.add_option("--store-connections", options.store_connections,
                 "PostgreSQL connections the workers share (default: one per processor)");
  bool migrate = false;
  app.add_flag("--migrate", migrate,
               "create the store's schema, or bring it up to this version's, and exit");
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

  // What the command line gave, before the file fills in the rest; read
  // again on SIGHUP.
  const zvt::hostd::ServerOptions given = options;
  const std::vector<std::string> given_listen = listen;
  std::string error;
  if (!config.empty() && !ReadConfig(config, app, &options, &listen, &error)) {
    std::cerr << "zvthostd: " << error << "\n";
    return 2;
  }
  if (options.store_path.empty()) {
    std::cerr << "zvthostd: --store (or \"store\" in the config file) is required\n";
    return 2;
  }
  zvt::hostd::LogLevel level;
  if (!zvt::hostd::ParseLogLevel(log_level, &level)) {
    std::cerr << "zvthostd: --log-level wants err, warning, notice, info or debug\n";
    return 2;
  }
  zvt::hostd::SetLogLevel(level);
  const std::string store_name = zvt::hostd::HostStore::Describe(options.store_path);
  if (migrate) {
    zvt::hostd::StoreOptions store_options;
    store_options.connections = 1;
    store_options.migrate = true;
    if (!zvt::hostd::HostStore::Open(options.store_path, store_options, &error)) {
      std::cerr << "zvthostd: " << error << "\n";
      return 1;
    }
    std::cout << "zvthostd: the store's schema is version " << zvt::hostd::HostStore::kSchemaVersion
              << ": " << store_name << "\n";
    return 0;
  }
  for (size_t i = 0; i < listen.size(); ++i) {
    zvt::hostd::ListenAddress endpoint;
    if (!ParseListenAddress(listen[i], &endpoint)) {
      std::cerr << "zvthostd: --listen wants HOST:PORT or [IPV6]:PORT, not \"" << listen[i]
                << "\"\n";
      return 2;
    }
    if (i == 0) {
      options.listen_address = endpoint.host;
      options.port = endpoint.port;
    } else {
      options.also_listen.push_back(endpoint);
    }
  }

  // Without a certificate the password crosses the wire in clear: only
  // clients on this machine may be served so.
  if (options.tls_certificate.empty() && options.tls_key.empty()) {
    std::vector<zvt::hostd::ListenAddress> all = {{options.listen_address, options.port}};
    all.insert(all.end(), options.also_listen.begin(), options.also_listen.end());
    for (const zvt::hostd::ListenAddress& e : all) {
      if (!zvt::sockets::IsLoopbackName(e.host)) {
        std::cerr << "zvthostd: listening on " << (e.host.empty() ? "every address" : e.host)
                  << " needs TLS: give --tls-cert and --tls-key (\"tls_cert\", \"tls_key\"), "
                     "or listen on a loopback address\n";
        return 2;
      }
    }
  }

  // A descriptor for each client: the soft limit goes up to the hard one.
  struct rlimit files;
  if (getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur < files.rlim_max) {
    files.rlim_cur = files.rlim_max;
    setrlimit(RLIMIT_NOFILE, &files);
  }

  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  sigaddset(&signals, SIGHUP);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);
  signal(SIGPIPE, SIG_IGN);

  zvt::hostd::HostServer server(options);
  // A store whose schema is not this build's ends the server with the
  // status of a configuration error, which a service manager does not
  // restart on: only --migrate (or another zvthostd) mends it. A store that
  // cannot be reached is an ordinary failure, tried again.
  bool wrong_schema = false;
  if (!server.Start(&error, &wrong_schema)) {
    zvt::hostd::Log(zvt::hostd::LogLevel::kError, error);
    return wrong_schema ? 2 : 1;
  }
  if (!port_file.empty()) {
    std::ofstream(port_file + ".tmp") << server.port() << "\n";
    std::rename((port_file + ".tmp").c_str(), port_file.c_str());
  }
  std::string addresses;
  for (const std::string& a : server.addresses()) addresses += (addresses.empty() ? "" : ", ") + a;
  std::string status = "listening on " + addresses + " with store " + store_name;
  zvt::hostd::Log(zvt::hostd::LogLevel::kInfo, "ready, serving " + store_name);
  sd_notifyf(0, "READY=1\nSTATUS=%s", status.c_str());
  int sig = 0;
  while (sigwait(&signals, &sig) == 0 && sig == SIGHUP) {
    // The configuration file again: the limits, the call log and the TLS
    // certificate apply at once; a changed address, store or host version waits for a restart.
    sd_notify(0, "RELOADING=1");
    zvt::hostd::ServerOptions reread = given;
    std::vector<std::string> reread_listen = given_listen;
    if ((!config.empty() && !ReadConfig(config, app, &reread, &reread_listen, &error)) ||
        !server.Reconfigure(reread, &error)) {
      zvt::hostd::Log(zvt::hostd::LogLevel::kError,
                      "reload refused, the configuration stays as it was: " + error);
    } else {
      if (reread_listen != listen || reread.store_path != options.store_path ||
          reread.version != options.version || reread.release != options.release)
        zvt::hostd::Log(zvt::hostd::LogLevel::kWarning,
                        "the listen addresses, store and host version change only at a restart");
      zvt::hostd::Log(zvt::hostd::LogLevel::kInfo, "configuration reloaded");
    }
    sd_notify(0, "READY=1");
  }
  sd_notify(0, "STOPPING=1");
  server.Stop();
  zvt::hostd::Log(zvt::hostd::LogLevel::kInfo,
                  "stopped after " + std::to_string(server.calls_answered()) + " program calls");
  return 0;
}
