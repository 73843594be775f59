// Keys and values of a RegistryStore: finding, creating and deleting keys,
// reading, writing and deleting values, and enumerating both.
#include <sqlite3.h>

#include <algorithm>

#include "platform/registry_store.h"
#include "platform/registry_store_internal.h"
#include "platform/row_checks.h"

namespace zvt::platform {

using namespace store_internal;  // NOLINT(build/namespaces): the store's own helpers

namespace {
// Subkeys kept found per store: a few paths' worth.
constexpr size_t kMaxKnownChildren = 64;
}  // namespace

LONG RegistryStore::KeyExistsLocked(KeyId key) {
  KeyRecord record;
  return ReadKeyRecord(key, &record);
}

LONG RegistryStore::KeyExists(KeyId key) {
  RecursiveMutexLock lock(&mu_);
  if (LONG rc = SettleSums(); rc != kErrorSuccess) return rc;
  return KeyExistsLocked(key);
}

bool RegistryStore::KnownChildOf(KeyId parent, const std::string& fold, KeyId* child) {
  if (!commits_) return false;
  const std::uint64_t commits = commits_->Load();
  const int changes = sqlite3_total_changes(db_);
  if (commits != known_commits_ || changes != known_changes_) {
    known_children_.clear();
    known_commits_ = commits;
    known_changes_ = changes;
    return false;
  }
  for (const KnownChild& k : known_children_) {
    if (k.parent == parent && k.fold == fold) {
      *child = k.child;
      return true;
    }
  }
  return false;
}

void RegistryStore::KeepChild(KeyId parent, std::string fold, KeyId child) {
  // Only rows that are committed: a transaction of this connection may
  // still be rolled back.
  if (!commits_ || sqlite3_get_autocommit(db_) == 0) return;
  // The counter is read before the row was (KnownChildOf), so a commit made
  // meanwhile only makes the kept row look older than it is.
  if (known_children_.size() >= kMaxKnownChildren) known_children_.clear();
  known_children_.push_back(KnownChild{parent, std::move(fold), child});
}

LONG RegistryStore::FindChild(KeyId parent, std::u16string_view name, KeyId* child) {
  RecursiveMutexLock lock(&mu_);
  if (LONG rc = SettleSums(); rc != kErrorSuccess) return rc;
  std::string fold = FoldBytes(name);
  if (KnownChildOf(parent, fold, child)) return kErrorSuccess;
  StmtUse st(Statement(kFindChild));
  sqlite3_bind_int64(st.get(), 1, parent);
  BindBytes(st.get(), 2, fold);
  int rc = sqlite3_step(st.get());
  if (rc == SQLITE_ROW) {
    KeyRecord record;
    LONG checked = CheckKeyColumns(st.get(), &record);
    if (checked != kErrorSuccess) return checked;
    if (record.parent != parent)
      return Damaged("a subkey of " + KeyText(parent) + " names another parent");
    *child = record.id;
    KeepChild(parent, std::move(fold), record.id);
    return kErrorSuccess;
  }
  if (rc != SQLITE_DONE) return Fail(rc);
  LONG parent_state = KeyExistsLocked(parent);
  return parent_state == kErrorSuccess ? kErrorFileNotFound : parent_state;
}

LONG RegistryStore::CreateChild(KeyId parent, std::u16string_view name, KeyId* child,
                                bool* created) {
  if (name.empty() || name.size() > kMaxKeyNameChars) return kErrorInvalidParameter;
  *created = false;
  return Write([&]() -> LONG {
    mu_.AssertHeld();  // Write runs the body under the lock
    LONG found = FindChild(parent, name, child);
    if (found != kErrorFileNotFound) return found;
    KeyRecord above;
    if (LONG rc = ReadKeyRecord(parent, &above); rc != kErrorSuccess) return rc;
    std::string fold = FoldBytes(name);
    {
      StmtUse st(Statement(kInsertKey));
      sqlite3_bind_int64(st.get(), 1, parent);
      BindName(st.get(), 2, name);
      BindBytes(st.get(), 3, fold);
      int rc = sqlite3_step(st.get());
      if (rc != SQLITE_DONE) return Fail(rc);
    }
    KeyRecord made;
    made.id = sqlite3_last_insert_rowid(db_);
    made.parent = parent;
    made.name.assign(name);
    if (LONG rc = WriteKeySums(made); rc != kErrorSuccess) return rc;
    above.subkey_sum ^= KeyIdentity(made.id, parent, made.name);
    if (LONG rc = WriteKeySums(above); rc != kErrorSuccess) return rc;
    *child = made.id;
    *created = true;
    return kErrorSuccess;
  });
}

LONG RegistryStore::DeleteKey(KeyId key) {
  if (key == kRootKeyId) return kErrorAccessDenied;
  return Write([&]() -> LONG {
    mu_.AssertHeld();  // Write runs the body under the lock
    KeyRecord gone;
    if (LONG rc = ReadKeyRecord(key, &gone); rc != kErrorSuccess) return rc;
    {
      StmtUse st(Statement(kCountChildren));
      sqlite3_bind_int64(st.get(), 1, key);
      int rc = sqlite3_step(st.get());
      if (rc != SQLITE_ROW) return Fail(rc);
      if (sqlite3_column_int(st.get(), 0) != 0) return kErrorAccessDenied;
    }
    KeyRecord above;
    if (LONG rc = ReadKeyRecord(gone.parent, &above); rc != kErrorSuccess)
      return rc == kErrorKeyDeleted ? Damaged(KeyText(key) + " has no parent") : rc;
    for (Stmt which : {kDeleteValues, kDeleteKey}) {
      StmtUse st(Statement(which));
      sqlite3_bind_int64(st.get(), 1, key);
      int rc = sqlite3_step(st.get());
      if (rc != SQLITE_DONE) return Fail(rc);
    }
    above.subkey_sum ^= KeyIdentity(gone.id, gone.parent, gone.name);
    return WriteKeySums(above);
  });
}

LONG RegistryStore::GetValue(KeyId key, std::u16string_view name, DWORD* type, BYTE* data,
                             DWORD* data_size) {
  RecursiveMutexLock lock(&mu_);
  if (LONG rc = SettleSums(); rc != kErrorSuccess) return rc;
  std::string fold = FoldBytes(name);
  StmtUse st(Statement(kGetValue));
  sqlite3_bind_int64(st.get(), 1, key);
  BindBytes(st.get(), 2, fold);
  ValueRow row;
  std::uint64_t check = 0;
  LONG rc = ReadValueRow(st.get(), key, &row, &check);
  if (rc == kErrorNoMoreItems) {
    LONG key_state = KeyExistsLocked(key);
    return key_state == kErrorSuccess ? kErrorFileNotFound : key_state;
  }
  if (rc != kErrorSuccess) return rc;
  if (type != nullptr) *type = row.type;
  DWORD size = static_cast<DWORD>(row.data.size());
  if (data_size == nullptr) return kErrorSuccess;
  if (data != nullptr) {
    if (*data_size < size) {
      *data_size = size;
      return kErrorMoreData;
    }
    if (size > 0) std::memcpy(data, row.data.data(), size);
  }
  *data_size = size;
  return kErrorSuccess;
}

LONG RegistryStore::SetValue(KeyId key, std::u16string_view name, DWORD type, const BYTE* data,
                             DWORD data_size) {
  if (name.size() > kMaxValueNameChars) return kErrorInvalidParameter;
  if (data == nullptr && data_size != 0) return kErrorInvalidParameter;
  return Write(
      [&]() -> LONG {
        mu_.AssertHeld();  // Write runs the body under the lock
        KeyRecord owner;
        if (LONG rc = ReadOwner(key, &owner); rc != kErrorSuccess) return rc;
        static const BYTE kEmpty = 0;
        const BYTE* bytes = data_size == 0 ? &kEmpty : data;
        std::string fold = FoldBytes(name);
        {
          // A new value (the usual case when the cache is filled) is one insert;
          // an existing one is found and replaced below.
          std::uint64_t check = ValueCheck(key, name, type, bytes, data_size);
          bool inserted = false;
          if (LONG rc = InsertValue(key, name, fold, type, bytes, data_size, check, &inserted);
              rc != kErrorSuccess)
            return rc;
          if (inserted) {
            owner.value_sum ^= check;
            return WriteKeySums(owner, /*may_wait=*/true);
          }
        }
        ValueRow old;
        std::uint64_t old_check = 0;
        LONG found;
        {
          StmtUse st(Statement(kGetValue));
          sqlite3_bind_int64(st.get(), 1, key);
          BindBytes(st.get(), 2, fold);
          found = ReadValueRow(st.get(), key, &old, &old_check);
        }
        if (found == kErrorSuccess) {
          // The value keeps the name it was created with, and its place.
          std::uint64_t check = ValueCheck(key, old.name, type, bytes, data_size);
          StmtUse st(Statement(kUpdateValue));
          sqlite3_bind_int64(st.get(), 1, old.id);
          sqlite3_bind_int64(st.get(), 2, type);
          sqlite3_bind_blob(st.get(), 3, bytes, static_cast<int>(data_size), SQLITE_STATIC);
          sqlite3_bind_int64(st.get(), 4, static_cast<sqlite3_int64>(check));
          int rc = sqlite3_step(st.get());
          if (rc != SQLITE_DONE) return Fail(rc);
          owner.value_sum ^= old_check ^ check;
          return WriteKeySums(owner, /*may_wait=*/true);
        }
        // The insert found the name taken, so a row that cannot be found by it
        // is a damaged store.
        if (found == kErrorNoMoreItems)
          return Damaged("a value of " + KeyText(key) + " is in its index but not among its rows");
        return found;
      },
      /*keeps_sums_waiting=*/true);
}

LONG RegistryStore::InsertValue(KeyId key, std::u16string_view name, const std::string& fold,
                                DWORD type, const BYTE* bytes, DWORD data_size, std::uint64_t check,
                                bool* inserted) {
  StmtUse st(Statement(kInsertNewValue));
  sqlite3_bind_int64(st.get(), 1, key);
  BindName(st.get(), 2, name);
  BindBytes(st.get(), 3, fold);
  sqlite3_bind_int64(st.get(), 4, type);
  sqlite3_bind_blob(st.get(), 5, bytes, static_cast<int>(data_size), SQLITE_STATIC);
  sqlite3_bind_int64(st.get(), 6, static_cast<sqlite3_int64>(check));
  int rc = sqlite3_step(st.get());
  if (rc != SQLITE_DONE) return Fail(rc);
  *inserted = sqlite3_changes(db_) == 1;
  return kErrorSuccess;
}

LONG RegistryStore::DeleteValue(KeyId key, std::u16string_view name) {
  return Write([&]() -> LONG {
    mu_.AssertHeld();  // Write runs the body under the lock
    KeyRecord owner;
    if (LONG rc = ReadOwner(key, &owner); rc != kErrorSuccess) return rc;
    std::string fold = FoldBytes(name);
    ValueRow old;
    std::uint64_t old_check = 0;
    {
      StmtUse st(Statement(kGetValue));
      sqlite3_bind_int64(st.get(), 1, key);
      BindBytes(st.get(), 2, fold);
      LONG found = ReadValueRow(st.get(), key, &old, &old_check);
      if (found == kErrorNoMoreItems) return kErrorFileNotFound;
      if (found != kErrorSuccess) return found;
    }
    StmtUse st(Statement(kDeleteValue));
    sqlite3_bind_int64(st.get(), 1, old.id);
    int rc = sqlite3_step(st.get());
    if (rc != SQLITE_DONE) return Fail(rc);
    owner.value_sum ^= old_check;
    return WriteKeySums(owner);
  });
}

LONG RegistryStore::SubkeyAt(KeyId parent, DWORD index, KeyRow* row) {
  RecursiveMutexLock lock(&mu_);
  if (LONG rc = SettleSums(); rc != kErrorSuccess) return rc;
  LONG result;
  {
    StmtUse st(Statement(kSubkeyAt));
    sqlite3_bind_int64(st.get(), 1, parent);
    sqlite3_bind_int64(st.get(), 2, index);
    result = ReadKeyRow(st.get(), parent, row);
  }
  if (result == kErrorNoMoreItems && KeyExistsLocked(parent) == kErrorKeyDeleted)
    return kErrorKeyDeleted;
  return result;
}

LONG RegistryStore::SubkeyAfter(KeyId parent, std::u16string_view after_fold, KeyRow* row) {
  RecursiveMutexLock lock(&mu_);
  if (LONG rc = SettleSums(); rc != kErrorSuccess) return rc;
  LONG result;
  {
    // The fold of an already folded name is itself.
    std::string fold = FoldBytes(after_fold);
    StmtUse st(Statement(kSubkeyAfter));
    sqlite3_bind_int64(st.get(), 1, parent);
    BindBytes(st.get(), 2, fold);
    result = ReadKeyRow(st.get(), parent, row);
  }
  if (result == kErrorNoMoreItems && KeyExistsLocked(parent) == kErrorKeyDeleted)
    return kErrorKeyDeleted;
  return result;
}

LONG RegistryStore::ReadValueRows(Stmt which, KeyId key, std::int64_t from, size_t limit,
                                  size_t byte_limit, ValueRows* rows) {
  RecursiveMutexLock lock(&mu_);
  if (LONG rc = SettleSums(); rc != kErrorSuccess) return rc;
  rows->Release();
  LONG result = kErrorSuccess;
  // A key checked whole since the store last changed holds the rows that
  // were checked then: they are not hashed again.
  const bool checked = VerifiedSinceLastChange(key);
  {
    StmtUse st(Statement(which));
    sqlite3_bind_int64(st.get(), 1, key);
    sqlite3_bind_int64(st.get(), 2, from);
    sqlite3_bind_int64(st.get(), 3, static_cast<sqlite3_int64>(limit));
    ValueColumns c;
    while (rows->size() < limit && rows->bytes() < byte_limit) {
      result = StepValueRow(st.get(), key, checked, &c);
      if (result != kErrorSuccess) break;
      rows->Add(c.id, static_cast<DWORD>(c.type), c.name, c.name_bytes, c.data, c.data_size);
    }
  }
  // Damage ends the run with nothing handed out, never as a shorter run.
  if (result == kErrorRegistryCorrupt) {
    rows->Release();
    return result;
  }
  if (!rows->empty()) return kErrorSuccess;
  if (result == kErrorNoMoreItems && KeyExistsLocked(key) == kErrorKeyDeleted)
    return kErrorKeyDeleted;
  return result;
}

LONG RegistryStore::ValuesAt(KeyId key, DWORD index, size_t limit, size_t byte_limit,
                             ValueRows* rows) {
  return ReadValueRows(kValueAt, key, index, limit, byte_limit, rows);
}

LONG RegistryStore::ValuesAfter(KeyId key, std::int64_t after_id, size_t limit, size_t byte_limit,
                                ValueRows* rows) {
  return ReadValueRows(kValueAfter, key, after_id, limit, byte_limit, rows);
}

namespace {

// A value of a run of one, as a row of its own.
ValueRow OwnRow(const ValueRows::Row& r) {
  ValueRow row;
  row.id = r.id;
  row.type = r.type;
  row.name = FromNameBytes(r.name, static_cast<int>(r.name_chars * 2));
  row.data.assign(r.data, r.data + r.data_size);
  return row;
}

}  // namespace

LONG RegistryStore::ValueAt(KeyId key, DWORD index, ValueRow* row) {
  ValueRows rows;
  LONG rc = ValuesAt(key, index, 1, 1, &rows);
  if (rc == kErrorSuccess) *row = OwnRow(rows[0]);
  return rc;
}

LONG RegistryStore::ValueAfter(KeyId key, std::int64_t after_id, ValueRow* row) {
  ValueRows rows;
  LONG rc = ValuesAfter(key, after_id, 1, 1, &rows);
  if (rc == kErrorSuccess) *row = OwnRow(rows[0]);
  return rc;
}

}  // namespace zvt::platform
