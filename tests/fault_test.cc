// The file store under faults: killed writers, concurrent runs, a full disk,
// odd stores and a store the user may not write. Each prints what it saw, for
// the README's table. KOVALSET_FAULT_ROUNDS sets how many kills and rounds.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <sys/xattr.h>
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
#include "tests/hive_fixture.h"

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
    for (size_t i = 0; i < bytes / 256; ++i) {
      hive.SetText("Filler\\Group " + std::to_string(i / 100) + "\\Key " + std::to_string(i),
                   "Name", "A value of other software " + std::to_string(i));
    }
    hive.SetText(std::string(kPrimaryKeyPath).substr(9), value, text);
    hive.Commit();
  }
  // False when the file no longer opens as a store whose other keys are all
  // there; else sets `*text` to the setting `value`.
  bool Read(const std::string& path, const char* value, std::optional<std::string>* text) {
    if (GetParam().hive) {
      std::optional<std::string> filler;
      return ReadHiveText(path, "Filler\\Group 0\\Key 0", "Name", &filler) && filler &&
             ReadHiveText(path, std::string(kPrimaryKeyPath).substr(9), value, text);
    }
    RegText store;
    RegValue filler;
    if (!store.Parse(ReadFile(path)) ||
        !store.FindValue("Software\\Filler\\Key 0", "Name", &filler)) {
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
  EXPECT_EQ((std::vector<std::string>{"hklm.reg", "hklm.reg.lock"}), ListFolder(dir.path()));
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
  bool as_nobody;
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

std::string Mkdir(const std::string& path, mode_t mode, uid_t owner = 0) {
  mkdir(path.c_str(), mode);
  chmod(path.c_str(), mode);  // past the umask, sticky bit included
  EXPECT_EQ(0, chown(path.c_str(), owner, owner));
  return path;
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
    {"AnotherUsersSymlinkInAStickyFolder", false,
     [](const std::string& dir) { return StickyFolderLink(dir, NobodysProgram::kUid); },
     std::string(kCreating) + "Error: Unable to create key: rc 5.\n", 1,
     "kovalset: @/ww/hklm.reg: a symlink of another user in a sticky folder (rc 5)\n",
     [](const std::string& dir) {
       EXPECT_EQ("", ReadFile(dir + "/secret/empty.conf"));
       EXPECT_EQ(std::vector<std::string>{"empty.conf"}, ListFolder(dir + "/secret"));
     }},
    {"OwnSymlinkInAStickyFolder", false,
     [](const std::string& dir) { return StickyFolderLink(dir, 0); },
     std::string(kCreating) +
         "Supported Protocols entry does not exist.\nCreating new entry : TCPIP.\n",
     0, "",
     [](const std::string& dir) {
       EXPECT_NE("", ReadFile(dir + "/secret/empty.conf")) << "written through the link";
     }},
    {"LockIsAnotherUsersSymlink", false,
     [](const std::string& dir) {
       WriteFile(dir + "/hklm.reg", kStored);
       EXPECT_EQ(0, symlink((dir + "/planted").c_str(), (dir + "/hklm.reg.lock").c_str()));
       EXPECT_EQ(0, lchown((dir + "/hklm.reg.lock").c_str(), NobodysProgram::kUid, 0));
       return dir + "/hklm.reg";
     },
     kUpdating + "Error: Unable to update Supported Protocols: rc 5.\n", 1,
     "kovalset: @/hklm.reg.lock: the lock is a symlink (rc 5)\n",
     [](const std::string& dir) {
       EXPECT_NE(0, access((dir + "/planted").c_str(), F_OK)) << "the link's target was made";
       EXPECT_EQ(kStored, ReadFile(dir + "/hklm.reg"));
     }},
    {"LockIsNotAFile", false,
     [](const std::string& dir) {
       WriteFile(dir + "/hklm.reg", kStored);
       EXPECT_EQ(0, mkfifo((dir + "/hklm.reg.lock").c_str(), 0666));
       return dir + "/hklm.reg";
     },
     kUpdating + "Error: Unable to update Supported Protocols: rc 5.\n", 1,
     "kovalset: @/hklm.reg.lock: the lock is not a regular file (rc 5)\n",
     [](const std::string& dir) { EXPECT_EQ(kStored, ReadFile(dir + "/hklm.reg")); }},
    {"FolderTheWriterMayWriteButNotRead", true,
     [](const std::string& dir) { return NobodysStore(dir, 0333); }, kUpdating, 0, "",
     [](const std::string& dir) { EXPECT_EQ(kStoredTcpip, ReadFile(dir + "/own/hklm.reg")); }},
    {"LockFileOfAnotherUser", true,
     [](const std::string& dir) {
       std::string store = NobodysStore(dir, 0755);
       WriteFile(store + ".lock", "");
       chmod((store + ".lock").c_str(), 0644);
       return store;
     },
     kUpdating, 0, "",
     [](const std::string& dir) { EXPECT_EQ(kStoredTcpip, ReadFile(dir + "/own/hklm.reg")); }},
    {"FileOfFourGigabytes", false, [](const std::string& dir) { return SparseFile(dir, 4 << 10); },
     std::string(kCreating) + "Error: Unable to create key: rc 223.\n", 1,
     "kovalset: @/hklm.reg: larger than 1 GiB, the most a store may be (rc 223)\n", nullptr},
    {"LargeFileThatIsNoStore", false, [](const std::string& dir) { return SparseFile(dir, 512); },
     std::string(kCreating) + "Error: Unable to create key: rc 1009.\n", 1,
     "kovalset: @/hklm.reg:1: not a registry file\n", nullptr},
};

class UserFaults : public ::testing::TestWithParam<UserFault> {};

TEST_P(UserFaults, RefusedOrDoneAsTheyShouldBe) {
  const UserFault& fault = GetParam();
  if (!NobodysProgram::Possible()) GTEST_SKIP() << "needs root and setpriv to be another user";
  TempDir dir;
  chmod(dir.path().c_str(), 0755);
  std::string store = fault.arrange(dir.path());
  NobodysProgram program;
  auto begin = std::chrono::steady_clock::now();
  ProcessResult run =
      RunProcess(fault.as_nobody ? program.Command({"tcpip"}) : KovalsetCommand({"tcpip"}),
                 {"KOVALSET_REGISTRY=" + store});
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

// Anyone who may read the lock file can hold it; a writer waits ten seconds
// at most, then says so.
TEST(Faults, LockHeldByAnotherProcess) {
  TempDir dir;
  std::string store = dir.File("hklm.reg");
  WriteFile(store, kStored);
  int held = open((store + ".lock").c_str(), O_RDONLY | O_CREAT, 0644);
  ASSERT_EQ(0, flock(held, LOCK_SH));
  auto begin = std::chrono::steady_clock::now();
  ProcessResult run = RunProcess(KovalsetCommand({"tcpip"}), {"KOVALSET_REGISTRY=" + store});
  auto waited = std::chrono::steady_clock::now() - begin;
  close(held);
  EXPECT_EQ(kBanner + kUpdating + "Error: Unable to update Supported Protocols: rc 1460.\n",
            run.out);
  EXPECT_EQ("kovalset: " + store + ".lock: held by another process for 10 s; gave up (rc 1460)\n",
            run.err);
  EXPECT_EQ(1, run.status);
  EXPECT_GE(waited, std::chrono::seconds(10));
  EXPECT_LT(waited, std::chrono::seconds(15));
  EXPECT_EQ(kStored, ReadFile(store));
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

// A hive holding the list SPX, then damaged by `damage`.
void DamagedHive(const std::string& path, void (*damage)(const std::string&)) {
  {
    HiveWriter hive(path);
    hive.SetText(std::string(kPrimaryKeyPath).substr(9), "Supported protocols", "SPX");
    hive.Commit();
  }
  damage(path);
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
     ": not a regular file\n"},
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
    {"CorruptHive", [](const std::string& s) { WriteFile(s, "regf" + std::string(8188, '\0')); },
     kRefused, 1, true, ": a hive that hivex cannot open: Operation not supported\n"},
    {"DirtyHiveIsNotWritten",
     [](const std::string& s) {
       WriteFile(s, EmptyHive());
       MakeHiveDirty(s);
     },
     std::string(kCreating) + "Error: Unable to create key: rc 19.\n", 1, true,
     ": the hive holds changes still in its log files (.LOG1, .LOG2), which Windows has not yet "
     "replayed; start Windows and shut it down fully (no fast startup, no hibernation) before "
     "changing it (rc 19)\n"},
    // A key hivex cannot read is not a missing key: nothing is made.
    {"HiveWhoseKeysCannotBeRead", [](const std::string& s) { DamagedHive(s, BreakRootKeyList); },
     std::string(kCreating) + "Error: Unable to create key: rc 1016.\n", 1, true,
     ": hivex could not read it (rc 1016)\n"},
    {"DirtyHiveIsRead", [](const std::string& s) { DamagedHive(s, MakeHiveDirty); },
     "Current Supported Protocols : SPX\n", 0, true},
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
  std::string before = odd.untouched ? ReadFile(store) : "";
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
