// The exclusive lock of a store's file: a flock on the file itself, held
// while the descriptor that took it stays open, and waited for a while when
// another process holds it.
#ifndef FILEREGISTRY_FILE_FILE_LOCK_H_
#define FILEREGISTRY_FILE_FILE_LOCK_H_

#include <chrono>
#include <string>

#include "fileregistry/file/path_walk.h"
#include "fileregistry/win32_registry.h"

namespace fileregistry {

// The longest a writer waits for a lock another process holds, unless told.
inline constexpr std::chrono::milliseconds kLockWait = std::chrono::seconds(10);

// Takes the exclusive flock of `fd`, waiting for it where `wait`. Returns
// 0 or an errno value.
int Flock(int fd, bool wait);

// Whether `name` in the store's folder still names the file open as `fd`.
bool StillNamed(const StoreLocation& at, const std::string& name, int fd);

// Takes the exclusive lock of the store's file open as `fd`. Anyone who can
// read the file can hold it, so another process is waited for until `wait`
// has passed since `since` (the first try). Returns 0; 2, unsaid, when `fd`
// no longer stands under the store's name (a writer replaced it: open the
// new one); or a status, said (1460 past the wait, which the line names).
LSTATUS LockStoreFile(const StoreLocation& at, int fd, std::chrono::steady_clock::time_point since,
                      std::chrono::milliseconds wait);

}  // namespace fileregistry

#endif  // FILEREGISTRY_FILE_FILE_LOCK_H_
