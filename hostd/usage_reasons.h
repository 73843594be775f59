// Why a function is denied to a profile, or not: the profile's own setting,
// its groups', the function's default, and for a group or root the rule the
// client library applies to the host's functions, that one is denied when
// it has children and every one of them is.
#ifndef ZVT_HOSTD_USAGE_REASONS_H_
#define ZVT_HOSTD_USAGE_REASONS_H_

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "hostd/host_store.h"

namespace zvt::hostd {

// One function's setting for the profile and where it comes from.
struct UsageReason {
  std::string function;
  bool denied = false;  // by its setting, or by its children
  // "own": the profile's own setting; "group": its groups' (`groups` names
  // those that decide it: the denying ones when denied, else the allowing
  // ones); "default": the function's default.
  std::string source;
  std::vector<std::string> groups;
  bool by_children = false;  // denied because every child is
};

struct UsageExplanation {
  UsageReason answer;  // the function itself
  // For a group or root, each child as the answer above sees it.
  std::vector<UsageReason> children;
};

struct DeniedProfile {
  std::string profile;
  UsageReason reason;
};

// For each of `functions`, in their order, the root or group it hangs from
// in the client's tree: the parent it names, or when it names none its root
// (for category 1 of another product, the console's root). "" for a root,
// and for a function whose parent is not registered or is an item: only
// roots and groups have children.
std::vector<std::string> TreeParents(const std::vector<FunctionRow>& functions);

// A reason as JSON: {"function", "denied", "source": "own" | "group" |
// "default" | "children", "groups" when a group decides}.
nlohmann::json UsageReasonJson(const UsageReason& reason);

// What clients must be told beside every explanation.
inline constexpr char kPlugInNote[] =
    "Functions that client plug-ins declare are not seen by the host: a group "
    "a plug-in adds children to may be answered otherwise on the client.";

}  // namespace zvt::hostd

#endif  // ZVT_HOSTD_USAGE_REASONS_H_
