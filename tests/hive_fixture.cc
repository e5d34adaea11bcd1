#include "tests/hive_fixture.h"

#include <gtest/gtest.h>
#include <hivex.h>

#include <algorithm>
#include <cstdlib>
#include <functional>

#include "fileregistry/hive/hive_log.h"
#include "fileregistry/unicode/utf16.h"
#include "tests/test_support.h"

namespace {

// The base block's checksum: the XOR of its first 127 words.
void PutChecksum(std::string* hive) {
  uint32_t checksum = 0;
  for (size_t at = 0; at < 0x1fc; at += 4) checksum ^= GetLe(*hive, at);
  PutLe(hive, 0x1fc, checksum == 0xffffffff ? 0xfffffffe : checksum == 0 ? 1 : checksum);
}

// A log's first sector: the hive's base block with both sequence numbers
// `sequence`, the file type of a log of `type` and its checksum.
std::string LogBase(const std::string& hive, uint32_t sequence, uint32_t type) {
  std::string base = hive.substr(0, 512);
  PutLe(&base, 0x04, sequence);
  PutLe(&base, 0x08, sequence);
  PutLe(&base, 0x1c, type);
  PutChecksum(&base);
  return base;
}

// The offsets, from the bins' start, of the `page`-byte pages of `after`'s
// bins that `before` does not hold alike.
std::vector<uint32_t> ChangedPages(const std::string& before, const std::string& after,
                                   size_t page) {
  std::vector<uint32_t> changed;
  for (size_t at = 4096; at < 4096 + GetLe(after, 0x28); at += page) {
    if (at + page > before.size() || before.compare(at, page, after, at, page) != 0) {
      changed.push_back(static_cast<uint32_t>(at - 4096));
    }
  }
  return changed;
}

std::string OldFormatLog(const std::string& primary, const std::string& after) {
  std::string stamped = after;
  stamped.replace(0x0c, 8, primary, 0x0c, 8);  // the time stamp ties it to the hive
  std::string log = LogBase(stamped, GetLe(primary, 0x04), 1) + "DIRT";
  std::string bitmap(GetLe(after, 0x28) / 512 / 8, '\0'), pages;
  for (uint32_t offset : ChangedPages(primary, after, 512)) {
    bitmap[offset / 512 / 8] =
        static_cast<char>(bitmap[offset / 512 / 8] | 1 << (offset / 512 % 8));
    pages += after.substr(4096 + offset, 512);
  }
  log += bitmap;
  log.resize((log.size() + 511) / 512 * 512, '\0');
  return log + pages;
}

// The node of `key` below the root of `hive`, made where it is missing
// when `make` says so; 0 where it is not there.
hive_node_h KeyNode(hive_h* hive, const std::string& key, bool make) {
  hive_node_h node = hivex_root(hive);
  for (size_t begin = 0; node != 0 && begin < key.size();) {
    size_t end = std::min(key.find('\\', begin), key.size());
    std::string part = key.substr(begin, end - begin);
    hive_node_h child = hivex_node_get_child(hive, node, part.c_str());
    node = child == 0 && make ? hivex_node_add_child(hive, node, part.c_str()) : child;
    begin = end + 1;
  }
  return node;
}

// An owner or group SID: S-1-5-32-544, the Administrators.
void PutAdministrators(std::string* bytes, size_t at) {
  (*bytes)[at] = 1;      // revision
  (*bytes)[at + 1] = 2;  // sub-authorities
  (*bytes)[at + 7] = 5;  // identifier authority, big-endian
  PutLe(bytes, at + 8, 32);
  PutLe(bytes, at + 12, 544);
}

}  // namespace

std::string EmptyHive(uint32_t primary_sequence, uint32_t secondary_sequence) {
  const size_t kBin = 4096, kRoot = 0x20, kSecurity = 0x78, kFree = 0xc8;
  std::string hive(2 * kBin, '\0');
  // Base block.
  hive.replace(0, 4, "regf");
  PutLe(&hive, 0x04, primary_sequence);
  PutLe(&hive, 0x08, secondary_sequence);
  PutLe(&hive, 0x14, 1);  // major version
  PutLe(&hive, 0x18, 3);  // minor version
  PutLe(&hive, 0x20, 1);  // file format
  PutLe(&hive, 0x24, kRoot);
  PutLe(&hive, 0x28, kBin);
  PutLe(&hive, 0x2c, 1);  // clustering factor
  PutChecksum(&hive);

  // The bin, and its cells; offsets count from the bin's start.
  const size_t bin = kBin;
  hive.replace(bin, 4, "hbin");
  PutLe(&hive, bin + 8, kBin);
  size_t nk = bin + kRoot;
  PutLe(&hive, nk, static_cast<uint32_t>(-88));
  hive.replace(nk + 4, 2, "nk");
  PutLe(&hive, nk + 6, 0x2c, 2);
  PutLe(&hive, nk + 4 + 0x1c, 0xffffffff);  // subkey list
  PutLe(&hive, nk + 4 + 0x20, 0xffffffff);  // volatile subkey list
  PutLe(&hive, nk + 4 + 0x28, 0xffffffff);  // value list
  PutLe(&hive, nk + 4 + 0x2c, kSecurity);
  PutLe(&hive, nk + 4 + 0x30, 0xffffffff);  // class name
  PutLe(&hive, nk + 4 + 0x48, 4, 2);
  hive.replace(nk + 4 + 0x4c, 4, "ROOT");

  size_t sk = bin + kSecurity;
  PutLe(&hive, sk, static_cast<uint32_t>(-80));
  hive.replace(sk + 4, 2, "sk");
  PutLe(&hive, sk + 8, kSecurity);   // previous
  PutLe(&hive, sk + 12, kSecurity);  // next
  PutLe(&hive, sk + 16, 1);          // references
  PutLe(&hive, sk + 20, 52);         // descriptor size
  size_t descriptor = sk + 24;
  hive[descriptor] = 1;
  PutLe(&hive, descriptor + 2, 0x8000, 2);  // self-relative
  PutLe(&hive, descriptor + 4, 20);         // owner
  PutLe(&hive, descriptor + 8, 36);         // group
  PutAdministrators(&hive, descriptor + 20);
  PutAdministrators(&hive, descriptor + 36);

  PutLe(&hive, bin + kFree, static_cast<uint32_t>(kBin - kFree));
  return hive;
}

HiveWriter::HiveWriter(const std::string& path) : path_(path) {
  WriteFile(path, EmptyHive());
  hive_ = hivex_open(path.c_str(), HIVEX_OPEN_WRITE);
  EXPECT_NE(nullptr, hive_) << "hivex cannot open the empty hive";
}

HiveWriter::~HiveWriter() {
  if (hive_ != nullptr) hivex_close(hive_);
}

void HiveWriter::AddKey(const std::string& key) { EXPECT_NE(0u, KeyNode(hive_, key, true)) << key; }

void HiveWriter::SetText(const std::string& key, const std::string& name, const std::string& text) {
  SetValue(key, name, 1, Utf16Of(text) + std::string(2, '\0'));
}

void HiveWriter::SetValue(const std::string& key, const std::string& name, uint32_t type,
                          const std::string& bytes) {
  hive_node_h node = KeyNode(hive_, key, true);
  std::string key_name = name, data = bytes;
  hive_set_value value = {&key_name[0], static_cast<hive_type>(type), data.size(), &data[0]};
  EXPECT_EQ(0, hivex_node_set_value(hive_, node, &value, 0)) << key << " " << name;
}

void HiveWriter::Commit() { EXPECT_EQ(0, hivex_commit(hive_, nullptr, 0)) << path_; }

void AddFillerKeys(HiveWriter* hive, size_t keys, size_t bytes) {
  for (size_t i = 0; i < keys; ++i) hive->SetText(FillerKey(i), "Name", FillerName(i, bytes));
}

std::string HiveBytes(const std::function<void(HiveWriter*)>& fill) {
  TempDir dir;
  {
    HiveWriter hive(dir.File("hive"));
    fill(&hive);
    hive.Commit();
  }
  return ReadFile(dir.File("hive"));
}

void NameHive(const std::string& path, const std::string& file_name) {
  std::string hive = ReadFile(path);
  for (size_t i = 0; i < file_name.size(); ++i) PutLe(&hive, 0x30 + 2 * i, file_name[i], 2);
  PutChecksum(&hive);
  WriteFile(path, hive);
}

void MakeHiveDirty(const std::string& path) {
  std::string hive = ReadFile(path);
  ASSERT_GE(hive.size(), 4096u);
  PutLe(&hive, 0x08, static_cast<uint32_t>(hive[4]) + 1);
  PutChecksum(&hive);
  WriteFile(path, hive);
}

void BreakRootKeyList(const std::string& path) {
  std::string hive = ReadFile(path);
  ASSERT_GE(hive.size(), 8192u);
  PutLe(&hive, 4096 + GetLe(hive, 0x24) + 4 + 0x1c, 0x00fffff0);
  PutChecksum(&hive);
  WriteFile(path, hive);
}

size_t CellAt(const std::string& hive, const char* kind, const std::string& name, bool last) {
  bool key = kind[0] == 'n';
  size_t found = 0;
  for (size_t at = hive.find(kind, 4096); at != std::string::npos; at = hive.find(kind, at + 1)) {
    size_t length_at = at + (key ? 72 : 2), name_at = at + (key ? 76 : 20);
    if (name_at + name.size() > hive.size() || (found != 0 && !last)) break;
    size_t length = GetLe(hive, length_at, 2);
    if (length == name.size() && hive.compare(name_at, length, name) == 0) found = at;
  }
  return found;
}

bool HiveReadsWhole(const std::string& path) {
  hive_h* hive = hivex_open(path.c_str(), 0);
  if (hive == nullptr) return false;
  hivex_visitor visitor = {};
  visitor.value_any = [](hive_h*, void*, hive_node_h, hive_value_h, hive_type, size_t, const char*,
                         const char*) { return 0; };
  bool whole = hivex_visit(hive, &visitor, sizeof(visitor), nullptr, 0) == 0;
  hivex_close(hive);
  return whole;
}

std::optional<std::pair<uint32_t, std::string>> HiveValue(const std::string& path,
                                                          const std::string& key,
                                                          const char* name) {
  std::optional<std::pair<uint32_t, std::string>> found;
  hive_h* hive = hivex_open(path.c_str(), 0);
  hive_node_h node = hive != nullptr ? KeyNode(hive, key, false) : 0;
  hive_value_h value = node != 0 && name != nullptr ? hivex_node_get_value(hive, node, name) : 0;
  hive_type type;
  size_t size;
  char* data = value != 0 ? hivex_value_value(hive, value, &type, &size) : nullptr;
  if (data != nullptr) found.emplace(type, std::string(data, size));
  if (node != 0 && name == nullptr) found.emplace(0, "");
  free(data);
  if (hive != nullptr) hivex_close(hive);
  return found;
}

std::optional<std::string> HiveText(const std::string& path, const std::string& key,
                                    const std::string& name) {
  auto value = HiveValue(path, key, name.c_str());
  if (!value || value->first != 1) return std::nullopt;
  std::string& bytes = value->second;
  if (bytes.size() >= 2 && bytes.compare(bytes.size() - 2, 2, std::string(2, '\0')) == 0) {
    bytes.resize(bytes.size() - 2);
  }
  return fileregistry::Utf16ToUtf8(bytes);
}

std::string NewFormatLog(const std::string& base, uint32_t sequence,
                         const std::vector<HiveLogEntry>& entries) {
  std::string log = LogBase(base, sequence, 6);
  for (const HiveLogEntry& e : entries) {
    std::string entry(40, '\0'), pages;
    entry.replace(0, 4, "HvLE");
    PutLe(&entry, 12, e.sequence);
    PutLe(&entry, 16, e.bins_size);
    PutLe(&entry, 20, static_cast<uint32_t>(e.pages.size()));
    for (const auto& [offset, bytes] : e.pages) {
      std::string reference(8, '\0');
      PutLe(&reference, 0, offset);
      PutLe(&reference, 4, static_cast<uint32_t>(bytes.size()));
      entry += reference;
      pages += bytes;
    }
    entry += pages;
    entry.resize((entry.size() + 511) / 512 * 512, '\0');
    PutLe(&entry, 4, static_cast<uint32_t>(entry.size()));
    log += entry;
  }
  RehashLog(&log);
  return log;
}

void RehashLog(std::string* log) {
  for (size_t at = 512; at + 40 <= log->size() && log->compare(at, 4, "HvLE") == 0;) {
    uint32_t size = GetLe(*log, at + 4);
    if (size < 40 || size % 512 != 0 || size > log->size() - at) break;
    PutLe(log, at + 24,
          fileregistry::Marvin32(log->substr(at + 40, size - 40), fileregistry::kHiveLogSeed), 8);
    PutLe(log, at + 32, fileregistry::Marvin32(log->substr(at, 32), fileregistry::kHiveLogSeed), 8);
    at += size;
  }
}

void WriteDirtyHive(const std::string& path, const std::string& before, const std::string& after,
                    HiveLogFormat format, bool applied_entry) {
  std::string primary = before;
  PutLe(&primary, 0x04, 8);
  PutLe(&primary, 0x08, 7);
  PutLe(&primary, 0x0c, 0x01db4a2f3c5d6e7full, 8);  // a last-written time
  PutChecksum(&primary);
  WriteFile(path, primary);
  if (format == HiveLogFormat::kOld) {
    WriteFile(path + ".LOG", OldFormatLog(primary, after));
    return;
  }
  std::vector<uint32_t> changed = ChangedPages(before, after, 4096);
  uint32_t bins_before = GetLe(before, 0x28), bins_after = GetLe(after, 0x28);
  HiveLogEntry stale{6, bins_before, {}}, first{7, bins_after, {}}, second{8, bins_after, {}};
  for (uint32_t offset = 0; offset < bins_before; offset += 4096) {
    if (std::find(changed.begin(), changed.end(), offset) == changed.end()) {
      stale.pages.emplace_back(offset, std::string(4096, '\xaa'));  // breaks it, if replayed
      break;
    }
  }
  for (size_t i = 0; i < changed.size(); ++i) {
    (i < changed.size() / 2 ? first : second)
        .pages.emplace_back(changed[i], after.substr(4096 + changed[i], 4096));
  }
  WriteFile(path + ".LOG1", applied_entry ? NewFormatLog(before, 6, {stale, first})
                                          : NewFormatLog(before, 7, {first}));
  WriteFile(path + ".LOG2", NewFormatLog(after, 8, {second}));
}
