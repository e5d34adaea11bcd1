#include "fileregistry/store/store_transaction.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#ifndef MADV_POPULATE_WRITE
#define MADV_POPULATE_WRITE 23  // Linux 5.14
#endif

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>

#include "fileregistry/hive/hive_store.h"
#include "fileregistry/refusal.h"
#include "fileregistry/store/store_location.h"
#include "fileregistry/text/reg_text.h"
#include "fileregistry/win32_registry.h"

namespace fileregistry {
namespace {

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

const char kLargestStoreText[] = "larger than 1 GiB, the most a store may be";
// A store no larger than this is read whole by its first read.
const off_t kSmallStore = 16 * 1024;

// Memory for a file's bytes, with its pages in place before the read: one
// call instead of a fault for every page. A large store's bytes lie in
// huge pages where the system has them: a page to clear, and to account
// for, every 2 MiB instead of every 4 KiB.
struct FileBuffer {
  static constexpr size_t kHugePage = 2 << 20;
  char* data = nullptr;
  size_t size = 0, capacity = 0;
  void* mapped = nullptr;
  size_t mapped_size = 0;

  explicit FileBuffer(size_t room) : capacity(room) {
    bool huge = room >= kHugePage;
    mapped_size = huge ? room + kHugePage : room;  // room to start on a huge page
    void* memory = mmap(nullptr, mapped_size, PROT_READ | PROT_WRITE,
                        MAP_PRIVATE | MAP_ANONYMOUS | (huge ? 0 : MAP_POPULATE), -1, 0);
    if (memory == MAP_FAILED) return;
    mapped = memory;
    uintptr_t at = reinterpret_cast<uintptr_t>(memory);
    data = reinterpret_cast<char*>(huge ? (at + kHugePage - 1) & ~(kHugePage - 1) : at);
    if (!huge) return;
    // Both only spare work. A kernel older than 5.14 cannot populate a
    // mapping after the fact: the pages are mapped anew, in place, populated.
    madvise(data, room, MADV_HUGEPAGE);
    if (madvise(data, room, MADV_POPULATE_WRITE) != 0 && errno == EINVAL &&
        mmap(data, room, PROT_READ | PROT_WRITE,
             MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED | MAP_POPULATE, -1, 0) == MAP_FAILED) {
      data = nullptr;  // what was there may be gone
    }
  }
  ~FileBuffer() {
    if (mapped != nullptr) munmap(mapped, mapped_size);
  }
  FileBuffer(const FileBuffer&) = delete;
  FileBuffer& operator=(const FileBuffer&) = delete;
};

// Reads the whole file, of `size` bytes, into memory of its own: what a
// change is made from, and compared with the file before it is replaced.
// The store is replaced, never changed in place: a file of another size
// than `size` was changed by another program. Returns 0 or a status.
long ReadAll(int fd, off_t size, std::shared_ptr<FileBuffer>* buffer) {
  auto file = std::make_shared<FileBuffer>(static_cast<size_t>(size) + 1);
  if (file->data == nullptr) return ERROR_OUTOFMEMORY;
  while (file->size < file->capacity) {
    ssize_t n = pread(fd, file->data + file->size, file->capacity - file->size,
                      static_cast<off_t>(file->size));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0)
      return StatusFromErrno(errno) == ERROR_REGISTRY_IO_FAILED ? ERROR_READ_FAULT
                                                                : StatusFromErrno(errno);
    if (n == 0) break;
    file->size += static_cast<size_t>(n);
  }
  if (file->size != static_cast<size_t>(size)) return ERROR_REGISTRY_IO_FAILED;
  *buffer = std::move(file);
  return ERROR_SUCCESS;
}

// Opens the store's file at `at` for reading, with what `*st` says of it:
// 0, or 2 when there is none, or a status, said.
long OpenStoreFile(const StoreLocation& at, Fd* fd, struct stat* st) {
  if (!at.folder.valid()) return ERROR_FILE_NOT_FOUND;
  *fd =
      Fd(openat(at.folder.get(), at.name.c_str(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC));
  if (!fd->valid() && errno == ELOOP) {
    return Refuse(at.path, "became a symlink while being opened", ERROR_ACCESS_DENIED);
  }
  if (!fd->valid()) {
    return errno == ENOENT || errno == ENOTDIR ? ERROR_FILE_NOT_FOUND : RefuseErrno(at.path, errno);
  }
  if (fstat(fd->get(), st) != 0) return RefuseErrno(at.path, errno);
  if (S_ISDIR(st->st_mode)) return Refuse(at.path, "is a folder", ERROR_ACCESS_DENIED);
  if (!S_ISREG(st->st_mode)) {
    return Refuse(at.path, "not a regular file", ERROR_BADDB);
  }
  return ERROR_SUCCESS;
}

// Parses the text store open as `fd`, of `size` bytes: `whole` when its
// first read held all of it, else read whole. Returns 0, 1009 with `*line`
// and `*why` set, or a status, said.
long ParseText(const std::string& path, int fd, off_t size, std::shared_ptr<std::string> whole,
               std::shared_ptr<const Store>* store, size_t* line, std::string* why) {
  std::shared_ptr<const void> owner;
  std::string_view text;
  if (whole) {
    text = *whole;
    owner = std::move(whole);
  } else {
    std::shared_ptr<FileBuffer> buffer;
    if (long status = ReadAll(fd, size, &buffer)) {
      return Refuse(path,
                    status == ERROR_REGISTRY_IO_FAILED
                        ? "changed by another program while being read"
                    : status == ERROR_OUTOFMEMORY ? "not enough memory to read it"
                                                  : "cannot be read",
                    status);
    }
    text = std::string_view(buffer->data, buffer->size);
    owner = std::move(buffer);
  }
  auto parsed = std::make_shared<RegText>();
  ParseError error;
  if (!parsed->Parse(std::move(owner), text, &error)) {
    *line = error.line;
    *why = error.reason;
    return ERROR_BADDB;
  }
  *store = parsed;
  return ERROR_SUCCESS;
}

// Reads the store open as `fd`, which `st` describes, by what its first
// bytes say it is. Returns 0; a refusal with `*why` set (and `*line`, the
// line of the text a parse error is at), for
// the cache to keep; or a status, said.
long ReadOpened(const StoreLocation& at, int fd, const struct stat& st,
                std::shared_ptr<const Store>* store, size_t* line, std::string* why) {
  const std::string& path = at.path;
  if (static_cast<uint64_t>(st.st_size) > kLargestStore) {
    *why = kLargestStoreText;
    return ERROR_FILE_TOO_LARGE;
  }
  // A file that cannot be a store is not read further than its first
  // read, which holds all of a small one: no mapping for a few lines.
  auto head = std::make_shared<std::string>(
      static_cast<size_t>(std::min<off_t>(st.st_size, kSmallStore)) + 1, '\0');
  ssize_t head_size = pread(fd, head->data(), head->size(), 0);
  if (head_size < 0) return RefuseErrno(path, errno);
  head->resize(static_cast<size_t>(head_size));
  std::string_view head_bytes = *head;
  if (IsHive(head_bytes)) return OpenHive(at, fd, head_bytes, st, store, why);
  if (!MayBeginStore(head_bytes)) {
    *line = 1;
    *why = "not a registry file";
    return ERROR_BADDB;
  }
  bool whole = st.st_size <= kSmallStore && head_bytes.size() == static_cast<size_t>(st.st_size);
  long status =
      ParseText(path, fd, st.st_size, whole ? std::move(head) : nullptr, store, line, why);
  if (status != ERROR_BADDB) *line = 0;
  return status;
}

// Reads the store at `at`, open as `fd`, which `st` describes, and gives
// `fd` to `*file` and what that version of it was to `*version`. Through the
// cache: a version read before is not read again.
long LoadOpened(const StoreLocation& at, Fd fd, const struct stat& st,
                std::shared_ptr<const Store>* store, Fd* file, FileIdentity* version) {
  std::lock_guard<std::mutex> lock(cache_mutex);
  Cache& cache = TheCache();
  *version = FileIdentity(st);
  if (cache.path != at.path || !(cache.identity == *version)) {
    std::string why;
    size_t line = 0;
    std::shared_ptr<const Store> loaded;
    long status = ReadOpened(at, fd.get(), st, &loaded, &line, &why);
    if (status != ERROR_SUCCESS && why.empty()) return status;  // said, and not for keeping
    cache = Cache{at.path, *version, loaded, status};
    if (status != ERROR_SUCCESS) {
      return line != 0 ? Say(at.path + ":" + std::to_string(line), why, status)
                       : Refuse(at.path, why, status);
    }
  } else if (cache.refused != 0) {
    return cache.refused;  // said once already
  }
  *store = cache.store;
  *file = std::move(fd);
  return ERROR_SUCCESS;
}

// Reads the store at `at` as LoadOpened does; a missing file is an empty
// store, and leaves `*file` not valid. With `lock`, the file is read under
// its exclusive lock, taken before `deadline`; one that a writer replaced
// meanwhile is opened again.
long LoadAt(const StoreLocation& at, std::shared_ptr<const Store>* store, Fd* file,
            FileIdentity* version, bool lock = false,
            std::chrono::steady_clock::time_point deadline = {}) {
  for (;;) {
    Fd fd;
    struct stat st;
    long opened = OpenStoreFile(at, &fd, &st);
    if (opened == ERROR_FILE_NOT_FOUND) {
      *store = std::make_shared<RegText>();
      return ERROR_SUCCESS;
    }
    if (opened != ERROR_SUCCESS) return opened;
    long locked = lock ? LockStoreFile(at, fd.get(), deadline) : ERROR_SUCCESS;
    if (locked == ERROR_FILE_NOT_FOUND) continue;
    if (locked != ERROR_SUCCESS) return locked;
    // What it is now that no writer can replace it.
    if (lock && fstat(fd.get(), &st) != 0) return RefuseErrno(at.path, errno);
    return LoadOpened(at, std::move(fd), st, store, file, version);
  }
}

// Sets `*at` to where the store named `path` lives. The path is walked once
// for the run: every later call works through the same folder, which no
// one can swap under it, and spares the walk.
long Locate(const std::string& path, bool make_folders, StoreLocation* at) {
  static std::mutex mutex;
  static std::string* walked_path = new std::string;  // left for the process's end
  static StoreLocation* walked = new StoreLocation;
  std::lock_guard<std::mutex> lock(mutex);
  if (*walked_path != path || !walked->folder.valid()) {
    if (long status = WalkToStore(path, make_folders, at)) return status;
    if (!at->folder.valid()) return ERROR_SUCCESS;  // a folder is missing: walked again
    *walked_path = path;
    walked->folder = Fd(fcntl(at->folder.get(), F_DUPFD_CLOEXEC, 0));
    walked->name = at->name;
    walked->path = at->path;
    walked->through_link = at->through_link;
    return ERROR_SUCCESS;
  }
  at->folder = Fd(fcntl(walked->folder.get(), F_DUPFD_CLOEXEC, 0));
  if (!at->folder.valid()) return RefuseErrno(walked->path, errno);
  at->name = walked->name;
  at->path = walked->path;
  at->through_link = walked->through_link;
  return ERROR_SUCCESS;
}

}  // namespace

long ReadStore(std::shared_ptr<const Store>* store) {
  std::string path;
  bool named;
  if (long status = StorePath(&path, &named)) return status;
  StoreLocation at;
  if (long status = Locate(path, false, &at)) return status;
  Fd file;
  FileIdentity version;
  return LoadAt(at, store, &file, &version);
}

long Damaged(const Store& store) {
  std::string path;
  {
    // That version of the file is not read again, nor written, by this run.
    std::lock_guard<std::mutex> lock(cache_mutex);
    Cache& cache = TheCache();
    if (cache.store.get() == &store) {
      cache.store = nullptr;
      cache.refused = ERROR_REGISTRY_IO_FAILED;
    }
    path = cache.path;
  }
  return Refuse(path, store.Damage(), ERROR_REGISTRY_IO_FAILED);
}

long StoreTransaction::Begin(bool make_folders) {
  again_ = false;
  std::string path;
  bool named;
  if (long status = StorePath(&path, &named)) return status;
  // Folders are made only for the store in the user's own data folder: a
  // store named elsewhere whose folder is not there is most likely on a
  // volume that is not mounted, and must not be made in its mount point.
  if (long status = Locate(path, make_folders && !named, &at_)) return status;
  struct stat st;
  if (at_.through_link && (!at_.folder.valid() ||
                           fstatat(at_.folder.get(), at_.name.c_str(), &st, AT_SYMLINK_NOFOLLOW))) {
    return RefuseErrno(path, ENOENT);  // no write through a dangling link
  }
  if (!at_.folder.valid()) {
    return Refuse(
        at_.path,
        "the folder " + at_.missing + (at_.missing_is_file ? " is a file" : " is not there"),
        ERROR_PATH_NOT_FOUND);
  }
  file_ = Fd();
  version_ = FileIdentity();
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  if (long status = LoadAt(at_, &store_, &file_, &version_, true, deadline)) return status;
  RemoveStaleTempFiles(at_);
  return ERROR_SUCCESS;
}

long StoreTransaction::Commit(long edited, const Replacement& file) {
  if (!store_->Intact()) return Damaged(*store_);
  if (edited == ERROR_NO_UNICODE_TRANSLATION) {
    return Refuse(at_.path, "a Unicode store cannot hold text that is not UTF-8", edited);
  }
  if (edited != ERROR_SUCCESS && !file.refused.empty())
    return Refuse(at_.path, file.refused, edited);
  if (edited != ERROR_SUCCESS || !file.write) return edited;
  long status = ReplaceFile(at_, file_, version_, {file.write, file.made_from, file.says_why});
  if (status == ERROR_ALREADY_EXISTS) {
    // Another writer made the store meanwhile. Over and over, only another
    // program that removes it each time could do that.
    if (++rounds_ < 100) {
      again_ = true;
      return status;
    }
    return Refuse(at_.path, "changed by another program while being written",
                  ERROR_REGISTRY_IO_FAILED);
  }
  if (status != ERROR_SUCCESS) return status;
  std::lock_guard<std::mutex> guard(cache_mutex);
  TheCache() = Cache();  // the next call maps the new file
  return ERROR_SUCCESS;
}

}  // namespace fileregistry
