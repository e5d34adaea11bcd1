#include "fileregistry/file/file_bytes.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>

#include "fileregistry/refusal.h"
#include "fileregistry/win32_registry.h"

namespace fileregistry {

LSTATUS SameBytes(int fd, std::string_view bytes) {
  std::string chunk(std::min<size_t>(bytes.size() + 1, size_t{1} << 20), '\0');
  for (size_t at = 0;;) {
    ssize_t n = pread(fd, &chunk[0], chunk.size(), static_cast<off_t>(at));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      LSTATUS status = StatusFromErrno(errno);  // never taken for a change
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

LSTATUS WritePieces(int fd, std::initializer_list<std::string_view> pieces) {
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
