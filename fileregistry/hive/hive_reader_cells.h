// What the hive reader's two files share (hive_reader.cc: cells and keys;
// hive_reader_values.cc: values and their data): cells as read, the keys
// and values read from them, the bounds every lookup keeps to, and the
// hive's words.
#ifndef FILEREGISTRY_HIVE_HIVE_READER_CELLS_H_
#define FILEREGISTRY_HIVE_HIVE_READER_CELLS_H_

#include <cstdint>
#include <string>
#include <string_view>

#include "fileregistry/hive/hive_reader.h"
#include "fileregistry/win32_registry.h"

namespace fileregistry::hive_reader {

inline constexpr uint64_t kFirstBin = 4096;  // offsets within the hive count from here
inline constexpr uint32_t kNoCell = 0xffffffff;
inline constexpr uint32_t kLargestBins = uint32_t{1} << 30;  // as for any store
inline constexpr size_t kDeepest = 512;                      // keys in a path, as Windows allows
inline constexpr uint32_t kMostSubkeys = uint32_t{1} << 20;  // of one key
inline constexpr uint32_t kMostValues = uint32_t{1} << 16;   // of one key
inline constexpr uint32_t kMostCells = uint32_t{1} << 22;    // visited by one lookup
inline constexpr size_t kLongestName = 1024;                 // bytes: 255 characters are 510
inline constexpr uint32_t kSegment = 16344;                  // bytes of big data a segment holds

inline constexpr LSTATUS kDamaged = ERROR_REGISTRY_IO_FAILED;

// The little-endian numbers at `at` of `bytes`.
inline uint32_t Word(std::string_view bytes, size_t at) {
  uint32_t number = 0;
  for (int i = 3; i >= 0; --i) number = number << 8 | static_cast<uint8_t>(bytes[at + i]);
  return number;
}

inline uint16_t Half(std::string_view bytes, size_t at) {
  return static_cast<uint16_t>(static_cast<uint8_t>(bytes[at]) | static_cast<uint8_t>(bytes[at + 1])
                                                                     << 8);
}

}  // namespace fileregistry::hive_reader

namespace fileregistry {

// A cell's contents behind its size, as far as a reader asked for them.
struct HiveReader::Cell {
  uint32_t size = 0;  // of the contents
  std::string bytes;
};

struct HiveReader::KeyNode {
  uint32_t subkeys = 0, list = hive_reader::kNoCell, values = 0, value_list = hive_reader::kNoCell;
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

}  // namespace fileregistry

#endif  // FILEREGISTRY_HIVE_HIVE_READER_CELLS_H_
