// The file store among other processes: runs at once, a writer killed at a
// random moment, a store truncated under its reader, another program that
// changes the store in place or holds its lock, another user who swaps
// files while root runs. Each prints what it saw, for the README's table.
// KOVALSET_FAULT_ROUNDS sets how many kills and rounds.
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "tests/end_to_end.h"
#include "tests/hive_fixture.h"

namespace {

const std::string kStored = SettingsText("\"Supported protocols\"=\"SPX\"\n");

int Rounds(int fallback) {
  const char* rounds = getenv("KOVALSET_FAULT_ROUNDS");
  return rounds != nullptr ? atoi(rounds) : fallback;
}

// Starts a run on `store`, its output thrown away, its standard error too
// or to `err`; under `tracer` (strace's command), if given.
pid_t Start(const std::vector<std::string>& words, const std::string& store, int err = -1,
            std::vector<std::string> tracer = {}) {
  static const int null = open("/dev/null", O_WRONLY | O_CLOEXEC);
  for (const std::string& word : KovalsetCommand(words)) tracer.push_back(word);
  std::vector<std::string> env = {"KOVALSET_REGISTRY=" + store};
  if (tracer[0] == "strace") env.push_back(kNoLeakCheck);
  return StartProcess(tracer, env, null, err >= 0 ? err : null);
}

// Starts each of `rounds` runs with `start`, does `interrupt` to it after a
// random delay of up to `most`, and hands its status to `judge`.
void InterruptRuns(int rounds, unsigned seed, std::chrono::microseconds most,
                   const std::function<pid_t(int round)>& start,
                   const std::function<void(pid_t)>& interrupt,
                   const std::function<void(int round, int status)>& judge) {
  std::mt19937 random(seed);
  std::uniform_int_distribution<long> delay(0, most.count());
  for (int round = 0; round < rounds; ++round) {
    pid_t pid = start(round);
    usleep(static_cast<useconds_t>(delay(random)));
    interrupt(pid);
    judge(round, WaitProcess(pid));
  }
}

using Settings = std::vector<std::pair<std::string, std::string>>;  // names and texts

// Both kinds of store, of about `bytes` bytes: a .reg text (5 MB: some
// 50,000 keys), or a SOFTWARE hive of `bytes` / 256 keys (20,000 for 5 MB),
// other software's keys around the settings.
struct BigStore {
  const char* name;
  bool hive;
};

class BigStores : public ::testing::TestWithParam<BigStore> {
 protected:
  void Make(const std::string& path, size_t bytes, const Settings& settings) {
    filler_ = FillerText(bytes / 100);
    if (!GetParam().hive) return WriteFile(path, Text(settings));
    HiveWriter hive(path);
    AddFillerKeys(&hive, bytes / 256);
    for (const auto& [name, text] : settings) hive.SetText(kPrimaryKeyInHive, name, text);
    hive.Commit();
  }
  // Whether the store is whole and holds `settings`: the text byte for
  // byte; the hive read by hivex, its first other key still there.
  bool Holds(const std::string& path, const Settings& settings) {
    if (!GetParam().hive) return ReadFile(path) == Text(settings);
    bool whole = HiveText(path, FillerKey(0), "Name") == FillerName(0);
    for (const auto& [name, value] : settings) {
      whole = whole && HiveText(path, kPrimaryKeyInHive, name) == value;
    }
    return whole;
  }
  std::string Text(const Settings& settings) {
    std::string values;
    for (const auto& [name, value] : settings) values += "\"" + name + "\"=\"" + value + "\"\n";
    return "REGEDIT4\n\n" + filler_ + kSection + values;
  }
  std::string filler_;
};

TEST_P(BigStores, KillDuringWriteLeavesTheOldFileOrTheNew) {
  TempDir dir;
  std::string store = dir.File("hklm.reg");
  auto debug = [](const std::string& value) {
    return Settings{{"Supported protocols", "SPX,TCPIP"}, {"Debug messages", value}};
  };
  Make(store, 5 << 20, debug("v0"));
  size_t size = ReadFile(store).size();

  auto begin = std::chrono::steady_clock::now();
  ASSERT_EQ(0, WaitProcess(Start({"debugmsg", "v1"}, store)));
  auto run_time = std::chrono::steady_clock::now() - begin;

  std::string previous = "v1";
  int rounds = Rounds(100), torn = 0, committed = 0;
  InterruptRuns(
      rounds, 42, std::chrono::duration_cast<std::chrono::microseconds>(run_time) * 3 / 2,
      [&](int round) {
        return Start({"debugmsg", "v" + std::to_string(round + 2)}, store);
      },
      [](pid_t pid) { kill(pid, SIGKILL); },
      [&](int round, int) {
        std::string value = "v" + std::to_string(round + 2);
        bool now = Holds(store, debug(value));
        if (!now && !Holds(store, debug(previous))) {
          ++torn;
        } else if (now) {
          ++committed;
          previous = value;
        }
      });
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
  Make(store, 256 << 10, {{"Supported protocols", "SPX"}});
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
    lost += !Holds(store, {{"Supported protocols", list}, {"Debug messages", debug}});
  }
  printf("%d rounds of 4 concurrent runs on a %s (2 writing different values): %d updates lost\n",
         rounds, GetParam().name, lost);
  EXPECT_EQ(0, lost);
}

const BigStore kBigStores[] = {{"text store", false}, {"hive", true}};
INSTANTIATE_TEST_SUITE_P(Concurrency, BigStores, ::testing::ValuesIn(kBigStores),
                         [](const ::testing::TestParamInfo<BigStore>& info) {
                           return std::string(info.param.hive ? "Hive" : "Text");
                         });

// Another program truncates the store while a run reads it: the run ends
// with its status, never by a signal.
TEST(Concurrency, StoreTruncatedUnderAReader) {
  TempDir dir;
  std::string store = dir.File("hklm.reg"), err = dir.File("err");
  const std::string big = "REGEDIT4\n\n" + FillerText((50 << 20) / 100) + kSection +
                          "\"Supported protocols\"=\"SPX\"\n";
  int rounds = Rounds(100) / 5, crashed = 0, refused = 0;
  InterruptRuns(
      rounds, 7, std::chrono::microseconds(30000),
      [&](int) {
        WriteFile(store, big);
        int fd = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        pid_t pid = Start({}, store, fd);
        close(fd);
        return pid;
      },
      [&](pid_t) { ASSERT_EQ(0, truncate(store.c_str(), 1 << 20)); },
      [&](int, int status) {
        crashed += status != 0 && status != 1;
        refused += ReadFile(err).find("changed by another program") != std::string::npos;
      });
  printf("a 50 MB store truncated under a reader, %d times: %d crashed, %d said it changed\n",
         rounds, crashed, refused);
  EXPECT_EQ(0, crashed);
}

// Two writers that both find no store: one makes it, the other finds it
// made and writes its change into it. Neither update may be lost.
TEST(Concurrency, TwoWritersMakingTheStoreLoseNoUpdate) {
  TempDir dir;
  std::string store = dir.File("hklm.reg");
  int rounds = Rounds(100), lost = 0, failed = 0;
  for (int round = 0; round < rounds; ++round) {
    unlink(store.c_str());
    std::string debug = "\"Debug messages\"=\"round " + std::to_string(round) + "\"\n";
    pid_t runs[] = {Start({"tcpip"}, store),
                    Start({"debugmsg", "round " + std::to_string(round)}, store)};
    failed += (WaitProcess(runs[0]) != 0) + (WaitProcess(runs[1]) != 0);
    // The debug writer makes the default list where it found none.
    std::string text = ReadFile(store);
    lost += text != SettingsText("\"Supported protocols\"=\"TCPIP\"\n" + debug) &&
            text != SettingsText("\"Supported protocols\"=\"SPX,TCPIP\"\n" + debug);
  }
  printf("%d rounds of 2 writers both making the store: %d updates lost, %d runs failed\n", rounds,
         lost, failed);
  EXPECT_EQ(0, lost);
  EXPECT_EQ(0, failed);
  EXPECT_EQ(std::vector<std::string>{"hklm.reg"}, ListFolder(dir.path()));
}

// Anyone who may read the store can hold its lock; a writer waits ten
// seconds at most, or as long as KOVALSET_LOCK_WAIT_MS says, then says so.
TEST(Concurrency, LockHeldByAnotherProcess) {
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
    EXPECT_EQ(std::string(kBanner) +
                  "Current Supported Protocols : SPX\nUpdating Supported Protocols to : TCPIP\n" +
                  "Error: Unable to update Supported Protocols: rc 1460.\n",
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

// Another program changes the store in place, without the lock, while a
// run writes it: the run fails, and the other program's file stays.
struct InPlaceChange {
  const char* name;
  // Done before the run opens the store, and while it is held writing.
  std::function<void(const std::string&store)> before, during;
  const char* held_at = "fallocate";  // the call the run is held at
  bool hive = false;                  // the store a hive holding SPX, not kStored
};

// The other program's shared mapping of the store's first page. The first
// store makes the page dirty and sets the file's times; the next, into
// that page, sets none.
char* mapped_store = nullptr;
void MapAndStoreAt(const std::string& store, size_t at) {
  int fd = open(store.c_str(), O_RDWR | O_CLOEXEC);
  void* page = mmap(nullptr, 4096, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  close(fd);
  mapped_store = static_cast<char*>(page);
  mapped_store[at] = 'R';
}
void MapAndStore(const std::string& store) { MapAndStoreAt(store, 0); }
void StoreIntoTheDirtyPage(const std::string& store) {
  size_t at = ReadFile(store).find("SPX");
  ASSERT_NE(std::string::npos, at) << "the store was replaced";
  mapped_store[at] = 'Z';
}

const InPlaceChange kInPlaceChanges[] = {
    {"Rewritten", nullptr,
     [](const std::string& store) {
       WriteFile(store, "REGEDIT4\n\n" + FillerText(655) + kSection +
                            "\"Supported protocols\"=\"OTHER\"\n");
     }},
    {"StoredThroughASharedMapping", MapAndStore, StoreIntoTheDirtyPage},
    {"StoredThroughASharedMappingDuringTheFlush", MapAndStore, StoreIntoTheDirtyPage, "fsync"},
    // A hive is held under a lease: the other program waits to open it.
    {"HiveRewritten", nullptr, [](const std::string& store) { WriteFile(store, EmptyHive()); },
     "fsync", true},
    // Open to write, it can have no lease: the copy hivex reads tells.
    {"HiveStoredThroughASharedMapping",
     [](const std::string& store) { MapAndStoreAt(store, 0x800); },  // behind the base block's sum
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
  std::string held = "inject=" + std::string(GetParam().held_at) + ":delay_enter=500000";
  pid_t run = Start({"tcpip"}, store, err, {"strace", "-f", "-qq", "-o", "/dev/null", "-e", held});
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

INSTANTIATE_TEST_SUITE_P(Concurrency, InPlaceChanges, ::testing::ValuesIn(kInPlaceChanges),
                         [](const ::testing::TestParamInfo<InPlaceChange>& info) {
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
  auto hive = [](const char* debug) {
    return HiveBytes(
        [debug](HiveWriter* h) { h->SetText(kPrimaryKeyInHive, "Debug messages", debug); });
  };
  const std::string before = hive(kSecret), nobodys = hive("nobody's");
  MakeLayout(dir.path(), "secret/:700 secret/hive= ww/:1777", before);
  std::string folder = dir.File("ww"), store = folder + "/hklm", secret = dir.File("secret/hive");
  // nobody's hive and link, laid anew before each run.
  auto lay = [&] {
    unlink(store.c_str());
    unlink((folder + "/link").c_str());
    MakeLayout(folder, "hklm=::65534 link->" + secret + "::65534", nobodys);
  };

  pid_t attacker = StartAttacker(folder, GetParam().attack);
  int rounds = Rounds(100), shown = 0;
  for (int round = 0; round < rounds; ++round) {
    lay();
    ProcessResult run = RunProcess(KovalsetCommand({round % 2 ? "spx" : "tcpip", "debugmsg"}),
                                   {"KOVALSET_REGISTRY=" + store});
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

INSTANTIATE_TEST_SUITE_P(Concurrency, Races, ::testing::ValuesIn(kRaces),
                         [](const ::testing::TestParamInfo<Race>& info) {
                           return std::string(info.param.name);
                         });

}  // namespace
