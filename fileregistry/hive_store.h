// Registry hives as stores, through hivex: the SOFTWARE hive of an offline
// Windows installation (Windows/System32/config/SOFTWARE), mounted at
// HKEY_LOCAL_MACHINE\Software as Windows mounts it.
#ifndef FILEREGISTRY_HIVE_STORE_H_
#define FILEREGISTRY_HIVE_STORE_H_

#include <sys/stat.h>

#include <memory>
#include <string>
#include <string_view>

#include "fileregistry/path_walk.h"
#include "fileregistry/store.h"

namespace fileregistry {

// Whether a file's first bytes, `head`, are a hive's ("regf").
bool IsHive(std::string_view head);

// Opens the hive at `at`, open as `fd`, whose first bytes are `head` and
// which `st` describes: a copy of it that no other program can change.
// Returns 0; 1009 with `*why` set when it is no hive hivex can read; or
// another status, said on standard error already (1016 when the file
// changed while it was copied, 8 or 4 when the system ran short).
//
// A dirty hive (sequence numbers that differ, or a torn base block) is read
// with the transaction logs beside it replayed, as Windows will read it;
// where they cannot be, as the file holds it, with a line on standard error
// saying so and why, and then it is never written (19, ERROR_WRITE_PROTECT).
// The logs themselves are never changed.
//
// Every change is made by hivex in a child process, which writes the new
// file and reads it back whole: a crash there fails the write with 1009.
//
// As Windows has it: keys other than Software and below give 2 when opened
// and 5 when created; texts are UTF-16LE, written with their terminating
// zero, and read as Windows' ...A calls read them.
long OpenHive(const StoreLocation& at, int fd, std::string_view head, const struct stat& st,
              std::shared_ptr<const Store>* store, std::string* why);

}  // namespace fileregistry

#endif  // FILEREGISTRY_HIVE_STORE_H_
