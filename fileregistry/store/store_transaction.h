// A change of a run's store: walk its path, take its lock, read it afresh,
// and replace it whole.
#ifndef FILEREGISTRY_STORE_STORE_TRANSACTION_H_
#define FILEREGISTRY_STORE_STORE_TRANSACTION_H_

#include <memory>

#include "fileregistry/file/fd.h"
#include "fileregistry/file/path_walk.h"
#include "fileregistry/file/replace_file.h"
#include "fileregistry/store.h"
#include "fileregistry/store/store_run.h"
#include "fileregistry/win32_registry.h"

namespace fileregistry {

// A change of the store of `run`, under its exclusive lock (the store's
// file itself; a store that does not exist yet is made only where no other
// writer made it meanwhile, else the change is made again on that one):
//
//   StoreTransaction tx(run);
//   long s;
//   do {
//     if ((s = tx.Begin(make_folders))) return s;
//     Replacement file;
//     s = tx.Commit(tx.store().SetValue(..., &file), file);
//   } while (tx.again());
//   return s;
//
// Every refusal is said on standard error, once, as StoreRun says them.
class StoreTransaction {
 public:
  explicit StoreTransaction(StoreRun& run) : run_(run) {}

  // Walks the path (making missing folders with `make_folders`, for the
  // store in the user's data folder only: a named store's missing folder is
  // refused with 3), opens the
  // store's file, takes its lock and reads it afresh. Returns 0 or a
  // status, said.
  LSTATUS Begin(bool make_folders);
  const Store& store() const { return *store_; }
  // Ends the edit that returned `edited` with `file`: replaces the store's
  // file when `edited` is 0 and `file` has something to write, the store
  // met no damage and its file is still the version read. Returns 0,
  // `edited`, or a status, said; or 183, unsaid, with again().
  LSTATUS Commit(LSTATUS edited, const Replacement& file);
  // Whether Commit found the store, missing when begun, made by another
  // writer: nothing was written, and the change is to be begun again.
  bool again() const { return again_; }

 private:
  LSTATUS EditRefused(LSTATUS edited, const Replacement& file) const;
  LSTATUS MadeMeanwhile();

  StoreRun& run_;
  StoreLocation at_;
  std::shared_ptr<const Store> store_;
  Fd file_;  // the store's file, locked; not valid where there was none
  FileIdentity version_;
  bool again_ = false;
  int rounds_ = 0;
};

}  // namespace fileregistry

#endif  // FILEREGISTRY_STORE_STORE_TRANSACTION_H_
