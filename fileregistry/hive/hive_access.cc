#include "fileregistry/hive/hive_access.h"

#include <strings.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "fileregistry/key_path.h"
#include "fileregistry/win32_registry.h"

namespace fileregistry {
namespace {

// hivex's handles are file offsets; offsets within the hive count from its
// first bin, behind the base block.
const uint64_t kFirstBin = 4096;
const uint32_t kNoCell = 0xffffffff;

uint32_t Little(std::string_view bytes, size_t at, int size) {
  uint32_t number = 0;
  for (int i = size - 1; i >= 0; --i) number = number << 8 | static_cast<uint8_t>(bytes[at + i]);
  return number;
}

// The `size` bytes at `at` of the hive file open as `fd`; false where the
// file ends before them or cannot be read.
bool ReadAt(int fd, uint64_t at, size_t size, std::string* bytes) {
  bytes->resize(size);
  return pread(fd, bytes->data(), size, static_cast<off_t>(at)) == static_cast<ssize_t>(size);
}

// Whether key `node` counts no subkeys while its list of subkeys holds some.
// hivex leaves an empty list behind when it deletes the last subkey.
bool HidesSubkeys(int fd, hive_node_h node) {
  std::string nk, list;
  if (!ReadAt(fd, node, 4 + 32, &nk)) return true;
  uint32_t list_offset = Little(nk, 4 + 28, 4);
  if (Little(nk, 4 + 20, 4) != 0 || list_offset == kNoCell) return false;
  if (!ReadAt(fd, kFirstBin + list_offset, 8, &list)) return true;
  // lf, lh, li and ri lists all count their entries behind the signature.
  std::string_view kind = std::string_view(list).substr(4, 2);
  bool is_list = kind == "lf" || kind == "lh" || kind == "li" || kind == "ri";
  return !is_list || Little(list, 6, 2) != 0;
}

// The name of value `value` as Windows reads it: UTF-16LE, widened from the
// Latin-1 that most names are stored in. False when the file does not hold it.
bool StoredName(int fd, hive_value_h value, std::string* name) {
  std::string vk, stored;
  if (!ReadAt(fd, value, 4 + 20, &vk) ||
      !ReadAt(fd, value + 4 + 20, Little(vk, 4 + 2, 2), &stored)) {
    return false;
  }
  if ((Little(vk, 4 + 16, 2) & 1) == 0) {
    *name = std::move(stored);
    return true;
  }
  name->clear();
  for (char c : stored) name->append({c, '\0'});
  return true;
}

// Value `value`'s type and data.
LSTATUS DataOf(hive_h* hive, hive_value_h value, RegValue* data) {
  uint32_t type = 0;  // hivex may store any number there, not only a hive_type
  size_t size = 0;
  HivexText bytes(Hivex().value_value(hive, value, reinterpret_cast<hive_type*>(&type), &size));
  if (!bytes) return ERROR_REGISTRY_IO_FAILED;
  *data = RegValue{type, std::string(bytes.get(), size)};
  return ERROR_SUCCESS;
}

using HivexValues = std::unique_ptr<hive_value_h, FreeDeleter>;

}  // namespace

std::string DescriptorPath(int fd) { return "/proc/self/fd/" + std::to_string(fd); }

HiveHandle OpenHandle(int fd, int flags) {
  return HiveHandle(Hivex().open(DescriptorPath(fd).c_str(), flags), Hivex().close);
}

LSTATUS HivexStatus(int error) {
  switch (error) {
    case ENOMEM: return ERROR_OUTOFMEMORY;
    case EMFILE:
    case ENFILE: return ERROR_TOO_MANY_OPEN_FILES;
    case ENOSPC:
    case EDQUOT: return ERROR_DISK_FULL;
    case EFBIG: return ERROR_FILE_TOO_LARGE;
    default: return ERROR_REGISTRY_IO_FAILED;
  }
}

LSTATUS HivexFailed(const std::string& what, int error, std::string* why) {
  LSTATUS status = HivexStatus(error);
  *why = what + ": " + strerror(error);
  return status;
}

LSTATUS HivexCannotOpen(int error, std::string* why) {
  if (HivexStatus(error) != ERROR_REGISTRY_IO_FAILED) {
    return HivexFailed("hivex cannot open it", error, why);
  }
  if (error == ENOENT) {
    *why = "hivex is given /proc/self/fd, which is not there";
    return ERROR_REGISTRY_IO_FAILED;
  }
  *why = std::string("a hive that hivex cannot open: ") + strerror(error);
  return ERROR_BADDB;
}

std::vector<std::string> Parts(std::string_view path) {
  std::vector<std::string> parts;
  path.remove_prefix(std::min(path.size(), kSoftware.size() + 1));
  while (!path.empty()) {
    size_t slash = path.find('\\');
    parts.emplace_back(path.substr(0, slash));
    path.remove_prefix(slash == std::string_view::npos ? path.size() : slash + 1);
  }
  return parts;
}

LSTATUS FindNode(hive_h* hive, int fd, std::string_view path, hive_node_h* node,
                 std::string* stored_path) {
  if (!IsAtOrBelow(path, kSoftware)) return ERROR_FILE_NOT_FOUND;
  *stored_path = std::string(kSoftware);
  *node = Hivex().root(hive);
  for (const std::string& part : Parts(path)) {
    errno = 0;
    hive_node_h child = Hivex().node_get_child(hive, *node, part.c_str());
    if (child == 0) {
      return errno != 0 || HidesSubkeys(fd, *node) ? ERROR_REGISTRY_IO_FAILED
                                                   : ERROR_FILE_NOT_FOUND;
    }
    *node = child;
    HivexText name(Hivex().node_name(hive, *node));
    *stored_path += "\\" + std::string(name ? name.get() : part.c_str());
  }
  return ERROR_SUCCESS;
}

LSTATUS FindInReader(const HiveReader& reader, std::string_view path, HiveReader::Key* key,
                     std::string* stored_path) {
  if (!IsAtOrBelow(path, kSoftware)) return ERROR_FILE_NOT_FOUND;
  *stored_path = std::string(kSoftware);
  return reader.Find(reader.Root(), Parts(path), key, stored_path);
}

LSTATUS ValueOf(hive_h* hive, int fd, hive_node_h node, std::string_view name,
                hive_value_h* value) {
  HivexValues values(Hivex().node_values(hive, node));
  if (!values) return ERROR_REGISTRY_IO_FAILED;
  for (hive_value_h* at = values.get(); *at != 0; ++at) {
    HivexText key(Hivex().value_key(hive, *at));
    std::string stored;
    if (!key || !StoredName(fd, *at, &stored)) return ERROR_REGISTRY_IO_FAILED;
    // hivex's name ends at a zero character: the stored one may go on.
    if (strcasecmp(key.get(), std::string(name).c_str()) == 0 && !HasZero(stored)) {
      *value = *at;
      return ERROR_SUCCESS;
    }
  }
  return ERROR_FILE_NOT_FOUND;
}

LSTATUS StoredValue(hive_h* hive, int fd, std::string_view path, std::string_view name,
                    RegValue* value) {
  hive_node_h node;
  hive_value_h found;
  std::string stored_path;
  if (LSTATUS status = FindNode(hive, fd, path, &node, &stored_path)) return status;
  if (LSTATUS status = ValueOf(hive, fd, node, name, &found)) return status;
  return DataOf(hive, found, value);
}

LSTATUS OtherValues(hive_h* hive, int fd, std::string_view path, std::string_view name,
                    std::vector<NamedValue>* values) {
  hive_node_h node;
  hive_value_h skipped = 0;
  std::string stored_path;
  if (LSTATUS status = FindNode(hive, fd, path, &node, &stored_path)) return status;
  LSTATUS found = ValueOf(hive, fd, node, name, &skipped);
  if (found != ERROR_SUCCESS && found != ERROR_FILE_NOT_FOUND) return found;
  HivexValues handles(Hivex().node_values(hive, node));
  if (!handles) return ERROR_REGISTRY_IO_FAILED;
  values->clear();
  for (hive_value_h* at = handles.get(); *at != 0; ++at) {
    if (*at == skipped) continue;
    NamedValue value;
    if (!StoredName(fd, *at, &value.name)) return ERROR_REGISTRY_IO_FAILED;
    if (LSTATUS status = DataOf(hive, *at, &value.value)) return status;
    values->push_back(std::move(value));
  }
  return ERROR_SUCCESS;
}

bool ReadsWhole(hive_h* hive) {
  hivex_visitor visitor = {};
  visitor.value_any = [](hive_h*, void*, hive_node_h, hive_value_h, hive_type, size_t, const char*,
                         const char*) { return 0; };  // so that every value's data is read
  return Hivex().visit(hive, &visitor, sizeof(visitor), nullptr, 0) == 0;
}

}  // namespace fileregistry
