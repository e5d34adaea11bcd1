// Replacing a store's file so that no update is lost and no reader ever
// sees a torn file: an exclusive lock beside it, and a new file written,
// flushed and renamed over it, all relative to the folder's descriptor.
#ifndef FILEREGISTRY_ATOMIC_REPLACE_H_
#define FILEREGISTRY_ATOMIC_REPLACE_H_

#include <sys/stat.h>

#include <initializer_list>
#include <string_view>

#include "fileregistry/fd.h"
#include "fileregistry/path_walk.h"
#include "fileregistry/store.h"

namespace fileregistry {

// What tells one version of a file from another: every replacement is a
// new inode, and the times catch edits made in place by other programs.
struct FileIdentity {
  dev_t device = 0;
  ino_t inode = 0;
  off_t size = -1;
  timespec modified = {}, changed = {};

  FileIdentity() = default;
  explicit FileIdentity(const struct stat& st);
  bool operator==(const FileIdentity& other) const;
};

// The exclusive lock beside a store (NAME.lock), held while this lives. The
// lock file is opened for reading only (flock needs no more), never through
// a symlink; a new one is readable by everyone whatever the umask, so that
// it keeps out no user who may write the store. One that another process
// replaced meanwhile is taken again. Anyone who can read it can hold it, so
// it is waited for 10 s at most.
class StoreLock {
 public:
  // Returns 0, or a status said on standard error (5, 1460 ...).
  long Take(const StoreLocation& at);

 private:
  Fd fd_;
};

// Removes what this user's writers, killed before their rename, left beside
// the store. For a holder of the lock.
void RemoveStaleTempFiles(const StoreLocation& at);

// Writes `file` as the new version of the store at `at`, beside it; gives it
// the owner, mode and extended attributes of the old file `old` (not valid
// when there is none) once it is complete; makes sure `old` is still
// `version`; flushes it, renames it over the store and flushes the folder.
// Returns 0, or a status said on standard error. For a holder of the lock.
long ReplaceFile(const StoreLocation& at, const Fd& old, const FileIdentity& version,
                 const Replacement& file);

// Writes `pieces`, one after the other, as the whole of the file open as
// `fd`, its blocks allocated first. Returns 0 or a Windows error number.
long WritePieces(int fd, std::initializer_list<std::string_view> pieces);

}  // namespace fileregistry

#endif  // FILEREGISTRY_ATOMIC_REPLACE_H_
