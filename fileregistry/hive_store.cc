#include "fileregistry/hive_store.h"

#include <fcntl.h>
#include <hivex.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/sendfile.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <new>
#include <vector>

#include "fileregistry/atomic_replace.h"
#include "fileregistry/fd.h"
#include "fileregistry/hive_access.h"
#include "fileregistry/hive_edit.h"
#include "fileregistry/hive_kind.h"
#include "fileregistry/hive_log.h"
#include "fileregistry/hive_recovery.h"
#include "fileregistry/key_path.h"
#include "fileregistry/refusal.h"
#include "fileregistry/utf16.h"
#include "fileregistry/win32_registry.h"

namespace fileregistry {
namespace {

const uint32_t kBaseBlockSize = 4096;

// A copy of the file's `size` bytes that no other program can change: what
// hivex reads, so that a file truncated or rewritten meanwhile can neither
// crash the run nor mix two versions. `recovered`, when not empty, is what
// the file's logs made of it, and what the copy holds instead.
long SealedCopy(const std::string& path, int fd, off_t size, const std::string& recovered,
                Fd* copy) {
  *copy = Fd(memfd_create("hive", MFD_CLOEXEC | MFD_ALLOW_SEALING));
  if (!copy->valid()) return RefuseErrno(path, errno);
  if (!recovered.empty()) {
    if (long status = WritePieces(copy->get(), {recovered})) {
      return Refuse(path, "cannot be copied (rc " + std::to_string(status) + ")", status);
    }
  }
  for (off_t offset = 0; recovered.empty() && offset < size;) {
    ssize_t n = sendfile(copy->get(), fd, &offset, static_cast<size_t>(size - offset));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return RefuseErrno(path, errno);
    if (n == 0) {
      return Refuse(path, "changed by another program while being read (rc 1016)",
                    ERROR_REGISTRY_IO_FAILED);
    }
  }
  if (fcntl(copy->get(), F_ADD_SEALS, F_SEAL_SHRINK | F_SEAL_GROW | F_SEAL_WRITE | F_SEAL_SEAL)) {
    return RefuseErrno(path, errno);
  }
  return ERROR_SUCCESS;
}

class HiveStore : public Store {
 public:
  HiveStore(std::string path, Fd copy, HiveHandle hive, std::string unreplayed, std::string file,
            std::string other_kind)
      : path_(std::move(path)),
        copy_(std::move(copy)),
        hive_(std::move(hive)),
        unreplayed_(std::move(unreplayed)),
        file_(std::move(file)),
        other_kind_(std::move(other_kind)) {}

  bool Intact() const override { return !failed_; }
  const char* Damage() const override { return "hivex could not read it"; }

  long FindKey(std::string_view path, std::string* stored_path) const override {
    if (path.empty()) {
      stored_path->clear();
      return ERROR_SUCCESS;
    }
    hive_node_h node;
    return Looked(FindNode(hive_.get(), copy_.get(), path, &node, stored_path));
  }

  long FindValue(std::string_view path, std::string_view name, RegValue* value) const override {
    if (long status = Looked(StoredValue(hive_.get(), copy_.get(), path, name, value))) {
      return status;
    }
    // Texts are UTF-16LE; the ...A calls see them in the code page, with
    // whatever terminating zero they were stored with.
    if (IsTextType(value->type) && value->data.size() % 2 == 0) {
      value->data = Utf16ToUtf8(value->data);
    }
    return ERROR_SUCCESS;
  }

  long AddKey(std::string_view path, Replacement* file) const override {
    if (!IsAtOrBelow(path, kSoftware)) return ERROR_ACCESS_DENIED;  // no keys of HKLM's own
    if (long status = Writable()) return status;
    std::string key(path);
    *file = Editing(
        [key](hive_h* hive, int, std::string* why) -> long {
          hive_node_h node = Hivex().root(hive);
          for (const std::string& part : Parts(key)) {
            errno = 0;
            hive_node_h child = Hivex().node_get_child(hive, node, part.c_str());
            if (child == 0 && errno != 0)
              return HivexFailed("cannot read the key " + key, errno, why);
            if (child == 0) child = Hivex().node_add_child(hive, node, part.c_str());
            if (child == 0) return HivexFailed("cannot add the key " + key, errno, why);
            node = child;
          }
          return ERROR_SUCCESS;
        },
        [key](hive_h* hive, int fd) {
          hive_node_h node;
          std::string stored;
          return FindNode(hive, fd, key, &node, &stored);
        });
    return ERROR_SUCCESS;
  }

  long SetValue(std::string_view path, std::string_view name, const RegValue& value,
                bool zero_behind, Replacement* file) const override {
    RegValue stored{value.type, value.data};
    if (IsTextType(value.type)) {
      if (zero_behind) stored.data.push_back('\0');
      std::string utf16;
      if (!Utf8ToUtf16(stored.data, &utf16)) return ERROR_NO_UNICODE_TRANSLATION;
      stored.data = std::move(utf16);
    }
    RegValue old;
    long found = Looked(StoredValue(hive_.get(), copy_.get(), path, name, &old));
    if (found == ERROR_SUCCESS && old == stored) return ERROR_SUCCESS;  // no change, no write
    if (long status = Writable()) return status;
    std::vector<NamedValue> others;
    if (long status = OthersToKeep(path, name, &others)) return status;
    std::string key(path), value_name(name);
    *file = Editing(
        [key, value_name, stored](hive_h* hive, int fd, std::string* why) -> long {
          hive_node_h node;
          std::string stored_path;
          if (long status = FindNode(hive, fd, key, &node, &stored_path)) {
            return status == ERROR_FILE_NOT_FOUND
                       ? ERROR_KEY_DELETED
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
          hive_set_value set = {&name[0], static_cast<hive_type>(stored.type), data.size(),
                                &data[0]};
          if (Hivex().node_set_value(hive, node, &set, 0) != 0) {
            return HivexFailed("cannot set the value " + name, errno, why);
          }
          return ERROR_SUCCESS;
        },
        [key, value_name, stored, others](hive_h* hive, int fd) -> long {
          RegValue back;
          std::vector<NamedValue> kept;
          long status = StoredValue(hive, fd, key, value_name, &back);
          if (status == ERROR_SUCCESS) status = OtherValues(hive, fd, key, value_name, &kept);
          if (status != ERROR_SUCCESS) return status;
          // hivex rewrote every value of the key: the others must be as they were.
          return back == stored && kept == others ? ERROR_SUCCESS : ERROR_REGISTRY_IO_FAILED;
        });
    return ERROR_SUCCESS;
  }

 private:
  // A lookup's status; a failure makes the store not Intact.
  long Looked(long status) const {
    if (status == ERROR_REGISTRY_IO_FAILED) failed_ = true;
    return status;
  }

  // Sets `*others` to the values of key `path` but `name`, which a change
  // of `name` must keep as they are; refuses (50) when hivex could not.
  long OthersToKeep(std::string_view path, std::string_view name,
                    std::vector<NamedValue>* others) const {
    if (long status = Looked(OtherValues(hive_.get(), copy_.get(), path, name, others))) {
      return status;
    }
    for (const NamedValue& other : *others) {
      if (HasZero(other.name)) {
        return Refuse(path_,
                      "the key " + std::string(path) +
                          " holds a value whose name has a zero character in it, which hivex "
                          "would cut short (rc 50)",
                      ERROR_NOT_SUPPORTED);
      }
    }
    return ERROR_SUCCESS;
  }

  // Never a dirty hive whose logs did not replay, one hivex could not
  // read, nor another hive than SOFTWARE.
  long Writable() const {
    if (failed_) return ERROR_REGISTRY_IO_FAILED;
    if (!other_kind_.empty()) {
      return Refuse(path_,
                    "not written: it looks like " + other_kind_ + ", not a SOFTWARE one (rc 5)",
                    ERROR_ACCESS_DENIED);
    }
    if (!unreplayed_.empty()) {
      return Refuse(
          path_,
          "not written: it holds changes that its logs cannot replay (" + unreplayed_ + ") (rc 19)",
          ERROR_WRITE_PROTECT);
    }
    return ERROR_SUCCESS;
  }

  // The new file: the hive copy with `edit` made, written by a child.
  Replacement Editing(HiveEdit edit, HiveCheck check) const {
    Replacement file;
    file.write = [this, edit, check](int fd) -> long {
      if (long status = EditInChild(path_, copy_.get(), fd, edit, check)) return status;
      struct stat st;
      if (fstat(fd, &st) != 0) return RefuseErrno(path_, errno);
      if (static_cast<uint64_t>(st.st_size) > kLargestStore) {
        return Refuse(path_, "hivex would make it larger than 1 GiB (rc 223)",
                      ERROR_FILE_TOO_LARGE);
      }
      return ERROR_SUCCESS;
    };
    file.says_why = true;
    file.made_from = [this](int fd) { return MadeFrom(fd); };
    return file;
  }

  // Whether the file open as `fd` still holds the bytes the copy was made
  // from: the copy's own, or for a dirty hive those its logs were replayed
  // over. As SameBytes.
  long MadeFrom(int fd) const {
    if (!file_.empty()) return SameBytes(fd, file_);
    struct stat st;
    if (fstat(copy_.get(), &st) != 0) return StatusFromErrno(errno);
    if (st.st_size == 0) return SameBytes(fd, "");
    void* copy =
        mmap(nullptr, static_cast<size_t>(st.st_size), PROT_READ, MAP_PRIVATE, copy_.get(), 0);
    if (copy == MAP_FAILED) return StatusFromErrno(errno);
    long status = SameBytes(
        fd, std::string_view(static_cast<const char*>(copy), static_cast<size_t>(st.st_size)));
    munmap(copy, static_cast<size_t>(st.st_size));
    return status;
  }

  std::string path_;
  Fd copy_;  // the sealed copy of the file that hive_ reads
  HiveHandle hive_;
  std::string unreplayed_;                   // why the logs of a dirty hive did not replay
  std::string file_;                         // a dirty hive's own bytes, where its logs replayed
  std::string other_kind_;                   // what it is when another hive than SOFTWARE
  mutable std::atomic<bool> failed_{false};  // hivex failed to read a key or value
};

// Whether the base block in `head` is whole, and its bins no more than the
// `size` bytes of the file hold; `*why` says otherwise.
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

// Opens the sealed copy `copy` with hivex. Returns 0; 1009 with `*why` set
// when it is no hive hivex can read; or another status, said.
long OpenCopy(const std::string& path, const Fd& copy, HiveHandle* hive, std::string* why) {
  errno = 0;
  *hive = OpenHandle(copy.get(), 0);
  if (*hive) return ERROR_SUCCESS;
  int error = errno;
  if (HivexStatus(error) != ERROR_REGISTRY_IO_FAILED) {
    std::string reason;
    long status = HivexFailed("hivex cannot open it", error, &reason);
    return Refuse(path, reason, status);
  }
  if (error == ENOENT) {
    return Refuse(path, "hivex is given /proc/self/fd, which is not there (rc 1016)",
                  ERROR_REGISTRY_IO_FAILED);
  }
  *why = std::string("a hive that hivex cannot open: ") + strerror(error) + " (rc 1009)";
  return ERROR_BADDB;
}

}  // namespace

bool IsHive(std::string_view head) { return head.substr(0, 4) == "regf"; }

long OpenHive(const StoreLocation& at, int fd, std::string_view head, const struct stat& st,
              std::shared_ptr<const Store>* store, std::string* why) {
  const std::string& path = at.path;
  // A dirty hive is read as Windows will read it: with its logs replayed.
  std::string recovered, file;
  Recovery recovery;
  if (IsDirtyHive(head)) {
    if (!ReadBytes(fd, st.st_size, &recovered)) return RefuseErrno(path, errno);
    file = recovered;
    recovery = RecoverHive(at, fd, st, &recovered);
    if (!recovery.replayed) {
      recovered.clear();
      file.clear();
    }
  }
  if (!recovered.empty()) head = recovered;
  off_t size = recovered.empty() ? st.st_size : static_cast<off_t>(recovered.size());
  if (!HeaderFits(head, size, why)) return ERROR_BADDB;
  std::string unloadable;
  if (int error = LoadHivex(&unloadable)) {
    long status = HivexStatus(error);
    return Refuse(path, unloadable + " (rc " + std::to_string(status) + ")", status);
  }
  Fd copy;
  if (long status = SealedCopy(path, fd, size, recovered, &copy)) return status;
  HiveHandle hive(nullptr, nullptr);
  if (long status = OpenCopy(path, copy, &hive, why)) return status;
  if (!recovery.replayed && IsDirtyHive(head)) {
    Refuse(path,
           "the values shown are the file's, not what Windows will see: it holds changes that "
           "its logs cannot replay (" +
               recovery.why + ")",
           ERROR_SUCCESS);
  } else if (!recovery.ignored.empty()) {
    Refuse(path,
           "the values shown may not be what Windows will see: not replayed: " + recovery.ignored,
           ERROR_SUCCESS);
  }
  hive_node_h root = Hivex().root(hive.get());
  std::string other_kind = OtherHiveKind(head, [&hive, root](const char* name) {
    return root != 0 && Hivex().node_get_child(hive.get(), root, name) != 0;
  });
  // A log left out may hold changes a write would lose for good.
  *store = std::make_shared<HiveStore>(path, std::move(copy), std::move(hive),
                                       recovery.replayed ? recovery.ignored : recovery.why,
                                       std::move(file), std::move(other_kind));
  return ERROR_SUCCESS;
}

}  // namespace fileregistry
