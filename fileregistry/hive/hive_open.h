// Opening a hive file as a store, step by step: its header checked
// against its size, a descriptor of its own, and its reader, which asks
// hivex (loaded for the purpose) about a hive it refuses.
#ifndef FILEREGISTRY_HIVE_HIVE_OPEN_H_
#define FILEREGISTRY_HIVE_HIVE_OPEN_H_

#include <sys/types.h>

#include <memory>
#include <string>
#include <string_view>

#include "fileregistry/file/fd.h"
#include "fileregistry/hive/hive_reader.h"
#include "fileregistry/win32_registry.h"

namespace fileregistry {

// Whether the base block in `head` is whole, and its bins no more than the
// `size` bytes of the file hold; `*why` says otherwise.
bool HeaderFits(std::string_view head, off_t size, std::string* why);

// Sets `*own` to a descriptor of the hive open as `fd`, `size` bytes, that
// does not share its lock: the same file opened anew, through /proc/self/fd.
// Where that is missing, `*whole` holds the file's bytes instead. Returns 0,
// or a status, said.
LSTATUS OwnDescriptor(const std::string& path, int fd, off_t size, Fd* own,
                      std::shared_ptr<const std::string>* whole);

// Opens `*reader` on the hive open as `fd`, `size` bytes, or on `image`.
// Returns 0; 1009 with `*why` set; or another status, said. A hive it
// refuses is one hivex is asked about, as a write would ask: its refusal is
// the one given.
LSTATUS OpenReader(const std::string& path, int fd, off_t size,
                   const std::shared_ptr<const std::string>& image, HiveReader* reader,
                   std::string* why);

// Loads hivex for a write, or for a hive it is asked about. Returns 0, or a
// status, said naming `path`.
LSTATUS LoadedHivex(const std::string& path);

}  // namespace fileregistry

#endif  // FILEREGISTRY_HIVE_HIVE_OPEN_H_
