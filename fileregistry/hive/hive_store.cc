#include "fileregistry/hive/hive_store.h"

#include <fcntl.h>
#include <hivex.h>
#include <sys/mman.h>
#include <sys/sendfile.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <vector>

#include "fileregistry/file/fd.h"
#include "fileregistry/file/file_bytes.h"
#include "fileregistry/hive/hive_access.h"
#include "fileregistry/hive/hive_edit.h"
#include "fileregistry/hive/hive_kind.h"
#include "fileregistry/hive/hive_log.h"
#include "fileregistry/hive/hive_reader.h"
#include "fileregistry/hive/hive_recovery.h"
#include "fileregistry/key_path.h"
#include "fileregistry/refusal.h"
#include "fileregistry/unicode/utf16.h"
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
      return Refuse(path, "cannot be copied", status);
    }
  }
  for (off_t offset = 0; recovered.empty() && offset < size;) {
    ssize_t n = sendfile(copy->get(), fd, &offset, static_cast<size_t>(size - offset));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return RefuseErrno(path, errno);
    if (n == 0) {
      return Refuse(path, "changed by another program while being read", ERROR_REGISTRY_IO_FAILED);
    }
  }
  if (fcntl(copy->get(), F_ADD_SEALS, F_SEAL_SHRINK | F_SEAL_GROW | F_SEAL_WRITE | F_SEAL_SEAL)) {
    return RefuseErrno(path, errno);
  }
  return ERROR_SUCCESS;
}

// The parts of `path` below Software found in `reader`: 0 with `*key` and
// `*stored_path`, 2, or 1016.
long FindIn(const HiveReader& reader, std::string_view path, HiveReader::Key* key,
            std::string* stored_path) {
  if (!IsAtOrBelow(path, kSoftware)) return ERROR_FILE_NOT_FOUND;
  *stored_path = std::string(kSoftware);
  return reader.Find(reader.Root(), Parts(path), key, stored_path);
}

// Value `name` of key `path` in `reader`, as stored: 0, 2, or 1016.
long StoredValueIn(const HiveReader& reader, std::string_view path, std::string_view name,
                   RegValue* value) {
  HiveReader::Key key;
  std::string stored_path;
  if (long status = FindIn(reader, path, &key, &stored_path)) return status;
  return reader.Value(key, name, value);
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
    return Refuse(path, "hivex is given /proc/self/fd, which is not there",
                  ERROR_REGISTRY_IO_FAILED);
  }
  *why = std::string("a hive that hivex cannot open: ") + strerror(error);
  return ERROR_BADDB;
}

// What hivex writes from: a sealed copy of the hive open as `fd`, `size`
// bytes, or of `recovered` when not null, which hivex opens. Returns 0; 1009
// with `*why` set; or another status, said.
long CopyForHivex(const std::string& path, int fd, off_t size,
                  const std::shared_ptr<const std::string>& recovered, Fd* copy, std::string* why) {
  std::string unloadable;
  if (int error = LoadHivex(&unloadable)) {
    long status = HivexStatus(error);
    return Refuse(path, unloadable, status);
  }
  static const std::string* none = new std::string;
  if (long status = SealedCopy(path, fd, size, recovered ? *recovered : *none, copy)) return status;
  HiveHandle hive(nullptr, nullptr);
  return OpenCopy(path, *copy, &hive, why);
}

class HiveStore : public Store {
 public:
  HiveStore(std::string path, Fd file, std::shared_ptr<const std::string> recovered, off_t size,
            HiveReader reader, std::string unreplayed, std::string file_bytes,
            std::string other_kind)
      : path_(std::move(path)),
        file_(std::move(file)),
        recovered_(std::move(recovered)),
        size_(size),
        reader_(std::move(reader)),
        unreplayed_(std::move(unreplayed)),
        file_bytes_(std::move(file_bytes)),
        other_kind_(std::move(other_kind)) {}

  bool Intact() const override { return !failed_; }
  const char* Damage() const override { return "hivex could not read it"; }

  long FindKey(std::string_view path, std::string* stored_path) const override {
    if (path.empty()) {
      stored_path->clear();
      return ERROR_SUCCESS;
    }
    HiveReader::Key key;
    return Looked(FindIn(reader_, path, &key, stored_path));
  }

  long FindValue(std::string_view path, std::string_view name, RegValue* value) const override {
    if (long status = Looked(StoredValueIn(reader_, path, name, value))) return status;
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
    if (long status = Sealed()) return status;
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
    long found = Looked(StoredValueIn(reader_, path, name, &old));
    if (found == ERROR_SUCCESS && old == stored) return ERROR_SUCCESS;  // no change, no write
    if (long status = Writable()) return status;
    if (long status = Sealed()) return status;
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

  // Makes, for the first write, the sealed copy hivex writes from, and its
  // reader: the checks before a write read what hivex will change. Returns
  // 0, or a status, said.
  long Sealed() const {
    std::lock_guard<std::mutex> lock(copy_mutex_);
    if (copy_.valid()) return ERROR_SUCCESS;
    Fd copy;
    std::string why;
    if (long status = CopyForHivex(path_, file_.get(), size_, recovered_, &copy, &why)) {
      return why.empty() ? status : Refuse(path_, why, status);
    }
    if (copy_reader_.Open(copy.get(), nullptr, &why) != ERROR_SUCCESS) {
      return Looked(ERROR_REGISTRY_IO_FAILED);  // changed since it was first read
    }
    copy_ = std::move(copy);
    return ERROR_SUCCESS;
  }

  // Sets `*others` to the values of key `path` but `name` in the sealed
  // copy, which a change of `name` must keep as they are; refuses (50) when
  // hivex could not.
  long OthersToKeep(std::string_view path, std::string_view name,
                    std::vector<NamedValue>* others) const {
    HiveReader::Key key;
    std::string stored_path;
    long status = FindIn(copy_reader_, path, &key, &stored_path);
    if (status == ERROR_SUCCESS) status = copy_reader_.OtherValues(key, name, others);
    if (Looked(status)) return status;
    for (const NamedValue& other : *others) {
      if (HasZero(other.name)) {
        return Refuse(path_,
                      "the key " + std::string(path) +
                          " holds a value whose name has a zero character in it, which hivex "
                          "would cut short",
                      ERROR_NOT_SUPPORTED);
      }
    }
    return ERROR_SUCCESS;
  }

  // Never a dirty hive whose logs did not replay, a damaged one, nor
  // another hive than SOFTWARE.
  long Writable() const {
    if (failed_) return ERROR_REGISTRY_IO_FAILED;
    if (!other_kind_.empty()) {
      return Refuse(path_, "not written: it looks like " + other_kind_ + ", not a SOFTWARE one",
                    ERROR_ACCESS_DENIED);
    }
    if (!unreplayed_.empty()) {
      return Refuse(
          path_, "not written: it holds changes that its logs cannot replay (" + unreplayed_ + ")",
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
        return Refuse(path_, "hivex would make it larger than 1 GiB", ERROR_FILE_TOO_LARGE);
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
    if (!file_bytes_.empty()) return SameBytes(fd, file_bytes_);
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
  Fd file_;                                       // the hive, where not recovered
  std::shared_ptr<const std::string> recovered_;  // what its logs made of it
  off_t size_;
  HiveReader reader_;                        // of file_ or recovered_: what views read
  std::string unreplayed_;                   // why the logs of a dirty hive did not replay
  std::string file_bytes_;                   // a dirty hive's own bytes, where its logs replayed
  std::string other_kind_;                   // what it is when another hive than SOFTWARE
  mutable std::atomic<bool> failed_{false};  // a lookup met damage
  mutable std::mutex copy_mutex_;
  mutable Fd copy_;                 // the sealed copy hivex writes from, made for a write
  mutable HiveReader copy_reader_;  // of copy_
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

// Sets `*own` to a descriptor of the hive open as `fd`, `size` bytes, that
// does not share its lock: the same file opened anew, through /proc/self/fd.
// Where that is missing, `*whole` holds the file's bytes instead. Returns 0,
// or a status, said.
long OwnDescriptor(const std::string& path, int fd, off_t size, Fd* own,
                   std::shared_ptr<const std::string>* whole) {
  *own = Fd(open(DescriptorPath(fd).c_str(), O_RDONLY | O_CLOEXEC));
  if (own->valid()) return ERROR_SUCCESS;
  if (errno != ENOENT) return RefuseErrno(path, errno);
  auto bytes = std::make_shared<std::string>();
  if (!ReadBytes(fd, size, bytes.get())) return RefuseErrno(path, errno);
  *whole = std::move(bytes);
  return ERROR_SUCCESS;
}

// Opens `*reader` on the hive open as `fd`, `size` bytes, or on `image`.
// Returns 0; 1009 with `*why` set; or another status, said. A hive it
// refuses is one hivex is asked about, as a write would ask: its refusal is
// the one given.
long OpenReader(const std::string& path, int fd, off_t size,
                const std::shared_ptr<const std::string>& image, HiveReader* reader,
                std::string* why) {
  std::string refused;
  long status = reader->Open(fd, image, &refused);
  if (status == ERROR_REGISTRY_IO_FAILED) {
    return Refuse(path, "changed by another program while being read", status);
  }
  if (status == ERROR_SUCCESS) return status;
  Fd copy;
  if (long hivex = CopyForHivex(path, fd, size, image, &copy, why)) return hivex;
  *why = refused;
  return ERROR_BADDB;
}

}  // namespace

bool IsHive(std::string_view head) { return head.substr(0, 4) == "regf"; }

long OpenHive(const StoreLocation& at, int fd, std::string_view head, const struct stat& st,
              std::shared_ptr<const Store>* store, std::string* why) {
  const std::string& path = at.path;
  // A dirty hive is read as Windows will read it: with its logs replayed.
  std::string recovered, file_bytes;
  Recovery recovery;
  if (IsDirtyHive(head)) {
    if (!ReadBytes(fd, st.st_size, &recovered)) return RefuseErrno(path, errno);
    file_bytes = recovered;
    recovery = RecoverHive(at, fd, st, &recovered);
    if (!recovery.replayed) {
      recovered.clear();
      file_bytes.clear();
    }
  }
  if (!recovered.empty()) head = recovered;
  off_t size = recovered.empty() ? st.st_size : static_cast<off_t>(recovered.size());
  // Its numbers are its reason; said here, it is read again by the next call.
  std::string unfit;
  if (!HeaderFits(head, size, &unfit)) return Say(path, unfit, ERROR_BADDB);
  std::shared_ptr<const std::string> image;
  if (!recovered.empty()) image = std::make_shared<const std::string>(std::move(recovered));
  Fd file;
  if (!image) {
    if (long status = OwnDescriptor(path, fd, size, &file, &image)) return status;
  }
  HiveReader reader;
  if (long status = OpenReader(path, file.get(), size, image, &reader, why)) return status;
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
  std::string other_kind = OtherHiveKind(head, [&reader](const char* name) {
    HiveReader::Key key;
    std::string stored;
    return reader.Child(reader.Root(), name, &key, &stored) == ERROR_SUCCESS;
  });
  // A log left out may hold changes a write would lose for good.
  *store =
      std::make_shared<HiveStore>(path, std::move(file), std::move(image), size, std::move(reader),
                                  recovery.replayed ? recovery.ignored : recovery.why,
                                  std::move(file_bytes), std::move(other_kind));
  return ERROR_SUCCESS;
}

}  // namespace fileregistry
