// A dirty hive made whole from the transaction logs beside it, trusted no
// more than the hive: opened relative to its folder, by the same link rules,
// and used only when no one who cannot write the hive can write them.
#ifndef FILEREGISTRY_HIVE_HIVE_RECOVERY_H_
#define FILEREGISTRY_HIVE_HIVE_RECOVERY_H_

#include <sys/stat.h>

#include <string>

#include "fileregistry/file/path_walk.h"

namespace fileregistry {

struct Recovery {
  bool replayed = false;
  std::string why;      // when not replayed: what kept every log out
  std::string ignored;  // logs left out for whom they belong to, even when replayed
};

// Reads the first `size` bytes of `fd`, or fewer where it is shorter, into
// `*bytes`. False, with errno set, when a read fails.
bool ReadBytes(int fd, off_t size, std::string* bytes);

// Replays into `*hive`, the bytes of the hive at `at`, open as `fd`, that
// `st` describes, the logs beside it (NAME.LOG1, NAME.LOG2, NAME.LOG) that
// may be trusted. A log left out for whom it belongs to, or that cannot be
// read, is named in `ignored`: what the others make of the hive may not be
// what Windows will see.
Recovery RecoverHive(const StoreLocation& at, int fd, const struct stat& st, std::string* hive);

}  // namespace fileregistry

#endif  // FILEREGISTRY_HIVE_HIVE_RECOVERY_H_
