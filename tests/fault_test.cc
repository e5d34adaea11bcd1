// The file store under faults: killed writers, concurrent runs, a full disk,
// odd stores and a store the user may not write. Each prints what it saw, for
// the README's table. KOVALSET_FAULT_ROUNDS sets how many kills and rounds.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "fileregistry/reg_text.h"
#include "fileregistry/win32_registry.h"
#include "tests/end_to_end.h"

namespace {

using fileregistry::RegText;
using fileregistry::RegValue;

const std::string kSection = std::string("[HKEY_LOCAL_MACHINE\\") + kPrimaryKeyPath + "]\n";

int Rounds(int fallback) {
  const char* rounds = getenv("KOVALSET_FAULT_ROUNDS");
  return rounds != nullptr ? atoi(rounds) : fallback;
}

// A store of about `bytes` bytes: other software's keys, then the settings.
std::string BigStore(size_t bytes, const std::string& settings) {
  std::string text = "REGEDIT4\n\n";
  for (int i = 0; text.size() < bytes; ++i) {
    text += "[HKEY_LOCAL_MACHINE\\Software\\Filler\\Key " + std::to_string(i) + "]\n" +
            "\"Name\"=\"A text value of other software, number " + std::to_string(i) + "\"\n" +
            "\"Count\"=dword:" + std::to_string(10000000 + i) + "\n\n";
  }
  return text + kSection + settings;
}

// Starts a run on `store` with its output thrown away.
pid_t Start(const std::vector<std::string>& words, const std::string& store) {
  static const int null = open("/dev/null", O_WRONLY | O_CLOEXEC);
  return StartProcess(KovalsetCommand(words), {"KOVALSET_REGISTRY=" + store}, null, null);
}

std::optional<std::string> Setting(const RegText& store, const char* name) {
  RegValue value;
  if (!store.FindValue(kPrimaryKeyPath, name, &value)) return std::nullopt;
  return value.data;
}

TEST(Faults, KillDuringWriteLeavesTheOldFileOrTheNew) {
  TempDir dir;
  std::string store = dir.File("hklm.reg");
  WriteFile(store, BigStore(5 << 20, "\"Debug messages\"=\"v0\"\n"));
  size_t size = ReadFile(store).size();

  auto begin = std::chrono::steady_clock::now();
  ASSERT_EQ(0, WaitProcess(Start({"debugmsg", "v1"}, store)));
  auto run_time = std::chrono::steady_clock::now() - begin;

  std::mt19937 random(42);
  std::uniform_int_distribution<long> delay(
      0, std::chrono::duration_cast<std::chrono::microseconds>(run_time).count() * 3 / 2);
  std::string previous = "v1";
  int rounds = Rounds(100), torn = 0, committed = 0;
  for (int round = 2; round < rounds + 2; ++round) {
    std::string value = "v" + std::to_string(round);
    pid_t pid = Start({"debugmsg", value}, store);
    usleep(static_cast<useconds_t>(delay(random)));
    kill(pid, SIGKILL);
    WaitProcess(pid);

    RegText text;
    std::string bytes = ReadFile(store);
    std::optional<std::string> found;
    RegValue last;
    if (!text.Parse(bytes) || bytes.size() < size ||
        !text.FindValue("Software\\Filler\\Key 0", "Name", &last) ||
        !(found = Setting(text, "Debug messages")) || (*found != previous && *found != value)) {
      ++torn;
      continue;
    }
    committed += *found == value;
    previous = *found;
  }
  printf("kill -9 during a write to a %zu-byte store, %d times: %d torn, %d committed\n", size,
         rounds, torn, committed);
  EXPECT_EQ(0, torn);
  // The next writer clears away what the killed ones left.
  EXPECT_EQ(0, WaitProcess(Start({"debugmsg", "last"}, store)));
  EXPECT_EQ((std::vector<std::string>{"hklm.reg", "hklm.reg.lock"}), ListFolder(dir.path()));
}

TEST(Faults, ConcurrentRunsLoseNoUpdate) {
  TempDir dir;
  std::string store = dir.File("hklm.reg");
  WriteFile(store, BigStore(256 << 10, "\"Supported protocols\"=\"SPX\"\n"));
  int rounds = Rounds(100) / 4, lost = 0;
  for (int round = 0; round < rounds; ++round) {
    // One writer of each value, and two runs that only read, all at once.
    std::vector<std::string> protocols(round % 40 + 1, "tcpip");
    std::string debug = "round " + std::to_string(round);
    std::vector<pid_t> runs = {Start(protocols, store), Start({"debugmsg", debug}, store),
                               Start({}, store), Start({"debugmsg"}, store)};
    for (pid_t pid : runs) EXPECT_EQ(0, WaitProcess(pid));
    RegText text;
    ASSERT_TRUE(text.Parse(ReadFile(store)));
    std::string list = "TCPIP";
    for (size_t i = 1; i < protocols.size(); ++i) list += ",TCPIP";
    lost += Setting(text, "Supported protocols") != list;
    lost += Setting(text, "Debug messages") != debug;
  }
  printf("%d rounds of 4 concurrent runs (2 writing different values): %d updates lost\n", rounds,
         lost);
  EXPECT_EQ(0, lost);
}

TEST(Faults, FullDiskLeavesTheStoreAsItWas) {
  TempDir dir;
  std::string mount_point = dir.File("small");
  mkdir(mount_point.c_str(), 0755);
  if (mount("tmpfs", mount_point.c_str(), "tmpfs", 0, "size=128k") != 0) {
    GTEST_SKIP() << "cannot mount a small tmpfs here; the write path's errors are covered by "
                    "RegistryApi tests";
  }
  std::string store = mount_point + "/hklm.reg";
  const std::string before = BigStore(80 << 10, "\"Supported protocols\"=\"SPX\"\n");
  WriteFile(store, before);
  ProcessResult run = RunProcess(KovalsetCommand({"tcpip"}), {"KOVALSET_REGISTRY=" + store});
  std::string after = ReadFile(store);
  std::vector<std::string> left = ListFolder(mount_point);
  umount(mount_point.c_str());

  EXPECT_EQ(std::string(kBanner) + "Current Supported Protocols : SPX\n" +
                "Updating Supported Protocols to : TCPIP\n" +
                "Error: Unable to update Supported Protocols: rc 112.\n",
            run.out);
  EXPECT_EQ(1, run.status);
  EXPECT_TRUE(after == before) << "the store changed";
  EXPECT_EQ((std::vector<std::string>{"hklm.reg", "hklm.reg.lock"}), left);
  printf("full disk (128 KiB tmpfs, 80 KiB store): rc 112, store unchanged\n");
}

TEST(Faults, StoreTheUserMayReadButNotWrite) {
  if (geteuid() != 0 || access("/usr/bin/setpriv", X_OK) != 0) {
    GTEST_SKIP() << "needs root and setpriv to run as another user";
  }
  const uid_t kNobody = 65534;
  // A store in root's folder, and a read-only one in the user's own folder.
  for (bool own_folder : {false, true}) {
    TempDir dir;
    chmod(dir.path().c_str(), 0755);
    std::string program = dir.File("kovalset"), store = dir.File("hklm.reg");
    WriteFile(program, ReadFile(KOVALSET_BINARY));
    chmod(program.c_str(), 0755);
    const std::string before = "REGEDIT4\n\n" + kSection + "\"Supported protocols\"=\"SPX\"\n";
    WriteFile(store, before);
    chmod(store.c_str(), own_folder ? 0444 : 0644);
    if (own_folder) {
      ASSERT_EQ(0, chown(dir.path().c_str(), kNobody, kNobody));
      ASSERT_EQ(0, chown(store.c_str(), kNobody, kNobody));
    }
    ProcessResult run = RunProcess({"setpriv", "--reuid=nobody", "--regid=nogroup",
                                    "--clear-groups", program, "tcpip", "debugmsg", "On"},
                                   {"KOVALSET_REGISTRY=" + store});
    EXPECT_EQ(std::string(kBanner) + "Current Supported Protocols : SPX\n" +
                  "Updating Supported Protocols to : TCPIP\n" +
                  "Error: Unable to update Supported Protocols: rc 5.\n" +
                  "Debug Messages entry does not exist.\nUpdating Debug Messages to : On\n" +
                  "Error: Unable to update Debug Messages : rc 5.\n",
              run.out)
        << (own_folder ? "read-only store in the user's folder" : "store in root's folder");
    EXPECT_EQ(1, run.status);
    EXPECT_EQ(before, ReadFile(store));
  }
}

// Odd things where the store should be.
struct OddStore {
  const char* name;
  std::function<void(const std::string& store)> make;
  std::string output;  // what follows the banner, for a run without words
  int status;
  bool untouched;
  std::string err = "";  // standard error, behind "kovalset: STORE"
};

std::string Text(const std::string& settings) { return "REGEDIT4\n\n" + kSection + settings; }

const std::string kRefused = std::string(kCreating) + "Error: Unable to create key: rc 1009.\n";
const std::string kDefaultCreated =
    "Supported Protocols entry does not exist.\nCreating new entry : SPX,TCPIP.\n";

const OddStore kOddStores[] = {
    {"Folder", [](const std::string& s) { mkdir(s.c_str(), 0755); },
     std::string(kCreating) + "Error: Unable to create key: rc 5.\n", 1, true,
     ": is a folder (rc 5)\n"},
    {"DanglingSymlink", [](const std::string& s) { (void)!symlink("missing/x.reg", s.c_str()); },
     std::string(kCreating) + "Error: Unable to create key: rc 3.\n", 1, true,
     ": No such file or directory (rc 3)\n"},
    {"LoopingSymlink", [](const std::string& s) { (void)!symlink(s.c_str(), s.c_str()); },
     std::string(kCreating) + "Error: Unable to create key: rc 1921.\n", 1, true,
     ": Too many levels of symbolic links (rc 1921)\n"},
    {"EmptyFile", [](const std::string& s) { WriteFile(s, ""); },
     std::string(kCreating) + kDefaultCreated, 0, false},
    {"Utf16ByteOrderMark",
     [](const std::string& s) { WriteFile(s, std::string("\xff\xfeR\0E\0G\0\n\0", 10)); }, kRefused,
     1, true, ":1: not a registry file\n"},
    {"ZeroByteInside",
     [](const std::string& s) {
       WriteFile(s, Text(std::string("\"Supported protocols\"=\"S\0X\"\n", 28)));
     },
     kRefused, 1, true, ":4: zero byte\n"},
    {"BadEscape",
     [](const std::string& s) { WriteFile(s, Text("\"Supported protocols\"=\"\\x\"\n")); },
     kRefused, 1, true, ":4: unknown escape in a string\n"},
    {"SectionNotClosed",
     [](const std::string& s) { WriteFile(s, "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\Software\n"); },
     kRefused, 1, true, ":3: unclosed key name\n"},
    {"ValueOutsideAnyKey", [](const std::string& s) { WriteFile(s, "REGEDIT4\n\n\"a\"=\"b\"\n"); },
     kRefused, 1, true, ":3: value outside a key\n"},
    {"SameKeyTwice",
     [](const std::string& s) {
       WriteFile(s, Text("\"Supported protocols\"=\"TCPIP\"\n\n") + kSection +
                        "\"Supported protocols\"=\"SPX\"\n");
     },
     "Current Supported Protocols : SPX\n", 0, true},
    {"MegabyteLine",
     [](const std::string& s) {
       WriteFile(s, "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\Other]\n\"Big\"=\"" +
                        std::string(1 << 20, 'm') + "\"\n\n" + kSection +
                        "\"Supported protocols\"=\"SPX\"\n");
     },
     "Current Supported Protocols : SPX\n", 0, true},
    {"MegabyteSetting",
     [](const std::string& s) {
       WriteFile(s, Text("\"Supported protocols\"=\"" + std::string(1 << 20, 'm') + "\"\n"));
     },
     "Error: Unable to read Supported Protocols: rc 234.\n", 1, true},
    {"FiftyMegabytes",
     [](const std::string& s) {
       WriteFile(s, BigStore(50 << 20, "\"Supported protocols\"=\"SPX\"\n"));
     },
     "Current Supported Protocols : SPX\n", 0, true},
};

class OddStores : public ::testing::TestWithParam<OddStore> {};

TEST_P(OddStores, ClearErrorAndNoRewrite) {
  const OddStore& odd = GetParam();
  TempDir dir;
  std::string store = dir.File("hklm.reg");
  odd.make(store);
  std::string before = ReadFile(store);
  ProcessResult run = RunProcess(KovalsetCommand({}), {"KOVALSET_REGISTRY=" + store});
  EXPECT_EQ(kBanner + odd.output, run.out);
  EXPECT_EQ(odd.err.empty() ? "" : "kovalset: " + store + odd.err, run.err);
  EXPECT_EQ(odd.status, run.status);
  if (odd.untouched) {
    EXPECT_TRUE(before == ReadFile(store)) << "the store was rewritten";
  }
}

INSTANTIATE_TEST_SUITE_P(Faults, OddStores, ::testing::ValuesIn(kOddStores),
                         [](const ::testing::TestParamInfo<OddStore>& info) {
                           return std::string(info.param.name);
                         });

}  // namespace
