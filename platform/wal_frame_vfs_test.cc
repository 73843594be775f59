// What is written through the write-ahead log VFS is what SQLite wrote: other
// connections on the default VFS read every commit, also of a writer that
// died without closing, and the log never holds a frame in pieces.
#include "platform/wal_frame_vfs.h"

#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

#include "testing/temp_dir.h"

namespace zvt::platform {
namespace {

sqlite3* OpenDb(const std::string& path, const char* vfs) {
  sqlite3* db = nullptr;
  EXPECT_EQ(SQLITE_OK,
            sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, vfs));
  sqlite3_busy_timeout(db, 5000);
  return db;
}

bool Exec(sqlite3* db, const std::string& sql) {
  return sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr) == SQLITE_OK;
}

std::string Text(sqlite3* db, const char* sql) {
  sqlite3_stmt* st = nullptr;
  std::string out;
  if (sqlite3_prepare_v2(db, sql, -1, &st, nullptr) == SQLITE_OK && sqlite3_step(st) == SQLITE_ROW)
    out = reinterpret_cast<const char*>(sqlite3_column_text(st, 0));
  sqlite3_finalize(st);
  return out;
}

// Commits `rows` rows of about a page each into t, in transactions of five.
void Fill(sqlite3* db, int first, int rows) {
  for (int i = first; i < first + rows; i += 5) {
    ASSERT_TRUE(Exec(db, "BEGIN IMMEDIATE"));
    for (int j = i; j < i + 5 && j < first + rows; ++j)
      ASSERT_TRUE(Exec(db, "INSERT INTO t VALUES(" + std::to_string(j) + ", randomblob(3000))"));
    ASSERT_TRUE(Exec(db, "COMMIT"));
  }
}

TEST(WalFrameVfsTest, OtherConnectionsReadEveryCommitAlsoOfAWriterThatDied) {
  const char* vfs = WalFrameVfsName();
  ASSERT_NE(nullptr, vfs);
  zvt::testing::TempDir dir;
  const std::string path = dir.File("wal.db");
  sqlite3* writer = OpenDb(path, vfs);
  ASSERT_TRUE(Exec(writer,
                   "PRAGMA journal_mode=WAL; PRAGMA synchronous=NORMAL;"
                   "PRAGMA wal_autocheckpoint=0;"
                   "CREATE TABLE t(id INTEGER PRIMARY KEY, data BLOB)"));
  Fill(writer, 0, 40);
  sqlite3* reader = OpenDb(path, nullptr);
  EXPECT_EQ("40", Text(reader, "SELECT count(*) FROM t"));
  // A transaction rolled back leaves nothing behind it.
  ASSERT_TRUE(Exec(writer, "BEGIN IMMEDIATE; DELETE FROM t; ROLLBACK"));
  EXPECT_EQ("40", Text(reader, "SELECT count(*) FROM t"));

  // A writer that dies after its commits, without closing anything (no
  // connection is open across the fork).
  sqlite3_close(reader);
  sqlite3_close(writer);
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    sqlite3* dying = OpenDb(path, vfs);
    Fill(dying, 100, 23);
    _exit(::testing::Test::HasFailure() ? 1 : 0);
  }
  int status = 0;
  ASSERT_EQ(child, waitpid(child, &status, 0));
  ASSERT_TRUE(WIFEXITED(status));
  ASSERT_EQ(0, WEXITSTATUS(status));
  // The log the dead writer left is taken whole.
  reader = OpenDb(path, nullptr);
  EXPECT_EQ("63", Text(reader, "SELECT count(*) FROM t"));
  EXPECT_EQ("ok", Text(reader, "PRAGMA integrity_check"));
  sqlite3_close(reader);
}

}  // namespace
}  // namespace zvt::platform
