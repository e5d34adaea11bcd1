// Where the store lives: the file KOVALSET_REGISTRY names, or one in the
// user's data folder; and how long a writer waits for its lock.
#ifndef FILEREGISTRY_STORE_STORE_LOCATION_H_
#define FILEREGISTRY_STORE_STORE_LOCATION_H_

#include <chrono>
#include <string>

#include "fileregistry/win32_registry.h"

namespace fileregistry {

// Sets `*path` to $KOVALSET_REGISTRY (unless empty), else to
// ${XDG_DATA_HOME:-HOME/.local/share}/kovalset/hklm.reg, HOME being $HOME or
// the user's home folder in the password file; `*named` to whether
// KOVALSET_REGISTRY named it. Returns 0, or 3 (said on standard error) when
// there is no home folder.
LSTATUS StorePath(std::string* path, bool* named);

// The longest a writer waits for the store's lock while another process
// holds it: $KOVALSET_LOCK_WAIT_MS milliseconds where that is a whole number
// of them no larger than 3600000 (an hour), else 10 s.
std::chrono::milliseconds LockWait();

}  // namespace fileregistry

#endif  // FILEREGISTRY_STORE_STORE_LOCATION_H_
