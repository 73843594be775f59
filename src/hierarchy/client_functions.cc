// Reading and validating the client-defined function declarations.
#include "hierarchy/client_functions.h"

#include <unordered_map>
#include <unordered_set>

#include "cache/upper_case.h"
#include "hierarchy/builtin_functions.h"
#include "hierarchy/registry_reads.h"
#include "hierarchy/resource_libraries.h"
#include "services/app_adm_mutex.h"
#include "services/locked_frame.h"
#include "services/resource_context.h"

namespace zvt {
namespace {

using DefinitionArray = std::vector<std::unique_ptr<ClientFunctionDefinition>>;
using ProviderArray = std::vector<std::unique_ptr<ClientFunctionProvider>>;

// The two lists ([0] non-plug-in, [1] plug-in) and the mutex that guards
// their creation and reading; created on first use, never freed.
ClientFunctionList* g_lists[2] = {nullptr, nullptr};
std::unique_ptr<CAppAdmMutex>* g_list_mutex = nullptr;

std::unique_ptr<CAppAdmMutex>& ListMutex() {
  if (g_list_mutex == nullptr) g_list_mutex = new std::unique_ptr<CAppAdmMutex>();
  return *g_list_mutex;
}

constexpr size_t kMaxFunctionIdChars = 30;
constexpr DWORD kProviderNameChars = 257;  // 256 and the terminator
constexpr DWORD kFunctionKeyChars = 31;    // 30 and the terminator
constexpr DWORD kContainerBytes = 62;
// Enumeration is by index until the registry says there is nothing more;
// this bound only stops a registry that never says so.
constexpr DWORD kMaxSubkeyIndex = 1u << 16;

// Enumerates the subkey names of `key` that fit `chars` (terminator
// included), skipping failed steps, and calls `visit` for each.
template <typename Visit>
void ForEachSubkey(HKEY key, DWORD chars, Visit visit) {
  RegistryApi* registry = CurrentServices().registry;
  std::vector<char16_t> name(chars);
  for (DWORD index = 0; index < kMaxSubkeyIndex; ++index) {
    DWORD name_chars = chars;
    LONG rc = registry->RegEnumKeyExW(key, index, name.data(), &name_chars, nullptr, nullptr,
                                      nullptr, nullptr);
    if (rc == kErrorNoMoreItems || rc == kErrorInvalidHandle || rc == kErrorKeyDeleted) return;
    if (rc != kErrorSuccess || name_chars >= chars) continue;
    visit(std::u16string(name.data(), name_chars));
  }
}

enum class ValueState { kRead, kNotFound, kUnreadable, kWrongType };

struct DwordValue {
  ValueState state = ValueState::kNotFound;
  DWORD value = 0;
  DWORD type = kRegDword;  // as the registry reported it
};

DwordValue ReadDword(HKEY key, const char16_t* name) {
  DwordValue v;
  std::vector<BYTE> data;
  LONG rc = QueryDeclarationValue(key, name, sizeof(DWORD), &v.type, &data);
  if (rc == kErrorFileNotFound) {
    v.state = ValueState::kNotFound;
  } else if (rc != kErrorSuccess) {
    v.state = ValueState::kUnreadable;
  } else if (v.type != kRegDword) {
    v.state = ValueState::kWrongType;
  } else {
    v.state = ValueState::kRead;
    for (size_t i = 0; i < data.size(); ++i) v.value |= static_cast<DWORD>(data[i]) << (8 * i);
  }
  return v;
}

// The running state of one provider's declarations.
struct ProviderRead {
  explicit ProviderRead(const ClientFunctionProvider& p) : provider(p) {}
  const ClientFunctionProvider& provider;
  DefinitionArray definitions;
  std::unordered_map<std::u16string, ClientFunctionDefinition*> by_id;
  std::u16string root_function_id;
  bool root_seen = false;
  bool item_seen = false;
  bool unusable = false;

  void Report(uint32_t number, const char16_t* insert1, const char16_t* insert2 = nullptr) {
    if (insert2 == nullptr) {
      (void)reportDefinitionMessage(number, insert1, provider.name.c_str());
    } else {
      (void)reportDefinitionMessage(number, insert1, insert2, provider.name.c_str());
    }
  }
};

// Reads one function key into `def`; false when the definition is rejected.
// Every value is read and checked even after an earlier one failed.
bool ReadFunctionValues(HKEY key, ProviderRead* read, ClientFunctionDefinition* def) {
  const char16_t* id = def->functionId.c_str();
  bool ok = true;
  auto wrong_type = [&](const char16_t* value_name) {
    read->Report(16103, value_name, id);
    ok = false;
  };

  DwordValue description = ReadDword(key, u"FuncDescID");
  if (description.state == ValueState::kNotFound) {
    read->Report(16107, u"FuncDescID", id);
    ok = false;
  } else if (description.state == ValueState::kWrongType ||
             (description.state == ValueState::kUnreadable && description.type != kRegDword)) {
    wrong_type(u"FuncDescID");
  }

  DwordValue name = ReadDword(key, u"FuncNameID");
  if (name.state == ValueState::kNotFound) {
    read->Report(16107, u"FuncNameID", id);
    ok = false;
  } else if (name.state == ValueState::kWrongType) {
    wrong_type(u"FuncNameID");
  }

  DwordValue type = ReadDword(key, u"FunctionType");
  if (type.state == ValueState::kWrongType) {
    wrong_type(u"FunctionType");
  } else if (type.state != ValueState::kRead || type.value == 0) {
    def->type = kClientFunctionItem;
    read->item_seen = true;
  } else if (type.value == 1) {
    def->type = kClientFunctionGroup;
  } else if (type.value == 2) {
    def->type = kClientFunctionRoot;
    if (read->root_seen) {
      read->unusable = true;
      (void)reportDefinitionMessage(16106, read->provider.name.c_str());
    }
    read->root_seen = true;
    read->root_function_id = def->functionId;
  } else {
    read->Report(16108, id);
    ok = false;
  }

  for (const char16_t* value_name : {u"FuncBmpID", u"OpenBmpID", u"SeqNum"}) {
    DwordValue v = ReadDword(key, value_name);
    if (v.state == ValueState::kWrongType) wrong_type(value_name);
    if (v.state == ValueState::kRead && value_name == std::u16string_view(u"SeqNum"))
      def->sequenceNumber = v.value;
  }

  DWORD container_type = kRegSz;
  std::vector<BYTE> data;
  LONG rc = QueryDeclarationValue(key, u"Container", kContainerBytes, &container_type, &data);
  if (rc == kErrorSuccess) {
    if (container_type != kRegSz) return false;
    std::u16string container = DeclarationText(data);
    UpperCaseInPlace(&container);
    if (!container.empty() && !isValidFunctionId(container)) {
      read->Report(16102, u"Container", id);
      return false;
    }
    def->container = std::move(container);
  }
  return ok;
}

void RemoveDefinition(ProviderRead* read, size_t index) {
  read->by_id.erase(read->definitions[index]->functionId);
  read->definitions.erase(read->definitions.begin() + index);
}

// Checks every definition's parent, from the last definition to the first.
void CheckContainers(bool plug_in, ProviderRead* read) {
  for (size_t i = read->definitions.size(); i-- > 0;) {
    ClientFunctionDefinition* def = read->definitions[i].get();
    if (def->container.empty()) continue;
    auto parent = read->by_id.find(def->container);
    if (parent == read->by_id.end()) {
      if (plug_in) continue;  // its parent may be a host function or the console's
      read->Report(16110, def->container.c_str(), def->functionId.c_str());
      RemoveDefinition(read, i);
      continue;
    }
    bool remove = false;
    if (parent->second->type != kClientFunctionGroup) {
      read->Report(16109, def->container.c_str(), def->functionId.c_str());
      remove = true;
    }
    std::unordered_set<std::u16string> visited{def->functionId};
    for (const ClientFunctionDefinition* at = parent->second;;) {
      if (!visited.insert(at->functionId).second) {
        read->unusable = true;
        (void)reportDefinitionMessage(16111, read->provider.name.c_str());
        break;
      }
      auto next = at->container.empty() ? read->by_id.end() : read->by_id.find(at->container);
      if (next == read->by_id.end()) break;
      at = next->second;
    }
    if (remove) RemoveDefinition(read, i);
  }
}

// Reads a provider's definitions with its resource library current.
void ReadDefinitions(const ClientFunctionList& list, ProviderRead* read) {
  struct Restore {
    HMODULE previous;
    ~Restore() { SetCurrentResourceLibrary(previous); }
  } restore{loadProviderResources(list, read->provider)};

  ScopedKey provider_key(CurrentServices().registry);
  if (OpenDeclarationKey(
          kHKeyClassesRoot,
          std::u16string(ClientFunctionRootPath(list.plugIn)) + u"\\" + read->provider.name,
          &provider_key) != kErrorSuccess)
    return;
  ForEachSubkey(provider_key.get(), kFunctionKeyChars, [&](std::u16string id) {
    UpperCaseInPlace(&id);
    if (!isValidFunctionId(id)) {
      read->Report(16112, id.c_str());
      return;
    }
    ScopedKey function_key(CurrentServices().registry);
    if (OpenDeclarationKey(provider_key.get(), id, &function_key) != kErrorSuccess) return;
    auto def = std::make_unique<ClientFunctionDefinition>();
    def->functionId = id;
    if (!ReadFunctionValues(function_key.get(), read, def.get())) return;
    read->by_id[id] = def.get();
    read->definitions.push_back(std::move(def));
  });
  provider_key.Reset();
  CheckContainers(list.plugIn, read);

  if (!read->root_seen || !read->item_seen) {
    read->unusable = true;
    if (!read->root_seen) (void)reportDefinitionMessage(16104, read->provider.name.c_str());
    if (!read->item_seen) (void)reportDefinitionMessage(16105, read->provider.name.c_str());
  } else if (read->unusable || read->definitions.empty()) {
    read->definitions.clear();
    read->root_function_id.clear();
  }
}

ProviderArray ReadProviders(const ClientFunctionList& list) {
  ProviderArray providers;
  ScopedKey root(CurrentServices().registry);
  if (OpenDeclarationKey(kHKeyClassesRoot, ClientFunctionRootPath(list.plugIn), &root) !=
      kErrorSuccess)
    return providers;
  ForEachSubkey(root.get(), kProviderNameChars, [&](const std::u16string& name) {
    if (name.find(u'.') == std::u16string::npos) {
      (void)reportDefinitionMessage(16101, name.c_str());
      return;
    }
    auto provider = std::make_unique<ClientFunctionProvider>();
    provider->name = name;
    resolveProviderResources(list, provider.get());
    providers.push_back(std::move(provider));
  });
  return providers;
}

std::unique_ptr<ClientFunctionProvider> BuiltInProvider() {
  auto provider = std::make_unique<ClientFunctionProvider>();
  provider->name = kBuiltInProviderName;
  provider->resourceLibrary = kBuiltInResourceLibrary;
  provider->rootFunctionId = kConsoleRootId;
  size_t count = 0;
  const BuiltInFunction* rows = BuiltInFunctions(&count);
  for (size_t i = 0; i < count; ++i) {
    auto def = std::make_unique<ClientFunctionDefinition>();
    def->functionId = rows[i].functionId;
    def->type = rows[i].type;
    def->container = rows[i].parent;
    def->sequenceNumber = static_cast<uint32_t>(i + 1);
    provider->definitions.push_back(std::move(def));
  }
  return provider;
}

}  // namespace

bool isValidFunctionId(const std::u16string& id) {
  if (id.empty() || id.size() > kMaxFunctionIdChars) return false;
  for (char16_t c : id) {
    bool ok = c == u'.' || c == u'_' || (c >= u'0' && c <= u'9') || (c >= u'A' && c <= u'Z');
    if (!ok) return false;
  }
  return true;
}

const char16_t* ClientFunctionRootPath(bool plug_in) {
  return plug_in
             ? u"VYN.Tarvo.Network\\Application_Administration\\Client_Defined_Functions\\Plugins"
             : u"VYN.Tarvo.Network\\Application_Administration\\Client_Defined_Functions\\"
               u"Non-Plugins";
}

ClientFunctionList* getClientFunctionList(bool plug_in) {
  LockedFrame frame;
  CAppAdmMutexLock lock(ListMutex());
  ClientFunctionList*& list = g_lists[plug_in ? 1 : 0];
  if (list == nullptr) {
    list = new ClientFunctionList();
    list->plugIn = plug_in;
  }
  return list;
}

uint32_t getProviders(ClientFunctionList* list, const ProviderArray** providers) {
  LockedFrame frame;
  (void)loadClientFunctions(list);
  *providers = &list->providers;
  return 0;
}

bool isPluginList(const ClientFunctionList& list) { return list.plugIn; }

uint32_t loadClientFunctions(ClientFunctionList* list) {
  CAppAdmMutexLock lock(ListMutex());
  if (list->loaded) return 0;
  list->providers = ReadProviders(*list);
  for (size_t i = list->providers.size(); i-- > 0;) {
    ClientFunctionProvider* provider = list->providers[i].get();
    ProviderRead read(*provider);
    ReadDefinitions(*list, &read);
    if (read.unusable) {
      list->providers.erase(list->providers.begin() + i);
      continue;
    }
    provider->definitions = std::move(read.definitions);
    provider->rootFunctionId = std::move(read.root_function_id);
  }
  if (list->plugIn) list->providers.push_back(BuiltInProvider());
  list->loaded = true;
  return 0;
}

void ResetClientFunctionListsForTesting() {
  LockedFrame frame;
  {
    CAppAdmMutexLock lock(ListMutex());
    for (ClientFunctionList*& list : g_lists) {
      delete list;
      list = nullptr;
    }
  }
  // The mutex belongs to the sync service it was made with, which a test
  // may be about to unbind.
  ListMutex().reset();
}

}  // namespace zvt
