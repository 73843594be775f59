// zvtadm host: manage the registry zvthostd serves: the host's version,
// user profiles, registered functions, usage settings, and whole-registry
// JSON import and export. Every command is a request to the admin API's
// resources, sent to a running server (--server) or answered in process on
// the store (--store); a running server sees changes at once either way.
#include <fcntl.h>
#include <sodium.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <iostream>
#include <iterator>

#include "client/system_config.h"
#include "hostd/host_json.h"
#include "hostd/host_store.h"
#include "hostd/self_signed.h"
#include "hostd/usage_reasons.h"
#include "tools/zvtadm_command.h"
#include "tools/zvtadm_host_client.h"

namespace zvt::tools {
namespace {

using Json = nlohmann::ordered_json;

struct HostArgs {
  std::string store;
  // Through a server's admin API: where, what to trust, who signs in.
  std::string server, tls_ca, admin_profile, admin_password_env, admin_password_file;
  std::string name, password_env, password_file, profile, function, usage, file;
  bool fast_hash = false;
  hostd::FunctionRow row;
  hostd::HostInfo info;
};

// A line read from the terminal without echoing it.
bool Prompt(const std::string& question, std::string* answer) {
  if (!isatty(STDIN_FILENO)) return false;
  std::cerr << question << std::flush;
  termios was{};
  const bool quiet = tcgetattr(STDIN_FILENO, &was) == 0;
  if (quiet) {
    termios silent = was;
    silent.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    tcsetattr(STDIN_FILENO, TCSAFLUSH, &silent);
  }
  const bool read = static_cast<bool>(std::getline(std::cin, *answer));
  if (quiet) tcsetattr(STDIN_FILENO, TCSAFLUSH, &was);
  std::cerr << "\n";
  return read;
}

// A password from an environment variable or a file readable only by its
// owner, read as the library reads a configured system's; never from the
// command line, where other users could see it.
bool ReadPassword(const std::string& environment, const std::string& file, std::string* password,
                  std::string* error) {
  client::SystemConfig from;
  from.password_environment = environment;
  from.password_file = file;
  if (client::SystemConfigStore::ReadPassword(from, password, error) == kClientOk) return true;
  // Said of no system here: the words after the system's name.
  if (const size_t at = error->find(": "); at != std::string::npos) error->erase(0, at + 2);
  return false;
}

// The registry the options name: a server's admin API, signed in as the
// administrator, or the store itself.
std::unique_ptr<HostClient> Connect(const CommandContext& context, const HostArgs& a,
                                    int* exit_code) {
  std::string error;
  if (!a.server.empty()) {
    std::string profile = a.admin_profile, password;
    if (profile.empty())
      if (const char* env = std::getenv("ZVT_ADMIN_PROFILE")) profile = env;
    if (profile.empty()) {
      *exit_code = context.Fail(kExitUsage,
                                "host --server: give the administrator's profile with "
                                "--admin-profile (or ZVT_ADMIN_PROFILE)");
      return nullptr;
    }
    if (!a.admin_password_env.empty() || !a.admin_password_file.empty()) {
      if (!ReadPassword(a.admin_password_env, a.admin_password_file, &password, &error)) {
        *exit_code = context.Fail(kExitFailed, error);
        return nullptr;
      }
    } else if (!Prompt("password of " + profile + " for " + a.server + ": ", &password)) {
      *exit_code = context.Fail(kExitUsage,
                                "host --server: give the password with "
                                "--admin-password-file or --admin-password-env, or "
                                "run on a terminal to be asked");
      return nullptr;
    }
    auto client = ServerClient(a.server, a.tls_ca, profile, password, &error);
    if (!client) *exit_code = context.Fail(kExitFailed, error);
    return client;
  }
  if (a.store.empty()) {
    *exit_code = context.Fail(
        kExitUsage, "host: --server URL, or --store FILE|URI (or ZVT_HOST_STORE), is required");
    return nullptr;
  }
  auto store = hostd::HostStore::Open(a.store, &error);
  if (!store) {
    *exit_code = context.Fail(kExitFailed, error);
    return nullptr;
  }
  return StoreClient(std::move(store));
}

// A request to the registry, its answer as JSON; a refusal is an error
// whose exit code `*code` says what kind it is.
struct Host {
  HostClient* client;
  int code = kExitFailed;

  bool Ask(const std::string& method, const std::string& target, const std::string& body,
           Json* answer, std::string* error) {
    HostReply reply;
    return client->Send(method, target, body, &reply, error) && Answered(reply, answer, error);
  }
  // Whether `reply` is a JSON answer of success; else the refusal's words.
  bool Answered(const HostReply& reply, Json* answer, std::string* error) {
    *answer = Json::parse(reply.body, nullptr, /*allow_exceptions=*/false);
    if (reply.status >= 200 && reply.status < 300 && !answer->is_discarded()) return true;
    code = reply.status == 404 ? kExitNotFound : kExitFailed;
    *error = answer->is_object() && answer->value("error", Json()).is_string()
                 ? (*answer)["error"].get<std::string>()
                 : "the server answered " + std::to_string(reply.status) + ", not the admin API";
    return false;
  }
  bool AskJson(const std::string& method, const std::string& target, const Json& body, Json* answer,
               std::string* error) {
    return Ask(method, target, body.dump(), answer, error);
  }
};

void AddFunctionOptions(CLI::App* cmd, HostArgs* a) {
  cmd->add_option("ID", a->row.id, "function ID, 1 to 30 characters")->required();
  cmd->add_option("--category", a->row.category, "category indicator (one character)");
  cmd->add_option("--type", a->row.type, "1 root, 2 group, 3 item");
  cmd->add_option("--root", a->row.root, "root function ID (default: the function itself)");
  cmd->add_option("--parent", a->row.parent, "parent function ID (default *NONE)");
  cmd->add_option("--name", a->row.name, "first name text");
  cmd->add_option("--name2", a->row.name2, "second name text");
  cmd->add_option("--description", a->row.description, "first description text");
  cmd->add_option("--description2", a->row.description2, "second description text");
  cmd->add_option("--indicator1", a->row.indicator1, "indicator 1 (one character)");
  cmd->add_option("--indicator2", a->row.indicator2, "indicator 2 (one character)");
  cmd->add_option("--indicator3", a->row.indicator3, "indicator 3 (one character)");
  cmd->add_option("--default-usage", a->row.default_usage, "1 denied, 2 allowed (default)");
}

// How a reason reads: "own setting", "group PAY, OPS", "default",
// "every child denied".
std::string ReasonText(const Json& r) {
  const std::string source = r.value("source", std::string());
  if (source == "children") return "every child denied";
  if (source == "own") return "own setting";
  if (source == "group") {
    std::string text = "group";
    for (const Json& g : r.value("groups", Json::array()))
      text += (text.size() == 5 ? " " : ", ") + g.get<std::string>();
    return text;
  }
  return "default";
}

std::string Word(bool denied) { return denied ? "denied" : "allowed"; }

}  // namespace

void AddHostCommands(CLI::App* app, CommandContext* context, int* exit_code) {
  CLI::App* host = app->add_subcommand("host", "manage the registry that zvthostd serves");
  host->require_subcommand(1);
  auto a = std::make_shared<HostArgs>();
  if (const char* env = std::getenv("ZVT_HOST_STORE")) a->store = env;
  host->add_option("--store", a->store,
                   "the host store itself: a SQLite file or a postgresql:// URI (default "
                   "$ZVT_HOST_STORE); for bootstrap and recovery");
  host->add_option("--server", a->server,
                   "a running zvthostd's admin listener, https://HOST:PORT: every command goes "
                   "through its admin API, signed in as --admin-profile");
  host->add_option("--tls-ca", a->tls_ca,
                   "with --server: the CA file to trust (default: the system's trust store)");
  host->add_option("--admin-profile", a->admin_profile,
                   "with --server: the administrator's profile (default $ZVT_ADMIN_PROFILE)");
  host->add_option("--admin-password-env", a->admin_password_env,
                   "with --server: read the administrator's password from this variable");
  host->add_option("--admin-password-file", a->admin_password_file,
                   "with --server: read it from this file (else it is asked on the terminal)");

  // Runs `body` on the registry, turning a refusal into an exit code.
  // `check`, when given, looks at the command line's values first: what it
  // refuses is a bad command line, told before anything is reached.
  auto run = [=](std::function<bool(Host*, std::string*)> body,
                 std::function<bool(std::string*)> check = nullptr) {
    return [=] {
      std::string error;
      if (check && !check(&error)) {
        *exit_code = context->Fail(kExitUsage, error);
        return;
      }
      auto client = Connect(*context, *a, exit_code);
      if (!client) return;
      Host h{client.get()};
      *exit_code = body(&h, &error) ? kExitOk : context->Fail(h.code, error);
    };
  };
  auto profile_named = [=](const std::string* name) {
    return [=](std::string* e) { return hostd::HostStore::CheckProfileName(*name, e); };
  };
  // A profile name, and a password option.
  auto new_password = [=](std::string* e) {
    if (a->password_env.empty() && a->password_file.empty())
      return *e = "give the password with --password-env or --password-file", false;
    return hostd::HostStore::CheckProfileName(a->name, e);
  };
  auto profile_target = [=](const std::string& name) { return "profiles/" + UrlEncoded(name); };

  auto* info = host->add_subcommand("info", "show or set the version, release and name reported");
  info->add_option("--host-version", a->info.version, "host version");
  info->add_option("--host-release", a->info.release, "host release");
  info->add_option("--name", a->info.name, "host name");
  info->callback(run([=](Host* h, std::string* e) {
    Json change = Json::object();
    if (info->count("--host-version")) change["version"] = a->info.version;
    if (info->count("--host-release")) change["release"] = a->info.release;
    if (info->count("--name")) change["name"] = a->info.name;
    Json now;
    if (!(change.empty() ? h->Ask("GET", "host", "", &now, e)
                         : h->AskJson("PUT", "host", change, &now, e)))
      return false;
    context->Emit(now, [&] {
      std::cout << now.value("name", "") << ": version " << now.value("version", 0u) << " release "
                << now.value("release", 0u) << "\n";
    });
    return true;
  }));

  // A certificate for zvthostd --tls-cert/--tls-key.
  auto* cert = host->add_subcommand(
      "cert",
      "make a self-signed certificate and key for zvthostd (clients trust the certificate "
      "with zvtadm system add --tls-ca)");
  auto request = std::make_shared<hostd::CertificateRequest>();
  auto cert_files = std::make_shared<std::pair<std::string, std::string>>();
  auto cert_replace = std::make_shared<bool>(false);
  auto cert_days = std::make_shared<int64_t>(825);
  cert->add_option("CERT", cert_files->first, "certificate file to write (PEM)")->required();
  cert->add_option("KEY", cert_files->second, "key file to write (PEM, mode 0600)")->required();
  cert->add_option("--name", request->names,
                   "a DNS name or IP address clients use for the host, several times for several "
                   "(default: localhost, 127.0.0.1, ::1)")
      ->take_all();
  cert->add_option("--days", *cert_days, "days of validity (default 825)")
      ->check(CLI::Range(1, 36500));
  cert->add_flag("--replace", *cert_replace, "replace existing files");
  cert->callback([=] {
    request->valid_for_s = *cert_days * 24 * 3600;
    std::string error;
    if (!hostd::WriteSelfSigned(*request, cert_files->first, cert_files->second, *cert_replace,
                                &error)) {
      *exit_code = context->Fail(kExitFailed, error);
      return;
    }
    context->Emit({{"certificate", cert_files->first},
                   {"key", cert_files->second},
                   {"names", request->names}},
                  [&] {
                    std::cout << "wrote " << cert_files->first << " and " << cert_files->second
                              << "\n";
                  });
    *exit_code = kExitOk;
  });

  // Profiles.
  auto* user = host->add_subcommand("user", "user profiles");
  user->require_subcommand(1);
  auto* user_add = user->add_subcommand("add", "create a user profile with a password");
  auto* user_passwd = user->add_subcommand("passwd", "change a profile's password");
  for (auto* cmd : {user_add, user_passwd}) {
    cmd->add_option("NAME", a->name, "profile name, 1 to 10 characters")->required();
    cmd->add_option("--password-env", a->password_env, "read the password from this variable");
    cmd->add_option("--password-file", a->password_file, "read the password from this file");
    cmd->add_flag("--fast-hash", a->fast_hash,
                  "cheap password hash, for tests and demonstrations: zvthostd refuses such "
                  "profiles unless started with --allow-fast-hashes");
  }
  auto all_profiles = std::make_shared<bool>(false);
  user_add->add_flag("--security-admin,--all-profiles", *all_profiles,
                     "a security administrator: may read every profile's usage and timestamps "
                     "(else its own only)");
  user_add->callback(run(
      [=](Host* h, std::string* e) {
        std::string password;
        if (!ReadPassword(a->password_env, a->password_file, &password, e)) return false;
        Json body = {{"name", a->name}, {"password", password}, {"fast_hash", a->fast_hash}};
        if (*all_profiles) body["security_admin"] = true;
        Json done;
        return h->AskJson("POST", "profiles", body, &done, e);
      },
      new_password));
  user_passwd->callback(run(
      [=](Host* h, std::string* e) {
        std::string password;
        if (!ReadPassword(a->password_env, a->password_file, &password, e)) return false;
        Json done;
        return h->AskJson("PUT", profile_target(a->name),
                          Json{{"password", password}, {"fast_hash", a->fast_hash}}, &done, e);
      },
      new_password));
  auto* user_remove = user->add_subcommand("remove", "delete a profile and its usage settings");
  user_remove->add_option("NAME", a->name, "profile name")->required();
  user_remove->callback(run(
      [=](Host* h, std::string* e) {
        Json done;
        return h->Ask("DELETE", profile_target(a->name), "", &done, e);
      },
      profile_named(&a->name)));
  auto* user_list = user->add_subcommand("list", "list the profiles");
  user_list->callback(run([=](Host* h, std::string* e) {
    Json profiles;
    if (!h->Ask("GET", "profiles", "", &profiles, e)) return false;
    Json rows = Json::array();
    for (const Json& p : profiles)
      rows.push_back({{"name", p.value("name", "")}, {"fast_hash", p.value("fast_hash", false)}});
    context->Emit(rows, [&] {
      for (const Json& p : rows)
        std::cout << p["name"].get<std::string>()
                  << (p["fast_hash"].get<bool>()
                          ? "  (fast hash: refused unless --allow-fast-hashes)"
                          : "")
                  << "\n";
    });
    return true;
  }));
  auto* user_set = user->add_subcommand("set", "change a profile's groups or attributes");
  user_set->add_option("NAME", a->name, "profile name")->required();
  auto groups = std::make_shared<std::vector<std::string>>();
  auto no_groups = std::make_shared<bool>(false);
  auto admin = std::make_shared<std::string>();
  auto auditor = std::make_shared<std::string>();
  auto* group_option = user_set->add_option(
      "--group", *groups,
      "a group profile whose usage the profile falls back on (repeat for several; replaces the "
      "profile's groups)");
  user_set->add_flag("--no-groups", *no_groups, "the profile belongs to no group")
      ->excludes(group_option);
  user_set->add_option("--security-admin", *admin, "on or off: may read every profile's usage")
      ->check(CLI::IsMember({"on", "off"}));
  user_set
      ->add_option("--auditor", *auditor,
                   "on or off: may read the registry and the audit trail through the admin API")
      ->check(CLI::IsMember({"on", "off"}));
  user_set->callback(run(
      [=](Host* h, std::string* e) {
        Json change = Json::object();
        if (!groups->empty() || *no_groups) change["groups"] = *groups;
        if (!admin->empty()) change["security_admin"] = *admin == "on";
        if (!auditor->empty()) change["auditor"] = *auditor == "on";
        Json done;
        return h->AskJson("PUT", profile_target(a->name), change, &done, e);
      },
      [=](std::string* e) {
        if (groups->empty() && !*no_groups && admin->empty() && auditor->empty())
          return *e = "host user set: nothing to change (--group, --no-groups, "
                      "--security-admin, --auditor)",
                 false;
        return hostd::HostStore::CheckProfileName(a->name, e);
      }));
  auto* user_show = user->add_subcommand(
      "show", "a profile's attributes, groups and usage of every function (with its groups')");
  user_show->add_option("NAME", a->name, "profile name")->required();
  user_show->callback(run(
      [=](Host* h, std::string* e) {
        Json p;
        if (!h->Ask("GET", profile_target(a->name), "", &p, e)) return false;
        context->Emit(p, [&] {
          const Json member_of = p.value("groups", Json::array());
          std::cout << p.value("name", "")
                    << (p.value("security_admin", false) ? "  security administrator" : "")
                    << (p.value("auditor", false) ? "  auditor" : "") << "\n";
          std::cout << "groups:";
          for (const Json& g : member_of) std::cout << " " << g.get<std::string>();
          std::cout << (member_of.empty() ? " none\n" : "\n");
          const Json usage_of = p.value("usage", Json::object());
          for (const auto& [function, usage] : usage_of.items())
            std::cout << "  " << function << "  " << usage.get<std::string>() << "\n";
        });
        return true;
      },
      profile_named(&a->name)));
  auto* revoke =
      user->add_subcommand("revoke-tokens",
                           "end the sign-on tokens of a profile's clients: each signs on with the "
                           "password next time");
  revoke->add_option("NAME", a->name, "profile name")->required();
  revoke->callback(run(
      [=](Host* h, std::string* e) {
        Json done;
        if (!h->Ask("POST", profile_target(a->name) + "/revoke-tokens", "{}", &done, e))
          return false;
        const uint64_t revoked = done.value("revoked", uint64_t{0});
        context->Emit(done, [&] {
          std::cout << revoked << " sign-on token" << (revoked == 1 ? "" : "s") << " revoked\n";
        });
        return true;
      },
      profile_named(&a->name)));

  // Functions.
  auto* function = host->add_subcommand("function", "registered functions");
  function->require_subcommand(1);
  auto* fn_add = function->add_subcommand("add", "register a function");
  AddFunctionOptions(fn_add, a.get());
  fn_add->callback(run(
      [=](Host* h, std::string* e) {
        Json done;
        return h->AskJson("POST", "functions", hostd::FunctionToJson(a->row), &done, e);
      },
      [=](std::string* e) {
        if (a->row.root.empty()) a->row.root = a->row.id;
        return hostd::HostStore::CheckFunction(a->row, e);
      }));
  auto* fn_update = function->add_subcommand(
      "update", "change a registered function (fields not given keep their values)");
  AddFunctionOptions(fn_update, a.get());
  fn_update->callback(run(
      [=](Host* h, std::string* e) {
        const Json all = hostd::FunctionToJson(a->row);
        Json change = Json::object();
        const std::pair<const char*, const char*> options[] = {
            {"--category", "category"},
            {"--type", "type"},
            {"--root", "root"},
            {"--parent", "parent"},
            {"--name", "name"},
            {"--name2", "name2"},
            {"--description", "description"},
            {"--description2", "description2"},
            {"--default-usage", "default_usage"}};
        for (const auto& [option, key] : options)
          if (fn_update->count(option) > 0) change[key] = all[key];
        if (fn_update->count("--indicator1") + fn_update->count("--indicator2") +
                fn_update->count("--indicator3") >
            0) {
          // The indicators travel together: those not given keep theirs.
          Json now;
          if (!h->Ask("GET", "functions/" + UrlEncoded(a->row.id), "", &now, e)) return false;
          Json indicators = now.value("indicators", Json::array({"1", "0", "0"}));
          const char* names[] = {"--indicator1", "--indicator2", "--indicator3"};
          for (int i = 0; i < 3; ++i)
            if (fn_update->count(names[i]) > 0) indicators[i] = all["indicators"][i];
          change["indicators"] = indicators;
        }
        Json done;
        return h->AskJson("PUT", "functions/" + UrlEncoded(a->row.id), change, &done, e);
      },
      [=](std::string* e) {
        // The fields given, beside valid ones for those not given.
        hostd::FunctionRow given = a->row;
        if (given.root.empty()) given.root = given.id;
        return hostd::HostStore::CheckFunction(given, e);
      }));
  auto* fn_remove = function->add_subcommand("remove", "unregister a function");
  fn_remove->add_option("ID", a->function, "function ID")->required();
  fn_remove->callback(run([=](Host* h, std::string* e) {
    Json done;
    return h->Ask("DELETE", "functions/" + UrlEncoded(a->function), "", &done, e);
  }));
  auto* fn_show = function->add_subcommand(
      "show", "a registered function and the profiles it is denied to, with why");
  fn_show->add_option("ID", a->function, "function ID")->required();
  fn_show->callback(run([=](Host* h, std::string* e) {
    Json f;
    if (!h->Ask("GET", "functions/" + UrlEncoded(a->function), "", &f, e)) return false;
    context->Emit(f, [&] {
      const Json denied = f.value("denied_to", Json::array());
      std::cout << f.value("id", "") << "  type " << f.value("type", "") << "  root "
                << f.value("root", "") << "  parent " << f.value("parent", "") << "  default "
                << hostd::UsageWord(f.value("default_usage", "2")) << "  " << f.value("name", "")
                << "\ndenied to:";
      for (const Json& d : denied)
        std::cout << "\n  " << d.value("profile", "") << "  (" << ReasonText(d) << ")";
      std::cout << (denied.empty() ? " nobody\n" : "\n");
    });
    return true;
  }));
  auto* fn_list = function->add_subcommand("list", "list the registered functions");
  fn_list->callback(run([=](Host* h, std::string* e) {
    Json rows;
    if (!h->Ask("GET", "functions", "", &rows, e)) return false;
    context->Emit(rows, [&] {
      for (const Json& f : rows)
        std::cout << f.value("id", "") << "  type " << f.value("type", "") << "  root "
                  << f.value("root", "") << "  parent " << f.value("parent", "") << "  "
                  << f.value("name", "") << "\n";
    });
    return true;
  }));

  // Usage.
  auto* usage = host->add_subcommand(
      "usage", "set a profile's usage of a function, or (with the profile alone) list it");
  usage->add_option("PROFILE", a->profile, "user profile")->required();
  usage->add_option("FUNCTION", a->function, "function ID");
  usage->add_option("USAGE", a->usage, "1 denied, 2 allowed, default: back to the default");
  usage->callback(run(
      [=](Host* h, std::string* e) {
        Json answer;
        if (!a->function.empty())
          return h->AskJson("PUT", "usage",
                            Json{{"profile", a->profile},
                                 {"function", a->function},
                                 {"usage", hostd::UsageWord(a->usage)}},
                            &answer, e);
        if (!h->Ask("GET", profile_target(a->profile), "", &answer, e)) return false;
        Json out = Json::array();
        const Json usage_of = answer.value("usage", Json::object());
        for (const auto& [function, word] : usage_of.items())
          out.push_back({{"function", function}, {"denied", word == "denied"}});
        context->Emit(out, [&] {
          for (const Json& r : out)
            std::cout << r["function"].get<std::string>() << "  " << Word(r["denied"].get<bool>())
                      << "\n";
        });
        return true;
      },
      [=](std::string* e) {
        if (!hostd::HostStore::CheckProfileName(a->profile, e)) return false;
        if (a->function.empty()) return true;
        if (a->usage.empty()) return *e = "host usage: give FUNCTION and USAGE, or neither", false;
        return hostd::HostStore::CheckUsage(a->function, a->usage == "default" ? "" : a->usage, e);
      }));

  auto* why = host->add_subcommand(
      "why",
      "why a function is denied to a profile or not: its own setting, its groups', the "
      "default, or every child denied");
  why->add_option("PROFILE", a->profile, "user profile")->required();
  why->add_option("FUNCTION", a->function, "function ID")->required();
  why->callback(run(
      [=](Host* h, std::string* e) {
        Json x;
        if (!h->Ask(
                "GET",
                "why?profile=" + UrlEncoded(a->profile) + "&function=" + UrlEncoded(a->function),
                "", &x, e)) {
          if (h->code == kExitNotFound)
            *e = "user profile " + a->profile + " or function " + a->function + " not found";
          return false;
        }
        context->Emit(x, [&] {
          std::cout << x.value("function", "") << "  " << Word(x.value("denied", false)) << "  ("
                    << ReasonText(x) << ")\n";
          for (const Json& c : x.value("children", Json::array()))
            std::cout << "  " << c.value("function", "") << "  " << Word(c.value("denied", false))
                      << "  (" << ReasonText(c) << ")\n";
          std::cout << x.value("note", "") << "\n";
        });
        return true;
      },
      profile_named(&a->profile)));

  auto* audit = host->add_subcommand(
      "audit", "the changes made through the store: who, when, from where, before and after");
  auto filter = std::make_shared<hostd::AuditFilter>();
  auto since = std::make_shared<std::string>(), until = std::make_shared<std::string>();
  audit->add_option("--profile", filter->profile, "only changes of this profile");
  audit->add_option("--function", filter->function, "only changes of this function");
  audit->add_option("--since", *since, "from this UTC time on (YYYY-MM-DD[THH:MM:SS])");
  audit->add_option("--until", *until, "before this UTC time");
  audit->add_option("--limit", filter->limit, "the newest this many (default 1000)");
  audit->callback(run(
      [=](Host* h, std::string* e) {
        std::string query = "audit?limit=" + std::to_string(filter->limit);
        const std::pair<const char*, const std::string*> given[] = {{"profile", &filter->profile},
                                                                    {"function", &filter->function},
                                                                    {"since", since.get()},
                                                                    {"until", until.get()}};
        for (const auto& [key, value] : given)
          if (!value->empty()) query += std::string("&") + key + "=" + UrlEncoded(*value);
        Json records;
        if (!h->Ask("GET", query, "", &records, e)) return false;
        context->Emit(records, [&] {
          for (auto it = records.rbegin(); it != records.rend(); ++it) {
            const Json& r = *it;
            std::cout << r.value("at", "") << "  " << r.value("who", "") << " from "
                      << r.value("from", "") << "  " << r.value("action", "");
            for (const char* part : {"profile", "function"})
              if (!r.value(part, "").empty()) std::cout << " " << r.value(part, "");
            if (!r.value("before", "").empty() || !r.value("after", "").empty())
              std::cout << "  " << r.value("before", "") << " -> " << r.value("after", "");
            std::cout << "\n";
          }
        });
        return true;
      },
      [=](std::string* e) {
        if (!since->empty() && !hostd::ParseUtc(*since, &filter->since))
          return *e = "--since: not a UTC time YYYY-MM-DD[THH:MM:SS]: " + *since, false;
        if (!until->empty() && !hostd::ParseUtc(*until, &filter->until))
          return *e = "--until: not a UTC time YYYY-MM-DD[THH:MM:SS]: " + *until, false;
        return true;
      }));

  AddStatusCommand(host, context, exit_code);

  auto* stamps = host->add_subcommand("timestamps", "show a profile's three change timestamps");
  stamps->add_option("PROFILE", a->profile, "user profile")->required();
  stamps->callback(run([=](Host* h, std::string* e) {
    Json t;
    if (!h->Ask("GET", "timestamps?profile=" + UrlEncoded(a->profile), "", &t, e)) return false;
    // Each stamp comes as the hexadecimal of its eight bytes.
    auto decoded = [&t](const char* key) {
      const std::string hex = t.value(key, "");
      std::vector<BYTE> bytes(hex.size() / 2);
      size_t length = 0;
      if (sodium_hex2bin(bytes.data(), bytes.size(), hex.data(), hex.size(), nullptr, &length,
                         nullptr) != 0)
        length = 0;
      bytes.resize(length);
      return DecodeTimestamp(bytes);
    };
    const nlohmann::json user = decoded("user"), rep = decoded("rep"), hier = decoded("hier");
    context->Emit({{"user", user}, {"rep", rep}, {"hier", hier}}, [&] {
      std::cout << "user " << TimeText(user) << "\nrep  " << TimeText(rep) << "\nhier "
                << TimeText(hier) << "\n";
    });
    return true;
  }));

  auto* import = host->add_subcommand(
      "import", "load the whole registry from a JSON file (docs/host-json.md); all or nothing");
  import->add_option("FILE", a->file, "JSON file, or - for standard input")->required();
  auto replace = std::make_shared<bool>(false);
  auto dry_run = std::make_shared<bool>(false);
  import->add_flag("--replace", *replace,
                   "also when registered functions or profiles are not in the file (removed)");
  import->add_flag("--dry-run", *dry_run, "change nothing: say what the import would change");
  import->callback(run([=](Host* h, std::string* e) {
    std::string json;
  if (a->file == "-") {
    json.assign(std::istreambuf_iterator<char>(std::cin), std::istreambuf_iterator<char>());
  } else {
    std::ifstream in(a->file, std::ios::binary);
    if (!in) return *e = "cannot read " + a->file, false;
    json.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }
  std::string query = std::string("import?replace=") + (*replace ? "1" : "0");
  if (*dry_run) query += "&dry_run=1";
  Progress progress(context, (*dry_run ? "comparing " : "importing ") + a->file);
  Json answer;
  if (!h->Ask("POST", query, json, &answer, e)) return *e = a->file + ": " + *e, false;
  if (!*dry_run) return true;
  context->Emit(answer, [&] {
    std::cout << (answer.value("host_changed", false) ? "host information changes\n" : "");
    for (const char* kind : {"functions", "profiles"})
      for (const char* change : {"added", "removed", "changed"})
        for (const Json& name : answer[kind].value(change, Json::array()))
          std::cout << kind << " " << change << ": " << name.get<std::string>() << "\n";
    for (const Json& u : answer.value("usage", Json::array()))
      std::cout << "usage " << u.value("profile", "") << " " << u.value("function", "") << ": "
                << u.value("before", "") << " -> " << u.value("after", "") << "\n";
    if (answer.contains("refusal"))
      std::cout << "refused as it is: " << answer.value("refusal", "") << "\n";
  });
  return true;
}));
auto* exp = host->add_subcommand("export", "write the whole registry as JSON");
exp->add_option("FILE", a->file, "output file (default: standard output)");
exp->callback(run([=](Host* h, std::string* e) {
  HostReply reply;
  if (!h->client->Send("GET", "export", "", &reply, e)) return false;
  if (reply.status != 200) {
    Json problem;
    h->Answered(reply, &problem, e);  // the refusal, in words
    return false;
  }
  const std::string& json = reply.body;
  if (a->file.empty() || a->file == "-") {
    std::cout << json;
    return true;
  }
  // The export holds the password hashes: readable by its owner alone. It
  // is written beside the target, never through a link placed there, and
  // renamed over it whole.
  const std::string temporary = a->file + ".zvtadm-" + std::to_string(::getpid());
  int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  auto fail = [&](const std::string& what) {
    const std::string why = std::strerror(errno);
    if (fd >= 0) {
      ::close(fd);
      ::unlink(temporary.c_str());
    }
    return *e = "cannot write " + what + ": " + why, false;
  };
  if (fd < 0) return fail(temporary);
  if (::write(fd, json.data(), json.size()) != static_cast<ssize_t>(json.size()) ||
      ::fsync(fd) != 0)
    return fail(temporary);
  if (::close(fd) != 0) {
    fd = -1;
    ::unlink(temporary.c_str());
    return *e = "cannot write " + temporary + ": " + std::strerror(errno), false;
  }
  fd = -1;
  if (::rename(temporary.c_str(), a->file.c_str()) != 0) {
    const std::string why = std::strerror(errno);
    ::unlink(temporary.c_str());
    return *e = "cannot replace " + a->file + ": " + why, false;
  }
  return true;
}));
}  // namespace zvt::tools

}  // namespace zvt::tools
