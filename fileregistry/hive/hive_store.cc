#include "fileregistry/hive/hive_store.h"

#include <sys/stat.h>

#include <atomic>
#include <cerrno>
#include <mutex>
#include <vector>

#include "fileregistry/file/fd.h"
#include "fileregistry/hive/hive_access.h"
#include "fileregistry/hive/hive_changes.h"
#include "fileregistry/hive/hive_edit.h"
#include "fileregistry/hive/hive_kind.h"
#include "fileregistry/hive/hive_log.h"
#include "fileregistry/hive/hive_open.h"
#include "fileregistry/hive/hive_reader.h"
#include "fileregistry/hive/hive_recovery.h"
#include "fileregistry/hive/hive_source.h"
#include "fileregistry/key_path.h"
#include "fileregistry/refusal.h"
#include "fileregistry/unicode/utf16.h"
#include "fileregistry/win32_registry.h"

namespace fileregistry {
namespace {

// Value `name` of key `path` in `reader`, as stored: 0, 2, or 1016.
LSTATUS StoredValueIn(const HiveReader& reader, std::string_view path, std::string_view name,
                      RegValue* value) {
  HiveReader::Key key;
  std::string stored_path;
  if (LSTATUS status = FindInReader(reader, path, &key, &stored_path)) return status;
  return reader.Value(key, name, value);
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

  LSTATUS FindKey(std::string_view path, std::string* stored_path) const override {
    if (path.empty()) {
      stored_path->clear();
      return ERROR_SUCCESS;
    }
    HiveReader::Key key;
    return Looked(FindInReader(reader_, path, &key, stored_path));
  }

  LSTATUS FindValue(std::string_view path, std::string_view name, RegValue* value) const override {
    if (LSTATUS status = Looked(StoredValueIn(reader_, path, name, value))) return status;
    // Texts are UTF-16LE; the ...A calls see them in the code page, with
    // whatever terminating zero they were stored with.
    if (IsTextType(value->type) && value->data.size() % 2 == 0) {
      value->data = Utf16ToUtf8(value->data);
    }
    return ERROR_SUCCESS;
  }

  LSTATUS AddKey(std::string_view path, Replacement* file) const override {
    if (!IsAtOrBelow(path, kSoftware)) return ERROR_ACCESS_DENIED;  // no keys of HKLM's own
    if (LSTATUS status = Writable()) return status;
    std::shared_ptr<const HiveSource> source;
    if (LSTATUS status = Source(&source)) return status;
    std::string key(path);
    *file = Editing(source, AddingKey(key), KeyAdded(key));
    return ERROR_SUCCESS;
  }

  LSTATUS SetValue(std::string_view path, std::string_view name, const RegValue& value,
                   bool zero_behind, Replacement* file) const override {
    RegValue stored{value.type, value.data};
    if (IsTextType(value.type)) {
      if (zero_behind) stored.data.push_back('\0');
      std::string utf16;
      if (!Utf8ToUtf16(stored.data, &utf16)) return ERROR_NO_UNICODE_TRANSLATION;
      stored.data = std::move(utf16);
    }
    RegValue old;
    LSTATUS found = Looked(StoredValueIn(reader_, path, name, &old));
    if (found == ERROR_SUCCESS && old == stored) return ERROR_SUCCESS;  // no change, no write
    if (LSTATUS status = Writable()) return status;
    std::shared_ptr<const HiveSource> source;
    if (LSTATUS status = Source(&source)) return status;
    std::vector<NamedValue> others;
    if (LSTATUS status = OthersToKeep(source->reader(), path, name, &others)) return status;
    std::string key(path), value_name(name);
    *file = Editing(source, SettingValue(key, value_name, stored),
                    ValueSet(key, value_name, stored, others));
    return ERROR_SUCCESS;
  }

 private:
  // A lookup's status; a failure makes the store not Intact.
  LSTATUS Looked(LSTATUS status) const {
    if (status == ERROR_REGISTRY_IO_FAILED) failed_ = true;
    return status;
  }

  // Sets `*source` to what the next change is made from, and the checks
  // before it read: the file under a lease of its own, or else the sealed
  // copy, made once. Returns 0, or a status, said.
  LSTATUS Source(std::shared_ptr<const HiveSource>* source) const {
    if (LSTATUS status = LoadedHivex(path_)) return status;
    std::string why;
    auto leased = std::make_shared<HiveSource>();
    if (!recovered_ && leased->Lease(file_.get())) {
      if (leased->OpenReader(&why) != ERROR_SUCCESS) return Looked(ERROR_REGISTRY_IO_FAILED);
      *source = std::move(leased);
      return ERROR_SUCCESS;
    }
    std::lock_guard<std::mutex> lock(copy_mutex_);
    if (!copy_) {
      auto copy = std::make_shared<HiveSource>();
      if (LSTATUS status = copy->Copy(path_, file_.get(), size_, recovered_ ? *recovered_ : "")) {
        return status;
      }
      if (copy->OpenReader(&why) != ERROR_SUCCESS) {
        return Looked(ERROR_REGISTRY_IO_FAILED);  // changed since it was first read
      }
      copy_ = std::move(copy);
    }
    *source = copy_;
    return ERROR_SUCCESS;
  }

  // Sets `*others` to the values of key `path` but `name` that `source`
  // reads, which a change of `name` must keep as they are; refuses (50)
  // when hivex could not.
  LSTATUS OthersToKeep(const HiveReader& source, std::string_view path, std::string_view name,
                       std::vector<NamedValue>* others) const {
    HiveReader::Key key;
    std::string stored_path;
    LSTATUS status = FindInReader(source, path, &key, &stored_path);
    if (status == ERROR_SUCCESS) status = source.OtherValues(key, name, others);
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
  LSTATUS Writable() const {
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

  // The new file: `source` with `edit` made, written by a child; whole
  // read back where hivex wrote from what the logs made.
  Replacement Editing(std::shared_ptr<const HiveSource> source, HiveEdit edit,
                      HiveCheck check) const {
    Replacement file;
    file.write = [this, source, edit, check](int fd) -> LSTATUS {
      if (LSTATUS status =
              EditInChild(path_, source->fd(), fd, edit, check, recovered_ != nullptr)) {
        return status;
      }
      struct stat st;
      if (fstat(fd, &st) != 0) return RefuseErrno(path_, errno);
      if (static_cast<uint64_t>(st.st_size) > kLargestStore) {
        return Refuse(path_, "hivex would make it larger than 1 GiB", ERROR_FILE_TOO_LARGE);
      }
      return ERROR_SUCCESS;
    };
    file.says_why = true;
    file.made_from = [this, source](int fd) { return source->StillIn(fd, file_bytes_); };
    return file;
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
  mutable std::shared_ptr<const HiveSource> copy_;  // made for a write without a lease
};

}  // namespace

bool IsHive(std::string_view head) { return head.substr(0, 4) == "regf"; }

LSTATUS OpenHive(const StoreLocation& at, int fd, std::string_view head, const struct stat& st,
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
    if (LSTATUS status = OwnDescriptor(path, fd, size, &file, &image)) return status;
  }
  HiveReader reader;
  if (LSTATUS status = OpenReader(path, file.get(), size, image, &reader, why)) return status;
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
