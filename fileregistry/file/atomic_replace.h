// Replacing a store's file so that no update is lost and no reader ever
// sees a torn file: an exclusive lock on the file itself, and a new file
// written, flushed and renamed over it, all relative to the folder's
// descriptor. Nothing is left beside the store once a write ends.
#ifndef FILEREGISTRY_FILE_ATOMIC_REPLACE_H_
#define FILEREGISTRY_FILE_ATOMIC_REPLACE_H_

#include <sys/stat.h>

#include <chrono>
#include <functional>
#include <initializer_list>
#include <string_view>

#include "fileregistry/file/fd.h"
#include "fileregistry/file/path_walk.h"

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

// A new version of a file, ready to be written.
struct NewContent {
  // Writes the whole file to the new file open as `fd`.
  const std::function<long(int fd)>& write;
  // Whether the old file, open as `fd`, still holds the bytes `write` was
  // made from: 0; 1016 when another program changed them in place; or the
  // status of a failed read. Empty: nothing to compare.
  const std::function<long(int fd)>& made_from;
  // Whether `write` says on standard error why it failed.
  bool says_why;
};

// Takes the exclusive lock of the store's file open as `fd`: a flock on the
// file itself, held while that descriptor stays open. Anyone who can read
// the file can hold it, so another process is waited for until `deadline`
// (10 s from the first try). Returns 0; 2, unsaid, when `fd` no longer
// stands under the store's name (a writer replaced it: open the new one);
// or a status, said (1460 past the deadline).
long LockStoreFile(const StoreLocation& at, int fd, std::chrono::steady_clock::time_point deadline);

// Removes what this user's writers, killed before their rename, left beside
// the store: new files that no running writer holds.
void RemoveStaleTempFiles(const StoreLocation& at);

// Writes `file` as the new version of the store at `at`, beside it; gives it
// the owner, mode and extended attributes of the old file `old` (not valid
// when there is none), NTFS attributes and security descriptor included,
// once it is complete; makes sure `old` is still `version` and still holds
// what `file` was made from; flushes it,
// renames it over the store and flushes the folder. A new store is put in
// place only where no file has come under its name meanwhile. Returns 0;
// 183, unsaid, when one has (the change is to be made again, on that file);
// or a status said on standard error. For a holder of `old`'s lock.
long ReplaceFile(const StoreLocation& at, const Fd& old, const FileIdentity& version,
                 const NewContent& file);

// Whether the file open as `fd` holds exactly `bytes`: 0, 1016 when it does
// not, or the status of a failed read (30 where it would be 1016).
long SameBytes(int fd, std::string_view bytes);

// Writes `pieces`, one after the other, as the whole of the file open as
// `fd`, its blocks allocated first. Returns 0 or a Windows error number.
long WritePieces(int fd, std::initializer_list<std::string_view> pieces);

}  // namespace fileregistry

#endif  // FILEREGISTRY_FILE_ATOMIC_REPLACE_H_
