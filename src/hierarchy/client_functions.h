// The functions that client components and plug-ins declare in the local
// registry, below HKEY_CLASSES_ROOT, with where they stand in the function
// tree. Two process-wide lists: the plug-in list, which ends with the
// console's own functions, and the non-plug-in list. Each is read and
// validated once per process; faults in the declarations are written to the
// client's message log and drop the smallest unit affected.
#ifndef ZVT_HIERARCHY_CLIENT_FUNCTIONS_H_
#define ZVT_HIERARCHY_CLIENT_FUNCTIONS_H_

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace zvt {

// Function types, coded as the host's function list codes them.
inline constexpr uint32_t kClientFunctionRoot = 0;
inline constexpr uint32_t kClientFunctionGroup = 1;
inline constexpr uint32_t kClientFunctionItem = 2;

// The function ID of the console's own root function.
inline constexpr char16_t kConsoleRootId[] = u"QVYN_XD1_ZENTA";

struct ClientFunctionDefinition {
  std::u16string functionId;  // upper case
  uint32_t type = kClientFunctionItem;
  std::u16string container;  // upper case; empty: none
  uint32_t sequenceNumber = 0;
};

struct ClientFunctionProvider {
  std::u16string name;
  std::u16string resourceLibrary;
  std::u16string resourceDirectory;
  std::u16string rootFunctionId;
  std::vector<std::unique_ptr<ClientFunctionDefinition>> definitions;
};

struct ClientFunctionList {
  bool loaded = false;
  std::vector<std::unique_ptr<ClientFunctionProvider>> providers;
  bool plugIn = false;
};

// The process-wide list for `plug_in`, created empty on first request.
// Lists are never freed while the library is loaded. Callers hold the
// process lock.
ClientFunctionList* getClientFunctionList(bool plug_in);
// Reads the list if it has not been read, then points `*providers` at its
// providers (possibly none). Always 0.
uint32_t getProviders(ClientFunctionList* list,
                      const std::vector<std::unique_ptr<ClientFunctionProvider>>** providers);
bool isPluginList(const ClientFunctionList& list);
// Reads the list from the registry once; later calls return at once. Always 0.
uint32_t loadClientFunctions(ClientFunctionList* list);

// 1 to 30 characters, each ".", "0"-"9", "A"-"Z" or "_".
bool isValidFunctionId(const std::u16string& id);

// The registry path of a list's root key below HKEY_CLASSES_ROOT.
const char16_t* ClientFunctionRootPath(bool plug_in);

// Empties both lists, as in a newly loaded library; for tests that change
// the declarations between reads.
void ResetClientFunctionListsForTesting();

}  // namespace zvt

#endif  // ZVT_HIERARCHY_CLIENT_FUNCTIONS_H_
