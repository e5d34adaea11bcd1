// Registry hives as stores, through hivex: the SOFTWARE hive of an offline
// Windows installation (Windows/System32/config/SOFTWARE), mounted at
// HKEY_LOCAL_MACHINE\Software as Windows mounts it.
#ifndef FILEREGISTRY_HIVE_STORE_H_
#define FILEREGISTRY_HIVE_STORE_H_

#include <memory>
#include <string>
#include <string_view>

#include "fileregistry/store.h"

namespace fileregistry {

// Whether a file's first bytes, `head`, are a hive's ("regf").
bool IsHive(std::string_view head);

// Opens the hive at `path`, open as `fd`, whose first bytes are `head`, for
// reading.
// Returns 0, or 1009 with `*why` set when hivex refuses it.
//
// As Windows has it: keys other than Software and below give 2 when opened
// and 5 when created; texts are UTF-16LE, written with their terminating
// zero, and read as Windows' ...A calls read them. A hive whose sequence
// numbers differ holds changes still in its log files: it is read, but never
// written (19, ERROR_WRITE_PROTECT).
long OpenHive(const std::string& path, int fd, std::string_view head,
              std::shared_ptr<const Store>* store, std::string* why);

}  // namespace fileregistry

#endif  // FILEREGISTRY_HIVE_STORE_H_
