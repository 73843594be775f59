// The databases a host store can live in; HostStore::Open picks one by the
// location's form.
#ifndef ZVT_HOSTD_HOST_STORE_BACKENDS_H_
#define ZVT_HOSTD_HOST_STORE_BACKENDS_H_

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "hostd/host_store.h"

namespace zvt::hostd {

// The functions table's columns, in the order of FunctionFields.
inline constexpr char kFunctionColumns[] =
    "id, category, type, root, parent, name, name2, description, description2, indicator1, "
    "indicator2, indicator3, default_usage";
inline constexpr int kFunctionFieldCount = 13;
// The rows a page reserves room for at once: a page a client asks for is at
// most this long in practice (64 functions, 250 usage entries), and a
// longer one grows as its rows are read.
inline constexpr uint64_t kReservedRows = 256;

// A function's fields in the order of kFunctionColumns.
std::vector<std::string> FunctionFields(const FunctionRow& f);

// A function from its fields in that order; `field(i)` gives the i-th.
template <typename Field>
FunctionRow FunctionFromFields(Field field) {
  FunctionRow f;
  std::string* fields[kFunctionFieldCount] = {
      &f.id,         &f.category,   &f.type,         &f.root,         &f.parent,
      &f.name,       &f.name2,      &f.description,  &f.description2, &f.indicator1,
      &f.indicator2, &f.indicator3, &f.default_usage};
  for (int i = 0; i < kFunctionFieldCount; ++i) *fields[i] = field(i);
  return f;
}

// Sets the field of `info` that a row of the stores' meta table holds
// ("version", "release" or "name"); other keys are left alone.
void SetHostInfoField(const std::string& key, const std::string& value, HostInfo* info);

// What audit records say of a change: the host's information, a list of
// profile names, and an import.
std::string HostInfoText(const HostInfo& info);
std::string JoinNames(const std::vector<std::string>& names);
std::string ImportSummary(const HostImage& image, bool replace);

// A SQLite file, created (readable by its owner alone) when missing.
// `*wrong_schema` as HostStore::Open sets it.
std::unique_ptr<HostStore> OpenSqliteStore(const std::string& path, std::string* error,
                                           bool* wrong_schema = nullptr);

// A PostgreSQL database named by a connection URI.
std::unique_ptr<HostStore> OpenPostgresStore(const std::string& uri, const StoreOptions& options,
                                             std::string* error, bool* wrong_schema = nullptr);

}  // namespace zvt::hostd

#endif  // ZVT_HOSTD_HOST_STORE_BACKENDS_H_
