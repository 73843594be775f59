// zvtadm cache check: the states in which the library answers 0 ("not
// denied") for a function the host may deny, as far as this user's files
// show them: a damaged or unreadable store, the cache switched off, a saved
// hierarchy left empty by a failed function list, and the cache's mutex held
// by a process that does not let go. Each finding says what to do.
#include <iostream>

#include "cache/registry_layout.h"
#include "platform/name_fold.h"
#include "platform/utf.h"
#include "services/scoped_key.h"
#include "tools/zvtadm_command.h"

namespace zvt::tools {
namespace {

using platform::U16;
using platform::Utf16ToUtf8;

// How long the cache's mutex may stay held before the check calls it stuck:
// a refresh from a responsive host takes far less.
constexpr DWORD kMutexPatienceMs = 2000;

void CheckCache(ToolRegistry* r, const std::string& only, std::vector<Finding>* found) {
  ScopedKey top(r);
  if (r->OpenRegKeyEx(kHKeyCurrentUser, kHostValsKey, 0, kKeyRead, top.Receive()) != kErrorSuccess)
    return;
  if (CacheSwitchedOff(r, top.get()))
    found->push_back(
        {"the cache is switched off (\"Activate\" is \"2\"): every process that starts while it "
         "is so answers that nothing is denied",
         "remove the value: printf 'Windows Registry Editor Version 5.00\\n\\n"
         "[HKEY_CURRENT_USER\\\\" +
             Utf16ToUtf8(r->client_root()) + "\\\\" + Utf16ToUtf8(kHostValsKey) +
             "]\\n\"Activate\"=-\\n' | zvtadm reg import -"});
  for (DWORD i = 0;; ++i) {
    char16_t name[256];
    DWORD chars = 256;
    if (r->RegEnumKeyExW(top.get(), i, name, &chars, nullptr, nullptr, nullptr, nullptr) !=
        kErrorSuccess)
      break;
    std::string system = Utf16ToUtf8(std::u16string(name, chars));
    if (!only.empty() && !platform::NamesEqual(U16(only), U16(system))) continue;
    ScopedKey sys(r);
    if (r->OpenRegKeyEx(top.get(), name, 0, kKeyRead, sys.Receive()) != kErrorSuccess) continue;
    Timestamp hierarchy_changed{};
    if (!ReadStoredTimestamp(r, sys.get(), kHierTsValue, &hierarchy_changed) ||
        hierarchy_changed == Timestamp{})
      continue;
    // An empty saved hierarchy is the host's own tree when the host's list
    // said it has no parent with children; otherwise the list was missing.
    ScopedKey hierarchy(r);
    bool saved = false;
    DWORD host_parents = 0;
    bool host_said = false;
    if (r->OpenRegKeyEx(sys.get(), kHierarchyKey, 0, kKeyRead, hierarchy.Receive()) ==
        kErrorSuccess) {
      for (DWORD i = 0; !saved; ++i) {
        char16_t value[64];
        DWORD value_chars = 64;
        LONG rc = r->RegEnumValueW(hierarchy.get(), i, value, &value_chars, nullptr, nullptr,
                                   nullptr, nullptr);
        if (rc == kErrorNoMoreItems) break;
        // A value that cannot be read, or any not beginning with "#", counts
        // as saved: damage is the store check's finding.
        saved = rc != kErrorSuccess || value_chars == 0 || value[0] != u'#';
      }
      host_said = ReadSavedParents(r, hierarchy.get(), &host_parents) && host_parents == 0;
    }
    if (!saved && !host_said)
      found->push_back(
          {system + ": the saved hierarchy is empty although \"##HierTS\" is set: a refresh went "
                    "on without the host's function list, so a group or root whose children are "
                    "all denied answers 0 until the host's hierarchy changes",
           "zvtadm cache clear " + system});
  }
}

void CheckMutex(std::vector<Finding>* found) {
  std::unique_ptr<SyncApi> sync = ToolSync();
  HANDLE mutex = sync->CreateMutexW(kRegCacheMutexName, 0, nullptr);
  if (mutex == nullptr) return;
  DWORD wait = sync->WaitForSingleObject(mutex, kMutexPatienceMs);
  if (wait == kWaitObject0 || wait == kWaitAbandoned) {
    sync->ReleaseMutex(mutex);
  } else if (wait == kWaitTimeout) {
    std::string pids = CacheMutexHolders();
    found->push_back(
        {"the cache's mutex has been held for more than " +
             std::to_string(kMutexPatienceMs / 1000) + " s" +
             (pids.empty() ? "" : " (by process " + pids + ")") +
             ": every process that needs the cache waits for it",
         "see what that process waits for: a host error shown to a user who has not closed it, "
         "or a host that does not answer; ending it releases the mutex"});
  }
  sync->CloseHandle(mutex);
}

}  // namespace

void AddCacheCheckCommand(CLI::App* cache, CommandContext* context, int* exit_code) {
  auto system = std::make_shared<std::string>();
  CLI::App* check = cache->add_subcommand(
      "check", "look for states in which the library answers 0 although the host denies");
  check->add_option("SYSTEM", *system, "only this system's cached entry");
  check->callback([=] {
    context->read_only = true;
    std::vector<Finding> found;
    CheckStoreFiles(context, &found);
    CheckCache(context->registry(), *system, &found);
    CheckMutex(&found);
    nlohmann::json out = nlohmann::json::array();
    for (const Finding& f : found) out.push_back({{"problem", f.what}, {"do", f.todo}});
    context->Emit({{"problems", out}}, [&] {
      if (found.empty()) std::cout << "no problem found\n";
      for (const Finding& f : found)
        std::cout << "problem: " << f.what << "\n  do: " << f.todo << "\n";
    });
    *exit_code = found.empty() ? kExitOk : kExitFailed;
  });
}

}  // namespace zvt::tools
