#include "fileregistry/hive_store.h"

#include <fcntl.h>
#include <hivex.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "fileregistry/fd.h"
#include "fileregistry/file_map.h"
#include "fileregistry/reg_text.h"
#include "fileregistry/win32_registry.h"

namespace fileregistry {
namespace {

const char kSoftware[] = "Software";

bool IsTextType(uint32_t type) {
  return type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ;
}

// What hivex returns with malloc, freed when it goes out of scope.
template <typename T>
struct Malloced {
  T* data;
  explicit Malloced(T* p) : data(p) {}
  ~Malloced() { free(data); }
  Malloced(const Malloced&) = delete;
  Malloced& operator=(const Malloced&) = delete;
};

// hivex opens files by name: it is given the name of a descriptor this
// process holds, which no other user can point elsewhere.
std::string DescriptorPath(int fd) { return "/proc/self/fd/" + std::to_string(fd); }

std::shared_ptr<hive_h> OpenHandle(int fd, int flags) {
  hive_h* hive = hivex_open(DescriptorPath(fd).c_str(), flags);
  if (hive == nullptr) return nullptr;
  return std::shared_ptr<hive_h>(hive, hivex_close);
}

uint32_t Word(std::string_view bytes, size_t at) {
  uint32_t word = 0;
  for (int i = 3; i >= 0; --i) word = word << 8 | static_cast<unsigned char>(bytes[at + i]);
  return word;
}

class HiveStore : public Store {
 public:
  HiveStore(std::string path, Fd file, std::shared_ptr<hive_h> hive, bool dirty,
            std::shared_ptr<FileMap> watch)
      : path_(std::move(path)),
        file_(std::move(file)),
        hive_(std::move(hive)),
        dirty_(dirty),
        watch_(std::move(watch)) {}

  bool Intact() const override { return !failed_ && (!watch_ || watch_->Intact()); }
  const char* Damage() const override {
    return failed_ ? "hivex could not read it" : Store::Damage();
  }

  bool FindKey(std::string_view path, std::string* stored_path) const override {
    if (path.empty()) {
      stored_path->clear();
      return true;
    }
    return Node(hive_.get(), path, stored_path) != 0;
  }

  bool FindValue(std::string_view path, std::string_view name, RegValue* value) const override {
    if (!StoredValue(path, name, value)) return false;
    // Texts are UTF-16LE; the ...A calls see them in the code page, with
    // whatever terminating zero they were stored with.
    if (IsTextType(value->type) && value->data.size() % 2 == 0) {
      value->data = Utf16ToUtf8(value->data);
    }
    return true;
  }

  long AddKey(std::string_view path, Replacement* file) const override {
    if (!IsAtOrBelow(path, kSoftware)) return ERROR_ACCESS_DENIED;  // no keys of HKLM's own
    std::shared_ptr<hive_h> hive;
    if (long status = Writable(&hive)) return status;
    hive_node_h node = hivex_root(hive.get());
    for (const std::string& part : Parts(path)) {
      errno = 0;
      hive_node_h child = hivex_node_get_child(hive.get(), node, part.c_str());
      if (child == 0 && errno != 0) return HivexFailed("cannot read the key " + std::string(path));
      if (child == 0) child = hivex_node_add_child(hive.get(), node, part.c_str());
      if (child == 0) return HivexFailed("cannot add the key " + std::string(path));
      node = child;
    }
    *file = Committing(hive);
    return ERROR_SUCCESS;
  }

  long SetValue(std::string_view path, std::string_view name, const RegValue& value,
                bool zero_behind, Replacement* file) const override {
    std::string data = value.data;
    if (IsTextType(value.type)) {
      if (zero_behind) data.push_back('\0');
      std::string utf16;
      if (!Utf8ToUtf16(data, &utf16)) return ERROR_NO_UNICODE_TRANSLATION;
      data = std::move(utf16);
    }
    RegValue stored;
    if (StoredValue(path, name, &stored) && stored == RegValue{value.type, data}) {
      return ERROR_SUCCESS;  // no change, no write
    }

    std::shared_ptr<hive_h> hive;
    if (long status = Writable(&hive)) return status;
    std::string stored_path;
    hive_node_h node = Node(hive.get(), path, &stored_path);
    if (node == 0)
      return failed_ ? HivexFailed("cannot read the key " + std::string(path)) : ERROR_KEY_DELETED;
    // A value keeps the case of the name it was created with.
    std::string key(name);
    if (hive_value_h old = Value(hive.get(), node, key)) {
      Malloced<char> old_key(hivex_value_key(hive.get(), old));
      if (old_key.data != nullptr) key = old_key.data;
    }
    hive_set_value set = {&key[0], static_cast<hive_type>(value.type), data.size(), &data[0]};
    if (hivex_node_set_value(hive.get(), node, &set, 0) != 0) {
      return HivexFailed("cannot set the value " + key);
    }
    *file = Committing(hive);
    return ERROR_SUCCESS;
  }

 private:
  // The parts of `path` below Software.
  static std::vector<std::string> Parts(std::string_view path) {
    std::vector<std::string> parts;
    path.remove_prefix(std::min(path.size(), sizeof(kSoftware)));
    while (!path.empty()) {
      size_t slash = path.find('\\');
      parts.emplace_back(path.substr(0, slash));
      path.remove_prefix(slash == std::string_view::npos ? path.size() : slash + 1);
    }
    return parts;
  }

  // The node of key `path` in `hive`, or 0; `*stored_path` gets the path in
  // the case it was stored. A key hivex could not read is no missing key: it
  // makes the store not Intact.
  hive_node_h Node(hive_h* hive, std::string_view path, std::string* stored_path) const {
    if (!IsAtOrBelow(path, kSoftware)) return 0;
    *stored_path = std::string(path.substr(0, sizeof(kSoftware) - 1));
    hive_node_h node = hivex_root(hive);
    for (const std::string& part : Parts(path)) {
      errno = 0;
      node = hivex_node_get_child(hive, node, part.c_str());
      if (node == 0) {
        if (errno != 0) failed_ = true;
        return 0;
      }
      Malloced<char> name(hivex_node_name(hive, node));
      *stored_path += "\\" + std::string(name.data != nullptr ? name.data : part.c_str());
    }
    return node;
  }

  // Value `name` of key `path` as the hive holds it, texts in UTF-16LE.
  bool StoredValue(std::string_view path, std::string_view name, RegValue* value) const {
    std::string stored_path;
    hive_node_h node = Node(hive_.get(), path, &stored_path);
    hive_value_h found = node != 0 ? Value(hive_.get(), node, name) : 0;
    if (found == 0) return false;
    hive_type type;
    size_t size = 0;
    Malloced<char> data(hivex_value_value(hive_.get(), found, &type, &size));
    if (data.data == nullptr) {
      failed_ = true;
      return false;
    }
    *value = RegValue{static_cast<uint32_t>(type), std::string(data.data, size)};
    return true;
  }

  // Value `name` of `node`, or 0; as Node, for what hivex could not read.
  hive_value_h Value(hive_h* hive, hive_node_h node, std::string_view name) const {
    errno = 0;
    hive_value_h value = hivex_node_get_value(hive, node, std::string(name).c_str());
    if (value == 0 && errno != 0) failed_ = true;
    return value;
  }

  // A handle of its own to change the hive with; never for a dirty hive.
  long Writable(std::shared_ptr<hive_h>* hive) const {
    if (dirty_) {
      return Refuse(path_,
                    "the hive holds changes still in its log files (.LOG1, .LOG2), which Windows "
                    "has not yet replayed; start Windows and shut it down fully (no fast startup, "
                    "no hibernation) before changing it (rc 19)",
                    ERROR_WRITE_PROTECT);
    }
    *hive = OpenHandle(file_.get(), HIVEX_OPEN_WRITE);
    if (*hive == nullptr) return HivexFailed("hivex cannot open it to write");
    return ERROR_SUCCESS;
  }

  long HivexFailed(const std::string& what) const {
    int error = errno;
    return Refuse(path_, what + ": " + strerror(error) + " (rc 1016)", ERROR_REGISTRY_IO_FAILED);
  }

  static Replacement Committing(std::shared_ptr<hive_h> hive) {
    Replacement file;
    file.write = [hive](int fd) -> long {
      if (hivex_commit(hive.get(), DescriptorPath(fd).c_str(), 0) == 0) return ERROR_SUCCESS;
      return errno == ENOSPC || errno == EDQUOT ? ERROR_DISK_FULL : ERROR_REGISTRY_IO_FAILED;
    };
    return file;
  }

  std::string path_;
  Fd file_;  // the hive's file, as it was opened once
  std::shared_ptr<hive_h> hive_;
  bool dirty_;
  std::shared_ptr<FileMap> watch_;           // hivex's mapping of the file; let go before it is
  mutable std::atomic<bool> failed_{false};  // hivex failed to read a key or value
};

}  // namespace

bool IsHive(std::string_view head) { return head.substr(0, 4) == "regf"; }

long OpenHive(const std::string& path, int fd, std::string_view head,
              std::shared_ptr<const Store>* store, std::string* why) {
  Fd file(fcntl(fd, F_DUPFD_CLOEXEC, 0));
  std::shared_ptr<hive_h> hive = file.valid() ? OpenHandle(file.get(), 0) : nullptr;
  if (hive == nullptr) {
    *why = std::string("a hive that hivex cannot open: ") + strerror(errno);
    return ERROR_BADDB;
  }
  // hivex reads the file through a mapping of its own: watched like ours, so
  // that a hive truncated under us is caught, not a crash.
  std::shared_ptr<FileMap> watch = FileMap::Watch(fd);
  // Primary and secondary sequence numbers that differ: Windows stopped with
  // changes still in the logs.
  bool dirty = head.size() < 12 || Word(head, 4) != Word(head, 8);
  *store =
      std::make_shared<HiveStore>(path, std::move(file), std::move(hive), dirty, std::move(watch));
  return ERROR_SUCCESS;
}

}  // namespace fileregistry
