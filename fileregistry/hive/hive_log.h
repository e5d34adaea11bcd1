// A dirty hive's transaction logs replayed into its bytes, as Windows does
// when it next loads the hive: the entries of the new format (Windows 8.1
// and later, "HvLE") in sequence order, or the dirty pages of the old one
// ("DIRT"). Every offset and size read from a log is checked before use.
#ifndef FILEREGISTRY_HIVE_HIVE_LOG_H_
#define FILEREGISTRY_HIVE_HIVE_LOG_H_

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace fileregistry {

inline constexpr size_t kHiveBaseBlock = 4096;
// The seed of both hashes of a log entry.
inline constexpr uint64_t kHiveLogSeed = 0x82EF4D887A4E55C5ull;

// The little-endian 32-bit number at `at` of `bytes`, as hives keep them.
uint32_t HiveWord(std::string_view bytes, size_t at);

// Marvin32 of `data` with `seed`, as p1 << 32 | p0.
uint64_t Marvin32(std::string_view data, uint64_t seed);

// The checksum a base block's first 508 bytes give, as stored at 0x1FC.
uint32_t BaseBlockChecksum(std::string_view base);

// Whether the hive whose file begins with `head` needs its logs: sequence
// numbers that differ, or a base block whose checksum is wrong.
bool IsDirtyHive(std::string_view head);

// Whether `first_sector`, the first 512 bytes of a file, is the base block
// of a log of either format: only then is the rest of it worth reading.
bool IsHiveLogBase(std::string_view first_sector);

// A log file beside the hive, by name for messages.
struct HiveLog {
  std::string name;
  std::string bytes;
};

// Replays `logs` (in the order .LOG1, .LOG2, .LOG) into `hive`, the whole
// primary file. True when a log applied: `hive` is then clean (equal
// sequence numbers above every entry applied, a right checksum). False with
// `hive` unchanged and `*why` set to what kept every log out.
bool ReplayHiveLogs(const std::vector<HiveLog>& logs, std::string* hive, std::string* why);

}  // namespace fileregistry

#endif  // FILEREGISTRY_HIVE_HIVE_LOG_H_
