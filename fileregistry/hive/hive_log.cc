#include "fileregistry/hive/hive_log.h"

#include <algorithm>

#include "fileregistry/hive/hive_log_formats.h"

namespace fileregistry {
namespace hive_log {

void PutU32(std::string* bytes, size_t at, uint32_t word) {
  for (int i = 0; i < 4; ++i) (*bytes)[at + i] = static_cast<char>(word >> (8 * i));
}

bool IsLogBase(std::string_view log, uint32_t type) {
  return log.size() >= kSector && log.substr(0, 4) == "regf" &&
         U32(log, kChecksum) == BaseBlockChecksum(log) && U32(log, kFileType) == type &&
         U32(log, kPrimarySequence) == U32(log, kSecondarySequence);
}

void SealBaseBlock(std::string* hive, uint32_t sequence) {
  PutU32(hive, kPrimarySequence, sequence);
  PutU32(hive, kSecondarySequence, sequence);
  PutU32(hive, kFileType, 0);
  PutU32(hive, kChecksum, BaseBlockChecksum(*hive));
}

}  // namespace hive_log

using hive_log::IsLogBase;
using hive_log::kChecksum;
using hive_log::kNewFormatLog;
using hive_log::kOldFormatLog;
using hive_log::kPrimarySequence;
using hive_log::kSecondarySequence;
using hive_log::kSector;
using hive_log::U32;

uint32_t HiveWord(std::string_view bytes, size_t at) {
  uint32_t word = 0;
  for (int i = 3; i >= 0; --i) word = word << 8 | static_cast<unsigned char>(bytes[at + i]);
  return word;
}

uint32_t BaseBlockChecksum(std::string_view base) {
  uint32_t sum = 0;
  for (size_t at = 0; at < kChecksum; at += 4) sum ^= U32(base, at);
  return sum == 0xFFFFFFFF ? 0xFFFFFFFE : sum == 0 ? 1 : sum;
}

bool IsHiveLogBase(std::string_view first_sector) {
  return IsLogBase(first_sector, kNewFormatLog) || IsLogBase(first_sector, kOldFormatLog);
}

bool IsDirtyHive(std::string_view head) {
  return head.size() >= kSector && (U32(head, kPrimarySequence) != U32(head, kSecondarySequence) ||
                                    U32(head, kChecksum) != BaseBlockChecksum(head));
}

bool ReplayHiveLogs(const std::vector<HiveLog>& logs, std::string* hive, std::string* why) {
  if (hive->size() < kHiveBaseBlock) {
    *why = "its base block is cut short";
    return false;
  }
  bool new_format = std::any_of(logs.begin(), logs.end(), [](const HiveLog& log) {
    return IsLogBase(log.bytes, kNewFormatLog);
  });
  return new_format ? hive_log::ReplayNewFormat(logs, hive, why)
                    : hive_log::ReplayOldFormat(logs, hive, why);
}

}  // namespace fileregistry
