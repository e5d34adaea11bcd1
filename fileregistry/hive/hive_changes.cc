#include "fileregistry/hive/hive_changes.h"

#include <cerrno>

#include "fileregistry/hive/hive_access.h"
#include "fileregistry/win32_registry.h"

namespace fileregistry {
namespace {

const uint64_t kFirstBin = 4096;  // a reader's keys count from here, hivex's nodes from 0

// Whether `reader` finds key `path` of a new hive where hivex found `node`:
// 0 with `*key`, or 1016.
LSTATUS ReaderAgrees(const HiveReader& reader, std::string_view path, hive_node_h node,
                     HiveReader::Key* key) {
  std::string stored_path;
  if (FindInReader(reader, path, key, &stored_path) != ERROR_SUCCESS || node != kFirstBin + *key) {
    return ERROR_REGISTRY_IO_FAILED;
  }
  return ERROR_SUCCESS;
}

}  // namespace

HiveEdit AddingKey(const std::string& key) {
  return [key](hive_h* hive, int, std::string* why) -> LSTATUS {
    hive_node_h node = Hivex().root(hive);
    for (const std::string& part : Parts(key)) {
      errno = 0;
      hive_node_h child = Hivex().node_get_child(hive, node, part.c_str());
      if (child == 0 && errno != 0) return HivexFailed("cannot read the key " + key, errno, why);
      if (child == 0) child = Hivex().node_add_child(hive, node, part.c_str());
      if (child == 0) return HivexFailed("cannot add the key " + key, errno, why);
      node = child;
    }
    return ERROR_SUCCESS;
  };
}

HiveCheck KeyAdded(const std::string& key) {
  return [key](hive_h* hive, int fd) -> LSTATUS {
    hive_node_h node;
    std::string stored;
    HiveReader reader;
    HiveReader::Key found;
    if (LSTATUS status = FindNode(hive, fd, key, &node, &stored)) return status;
    if (reader.Open(fd, nullptr, &stored) != ERROR_SUCCESS) return ERROR_REGISTRY_IO_FAILED;
    return ReaderAgrees(reader, key, node, &found);
  };
}

HiveEdit SettingValue(const std::string& key, const std::string& value_name,
                      const RegValue& stored) {
  return [key, value_name, stored](hive_h* hive, int fd, std::string* why) -> LSTATUS {
    hive_node_h node;
    std::string stored_path;
    if (LSTATUS status = FindNode(hive, fd, key, &node, &stored_path)) {
      return status == ERROR_FILE_NOT_FOUND ? ERROR_KEY_DELETED
                                            : HivexFailed("cannot read the key " + key, errno, why);
    }
    // A value keeps the case of the name it was created with.
    std::string name = value_name;
    hive_value_h old_value;
    if (ValueOf(hive, fd, node, name, &old_value) == ERROR_SUCCESS) {
      HivexText old_name(Hivex().value_key(hive, old_value));
      if (old_name) name = old_name.get();
    }
    std::string data = stored.data;
    hive_set_value set = {&name[0], static_cast<hive_type>(stored.type), data.size(), &data[0]};
    if (Hivex().node_set_value(hive, node, &set, 0) != 0) {
      return HivexFailed("cannot set the value " + name, errno, why);
    }
    return ERROR_SUCCESS;
  };
}

HiveCheck ValueSet(const std::string& key, const std::string& value_name, const RegValue& stored,
                   const std::vector<NamedValue>& others) {
  return [key, value_name, stored, others](hive_h* hive, int fd) -> LSTATUS {
    RegValue back;
    std::vector<NamedValue> kept;
    LSTATUS status = StoredValue(hive, fd, key, value_name, &back);
    if (status == ERROR_SUCCESS) status = OtherValues(hive, fd, key, value_name, &kept);
    if (status != ERROR_SUCCESS) return status;
    // hivex rewrote every value of the key: the others must be as they were.
    if (!(back == stored && kept == others)) return ERROR_REGISTRY_IO_FAILED;
    // And so the reader sees them, at the key hivex found.
    hive_node_h node;
    std::string stored_path;
    HiveReader reader;
    HiveReader::Key found;
    if (FindNode(hive, fd, key, &node, &stored_path) != ERROR_SUCCESS ||
        reader.Open(fd, nullptr, &stored_path) != ERROR_SUCCESS ||
        ReaderAgrees(reader, key, node, &found) != ERROR_SUCCESS ||
        reader.Value(found, value_name, &back) != ERROR_SUCCESS ||
        reader.OtherValues(found, value_name, &kept) != ERROR_SUCCESS) {
      return ERROR_REGISTRY_IO_FAILED;
    }
    return back == stored && kept == others ? ERROR_SUCCESS : ERROR_REGISTRY_IO_FAILED;
  };
}

}  // namespace fileregistry
