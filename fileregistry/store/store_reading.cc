#include "fileregistry/store/store_reading.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#ifndef MADV_POPULATE_WRITE
#define MADV_POPULATE_WRITE 23  // Linux 5.14
#endif

#include <algorithm>
#include <cerrno>
#include <cstdint>

#include "fileregistry/hive/hive_store.h"
#include "fileregistry/refusal.h"
#include "fileregistry/text/reg_syntax.h"
#include "fileregistry/text/reg_text.h"
#include "fileregistry/win32_registry.h"

namespace fileregistry {
namespace {

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

// The status of a read that failed with `error`: never taken for a change.
LSTATUS ReadFault(int error) {
  LSTATUS status = StatusFromErrno(error);
  return status == ERROR_REGISTRY_IO_FAILED ? ERROR_READ_FAULT : status;
}

// Says why the file at `path` could not be read, with `status`.
LSTATUS ReadFailed(const std::string& path, LSTATUS status) {
  return Refuse(path,
                status == ERROR_REGISTRY_IO_FAILED ? "changed by another program while being read"
                : status == ERROR_OUTOFMEMORY      ? "not enough memory to read it"
                                                   : "cannot be read",
                status);
}

// Reads the whole file, of `size` bytes, into memory of its own: what a
// change is made from, and compared with the file before it is replaced.
// The store is replaced, never changed in place: a file of another size
// than `size` was changed by another program. Returns 0 or a status.
LSTATUS ReadAll(int fd, off_t size, std::shared_ptr<FileBuffer>* buffer) {
  auto file = std::make_shared<FileBuffer>(static_cast<size_t>(size) + 1);
  if (file->data == nullptr) return ERROR_OUTOFMEMORY;
  while (file->size < file->capacity) {
    ssize_t n = pread(fd, file->data + file->size, file->capacity - file->size,
                      static_cast<off_t>(file->size));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return ReadFault(errno);
    if (n == 0) break;
    file->size += static_cast<size_t>(n);
  }
  if (file->size != static_cast<size_t>(size)) return ERROR_REGISTRY_IO_FAILED;
  *buffer = std::move(file);
  return ERROR_SUCCESS;
}

// Reads the file's first `want` bytes into `*head`, and one more where the
// file has grown: all of them, however many reads that takes, unless the
// file ends first. Returns 0 or the status of a failed read.
LSTATUS ReadHead(int fd, size_t want, std::string* head) {
  head->assign(want + 1, '\0');
  size_t got = 0;
  for (;;) {
    ssize_t n = pread(fd, &(*head)[got], head->size() - got, static_cast<off_t>(got));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return ReadFault(errno);
    got += static_cast<size_t>(n);
    if (n == 0 || got >= want) break;
  }
  head->resize(got);
  return ERROR_SUCCESS;
}

// Parses the text store open as `fd`, of `size` bytes: `whole` when its
// first read held all of it, else read whole. Returns 0, 1009 with `*line`
// and `*why` set, or a status, said.
LSTATUS ParseText(const std::string& path, int fd, off_t size, std::shared_ptr<std::string> whole,
                  std::shared_ptr<const Store>* store, size_t* line, std::string* why) {
  std::shared_ptr<const void> owner;
  std::string_view text;
  if (whole) {
    text = *whole;
    owner = std::move(whole);
  } else {
    std::shared_ptr<FileBuffer> buffer;
    if (LSTATUS status = ReadAll(fd, size, &buffer)) return ReadFailed(path, status);
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

}  // namespace

LSTATUS OpenStoreFile(const StoreLocation& at, Fd* fd, struct stat* st) {
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

LSTATUS ReadOpened(const StoreLocation& at, int fd, const struct stat& st,
                   std::shared_ptr<const Store>* store, size_t* line, std::string* why) {
  const std::string& path = at.path;
  if (static_cast<uint64_t>(st.st_size) > kLargestStore) {
    *why = kLargestStoreText;
    return ERROR_FILE_TOO_LARGE;
  }
  // A file that cannot be a store is not read further than its first
  // read, which holds all of a small one: no mapping for a few lines.
  auto head = std::make_shared<std::string>();
  size_t want = static_cast<size_t>(std::min<off_t>(st.st_size, kSmallStore));
  if (LSTATUS status = ReadHead(fd, want, head.get())) return ReadFailed(path, status);
  std::string_view head_bytes = *head;
  if (IsHive(head_bytes)) return OpenHive(at, fd, head_bytes, st, store, why);
  if (!MayBeginStore(head_bytes)) {
    *line = 1;
    *why = "not a registry file";
    return ERROR_BADDB;
  }
  bool whole = st.st_size <= kSmallStore && head_bytes.size() == static_cast<size_t>(st.st_size);
  LSTATUS status =
      ParseText(path, fd, st.st_size, whole ? std::move(head) : nullptr, store, line, why);
  if (status != ERROR_BADDB) *line = 0;
  return status;
}

}  // namespace fileregistry
