// Building the function hierarchy of one reload: the client-defined
// functions first, then the host's, either from the host's function list
// (saved as the system's "Hierarchy" key) or from that saved copy.
#include <vector>

#include "cache/registry_cache.h"
#include "cache/registry_layout.h"
#include "diag/error_records.h"
#include "hierarchy/client_functions.h"
#include "hierarchy/parents.h"
#include "hierarchy/registry_reads.h"
#include "host/admin_host_apis.h"
#include "services/services.h"
#include "services/value_bytes.h"

namespace zvt {
namespace {

// Selector 0 asks for the functions of every category.
constexpr uint32_t kAllCategories = 0;
constexpr DWORD kHierarchyNameChars = 32;  // 31 and the terminator
constexpr DWORD kHierarchyDataBytes = 8192;
constexpr DWORD kMaxValueIndex = 1u << 20;

// The host part of the tree: every host root and group with all its host
// children, in function-list order, and the order the parents came in.
struct HostHierarchy {
  HierarchyMap children;
  std::vector<std::u16string> order;

  void Reset(const std::u16string& id) {
    auto [it, added] = children.try_emplace(id);
    if (added) {
      order.push_back(id);
    } else {
      it->second.clear();
    }
  }
};

std::u16string JoinChildren(const std::vector<std::u16string>& children) {
  std::u16string text;
  for (const std::u16string& child : children) {
    if (!text.empty()) text.push_back(u',');
    text += child;
  }
  return text;
}

std::vector<std::u16string> SplitChildren(const std::u16string& text) {
  std::vector<std::u16string> pieces;
  size_t start = 0;
  while (start <= text.size()) {
    size_t comma = text.find(u',', start);
    if (comma == std::u16string::npos) comma = text.size();
    if (comma > start) pieces.push_back(text.substr(start, comma - start));
    start = comma + 1;
  }
  return pieces;
}

// Adds `child` to the children of `parent`; a parent that is not in the map
// is recorded with `no_parent_record` and the line of the caller.
void AppendChild(HierarchyMap* map, const std::u16string& parent, const std::u16string& child,
                 const char16_t* no_parent_record, uint32_t line) {
  auto it = map->find(parent);
  if (it == map->end()) {
    writeErrorRecord(ErrorUnit::kCache, no_parent_record, line, 0);
    return;
  }
  it->second.push_back(child);
}

constexpr char16_t kHostNoParent[] = u"CRegistryCache::getTarvoAIValues -> AI Error-No Parent";

uint32_t BuildFromHost(HierarchyMap* map, KnownSet* known, const std::u16string& system_name,
                       const std::u16string& user_id, const SystemHandle* handle) {
  FunctionInfoList functions;
  ErrorOut error;
  uint32_t rc = CAdminHostAPIs::getFuncList(system_name, kAllCategories, &functions, &error, handle,
                                            FunctionFields::kPlacement);
  if (rc != 0 || error) {
    if (error) showHostError(error.get(), user_id, system_name, handle);
    ZVT_CACHE_ERROR(u"CRegistryCache::getTarvoAIValues -> getFuncList failed", 0);
    return 1;
  }

  HostHierarchy host;
  for (const auto& f : functions) {
    if (f->functionType == kClientFunctionItem) continue;
    host.Reset(f->functionId);
    if (known->insert(f->functionId).second) (*map)[f->functionId].clear();
  }
  for (const auto& f : functions) {
    if (f->functionType == kClientFunctionRoot) continue;
    const std::u16string parent = HostFunctionParent(*f);
    AppendChild(&host.children, parent, f->functionId, kHostNoParent, __LINE__);
    if (f->functionType == kClientFunctionItem && known->count(f->functionId) == 0)
      AppendChild(map, parent, f->functionId, kHostNoParent, __LINE__);
  }

  if (uint32_t open = CRegistryCache::openHierRegKey(system_name); open != 0) {
    ZVT_CACHE_ERROR(u"CRegistryCache::getTarvoAIValues -> Open Hier key failed - Hier save", 0);
    CRegistryCache::noteLostWrite();  // a later reload must not reuse what is not saved
    return open;
  }
  RegistryApi* registry = CurrentServices().registry;
  DWORD saved = 0;
  for (const std::u16string& parent : host.order) {
    const std::vector<std::u16string>& children = host.children[parent];
    if (children.empty()) continue;
    ++saved;
    std::u16string text = JoinChildren(children);
    if (SetStringValue(registry, CRegistryCache::hierarchyKey(), parent.c_str(), text) != 0)
      CRegistryCache::noteLostWrite();
  }
  if (WriteSavedParents(registry, CRegistryCache::hierarchyKey(), saved) != 0)
    CRegistryCache::noteLostWrite();
  return 0;
}

// Reads the saved copy whole before any of it joins the map: a copy that
// cannot be read to its end, or holds fewer parents than the host's list
// gave it, leaves the map as it was and returns a nonzero code.
uint32_t BuildFromRegistry(HierarchyMap* map, KnownSet* known, const std::u16string& system_name) {
  if (uint32_t open = CRegistryCache::openHierRegKey(system_name); open != 0) {
    ZVT_CACHE_ERROR(u"CRegistryCache::getTarvoAIValues -> Open Hier key failed - Hier load", 0);
    return open;
  }
  RegistryApi* registry = CurrentServices().registry;
  std::vector<std::pair<std::u16string, std::vector<std::u16string>>> saved;
  std::vector<BYTE> data(kHierarchyDataBytes);
  for (DWORD index = 0;; ++index) {
    if (index == kMaxValueIndex) {
      ZVT_CACHE_ERROR(u"CRegistryCache::getTarvoAIValues -> Hier key holds too many values", 0);
      return 1;
    }
    char16_t name[kHierarchyNameChars];
    DWORD name_chars = kHierarchyNameChars;
    DWORD size = kHierarchyDataBytes;
    DWORD type = 0;
    LONG rc = registry->RegEnumValueW(CRegistryCache::hierarchyKey(), index, name, &name_chars,
                                      nullptr, &type, data.data(), &size);
    if (rc == kErrorMoreData) continue;  // a longer name or more data: not ours
    if (rc == kErrorNoMoreItems) break;
    if (rc != kErrorSuccess) {
      ZVT_CACHE_ERROR(u"CRegistryCache::getTarvoAIValues -> Enum Hier values failed",
                      static_cast<uint32_t>(rc));
      return static_cast<uint32_t>(rc);
    }
    if (name_chars == 0 || name_chars >= kHierarchyNameChars || name[0] == u'#' || type != kRegSz)
      continue;
    saved.emplace_back(
        std::u16string(name, name_chars),
        SplitChildren(DeclarationText(std::vector<BYTE>(data.begin(), data.begin() + size))));
  }
  DWORD expected = 0;
  if (ReadSavedParents(registry, CRegistryCache::hierarchyKey(), &expected) &&
      saved.size() < expected) {
    ZVT_CACHE_ERROR(u"CRegistryCache::getTarvoAIValues -> Hier key holds fewer parents than saved",
                    static_cast<uint32_t>(saved.size()));
    return 1;
  }
  for (const auto& entry : saved)
    if (known->insert(entry.first).second) (*map)[entry.first].clear();
  for (const auto& [parent, children] : saved) {
    for (const std::u16string& child : children) {
      if (known->count(child) != 0) continue;
      AppendChild(map, parent, child, kHostNoParent, __LINE__);
    }
  }
  return 0;
}

}  // namespace

uint32_t CRegistryCache::loadHierMap(HierarchyMap* map, KnownSet* known, ClientFunctionList* list,
                                     uint32_t pass) {
  const std::vector<std::unique_ptr<ClientFunctionProvider>>* providers = nullptr;
  (void)getProviders(list, &providers);
  const bool plug_in = isPluginList(*list);
  for (const auto& provider : *providers) {
    for (const auto& def : provider->definitions) {
      if (pass == 0) {
        if (def->type == kClientFunctionItem) continue;
        (*map)[def->functionId].clear();
        known->insert(def->functionId);
        continue;
      }
      if (def->type == kClientFunctionRoot) continue;
      AppendChild(map, DeclaredFunctionParent(*def, *provider, plug_in), def->functionId,
                  u"CRegistryCache::loadHierMap -> AI Error-No Parent", __LINE__);
      if (def->type == kClientFunctionItem) known->insert(def->functionId);
    }
  }
  return 0;
}

uint32_t CRegistryCache::buildHierMap(HierarchyMap* map, const std::u16string& system_name,
                                      const std::u16string& user_id, uint32_t reuse_hierarchy,
                                      const SystemHandle* handle) {
  KnownSet known;
  ClientFunctionList* non_plugins = getClientFunctionList(false);
  ClientFunctionList* plugins = getClientFunctionList(true);
  for (uint32_t pass = 0; pass < 2; ++pass) {
    (void)loadHierMap(map, &known, non_plugins, pass);
    (void)loadHierMap(map, &known, plugins, pass);
  }
  // A saved copy that cannot be read whole is not used: the host's list
  // takes its place, so that no group loses its denial to a damaged store.
  if (reuse_hierarchy != 0 && BuildFromRegistry(map, &known, system_name) == 0) return 0;
  return BuildFromHost(map, &known, system_name, user_id, handle);
}

}  // namespace zvt
