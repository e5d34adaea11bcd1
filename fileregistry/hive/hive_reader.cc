#include "fileregistry/hive/hive_reader.h"

#include <unistd.h>

#include <cerrno>

#include "fileregistry/unicode/utf16.h"
#include "fileregistry/win32_registry.h"

namespace fileregistry {
namespace {

const uint64_t kFirstBin = 4096;  // offsets within the hive count from here
const uint32_t kNoCell = 0xffffffff;
const uint32_t kLargestBins = uint32_t{1} << 30;  // as for any store
const size_t kDeepest = 512;                      // keys in a path, as Windows allows
const uint32_t kMostSubkeys = uint32_t{1} << 20;  // of one key
const uint32_t kMostValues = uint32_t{1} << 16;   // of one key
const uint32_t kMostCells = uint32_t{1} << 22;    // visited by one lookup
const size_t kLongestName = 1024;                 // bytes: 255 characters are 510
const uint32_t kSegment = 16344;                  // bytes of big data a segment holds

const long kDamaged = ERROR_REGISTRY_IO_FAILED;

uint32_t Word(std::string_view bytes, size_t at) {
  uint32_t number = 0;
  for (int i = 3; i >= 0; --i) number = number << 8 | static_cast<uint8_t>(bytes[at + i]);
  return number;
}

uint16_t Half(std::string_view bytes, size_t at) {
  return static_cast<uint16_t>(static_cast<uint8_t>(bytes[at]) | static_cast<uint8_t>(bytes[at + 1])
                                                                     << 8);
}

// A UTF-16 code unit upper-cased: ASCII, Latin-1, Greek and Cyrillic.
uint16_t Upper(uint16_t unit) {
  if ((unit >= 'a' && unit <= 'z') || (unit >= 0xe0 && unit <= 0xfe && unit != 0xf7) ||
      (unit >= 0x3b1 && unit <= 0x3c9 && unit != 0x3c2) || (unit >= 0x430 && unit <= 0x44f)) {
    return static_cast<uint16_t>(unit - 0x20);
  }
  if (unit >= 0x450 && unit <= 0x45f) return static_cast<uint16_t>(unit - 0x50);
  if (unit == 0xff) return 0x178;
  return unit;
}

// A stored name as UTF-16LE: compressed names are Latin-1, widened.
std::string Utf16Name(const std::string& stored, bool compressed) {
  if (!compressed) return stored;
  std::string wide;
  for (char c : stored) wide.append({c, '\0'});
  return wide;
}

// Whether the UTF-16LE names `a` and `b` match as the registry matches them.
bool SameName(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t at = 0; at + 1 < a.size(); at += 2) {
    if (Upper(Half(a, at)) != Upper(Half(b, at))) return false;
  }
  return true;
}

// `name` (UTF-8) as UTF-16LE; a name that is no UTF-8 matches none stored.
std::string Wanted(std::string_view name) {
  std::string utf16;
  if (!Utf8ToUtf16(name, &utf16)) return std::string(1, '\0');  // odd: no stored name
  return utf16;
}

}  // namespace

// A cell's contents behind its size, as far as a reader asked for them.
struct HiveReader::Cell {
  uint32_t size = 0;  // of the contents
  std::string bytes;
};

struct HiveReader::KeyNode {
  uint32_t subkeys = 0, list = kNoCell, values = 0, value_list = kNoCell;
  std::string name;  // UTF-16LE
};

struct HiveReader::ValueNode {
  uint32_t size = 0, data = 0, type = 0;
  std::string name;     // UTF-16LE
  std::string inline_;  // the data field's own bytes
};

struct HiveReader::Budget {
  uint32_t cells = 0;
};

bool HasZero(std::string_view name) {
  for (size_t at = 0; at + 1 < name.size(); at += 2) {
    if (name[at] == '\0' && name[at + 1] == '\0') return true;
  }
  return false;
}

bool HiveReader::ReadAt(uint64_t at, size_t size, std::string* bytes) const {
  bytes->resize(size);
  if (image_) {
    if (at > image_->size() || size > image_->size() - at) return false;
    bytes->assign(*image_, static_cast<size_t>(at), size);
    return true;
  }
  for (size_t used = 0; used < size;) {
    ssize_t n = pread(fd_, &(*bytes)[used], size - used, static_cast<off_t>(at + used));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;  // cut short, or unreadable: damage either way
    used += static_cast<size_t>(n);
  }
  return true;
}

long HiveReader::ReadCell(uint32_t offset, size_t most, Cell* cell, Budget* budget) const {
  if (++budget->cells > kMostCells) return kDamaged;
  if (offset == kNoCell || offset % 8 != 0 || offset < 0x20 || offset > bins_ - 8) {
    return kDamaged;
  }
  // One read for the size and, most often, all that is wanted.
  size_t first =
      static_cast<size_t>(std::min<uint64_t>(4 + std::min<size_t>(most, 252), bins_ - offset));
  std::string head;
  if (!ReadAt(kFirstBin + offset, first, &head)) return kDamaged;
  int64_t size = -static_cast<int64_t>(static_cast<int32_t>(Word(head, 0)));
  // In use (a negative size), whole 8 bytes, and within the bins.
  if (size < 8 || size % 8 != 0 || size > bins_ - offset) return kDamaged;
  cell->size = static_cast<uint32_t>(size - 4);
  size_t wanted = std::min<size_t>(most, cell->size);
  if (wanted <= first - 4) {
    cell->bytes = head.substr(4, wanted);
    return ERROR_SUCCESS;
  }
  return ReadAt(kFirstBin + offset + 4, wanted, &cell->bytes) ? ERROR_SUCCESS : kDamaged;
}

long HiveReader::Open(int fd, std::shared_ptr<const std::string> image, std::string* why) {
  fd_ = fd;
  image_ = std::move(image);
  std::string base, bin;
  if (!ReadAt(0, 0x30, &base) || !ReadAt(kFirstBin, 32, &bin)) return kDamaged;
  bins_ = Word(base, 0x28);
  minor_ = Word(base, 0x18);
  root_ = Word(base, 0x24);
  if (base.compare(0, 4, "regf") != 0 || Word(base, 0x14) != 1 || bins_ == 0 || bins_ % 4096 != 0 ||
      bins_ > kLargestBins) {
    *why = "a hive whose base block is not one";
    return ERROR_BADDB;
  }
  uint32_t bin_size = Word(bin, 8);
  if (bin.compare(0, 4, "hbin") != 0 || Word(bin, 4) != 0 || bin_size == 0 ||
      bin_size % 4096 != 0 || bin_size > bins_) {
    *why = "a hive whose first bin is not one";
    return ERROR_BADDB;
  }
  KeyNode node;
  Budget budget;
  if (ReadKey(root_, &node, &budget) != ERROR_SUCCESS) {
    *why = "a hive whose root key cannot be read";
    return ERROR_BADDB;
  }
  return ERROR_SUCCESS;
}

long HiveReader::ReadKey(Key key, KeyNode* node, Budget* budget) const {
  Cell cell;
  if (long status = ReadCell(key, 76 + kLongestName, &cell, budget)) return status;
  const std::string& nk = cell.bytes;
  if (nk.size() < 76 || nk.compare(0, 2, "nk") != 0) return kDamaged;
  size_t length = Half(nk, 72);
  bool compressed = (Half(nk, 2) & 0x20) != 0;
  if (76 + length > nk.size() || (!compressed && length % 2 != 0)) return kDamaged;
  node->subkeys = Word(nk, 20);
  node->list = Word(nk, 28);
  node->values = Word(nk, 36);
  node->value_list = Word(nk, 40);
  node->name = Utf16Name(nk.substr(76, length), compressed);
  return ERROR_SUCCESS;
}

long HiveReader::ListEntries(uint32_t list, bool leaf_only, std::vector<uint32_t>* keys,
                             Budget* budget) const {
  Cell cell;
  if (long status = ReadCell(list, 4 + 8 * 0xffff, &cell, budget)) return status;
  const std::string& bytes = cell.bytes;
  if (bytes.size() < 4) return kDamaged;
  std::string_view kind = std::string_view(bytes).substr(0, 2);
  bool hinted = kind == "lf" || kind == "lh";
  bool index = kind == "ri" && !leaf_only;  // a list of leaves, never of lists
  if (!hinted && !index && kind != "li") return kDamaged;
  size_t count = Half(bytes, 2), width = hinted ? 8 : 4;
  if (4 + count * width > bytes.size()) return kDamaged;
  for (size_t i = 0; i < count; ++i) {
    uint32_t entry = Word(bytes, 4 + i * width);
    if (!index) {
      keys->push_back(entry);
    } else if (long status = ListEntries(entry, true, keys, budget)) {
      return status;
    }
    if (keys->size() > kMostSubkeys) return kDamaged;
  }
  return ERROR_SUCCESS;
}

long HiveReader::Subkeys(const KeyNode& node, std::vector<uint32_t>* keys, Budget* budget) const {
  keys->clear();
  if (node.subkeys == 0) {
    if (node.list == kNoCell) return ERROR_SUCCESS;
    // An empty list left behind is no damage; one that lists keys is.
    Cell cell;
    if (ReadCell(node.list, 4, &cell, budget) != ERROR_SUCCESS || cell.bytes.size() < 4) {
      return kDamaged;
    }
    std::string_view kind = std::string_view(cell.bytes).substr(0, 2);
    bool is_list = kind == "lf" || kind == "lh" || kind == "li" || kind == "ri";
    return is_list && Half(cell.bytes, 2) == 0 ? ERROR_SUCCESS : kDamaged;
  }
  if (node.subkeys > kMostSubkeys) return kDamaged;
  if (long status = ListEntries(node.list, false, keys, budget)) return status;
  return keys->size() == node.subkeys ? ERROR_SUCCESS : kDamaged;
}

long HiveReader::Child(Key key, std::string_view name, Key* child, std::string* stored_name) const {
  Budget budget;
  KeyNode node;
  std::vector<uint32_t> keys;
  if (long status = ReadKey(key, &node, &budget)) return status;
  if (long status = Subkeys(node, &keys, &budget)) return status;
  std::string wanted = Wanted(name);
  for (uint32_t subkey : keys) {
    KeyNode sub;
    if (long status = ReadKey(subkey, &sub, &budget)) return status;
    if (SameName(sub.name, wanted)) {
      *child = subkey;
      *stored_name = Utf16ToUtf8(sub.name);
      return ERROR_SUCCESS;
    }
  }
  return ERROR_FILE_NOT_FOUND;
}

long HiveReader::Find(Key key, const std::vector<std::string>& parts, Key* found,
                      std::string* stored_path) const {
  if (parts.size() > kDeepest) return kDamaged;
  *found = key;
  for (const std::string& part : parts) {
    std::string name;
    if (long status = Child(*found, part, found, &name)) return status;
    *stored_path += "\\" + name;
  }
  return ERROR_SUCCESS;
}

long HiveReader::ValueOffsets(const KeyNode& node, std::vector<uint32_t>* values,
                              Budget* budget) const {
  values->clear();
  if (node.values == 0) return ERROR_SUCCESS;
  if (node.values > kMostValues) return kDamaged;
  Cell cell;
  if (long status = ReadCell(node.value_list, 4 * size_t{node.values}, &cell, budget)) {
    return status;
  }
  if (cell.bytes.size() < 4 * size_t{node.values}) return kDamaged;
  for (size_t i = 0; i < node.values; ++i) values->push_back(Word(cell.bytes, 4 * i));
  return ERROR_SUCCESS;
}

long HiveReader::ReadValue(uint32_t offset, ValueNode* value, Budget* budget) const {
  Cell cell;
  if (long status = ReadCell(offset, 20 + kLongestName, &cell, budget)) return status;
  const std::string& vk = cell.bytes;
  if (vk.size() < 20 || vk.compare(0, 2, "vk") != 0) return kDamaged;
  size_t length = Half(vk, 2);
  bool compressed = (Half(vk, 16) & 1) != 0;
  if (20 + length > vk.size() || (!compressed && length % 2 != 0)) return kDamaged;
  value->size = Word(vk, 4);
  value->data = Word(vk, 8);
  value->type = Word(vk, 12);
  value->inline_ = vk.substr(8, 4);
  value->name = Utf16Name(vk.substr(20, length), compressed);
  return ERROR_SUCCESS;
}

long HiveReader::Data(const ValueNode& value, std::string* data, Budget* budget) const {
  uint32_t size = value.size & 0x7fffffff;
  if (value.size & 0x80000000) {  // in the value's own cell
    if (size > 4) return kDamaged;
    *data = value.inline_.substr(0, size);
    return ERROR_SUCCESS;
  }
  data->clear();
  if (size == 0) return ERROR_SUCCESS;
  if (size > bins_) return kDamaged;
  Cell cell;
  if (long status = ReadCell(value.data, size, &cell, budget)) return status;
  if (cell.size >= size) {
    *data = std::move(cell.bytes);
    return ERROR_SUCCESS;
  }
  // Large data in segments, from version 1.4 on.
  if (minor_ >= 4 && size > kSegment && cell.bytes.compare(0, 2, "db") == 0) {
    return BigData(cell, size, data, budget);
  }
  return kDamaged;
}

long HiveReader::BigData(const Cell& db, uint32_t size, std::string* data, Budget* budget) const {
  if (db.bytes.size() < 8) return kDamaged;
  size_t count = Half(db.bytes, 2);
  if (count != (size + kSegment - 1) / kSegment) return kDamaged;
  Cell list;
  if (long status = ReadCell(Word(db.bytes, 4), 4 * count, &list, budget)) return status;
  if (list.bytes.size() < 4 * count) return kDamaged;
  for (size_t i = 0; i < count; ++i) {
    size_t part = std::min<size_t>(kSegment, size - data->size());
    Cell segment;
    if (long status = ReadCell(Word(list.bytes, 4 * i), part, &segment, budget)) return status;
    if (segment.bytes.size() < part) return kDamaged;
    *data += segment.bytes;
  }
  return ERROR_SUCCESS;
}

long HiveReader::FindValue(Key key, std::string_view name, ValueNode* value, uint32_t* offset,
                           Budget* budget) const {
  KeyNode node;
  std::vector<uint32_t> offsets;
  if (long status = ReadKey(key, &node, budget)) return status;
  if (long status = ValueOffsets(node, &offsets, budget)) return status;
  std::string wanted = Wanted(name);
  for (uint32_t at : offsets) {
    if (long status = ReadValue(at, value, budget)) return status;
    if (SameName(value->name, wanted)) {
      *offset = at;
      return ERROR_SUCCESS;
    }
  }
  return ERROR_FILE_NOT_FOUND;
}

long HiveReader::Value(Key key, std::string_view name, RegValue* value) const {
  Budget budget;
  ValueNode found;
  uint32_t offset;
  if (long status = FindValue(key, name, &found, &offset, &budget)) return status;
  value->type = found.type;
  return Data(found, &value->data, &budget);
}

long HiveReader::OtherValues(Key key, std::string_view name,
                             std::vector<NamedValue>* values) const {
  Budget budget;
  KeyNode node;
  std::vector<uint32_t> offsets;
  ValueNode skipped;
  uint32_t skip = kNoCell;
  long found = FindValue(key, name, &skipped, &skip, &budget);
  if (found != ERROR_SUCCESS && found != ERROR_FILE_NOT_FOUND) return found;
  if (long status = ReadKey(key, &node, &budget)) return status;
  if (long status = ValueOffsets(node, &offsets, &budget)) return status;
  values->clear();
  for (uint32_t at : offsets) {
    if (at == skip) continue;
    ValueNode value;
    NamedValue named;
    if (long status = ReadValue(at, &value, &budget)) return status;
    if (long status = Data(value, &named.value.data, &budget)) return status;
    named.name = std::move(value.name);
    named.value.type = value.type;
    values->push_back(std::move(named));
  }
  return ERROR_SUCCESS;
}

}  // namespace fileregistry
