// A registry hive's keys and values, read cell by cell: only the cells a
// lookup needs, through pread on a descriptor (no mapping, so a file cut
// short or rewritten under it gives a short read or a bad cell, never a
// crash), or from the bytes a dirty hive's logs made of it.
//
// Every offset and size read from the hive is checked against its bins (the
// base block's field at 0x28) before use, lists and names against the cells
// that hold them; depth, list lengths and the cells one lookup visits are
// bounded. What does not check out is damage (1016), never a missing key.
//
// Names match as the registry matches them (hive_names.h).
#ifndef FILEREGISTRY_HIVE_HIVE_READER_H_
#define FILEREGISTRY_HIVE_HIVE_READER_H_

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "fileregistry/hive/hive_names.h"
#include "fileregistry/store.h"
#include "fileregistry/win32_registry.h"

namespace fileregistry {

// A value as Windows reads it: its name in UTF-16LE, zero characters and
// all, its type and its data.
struct NamedValue {
  std::string name;
  RegValue value;

  bool operator==(const NamedValue& other) const {
    return name == other.name && value == other.value;
  }
};

class HiveReader {
 public:
  // A key: the offset of its cell, counted from the first bin.
  using Key = uint32_t;

  // Reads the hive open as `fd`, which must stay open while the reader is
  // used; or, when `image` is not null, the whole hive file it holds. Checks
  // the base block, the first bin and the root key. Returns 0, 1009 with
  // `*why` set when they are not a hive's, or 1016 when they cannot be read.
  LSTATUS Open(int fd, std::shared_ptr<const std::string> image, std::string* why);

  // The root key.
  Key Root() const { return root_; }
  // Subkey `name` (UTF-8) of `key`: 0 with `*child` and `*stored_name` (its
  // name as stored, in UTF-8), 2 when it has none, 1016 on damage. A key
  // that counts no subkeys but lists some is damaged.
  LSTATUS Child(Key key, std::string_view name, Key* child, std::string* stored_name) const;
  // The key at `parts` below `key`, as Child, with `*stored_path` given
  // "\NAME" for each part. Paths deeper than 512 keys are damage.
  LSTATUS Find(Key key, const std::vector<std::string>& parts, Key* found,
               std::string* stored_path) const;
  // Value `name` (UTF-8, "" for the default value) of `key`: 0 with
  // `*value`, its data as stored (texts in UTF-16LE), 2, or 1016.
  LSTATUS Value(Key key, std::string_view name, RegValue* value) const;
  // Every value of `key` but `name`, in the order stored: 0 or 1016.
  LSTATUS OtherValues(Key key, std::string_view name, std::vector<NamedValue>* values) const;

 private:
  struct Cell;
  struct KeyNode;
  struct ValueNode;
  struct Budget;

  bool ReadAt(uint64_t at, size_t size, std::string* bytes) const;
  LSTATUS ReadCell(uint32_t offset, size_t most, Cell* cell, Budget* budget) const;
  LSTATUS ReadKey(Key key, KeyNode* node, Budget* budget) const;
  LSTATUS Subkeys(const KeyNode& node, std::vector<uint32_t>* keys, Budget* budget) const;
  LSTATUS ListEntries(uint32_t list, bool leaf_only, std::vector<uint32_t>* keys,
                      Budget* budget) const;
  LSTATUS ValueOffsets(const KeyNode& node, std::vector<uint32_t>* values, Budget* budget) const;
  LSTATUS ReadValue(uint32_t offset, ValueNode* value, Budget* budget) const;
  LSTATUS Data(const ValueNode& value, std::string* data, Budget* budget) const;
  LSTATUS BigData(const Cell& db, uint32_t size, std::string* data, Budget* budget) const;
  LSTATUS FindValue(Key key, std::string_view name, ValueNode* value, uint32_t* offset,
                    Budget* budget) const;

  int fd_ = -1;
  std::shared_ptr<const std::string> image_;
  uint32_t bins_ = 0;   // bytes of bins behind the base block
  uint32_t minor_ = 0;  // the format's minor version: big data from 4 on
  Key root_ = 0;
};

}  // namespace fileregistry

#endif  // FILEREGISTRY_HIVE_HIVE_READER_H_
