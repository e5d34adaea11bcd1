#include "fileregistry/file/replace_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "fileregistry/refusal.h"
#include "fileregistry/win32_registry.h"

namespace fileregistry {
namespace {

// Puts the complete new file `temp` in place of the store, which did not
// exist, only where no file has come under its name meanwhile. Returns 0,
// 183 (unsaid) when one has, or a status, said.
LSTATUS PlaceNewStore(const StoreLocation& at, const std::string& temp) {
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

LSTATUS MayReplace(const StoreLocation& at, const Fd& old) {
  if (old.valid() && faccessat(at.folder.get(), at.name.c_str(), W_OK, 0) != 0) {
    return RefuseErrno(at.path, errno);
  }
  return ERROR_SUCCESS;
}

// One that stored into a page it had already made dirty, through a shared
// mapping, left no time behind: its bytes tell.
LSTATUS StillAsRead(const std::string& path, const Fd& old, const FileIdentity& version,
                    const std::function<LSTATUS(int fd)>& made_from) {
  if (!old.valid()) return ERROR_SUCCESS;
  struct stat now;
  if (fstat(old.get(), &now) != 0) return RefuseErrno(path, errno);
  LSTATUS status = FileIdentity(now) == version ? (made_from ? made_from(old.get()) : ERROR_SUCCESS)
                                                : ERROR_REGISTRY_IO_FAILED;
  if (status == ERROR_REGISTRY_IO_FAILED) {
    return Refuse(path, "changed by another program while being written", status);
  }
  if (status != ERROR_SUCCESS) {
    return Refuse(path, "cannot be read again", status);
  }
  return ERROR_SUCCESS;
}

LSTATUS PutInPlace(const StoreLocation& at, const std::string& name, bool replacing) {
  if (!replacing) return PlaceNewStore(at, name);
  if (renameat(at.folder.get(), name.c_str(), at.folder.get(), at.name.c_str()) != 0) {
    return RefuseErrno(at.path, errno);
  }
  return ERROR_SUCCESS;
}

LSTATUS CheckPlaced(const StoreLocation& at, const struct stat& written) {
  struct stat placed;
  if (fstatat(at.folder.get(), at.name.c_str(), &placed, AT_SYMLINK_NOFOLLOW) != 0 ||
      placed.st_dev != written.st_dev || placed.st_ino != written.st_ino) {
    return Refuse(at.path, "the new file was replaced before it was in place", ERROR_ACCESS_DENIED);
  }
  return ERROR_SUCCESS;
}

void FlushFolder(const StoreLocation& at) {
  Fd folder(openat(at.folder.get(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (folder.valid()) fsync(folder.get());
}

}  // namespace fileregistry
