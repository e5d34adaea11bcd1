// Registry hives for tests: hivex cannot make one from nothing, so an empty
// one is written here, and keys and values are added through hivex.
#ifndef TESTS_HIVE_FIXTURE_H_
#define TESTS_HIVE_FIXTURE_H_

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "tests/test_support.h"

// The 8 KiB of an empty hive: a base block and one bin holding a root key
// and its security cell. Sequence numbers that differ make a dirty hive.
std::string EmptyHive(uint32_t primary_sequence = 1, uint32_t secondary_sequence = 1);

// Writes an empty hive at `path`, then adds keys and values to it with
// hivex, as Windows would store them. Paths are below the hive's root,
// separated by backslashes.
class HiveWriter {
 public:
  explicit HiveWriter(const std::string& path);
  ~HiveWriter();
  HiveWriter(const HiveWriter&) = delete;
  HiveWriter& operator=(const HiveWriter&) = delete;

  void AddKey(const std::string& key);
  // REG_SZ, UTF-16LE with its terminating zero.
  void SetText(const std::string& key, const std::string& name, const std::string& text);
  void SetValue(const std::string& key, const std::string& name, uint32_t type,
                const std::string& bytes);
  // Writes the hive back to its file.
  void Commit();

 private:
  std::string path_;
  struct hive_h* hive_;
};

// Adds the first `keys` filler keys (see FillerKey), each with its text
// "Name" of at least `bytes` bytes: what stands around the settings.
void AddFillerKeys(HiveWriter* hive, size_t keys, size_t bytes = 0);

// The bytes of a hive that `fill` makes, from an empty one; committed.
std::string HiveBytes(const std::function<void(HiveWriter*)>& fill);

// Writes `file_name` (ASCII) where Windows keeps the tail of the hive's path
// in its base block.
void NameHive(const std::string& path, const std::string& file_name);

// Makes the hive at `path` dirty, as Windows leaves it with changes in its
// logs: the secondary sequence number no longer the primary one.
void MakeHiveDirty(const std::string& path);

// Transaction logs written as Windows writes them, for a hive whose newest
// state is only in its logs.
enum class HiveLogFormat { kNew, kOld };

// One entry of a new-format log: its sequence number, the size of the bins
// it makes, and the pages it writes (offset from the bins' start, bytes).
struct HiveLogEntry {
  uint32_t sequence;
  uint32_t bins_size;
  std::vector<std::pair<uint32_t, std::string>> pages;
};

// A new-format log of `entries`, its base block the first 512 bytes of the
// hive `base` with both sequence numbers `sequence`.
std::string NewFormatLog(const std::string& base, uint32_t sequence,
                         const std::vector<HiveLogEntry>& entries);

// Sets the hashes of each entry of the new-format log `log` to match its
// bytes, as far as the entries' sizes lead.
void RehashLog(std::string* log);

// Writes at `path` what Windows leaves when it stopped with the hive
// `after` only partly written: the file holds `before`, with sequence
// numbers 8 and 7, and the logs beside it make it `after`. New format:
// PATH.LOG1 holds an entry 6, already applied, whose page is garbage, and
// entry 7 (without `applied_entry`, entry 7 alone); PATH.LOG2 entry 8. Old
// format: PATH.LOG and its dirty vector.
void WriteDirtyHive(const std::string& path, const std::string& before, const std::string& after,
                    HiveLogFormat format, bool applied_entry = true);

// Points the root key's list of subkeys of the hive at `path` past the
// file's end: hivex opens it, but cannot read the keys below the root.
void BreakRootKeyList(const std::string& path);

// The file offset of the cell of key ("nk") or value ("vk") `name` in the
// hive bytes `hive`, at its two-letter signature; 0 when there is none. The
// first such cell, or the `last`: the live one, where hivex left old cells
// behind. For damaging a hive as a bad disk would.
size_t CellAt(const std::string& hive, const char* kind, const std::string& name,
              bool last = false);

// Read with hivex itself, not the code under test: the type and bytes of
// value `name` of `key` in the hive at `path` (with no name, none and no
// bytes where the key is there); nothing where the hive does not open or
// has no such value. HiveText: a REG_SZ value's text, without its zero.
std::optional<std::pair<uint32_t, std::string>> HiveValue(const std::string& path,
                                                          const std::string& key,
                                                          const char* name = nullptr);
std::optional<std::string> HiveText(const std::string& path, const std::string& key,
                                    const std::string& name);

// Whether hivex opens the hive at `path` and reads every key and value.
bool HiveReadsWhole(const std::string& path);

// The little-endian number of `size` bytes at `at` of hive bytes, read and
// written.
inline uint64_t GetLe(const std::string& bytes, size_t at, int size = 4) {
  uint64_t number = 0;
  for (int i = size - 1; i >= 0; --i) number = number << 8 | static_cast<uint8_t>(bytes[at + i]);
  return number;
}
inline void PutLe(std::string* bytes, size_t at, uint64_t value, int size = 4) {
  for (int i = 0; i < size; ++i) (*bytes)[at + i] = static_cast<char>(value >> (8 * i));
}

#endif  // TESTS_HIVE_FIXTURE_H_
