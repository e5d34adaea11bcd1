// The file store under faults: killed writers, concurrent runs, a full disk,
// odd stores and a store the user may not write. Each prints what it saw, for
// the README's table. KOVALSET_FAULT_ROUNDS sets how many kills and rounds.
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "fileregistry/text/reg_text.h"
#include "fileregistry/win32_registry.h"
#include "tests/end_to_end.h"
#include "tests/hive_fixture.h"

namespace {

using fileregistry::RegText;
using fileregistry::RegValue;

const std::string kSection = std::string("[HKEY_LOCAL_MACHINE\\") + kPrimaryKeyPath + "]\n";

// The leak checker cannot work under strace, nor without a process to spare.
const char kNoLeakCheck[] = "ASAN_OPTIONS=detect_leaks=0";

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
  if (store.FindValue(kPrimaryKeyPath, name, &value) != 0) return std::nullopt;
  return value.data;
}

// Both kinds of store: a .reg text of about `bytes` bytes (5 MB: some 50,000
// keys), or a SOFTWARE hive of `bytes` / 256 keys (20,000 for 5 MB).
struct BigStoreCase {
  const char* name;
  bool hive;
};

class BigStores : public ::testing::TestWithParam<BigStoreCase> {
 protected:
  void Make(const std::string& path, size_t bytes, const char* value, const std::string& text) {
    if (!GetParam().hive) {
      WriteFile(path, BigStore(bytes, "\"" + std::string(value) + "\"=\"" + text + "\"\n"));
      return;
    }
    HiveWriter hive(path);
    AddFillerKeys(&hive, bytes / 256);
    hive.SetText(kPrimaryKeyInHive, value, text);
    hive.Commit();
  }
  // False when the file no longer opens as a store whose other keys are all
  // there; else sets `*text` to the setting `value`.
  bool Read(const std::string& path, const char* value, std::optional<std::string>* text) {
    if (GetParam().hive) {
      std::optional<std::string> filler;
      return ReadHiveText(path, "Filler\\Group 0\\Key 0", "Name", &filler) && filler &&
             ReadHiveText(path, kPrimaryKeyInHive, value, text);
    }
    RegText store;
    RegValue filler;
    if (!store.Parse(ReadFile(path)) ||
        store.FindValue("Software\\Filler\\Key 0", "Name", &filler) != 0) {
      return false;
    }
    *text = Setting(store, value);
    return true;
  }
};

TEST_P(BigStores, KillDuringWriteLeavesTheOldFileOrTheNew) {
  TempDir dir;
  std::string store = dir.File("hklm.reg");
  Make(store, 5 << 20, "Debug messages", "v0");
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

    std::optional<std::string> found;
    if (!Read(store, "Debug messages", &found) || !found ||
        (*found != previous && *found != value)) {
      ++torn;
      continue;
    }
    committed += *found == value;
    previous = *found;
  }
  printf("kill -9 during a write to a %zu-byte %s, %d times: %d torn, %d committed\n", size,
         GetParam().name, rounds, torn, committed);
  EXPECT_EQ(0, torn);
  // The next writer clears away what the killed ones left.
  EXPECT_EQ(0, WaitProcess(Start({"debugmsg", "last"}, store)));
  EXPECT_EQ(std::vector<std::string>{"hklm.reg"}, ListFolder(dir.path()));
}

TEST_P(BigStores, ConcurrentRunsLoseNoUpdate) {
  TempDir dir;
  std::string store = dir.File("hklm.reg");
  Make(store, 256 << 10, "Supported protocols", "SPX");
  int rounds = Rounds(100) / 4, lost = 0;
  for (int round = 0; round < rounds; ++round) {
    // One writer of each value, and two runs that only read, all at once.
    std::vector<std::string> protocols(round % 40 + 1, "tcpip");
    std::string debug = "round " + std::to_string(round);
    std::vector<pid_t> runs = {Start(protocols, store), Start({"debugmsg", debug}, store),
                               Start({}, store), Start({"debugmsg"}, store)};
    for (pid_t pid : runs) EXPECT_EQ(0, WaitProcess(pid));
    std::string list = "TCPIP";
    for (size_t i = 1; i < protocols.size(); ++i) list += ",TCPIP";
    std::optional<std::string> found;
    ASSERT_TRUE(Read(store, "Supported protocols", &found));
    lost += found != list;
    ASSERT_TRUE(Read(store, "Debug messages", &found));
    lost += found != debug;
  }
  printf("%d rounds of 4 concurrent runs on a %s (2 writing different values): %d updates lost\n",
         rounds, GetParam().name, lost);
  EXPECT_EQ(0, lost);
}

const BigStoreCase kBigStores[] = {{"text store", false}, {"hive", true}};
INSTANTIATE_TEST_SUITE_P(Faults, BigStores, ::testing::ValuesIn(kBigStores),
                         [](const ::testing::TestParamInfo<BigStoreCase>& info) {
                           return std::string(info.param.hive ? "Hive" : "Text");
                         });

TEST(Faults, StoreTheUserMayReadButNotWrite) {
  if (!NobodysProgram::Possible()) GTEST_SKIP() << "needs root and setpriv";
  NobodysProgram program;
  // A store in root's folder, and a read-only one in the user's own folder.
  for (bool own_folder : {false, true}) {
    TempDir dir;
    chmod(dir.path().c_str(), 0755);
    std::string store = dir.File("hklm.reg");
    const std::string before = "REGEDIT4\n\n" + kSection + "\"Supported protocols\"=\"SPX\"\n";
    WriteFile(store, before);
    chmod(store.c_str(), own_folder ? 0444 : 0644);
    if (own_folder) {
      ASSERT_EQ(0, chown(dir.path().c_str(), NobodysProgram::kUid, NobodysProgram::kUid));
      ASSERT_EQ(0, chown(store.c_str(), NobodysProgram::kUid, NobodysProgram::kUid));
    }
    ProcessResult run =
        RunProcess(program.Command({"tcpip", "debugmsg", "On"}), {"KOVALSET_REGISTRY=" + store});
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

// What other users of the machine, and odd files beside the store, can do.
// Each case arranges a folder, runs a write as root or as nobody, and checks
// what the run said and what the files hold after.
struct UserFault {
  const char* name;
  std::vector<std::string> as;  // setpriv's options for the user who runs it; none: root
  // Lays out `dir`; returns the store's path.
  std::function<std::string(const std::string& dir)> arrange;
  std::string output;  // what follows the banner, for the words "tcpip"
  int status;
  std::string err;  // "@" stands for the folder
  std::function<void(const std::string& dir)> check;
};

const std::string kStored = "REGEDIT4\n\n" + kSection + "\"Supported protocols\"=\"SPX\"\n";
const std::string kUpdating =
    "Current Supported Protocols : SPX\nUpdating Supported Protocols to : TCPIP\n";
const std::string kStoredTcpip = "REGEDIT4\n\n" + kSection + "\"Supported protocols\"=\"TCPIP\"\n";

const std::vector<std::string> kNobody = {"--reuid=65534", "--regid=65534", "--clear-groups"};
// Two users who share the group 5000.
const std::vector<std::string> kUser1 = {"--reuid=1000", "--regid=1000", "--groups=5000"};
const std::vector<std::string> kUser2 = {"--reuid=1001", "--regid=1001", "--groups=5000"};

// Runs the program on `store` with `words`: as root, or as the user that
// setpriv's options `as` give, under umask 077.
ProcessResult RunAs(const std::vector<std::string>& as, const std::vector<std::string>& words,
                    const std::string& store) {
  static const NobodysProgram program;
  std::vector<std::string> argv = KovalsetCommand(words);
  if (!as.empty()) {
    argv = {"setpriv"};
    argv.insert(argv.end(), as.begin(), as.end());
    argv.insert(argv.end(), {"sh", "-c", "umask 077 && exec \"$0\" \"$@\"", program.path()});
    argv.insert(argv.end(), words.begin(), words.end());
  }
  return RunProcess(argv, {"KOVALSET_REGISTRY=" + store});
}

std::string Mkdir(const std::string& path, mode_t mode, uid_t owner = 0) {
  mkdir(path.c_str(), mode);
  EXPECT_EQ(0, chown(path.c_str(), owner, owner));
  chmod(path.c_str(), mode);  // past the umask, sticky and setgid bits included
  return path;
}

// A store of `owner`:`group` with `mode`, in the folder `folder` of mode
// `folder_mode`, owned by the same.
std::string SharedStore(const std::string& folder, mode_t folder_mode, uid_t owner, gid_t group,
                        mode_t mode) {
  Mkdir(folder, folder_mode);
  EXPECT_EQ(0, chown(folder.c_str(), owner, group));
  chmod(folder.c_str(), folder_mode);
  WriteFile(folder + "/hklm.reg", kStored);
  EXPECT_EQ(0, chown((folder + "/hklm.reg").c_str(), owner, group));
  chmod((folder + "/hklm.reg").c_str(), mode);
  return folder + "/hklm.reg";
}

// A world-writable sticky folder ww holding a symlink owned by `owner` to a
// file in root's private folder.
std::string StickyFolderLink(const std::string& dir, uid_t owner) {
  Mkdir(dir + "/secret", 0700);
  WriteFile(dir + "/secret/empty.conf", "");
  std::string store = Mkdir(dir + "/ww", 01777) + "/hklm.reg";
  EXPECT_EQ(0, symlink((dir + "/secret/empty.conf").c_str(), store.c_str()));
  EXPECT_EQ(0, lchown(store.c_str(), owner, owner));
  return store;
}

// Root's private folder with a store (or none), and nobody's link to it on
// the way to the store, in a world-writable sticky folder.
std::string LinkOnTheWay(const std::string& dir, bool store_there) {
  Mkdir(dir + "/secret", 0700);
  if (store_there) WriteFile(dir + "/secret/hklm.reg", kStored);
  Mkdir(dir + "/ww", 01777);
  EXPECT_EQ(0, symlink((dir + "/secret").c_str(), (dir + "/ww/kov").c_str()));
  EXPECT_EQ(0, lchown((dir + "/ww/kov").c_str(), NobodysProgram::kUid, NobodysProgram::kUid));
  return dir + "/ww/kov/hklm.reg";
}

void CheckSecretUntouched(const std::string& dir, bool store_there) {
  EXPECT_EQ(store_there ? std::vector<std::string>{"hklm.reg"} : std::vector<std::string>{},
            ListFolder(dir + "/secret"));
  if (store_there) {
    EXPECT_EQ(kStored, ReadFile(dir + "/secret/hklm.reg"));
  }
}

// A store of nobody's, in a folder of nobody's with mode `mode`.
std::string NobodysStore(const std::string& dir, mode_t mode) {
  std::string store = dir + "/own/hklm.reg";
  Mkdir(dir + "/own", 0755, NobodysProgram::kUid);
  WriteFile(store, kStored);
  EXPECT_EQ(0, chown(store.c_str(), NobodysProgram::kUid, NobodysProgram::kUid));
  chmod((dir + "/own").c_str(), mode);
  return store;
}

// A store of `megabytes` MiB of zeros, which take no room on disk.
std::string SparseFile(const std::string& dir, off_t megabytes) {
  std::string store = dir + "/hklm.reg";
  WriteFile(store, "");
  EXPECT_EQ(0, truncate(store.c_str(), megabytes << 20));
  return store;
}

const UserFault kUserFaults[] = {
    {"AnotherUsersSymlinkInAStickyFolder",
     {},
     [](const std::string& dir) { return StickyFolderLink(dir, NobodysProgram::kUid); },
     std::string(kCreating) + "Error: Unable to create key: rc 5.\n",
     1,
     "kovalset: @/ww/hklm.reg: a symlink of another user (rc 5)\n",
     [](const std::string& dir) {
       EXPECT_EQ("", ReadFile(dir + "/secret/empty.conf"));
       EXPECT_EQ(std::vector<std::string>{"empty.conf"}, ListFolder(dir + "/secret"));
     }},
    {"AnotherUsersSymlinkOnTheWay",
     {},
     [](const std::string& dir) { return LinkOnTheWay(dir, true); },
     std::string(kCreating) + "Error: Unable to create key: rc 5.\n",
     1,
     "kovalset: @/ww/kov: a symlink of another user (rc 5)\n",
     [](const std::string& dir) { CheckSecretUntouched(dir, true); }},
    {"AnotherUsersSymlinkOnTheWayToNoStore",
     {},
     [](const std::string& dir) { return LinkOnTheWay(dir, false); },
     std::string(kCreating) + "Error: Unable to create key: rc 5.\n",
     1,
     "kovalset: @/ww/kov: a symlink of another user (rc 5)\n",
     [](const std::string& dir) { CheckSecretUntouched(dir, false); }},
    // A store shared by a group stays shared, whoever of the group writes it.
    {"GroupSharedStore", kUser2,
     [](const std::string& dir) { return SharedStore(dir + "/shared", 02775, 1000, 5000, 0660); },
     kUpdating, 0, "",
     [](const std::string& dir) {
       struct stat st = {};
       EXPECT_EQ(0, stat((dir + "/shared/hklm.reg").c_str(), &st));
       EXPECT_EQ(5000u, st.st_gid);
       EXPECT_EQ(0660u, st.st_mode & 07777);
       EXPECT_EQ(0, RunAs(kUser1, {"spx"}, dir + "/shared/hklm.reg").status) << "user1 shut out";
     }},
    // Another user may write the store through an ACL, but a new file of
    // theirs would shut its owner out.
    {"OwnerWouldLoseAccess", kUser2,
     [](const std::string& dir) {
       std::string store = SharedStore(dir + "/acl", 0777, 1000, 1000, 0600);
       EXPECT_EQ(0, RunProcess({"setfacl", "-m", "u:1001:rw", store}, {}).status);
       return store;
     },
     kUpdating + "Error: Unable to update Supported Protocols: rc 5.\n", 1,
     "kovalset: @/acl/hklm.reg: rewritten by this user, it would no longer be readable and "
     "writable by its owner (rc 5)\n",
     [](const std::string& dir) {
       EXPECT_EQ(kStored, ReadFile(dir + "/acl/hklm.reg"));
       EXPECT_EQ(std::vector<std::string>{"hklm.reg"}, ListFolder(dir + "/acl"));
     }},
    {"OwnSymlinkInAStickyFolder",
     {},
     [](const std::string& dir) { return StickyFolderLink(dir, 0); },
     std::string(kCreating) +
         "Supported Protocols entry does not exist.\nCreating new entry : TCPIP.\n",
     0,
     "",
     [](const std::string& dir) {
       EXPECT_NE("", ReadFile(dir + "/secret/empty.conf")) << "written through the link";
     }},
    {"FolderTheWriterMayWriteButNotRead", kNobody,
     [](const std::string& dir) { return NobodysStore(dir, 0333); }, kUpdating, 0, "",
     [](const std::string& dir) { EXPECT_EQ(kStoredTcpip, ReadFile(dir + "/own/hklm.reg")); }},
    // One process, and no other for the hive's writer.
    {"NoRoomForAnotherProcess",
     {"--reuid=65534", "--regid=65534", "--clear-groups", "prlimit", "--nproc=1", "env",
      kNoLeakCheck},
     [](const std::string& dir) {
       std::string store = dir + "/own/hklm.reg";
       Mkdir(dir + "/own", 0755, NobodysProgram::kUid);
       HiveWriter(store).Commit();
       EXPECT_EQ(0, chown(store.c_str(), NobodysProgram::kUid, NobodysProgram::kUid));
       return store;
     },
     std::string(kCreating) + "Error: Unable to create key: rc 8.\n",
     1,
     "kovalset: @/own/hklm.reg: cannot start the process that writes it: Resource temporarily "
     "unavailable (rc 8)\n",
     nullptr},
    {"FileOfFourGigabytes",
     {},
     [](const std::string& dir) { return SparseFile(dir, 4 << 10); },
     std::string(kCreating) + "Error: Unable to create key: rc 223.\n",
     1,
     "kovalset: @/hklm.reg: larger than 1 GiB, the most a store may be (rc 223)\n",
     nullptr},
    {"LargeFileThatIsNoStore",
     {},
     [](const std::string& dir) { return SparseFile(dir, 512); },
     std::string(kCreating) + "Error: Unable to create key: rc 1009.\n",
     1,
     "kovalset: @/hklm.reg:1: not a registry file\n",
     nullptr},
};

class UserFaults : public ::testing::TestWithParam<UserFault> {};

TEST_P(UserFaults, RefusedOrDoneAsTheyShouldBe) {
  const UserFault& fault = GetParam();
  if (!NobodysProgram::Possible()) GTEST_SKIP() << "needs root and setpriv to be another user";
  TempDir dir;
  chmod(dir.path().c_str(), 0755);
  std::string store = fault.arrange(dir.path());
  auto begin = std::chrono::steady_clock::now();
  ProcessResult run = RunAs(fault.as, {"tcpip"}, store);
  EXPECT_LT(std::chrono::steady_clock::now() - begin, std::chrono::seconds(3));
  std::string err = fault.err;
  if (size_t at = err.find('@'); at != std::string::npos) err.replace(at, 1, dir.path());
  EXPECT_EQ(kBanner + fault.output, run.out);
  EXPECT_EQ(err, run.err);
  EXPECT_EQ(fault.status, run.status);
  if (fault.check) fault.check(dir.path());
}

INSTANTIATE_TEST_SUITE_P(Faults, UserFaults, ::testing::ValuesIn(kUserFaults),
                         [](const ::testing::TestParamInfo<UserFault>& info) {
                           return std::string(info.param.name);
                         });

// nobody at work in a sticky folder where root runs on nobody's hive, which
// root's private hive stands beside behind nobody's symlink. `attack` is
// done over and over, as nobody, while root runs.
struct Race {
  const char* name;
  void (*attack)(int folder);
};

const char kSecret[] = "root's secret";

// Does `attack` on `folder` over and over, as nobody, until killed.
pid_t StartAttacker(const std::string& folder, void (*attack)(int folder)) {
  pid_t attacker = fork();
  if (attacker == 0) {
    int fd = open(folder.c_str(), O_PATH | O_DIRECTORY);
    if (setgid(NobodysProgram::kUid) != 0 || setuid(NobodysProgram::kUid) != 0) _exit(1);
    for (;;) attack(fd);
  }
  return attacker;
}

const Race kRaces[] = {
    // Takes each new file the run makes away, and puts a link to root's
    // hive in its place.
    {"TempFileSwapped",
     [](int folder) {
       DIR* dir = fdopendir(openat(folder, ".", O_RDONLY | O_DIRECTORY));
       while (dirent* entry = dir != nullptr ? readdir(dir) : nullptr) {
         if (strstr(entry->d_name, ".kovalset-new-") == nullptr) continue;
         if (renameat(folder, entry->d_name, folder, "stolen") == 0)
           (void)!symlinkat("../secret/hive", folder, entry->d_name);
       }
       if (dir != nullptr) closedir(dir);
     }},
    // Swaps nobody's hive with the link to root's.
    {"HiveExchangedWithALink",
     [](int folder) { renameat2(folder, "hklm", folder, "link", RENAME_EXCHANGE); }},
};

class Races : public ::testing::TestWithParam<Race> {};

TEST_P(Races, NothingOfRootsIsShownOrTouched) {
  if (!NobodysProgram::Possible()) GTEST_SKIP() << "needs root to be another user";
  TempDir dir;
  chmod(dir.path().c_str(), 0755);
  std::string secret = Mkdir(dir.File("secret"), 0700) + "/hive";
  std::string folder = Mkdir(dir.File("ww"), 01777), store = folder + "/hklm";
  for (const auto& [path, debug] : {std::pair{secret, kSecret}, std::pair{store, "nobody's"}}) {
    HiveWriter hive(path);
    hive.SetText(kPrimaryKeyInHive, "Debug messages", debug);
    hive.Commit();
  }
  const std::string before = ReadFile(secret), nobodys = ReadFile(store);
  // nobody's hive and link, laid anew before each run.
  auto lay = [&] {
    unlink(store.c_str());
    WriteFile(store, nobodys);
    EXPECT_EQ(0, chown(store.c_str(), NobodysProgram::kUid, NobodysProgram::kUid));
    unlink((folder + "/link").c_str());
    EXPECT_EQ(0, symlink(secret.c_str(), (folder + "/link").c_str()));
    EXPECT_EQ(0, lchown((folder + "/link").c_str(), NobodysProgram::kUid, NobodysProgram::kUid));
  };

  pid_t attacker = StartAttacker(folder, GetParam().attack);
  int rounds = Rounds(100), shown = 0;
  for (int round = 0; round < rounds; ++round) {
    lay();
    ProcessResult run = RunAs({}, {round % 2 ? "spx" : "tcpip", "debugmsg"}, store);
    shown += run.out.find(kSecret) != std::string::npos;
  }
  kill(attacker, SIGKILL);
  WaitProcess(attacker);
  int leaked = 0;
  for (const std::string& name : ListFolder(folder)) {
    struct stat st;
    leaked += lstat((folder + "/" + name).c_str(), &st) == 0 && S_ISREG(st.st_mode) &&
              ReadFile(folder + "/" + name).find(Utf16Of(kSecret)) != std::string::npos;
  }
  printf("%s, %d runs as root: secret shown %d times, left in %d of nobody's files\n",
         GetParam().name, rounds, shown, leaked);
  EXPECT_EQ(0, shown);
  EXPECT_EQ(0, leaked);
  EXPECT_TRUE(before == ReadFile(secret)) << "root's hive changed";
}

INSTANTIATE_TEST_SUITE_P(Faults, Races, ::testing::ValuesIn(kRaces),
                         [](const ::testing::TestParamInfo<Race>& info) {
                           return std::string(info.param.name);
                         });

// Two writers that both find no store: one makes it, the other finds it
// made and writes its change into it. Neither update may be lost.
TEST(Faults, TwoWritersMakingTheStoreLoseNoUpdate) {
  TempDir dir;
  std::string store = dir.File("hklm.reg");
  int rounds = Rounds(100), lost = 0, failed = 0;
  for (int round = 0; round < rounds; ++round) {
    unlink(store.c_str());
    std::string debug = "round " + std::to_string(round);
    pid_t runs[] = {Start({"tcpip"}, store), Start({"debugmsg", debug}, store)};
    failed += (WaitProcess(runs[0]) != 0) + (WaitProcess(runs[1]) != 0);
    RegText text;
    ASSERT_TRUE(text.Parse(ReadFile(store)));
    // The debug writer makes the default list where it found none.
    std::optional<std::string> list = Setting(text, "Supported protocols");
    lost += Setting(text, "Debug messages") != debug || (list != "TCPIP" && list != "SPX,TCPIP");
  }
  printf("%d rounds of 2 writers both making the store: %d updates lost, %d runs failed\n", rounds,
         lost, failed);
  EXPECT_EQ(0, lost);
  EXPECT_EQ(0, failed);
  EXPECT_EQ(std::vector<std::string>{"hklm.reg"}, ListFolder(dir.path()));
}

// Once the store's path is walked, no call names a file by a path that
// passes through a folder: nothing another user could swap.
TEST(Faults, NoCallNamesTheStoreByItsPath) {
  if (access("/usr/bin/strace", X_OK) != 0) GTEST_SKIP() << "needs strace";
  for (bool hive : {false, true}) {
    TempDir dir;
    std::string store = Mkdir(dir.File("ww"), 01777) + "/hklm";
    if (hive) {
      HiveWriter(store).Commit();
    } else {
      WriteFile(store, kStored);
    }
    std::string trace = dir.File("trace");
    std::vector<std::string> argv = {"strace", "-f", "-qq", "-o", trace, "-e", "trace=%file,%desc"};
    for (const std::string& word : KovalsetCommand({"tcpip", "debugmsg", "On"})) {
      argv.push_back(word);
    }
    ProcessResult run = RunProcess(argv, {"KOVALSET_REGISTRY=" + store, kNoLeakCheck});
    EXPECT_EQ(0, run.status) << run.err;
    std::istringstream calls(ReadFile(trace));
    for (std::string call; std::getline(calls, call);) {
      EXPECT_EQ(std::string::npos, call.find("\"" + dir.path())) << call;
    }
  }
}

// The folders a first run makes for its store are flushed into their
// parents, as the store is into its folder: a power cut after the run
// cannot take them away.
TEST(Faults, MadeFoldersAreFlushedIntoTheirParents) {
  if (access("/usr/bin/strace", X_OK) != 0) GTEST_SKIP() << "needs strace";
  TempDir dir;
  std::string home = dir.File("home"), trace = dir.File("trace");
  mkdir(home.c_str(), 0755);
  std::vector<std::string> argv = {"strace", "-f",  "-qq", "-y",
                                   "-o",     trace, "-e",  "trace=mkdirat,fsync"};
  for (const std::string& word : KovalsetCommand({"tcpip"})) argv.push_back(word);
  ProcessResult run =
      RunProcess(argv, {"HOME=" + home, "KOVALSET_REGISTRY=", "XDG_DATA_HOME=", kNoLeakCheck});
  EXPECT_EQ(0, run.status) << run.err;
  std::vector<std::string> made, flushed;
  std::istringstream calls(ReadFile(trace));
  for (std::string call; std::getline(calls, call);) {
    size_t from = call.find('<') + 1, to = call.find('>');
    if (call.find(") = 0") == std::string::npos || from == 0) continue;
    (call.find("mkdirat(") != std::string::npos ? made : flushed)
        .push_back(call.substr(from, to - from));
  }
  EXPECT_EQ((std::vector<std::string>{home, home + "/.local", home + "/.local/share"}), made);
  for (const std::string& parent : made) {
    EXPECT_NE(flushed.end(), std::find(flushed.begin(), flushed.end(), parent)) << parent;
  }
}

// Rooms too small for a run: a full disk, a read-only file system, too
// little memory. Each ends in a status and a reason, the store as it was.
struct TightRoom {
  const char* name;
  std::function<std::string()> store;  // its content
  bool read_only;                      // the file system remounted so
  const char* ulimit;                  // sh's ulimit options for the run; null: none
  std::string output;                  // behind the banner, for the words "tcpip"
  std::string err;                     // behind "kovalset: STORE"
};

// A store written by regedit: UTF-16, with `bytes` bytes of other keys.
std::string Utf16Store(size_t bytes) {
  std::string text = BigStore(bytes, "\"Supported protocols\"=\"SPX\"\n");
  text.replace(0, 8, "Windows Registry Editor Version 5.00");
  return "\xff\xfe" + Utf16Of(text);
}

const TightRoom kTightRooms[] = {
    {"FullDisk", [] { return BigStore(80 << 10, "\"Supported protocols\"=\"SPX\"\n"); }, false,
     nullptr, kUpdating + "Error: Unable to update Supported Protocols: rc 112.\n",
     ": cannot be written: the disk is full (rc 112)\n"},
    {"ReadOnlyFileSystem", [] { return kStored; }, true, nullptr,
     kUpdating + "Error: Unable to update Supported Protocols: rc 19.\n",
     ": Read-only file system (rc 19)\n"},
    {"TooLittleMemory", [] { return Utf16Store(16 << 20); }, false, "-v 60000",
     std::string(kCreating) + "Error: Unable to create key: rc 14.\n",
     ": not enough memory to read it (rc 14)\n"},
    {"TooFewFiles", [] { return EmptyHive(); }, false, "-n 7",
     std::string(kCreating) + "Error: Unable to create key: rc 4.\n",
     ": hivex cannot be loaded: libhivex.so.0: cannot open shared object file: Too many open "
     "files (rc 4)\n"},
    {"TooFewFilesForHivex", [] { return EmptyHive(); }, false, "-n 8",
     std::string(kCreating) + "Error: Unable to create key: rc 4.\n",
     ": hivex cannot open it: Too many open files (rc 4)\n"},
    {"TooFewFilesToRead", [] { return EmptyHive(); }, false, "-n 6",
     std::string(kCreating) + "Error: Unable to create key: rc 4.\n",
     ": Too many open files (rc 4)\n"},
    // In 512-byte blocks: a new file of more than 50 KiB is refused.
    {"FileSizeLimit", [] { return BigStore(80 << 10, "\"Supported protocols\"=\"SPX\"\n"); }, false,
     "-f 100", kUpdating + "Error: Unable to update Supported Protocols: rc 223.\n",
     ": cannot be written: larger than the file size limit allows (rc 223)\n"},
    // Shown as read in place; only the copy hivex writes from is refused.
    {"FileSizeLimitOnAHive",
     [] {
       TempDir dir;
       HiveWriter hive(dir.File("hive"));
       hive.SetText(kPrimaryKeyInHive, "Supported protocols", "SPX");
       hive.Commit();
       return ReadFile(dir.File("hive"));
     },
     false, "-f 4", kUpdating + "Error: Unable to update Supported Protocols: rc 223.\n",
     ": File too large (rc 223)\n"},
};

class TightRooms : public ::testing::TestWithParam<TightRoom> {};

TEST_P(TightRooms, StatusAndReasonAndTheStoreAsItWas) {
  const TightRoom& room = GetParam();
#ifdef KOVALSET_SANITIZED
  if (room.ulimit != nullptr) GTEST_SKIP() << "AddressSanitizer needs more room";
#endif
  TempDir dir;
  std::string mount_point = dir.File("small");
  mkdir(mount_point.c_str(), 0755);
  if (mount("tmpfs", mount_point.c_str(), "tmpfs", 0, "size=64m") != 0) {
    GTEST_SKIP() << "cannot mount a small tmpfs here";
  }
  std::string store = mount_point + "/hklm.reg";
  const std::string before = room.store();
  WriteFile(store, before);
  // The disk filled up to what the store and 48 KiB more take.
  if (room.name == std::string("FullDisk"))
    mount(nullptr, mount_point.c_str(), nullptr, MS_REMOUNT, "size=128k");
  if (room.read_only) mount(nullptr, mount_point.c_str(), nullptr, MS_REMOUNT | MS_RDONLY, nullptr);
  std::vector<std::string> argv = {
      "sh", "-c",
      "ulimit " + std::string(room.ulimit ? room.ulimit : "-c 0") + " && exec \"$0\" \"$@\""};
  for (const std::string& word : KovalsetCommand({"tcpip"})) argv.push_back(word);
  ProcessResult run = RunProcess(argv, {"KOVALSET_REGISTRY=" + store});
  std::string after = ReadFile(store);
  std::vector<std::string> left = ListFolder(mount_point);
  umount(mount_point.c_str());

  EXPECT_EQ(kBanner + room.output, run.out);
  EXPECT_EQ("kovalset: " + store + room.err, run.err);
  EXPECT_EQ(1, run.status);
  EXPECT_TRUE(after == before) << "the store changed";
  EXPECT_EQ(std::vector<std::string>{"hklm.reg"}, left);
}

INSTANTIATE_TEST_SUITE_P(Faults, TightRooms, ::testing::ValuesIn(kTightRooms),
                         [](const ::testing::TestParamInfo<TightRoom>& info) {
                           return std::string(info.param.name);
                         });

// Another program changes the store in place, without the lock, while a
// run writes it: the run fails, and the other program's file stays.
struct InPlaceChange {
  const char* name;
  // Done before the run opens the store, and while it is held writing.
  std::function<void(const std::string&store)> before, during;
  const char* held_at = "fallocate";  // the call the run is held at
  bool hive = false;                  // the store a hive holding SPX, not kStored
};

// The other program's shared mapping of the store's first page.
char* mapped_store = nullptr;

void MapStore(const std::string& store) {
  int fd = open(store.c_str(), O_RDWR | O_CLOEXEC);
  void* page = mmap(nullptr, 4096, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  close(fd);
  mapped_store = static_cast<char*>(page);
}

// The first store makes the page dirty and sets the file's times; the
// next, into that page, sets none.
void MapAndStore(const std::string& store) {
  MapStore(store);
  mapped_store[0] = 'R';
}
void StoreIntoTheDirtyPage(const std::string& store) {
  size_t at = ReadFile(store).find("SPX");
  ASSERT_NE(std::string::npos, at) << "the store was replaced";
  mapped_store[at] = 'Z';
}

const InPlaceChange kInPlaceChanges[] = {
    {"Rewritten", nullptr,
     [](const std::string& store) {
       WriteFile(store, BigStore(64 << 10, "\"Supported protocols\"=\"OTHER\"\n"));
     }},
    {"StoredThroughASharedMapping", MapAndStore, StoreIntoTheDirtyPage},
    {"StoredThroughASharedMappingDuringTheFlush", MapAndStore, StoreIntoTheDirtyPage, "fsync"},
    // A hive is held under a lease: the other program waits to open it.
    {"HiveRewritten", nullptr, [](const std::string& store) { WriteFile(store, EmptyHive()); },
     "fsync", true},
    // Open to write, it can have no lease: the copy hivex reads tells.
    {"HiveStoredThroughASharedMapping",
     [](const std::string& store) { MapStore(store), mapped_store[0x800] = 'R'; },
     [](const std::string&) { mapped_store[0x801] = 'Z'; }, "fsync", true},
};

class InPlaceChanges : public ::testing::TestWithParam<InPlaceChange> {};

TEST_P(InPlaceChanges, FailTheWriteAndStay) {
  if (access("/usr/bin/strace", X_OK) != 0) GTEST_SKIP() << "needs strace";
  TempDir dir;
  std::string store = dir.File("hklm.reg");
  if (GetParam().hive) {
    HiveWriter hive(store);
    hive.SetText(kPrimaryKeyInHive, "Supported protocols", "SPX");
    hive.Commit();
  } else {
    WriteFile(store, kStored);
  }
  if (GetParam().before) GetParam().before(store);
  int err = open(dir.File("err").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
  std::vector<std::string> argv = {
      "strace",
      "-f",
      "-qq",
      "-o",
      "/dev/null",
      "-e",
      "inject=" + std::string(GetParam().held_at) + ":delay_enter=500000"};
  for (const std::string& word : KovalsetCommand({"tcpip"})) argv.push_back(word);
  int out = open("/dev/null", O_WRONLY | O_CLOEXEC);
  pid_t run = StartProcess(argv, {"KOVALSET_REGISTRY=" + store, kNoLeakCheck}, out, err);
  close(out);
  close(err);
  // Once the run has made its new file, it is held.
  for (int i = 0; i < 500 && ListFolder(dir.path()).size() < 3; ++i) usleep(10000);
  GetParam().during(store);
  const std::string other = ReadFile(store);
  EXPECT_EQ(1, WaitProcess(run));
  EXPECT_TRUE(other == ReadFile(store)) << "the other program's file was replaced";
  EXPECT_EQ("kovalset: " + store + ": changed by another program while being written (rc 1016)\n",
            ReadFile(dir.File("err")));
}

INSTANTIATE_TEST_SUITE_P(Faults, InPlaceChanges, ::testing::ValuesIn(kInPlaceChanges),
                         [](const ::testing::TestParamInfo<InPlaceChange>& info) {
                           return std::string(info.param.name);
                         });

// Anyone who may read the store can hold its lock; a writer waits ten
// seconds at most, or as long as KOVALSET_LOCK_WAIT_MS says, then says so.
TEST(Faults, LockHeldByAnotherProcess) {
  const struct {
    std::string wait;  // the environment's
    const char* said;
    std::chrono::milliseconds least, most;
  } kWaits[] = {
      {"KOVALSET_LOCK_WAIT_MS=250", "250 ms", std::chrono::milliseconds(250),
       std::chrono::seconds(3)},
      {"KOVALSET_LOCK_WAIT_MS=1000", "1 s", std::chrono::seconds(1), std::chrono::seconds(4)},
      {"KOVALSET_LOCK_WAIT_MS", "10 s", std::chrono::seconds(10), std::chrono::seconds(15)},
  };
  for (const auto& row : kWaits) {
    TempDir dir;
    std::string store = dir.File("hklm.reg");
    WriteFile(store, kStored);
    int held = open(store.c_str(), O_RDONLY);
    ASSERT_EQ(0, flock(held, LOCK_SH));
    auto begin = std::chrono::steady_clock::now();
    ProcessResult run =
        RunProcess(KovalsetCommand({"tcpip"}), {"KOVALSET_REGISTRY=" + store, row.wait});
    auto waited = std::chrono::steady_clock::now() - begin;
    close(held);
    EXPECT_EQ(kBanner + kUpdating + "Error: Unable to update Supported Protocols: rc 1460.\n",
              run.out);
    EXPECT_EQ("kovalset: " + store + ": its lock is held by another process for " + row.said +
                  "; gave up (rc 1460)\n",
              run.err);
    EXPECT_EQ(1, run.status);
    EXPECT_GE(waited, row.least) << row.wait;
    EXPECT_LT(waited, row.most) << row.wait;
    EXPECT_EQ(kStored, ReadFile(store));
  }
}

// Another program truncates the store while a run reads it: the run ends
// with its status, never by a signal.
TEST(Faults, StoreTruncatedUnderAReader) {
  TempDir dir;
  std::string store = dir.File("hklm.reg");
  const std::string big = BigStore(50 << 20, "\"Supported protocols\"=\"SPX\"\n");
  std::mt19937 random(7);
  std::uniform_int_distribution<int> delay(0, 30000);
  int rounds = Rounds(100) / 5, crashed = 0, refused = 0;
  for (int round = 0; round < rounds; ++round) {
    WriteFile(store, big);
    int out[2], err[2];
    ASSERT_EQ(0, pipe(out));
    ASSERT_EQ(0, pipe(err));
    pid_t pid = StartProcess(KovalsetCommand({}), {"KOVALSET_REGISTRY=" + store}, out[1], err[1]);
    close(out[1]);
    close(err[1]);
    usleep(static_cast<useconds_t>(delay(random)));
    ASSERT_EQ(0, truncate(store.c_str(), 1 << 20));
    char said[4096], output[4096];
    ssize_t n = read(err[0], said, sizeof(said));
    while (read(out[0], output, sizeof(output)) > 0) {
    }
    int status = WaitProcess(pid);
    close(out[0]);
    close(err[0]);
    crashed += status != 0 && status != 1;
    refused +=
        n > 0 && std::string(said, n).find("changed by another program") != std::string::npos;
  }
  printf("a 50 MB store truncated under a reader, %d times: %d crashed, %d said it changed\n",
         rounds, crashed, refused);
  EXPECT_EQ(0, crashed);
}

// Extended attributes (POSIX ACLs, security labels) are kept by a rewrite.
TEST(Faults, ExtendedAttributesAreKept) {
  TempDir dir;
  std::string store = dir.File("hklm.reg");
  WriteFile(store, kStored);
  if (setxattr(store.c_str(), "user.origin", "kept", 4, 0) != 0) {
    GTEST_SKIP() << "no user extended attributes on this file system";
  }
  bool acl = RunProcess({"setfacl", "-m", "u:nobody:r", store}, {}).status == 0;
  ProcessResult run = RunProcess(KovalsetCommand({"tcpip"}), {"KOVALSET_REGISTRY=" + store});
  EXPECT_EQ(0, run.status) << run.err;
  EXPECT_EQ(kStoredTcpip, ReadFile(store));
  char value[16] = {};
  EXPECT_EQ(4, getxattr(store.c_str(), "user.origin", value, sizeof(value)));
  EXPECT_STREQ("kept", value);
  if (acl) {
    EXPECT_NE(std::string::npos,
              RunProcess({"getfacl", "-c", store}, {}).out.find("user:nobody:r--"));
  }
}

// Lays a store at `path` as `kind` says: a "hive", a "text" store, or
// none.
void LayStore(const std::string& path, const std::string& kind) {
  if (kind == "hive") {
    HiveWriter hive(path);
    hive.SetText(kPrimaryKeyInHive, "Supported protocols", "SPX");
    hive.Commit();
  } else if (kind == "text") {
    WriteFile(path, kStored);
  }
}

// Whether the store at `path`, of `kind`, holds the list TCPIP.
bool HoldsTcpip(const std::string& path, const std::string& kind) {
  std::optional<std::string> list;
  if (kind != "hive")
    return ReadFile(path).find("\"Supported protocols\"=\"TCPIP\"") != std::string::npos;
  return ReadHiveText(path, kPrimaryKeyInHive, "Supported protocols", &list) && list == "TCPIP";
}

std::string Attribute(const std::string& path, const char* name) {
  char value[4096];
  ssize_t size = getxattr(path.c_str(), name, value, sizeof(value));
  return size < 0 ? std::string("none: ") + strerror(errno) : std::string(value, size);
}

// Owner and group Administrators; Everyone may read and run, no more.
const std::string kDescriptor(
    "\x01\x00\x04\x80\x14\x00\x00\x00\x24\x00\x00\x00\x00\x00\x00\x00\x34\x00\x00\x00"
    "\x01\x02\x00\x00\x00\x00\x00\x05\x20\x00\x00\x00\x20\x02\x00\x00"
    "\x01\x02\x00\x00\x00\x00\x00\x05\x20\x00\x00\x00\x20\x02\x00\x00"
    "\x02\x00\x1c\x00\x01\x00\x00\x00"
    "\x00\x00\x14\x00\xa9\x00\x12\x00\x01\x01\x00\x00\x00\x00\x00\x01\x00\x00\x00\x00",
    80);

// A Windows volume mounted by ntfs-3g, plain and with -o permissions (where
// every chmod rewrites the security descriptor): a rewritten hive or text
// store keeps its NTFS attributes (system, archive) and its descriptor, and
// nothing is left beside it.
TEST(Faults, NtfsVolumeKeepsWhatWindowsPutThere) {
  if (access("/dev/fuse", R_OK | W_OK) != 0) GTEST_SKIP() << "needs FUSE (/dev/fuse)";
  for (const char* options : {"", "permissions"}) {
    TempDir dir;
    std::string image = dir.File("ntfs.img"), volume = Mkdir(dir.File("volume"), 0755);
    WriteFile(image, "");
    ASSERT_EQ(0, truncate(image.c_str(), 16 << 20));
    if (RunProcess({"mkntfs", "-F", "-Q", image}, {}).status != 0) {
      GTEST_SKIP() << "mkntfs cannot make a volume (package ntfs-3g)";
    }
    std::vector<std::string> mount = {"ntfs-3g", image, volume};
    if (*options) mount.insert(mount.begin() + 1, {"-o", options});
    if (RunProcess(mount, {}).status != 0) GTEST_SKIP() << "ntfs-3g cannot mount here";
    struct Unmount {
      std::string at;
      ~Unmount() {
        if (RunProcess({"fusermount", "-u", at}, {}).status != 0) umount(at.c_str());
      }
    } unmount{volume};
    std::string config = Mkdir(volume + "/config", 0755);
    // A store Windows made, and one made here: put in place by a link, as
    // FUSE cannot refuse to replace in a rename.
    for (std::string kind : {"hive", "text", "none"}) {
      std::string name = kind == "hive" ? "SOFTWARE" : kind == "text" ? "hklm.reg" : "new.reg";
      std::string store = config + "/" + name, where = kind + " on ntfs-3g -o '" + options + "'";
      std::vector<std::string> folder = ListFolder(config);
      LayStore(store, kind);
      if (kind != "none") {
        ASSERT_EQ(0, setxattr(store.c_str(), "system.ntfs_attrib_be", "\0\0\0\x24", 4, 0));
        ASSERT_EQ(0, setxattr(store.c_str(), "system.ntfs_acl", kDescriptor.data(), 80, 0));
      }
      ProcessResult run = RunProcess(KovalsetCommand({"tcpip"}), {"KOVALSET_REGISTRY=" + store});
      EXPECT_EQ(0, run.status) << where << ": " << run.err;
      EXPECT_TRUE(HoldsTcpip(store, kind)) << where;
      folder.push_back(name);
      std::sort(folder.begin(), folder.end());
      EXPECT_EQ(folder, ListFolder(config)) << where;
      if (kind == "none") continue;
      EXPECT_EQ(std::string("\0\0\0\x24", 4), Attribute(store, "system.ntfs_attrib_be")) << where;
      EXPECT_EQ(kDescriptor, Attribute(store, "system.ntfs_acl")) << where;
    }
  }
}

// Odd things where the store should be.
struct OddStore {
  const char* name;
  std::function<void(const std::string& store)> make;
  std::string output;  // what follows the banner, for a run without words
  int status;
  bool untouched;
  std::string err = "";  // standard error, behind "kovalset: STORE"; "#" stands for its folder
  std::vector<std::string> words = {};
  std::function<void(const std::string& store)> check = nullptr;
  const char* at = "hklm.reg";  // the store, in the test's folder
};

std::string Text(const std::string& settings) { return "REGEDIT4\n\n" + kSection + settings; }

// A hive holding the list SPX, then damaged by `damage`.
void DamagedHive(const std::string& path, void (*damage)(const std::string&)) {
  {
    HiveWriter hive(path);
    hive.SetText(kPrimaryKeyInHive, "Supported protocols", "SPX");
    hive.Commit();
  }
  damage(path);
}

uint32_t Field(const std::string& hive, size_t at) {
  uint32_t word = 0;
  for (int i = 3; i >= 0; --i) word = word << 8 | static_cast<unsigned char>(hive[at + i]);
  return word;
}

// A hive holding the list SPX and the debug setting On, its bytes then
// damaged by `damage`.
void DamagedSettingsHive(const std::string& path, void (*damage)(std::string* hive)) {
  {
    HiveWriter hive(path);
    hive.SetText(kPrimaryKeyInHive, "Supported protocols", "SPX");
    hive.SetText(kPrimaryKeyInHive, "Debug messages", "On");
    hive.Commit();
  }
  std::string hive = ReadFile(path);
  damage(&hive);
  WriteFile(path, hive);
}

// A hive holding the list SPX whose logs say TCPIP, with `filler` bytes
// more of another value.
void HiveWithLogs(const std::string& path, size_t filler = 0) {
  std::string hives[2];
  for (int i = 0; i < 2; ++i) {
    HiveWriter hive(path);
    hive.SetText(kPrimaryKeyInHive, "Supported protocols", i ? "TCPIP" : "SPX");
    if (i == 1 && filler > 0) hive.SetValue("Other", "Filler", 3, std::string(filler, 'f'));
    hive.Commit();
    hives[i] = ReadFile(path);
  }
  WriteDirtyHive(path, hives[0], hives[1], HiveLogFormat::kNew);
}

const std::string kUnreplayed =
    ": the values shown are the file's, not what Windows will see: it holds changes that its "
    "logs cannot replay";

// A hive holding the list SPX and a value `name`, its character `at` then
// made a zero, as Windows allows and hivex cannot write.
void ZeroInAValueName(const std::string& path, const std::string& name, size_t at) {
  {
    HiveWriter hive(path);
    hive.SetText(kPrimaryKeyInHive, "Supported protocols", "SPX");
    hive.SetValue(kPrimaryKeyInHive, name, 4, std::string("*\0\0\0", 4));
    hive.Commit();
  }
  std::string hive = ReadFile(path);
  hive[CellAt(hive, "vk", name) + 20 + at] = '\0';
  WriteFile(path, hive);
}

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
    {"NamedPipe", [](const std::string& s) { mkfifo(s.c_str(), 0644); }, kRefused, 1, false,
     ": not a regular file (rc 1009)\n"},
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
    {"CorruptHive",
     [](const std::string& s) { WriteFile(s, EmptyHive().replace(4096, 4, "nbin")); }, kRefused, 1,
     true, ": a hive that hivex cannot open: Operation not supported (rc 1009)\n"},
    {"HiveHeaderClaimsTwoGigabytes",
     [](const std::string& s) {
       WriteFile(s, EmptyHive().replace(0x28, 4, std::string("\0\xf0\xff\x7f", 4)));
     },
     kRefused, 1, true,
     ": a hive whose header does not fit its file (2147479552 bytes of bins in a file of 8192)\n"},
    {"HiveCutShort", [](const std::string& s) { WriteFile(s, EmptyHive().substr(0, 6000)); },
     kRefused, 1, true,
     ": a hive whose header does not fit its file (4096 bytes of bins in a file of 6000)\n"},
    {"DirtyHiveWithoutLogs",
     [](const std::string& s) {
       WriteFile(s, EmptyHive());
       MakeHiveDirty(s);
     },
     std::string(kCreating) + "Error: Unable to create key: rc 19.\n", 1, true,
     kUnreplayed + " (no log beside it)\nkovalset: @: not written: it holds changes that its logs "
                   "cannot replay (no log beside it) (rc 19)\n"},
    // Logs another program or user could have written are not replayed.
    {"DirtyHiveLogsOfOthers",
     [](const std::string& s) {
       HiveWithLogs(s);
       (void)!chown((s + ".LOG1").c_str(), 65534, 65534);
       chmod((s + ".LOG2").c_str(), 0666);
     },
     "Current Supported Protocols : SPX\n", 0, true,
     kUnreplayed + " (hklm.reg.LOG1 belongs to another user; hklm.reg.LOG2 may be written by "
                   "users who cannot write the hive)\n"},
    {"DirtyHiveLogFailsItsHash",
     [](const std::string& s) {
       HiveWithLogs(s);
       std::string log = ReadFile(s + ".LOG1");
       log[log.rfind("HvLE") + 100] ^= 1;
       WriteFile(s + ".LOG1", log);
     },
     kUpdating + "Error: Unable to update Supported Protocols: rc 19.\n",
     1,
     true,
     kUnreplayed + " (no log holds entry 7; entry 7 of hklm.reg.LOG1 fails its hash)\n"
                   "kovalset: @: not written: it holds changes that its logs cannot replay (no "
                   "log holds entry 7; entry 7 of hklm.reg.LOG1 fails its hash) (rc 19)\n",
     {"tcpip"}},
    // A key hivex cannot read is not a missing key: nothing is made.
    {"HiveWhoseKeysCannotBeRead", [](const std::string& s) { DamagedHive(s, BreakRootKeyList); },
     std::string(kCreating) + "Error: Unable to create key: rc 1016.\n", 1, true,
     ": hivex could not read it (rc 1016)\n"},
    // Key lists and value data that hivex reads, or writes, wrongly.
    {"KeySharesItsParentsKeyList",
     [](const std::string& s) {
       DamagedSettingsHive(s, [](std::string* h) {
         h->replace(CellAt(*h, "nk", "Linvarro") + 28, 4,
                    h->substr(CellAt(*h, "nk", "Calderan Software") + 28, 4));
       });
     },
     std::string(kCreating) + "Error: Unable to create key: rc 1016.\n", 1, true,
     ": the hive hivex wrote does not read back (rc 1016)\n"},
    // What a change frees, listed by a key it does not read: found among
    // the cells, not on the way to the key changed.
    {"KeySharesTheValuesOfTheKeyBelow",
     [](const std::string& s) {
       DamagedSettingsHive(s, [](std::string* h) {
         h->replace(CellAt(*h, "nk", "Version 6.15") + 36, 8,
                    h->substr(CellAt(*h, "nk", "Settings") + 36, 8));
       });
     },
     kUpdating + "Error: Unable to update Supported Protocols: rc 1016.\n",
     1,
     true,
     ": the hive hivex wrote does not read back (rc 1016)\n",
     {"tcpip"}},
    {"KeyListCountsNoKeys",
     [](const std::string& s) {
       DamagedSettingsHive(s, [](std::string* h) {
         (*h)[4096 + Field(*h, CellAt(*h, "nk", "Calderan Software") + 28) + 6] = 0;
       });
     },
     std::string(kCreating) + "Error: Unable to create key: rc 1016.\n", 1, true,
     ": hivex could not read it (rc 1016)\n"},
    // A key that counts no subkeys yet lists some: hivex sees none below it.
    {"KeyCountsNoKeysButListsSome",
     [](const std::string& s) {
       DamagedSettingsHive(s, [](std::string* h) {
         h->replace(CellAt(*h, "nk", "Calderan Software") + 20, 4, 4, '\0');
       });
     },
     std::string(kCreating) + "Error: Unable to create key: rc 1016.\n", 1, true,
     ": hivex could not read it (rc 1016)\n"},
    // As hivex leaves a key whose last subkey it deleted: no damage.
    {"KeyListLeftEmpty",
     [](const std::string& s) {
       DamagedSettingsHive(s, [](std::string* h) {
         size_t key = CellAt(*h, "nk", "Calderan Software");
         h->replace(key + 20, 4, 4, '\0');
         h->replace(4096 + Field(*h, key + 28) + 6, 2, 2, '\0');
       });
     },
     std::string(kCreating) + kDefaultCreated, 0, false},
    // hivex asserts when it frees data that is the value's own cell.
    {"ValueDataIsItsOwnCell",
     [](const std::string& s) {
       DamagedSettingsHive(s, [](std::string* h) {
         size_t cell = CellAt(*h, "vk", "Debug messages");
         uint32_t offset = static_cast<uint32_t>(cell - 4 - 4096);
         h->replace(cell + 8, 4, reinterpret_cast<const char*>(&offset), 4);
       });
     },
     kUpdating + "Error: Unable to update Supported Protocols: rc 1009.\n",
     1,
     true,
     ": hivex failed on it: Aborted (rc 1009)\n",
     {"tcpip"}},
    // The others replay, but what it held may be lost by a write.
    {"DirtyHiveBesideAnotherUsersLink",
     [](const std::string& s) {
       HiveWithLogs(s);
       (void)!symlink("/etc/passwd", (s + ".LOG").c_str());
       (void)!lchown((s + ".LOG").c_str(), 65534, 65534);
     },
     "Current Supported Protocols : TCPIP\nUpdating Supported Protocols to : SPX\n"
     "Error: Unable to update Supported Protocols: rc 19.\n",
     1,
     true,
     ": the values shown may not be what Windows will see: not replayed: hklm.reg.LOG is a "
     "symlink of another user\nkovalset: @: not written: it holds changes that its logs cannot "
     "replay (hklm.reg.LOG is a symlink of another user) (rc 19)\n",
     {"spx"}},
    {"DirtyHiveLogWithALinkOrAnAccessList",
     [](const std::string& s) {
       HiveWithLogs(s);
       (void)!link((s + ".LOG1").c_str(), (s + ".copy").c_str());
       // Group writers may write both; the list lets in one more.
       chmod(s.c_str(), 0664);
       chmod((s + ".LOG2").c_str(), 0664);
       RunProcess({"setfacl", "-m", "u:nobody:rw", s + ".LOG2"}, {});
     },
     "Current Supported Protocols : SPX\n", 0, true,
     kUnreplayed + " (hklm.reg.LOG1 has other names, hard links; hklm.reg.LOG2 has an access list "
                   "that the hive does not have)\n"},
    {"DirtyHiveGrows", [](const std::string& s) { HiveWithLogs(s, 100000); },
     "Current Supported Protocols : TCPIP\n", 0, true},
    // hivex rewrites every value of a key when it sets one.
    {"ZeroInAnotherValuesName",
     [](const std::string& s) { ZeroInAValueName(s, "Other_value", 5); },
     kUpdating + "Error: Unable to update Supported Protocols: rc 50.\n",
     1,
     true,
     std::string(": the key ") + kPrimaryKeyPath +
         " holds a value whose name has a zero character in it, which hivex would cut short "
         "(rc 50)\n",
     {"tcpip"}},
    {"ZeroBehindASettingsName",
     [](const std::string& s) { ZeroInAValueName(s, "Debug messages_old", 14); },
     "Current Supported Protocols : SPX\nDebug Messages entry does not exist.\n",
     0,
     true,
     "",
     {"debugmsg"}},
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
    // A store named on a volume that is not mounted: nothing is made in
    // its mount point.
    {"FolderOfANamedStoreMissing",
     [](const std::string&) {},
     std::string(kCreating) + "Error: Unable to create key: rc 3.\n",
     1,
     true,
     ": the folder #/mnt is not there (rc 3)\n",
     {},
     nullptr,
     "mnt/windows/Windows/System32/config/SOFTWARE"},
    {"FileWhereTheFolderOfANamedStoreShouldBe",
     [](const std::string& s) { WriteFile(s.substr(0, s.rfind('/')), ""); },
     std::string(kCreating) + "Error: Unable to create key: rc 3.\n",
     1,
     true,
     ": the folder #/file is a file (rc 3)\n",
     {},
     nullptr,
     "file/hklm.reg"},
    {"SystemHive",
     [](const std::string& s) {
       HiveWriter hive(s);
       hive.SetText("ControlSet001\\Control", "Current User", "USERNAME");
       hive.SetText("Select", "Current", "1");
       hive.AddKey("Setup");
       hive.Commit();
     },
     std::string(kCreating) + "Error: Unable to create key: rc 5.\n", 1, true,
     ": not written: it looks like a SYSTEM hive (its top keys include ControlSet001, Select), "
     "not a SOFTWARE one (rc 5)\n"},
    {"UserHiveNamedInItsBaseBlock",
     [](const std::string& s) {
       HiveWriter(s).Commit();
       NameHive(s, "\\??\\C:\\Users\\Ann\\ntuser.dat");
     },
     std::string(kCreating) + "Error: Unable to create key: rc 5.\n", 1, true,
     ": not written: it looks like a user's hive (its base block names it NTUSER.DAT), not a "
     "SOFTWARE one (rc 5)\n"},
    {"SoftwareHiveNamedInItsBaseBlock",
     [](const std::string& s) {
       HiveWriter(s).Commit();
       NameHive(s, "emRoot\\System32\\Config\\SOFTWARE");
     },
     std::string(kCreating) + kDefaultCreated, 0, false},
    {"CommentBehindAHexValue",
     [](const std::string& s) {
       WriteFile(s, Text("\"Supported protocols\"=hex(1):53,50,58 ; set by the imaging team\n"));
     },
     kUpdating,
     0,
     false,
     "",
     {"tcpip"},
     [](const std::string& s) {
       EXPECT_EQ(Text("\"Supported protocols\"=\"TCPIP\" ; set by the imaging team\n"),
                 ReadFile(s));
     }},
    {"UsersFileNamedLikeANewStore",
     [](const std::string& s) {
       WriteFile(s, kStored);
       WriteFile(s.substr(0, s.rfind('/')) + "/.hklm.reg.tmp-backup", "mine");
     },
     kUpdating,
     0,
     false,
     "",
     {"tcpip"},
     [](const std::string& s) {
       EXPECT_EQ("mine", ReadFile(s.substr(0, s.rfind('/')) + "/.hklm.reg.tmp-backup"));
     }},
    {"ChangeWouldPassOneGibibyte",
     [](const std::string& s) {
       // A comment line fills it up to 50 bytes under the limit.
       std::ofstream out(s, std::ios::binary);
       std::string fill(1 << 20, 'x');
       out << "REGEDIT4\n\n;";
       for (size_t left = (size_t{1} << 30) - 50 - 12; left > 0;
            left -= std::min(left, fill.size()))
         out.write(fill.data(), static_cast<std::streamsize>(std::min(left, fill.size())));
       out << "\n";
     },
     std::string(kCreating) + "Error: Unable to create key: rc 223.\n",
     1,
     false,
     ": the change would make it larger than 1 GiB, the most a store may be (rc 223)\n",
     {},
     [](const std::string& s) {
       struct stat st = {};
       EXPECT_EQ(0, stat(s.c_str(), &st));
       EXPECT_EQ((off_t{1} << 30) - 50, st.st_size);
     }},
    {"FiftyMegabytes",
     [](const std::string& s) {
       WriteFile(s, BigStore(50 << 20, "\"Supported protocols\"=\"SPX\"\n"));
     },
     "Current Supported Protocols : SPX\n", 0, true},
};

void PrintTo(const OddStore& odd, std::ostream* os) { *os << odd.name; }

class OddStores : public ::testing::TestWithParam<OddStore> {};

TEST_P(OddStores, ClearErrorAndNoRewrite) {
  const OddStore& odd = GetParam();
  TempDir dir;
  std::string store = dir.File(odd.at);
  odd.make(store);
  std::string before = odd.untouched ? ReadFile(store) : "";
  std::vector<std::string> files = ListFolder(dir.path());
  ProcessResult run = RunProcess(KovalsetCommand(odd.words), {"KOVALSET_REGISTRY=" + store});
  EXPECT_EQ(kBanner + odd.output, run.out);
  std::string err = odd.err.empty() ? "" : "kovalset: " + store + odd.err;
  for (size_t at; (at = err.find('@')) != std::string::npos;) err.replace(at, 1, store);
  for (size_t at; (at = err.find('#')) != std::string::npos;) err.replace(at, 1, dir.path());
  EXPECT_EQ(err, run.err);
  EXPECT_EQ(odd.status, run.status);
  if (odd.untouched) {
    EXPECT_TRUE(before == ReadFile(store)) << "the store was rewritten";
    EXPECT_EQ(files, ListFolder(dir.path())) << "files were made or removed";
  }
  if (odd.check) odd.check(store);
}

INSTANTIATE_TEST_SUITE_P(Faults, OddStores, ::testing::ValuesIn(kOddStores),
                         [](const ::testing::TestParamInfo<OddStore>& info) {
                           return std::string(info.param.name);
                         });

}  // namespace
