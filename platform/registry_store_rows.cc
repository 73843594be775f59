// Reading a RegistryStore's rows and checking each against its checksum and
// its key's sums; a key verified whole before any of it is handed out.
#include <sqlite3.h>

#include "platform/registry_store.h"
#include "platform/registry_store_internal.h"
#include "platform/row_checks.h"

namespace zvt::platform {

using namespace store_internal;  // NOLINT(build/namespaces): the store's own helpers

LONG RegistryStore::CheckKeyColumns(sqlite3_stmt* st, KeyRecord* record) {
  if (!IsInteger(st, 0) || !IsInteger(st, 1) || !IsInteger(st, 4) || !IsInteger(st, 5) ||
      !IsInteger(st, 6) || !ReadName(st, 2, &record->name))
    return Damaged("a key row of the wrong shape");
  record->id = sqlite3_column_int64(st, 0);
  record->parent = sqlite3_column_int64(st, 1);
  record->value_sum = Unsigned(st, 4);
  record->subkey_sum = Unsigned(st, 5);
  if (kCheckRows && (!FoldMatches(st, 3, 2) ||
                     Unsigned(st, 6) != KeyCheck(record->id, record->parent, record->name,
                                                 record->value_sum, record->subkey_sum)))
    return Damaged("the row of " + KeyText(record->id) + " does not match its checksum");
  return kErrorSuccess;
}

LONG RegistryStore::ReadKeyRecord(KeyId key, KeyRecord* record) {
  if (LONG rc = SettleSums(); rc != kErrorSuccess) return rc;
  // A row read and checked earlier in the open group, when nothing was
  // changed since, is the row.
  const bool in_group = InOpenGroup();
  const std::uint64_t writes = write_count_.load();
  if (in_group) {
    for (const ReadKey& k : read_keys_) {
      if (k.valid && k.record.id == key && k.mutations == mutations_ && k.writes == writes) {
        *record = k.record;
        return kErrorSuccess;
      }
    }
  }
  StmtUse st(Statement(kKeyExists));
  sqlite3_bind_int64(st.get(), 1, key);
  int rc = sqlite3_step(st.get());
  if (rc == SQLITE_DONE) return kErrorKeyDeleted;
  if (rc != SQLITE_ROW) return Fail(rc);
  LONG checked = CheckKeyColumns(st.get(), record);
  if (checked == kErrorSuccess && record->id != key)
    return Damaged("a lookup of " + KeyText(key) + " found " + KeyText(record->id));
  if (checked == kErrorSuccess && in_group) {
    read_keys_[next_read_key_++ % read_keys_.size()] = ReadKey{*record, mutations_, writes, true};
  }
  return checked;
}

LONG RegistryStore::ReadOwner(KeyId key, KeyRecord* record) {
  if (group_open_ && owner_cached_ && owner_.id == key && owner_mutations_ == mutations_) {
    *record = owner_;
    return kErrorSuccess;
  }
  if (LONG rc = SettleSums(); rc != kErrorSuccess) return rc;
  return ReadKeyRecord(key, record);
}

LONG RegistryStore::CheckValueColumns(const ValueColumns& c, KeyId key) {
  const bool sound = c.type >= 0 && c.type <= 0xFFFFFFFFll &&
                     FoldMatches(c.fold, c.fold_bytes, c.name, c.name_bytes);
  if (!sound || c.check != ValueCheckBytes(key, c.name, c.name_bytes,
                                           static_cast<std::uint32_t>(c.type), c.data, c.data_size))
    return Damaged("a value of " + KeyText(key) + " does not match its checksum");
  return kErrorSuccess;
}

LONG RegistryStore::StepValueRow(sqlite3_stmt* st, KeyId key, bool checked, ValueColumns* c) {
  int rc = sqlite3_step(st);
  if (rc == SQLITE_DONE) return kErrorNoMoreItems;
  if (rc != SQLITE_ROW) return Fail(rc);
  if (!ReadValueColumns(st, /*whole=*/!checked, c))
    return Damaged("a value row of " + KeyText(key) + " of the wrong shape");
  if (!checked && kCheckRows) return CheckValueColumns(*c, key);
  return kErrorSuccess;
}

LONG RegistryStore::ReadValueRow(sqlite3_stmt* st, KeyId key, ValueRow* row, std::uint64_t* check) {
  ValueColumns c;
  if (LONG rc = StepValueRow(st, key, /*checked=*/false, &c); rc != kErrorSuccess) return rc;
  *check = c.check;
  row->id = c.id;
  row->type = static_cast<DWORD>(c.type);
  row->name = FromNameBytes(c.name, static_cast<int>(c.name_bytes));
  row->data.assign(c.data, c.data + c.data_size);
  return kErrorSuccess;
}

bool RegistryStore::VerifiedSinceLastChange(KeyId key) {
  const std::uint64_t stamp = ChangeStamp();
  if (stamp != verified_stamp_ || mutations_ != verified_mutations_) {
    verified_.clear();
    verified_stamp_ = stamp;
    verified_mutations_ = mutations_;
  }
  return verified_.count(key) != 0;
}

LONG RegistryStore::ReadKeyRow(sqlite3_stmt* st, KeyId parent, KeyRow* row) {
  int rc = sqlite3_step(st);
  if (rc == SQLITE_DONE) return kErrorNoMoreItems;
  if (rc != SQLITE_ROW) return Fail(rc);
  KeyRecord record;
  if (LONG checked = CheckKeyColumns(st, &record); checked != kErrorSuccess) return checked;
  if (record.parent != parent)
    return Damaged("a subkey of " + KeyText(parent) + " names another parent");
  row->id = record.id;
  row->name = std::move(record.name);
  row->fold = FromFoldBytes(sqlite3_column_blob(st, 3), sqlite3_column_bytes(st, 3));
  return kErrorSuccess;
}

LONG RegistryStore::VerifyKey(KeyId key, VerifiedValues* values_read) {
  RecursiveMutexLock lock(&mu_);
  if (LONG rc = SettleSums(); rc != kErrorSuccess) return rc;
  if (values_read != nullptr) values_read->rows.Release();
  // A key verified since the store last changed, here or in another
  // process, is not read again.
  if (!kCheckRows || VerifiedSinceLastChange(key)) return kErrorSuccess;
  // One read transaction, so that the key and its rows are seen as of one commit.
  const bool own_transaction = sqlite3_get_autocommit(db_) != 0;
  if (own_transaction) {
    StmtUse begin(Statement(kBeginRead));
    int rc = sqlite3_step(begin.get());
    if (rc != SQLITE_DONE) return Fail(rc);
  }
  auto verify = [&]() -> LONG {
    mu_.AssertHeld();  // taken above
    KeyRecord record;
    if (LONG rc = ReadKeyRecord(key, &record); rc != kErrorSuccess) return rc;
    std::uint64_t values = 0;
    {
      StmtUse st(Statement(kValueAt));
      sqlite3_bind_int64(st.get(), 1, key);
      sqlite3_bind_int64(st.get(), 2, 0);
      sqlite3_bind_int64(st.get(), 3, -1);
      LONG rc;
      // The rows are kept for the caller while they fit its limit.
      bool keep = values_read != nullptr;
      ValueColumns c;
      while ((rc = StepValueRow(st.get(), key, /*checked=*/false, &c)) == kErrorSuccess) {
        values ^= c.check;
        if (!keep) continue;
        values_read->rows.Add(c.id, static_cast<DWORD>(c.type), c.name, c.name_bytes, c.data,
                              c.data_size);
        if (values_read->rows.bytes() > values_read->byte_limit) {
          keep = false;
          values_read->rows.Release();
        }
      }
      if (rc != kErrorNoMoreItems) return rc;
      if (values_read != nullptr) values_read->complete = keep;
    }
    if (values != record.value_sum)
      return Damaged("the values of " + KeyText(key) + " are not those it was given");
    std::uint64_t subkeys = 0;
    {
      StmtUse st(Statement(kChildRows));
      sqlite3_bind_int64(st.get(), 1, key);
      KeyRow row;
      LONG rc;
      while ((rc = ReadKeyRow(st.get(), key, &row)) == kErrorSuccess)
        subkeys ^= KeyIdentity(row.id, key, row.name);
      if (rc != kErrorNoMoreItems) return rc;
    }
    if (subkeys != record.subkey_sum)
      return Damaged("the subkeys of " + KeyText(key) + " are not those it was given");
    return kErrorSuccess;
  };
  LONG result = verify();
  if (result != kErrorSuccess && values_read != nullptr) values_read->rows.Release();
  if (own_transaction) {
    StmtUse commit(Statement(kCommit));
    sqlite3_step(commit.get());
  }
  if (result == kErrorSuccess) verified_.insert(key);
  return result;
}

}  // namespace zvt::platform
