// Runs the built program against a store file in a temporary folder.
#include "tests/end_to_end.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
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

std::string SeedText(const StoreState& state) {
  std::string text =
      "REGEDIT4\n\n; other software's settings share the file\n"
      "[HKEY_LOCAL_MACHINE\\Software\\Other]\n\"Kept\"=dword:00000001\n\n";
  const std::pair<const char*, const KeyState*> keys[] = {{kPrimaryKeyPath, &state.primary},
                                                          {kFallbackKeyPath, &state.fallback}};
  for (const auto& [path, key] : keys) {
    if (!key->exists) continue;
    text += std::string("[HKEY_LOCAL_MACHINE\\") + path + "]\n";
    if (key->protocols) text += "\"Supported protocols\"=" + Quoted(*key->protocols) + "\n";
    if (key->debug) text += "\"Debug messages\"=" + Quoted(*key->debug) + "\n";
    text += "\n";
  }
  return text;
}

std::optional<std::string> TextValue(const RegText& store, const char* path, const char* name) {
  RegValue value;
  if (!store.FindValue(path, name, &value)) return std::nullopt;
  EXPECT_EQ(1u, value.type) << name;
  return value.data;
}

StoreState ReadState(const std::string& store_path) {
  RegText store;
  EXPECT_TRUE(store.Parse(ReadFile(store_path))) << "the store no longer parses";
  StoreState state;
  const std::pair<const char*, KeyState*> keys[] = {{kPrimaryKeyPath, &state.primary},
                                                    {kFallbackKeyPath, &state.fallback}};
  for (const auto& [path, key] : keys) {
    std::string stored;
    key->exists = store.FindKey(path, &stored);
    key->protocols = TextValue(store, path, "Supported protocols");
    key->debug = TextValue(store, path, "Debug messages");
  }
  RegValue other;
  EXPECT_TRUE(store.FindValue("Software\\Other", "Kept", &other)) << "another key was lost";
  return state;
}

// The Linux build on a store file in a temporary folder.
class FileStore : public Platform {
 public:
  void Seed(const StoreState& state) override {
    seed_ = SeedText(state);
    WriteFile(store_, seed_);
  }
  ProcessResult Run(const std::vector<std::string>& words) override {
    return RunProcess(KovalsetCommand(words), {"KOVALSET_REGISTRY=" + store_});
  }
  StoreState Read() override { return ReadState(store_); }

  TempDir dir_;
  std::string store_ = dir_.File("hklm.reg");
  std::string seed_;
};

class EndToEnd : public ::testing::TestWithParam<RunCase> {};

TEST_P(EndToEnd, OutputStatusAndStore) {
  const RunCase& c = GetParam();
  FileStore platform;
  CheckRunCase(&platform, c);
  if (c.after == c.before) {
    EXPECT_EQ(platform.seed_, ReadFile(platform.store_)) << "rewritten without need";
  }
  for (const std::string& name : ListFolder(platform.dir_.path())) {
    EXPECT_TRUE(name == "hklm.reg" || name == "hklm.reg.lock") << "left behind: " << name;
  }
}

INSTANTIATE_TEST_SUITE_P(FileStore, EndToEnd, ::testing::ValuesIn(RunCases()),
                         [](const ::testing::TestParamInfo<RunCase>& info) {
                           return info.param.name;
                         });

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
