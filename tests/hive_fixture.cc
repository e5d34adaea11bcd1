#include "tests/hive_fixture.h"

#include <gtest/gtest.h>
#include <hivex.h>

#include <algorithm>
#include <cstdlib>

#include "fileregistry/hive/hive_log.h"
#include "fileregistry/text/reg_text.h"
#include "tests/test_support.h"

namespace {

void Put16(std::string* bytes, size_t at, uint16_t value) {
  for (int i = 0; i < 2; ++i) (*bytes)[at + i] = static_cast<char>(value >> (8 * i));
}

// The base block's checksum: the XOR of its first 127 words.
void PutChecksum(std::string* hive) {
  uint32_t checksum = 0;
  for (size_t at = 0; at < 0x1fc; at += 4) {
    uint32_t word = 0;
    for (int i = 3; i >= 0; --i) word = word << 8 | static_cast<unsigned char>((*hive)[at + i]);
    checksum ^= word;
  }
  Put32(hive, 0x1fc, checksum == 0xffffffff ? 0xfffffffe : checksum == 0 ? 1 : checksum);
}

void Put64(std::string* bytes, size_t at, uint64_t value) {
  Put32(bytes, at, static_cast<uint32_t>(value));
  Put32(bytes, at + 4, static_cast<uint32_t>(value >> 32));
}

// A log's first sector: the hive's base block with both sequence numbers
// `sequence`, the file type of a log of `type` and its checksum.
std::string LogBase(const std::string& hive, uint32_t sequence, uint32_t type) {
  std::string base = hive.substr(0, 512);
  Put32(&base, 0x04, sequence);
  Put32(&base, 0x08, sequence);
  Put32(&base, 0x1c, type);
  PutChecksum(&base);
  return base;
}

// The offsets, from the bins' start, of the `page`-byte pages of `after`'s
// bins that `before` does not hold alike.
std::vector<uint32_t> ChangedPages(const std::string& before, const std::string& after,
                                   size_t page) {
  std::vector<uint32_t> changed;
  for (size_t at = 4096; at < 4096 + Get32(after, 0x28); at += page) {
    if (at + page > before.size() || before.compare(at, page, after, at, page) != 0) {
      changed.push_back(static_cast<uint32_t>(at - 4096));
    }
  }
  return changed;
}

std::string OldFormatLog(const std::string& primary, const std::string& after) {
  std::string stamped = after;
  stamped.replace(0x0c, 8, primary, 0x0c, 8);  // the time stamp ties it to the hive
  std::string log = LogBase(stamped, Get32(primary, 0x04), 1) + "DIRT";
  std::string bitmap(Get32(after, 0x28) / 512 / 8, '\0'), pages;
  for (uint32_t offset : ChangedPages(primary, after, 512)) {
    bitmap[offset / 512 / 8] =
        static_cast<char>(bitmap[offset / 512 / 8] | 1 << (offset / 512 % 8));
    pages += after.substr(4096 + offset, 512);
  }
  log += bitmap;
  log.resize((log.size() + 511) / 512 * 512, '\0');
  return log + pages;
}

// An owner or group SID: S-1-5-32-544, the Administrators.
void PutAdministrators(std::string* bytes, size_t at) {
  (*bytes)[at] = 1;      // revision
  (*bytes)[at + 1] = 2;  // sub-authorities
  (*bytes)[at + 7] = 5;  // identifier authority, big-endian
  Put32(bytes, at + 8, 32);
  Put32(bytes, at + 12, 544);
}

}  // namespace

std::string EmptyHive(uint32_t primary_sequence, uint32_t secondary_sequence) {
  const size_t kBin = 4096, kRoot = 0x20, kSecurity = 0x78, kFree = 0xc8;
  std::string hive(2 * kBin, '\0');
  // Base block.
  hive.replace(0, 4, "regf");
  Put32(&hive, 0x04, primary_sequence);
  Put32(&hive, 0x08, secondary_sequence);
  Put32(&hive, 0x14, 1);  // major version
  Put32(&hive, 0x18, 3);  // minor version
  Put32(&hive, 0x20, 1);  // file format
  Put32(&hive, 0x24, kRoot);
  Put32(&hive, 0x28, kBin);
  Put32(&hive, 0x2c, 1);  // clustering factor
  PutChecksum(&hive);

  // The bin, and its cells; offsets count from the bin's start.
  const size_t bin = kBin;
  hive.replace(bin, 4, "hbin");
  Put32(&hive, bin + 8, kBin);
  size_t nk = bin + kRoot;
  Put32(&hive, nk, static_cast<uint32_t>(-88));
  hive.replace(nk + 4, 2, "nk");
  Put16(&hive, nk + 6, 0x2c);
  Put32(&hive, nk + 4 + 0x1c, 0xffffffff);  // subkey list
  Put32(&hive, nk + 4 + 0x20, 0xffffffff);  // volatile subkey list
  Put32(&hive, nk + 4 + 0x28, 0xffffffff);  // value list
  Put32(&hive, nk + 4 + 0x2c, kSecurity);
  Put32(&hive, nk + 4 + 0x30, 0xffffffff);  // class name
  Put16(&hive, nk + 4 + 0x48, 4);
  hive.replace(nk + 4 + 0x4c, 4, "ROOT");

  size_t sk = bin + kSecurity;
  Put32(&hive, sk, static_cast<uint32_t>(-80));
  hive.replace(sk + 4, 2, "sk");
  Put32(&hive, sk + 8, kSecurity);   // previous
  Put32(&hive, sk + 12, kSecurity);  // next
  Put32(&hive, sk + 16, 1);          // references
  Put32(&hive, sk + 20, 52);         // descriptor size
  size_t descriptor = sk + 24;
  hive[descriptor] = 1;
  Put16(&hive, descriptor + 2, 0x8000);  // self-relative
  Put32(&hive, descriptor + 4, 20);      // owner
  Put32(&hive, descriptor + 8, 36);      // group
  PutAdministrators(&hive, descriptor + 20);
  PutAdministrators(&hive, descriptor + 36);

  Put32(&hive, bin + kFree, static_cast<uint32_t>(kBin - kFree));
  return hive;
}

std::string Utf16Of(const std::string& text) {
  std::string utf16;
  EXPECT_TRUE(fileregistry::Utf8ToUtf16(text, &utf16));
  return utf16;
}

HiveWriter::HiveWriter(const std::string& path) : path_(path) {
  WriteFile(path, EmptyHive());
  hive_ = hivex_open(path.c_str(), HIVEX_OPEN_WRITE);
  EXPECT_NE(nullptr, hive_) << "hivex cannot open the empty hive";
}

HiveWriter::~HiveWriter() {
  if (hive_ != nullptr) hivex_close(hive_);
}

void HiveWriter::AddKey(const std::string& key) {
  hive_node_h node = hivex_root(hive_);
  for (size_t begin = 0; begin < key.size();) {
    size_t end = std::min(key.find('\\', begin), key.size());
    std::string part = key.substr(begin, end - begin);
    hive_node_h child = hivex_node_get_child(hive_, node, part.c_str());
    if (child == 0) child = hivex_node_add_child(hive_, node, part.c_str());
    ASSERT_NE(0u, child) << key;
    node = child;
    begin = end + 1;
  }
}

void HiveWriter::SetText(const std::string& key, const std::string& name, const std::string& text) {
  SetValue(key, name, 1, Utf16Of(text) + std::string(2, '\0'));
}

void HiveWriter::SetValue(const std::string& key, const std::string& name, uint32_t type,
                          const std::string& bytes) {
  AddKey(key);
  hive_node_h node = hivex_root(hive_);
  for (size_t begin = 0; begin < key.size();) {
    size_t end = std::min(key.find('\\', begin), key.size());
    node = hivex_node_get_child(hive_, node, key.substr(begin, end - begin).c_str());
    begin = end + 1;
  }
  std::string key_name = name, data = bytes;
  hive_set_value value = {&key_name[0], static_cast<hive_type>(type), data.size(), &data[0]};
  EXPECT_EQ(0, hivex_node_set_value(hive_, node, &value, 0)) << key << " " << name;
}

void HiveWriter::Commit() { EXPECT_EQ(0, hivex_commit(hive_, nullptr, 0)) << path_; }

void AddFillerKeys(HiveWriter* hive, size_t keys, size_t bytes) {
  for (size_t i = 0; i < keys; ++i) {
    std::string text = "A value of other software " + std::to_string(i);
    if (text.size() < bytes) text.resize(bytes, '.');
    hive->SetText("Filler\\Group " + std::to_string(i / 100) + "\\Key " + std::to_string(i), "Name",
                  text);
  }
}

void NameHive(const std::string& path, const std::string& file_name) {
  std::string hive = ReadFile(path);
  for (size_t i = 0; i < file_name.size(); ++i) Put16(&hive, 0x30 + 2 * i, file_name[i]);
  PutChecksum(&hive);
  WriteFile(path, hive);
}

void MakeHiveDirty(const std::string& path) {
  std::string hive = ReadFile(path);
  ASSERT_GE(hive.size(), 4096u);
  Put32(&hive, 0x08, static_cast<uint32_t>(hive[4]) + 1);
  PutChecksum(&hive);
  WriteFile(path, hive);
}

void BreakRootKeyList(const std::string& path) {
  std::string hive = ReadFile(path);
  ASSERT_GE(hive.size(), 8192u);
  uint32_t root = 0;
  for (int i = 3; i >= 0; --i) root = root << 8 | static_cast<unsigned char>(hive[0x24 + i]);
  Put32(&hive, 4096 + root + 4 + 0x1c, 0x00fffff0);
  PutChecksum(&hive);
  WriteFile(path, hive);
}

size_t CellAt(const std::string& hive, const char* kind, const std::string& name) {
  bool key = kind[0] == 'n';
  for (size_t at = hive.find(kind, 4096); at != std::string::npos; at = hive.find(kind, at + 1)) {
    size_t length_at = at + (key ? 72 : 2), name_at = at + (key ? 76 : 20);
    if (name_at + name.size() > hive.size()) break;
    size_t length = static_cast<unsigned char>(hive[length_at]) |
                    static_cast<unsigned char>(hive[length_at + 1]) << 8;
    if (length == name.size() && hive.compare(name_at, length, name) == 0) return at;
  }
  return 0;
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

bool ReadHiveText(const std::string& path, const std::string& key, const std::string& name,
                  std::optional<std::string>* text) {
  hive_h* hive = hivex_open(path.c_str(), 0);
  if (hive == nullptr) return false;
  text->reset();
  hive_node_h node = hivex_root(hive);
  for (size_t begin = 0; node != 0 && begin < key.size();) {
    size_t end = std::min(key.find('\\', begin), key.size());
    node = hivex_node_get_child(hive, node, key.substr(begin, end - begin).c_str());
    begin = end + 1;
  }
  hive_value_h value = node != 0 ? hivex_node_get_value(hive, node, name.c_str()) : 0;
  if (value != 0) {
    if (char* data = hivex_value_string(hive, value)) {
      *text = data;
      free(data);
    }
  }
  hivex_close(hive);
  return true;
}

std::string NewFormatLog(const std::string& base, uint32_t sequence,
                         const std::vector<HiveLogEntry>& entries) {
  std::string log = LogBase(base, sequence, 6);
  for (const HiveLogEntry& e : entries) {
    std::string entry(40, '\0'), pages;
    entry.replace(0, 4, "HvLE");
    Put32(&entry, 12, e.sequence);
    Put32(&entry, 16, e.bins_size);
    Put32(&entry, 20, static_cast<uint32_t>(e.pages.size()));
    for (const auto& [offset, bytes] : e.pages) {
      std::string reference(8, '\0');
      Put32(&reference, 0, offset);
      Put32(&reference, 4, static_cast<uint32_t>(bytes.size()));
      entry += reference;
      pages += bytes;
    }
    entry += pages;
    entry.resize((entry.size() + 511) / 512 * 512, '\0');
    Put32(&entry, 4, static_cast<uint32_t>(entry.size()));
    log += entry;
  }
  RehashLog(&log);
  return log;
}

void RehashLog(std::string* log) {
  for (size_t at = 512; at + 40 <= log->size() && log->compare(at, 4, "HvLE") == 0;) {
    uint32_t size = Get32(*log, at + 4);
    if (size < 40 || size % 512 != 0 || size > log->size() - at) break;
    Put64(log, at + 24,
          fileregistry::Marvin32(log->substr(at + 40, size - 40), fileregistry::kHiveLogSeed));
    Put64(log, at + 32, fileregistry::Marvin32(log->substr(at, 32), fileregistry::kHiveLogSeed));
    at += size;
  }
}

void WriteDirtyHive(const std::string& path, const std::string& before, const std::string& after,
                    HiveLogFormat format, bool applied_entry) {
  std::string primary = before;
  Put32(&primary, 0x04, 8);
  Put32(&primary, 0x08, 7);
  Put64(&primary, 0x0c, 0x01db4a2f3c5d6e7full);  // a last-written time
  PutChecksum(&primary);
  WriteFile(path, primary);
  if (format == HiveLogFormat::kOld) {
    WriteFile(path + ".LOG", OldFormatLog(primary, after));
    return;
  }
  std::vector<uint32_t> changed = ChangedPages(before, after, 4096);
  HiveLogEntry stale{6, Get32(before, 0x28), {}}, first{7, Get32(after, 0x28), {}},
      second{8, Get32(after, 0x28), {}};
  for (uint32_t offset = 0; offset < Get32(before, 0x28); offset += 4096) {
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
