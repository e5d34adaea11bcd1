#include "fileregistry/file/keep_owner.h"

#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "fileregistry/refusal.h"
#include "fileregistry/win32_registry.h"

namespace fileregistry {
namespace {

LSTATUS CannotKeep(const std::string& path, const char* name, int error) {
  return Refuse(path, std::string("cannot keep its attribute ") + name + ": " + strerror(error),
                StatusFromErrno(error));
}

// Gives the file `to` the extended attribute `name` of the file `from`,
// unless it holds that value already. One that `from` turns out not to
// have, or that its file system does not know, is nothing to keep.
LSTATUS KeepAttribute(const std::string& path, int from, int to, const char* name) {
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
LSTATUS CopyExtendedAttributes(const std::string& path, int from, int to) {
  static const char* const kUnlisted[] = {"system.ntfs_attrib", "system.ntfs_acl",
                                          "system.ntfs_security"};
  ssize_t size = flistxattr(from, nullptr, 0);
  std::string names(size > 0 ? static_cast<size_t>(size) : 0, '\0');
  if (size > 0) size = flistxattr(from, &names[0], names.size());
  if (size < 0 && errno != ENOTSUP) return RefuseErrno(path, errno);
  names.resize(size > 0 ? static_cast<size_t>(size) : 0);
  for (size_t at = 0; at < names.size(); at += strlen(names.c_str() + at) + 1) {
    if (LSTATUS status = KeepAttribute(path, from, to, names.c_str() + at)) return status;
  }
  for (const char* name : kUnlisted) {
    if (LSTATUS status = KeepAttribute(path, from, to, name)) return status;
  }
  return ERROR_SUCCESS;
}

// Gives the new file `to` the owner, group, mode and extended attributes of
// the store open as `from`, as KeepOwner says.
LSTATUS KeepOwnership(const std::string& path, int from, int to) {
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

// Gives a new store's file the mode a new file of the user's gets.
LSTATUS GiveNewFileMode(int fd) {
  mode_t mask = umask(0);
  umask(mask);
  fchmod(fd, 0666 & ~mask);
  return ERROR_SUCCESS;
}

}  // namespace

LSTATUS KeepOwner(const std::string& path, const Fd& old, int to) {
  return old.valid() ? KeepOwnership(path, old.get(), to) : GiveNewFileMode(to);
}

}  // namespace fileregistry
