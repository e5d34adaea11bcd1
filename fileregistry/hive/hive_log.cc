#include "fileregistry/hive/hive_log.h"

#include <algorithm>
#include <cstring>
#include <map>

namespace fileregistry {
namespace {

const size_t kSector = 512;
const size_t kPage = 4096;
const size_t kEntryHeader = 40;
const uint32_t kLargestBins = uint32_t{1} << 30;  // as for any store
// Base block fields.
const size_t kPrimarySequence = 0x04, kSecondarySequence = 0x08, kWritten = 0x0C, kFileType = 0x1C,
             kBinsSize = 0x28, kChecksum = 0x1FC, kFlags = 0x90;
const uint32_t kNewFormatLog = 6, kOldFormatLog = 1;

uint32_t U32(std::string_view bytes, size_t at) { return HiveWord(bytes, at); }

uint64_t U64(std::string_view bytes, size_t at) {
  return uint64_t{U32(bytes, at + 4)} << 32 | U32(bytes, at);
}

void PutU32(std::string* bytes, size_t at, uint32_t word) {
  for (int i = 0; i < 4; ++i) (*bytes)[at + i] = static_cast<char>(word >> (8 * i));
}

uint32_t Rotl(uint32_t x, int n) { return x << n | x >> (32 - n); }

void MarvinBlock(uint32_t* p0, uint32_t* p1) {
  *p1 ^= *p0;
  *p0 = Rotl(*p0, 20);
  *p0 += *p1;
  *p1 = Rotl(*p1, 9);
  *p1 ^= *p0;
  *p0 = Rotl(*p0, 27);
  *p0 += *p1;
  *p1 = Rotl(*p1, 19);
}

// Whether a log's first sector is a base block of a log of `type`: its
// signature, checksum and file type, and equal sequence numbers.
bool IsLogBase(std::string_view log, uint32_t type) {
  return log.size() >= kSector && log.substr(0, 4) == "regf" &&
         U32(log, kChecksum) == BaseBlockChecksum(log) && U32(log, kFileType) == type &&
         U32(log, kPrimarySequence) == U32(log, kSecondarySequence);
}

// Sets the sequence numbers to `sequence`, the file type to a primary
// file's and the checksum to match.
void SealBaseBlock(std::string* hive, uint32_t sequence) {
  PutU32(hive, kPrimarySequence, sequence);
  PutU32(hive, kSecondarySequence, sequence);
  PutU32(hive, kFileType, 0);
  PutU32(hive, kChecksum, BaseBlockChecksum(*hive));
}

// One entry of a new-format log, checked: where its pages are and go.
struct LogEntry {
  uint32_t sequence, bins_size, flags;
  const std::string* log;                                    // its name
  std::vector<std::pair<uint32_t, std::string_view>> pages;  // offset in the bins, bytes
};

std::string Which(const LogEntry& entry) {
  return "entry " + std::to_string(entry.sequence) + " of " + *entry.log;
}

// Reads the pages of `entry`, whose bytes are `whole`, listed behind its
// header. False when one is not whole sectors of the bins.
bool ReadPages(std::string_view whole, uint64_t count, LogEntry* entry) {
  uint64_t data = kEntryHeader + 8 * count;
  for (uint64_t i = 0; i < count; ++i) {
    uint32_t offset = U32(whole, kEntryHeader + 8 * i),
             length = U32(whole, kEntryHeader + 8 * i + 4);
    if (length == 0 || offset % kSector != 0 || length % kSector != 0 ||
        offset > entry->bins_size || length > entry->bins_size - offset ||
        length > whole.size() - data) {
      return false;
    }
    entry->pages.emplace_back(offset, whole.substr(data, length));
    data += length;
  }
  return true;
}

// Reads the entry at `at` of `log`; false with `*why` set when it is bad.
bool ReadEntry(const HiveLog& log, size_t at, LogEntry* entry, std::string* why) {
  std::string_view bytes = log.bytes;
  uint32_t size = U32(bytes, at + 4);
  *entry = LogEntry{U32(bytes, at + 12), U32(bytes, at + 16), U32(bytes, at + 8), &log.name, {}};
  if (size < kEntryHeader || size % kSector != 0 || size > bytes.size() - at) {
    *why = Which(*entry) + " has a bad size";
    return false;
  }
  std::string_view whole = bytes.substr(at, size);
  if (Marvin32(whole.substr(kEntryHeader), kHiveLogSeed) != U64(whole, 24) ||
      Marvin32(whole.substr(0, 32), kHiveLogSeed) != U64(whole, 32)) {
    *why = Which(*entry) + " fails its hash";
    return false;
  }
  uint64_t count = U32(whole, 20);
  if (entry->bins_size == 0 || entry->bins_size % kPage != 0 || entry->bins_size > kLargestBins ||
      kEntryHeader + 8 * count > size) {
    *why = Which(*entry) + " has a bad size of bins or of its page list";
    return false;
  }
  if (!ReadPages(whole, count, entry)) {
    *why = Which(*entry) + " names a page outside the hive";
    return false;
  }
  return true;
}

// Every good entry of the new-format logs, in the order found; `*notes`
// gains what made a log or the rest of it unusable.
std::vector<LogEntry> ReadEntries(const std::vector<HiveLog>& logs,
                                  std::vector<std::string>* notes) {
  std::vector<LogEntry> entries;
  for (const HiveLog& log : logs) {
    if (!IsLogBase(log.bytes, kNewFormatLog)) continue;
    for (size_t at = kSector; at + kEntryHeader <= log.bytes.size(); at += U32(log.bytes, at + 4)) {
      if (log.bytes.compare(at, 4, "HvLE") != 0) break;  // the end of its entries
      LogEntry entry;
      std::string why;
      if (!ReadEntry(log, at, &entry, &why)) {
        notes->push_back(why);
        break;
      }
      entries.push_back(std::move(entry));
    }
  }
  return entries;
}

// Applies `entry` to `*hive`. False with `*why` set when it makes the bins
// larger than `most`: what the hive had and every page the logs write, since
// new bins are written to the logs.
bool ApplyEntry(const LogEntry& entry, uint64_t most, std::string* hive, std::string* why) {
  if (entry.bins_size > most) {
    *why = Which(entry) + " grows the hive by more than its logs write";
    return false;
  }
  if (hive->size() < kHiveBaseBlock + entry.bins_size) {
    hive->resize(kHiveBaseBlock + entry.bins_size, '\0');
  }
  PutU32(hive, kBinsSize, entry.bins_size);
  PutU32(hive, kFlags, (U32(*hive, kFlags) & ~1u) | (entry.flags & 1u));
  for (const auto& [offset, bytes] : entry.pages) {
    hive->replace(kHiveBaseBlock + offset, bytes.size(), bytes);
  }
  return true;
}

// The first entry of each sequence number.
using EntryIndex = std::map<uint32_t, const LogEntry*>;

// Applies the entries of `index` from `first` on, up to the first gap or
// bad entry, to `*hive`, and seals it above every entry the logs hold.
// Returns how many applied; `*why` says why the chain stopped at a bad one.
uint32_t ApplyChain(const EntryIndex& index, uint32_t first, std::string* hive, std::string* why) {
  uint64_t most = U32(*hive, kBinsSize);
  for (const auto& [sequence, entry] : index) {
    for (const auto& page : entry->pages) most += page.second.size();
  }
  uint32_t next = first;
  for (auto found = index.find(next); found != index.end(); found = index.find(next)) {
    if (!ApplyEntry(*found->second, most, hive, why) || ++next == first) break;
  }
  uint32_t latest = index.empty() ? 0 : index.rbegin()->first;
  if (next != first)
    SealBaseBlock(hive, std::max(next, latest == UINT32_MAX ? latest : latest + 1));
  return next - first;
}

bool ReplayNewFormat(const std::vector<HiveLog>& logs, std::string* hive, std::string* why) {
  std::vector<std::string> notes;
  std::vector<LogEntry> entries = ReadEntries(logs, &notes);
  EntryIndex index;
  for (const LogEntry& entry : entries) index.emplace(entry.sequence, &entry);
  // Where to start: the hive's own base block, or where that is torn, the
  // logs' own, the earliest first: a replay from an earlier entry only
  // applies more.
  std::vector<std::string_view> bases;
  if (BaseBlockChecksum(*hive) == U32(*hive, kChecksum)) {
    bases.push_back(*hive);
  } else {
    for (const HiveLog& log : logs) {
      if (IsLogBase(log.bytes, kNewFormatLog)) bases.push_back(log.bytes);
    }
  }
  std::sort(bases.begin(), bases.end(), [](std::string_view a, std::string_view b) {
    return U32(a, kSecondarySequence) < U32(b, kSecondarySequence);
  });
  std::vector<std::string> misses;
  for (std::string_view base : bases) {
    std::string recovered = *hive, stop;
    recovered.replace(0, kSector, base.substr(0, kSector));
    uint32_t first = U32(base, kSecondarySequence);
    if (ApplyChain(index, first, &recovered, &stop) > 0) {
      *hive = std::move(recovered);
      return true;
    }
    misses.push_back(stop.empty() ? "no log holds entry " + std::to_string(first) : stop);
  }
  notes.insert(notes.begin(), misses.begin(), misses.end());
  *why = notes.empty() ? "no log" : notes[0];
  for (size_t i = 1; i < notes.size(); ++i) *why += "; " + notes[i];
  return false;
}

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

}  // namespace

uint32_t HiveWord(std::string_view bytes, size_t at) {
  uint32_t word = 0;
  for (int i = 3; i >= 0; --i) word = word << 8 | static_cast<unsigned char>(bytes[at + i]);
  return word;
}

uint64_t Marvin32(std::string_view data, uint64_t seed) {
  uint32_t p0 = static_cast<uint32_t>(seed), p1 = static_cast<uint32_t>(seed >> 32);
  size_t at = 0;
  for (; at + 4 <= data.size(); at += 4) {
    p0 += U32(data, at);
    MarvinBlock(&p0, &p1);
  }
  uint32_t last = 0x80;
  for (size_t i = data.size(); i > at; --i) {
    last = last << 8 | static_cast<unsigned char>(data[i - 1]);
  }
  p0 += last;
  MarvinBlock(&p0, &p1);
  MarvinBlock(&p0, &p1);
  return uint64_t{p1} << 32 | p0;
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
  return new_format ? ReplayNewFormat(logs, hive, why) : ReplayOldFormat(logs, hive, why);
}

}  // namespace fileregistry
