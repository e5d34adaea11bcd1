#include "fileregistry/hive/hive_cells.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <functional>

#include "tests/hive_fixture.h"
#include "tests/test_support.h"

namespace {

// The cell, at its size, that field `at` of the cell whose signature is at
// `cell` names.
size_t Named(const std::string& h, size_t cell, size_t at) { return 4096 + GetLe(h, cell + at); }

// Frees the cell at `cell` (at its size), as hivex frees one.
void Free(std::string* h, size_t cell) { PutLe(h, cell, static_cast<uint32_t>(-static_cast<int32_t>(GetLe(*h, cell)))); }

// The live cell of value `name`, at its signature: hivex leaves the old
// cells of a key's values behind when it sets one.
size_t ValueAt(const std::string& h, const std::string& name) {
  size_t found = 0;
  for (size_t at = h.find("vk", 4096); at != std::string::npos; at = h.find("vk", at + 1)) {
    if (GetLe(h, at) >> 16 == name.size() && h.compare(at + 20, name.size(), name) == 0) found = at;
  }
  return found;
}

struct Row {
  const char* name;
  std::function<void(std::string*)> damage;  // of the seeded hive's bytes; may be null
  bool in_use;
};

const Row kRows[] = {
    {"AsHivexWroteIt", nullptr, true},
    {"ListedKeyFree", [](std::string* h) { Free(h, CellAt(*h, "nk", "Key 7") - 4); }, false},
    {"KeyListFree", [](std::string* h) { Free(h, Named(*h, CellAt(*h, "nk", "Many"), 28)); },
     false},
    {"ValueListFree", [](std::string* h) { Free(h, Named(*h, CellAt(*h, "nk", "App"), 40)); },
     false},
    {"ListedValueFree", [](std::string* h) { Free(h, ValueAt(*h, "Name") - 4); }, false},
    {"DataFree", [](std::string* h) { Free(h, Named(*h, ValueAt(*h, "Name"), 8)); }, false},
    {"ListNamesTheMiddleOfACell",
     [](std::string* h) {
       size_t list = Named(*h, CellAt(*h, "nk", "Many"), 28);
       PutLe(h, list + 8, GetLe(*h, list + 8) + 8);
     },
     false},
    {"BinsDoNotAddUp", [](std::string* h) { PutLe(h, 4096 + 8, 8192 * 1024); }, false},
};

class HiveCells : public ::testing::TestWithParam<Row> {};

TEST_P(HiveCells, TellCellsNamedThatAreNotInUse) {
  TempDir dir;
  std::string path = dir.File("hive");
  {
    HiveWriter hive(path);
    hive.SetValue("Vendor\\App", "Name", 1, Utf16Of("value"));
    hive.SetValue("Vendor\\App", "Big", 3, std::string(20000, 'b'));
    for (int i = 0; i < 30; ++i) hive.SetValue("Many\\Key " + std::to_string(i), "v", 4, "1234");
    hive.Commit();
  }
  std::string bytes = ReadFile(path);
  if (GetParam().damage) GetParam().damage(&bytes);
  WriteFile(path, bytes);
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  EXPECT_EQ(GetParam().in_use, fileregistry::RefersOnlyToCellsInUse(fd));
  close(fd);
}

INSTANTIATE_TEST_SUITE_P(Hives, HiveCells, ::testing::ValuesIn(kRows),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
