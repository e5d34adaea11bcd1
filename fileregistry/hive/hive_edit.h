// Changing a registry hive where hivex cannot harm the run: in a child
// process, which commits the result and reads it back, while the run
// flushes it.
#ifndef FILEREGISTRY_HIVE_HIVE_EDIT_H_
#define FILEREGISTRY_HIVE_HIVE_EDIT_H_

#include <functional>
#include <string>

#include "fileregistry/hive/hive_access.h"
#include "fileregistry/win32_registry.h"

namespace fileregistry {

// A change made to a writable handle of the hive file open as `fd`, which
// holds the hive as it was before: 0, or a status with `*why` set.
using HiveEdit = std::function<LSTATUS(hive_h*, int fd, std::string* why)>;
// What a new hive, read from the file open as `fd`, must hold: 0, or a status.
using HiveCheck = std::function<LSTATUS(hive_h*, int fd)>;

// Makes `edit` on a writable handle of the hive open as `source` in a child
// process, commits the result to the new file open as `fd`, and reads that
// back: it must open in hivex, which checks every bin, and pass `check` of
// what was changed. With `whole`, every key and value must read back in
// hivex; without, no cell in use may refer to one that is not, which is
// what a change that freed a cell still listed elsewhere leaves behind
// (only then is every key and value read, to tell). The run sends what
// hivex writes to disk as it is written, and flushes the new file while the
// child reads it back. An abort or a crash inside hivex ends the child, not
// the run: the write then fails with 1009. What hivex itself prints is not
// shown. Returns 0, or a status said on standard error, naming `path`; 1009
// too for a hive hivex cannot open.
LSTATUS EditInChild(const std::string& path, int source, int fd, const HiveEdit& edit,
                    const HiveCheck& check, bool whole);

}  // namespace fileregistry

#endif  // FILEREGISTRY_HIVE_HIVE_EDIT_H_
