// zvtadm value, state and tree: asking the library through its exports, as
// a client component does, and drawing the function tree it works on.
#include <iostream>
#include <map>
#include <set>
#include <sstream>

#include "cache/registry_layout.h"
#include "client/message_log.h"
#include "client/system_config.h"
#include "hierarchy/client_functions.h"
#include "hierarchy/parents.h"
#include "host/admin_host_apis.h"
#include "host/list_formats.h"
#include "host/program_names.h"
#include "include/zvtappad/zvtappad.h"
#include "include/zvtappad/zvtclient.h"
#include "platform/utf.h"
#include "services/scoped_key.h"
#include "services/services.h"
#include "tools/zvtadm_command.h"

namespace zvt::tools {
namespace {

using platform::U16;
using platform::Utf16ToUtf8;

// The library's exports, loaded when a command asks through them and not
// before: loading the library waits for the cache's mutex (a refresh in
// another process), which no other command of zvtadm needs to wait for.
const LibraryExports* LoadExports(CommandContext* context, int* exit_code) {
  static LibraryExports exports;
  static bool loaded = false;
  if (loaded) return &exports;
  std::string error;
  if (!LoadLibraryExports(&exports, &error)) {
    *exit_code = context->Fail(kExitFailed, error);
    return nullptr;
  }
  loaded = true;
  return &exports;
}

// Checks that `system` is configured; otherwise prints why and returns false.
bool Configured(CommandContext* context, const std::string& system, int* exit_code) {
  client::SystemConfig config;
  std::string error;
  LONG registry_rc = kErrorSuccess;
  uint32_t rc = client::SystemConfigStore(context->registry(), context->registry())
                    .Read(U16(system), &config, &error, &registry_rc);
  if (rc == kClientOk) return true;
  // Not configured is "not found"; a store that cannot be read is a failure,
  // told with the store's own words.
  if (rc == kClientNotConfigured && registry_rc != kErrorSuccess &&
      registry_rc != kErrorFileNotFound) {
    *exit_code = context->Fail(kExitFailed, context->WithConfigurationStoreProblem(error));
    return false;
  }
  *exit_code = context->Fail(rc == kClientNotConfigured ? kExitNotFound : kExitFailed, error, rc);
  return false;
}

// What this command's message log entries say of a failure to reach
// `system` (the address and the reason), or "".
std::string LoggedReason(const CommandContext& context, const std::string& system) {
  std::vector<client::LogEntry> entries;
  std::string error;
  if (!client::MessageLog().Read(&entries, &error)) return "";
  const std::string named = "SYSTEM " + Upper(system) + " ";
  for (auto it = entries.rbegin(); it != entries.rend() && it->time >= context.started; ++it) {
    if (Upper(it->text).find(named) == std::string::npos) continue;
    const size_t at = it->text.find("failed: ");
    return at == std::string::npos ? it->text : it->text.substr(at + 8);
  }
  return "";
}

int FailCall(CommandContext* context, const std::string& system, uint32_t rc) {
  std::string why;
  // Where the host could not be reached or spoken to, the first line says
  // the address and why, as the message log has them.
  if (rc == kClientHostUnreachable || rc == kClientTimedOut || rc == kClientCommunication ||
      rc == kClientTlsFailed)
    why = LoggedReason(*context, system);
  if (rc == kClientNoPassword) {
    // The library knows only that the password could not be had; the
    // configuration tells why.
    client::SystemConfig config;
    std::string password;
    if (client::SystemConfigStore(context->registry(), context->registry())
            .Read(U16(system), &config, &why) == kClientOk)
      client::SystemConfigStore::ReadPassword(config, &password, &why);
  }
  return context->Fail(kExitFailed,
                       system + ": " + DescribeCode(rc) + " (code " + std::to_string(rc) + ")" +
                           (why.empty() ? "" : ": " + why),
                       rc);
}

// Shows on `progress` what a reload from the host is doing while the
// library (or this program) asks it: the change timestamps, the usage list
// and the function list with the entries read so far and their rate, then
// `then`, what follows the function list (the writing of the cache). A
// list's parts say how many entries each brought, not how many the whole
// list holds.
class ReloadWatch : public CallObserver {
 public:
  ReloadWatch(Progress* progress, std::string then)
      : progress_(progress), then_(std::move(then)), calls_(DefaultServices().program_calls) {
    calls_->observeCalls(this);
  }
  ~ReloadWatch() override { calls_->observeCalls(nullptr); }
  ReloadWatch(const ReloadWatch&) = delete;
  ReloadWatch& operator=(const ReloadWatch&) = delete;

  // The library answered: what comes next is not that reload.
  void Answered() {
    progress_->Phase("");
    settings_ = functions_ = 0;
  }

  void CallBegins(const char16_t* program) override {
    const std::u16string_view name(program);
    if (name == kChangeTimestampsName16.text)
      progress_->Phase("change timestamps");
    else if (name == kUsageListName16.text)
      progress_->Phase("usage list", settings_, "settings");
    else if (name == kFunctionListName16.text)
      progress_->Phase("function list", functions_, "functions");
  }
  void CallEnded(const char16_t* program, DataObject* parameters, uint32_t rc) override {
    const std::u16string_view name(program);
    const bool usage = name == kUsageListName16.text;
    if (rc != 0 || (!usage && name != kFunctionListName16.text)) return;
    DataObject* receiver = calls_->childObject(parameters, 1);
    uint32_t entries = 0, bytes = 0, type = 0;
    if (calls_->getBinary(receiver, 4, &entries, sizeof entries, &bytes, &type) != 0) entries = 0;
    uint8_t handle[20];
    const bool last = ReadContinuation(calls_, receiver, handle);
    if (usage) {
      settings_ += entries;
      progress_->Phase("usage list", settings_, "settings");
    } else if (!last) {
      functions_ += entries;
      progress_->Phase("function list", functions_, "functions");
    } else {
      functions_ += entries;
      progress_->Phase(then_ + " (" + std::to_string(functions_) + " functions read)");
    }
  }

 private:
  Progress* progress_;
  const std::string then_;
  ProgramCallApi* calls_;
  uint64_t settings_ = 0, functions_ = 0;
};

// A signed-on system object of `system`, as a client component holds one.
uint32_t SignedOnHandle(const std::string& system, uint64_t* handle) {
  uint32_t rc = zvtsvc_GetSystemHandle(U16(system).c_str(), u"ZVWIN", handle);
  if (rc != kClientOk) return rc;
  ClientApi& services = *DefaultServices().client;
  uint32_t signed_on = 0;
  if (services.QuerySignedOn(*handle, &signed_on) == kClientOk && signed_on == 1) return 0;
  return services.zvtCO_Signon(*handle, 0);
}

const char* StateName(uint32_t state) {
  switch (state) {
    case ZVTAPPAD_CACHE_CURRENT:
      return "current";
    case ZVTAPPAD_CACHE_NOT_SIGNED_ON:
      return "not signed on";
    case ZVTAPPAD_CACHE_STALE:
      return "stale";
  }
  return "unknown";
}

// One function of the tree: host-registered or declared by a client provider.
struct Node {
  std::u16string name;
  std::u16string provider;  // empty for host functions
  uint32_t type = kClientFunctionItem;
  std::vector<std::u16string> children;
  bool placed = false;  // has a parent in the tree
};

using Tree = std::map<std::u16string, Node>;

void Attach(Tree* tree, const std::u16string& id, const std::u16string& parent) {
  auto it = tree->find(parent);
  if (it == tree->end() || parent == id) return;
  it->second.children.push_back(id);
  (*tree)[id].placed = true;
}

// The host's functions and the declared ones, each below its parent as the
// library places them.
uint32_t BuildTree(const std::string& system, const uint64_t* handle, Tree* tree,
                   std::vector<std::u16string>* order) {
  FunctionInfoList functions;
  ErrorOut error;
  uint32_t rc = CAdminHostAPIs::getFuncList(U16(system), 0, &functions, &error, handle);
  if (rc != 0) return rc;
  for (const auto& f : functions) {
    Node& n = (*tree)[f->functionId];
    n.name = f->functionName;
    n.type = f->functionType;
    order->push_back(f->functionId);
  }
  for (bool plug_in : {false, true}) {
    const std::vector<std::unique_ptr<ClientFunctionProvider>>* providers = nullptr;
    (void)getProviders(getClientFunctionList(plug_in), &providers);
    for (const auto& p : *providers) {
      for (const auto& d : p->definitions) {
        if (tree->count(d->functionId) != 0) continue;
        Node& n = (*tree)[d->functionId];
        n.provider = p->name;
        n.type = d->type;
        order->push_back(d->functionId);
      }
    }
  }
  for (const auto& f : functions) {
    if (f->functionType == kClientFunctionRoot) continue;
    Attach(tree, f->functionId, HostFunctionParent(*f));
  }
  for (bool plug_in : {false, true}) {
    const std::vector<std::unique_ptr<ClientFunctionProvider>>* providers = nullptr;
    (void)getProviders(getClientFunctionList(plug_in), &providers);
    for (const auto& p : *providers) {
      for (const auto& d : p->definitions) {
        if ((*tree)[d->functionId].provider != p->name || d->type == kClientFunctionRoot) continue;
        Attach(tree, d->functionId, DeclaredFunctionParent(*d, *p, plug_in));
      }
    }
  }
  return 0;
}

void DrawTree(const Tree& tree, const std::u16string& id, const std::set<std::u16string>& denied,
              const std::string& prefix, bool last, bool top, nlohmann::json* json,
              std::ostream& out) {
  const Node& n = tree.at(id);
  const bool is_denied = denied.count(id) != 0;
  std::string label = Utf16ToUtf8(id);
  if (!n.name.empty()) label += "  " + Utf16ToUtf8(n.name);
  if (!n.provider.empty()) label += "  [" + Utf16ToUtf8(n.provider) + "]";
  if (is_denied) label += "  (denied)";
  out << (top ? "" : prefix + (last ? "└── " : "├── ")) << label << "\n";
  *json = {{"id", Utf16ToUtf8(id)},
           {"type", n.type == kClientFunctionRoot    ? "root"
                    : n.type == kClientFunctionGroup ? "group"
                                                     : "item"},
           {"denied", is_denied}};
  if (!n.name.empty()) (*json)["name"] = Utf16ToUtf8(n.name);
  if (!n.provider.empty()) (*json)["provider"] = Utf16ToUtf8(n.provider);
  if (n.children.empty()) return;
  nlohmann::json& kids = (*json)["children"] = nlohmann::json::array();
  std::string next = top ? "" : prefix + (last ? "    " : "│   ");
  for (size_t i = 0; i < n.children.size(); ++i) {
    kids.push_back(nullptr);
    DrawTree(tree, n.children[i], denied, next, i + 1 == n.children.size(), false, &kids.back(),
             out);
  }
}

}  // namespace

void AddLibraryCommands(CLI::App* app, CommandContext* context, int* exit_code) {
  auto system = std::make_shared<std::string>();
  auto functions = std::make_shared<std::vector<std::string>>();
  CLI::App* value = app->add_subcommand(
      "value", "is each function denied to the user signed on to SYSTEM? (through the library)");
  value->add_option("SYSTEM", *system, "configured system")->required();
  value->add_option("FUNCTION", *functions, "function IDs")->required();
  value->callback([=] {
    if (!Configured(context, *system, exit_code)) return;
    const LibraryExports* library = LoadExports(context, exit_code);
    if (library == nullptr) return;
    nlohmann::json out = {{"system", *system}, {"values", nlohmann::json::array()}};
    std::vector<std::pair<std::string, uint32_t>> answers;
    {
      Progress progress(context, "asking " + *system);
      ReloadWatch watch(&progress, "writing the cache");
      for (const std::string& f : *functions) {
        progress.Step(answers.size(), functions->size());
        uint32_t v = 0;
        uint32_t rc = library->value(system->c_str(), f.c_str(), &v);
        watch.Answered();
        if (rc != 0) {
          progress.Done();
          *exit_code = FailCall(context, *system, rc);
          return;
        }
        answers.emplace_back(f, v);
        out["values"].push_back({{"function", f}, {"denied", v == ZVTAPPAD_DENIED}});
      }
    }
    context->Emit(out, [&] {
      for (const auto& [f, v] : answers)
        std::cout << f << "  " << (v == ZVTAPPAD_DENIED ? "denied" : "allowed") << "\n";
    });
  });

  CLI::App* state = app->add_subcommand(
      "state", "is the persistent cache current for SYSTEM and its user? (signs on first)");
  state->add_option("SYSTEM", *system, "configured system")->required();
  state->callback([=] {
    if (!Configured(context, *system, exit_code)) return;
    const LibraryExports* library = LoadExports(context, exit_code);
    if (library == nullptr) return;
    uint64_t handle = 0;
    uint32_t cache_state = 0;
    uint32_t rc = SignedOnHandle(*system, &handle);
    if (rc == 0) rc = library->state_ex(&handle, &cache_state);
    if (rc != 0) {
      *exit_code = FailCall(context, *system, rc);
      return;
    }
    // Without the change timestamps at sign-on the library cannot tell that
    // its cache is current, and says stale.
    std::string why;
    client::SystemConfig config;
    std::string error;
    if (cache_state == ZVTAPPAD_CACHE_STALE &&
        client::SystemConfigStore(context->registry(), context->registry())
                .Read(U16(*system), &config, &error) == kClientOk &&
        !config.supply_timestamps)
      why =
          "the system does not fetch the change timestamps at sign-on, so the cache always "
          "counts as stale (`zvtadm system add " +
          *system + " --replace --supply-timestamps ...`)";
    nlohmann::json out = {
        {"system", *system}, {"state", cache_state}, {"meaning", StateName(cache_state)}};
    if (!why.empty()) out["why"] = why;
    context->Emit(out, [&] {
      std::cout << *system << ": " << StateName(cache_state)
                << (why.empty() ? "" : " (" + why + ")") << "\n";
    });
  });

  auto user = std::make_shared<std::string>();
  CLI::App* tree = app->add_subcommand(
      "tree", "the function tree of SYSTEM, marking what is denied to its user (or to --user)");
  tree->add_option("SYSTEM", *system, "configured system")->required();
  tree->add_option("--user", *user,
                   "mark what the persistent cache holds as denied to this user instead");
  tree->callback([=] {
    if (!Configured(context, *system, exit_code)) return;
    uint64_t handle = 0;
    uint32_t rc = SignedOnHandle(*system, &handle);
    Tree functions;
    std::vector<std::u16string> order;
    {
      Progress progress(context, "reading the function registry of " + *system);
      ReloadWatch watch(&progress, "building the tree");
      if (rc == 0) rc = BuildTree(*system, &handle, &functions, &order);
    }
    if (rc != 0) {
      *exit_code = FailCall(context, *system, rc);
      return;
    }
    std::set<std::u16string> denied;
    if (!user->empty()) {
      const std::string upper = Upper(*user);
      LONG read = CachedDeniedFunctions(context->registry(), *system, upper, &denied);
      if (read == kErrorFileNotFound) {
        *exit_code = context->Fail(kExitNotFound, "the persistent cache holds nothing for user " +
                                                      upper + " on " + *system);
        return;
      }
      if (read != kErrorSuccess) {
        *exit_code = context->Fail(kExitFailed, "the persistent cache of user " + upper + " on " +
                                                    *system + " cannot be read whole: " +
                                                    CacheStoreError(context->registry(), read));
        return;
      }
    } else {
      const LibraryExports* library = LoadExports(context, exit_code);
      if (library == nullptr) return;
      for (const std::u16string& id : order) {
        uint32_t v = 0;
        rc = library->value_ex(&handle, Utf16ToUtf8(id).c_str(), &v);
        if (rc != 0) {
          *exit_code = FailCall(context, *system, rc);
          return;
        }
        if (v == ZVTAPPAD_DENIED) denied.insert(id);
      }
    }
    nlohmann::json roots = nlohmann::json::array();
    std::ostringstream text;
    for (const std::u16string& id : order) {
      if (functions[id].placed) continue;
      roots.push_back(nullptr);
      DrawTree(functions, id, denied, "", true, true, &roots.back(), text);
    }
    context->Emit({{"system", *system}, {"roots", roots}}, [&] { std::cout << text.str(); });
  });
}

}  // namespace zvt::tools
