// Runs the built program against a store file in a temporary folder.
#include "tests/end_to_end.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <tuple>
#include <vector>

#include "fileregistry/reg_text.h"
#include "tests/test_support.h"

namespace {

using fileregistry::RegText;
using fileregistry::RegValue;

std::string Quoted(const std::string& text) {
  std::string out = "\"";
  for (char c : text) {
    if (c == '\\' || c == '"') out += '\\';
    out += c;
  }
  return out + "\"";
}

// The key paths the settings live under: in a 64-bit machine's registry,
// the 32-bit view's.
struct Layout {
  bool sixty_four_bit;
  std::string primary, fallback;
  explicit Layout(bool sixty_four) : sixty_four_bit(sixty_four) {
    primary = sixty_four ? Wow6432Path(kPrimaryKeyPath) : kPrimaryKeyPath;
    fallback = sixty_four ? Wow6432Path(kFallbackKeyPath) : kFallbackKeyPath;
  }
};

std::string Sections(const std::string& primary, const std::string& fallback,
                     const StoreState& state) {
  std::string text;
  const std::pair<const std::string*, const KeyState*> keys[] = {{&primary, &state.primary},
                                                                 {&fallback, &state.fallback}};
  for (const auto& [path, key] : keys) {
    if (!key->exists) continue;
    text += "[HKEY_LOCAL_MACHINE\\" + *path + "]\n";
    if (key->protocols) text += "\"Supported protocols\"=" + Quoted(*key->protocols) + "\n";
    if (key->debug) text += "\"Debug messages\"=" + Quoted(*key->debug) + "\n";
    text += "\n";
  }
  return text;
}

std::string SeedText(const Layout& layout, const StoreState& state) {
  std::string text =
      "REGEDIT4\n\n; other software's settings share the file\n"
      "[HKEY_LOCAL_MACHINE\\Software\\Other]\n\"Kept\"=dword:00000001\n\n";
  if (layout.sixty_four_bit) {
    text += "[HKEY_LOCAL_MACHINE\\SOFTWARE\\WOW6432Node]\n\n" +
            Sections(kPrimaryKeyPath, kFallbackKeyPath, kOtherView);
  }
  return text + Sections(layout.primary, layout.fallback, state);
}

std::optional<std::string> TextValue(const RegText& store, const std::string& path,
                                     const char* name) {
  RegValue value;
  if (!store.FindValue(path, name, &value)) return std::nullopt;
  EXPECT_EQ(1u, value.type) << name;
  return value.data;
}

StoreState StateAt(const RegText& store, const std::string& primary, const std::string& fallback) {
  StoreState state;
  const std::pair<const std::string*, KeyState*> keys[] = {{&primary, &state.primary},
                                                           {&fallback, &state.fallback}};
  for (const auto& [path, key] : keys) {
    std::string stored;
    key->exists = store.FindKey(*path, &stored);
    key->protocols = TextValue(store, *path, "Supported protocols");
    key->debug = TextValue(store, *path, "Debug messages");
  }
  return state;
}

StoreState ReadState(const Layout& layout, const std::string& store_path) {
  RegText store;
  EXPECT_TRUE(store.Parse(ReadFile(store_path))) << "the store no longer parses";
  RegValue other;
  EXPECT_TRUE(store.FindValue("Software\\Other", "Kept", &other)) << "another key was lost";
  if (layout.sixty_four_bit) {
    EXPECT_EQ(kOtherView, StateAt(store, kPrimaryKeyPath, kFallbackKeyPath))
        << "the 64-bit view changed";
  }
  return StateAt(store, layout.primary, layout.fallback);
}

// The Linux build on a store file in a temporary folder: a 32-bit machine's
// registry, or a 64-bit one's with the settings in its 32-bit view.
class FileStore : public Platform {
 public:
  explicit FileStore(bool sixty_four_bit = false) : layout_(sixty_four_bit) {}
  void Seed(const StoreState& state) override {
    seed_ = SeedText(layout_, state);
    WriteFile(store_, seed_);
  }
  ProcessResult Run(const std::vector<std::string>& words) override {
    return RunProcess(KovalsetCommand(words), {"KOVALSET_REGISTRY=" + store_});
  }
  StoreState Read() override { return ReadState(layout_, store_); }

  Layout layout_;
  TempDir dir_;
  std::string store_ = dir_.File("hklm.reg");
  std::string seed_;
};

class EndToEnd : public ::testing::TestWithParam<std::tuple<RunCase, bool>> {};

TEST_P(EndToEnd, OutputStatusAndStore) {
  const auto& [c, sixty_four_bit] = GetParam();
  FileStore platform(sixty_four_bit);
  CheckRunCase(&platform, c);
  if (c.after == c.before) {
    EXPECT_EQ(platform.seed_, ReadFile(platform.store_)) << "rewritten without need";
  }
  for (const std::string& name : ListFolder(platform.dir_.path())) {
    EXPECT_TRUE(name == "hklm.reg" || name == "hklm.reg.lock") << "left behind: " << name;
  }
}

INSTANTIATE_TEST_SUITE_P(FileStore, EndToEnd,
                         ::testing::Combine(::testing::ValuesIn(RunCases()), ::testing::Bool()),
                         [](const ::testing::TestParamInfo<std::tuple<RunCase, bool>>& info) {
                           return std::get<0>(info.param).name +
                                  (std::get<1>(info.param) ? "_64BitStore" : "_32BitStore");
                         });

TEST(EndToEndFile, LongestListReadsBack) {
  FileStore platform;
  CheckLongestListReadsBack(&platform);
}

TEST(EndToEndFile, FirstRunWritesAPlainStoreInTheDefaultPlace) {
  TempDir home;
  ProcessResult run = RunProcess(KovalsetCommand({"debugmsg", "a\"b\\c"}),
                                 {"KOVALSET_REGISTRY", "XDG_DATA_HOME", "HOME=" + home.path()});
  EXPECT_EQ(0, run.status) << run.out;
  EXPECT_EQ(
      "REGEDIT4\n\n"
      "[HKEY_LOCAL_MACHINE\\Software\\Calderan Software\\Linvarro\\Version 6.15\\Settings]\n"
      "\"Supported protocols\"=\"SPX,TCPIP\"\n"
      "\"Debug messages\"=\"a\\\"b\\\\c\"\n",
      ReadFile(home.File(".local/share/kovalset/hklm.reg")));
}

TEST(EndToEndFile, XdgDataHomeIsHonoured) {
  TempDir data;
  ProcessResult run =
      RunProcess(KovalsetCommand({}), {"KOVALSET_REGISTRY", "XDG_DATA_HOME=" + data.path()});
  EXPECT_EQ(0, run.status);
  EXPECT_EQ(std::vector<std::string>{"kovalset"}, ListFolder(data.path()));
}

TEST(EndToEndFile, FolderThatCannotBeMade) {
  TempDir dir;
  WriteFile(dir.File("file"), "");
  ProcessResult run =
      RunProcess(KovalsetCommand({}), {"KOVALSET_REGISTRY=" + dir.File("file/sub/hklm.reg")});
  EXPECT_EQ(std::string(kBanner) + kCreating + "Error: Unable to create key: rc 3.\n", run.out);
  EXPECT_EQ(1, run.status);
}

TEST(EndToEndFile, OutputThatCannotBeWrittenFailsTheRun) {
  TempDir dir;
  ProcessResult run =
      RunProcess(KovalsetCommand({}), {"KOVALSET_REGISTRY=" + dir.File("hklm.reg")}, "/dev/full");
  EXPECT_EQ(1, run.status);
}

TEST(EndToEndFile, OutputToAClosedPipeFailsTheRunButFinishesIt) {
  TempDir dir;
  std::string store = dir.File("hklm.reg");
  int ends[2];
  ASSERT_EQ(0, pipe(ends));
  close(ends[0]);
  pid_t pid =
      StartProcess(KovalsetCommand({"debugmsg", "On"}), {"KOVALSET_REGISTRY=" + store}, ends[1], 2);
  close(ends[1]);
  EXPECT_EQ(1, WaitProcess(pid));
  EXPECT_NE(std::string::npos, ReadFile(store).find("\"Debug messages\"=\"On\"\n"));
}

}  // namespace
