// The new version of a store's file, written beside it under a name that
// marks it as this program's (".NAME.kovalset-new-XXXXXX"), and removed
// unless it was put in place; and what killed writers left under such
// names. Nothing is left beside the store once a write ends.
#ifndef FILEREGISTRY_FILE_TEMP_FILE_H_
#define FILEREGISTRY_FILE_TEMP_FILE_H_

#include <sys/stat.h>

#include <functional>
#include <string>

#include "fileregistry/file/fd.h"
#include "fileregistry/file/path_walk.h"
#include "fileregistry/win32_registry.h"

namespace fileregistry {

// Removes what this user's writers, killed before their rename, left beside
// the store: new files that no running writer holds. For a holder of the
// store's lock.
void RemoveStaleTempFiles(const StoreLocation& at);

// The new version of a store, beside it: made by this process and by no
// one else, locked while it is written so that no other writer takes it for
// one a killed writer left, and removed when it goes out of scope unless it
// was put in place. Every call returns 0 or a status, said.
class TempFile {
 public:
  explicit TempFile(const StoreLocation& at) : at_(at) {}
  ~TempFile();
  TempFile(const TempFile&) = delete;
  TempFile& operator=(const TempFile&) = delete;

  int fd() const { return fd_.get(); }

  // Makes the file.
  LSTATUS Create();
  // Writes the whole file with `write`, which says on standard error why
  // it failed where `says_why`.
  LSTATUS Write(const std::function<LSTATUS(int fd)>& write, bool says_why);
  // Flushes it to disk, and notes what file it is.
  LSTATUS Flush();
  // Puts the flushed file in place (PutInPlace, replace_file.h): over the
  // store when `replacing`, else only where no file has come meanwhile
  // (183, unsaid, when one has); checks that it is what the store's name
  // holds, and flushes the folder.
  LSTATUS Publish(bool replacing);

 private:
  const StoreLocation& at_;
  Fd fd_;
  std::string name_;          // while it is there to remove
  struct stat written_ = {};  // once flushed
};

}  // namespace fileregistry

#endif  // FILEREGISTRY_FILE_TEMP_FILE_H_
