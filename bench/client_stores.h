// What the benchmarks of a client as a user runs it share: private stores
// named in this process's environment (which the client processes they
// start inherit), a host store with the profile BENCH, and systems that
// zvtadm configures for BENCH. Built with ZVT_BIN_DIR naming the build's
// programs.
#ifndef ZVT_BENCH_CLIENT_STORES_H_
#define ZVT_BENCH_CLIENT_STORES_H_

#include <cstdlib>
#include <memory>
#include <string>

#include "bench/bench_tls.h"
#include "hostd/host_store.h"
#include "testing/temp_dir.h"

namespace zvt::bench {

inline constexpr char kBenchPassword[] = "pw-BENCH";

// Points ZVT_HOME, ZVT_CLASSES_DB and XDG_RUNTIME_DIR into `dir` and opens
// dir/host.db with the profile BENCH; null with `*error` on failure.
inline std::unique_ptr<hostd::HostStore> OpenClientStores(const testing::TempDir& dir,
                                                          std::string* error) {
  for (const char* d : {"home", "run"}) std::system(("mkdir -p -m 700 " + dir.File(d)).c_str());
  setenv("ZVT_HOME", dir.File("home").c_str(), 1);
  setenv("ZVT_CLASSES_DB", dir.File("classes.db").c_str(), 1);
  setenv("XDG_RUNTIME_DIR", dir.File("run").c_str(), 1);
  setenv("ZVT_BENCH_PASSWORD", kBenchPassword, 1);
  auto store = hostd::HostStore::Open(dir.File("host.db"), error);
  if (store && !store->AddProfile("BENCH", kBenchPassword, hostd::HashStrength::kFast, error))
    store.reset();
  return store;
}

// A function of category 2 below `parent` in the product `root`.
inline hostd::FunctionRow BenchFunction(const std::string& id, const std::string& type,
                                        const std::string& root, const std::string& parent) {
  hostd::FunctionRow f;
  f.id = id;
  f.type = type;
  f.root = root;
  f.parent = parent;
  f.category = "2";
  f.name = id;
  return f;
}

// Configures `system` for BENCH at 127.0.0.1:`port` with zvtadm, trusting
// the certificate `ca_file`.
inline bool ConfigureSystem(const std::string& system, const std::string& port,
                            const std::string& ca_file) {
  std::string command = std::string(ZVT_BIN_DIR) + "/zvtadm system add " + system +
                        " --host 127.0.0.1 --port " + port +
                        " --user bench --password-env ZVT_BENCH_PASSWORD --supply-timestamps" +
                        " --tls-ca " + ca_file;
  return std::system(command.c_str()) == 0;
}

}  // namespace zvt::bench

#endif  // ZVT_BENCH_CLIENT_STORES_H_
