// One run of the program over its store: where the store lives, worked out
// once and walked once, and the last version of its file read, so that the
// calls of one run read the file once. The Reg* calls share one
// (registry_api.cc); they may be made from any thread, and so may these.
#ifndef FILEREGISTRY_STORE_STORE_RUN_H_
#define FILEREGISTRY_STORE_STORE_RUN_H_

#include <chrono>
#include <memory>
#include <mutex>
#include <string>

#include "fileregistry/file/fd.h"
#include "fileregistry/file/path_walk.h"
#include "fileregistry/file/replace_file.h"
#include "fileregistry/store.h"
#include "fileregistry/win32_registry.h"

namespace fileregistry {

// Every refusal below says on standard error, once, what is wrong and
// where: "kovalset: PATH:LINE: REASON" for a file that is not a store.
class StoreRun {
 public:
  // Works out where the store lives (store_location.h), saying why where it
  // cannot, and how long a writer waits for its lock.
  StoreRun();
  StoreRun(const StoreRun&) = delete;
  StoreRun& operator=(const StoreRun&) = delete;

  // Reads the store, for lookups: a registry hive when the file begins with
  // "regf", else registry export text; a missing file is an empty text
  // store. A version read before is not read again. Returns 0, or a Windows
  // error number: 1009 when the file is not a store, 5 when it may not be
  // read, 1921 for a symlink loop, 1016 when it changed while it was read ...
  LSTATUS Read(std::shared_ptr<const Store>* store);

  // For a lookup in `store` that met damage: says what it was, keeps this run
  // from reading or writing that version of the file again, and returns 1016.
  LSTATUS Damaged(const Store& store);

  // The store's path, for messages; empty where there is none.
  const std::string& path() const { return path_; }

  // Sets `*at` to where the store lives. The path is walked once for the
  // run: every later call works through the same folder, which no one can
  // swap under it, and spares the walk. Missing folders are made with
  // `make_folders`, for the store in the user's data folder only (not one
  // KOVALSET_REGISTRY names); where one is still missing, `at->folder` is
  // not valid and the next call walks again. Returns 0 or a status, said.
  LSTATUS Locate(bool make_folders, StoreLocation* at);

  // Reads the store at `at` as Read does, under its exclusive lock, waited
  // for as long as the run allows; a file that a writer replaced meanwhile
  // is opened again. Gives the locked file to `*file` (not valid where
  // there is none) and what that version of it was to `*version`.
  LSTATUS ReadLocked(const StoreLocation& at, std::shared_ptr<const Store>* store, Fd* file,
                     FileIdentity* version);

  // Forgets the version read: the run replaced it, and the next call reads
  // the new file.
  void Forget();

 private:
  // The last store read, or why it is not a store.
  struct Cache {
    std::string path;
    FileIdentity identity;
    std::shared_ptr<const Store> store;
    LSTATUS refused = 0;
  };

  LSTATUS Load(const StoreLocation& at, bool lock, std::shared_ptr<const Store>* store, Fd* file,
               FileIdentity* version);
  LSTATUS LoadOpened(const StoreLocation& at, Fd fd, const struct stat& st,
                     std::shared_ptr<const Store>* store, Fd* file, FileIdentity* version);

  // Worked out once, by the constructor.
  std::string path_;
  bool named_ = false;
  LSTATUS path_status_ = 0;
  std::chrono::milliseconds lock_wait_;

  std::mutex walked_mutex_;
  StoreLocation walked_;  // not valid until walked

  std::mutex cache_mutex_;
  Cache cache_;
};

}  // namespace fileregistry

#endif  // FILEREGISTRY_STORE_STORE_RUN_H_
