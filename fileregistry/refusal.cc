#include "fileregistry/refusal.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "fileregistry/win32_registry.h"

namespace fileregistry {

namespace {

// Says `line` on standard error unless it was the last line said.
void SayOnce(const std::string& line) {
  static std::mutex mutex;
  static std::string* last_said = new std::string;  // left for the process's end
  std::lock_guard<std::mutex> lock(mutex);
  if (line != *last_said) {
    fprintf(stderr, "%s: %s\n", program_invocation_short_name, line.c_str());
    *last_said = line;
  }
}

}  // namespace

LSTATUS Refuse(const std::string& where, const std::string& reason, LSTATUS status) {
  std::string line = where + ": " + reason;
  if (status != ERROR_SUCCESS) line += " (rc " + std::to_string(status) + ")";
  SayOnce(line);
  return status;
}

LSTATUS Say(const std::string& where, const std::string& text, LSTATUS status) {
  SayOnce(where + ": " + text);
  return status;
}

LSTATUS StatusFromErrno(int error) {
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
    case ENOMEM: return ERROR_OUTOFMEMORY;
    case EAGAIN: return ERROR_NOT_ENOUGH_MEMORY;  // as for too many processes
    case ENAMETOOLONG: return ERROR_FILENAME_EXCED_RANGE;
    case EMFILE:
    case ENFILE: return ERROR_TOO_MANY_OPEN_FILES;
    case ELOOP: return ERROR_CANT_RESOLVE_FILENAME;
    default: return ERROR_REGISTRY_IO_FAILED;
  }
}

// Refuses with the status and the system's words for `error`.
LSTATUS RefuseErrno(const std::string& path, int error) {
  return Refuse(path, strerror(error), StatusFromErrno(error));
}

}  // namespace fileregistry
