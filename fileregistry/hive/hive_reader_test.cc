#include "fileregistry/hive/hive_reader.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <functional>

#include "fileregistry/hive/hive_access.h"
#include "fileregistry/win32_registry.h"
#include "tests/hive_fixture.h"
#include "tests/test_support.h"

namespace {

// The live cell of value `name`, at its signature.
size_t ValueAt(const std::string& h, const std::string& name) {
  return CellAt(h, "vk", name, true);
}
// The file offset of the list of subkeys of key `name`, at its size.
size_t ListOf(const std::string& h, const char* name) {
  return 4096 + GetLe(h, CellAt(h, "nk", name) + 28);
}

const std::string kBig = [] {
  std::string big;
  for (int i = 0; big.size() < 20000; ++i) big += std::to_string(i) + ",";
  return big.substr(0, 20000);
}();

// Many's list of 30 keys made an "ri" of one "li" leaf, in the same room.
void IndexOfLeaves(std::string* h) {
  size_t list = ListOf(*h, "Many");
  uint32_t size = -GetLe(*h, list);
  std::string keys;
  for (int i = 0; i < 30; ++i) keys += h->substr(list + 8 + 8 * i, 4);
  h->replace(list, 16, std::string("\xf0\xff\xff\xffri\x01\0", 8) + std::string(8, '\0'));
  PutLe(h, list + 8, static_cast<uint32_t>(list + 16 - 4096));
  PutLe(h, list + 16, static_cast<uint32_t>(16 - size));
  h->replace(list + 20, 4 + keys.size(), std::string("li\x1e\0", 4) + keys);
}

// Big's data as big data of version 1.5: 19,960 bytes in two segments, in
// the room of its cell.
void BigData(std::string* h) {
  size_t vk = ValueAt(*h, "Big"), cell = 4096 + GetLe(*h, vk + 8);
  uint32_t at = static_cast<uint32_t>(cell - 4096);
  PutLe(h, 0x18, 5);
  PutLe(h, vk + 4, 19960);
  h->replace(cell, 32, std::string("\xf0\xff\xff\xff\x64\x62\x02\0", 8) + std::string(24, '\0'));
  PutLe(h, cell + 8, at + 16);
  PutLe(h, cell + 16, static_cast<uint32_t>(-16));
  PutLe(h, cell + 20, at + 32);
  PutLe(h, cell + 24, at + 32 + 16352);
  PutLe(h, cell + 32, static_cast<uint32_t>(-16352));
  h->replace(cell + 36, 16344, kBig.substr(0, 16344));
  PutLe(h, cell + 32 + 16352, static_cast<uint32_t>(-(20008 - 32 - 16352)));
  h->replace(cell + 32 + 16356, 3616, kBig.substr(16344, 3616));
}

struct Row {
  const char* name;
  std::function<void(std::string*)> damage;  // of the seeded hive's bytes; may be null
  std::string key, value;                    // looked up, in any case
  long status;
  std::string data;  // as seeded, when found
};

const std::string kText = Utf16Of("value") + std::string(2, '\0');  // in a cell

const Row kRows[] = {
    {"TextInACell", nullptr, "vendor\\APP", "NAME", 0, kText},
    {"DefaultValue", nullptr, "Vendor\\App", "", 0, std::string("\x07\0", 2)},
    {"DataInline", nullptr, "Vendor\\App", "Small", 0, std::string("\x01\x02\x03\x04", 4)},
    {"LargeDataInOneCell", nullptr, "Vendor\\App", "Big", 0, kBig},
    {"BigDataInSegments", BigData, "Vendor\\App", "big", 0, kBig.substr(0, 19960)},
    {"Utf16NamesAnyCase", nullptr, "КЛЮЧ", "имЯ", 0, kText},
    {"KeyInAnIndexOfLeaves", IndexOfLeaves, "many\\key 29", "v", 0, kText},
    {"MissingKey", nullptr, "Vendor\\None", "Name", ERROR_FILE_NOT_FOUND, ""},
    {"MissingValue", nullptr, "Vendor\\App", "None", ERROR_FILE_NOT_FOUND, ""},
    {"IndexOfIndexes",  // its leaf made the index itself
     [](std::string* h) {
       IndexOfLeaves(h), PutLe(h, ListOf(*h, "Many") + 8, ListOf(*h, "Many") - 4096);
     },
     "Many\\Key 1", "v", ERROR_REGISTRY_IO_FAILED, ""},
    {"ValueCellFree", [](std::string* h) { (*h)[ValueAt(*h, "Name") - 1] = 0; }, "Vendor\\App",
     "Name", ERROR_REGISTRY_IO_FAILED, ""},
    {"InlineDataTooLong", [](std::string* h) { PutLe(h, ValueAt(*h, "Small") + 4, 0x80000005); },
     "Vendor\\App", "Small", ERROR_REGISTRY_IO_FAILED, ""},
    {"DataLongerThanItsCell", [](std::string* h) { PutLe(h, ValueAt(*h, "Name") + 4, 9000); },
     "Vendor\\App", "Name", ERROR_REGISTRY_IO_FAILED, ""},
};

class HiveReaderRows : public ::testing::TestWithParam<Row> {};

TEST_P(HiveReaderRows, FindsWhatWasSeededOrSaysDamage) {
  const Row& row = GetParam();
  TempDir dir;
  std::string path = dir.File("hive");
  {
    HiveWriter hive(path);
    hive.SetValue("Vendor\\App", "Name", 1, kText);
    hive.SetValue("Vendor\\App", "", 4, std::string("\x07\0", 2));
    hive.SetValue("Vendor\\App", "Small", 4, "\x01\x02\x03\x04");
    hive.SetValue("Vendor\\App", "Big", 3, kBig);
    hive.SetValue("Ключ", "Имя", 1, kText);
    for (int i = 0; i < 30; ++i) hive.SetValue("Many\\Key " + std::to_string(i), "v", 1, kText);
    hive.Commit();
  }
  std::string bytes = ReadFile(path);
  if (row.damage) row.damage(&bytes);
  WriteFile(path, bytes);
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  fileregistry::HiveReader reader;
  std::string why;
  ASSERT_EQ(0, reader.Open(fd, nullptr, &why)) << why;
  fileregistry::HiveReader::Key key;
  std::string stored;
  fileregistry::RegValue value;
  long status =
      reader.Find(reader.Root(), fileregistry::Parts("Software\\" + row.key), &key, &stored);
  if (status == 0) status = reader.Value(key, row.value, &value);
  EXPECT_EQ(row.status, status);
  if (row.status == 0) {
    EXPECT_EQ(row.data, value.data);
  }
  close(fd);
}

INSTANTIATE_TEST_SUITE_P(Hives, HiveReaderRows, ::testing::ValuesIn(kRows),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
