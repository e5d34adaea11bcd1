#include "fileregistry/file/temp_file.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "fileregistry/file/file_lock.h"
#include "fileregistry/file/replace_file.h"
#include "fileregistry/refusal.h"
#include "fileregistry/win32_registry.h"

namespace fileregistry {
namespace {

// The name of a file beside store `name`: `name` and `suffix`, the name cut
// and marked with a hash of the whole where that would be too long.
// The hash is FNV-1a, the same in every build, so that every writer knows
// the others' files.
std::string SideName(const std::string& name, const std::string& suffix) {
  if (name.size() + suffix.size() <= NAME_MAX) return name + suffix;
  uint64_t fnv = 14695981039346656037ull;
  for (unsigned char c : name) fnv = (fnv ^ c) * 1099511628211ull;
  char hash[20];
  snprintf(hash, sizeof(hash), "~%016llx", static_cast<unsigned long long>(fnv));
  return name.substr(0, NAME_MAX - suffix.size() - strlen(hash)) + hash + suffix;
}

// New versions of the store are written to ".<name>.kovalset-new-XXXXXX"
// beside it: a mark no other program's files carry.
const char kTempMark[] = ".kovalset-new-XXXXXX";
const char kTempLetters[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";

std::string TempPrefix(const std::string& name) {
  std::string whole = SideName("." + name, kTempMark);
  return whole.substr(0, whole.size() - 6);
}

// Whether `name` is one of this program's new files beside a store whose
// new files start with `prefix`.
bool IsTempName(const std::string& name, const std::string& prefix) {
  return name.size() == prefix.size() + 6 && name.compare(0, prefix.size(), prefix) == 0 &&
         name.find_first_not_of(kTempLetters, prefix.size()) == std::string::npos;
}

// Whether `st` is what a writer of this user, killed before its rename,
// leaves: a regular file of the user's with one link, made before `now`.
bool IsLeftByAWriter(const struct stat& st, const timespec& now) {
  return S_ISREG(st.st_mode) && st.st_uid == geteuid() && st.st_nlink == 1 &&
         (st.st_mtim.tv_sec < now.tv_sec ||
          (st.st_mtim.tv_sec == now.tv_sec && st.st_mtim.tv_nsec <= now.tv_nsec));
}

// A name for a new file after `prefix`, different at every call.
std::string NewTempName(const std::string& prefix) {
  static std::atomic<unsigned> counter{0};
  uint64_t seed = static_cast<uint64_t>(getpid()) * 2654435761u ^
                  std::chrono::steady_clock::now().time_since_epoch().count() ^ counter++ << 20;
  std::string name = prefix;
  for (int i = 0; i < 6; ++i, seed /= 62) name += kTempLetters[seed % 62];
  return name;
}

}  // namespace

void RemoveStaleTempFiles(const StoreLocation& at) {
  std::string prefix = TempPrefix(at.name);
  timespec now;
  clock_gettime(CLOCK_REALTIME, &now);  // the lock is held: what a writer left is older
  int fd = openat(at.folder.get(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  DIR* dir = fd >= 0 ? fdopendir(fd) : nullptr;
  if (dir == nullptr) {
    if (fd >= 0) close(fd);
    return;
  }
  while (dirent* entry = readdir(dir)) {
    std::string name = entry->d_name;
    struct stat st;
    if (IsTempName(name, prefix) &&
        fstatat(at.folder.get(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
        IsLeftByAWriter(st, now)) {
      // One that a running writer holds is its new file.
      Fd left(
          openat(at.folder.get(), name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
      if (left.valid() && fstat(left.get(), &st) == 0 && IsLeftByAWriter(st, now) &&
          Flock(left.get(), false) == 0 && StillNamed(at, name, left.get())) {
        unlinkat(at.folder.get(), name.c_str(), 0);
      }
    }
  }
  closedir(dir);
}

TempFile::~TempFile() {
  if (!name_.empty()) unlinkat(at_.folder.get(), name_.c_str(), 0);
}

LSTATUS TempFile::Create() {
  std::string prefix = TempPrefix(at_.name);
  for (int attempt = 0; attempt < 100; ++attempt) {
    std::string name = NewTempName(prefix);
    fd_ = Fd(openat(at_.folder.get(), name.c_str(),
                    O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (!fd_.valid() && errno == EEXIST) continue;
    if (!fd_.valid()) return RefuseErrno(at_.path, errno);
    name_ = name;
    if (int error = Flock(fd_.get(), true)) return RefuseErrno(at_.path, error);
    // Another writer may have removed it before it was locked: one more.
    if (StillNamed(at_, name_, fd_.get())) return ERROR_SUCCESS;
    name_.clear();  // that name may be another writer's now
  }
  return RefuseErrno(at_.path, EEXIST);
}

LSTATUS TempFile::Write(const std::function<LSTATUS(int fd)>& write, bool says_why) {
  LSTATUS status = write(fd_.get());
  if (status == ERROR_SUCCESS || says_why) return status;
  return Refuse(at_.path,
                status == ERROR_DISK_FULL ? "cannot be written: the disk is full"
                : status == ERROR_FILE_TOO_LARGE
                    ? "cannot be written: larger than the file size limit allows"
                    : "cannot be written",
                status);
}

LSTATUS TempFile::Flush() {
  if (fsync(fd_.get()) != 0 || fstat(fd_.get(), &written_) != 0) {
    return RefuseErrno(at_.path, errno);
  }
  return ERROR_SUCCESS;
}

// The new file stays open, and locked, until it is in place.
LSTATUS TempFile::Publish(bool replacing) {
  if (LSTATUS status = PutInPlace(at_, name_, replacing)) return status;
  name_.clear();
  if (LSTATUS status = CheckPlaced(at_, written_)) return status;
  FlushFolder(at_);
  return ERROR_SUCCESS;
}

}  // namespace fileregistry
