// Write transactions of a RegistryStore: one per write, or one write group
// left open until committed, or a batch; the key sums a group keeps in
// memory until another statement needs them.
#include <sqlite3.h>

#include "platform/registry_store.h"
#include "platform/registry_store_internal.h"
#include "platform/row_checks.h"

namespace zvt::platform {

using namespace store_internal;  // NOLINT(build/namespaces): the store's own helpers

int RegistryStore::Step(Stmt which) {
  StmtUse st(Statement(which));
  return sqlite3_step(st.get());
}

void RegistryStore::LoseGroup(LONG why) {
  if (sqlite3_get_autocommit(db_) == 0) Step(kRollback);
  group_open_ = false;
  owner_cached_ = false;
  owner_sums_waiting_ = false;
  if (group_lost_ == kErrorSuccess) group_lost_ = why;
  ++write_count_;  // what this connection reads changes back
  ++mutations_;
}

LONG RegistryStore::OpenGroup() {
  RecursiveMutexLock lock(&mu_);
  if (read_only_) return kErrorAccessDenied;
  if (group_lost_ != kErrorSuccess) return group_lost_;  // until the commit reports it
  if (group_open_ || batch_depth_ > 0) return kErrorSuccess;
  if (int rc = Step(kBegin); rc != SQLITE_DONE) return Fail(rc);
  group_open_ = true;
  group_others_known_ = false;
  owner_cached_ = false;
  // Rows read in an earlier group may have changed since it ended.
  for (ReadKey& k : read_keys_) k.valid = false;
  return kErrorSuccess;
}

LONG RegistryStore::CommitGroup() {
  RecursiveMutexLock lock(&mu_);
  if (!group_open_) {
    const LONG lost = group_lost_;
    group_lost_ = kErrorSuccess;
    return lost;
  }
  if (LONG rc = SettleSums(); rc != kErrorSuccess) {
    const LONG lost = group_lost_;
    group_lost_ = kErrorSuccess;
    return lost;
  }
  group_open_ = false;
  owner_cached_ = false;
  int rc = Step(kCommit);
  if (rc == SQLITE_DONE) {
    if (commits_) commits_->Bump();
    return kErrorSuccess;
  }
  // Nothing of the group is kept.
  LoseGroup(Fail(rc));
  const LONG lost = group_lost_;
  group_lost_ = kErrorSuccess;
  return lost;
}

bool RegistryStore::InOpenGroup() const {
  mu_.AssertHeld();
  return group_open_ && sqlite3_get_autocommit(db_) == 0;
}

bool RegistryStore::GroupOpen() {
  RecursiveMutexLock lock(&mu_);
  return group_open_;
}

LONG RegistryStore::SettleSums() {
  if (!owner_sums_waiting_) return kErrorSuccess;
  owner_sums_waiting_ = false;
  const LONG rc = WriteKeySums(owner_);
  if (rc != kErrorSuccess) LoseGroup(rc);
  return rc;
}

LONG RegistryStore::WriteKeySums(const KeyRecord& r, bool may_wait) {
  if (may_wait && group_open_) {
    if (owner_.id != r.id)
      if (LONG rc = SettleSums(); rc != kErrorSuccess) return rc;
    // The owner was read (or written) in this group, where no other
    // connection writes, so its row is there to be written later.
    ++mutations_;
    owner_ = r;
    owner_cached_ = true;
    owner_mutations_ = mutations_;
    owner_sums_waiting_ = true;
    return kErrorSuccess;
  }
  if (LONG rc = SettleSums(); rc != kErrorSuccess) return rc;
  ++mutations_;
  owner_cached_ = false;
  StmtUse st(Statement(kUpdateKeySums));
  sqlite3_bind_int64(st.get(), 1, r.id);
  sqlite3_bind_int64(st.get(), 2, static_cast<sqlite3_int64>(r.value_sum));
  sqlite3_bind_int64(st.get(), 3, static_cast<sqlite3_int64>(r.subkey_sum));
  sqlite3_bind_int64(
      st.get(), 4,
      static_cast<sqlite3_int64>(KeyCheck(r.id, r.parent, r.name, r.value_sum, r.subkey_sum)));
  int rc = sqlite3_step(st.get());
  if (rc != SQLITE_DONE) return Fail(rc);
  if (sqlite3_changes(db_) != 1) return kErrorKeyDeleted;
  if (group_open_) {
    // Inside a write group no other connection writes: the row just written
    // is the row, until this connection changes something else.
    owner_ = r;
    owner_cached_ = true;
    owner_mutations_ = mutations_;
  }
  return kErrorSuccess;
}

RegistryStore::Batch::Batch(RegistryStore* store)
    : store_(store), status_(kErrorSuccess), open_(false) {
  store->mu_.Lock();
  if (store_->read_only_) {
    status_ = kErrorAccessDenied;
    return;
  }
  // Writes grouped so far come first, in their own transaction.
  status_ = store_->CommitGroup();
  if (status_ != kErrorSuccess) return;
  StmtUse begin(store_->Statement(kBegin));
  int rc = sqlite3_step(begin.get());
  if (rc != SQLITE_DONE) {
    status_ = store_->Fail(rc);
    return;
  }
  open_ = true;
  ++store_->batch_depth_;
}

LONG RegistryStore::Batch::Commit() {
  store_->mu_.AssertHeld();  // since the constructor
  if (!open_) return status_ == kErrorSuccess ? kErrorInvalidParameter : status_;
  StmtUse commit(store_->Statement(kCommit));
  int rc = sqlite3_step(commit.get());
  if (rc != SQLITE_DONE) return store_->Fail(rc);  // the destructor rolls back
  open_ = false;
  --store_->batch_depth_;
  ++store_->write_count_;
  if (store_->commits_) store_->commits_->Bump();
  return kErrorSuccess;
}

RegistryStore::Batch::~Batch() {
  if (open_) {
    StmtUse rollback(store_->Statement(kRollback));
    sqlite3_step(rollback.get());
    --store_->batch_depth_;
  }
  store_->mu_.Unlock();
}

}  // namespace zvt::platform
