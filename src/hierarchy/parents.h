// The parent a function is attached to in the function tree: its own, or,
// when it names none, the one its kind of function defaults to.
#ifndef ZVT_HIERARCHY_PARENTS_H_
#define ZVT_HIERARCHY_PARENTS_H_

#include <string>
#include <string_view>

#include "hierarchy/client_functions.h"
#include "host/admin_host_apis.h"

namespace zvt {

// "*NONE" or empty: no parent of its own.
inline bool MeansNoParent(std::u16string_view parent) {
  return parent.empty() || parent == u"*NONE";
}

// A host function without a parent stands under its root, except that one of
// category 1 from another product stands under the console root.
inline std::u16string_view HostFunctionParent(uint32_t category, std::u16string_view root,
                                              std::u16string_view parent) {
  if (!MeansNoParent(parent)) return parent;
  return category == 1 && root != kConsoleRootId ? std::u16string_view(kConsoleRootId) : root;
}

inline std::u16string HostFunctionParent(const FunctionInfoRecord& f) {
  return std::u16string(
      HostFunctionParent(f.functionCategory, f.rootFunctionId, f.parentFunctionId));
}

// A declared function without a container stands under the console root
// (plug-in list) or under its provider's root function.
inline std::u16string DeclaredFunctionParent(const ClientFunctionDefinition& d,
                                             const ClientFunctionProvider& provider, bool plug_in) {
  if (!MeansNoParent(d.container)) return d.container;
  return plug_in ? std::u16string(kConsoleRootId) : provider.rootFunctionId;
}

}  // namespace zvt

#endif  // ZVT_HIERARCHY_PARENTS_H_
