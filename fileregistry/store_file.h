// The file that holds the store: where it is, reading it, and replacing it
// so that no update is lost and no reader ever sees a torn file.
#ifndef FILEREGISTRY_STORE_FILE_H_
#define FILEREGISTRY_STORE_FILE_H_

#include <functional>
#include <memory>
#include <string>

#include "fileregistry/store.h"

namespace fileregistry {

// Sets `*path` to $KOVALSET_REGISTRY (unless empty), else to
// ${XDG_DATA_HOME:-HOME/.local/share}/kovalset/hklm.reg, HOME being $HOME or
// the user's home folder in the password database. Returns 0, or 3 when
// there is no home folder.
long StorePath(std::string* path);

// Every refusal below also says on standard error, once, what is wrong and
// where: "kovalset: PATH:LINE: REASON" for a file that is not a store.

// Reads the store at `path`: a registry hive when the file begins with
// "regf", else registry export text; a missing file is an empty text store.
// Returns 0, or a Windows error number: 1009 when the file is not a store,
// 5 when it may not be read, 1921 for a symlink loop, 1016 on an I/O error.
long LoadStore(const std::string& path, std::shared_ptr<const Store>* store);

// For `store`, read from `path`, that is no longer Intact: forgets it, says
// why, and returns 1016.
long StoreNotIntact(const std::string& path, const Store& store);

// Changes the store at `path` under an exclusive lock: reads it afresh, asks
// `edit` for the new file, and replaces the file atomically and durably when
// `edit` returns 0 with a file to write. With `make_folders` the store's
// missing folders are made first. Returns 0, the status of `edit`, or a
// Windows error number (1009 for a file that is not a store, which is then
// left as it is; 5, 3, 112, 1016 ...).
long UpdateStore(const std::string& path, bool make_folders,
                 const std::function<long(const Store&, Replacement*)>& edit);

}  // namespace fileregistry

#endif  // FILEREGISTRY_STORE_FILE_H_
