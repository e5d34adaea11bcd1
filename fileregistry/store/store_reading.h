// Opening a store's file and reading it by what its first bytes say it is:
// a registry hive when it begins with "regf", else registry export text.
#ifndef FILEREGISTRY_STORE_STORE_READING_H_
#define FILEREGISTRY_STORE_STORE_READING_H_

#include <sys/stat.h>

#include <memory>
#include <string>

#include "fileregistry/file/fd.h"
#include "fileregistry/file/path_walk.h"
#include "fileregistry/store.h"
#include "fileregistry/win32_registry.h"

namespace fileregistry {

// Opens the store's file at `at` for reading, with what `*st` says of it:
// 0, or 2 when there is none, or a status, said (5 for a folder or a
// symlink, 1009 for a file that is not a regular one).
LSTATUS OpenStoreFile(const StoreLocation& at, Fd* fd, struct stat* st);

// Reads the store open as `fd`, which `st` describes, by what its first
// bytes say it is. Returns 0; a refusal with `*why` set (and `*line`, the
// line of the text a parse error is at, else 0), for the caller to say and
// keep (223 for a file larger than kLargestStore, 1009 for one that is not
// a store); or a status, said (30 for a failed read, 1016 for a file that
// changed while it was read).
LSTATUS ReadOpened(const StoreLocation& at, int fd, const struct stat& st,
                   std::shared_ptr<const Store>* store, size_t* line, std::string* why);

}  // namespace fileregistry

#endif  // FILEREGISTRY_STORE_STORE_READING_H_
