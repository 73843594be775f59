// Counts the file syncs SQLite asks for in this process: a VFS that passes
// every call to the default one and counts each xSync, made the default
// before any store is opened.
#ifndef ZVT_BENCH_SYNC_COUNTER_H_
#define ZVT_BENCH_SYNC_COUNTER_H_

#include <sqlite3.h>

#include <atomic>
#include <cstdint>

namespace zvt::bench {

class SyncCounter {
 public:
  // Installs the counting VFS as the default; false when SQLite refuses.
  static bool Install() {
    static bool installed = [] {
      sqlite3_vfs* real = sqlite3_vfs_find(nullptr);
      if (real == nullptr) return false;
      static sqlite3_vfs counting = *real;
      Real() = real;
      counting.zName = "zvt-sync-counter";
      counting.szOsFile = static_cast<int>(sizeof(File)) + real->szOsFile;
      counting.xOpen = Open;
      return sqlite3_vfs_register(&counting, 1) == SQLITE_OK;
    }();
    return installed;
  }
  static std::uint64_t syncs() { return Syncs().load(); }

 private:
  struct File {
    sqlite3_file base;
    sqlite3_file* real;
  };
  static sqlite3_vfs*& Real() {
    static sqlite3_vfs* real = nullptr;
    return real;
  }
  static std::atomic<std::uint64_t>& Syncs() {
    static std::atomic<std::uint64_t> count{0};
    return count;
  }
  static sqlite3_file* R(sqlite3_file* f) { return reinterpret_cast<File*>(f)->real; }

  static int Open(sqlite3_vfs*, sqlite3_filename name, sqlite3_file* file, int flags, int* out) {
    File* f = reinterpret_cast<File*>(file);
    f->real = reinterpret_cast<sqlite3_file*>(f + 1);
    f->base.pMethods = nullptr;
    int rc = Real()->xOpen(Real(), name, f->real, flags, out);
    if (f->real->pMethods != nullptr) f->base.pMethods = Methods();
    return rc;
  }
  static const sqlite3_io_methods* Methods() {
    static const sqlite3_io_methods methods = {
        3,
        [](sqlite3_file* f) {
          int rc = R(f)->pMethods->xClose(R(f));
          f->pMethods = nullptr;
          return rc;
        },
        [](sqlite3_file* f, void* b, int n, sqlite3_int64 o) {
          return R(f)->pMethods->xRead(R(f), b, n, o);
        },
        [](sqlite3_file* f, const void* b, int n, sqlite3_int64 o) {
          return R(f)->pMethods->xWrite(R(f), b, n, o);
        },
        [](sqlite3_file* f, sqlite3_int64 s) { return R(f)->pMethods->xTruncate(R(f), s); },
        [](sqlite3_file* f, int flags) {
          ++Syncs();
          return R(f)->pMethods->xSync(R(f), flags);
        },
        [](sqlite3_file* f, sqlite3_int64* s) { return R(f)->pMethods->xFileSize(R(f), s); },
        [](sqlite3_file* f, int l) { return R(f)->pMethods->xLock(R(f), l); },
        [](sqlite3_file* f, int l) { return R(f)->pMethods->xUnlock(R(f), l); },
        [](sqlite3_file* f, int* r) { return R(f)->pMethods->xCheckReservedLock(R(f), r); },
        [](sqlite3_file* f, int op, void* a) { return R(f)->pMethods->xFileControl(R(f), op, a); },
        [](sqlite3_file* f) { return R(f)->pMethods->xSectorSize(R(f)); },
        [](sqlite3_file* f) { return R(f)->pMethods->xDeviceCharacteristics(R(f)); },
        [](sqlite3_file* f, int page, int size, int extend, void volatile** p) {
          if (R(f)->pMethods->iVersion < 2) return SQLITE_IOERR;
          return R(f)->pMethods->xShmMap(R(f), page, size, extend, p);
        },
        [](sqlite3_file* f, int offset, int n, int flags) {
          if (R(f)->pMethods->iVersion < 2) return SQLITE_IOERR;
          return R(f)->pMethods->xShmLock(R(f), offset, n, flags);
        },
        [](sqlite3_file* f) {
          if (R(f)->pMethods->iVersion >= 2) R(f)->pMethods->xShmBarrier(R(f));
        },
        [](sqlite3_file* f, int del) {
          return R(f)->pMethods->iVersion < 2 ? SQLITE_OK : R(f)->pMethods->xShmUnmap(R(f), del);
        },
        [](sqlite3_file* f, sqlite3_int64 o, int n, void** p) {
          if (R(f)->pMethods->iVersion < 3) {
            *p = nullptr;
            return SQLITE_OK;
          }
          return R(f)->pMethods->xFetch(R(f), o, n, p);
        },
        [](sqlite3_file* f, sqlite3_int64 o, void* p) {
          return R(f)->pMethods->iVersion < 3 ? SQLITE_OK : R(f)->pMethods->xUnfetch(R(f), o, p);
        },
    };
    return &methods;
  }
};

}  // namespace zvt::bench

#endif  // ZVT_BENCH_SYNC_COUNTER_H_
