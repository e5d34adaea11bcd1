#include "fileregistry/file/file_lock.h"

#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "fileregistry/refusal.h"
#include "fileregistry/win32_registry.h"

namespace fileregistry {
namespace {

// `wait` as the line that gives up says it: "10 s", or "250 ms".
std::string Said(std::chrono::milliseconds wait) {
  long long ms = wait.count();
  return ms % 1000 == 0 ? std::to_string(ms / 1000) + " s" : std::to_string(ms) + " ms";
}

}  // namespace

int Flock(int fd, bool wait) {
  while (flock(fd, LOCK_EX | (wait ? 0 : LOCK_NB)) != 0) {
    if (errno != EINTR) return errno;
  }
  return 0;
}

bool StillNamed(const StoreLocation& at, const std::string& name, int fd) {
  struct stat held, named;
  return fstat(fd, &held) == 0 &&
         fstatat(at.folder.get(), name.c_str(), &named, AT_SYMLINK_NOFOLLOW) == 0 &&
         held.st_dev == named.st_dev && held.st_ino == named.st_ino;
}

LSTATUS LockStoreFile(const StoreLocation& at, int fd, std::chrono::steady_clock::time_point since,
                      std::chrono::milliseconds wait) {
  for (int pause = 1;; pause = std::min(pause * 2, 50)) {
    int error = Flock(fd, false);
    if (error != 0 && error != EWOULDBLOCK) return RefuseErrno(at.path, error);
    // One replaced meanwhile, held or not, locks out no one.
    if (!StillNamed(at, at.name, fd)) return ERROR_FILE_NOT_FOUND;
    if (error == 0) return ERROR_SUCCESS;
    if (std::chrono::steady_clock::now() >= since + wait) {
      return Refuse(at.path, "its lock is held by another process for " + Said(wait) + "; gave up",
                    ERROR_TIMEOUT);
    }
    usleep(static_cast<useconds_t>(pause) * 1000);
  }
}

}  // namespace fileregistry
