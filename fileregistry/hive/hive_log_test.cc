#include "fileregistry/hive/hive_log.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <functional>

#include "tests/hive_fixture.h"
#include "tests/test_support.h"

namespace fileregistry {
namespace {

// Published vectors of the .NET runtime's Marvin tests, and the seed of the
// hive logs on the empty input and a log entry's usual length.
TEST(Marvin32, KnownAnswers) {
  const uint64_t kSeed = 0x004FB61A001BDBCCull;
  const std::pair<std::string, uint64_t> vectors[] = {
      {"", 0x30ED35C100CD3C7Dull},
      {"\xaf", 0x48E73FC77D75DDC1ull},
      {"\xe7\x0f", 0xB5F6E1FC485DBFF8ull},
      {"\x37\xf4\x95", 0xF0B07C789B8CF7E8ull},
      {"\x86\x42\xdc\x59", 0x7008F2E87E9CF556ull},
      {"\x15\x3f\xb7\x98\x26", 0xE6C08C6DA2AFA997ull},
      {"\x09\x32\xe6\x24\x6c\x47", 0x6F04BF1A5EA24060ull},
      {"\xab\x42\x7e\xa8\xd1\x0f\xc7", 0xE11847E4F0678C41ull},
  };
  for (const auto& [data, hash] : vectors) EXPECT_EQ(hash, Marvin32(data, kSeed)) << data.size();
  EXPECT_EQ(0x22C74339492769BFull, Marvin32("abc", 0xD53CD9CECD0893B7ull));
}

const char kKey[] = "Calderan Software\\Linvarro\\Version 6.15\\Settings";

// A hive with the list `protocols`, and `filler` bytes of another value.
std::string HiveWith(const std::string& protocols, size_t filler = 0) {
  return HiveBytes([&](HiveWriter* hive) {
    hive->SetText(kKey, "Supported protocols", protocols);
    if (filler > 0) hive->SetValue("Other", "Filler", 3, std::string(filler, 'f'));
  });
}

struct ReplayCase {
  const char* name;
  HiveLogFormat format;
  size_t filler;  // makes `after` grow by that
  std::function<void(std::string* primary, std::vector<HiveLog>* logs)> damage;
  std::string why;            // empty: the hive becomes `after`
  bool applied_entry = true;  // .LOG1 begins with an entry already applied
};

void FlipByte(std::string* bytes, size_t at) { (*bytes)[at] = static_cast<char>((*bytes)[at] ^ 1); }

// Where the `n`th entry of a new-format log begins.
size_t EntryAt(const std::string& log, int n) {
  size_t at = 512;
  while (n-- > 0) at = log.find("HvLE", at + 1);
  return at;
}

// Sets byte `at` of .LOG1's entry 7 to `byte`, and its hashes to match
// where `rehash`.
std::function<void(std::string*, std::vector<HiveLog>*)> EntryByte(size_t at, char byte,
                                                                   bool rehash = true) {
  return [=](std::string*, std::vector<HiveLog>* logs) {
    std::string& log = (*logs)[0].bytes;
    log[EntryAt(log, 1) + at] = byte;
    if (rehash) RehashLog(&log);
  };
}

const ReplayCase kReplays[] = {
    {"EntriesOverBothLogs", HiveLogFormat::kNew, 0, nullptr, ""},
    {"GrowsTheBins", HiveLogFormat::kNew, 20000, nullptr, ""},
    {"OldFormat", HiveLogFormat::kOld, 20000, nullptr, ""},
    {"FirstEntryMissing", HiveLogFormat::kNew, 0,
     [](std::string*, std::vector<HiveLog>* logs) { logs->erase(logs->begin()); },
     "no log holds entry 7"},
    {"EntryOfBadSize", HiveLogFormat::kNew, 0, EntryByte(4, 1, false),
     "no log holds entry 7; entry 7 of hklm.LOG1 has a bad size"},
    {"BinsOfBadSize", HiveLogFormat::kNew, 0, EntryByte(16, '\x01'),
     "no log holds entry 7; entry 7 of hklm.LOG1 has a bad size of bins or of its page list"},
    {"PageOutsideTheBins", HiveLogFormat::kNew, 20000, EntryByte(42, '\x7f'),
     "no log holds entry 7; entry 7 of hklm.LOG1 names a page outside the hive"},
    {"NotANewFormatLog", HiveLogFormat::kNew, 0,
     [](std::string*, std::vector<HiveLog>* logs) {
       for (HiveLog& log : *logs) FlipByte(&log.bytes, 0x1C);  // file type 7
     },
     "hklm.LOG1 is no log that applies; hklm.LOG2 is no log that applies"},
    // From the earliest log's base block: entries 7 and 8, not 8 alone.
    {"TornBaseBlock", HiveLogFormat::kNew, 20000,
     [](std::string* primary, std::vector<HiveLog>*) { FlipByte(primary, 0x30); }, "", false},
    {"PageOfNoBytes", HiveLogFormat::kNew, 20000, EntryByte(45, '\0'),
     "no log holds entry 7; entry 7 of hklm.LOG1 names a page outside the hive"},
    {"GrowsByMoreThanItWrites", HiveLogFormat::kNew, 0, EntryByte(18, '\x10'),
     "entry 7 of hklm.LOG1 grows the hive by more than its logs write"},
    {"OldLogOfAnotherTime", HiveLogFormat::kOld, 0,
     [](std::string* primary, std::vector<HiveLog>*) {
       FlipByte(primary, 0x0C);
       PutLe(primary, 0x1FC, BaseBlockChecksum(*primary));
     },
     "hklm.LOG was written at another time than the hive"},
    {"OldLogCutShort", HiveLogFormat::kOld, 20000,
     [](std::string*, std::vector<HiveLog>* logs) { (*logs)[0].bytes.resize(2048); },
     "hklm.LOG is cut short"},
    {"OldLogWithoutItsVector", HiveLogFormat::kOld, 0,
     [](std::string*, std::vector<HiveLog>* logs) { (*logs)[0].bytes[515] = 'X'; },
     "hklm.LOG has no dirty vector"},
    {"OldLogMakesABadBin", HiveLogFormat::kOld, 20000,
     [](std::string*, std::vector<HiveLog>* logs) {
       std::string& log = (*logs)[0].bytes;
       log.replace(log.find("hbin", 1024), 4, "nbin");
     },
     "hklm.LOG makes a hive bin that is not one"},
};

void PrintTo(const ReplayCase& c, std::ostream* os) { *os << c.name; }

class Replays : public ::testing::TestWithParam<ReplayCase> {};

// The logs the test fixture writes from the two hives, replayed: the bins
// come out as hivex wrote the newer one, or the hive is left as it was.
TEST_P(Replays, MakeTheNewerHiveOrNothing) {
  const ReplayCase& c = GetParam();
  TempDir dir;
  std::string before = HiveWith("SPX"), after = HiveWith("TCPIP", c.filler);
  WriteDirtyHive(dir.File("hklm"), before, after, c.format, c.applied_entry);
  std::string primary = ReadFile(dir.File("hklm"));
  std::vector<HiveLog> logs;
  for (const char* suffix : {".LOG1", ".LOG2", ".LOG"}) {
    std::string name = std::string("hklm") + suffix;
    if (access(dir.File(name).c_str(), F_OK) == 0) logs.push_back({name, ReadFile(dir.File(name))});
  }
  if (c.damage) c.damage(&primary, &logs);
  ASSERT_TRUE(IsDirtyHive(primary));
  std::string hive = primary, why;
  EXPECT_EQ(c.why.empty(), ReplayHiveLogs(logs, &hive, &why)) << why;
  EXPECT_EQ(c.why, why);
  if (!c.why.empty()) {
    EXPECT_TRUE(hive == primary) << "changed by logs that did not apply";
    return;
  }
  EXPECT_FALSE(IsDirtyHive(hive));
  ASSERT_LE(after.size(), hive.size());
  EXPECT_TRUE(hive.compare(4096, after.size() - 4096, after, 4096) == 0) << "bins differ";
  EXPECT_EQ(after.substr(0x28, 4), hive.substr(0x28, 4)) << "the size of the bins";
}

INSTANTIATE_TEST_SUITE_P(HiveLogs, Replays, ::testing::ValuesIn(kReplays),
                         [](const ::testing::TestParamInfo<ReplayCase>& info) {
                           return std::string(info.param.name);
                         });

}  // namespace
}  // namespace fileregistry
