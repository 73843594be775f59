// One registry hive kept in one SQLite file: keys with case-insensitive names
// that keep their case, typed values as bytes, Win32 error codes. Every row
// carries a checksum, and every key the checksums of its values and the
// identities of its subkeys, so that damage is found before damaged data is
// handed out (ERROR_REGISTRY_CORRUPT). Any number of processes may share a
// file; within a process one RegistryStore is safe for concurrent use by
// several threads (calls are serialised).
#ifndef ZVT_PLATFORM_REGISTRY_STORE_H_
#define ZVT_PLATFORM_REGISTRY_STORE_H_

#include <sqlite3.h>

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "platform/change_counter.h"
#include "platform/sqlite_statement.h"
#include "platform/value_rows.h"
#include "services/mutex.h"
#include "services/win_types.h"

namespace zvt::platform {

namespace store_internal {
struct ValueColumns;
}  // namespace store_internal

using KeyId = std::int64_t;
inline constexpr KeyId kRootKeyId = 1;  // the root key of every store

struct KeyRow {
  KeyId id = 0;
  std::u16string name;
  std::u16string fold;
};

// Where the checks of a store stand: rows read and verified, damage found.
struct StoreDamage {
  bool found = false;
  std::string what;  // the first damage found, for the message log and the tools
};

struct ValueRow {
  std::int64_t id = 0;  // creation order
  std::u16string name;
  DWORD type = 0;
  std::vector<BYTE> data;
};

class RegistryStore {
 public:
  enum class Journal {
    kWal,       // per-user stores: readers never wait for writers
    kRollback,  // the machine-wide store: readable without write permission
    // A per-user store that may be moved aside while connections of other
    // processes still have it open: no connection ever removes its journal
    // files by name, which would be the files of the store recreated there.
    kWalMovable,
  };

  // Opens `path`, creating file and schema when missing (file mode 0600 for
  // the per-user kinds). A store of the previous layout gets its checksums.
  // On failure returns null with a message naming the file and, in `*code`
  // when given, kErrorRegistryCorrupt when the file is damaged (not a
  // database, or a database whose pages do not hold together), else another
  // registry code.
  static std::unique_ptr<RegistryStore> Open(const std::string& path, Journal journal,
                                             std::string* message, LONG* code = nullptr);
  ~RegistryStore();
  RegistryStore(const RegistryStore&) = delete;
  RegistryStore& operator=(const RegistryStore&) = delete;

  const std::string& path() const { return path_; }
  bool read_only() const { return read_only_; }

  // Every call returns a Win32 code. A key id that no longer exists answers
  // kErrorKeyDeleted; writes to a read-only store kErrorAccessDenied.
  [[nodiscard]] LONG KeyExists(KeyId key);
  [[nodiscard]] LONG FindChild(KeyId parent, std::u16string_view name, KeyId* child);
  [[nodiscard]] LONG CreateChild(KeyId parent, std::u16string_view name, KeyId* child,
                                 bool* created);
  // kErrorAccessDenied when `key` has subkeys or is the root.
  [[nodiscard]] LONG DeleteKey(KeyId key);

  // Reads with RegQueryValueExW's buffer rules: `data` may be null to ask for
  // the size; kErrorMoreData with the needed size when it does not fit.
  [[nodiscard]] LONG GetValue(KeyId key, std::u16string_view name, DWORD* type, BYTE* data,
                              DWORD* data_size);
  // Replaces a value in place (it keeps its enumeration position).
  [[nodiscard]] LONG SetValue(KeyId key, std::u16string_view name, DWORD type, const BYTE* data,
                              DWORD data_size);
  [[nodiscard]] LONG DeleteValue(KeyId key, std::u16string_view name);

  // Subkeys in case-insensitive name order, values in creation order. The
  // *After forms continue an enumeration from the last row returned.
  [[nodiscard]] LONG SubkeyAt(KeyId parent, DWORD index, KeyRow* row);
  [[nodiscard]] LONG SubkeyAfter(KeyId parent, std::u16string_view after_fold, KeyRow* row);
  [[nodiscard]] LONG ValueAt(KeyId key, DWORD index, ValueRow* row);
  [[nodiscard]] LONG ValueAfter(KeyId key, std::int64_t after_id, ValueRow* row);
  // The same for a run of up to `limit` values read in one statement; the
  // run stops early once it holds `byte_limit` bytes (ValueRows::bytes), but
  // always holds at least one value. kErrorNoMoreItems when there is none.
  [[nodiscard]] LONG ValuesAt(KeyId key, DWORD index, size_t limit, size_t byte_limit,
                              ValueRows* rows);
  [[nodiscard]] LONG ValuesAfter(KeyId key, std::int64_t after_id, size_t limit, size_t byte_limit,
                                 ValueRows* rows);

  // Groups every write until the batch ends into one transaction; nothing of
  // it is stored unless Commit() succeeds. Other threads of the process wait
  // for the batch. REQUIRES: one batch at a time per thread.
  class ZVT_SCOPED_CAPABILITY Batch {
   public:
    explicit Batch(RegistryStore* store) ZVT_ACQUIRE(store->mu_);
    ~Batch() ZVT_RELEASE();  // rolls back if not committed
    Batch(const Batch&) = delete;
    Batch& operator=(const Batch&) = delete;
    LONG status() const { return status_; }
    [[nodiscard]] LONG Commit();

   private:
    RegistryStore* store_;
    LONG status_;
    bool open_;
  };

  // Groups the writes that follow into one transaction, left open until
  // CommitGroup(), so that many small writes cost one commit. A write that
  // fails before it changes a row leaves the group as it was; one that
  // fails after loses the whole group: every later OpenGroup() and the
  // next CommitGroup() answer its code (the commit once, then it is over).
  // Other connections see none of it, and wait to write, until the commit;
  // a process that dies first leaves the store as it was before the group.
  // A batch commits the open group before it begins.
  [[nodiscard]] LONG OpenGroup();
  // Commits the open group (success when none is open). On failure nothing
  // of the group is kept and the code says why.
  [[nodiscard]] LONG CommitGroup();
  // Whether a group's transaction is open.
  bool GroupOpen();

  // Changes whenever this store changes, by this process or another, so that
  // an enumeration cursor can tell that it is still valid.
  [[nodiscard]] std::uint64_t ChangeStamp();
  // The writes made through this connection so far (each counted when it
  // becomes visible to this connection): a change stamp for this process's
  // own writes that needs no read of the file.
  [[nodiscard]] std::uint64_t WriteCount();
  // The count of commits made through any RegistryStore of this file, in
  // any process, read from memory shared beside it (a per-user store only);
  // false when the store keeps none.
  bool CommitCounter(std::uint64_t* value) const;

  // Reads `key` whole and checks it: its own row, every value row against
  // its checksum and against the key's sum of them, every subkey row and the
  // key's sum of their identities. kErrorRegistryCorrupt on any mismatch.
  // With `values_read`, the values read on the way are handed back, all of
  // them in creation order, when they fit its byte limit and the key was
  // read now (not already verified since the last change).
  struct VerifiedValues {
    size_t byte_limit = 0;
    ValueRows rows;
    bool complete = false;  // `rows` holds every value of the key
  };
  [[nodiscard]] LONG VerifyKey(KeyId key, VerifiedValues* values_read = nullptr);
  // Damage found by any call so far.
  StoreDamage damage();
  // True while `path` still names the file this store has open (it has not
  // been moved aside and recreated).
  bool IsFileAt(const std::string& path);

  // Makes the next commit of this connection fail as a full disk would, so
  // that tests can see what becomes of the writes it held.
  void FailNextCommitForTesting();

  // Runs SQLite's integrity check and every row's checksum; true when both
  // find nothing wrong.
  bool CheckIntegrity(std::string* report);
  // The SQLite message of the last failed call (for diagnostics).
  std::string LastErrorMessage();

 private:
  // A key row as stored, with its sums.
  struct KeyRecord {
    KeyId id = 0;
    KeyId parent = 0;
    std::u16string name;
    std::uint64_t value_sum = 0;   // xor of the checksums of its values
    std::uint64_t subkey_sum = 0;  // xor of the identities of its subkeys
  };
  // A value row as stored.
  struct ValueRecord {
    std::int64_t id = 0;
    std::u16string name;
    DWORD type = 0;
    std::uint64_t check = 0;
  };

  enum Stmt {
    kFindChild,
    kKeyExists,
    kInsertKey,
    kCountChildren,
    kDeleteValues,
    kDeleteKey,
    kGetValue,
    kUpdateValue,
    kDeleteValue,
    kSubkeyAt,
    kSubkeyAfter,
    kValueAt,
    kValueAfter,
    kBegin,
    kCommit,
    kRollback,
    kDataVersion,
    kUpdateKeySums,
    kBeginRead,
    kChildRows,
    kInsertNewValue,
    kStmtCount
  };

  RegistryStore(sqlite3* db, std::string path, bool read_only);
  sqlite3_stmt* Statement(Stmt which);
  LONG Fail(int sqlite_code) ZVT_REQUIRES(mu_);
  // Steps a statement without parameters; the SQLite result.
  int Step(Stmt which);
  // Ends the open write group without keeping any of it, for `why`.
  void LoseGroup(LONG why) ZVT_REQUIRES(mu_);
  // Notes damage (`what`) and returns kErrorRegistryCorrupt.
  LONG Damaged(const std::string& what) ZVT_REQUIRES(mu_);
  LONG KeyExistsLocked(KeyId key) ZVT_REQUIRES(mu_);
  // Reads and checks the row of `key`: kErrorKeyDeleted when there is none.
  LONG ReadKeyRecord(KeyId key, KeyRecord* record) ZVT_REQUIRES(mu_);
  // Checks a key row the statement `st` stands on (columns id, parent, name,
  // fold, value sum, subkey sum, check).
  LONG CheckKeyColumns(sqlite3_stmt* st, KeyRecord* record) ZVT_REQUIRES(mu_);
  // Writes the sums of `record` (and, inside a write group, keeps the row
  // as the owner of the next value write). With `may_wait`, inside a write
  // group, the row is written only when another statement needs the key
  // rows (SettleSums): a key filled with many values is written once.
  LONG WriteKeySums(const KeyRecord& record, bool may_wait = false) ZVT_REQUIRES(mu_);
  // Writes the sums a write group still keeps in memory; a failure loses
  // the group.
  LONG SettleSums() ZVT_REQUIRES(mu_);
  // Inserts a value row unless its key has one of that name; `*inserted`
  // says whether it was added.
  LONG InsertValue(KeyId key, std::u16string_view name, const std::string& fold, DWORD type,
                   const BYTE* bytes, DWORD data_size, std::uint64_t check, bool* inserted)
      ZVT_REQUIRES(mu_);
  // The row of the key a value is written to: inside a write group, the one
  // this connection wrote last when it is that key's, else read and checked.
  LONG ReadOwner(KeyId key, KeyRecord* record) ZVT_REQUIRES(mu_);
  // Lays out a new file, or gives a store of the first layout its checksums.
  static bool LayOut(sqlite3* db, int version, std::string* error);
  // Runs `body` in a write transaction unless a batch is open; a body
  // that `keeps_sums_waiting` settles them itself where it needs to.
  template <typename Body>
  LONG Write(Body body, bool keeps_sums_waiting = false);
  // Steps `st` and checks the row it reaches: a subkey of `parent`, or a
  // value of `key` with its stored checksum in `*check`.
  LONG ReadKeyRow(sqlite3_stmt* st, KeyId parent, KeyRow* row) ZVT_REQUIRES(mu_);
  LONG ReadValueRow(sqlite3_stmt* st, KeyId key, ValueRow* row, std::uint64_t* check)
      ZVT_REQUIRES(mu_);
  // The same with the row's columns as SQLite holds them; `checked` skips
  // the check of a row of a key verified since the last change (the
  // checksum is not read then).
  LONG StepValueRow(sqlite3_stmt* st, KeyId key, bool checked, store_internal::ValueColumns* c)
      ZVT_REQUIRES(mu_);
  LONG CheckValueColumns(const store_internal::ValueColumns& c, KeyId key) ZVT_REQUIRES(mu_);
  // True when `key` was verified whole since the store last changed (here
  // or in another process); forgets older verifications.
  bool VerifiedSinceLastChange(KeyId key) ZVT_REQUIRES(mu_);
  LONG ReadValueRows(Stmt which, KeyId key, std::int64_t from, size_t limit, size_t byte_limit,
                     ValueRows* rows);

  sqlite3* db_;
  std::string path_;
  bool read_only_;
  RecursiveMutex mu_;
  int batch_depth_ ZVT_GUARDED_BY(mu_) = 0;
  bool group_open_ ZVT_GUARDED_BY(mu_) = false;          // a write group's transaction is open
  LONG group_lost_ ZVT_GUARDED_BY(mu_) = kErrorSuccess;  // why the last group was lost
  // Whether the write group's transaction is open: the group is, and SQLite
  // did not end its transaction after an error.
  bool InOpenGroup() const ZVT_REQUIRES(mu_);
  // Other connections' commits as last read (PRAGMA data_version); known
  // for the open group when read inside it.
  std::uint64_t group_others_ ZVT_GUARDED_BY(mu_) = 0;
  bool group_others_known_ ZVT_GUARDED_BY(mu_) = false;
  // The key row last written inside the open group.
  KeyRecord owner_ ZVT_GUARDED_BY(mu_);
  bool owner_cached_ ZVT_GUARDED_BY(mu_) = false;
  bool owner_sums_waiting_ ZVT_GUARDED_BY(mu_) = false;  // owner_'s sums are not in its row yet
  std::uint64_t owner_mutations_ ZVT_GUARDED_BY(mu_) = 0;
  // Writes of this connection; changed under mu_, read without it.
  std::atomic<std::uint64_t> write_count_{0};
  StoreDamage damage_ ZVT_GUARDED_BY(mu_);
  std::uint64_t mutations_ ZVT_GUARDED_BY(mu_) = 0;  // row changes made through this connection
  // Key rows read inside the open write group, where no other connection
  // writes: good while this one has changed nothing since.
  struct ReadKey {
    KeyRecord record;
    std::uint64_t mutations = 0, writes = 0;
    bool valid = false;
  };
  std::array<ReadKey, 4> read_keys_ ZVT_GUARDED_BY(mu_);
  size_t next_read_key_ ZVT_GUARDED_BY(mu_) = 0;
  // Keys verified whole since the store last changed.
  std::uint64_t verified_stamp_ ZVT_GUARDED_BY(mu_) = 0;
  std::uint64_t verified_mutations_ ZVT_GUARDED_BY(mu_) = 0;
  std::unordered_set<KeyId> verified_ ZVT_GUARDED_BY(mu_);
  std::uint64_t device_ = 0, inode_ = 0;    // the file opened
  std::unique_ptr<ChangeCounter> commits_;  // counts every commit; null when not kept
  // Subkeys found by name, kept while nothing was committed to the file
  // (the commit counter) and nothing changed through this connection, so
  // that walking the same path again reads no rows. Filled only from what
  // is committed; kept only when the store has a commit counter.
  struct KnownChild {
    KeyId parent;
    std::string fold;
    KeyId child;
  };
  std::vector<KnownChild> known_children_ ZVT_GUARDED_BY(mu_);
  std::uint64_t known_commits_ ZVT_GUARDED_BY(mu_) = 0;
  int known_changes_ ZVT_GUARDED_BY(mu_) = 0;
  // True, with `*child`, when `parent` has a kept subkey of fold `fold`;
  // forgets what is kept once the file or this connection changed.
  bool KnownChildOf(KeyId parent, const std::string& fold, KeyId* child) ZVT_REQUIRES(mu_);
  void KeepChild(KeyId parent, std::string fold, KeyId child) ZVT_REQUIRES(mu_);
  SqliteStatement statements_[kStmtCount];
};

}  // namespace zvt::platform

#endif  // ZVT_PLATFORM_REGISTRY_STORE_H_
