// What a change of a hive is made from, kept from other programs until the
// change is in place. hivex reads it in the child that writes, and the
// checks before the change read it too. It is the hive file itself, under a
// read lease: no one can open the file for writing, nor truncate it,
// without breaking the lease, and the kernel grants none while anyone has
// it open for writing or mapped to write. Where no lease can be had (the
// file is open for writing, or another user's, or its file system has no
// leases), and for the bytes a dirty hive's logs made, it is a copy in
// memory that no one can change, compared with the file before the rename.
#ifndef FILEREGISTRY_HIVE_HIVE_SOURCE_H_
#define FILEREGISTRY_HIVE_HIVE_SOURCE_H_

#include <sys/types.h>

#include <string>
#include <string_view>

#include "fileregistry/file/fd.h"
#include "fileregistry/hive/hive_reader.h"
#include "fileregistry/win32_registry.h"

namespace fileregistry {

class HiveSource {
 public:
  HiveSource() = default;
  ~HiveSource();
  HiveSource(const HiveSource&) = delete;
  HiveSource& operator=(const HiveSource&) = delete;

  // The hive open as `fd`, which must stay open while this lives, under a
  // read lease of that descriptor, given up when this goes. False, and
  // nothing held, where no lease can be had.
  bool Lease(int fd);
  // A sealed copy of the `size` bytes of the hive open as `fd`, or of
  // `recovered` when it is not empty. Returns 0, or a status said naming
  // `path` (1016 when the file grew shorter while it was copied).
  LSTATUS Copy(const std::string& path, int fd, off_t size, const std::string& recovered);
  // Opens reader() on what Lease or Copy gave: 0, or 1009 or 1016 as
  // HiveReader::Open, with `*why` set for 1009.
  LSTATUS OpenReader(std::string* why);

  // What hivex is given, and what the checks before the change read.
  int fd() const { return fd_; }
  const HiveReader& reader() const { return reader_; }

  // Whether the file open as `file` still holds what this was made from:
  // under a lease, that the lease was never broken and `file` is the file
  // leased; for a copy, the copy's bytes, or `original` when it is not
  // empty (the file's own bytes, where the copy holds what its logs made).
  // 0, 1016 when it does not, or the status of a failed read.
  LSTATUS StillIn(int file, std::string_view original) const;

 private:
  int fd_ = -1;
  bool leased_ = false;
  Fd copy_;
  HiveReader reader_;
};

}  // namespace fileregistry

#endif  // FILEREGISTRY_HIVE_HIVE_SOURCE_H_
