// What the two formats of a dirty hive's logs share, each replayed in a
// file of its own: the base block's fields, its words read and written,
// and how a log's base block is told and a replayed hive's sealed.
#ifndef FILEREGISTRY_HIVE_HIVE_LOG_FORMATS_H_
#define FILEREGISTRY_HIVE_HIVE_LOG_FORMATS_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "fileregistry/hive/hive_log.h"

namespace fileregistry::hive_log {

inline constexpr size_t kSector = 512;
inline constexpr size_t kPage = 4096;
inline constexpr uint32_t kLargestBins = uint32_t{1} << 30;  // as for any store
// Base block fields.
inline constexpr size_t kPrimarySequence = 0x04, kSecondarySequence = 0x08, kWritten = 0x0C,
                        kFileType = 0x1C, kBinsSize = 0x28, kChecksum = 0x1FC, kFlags = 0x90;
inline constexpr uint32_t kNewFormatLog = 6, kOldFormatLog = 1;

inline uint32_t U32(std::string_view bytes, size_t at) { return HiveWord(bytes, at); }
inline uint64_t U64(std::string_view bytes, size_t at) {
  return uint64_t{U32(bytes, at + 4)} << 32 | U32(bytes, at);
}
// Writes `word` little-endian at `at` of `*bytes`.
void PutU32(std::string* bytes, size_t at, uint32_t word);

// Whether a log's first sector is a base block of a log of `type`: its
// signature, checksum and file type, and equal sequence numbers.
bool IsLogBase(std::string_view log, uint32_t type);

// Sets the sequence numbers to `sequence`, the file type to a primary
// file's and the checksum to match.
void SealBaseBlock(std::string* hive, uint32_t sequence);

// Replays the logs of either format into `*hive`, as ReplayHiveLogs
// (hive_log_entries.cc: entries, "HvLE"; hive_log_dirty.cc: dirty pages).
bool ReplayNewFormat(const std::vector<HiveLog>& logs, std::string* hive, std::string* why);
bool ReplayOldFormat(const std::vector<HiveLog>& logs, std::string* hive, std::string* why);

}  // namespace fileregistry::hive_log

#endif  // FILEREGISTRY_HIVE_HIVE_LOG_FORMATS_H_
