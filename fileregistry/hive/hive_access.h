// Reading a registry hive through hivex: handles, lookups that tell a
// missing key from one hivex could not read, and hivex's failures as
// statuses.
#ifndef FILEREGISTRY_HIVE_HIVE_ACCESS_H_
#define FILEREGISTRY_HIVE_HIVE_ACCESS_H_

#include <hivex.h>

#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "fileregistry/hive/hive_reader.h"
#include "fileregistry/hive/hivex_library.h"
#include "fileregistry/store.h"
#include "fileregistry/win32_registry.h"

namespace fileregistry {

// The hive is HKEY_LOCAL_MACHINE\Software: key paths start with this name.
inline constexpr std::string_view kSoftware = "Software";

// What hivex returns with malloc, freed when it goes out of scope.
struct FreeDeleter {
  void operator()(void* p) const { free(p); }
};
using HivexText = std::unique_ptr<char, FreeDeleter>;

using HiveHandle = std::unique_ptr<hive_h, int (*)(hive_h*)>;

// hivex opens files by name: it is given the name of a descriptor this
// process holds, /proc/self/fd/N, which no other user can point elsewhere.
std::string DescriptorPath(int fd);
// Opens the hive open as `fd` with hivex's `flags`; null when hivex cannot.
HiveHandle OpenHandle(int fd, int flags);

// The status for what hivex failed with: the system's own failures as such
// (4, 8, 112), anything else as a hive it could not read (1016).
LSTATUS HivexStatus(int error);
// Sets `*why` to `what` hivex failed at, with `error`; returns its status.
LSTATUS HivexFailed(const std::string& what, int error, std::string* why);
// Sets `*why` to what hivex failing to open a hive with `error` means, and
// returns its status: 1009 for a hive it cannot read, else as HivexFailed.
LSTATUS HivexCannotOpen(int error, std::string* why);

// The parts of key `path` below Software.
std::vector<std::string> Parts(std::string_view path);

// Finds key `path` in `hive`, read from the file open as `fd`: 0 with
// `*node` and `*stored_path` (the path in the case it was stored), 2 when it
// is missing, 1016 when a key on the way could not be read, which is no
// missing key. A key that counts no subkeys but lists some is such a key:
// hivex finds nothing below it, and a key added there would hide the others.
LSTATUS FindNode(hive_h* hive, int fd, std::string_view path, hive_node_h* node,
                 std::string* stored_path);
// Finds key `path` in `reader` as FindNode does in hivex: 0 with `*key`
// and `*stored_path`, 2, or 1016.
LSTATUS FindInReader(const HiveReader& reader, std::string_view path, HiveReader::Key* key,
                     std::string* stored_path);
// Value `name` of `node`: 0 with `*value`, 2, or 1016 as FindNode. A name
// with a zero character in it is never `name`, whatever comes before it.
LSTATUS ValueOf(hive_h* hive, int fd, hive_node_h node, std::string_view name, hive_value_h* value);
// Value `name` of key `path` as the hive holds it, texts in UTF-16LE: 0, 2,
// or 1016 as FindNode.
LSTATUS StoredValue(hive_h* hive, int fd, std::string_view path, std::string_view name,
                    RegValue* value);
// Every value of key `path` but `name`, in the order stored: 0 with
// `*values`, 2 when the key is missing, or 1016 as FindNode.
LSTATUS OtherValues(hive_h* hive, int fd, std::string_view path, std::string_view name,
                    std::vector<NamedValue>* values);
// Whether every key and value of `hive` reads back.
bool ReadsWhole(hive_h* hive);

}  // namespace fileregistry

#endif  // FILEREGISTRY_HIVE_HIVE_ACCESS_H_
