// Why a function is denied to a profile: its setting as the usage list
// resolves it, and for a group or root the denial of every child, found as
// the client library finds it (passes until nothing changes, so that
// nested groups are settled whatever their order and cycles never are).
#include "hostd/usage_reasons.h"

#include <map>
#include <set>

namespace zvt::hostd {
namespace {

// The parent a function names, or when it names none its root (for
// category 1 of another product, the console's root); "" for a root.
std::string ParentOf(const FunctionRow& f) {
  // Where a category 1 function without a parent stands in the client's tree.
  constexpr char kConsoleRoot[] = "QVYN_XD1_ZENTA";
  if (f.type == "1") return "";
  if (!f.parent.empty() && f.parent != "*NONE") return f.parent;
  return f.category == "1" && f.root != kConsoleRoot ? kConsoleRoot : f.root;
}

// The registry as one snapshot read it, arranged for answering.
class Registry {
 public:
  explicit Registry(const HostImage& image) : image_(image) {
    for (const FunctionRow& f : image.functions) functions_[f.id] = &f;
    for (const ProfileRow& p : image.profiles) profiles_[p.name] = &p;
    for (const UsageSetting& u : image.usage) settings_[u.profile].push_back(&u);
    const std::vector<std::string> parents = TreeParents(image.functions);
    for (size_t i = 0; i < parents.size(); ++i)
      if (!parents[i].empty()) children_[parents[i]].push_back(image.functions[i].id);
  }

  const ProfileRow* profile(const std::string& name) const {
    auto it = profiles_.find(name);
    return it == profiles_.end() ? nullptr : it->second;
  }
  bool has_function(const std::string& id) const { return functions_.count(id) != 0; }
  const std::vector<std::string>& children(const std::string& id) const {
    static const std::vector<std::string> none;
    auto it = children_.find(id);
    return it == children_.end() ? none : it->second;
  }

  // The profile's own settings, by function.
  std::map<std::string, std::string> OwnSettings(const std::string& profile) const {
    std::map<std::string, std::string> own;
    for (const UsageSetting* u : SettingsOf(profile)) own[u->function] = u->usage;
    return own;
  }

  // Every function's answer for `who`.
  std::map<std::string, UsageReason> Answers(const ProfileRow& who) const {
    // Only the profile's own settings and its groups' are read.
    const std::map<std::string, std::string> own = OwnSettings(who.name);
    std::map<std::string, std::map<std::string, std::vector<std::string>>> by_groups;
    for (const std::string& group : std::set<std::string>(who.groups.begin(), who.groups.end()))
      for (const UsageSetting* u : SettingsOf(group))
        by_groups[u->function][u->usage].push_back(u->profile);
    std::map<std::string, UsageReason> answers;
    for (const FunctionRow& f : image_.functions) {
      UsageReason& r = answers[f.id];
      r.function = f.id;
      if (auto it = own.find(f.id); it != own.end()) {
        r.source = "own";
        r.denied = it->second == "1";
      } else if (auto g = by_groups.find(f.id); g != by_groups.end()) {
        r.source = "group";
        r.denied = g->second.count("1") != 0;
        r.groups = g->second[r.denied ? "1" : "2"];
      } else {
        r.source = "default";
        r.denied = f.default_usage == "1";
      }
    }
    for (bool changed = true; changed;) {
      changed = false;
      for (const auto& [parent, kids] : children_) {
        UsageReason& a = answers[parent];
        if (a.denied || kids.empty()) continue;
        bool all = true;
        for (const std::string& kid : kids) all = all && answers[kid].denied;
        if (all) a.denied = a.by_children = changed = true;
      }
    }
    return answers;
  }

 private:
  const std::vector<const UsageSetting*>& SettingsOf(const std::string& profile) const {
    static const std::vector<const UsageSetting*> none;
    auto it = settings_.find(profile);
    return it == settings_.end() ? none : it->second;
  }

  const HostImage& image_;
  std::map<std::string, std::vector<const UsageSetting*>> settings_;  // by profile
  std::map<std::string, const FunctionRow*> functions_;
  std::map<std::string, const ProfileRow*> profiles_;
  std::map<std::string, std::vector<std::string>> children_;
};

}  // namespace

std::vector<std::string> TreeParents(const std::vector<FunctionRow>& functions) {
  std::map<std::string, const FunctionRow*> by_id;
  for (const FunctionRow& f : functions) by_id[f.id] = &f;
  std::vector<std::string> parents;
  parents.reserve(functions.size());
  for (const FunctionRow& f : functions) {
    auto parent = by_id.find(ParentOf(f));
    const bool has_children =
        parent != by_id.end() && (parent->second->type == "1" || parent->second->type == "2");
    parents.push_back(has_children ? parent->first : "");
  }
  return parents;
}

nlohmann::json UsageReasonJson(const UsageReason& r) {
  nlohmann::json out = {{"function", r.function},
                        {"denied", r.denied},
                        {"source", r.by_children ? "children" : r.source}};
  if (!r.groups.empty()) out["groups"] = r.groups;
  return out;
}

bool HostStore::ExplainUsage(const std::string& profile, const std::string& function,
                             UsageExplanation* out, bool* known, std::string* error) {
  *out = UsageExplanation();
  HostImage image;
  if (!ReadImage(&image, error)) return false;
  const Registry registry(image);
  const ProfileRow* who = registry.profile(CanonicalProfile(profile));
  *known = who != nullptr && registry.has_function(function);
  if (!*known) return true;
  std::map<std::string, UsageReason> answers = registry.Answers(*who);
  out->answer = answers[function];
  for (const std::string& kid : registry.children(function)) out->children.push_back(answers[kid]);
  return true;
}

bool HostStore::ProfilesDeniedTo(const std::string& function, std::vector<DeniedProfile>* denied,
                                 bool* known, std::string* error) {
  denied->clear();
  HostImage image;
  if (!ReadImage(&image, error)) return false;
  const Registry registry(image);
  *known = registry.has_function(function);
  if (!*known) return true;
  for (const ProfileRow& p : image.profiles) {
    UsageReason answer = registry.Answers(p)[function];
    if (answer.denied) denied->push_back(DeniedProfile{p.name, std::move(answer)});
  }
  return true;
}

bool HostStore::ExplainProfile(const std::string& profile, std::vector<UsageReason>* answers,
                               std::vector<std::string>* own, bool* known, std::string* error) {
  answers->clear();
  own->clear();
  HostImage image;
  if (!ReadImage(&image, error)) return false;
  const Registry registry(image);
  const ProfileRow* who = registry.profile(CanonicalProfile(profile));
  *known = who != nullptr;
  if (!*known) return true;
  std::map<std::string, UsageReason> all = registry.Answers(*who);
  const std::map<std::string, std::string> settings = registry.OwnSettings(who->name);
  answers->reserve(image.functions.size());
  own->reserve(image.functions.size());
  for (const FunctionRow& f : image.functions) {
    answers->push_back(std::move(all[f.id]));
    auto it = settings.find(f.id);
    own->push_back(it == settings.end() ? "" : it->second);
  }
  return true;
}

bool HostStore::CountDenied(std::map<std::string, uint64_t>* counts, std::string* error) {
  counts->clear();
  HostImage image;
  if (!ReadImage(&image, error)) return false;
  const Registry registry(image);
  for (const ProfileRow& p : image.profiles)
    for (const auto& [function, answer] : registry.Answers(p))
      if (answer.denied) ++(*counts)[function];
  return true;
}

}  // namespace zvt::hostd
