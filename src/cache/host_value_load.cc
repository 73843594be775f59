// Reloading a user's denied functions from the host: the usage list, the
// function hierarchy, the groups denied through all their children, and the
// user key that keeps the result.
#include "cache/host_value_load.h"

#include <vector>

#include "cache/registry_cache.h"
#include "diag/error_records.h"
#include "host/admin_host_apis.h"
#include "services/services.h"

namespace zvt {
namespace {

// Every category, at the list's only format level.
constexpr uint32_t kAllCategories = 0;
// Users whose keys a system keeps besides the one being loaded.
constexpr size_t kOtherUsersKept = 2;

// The connection of one load: made if it can be, and undone only if made.
class LoadConnection {
 public:
  explicit LoadConnection(const SystemHandle* handle) : handle_(handle) {
    if (handle_ == nullptr) return;
    uint32_t rc = CurrentServices().client->zvtCO_Connect(*handle_, kServiceRemoteCommand, 0);
    if (rc != kClientOk) {
      ZVT_CACHE_ERROR(u"CRegistryCache::getTarvoAIValues -> zvtCO_Connect failed", rc);
      return;
    }
    connected_ = true;
  }
  ~LoadConnection() { Disconnect(); }
  LoadConnection(const LoadConnection&) = delete;
  LoadConnection& operator=(const LoadConnection&) = delete;

  void Disconnect() {
    if (!connected_) return;
    connected_ = false;
    uint32_t rc = CurrentServices().client->zvtCO_Disconnect(*handle_, kServiceRemoteCommand, 0);
    if (rc != kClientOk)
      ZVT_CACHE_ERROR(u"CRegistryCache::getTarvoAIValues -> zvtCO_Disconnect failed", rc);
  }

 private:
  const SystemHandle* handle_;
  bool connected_ = false;
};

// Deletes the keys of the system's users after the first two listed.
void PruneOtherUsers(const std::u16string& system_name) {
  NameList users;
  (void)CRegistryCache::getUserList(system_name, &users);
  if (users.size() <= kOtherUsersKept) return;
  if (CRegistryCache::systemKey() == nullptr) (void)CRegistryCache::openSysRegKey(system_name);
  for (size_t i = kOtherUsersKept; i < users.size(); ++i)
    deleteRegTree(CRegistryCache::systemKey(), users[i]);
}

}  // namespace

void resolveGroupDenials(DeniedSet* denied, HierarchyMap* map) {
  // Groups settled in a pass count as settled from the next pass on.
  std::vector<bool> settled(map->size(), false);
  std::vector<uint32_t> open(map->size()), still_open, settled_now;
  for (uint32_t g = 0; g < open.size(); ++g) open[g] = g;
  while (!open.empty()) {
    still_open.clear();
    settled_now.clear();
    for (uint32_t group : open) {
      const HierarchyMap::Children& children = map->children(group);
      bool pending = false, allowed_child = false;
      for (std::u16string_view child : children) {
        if (denied->count(child) != 0) continue;
        // The first child not denied decides: a group still open waits.
        const uint32_t child_group = map->Find(child);
        if (child_group != HierarchyMap::kNoGroup && !settled[child_group]) {
          pending = true;
        } else {
          allowed_child = true;
        }
        break;
      }
      if (pending) {
        still_open.push_back(group);
        continue;
      }
      if (!children.empty() && !allowed_child) denied->insert(map->name(group));
      settled_now.push_back(group);
    }
    if (settled_now.empty()) break;
    for (uint32_t group : settled_now) settled[group] = true;
    open.swap(still_open);
  }
  map->clear();  // groups on a cycle, or waiting on one, are not denied
}

uint32_t CRegistryCache::getTarvoAIValues(const std::u16string& system_name,
                                          const std::u16string& user_id,
                                          std::unique_ptr<DeniedSet>* denied,
                                          uint32_t reuse_hierarchy, const SystemHandle* handle) {
  if (HostLoadOverride* o = CurrentServices().host_load; o != nullptr)
    return o->getTarvoAIValues(system_name, user_id, denied, reuse_hierarchy, handle);

  LoadConnection connection(handle);
  ErrorOut error;
  // The host call may put a "Q" before a profile name that begins with a
  // digit; the keys stay under the user ID itself.
  std::u16string profile = user_id;
  // The denied functions go into the set as they arrive, in list order.
  auto set = std::make_unique<DeniedSet>();
  size_t listed = 0;
  uint32_t rc = CAdminHostAPIs::getUsersFuncUsage(
      system_name, profile, kAllCategories,
      [&set](std::u16string_view id, bool is_denied) {
        if (is_denied) set->insert(id);
      },
      &listed, &error, handle);
  if (rc != 0 || error) {
    if (error) showHostError(error.get(), user_id, system_name, handle);
    ZVT_CACHE_ERROR(u"CRegistryCache::getTarvoAIValues -> getUsersFuncInfo failed", 0);
    return 1;
  }
  if (listed == 0) {
    denied->reset();
    return 0;
  }

  HierarchyMap hierarchy;
  (void)buildHierMap(&hierarchy, system_name, user_id, reuse_hierarchy, handle);
  connection.Disconnect();
  resolveGroupDenials(set.get(), &hierarchy);

  PruneOtherUsers(system_name);
  if (uint32_t open = openUserRegKey(system_name, user_id); open != 0) {
    ZVT_CACHE_ERROR(u"CRegistryCache::getTarvoAIValues -> Open User key failed - User save", 0);
    return open;
  }
  RegistryApi* registry = CurrentServices().registry;
  const BYTE denied_flag = 1;
  std::u16string name;
  for (std::u16string_view id : *set) {
    name.assign(id);  // the registry takes a terminated name
    if (registry->RegSetValueExW(userKey(), name.c_str(), 0, kRegBinary, &denied_flag, 1) != 0)
      noteLostWrite();
  }
  if (set->empty()) {
    denied->reset();
  } else {
    *denied = std::move(set);
  }
  return 0;
}

}  // namespace zvt
