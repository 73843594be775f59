// zvtadm host: manage a host store that zvthostd serves: the host's version,
// user profiles, registered functions, usage settings, and whole-registry
// JSON import and export. Changes are seen by a running server at once.
#include <fcntl.h>
#include <sys/stat.h>
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

namespace zvt::tools {
namespace {

struct HostArgs {
  std::string store;
  std::string name, password_env, password_file, profile, function, usage, file;
  bool fast_hash = false;
  hostd::FunctionRow row;
  hostd::HostInfo info;
};

std::unique_ptr<hostd::HostStore> OpenStore(const CommandContext& context, const HostArgs& a,
                                            int* exit_code) {
  std::string error;
  if (a.store.empty()) {
    *exit_code = context.Fail(kExitUsage, "host: --store FILE|URI (or ZVT_HOST_STORE) is required");
    return nullptr;
  }
  auto store = hostd::HostStore::Open(a.store, &error);
  if (!store) *exit_code = context.Fail(kExitFailed, error);
  return store;
}

int ExitForError(const std::string& error) {
  return error.find("not found") != std::string::npos ||
                 error.find("not registered") != std::string::npos
             ? kExitNotFound
             : kExitFailed;
}

// The password from an environment variable or a file readable only by its
// owner, read as the library reads a configured system's; never from the
// command line, where other users could see it.
bool ReadPassword(const HostArgs& a, std::string* password, std::string* error) {
  client::SystemConfig from;
  from.password_environment = a.password_env;
  from.password_file = a.password_file;
  if (client::SystemConfigStore::ReadPassword(from, password, error) == kClientOk) return true;
  // Said of no system here: the words after the system's name.
  if (const size_t at = error->find(": "); at != std::string::npos) error->erase(0, at + 2);
  return false;
}

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
std::string ReasonText(const hostd::UsageReason& r) {
  if (r.by_children) return "every child denied";
  if (r.source == "own") return "own setting";
  if (r.source == "group") {
    std::string text = "group";
    for (const std::string& g : r.groups) text += (text.size() == 5 ? " " : ", ") + g;
    return text;
  }
  return "default";
}

}  // namespace

void AddHostCommands(CLI::App* app, CommandContext* context, int* exit_code) {
  CLI::App* host = app->add_subcommand("host", "manage the host store that zvthostd serves");
  host->require_subcommand(1);
  auto a = std::make_shared<HostArgs>();
  if (const char* env = std::getenv("ZVT_HOST_STORE")) a->store = env;
  host->add_option("--store", a->store,
                   "host store: a SQLite file or a postgresql:// URI (default $ZVT_HOST_STORE)");

  // Runs `body` on the opened store, turning its error into an exit code.
  // `check`, when given, looks at the command line's values first: what it
  // refuses is a bad command line, told before the store is opened.
  auto run = [=](std::function<bool(hostd::HostStore*, std::string*)> body,
                 std::function<bool(std::string*)> check = nullptr) {
    return [=] {
      std::string error;
      if (check && !check(&error)) {
        *exit_code = context->Fail(kExitUsage, error);
        return;
      }
      auto store = OpenStore(*context, *a, exit_code);
      if (!store) return;
      *exit_code = body(store.get(), &error) ? kExitOk : context->Fail(ExitForError(error), error);
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

  auto* info = host->add_subcommand("info", "show or set the version, release and name reported");
  info->add_option("--host-version", a->info.version, "host version");
  info->add_option("--host-release", a->info.release, "host release");
  info->add_option("--name", a->info.name, "host name");
  info->callback(run([=](hostd::HostStore* s, std::string* e) {
    if (info->count("--host-version") + info->count("--host-release") + info->count("--name") > 0) {
      hostd::HostInfo current;
      if (!s->GetHostInfo(&current, e)) return false;
      if (info->count("--host-version")) current.version = a->info.version;
      if (info->count("--host-release")) current.release = a->info.release;
      if (info->count("--name")) current.name = a->info.name;
      if (!s->SetHostInfo(current, e)) return false;
    }
    hostd::HostInfo now;
    if (!s->GetHostInfo(&now, e)) return false;
    context->Emit({{"version", now.version}, {"release", now.release}, {"name", now.name}}, [&] {
      std::cout << now.name << ": version " << now.version << " release " << now.release << "\n";
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
  auto strength = [=] {
    return a->fast_hash ? hostd::HashStrength::kFast : hostd::HashStrength::kInteractive;
  };
  auto all_profiles = std::make_shared<bool>(false);
  user_add->add_flag("--security-admin,--all-profiles", *all_profiles,
                     "a security administrator: may read every profile's usage and timestamps "
                     "(else its own only)");
  user_add->callback(run(
      [=](hostd::HostStore* s, std::string* e) {
        std::string password;
        if (!ReadPassword(*a, &password, e)) return false;
        return s->AddProfile(a->name, password, strength(), e) &&
               (!*all_profiles || s->SetAllProfiles(a->name, true, e));
      },
      new_password));
  user_passwd->callback(run(
      [=](hostd::HostStore* s, std::string* e) {
        std::string password;
        if (!ReadPassword(*a, &password, e)) return false;
        return s->SetPassword(a->name, password, strength(), e);
      },
      new_password));
  auto* user_remove = user->add_subcommand("remove", "delete a profile and its usage settings");
  user_remove->add_option("NAME", a->name, "profile name")->required();
  user_remove->callback(
      run([=](hostd::HostStore* s, std::string* e) { return s->RemoveProfile(a->name, e); },
          profile_named(&a->name)));
  auto* user_list = user->add_subcommand("list", "list the profiles");
  user_list->callback(run([=](hostd::HostStore* s, std::string* e) {
    std::vector<std::string> names, fast;
    if (!s->ListProfiles(&names, e) || !s->ListFastHashProfiles(&fast, e)) return false;
    auto is_fast = [&fast](const std::string& n) {
      return std::find(fast.begin(), fast.end(), n) != fast.end();
    };
    nlohmann::json rows = nlohmann::json::array();
    for (const auto& n : names) rows.push_back({{"name", n}, {"fast_hash", is_fast(n)}});
    context->Emit(rows, [&] {
      for (const auto& n : names)
        std::cout << n << (is_fast(n) ? "  (fast hash: refused unless --allow-fast-hashes)" : "")
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
      [=](hostd::HostStore* s, std::string* e) {
        if (groups->empty() && !*no_groups && admin->empty() && auditor->empty())
          return *e = "host user set: nothing to change (--group, --no-groups, "
                      "--security-admin, --auditor)",
                 false;
        return ((groups->empty() && !*no_groups) || s->SetGroups(a->name, *groups, e)) &&
               (admin->empty() || s->SetAllProfiles(a->name, *admin == "on", e)) &&
               (auditor->empty() || s->SetAuditor(a->name, *auditor == "on", e));
      },
      profile_named(&a->name)));
  auto* user_show = user->add_subcommand(
      "show", "a profile's attributes, groups and usage of every function (with its groups')");
  user_show->add_option("NAME", a->name, "profile name")->required();
  user_show->callback(run(
      [=](hostd::HostStore* s, std::string* e) {
        std::vector<std::string> member_of;
        std::vector<hostd::UsageRow> rows;
        bool known = false, all = false, auditor = false;
        if (!s->ListGroups(a->name, &member_of, &known, e)) return false;
        if (!known) return *e = "user profile " + a->name + " not found", false;
        if (!s->ReadsAllProfiles(a->name, &all, e) || !s->IsAuditor(a->name, &auditor, e) ||
            !s->ListUsage(a->name, "9", &rows, &known, e))
          return false;
        nlohmann::ordered_json usage = nlohmann::ordered_json::object();
        for (const auto& r : rows) usage[r.function] = r.usage == "1" ? "denied" : "allowed";
        const std::string name = hostd::HostStore::CanonicalProfile(a->name);
        context->Emit({{"name", name},
                       {"security_admin", all},
                       {"auditor", auditor},
                       {"groups", member_of},
                       {"usage", usage}},
                      [&] {
                        std::cout << name << (all ? "  security administrator" : "")
                                  << (auditor ? "  auditor" : "") << "\n";
                        std::cout << "groups:";
                        for (const auto& g : member_of) std::cout << " " << g;
                        std::cout << (member_of.empty() ? " none\n" : "\n");
                        for (const auto& r : rows)
                          std::cout << "  " << r.function << "  "
                                    << (r.usage == "1" ? "denied" : "allowed") << "\n";
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
      [=](hostd::HostStore* s, std::string* e) {
        uint64_t revoked = 0;
        if (!s->RevokeTokens(a->name, &revoked, e)) return false;
        context->Emit({{"revoked", revoked}}, [&] {
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
  fn_add->callback(
      run([=](hostd::HostStore* s, std::string* e) { return s->AddFunction(a->row, e); },
          [=](std::string* e) {
            if (a->row.root.empty()) a->row.root = a->row.id;
            return hostd::HostStore::CheckFunction(a->row, e);
          }));
  auto* fn_update = function->add_subcommand(
      "update", "change a registered function (fields not given keep their values)");
  AddFunctionOptions(fn_update, a.get());
  fn_update->callback(run(
      [=](hostd::HostStore* s, std::string* e) {
        std::vector<hostd::FunctionRow> rows;
        if (!s->ListFunctions("9", &rows, e)) return false;
        for (hostd::FunctionRow row : rows) {
          if (row.id != a->row.id) continue;
          auto take = [&](const char* option, std::string* field, const std::string& value) {
            if (fn_update->count(option) > 0) *field = value;
          };
          take("--category", &row.category, a->row.category);
          take("--type", &row.type, a->row.type);
          take("--root", &row.root, a->row.root);
          take("--parent", &row.parent, a->row.parent);
          take("--name", &row.name, a->row.name);
          take("--name2", &row.name2, a->row.name2);
          take("--description", &row.description, a->row.description);
          take("--description2", &row.description2, a->row.description2);
          take("--indicator1", &row.indicator1, a->row.indicator1);
          take("--indicator2", &row.indicator2, a->row.indicator2);
          take("--indicator3", &row.indicator3, a->row.indicator3);
          take("--default-usage", &row.default_usage, a->row.default_usage);
          return s->UpdateFunction(row, e);
        }
        *e = "function " + a->row.id + " is not registered";
        return false;
      },
      [=](std::string* e) {
        // The fields given, beside valid ones for those not given.
        hostd::FunctionRow given = a->row;
        if (given.root.empty()) given.root = given.id;
        return hostd::HostStore::CheckFunction(given, e);
      }));
  auto* fn_remove = function->add_subcommand("remove", "unregister a function");
  fn_remove->add_option("ID", a->function, "function ID")->required();
  fn_remove->callback(
      run([=](hostd::HostStore* s, std::string* e) { return s->RemoveFunction(a->function, e); }));
  auto* fn_show = function->add_subcommand(
      "show", "a registered function and the profiles it is denied to, with why");
  fn_show->add_option("ID", a->function, "function ID")->required();
  fn_show->callback(run([=](hostd::HostStore* s, std::string* e) {
    std::vector<hostd::FunctionRow> rows;
    std::vector<hostd::DeniedProfile> denied;
    bool known = false;
    if (!s->ListFunctions("9", &rows, e) || !s->ProfilesDeniedTo(a->function, &denied, &known, e))
      return false;
    if (!known) return *e = "function " + a->function + " is not registered", false;
    auto row = std::find_if(rows.begin(), rows.end(),
                            [&](const hostd::FunctionRow& f) { return f.id == a->function; });
    if (row == rows.end()) return *e = "function " + a->function + " is not registered", false;
    nlohmann::json to = nlohmann::json::array();
    for (const auto& d : denied) {
      nlohmann::json one = hostd::UsageReasonJson(d.reason);
      one.erase("function");
      one["profile"] = d.profile;
      to.push_back(one);
    }
    nlohmann::json out = hostd::FunctionToJson(*row);
    out["denied_to"] = to;
    context->Emit(out, [&] {
      std::cout << row->id << "  type " << row->type << "  root " << row->root << "  parent "
                << row->parent << "  default " << (row->default_usage == "1" ? "denied" : "allowed")
                << "  " << row->name << "\ndenied to:";
      for (const auto& d : denied)
        std::cout << "\n  " << d.profile << "  (" << ReasonText(d.reason) << ")";
      std::cout << (denied.empty() ? " nobody\n" : "\n");
    });
    return true;
  }));
  auto* fn_list = function->add_subcommand("list", "list the registered functions");
  fn_list->callback(run([=](hostd::HostStore* s, std::string* e) {
    std::vector<hostd::FunctionRow> rows;
    if (!s->ListFunctions("9", &rows, e)) return false;
    nlohmann::ordered_json out = nlohmann::ordered_json::array();
    for (const auto& f : rows) out.push_back(hostd::FunctionToJson(f));
    context->Emit(out, [&] {
      for (const auto& f : rows)
        std::cout << f.id << "  type " << f.type << "  root " << f.root << "  parent " << f.parent
                  << "  " << f.name << "\n";
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
      [=](hostd::HostStore* s, std::string* e) {
        if (!a->function.empty())
          return s->SetUsage(a->profile, a->function, a->usage == "default" ? "" : a->usage, e);
        std::vector<hostd::UsageRow> rows;
        bool known = false;
        if (!s->ListUsage(a->profile, "9", &rows, &known, e)) return false;
        if (!known) return *e = "user profile " + a->profile + " not found", false;
        nlohmann::json out = nlohmann::json::array();
        for (const auto& r : rows)
          out.push_back({{"function", r.function}, {"denied", r.usage == "1"}});
        context->Emit(out, [&] {
          for (const auto& r : rows)
            std::cout << r.function << "  " << (r.usage == "1" ? "denied" : "allowed") << "\n";
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
      [=](hostd::HostStore* s, std::string* e) {
        hostd::UsageExplanation x;
        bool known = false;
        if (!s->ExplainUsage(a->profile, a->function, &x, &known, e)) return false;
        if (!known)
          return *e = "user profile " + a->profile + " or function " + a->function + " not found",
                 false;
        nlohmann::json children = nlohmann::json::array();
        for (const auto& c : x.children) children.push_back(hostd::UsageReasonJson(c));
        nlohmann::json out = hostd::UsageReasonJson(x.answer);
        out["children"] = children;
        out["note"] = hostd::kPlugInNote;
        context->Emit(out, [&] {
          std::cout << x.answer.function << "  " << (x.answer.denied ? "denied" : "allowed")
                    << "  (" << ReasonText(x.answer) << ")\n";
          for (const auto& c : x.children)
            std::cout << "  " << c.function << "  " << (c.denied ? "denied" : "allowed") << "  ("
                      << ReasonText(c) << ")\n";
          std::cout << hostd::kPlugInNote << "\n";
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
      [=](hostd::HostStore* s, std::string* e) {
        std::vector<hostd::AuditRecord> records;
        if (!s->ListAudit(*filter, &records, e)) return false;
        nlohmann::json out = nlohmann::json::array();
        for (const auto& r : records) out.push_back(hostd::AuditRecordJson(r));
        context->Emit(out, [&] {
          for (auto it = records.rbegin(); it != records.rend(); ++it) {
            std::cout << hostd::UtcText(it->at / 1000000) << "  " << it->who << " from " << it->from
                      << "  " << it->action;
            for (const std::string* part : {&it->profile, &it->function})
              if (!part->empty()) std::cout << " " << *part;
            if (!it->before.empty() || !it->after.empty())
              std::cout << "  " << it->before << " -> " << it->after;
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
  stamps->callback(run([=](hostd::HostStore* s, std::string* e) {
    hostd::Timestamps t;
    bool known = false;
    if (!s->GetTimestamps(a->profile, &t, &known, e)) return false;
    if (!known) return *e = "user profile " + a->profile + " not found", false;
    auto decoded = [](const hostd::Stamp& stamp) {
      return DecodeTimestamp(std::vector<BYTE>(stamp.begin(), stamp.end()));
    };
    const nlohmann::json user = decoded(t.user), rep = decoded(t.rep), hier = decoded(t.hier);
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
  import->add_flag("--replace", *replace,
                   "also when registered functions or profiles are not in the file (removed)");
  import->callback(run([=](hostd::HostStore* s, std::string* e) {
    std::string json;
  if (a->file == "-") {
    json.assign(std::istreambuf_iterator<char>(std::cin), std::istreambuf_iterator<char>());
  } else {
    std::ifstream in(a->file, std::ios::binary);
    if (!in) return *e = "cannot read " + a->file, false;
    json.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }
  Progress progress(context, "importing " + a->file);
  if (!s->ImportJson(json, *replace, e))
    return *e = a->file + ": " + *e + "; nothing was imported", false;
  return true;
}));
auto* exp = host->add_subcommand("export", "write the whole registry as JSON");
exp->add_option("FILE", a->file, "output file (default: standard output)");
exp->callback(run([=](hostd::HostStore* s, std::string* e) {
  std::string json;
  if (!s->ExportJson(&json, e)) return false;
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
