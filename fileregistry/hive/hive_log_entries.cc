#include <algorithm>
#include <map>

#include "fileregistry/hive/hive_log_formats.h"

// The new format of a dirty hive's logs (Windows 8.1 and later): entries
// ("HvLE") of pages, each with its sequence number and two hashes.
namespace fileregistry {
namespace hive_log {
namespace {

const size_t kEntryHeader = 40;

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

}  // namespace

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

}  // namespace hive_log

uint64_t Marvin32(std::string_view data, uint64_t seed) {
  uint32_t p0 = static_cast<uint32_t>(seed), p1 = static_cast<uint32_t>(seed >> 32);
  size_t at = 0;
  for (; at + 4 <= data.size(); at += 4) {
    p0 += hive_log::U32(data, at);
    hive_log::MarvinBlock(&p0, &p1);
  }
  uint32_t last = 0x80;
  for (size_t i = data.size(); i > at; --i) {
    last = last << 8 | static_cast<unsigned char>(data[i - 1]);
  }
  p0 += last;
  hive_log::MarvinBlock(&p0, &p1);
  hive_log::MarvinBlock(&p0, &p1);
  return uint64_t{p1} << 32 | p0;
}

}  // namespace fileregistry
