// Replacing a store's file so that no update is lost and no reader ever
// sees a torn file: the old version checked just before, and the new file
// renamed over it, all relative to the folder's descriptor. For a holder of
// the old file's lock (file_lock.h), with its new file (temp_file.h).
#ifndef FILEREGISTRY_FILE_REPLACE_FILE_H_
#define FILEREGISTRY_FILE_REPLACE_FILE_H_

#include <sys/stat.h>

#include <functional>
#include <string>

#include "fileregistry/file/fd.h"
#include "fileregistry/file/path_walk.h"
#include "fileregistry/win32_registry.h"

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

// Whether this user may rename a file over the store's old file `old` (not
// valid when there is none): that needs only the folder's permission, but
// the file's own is what the user set for the store. Returns 0 or a
// status, said.
LSTATUS MayReplace(const StoreLocation& at, const Fd& old);

// Whether the old file `old` (not valid when there is none) is still the
// `version` read, and still holds the bytes a change was made from, as
// `made_from` (empty: nothing to compare) tells: 0, 1016 when another
// program changed them in place, or the status of a failed read. Another
// program that changed it meanwhile, without the lock, fails the write.
// Returns 0 or a status, said.
LSTATUS StillAsRead(const std::string& path, const Fd& old, const FileIdentity& version,
                    const std::function<LSTATUS(int fd)>& made_from);

// Renames the complete file `name`, beside the store, over it; or where
// the store had no file (not `replacing`), puts it in place only where no
// file has come under the store's name meanwhile. Returns 0, 183 (unsaid)
// when one has, or a status, said.
LSTATUS PutInPlace(const StoreLocation& at, const std::string& name, bool replacing);

// Whether the store's name holds the file `written` was taken of, once it
// was put in place: the store's owner, whose file it became, could have
// put another there first. Returns 0, or 5, said.
LSTATUS CheckPlaced(const StoreLocation& at, const struct stat& written);

// Flushes the store's folder, where it can be opened, so that the rename
// outlives a crash.
void FlushFolder(const StoreLocation& at);

}  // namespace fileregistry

#endif  // FILEREGISTRY_FILE_REPLACE_FILE_H_
