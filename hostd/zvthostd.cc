// zvthostd: the host server. Serves the function registry in a host store to
// clients of the remote program call library until SIGINT or SIGTERM. Under
// systemd (Type=notify) it reports when it listens and when it stops.
#include <signal.h>
#include <systemd/sd-daemon.h>

#include <CLI/CLI.hpp>
#include <fstream>
#include <iostream>
#include <nlohmann/json.hpp>

#include "hostd/host_server.h"

namespace {

// "HOST:PORT" or ":PORT" or "PORT".
bool ParseListen(const std::string& text, zvt::hostd::ServerOptions* options) {
  size_t colon = text.rfind(':');
  std::string host = colon == std::string::npos ? "" : text.substr(0, colon);
  std::string port = colon == std::string::npos ? text : text.substr(colon + 1);
  if (port.empty() || port.size() > 5 || port.find_first_not_of("0123456789") != std::string::npos)
    return false;
  unsigned long n = std::stoul(port);
  if (n > 65535) return false;
  if (!host.empty()) options->listen_address = host;
  options->port = static_cast<uint16_t>(n);
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  zvt::hostd::ServerOptions options;
  std::string listen = "127.0.0.1:0", config, port_file;
  CLI::App app{"zvthostd: host server for the function registry", "zvthostd"};
  app.add_option("--config", config,
                 "JSON file with any of: listen, store, version, release, "
                 "max_frame, idle_timeout_ms, max_clients, call_log");
  app.add_option("--listen", listen, "address and port to listen on (port 0: any free port)");
  app.add_option("--store", options.store_path, "host store file (created when missing)");
  app.set_version_flag("-V,--version", std::string("zvthostd ") + ZVT_VERSION);
  app.add_option("--host-version", options.version,
                 "host version to report (default: the store's)");
  app.add_option("--host-release", options.release, "host release to report");
  app.add_option("--max-frame", options.max_frame, "largest frame accepted, in bytes");
  app.add_option("--idle-timeout-ms", options.idle_timeout_ms, "disconnect silent clients after");
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

  if (!config.empty()) {
    std::ifstream in(config);
    nlohmann::json j = nlohmann::json::parse(in, nullptr, false);
    if (in.fail() || j.is_discarded() || !j.is_object()) {
      std::cerr << "zvthostd: " << config << " is not a JSON object\n";
      return 2;
    }
    if (j.contains("listen") && j["listen"].is_string() && app.count("--listen") == 0)
      listen = j["listen"];
    if (j.contains("store") && j["store"].is_string() && options.store_path.empty())
      options.store_path = j["store"];
    if (j.contains("version") && j["version"].is_number_unsigned() &&
        app.count("--host-version") == 0)
      options.version = j["version"];
    if (j.contains("release") && j["release"].is_number_unsigned() &&
        app.count("--host-release") == 0)
      options.release = j["release"];
    if (j.contains("max_frame") && j["max_frame"].is_number_unsigned())
      options.max_frame = j["max_frame"];
    if (j.contains("idle_timeout_ms") && j["idle_timeout_ms"].is_number_integer())
      options.idle_timeout_ms = j["idle_timeout_ms"];
    if (j.contains("max_clients") && j["max_clients"].is_number_integer())
      options.max_clients = j["max_clients"];
    if (j.contains("call_log") && j["call_log"].is_string() && options.call_log.empty())
      options.call_log = j["call_log"];
  }
  if (options.store_path.empty()) {
    std::cerr << "zvthostd: --store (or \"store\" in the config file) is required\n";
    return 2;
  }
  if (!ParseListen(listen, &options)) {
    std::cerr << "zvthostd: --listen wants HOST:PORT, not \"" << listen << "\"\n";
    return 2;
  }

  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);
  signal(SIGPIPE, SIG_IGN);

  zvt::hostd::HostServer server(options);
  std::string error;
  if (!server.Start(&error)) {
    std::cerr << "zvthostd: " << error << "\n";
    return 1;
  }
  if (!port_file.empty()) {
    std::ofstream(port_file + ".tmp") << server.port() << "\n";
    std::rename((port_file + ".tmp").c_str(), port_file.c_str());
  }
  std::string listening = "listening on " + options.listen_address + ":" +
                          std::to_string(server.port()) + " with store " + options.store_path;
  std::cout << "zvthostd: " << listening << std::endl;
  sd_notifyf(0, "READY=1\nSTATUS=%s", listening.c_str());
  int sig = 0;
  sigwait(&signals, &sig);
  sd_notify(0, "STOPPING=1");
  server.Stop();
  std::cout << "zvthostd: stopped after " << server.calls_answered() << " program calls"
            << std::endl;
  return 0;
}
