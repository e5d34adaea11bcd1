#include "fileregistry/store_file.h"

#include <dirent.h>
#include <fcntl.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "fileregistry/file_map.h"
#include "fileregistry/hive_store.h"
#include "fileregistry/reg_text.h"
#include "fileregistry/win32_registry.h"

namespace fileregistry {

long Refuse(const std::string& where, const std::string& reason, long status) {
  static std::mutex mutex;
  static std::string* last_said = new std::string;  // left for the process's end
  std::string line = std::string(program_invocation_short_name) + ": " + where + ": " + reason;
  std::lock_guard<std::mutex> lock(mutex);
  if (line != *last_said) {
    fprintf(stderr, "%s\n", line.c_str());
    *last_said = line;
  }
  return status;
}

namespace {

// A file descriptor, closed when it goes out of scope.
class Fd {
 public:
  explicit Fd(int fd) : fd_(fd) {}
  ~Fd() {
    if (fd_ >= 0) close(fd_);
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int get() const { return fd_; }
  int Release() {
    int fd = fd_;
    fd_ = -1;
    return fd;
  }

 private:
  int fd_;
};

long StatusFromErrno(int error) {
  switch (error) {
    case ENOENT:
    case ENOTDIR: return ERROR_PATH_NOT_FOUND;
    case EACCES:
    case EPERM:
    case EISDIR: return ERROR_ACCESS_DENIED;
    case EROFS: return ERROR_WRITE_PROTECT;
    case ENOSPC:
    case EDQUOT: return ERROR_DISK_FULL;
    case EFBIG: return ERROR_FILE_TOO_LARGE;
    case ENOMEM: return ERROR_NOT_ENOUGH_MEMORY;
    case ELOOP: return ERROR_CANT_RESOLVE_FILENAME;
    default: return ERROR_REGISTRY_IO_FAILED;
  }
}

// Refuses with the status and the system's words for `error`.
long RefuseErrno(const std::string& path, int error) {
  long status = StatusFromErrno(error);
  return Refuse(path, std::string(strerror(error)) + " (rc " + std::to_string(status) + ")",
                status);
}

// What tells one version of the file from another: every replacement is a
// new inode, and the times catch edits made in place by other tools.
struct FileIdentity {
  dev_t device = 0;
  ino_t inode = 0;
  off_t size = -1;
  timespec modified = {}, changed = {};

  explicit FileIdentity(const struct stat& st)
      : device(st.st_dev),
        inode(st.st_ino),
        size(st.st_size),
        modified(st.st_mtim),
        changed(st.st_ctim) {}
  FileIdentity() = default;
  bool operator==(const FileIdentity& o) const {
    return device == o.device && inode == o.inode && size == o.size &&
           modified.tv_sec == o.modified.tv_sec && modified.tv_nsec == o.modified.tv_nsec &&
           changed.tv_sec == o.changed.tv_sec && changed.tv_nsec == o.changed.tv_nsec;
  }
};

// The last store read by this process, so that the calls of one run read
// the file once: what it holds, or why it is not a store.
struct Cache {
  std::string path;
  FileIdentity identity;
  std::shared_ptr<const Store> store;
  long refused = 0;
};
std::mutex cache_mutex;  // the Win32 calls we imitate may be made from any thread
Cache& TheCache() {
  static Cache* cache = new Cache;  // left for the process's end to reclaim
  return *cache;
}

// Far beyond any export of a whole registry, and refused unread.
const off_t kLargestStore = off_t{1} << 30;
const char kLargestStoreText[] = "larger than 1 GiB, the most a store may be (rc 223)";

// Memory for a file's bytes, mapped with its pages in place: one call
// instead of a fault for every page of a large store.
struct FileBuffer {
  char* data = nullptr;
  size_t size = 0, capacity = 0;

  explicit FileBuffer(size_t room) : capacity(room) {
    void* memory = mmap(nullptr, capacity, PROT_READ | PROT_WRITE,
                        MAP_PRIVATE | MAP_ANONYMOUS | MAP_POPULATE, -1, 0);
    data = memory == MAP_FAILED ? nullptr : static_cast<char*>(memory);
  }
  ~FileBuffer() {
    if (data != nullptr) munmap(data, capacity);
  }
  FileBuffer(const FileBuffer&) = delete;
  FileBuffer& operator=(const FileBuffer&) = delete;
};

// Reads the whole file. The store is replaced, never changed in place, so
// its size is known; a file that grows meanwhile is read again, bigger.
long ReadAll(int fd, off_t size_hint, std::shared_ptr<FileBuffer>* buffer) {
  size_t room = static_cast<size_t>(size_hint) + 4096;
  for (;;) {
    if (room > static_cast<size_t>(kLargestStore) + 4096) return ERROR_FILE_TOO_LARGE;
    auto file = std::make_shared<FileBuffer>(room);
    if (file->data == nullptr) return ERROR_NOT_ENOUGH_MEMORY;
    size_t used = 0;
    for (;;) {
      ssize_t n = pread(fd, file->data + used, room - used, static_cast<off_t>(used));
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) return StatusFromErrno(errno);
      if (n == 0) break;
      used += static_cast<size_t>(n);
      if (used == room) break;
    }
    if (used < room) {
      file->size = used;
      *buffer = std::move(file);
      return ERROR_SUCCESS;
    }
    room *= 2;
  }
}

std::string FolderOf(const std::string& path) {
  size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

// Follows the symlinks at `path` to the file they name, as the kernel's
// protected_symlinks does whatever it is set to: in a sticky folder that
// anyone may write, a symlink is followed only when it belongs to the caller
// or to the folder's owner, so that no other user can send our writes
// elsewhere. A link to nothing is the missing file it names.
long ResolveStore(const std::string& path, std::string* target) {
  std::string current = path;
  for (int links = 0; links < 40; ++links) {
    struct stat link;
    if (lstat(current.c_str(), &link) != 0 || !S_ISLNK(link.st_mode)) {
      *target = current;
      return ERROR_SUCCESS;
    }
    std::string folder = FolderOf(current);
    struct stat dir;
    if (stat(folder.c_str(), &dir) == 0 && (dir.st_mode & S_ISVTX) && (dir.st_mode & S_IWOTH) &&
        link.st_uid != geteuid() && link.st_uid != dir.st_uid) {
      return Refuse(current, "a symlink of another user in a sticky folder (rc 5)",
                    ERROR_ACCESS_DENIED);
    }
    char name[PATH_MAX];
    ssize_t n = readlink(current.c_str(), name, sizeof(name));
    if (n < 0) return RefuseErrno(current, errno);
    if (n == static_cast<ssize_t>(sizeof(name))) return RefuseErrno(current, ENAMETOOLONG);
    current = name[0] == '/' ? std::string(name, n) : folder + "/" + std::string(name, n);
  }
  return RefuseErrno(path, ELOOP);
}

long LoadResolved(const std::string& path, std::shared_ptr<const Store>* store) {
  Fd fd(open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC));
  if (fd.get() < 0) {
    if (errno == ENOENT || errno == ENOTDIR) {
      *store = std::make_shared<RegText>();
      return ERROR_SUCCESS;
    }
    return RefuseErrno(path, errno);
  }
  struct stat st;
  if (fstat(fd.get(), &st) != 0) return RefuseErrno(path, errno);
  if (S_ISDIR(st.st_mode)) return Refuse(path, "is a folder (rc 5)", ERROR_ACCESS_DENIED);
  if (!S_ISREG(st.st_mode)) return Refuse(path, "not a regular file", ERROR_BADDB);

  std::lock_guard<std::mutex> lock(cache_mutex);
  Cache& cache = TheCache();
  FileIdentity identity(st);
  if (cache.path == path && cache.identity == identity) {
    if (cache.refused != 0) return cache.refused;  // said once already
    *store = cache.store;
    return ERROR_SUCCESS;
  }
  long refused = 0;
  std::string where = path, why;
  std::shared_ptr<const Store> loaded;
  // A file that cannot be a store is not read further than its first bytes.
  char head[64];
  ssize_t head_size = pread(fd.get(), head, sizeof(head), 0);
  std::string_view head_bytes(head, head_size > 0 ? static_cast<size_t>(head_size) : 0);
  if (st.st_size > kLargestStore) {
    refused = ERROR_FILE_TOO_LARGE;
    why = kLargestStoreText;
  } else if (IsHive(head_bytes)) {
    refused = OpenHive(path, fd.get(), head_bytes, &loaded, &why);
  } else if (!MayBeginStore(head_bytes)) {
    refused = ERROR_BADDB;
    where += ":1";
    why = "not a registry file";
  } else {
    // Mapped where it can be, read where it cannot.
    std::shared_ptr<const void> owner;
    std::string_view text;
    std::shared_ptr<FileMap> map = FileMap::Map(fd.get(), static_cast<size_t>(st.st_size));
    if (map) {
      owner = map;
      text = map->bytes();
    } else {
      std::shared_ptr<FileBuffer> buffer;
      if (long status = ReadAll(fd.get(), st.st_size, &buffer)) {
        return Refuse(path,
                      status == ERROR_FILE_TOO_LARGE
                          ? kLargestStoreText
                          : "cannot be read (rc " + std::to_string(status) + ")",
                      status);
      }
      text = std::string_view(buffer->data, buffer->size);
      owner = std::move(buffer);
    }
    auto parsed = std::make_shared<RegText>();
    ParseError error;
    bool parsed_ok = parsed->Parse(std::move(owner), text, &error);
    if (map) parsed->SetIntactCheck([map] { return map->Intact(); });
    if (!parsed->Intact()) {
      cache = Cache();
      return Refuse(path, std::string(parsed->Damage()) + " (rc 1016)", ERROR_REGISTRY_IO_FAILED);
    }
    if (parsed_ok) {
      loaded = parsed;
    } else {
      refused = ERROR_BADDB;
      where += ":" + std::to_string(error.line);
      why = error.reason;
    }
  }
  if (refused != 0) {
    cache = Cache{path, identity, nullptr, refused};
    return Refuse(where, why, refused);
  }
  cache = Cache{path, identity, loaded, 0};
  *store = loaded;
  return ERROR_SUCCESS;
}

}  // namespace

long LoadStore(const std::string& path, std::shared_ptr<const Store>* store) {
  std::string target;
  if (long status = ResolveStore(path, &target)) return status;
  return LoadResolved(target, store);
}

namespace {

// New versions of the store are written to ".<name>.tmp-XXXXXX" beside it.
std::string TempPrefix(const std::string& target) {
  size_t slash = target.rfind('/');
  std::string folder = slash == std::string::npos ? "" : target.substr(0, slash + 1);
  return folder + "." + target.substr(slash + 1) + ".tmp-";
}

// Removes what writers killed before their rename left behind. Called under
// the lock, when no other writer can be at work.
void RemoveStaleTempFiles(const std::string& target) {
  std::string prefix = TempPrefix(target);
  size_t slash = prefix.rfind('/');
  std::string name_prefix = prefix.substr(slash + 1);
  DIR* dir = opendir(FolderOf(target).c_str());
  if (dir == nullptr) return;
  while (dirent* entry = readdir(dir)) {
    std::string name = entry->d_name;
    if (name.size() == name_prefix.size() + 6 &&
        name.compare(0, name_prefix.size(), name_prefix) == 0) {
      unlinkat(dirfd(dir), name.c_str(), 0);
    }
  }
  closedir(dir);
}

long MakeFolders(const std::string& folder) {
  for (size_t slash = folder.find('/', 1);; slash = folder.find('/', slash + 1)) {
    std::string part = folder.substr(0, slash);
    if (mkdir(part.c_str(), 0777) != 0 && errno != EEXIST) return ERROR_PATH_NOT_FOUND;
    if (slash == std::string::npos) break;
  }
  struct stat st;
  if (stat(folder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return ERROR_PATH_NOT_FOUND;
  return ERROR_SUCCESS;
}

// Takes the exclusive lock beside the store. The lock file is opened for
// reading only (flock needs no more, so a user who may write the store is
// not kept out by another's lock file), never through a symlink, and waited
// for at most a bounded time: anyone who can read it can hold it.
long TakeLock(const std::string& lock_path, int* lock) {
  const int kWaitMilliseconds = 10000;
  Fd fd(open(lock_path.c_str(), O_RDONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0666));
  if (fd.get() < 0) {
    if (errno == ELOOP)
      return Refuse(lock_path, "the lock is a symlink (rc 5)", ERROR_ACCESS_DENIED);
    return RefuseErrno(lock_path, errno);
  }
  struct stat st;
  if (fstat(fd.get(), &st) != 0) return RefuseErrno(lock_path, errno);
  if (!S_ISREG(st.st_mode)) {
    return Refuse(lock_path, "the lock is not a regular file (rc 5)", ERROR_ACCESS_DENIED);
  }
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kWaitMilliseconds);
  for (int pause = 1; flock(fd.get(), LOCK_EX | LOCK_NB) != 0;) {
    if (errno == EINTR) continue;
    if (errno != EWOULDBLOCK) return RefuseErrno(lock_path, errno);
    if (std::chrono::steady_clock::now() >= deadline) {
      return Refuse(lock_path, "held by another process for 10 s; gave up (rc 1460)",
                    ERROR_TIMEOUT);
    }
    usleep(static_cast<useconds_t>(pause) * 1000);
    pause = std::min(pause * 2, 50);
  }
  *lock = fd.Release();
  return ERROR_SUCCESS;
}

// Gives the file at `fd` the extended attributes of `from`: POSIX ACLs and
// security labels among them. Returns 0, or the status of the first that
// could not be kept.
long CopyExtendedAttributes(const std::string& from, int fd) {
  ssize_t size = llistxattr(from.c_str(), nullptr, 0);
  if (size < 0)
    return errno == ENOTSUP || errno == ENOENT ? ERROR_SUCCESS : RefuseErrno(from, errno);
  std::string names(static_cast<size_t>(size), '\0');
  size = llistxattr(from.c_str(), &names[0], names.size());
  if (size < 0) return RefuseErrno(from, errno);
  names.resize(static_cast<size_t>(size));
  for (size_t at = 0; at < names.size(); at += strlen(names.c_str() + at) + 1) {
    const char* name = names.c_str() + at;
    ssize_t length = lgetxattr(from.c_str(), name, nullptr, 0);
    std::string value(length > 0 ? static_cast<size_t>(length) : 0, '\0');
    if (length < 0 || lgetxattr(from.c_str(), name, &value[0], value.size()) != length ||
        fsetxattr(fd, name, value.data(), value.size(), 0) != 0) {
      int error = errno;
      return Refuse(from,
                    std::string("cannot keep its attribute ") + name + ": " + strerror(error) +
                        " (rc " + std::to_string(StatusFromErrno(error)) + ")",
                    StatusFromErrno(error));
    }
  }
  return ERROR_SUCCESS;
}

// Writes the new file beside `target`, with the old file's owner,
// mode and extended attributes, flushes it, renames it over `target` and
// flushes the folder. Once the rename is done the write has succeeded: a
// folder that cannot be opened (one the writer may write but not read) is
// not flushed, so a crash soon after may bring back the old file.
long ReplaceFile(const std::string& target, const Replacement& file) {
  // Renaming over a file needs only its folder's permission; the file's own
  // is what the user set for the store.
  if (access(target.c_str(), F_OK) == 0 && access(target.c_str(), W_OK) != 0) {
    return RefuseErrno(target, EACCES);
  }
  std::string temp = TempPrefix(target) + "XXXXXX";
  Fd fd(mkstemp(&temp[0]));
  if (fd.get() < 0) return RefuseErrno(FolderOf(target), errno);

  long status = ERROR_SUCCESS;
  struct stat old;
  if (stat(target.c_str(), &old) == 0) {
    (void)fchown(fd.get(), old.st_uid, old.st_gid);
    fchmod(fd.get(), old.st_mode & 07777);
    status = CopyExtendedAttributes(target, fd.get());
  } else {
    mode_t mask = umask(0);
    umask(mask);
    fchmod(fd.get(), 0666 & ~mask);
  }
  if (status == ERROR_SUCCESS) {
    status = file.write(fd.get(), temp);
    if (status == ERROR_SUCCESS && fsync(fd.get()) != 0) status = StatusFromErrno(errno);
    if (status == ERROR_SUCCESS && close(fd.Release()) != 0) status = StatusFromErrno(errno);
    if (status != ERROR_SUCCESS) {
      Refuse(target, "cannot be written (rc " + std::to_string(status) + ")", status);
    }
  }
  Fd folder(open(FolderOf(target).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (status == ERROR_SUCCESS && rename(temp.c_str(), target.c_str()) != 0) {
    status = RefuseErrno(target, errno);
  }
  if (status != ERROR_SUCCESS) {
    unlink(temp.c_str());
    return status;
  }
  if (folder.get() >= 0) fsync(folder.get());
  return ERROR_SUCCESS;
}

}  // namespace

namespace {

// The home folder of user `uid` in /etc/passwd, read directly: the program
// is linked statically, and so does without the name service's modules.
std::string HomeFromPasswd(uid_t uid) {
  std::string home;
  if (FILE* file = fopen("/etc/passwd", "re")) {
    while (const passwd* entry = fgetpwent(file)) {
      if (entry->pw_uid == uid) {
        home = entry->pw_dir;
        break;
      }
    }
    fclose(file);
  }
  return home;
}

}  // namespace

long StoreNotIntact(const std::string& path, const Store& store) {
  {
    std::lock_guard<std::mutex> lock(cache_mutex);
    TheCache() = Cache();
  }
  return Refuse(path, std::string(store.Damage()) + " (rc 1016)", ERROR_REGISTRY_IO_FAILED);
}

long StorePath(std::string* path) {
  const char* named = getenv("KOVALSET_REGISTRY");
  if (named != nullptr && named[0] != '\0') {
    *path = named;
    return ERROR_SUCCESS;
  }
  std::string data_home;
  if (const char* xdg = getenv("XDG_DATA_HOME"); xdg != nullptr && xdg[0] == '/') {
    data_home = xdg;
  } else {
    // $HOME, else the password database's home folder, as under cron.
    std::string home = getenv("HOME") != nullptr ? getenv("HOME") : "";
    if (home.empty() || home[0] != '/') home = HomeFromPasswd(getuid());
    if (home.empty() || home[0] != '/') {
      return Refuse("no home folder to keep the store in", "set KOVALSET_REGISTRY or HOME (rc 3)",
                    ERROR_PATH_NOT_FOUND);
    }
    data_home = home + "/.local/share";
  }
  *path = data_home + "/kovalset/hklm.reg";
  return ERROR_SUCCESS;
}

long UpdateStore(const std::string& path, bool make_folders,
                 const std::function<long(const Store&, Replacement*)>& edit) {
  std::string target;
  if (long status = ResolveStore(path, &target)) return status;
  if (target != path && access(target.c_str(), F_OK) != 0) {
    return RefuseErrno(path, ENOENT);  // a symlink to nothing is not written through
  }
  if (make_folders) {
    if (long status = MakeFolders(FolderOf(target))) {
      return Refuse(FolderOf(target), "cannot make the folder (rc " + std::to_string(status) + ")",
                    status);
    }
  }
  int lock_fd = -1;
  if (long status = TakeLock(target + ".lock", &lock_fd)) return status;
  Fd lock(lock_fd);

  std::shared_ptr<const Store> store;
  if (long status = LoadResolved(target, &store)) return status;
  RemoveStaleTempFiles(target);
  Replacement file;
  long edited = edit(*store, &file);
  if (!store->Intact()) return StoreNotIntact(target, *store);
  if (edited != ERROR_SUCCESS) return edited;
  if (!file.write) return ERROR_SUCCESS;
  if (long status = ReplaceFile(target, file)) return status;

  std::lock_guard<std::mutex> guard(cache_mutex);
  TheCache() = Cache();  // the next call maps the new file
  return ERROR_SUCCESS;
}

long WriteFile(int fd, std::initializer_list<std::string_view> pieces) {
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
