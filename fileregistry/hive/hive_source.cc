#include "fileregistry/hive/hive_source.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/sendfile.h>
#include <sys/stat.h>

#include <cerrno>

#include "fileregistry/file/file_bytes.h"
#include "fileregistry/refusal.h"
#include "fileregistry/win32_registry.h"

namespace fileregistry {

HiveSource::~HiveSource() {
  if (leased_) fcntl(fd_, F_SETLEASE, F_UNLCK);
}

bool HiveSource::Lease(int fd) {
  // A broken lease is told by F_GETLEASE, never by a signal: the kernel
  // makes this process the descriptor's owner, which is undone at once; a
  // break in between sends SIGURG, which is ignored unless handled, instead
  // of SIGIO, which would end the run.
  if (fcntl(fd, F_SETSIG, SIGURG) != 0 || fcntl(fd, F_SETLEASE, F_RDLCK) != 0) return false;
  fcntl(fd, F_SETOWN, 0);
  fd_ = fd;
  leased_ = true;
  return true;
}

LSTATUS HiveSource::Copy(const std::string& path, int fd, off_t size,
                         const std::string& recovered) {
  copy_ = Fd(memfd_create("hive", MFD_CLOEXEC | MFD_ALLOW_SEALING));
  if (!copy_.valid()) return RefuseErrno(path, errno);
  fd_ = copy_.get();
  if (!recovered.empty()) {
    if (LSTATUS status = WritePieces(fd_, {recovered})) {
      return Refuse(path, "cannot be copied", status);
    }
  }
  for (off_t offset = 0; recovered.empty() && offset < size;) {
    ssize_t n = sendfile(fd_, fd, &offset, static_cast<size_t>(size - offset));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return RefuseErrno(path, errno);
    if (n == 0) {
      return Refuse(path, "changed by another program while being read", ERROR_REGISTRY_IO_FAILED);
    }
  }
  if (fcntl(fd_, F_ADD_SEALS, F_SEAL_SHRINK | F_SEAL_GROW | F_SEAL_WRITE | F_SEAL_SEAL)) {
    return RefuseErrno(path, errno);
  }
  return ERROR_SUCCESS;
}

LSTATUS HiveSource::OpenReader(std::string* why) { return reader_.Open(fd_, nullptr, why); }

LSTATUS HiveSource::StillIn(int file, std::string_view original) const {
  if (!original.empty()) return SameBytes(file, original);
  struct stat st, held;
  if (fstat(fd_, &held) != 0) return StatusFromErrno(errno);
  if (leased_) {
    // Anyone who opened it for writing since waits, in the kernel, for the
    // lease to be given up; its break is what they leave behind.
    if (fstat(file, &st) != 0) return StatusFromErrno(errno);
    bool same = st.st_dev == held.st_dev && st.st_ino == held.st_ino;
    return same && fcntl(fd_, F_GETLEASE) == F_RDLCK ? ERROR_SUCCESS : ERROR_REGISTRY_IO_FAILED;
  }
  if (held.st_size == 0) return SameBytes(file, "");
  size_t size = static_cast<size_t>(held.st_size);
  void* copy = mmap(nullptr, size, PROT_READ, MAP_PRIVATE, fd_, 0);
  if (copy == MAP_FAILED) return StatusFromErrno(errno);
  LSTATUS status = SameBytes(file, std::string_view(static_cast<const char*>(copy), size));
  munmap(copy, size);
  return status;
}

}  // namespace fileregistry
