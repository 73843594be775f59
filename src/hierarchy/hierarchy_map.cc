// Building the function hierarchy of one reload: the client-defined
// functions first, then the host's, either from the host's function list
// (saved as the system's "Hierarchy" key) or from that saved copy.
#include <string_view>
#include <unordered_map>
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
// children (as places in the function list), in list order, and the order
// the parents came in. Names are views of the function list's texts.
struct HostHierarchy {
  std::unordered_map<std::u16string_view, std::vector<uint32_t>> children;
  std::vector<std::u16string_view> order;

  void Add(std::u16string_view id) {
    if (children.try_emplace(id).second) order.push_back(id);
  }
};

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
void AppendChild(HierarchyMap* map, std::u16string_view parent, std::u16string_view child,
                 const char16_t* no_parent_record, uint32_t line) {
  const uint32_t group = map->Find(parent);
  if (group == HierarchyMap::kNoGroup) {
    writeErrorRecord(ErrorUnit::kCache, no_parent_record, line, 0);
    return;
  }
  map->AddChild(group, child);
}

constexpr char16_t kHostNoParent[] = u"CRegistryCache::getTarvoAIValues -> AI Error-No Parent";

uint32_t BuildFromHost(HierarchyMap* map, KnownSet* known, const std::u16string& system_name,
                       const std::u16string& user_id, const SystemHandle* handle) {
  FunctionPlacements functions;
  ErrorOut error;
  uint32_t rc =
      CAdminHostAPIs::getFuncPlacements(system_name, kAllCategories, &functions, &error, handle);
  if (rc != 0 || error) {
    if (error) showHostError(error.get(), user_id, system_name, handle);
    ZVT_CACHE_ERROR(u"CRegistryCache::getTarvoAIValues -> getFuncList failed", 0);
    return 1;
  }

  // What the client declared, and then the host's roots and groups: the
  // set is asked about once per function of the list.
  HostHierarchy host;
  for (size_t i = 0; i < functions.size(); ++i) {
    const FunctionPlacements::Entry& f = functions[i];
    if (f.type == kClientFunctionItem) continue;
    const std::u16string_view id = functions.text(f.id);
    host.Add(id);
    if (known->insert(id)) map->ResetGroup(id);
  }
  // Neighbours in the list mostly share their parent: each parent is looked
  // up once per run of them. Nothing is added to either map meanwhile.
  std::u16string_view last_parent;
  auto host_parent = host.children.end();
  uint32_t map_parent = HierarchyMap::kNoGroup;
  bool looked_up = false;
  for (size_t i = 0; i < functions.size(); ++i) {
    const FunctionPlacements::Entry& f = functions[i];
    if (f.type == kClientFunctionRoot) continue;
    const std::u16string_view parent =
        HostFunctionParent(f.category, functions.text(f.root), functions.text(f.parent));
    if (!looked_up || parent != last_parent) {
      host_parent = host.children.find(parent);
      map_parent = map->Find(parent);
      last_parent = parent;
      looked_up = true;
    }
    if (host_parent == host.children.end()) {
      writeErrorRecord(ErrorUnit::kCache, kHostNoParent, __LINE__, 0);
    } else {
      host_parent->second.push_back(static_cast<uint32_t>(i));
    }
    const std::u16string_view id = functions.text(f.id);
    if (f.type != kClientFunctionItem || known->count(id) != 0) continue;
    if (map_parent == HierarchyMap::kNoGroup) {
      writeErrorRecord(ErrorUnit::kCache, kHostNoParent, __LINE__, 0);
    } else {
      map->AddChild(map_parent, id);
    }
  }

  if (uint32_t open = CRegistryCache::openHierRegKey(system_name); open != 0) {
    ZVT_CACHE_ERROR(u"CRegistryCache::getTarvoAIValues -> Open Hier key failed - Hier save", 0);
    CRegistryCache::noteLostWrite();  // a later reload must not reuse what is not saved
    return open;
  }
  RegistryApi* registry = CurrentServices().registry;
  DWORD saved = 0;
  std::u16string text;
  for (std::u16string_view parent : host.order) {
    const std::vector<uint32_t>& children = host.children.find(parent)->second;
    if (children.empty()) continue;
    ++saved;
    text.clear();
    for (uint32_t child : children) {
      if (!text.empty()) text.push_back(u',');
      text.append(functions.text(functions[child].id));
    }
    if (SetStringValue(registry, CRegistryCache::hierarchyKey(), std::u16string(parent).c_str(),
                       text) != 0)
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
    if (known->insert(entry.first)) map->ResetGroup(entry.first);
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
        map->ResetGroup(def->functionId);
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
