// Resolving the store's path once, one component at a time, into a
// descriptor of the folder that holds it: every later open, lock and rename
// is made relative to that descriptor, so that no other user can swap a
// folder or a link under a run.
#ifndef FILEREGISTRY_FILE_PATH_WALK_H_
#define FILEREGISTRY_FILE_PATH_WALK_H_

#include <string>

#include "fileregistry/file/fd.h"
#include "fileregistry/win32_registry.h"

namespace fileregistry {

struct StoreLocation {
  Fd folder;                  // the store's folder; not valid when a folder on the way is missing
  std::string name;           // the store's name in it, never a symlink when walked
  std::string path;           // the same as a path, for messages
  bool through_link = false;  // the store's own name was a symlink
  std::string missing;        // the first folder on the way that is not there, for messages
  bool missing_is_file = false;  // a file stands where that folder should
};

// Walks `path` from the root or the working folder. Only the caller's own
// symlinks and root's are followed, in any folder: another user's link
// could send the caller's writes where that user may not write. With
// `make_folders` missing folders are made, but never for a store reached
// through a symlink. Returns 0, or a Windows error number after saying why
// on standard error (5 for another user's link or a folder where the store
// should be, 1009 for a file that is not a regular one, 3 for a folder that
// cannot be made, 1921 for a symlink loop).
LSTATUS WalkToStore(const std::string& path, bool make_folders, StoreLocation* location);

}  // namespace fileregistry

#endif  // FILEREGISTRY_FILE_PATH_WALK_H_
