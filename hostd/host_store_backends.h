// The databases a host store can live in; HostStore::Open picks one by the
// location's form.
#ifndef ZVT_HOSTD_HOST_STORE_BACKENDS_H_
#define ZVT_HOSTD_HOST_STORE_BACKENDS_H_

#include <memory>
#include <string>

#include "hostd/host_store.h"

namespace zvt::hostd {

// Sets the field of `info` that a row of the stores' meta table holds
// ("version", "release" or "name"); other keys are left alone.
void SetHostInfoField(const std::string& key, const std::string& value, HostInfo* info);

// A SQLite file, created (readable by its owner alone) when missing.
// `*wrong_schema` as HostStore::Open sets it.
std::unique_ptr<HostStore> OpenSqliteStore(const std::string& path, std::string* error,
                                           bool* wrong_schema = nullptr);

// A PostgreSQL database named by a connection URI.
std::unique_ptr<HostStore> OpenPostgresStore(const std::string& uri, const StoreOptions& options,
                                             std::string* error, bool* wrong_schema = nullptr);

}  // namespace zvt::hostd

#endif  // ZVT_HOSTD_HOST_STORE_BACKENDS_H_
