#include <algorithm>

#include "fileregistry/hive/hive_log_formats.h"

// The old format of a dirty hive's logs: a base block, a vector with a bit
// for each dirty 512 bytes of the bins ("DIRT"), and those pages.
namespace fileregistry {
namespace hive_log {
namespace {

// Whether the bins of `hive` that hold a page of `dirty` (one flag for each
// 512 bytes of the bins) are whole: signature, offset and size.
bool DirtyBinsWhole(std::string_view hive, uint32_t bins_size, const std::vector<bool>& dirty) {
  for (size_t at = 0; at < bins_size;) {
    size_t bin = kHiveBaseBlock + at;
    uint32_t size = bin + 32 <= hive.size() ? U32(hive, bin + 8) : 0;
    bool whole = bin + 32 <= hive.size() && hive.compare(bin, 4, "hbin") == 0 &&
                 U32(hive, bin + 4) == at && size != 0 && size % kPage == 0 &&
                 size <= bins_size - at;
    if (!whole) {
      // Clean bins that do not read are not the log's to mend.
      return std::find(dirty.begin() + static_cast<long>(at / kSector), dirty.end(), true) ==
             dirty.end();
    }
    at += size;
  }
  return true;
}

// Applies the old-format `log` to `*hive`; false with `*why` set when it
// does not apply.
bool ApplyDirtyVector(const HiveLog& log, std::string* hive, std::string* why) {
  std::string_view bytes = log.bytes;
  uint32_t bins_size = U32(bytes, kBinsSize);
  size_t bits = bins_size / kSector, vector_end = kSector + 4 + (bits + 7) / 8;
  size_t pages = (vector_end + kSector - 1) / kSector * kSector;
  if (bins_size == 0 || bins_size % kPage != 0 || bins_size > kLargestBins ||
      bytes.size() < vector_end || bytes.compare(kSector, 4, "DIRT") != 0) {
    *why = log.name + " has no dirty vector";
    return false;
  }
  std::string recovered = *hive;
  recovered.resize(std::max(recovered.size(), kHiveBaseBlock + bins_size), '\0');
  recovered.replace(0, kSector, bytes, 0, kSector);
  std::vector<bool> dirty(bits);
  for (size_t bit = 0; bit < bits; ++bit) {
    if (!(static_cast<unsigned char>(bytes[kSector + 4 + bit / 8]) >> (bit % 8) & 1)) continue;
    if (pages + kSector > bytes.size()) {
      *why = log.name + " is cut short";
      return false;
    }
    dirty[bit] = true;
    recovered.replace(kHiveBaseBlock + kSector * bit, kSector, bytes, pages, kSector);
    pages += kSector;
  }
  if (!DirtyBinsWhole(recovered, bins_size, dirty)) {
    *why = log.name + " makes a hive bin that is not one";
    return false;
  }
  SealBaseBlock(&recovered,
                std::max(U32(*hive, kPrimarySequence), U32(bytes, kPrimarySequence)) + 1);
  *hive = std::move(recovered);
  return true;
}

}  // namespace

bool ReplayOldFormat(const std::vector<HiveLog>& logs, std::string* hive, std::string* why) {
  // A log applies to the hive it was written beside: the same time stamp,
  // which the first bin keeps too where the base block is torn.
  bool torn = BaseBlockChecksum(*hive) != U32(*hive, kChecksum);
  size_t stamp = torn ? kHiveBaseBlock + 20 : kWritten;
  std::vector<std::string> notes;
  for (const HiveLog& log : logs) {
    if (!IsLogBase(log.bytes, kOldFormatLog)) {
      notes.push_back(log.name + " is no log that applies");
      continue;
    }
    if (hive->size() < stamp + 8 || log.bytes.compare(kWritten, 8, *hive, stamp, 8) != 0) {
      notes.push_back(log.name + " was written at another time than the hive");
      continue;
    }
    std::string note;
    if (ApplyDirtyVector(log, hive, &note)) return true;
    notes.push_back(note);
  }
  *why = notes.empty() ? "no log" : notes[0];
  for (size_t i = 1; i < notes.size(); ++i) *why += "; " + notes[i];
  return false;
}

}  // namespace hive_log
}  // namespace fileregistry
