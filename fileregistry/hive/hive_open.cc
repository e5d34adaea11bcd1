#include "fileregistry/hive/hive_open.h"

#include <fcntl.h>

#include <cerrno>

#include "fileregistry/hive/hive_access.h"
#include "fileregistry/hive/hive_log.h"
#include "fileregistry/hive/hive_recovery.h"
#include "fileregistry/hive/hive_source.h"
#include "fileregistry/refusal.h"
#include "fileregistry/win32_registry.h"

namespace fileregistry {
namespace {

const uint32_t kBaseBlockSize = 4096;

// Opens the sealed copy `copy` with hivex. Returns 0; 1009 with `*why` set
// when it is no hive hivex can read; or another status, said.
LSTATUS OpenCopy(const std::string& path, const HiveSource& copy, std::string* why) {
  errno = 0;
  HiveHandle hive = OpenHandle(copy.fd(), 0);
  if (hive) return ERROR_SUCCESS;
  LSTATUS status = HivexCannotOpen(errno, why);
  if (status != ERROR_BADDB) {
    Refuse(path, *why, status);
    why->clear();
  }
  return status;
}

// Whether hivex can open a sealed copy of the hive open as `fd`, `size`
// bytes, or of `image` when not null. Returns 0; 1009 with `*why` set; or
// another status, said.
LSTATUS HivexOpens(const std::string& path, int fd, off_t size,
                   const std::shared_ptr<const std::string>& image, std::string* why) {
  if (LSTATUS status = LoadedHivex(path)) return status;
  HiveSource copy;
  if (LSTATUS status = copy.Copy(path, fd, size, image ? *image : std::string())) return status;
  return OpenCopy(path, copy, why);
}

}  // namespace

LSTATUS LoadedHivex(const std::string& path) {
  std::string unloadable;
  if (int error = LoadHivex(&unloadable)) {
    LSTATUS status = HivexStatus(error);
    return Refuse(path, unloadable, status);
  }
  return ERROR_SUCCESS;
}

bool HeaderFits(std::string_view head, off_t size, std::string* why) {
  uint64_t bins = head.size() >= 0x2C ? HiveWord(head, 0x28) : 0;
  if (size < static_cast<off_t>(kBaseBlockSize) || bins == 0 || bins % kBaseBlockSize != 0 ||
      kBaseBlockSize + bins > static_cast<uint64_t>(size)) {
    *why = "a hive whose header does not fit its file (" + std::to_string(bins) +
           " bytes of bins in a file of " + std::to_string(size) + ")";
    return false;
  }
  return true;
}

LSTATUS OwnDescriptor(const std::string& path, int fd, off_t size, Fd* own,
                      std::shared_ptr<const std::string>* whole) {
  *own = Fd(open(DescriptorPath(fd).c_str(), O_RDONLY | O_CLOEXEC));
  if (own->valid()) return ERROR_SUCCESS;
  if (errno != ENOENT) return RefuseErrno(path, errno);
  auto bytes = std::make_shared<std::string>();
  if (!ReadBytes(fd, size, bytes.get())) return RefuseErrno(path, errno);
  *whole = std::move(bytes);
  return ERROR_SUCCESS;
}

LSTATUS OpenReader(const std::string& path, int fd, off_t size,
                   const std::shared_ptr<const std::string>& image, HiveReader* reader,
                   std::string* why) {
  std::string refused;
  LSTATUS status = reader->Open(fd, image, &refused);
  if (status == ERROR_REGISTRY_IO_FAILED) {
    return Refuse(path, "changed by another program while being read", status);
  }
  if (status == ERROR_SUCCESS) return status;
  if (LSTATUS hivex = HivexOpens(path, fd, size, image, why)) return hivex;
  *why = refused;
  return ERROR_BADDB;
}

}  // namespace fileregistry
