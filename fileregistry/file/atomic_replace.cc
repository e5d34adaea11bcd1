#include "fileregistry/file/atomic_replace.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>

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

// Whether `name` in the store's folder still names the file open as `fd`.
bool StillNamed(const StoreLocation& at, const std::string& name, int fd) {
  struct stat held, named;
  return fstat(fd, &held) == 0 &&
         fstatat(at.folder.get(), name.c_str(), &named, AT_SYMLINK_NOFOLLOW) == 0 &&
         held.st_dev == named.st_dev && held.st_ino == named.st_ino;
}

long CannotKeep(const std::string& path, const char* name, int error) {
  return Refuse(path, std::string("cannot keep its attribute ") + name + ": " + strerror(error),
                StatusFromErrno(error));
}

// Gives the file `to` the extended attribute `name` of the file `from`,
// unless it holds that value already. One that `from` turns out not to
// have, or that its file system does not know, is nothing to keep.
long KeepAttribute(const std::string& path, int from, int to, const char* name) {
  std::string value;
  ssize_t length = -1;
  for (int attempt = 0; attempt < 3 && length < 0; ++attempt) {
    length = fgetxattr(from, name, nullptr, 0);
    if (length >= 0) {
      value.assign(static_cast<size_t>(length), '\0');
      length = fgetxattr(from, name, &value[0], value.size());
    }
    if (length < 0 && (errno == ENODATA || errno == ENOTSUP || errno == EOPNOTSUPP)) {
      return ERROR_SUCCESS;
    }
    if (length < 0 && errno != ERANGE) return CannotKeep(path, name, errno);
  }
  if (length < 0) return CannotKeep(path, name, errno);  // it kept growing
  value.resize(static_cast<size_t>(length));
  std::string now(value.size(), '\0');
  if (fgetxattr(to, name, &now[0], now.size()) == length && now == value) return ERROR_SUCCESS;
  if (fsetxattr(to, name, value.data(), value.size(), 0) != 0) {
    return CannotKeep(path, name, errno);
  }
  return ERROR_SUCCESS;
}

// Gives the file at `to` the extended attributes of the store open as
// `from`: POSIX ACLs and security labels among them, then the NTFS
// metadata that ntfs-3g and the kernel's ntfs3 show as attributes no list
// names: the file attributes (hidden, system, archive ...), and last the
// security descriptor, which the mode just set has rewritten and which may
// give the file to another owner. Returns 0, or the status of the first
// that could not be kept.
long CopyExtendedAttributes(const std::string& path, int from, int to) {
  static const char* const kUnlisted[] = {"system.ntfs_attrib", "system.ntfs_acl",
                                          "system.ntfs_security"};
  ssize_t size = flistxattr(from, nullptr, 0);
  std::string names(size > 0 ? static_cast<size_t>(size) : 0, '\0');
  if (size > 0) size = flistxattr(from, &names[0], names.size());
  if (size < 0 && errno != ENOTSUP) return RefuseErrno(path, errno);
  names.resize(size > 0 ? static_cast<size_t>(size) : 0);
  for (size_t at = 0; at < names.size(); at += strlen(names.c_str() + at) + 1) {
    if (long status = KeepAttribute(path, from, to, names.c_str() + at)) return status;
  }
  for (const char* name : kUnlisted) {
    if (long status = KeepAttribute(path, from, to, name)) return status;
  }
  return ERROR_SUCCESS;
}

// Gives the new file `to` the owner, group, mode and extended attributes of
// the store open as `from`. A writer who may not keep the owner keeps the
// group where it belongs to it; where the old owner would then lose access
// it had, the write is refused with 5.
long KeepOwnership(const std::string& path, int from, int to) {
  struct stat old, now;
  if (fstat(from, &old) != 0) return RefuseErrno(path, errno);
  if (fchown(to, old.st_uid, old.st_gid) != 0) {
    // Not the owner: the group, where the writer belongs to it. Whether the
    // old owner keeps its access is checked below either way.
    [[maybe_unused]] int group_kept = fchown(to, static_cast<uid_t>(-1), old.st_gid);
  }
  if (fstat(to, &now) != 0) return RefuseErrno(path, errno);
  mode_t owner_had = (old.st_mode >> 6) & 06;
  mode_t owner_keeps =
      (old.st_mode & 06) | (now.st_gid == old.st_gid ? (old.st_mode >> 3) & 06 : 0);
  if (now.st_uid != old.st_uid && (owner_had & ~owner_keeps) != 0) {
    return Refuse(path,
                  "rewritten by this user, it would no longer be readable and writable by its "
                  "owner",
                  ERROR_ACCESS_DENIED);
  }
  if (fchmod(to, old.st_mode & 07777) != 0) return RefuseErrno(path, errno);
  return CopyExtendedAttributes(path, from, to);
}

// Takes the exclusive flock of `fd`, waiting for it where `wait`. Returns
// 0 or an errno value.
int Flock(int fd, bool wait) {
  while (flock(fd, LOCK_EX | (wait ? 0 : LOCK_NB)) != 0) {
    if (errno != EINTR) return errno;
  }
  return 0;
}

// Puts the complete new file `temp` in place of the store, which did not
// exist, only where no file has come under its name meanwhile. Returns 0,
// 183 (unsaid) when one has, or a status, said.
long PlaceNewStore(const StoreLocation& at, const std::string& temp) {
  const int folder = at.folder.get();
  const char *from = temp.c_str(), *to = at.name.c_str();
  if (renameat2(folder, from, folder, to, RENAME_NOREPLACE) == 0) return ERROR_SUCCESS;
  // A file system that cannot refuse in a rename (FUSE ones such as
  // ntfs-3g) can in a link; one that has no links either (exFAT through
  // FUSE) is given a plain rename.
  if (errno == EINVAL || errno == ENOSYS) {
    if (linkat(folder, from, folder, to, 0) == 0) {
      unlinkat(folder, from, 0);
      return ERROR_SUCCESS;
    }
    if ((errno == EPERM || errno == EOPNOTSUPP || errno == ENOSYS) &&
        renameat(folder, from, folder, to) == 0) {
      return ERROR_SUCCESS;
    }
  }
  if (errno == EEXIST) return ERROR_ALREADY_EXISTS;
  return RefuseErrno(at.path, errno);
}

// The new version of a store, beside it: made by this process and by no
// one else, locked while it is written so that no other writer takes it for
// one a killed writer left, and removed when it goes out of scope unless it
// was put in place.
class TempFile {
 public:
  explicit TempFile(const StoreLocation& at) : at_(at) {}
  ~TempFile() {
    if (!name_.empty()) unlinkat(at_.folder.get(), name_.c_str(), 0);
  }
  TempFile(const TempFile&) = delete;
  TempFile& operator=(const TempFile&) = delete;

  int fd() const { return fd_.get(); }

  // Makes the file. Returns 0 or a status, said.
  long Create() {
    std::string prefix = TempPrefix(at_.name);
    static std::atomic<unsigned> counter{0};
    for (int attempt = 0; attempt < 100; ++attempt) {
      uint64_t seed = static_cast<uint64_t>(getpid()) * 2654435761u ^
                      std::chrono::steady_clock::now().time_since_epoch().count() ^ counter++ << 20;
      std::string name = prefix;
      for (int i = 0; i < 6; ++i, seed /= 62) name += kTempLetters[seed % 62];
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

  // Renames it over the store, or where there was none, puts it in place
  // only where no file has come meanwhile. Returns 0, 183 (unsaid) when one
  // has, or a status, said.
  long Publish(bool replacing) {
    long status = ERROR_SUCCESS;
    if (!replacing) {
      status = PlaceNewStore(at_, name_);
    } else if (renameat(at_.folder.get(), name_.c_str(), at_.folder.get(), at_.name.c_str()) != 0) {
      status = RefuseErrno(at_.path, errno);
    }
    if (status == ERROR_SUCCESS) name_.clear();
    return status;
  }

 private:
  const StoreLocation& at_;
  Fd fd_;
  std::string name_;  // while it is there to remove
};

// Writes `file` to the new file `fd`. Returns 0 or a status, said.
long WriteNew(const std::string& path, const NewContent& file, int fd) {
  long status = file.write(fd);
  if (status == ERROR_SUCCESS || file.says_why) return status;
  return Refuse(path,
                status == ERROR_DISK_FULL ? "cannot be written: the disk is full"
                : status == ERROR_FILE_TOO_LARGE
                    ? "cannot be written: larger than the file size limit allows"
                    : "cannot be written",
                status);
}

// Gives a new store's file the mode a new file of the user's gets.
long GiveNewFileMode(int fd) {
  mode_t mask = umask(0);
  umask(mask);
  fchmod(fd, 0666 & ~mask);
  return ERROR_SUCCESS;
}

// Whether the old file `old` is still the `version` read, and still holds
// the bytes `file` was made from: another program that changed it meanwhile,
// without the lock, fails the write. One that stored into a page it had
// already made dirty, through a shared mapping, left no time behind: its
// bytes tell. Returns 0 or a status, said.
long StillAsRead(const std::string& path, const Fd& old, const FileIdentity& version,
                 const NewContent& file) {
  struct stat now;
  if (fstat(old.get(), &now) != 0) return RefuseErrno(path, errno);
  long status = FileIdentity(now) == version
                    ? (file.made_from ? file.made_from(old.get()) : ERROR_SUCCESS)
                    : ERROR_REGISTRY_IO_FAILED;
  if (status == ERROR_REGISTRY_IO_FAILED) {
    return Refuse(path, "changed by another program while being written", status);
  }
  if (status != ERROR_SUCCESS) {
    return Refuse(path, "cannot be read again", status);
  }
  return ERROR_SUCCESS;
}

// Once it is the store's owner's, that user could have put another file
// under its name: then that is what was renamed, and the write failed.
long CheckPlaced(const StoreLocation& at, const struct stat& written) {
  struct stat placed;
  if (fstatat(at.folder.get(), at.name.c_str(), &placed, AT_SYMLINK_NOFOLLOW) != 0 ||
      placed.st_dev != written.st_dev || placed.st_ino != written.st_ino) {
    return Refuse(at.path, "the new file was replaced before it was in place", ERROR_ACCESS_DENIED);
  }
  return ERROR_SUCCESS;
}

}  // namespace

FileIdentity::FileIdentity(const struct stat& st)
    : device(st.st_dev),
      inode(st.st_ino),
      size(st.st_size),
      modified(st.st_mtim),
      changed(st.st_ctim) {}

bool FileIdentity::operator==(const FileIdentity& o) const {
  return device == o.device && inode == o.inode && size == o.size &&
         modified.tv_sec == o.modified.tv_sec && modified.tv_nsec == o.modified.tv_nsec &&
         changed.tv_sec == o.changed.tv_sec && changed.tv_nsec == o.changed.tv_nsec;
}

long LockStoreFile(const StoreLocation& at, int fd,
                   std::chrono::steady_clock::time_point deadline) {
  for (int pause = 1;; pause = std::min(pause * 2, 50)) {
    int error = Flock(fd, false);
    if (error != 0 && error != EWOULDBLOCK) return RefuseErrno(at.path, error);
    // One replaced meanwhile, held or not, locks out no one.
    if (!StillNamed(at, at.name, fd)) return ERROR_FILE_NOT_FOUND;
    if (error == 0) return ERROR_SUCCESS;
    if (std::chrono::steady_clock::now() >= deadline) {
      return Refuse(at.path, "its lock is held by another process for 10 s; gave up",
                    ERROR_TIMEOUT);
    }
    usleep(static_cast<useconds_t>(pause) * 1000);
  }
}

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

long ReplaceFile(const StoreLocation& at, const Fd& old, const FileIdentity& version,
                 const NewContent& file) {
  // Renaming over a file needs only its folder's permission; the file's own
  // is what the user set for the store.
  if (old.valid() && faccessat(at.folder.get(), at.name.c_str(), W_OK, 0) != 0) {
    return RefuseErrno(at.path, errno);
  }
  TempFile temp(at);
  if (long status = temp.Create()) return status;
  if (long status = WriteNew(at.path, file, temp.fd())) return status;
  if (long status =
          old.valid() ? KeepOwnership(at.path, old.get(), temp.fd()) : GiveNewFileMode(temp.fd())) {
    return status;
  }
  // Flushed first: the check after it is the last step before the rename.
  struct stat written;
  if (fsync(temp.fd()) != 0 || fstat(temp.fd(), &written) != 0) {
    return RefuseErrno(at.path, errno);
  }
  if (old.valid()) {
    if (long status = StillAsRead(at.path, old, version, file)) return status;
  }
  // The new file stays open, and locked, until it is in place.
  if (long status = temp.Publish(old.valid())) return status;
  if (long status = CheckPlaced(at, written)) return status;
  Fd folder(openat(at.folder.get(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (folder.valid()) fsync(folder.get());
  return ERROR_SUCCESS;
}

long SameBytes(int fd, std::string_view bytes) {
  std::string chunk(std::min<size_t>(bytes.size() + 1, size_t{1} << 20), '\0');
  for (size_t at = 0;;) {
    ssize_t n = pread(fd, &chunk[0], chunk.size(), static_cast<off_t>(at));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      long status = StatusFromErrno(errno);  // never taken for a change
      return status == ERROR_REGISTRY_IO_FAILED ? ERROR_READ_FAULT : status;
    }
    size_t got = static_cast<size_t>(n);
    if (got == 0) return at == bytes.size() ? ERROR_SUCCESS : ERROR_REGISTRY_IO_FAILED;
    if (got > bytes.size() - at || memcmp(chunk.data(), bytes.data() + at, got) != 0) {
      return ERROR_REGISTRY_IO_FAILED;
    }
    at += got;
  }
}

long WritePieces(int fd, std::initializer_list<std::string_view> pieces) {
  // Its blocks at once, where the file system can: cheaper, and a full disk
  // is found before anything is written.
  off_t size = 0;
  for (std::string_view piece : pieces) size += static_cast<off_t>(piece.size());
  if (size > 0 && fallocate(fd, 0, 0, size) != 0 && errno == ENOSPC) return ERROR_DISK_FULL;
  for (std::string_view piece : pieces) {
    while (!piece.empty()) {
      ssize_t n = write(fd, piece.data(), piece.size());
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) return StatusFromErrno(errno);
      piece.remove_prefix(static_cast<size_t>(n));
    }
  }
  return ERROR_SUCCESS;
}

}  // namespace fileregistry
