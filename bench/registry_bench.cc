// Cost of a point read through the registry stand-in against the same read
// as a bare prepared SQLite statement on the same file. The ratio of the two
// is the overhead of handles, name folding and the Win32 buffer rules.
#include <benchmark/benchmark.h>
#include <sqlite3.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "platform/name_fold.h"
#include "platform/posix_registry.h"
#include "testing/temp_dir.h"

namespace {

using zvt::BYTE;
using zvt::DWORD;
using zvt::HKEY;
using zvt::LONG;

constexpr char16_t kKeyPath[] = u"Software\\Bench\\Functions";
constexpr char16_t kValueName[] = u"QVYN_XD1_ZENTA";

struct Fixture {
  zvt::testing::TempDir dir;
  std::unique_ptr<zvt::platform::PosixRegistry> registry;
  HKEY key = nullptr;
  zvt::platform::KeyId key_id = 0;

  Fixture() {
    zvt::platform::RegistryPaths paths;
    paths.user_store = dir.File("user.db");
    paths.classes_store = dir.File("classes.db");
    registry = std::make_unique<zvt::platform::PosixRegistry>(paths);
    DWORD disposition = 0;
    if (registry->CreateRegKeyEx(zvt::kHKeyCurrentUser, kKeyPath, 0, nullptr, 0, zvt::kKeyAllAccess,
                                 nullptr, &key, &disposition) != 0) {
      std::fprintf(stderr, "cannot create the benchmark key\n");
      std::abort();
    }
    // A realistic neighbourhood: a few hundred values beside the one read.
    for (int i = 0; i < 300; ++i) {
      std::u16string name = u"FN_" + std::u16string(1, u'A' + i % 26) + char16_t(u'0' + i % 10) +
                            char16_t(u'A' + i / 26);
      DWORD v = i;
      (void)registry->RegSetValueExW(key, name.c_str(), 0, zvt::kRegDword,
                                     reinterpret_cast<BYTE*>(&v), sizeof v);
    }
    const std::u16string text = u"1";
    (void)registry->RegSetValueExW(key, kValueName, 0, zvt::kRegSz,
                                   reinterpret_cast<const BYTE*>(text.c_str()),
                                   (text.size() + 1) * 2);
  }
  ~Fixture() { (void)registry->RegCloseKey(key); }
};

Fixture& Shared() {
  static Fixture* fixture = new Fixture();
  return *fixture;
}

void BM_RegQueryValueExW(benchmark::State& state) {
  Fixture& f = Shared();
  BYTE data[64];
  for (auto _ : state) {
    DWORD type = 0, size = sizeof data;
    LONG rc = f.registry->RegQueryValueExW(f.key, kValueName, nullptr, &type, data, &size);
    if (rc != 0) state.SkipWithError("query failed");
    benchmark::DoNotOptimize(data);
  }
}
BENCHMARK(BM_RegQueryValueExW);

// The floor: the same row by a prepared statement, with the key id and the
// folded name already known.
void BM_BareSqliteSelect(benchmark::State& state) {
  Fixture& f = Shared();
  sqlite3* db = nullptr;
  if (sqlite3_open_v2(f.dir.File("user.db").c_str(), &db, SQLITE_OPEN_READONLY, nullptr) != 0) {
    state.SkipWithError("cannot open store");
    return;
  }
  sqlite3_stmt* key_st = nullptr;
  sqlite3_int64 key_id = 0;
  // Walk the path the way the store lays it out to find the key's row id.
  sqlite3_prepare_v2(db, "SELECT id FROM keys WHERE parent = ?1 AND fold = ?2", -1, &key_st,
                     nullptr);
  auto fold_bytes = [](std::u16string_view name) {
    std::u16string folded = zvt::platform::FoldName(name);
    std::string bytes;
    for (char16_t c : folded) {
      bytes.push_back(static_cast<char>(c >> 8));
      bytes.push_back(static_cast<char>(c & 0xFF));
    }
    return bytes;
  };
  // Paths under the current user start at the client's own root.
  key_id = zvt::platform::kRootKeyId;
  std::u16string full = f.registry->client_root() + u"\\" + kKeyPath;
  for (size_t start = 0; start <= full.size();) {
    size_t end = full.find(u'\\', start);
    if (end == std::u16string::npos) end = full.size();
    std::string fb = fold_bytes(std::u16string_view(full).substr(start, end - start));
    start = end + 1;
    sqlite3_reset(key_st);
    sqlite3_bind_int64(key_st, 1, key_id);
    sqlite3_bind_blob(key_st, 2, fb.data(), static_cast<int>(fb.size()), SQLITE_TRANSIENT);
    if (sqlite3_step(key_st) != SQLITE_ROW) {
      state.SkipWithError("key row not found");
      break;
    }
    key_id = sqlite3_column_int64(key_st, 0);
  }
  sqlite3_finalize(key_st);

  sqlite3_stmt* st = nullptr;
  sqlite3_prepare_v2(db, "SELECT type, data FROM vals WHERE key = ?1 AND fold = ?2", -1, &st,
                     nullptr);
  const std::string fold = fold_bytes(kValueName);
  BYTE data[64];
  for (auto _ : state) {
    sqlite3_reset(st);
    sqlite3_bind_int64(st, 1, key_id);
    sqlite3_bind_blob(st, 2, fold.data(), static_cast<int>(fold.size()), SQLITE_STATIC);
    if (sqlite3_step(st) != SQLITE_ROW) state.SkipWithError("row not found");
    int n = sqlite3_column_bytes(st, 1);
    std::memcpy(data, sqlite3_column_blob(st, 1), n < 64 ? n : 64);
    benchmark::DoNotOptimize(data);
  }
  sqlite3_finalize(st);
  sqlite3_close(db);
}
BENCHMARK(BM_BareSqliteSelect);

}  // namespace

BENCHMARK_MAIN();
