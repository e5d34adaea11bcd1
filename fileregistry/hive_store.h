// Registry hives as stores, through hivex: the SOFTWARE hive of an offline
// Windows installation (Windows/System32/config/SOFTWARE), mounted at
// HKEY_LOCAL_MACHINE\Software as Windows mounts it.
#ifndef FILEREGISTRY_HIVE_STORE_H_
#define FILEREGISTRY_HIVE_STORE_H_

#include <sys/types.h>

#include <memory>
#include <string>
#include <string_view>

#include "fileregistry/store.h"

namespace fileregistry {

// Whether a file's first bytes, `head`, are a hive's ("regf").
bool IsHive(std::string_view head);

// Opens the hive at `path`, open as `fd`, whose first bytes are `head` and
// whose size is `size`: a copy of it that no other program can change.
// Returns 0; 1009 with `*why` set when it is no hive hivex can read; or
// another status, said on standard error already (1016 when the file
// changed while it was copied, 8 or 4 when the system ran short).
//
// Every change is made by hivex in a child process, which writes the new
// file and reads it back whole: a crash there fails the write with 1009.
//
// As Windows has it: keys other than Software and below give 2 when opened
// and 5 when created; texts are UTF-16LE, written with their terminating
// zero, and read as Windows' ...A calls read them. A hive whose sequence
// numbers differ holds changes still in its log files: it is read, but never
// written (19, ERROR_WRITE_PROTECT).
long OpenHive(const std::string& path, int fd, std::string_view head, off_t size,
              std::shared_ptr<const Store>* store, std::string* why);

}  // namespace fileregistry

#endif  // FILEREGISTRY_HIVE_STORE_H_
