#include "fileregistry/hive/hive_reader.h"
#include "fileregistry/hive/hive_reader_cells.h"
#include "fileregistry/win32_registry.h"

// A key's values and their data, in its cell, in a cell of its own or, from
// version 1.4 on, in segments.
namespace fileregistry {

using hive_reader::Half;
using hive_reader::kDamaged;
using hive_reader::kLongestName;
using hive_reader::kMostValues;
using hive_reader::kNoCell;
using hive_reader::kSegment;
using hive_reader::Word;

LSTATUS HiveReader::ValueOffsets(const KeyNode& node, std::vector<uint32_t>* values,
                                 Budget* budget) const {
  values->clear();
  if (node.values == 0) return ERROR_SUCCESS;
  if (node.values > kMostValues) return kDamaged;
  Cell cell;
  if (LSTATUS status = ReadCell(node.value_list, 4 * size_t{node.values}, &cell, budget)) {
    return status;
  }
  if (cell.bytes.size() < 4 * size_t{node.values}) return kDamaged;
  for (size_t i = 0; i < node.values; ++i) values->push_back(Word(cell.bytes, 4 * i));
  return ERROR_SUCCESS;
}

LSTATUS HiveReader::ReadValue(uint32_t offset, ValueNode* value, Budget* budget) const {
  Cell cell;
  if (LSTATUS status = ReadCell(offset, 20 + kLongestName, &cell, budget)) return status;
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

LSTATUS HiveReader::Data(const ValueNode& value, std::string* data, Budget* budget) const {
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
  if (LSTATUS status = ReadCell(value.data, size, &cell, budget)) return status;
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

LSTATUS HiveReader::BigData(const Cell& db, uint32_t size, std::string* data,
                            Budget* budget) const {
  if (db.bytes.size() < 8) return kDamaged;
  size_t count = Half(db.bytes, 2);
  if (count != (size + kSegment - 1) / kSegment) return kDamaged;
  Cell list;
  if (LSTATUS status = ReadCell(Word(db.bytes, 4), 4 * count, &list, budget)) return status;
  if (list.bytes.size() < 4 * count) return kDamaged;
  for (size_t i = 0; i < count; ++i) {
    size_t part = std::min<size_t>(kSegment, size - data->size());
    Cell segment;
    if (LSTATUS status = ReadCell(Word(list.bytes, 4 * i), part, &segment, budget)) return status;
    if (segment.bytes.size() < part) return kDamaged;
    *data += segment.bytes;
  }
  return ERROR_SUCCESS;
}

LSTATUS HiveReader::FindValue(Key key, std::string_view name, ValueNode* value, uint32_t* offset,
                              Budget* budget) const {
  KeyNode node;
  std::vector<uint32_t> offsets;
  if (LSTATUS status = ReadKey(key, &node, budget)) return status;
  if (LSTATUS status = ValueOffsets(node, &offsets, budget)) return status;
  std::string wanted = Wanted(name);
  for (uint32_t at : offsets) {
    if (LSTATUS status = ReadValue(at, value, budget)) return status;
    if (SameName(value->name, wanted)) {
      *offset = at;
      return ERROR_SUCCESS;
    }
  }
  return ERROR_FILE_NOT_FOUND;
}

LSTATUS HiveReader::Value(Key key, std::string_view name, RegValue* value) const {
  Budget budget;
  ValueNode found;
  uint32_t offset;
  if (LSTATUS status = FindValue(key, name, &found, &offset, &budget)) return status;
  value->type = found.type;
  return Data(found, &value->data, &budget);
}

LSTATUS HiveReader::OtherValues(Key key, std::string_view name,
                                std::vector<NamedValue>* values) const {
  Budget budget;
  KeyNode node;
  std::vector<uint32_t> offsets;
  ValueNode skipped;
  uint32_t skip = kNoCell;
  LSTATUS found = FindValue(key, name, &skipped, &skip, &budget);
  if (found != ERROR_SUCCESS && found != ERROR_FILE_NOT_FOUND) return found;
  if (LSTATUS status = ReadKey(key, &node, &budget)) return status;
  if (LSTATUS status = ValueOffsets(node, &offsets, &budget)) return status;
  values->clear();
  for (uint32_t at : offsets) {
    if (at == skip) continue;
    ValueNode value;
    NamedValue named;
    if (LSTATUS status = ReadValue(at, &value, &budget)) return status;
    if (LSTATUS status = Data(value, &named.value.data, &budget)) return status;
    named.name = std::move(value.name);
    named.value.type = value.type;
    values->push_back(std::move(named));
  }
  return ERROR_SUCCESS;
}

}  // namespace fileregistry
