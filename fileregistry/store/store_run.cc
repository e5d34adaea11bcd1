#include "fileregistry/store/store_run.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>

#include "fileregistry/file/file_lock.h"
#include "fileregistry/refusal.h"
#include "fileregistry/store/store_location.h"
#include "fileregistry/store/store_reading.h"
#include "fileregistry/text/reg_text.h"
#include "fileregistry/win32_registry.h"

namespace fileregistry {
namespace {

// Sets `*to` to the walked location `from`, through a descriptor of its
// own: false, with errno, where there is none to be had.
bool CopyLocation(const StoreLocation& from, StoreLocation* to) {
  to->folder = Fd(fcntl(from.folder.get(), F_DUPFD_CLOEXEC, 0));
  if (!to->folder.valid()) return false;
  to->name = from.name;
  to->path = from.path;
  to->through_link = from.through_link;
  return true;
}

}  // namespace

StoreRun::StoreRun() : lock_wait_(LockWait()) { path_status_ = StorePath(&path_, &named_); }

LSTATUS StoreRun::Read(std::shared_ptr<const Store>* store) {
  StoreLocation at;
  if (LSTATUS status = Locate(false, &at)) return status;
  Fd file;
  FileIdentity version;
  return Load(at, false, store, &file, &version);
}

LSTATUS StoreRun::Damaged(const Store& store) {
  std::string path;
  {
    // That version of the file is not read again, nor written, by this run.
    std::lock_guard<std::mutex> lock(cache_mutex_);
    if (cache_.store.get() == &store) {
      cache_.store = nullptr;
      cache_.refused = ERROR_REGISTRY_IO_FAILED;
    }
    path = cache_.path;
  }
  return Refuse(path, store.Damage(), ERROR_REGISTRY_IO_FAILED);
}

LSTATUS StoreRun::Locate(bool make_folders, StoreLocation* at) {
  if (path_status_ != ERROR_SUCCESS) return path_status_;  // said once already
  std::lock_guard<std::mutex> lock(walked_mutex_);
  if (walked_.folder.valid()) {
    return CopyLocation(walked_, at) ? ERROR_SUCCESS : RefuseErrno(walked_.path, errno);
  }
  // Folders are made only for the store in the user's own data folder: a
  // store named elsewhere whose folder is not there is most likely on a
  // volume that is not mounted, and must not be made in its mount point.
  if (LSTATUS status = WalkToStore(path_, make_folders && !named_, at)) return status;
  if (!at->folder.valid()) return ERROR_SUCCESS;  // a folder is missing: walked again
  CopyLocation(*at, &walked_);                    // where it fails, the next call walks again
  return ERROR_SUCCESS;
}

LSTATUS StoreRun::ReadLocked(const StoreLocation& at, std::shared_ptr<const Store>* store, Fd* file,
                             FileIdentity* version) {
  return Load(at, true, store, file, version);
}

void StoreRun::Forget() {
  std::lock_guard<std::mutex> guard(cache_mutex_);
  cache_ = Cache();  // the next call maps the new file
}

// Reads the store at `at`; a missing file is an empty store, and leaves
// `*file` not valid. With `lock`, the file is read under its exclusive
// lock; one that a writer replaced meanwhile is opened again.
LSTATUS StoreRun::Load(const StoreLocation& at, bool lock, std::shared_ptr<const Store>* store,
                       Fd* file, FileIdentity* version) {
  auto since = std::chrono::steady_clock::now();
  for (;;) {
    Fd fd;
    struct stat st;
    LSTATUS opened = OpenStoreFile(at, &fd, &st);
    if (opened == ERROR_FILE_NOT_FOUND) {
      *store = std::make_shared<RegText>();
      return ERROR_SUCCESS;
    }
    if (opened != ERROR_SUCCESS) return opened;
    LSTATUS locked = lock ? LockStoreFile(at, fd.get(), since, lock_wait_) : ERROR_SUCCESS;
    if (locked == ERROR_FILE_NOT_FOUND) continue;
    if (locked != ERROR_SUCCESS) return locked;
    // What it is now that no writer can replace it.
    if (lock && fstat(fd.get(), &st) != 0) return RefuseErrno(at.path, errno);
    return LoadOpened(at, std::move(fd), st, store, file, version);
  }
}

// Reads the store at `at`, open as `fd`, which `st` describes, and gives
// `fd` to `*file` and what that version of it was to `*version`. Through the
// cache: a version read before is not read again.
LSTATUS StoreRun::LoadOpened(const StoreLocation& at, Fd fd, const struct stat& st,
                             std::shared_ptr<const Store>* store, Fd* file, FileIdentity* version) {
  std::lock_guard<std::mutex> lock(cache_mutex_);
  *version = FileIdentity(st);
  if (cache_.path != at.path || !(cache_.identity == *version)) {
    std::string why;
    size_t line = 0;
    std::shared_ptr<const Store> loaded;
    LSTATUS status = ReadOpened(at, fd.get(), st, &loaded, &line, &why);
    if (status != ERROR_SUCCESS && why.empty()) return status;  // said, and not for keeping
    cache_ = Cache{at.path, *version, loaded, status};
    if (status != ERROR_SUCCESS) {
      return line != 0 ? Say(at.path + ":" + std::to_string(line), why, status)
                       : Refuse(at.path, why, status);
    }
  } else if (cache_.refused != 0) {
    return cache_.refused;  // said once already
  }
  *store = cache_.store;
  *file = std::move(fd);
  return ERROR_SUCCESS;
}

}  // namespace fileregistry
