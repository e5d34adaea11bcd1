#include "fileregistry/hive/hive_reader.h"

#include <unistd.h>

#include <cerrno>

#include "fileregistry/hive/hive_reader_cells.h"
#include "fileregistry/unicode/utf16.h"
#include "fileregistry/win32_registry.h"

namespace fileregistry {

using hive_reader::Half;
using hive_reader::kDamaged;
using hive_reader::kDeepest;
using hive_reader::kFirstBin;
using hive_reader::kLargestBins;
using hive_reader::kLongestName;
using hive_reader::kMostCells;
using hive_reader::kMostSubkeys;
using hive_reader::kNoCell;
using hive_reader::Word;

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

LSTATUS HiveReader::ReadCell(uint32_t offset, size_t most, Cell* cell, Budget* budget) const {
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

LSTATUS HiveReader::Open(int fd, std::shared_ptr<const std::string> image, std::string* why) {
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

LSTATUS HiveReader::ReadKey(Key key, KeyNode* node, Budget* budget) const {
  Cell cell;
  if (LSTATUS status = ReadCell(key, 76 + kLongestName, &cell, budget)) return status;
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

LSTATUS HiveReader::ListEntries(uint32_t list, bool leaf_only, std::vector<uint32_t>* keys,
                                Budget* budget) const {
  Cell cell;
  if (LSTATUS status = ReadCell(list, 4 + 8 * 0xffff, &cell, budget)) return status;
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
    } else if (LSTATUS status = ListEntries(entry, true, keys, budget)) {
      return status;
    }
    if (keys->size() > kMostSubkeys) return kDamaged;
  }
  return ERROR_SUCCESS;
}

LSTATUS HiveReader::Subkeys(const KeyNode& node, std::vector<uint32_t>* keys,
                            Budget* budget) const {
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
  if (LSTATUS status = ListEntries(node.list, false, keys, budget)) return status;
  return keys->size() == node.subkeys ? ERROR_SUCCESS : kDamaged;
}

LSTATUS HiveReader::Child(Key key, std::string_view name, Key* child,
                          std::string* stored_name) const {
  Budget budget;
  KeyNode node;
  std::vector<uint32_t> keys;
  if (LSTATUS status = ReadKey(key, &node, &budget)) return status;
  if (LSTATUS status = Subkeys(node, &keys, &budget)) return status;
  std::string wanted = Wanted(name);
  for (uint32_t subkey : keys) {
    KeyNode sub;
    if (LSTATUS status = ReadKey(subkey, &sub, &budget)) return status;
    if (SameName(sub.name, wanted)) {
      *child = subkey;
      *stored_name = Utf16ToUtf8(sub.name);
      return ERROR_SUCCESS;
    }
  }
  return ERROR_FILE_NOT_FOUND;
}

LSTATUS HiveReader::Find(Key key, const std::vector<std::string>& parts, Key* found,
                         std::string* stored_path) const {
  if (parts.size() > kDeepest) return kDamaged;
  *found = key;
  for (const std::string& part : parts) {
    std::string name;
    if (LSTATUS status = Child(*found, part, found, &name)) return status;
    *stored_path += "\\" + name;
  }
  return ERROR_SUCCESS;
}

}  // namespace fileregistry
