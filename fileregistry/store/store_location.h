// Where the store lives: the file KOVALSET_REGISTRY names, or one in the
// user's data folder.
#ifndef FILEREGISTRY_STORE_STORE_LOCATION_H_
#define FILEREGISTRY_STORE_STORE_LOCATION_H_

#include <string>

namespace fileregistry {

// Sets `*path` to $KOVALSET_REGISTRY (unless empty), else to
// ${XDG_DATA_HOME:-HOME/.local/share}/kovalset/hklm.reg, HOME being $HOME or
// the user's home folder in the password file; `*named` to whether
// KOVALSET_REGISTRY named it. Returns 0, or 3 (said on standard error) when
// there is no home folder.
long StorePath(std::string* path, bool* named);

}  // namespace fileregistry

#endif  // FILEREGISTRY_STORE_STORE_LOCATION_H_
