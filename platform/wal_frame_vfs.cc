// The write-ahead log VFS: a frame header is held until the page written
// next to it, then both go in one write. A held header never waits past the
// next call on its file, so the log holds what SQLite wrote, in its order,
// before SQLite reads, syncs, sizes or closes it.
#include "platform/wal_frame_vfs.h"

#include <sqlite3.h>

#include <cstring>

namespace zvt::platform {
namespace {

constexpr int kFrameHeaderBytes = 24;

struct File {
  sqlite3_file base;
  sqlite3_file* real;  // the default VFS's file, right after this one
  bool wal;            // a write-ahead log: its frame headers are held
  int held;            // bytes of `header` not yet written
  sqlite3_int64 held_at;
  unsigned char header[kFrameHeaderBytes];
  unsigned char* joined;  // a header and its page, as one write
  sqlite3_int64 joined_room;
};

sqlite3_vfs* Base(sqlite3_vfs* vfs) { return static_cast<sqlite3_vfs*>(vfs->pAppData); }
File* F(sqlite3_file* f) { return reinterpret_cast<File*>(f); }
sqlite3_file* R(sqlite3_file* f) { return F(f)->real; }
const sqlite3_io_methods* M(sqlite3_file* f) { return R(f)->pMethods; }

// Writes a held header where it belongs.
int Flush(sqlite3_file* f) {
  File* file = F(f);
  if (file->held == 0) return SQLITE_OK;
  const int n = file->held;
  file->held = 0;
  return M(f)->xWrite(R(f), file->header, n, file->held_at);
}

int Write(sqlite3_file* f, const void* data, int n, sqlite3_int64 offset) {
  File* file = F(f);
  if (!file->wal) return M(f)->xWrite(R(f), data, n, offset);
  if (file->held != 0) {
    const sqlite3_int64 total = sqlite3_int64{file->held} + n;
    if (n > 0 && offset == file->held_at + file->held) {
      if (file->joined_room < total) {
        void* grown = sqlite3_realloc64(file->joined, static_cast<sqlite3_uint64>(total));
        if (grown != nullptr) {
          file->joined = static_cast<unsigned char*>(grown);
          file->joined_room = total;
        }
      }
      if (file->joined_room >= total) {
        std::memcpy(file->joined, file->header, static_cast<size_t>(file->held));
        std::memcpy(file->joined + file->held, data, static_cast<size_t>(n));
        const sqlite3_int64 at = file->held_at;
        file->held = 0;
        return M(f)->xWrite(R(f), file->joined, static_cast<int>(total), at);
      }
    }
    if (int rc = Flush(f); rc != SQLITE_OK) return rc;
  }
  if (n == kFrameHeaderBytes) {
    std::memcpy(file->header, data, kFrameHeaderBytes);
    file->held = n;
    file->held_at = offset;
    return SQLITE_OK;
  }
  return M(f)->xWrite(R(f), data, n, offset);
}

int Close(sqlite3_file* f) {
  const int flushed = Flush(f);
  const int rc = M(f)->xClose(R(f));
  sqlite3_free(F(f)->joined);
  F(f)->joined = nullptr;
  f->pMethods = nullptr;
  return flushed != SQLITE_OK ? flushed : rc;
}

const sqlite3_io_methods* Methods() {
  static const sqlite3_io_methods methods = {
      3,
      Close,
      [](sqlite3_file* f, void* b, int n, sqlite3_int64 o) {
        if (int rc = Flush(f); rc != SQLITE_OK) return rc;
        return M(f)->xRead(R(f), b, n, o);
      },
      Write,
      [](sqlite3_file* f, sqlite3_int64 s) {
        if (int rc = Flush(f); rc != SQLITE_OK) return rc;
        return M(f)->xTruncate(R(f), s);
      },
      [](sqlite3_file* f, int flags) {
        if (int rc = Flush(f); rc != SQLITE_OK) return rc;
        return M(f)->xSync(R(f), flags);
      },
      [](sqlite3_file* f, sqlite3_int64* s) {
        if (int rc = Flush(f); rc != SQLITE_OK) return rc;
        return M(f)->xFileSize(R(f), s);
      },
      [](sqlite3_file* f, int l) { return M(f)->xLock(R(f), l); },
      [](sqlite3_file* f, int l) { return M(f)->xUnlock(R(f), l); },
      [](sqlite3_file* f, int* r) { return M(f)->xCheckReservedLock(R(f), r); },
      [](sqlite3_file* f, int op, void* a) {
        if (int rc = Flush(f); rc != SQLITE_OK) return rc;
        return M(f)->xFileControl(R(f), op, a);
      },
      [](sqlite3_file* f) { return M(f)->xSectorSize(R(f)); },
      [](sqlite3_file* f) { return M(f)->xDeviceCharacteristics(R(f)); },
      [](sqlite3_file* f, int page, int size, int extend, void volatile** p) {
        if (M(f)->iVersion < 2) return SQLITE_IOERR;
        return M(f)->xShmMap(R(f), page, size, extend, p);
      },
      [](sqlite3_file* f, int offset, int n, int flags) {
        if (M(f)->iVersion < 2) return SQLITE_IOERR;
        return M(f)->xShmLock(R(f), offset, n, flags);
      },
      [](sqlite3_file* f) {
        if (M(f)->iVersion >= 2) M(f)->xShmBarrier(R(f));
      },
      [](sqlite3_file* f, int del) {
        return M(f)->iVersion < 2 ? SQLITE_OK : M(f)->xShmUnmap(R(f), del);
      },
      [](sqlite3_file* f, sqlite3_int64 o, int n, void** p) {
        if (M(f)->iVersion < 3) {
          *p = nullptr;
          return SQLITE_OK;
        }
        if (int rc = Flush(f); rc != SQLITE_OK) return rc;
        return M(f)->xFetch(R(f), o, n, p);
      },
      [](sqlite3_file* f, sqlite3_int64 o, void* p) {
        return M(f)->iVersion < 3 ? SQLITE_OK : M(f)->xUnfetch(R(f), o, p);
      },
  };
  return &methods;
}

int Open(sqlite3_vfs* vfs, sqlite3_filename name, sqlite3_file* f, int flags, int* out) {
  File* file = F(f);
  file->real = reinterpret_cast<sqlite3_file*>(file + 1);
  file->wal = (flags & SQLITE_OPEN_WAL) != 0;
  file->held = 0;
  file->held_at = 0;
  file->joined = nullptr;
  file->joined_room = 0;
  f->pMethods = nullptr;
  sqlite3_vfs* base = Base(vfs);
  const int rc = base->xOpen(base, name, file->real, flags, out);
  if (file->real->pMethods != nullptr) f->pMethods = Methods();
  return rc;
}

}  // namespace

const char* WalFrameVfsName() {
  static const char* const name = []() -> const char* {
    sqlite3_vfs* base = sqlite3_vfs_find(nullptr);
    if (base == nullptr) return nullptr;
    // The rest of the VFS is the default's own: only opening differs.
    static sqlite3_vfs vfs = *base;
    vfs.zName = "zvt-wal-frames";
    vfs.szOsFile = static_cast<int>(sizeof(File)) + base->szOsFile;
    vfs.pAppData = base;
    vfs.xOpen = Open;
    vfs.pNext = nullptr;
    return sqlite3_vfs_register(&vfs, 0) == SQLITE_OK ? vfs.zName : nullptr;
  }();
  return name;
}

}  // namespace zvt::platform
