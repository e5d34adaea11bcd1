// What a store's new file keeps of the old one: its owner, group and mode,
// and its extended attributes, NTFS attributes and security descriptor
// included; or, for a store that had no file, what a new file of the
// user's gets.
#ifndef FILEREGISTRY_FILE_KEEP_OWNER_H_
#define FILEREGISTRY_FILE_KEEP_OWNER_H_

#include <string>

#include "fileregistry/file/fd.h"
#include "fileregistry/win32_registry.h"

namespace fileregistry {

// Gives the complete new file `to` the owner, group, mode and extended
// attributes of the old file `old`, or where `old` is not valid the mode a
// new file of the user's gets. A writer who may not keep the owner keeps
// the group where it belongs to it; where the old owner would then lose
// access it had, the write is refused with 5. Returns 0 or a status, said
// with `path`.
LSTATUS KeepOwner(const std::string& path, const Fd& old, int to);

}  // namespace fileregistry

#endif  // FILEREGISTRY_FILE_KEEP_OWNER_H_
