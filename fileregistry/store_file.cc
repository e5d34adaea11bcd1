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
#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <mutex>
#include <vector>

#include "fileregistry/file_map.h"
#include "fileregistry/hive_store.h"
#include "fileregistry/path_walk.h"
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
    case EMFILE:
    case ENFILE: return ERROR_TOO_MANY_OPEN_FILES;
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

namespace {

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

// Reads the store at `at`, and gives its open file to `*file` (not valid
// when there is none) and, when asked, what that version of it was.
long LoadAt(const StoreLocation& at, std::shared_ptr<const Store>* store, Fd* file,
            FileIdentity* version = nullptr) {
  const std::string& path = at.path;
  Fd fd(at.folder.valid() ? openat(at.folder.get(), at.name.c_str(),
                                   O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC)
                          : -1);
  if (!at.folder.valid()) errno = ENOENT;
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
  if (!S_ISREG(st.st_mode)) return Refuse(path, "not a regular file (rc 1009)", ERROR_BADDB);

  std::lock_guard<std::mutex> lock(cache_mutex);
  Cache& cache = TheCache();
  FileIdentity identity(st);
  if (version != nullptr) *version = identity;
  if (cache.path == path && cache.identity == identity) {
    if (cache.refused != 0) return cache.refused;  // said once already
    *store = cache.store;
    *file = std::move(fd);
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
    refused = OpenHive(path, fd.get(), head_bytes, st.st_size, &loaded, &why);
    if (refused != 0 && why.empty()) return refused;  // said already
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
  *file = std::move(fd);
  return ERROR_SUCCESS;
}

}  // namespace

long LoadStore(const std::string& path, std::shared_ptr<const Store>* store) {
  StoreLocation at;
  if (long status = WalkToStore(path, false, &at)) return status;
  Fd file;
  return LoadAt(at, store, &file);
}

namespace {

// The name of a file beside store `name`: `name` and `suffix`, the name cut
// and marked with a hash of the whole where that would be too long.
std::string SideName(const std::string& name, const std::string& suffix) {
  if (name.size() + suffix.size() <= NAME_MAX) return name + suffix;
  char hash[20];
  snprintf(hash, sizeof(hash), "~%016zx", std::hash<std::string>()(name));
  return name.substr(0, NAME_MAX - suffix.size() - strlen(hash)) + hash + suffix;
}

// New versions of the store are written to ".<name>.tmp-XXXXXX" beside it.
std::string TempPrefix(const std::string& name) {
  std::string whole = SideName("." + name, ".tmp-XXXXXX");
  return whole.substr(0, whole.size() - 6);
}

// Removes what this user's writers, killed before their rename, left
// behind. Called under the lock, when no other writer can be at work.
void RemoveStaleTempFiles(const StoreLocation& at) {
  std::string prefix = TempPrefix(at.name);
  int fd = openat(at.folder.get(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  DIR* dir = fd >= 0 ? fdopendir(fd) : nullptr;
  if (dir == nullptr) {
    if (fd >= 0) close(fd);
    return;
  }
  while (dirent* entry = readdir(dir)) {
    std::string name = entry->d_name;
    struct stat st;
    if (name.size() == prefix.size() + 6 && name.compare(0, prefix.size(), prefix) == 0 &&
        fstatat(at.folder.get(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
        st.st_uid == geteuid()) {
      unlinkat(at.folder.get(), name.c_str(), 0);
    }
  }
  closedir(dir);
}

// Takes the exclusive lock beside the store. The lock file is opened for
// reading only (flock needs no more), never through a symlink, and waited
// for at most a bounded time: anyone who can read it can hold it. A new one
// is readable by everyone, whatever the umask, so that it keeps out no user
// who may write the store.
// Opens the lock file `name`, made readable by everyone if it is new.
Fd OpenLockFile(const StoreLocation& at, const std::string& name) {
  const int flags = O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC;
  Fd fd(openat(at.folder.get(), name.c_str(), flags | O_CREAT | O_EXCL, 0644));
  if (fd.valid()) {
    fchmod(fd.get(), 0644);
  } else if (errno == EEXIST) {
    fd = Fd(openat(at.folder.get(), name.c_str(), flags));
  }
  return fd;
}

// Whether the lock file `fd` still stands under `name`: one that was
// replaced meanwhile locks out no one.
bool StillTheLock(const StoreLocation& at, const std::string& name, int fd) {
  struct stat held, named;
  return fstat(fd, &held) == 0 &&
         fstatat(at.folder.get(), name.c_str(), &named, AT_SYMLINK_NOFOLLOW) == 0 &&
         held.st_dev == named.st_dev && held.st_ino == named.st_ino;
}

long TakeLock(const StoreLocation& at, Fd* lock) {
  const int kWaitMilliseconds = 10000;
  std::string name = SideName(at.name, ".lock"), its_lock = "its lock " + name;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kWaitMilliseconds);
  for (int pause = 1;; pause = std::min(pause * 2, 50)) {
    Fd fd = OpenLockFile(at, name);
    if (!fd.valid() && errno == ELOOP) {
      return Refuse(at.path, its_lock + " is a symlink (rc 5)", ERROR_ACCESS_DENIED);
    }
    struct stat st;
    if (!fd.valid() || fstat(fd.get(), &st) != 0) {
      return RefuseErrno(at.path + ": " + its_lock, errno);
    }
    if (!S_ISREG(st.st_mode)) {
      return Refuse(at.path, its_lock + " is not a regular file (rc 5)", ERROR_ACCESS_DENIED);
    }
    int locked;
    while ((locked = flock(fd.get(), LOCK_EX | LOCK_NB)) != 0 && errno == EINTR) {
    }
    if (locked != 0 && errno != EWOULDBLOCK) return RefuseErrno(at.path + ": " + its_lock, errno);
    if (locked == 0 && StillTheLock(at, name, fd.get())) {
      *lock = std::move(fd);
      return ERROR_SUCCESS;
    }
    if (std::chrono::steady_clock::now() >= deadline) {
      return Refuse(at.path, its_lock + " is held by another process for 10 s; gave up (rc 1460)",
                    ERROR_TIMEOUT);
    }
    usleep(static_cast<useconds_t>(pause) * 1000);
  }
}

// Gives the file at `to` the extended attributes of the store open as
// `from`: POSIX ACLs and security labels among them. Returns 0, or the
// status of the first that could not be kept.
long CopyExtendedAttributes(const std::string& path, int from, int to) {
  ssize_t size = flistxattr(from, nullptr, 0);
  if (size < 0) return errno == ENOTSUP ? ERROR_SUCCESS : RefuseErrno(path, errno);
  std::string names(static_cast<size_t>(size), '\0');
  size = flistxattr(from, &names[0], names.size());
  if (size < 0) return RefuseErrno(path, errno);
  names.resize(static_cast<size_t>(size));
  for (size_t at = 0; at < names.size(); at += strlen(names.c_str() + at) + 1) {
    const char* name = names.c_str() + at;
    ssize_t length = fgetxattr(from, name, nullptr, 0);
    std::string value(length > 0 ? static_cast<size_t>(length) : 0, '\0');
    if (length < 0 || fgetxattr(from, name, &value[0], value.size()) != length ||
        fsetxattr(to, name, value.data(), value.size(), 0) != 0) {
      int error = errno;
      return Refuse(path,
                    std::string("cannot keep its attribute ") + name + ": " + strerror(error) +
                        " (rc " + std::to_string(StatusFromErrno(error)) + ")",
                    StatusFromErrno(error));
    }
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
  if (fchown(to, old.st_uid, old.st_gid) != 0) (void)fchown(to, static_cast<uid_t>(-1), old.st_gid);
  if (fstat(to, &now) != 0) return RefuseErrno(path, errno);
  mode_t owner_had = (old.st_mode >> 6) & 06;
  mode_t owner_keeps =
      (old.st_mode & 06) | (now.st_gid == old.st_gid ? (old.st_mode >> 3) & 06 : 0);
  if (now.st_uid != old.st_uid && (owner_had & ~owner_keeps) != 0) {
    return Refuse(path,
                  "rewritten by this user, it would no longer be readable and writable by its "
                  "owner (rc 5)",
                  ERROR_ACCESS_DENIED);
  }
  if (fchmod(to, old.st_mode & 07777) != 0) return RefuseErrno(path, errno);
  return CopyExtendedAttributes(path, from, to);
}

// A new file beside the store, made by this process and by no one else.
long MakeTempFile(const StoreLocation& at, Fd* fd, std::string* name) {
  std::string prefix = TempPrefix(at.name);
  const char kLetters[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
  static std::atomic<unsigned> counter{0};
  for (int attempt = 0; attempt < 100; ++attempt) {
    uint64_t seed = static_cast<uint64_t>(getpid()) * 2654435761u ^
                    std::chrono::steady_clock::now().time_since_epoch().count() ^ counter++ << 20;
    *name = prefix;
    for (int i = 0; i < 6; ++i, seed /= 62) *name += kLetters[seed % 62];
    *fd = Fd(openat(at.folder.get(), name->c_str(),
                    O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (fd->valid() || errno != EEXIST) break;
  }
  if (!fd->valid()) return RefuseErrno(at.path, errno);
  return ERROR_SUCCESS;
}

// Writes the new file beside the store (`old`, the old one, or not valid
// when there was none), gives it the old one's owner, mode and extended
// attributes once it is complete, flushes it, renames it over the store and
// flushes the folder. Once the rename is done the write has succeeded: a
// folder that cannot be opened (one the writer may write but not read) is
// not flushed, so a crash soon after may bring back the old file.
long ReplaceFile(const StoreLocation& at, const Fd& old, const FileIdentity& version,
                 const Replacement& file) {
  // Renaming over a file needs only its folder's permission; the file's own
  // is what the user set for the store.
  if (old.valid() && faccessat(at.folder.get(), at.name.c_str(), W_OK, 0) != 0) {
    return RefuseErrno(at.path, errno);
  }
  Fd fd;
  std::string temp;
  if (long status = MakeTempFile(at, &fd, &temp)) return status;
  long status = file.write(fd.get());
  if (status != ERROR_SUCCESS) {
    if (!file.says_why) {
      Refuse(at.path,
             status == ERROR_DISK_FULL ? "cannot be written: the disk is full (rc 112)"
                                       : "cannot be written (rc " + std::to_string(status) + ")",
             status);
    }
  } else if (old.valid()) {
    status = KeepOwnership(at.path, old.get(), fd.get());
  } else {
    mode_t mask = umask(0);
    umask(mask);
    fchmod(fd.get(), 0666 & ~mask);
  }
  // What was written is made of what was read: another program that changed
  // the file meanwhile, without the lock, fails the write.
  struct stat now;
  if (status == ERROR_SUCCESS && old.valid() &&
      (fstat(old.get(), &now) != 0 || !(FileIdentity(now) == version))) {
    status = Refuse(at.path, "changed by another program while being written (rc 1016)",
                    ERROR_REGISTRY_IO_FAILED);
  }
  struct stat written;
  if (status == ERROR_SUCCESS && (fsync(fd.get()) != 0 || fstat(fd.get(), &written) != 0)) {
    status = RefuseErrno(at.path, errno);
  }
  if (status == ERROR_SUCCESS && close(fd.Release()) != 0) status = RefuseErrno(at.path, errno);
  if (status == ERROR_SUCCESS &&
      renameat(at.folder.get(), temp.c_str(), at.folder.get(), at.name.c_str()) != 0) {
    status = RefuseErrno(at.path, errno);
  }
  // Once it is the store's owner's, that user could have put another file
  // under its name: then that is what was renamed, and the write failed.
  struct stat placed;
  if (status == ERROR_SUCCESS &&
      (fstatat(at.folder.get(), at.name.c_str(), &placed, AT_SYMLINK_NOFOLLOW) != 0 ||
       placed.st_dev != written.st_dev || placed.st_ino != written.st_ino)) {
    return Refuse(at.path, "the new file was replaced before it was in place (rc 5)",
                  ERROR_ACCESS_DENIED);
  }
  if (status != ERROR_SUCCESS) {
    unlinkat(at.folder.get(), temp.c_str(), 0);
    return status;
  }
  Fd folder(openat(at.folder.get(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (folder.valid()) fsync(folder.get());
  return ERROR_SUCCESS;
}

}  // namespace

namespace {

// The home folder of user `uid` in /etc/passwd, read directly: the program
// is linked statically, and so does without the name service's modules.
std::string HomeFromPasswd(uid_t uid) {
  std::string home;
  if (FILE* file = fopen("/etc/passwd", "re")) {
    passwd entry, *found = nullptr;
    std::vector<char> buffer(4096);
    for (;;) {
      int error = fgetpwent_r(file, &entry, buffer.data(), buffer.size(), &found);
      if (error == ERANGE && buffer.size() < (1 << 20)) {
        buffer.resize(buffer.size() * 2);  // a line longer than the buffer: read it again
        continue;
      }
      if (error != 0 || found == nullptr) break;
      if (entry.pw_uid == uid) {
        home = entry.pw_dir;
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
    // That version of the file is not read again, nor written, by this run.
    std::lock_guard<std::mutex> lock(cache_mutex);
    Cache& cache = TheCache();
    if (cache.store.get() == &store) {
      cache.store = nullptr;
      cache.refused = ERROR_REGISTRY_IO_FAILED;
    }
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
  StoreLocation at;
  if (long status = WalkToStore(path, make_folders, &at)) return status;
  struct stat st;
  if (!at.folder.valid() ||
      (at.through_link && fstatat(at.folder.get(), at.name.c_str(), &st, AT_SYMLINK_NOFOLLOW))) {
    return RefuseErrno(at.through_link ? path : at.path,
                       ENOENT);  // no write through a dangling link
  }
  Fd lock;
  if (long status = TakeLock(at, &lock)) return status;

  std::shared_ptr<const Store> store;
  Fd old;
  FileIdentity version;
  if (long status = LoadAt(at, &store, &old, &version)) return status;
  RemoveStaleTempFiles(at);
  Replacement file;
  long edited = edit(*store, &file);
  if (!store->Intact()) return StoreNotIntact(at.path, *store);
  if (edited == ERROR_NO_UNICODE_TRANSLATION) {
    return Refuse(at.path, "a Unicode store cannot hold text that is not UTF-8 (rc 1113)", edited);
  }
  if (edited != ERROR_SUCCESS) return edited;
  if (!file.write) return ERROR_SUCCESS;
  if (long status = ReplaceFile(at, old, version, file)) return status;

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
